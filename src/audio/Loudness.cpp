#include "audio/Loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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

// Four lanes at a time on every processor the compilers know, without asking for a
// particular instruction set.
using TFloat4 = float __attribute__((vector_size(16)));
using TInt4 = int32_t __attribute__((vector_size(16)));

// AOut[i] += AScale * AIn[i].
void MultiplyAdd(float* AOut, const float* AIn, float AScale, size_t AN) {
  size_t i = 0;
  const TFloat4 Scale = {AScale, AScale, AScale, AScale};
  for (; i + 4 <= AN; i += 4) {
    TFloat4 In;
    TFloat4 Out;
    std::memcpy(&In, AIn + i, sizeof In);
    std::memcpy(&Out, AOut + i, sizeof Out);
    Out += Scale * In;
    std::memcpy(AOut + i, &Out, sizeof Out);
  }
  for (; i < AN; ++i)
    AOut[i] += AScale * AIn[i];
}

// The largest |AIn[i]|.
float MaxMagnitude(const float* AIn, size_t AN) {
  const TInt4 NoSign = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF};
  TInt4 Best = {0, 0, 0, 0};  // magnitudes compare as integers, as their bits are ordered
  size_t i = 0;
  for (; i + 4 <= AN; i += 4) {
    TInt4 Value;
    std::memcpy(&Value, AIn + i, sizeof Value);
    Value &= NoSign;
    const TInt4 Larger = Value > Best;
    Best = (Value & Larger) | (Best & ~Larger);
  }
  float Peak = 0;
  for (int Lane = 0; Lane < 4; ++Lane) {
    float Lanes;
    std::memcpy(&Lanes, reinterpret_cast<const char*>(&Best) + Lane * sizeof(float), sizeof Lanes);
    Peak = std::max(Peak, Lanes);
  }
  for (; i < AN; ++i)
    Peak = std::max(Peak, std::fabs(AIn[i]));
  return Peak;
}

// The highest magnitude of the signal between its samples, found by oversampling as
// BS.1770 describes: four times below 96 kHz, twice below 192 kHz (a 49-tap Hann-windowed
// sinc interpolator, the design libebur128 uses). libebur128's own meter walks the taps
// sample by sample and costs more than the loudness measurement itself; here each phase
// of the interpolator runs in blocks that stay in the processor's cache.
float TruePeak(const std::vector<float>& AData, int32_t ARate) {
  float Peak = MaxMagnitude(AData.data(), AData.size());
  const int Factor = ARate < 96000 ? 4 : ARate < 192000 ? 2 : 1;
  if (Factor == 1 || AData.empty()) return Peak;
  constexpr int Taps = 49;
  constexpr double Centre = (Taps - 1) / 2.0;
  constexpr size_t Block = 4096;
  const size_t n = AData.size();
  std::vector<float> Out(Block);
  // Phase 0 lands on the samples themselves (its taps are zero but the centre one).
  for (int p = 1; p < Factor; ++p) {
    std::vector<float> Phase;
    for (int j = p; j < Taps; j += Factor) {
      const double m = (j - Centre) * M_PI / Factor;
      Phase.push_back(
          static_cast<float>(std::sin(m) / m * 0.5 * (1 - std::cos(2 * M_PI * j / (Taps - 1)))));
    }
    // Output j of this phase is the sum over its taps k of Phase[k] * AData[j - k].
    const size_t Length = n + Phase.size() - 1;
    for (size_t Start = 0; Start < Length; Start += Block) {
      const size_t End = std::min(Start + Block, Length);
      std::fill(Out.begin(), Out.begin() + static_cast<std::ptrdiff_t>(End - Start), 0.0f);
      for (size_t k = 0; k < Phase.size(); ++k) {
        const size_t From = std::max(Start, k);
        const size_t To = std::min(End, n + k);
        if (From < To)
          MultiplyAdd(Out.data() + (From - Start), AData.data() + (From - k), Phase[k], To - From);
      }
      Peak = std::max(Peak, MaxMagnitude(Out.data(), End - Start));
    }
  }
  return Peak;
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
  TEbur128 state(ebur128_init(1, static_cast<unsigned long>(ABuffer.SampleRate), EBUR128_MODE_I));
  if (!state || ebur128_add_frames_float(state.get(), ABuffer.Data.data(), ABuffer.Data.size()) !=
                    EBUR128_SUCCESS) {
    return {kSilence, kSilence};
  }
  TLoudness result{kSilence, kSilence};
  double lufs = 0;
  if (ebur128_loudness_global(state.get(), &lufs) == EBUR128_SUCCESS) result.IntegratedLufs = lufs;
  if (const float peak = TruePeak(ABuffer.Data, ABuffer.SampleRate); peak > 0)
    result.TruePeakDb = 20.0 * std::log10(peak);
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
  // Gain alone moves the loudness by exactly that much; only the limiter needs a look at
  // what came out.
  if (measured.TruePeakDb + gainDb <= AMaxTruePeakDb) {
    ApplyGain(ABuffer, DbToGain(gainDb));
    return;
  }
  // The limiter works on samples; true peaks between samples can sit a little higher, so
  // its ceiling starts below the wanted one and is lowered by whatever still overshoots.
  // Limiting lowers the loudness, the more the harder it works, so a dB more gain brings
  // less than a dB more loudness: each round corrects by the shortfall over the slope the
  // rounds so far have shown.
  double ceilingDb = AMaxTruePeakDb - 0.5;
  double slope = 1.0;
  double lastGainDb = 0;
  double lastLufs = 0;
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    render(gainDb, ceilingDb);
    const TLoudness result = MeasureLoudness(ABuffer);
    const double peakExcess = result.TruePeakDb - AMaxTruePeakDb;
    const double loudnessShort = ATargetLufs - result.IntegratedLufs;
    if (peakExcess <= 0 && std::fabs(loudnessShort) <= 0.1) return;
    if (round > 0 && std::fabs(gainDb - lastGainDb) > 0.01)
      slope = std::clamp((result.IntegratedLufs - lastLufs) / (gainDb - lastGainDb), 0.25, 1.0);
    lastGainDb = gainDb;
    lastLufs = result.IntegratedLufs;
    if (peakExcess > 0) ceilingDb -= peakExcess + 0.05;
    gainDb += loudnessShort / slope;
  }
  render(gainDb, ceilingDb);
  // Whatever the rounds left above the ceiling comes off as plain gain, which lowers true
  // peaks exactly: the ceiling is kept, the target only nearly.
  const float peak = TruePeak(ABuffer.Data, ABuffer.SampleRate);
  const double peakDb = peak > 0 ? 20.0 * std::log10(peak) : AMaxTruePeakDb;
  if (peakDb > AMaxTruePeakDb) ApplyGain(ABuffer, DbToGain(AMaxTruePeakDb - peakDb));
}

}  // namespace quavox
