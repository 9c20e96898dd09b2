#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "audio/Dsp.h"
#include "audio/DspKernels.h"

namespace quavox {
namespace {

TPcmBuffer Tone(int ARate, double ASeconds, double AHz) {
  TPcmBuffer b;
  b.SampleRate = ARate;
  b.Data.resize(static_cast<std::size_t>(ARate * ASeconds));
  for (std::size_t i = 0; i < b.Data.size(); ++i)
    b.Data[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * AHz * i / ARate));
  return b;
}

// Zero crossings per second, a cheap pitch measure for a pure tone.
double CrossingsPerSecond(const TPcmBuffer& ABuffer) {
  int n = 0;
  for (std::size_t i = 1; i < ABuffer.Data.size(); ++i)
    if ((ABuffer.Data[i - 1] < 0) != (ABuffer.Data[i] < 0)) ++n;
  return n / (ABuffer.Data.size() / static_cast<double>(ABuffer.SampleRate));
}

TEST(HannWindow, EndsAtZeroPeaksInTheMiddle) {
  const auto w = HannWindow(129);
  EXPECT_EQ(w.front(), 0.0f);
  EXPECT_NEAR(w.back(), 0.0f, 1e-7);
  EXPECT_FLOAT_EQ(w[64], 1.0f);
}

TEST(SpeedThresholds, StretchAndResampleDifferNearOne) {
  const TPcmBuffer In = Tone(24000, 1.0, 300);
  EXPECT_EQ(TimeStretch(In, 1.005f).Data, In.Data);
  EXPECT_NE(ResampleBySpeed(In, 1.005f).Data.size(), In.Data.size());
  EXPECT_EQ(TimeStretch(In, 1.0005f).Data, In.Data);
  EXPECT_EQ(ResampleBySpeed(In, 1.0005f).Data, In.Data);
  // Out-of-range speeds are sanitised first.
  EXPECT_EQ(TimeStretch(In, 3.0f).Data, TimeStretch(In, 2.0f).Data);
  EXPECT_EQ(TimeStretch(In, 0.25f).Data, TimeStretch(In, 0.5f).Data);
  EXPECT_EQ(TimeStretch(In, 0.0f).Data, In.Data);
  EXPECT_EQ(TimeStretch(In, std::numeric_limits<float>::quiet_NaN()).Data, In.Data);
}

TEST(TimeStretch, ChangesLengthAndKeepsPitch) {
  const TPcmBuffer In = Tone(24000, 10.0, 220);
  for (const float Speed : {2.0f, 0.5f, 1.3f}) {
    const TPcmBuffer Out = TimeStretch(In, Speed);
    EXPECT_EQ(Out.SampleRate, 24000);
    EXPECT_NEAR(Out.DurationMs(), 10000 / Speed, 60) << Speed;
    EXPECT_NEAR(CrossingsPerSecond(Out), CrossingsPerSecond(In), 10) << Speed;
  }
}

TEST(TimeStretch, ShortClipsFallBackToResampling) {
  TPcmBuffer In = Tone(24000, 1000 / 24000.0, 1000);
  ASSERT_EQ(In.Data.size(), 1000u);
  EXPECT_EQ(TimeStretch(In, 1.5f).Data, ResampleBySpeed(In, 1.5f).Data);
  EXPECT_TRUE(TimeStretch(TPcmBuffer{{}, 24000}, 1.5f).Data.empty());
}

// The fast search must pick what the plain formulas pick; equal scores go to the most
// negative offset, and candidates outside the input are skipped.
TEST(BestOverlapOffset, MatchesTheReferenceSearch) {
  std::mt19937 Rng(7);
  std::uniform_real_distribution<float> U(-1, 1);
  for (const auto& [Hs, T] : {std::pair{480, 192}, std::pair{882, 353}, std::pair{64, 5}}) {
    std::vector<float> In(20000), Out(4000);
    for (auto& v : In)
      v = U(Rng);
    for (auto& v : Out)
      v = U(Rng);
    for (const int Nominal : {0, 100, 5000, 20000 - Hs - T, 20000 - Hs}) {
      EXPECT_EQ(BestOverlapOffset(In, Nominal, Out, 1000, Hs, T),
                BestOverlapOffsetReference(In, Nominal, Out, 1000, Hs, T))
          << Hs << " " << Nominal;
    }
  }
  const std::vector<float> Silence(5000, 0.0f), Tail(1000, 0.0f);
  EXPECT_EQ(BestOverlapOffset(Silence, 2000, Tail, 0, 480, 192), 2000 - 192);
}

// The kernels this machine runs and the portable ones that machines without AVX2/FMA run,
// held to the same cases.
struct TKernelSet {
  const char* Name;
  void (*CrossCorrelate)(const float*, const float*, int, int, float*);
  int (*FirstMaximum)(const float*, int);
  double (*SumOfSquares)(const float*, int);
};
const TKernelSet KernelSets[] = {
    {"dispatched", CrossCorrelate, FirstMaximum, SumOfSquares},
    {"portable", portable::CrossCorrelate, portable::FirstMaximum, portable::SumOfSquares},
};

std::vector<float> RandomSamples(std::size_t ACount, unsigned ASeed) {
  std::mt19937 Rng(ASeed);
  std::uniform_real_distribution<float> U(-1, 1);
  std::vector<float> v(ACount);
  for (auto& x : v)
    x = U(Rng);
  return v;
}

// Sizes that reach every path of the vectorised kernels: whole blocks of candidates, runs
// of eight, single candidates, and frame lengths below, at and off multiples of eight.
TEST(CrossCorrelate, MatchesAPlainSumForEveryBlockShape) {
  for (const TKernelSet& k : KernelSets) {
    for (const auto& [Hs, Count] :
         {std::pair{882, 707}, std::pair{480, 385}, std::pair{64, 56}, std::pair{64, 57},
          std::pair{5, 60}, std::pair{8, 64}, std::pair{13, 3}, std::pair{1, 9}}) {
      const std::vector<float> In = RandomSamples(static_cast<std::size_t>(Hs + Count - 1), 11);
      const std::vector<float> Out = RandomSamples(static_cast<std::size_t>(Hs), 12);
      std::vector<float> Cross(static_cast<std::size_t>(Count));
      k.CrossCorrelate(In.data(), Out.data(), Hs, Count, Cross.data());
      for (int c = 0; c < Count; ++c) {
        double Exact = 0, Magnitude = 0;
        for (int i = 0; i < Hs; ++i) {
          Exact += static_cast<double>(In[c + i]) * Out[i];
          Magnitude += std::fabs(static_cast<double>(In[c + i]) * Out[i]);
        }
        ASSERT_NEAR(Cross[c], Exact, 1e-5 * Magnitude)
            << k.Name << " " << Hs << " " << Count << " " << c;
      }
    }
  }
}

TEST(FirstMaximum, FirstOfEqualBestAndNeverNaN) {
  constexpr float Nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float Inf = std::numeric_limits<float>::infinity();
  constexpr float Lowest = -std::numeric_limits<float>::max();
  struct TCase {
    const char* Name;
    std::vector<float> Scores;
    int Want;
  };
  const auto Spread = [](int ASize, std::vector<std::pair<int, float>> APlaces) {
    std::vector<float> v(static_cast<std::size_t>(ASize), -0.5f);
    for (const auto& [i, x] : APlaces)
      v[static_cast<std::size_t>(i)] = x;
    return v;
  };
  const TCase Cases[] = {
      {"tie in the vector part", Spread(40, {{3, 2.0f}, {9, 2.0f}}), 3},
      {"best in the tail", Spread(21, {{20, 1.0f}}), 20},
      {"NaN is passed over", Spread(24, {{0, Nan}, {8, 0.25f}, {16, Nan}}), 8},
      {"infinity wins", Spread(16, {{2, 3.0f}, {12, Inf}}), 12},
      {"all NaN", std::vector<float>(19, Nan), -1},
      {"nothing above the lowest single", std::vector<float>(12, Lowest), -1},
      {"minus infinity", std::vector<float>(9, -Inf), -1},
      {"empty", {}, -1},
  };
  for (const TKernelSet& k : KernelSets)
    for (const TCase& c : Cases)
      EXPECT_EQ(k.FirstMaximum(c.Scores.data(), static_cast<int>(c.Scores.size())), c.Want)
          << k.Name << ": " << c.Name;
}

TEST(SumOfSquares, AddsEveryTerm) {
  for (const TKernelSet& k : KernelSets) {
    for (const int n : {0, 1, 15, 16, 17, 882}) {
      std::vector<float> v(static_cast<std::size_t>(n));
      for (int i = 0; i < n; ++i)
        v[i] = 0.5f + static_cast<float>(i % 7);
      double Want = 0;
      for (float x : v)
        Want += static_cast<double>(x) * x;
      EXPECT_DOUBLE_EQ(k.SumOfSquares(v.data(), n), Want) << k.Name << " " << n;
    }
  }
}

// Where both versions promise the same bits, they must give them: the same formulas in
// double precision, correctly rounded division and square root, exact conversions.
TEST(DspKernels, VectorisedAndPortableGiveTheSameBits) {
  constexpr std::size_t n = 1003;
  std::vector<float> a = RandomSamples(n, 21), b = RandomSamples(n, 22);
  a[5] = std::numeric_limits<float>::quiet_NaN();
  a[17] = 3.5f;
  a[400] = -std::numeric_limits<float>::infinity();
  const auto Same = [](const auto& x, const auto& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof x[0]) == 0;
  };
  const int Count = static_cast<int>(n);

