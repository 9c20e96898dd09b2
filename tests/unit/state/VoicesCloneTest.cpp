// Cloning, clip storage and the reference recording handed to the engine.
#include <functional>

#include "VoicesTestFixture.h"

namespace quavox::voicetest {
namespace {

std::size_t FilesIn(const std::string& ADir) {
  std::error_code Ec;
  if (!fs::is_directory(ADir, Ec)) return 0;
  std::size_t n = 0;
  for (const auto& Entry : fs::directory_iterator(ADir))
    n += Entry.is_regular_file();
  return n;
}

TPcmBuffer Decoded(const TBytes& ABytes) {
  TPcmBuffer Pcm;
  EXPECT_TRUE(WavToPcm(ABytes, Pcm));
  return Pcm;
}

TEST_F(VoicesTest, RefusalsRaiseTheirCodeAndLeaveNothingBehind) {
  const TBytes Good = ToneWav(6000);
  struct TCase {
    std::string Name;
    std::function<void()> Action;
    TTtsErrorCode Code;
    std::string Message;
  };
  const std::vector<TCase> Cases = {
      {"no clips", [&] { Library->AddClone(CloneOrder("x", {})); }, ecBadAudio,
       "克隆至少需要一段参考音频"},
      {"no audio",
       [&] {
         Library->AddClone(CloneOrder("x", {{{}, "text"}}));
       },
       ecBadAudio, "这一段没有音频数据"},
      {"no transcript",
       [&] {
         Library->AddClone(CloneOrder("x", {{Good, " \t "}}));
       },
       ecBadAudio, "参考音频必须配上它的转写(官方契约里 reference_text 是必填)"},
      {"not audio",
       [&] {
         Library->AddClone(CloneOrder("x", {{TextBytes("hello, world"), "t"}}));
       },
       ecBadAudio, "这段音频不像 WAV、MP3 或 Ogg"},
      {"too short",
       [&] {
         Library->AddClone(CloneOrder("x", {{ToneWav(800), "t"}}));
       },
       ecBadAudio, "参考音频只有 800 毫秒,太短了(官方建议 5~30 秒)"},
      {"later clip too short",
       [&] {
         Library->AddClone(CloneOrder("x", {{Good, "a"}, {Good, "b"}, {ToneWav(999), "c"}}));
       },
       ecBadAudio, "参考音频只有 999 毫秒,太短了(官方建议 5~30 秒)"},
      {"broken ogg",
       [&] {
         Library->AddClone(CloneOrder("x", {{TextBytes("OggS and then nothing useful"), "t"}}));
       },
       ecBadAudio, OggErrorText(DecoderAvailable() ? odBroken : odNoDecoder)},
      {"clip to unknown voice",
       [&] {
         Library->AddClip("v-nope", {Good, "t"});
       },
       ecBadVoice, "没有这个音色:v-nope"},
  };
  for (const TCase& c : Cases) {
    try {
      c.Action();
      ADD_FAILURE() << c.Name << ": no error";
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), c.Code) << c.Name;
      EXPECT_EQ(std::string(E.what()), c.Message) << c.Name;
    }
    EXPECT_EQ(Library->Count(), 0u) << c.Name;
    EXPECT_EQ(FilesIn(CloneDir()), 0u) << c.Name;
    EXPECT_FALSE(fs::exists(VoicesFile())) << c.Name;
  }
  // A failed clone reserves nothing: the same recordings still get the base id.
  const TVoiceCloneSpec s = CloneOrder("x", {{Good, "a"}});
  const std::string Predicted = Library->PredictId(s);
  EXPECT_EQ(Library->AddClone(s).Id, Predicted);
  EXPECT_EQ(Predicted.size(), 14u);
}

TEST_F(VoicesTest, UnwritableCloneFolderIsACloneFailure) {
  WriteText(Root + "clone", "a file where the folder should be");
  try {
    Library->AddClone(CloneOrder("x", {{ToneWav(6000), "t"}}));
    ADD_FAILURE() << "no error";
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecCloneFailed);
    EXPECT_TRUE(std::string(E.what()).starts_with("参考音频存不下来:")) << E.what();
  }
  EXPECT_EQ(Library->Count(), 0u);
}

