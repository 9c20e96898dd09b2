#include "text/Lexicon.h"

#include <algorithm>
#include <tuple>

#include <nlohmann/json.hpp>

#include "core/JsonText.h"
#include "core/Text.h"
#include "core/Types.h"
#include "text/SpokenText.h"
#include "text/TextFiles.h"

namespace quavox {

namespace {

bool HasControlCharacter(std::string_view AText) {
  return std::any_of(AText.begin(), AText.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

std::string CleanLexiconEntry(TLexiconEntry& AEntry) {
  const std::string Language = Trim(AEntry.Language);
  AEntry.Language = NormalizeLanguage(Language);
  AEntry.Word = Trim(ValidUtf8(AEntry.Word));
  AEntry.Say = Trim(ValidUtf8(AEntry.Say));
  if (AEntry.Language.empty())
    return Language.empty() ? "language is missing" : "language is not a language code";
  if (AEntry.Word.empty()) return "word is missing";
  if (Utf16Length(AEntry.Word) > MaxLexiconWordLength) return "word is too long";
  if (Utf16Length(AEntry.Say) > MaxLexiconSayLength) return "say is too long";
  if (HasControlCharacter(AEntry.Word) || HasControlCharacter(AEntry.Say))
    return "word and say must be one line of text";
  return {};
}

std::string LexiconKey(std::string_view ALanguage, std::string_view AWord) {
  return std::string(ALanguage) + ":" + LowerAscii(AWord);
}

bool ParseLexicon(std::string_view AText, std::vector<TLexiconEntry>& AEntries,
                  std::size_t& ASkipped) {
  if (StartsWith(AText, "\xEF\xBB\xBF")) AText.remove_prefix(3);
  const nlohmann::json Doc = nlohmann::json::parse(AText, nullptr, false);
  if (!Doc.is_object()) return false;
  const auto Languages = Doc.find("languages");
  if (Languages == Doc.end()) return true;
  if (!Languages->is_object()) return false;
  for (const auto& [Language, Words] : Languages->items()) {
    if (!Words.is_object()) {
      ++ASkipped;
      continue;
    }
    for (const auto& [Word, Say] : Words.items()) {
      TLexiconEntry Entry{Language, Word, Say.is_string() ? Say.get<std::string>() : ""};
      const bool Usable = CleanLexiconEntry(Entry).empty() && !Entry.Say.empty() &&
                          AEntries.size() < MaxLexiconEntries;
      if (Usable) {
        AEntries.push_back(std::move(Entry));
      } else {
        ++ASkipped;
      }
    }
  }
  return true;
}

// Written out directly: building an ordered JSON object costs a search of its members for
// every member added, the square of the lexicon's size.
bool TLexiconFileOrder::operator()(const TLexiconEntry* A, const TLexiconEntry* B) const {
  return std::tie(A->Language, A->Word) < std::tie(B->Language, B->Word);
}

std::string LexiconFileText(const std::vector<TLexiconEntry>& AEntries) {
  std::vector<const TLexiconEntry*> Sorted;
  Sorted.reserve(AEntries.size());
  for (const TLexiconEntry& Entry : AEntries)
    Sorted.push_back(&Entry);
  // Stable, so of a word given twice the last say is kept, as a JSON object would.
  std::stable_sort(Sorted.begin(), Sorted.end(), TLexiconFileOrder());
  return SortedLexiconFileText(Sorted);
}

std::string SortedLexiconFileText(const std::vector<const TLexiconEntry*>& ASorted) {
  std::string Text = "\xEF\xBB\xBF{\n  \"version\": ";
  AppendJsonString(Text, QuavoxVersion);
  Text += ",\n  \"languages\": {";
  const TLexiconEntry* Previous = nullptr;
  std::size_t SayAt = 0;
  for (const TLexiconEntry* Entry : ASorted) {
    if (Previous != nullptr && Previous->Language == Entry->Language) {
      // A word given twice keeps its last say, as a JSON object would.
      if (Previous->Word == Entry->Word) {
        Text.erase(SayAt);
        AppendJsonString(Text, Entry->Say);
        continue;
      }
      Text += ",";
    } else {
      if (Previous != nullptr) Text += "\n    },";
      Text += "\n    ";
      AppendJsonString(Text, Entry->Language);
      Text += ": {";
    }
    Text += "\n      ";
    AppendJsonString(Text, Entry->Word);
    Text += ": ";
    SayAt = Text.size();
    AppendJsonString(Text, Entry->Say);
    Previous = Entry;
  }
  Text += Previous == nullptr ? "}\n}\n" : "\n    }\n  }\n}\n";
  return Text;
}

}  // namespace quavox
