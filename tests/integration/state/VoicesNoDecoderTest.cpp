// The voice library in a process where the decoder library is missing: the decoder is
// loaded once per process, so this runs as its own test program.
#define QX_VOICES_DECODER_PATH "/nonexistent/quavox/libquavox_audio.so"
#include "unit/state/VoicesTestFixture.h"

namespace quavox::voicetest {
namespace {

// Two MPEG-1 layer III frames (128 kbit/s, 44.1 kHz: 417 bytes each) with empty payloads:
// frames where MP3 frames belong, which is all that can be judged without the decoder.
TBytes FakeMp3() {
  TBytes b;
  for (int Frame = 0; Frame < 2; ++Frame) {
    const TBytes Header = {0xFF, 0xFB, 0x90, 0x00};
    b.insert(b.end(), Header.begin(), Header.end());
    b.resize(b.size() + 417 - Header.size(), 0x55);
  }
  return b;
}

TEST_F(VoicesTest, WithoutTheDecoderBytesThatAreNoMp3FramesAreRefused) {
  TBytes Junk = TextBytes("ID3");
  Junk.resize(4096, 0x55);
  TBytes Syncs(4096, 0x00);
  for (std::size_t i = 0; i + 1 < Syncs.size(); i += 97) {
    Syncs[i] = 0xFF;
    Syncs[i + 1] = 0xE7;
  }
  for (const TBytes& Audio : {Junk, Syncs}) {
    try {
      Library->AddClone(CloneOrder("J", {{Audio, "t"}}));
      ADD_FAILURE() << "no error";
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecBadAudio);
    }
  }
  EXPECT_EQ(Library->Count(), 0u);
  EXPECT_TRUE(!fs::exists(Config->VoicesDir()) || fs::is_empty(Config->VoicesDir()));
}

TEST_F(VoicesTest, WithoutTheDecoderMp3IsStoredUnmeasuredAndPassesThrough) {
  ASSERT_FALSE(DecoderAvailable());
  const TVoiceInfo v = Library->AddClone(CloneOrder("M", {{FakeMp3(), "t"}}));
  ASSERT_EQ(v.Clips.size(), 1u);
  EXPECT_EQ(v.Clips[0].FileName, v.Id + "-0.mp3");
  EXPECT_EQ(v.Clips[0].DurationMs, 0);
  EXPECT_TRUE(Logged(llWarn,
                     "cannot decode this .mp3 clip (missing libquavox_audio.so?); "
                     "duration unknown and it cannot join a multi-clip merge"));
  EXPECT_EQ(Library->ReferenceAudio(v), FakeMp3());
  EXPECT_FALSE(Logged(llWarn, "reference audio is "));
}

TEST_F(VoicesTest, WithoutTheDecoderOggIsRefused) {
  try {
    Library->AddClone(CloneOrder("O", {{TextBytes("OggS, a vorbis stream supposedly"), "t"}}));
    ADD_FAILURE() << "no error";
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecBadAudio);
    EXPECT_EQ(std::string(E.what()), OggErrorText(odNoDecoder));
  }
  EXPECT_EQ(Library->Count(), 0u);
}

TEST_F(VoicesTest, WithoutTheDecoderLongMp3WarnsAndMergesSkipIt) {
  PutClip("long.mp3", FakeMp3());
  PutClip("speech.wav", ToneWav(6000));
  LoadVoices(R"({"voices": [
    {"id": "v-long", "display": "L", "clips": [{"file": "long.mp3", "text": "t",
                                                "durationMs": 45000}]},
    {"id": "v-mix", "display": "X", "clips": [{"file": "long.mp3", "text": "a"},
                                              {"file": "speech.wav", "text": "b"}]}]})");
  TVoiceInfo Long, Mix;
  ASSERT_TRUE(Library->Find("v-long", Long));
  ASSERT_TRUE(Library->Find("v-mix", Mix));
  EXPECT_EQ(Library->ReferenceAudio(Long), FakeMp3());
  EXPECT_TRUE(Logged(llWarn,
                     "reference audio is 45 s, over the recommended 30 s, and cannot be "
                     "decoded to trim it; the engine may crash"));
  TPcmBuffer Merged;
  ASSERT_TRUE(WavToPcm(Library->ReferenceAudio(Mix).Bytes(), Merged));
  EXPECT_EQ(Merged.Data.size(), 24000u * 6);
  EXPECT_TRUE(Logged(llWarn, "cannot decode this clip, skipping it in the merge: long.mp3"));
}

}  // namespace
}  // namespace quavox::voicetest
