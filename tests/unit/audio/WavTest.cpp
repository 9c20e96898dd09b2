#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "audio/Wav.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

// A WAV file assembled chunk by chunk, so each test states only what it varies.
struct TWavBuilder {
  TBytes Bytes = Header();

  static TBytes Header() {
    const std::string_view h("RIFF\0\0\0\0WAVE", 12);
    return TBytes(h.begin(), h.end());
  }

  TWavBuilder& Chunk(const char* AId, const TBytes& ABody, int64_t AClaimedSize = -1) {
    Bytes.insert(Bytes.end(), AId, AId + 4);
    U32(static_cast<uint32_t>(AClaimedSize >= 0 ? AClaimedSize : ABody.size()));
    Bytes.insert(Bytes.end(), ABody.begin(), ABody.end());
    if (ABody.size() % 2 == 1 && AClaimedSize < 0) Bytes.push_back(0);
    return *this;
  }
  TWavBuilder& Fmt(uint16_t ATag, uint16_t AChannels, uint32_t ARate, uint16_t ABits,
                   uint32_t ASize = 16) {
    TBytes f;
    auto Put = [&](uint32_t v, int n) {
      for (int i = 0; i < n; ++i)
        f.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    Put(ATag, 2);
    Put(AChannels, 2);
    Put(ARate, 4);
    Put(ARate * AChannels * ABits / 8, 4);
    Put(AChannels * ABits / 8, 2);
    Put(ABits, 2);
    f.resize(ASize, 0);
    return Chunk("fmt ", f);
  }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i)
      Bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
};

TBytes Int16s(const std::vector<int16_t>& AValues) {
  TBytes b;
  for (int16_t v : AValues) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
  }
  return b;
}

int16_t SampleAt(const TBytes& AWav, std::size_t AIndex) {
  int16_t v;
  std::memcpy(&v, AWav.data() + 44 + 2 * AIndex, 2);
  return v;
}

TEST(PcmToWav, WritesTheFixedHeaderAndRoundsTiesToEven) {
  const TBytes Wav = PcmToWav(TPcmBuffer{{1.7f, -3.0f, 0.5f, 0.0f}, 0});
  ASSERT_EQ(Wav.size(), 44u + 8u);
  EXPECT_EQ(std::memcmp(Wav.data(), "RIFF", 4), 0);
  EXPECT_EQ(Wav[4], 8 + 36);
  EXPECT_EQ(std::memcmp(Wav.data() + 8, "WAVEfmt ", 8), 0);
  uint32_t Rate;
  std::memcpy(&Rate, Wav.data() + 24, 4);
  EXPECT_EQ(Rate, 44100u);
  EXPECT_EQ(SampleAt(Wav, 0), 32767);
  EXPECT_EQ(SampleAt(Wav, 1), -32767);
  EXPECT_EQ(SampleAt(Wav, 2), 16384);
  EXPECT_EQ(PcmToWav(TPcmBuffer{}).size(), 44u);
  const TBytes Odd = PcmToWav(TPcmBuffer{{NAN, INFINITY, -INFINITY}, 8000});
  EXPECT_EQ(SampleAt(Odd, 0), 0);
  EXPECT_EQ(SampleAt(Odd, 1), 32767);
  EXPECT_EQ(SampleAt(Odd, 2), -32767);
}

// Nineteen copies of each value, so every one passes through the vectorised part of the
// conversion as well as its scalar tail.
TEST(PcmToWav, EveryPathClampsRoundsAndSilencesNaN) {
  const std::pair<float, int16_t> Cases[] = {
      {NAN, 0},        {INFINITY, 32767}, {-INFINITY, -32767}, {1.7f, 32767},
      {-3.0f, -32767}, {0.5f, 16384},     {-0.5f, -16384},     {-1.0f, -32767},
      {1e-5f, 0},      {3e-5f, 1},        {-0.0f, 0},          {0.999f, 32734},
  };
  for (const auto& [Value, Want] : Cases) {
    const TBytes Wav = PcmToWav(TPcmBuffer{std::vector<float>(19, Value), 8000});
    for (std::size_t i = 0; i < 19; ++i)
      ASSERT_EQ(SampleAt(Wav, i), Want) << Value << " at " << i;
  }
}

