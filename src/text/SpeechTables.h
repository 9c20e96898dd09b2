// The facts the announcement rules read: airlines with their designators, airports with
// their codes and the digit words, in the three languages the rules speak. They are data
// files in the program folder's "text" folder, so a new airline needs no new program.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quavox {

// The languages the rules read announcements in; other languages get only the operator's
// own lexicon entries.
enum TSpokenLanguage : int { slEnglish = 0, slChinese = 1, slJapanese = 2 };
constexpr int SpokenLanguageCount = 3;
constexpr std::array<std::string_view, SpokenLanguageCount> SpokenLanguageCodes = {"en", "zh",
                                                                                   "ja"};
// The index of a normalised language code, or -1 when the rules do not speak it.
int SpokenLanguageIndex(std::string_view ACode);

using TSpokenNames = std::array<std::string, SpokenLanguageCount>;
using TDigitWords = std::array<std::string, 10>;

struct TAirlineFacts {
  std::string Iata;
  std::string Icao;
  TSpokenNames Names;
};

struct TAirportFacts {
  std::string Iata;
  TSpokenNames Names;
  // Also an English word ("CAN", "MAD"): read as a place only where the text marks one.
  bool IsWord = false;
};

struct TSpeechTables {
  std::vector<TAirlineFacts> Airlines;
  std::vector<TAirportFacts> Airports;
  std::array<TDigitWords, SpokenLanguageCount> Digits;
};

// Each reader keeps the well-formed rows of a file's text and counts the rows it skipped;
// false when the text is not a JSON object holding the expected member.
bool ReadAirlines(std::string_view AText, std::vector<TAirlineFacts>& ARows, std::size_t& ASkipped);
bool ReadAirports(std::string_view AText, std::vector<TAirportFacts>& ARows, std::size_t& ASkipped);
bool ReadDigits(std::string_view AText, std::array<TDigitWords, SpokenLanguageCount>& ADigits);

// Reads airlines.json, airports.json and digits.json from the folder. A missing or
// unreadable file is logged and leaves its part empty; nothing is raised.
TSpeechTables LoadSpeechTables(const std::string& AFolder);

}  // namespace quavox
