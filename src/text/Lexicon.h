// The operator's lexicon: per language, what to say for a word or a code. An entry whose
// word is an airline designator or airport code of the built-in tables names that airline
// or airport wherever the rules read the code; an entry whose word is a single digit is
// that language's digit word; every other entry replaces the word wherever it stands
// alone, ignoring ASCII letter case. The file is data/lexicon.json, written whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quavox {

struct TLexiconEntry {
  std::string Language;
  std::string Word;
  std::string Say;
};

// Bounds that keep one entry and the whole lexicon small enough to rebuild at once.
constexpr std::size_t MaxLexiconWordLength = 64;  // UTF-16 code units
constexpr std::size_t MaxLexiconSayLength = 256;  // UTF-16 code units
constexpr std::size_t MaxLexiconEntries = 100000;

// Cleans an entry in place (normalised language, trimmed word and say, valid UTF-8); empty
// when it can be stored, otherwise why not. An empty say is allowed: it means removal.
std::string CleanLexiconEntry(TLexiconEntry& AEntry);

// The entries of a lexicon file's text that can be stored, in file order; ASkipped counts
// those that cannot. False when the text is not a lexicon document at all.
bool ParseLexicon(std::string_view AText, std::vector<TLexiconEntry>& AEntries,
                  std::size_t& ASkipped);
// The file's text: UTF-8 with a byte order mark, indented by two spaces, languages and
// words in sorted order.
std::string LexiconFileText(const std::vector<TLexiconEntry>& AEntries);
// The same for entries already in file order (by language, then word).
std::string SortedLexiconFileText(const std::vector<const TLexiconEntry*>& ASorted);
// File order: by language, then word.
struct TLexiconFileOrder {
  bool operator()(const TLexiconEntry* A, const TLexiconEntry* B) const;
};

// The key under which an entry is stored: two entries with the same key are one entry.
std::string LexiconKey(std::string_view ALanguage, std::string_view AWord);

}  // namespace quavox
