#include <dlfcn.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "audio/Audio.h"
#include "audio/Wav.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "platform/Files.h"
#include "support/TempDir.h"

// The decoder bridge with the real libquavox_audio.so, without it, with an unusable file in
// its place, and with a stand-in library that answers as told. The library is loaded once
// per process, so every setup other than the real library runs in a fresh copy of this
// program (see InFreshProcess).

namespace quavox {
namespace {

namespace fs = std::filesystem;

const std::string RealDecoder = QUAVOX_BIN_DIR "/libquavox_audio.so";
constexpr int32_t ToneRate = 44100;
constexpr int64_t ToneSamples = 44100;
constexpr int64_t Mp3FrameSamples = 1152;

// A new empty folder inside this process's scratch folder, which is static so that it is
// removed also when a fresh process ends through std::exit.
fs::path NewFolder(const std::string& AName) {
  static const TTempDir Root("quavox-decoder");
  const fs::path Folder = Root.Path(AName);
  fs::create_directories(Folder);
  return Folder;
}

// One second of a 440 Hz tone at 44.1 kHz in stereo, the left channel at half scale and the
// right one silent, so the mono average peaks at a quarter. Encoded once per process by the
// command-line tools the project's dependency script installs.
struct TTones {
  std::string Error;
  TBytes Wav, Mp3, Ogg, Opus;
  // Ten seconds at 8 kHz, mono: repeated, they make long streams cheaply (MP3 frames and
  // Ogg links may simply follow each other).
  TBytes LongMp3, LongOgg;
  TTones() {
    for (const char* Tool : {"sox", "lame", "oggenc", "opusenc"}) {
      if (std::system((std::string("command -v ") + Tool + " >/dev/null 2>&1").c_str()) != 0) {
        Error = std::string(Tool) + " is needed to make the test audio (scripts/install-deps.sh)";
        return;
      }
    }
    const std::string D = NewFolder("tones").string() + "/";
    const std::string Commands[] = {
        "sox -n -r 44100 -b 16 -c 2 " + D + "tone.wav synth 1 sine 440 gain -6 remix 1 0",
        "lame --quiet " + D + "tone.wav " + D + "tone.mp3",
        "oggenc -Q " + D + "tone.wav -o " + D + "tone.ogg",
        "opusenc --quiet " + D + "tone.wav " + D + "tone.opus",
        "sox -n -r 8000 -b 16 -c 1 " + D + "long.wav synth 10 sine 440 gain -3",
        "lame --quiet -b 8 " + D + "long.wav " + D + "long.mp3",
        "oggenc -Q -q 0 " + D + "long.wav -o " + D + "long.ogg",
    };
    for (const std::string& Command : Commands) {
      if (std::system((Command + " 2>/dev/null").c_str()) != 0) {
        Error = "failed: " + Command;
        return;
      }
    }
    Wav = ReadFileBytes(D + "tone.wav");
    Mp3 = ReadFileBytes(D + "tone.mp3");
    Ogg = ReadFileBytes(D + "tone.ogg");
    Opus = ReadFileBytes(D + "tone.opus");
    LongMp3 = ReadFileBytes(D + "long.mp3");
    LongOgg = ReadFileBytes(D + "long.ogg");
  }
};

const TTones& Tones() {
  static const TTones Instance;
  return Instance;
}

#define REQUIRE_TONES() ASSERT_TRUE(Tones().Error.empty()) << Tones().Error

TBytes Bytes(std::string_view AText) {
  return TBytes(AText.begin(), AText.end());
}

TBytes Repeat(const TBytes& ABytes, int ATimes) {
  TBytes Result;
  for (int i = 0; i < ATimes; ++i)
    Result.insert(Result.end(), ABytes.begin(), ABytes.end());
  return Result;
}

float Peak(const TPcmBuffer& APcm) {
  float Result = 0.0f;
  for (float v : APcm.Data)
    Result = std::max(Result, std::fabs(v));
  return Result;
}

std::vector<TLogEntry> AudioLog() {
  std::vector<TLogEntry> Result;
  for (const TLogEntry& Entry : TAppLog::Entries()) {
    if (Entry.Source == "audio") Result.push_back(Entry);
  }
  return Result;
}

// Runs AScenario in a fresh copy of this program (gtest re-runs the test there up to this
// statement), so the one-time load happens anew with the decoder path ADecoder. That copy
// prints nothing of its own, so the scenario's failures, from any thread, are collected and
// written to its standard error, which the failure report here shows.
template <typename TScenario>
void InFreshProcess(const std::string& ADecoder, TScenario AScenario) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::testing::TestPartResultArray Failures;
        {
          const ::testing::ScopedFakeTestPartResultReporter Collect(
              ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &Failures);
          SetDecoderPathForTesting(ADecoder);
          AScenario();
        }
        for (int i = 0; i < Failures.size(); ++i) {
          const ::testing::TestPartResult& Failure = Failures.GetTestPartResult(i);
          std::fprintf(stderr, "%s:%d: %s\n", Failure.file_name() ? Failure.file_name() : "?",
                       Failure.line_number(), Failure.message());
        }
        std::exit(Failures.size() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Calls ACall from two threads released at the same moment.
template <typename TCall>
void FromTwoThreadsAtOnce(TCall ACall) {
  std::latch Start(2);
  auto Body = [&] {
    Start.arrive_and_wait();
    ACall();
  };
  std::thread Other(Body);
  Body();
  Other.join();
}

// ---------------------------------------------------------------------------------------
// With the real library, loaded in this process.

class DecoderBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Takes effect only before the first load, which is what every test here wants.
    SetDecoderPathForTesting(RealDecoder);
    ASSERT_TRUE(fs::exists(RealDecoder)) << RealDecoder << " was not built";
    REQUIRE_TONES();
    ASSERT_TRUE(DecoderAvailable());
  }
};

TEST_F(DecoderBridgeTest, Mp3DecodesToMonoAtItsRate) {
  TPcmBuffer Reference;
  ASSERT_TRUE(WavToPcm(Tones().Wav, Reference));
  ASSERT_EQ(static_cast<int64_t>(Reference.Data.size()), ToneSamples);
  TPcmBuffer Pcm;
  ASSERT_TRUE(DecodeMp3(Tones().Mp3, Pcm));
  EXPECT_EQ(Pcm.SampleRate, ToneRate);
  EXPECT_NEAR(static_cast<double>(Pcm.Data.size()), static_cast<double>(ToneSamples),
              Mp3FrameSamples);
  // Left at half scale, right silent: the average of the two.
  EXPECT_NEAR(Peak(Pcm), 0.25f, 0.03f);
}

TEST_F(DecoderBridgeTest, OggVorbisDecodesToMonoAtItsRate) {
  TPcmBuffer Pcm;
  ASSERT_EQ(DecodeOgg(Tones().Ogg, Pcm), odOk);
  EXPECT_EQ(Pcm.SampleRate, ToneRate);
  EXPECT_EQ(static_cast<int64_t>(Pcm.Data.size()), ToneSamples);
  EXPECT_NEAR(Peak(Pcm), 0.25f, 0.03f);
}

TEST_F(DecoderBridgeTest, OggResults) {
  const TBytes& Ogg = Tones().Ogg;
  TBytes Garbage = Bytes("OggS");
  for (int i = 0; i < 500; ++i)
    Garbage.push_back(static_cast<uint8_t>(i * 37 + 11));
  const std::pair<const char*, TBytes> Broken[] = {
      {"empty", {}},
      {"capture pattern then garbage", Garbage},
      {"cut inside the headers", TBytes(Ogg.begin(), Ogg.begin() + 200)},
  };
  TPcmBuffer Pcm;
  for (const auto& [Name, Input] : Broken) {
    EXPECT_EQ(DecodeOgg(Input, Pcm), odBroken) << Name;
    EXPECT_TRUE(Pcm.IsEmpty()) << Name;
  }
  EXPECT_EQ(DecodeOgg(Tones().Opus, Pcm), odOpus);
  EXPECT_EQ(DecodeOgg(Bytes("Ogg"), Pcm), odNotOgg);
  EXPECT_EQ(DecodeOgg(Tones().Mp3, Pcm), odNotOgg);
  EXPECT_FALSE(DecodeAudio(Tones().Opus, Pcm));
}

TEST_F(DecoderBridgeTest, DamagedStreamsGiveWhatTheyHold) {
  TPcmBuffer Pcm;
  // A stream cut in the middle decodes up to the cut.
  const TBytes& Mp3 = Tones().Mp3;
  ASSERT_TRUE(DecodeMp3(TBytes(Mp3.begin(), Mp3.begin() + Mp3.size() / 2), Pcm));
  EXPECT_GT(Pcm.Data.size(), ToneSamples / 4);
  EXPECT_LT(Pcm.Data.size(), ToneSamples * 3 / 4);
  const TBytes& Ogg = Tones().Ogg;
  ASSERT_EQ(DecodeOgg(TBytes(Ogg.begin(), Ogg.begin() + Ogg.size() * 3 / 4), Pcm), odOk);
  EXPECT_GT(Pcm.Data.size(), ToneSamples / 4);
  EXPECT_LT(Pcm.Data.size(), ToneSamples);
  // Junk in front of the first frame is skipped.
  TBytes Prefixed = Bytes("this is not audio at all, just junk before the frames");
  Prefixed.insert(Prefixed.end(), Mp3.begin(), Mp3.end());
  ASSERT_TRUE(DecodeMp3(Prefixed, Pcm));
  EXPECT_NEAR(static_cast<double>(Pcm.Data.size()), static_cast<double>(ToneSamples),
              2 * Mp3FrameSamples);
  // An ID3 tag with nothing after it holds no audio.
  TBytes TagOnly = Bytes("ID3\x04");
  TagOnly.resize(4096, 0);
  Pcm.Data.assign(3, 1.0f);
  EXPECT_FALSE(DecodeMp3(TagOnly, Pcm));
  EXPECT_TRUE(Pcm.IsEmpty());
}

TEST_F(DecoderBridgeTest, DecodeAudioTakesEachFormat) {
  TPcmBuffer Pcm;
  for (const TBytes* Input : {&Tones().Wav, &Tones().Mp3, &Tones().Ogg}) {
    EXPECT_TRUE(DecodeAudio(*Input, Pcm)) << AudioExtension(*Input);
    EXPECT_EQ(Pcm.SampleRate, ToneRate);
  }
  EXPECT_FALSE(DecodeAudio(Bytes("plain text is no audio"), Pcm));
  EXPECT_TRUE(Pcm.IsEmpty());
}

// Ten minutes is the most the library decodes; longer streams are refused whole.
TEST_F(DecoderBridgeTest, StreamsLongerThanTenMinutesAreRefused) {
  TPcmBuffer Pcm;
  ASSERT_TRUE(DecodeMp3(Repeat(Tones().LongMp3, 55), Pcm));
  EXPECT_GT(Pcm.Data.size(), 550u * 8000u);
  EXPECT_FALSE(DecodeMp3(Repeat(Tones().LongMp3, 61), Pcm));
  ASSERT_EQ(DecodeOgg(Repeat(Tones().LongOgg, 55), Pcm), odOk);
  EXPECT_GE(Pcm.Data.size(), 550u * 8000u);
  EXPECT_EQ(DecodeOgg(Repeat(Tones().LongOgg, 61), Pcm), odBroken);
}

TEST_F(DecoderBridgeTest, DecodesOnSeveralThreadsAtOnce) {
  TPcmBuffer Mp3Reference, OggReference;
  ASSERT_TRUE(DecodeMp3(Tones().Mp3, Mp3Reference));
  ASSERT_EQ(DecodeOgg(Tones().Ogg, OggReference), odOk);
  std::atomic<int> Mismatches = 0;
  std::vector<std::thread> Threads;
  for (int t = 0; t < 4; ++t) {
    Threads.emplace_back([&, t] {
      for (int Round = 0; Round < 6; ++Round) {
        TPcmBuffer Pcm;
        if ((t + Round) % 2 == 0) {
          if (!DecodeMp3(Tones().Mp3, Pcm) || Pcm.Data != Mp3Reference.Data) ++Mismatches;
        } else {
          if (DecodeOgg(Tones().Ogg, Pcm) != odOk || Pcm.Data != OggReference.Data) ++Mismatches;
        }
      }
    });
  }
  for (std::thread& Thread : Threads)
    Thread.join();
  EXPECT_EQ(Mismatches, 0);
}

// ---------------------------------------------------------------------------------------
// Other library setups, each in a fresh process.

TEST(DecoderProcessTest, FirstNeedOnTwoThreadsLoadsTheLibraryOnce) {
  InFreshProcess(RealDecoder, [] {
    REQUIRE_TONES();
    std::atomic<int> Decoded = 0;
    FromTwoThreadsAtOnce([&] {
      TPcmBuffer Pcm;
      if (DecodeMp3(Tones().Mp3, Pcm)) ++Decoded;
    });
    EXPECT_EQ(Decoded, 2);
    EXPECT_TRUE(AudioLog().empty());
  });
}

TEST(DecoderProcessTest, WithoutTheLibrary) {
  const std::string Missing = (NewFolder("empty") / "libquavox_audio.so").string();
  InFreshProcess(Missing, [&] {
    REQUIRE_TONES();
    FromTwoThreadsAtOnce([] { EXPECT_FALSE(DecoderAvailable()); });
    const std::vector<TLogEntry> Log = AudioLog();
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(Log[0].Level, llWarn);
    EXPECT_EQ(Log[0].Text,
              "libquavox_audio.so not found: single MP3 clips pass through to the engine, ogg is "
              "unavailable");

    TPcmBuffer Pcm;
    EXPECT_TRUE(DecodeAudio(Tones().Wav, Pcm));
    EXPECT_EQ(Pcm.SampleRate, ToneRate);
    EXPECT_FALSE(DecodeMp3(Tones().Mp3, Pcm));
    EXPECT_FALSE(DecodeAudio(Tones().Mp3, Pcm));
    EXPECT_EQ(AudioExtension(Tones().Mp3), ".mp3");
    EXPECT_TRUE(IsWavOrMp3(Tones().Mp3));
    EXPECT_EQ(DecodeOgg(Tones().Ogg, Pcm), odNoDecoder);
    SetUiLang(ulZh);
    EXPECT_EQ(OggErrorText(odNoDecoder),
              "这台机器旁边没有 libquavox_audio.so,ogg 解不开 —— 引擎自己也不认 ogg,请换成 WAV 或 "
              "MP3。");

    // A library put in place later, or pointed at later, is not picked up, and nothing is
    // logged again.
    fs::copy_file(RealDecoder, Missing);
    EXPECT_FALSE(DecoderAvailable());
    SetDecoderPathForTesting(RealDecoder);
    EXPECT_FALSE(DecoderAvailable());
    EXPECT_EQ(DecodeOgg(Tones().Ogg, Pcm), odNoDecoder);
    EXPECT_EQ(AudioLog().size(), 1u);
  });
}

TEST(DecoderProcessTest, UnusableLibraryIsReportedOnce) {
  const std::string NotElf = (NewFolder("not-elf") / "libquavox_audio.so").string();
  TBytes Text;
  while (Text.size() < 4096) {
    const TBytes Line = Bytes("this is not a shared library\n");
    Text.insert(Text.end(), Line.begin(), Line.end());
  }
  WriteFileBytes(NotElf, Text);
  const std::pair<std::string, std::string> Cases[] = {
      {NotElf, "invalid ELF header"},
      {ExecutableDir() + "libquavox_audio_nofree.so", "quavox_audio_free"},
  };
  for (const auto& Case : Cases) {
    const std::string& Reason = Case.second;
    SCOPED_TRACE(Case.first);
    InFreshProcess(Case.first, [&] {
      EXPECT_FALSE(DecoderAvailable());
      TPcmBuffer Pcm;
      EXPECT_EQ(DecodeOgg(Bytes("OggS and more"), Pcm), odNoDecoder);
      EXPECT_FALSE(DecodeMp3(Bytes("ID3 and more"), Pcm));
      const std::vector<TLogEntry> Log = AudioLog();
      ASSERT_EQ(Log.size(), 1u);
      EXPECT_EQ(Log[0].Level, llWarn);
      const std::string& Text = Log[0].Text;
      EXPECT_EQ(Text.rfind("cannot load libquavox_audio.so (", 0), 0u) << Text;
      EXPECT_NE(Text.find(Reason), std::string::npos) << Text;
      EXPECT_TRUE(
          Text.ends_with("): multi-clip MP3 merging and ogg reference audio are unavailable"))
          << Text;
    });
  }
}

// The stand-in library's controls, looked up in the copy the bridge loaded.
struct TFakeDecoder {
  using TSetAnswer = void (*)(int32_t, int64_t, int32_t, int32_t, int32_t);
  void* Handle = nullptr;
  TSetAnswer SetAnswer = nullptr;
  int32_t (*FreeCount)() = nullptr;
  const float* (*LastFreed)() = nullptr;
  const float* (*Samples)() = nullptr;

