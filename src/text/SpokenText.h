// Announcement text as an airport announcer reads it: flight numbers become the airline's
// name and the number, airport codes the city or airport, and gate, stand, belt, runway
// numbers and times are written out the way announcements in English, Chinese and Japanese
// say them. The operator's lexicon comes first; other languages get only the lexicon.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text/Lexicon.h"
#include "text/SpeechTables.h"

namespace quavox {

// Whether every byte sequence of the text is valid UTF-8.
bool IsValidUtf8(std::string_view AText);

// The built-in tables and one state of the lexicon, prepared for fast reading. Immutable
// once built, so any number of threads read one at once.
class TSpeechIndex {
 public:
  TSpeechIndex(std::shared_ptr<const TSpeechTables> ATables,
               const std::vector<TLexiconEntry>& AEntries);

  // This index with one lexicon entry changed: ARemoved (if any) taken out, then AAdded (if
  // its say is not empty) put in. Only the entry's language is copied; the rest is shared,
  // so a change costs the size of one language's lexicon, not a rebuild of the whole.
  std::shared_ptr<const TSpeechIndex> Changed(const TLexiconEntry* ARemoved,
                                              const TLexiconEntry& AAdded) const;

  // The text as it is to be spoken in the language (a normalised code; empty means the
  // script decides). Valid UTF-8 whatever the input; a text with nothing to rewrite comes
  // back byte for byte.
  std::string Speak(std::string_view AText, std::string_view ALanguage) const;

  // What the lexicon says for one language.
  struct TLanguageWords {
    std::unordered_map<std::string, std::string> Words;  // single words, ASCII lower case
    // Entries that are not a single word ("New York", "浦东"), ASCII lower case, and the
    // byte lengths they come in by their first character, longest first: a phrase is
    // looked up once per length that can start where the reading is.
    std::unordered_map<std::string, std::string> Phrases;
    std::unordered_map<char32_t, std::vector<std::size_t>> PhraseLengths;
    std::unordered_map<std::string, std::string> Codes;  // built-in codes, upper case
    TDigitWords Digits;
  };

 private:
  friend class TAnnouncementReader;
  const TLanguageWords* WordsFor(std::string_view ALanguage) const;
  // Where the leading Latin word of the text ends (its size when the text is one word).
  static std::size_t WordEndOf(std::string_view AText);
  static void AddPhrase(TLanguageWords& AWords, const TLexiconEntry& AEntry);
  enum TEntryKind : uint8_t { ekDigit, ekCode, ekWord, ekPhrase };
  TEntryKind KindOf(const TLexiconEntry& AEntry) const;
  void Add(TLanguageWords& AWords, const TLexiconEntry& AEntry) const;
  void Remove(TLanguageWords& AWords, const TLexiconEntry& AEntry) const;
  // The built-in digit words of a language the rules speak; empty ones otherwise.
  TDigitWords BuiltInDigits(std::string_view ALanguage) const;

  std::shared_ptr<const TSpeechTables> FTables;
  using TAirlineMap = std::unordered_map<std::string, const TAirlineFacts*>;
  using TAirportMap = std::unordered_map<std::string, const TAirportFacts*>;
  std::shared_ptr<const TAirlineMap> FAirlines;  // by IATA and by ICAO
  std::shared_ptr<const TAirportMap> FAirports;  // by IATA
  // Shared between the indexes of successive lexicon changes; never changed once built.
  std::unordered_map<std::string, std::shared_ptr<const TLanguageWords>> FLanguages;
};

}  // namespace quavox
