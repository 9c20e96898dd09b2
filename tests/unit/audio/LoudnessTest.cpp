#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "audio/Loudness.h"

namespace quavox {
namespace {

// Speech-like: a buzzy voiced tone in syllables of varying strength with sharp onsets,
// so its peaks stand well above its loudness as real speech does.
TPcmBuffer Syllables(double APeak, int ARate = 22050) {
  TPcmBuffer b;
  b.SampleRate = ARate;
  b.Data.resize(static_cast<size_t>(ARate * 4));
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  float maxLevel = 0;
  for (size_t i = 0; i < b.Data.size(); ++i) {
    const double t = static_cast<double>(i) / ARate;
    const double syllable = std::fmod(t, 0.25) / 0.25;
    const double envelope = syllable < 0.7 ? std::exp(-4 * syllable) * (1 + std::fmod(t, 1.0)) : 0;
    double voiced = 0;
    for (int h = 1; h <= 12; ++h)
      voiced += std::sin(2 * M_PI * 140 * h * t) / h;
    b.Data[i] = static_cast<float>(envelope * voiced) + 0.01f * noise(random);
    maxLevel = std::max(maxLevel, std::fabs(b.Data[i]));
  }
  for (float& v : b.Data)
    v *= static_cast<float>(APeak) / maxLevel;
  return b;
}

TEST(Loudness, ReachesTheTargetAndKeepsTruePeakBelowTheCeiling) {
  struct TCase {
    const char* Voice;
    double Peak;
    double Target;
  };
  for (const TCase c : {TCase{"quiet", 0.05, -16}, TCase{"quiet", 0.05, -23},
                        TCase{"loud", 0.99, -16}, TCase{"loud", 0.99, -23}}) {
    TPcmBuffer clip = Syllables(c.Peak);
    const size_t length = clip.Data.size();
    NormalizeLoudness(clip, c.Target);
    const TLoudness after = MeasureLoudness(clip);
    EXPECT_NEAR(after.IntegratedLufs, c.Target, 0.5) << c.Voice << " " << c.Target;
    EXPECT_LE(after.TruePeakDb, -1.0) << c.Voice << " " << c.Target;
    EXPECT_EQ(clip.Data.size(), length);
  }
}

TEST(Loudness, ClipsThatCannotBeMeasuredStayAsTheyAre) {
  TPcmBuffer silence = TPcmBuffer::Silence(22050, 2000);
  TPcmBuffer tooShort = Syllables(0.5);
  tooShort.Data.resize(2000);
  for (TPcmBuffer clip : {silence, tooShort, TPcmBuffer{}}) {
    const TPcmBuffer before = clip;
    NormalizeLoudness(clip, -16);
    EXPECT_EQ(clip.Data, before.Data);
  }
  EXPECT_FALSE(MeasureLoudness(silence).IsMeasurable());
  EXPECT_FALSE(MeasureLoudness(TPcmBuffer{}).IsMeasurable());
}

}  // namespace
}  // namespace quavox
