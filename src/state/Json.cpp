#include "state/Json.h"

#include <cmath>

#include "core/Text.h"

namespace quavox {

namespace {

template <class TValue>
const TValue* Member(const TValue* ANode, std::string_view AName) {
  if (ANode == nullptr || !ANode->is_object()) return nullptr;
  const auto It = ANode->find(AName);
  if (It == ANode->end() || It->is_null()) return nullptr;
  return &*It;
}

// The value's text form, as a reader of scalars sees it; empty for objects and arrays.
template <class TValue>
std::optional<std::string> ScalarText(const TValue& AValue) {
  if (AValue.is_string()) return AValue.template get_ref<const std::string&>();
  if (AValue.is_number() || AValue.is_boolean()) return AValue.dump();
  return std::nullopt;
}

template <class TValue>
std::optional<TValue> ParseObject(std::string_view AText) {
  if (Trim(AText).empty()) return std::nullopt;
  try {
    TValue Value = TValue::parse(AText.begin(), AText.end(), nullptr, false);
    if (Value.is_discarded() || !Value.is_object()) return std::nullopt;
    return Value;
  } catch (...) {
    return std::nullopt;
  }
}

template <class TValue>
std::string StringOf(const TValue* ANode, std::string_view AName, const std::string& ADefault) {
  const TValue* v = Member(ANode, AName);
  if (v == nullptr) return ADefault;
  return ScalarText(*v).value_or(ADefault);
}

template <class TValue>
int64_t IntegerOf(const TValue* ANode, std::string_view AName, int64_t ADefault) {
  const TValue* v = Member(ANode, AName);
  if (v == nullptr) return ADefault;
  if (v->is_number_integer()) return v->template get<int64_t>();
  if (v->is_number_unsigned())
    return v->template get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)
               ? INT64_MAX
               : v->template get<int64_t>();
  if (v->is_number_float()) {
    const double d = v->template get<double>();
    if (!std::isfinite(d) || std::fabs(d) > 9.2e18) return ADefault;
    return static_cast<int64_t>(d);
  }
  int64_t Parsed = 0;
  const auto Text = ScalarText(*v);
  return Text && TryParseInt64(*Text, Parsed) ? Parsed : ADefault;
}

template <class TValue>
bool BooleanOf(const TValue* ANode, std::string_view AName, bool ADefault) {
  const TValue* v = Member(ANode, AName);
  if (v == nullptr) return ADefault;
  if (v->is_boolean()) return v->template get<bool>();
  const auto Text = ScalarText(*v);
  if (!Text) return false;
  const std::string t = LowerAscii(Trim(*Text));
  return t == "true" || t == "1" || t == "yes" || t == "on";
}

template <class TValue>
double FloatOf(const TValue* ANode, std::string_view AName, double ADefault) {
  const TValue* v = Member(ANode, AName);
  if (v == nullptr) return ADefault;
  if (v->is_number()) return v->template get<double>();
  double Parsed = 0;
  const auto Text = ScalarText(*v);
  return Text && TryParseDouble(*Text, Parsed) ? Parsed : ADefault;
}

template <class TValue>
const TValue* ChildObjectOf(const TValue* ANode, std::string_view AName) {
  const TValue* v = Member(ANode, AName);
  return v != nullptr && v->is_object() ? v : nullptr;
}

template <class TValue>
const TValue* ChildArrayOf(const TValue* ANode, std::string_view AName) {
  const TValue* v = Member(ANode, AName);
  return v != nullptr && v->is_array() ? v : nullptr;
}

}  // namespace

std::optional<TJson> ParseJsonObject(std::string_view AText) {
  return ParseObject<TJson>(AText);
}

std::optional<TJsonValue> ParseJsonValueObject(std::string_view AText) {
  return ParseObject<TJsonValue>(AText);
}

namespace {

// Calls AVisit with each bracket and comma outside strings until it returns true;
// true when it did.
template <class TVisit>
bool AnyStructuralChar(std::string_view AText, TVisit AVisit) {
  bool InString = false;
  for (std::size_t i = 0; i < AText.size(); ++i) {
    const char c = AText[i];
    if (InString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        InString = false;
    } else if (c == '"') {
      InString = true;
    } else if ((c == '[' || c == '{' || c == ']' || c == '}' || c == ',') && AVisit(c)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool JsonNestsDeeperThan(std::string_view AText, std::size_t ALimit) {
  std::size_t Depth = 0;
  return AnyStructuralChar(AText, [&](char c) {
    if (c == '[' || c == '{') return ++Depth > ALimit;
    if ((c == ']' || c == '}') && Depth > 0) --Depth;
    return false;
  });
}

bool JsonHoldsMoreValuesThan(std::string_view AText, std::size_t ALimit) {
  std::size_t Values = 0;
  return AnyStructuralChar(
      AText, [&](char c) { return (c == '[' || c == '{' || c == ',') && ++Values > ALimit; });
}

std::string JsonString(const TJson* ANode, std::string_view AName, const std::string& ADefault) {
  return StringOf(ANode, AName, ADefault);
}

int64_t JsonInteger(const TJson* ANode, std::string_view AName, int64_t ADefault) {
  return IntegerOf(ANode, AName, ADefault);
}

bool JsonBoolean(const TJson* ANode, std::string_view AName, bool ADefault) {
  return BooleanOf(ANode, AName, ADefault);
}

double JsonFloat(const TJson* ANode, std::string_view AName, double ADefault) {
  return FloatOf(ANode, AName, ADefault);
}

const TJson* JsonChildObject(const TJson* ANode, std::string_view AName) {
  return ChildObjectOf(ANode, AName);
}

const TJson* JsonChildArray(const TJson* ANode, std::string_view AName) {
  return ChildArrayOf(ANode, AName);
}

std::string JsonString(const TJsonValue* ANode, std::string_view AName,
                       const std::string& ADefault) {
  return StringOf(ANode, AName, ADefault);
}

int64_t JsonInteger(const TJsonValue* ANode, std::string_view AName, int64_t ADefault) {
  return IntegerOf(ANode, AName, ADefault);
}

bool JsonBoolean(const TJsonValue* ANode, std::string_view AName, bool ADefault) {
  return BooleanOf(ANode, AName, ADefault);
}

double JsonFloat(const TJsonValue* ANode, std::string_view AName, double ADefault) {
  return FloatOf(ANode, AName, ADefault);
}

const TJsonValue* JsonChildObject(const TJsonValue* ANode, std::string_view AName) {
  return ChildObjectOf(ANode, AName);
}

const TJsonValue* JsonChildArray(const TJsonValue* ANode, std::string_view AName) {
  return ChildArrayOf(ANode, AName);
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