TEST_F(VoicesTest, CloneStoresMeasuredClipsAndSaves) {
  TVoiceCloneSpec s =
      CloneOrder("  Anna  ", {{ToneWav(12000), "  第一句 "}, {ToneWav(3000, 16000), "b"}});
  s.Language = "ZH-cn";
  s.Gender = tgFemale;
  s.Style = " calm ";
  s.Note = " note kept ";
  const TVoiceInfo v = Library->AddClone(s);
  EXPECT_EQ(v.Display, "Anna");
  EXPECT_EQ(v.Kind, vkCloned);
  EXPECT_EQ(v.Language, "zh");
  EXPECT_EQ(v.Gender, tgFemale);
  EXPECT_EQ(v.Style, "calm");
  EXPECT_EQ(v.Note, " note kept ");
  EXPECT_GE(v.Seed, 0);
  ASSERT_EQ(v.Clips.size(), 2u);
  EXPECT_EQ(v.Clips[0].FileName, v.Id + "-0.wav");
  EXPECT_EQ(v.Clips[0].Text, "第一句");
  EXPECT_EQ(v.Clips[0].DurationMs, 12000);
  EXPECT_EQ(v.Clips[1].FileName, v.Id + "-1.wav");
  EXPECT_EQ(v.Clips[1].DurationMs, 3000);
  EXPECT_EQ(ReadFileBytes(CloneDir() + v.Clips[0].FileName), s.Clips[0].Audio);
  EXPECT_TRUE(Logged(llWarn, "reference audio is only 3.0 s; the official guidance is 5-30 s"));
  EXPECT_TRUE(Logged(llInfo, "cloned voice Anna (" + v.Id + ", 2 clip(s), 15.0 s total)"));

  TVoiceLibrary Reloaded(*Config);
  Reloaded.Load();
  TVoiceInfo r;
  ASSERT_TRUE(Reloaded.Find(v.Id, r));
  EXPECT_EQ(r.CreatedAt, v.CreatedAt);
  EXPECT_EQ(r.Clips.size(), 2u);
  EXPECT_EQ(r.Seed, v.Seed);

  EXPECT_EQ(Library->AddClone(CloneOrder(" ", {{ToneWav(6000, 8000), "t"}})).Display.substr(0, 2),
            "v-");
}

TEST_F(VoicesTest, SingleClipsPassThroughOrAreTrimmedToThirtySeconds) {
  const TVoiceInfo Short = Library->AddClone(CloneOrder("Short", {{ToneWav(12000), "t"}}));
  EXPECT_EQ(Library->ReferenceAudio(Short), ToneWav(12000)) << "unchanged bytes";

  TAppLog::Clear();
  const TVoiceInfo Long = Library->AddClone(CloneOrder("Long", {{ToneWav(45000, 22050), "t"}}));
  EXPECT_EQ(Long.Clips[0].DurationMs, 45000);
  EXPECT_TRUE(Logged(llWarn, "reference audio is 45 s, over the 30 s the vendor recommends"));
  const TPcmBuffer Trimmed = Decoded(Library->ReferenceAudio(Long).Bytes());
  EXPECT_EQ(Trimmed.SampleRate, 22050);
  EXPECT_EQ(Trimmed.Data.size(), 22050u * 30);
  EXPECT_TRUE(Logged(llWarn, "reference audio for Long was 45 s; trimmed to 30 s before"));

  TVoiceInfo None = Short;
  None.Clips.clear();
  EXPECT_TRUE(Library->ReferenceAudio(None).empty());
  fs::remove(CloneDir() + Short.Clips[0].FileName);
  EXPECT_TRUE(Library->ReferenceAudio(Short).empty());
}

