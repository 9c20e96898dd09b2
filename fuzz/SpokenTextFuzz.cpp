#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Text.h"
#include "text/Lexicon.h"
#include "text/Sentences.h"
#include "text/SpokenText.h"

// Any bytes as a lexicon file and as announcement text, read in every language: nothing may
// crash and what is to be spoken is always valid UTF-8. Bytes up to the first NUL are the
// lexicon and the rest the text; without a NUL the same bytes are both. The bytes are also
// read as each built-in table, and split into sentences: none is empty, and together they
// hold no more bytes than the text.
namespace {

const std::shared_ptr<const quavox::TSpeechTables>& ShippedTables() {
  static const auto Tables =
      std::make_shared<const quavox::TSpeechTables>(quavox::LoadSpeechTables(QX_TABLES_DIR));
  return Tables;
}

const std::vector<quavox::TLexiconEntry>& FixedEntries() {
  static const std::vector<quavox::TLexiconEntry> Entries = {
      {"en", "gate", "boarding gate"}, {"zh", "登机口", "登機口"}, {"ja", "1", "いち"}};
  return Entries;
}

bool IsValidUtf8(const std::string& AText) {
  return quavox::Utf16ToUtf8(quavox::Utf8ToUtf16(AText)) == AText;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string_view Bytes(reinterpret_cast<const char*>(AData), ASize);
  const std::size_t Nul = Bytes.find('\0');
  const std::string_view LexiconText = Bytes.substr(0, Nul);
  const std::string_view Text = Nul == std::string_view::npos ? Bytes : Bytes.substr(Nul + 1);

  std::vector<quavox::TLexiconEntry> Entries = FixedEntries();
  std::size_t Skipped = 0;
  quavox::ParseLexicon(LexiconText, Entries, Skipped);
  for (const quavox::TLexiconEntry& Entry : Entries)
    if (!IsValidUtf8(Entry.Word) || !IsValidUtf8(Entry.Say)) __builtin_trap();
  (void)quavox::LexiconFileText(Entries);

  std::vector<quavox::TAirlineFacts> Airlines;
  std::vector<quavox::TAirportFacts> Airports;
  std::array<quavox::TDigitWords, quavox::SpokenLanguageCount> Digits;
  quavox::ReadAirlines(Bytes, Airlines, Skipped);
  quavox::ReadAirports(Bytes, Airports, Skipped);
  quavox::ReadDigits(Bytes, Digits);

  // Building an index costs far more than a reading: inputs that add no entries share one.
  static const quavox::TSpeechIndex Fixed(ShippedTables(), FixedEntries());
  std::unique_ptr<quavox::TSpeechIndex> Own;
  if (Entries.size() > FixedEntries().size())
    Own = std::make_unique<quavox::TSpeechIndex>(ShippedTables(), Entries);
  const quavox::TSpeechIndex& Index = Own ? *Own : Fixed;
  for (const char* Language : {"en", "zh", "ja", "", "fr"})
    if (!IsValidUtf8(Index.Speak(Text, Language))) __builtin_trap();

  std::size_t SentenceBytes = 0;
  for (const std::string& Sentence : quavox::SplitSentences(Text)) {
    if (Sentence.empty()) __builtin_trap();
    SentenceBytes += Sentence.size();
  }
  if (SentenceBytes > Text.size()) __builtin_trap();
  return 0;
}
