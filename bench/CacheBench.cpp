// The audio cache at the size of a busy installation: 100 000 entries. Opening (index load
// and orphan adoption), a hit on a 200 KB clip that the page cache holds, a store that has
// to evict, and the full index write that the background writer does.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "audio/Wav.h"
#include "core/Log.h"
#include "platform/Files.h"
#include "state/Cache.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr int EntryCount = 100000;
constexpr int OrphanCount = 1000;
// What the index says each clip weighs: a 200 KB clip, as real announcements are. The files
// on disk are small so that the fixture fits any test machine; the budget arithmetic reads
// only the index.
constexpr int32_t ClipBytes = 200 * 1024;

TBytes MakeClip(int ASamples) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 24000;
  Pcm.Data.resize(static_cast<std::size_t>(ASamples));
  for (std::size_t i = 0; i < Pcm.Data.size(); ++i)
    Pcm.Data[i] = static_cast<float>(static_cast<int>(i % 400) - 200) / 400.0f;
  return PcmToWav(Pcm);
}

void WritePlain(const std::string& APath, const TBytes& ABytes) {
  const int Fd = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0 || ::write(Fd, ABytes.data(), ABytes.size()) != static_cast<ssize_t>(ABytes.size()))
    std::abort();
  ::close(Fd);
}

std::string IndexOf(int ACount) {
  std::string Text = "\xEF\xBB\xBF{\n";
  for (int i = 0; i < ACount; ++i) {
    const std::string Key = Sha256Hex(std::string_view("entry " + std::to_string(i)));
    Text += (i == 0 ? "  \"" : ",\n  \"") + Key + "\": {\n    \"file\": \"" + Key +
            ".wav\",\n    \"voice\": \"v" + std::to_string(i % 40) +
            "\",\n    \"text\": \"[calm] 各位旅客请注意,您乘坐的 CA" +
            std::to_string(1000 + i % 9000) + " 次航班现在开始登机,请携带好随身物品到 " +
            std::to_string(i % 60) +
            " 号登机口登机。\",\n    \"language\": \"zh\",\n    \"speed\": 1.0,\n    "
            "\"sampleRate\": 24000,\n    \"durationMs\": 4267,\n    \"bytes\": " +
            std::to_string(ClipBytes) + "\n  }";
  }
  return Text + "\n}";
}

// One folder for the whole run: 100 000 clips and their index.
struct TFixture {
  const TTempDir Scratch{"quavox-cache-bench"};
  const std::string Dir = Scratch.Path();
  std::string FullIndex;
  std::string IndexWithoutOrphans;  // the last OrphanCount clips are not listed

  TFixture() {
    const TBytes Small = MakeClip(300);
    for (int i = 0; i < EntryCount; ++i)
      WritePlain(Dir + Sha256Hex(std::string_view("entry " + std::to_string(i))) + ".wav", Small);
    FullIndex = IndexOf(EntryCount);
    IndexWithoutOrphans = IndexOf(EntryCount - OrphanCount);
  }

  void ResetIndex(const std::string& AText) const {
    WriteFileAtomic(Dir + "index.json", AText);
    fs::remove(Dir + "index.json.bak");
  }
};

TFixture& Fixture() {
  static TFixture f;
  return f;
}

void BM_OpenCache(benchmark::State& AState) {
  TFixture& f = Fixture();
  const bool Orphans = AState.range(0) != 0;
  for (auto _ : AState) {
    AState.PauseTiming();
    f.ResetIndex(Orphans ? f.IndexWithoutOrphans : f.FullIndex);
    TAppLog::Clear();
    AState.ResumeTiming();
    auto Cache = std::make_unique<TWavCache>(f.Dir, 0);
    AState.PauseTiming();
    if (Cache->Stats().Count != EntryCount) AState.SkipWithError("entries missing");
    Cache.reset();  // with orphans adopted this rewrites the index: not part of opening
    AState.ResumeTiming();
  }
  AState.SetLabel(Orphans ? "100k entries, 1k of them adopted" : "100k indexed entries");
}
BENCHMARK(BM_OpenCache)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_TryGetHit(benchmark::State& AState) {
  TFixture& f = Fixture();
  f.ResetIndex(f.FullIndex);
  TWavCache Cache(f.Dir, 0);
  TTtsResult Clip;
  Clip.Wav = MakeClip(100 * 1024);  // 200 KB
  Clip.SampleRate = 24000;
  Cache.Put("hot", Clip, "hot clip");
  Cache.WaitForPendingSave();
  TTtsResult r;
  if (!Cache.TryGet("hot", r)) AState.SkipWithError("no hit");
  for (auto _ : AState) {
    Cache.TryGet("hot", r);
    benchmark::DoNotOptimize(r.Wav.data());
  }
  AState.SetBytesProcessed(static_cast<int64_t>(AState.iterations()) *
                           static_cast<int64_t>(Clip.Wav.size()));
  Cache.Remove("hot");
}
BENCHMARK(BM_TryGetHit)->Unit(benchmark::kMicrosecond);

// Every store evicts the oldest entry of a full cache. The real clock runs, so the
// background writer rewrites the 100 000-entry index every 2 s meanwhile, as in service.
void BM_PutEvicting(benchmark::State& AState) {
  TFixture& f = Fixture();
  f.ResetIndex(f.FullIndex);
  TWavCache Cache(f.Dir, 0);
  // Full to the byte; earlier runs have already evicted some of the fixture's clips.
  Cache.SetBudget(Cache.Stats().Bytes);
  TTtsResult Clip;
  Clip.Wav = MakeClip(ClipBytes / 2 - 22);  // exactly ClipBytes long
  Clip.SampleRate = 24000;
  static int64_t Next = 0;
  double Worst = 0;
  const int64_t EvictionsBefore = Cache.Stats().Evictions;
  for (auto _ : AState) {
    const std::string Key = "new" + std::to_string(Next++);
    const auto Start = TClock::now();
    Cache.Put(Key, Clip, "a new announcement");
    const double Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
    AState.SetIterationTime(Seconds);
    Worst = std::max(Worst, Seconds);
  }
  if (Cache.Stats().Evictions - EvictionsBefore != AState.iterations())
    AState.SkipWithError("a store did not evict exactly one entry");
  AState.counters["worst_ms"] = Worst * 1000.0;
}
BENCHMARK(BM_PutEvicting)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

// What the background writer (and every forced save) costs at this size.
void BM_IndexWrite(benchmark::State& AState) {
  TFixture& f = Fixture();
  f.ResetIndex(f.FullIndex);
  const auto Frozen = TClock::now();
  TWavCache Cache(f.Dir, 0, [Frozen] { return Frozen; });
  TTtsResult Small;
  Small.Wav = MakeClip(100);
  Cache.Put("w", Small, "t");  // the first save is never held back
  Cache.WaitForPendingSave();
  int64_t Next = 0;
  for (auto _ : AState) {
    AState.PauseTiming();
    Cache.Put("w" + std::to_string(Next++), Small, "t");
    Cache.WaitForPendingSave();
    AState.ResumeTiming();
    Cache.Flush();
  }
}
BENCHMARK(BM_IndexWrite)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
