// Speed of the delivery step on five seconds of 22050 Hz speech: encoding to each format
// (with the rate change Opus and G.711 need), and loudness measurement with gain. The
// speech comes from espeak-ng when it is installed, else from a speech-like synthetic
// voice.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>

#include "audio/Encode.h"
#include "audio/Loudness.h"
#include "audio/Wav.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

constexpr int SpeechRate = 22050;
constexpr double SpeechSeconds = 5.0;

TPcmBuffer SyntheticSpeech() {
  TPcmBuffer b;
  b.SampleRate = SpeechRate;
  b.Data.resize(static_cast<std::size_t>(SpeechRate * SpeechSeconds));
  std::mt19937 Rng(1);
  std::normal_distribution<float> Noise(0.0f, 0.02f);
  double Phase = 0;
  for (std::size_t i = 0; i < b.Data.size(); ++i) {
    const double t = static_cast<double>(i) / SpeechRate;
    Phase += 2 * M_PI * (140 + 30 * std::sin(2 * M_PI * 0.7 * t)) / SpeechRate;
    double v = 0;
    for (int h = 1; h <= 6; ++h)
      v += std::sin(h * Phase) / h;
    b.Data[i] = static_cast<float>(0.3 * (0.5 + 0.5 * std::sin(8 * M_PI * t)) * v) + Noise(Rng);
  }
  return b;
}

TPcmBuffer EspeakSpeech() {
  TTempDir Dir;
  const std::string File = Dir.Path() + "speech.wav";
  const std::string Command =
      "espeak-ng -w '" + File +
      "' 'Good afternoon ladies and gentlemen. Flight C A 1 2 3 4 to Beijing is now boarding at "
      "gate twenty three. Please have your boarding pass ready.' 2>/dev/null";
  TPcmBuffer Pcm;
  if (std::system(Command.c_str()) != 0 || !WavToPcm(ReadFileBytes(File), Pcm) ||
      Pcm.SampleRate != SpeechRate ||
      Pcm.Data.size() < static_cast<std::size_t>(SpeechRate * SpeechSeconds))
    return SyntheticSpeech();
  Pcm.Data.resize(static_cast<std::size_t>(SpeechRate * SpeechSeconds));
  return Pcm;
}

const TPcmBuffer& Speech() {
  static const TPcmBuffer Clip = EspeakSpeech();
  return Clip;
}

void SetRealtime(benchmark::State& AState) {
  AState.counters["x_realtime"] = benchmark::Counter(
      SpeechSeconds * static_cast<double>(AState.iterations()), benchmark::Counter::kIsRate);
}

void BM_Deliver(benchmark::State& AState) {
  const auto Format = static_cast<TAudioFormat>(AState.range(0));
  AState.SetLabel(std::string(AudioFormatName(Format)));
  for (auto _ : AState)
    benchmark::DoNotOptimize(DeliverAudio(Speech(), {Format, 0, 0}));
  SetRealtime(AState);
}
BENCHMARK(BM_Deliver)->DenseRange(afWav, afAlaw)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_MeasureLoudness(benchmark::State& AState) {
  for (auto _ : AState)
    benchmark::DoNotOptimize(MeasureLoudness(Speech()));
  SetRealtime(AState);
}
BENCHMARK(BM_MeasureLoudness)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_NormalizeLoudness(benchmark::State& AState) {
  const double Target = static_cast<double>(-AState.range(0));
  for (auto _ : AState) {
    TPcmBuffer Clip = Speech();
    NormalizeLoudness(Clip, Target);
    benchmark::DoNotOptimize(Clip);
  }
  SetRealtime(AState);
}
BENCHMARK(BM_NormalizeLoudness)->Arg(16)->Arg(23)->Unit(benchmark::kMillisecond)->MinTime(0.5);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