  std::vector<float> Energy(n), Score1(n), Score2(n);
  for (std::size_t i = 0; i < n; ++i)
    Energy[i] = 1e-6f + b[i] * b[i];
  ScoreCandidates(a.data(), Energy.data(), Count, Score1.data());
  portable::ScoreCandidates(a.data(), Energy.data(), Count, Score2.data());
  EXPECT_TRUE(Same(Score1, Score2));

  std::vector<float> Sum1 = b, Sum2 = b;
  OverlapAdd(Sum1.data(), a.data(), b.data(), Count);
  portable::OverlapAdd(Sum2.data(), a.data(), b.data(), Count);
  EXPECT_TRUE(Same(Sum1, Sum2));

  std::vector<uint8_t> Pcm1(2 * n), Pcm2(2 * n);
  FloatToPcm16(a.data(), n, Pcm1.data());
  portable::FloatToPcm16(a.data(), n, Pcm2.data());
  EXPECT_TRUE(Same(Pcm1, Pcm2));

  std::vector<float> Back1(n), Back2(n);
  Pcm16ToFloat(Pcm1.data(), n, Back1.data());
  portable::Pcm16ToFloat(Pcm1.data(), n, Back2.data());
  EXPECT_TRUE(Same(Back1, Back2));
}

TEST(ResampleBySpeed, InterpolatesAndHoldsTheLastSample) {
  const TPcmBuffer Out = ResampleBySpeed(TPcmBuffer{{0.0f, 1.0f, 0.5f}, 8000}, 0.5f);
  EXPECT_EQ(Out.Data, (std::vector<float>{0.0f, 0.5f, 1.0f, 0.75f, 0.5f, 0.5f}));
}

