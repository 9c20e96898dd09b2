// The announcement rules at the size of a large installation: a 500-character announcement
// read with a 10 000-entry lexicon, and loading that lexicon (file, tables and index) as the
// service does at start and after every change, and one change at up to 100 000 entries.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/Text.h"
#include "platform/Files.h"
#include "support/TempDir.h"
#include "text/Lexicon.h"
#include "text/SpokenText.h"
#include "text/TextRules.h"

namespace quavox {
namespace {

constexpr int LexiconSize = 10000;
const std::string TablesDir = QUAVOX_SOURCE_DIR "/data/text/";

// Made-up words in the proportions an operator's lexicon might have: mostly English words
// and names, Chinese and Japanese phrases, a few multi-word names.
std::vector<TLexiconEntry> MakeLexicon(int ASize = LexiconSize) {
  std::mt19937 Random(17);
  std::uniform_int_distribution<int> Letter('a', 'z'), Length(4, 10), Han(0x4E00, 0x9FA5);
  std::vector<TLexiconEntry> Entries;
  for (int i = 0; i < ASize; ++i) {
    std::string Word;
    const int Kind = i % 10;
    if (Kind < 6) {
      for (int k = Length(Random); k > 0; --k)
        Word += static_cast<char>(Letter(Random));
      Entries.push_back({"en", Word, Word + " said"});
    } else if (Kind < 9) {
      for (int k = 2 + i % 3; k > 0; --k)
        AppendUtf8(Word, static_cast<char32_t>(Han(Random)));
      Entries.push_back({Kind < 8 ? "zh" : "ja", Word, Word + "読"});
    } else {
      for (int k = Length(Random); k > 0; --k)
        Word += static_cast<char>(Letter(Random));
      Entries.push_back({"en", "New " + Word, "Nouveau " + Word});
    }
  }
  return Entries;
}

std::string Announcement(const char* ALine) {
  std::string Text;
  while (Utf16Length(Text) + Utf16Length(ALine) <= 500)
    Text += ALine;
  return Text;
}

void BM_SpeakWithLargeLexicon(benchmark::State& AState, const char* ALanguage, const char* ALine) {
  const TSpeechIndex Index(std::make_shared<const TSpeechTables>(LoadSpeechTables(TablesDir)),
                           MakeLexicon());
  const std::string Text = Announcement(ALine);
  for (auto _ : AState)
    benchmark::DoNotOptimize(Index.Speak(Text, ALanguage));
  AState.counters["chars"] = static_cast<double>(Utf16Length(Text));
}
BENCHMARK_CAPTURE(BM_SpeakWithLargeLexicon, English, "en",
                  "Flight CA1234 to PEK is now boarding at gate B12, departure 14:35. ")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpeakWithLargeLexicon, Chinese, "zh",
                  "前往PEK的CA1234航班现在开始登机,请到B12登机口,起飞时间14:35。")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SpeakWithLargeLexicon, Japanese, "ja",
                  "JL123便HND行きは12番搭乗口より14:35にご搭乗いただけます。")
    ->Unit(benchmark::kMicrosecond);

void BM_LoadLargeLexicon(benchmark::State& AState) {
  const TTempDir Dir("quavox-lexicon-bench");
  const std::string File = Dir.Path() + "lexicon.json";
  WriteFileAtomic(File, LexiconFileText(MakeLexicon()));
  for (auto _ : AState) {
    const TTextRules Rules(TablesDir, File);
    benchmark::DoNotOptimize(Rules.Speak("CA1 to PEK", "en"));
  }
}
BENCHMARK(BM_LoadLargeLexicon)->Unit(benchmark::kMillisecond);

// One change through the API (file written whole, index rebuilt) at a lexicon of the given
// size; a change must cost no more than linear in the size.
void BM_PutIntoLargeLexicon(benchmark::State& AState) {
  const TTempDir Dir("quavox-lexicon-put-bench");
  const std::string File = Dir.Path() + "lexicon.json";
  const std::vector<TLexiconEntry> Entries = MakeLexicon(static_cast<int>(AState.range(0)));
  WriteFileAtomic(File, LexiconFileText(Entries));
  TTextRules Rules(TablesDir, File);
  const TLexiconEntry& Changed = Entries.front();
  int Round = 0;
  for (auto _ : AState)
    Rules.Put({Changed.Language, Changed.Word, Round++ % 2 == 0 ? "first" : "second"});
}
BENCHMARK(BM_PutIntoLargeLexicon)->Arg(25000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
