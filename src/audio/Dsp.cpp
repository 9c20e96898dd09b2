#include "audio/Dsp.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "audio/DspKernels.h"

namespace quavox {

namespace {

int Nearest(double AValue) {
  return static_cast<int>(RoundHalfEven(AValue));
}

float Lerp(float a, float b, float f) {
  return static_cast<float>(static_cast<double>(a) * (1.0 - static_cast<double>(f)) +
                            static_cast<double>(b) * static_cast<double>(f));
}

// Linear interpolation at positions i × AStep, holding the last sample past the end.
std::vector<float> Interpolate(const std::vector<float>& AIn, float AStep, std::size_t ACount) {
  std::vector<float> Out(ACount);
  const std::size_t Len = AIn.size();
  for (std::size_t i = 0; i < ACount; ++i) {
    const float t = static_cast<float>(i) * AStep;
    const auto j = static_cast<std::size_t>(t);
    const float f = t - static_cast<float>(j);
    Out[i] = j + 1 < Len ? Lerp(AIn[j], AIn[j + 1], f) : AIn[Len - 1];
  }
  return Out;
}

}  // namespace

std::vector<float> HannWindow(int AN) {
  std::vector<float> w(static_cast<std::size_t>(std::max(AN, 0)));
  const double Denominator = AN > 1 ? AN - 1 : 1;
  for (int i = 0; i < AN; ++i)
    w[i] = static_cast<float>(0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * i / Denominator)));
  return w;
}

int BestOverlapOffsetReference(std::span<const float> AInput, int ANominal,
                               std::span<const float> AOutput, int AQ, int AHs, int AT) {
  float Best = -std::numeric_limits<float>::max();
  int BestK = ANominal;
  const auto Len = static_cast<long long>(AInput.size());
  for (int c = -AT; c <= AT; ++c) {
    const int k = ANominal + c;
    if (k < 0 || static_cast<long long>(k) + AHs > Len) continue;
    float e = 1e-6f, x = 0.0f;
    for (int i = 0; i < AHs; ++i) {
      e += AInput[k + i] * AInput[k + i];
      x += AInput[k + i] * AOutput[AQ + i];
    }
    const float Score = x / std::sqrt(e);
    if (Score > Best) {
      Best = Score;
      BestK = k;
    }
  }
  return BestK;
}

int BestOverlapOffset(std::span<const float> AInput, int ANominal, std::span<const float> AOutput,
                      int AQ, int AHs, int AT) {
  const auto Len = static_cast<long long>(AInput.size());
  const int First = std::max(ANominal - AT, 0);
  const long long LastAllowed = std::min<long long>(ANominal + AT, Len - AHs);
  if (LastAllowed < First) return ANominal;
  const int Count = static_cast<int>(LastAllowed - First + 1);
  const float* In = AInput.data() + First;
  const float* Out = AOutput.data() + AQ;

  // Correlations and scores for every candidate at once (the vectorised part), the energy
  // sliding along in double precision, then the first of the best scores, so among equal
  // scores the most negative offset wins.
  thread_local std::vector<float> Cross, Energy, Score;
  Cross.resize(static_cast<std::size_t>(Count));
  Energy.resize(static_cast<std::size_t>(Count));
  Score.resize(static_cast<std::size_t>(Count));
  CrossCorrelate(In, Out, AHs, Count, Cross.data());
  double Sliding = SumOfSquares(In, AHs);
  for (int c = 0; c < Count; ++c) {
    if (c > 0) {
      const double Leaving = In[c - 1], Entering = In[c - 1 + AHs];
      Sliding += Entering * Entering - Leaving * Leaving;
    }
    Energy[c] = 1e-6f + static_cast<float>(std::max(Sliding, 0.0));
  }
  ScoreCandidates(Cross.data(), Energy.data(), Count, Score.data());
  const int Best = FirstMaximum(Score.data(), Count);
  return Best < 0 ? ANominal : First + Best;
}