TEST(ResampleTo, ConvertsRatesAndCopiesWhenNothingToDo) {
  const TPcmBuffer In = Tone(44100, 1.0, 440);
  const TPcmBuffer Out = ResampleTo(In, 24000);
  EXPECT_EQ(Out.SampleRate, 24000);
  EXPECT_NEAR(static_cast<double>(Out.Data.size()), 24000.0, 1.0);
  EXPECT_NEAR(CrossingsPerSecond(Out), 880, 4);
  EXPECT_EQ(ResampleTo(In, 44100).Data, In.Data);
  const TPcmBuffer Same = ResampleTo(In, 0);
  EXPECT_EQ(Same.SampleRate, 44100);
  EXPECT_EQ(Same.Data, In.Data);
  const TPcmBuffer Empty = ResampleTo(TPcmBuffer{{}, 44100}, 24000);
  EXPECT_TRUE(Empty.Data.empty());
  EXPECT_EQ(Empty.SampleRate, 24000);
}

TEST(ApplySpeed, ModeChoosesTheMethod) {
  const TPcmBuffer In = Tone(24000, 1.0, 300);
  EXPECT_EQ(ApplySpeed(In, 1.5f, smLocalResample).Data, ResampleBySpeed(In, 1.5f).Data);
  EXPECT_EQ(ApplySpeed(In, 1.5f, smEngine).Data, TimeStretch(In, 1.5f).Data);
  EXPECT_EQ(ApplySpeed(In, 1.5f, smLocalStretch).Data, TimeStretch(In, 1.5f).Data);
}

TEST(GainAndNormalize, ScaleOnlyWhenItMatters) {
  TPcmBuffer b{{0.5f, -0.25f}, 8000};
  NormalizePeak(b, 0.95);
  EXPECT_FLOAT_EQ(b.Data[0], 0.95f);
  EXPECT_FLOAT_EQ(b.Data[1], -0.475f);
  TPcmBuffer Zeros{{0.0f, 0.0f}, 8000};
  NormalizePeak(Zeros, 0.95);
  EXPECT_EQ(Zeros.Data, (std::vector<float>{0.0f, 0.0f}));
  TPcmBuffer Near{{0.9495f}, 8000};
  NormalizePeak(Near, 0.95);
  EXPECT_EQ(Near.Data[0], 0.9495f);
  TPcmBuffer Loud{{0.8f}, 8000};
  ApplyGain(Loud, 2.0);
  EXPECT_FLOAT_EQ(Loud.Data[0], 1.6f);
}

TEST(ApplyFades, RampsBothEnds) {
  const std::tuple<int, std::size_t, std::size_t> Cases[] = {
      {24000, 2000, 240}, {24000, 100, 50}, {24000, 1, 0}};
  for (const auto& [Rate, Len, Ramp] : Cases) {
    TPcmBuffer b{std::vector<float>(Len, 1.0f), Rate};
    ApplyFades(b, 10);
    if (Ramp == 0) {
      EXPECT_EQ(b.Data[0], 1.0f);
      continue;
    }
    EXPECT_EQ(b.Data.front(), 0.0f);
    EXPECT_EQ(b.Data.back(), 0.0f);
    EXPECT_FLOAT_EQ(b.Data[Ramp / 2], 0.5f);
    EXPECT_EQ(b.Data[Ramp], Len > 2 * Ramp ? 1.0f : b.Data[Ramp]);
    EXPECT_FLOAT_EQ(b.Data[Len - 1 - Ramp / 2], 0.5f);
  }
}

}  // namespace
}  // namespace quavox
