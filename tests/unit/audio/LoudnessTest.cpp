#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <ebur128.h>

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

// The true peak is found by the service's own oversampler; libebur128's meter, sample by
// sample, must agree with it on speech, on a tone between samples and at other rates.
TEST(Loudness, TruePeakAgreesWithLibebur128) {
  TPcmBuffer tone;
  tone.SampleRate = 22050;
  for (int i = 0; i < 22050; ++i)
    tone.Data.push_back(static_cast<float>(0.5 * std::sin(2 * M_PI * 5512.5 * i / 22050 + 0.7)));
  for (const TPcmBuffer& clip :
       {Syllables(0.9), Syllables(0.3, 8000), Syllables(0.7, 48000), Syllables(0.8, 96000), tone}) {
    ebur128_state* state =
        ebur128_init(1, static_cast<unsigned long>(clip.SampleRate), EBUR128_MODE_TRUE_PEAK);
    ASSERT_NE(state, nullptr);
    ebur128_add_frames_float(state, clip.Data.data(), clip.Data.size());
    double peak = 0;
    ebur128_true_peak(state, 0, &peak);
    ebur128_destroy(&state);
    EXPECT_NEAR(MeasureLoudness(clip).TruePeakDb, 20 * std::log10(peak), 0.05) << clip.SampleRate;
  }
}

}  // namespace
}  // namespace quavox
