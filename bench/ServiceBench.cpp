// The service's cache-hit path as announcement servers see it, and the resident memory of a
// service holding a large cache and voice library.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "audio/Wav.h"
#include "core/Log.h"
#include "service/Service.h"
#include "state/Cache.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

std::string FreshRoot(const std::string& AName) {
  const std::string Root =
      (fs::temp_directory_path() / ("quavox-bench-" + AName + "-" + std::to_string(::getpid())))
          .string() +
      "/";
  fs::remove_all(Root);
  return Root;
}

// About five seconds of placeholder speech at 44100 Hz.
const std::string FiveSecondLine =
    "Flight CA1234 to Beijing now boarding at gate twenty five, please";

void BM_CacheHit(benchmark::State& AState) {
  const float Speed = static_cast<float>(AState.range(0)) / 10.0f;
  const std::string Root = FreshRoot("hit");
  TAppConfig Config(TAppFolders{Root, Root + "appdata/"});
  {
    TTtsService Service(Config);
    const TTtsRequest Req = TTtsRequest::Make(FiveSecondLine, "en", tgFemale, Speed);
    const TTtsResult First = Service.Synthesize(Req);
    AState.counters["clip_ms"] = First.DurationMs;
    for (auto _ : AState) {
      const TTtsResult Hit = Service.Synthesize(Req);
      if (!Hit.FromCache) AState.SkipWithError("not a cache hit");
      benchmark::DoNotOptimize(Hit.Wav.data());
    }
  }
  fs::remove_all(Root);
}
BENCHMARK(BM_CacheHit)->ArgName("speed_x10")->Arg(10)->Arg(13)->Unit(benchmark::kMicrosecond);

void BM_ReadCachedFile(benchmark::State& AState) {
  const std::string Root = FreshRoot("read");
  TAppConfig Config(TAppFolders{Root, Root + "appdata/"});
  TTtsService Service(Config);
  Service.Synthesize(TTtsRequest::Make(FiveSecondLine, "en", tgFemale, 1.0f));
  std::string File;
  for (const auto& Entry : fs::directory_iterator(Root + "temp"))
    if (Entry.path().extension() == ".wav") File = Entry.path().string();
  for (auto _ : AState)
    benchmark::DoNotOptimize(ReadFileBytes(File).data());
  fs::remove_all(Root);
}
BENCHMARK(BM_ReadCachedFile)->Unit(benchmark::kMicrosecond);

long ResidentKiB() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind("VmRSS:", 0) == 0) return std::stol(Line.substr(6));
  return -1;
}

// 10,000 cached entries and 200 voices on disk; a fresh process opens the service over
// them and reports its resident memory.
void BM_ResidentWithLargeState(benchmark::State& AState) {
  const std::string Root = FreshRoot("rss");
  {
    TWavCache Cache(Root + "temp/", 0);
    TTtsResult Result;
    Result.Wav = PcmToWav(TPcmBuffer{std::vector<float>(4000, 0.1f), 24000});
    Result.SampleRate = 24000;
    Result.DurationMs = 167;
    for (int i = 0; i < 10000; ++i)
      Cache.Put(Sha256Hex(std::to_string(i)), Result, "announcement line " + std::to_string(i));
    Cache.Flush();
    TAppConfig Config(TAppFolders{Root, Root + "appdata/"});
    TTtsService Service(Config);
    for (int v = 0; v < 200; ++v) {
      TVoiceCloneSpec Request;
      Request.Display = "voice " + std::to_string(v);
      Request.Language = "zh";
      Request.Clips.push_back(
          {PcmToWav(TPcmBuffer{std::vector<float>(24000 * 6, 0.01f * (v % 50 + 1)), 24000}),
           "reference " + std::to_string(v)});
      Service.CloneVoice(Request);
    }
  }
  for (auto _ : AState) {
    int Pipe[2];
    if (::pipe(Pipe) != 0) AState.SkipWithError("pipe");
    const pid_t Child = ::fork();
    if (Child == 0) {
      long Kib = -1;
      {
        TAppConfig Config(TAppFolders{Root, Root + "appdata/"});
        Config.Load();
        TTtsService Service(Config);
        Kib = ResidentKiB();
      }
      (void)!::write(Pipe[1], &Kib, sizeof Kib);
      ::_exit(0);
    }
    long Kib = -1;
    (void)!::read(Pipe[0], &Kib, sizeof Kib);
    ::waitpid(Child, nullptr, 0);
    ::close(Pipe[0]);
    ::close(Pipe[1]);
    AState.counters["service_rss_MiB"] = static_cast<double>(Kib) / 1024.0;
  }
  fs::remove_all(Root);
}
BENCHMARK(BM_ResidentWithLargeState)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
