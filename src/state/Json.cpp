#include "state/Json.h"

#include <cmath>

#include "core/Text.h"

namespace quavox {

namespace {

const TJson* Member(const TJson* ANode, std::string_view AName) {
  if (ANode == nullptr || !ANode->is_object()) return nullptr;
  const auto It = ANode->find(AName);
  if (It == ANode->end() || It->is_null()) return nullptr;
  return &*It;
}

// The value's text form, as a reader of scalars sees it; empty for objects and arrays.
std::optional<std::string> ScalarText(const TJson& AValue) {
  if (AValue.is_string()) return AValue.get_ref<const std::string&>();
  if (AValue.is_number() || AValue.is_boolean()) return AValue.dump();
  return std::nullopt;
}

}  // namespace

std::optional<TJson> ParseJsonObject(std::string_view AText) {
  if (Trim(AText).empty()) return std::nullopt;
  try {
    TJson Value = TJson::parse(AText.begin(), AText.end(), nullptr, false);
    if (Value.is_discarded() || !Value.is_object()) return std::nullopt;
    return Value;
  } catch (...) {
    return std::nullopt;
  }
}

std::string JsonString(const TJson* ANode, std::string_view AName, const std::string& ADefault) {
  const TJson* v = Member(ANode, AName);
  if (v == nullptr) return ADefault;
  return ScalarText(*v).value_or(ADefault);
}

int64_t JsonInteger(const TJson* ANode, std::string_view AName, int64_t ADefault) {
  const TJson* v = Member(ANode, AName);
  if (v == nullptr) return ADefault;
  if (v->is_number_integer()) return v->get<int64_t>();
  if (v->is_number_unsigned())
    return v->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : v->get<int64_t>();
  if (v->is_number_float()) {
    const double d = v->get<double>();
    if (!std::isfinite(d) || std::fabs(d) > 9.2e18) return ADefault;
    return static_cast<int64_t>(d);
  }
  int64_t Parsed = 0;
  const auto Text = ScalarText(*v);
  return Text && TryParseInt64(*Text, Parsed) ? Parsed : ADefault;
}

bool JsonBoolean(const TJson* ANode, std::string_view AName, bool ADefault) {
  const TJson* v = Member(ANode, AName);
  if (v == nullptr) return ADefault;
  if (v->is_boolean()) return v->get<bool>();
  const auto Text = ScalarText(*v);
  if (!Text) return false;
  const std::string t = LowerAscii(Trim(*Text));
  return t == "true" || t == "1" || t == "yes" || t == "on";
}

double JsonFloat(const TJson* ANode, std::string_view AName, double ADefault) {
  const TJson* v = Member(ANode, AName);
  if (v == nullptr) return ADefault;
  if (v->is_number()) return v->get<double>();
  double Parsed = 0;
  const auto Text = ScalarText(*v);
  return Text && TryParseDouble(*Text, Parsed) ? Parsed : ADefault;
}

const TJson* JsonChildObject(const TJson* ANode, std::string_view AName) {
  const TJson* v = Member(ANode, AName);
  return v != nullptr && v->is_object() ? v : nullptr;
}

const TJson* JsonChildArray(const TJson* ANode, std::string_view AName) {
  const TJson* v = Member(ANode, AName);
  return v != nullptr && v->is_array() ? v : nullptr;
}

std::string JsonDumpIndented(const TJson& AValue) {
  return AValue.dump(2, ' ', false, TJson::error_handler_t::replace);
}

std::string JsonDumpAscii(const TJson& AValue) {
  return AValue.dump(-1, ' ', true, TJson::error_handler_t::replace);
}

std::string_view StripUtf8Bom(std::string_view AText) {
  return StartsWith(AText, "\xEF\xBB\xBF") ? AText.substr(3) : AText;
}

double RoundTo4Decimals(float AValue) {
  if (!std::isfinite(AValue)) return 0.0;
  return std::round(static_cast<double>(AValue) * 10000.0) / 10000.0;
}

}  // namespace quavox