  explicit TFakeDecoder(const std::string& APath)
      : Handle(dlopen(APath.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    if (!Handle) return;
    SetAnswer = reinterpret_cast<TSetAnswer>(dlsym(Handle, "quavox_fake_set_answer"));
    FreeCount = reinterpret_cast<int32_t (*)()>(dlsym(Handle, "quavox_fake_free_count"));
    LastFreed = reinterpret_cast<const float* (*)()>(dlsym(Handle, "quavox_fake_last_freed"));
    Samples = reinterpret_cast<const float* (*)()>(dlsym(Handle, "quavox_fake_samples"));
  }
  ~TFakeDecoder() {
    if (Handle) dlclose(Handle);
  }
  bool Ready() const { return SetAnswer && FreeCount && LastFreed && Samples; }
};

struct TAnswerCase {
  const char* Name;
  int32_t Status;
  int64_t Count;
  int32_t Rate;
  bool NullSamples;
  bool Mp3Decoded;
  TOggDecodeResult OggResult;
  int32_t Frees;
};

TEST(DecoderProcessTest, LibraryAnswersAreHandledByTheContract) {
  const std::string Fake = ExecutableDir() + "libquavox_audio_fake.so";
  ASSERT_TRUE(fs::exists(Fake)) << Fake << " was not built";
  InFreshProcess(Fake, [&] {
    ASSERT_TRUE(DecoderAvailable());
    const TFakeDecoder Decoder(Fake);
    ASSERT_TRUE(Decoder.Ready());
    const TAnswerCase Cases[] = {
        {"usable result", 1, 3, 16000, false, true, odOk, 1},
        {"success with zero count", 1, 0, 16000, false, false, odBroken, 1},
        {"success with negative count", 1, -3, 16000, false, false, odBroken, 1},
        {"success without samples", 1, 3, 16000, true, false, odBroken, 1},
        {"success with rate zero", 1, 3, 0, false, false, odBroken, 1},
        {"failure that still returns samples", 0, 3, 16000, false, false, odBroken, 0},
        {"Opus", -2, 0, 0, false, false, odOpus, 0},
        {"other failure", -1, 0, 0, false, false, odBroken, 0},
    };
    const TBytes Input = Bytes("OggS and whatever follows");
    for (const TAnswerCase& c : Cases) {
      SCOPED_TRACE(c.Name);
      const float* Expected = c.NullSamples ? nullptr : Decoder.Samples();
      TPcmBuffer Pcm;
      Pcm.Data.assign(7, 0.5f);

      Decoder.SetAnswer(c.Status, c.Count, c.Rate, c.NullSamples, 0);
      EXPECT_EQ(DecodeMp3(Input, Pcm), c.Mp3Decoded);
      EXPECT_EQ(Decoder.FreeCount(), c.Frees);
      if (c.Frees > 0) {
        EXPECT_EQ(Decoder.LastFreed(), Expected);
      }

      Decoder.SetAnswer(c.Status, c.Count, c.Rate, c.NullSamples, 0);
      EXPECT_EQ(DecodeOgg(Input, Pcm), c.OggResult);
      EXPECT_EQ(Decoder.FreeCount(), c.Frees);
      if (c.Frees > 0) {
        EXPECT_EQ(Decoder.LastFreed(), Expected);
      }

      if (c.OggResult == odOk) {
        EXPECT_EQ(Pcm.SampleRate, c.Rate);
        EXPECT_EQ(Pcm.Data, std::vector<float>(Decoder.Samples(), Decoder.Samples() + c.Count));
      } else {
        EXPECT_TRUE(Pcm.IsEmpty());
      }
    }
    EXPECT_TRUE(AudioLog().empty());

    // An exception out of the library is contained to the call and logged; nothing is freed.
    Decoder.SetAnswer(1, 3, 16000, 0, 1);
    TPcmBuffer Pcm;
    EXPECT_FALSE(DecodeMp3(Input, Pcm));
    EXPECT_EQ(DecodeOgg(Input, Pcm), odBroken);
    EXPECT_EQ(Decoder.FreeCount(), 0);
    const std::vector<TLogEntry> Log = AudioLog();
    ASSERT_EQ(Log.size(), 2u);
    for (const TLogEntry& Entry : Log) {
      EXPECT_EQ(Entry.Level, llError);
      EXPECT_EQ(Entry.Text, "decoder crashed: fake decoder failure");
    }
  });
}

}  // namespace
}  // namespace quavox
