// Moving a whole site's voices: export and import of 50 voices with three 10 s clips each
// (about 72 MB of reference audio). Budget: 5 s for each direction.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "audio/Wav.h"
#include "core/Log.h"
#include "state/ClonePack.h"
#include "state/Config.h"
#include "state/Voices.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

constexpr int VoiceCount = 50;

// A tone under low noise, so deflate meets recording-like data rather than a pure period.
TBytes Clip(int AVoice, int AClip) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 24000;
  Pcm.Data.resize(240000);
  uint32_t Noise = static_cast<uint32_t>(AVoice * 7919 + AClip * 104729 + 1);
  const double Freq = 120.0 + AVoice * 3 + AClip * 50;
  for (std::size_t i = 0; i < Pcm.Data.size(); ++i) {
    Noise = Noise * 1664525u + 1013904223u;
    Pcm.Data[i] = 0.4f * static_cast<float>(std::sin(2 * std::numbers::pi * Freq * i / 24000)) +
                  0.02f * (static_cast<float>(Noise >> 8) / 16777216.0f - 0.5f);
  }
  return PcmToWav(Pcm);
}

struct TBenchSite {
  TBenchSite() {
    Base =
        (fs::temp_directory_path() / ("quavox-pack-bench-" + std::to_string(::getpid()))).string() +
        "/";
    fs::create_directories(Base);
    Config = std::make_unique<TAppConfig>(TAppFolders{Base + "a/", Base + "a/appdata/"});
    Library = std::make_unique<TVoiceLibrary>(*Config);
    for (int v = 0; v < VoiceCount; ++v) {
      TVoiceCloneSpec Request;
      Request.Display = "Voice " + std::to_string(v);
      Request.Language = "zh";
      for (int c = 0; c < 3; ++c)
        Request.Clips.push_back({Clip(v, c), "clip " + std::to_string(c)});
      Ids.push_back(Library->AddClone(Request).Id);
    }
  }
  ~TBenchSite() {
    Library.reset();
    Config.reset();
    fs::remove_all(Base);
  }
  std::string Base;
  std::unique_ptr<TAppConfig> Config;
  std::unique_ptr<TVoiceLibrary> Library;
  std::vector<std::string> Ids;
};

TBenchSite& Site() {
  static TBenchSite Instance;
  return Instance;
}

void BM_ExportFiftyVoices(benchmark::State& AState) {
  TBenchSite& S = Site();
  for (auto _ : AState) {
    const TPackSummary Summary = ExportVoicesPack(S.Base + "bench.cln", S.Ids, *S.Library);
    benchmark::DoNotOptimize(Summary.Bytes);
  }
  TAppLog::Clear();
}

void BM_ImportFiftyVoices(benchmark::State& AState) {
  TBenchSite& S = Site();
  ExportVoicesPack(S.Base + "bench.cln", S.Ids, *S.Library);
  int Round = 0;
  for (auto _ : AState) {
    AState.PauseTiming();
    const std::string Root = S.Base + "b" + std::to_string(Round++) + "/";
    auto Config = std::make_unique<TAppConfig>(TAppFolders{Root, Root + "appdata/"});
    auto Library = std::make_unique<TVoiceLibrary>(*Config);
    AState.ResumeTiming();
    const TPackSummary Summary = ImportPack(S.Base + "bench.cln", *Library, *Config);
    if (Summary.VoicesAdded != VoiceCount) AState.SkipWithError("not every voice was imported");
    AState.PauseTiming();
    Library.reset();
    Config.reset();
    fs::remove_all(Root);
    AState.ResumeTiming();
  }
  TAppLog::Clear();
}

BENCHMARK(BM_ExportFiftyVoices)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ImportFiftyVoices)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
