#include "text/SpeechTables.h"

#include <functional>

#include <nlohmann/json.hpp>

#include "core/Log.h"
#include "core/Text.h"
#include "text/TextFiles.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "text";

using TJsonDoc = nlohmann::json;

// The text parsed, or a discarded value when it is not JSON; a byte order mark is skipped.
TJsonDoc ParseDocument(std::string_view AText) {
  if (StartsWith(AText, "\xEF\xBB\xBF")) AText.remove_prefix(3);
  return TJsonDoc::parse(AText, nullptr, false);
}

const TJsonDoc* MemberArray(const TJsonDoc& ADoc, const char* AName) {
  if (!ADoc.is_object()) return nullptr;
  const auto It = ADoc.find(AName);
  return It != ADoc.end() && It->is_array() ? &*It : nullptr;
}

// A string member, or empty when it is missing or not a string.
std::string Member(const TJsonDoc& ARow, const char* AName) {
  const auto It = ARow.find(AName);
  return It != ARow.end() && It->is_string() ? ValidUtf8(It->get<std::string>()) : std::string();
}

bool IsCode(std::string_view ACode, std::size_t ALength) {
  if (ACode.size() != ALength) return false;
  bool Letter = false;
  for (char c : ACode) {
    if (c >= 'A' && c <= 'Z') {
      Letter = true;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return Letter;
}

TSpokenNames Names(const TJsonDoc& ARow) {
  TSpokenNames Result;
  for (int l = 0; l < SpokenLanguageCount; ++l)
    Result[l] = Trim(Member(ARow, std::string(SpokenLanguageCodes[l]).c_str()));
  return Result;
}

void LoadPart(const std::string& AFile, const char* AWhat,
              const std::function<bool(std::string_view, std::size_t&)>& ARead) {
  const auto Text = ReadTextFile(AFile);
  std::size_t Skipped = 0;
  if (!Text) {
    TAppLog::Warn(LogSource, "no %s table (%s); announcements are read without it", AWhat, AFile);
  } else if (!ARead(*Text, Skipped)) {
    TAppLog::Warn(LogSource, "the %s table is not valid (%s); announcements are read without it",
                  AWhat, AFile);
  } else if (Skipped > 0) {
    TAppLog::Warn(LogSource, "skipped %d unreadable rows of the %s table", Skipped, AWhat);
  }
}

}  // namespace

int SpokenLanguageIndex(std::string_view ACode) {
  for (int l = 0; l < SpokenLanguageCount; ++l)
    if (ACode == SpokenLanguageCodes[l]) return l;
  return -1;
}

bool ReadAirlines(std::string_view AText, std::vector<TAirlineFacts>& ARows,
                  std::size_t& ASkipped) {
  const TJsonDoc Doc = ParseDocument(AText);
  const TJsonDoc* Rows = MemberArray(Doc, "airlines");
  if (Rows == nullptr) return false;
  for (const TJsonDoc& Row : *Rows) {
    TAirlineFacts Facts;
    if (Row.is_object()) Facts = {Member(Row, "iata"), Member(Row, "icao"), Names(Row)};
    const bool Usable = (IsCode(Facts.Iata, 2) || Facts.Iata.empty()) &&
                        (IsCode(Facts.Icao, 3) || Facts.Icao.empty()) &&
                        !(Facts.Iata.empty() && Facts.Icao.empty()) &&
                        !Facts.Names[slEnglish].empty();
    if (Usable) {
      ARows.push_back(std::move(Facts));
    } else {
      ++ASkipped;
    }
  }
  return true;
}

bool ReadAirports(std::string_view AText, std::vector<TAirportFacts>& ARows,
                  std::size_t& ASkipped) {
  const TJsonDoc Doc = ParseDocument(AText);
  const TJsonDoc* Rows = MemberArray(Doc, "airports");
  if (Rows == nullptr) return false;
  for (const TJsonDoc& Row : *Rows) {
    TAirportFacts Facts;
    if (Row.is_object()) {
      const auto Word = Row.find("word");
      Facts = {Member(Row, "iata"), Names(Row),
               Word != Row.end() && Word->is_boolean() && Word->get<bool>()};
    }
    const bool Usable = IsCode(Facts.Iata, 3) &&
                        Facts.Iata.find_first_of("0123456789") == std::string::npos &&
                        !Facts.Names[slEnglish].empty();
    if (Usable) {
      ARows.push_back(std::move(Facts));
    } else {
      ++ASkipped;
    }
  }
  return true;
}

bool ReadDigits(std::string_view AText, std::array<TDigitWords, SpokenLanguageCount>& ADigits) {
  const TJsonDoc Doc = ParseDocument(AText);
  if (!Doc.is_object()) return false;
  const auto Table = Doc.find("digits");
  if (Table == Doc.end() || !Table->is_object()) return false;
  for (int l = 0; l < SpokenLanguageCount; ++l) {
    const auto Words = Table->find(std::string(SpokenLanguageCodes[l]));
    if (Words == Table->end() || !Words->is_array() || Words->size() != 10) continue;
    for (std::size_t d = 0; d < 10; ++d)
      if ((*Words)[d].is_string()) ADigits[l][d] = Trim(ValidUtf8((*Words)[d].get<std::string>()));
  }
  return true;
}

TSpeechTables LoadSpeechTables(const std::string& AFolder) {
  TSpeechTables Tables;
  LoadPart(AFolder + "airlines.json", "airline", [&](std::string_view AText, std::size_t& ASkip) {
    return ReadAirlines(AText, Tables.Airlines, ASkip);
  });
  LoadPart(AFolder + "airports.json", "airport", [&](std::string_view AText, std::size_t& ASkip) {
    return ReadAirports(AText, Tables.Airports, ASkip);
  });
  LoadPart(AFolder + "digits.json", "digit",
           [&](std::string_view AText, std::size_t&) { return ReadDigits(AText, Tables.Digits); });
  TAppLog::Info(LogSource, "announcement tables: %d airlines, %d airports", Tables.Airlines.size(),
                Tables.Airports.size());
  return Tables;
}

}  // namespace quavox
