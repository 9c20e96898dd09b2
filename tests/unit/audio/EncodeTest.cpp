#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <random>

#include "audio/Dsp.h"
#include "audio/Encode.h"
#include "audio/Loudness.h"
#include "audio/Resample.h"
#include "audio/Wav.h"
#include "core/Text.h"
#include "unit/audio/SpeechLike.h"

namespace quavox {
namespace {

// A tone gliding exponentially from AFrom to ATo Hz at half scale.
TPcmBuffer Sweep(double AFrom, double ATo, int ARate = 22050, double ASeconds = 2.0) {
  TPcmBuffer b;
  b.SampleRate = ARate;
  b.Data.resize(static_cast<size_t>(ARate * ASeconds));
  const double k = std::log(ATo / AFrom) / ASeconds;
  for (size_t i = 0; i < b.Data.size(); ++i) {
    const double t = static_cast<double>(i) / ARate;
    b.Data[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * AFrom * (std::exp(k * t) - 1) / k));
  }
  // Soft ends: a click would spread energy over every frequency, below 4 kHz too.
  ApplyFades(b, 100);
  return b;
}

double Rms(const std::vector<float>& AData) {
  double Sum = 0;
  for (const float v : AData)
    Sum += static_cast<double>(v) * v;
  return AData.empty() ? 0 : std::sqrt(Sum / AData.size());
}

double Db(double ARatio) {
  return 20 * std::log10(std::max(ARatio, 1e-12));
}

struct TReadFile {
  const TBytes* Bytes;
  sf_count_t Position = 0;
};

// Decodes encoded bytes through libsndfile from memory: what any player that uses it hears.
bool DecodeWithSndfile(const TBytes& ABytes, TPcmBuffer& APcm, int& AChannels) {
  SF_VIRTUAL_IO Io{
      [](void* u) { return static_cast<sf_count_t>(static_cast<TReadFile*>(u)->Bytes->size()); },
      [](sf_count_t o, int w, void* u) {
        auto* f = static_cast<TReadFile*>(u);
        const sf_count_t Size = static_cast<sf_count_t>(f->Bytes->size());
        f->Position = (w == SEEK_SET ? 0 : w == SEEK_CUR ? f->Position : Size) + o;
        return f->Position;
      },
      [](void* p, sf_count_t n, void* u) {
        auto* f = static_cast<TReadFile*>(u);
        const sf_count_t Size = static_cast<sf_count_t>(f->Bytes->size());
        const sf_count_t Count = std::clamp<sf_count_t>(Size - f->Position, 0, n);
        if (Count > 0) std::memcpy(p, f->Bytes->data() + f->Position, Count);
        f->Position += Count;
        return Count;
      },
      [](const void*, sf_count_t, void*) { return sf_count_t{0}; },
      [](void* u) { return static_cast<TReadFile*>(u)->Position; }};
  TReadFile File{&ABytes};
  SF_INFO Info{};
  SNDFILE* Sound = sf_open_virtual(&Io, SFM_READ, &Info, &File);
  if (Sound == nullptr) return false;
  APcm.SampleRate = Info.samplerate;
  AChannels = Info.channels;
  std::vector<float> Block(4096);
  APcm.Data.clear();
  for (sf_count_t Got; (Got = sf_readf_float(Sound, Block.data(), 4096 / Info.channels)) > 0;)
    APcm.Data.insert(APcm.Data.end(), Block.begin(), Block.begin() + Got * Info.channels);
  sf_close(Sound);
  return true;
}

TEST(Encode, FormatNamesParseInAnyCaseAndUnknownOnesAreListed) {
  for (const auto& [Name, Format] :
       std::vector<std::pair<std::string, TAudioFormat>>{{"wav", afWav},
                                                         {"MP3", afMp3},
                                                         {"Opus", afOpus},
                                                         {"ogg", afOgg},
                                                         {"flac", afFlac},
                                                         {"aac", afAac},
                                                         {"pcm", afPcm},
                                                         {"ULAW", afUlaw},
                                                         {"alaw", afAlaw}}) {
    ASSERT_EQ(ParseAudioFormat(Name), Format) << Name;
    EXPECT_TRUE(SameTextAscii(AudioFormatName(Format), Name)) << Name;
  }
  for (const std::string& Unknown : {std::string(), std::string("mp4"), std::string("wav "),
                                     std::string("mu-law"), std::string("mp3\0", 4)})
    EXPECT_FALSE(ParseAudioFormat(Unknown).has_value()) << Unknown;
  EXPECT_EQ(KnownAudioFormats(), "wav, mp3, opus, ogg, flac, aac, pcm, ulaw, alaw");
}

TEST(Encode, DeliveryRatesAreWhatEachCodecCarries) {
  struct TCase {
    TAudioFormat Format;
    int32_t Source, Requested, Expected;
  };
  for (const TCase c :
       {TCase{afWav, 22050, 0, 22050}, TCase{afFlac, 22050, 16000, 16000},
        TCase{afUlaw, 22050, 0, 8000}, TCase{afAlaw, 44100, 16000, 8000},
        TCase{afOpus, 22050, 0, 24000}, TCase{afOpus, 44100, 0, 48000},
        TCase{afOpus, 8000, 0, 8000}, TCase{afOpus, 96000, 0, 48000}, TCase{afMp3, 22050, 0, 22050},
        TCase{afMp3, 23000, 0, 24000}, TCase{afAac, 24000, 0, 24000}, TCase{afAac, 20000, 0, 22050},
        TCase{afPcm, 22050, 24000, 24000}})
    EXPECT_EQ(DeliveryRate(c.Format, c.Source, c.Requested), c.Expected)
        << AudioFormatName(c.Format) << " " << c.Source << " " << c.Requested;
}

TEST(Encode, EveryFormatDecodesToTheSameDurationRateAndLevel) {
  const TPcmBuffer Clip = Syllables(0.5);
  struct TCase {
    TAudioFormat Format;
    int32_t Rate;
  };
  for (const TCase c :
       {TCase{afWav, 22050}, TCase{afFlac, 22050}, TCase{afOgg, 22050}, TCase{afOpus, 24000},
        TCase{afMp3, 22050}, TCase{afUlaw, 8000}, TCase{afAlaw, 8000}}) {
    SCOPED_TRACE(std::string(AudioFormatName(c.Format)));
    const TEncodedAudio Out = DeliverAudio(Clip, {c.Format, 0, 0});
    EXPECT_EQ(Out.SampleRate, c.Rate);
    EXPECT_EQ(Out.DurationMs, Clip.DurationMs());
    TPcmBuffer Back;
    int Channels = 0;
    ASSERT_TRUE(DecodeWithSndfile(Out.Bytes, Back, Channels));
    EXPECT_EQ(Channels, 1);
    EXPECT_EQ(Back.SampleRate, c.Rate);
    EXPECT_NEAR(Back.DurationMs(), Clip.DurationMs(), 50);
    EXPECT_NEAR(Db(Rms(Back.Data) / Rms(Clip.Data)), 0, 1.0);
  }
}

TEST(Encode, RawPcmIsTheWavWithoutItsHeader) {
  const TPcmBuffer Clip = Syllables(0.5, 1.0);
  const TBytes Wav = PcmToWav(Clip);
  const TEncodedAudio Raw = DeliverAudio(Clip, {afPcm, 0, 0});
  EXPECT_EQ(Raw.Bytes, TBytes(Wav.begin() + 44, Wav.end()));
  EXPECT_EQ(DeliverAudio(Clip, {afWav, 0, 0}).Bytes, Wav);
  const TEncodedAudio At24k = DeliverAudio(Clip, {afPcm, 24000, 0});
  EXPECT_EQ(At24k.Bytes.size(), 2 * 24000u);
}

// ADTS frames: sync word, AAC-LC, the rate's index, one channel, lengths that chain.
TEST(Encode, AacIsAChainOfAdtsFramesCoveringTheClip) {
  const TPcmBuffer Clip = Syllables(0.5, 2.0);
  const TEncodedAudio Out = DeliverAudio(Clip, {afAac, 0, 0});
  ASSERT_EQ(Out.SampleRate, 22050);
  size_t Frames = 0;
  size_t Offset = 0;
  while (Offset + 7 <= Out.Bytes.size()) {
    const uint8_t* h = Out.Bytes.data() + Offset;
    ASSERT_EQ(h[0], 0xFF);
    ASSERT_EQ(h[1] & 0xF6, 0xF0);
    EXPECT_EQ(h[2] >> 6, 1);                        // AAC-LC
    EXPECT_EQ((h[2] >> 2) & 0xF, 7);                // 22050 Hz
    EXPECT_EQ(((h[2] & 1) << 2) | (h[3] >> 6), 1);  // mono
    const size_t Length = ((h[3] & 3u) << 11) | (h[4] << 3u) | (h[5] >> 5u);
    ASSERT_GT(Length, 7u);
    Offset += Length;
    ++Frames;
  }
  EXPECT_EQ(Offset, Out.Bytes.size());
  // The encoder primes with one frame of 1024 samples and pads the last one.
  const double Covered = (static_cast<double>(Frames) - 1) * 1024 / 22050 * 1000;
  EXPECT_GE(Covered, Clip.DurationMs());
  EXPECT_LT(Covered, Clip.DurationMs() + 1024.0 / 22050 * 1000);
}

// Everything between 4.2 and 11 kHz must vanish on the way to 8 kHz; folded back it would
// land in the speech band.
TEST(Encode, TelephonyRatesCarryNoAliasOfWhatLiesAboveFourKilohertz) {
  const TPcmBuffer High = Sweep(4200, 11000);
  for (const TAudioFormat Format : {afUlaw, afAlaw}) {
    TPcmBuffer Back;
    int Channels = 0;
    ASSERT_TRUE(DecodeWithSndfile(DeliverAudio(High, {Format, 0, 0}).Bytes, Back, Channels));
    ASSERT_EQ(Back.SampleRate, 8000);
    EXPECT_LT(Db(Rms(Back.Data) / Rms(High.Data)), -50) << AudioFormatName(Format);
  }
  EXPECT_LT(Db(Rms(ResampleBandLimited(High, 8000).Data) / Rms(High.Data)), -90);
  // The sweep does show aliasing: plain interpolation lets it through.
  EXPECT_GT(Db(Rms(ResampleTo(High, 8000).Data) / Rms(High.Data)), -20);

  const TPcmBuffer Speech = Sweep(200, 3400);
  TPcmBuffer Back;
  int Channels = 0;
  ASSERT_TRUE(DecodeWithSndfile(DeliverAudio(Speech, {afUlaw, 0, 0}).Bytes, Back, Channels));
  EXPECT_NEAR(Db(Rms(Back.Data) / Rms(Speech.Data)), 0, 0.5);
}

TEST(Encode, LoudnessTargetsAreMetWithTheTruePeakBelowTheCeiling) {
  struct TCase {
    const char* Voice;
    double Peak;
    double Target;
    TAudioFormat Format;
  };
  for (const TCase c : {TCase{"quiet", 0.03, -16, afWav}, TCase{"quiet", 0.03, -23, afFlac},
                        TCase{"loud", 0.99, -16, afFlac}, TCase{"loud", 0.99, -23, afWav},
                        TCase{"loud", 0.99, -16, afUlaw}}) {
    SCOPED_TRACE(std::string(c.Voice) + " " + std::to_string(c.Target) + " " +
                 std::string(AudioFormatName(c.Format)));
    TPcmBuffer Back;
    int Channels = 0;
    ASSERT_TRUE(DecodeWithSndfile(DeliverAudio(Syllables(c.Peak), {c.Format, 0, c.Target}).Bytes,
                                  Back, Channels));
    const TLoudness After = MeasureLoudness(Back);
    EXPECT_NEAR(After.IntegratedLufs, c.Target, 0.5);
    EXPECT_LE(After.TruePeakDb, -1.0);
  }
}

TEST(Encode, LoudnessOutsideTheTargetRangeLeavesTheLevelAlone) {
  const TPcmBuffer Clip = Syllables(0.3, 1.0);
  for (const double Off : {0.0, -70.0, 3.0, -4.0, std::nan("")})
    EXPECT_EQ(DeliverAudio(Clip, {afWav, 0, Off}).Bytes, PcmToWav(Clip)) << Off;
  for (const double On : {-60.0, -16.0, -5.0})
    EXPECT_TRUE(IsLoudnessTarget(On)) << On;
}

TEST(Encode, EmptyAndTinyClipsStillMakeValidFiles) {
  for (const TAudioFormat Format : {afWav, afMp3, afOpus, afOgg, afFlac, afAac, afPcm, afUlaw}) {
    for (const size_t Samples : {size_t{0}, size_t{1}, size_t{100}}) {
      TPcmBuffer Clip;
      Clip.SampleRate = 22050;
      Clip.Data.assign(Samples, 0.25f);
      EXPECT_NO_THROW(DeliverAudio(Clip, {Format, 0, 0}))
          << AudioFormatName(Format) << " " << Samples;
    }
  }
}

// Long replies (slow speech at a high rate) reach the codecs in blocks: libvorbis, given
// millions of frames at once, overruns its own buffers.
TEST(Encode, LongClipsAtHighRatesEncodeInEveryFormat) {
  TPcmBuffer Clip;
  Clip.SampleRate = 48000;
  Clip.Data.resize(size_t{3} << 20);
  for (size_t i = 0; i < Clip.Data.size(); ++i)
    Clip.Data[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 440.0 * i / Clip.SampleRate));
  for (const TAudioFormat Format : {afWav, afMp3, afOpus, afOgg, afFlac, afAac, afUlaw}) {
    SCOPED_TRACE(std::string(AudioFormatName(Format)));
    const TEncodedAudio Out = DeliverAudio(Clip, {Format, 0, 0});
    EXPECT_EQ(Out.DurationMs, Clip.DurationMs());
    EXPECT_FALSE(Out.Bytes.empty());
  }
}

}  // namespace
}  // namespace quavox