// The reference is prepared once and shared by the requests that follow, until the voice's
// clips or their files change; after any change it is the reference of the clips as they
// are now.
TEST_F(VoicesTest, ReferenceIsPreparedOnceUntilTheClipsChange) {
  TVoiceInfo v =
      Library->AddClone(CloneOrder("Reused", {{ToneWav(6000), "a"}, {ToneWav(7000), "b"}}));
  TAppLog::Clear();
  const TSharedBytes First = Library->ReferenceAudio(v);
  EXPECT_EQ(Decoded(First.Bytes()).DurationMs(), 13300);
  EXPECT_EQ(Library->ReferenceAudio(v).Share(), First.Share()) << "prepared again";
  EXPECT_EQ(Library->ReferenceAudio(v).Share(), First.Share()) << "prepared again";
  std::size_t Merges = 0;
  for (const TLogEntry& e : TAppLog::Entries())
    Merges += e.Text.starts_with("merged the Reused reference clips") ? 1 : 0;
  EXPECT_EQ(Merges, 1u);

  const std::string Id = v.Id;
  const auto Refresh = [&] { ASSERT_TRUE(Library->Find(Id, v)); };
  struct TChange {
    const char* Title;
    std::function<void()> Apply;
    int32_t WantMs;
  };
  const TChange Changes[] = {
      {"a clip file replaced on disk",
       [&] {
         const std::string Path = Library->ClipPath(v.Clips[0]);
         WriteFileBytes(Path + ".new", ToneWav(9000));
         fs::rename(Path + ".new", Path);
       },
       9000 + 300 + 7000},
      {"a clip added",
       [&] {
         v = Library->AddClip(v.Id, {ToneWav(5000), "c"});
       },
       9000 + 300 + 7000 + 300 + 5000},
      {"a clip removed",
       [&] {
         ASSERT_TRUE(Library->RemoveClip(v.Id, 0));
         Refresh();
       },
       7000 + 300 + 5000},
      {"a clip file deleted", [&] { fs::remove(Library->ClipPath(v.Clips[0])); }, 5000},
  };
  for (const TChange& c : Changes) {
    c.Apply();
    EXPECT_EQ(Decoded(Library->ReferenceAudio(v).Bytes()).DurationMs(), c.WantMs) << c.Title;
    EXPECT_EQ(Library->ReferenceAudio(v).Share(), Library->ReferenceAudio(v).Share()) << c.Title;
  }
}

TEST_F(VoicesTest, CompressedClipsAreMeasuredAndOggReachesTheEngineAsWav) {
  QX_REQUIRE_DECODER();
  const TBytes Mp3Bytes = Mp3(ToneWav(6000, 24000));
  QX_REQUIRE_BYTES(Mp3Bytes, "lame");
  const TBytes OggBytes = OggVorbis(ToneWav(7000, 24000));
  QX_REQUIRE_BYTES(OggBytes, "oggenc");

  const TVoiceInfo M = Library->AddClone(CloneOrder("Mp3", {{Mp3Bytes, "t"}}));
  EXPECT_EQ(M.Clips[0].FileName, M.Id + "-0.mp3");
  EXPECT_NEAR(M.Clips[0].DurationMs, 6000, 120);
  EXPECT_EQ(Library->ReferenceAudio(M), Mp3Bytes);

  const TVoiceInfo O = Library->AddClone(CloneOrder("Ogg", {{OggBytes, "t"}}));
  EXPECT_EQ(O.Clips[0].FileName, O.Id + "-0.ogg");
  EXPECT_NEAR(O.Clips[0].DurationMs, 7000, 50);
  const TBytes Ref = Library->ReferenceAudio(O).Bytes();
  ASSERT_GT(Ref.size(), 44u);
  EXPECT_EQ(std::string(Ref.begin(), Ref.begin() + 4), "RIFF");
  EXPECT_NEAR(Decoded(Ref).DurationMs(), 7000, 50);
}

TEST_F(VoicesTest, OpusOggIsRefusedWithItsOwnMessage) {
  QX_REQUIRE_DECODER();
  const TBytes Opus = OggOpus(ToneWav(6000, 48000));
  QX_REQUIRE_BYTES(Opus, "opusenc");
  try {
    Library->AddClone(CloneOrder("x", {{Opus, "t"}}));
    ADD_FAILURE() << "no error";
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecBadAudio);
    EXPECT_EQ(std::string(E.what()), OggErrorText(odOpus));
  }
}

