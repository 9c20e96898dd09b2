#include <gtest/gtest.h>

#include <string_view>

#include "audio/Audio.h"
#include "audio/Wav.h"
#include "core/I18n.h"

// What each format's content looks like, and the user messages of the Ogg results. None of
// these needs the decoder library, and none of them loads it.

namespace quavox {
namespace {

TBytes Bytes(std::string_view AText) {
  return TBytes(AText.begin(), AText.end());
}

TBytes Concat(TBytes AHead, const TBytes& ATail) {
  AHead.insert(AHead.end(), ATail.begin(), ATail.end());
  return AHead;
}

// A frame sync (0xFF, then a byte with its top three bits set) at AAt in zeros.
TBytes SyncAt(std::size_t ASize, std::size_t AAt, uint8_t ASecond = 0xE0) {
  TBytes b(ASize, 0);
  b[AAt] = 0xFF;
  b[AAt + 1] = ASecond;
  return b;
}

// A real WAV file whose samples hold MP3-like frame syncs.
TBytes WavWithSyncs() {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 16000;
  Pcm.Data.assign(64, 0.0f);
  TBytes Wav = PcmToWav(Pcm);
  for (std::size_t i = 44; i + 1 < Wav.size(); i += 8) {
    Wav[i] = 0xFF;
    Wav[i + 1] = 0xFB;
  }
  return Wav;
}

struct TSniffCase {
  const char* Name;
  TBytes Input;
  bool Mp3;
  bool Ogg;
  bool WavOrMp3;
  const char* Extension;
};

TEST(AudioBridgeSniffTest, RecognisesFormatsFromTheLeadingBytes) {
  const TSniffCase Cases[] = {
      {"empty", {}, false, false, false, ""},
      {"plain text", Bytes("hello, world"), false, false, false, ""},
      {"ID3 alone is too short", Bytes("ID3"), false, false, false, ""},
      {"ID3 tag start", Bytes("ID3\x04"), true, false, true, ".mp3"},
      {"ID3 then nothing usable", Concat(Bytes("ID3"), TBytes(100, 0)), true, false, true, ".mp3"},
      {"sync at the start", SyncAt(4, 0), true, false, true, ".mp3"},
      {"sync needs its top three bits", SyncAt(16, 4, 0xDF), false, false, false, ""},
      {"sync in the last position looked at", SyncAt(5, 2), true, false, true, ".mp3"},
      {"sync too close to the end", SyncAt(4, 2), false, false, false, ""},
      {"sync inside the first 8192 bytes", SyncAt(10000, 8191), true, false, true, ".mp3"},
      {"sync after the first 8192 bytes", SyncAt(10000, 8192), false, false, false, ""},
      {"Ogg capture pattern alone", Bytes("OggS"), false, true, false, ".ogg"},
      {"three bytes Ogg", Bytes("Ogg"), false, false, false, ""},
      {"Ogg page with sync bytes", Concat(Bytes("OggS"), SyncAt(8, 0, 0xFB)), true, true, false,
       ".ogg"},
      {"RIFF of 12 bytes", Bytes(std::string_view("RIFF\0\0\0\0WAVE", 12)), false, false, true, ""},
      {"RIFF of 13 bytes", Bytes(std::string_view("RIFF\0\0\0\0WAVEx", 13)), false, false, true,
       ".wav"},
      {"RIFF of 11 bytes with a sync", Concat(Bytes("RIFF"), SyncAt(7, 2)), true, false, true,
       ".mp3"},
      {"WAV whose samples look like MP3", WavWithSyncs(), true, false, true, ".wav"},
  };
  for (const TSniffCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(LooksLikeMp3(c.Input), c.Mp3);
    EXPECT_EQ(IsOggData(c.Input), c.Ogg);
    EXPECT_EQ(IsWavOrMp3(c.Input), c.WavOrMp3);
    EXPECT_EQ(AudioExtension(c.Input), c.Extension);
  }
}

// These outcomes are settled before the library would be needed.
TEST(AudioBridgeSniffTest, OggResultsThatNeedNoDecoder) {
  TPcmBuffer Pcm;
  EXPECT_EQ(DecodeOgg({}, Pcm), odBroken);
  EXPECT_EQ(DecodeOgg(Bytes("Ogg"), Pcm), odNotOgg);
  EXPECT_EQ(DecodeOgg(Bytes("ID3\x04 not an ogg"), Pcm), odNotOgg);
  EXPECT_FALSE(DecodeMp3({}, Pcm));
}

class OggErrorTextTest : public ::testing::Test {
 protected:
  void TearDown() override { SetUiLang(ulAuto); }
};

TEST_F(OggErrorTextTest, GivesOneMessagePerResult) {
  SetUiLang(ulZh);
  const std::pair<TOggDecodeResult, std::string> Cases[] = {
      {odOk, ""},
      {odNoDecoder,
       "这台机器旁边没有 libquavox_audio.so,ogg 解不开 —— 引擎自己也不认 ogg,请换成 WAV 或 MP3。"},
      {odNotOgg, "这不是 ogg 文件。"},
      {odOpus,
       "这是 Opus 编码的 .ogg。Opus 和 Vorbis 是两种编码,这里只能解 Vorbis;"
       "用别的工具转成 WAV / MP3 / Ogg Vorbis 再来。"},
      {odBroken, "ogg 解不开(文件可能不完整或已损坏)。"},
  };
  for (const auto& [Result, Text] : Cases) {
    EXPECT_EQ(OggErrorText(Result), Text) << static_cast<int>(Result);
  }
}

TEST_F(OggErrorTextTest, TranslatesEachPieceBeforeJoining) {
  SetUiLang(ulEn);
  EXPECT_EQ(OggErrorText(odNoDecoder),
            "libquavox_audio.so is not installed next to the program, so ogg cannot be decoded — "
            "the engine does not accept ogg either. Please use WAV or MP3.");
  SetUiLang(ulJa);
  EXPECT_EQ(OggErrorText(odOpus),
            "これは Opus でエンコードされた .ogg です。Opus と Vorbis は別のコーデックで、ここでは "
            "Vorbis しかデコードできません。別のツールで WAV / MP3 / Ogg Vorbis "
            "に変換してから、もう一度お試しください。");
}

}  // namespace
}  // namespace quavox
