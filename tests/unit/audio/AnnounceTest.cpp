// The pure assembly of whole announcements: the chime's notes and decay, trimming, loudness
// matching, joining with gaps and fades, and the part positions.
#include "audio/Announce.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "audio/Loudness.h"
#include "core/Text.h"

namespace quavox {
namespace {

// Power of one frequency in Data[AFrom, ATo) (Goertzel), per sample.
double Goertzel(const TPcmBuffer& APcm, std::size_t AFrom, std::size_t ATo, double AHz) {
  const double w = 2 * std::numbers::pi * AHz / APcm.SampleRate;
  const double Coeff = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (std::size_t i = AFrom; i < ATo; ++i) {
    const double s0 = APcm.Data[i] + Coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (s1 * s1 + s2 * s2 - Coeff * s1 * s2) / static_cast<double>(ATo - AFrom);
}

// The note among AHz that is strongest in the window.
double StrongestNote(const TPcmBuffer& APcm, double AFromS, double AToS,
                     const std::vector<double>& AHz) {
  const auto From = static_cast<std::size_t>(AFromS * APcm.SampleRate);
  const auto To = static_cast<std::size_t>(AToS * APcm.SampleRate);
  double Best = 0, BestHz = 0;
  for (const double Hz : AHz) {
    const double Power = Goertzel(APcm, From, To, Hz);
    if (Power > Best) {
      Best = Power;
      BestHz = Hz;
    }
  }
  return BestHz;
}

double Rms(const std::vector<float>& AData, std::size_t AFrom, std::size_t ATo) {
  double Sum = 0;
  for (std::size_t i = AFrom; i < ATo; ++i)
    Sum += AData[i] * AData[i];
  return std::sqrt(Sum / static_cast<double>(std::max<std::size_t>(ATo - AFrom, 1)));
}

// Bursts of noise like syllables, at the given level.
TPcmBuffer SpeechLike(int32_t ARate, double ASeconds, double ALevel, unsigned ASeed) {
  std::mt19937 Random(ASeed);
  std::normal_distribution<float> Noise(0.0f, 1.0f);
  TPcmBuffer Pcm;
  Pcm.SampleRate = ARate;
  for (int i = 0; i < static_cast<int>(ASeconds * ARate); ++i) {
    const double t = static_cast<double>(i) / ARate;
    const double Syllable = std::max(0.0, std::sin(2 * std::numbers::pi * 4 * t));
    Pcm.Data.push_back(static_cast<float>(ALevel * Syllable * 0.3 * Noise(Random)));
  }
  return Pcm;
}

TPcmBuffer Constant(int32_t ARate, std::size_t ACount, float AValue) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = ARate;
  Pcm.Data.assign(ACount, AValue);
  return Pcm;
}

TEST(AnnounceChime, NotesSoundInOrderAndDecayToSilence) {
  struct TCase {
    int32_t Rate;
    bool Closing;
  };
  const std::vector<double>& Notes = ChimeNotesHz();
  for (const TCase& c :
       {TCase{22050, false}, TCase{44100, false}, TCase{22050, true}, TCase{16000, true}}) {
    SCOPED_TRACE(testing::Message() << c.Rate << (c.Closing ? " closing" : " opening"));
    const TPcmBuffer Chime = MakeChime(c.Rate, c.Closing);
    ASSERT_EQ(Chime.SampleRate, c.Rate);
    EXPECT_EQ(Chime.DurationMs(), ChimeMs);
    std::vector<double> Order = Notes;
    if (c.Closing) std::reverse(Order.begin(), Order.end());
    EXPECT_EQ(StrongestNote(Chime, 0.02, 0.30, Notes), Order[0]);
    EXPECT_EQ(StrongestNote(Chime, 0.34, 0.62, Notes), Order[1]);
    EXPECT_EQ(StrongestNote(Chime, 0.66, 0.95, Notes), Order[2]);
    // A note's frequency carries far more than a frequency between the notes.
    const auto End = Chime.Data.size();
    EXPECT_GT(Goertzel(Chime, 0, End / 2, Notes[1]), 50 * Goertzel(Chime, 0, End / 2, 880.0));
    // Soft start, natural decay, silent end: no click at either edge.
    EXPECT_EQ(Chime.Data.front(), 0.0f);
    EXPECT_LT(std::fabs(Chime.Data.back()), 1e-4f);
    const std::size_t Tenth = End / 10;
    EXPECT_LT(Rms(Chime.Data, End - Tenth, End),
              0.25 * Rms(Chime.Data, 7 * Tenth / 2, 9 * Tenth / 2));
    float Peak = 0;
    for (const float v : Chime.Data)
      Peak = std::max(Peak, std::fabs(v));
    EXPECT_NEAR(Peak, 0.5f, 1e-4f);
  }
}

TEST(AnnounceTrim, CutsSilentEndsKeepingTheMargin) {
  struct TCase {
    std::size_t Lead, Body, Tail;
    int MarginMs;
    std::size_t ExpectedSize;
  };
  // At 1000 Hz one sample is one millisecond.
  for (const TCase& c : {TCase{100, 50, 100, 10, 70}, TCase{5, 50, 3, 10, 58},
                         TCase{0, 50, 0, 10, 50}, TCase{100, 50, 100, 0, 50}}) {
    TPcmBuffer Pcm = Constant(1000, c.Lead, 0.0f);
    Pcm.Data.insert(Pcm.Data.end(), c.Body, 0.5f);
    Pcm.Data.insert(Pcm.Data.end(), c.Tail, 0.001f);
    TrimSilence(Pcm, 0.01f, c.MarginMs);
    EXPECT_EQ(Pcm.Data.size(), c.ExpectedSize) << c.Lead << " " << c.Tail << " " << c.MarginMs;
  }
  TPcmBuffer Silent = Constant(1000, 80, 0.0f);
  TrimSilence(Silent, 0.01f, 10);
  EXPECT_EQ(Silent.Data.size(), 80u) << "a silent clip is left as it is";
}

TEST(AnnounceLoudness, SegmentsShareOneLevel) {
  const std::vector<TPcmBuffer> Original = {SpeechLike(22050, 2.0, 0.8, 1),
                                            SpeechLike(22050, 2.0, 0.1, 2),
                                            SpeechLike(22050, 0.2, 0.3, 3)};
  const double Loudest = MeasureLoudness(Original[0]).IntegratedLufs;
  ASSERT_GT(Loudest, MeasureLoudness(Original[1]).IntegratedLufs + 10);

  std::vector<TPcmBuffer> Equal = Original;
  const std::optional<double> Level = MatchLoudness(Equal, std::nullopt);
  ASSERT_TRUE(Level.has_value());
  EXPECT_DOUBLE_EQ(*Level, Loudest);
  EXPECT_EQ(Equal[0].Data, Original[0].Data) << "the loudest segment sets the level untouched";
  EXPECT_NEAR(MeasureLoudness(Equal[1]).IntegratedLufs, Loudest, 0.5);
  EXPECT_EQ(Equal[2].Data, Original[2].Data) << "too short to measure, left as it is";

  std::vector<TPcmBuffer> Targeted = Original;
  EXPECT_EQ(MatchLoudness(Targeted, -23.0), -23.0);
  for (int i = 0; i < 2; ++i) {
    const TLoudness After = MeasureLoudness(Targeted[i]);
    EXPECT_NEAR(After.IntegratedLufs, -23.0, 0.5) << i;
    EXPECT_LE(After.TruePeakDb, -0.9) << i;
  }

  std::vector<TPcmBuffer> Unmeasurable = {Original[2]};
  EXPECT_FALSE(MatchLoudness(Unmeasurable, std::nullopt).has_value());
}

TEST(AnnounceJoin, PartsFollowEachOtherWithSilentGapsAndFadedEdges) {
  const TPcmBuffer First = Constant(1000, 100, 0.5f);
  const TPcmBuffer Second = Constant(1000, 60, -0.5f);
  const TPcmBuffer Opening = Constant(1000, 40, 0.25f);
  const TPcmBuffer Closing = Constant(1000, 30, 0.25f);
  struct TCase {
    const char* Name;
    const TPcmBuffer* Opening;
    const TPcmBuffer* Closing;
    int32_t GapMs;
    std::vector<TAnnouncePart> Expected;
  };
  const std::vector<TCase> Cases = {
      {"no chime",
       nullptr,
       nullptr,
       20,
       {{apSegment, 0, 0, 100}, {apGap, -1, 100, 120}, {apSegment, 1, 120, 180}}},
      {"opening",
       &Opening,
       nullptr,
       20,
       {{apChime, -1, 0, 40},
        {apGap, -1, 40, 60},
        {apSegment, 0, 60, 160},
        {apGap, -1, 160, 180},
        {apSegment, 1, 180, 240}}},
      {"both",
       &Opening,
       &Closing,
       20,
       {{apChime, -1, 0, 40},
        {apGap, -1, 40, 60},
        {apSegment, 0, 60, 160},
        {apGap, -1, 160, 180},
        {apSegment, 1, 180, 240},
        {apGap, -1, 240, 260},
        {apChime, -1, 260, 290}}},
      {"no gap",
       &Opening,
       nullptr,
       0,
       {{apChime, -1, 0, 40}, {apSegment, 0, 40, 140}, {apSegment, 1, 140, 200}}},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    const TAnnouncement Whole = JoinAnnouncement({&First, &Second}, c.Opening, c.Closing, c.GapMs);
    EXPECT_EQ(Whole.Pcm.SampleRate, 1000);
    ASSERT_EQ(Whole.Parts.size(), c.Expected.size());
    for (std::size_t i = 0; i < c.Expected.size(); ++i) {
      EXPECT_EQ(Whole.Parts[i].Kind, c.Expected[i].Kind) << i;
      EXPECT_EQ(Whole.Parts[i].Segment, c.Expected[i].Segment) << i;
      EXPECT_EQ(Whole.Parts[i].StartSample, c.Expected[i].StartSample) << i;
      EXPECT_EQ(Whole.Parts[i].EndSample, c.Expected[i].EndSample) << i;
    }
    EXPECT_EQ(static_cast<int64_t>(Whole.Pcm.Data.size()), Whole.Parts.back().EndSample);
    for (const TAnnouncePart& Part : Whole.Parts) {
      const auto Start = static_cast<std::size_t>(Part.StartSample);
      const auto End = static_cast<std::size_t>(Part.EndSample);
      if (Part.Kind == apGap) {
        EXPECT_EQ(Rms(Whole.Pcm.Data, Start, End), 0.0) << "gaps are digital silence";
        continue;
      }
      // Each part fades in from and out to silence, and is whole in the middle.
      EXPECT_EQ(Whole.Pcm.Data[Start], 0.0f);
      EXPECT_LT(std::fabs(Whole.Pcm.Data[End - 1]), 0.06f);
      const std::size_t Middle = (Start + End) / 2;
      EXPECT_NE(Whole.Pcm.Data[Middle], 0.0f);
    }
  }
}

TEST(AnnounceAssemble, OneRateOneLevelAndAChimeMatchedToTheSpeech) {
  TAnnounceLayout Layout;
  Layout.Chime = cmBoth;
  Layout.GapMs = 300;
  Layout.LoudnessLufs = -20.0;
  TPcmBuffer Quiet = SpeechLike(16000, 2.0, 0.2, 4);
  Quiet.Data.insert(Quiet.Data.begin(), 8000, 0.0f);  // half a second of silence to cut
  const TAnnouncement Whole = AssembleAnnouncement({SpeechLike(22050, 2.0, 0.9, 5), Quiet}, Layout);
  ASSERT_EQ(Whole.Pcm.SampleRate, 22050) << "the first segment's rate";
  ASSERT_EQ(Whole.Parts.size(), 7u);
  const auto Slice = [&Whole](const TAnnouncePart& APart) {
    TPcmBuffer Pcm;
    Pcm.SampleRate = Whole.Pcm.SampleRate;
    Pcm.Data.assign(Whole.Pcm.Data.begin() + APart.StartSample,
                    Whole.Pcm.Data.begin() + APart.EndSample);
    return Pcm;
  };
  for (const std::size_t i : {2u, 4u}) {
    ASSERT_EQ(Whole.Parts[i].Kind, apSegment);
    EXPECT_NEAR(MeasureLoudness(Slice(Whole.Parts[i])).IntegratedLufs, -20.0, 1.0) << i;
  }
  // Two seconds whose last eighth of a second is silent, as is the half second before them.
  EXPECT_NEAR(Whole.Parts[4].EndSample - Whole.Parts[4].StartSample, 1.885 * 22050, 0.02 * 22050)
      << "resampled to the output rate, silence cut";
  for (const std::size_t i : {0u, 6u}) {
    ASSERT_EQ(Whole.Parts[i].Kind, apChime);
    EXPECT_NEAR(MeasureLoudness(Slice(Whole.Parts[i])).IntegratedLufs, -20.0, 1.0) << i;
  }
  EXPECT_EQ(Whole.Parts[1].EndSample - Whole.Parts[1].StartSample, 300 * 22050 / 1000);

  Layout.SampleRate = 16000;
  Layout.Chime = cmNone;
  const TAnnouncement AtRate = AssembleAnnouncement({SpeechLike(22050, 1.0, 0.5, 6)}, Layout);
  EXPECT_EQ(AtRate.Pcm.SampleRate, 16000);
  ASSERT_EQ(AtRate.Parts.size(), 1u);
  EXPECT_EQ(AtRate.Parts[0].Kind, apSegment);
}

TEST(AnnounceNames, ChimeModesAndMilliseconds) {
  struct TMode {
    const char* Text;
    bool Ok;
    TChimeMode Mode;
  };
  for (const TMode& c :
       {TMode{"start", true, cmStart}, TMode{"BOTH", true, cmBoth}, TMode{"None", true, cmNone},
        TMode{"", false, cmStart}, TMode{"chime", false, cmStart}}) {
    TChimeMode Mode = cmStart;
    EXPECT_EQ(TryParseChimeMode(c.Text, Mode), c.Ok) << c.Text;
    EXPECT_EQ(Mode, c.Mode) << c.Text;
    if (c.Ok) {
      EXPECT_TRUE(SameTextAscii(ChimeModeToStr(Mode), c.Text));
    }
  }
  struct TMs {
    int64_t Sample;
    int32_t Rate;
    int64_t Ms;
  };
  for (const TMs& c :
       {TMs{0, 22050, 0}, TMs{22050, 22050, 1000}, TMs{11, 22000, 0}, TMs{33, 22000, 2},
        TMs{3, 2000, 2}, TMs{5, 2000, 2}, TMs{7, 2000, 4}, TMs{100, 0, 0}})
    EXPECT_EQ(SampleToMs(c.Sample, c.Rate), c.Ms) << c.Sample << "@" << c.Rate;
}

}  // namespace
}  // namespace quavox
