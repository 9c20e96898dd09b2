// The server-side cost of a whole announcement whose three segments come from the cache:
// reading the three cached WAVs, assembling them (rate, trimming, loudness, chime, gaps,
// fades) and writing the one WAV that is sent.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>

#include "audio/Announce.h"
#include "audio/Wav.h"

namespace quavox {
namespace {

constexpr int32_t Rate = 22050;

// Syllable-like bursts of filtered noise at speech level, with silence at both ends as the
// engine leaves it.
TBytes SpeechLikeWav(double ASeconds, unsigned ASeed, double ALevel) {
  std::mt19937 Random(ASeed);
  std::normal_distribution<float> Noise(0.0f, 1.0f);
  TPcmBuffer Pcm;
  Pcm.SampleRate = Rate;
  const auto Count = static_cast<std::size_t>(ASeconds * Rate);
  const std::size_t Edge = Rate / 10;
  float Smoothed = 0;
  for (std::size_t i = 0; i < Count; ++i) {
    const double t = static_cast<double>(i) / Rate;
    const double Syllable = std::max(0.0, std::sin(2 * std::numbers::pi * 4 * t));
    Smoothed = 0.7f * Smoothed + 0.3f * Noise(Random);
    const bool Silent = i < Edge || i + Edge >= Count;
    Pcm.Data.push_back(Silent ? 0.0f : static_cast<float>(ALevel * Syllable * Smoothed));
  }
  return PcmToWav(Pcm, 1);
}

void AssembleCachedAnnouncement(benchmark::State& AState, std::optional<double> ATarget) {
  const std::vector<TBytes> Cached = {SpeechLikeWav(3.0, 1, 0.5), SpeechLikeWav(2.5, 2, 0.3),
                                      SpeechLikeWav(3.5, 3, 0.4)};
  TAnnounceLayout Layout;
  Layout.Chime = cmBoth;
  Layout.LoudnessLufs = ATarget;
  std::size_t Bytes = 0;
  for (auto _ : AState) {
    std::vector<TPcmBuffer> Segments(Cached.size());
    for (std::size_t i = 0; i < Cached.size(); ++i)
      WavToPcm(Cached[i], Segments[i]);
    const TAnnouncement Whole = AssembleAnnouncement(std::move(Segments), Layout);
    const TBytes Wav = PcmToWav(Whole.Pcm, 1);
    Bytes = Wav.size();
    benchmark::DoNotOptimize(Wav.data());
  }
  AState.counters["wav_bytes"] = static_cast<double>(Bytes);
}

void BM_AnnounceEqualLoudness(benchmark::State& AState) {
  AssembleCachedAnnouncement(AState, std::nullopt);
}
void BM_AnnounceLoudnessTarget(benchmark::State& AState) {
  AssembleCachedAnnouncement(AState, -16.0);
}
BENCHMARK(BM_AnnounceEqualLoudness)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnnounceLoudnessTarget)->Unit(benchmark::kMillisecond);

void BM_Chime(benchmark::State& AState) {
  for (auto _ : AState)
    benchmark::DoNotOptimize(MakeChime(Rate, false).Data.data());
}
BENCHMARK(BM_Chime)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