TEST_F(VoicesTest, UndecodableOggAtSynthesisTimeGivesNothing) {
  PutClip("broken.ogg", TextBytes("OggS but not a stream at all"));
  LoadVoices(R"({"voices": [{"id": "v-ogg", "display": "Oggy",
                 "clips": [{"file": "broken.ogg", "text": "t"}]}]})");
  TVoiceInfo v;
  ASSERT_TRUE(Library->Find("v-ogg", v));
  EXPECT_TRUE(Library->ReferenceAudio(v).empty());
  EXPECT_TRUE(Logged(llError,
                     "reference audio for Oggy is ogg but cannot be decoded; the engine "
                     "does not accept ogg, so this voice is unusable. "));
}

TEST_F(VoicesTest, SeveralClipsMergeToAtMostThirtySeconds) {
  struct TCase {
    std::string Name;
    std::vector<std::pair<int32_t, int32_t>> Clips;  // milliseconds, sample rate
    std::size_t Samples;                             // of the merged recording
    int32_t Rate;
    bool CapWarning;
    std::string Summary;
  };
  const std::vector<TCase> Cases = {
      {"three long clips and one more",
       {{12000, 24000}, {12000, 24000}, {12000, 24000}, {6000, 24000}},
       24000 * 30,
       24000,
       true,
       "merged the three long clips and one more reference clips into one - 4 clip(s), 30.0 s"},
      {"no room after the third",
       {{10000, 24000}, {10000, 24000}, {9200, 24000}, {6000, 24000}, {6000, 24000}},
       // The fourth clip adds only its gap; the fifth is never read.
       24000 * 301 / 10,
       24000,
       true,
       "merged the no room after the third reference clips into one - 5 clip(s), 30.1 s"},
      {"two rates",
       {{5000, 44100}, {5000, 24000}},
       44100 * 103 / 10,
       44100,
       false,
       "merged the two rates reference clips into one - 2 clip(s), 10.3 s"},
  };
  for (const TCase& c : Cases) {
    std::vector<TVoiceClipInput> Clips;
    for (std::size_t i = 0; i < c.Clips.size(); ++i)
      Clips.push_back({ToneWav(c.Clips[i].first, c.Clips[i].second, 200.0 + 50 * i), "t"});
    const TVoiceInfo v = Library->AddClone(CloneOrder(c.Name, Clips));
    TAppLog::Clear();
    const TPcmBuffer Merged = Decoded(Library->ReferenceAudio(v).Bytes());
    EXPECT_EQ(Merged.SampleRate, c.Rate) << c.Name;
    EXPECT_NEAR(static_cast<double>(Merged.Data.size()), static_cast<double>(c.Samples), 2.0)
        << c.Name;
    EXPECT_EQ(Logged(llWarn,
                     "merged reference audio already reached 30 s (the vendor caps it at "
                     "30 s); skipping the remaining clips"),
              c.CapWarning)
        << c.Name;
    EXPECT_TRUE(Logged(llInfo, c.Summary)) << c.Name;
  }
}

TEST_F(VoicesTest, MergeSkipsMissingAndUndecodableClips) {
  const TBytes Good = ToneWav(6000);
  PutClip("good.wav", Good);
  PutClip("bad.wav", TextBytes(std::string_view("RIFF\x10\0\0\0WAVEjunkjunk", 20)));
  // A header claiming two billion samples a second must not size the merge.
  PutClip("absurd.wav", PcmToWav(TPcmBuffer{std::vector<float>(100, 0.1f), 2000000000}));
  LoadVoices(R"({"voices": [{"id": "v-m", "display": "M", "clips": [
      {"file": "absurd.wav", "text": ""}, {"file": "missing.wav", "text": " a "},
      {"file": "bad.wav", "text": ""}, {"file": "good.wav", "text": "b"}]}]})");
  TVoiceInfo v;
  ASSERT_TRUE(Library->Find("v-m", v));
  EXPECT_EQ(Decoded(Library->ReferenceAudio(v).Bytes()).Data.size(), 24000u * 6);
  EXPECT_TRUE(Logged(llWarn, "cannot decode this clip, skipping it in the merge: bad.wav"));
  EXPECT_TRUE(Logged(llWarn, "cannot decode this clip, skipping it in the merge: absurd.wav"));
  EXPECT_FALSE(Logged(llWarn, "cannot decode this clip, skipping it in the merge: missing.wav"));
  EXPECT_EQ(TVoiceLibrary::ReferenceText(v), "a b");

  fs::remove(CloneDir() + "good.wav");
  TAppLog::Clear();
  EXPECT_TRUE(Library->ReferenceAudio(v).empty());
  EXPECT_FALSE(Logged(llInfo, "merged"));
}

