#include "text/Lexicon.h"

#include <algorithm>
#include <tuple>

#include <nlohmann/json.hpp>

#include "core/Text.h"
#include "core/Types.h"
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

std::string LexiconFileText(const std::vector<TLexiconEntry>& AEntries) {
  nlohmann::ordered_json Languages = nlohmann::ordered_json::object();
  std::vector<const TLexiconEntry*> Sorted;
  Sorted.reserve(AEntries.size());
  for (const TLexiconEntry& Entry : AEntries)
    Sorted.push_back(&Entry);
  std::sort(Sorted.begin(), Sorted.end(), [](const TLexiconEntry* A, const TLexiconEntry* B) {
    return std::tie(A->Language, A->Word) < std::tie(B->Language, B->Word);
  });
  for (const TLexiconEntry* Entry : Sorted)
    Languages[Entry->Language][Entry->Word] = Entry->Say;
  nlohmann::ordered_json Root = nlohmann::ordered_json::object();
  Root["version"] = QuavoxVersion;
  Root["languages"] = std::move(Languages);
  return "\xEF\xBB\xBF" +
         Root.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace quavox
