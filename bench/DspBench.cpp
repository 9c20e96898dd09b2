// Speed of the audio operations on the service's hot paths. The figures that matter are
// the "x_realtime" counters: seconds of audio processed per second of one core.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "audio/Dsp.h"
#include "engine/EnginePlaceholder.h"

namespace quavox {
namespace {

// Five seconds of something speech-like: a gliding harmonic voice with syllable
// envelopes and a little noise, so the similarity search sees realistic structure.
TPcmBuffer SpeechLike(int ARate, double ASeconds = 5.0) {
  TPcmBuffer b;
  b.SampleRate = ARate;
  b.Data.resize(static_cast<std::size_t>(ARate * ASeconds));
  std::mt19937 Rng(1);
  std::normal_distribution<float> Noise(0.0f, 0.02f);
  double Phase = 0;
  for (std::size_t i = 0; i < b.Data.size(); ++i) {
    const double t = static_cast<double>(i) / ARate;
    const double F0 = 140 + 30 * std::sin(2 * M_PI * 0.7 * t);
    Phase += 2 * M_PI * F0 / ARate;
    const double Syllable = 0.5 + 0.5 * std::sin(2 * M_PI * 4.0 * t);
    double v = 0;
    for (int h = 1; h <= 6; ++h)
      v += std::sin(h * Phase) / h;
    b.Data[i] = static_cast<float>(0.3 * Syllable * v) + Noise(Rng);
  }
  return b;
}

void SetRealtime(benchmark::State& AState, double AAudioSeconds) {
  AState.counters["x_realtime"] = benchmark::Counter(
      AAudioSeconds * static_cast<double>(AState.iterations()), benchmark::Counter::kIsRate);
}

void BM_TimeStretch(benchmark::State& AState) {
  const TPcmBuffer In = SpeechLike(static_cast<int>(AState.range(0)));
  const float Speed = static_cast<float>(AState.range(1)) / 10.0f;
  for (auto _ : AState)
    benchmark::DoNotOptimize(TimeStretch(In, Speed));
  SetRealtime(AState, 5.0);
}
BENCHMARK(BM_TimeStretch)
    ->ArgNames({"rate", "speed_x10"})
    ->Args({44100, 13})
    ->Args({44100, 8})
    ->Args({24000, 13})
    ->Args({24000, 8})
    ->Unit(benchmark::kMillisecond);

void BM_ResampleTo(benchmark::State& AState) {
  const TPcmBuffer In = SpeechLike(44100);
  for (auto _ : AState)
    benchmark::DoNotOptimize(ResampleTo(In, 24000));
  SetRealtime(AState, 5.0);
}
BENCHMARK(BM_ResampleTo)->Unit(benchmark::kMillisecond);

void BM_PlaceholderLine(benchmark::State& AState) {
  TPlaceholderEngine Engine(TEngineOptions{});
  TS2Params Params;
  Params.Text =
      "Ladies and gentlemen, flight CA1234 to Beijing is now boarding at gate 25. "
      "Please have your boarding pass ready.";
  Params.Text.resize(100);
  double AudioSeconds = 0;
  for (auto _ : AState) {
    const TPcmBuffer Pcm = Engine.Synthesize(Params, TVoiceHint{"en", tgFemale, 3, ""});
    AudioSeconds = Pcm.DurationMs() / 1000.0;
    benchmark::DoNotOptimize(Pcm.Data.data());
  }
  SetRealtime(AState, AudioSeconds);
}
BENCHMARK(BM_PlaceholderLine)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