TEST(WavToPcm, MonoSixteenBitEveryPath) {
  for (const int16_t Value : {int16_t{-32768}, int16_t{32767}, int16_t{1}, int16_t{-1}}) {
    TPcmBuffer Pcm;
    ASSERT_TRUE(WavToPcm(TWavBuilder()
                             .Fmt(1, 1, 16000, 16)
                             .Chunk("data", Int16s(std::vector<int16_t>(19, Value)))
                             .Bytes,
                         Pcm));
    ASSERT_EQ(Pcm.Data.size(), 19u);
    for (const float v : Pcm.Data)
      ASSERT_EQ(v, Value / 32768.0f) << Value;
  }
}

TEST(PcmToWav, MultiChannelDuplicatesAndReadsBackAsMono) {
  const TBytes Wav = PcmToWav(TPcmBuffer{{0.25f, -0.5f}, 24000}, 2);
  ASSERT_EQ(Wav.size(), 44u + 8u);
  EXPECT_EQ(SampleAt(Wav, 0), SampleAt(Wav, 1));
  TPcmBuffer Back;
  ASSERT_TRUE(WavToPcm(Wav, Back));
  EXPECT_EQ(Back.SampleRate, 24000);
  ASSERT_EQ(Back.Data.size(), 2u);
  EXPECT_NEAR(Back.Data[0], 0.25f, 1e-4);
  EXPECT_NEAR(Back.Data[1], -0.5f, 1e-4);
}

TEST(WavToPcm, DecodesEverySupportedWidth) {
  struct TCase {
    const char* Name;
    uint16_t Tag, Bits;
    TBytes Data;
    float Want;
  };
  const TCase Cases[] = {
      {"8-bit mid", 1, 8, {128}, 0.0f},
      {"8-bit low", 1, 8, {0}, -1.0f},
      {"16-bit", 1, 16, Int16s({-16384}), -0.5f},
      {"24-bit negative", 1, 24, {0xFF, 0xFF, 0x7F}, 8388607.0f / 8388608.0f},
      {"24-bit file order 7F FF FF", 1, 24, {0x7F, 0xFF, 0xFF}, -129.0f / 8388608.0f},
      {"32-bit int", 1, 32, {0, 0, 0, 0x40}, 0.5f},
      {"float", 3, 32, {0, 0, 0x40, 0x3F}, 0.75f},
      {"extensible 32 is float", 0xFFFE, 32, {0, 0, 0x40, 0x3F}, 0.75f},
      {"tag 3 with 16 bits uses the 16-bit rule", 3, 16, Int16s({16384}), 0.5f},
  };
  for (const TCase& c : Cases) {
    TPcmBuffer Pcm;
    ASSERT_TRUE(WavToPcm(TWavBuilder()
                             .Fmt(c.Tag, 1, 16000, c.Bits)
                             .Chunk("LIST", {1, 2, 3, 4, 5, 6, 7, 8})
                             .Chunk("data", c.Data)
                             .Bytes,
                         Pcm))
        << c.Name;
    ASSERT_EQ(Pcm.Data.size(), 1u) << c.Name;
    EXPECT_FLOAT_EQ(Pcm.Data[0], c.Want) << c.Name;
  }
}

