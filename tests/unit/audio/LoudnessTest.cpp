#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <ebur128.h>

#include "audio/Loudness.h"
#include "unit/audio/SpeechLike.h"

namespace quavox {
namespace {

TEST(Loudness, ReachesTheTargetAndKeepsTruePeakBelowTheCeiling) {
  struct TCase {
    const char* Voice;
    double Peak;
    double Target;
  };
  for (const TCase c : {TCase{"quiet", 0.05, -16}, TCase{"quiet", 0.05, -23},
                        TCase{"loud", 0.99, -16}, TCase{"loud", 0.99, -23}}) {
    TPcmBuffer clip = Syllables(c.Peak, 4.0);
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
  TPcmBuffer tooShort = Syllables(0.5, 4.0);
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
  for (const TPcmBuffer& clip : {Syllables(0.9, 4.0), Syllables(0.3, 4.0, 8000),
                                 Syllables(0.7, 4.0, 48000), Syllables(0.8, 4.0, 96000), tone}) {
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
