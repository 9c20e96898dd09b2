#include "audio/Loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <memory>

#include "audio/Dsp.h"

namespace quavox {

namespace {

struct TEbur128Deleter {
  void operator()(ebur128_state* AState) const { ebur128_destroy(&AState); }
};
using TEbur128 = std::unique_ptr<ebur128_state, TEbur128Deleter>;

double DbToGain(double ADb) {
  return std::pow(10.0, ADb / 20.0);
}

// Required gain per sample so that no sample exceeds ACeiling, spread over a look-ahead
// window (so the gain is already down when the peak arrives), released smoothly and
// averaged over the same window so the gain curve itself adds no clicks.
std::vector<float> LimiterGain(const std::vector<float>& AData, float ACeiling, int ALookAhead,
                               float ARelease) {
  const size_t n = AData.size();
  const size_t window = static_cast<size_t>(std::max(ALookAhead, 1));
  std::vector<float> required(n);
  for (size_t i = 0; i < n; ++i) {
    const float level = std::fabs(AData[i]);
    required[i] = level > ACeiling ? ACeiling / level : 1.0f;
  }
  // Minimum of required[i .. i+window), by a monotonic queue walked backwards.
  std::vector<float> ahead(n);
  std::deque<size_t> candidates;
  for (size_t k = n; k-- > 0;) {
    while (!candidates.empty() && required[candidates.back()] >= required[k]) {
      candidates.pop_back();
    }
    candidates.push_back(k);
    if (candidates.front() >= k + window) candidates.pop_front();
    ahead[k] = required[candidates.front()];
  }
  float held = 1.0f;
  for (size_t i = 0; i < n; ++i) {
    held = std::min(ahead[i], held + (1.0f - held) * ARelease);
    ahead[i] = held;
  }
  // Mean of the released curve over (i-window, i]; at a peak every term is at most its need.
  std::vector<float> gain(n);
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    sum += ahead[i];
    if (i >= window) sum -= ahead[i - window];
    const size_t count = std::min(i + 1, window);
    gain[i] = static_cast<float>(sum / static_cast<double>(count));
  }
  for (size_t i = 0; i + 1 < std::min(window, n); ++i)
    gain[i] = std::min(gain[i], ahead[i]);
  return gain;
}

void Limit(TPcmBuffer& ABuffer, double ACeilingDb) {
  const int lookAhead = std::max(1, ABuffer.SampleRate / 667);  // 1.5 ms
  const float release = 1.0f - std::exp(-1.0f / (0.05f * static_cast<float>(ABuffer.SampleRate)));
  const std::vector<float> gain =
      LimiterGain(ABuffer.Data, static_cast<float>(DbToGain(ACeilingDb)), lookAhead, release);
  for (size_t i = 0; i < ABuffer.Data.size(); ++i)
    ABuffer.Data[i] *= gain[i];
}

}  // namespace

bool TLoudness::IsMeasurable() const {
  return std::isfinite(IntegratedLufs);
}

TLoudness MeasureLoudness(const TPcmBuffer& ABuffer) {
  constexpr double kSilence = -std::numeric_limits<double>::infinity();
  if (ABuffer.SampleRate <= 0 || ABuffer.Data.empty()) return {kSilence, kSilence};
  TEbur128 state(ebur128_init(1, static_cast<unsigned long>(ABuffer.SampleRate),
                              EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK));
  if (!state || ebur128_add_frames_float(state.get(), ABuffer.Data.data(), ABuffer.Data.size()) !=
                    EBUR128_SUCCESS) {
    return {kSilence, kSilence};
  }
  TLoudness result{kSilence, kSilence};
  double lufs = 0;
  if (ebur128_loudness_global(state.get(), &lufs) == EBUR128_SUCCESS) result.IntegratedLufs = lufs;
  double peak = 0;
  if (ebur128_true_peak(state.get(), 0, &peak) == EBUR128_SUCCESS && peak > 0) {
    result.TruePeakDb = 20.0 * std::log10(peak);
  }
  return result;
}

void NormalizeLoudness(TPcmBuffer& ABuffer, double ATargetLufs, double AMaxTruePeakDb) {
  const TLoudness measured = MeasureLoudness(ABuffer);
  if (!measured.IsMeasurable()) return;
  const TPcmBuffer original = ABuffer;
  const auto render = [&](double AGainDb, double ACeilingDb) {
    ABuffer = original;
    ApplyGain(ABuffer, DbToGain(AGainDb));
    if (measured.TruePeakDb + AGainDb > AMaxTruePeakDb) Limit(ABuffer, ACeilingDb);
  };
  double gainDb = ATargetLufs - measured.IntegratedLufs;
  // The limiter works on samples; true peaks between samples can sit a little higher, so
  // its ceiling starts below the wanted one and is lowered by whatever still overshoots.
  // Limiting lowers the loudness a little, which the next round makes up.
  double ceilingDb = AMaxTruePeakDb - 0.5;
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    render(gainDb, ceilingDb);
    const TLoudness result = MeasureLoudness(ABuffer);
    const double peakExcess = result.TruePeakDb - AMaxTruePeakDb;
    const double loudnessShort = ATargetLufs - result.IntegratedLufs;
    if (peakExcess <= 0 && std::fabs(loudnessShort) <= 0.1) return;
    if (peakExcess > 0) ceilingDb -= peakExcess + 0.05;
    gainDb += loudnessShort;
  }
  render(gainDb, ceilingDb);
}

}  // namespace quavox