TEST(WavToPcm, AveragesChannelsAndHandlesChunkLayouts) {
  TPcmBuffer Pcm;
  // Stereo +16384 / -16384 averages to silence.
  ASSERT_TRUE(WavToPcm(
      TWavBuilder().Fmt(1, 2, 8000, 16).Chunk("data", Int16s({16384, -16384, 0, 0})).Bytes, Pcm));
  EXPECT_EQ(Pcm.Data, (std::vector<float>{0.0f, 0.0f}));
  // An odd-sized LIST chunk before the data is skipped with its pad byte.
  ASSERT_TRUE(WavToPcm(TWavBuilder()
                           .Fmt(1, 1, 8000, 16)
                           .Chunk("LIST", {1, 2, 3, 4, 5})
                           .Chunk("data", Int16s({8192, 8192}))
                           .Bytes,
                       Pcm));
  EXPECT_EQ(Pcm.Data, (std::vector<float>{0.25f, 0.25f}));
  // A data size claiming more bytes than exist reads the bytes that are there.
  TBytes Late = TWavBuilder().Chunk("LIST", TBytes(8)).Fmt(1, 1, 8000, 16).Bytes;
  TWavBuilder Claimed;
  Claimed.Bytes = Late;
  Claimed.Chunk("data", Int16s({8192, 8192, 8192}), 1000);
  ASSERT_TRUE(WavToPcm(Claimed.Bytes, Pcm));
  EXPECT_EQ(Pcm.Data.size(), 3u);
  EXPECT_EQ(Pcm.SampleRate, 8000);
  // "fmt " may follow "data".
  ASSERT_TRUE(WavToPcm(TWavBuilder()
                           .Chunk("data", Int16s({8192, 8192}))
                           .Chunk("LIST", TBytes(8))
                           .Fmt(1, 1, 8000, 16)
                           .Bytes,
                       Pcm));
  EXPECT_EQ(Pcm.Data.size(), 2u);
}

TEST(WavToPcm, RejectsWithoutThrowing) {
  const TBytes Good = PcmToWav(TPcmBuffer{{0.1f, 0.2f, 0.3f}, 8000});
  TBytes BigEndian = Good;
  std::memcpy(BigEndian.data(), "RIFX", 4);
  TBytes Short = Good;
  Short.resize(43);
  const std::pair<const char*, TBytes> Cases[] = {
      {"43 bytes", Short},
      {"RIFX", BigEndian},
      {"header only", PcmToWav(TPcmBuffer{{}, 8000})},
      {"ADPCM", TWavBuilder().Fmt(2, 1, 8000, 4).Chunk("data", TBytes(16)).Bytes},
      {"fmt of 14 bytes", TWavBuilder().Fmt(1, 1, 8000, 16, 14).Chunk("data", TBytes(16)).Bytes},
      {"12 bits", TWavBuilder().Fmt(1, 1, 8000, 12).Chunk("data", TBytes(16)).Bytes},
      {"zero channels", TWavBuilder().Fmt(1, 0, 8000, 16).Chunk("data", TBytes(16)).Bytes},
      {"zero rate", TWavBuilder().Fmt(1, 1, 0, 16).Chunk("data", TBytes(16)).Bytes},
      {"no data", TWavBuilder().Fmt(1, 1, 8000, 16).Chunk("LIST", TBytes(16)).Bytes},
      {"fmt cut short",
       TWavBuilder().Chunk("LIST", TBytes(20)).Chunk("fmt ", {1, 0, 1, 0}, 16).Bytes},
      {"partial frame only", TWavBuilder().Fmt(1, 2, 8000, 16).Chunk("data", TBytes(2)).Bytes},
  };
  for (const auto& [Name, Bytes] : Cases) {
    TPcmBuffer Pcm;
    EXPECT_FALSE(WavToPcm(Bytes, Pcm)) << Name;
  }
}

TEST(FileBytes, MissingFileIsEmptyAndFoldersAreCreated) {
  const TTempDir Dir("quavox-wav");
  EXPECT_TRUE(ReadFileBytes(Dir.Path("absent.wav")).empty());
  const std::string File = Dir.Path("a/b/x.wav");
  const TBytes Wav = PcmToWav(TPcmBuffer{{0.5f}, 8000});
  WriteFileBytes(File, Wav);
  EXPECT_EQ(ReadFileBytes(File), Wav);
  WriteFileBytes(File, TBytes{});
  EXPECT_EQ(std::filesystem::file_size(File), 0u);
}

}  // namespace
}  // namespace quavox