TEST_F(VoicesTest, ClipsAreAddedAndRemovedWithoutRenamingOrOverwriting) {
  const TVoiceInfo v = Library->AddClone(CloneOrder("V", {{ToneWav(6000, 24000, 300), "a"},
                                                          {ToneWav(6000, 24000, 400), "b"},
                                                          {ToneWav(6000, 24000, 500), "c"}}));
  EXPECT_FALSE(Library->RemoveClip(v.Id, 5));
  EXPECT_FALSE(Library->RemoveClip(v.Id, -1));
  EXPECT_FALSE(Library->RemoveClip("v-unknown", 0));

  ASSERT_TRUE(Library->RemoveClip(v.Id, 1));
  EXPECT_FALSE(fs::exists(CloneDir() + v.Id + "-1.wav"));
  const TBytes Third = ReadFileBytes(CloneDir() + v.Id + "-2.wav");

  // Two clips remain, so the next number is 2: taken by the third clip's file.
  const TVoiceInfo After = Library->AddClip(UpperAscii(v.Id), {ToneWav(6000, 24000, 600), " d "});
  ASSERT_EQ(After.Clips.size(), 3u);
  EXPECT_EQ(After.Clips[0].FileName, v.Id + "-0.wav");
  EXPECT_EQ(After.Clips[1].FileName, v.Id + "-2.wav");
  EXPECT_EQ(After.Clips[2].FileName, v.Id + "-3.wav");
  EXPECT_EQ(After.Clips[2].Text, "d");
  EXPECT_EQ(ReadFileBytes(CloneDir() + v.Id + "-2.wav"), Third);
  EXPECT_TRUE(Logged(llInfo, "added a clip to V, 3 in total now"));
  EXPECT_EQ(SavedJson()["voices"][0]["clips"].size(), 3u);

  ASSERT_TRUE(Library->RemoveClip(v.Id, 0));
  ASSERT_TRUE(Library->RemoveClip(v.Id, 0));
  try {
    Library->RemoveClip(v.Id, 0);
    ADD_FAILURE() << "the last clip was removed";
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecBadAudio);
    EXPECT_EQ(std::string(E.what()), "这是最后一段参考音频了,要删就把整个音色删掉");
  }
  TVoiceInfo Left;
  ASSERT_TRUE(Library->Find(v.Id, Left));
  ASSERT_EQ(Left.Clips.size(), 1u);
  EXPECT_EQ(Left.Clips[0].FileName, v.Id + "-3.wav");
  EXPECT_EQ(SavedJson()["voices"][0]["clips"].size(), 1u);
}

TEST_F(VoicesTest, StrayFilesInTheCloneFolderAreNeverOverwritten) {
  const TVoiceCloneSpec s = CloneOrder("S", {{ToneWav(6000), "a"}, {ToneWav(7000), "b"}});
  const std::string Id = Library->PredictId(s);
  const TBytes Stray = TextBytes("somebody else's file");
  PutClip(Id + "-0.wav", Stray);
  const TVoiceInfo v = Library->AddClone(s);
  EXPECT_EQ(v.Id, Id);
  EXPECT_EQ(v.Clips[0].FileName, Id + "-1.wav");
  EXPECT_EQ(v.Clips[1].FileName, Id + "-2.wav");
  EXPECT_EQ(ReadFileBytes(CloneDir() + Id + "-0.wav"), Stray);
  EXPECT_EQ(Decoded(Library->ReferenceAudio(v).Bytes()).Data.size(), 24000u * 133 / 10);
}

}  // namespace
}  // namespace quavox::voicetest
