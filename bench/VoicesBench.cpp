// Reference audio on the synthesis path: every request the cache cannot answer asks for the
// voice's reference recording. Three 12 s clips exercise the merge (read, decode, join and
// cut to 30 s, re-encode), which runs once after the clips changed (budget: 20 ms per
// call); every other request reuses the prepared reference (budget: 0.1 ms per call).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <numbers>

#include "audio/Wav.h"
#include "core/Log.h"
#include "state/Config.h"
#include "state/Voices.h"

namespace quavox {
namespace {

TBytes Tone(double AFreq, int ARate, int AMs) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = ARate;
  Pcm.Data.resize(static_cast<std::size_t>(ARate) * AMs / 1000);
  for (std::size_t i = 0; i < Pcm.Data.size(); ++i)
    Pcm.Data[i] = 0.4f * static_cast<float>(std::sin(2 * std::numbers::pi * AFreq * i / ARate));
  return PcmToWav(Pcm);
}

// AChangeClips: a clip file is touched before each call, so every call merges afresh.
void RunReferenceAudio(benchmark::State& AState, bool AChangeClips) {
  const std::string Root = (std::filesystem::temp_directory_path() /
                            ("quavox-voices-bench-" + std::to_string(::getpid())))
                               .string() +
                           "/";
  {
    TAppConfig Config(TAppFolders{Root, Root + "appdata/"});
    TVoiceLibrary Library(Config);
    TVoiceCloneSpec Request;
    Request.Display = "Bench";
    for (int i = 0; i < 3; ++i)
      Request.Clips.push_back({Tone(180.0 + 40 * i, 24000, 12000), "t"});
    const TVoiceInfo Voice = Library.AddClone(Request);
    const std::string FirstClip = Library.ClipPath(Voice.Clips.front());
    std::size_t Bytes = 0;
    for (auto _ : AState) {
      if (AChangeClips) {
        AState.PauseTiming();
        std::filesystem::last_write_time(
            FirstClip, std::filesystem::last_write_time(FirstClip) + std::chrono::seconds(1));
        AState.ResumeTiming();
      }
      const TSharedBytes Reference = Library.ReferenceAudio(Voice);
      Bytes = Reference.size();
      benchmark::DoNotOptimize(Reference.data());
    }
    AState.counters["reference_bytes"] = static_cast<double>(Bytes);
  }
  TAppLog::Clear();
  std::filesystem::remove_all(Root);
}

void BM_ReferenceAudioMergeOfThreeClips(benchmark::State& AState) {
  RunReferenceAudio(AState, true);
}
BENCHMARK(BM_ReferenceAudioMergeOfThreeClips)->Unit(benchmark::kMillisecond);

void BM_ReferenceAudioReused(benchmark::State& AState) {
  RunReferenceAudio(AState, false);
}
BENCHMARK(BM_ReferenceAudioReused)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