TPcmBuffer TimeStretch(const TPcmBuffer& ABuffer, float ASpeed) {
  const float s = ClampSpeed(ASpeed);
  if (ABuffer.Data.empty() || ABuffer.SampleRate <= 0 || std::fabs(s - 1.0f) < 0.01f)
    return ABuffer;
  const int Rate = ABuffer.SampleRate;
  const int N = std::max(Nearest(Rate * 0.04), 128);
  const int Hs = N / 2;
  const int Ha = std::max(Nearest(static_cast<double>(Hs) * s), 1);
  const int T = std::max(Nearest(Rate * 0.008), 1);
  const auto InLen = static_cast<long long>(ABuffer.Data.size());
  if (InLen < static_cast<long long>(N) + 2LL * T) return ResampleBySpeed(ABuffer, s);

  const std::vector<float> w = HannWindow(N);
  const long long L = Nearest(static_cast<double>(InLen) / s) + static_cast<long long>(N);
  TPcmBuffer Result;
  Result.SampleRate = Rate;
  Result.Data.assign(static_cast<std::size_t>(L), 0.0f);
  const std::span<const float> In(ABuffer.Data);
  float* Out = Result.Data.data();
  long long p = 0, q = 0;
  while (p + N + T < InLen && q + N <= L) {
    const long long k = q == 0 ? p
                               : BestOverlapOffset(In, static_cast<int>(p), Result.Data,
                                                   static_cast<int>(q), Hs, T);
    OverlapAdd(Out + q, In.data() + k, w.data(), N);
    q += Hs;
    p += Ha;
  }
  Result.Data.resize(static_cast<std::size_t>(std::min(q + Hs, L)));
  return Result;
}

TPcmBuffer ResampleBySpeed(const TPcmBuffer& ABuffer, float ASpeed) {
  const float s = ClampSpeed(ASpeed);
  if (ABuffer.Data.empty() || std::fabs(s - 1.0f) < 0.001f) return ABuffer;
  const auto n = std::max<long long>(Nearest(ABuffer.Data.size() / static_cast<double>(s)), 1);
  return {Interpolate(ABuffer.Data, s, static_cast<std::size_t>(n)), ABuffer.SampleRate};
}

TPcmBuffer ApplySpeed(const TPcmBuffer& ABuffer, float ASpeed, TTtsSpeedMode AMode) {
  return AMode == smLocalResample ? ResampleBySpeed(ABuffer, ASpeed) : TimeStretch(ABuffer, ASpeed);
}

TPcmBuffer ResampleTo(const TPcmBuffer& ABuffer, int32_t ATargetRate) {
  if (ATargetRate <= 0 || ABuffer.SampleRate <= 0 || ABuffer.SampleRate == ATargetRate)
    return ABuffer;
  if (ABuffer.Data.empty()) return {{}, ATargetRate};
  const float r = static_cast<float>(ABuffer.SampleRate) / static_cast<float>(ATargetRate);
  const auto n = std::max<long long>(Nearest(ABuffer.Data.size() / static_cast<double>(r)), 1);
  return {Interpolate(ABuffer.Data, r, static_cast<std::size_t>(n)), ATargetRate};
}

void ApplyGain(TPcmBuffer& ABuffer, double AGain) {
  if (std::fabs(AGain - 1.0) < 0.001) return;
  for (float& v : ABuffer.Data)
    v = static_cast<float>(v * AGain);
}

void NormalizePeak(TPcmBuffer& ABuffer, double ATargetPeak) {
  float Peak = 0.0f;
  for (float v : ABuffer.Data)
    Peak = std::max(Peak, std::fabs(v));
  if (!(Peak >= 1e-5f)) return;
  ApplyGain(ABuffer, ATargetPeak / Peak);
}

void ApplyFades(TPcmBuffer& ABuffer, int AMs) {
  if (ABuffer.Data.empty() || ABuffer.SampleRate <= 0) return;
  const auto Len = static_cast<long long>(ABuffer.Data.size());
  const long long Product = static_cast<long long>(ABuffer.SampleRate) * AMs;
  const long long c = std::min(Len / 2, static_cast<long long>(RoundHalfEven(Product / 1000.0)));
  for (long long i = 0; i < c; ++i) {
    const double Gain = static_cast<double>(i) / static_cast<double>(c);
    ABuffer.Data[i] = static_cast<float>(ABuffer.Data[i] * Gain);
    ABuffer.Data[Len - 1 - i] = static_cast<float>(ABuffer.Data[Len - 1 - i] * Gain);
  }
}

}  // namespace quavox
