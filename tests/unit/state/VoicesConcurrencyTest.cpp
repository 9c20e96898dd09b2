// The library under several threads at once, as the HTTP threads, the queue worker and
// the window use it. Run under ThreadSanitizer as well.
#include <atomic>
#include <set>
#include <thread>

#include "VoicesTestFixture.h"

namespace quavox::voicetest {
namespace {

std::set<std::string> IdsOf(const std::vector<TVoiceInfo>& AVoices) {
  std::set<std::string> Ids;
  for (const TVoiceInfo& v : AVoices)
    Ids.insert(v.Id);
  return Ids;
}

TEST_F(VoicesTest, ParallelClonesOfTheSameRecordingsGetDistinctIdsAndFiles) {
  constexpr int Threads = 6;
  const TVoiceCloneSpec s = CloneOrder("Same", {{ToneWav(6000), "a"}, {ToneWav(6000, 16000), "b"}});
  const std::string Base = Library->PredictId(s);
  std::vector<TVoiceInfo> Made(Threads);
  {
    std::vector<std::jthread> Workers;
    for (int i = 0; i < Threads; ++i)
      Workers.emplace_back([&, i] { Made[i] = Library->AddClone(s); });
  }
  std::set<std::string> Files;
  for (const TVoiceInfo& v : Made) {
    ASSERT_EQ(v.Clips.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      Files.insert(v.Clips[i].FileName);
      EXPECT_EQ(ReadFileBytes(CloneDir() + v.Clips[i].FileName), s.Clips[i].Audio);
    }
  }
  std::set<std::string> Expected = {Base};
  for (int n = 1; n < Threads; ++n)
    Expected.insert(Base + "-" + std::to_string(n));
  EXPECT_EQ(IdsOf(Made), Expected);
  EXPECT_EQ(Files.size(), 2u * Threads);
  EXPECT_EQ(IdsOf(Library->All()), Expected);
  EXPECT_EQ(SavedJson()["voices"].size(), static_cast<std::size_t>(Threads));
}

TEST_F(VoicesTest, ParallelAddClipKeepsEveryClipInItsOwnFile) {
  constexpr int Threads = 5;
  const TVoiceInfo v = Library->AddClone(CloneOrder("V", {{ToneWav(6000), "first"}}));
  {
    std::vector<std::jthread> Workers;
    for (int i = 0; i < Threads; ++i)
      Workers.emplace_back([&, i] {
        Library->AddClip(v.Id, {ToneWav(6000, 24000, 300.0 + 20 * i), "t" + std::to_string(i)});
      });
  }
  TVoiceInfo After;
  ASSERT_TRUE(Library->Find(v.Id, After));
  ASSERT_EQ(After.Clips.size(), 1u + Threads);
  std::set<std::string> Files;
  for (const TVoiceClip& c : After.Clips) {
    Files.insert(c.FileName);
    EXPECT_TRUE(fs::exists(CloneDir() + c.FileName)) << c.FileName;
  }
  EXPECT_EQ(Files.size(), 1u + Threads);
  EXPECT_EQ(SavedJson()["voices"][0]["clips"].size(), 1u + Threads);
}

// Saves never interleave, every version of the file on disk is complete, and the file ends
// holding the list as it is after the last change.
TEST_F(VoicesTest, ParallelSavesAndRemovalsLeaveACompleteFileWithTheLastState) {
  constexpr int Voices = 48;
  std::string Json = R"({"voices": [)";
  for (int i = 0; i < Voices; ++i)
    Json += (i ? "," : "") + Format(R"({"id": "v-%d", "display": "n%d"})", i, i);
  LoadVoices(Json + "]}");

  std::atomic<bool> Done{false};
  std::atomic<int> Unparseable{0};
  std::jthread Reader([&] {
    while (!Done) {
      const auto Parsed = ParseJsonObject(StripUtf8Bom(ReadText(VoicesFile())));
      if (!Parsed || !(*Parsed)["voices"].is_array()) ++Unparseable;
    }
  });
  {
    std::vector<std::jthread> Workers;
    for (int t = 0; t < 4; ++t)
      Workers.emplace_back([&, t] {
        for (int i = t; i < Voices; i += 4)
          if (i % 3 != 0) {
            EXPECT_TRUE(Library->Remove("v-" + std::to_string(i)));
          }
      });
    for (int t = 0; t < 2; ++t)
      Workers.emplace_back([&, t] {
        for (int i = 0; i < Voices; i += 3) {
          TVoiceInfo v;
          if (Library->Find("v-" + std::to_string(i), v)) {
            v.Note = "updated by " + std::to_string(t);
            Library->Update(v);
          }
          Library->Save();
        }
      });
  }
  Done = true;
  Reader.join();
  EXPECT_EQ(Unparseable.load(), 0);

  std::set<std::string> OnDisk;
  const TJson Saved = SavedJson();
  for (const auto& v : Saved["voices"])
    OnDisk.insert(v["id"].get<std::string>());
  EXPECT_EQ(OnDisk, IdsOf(Library->All()));
  EXPECT_EQ(OnDisk.size(), static_cast<std::size_t>(Voices / 3));
  EXPECT_FALSE(fs::exists(VoicesFile() + ".tmp"));
}

TEST_F(VoicesTest, RoutingRunsWhileVoicesComeAndGo) {
  const TVoiceInfo Live = Library->AddClone(CloneOrder("Live", {{ToneWav(6000), "a"}}));
  Config->SetAirlineVoice("CCA", "", tgAuto, Live.Id);
  std::atomic<bool> Done{false};
  std::jthread Router([&] {
    TTtsRequest r = TTtsRequest::Make("hello", "zh", tgFemale, 1.0f);
    r.Airline = "CCA";
    while (!Done) {
      const TVoiceInfo v = Library->Resolve(r);
      EXPECT_TRUE(v.IsEmpty() || v.Display == "Live" || v.Display == "Temp") << v.Id;
      (void)Library->AvailableGenders("CCA", "zh");
    }
  });
  for (int i = 0; i < 10; ++i) {
    const TVoiceInfo Temp = Library->AddClone(CloneOrder("Temp", {{ToneWav(6000, 8000), "b"}}));
    Config->SetAirlineVoice("CCA", "zh", tgFemale, Temp.Id);
    EXPECT_TRUE(Library->Remove(Temp.Id));
  }
  Done = true;
}

// A binding racing the removal of its voice either comes first (and goes with the voice) or
// is refused: no round leaves a binding to a voice that is gone.
TEST_F(VoicesTest, ABindingNeverOutlivesItsVoice) {
  constexpr int Rounds = 60;
  for (int Round = 0; Round < Rounds; ++Round) {
    const TVoiceInfo Voice = Library->AddClone(CloneOrder("Racing", {{ToneWav(6000), "a"}}));
    std::atomic<bool> Go = false;
    {
      std::jthread Binder([&] {
        while (!Go)
          std::this_thread::yield();
        Library->CommitBinding(
            {Voice.Id}, [&](TVoiceMaps& AMaps) { AMaps.SetAirline("CCA", "", tgAuto, Voice.Id); });
      });
      std::jthread Remover([&] {
        while (!Go)
          std::this_thread::yield();
        EXPECT_TRUE(Library->Remove(Voice.Id));
      });
      Go = true;
    }
    EXPECT_TRUE(Config->AirlinesSnapshot().empty()) << "round " << Round;
  }
}

// A stop between the two files' writes leaves a binding to a voice that is gone; the next
// start drops it with a log line and keeps the others.
TEST_F(VoicesTest, BindingsToMissingVoicesAreDroppedAtStart) {
  const TVoiceInfo Kept = Library->AddClone(CloneOrder("Kept", {{ToneWav(6000), "a"}}));
  Config->SetAirlineVoice("CCA", "", tgAuto, Kept.Id);
  Config->SetAirlineVoice("CSN", "", tgAuto, "v-000000000000");
  Config->SetDefaultVoice("zh", tgMale, "v-000000000000");
  Config->Save();
  TAppLog::Clear();
  TVoiceLibrary Restarted(*Config);
  Restarted.Load();
  Restarted.DropDanglingBindings();
  EXPECT_EQ(Config->AirlinesSnapshot(), (TKeyValueList{{"CCA::default", Kept.Id}}));
  EXPECT_TRUE(Config->DefaultsSnapshot().empty());
  EXPECT_TRUE(Logged(llWarn, "dropped the bindings to voice v-000000000000"));
  TAppConfig Reread(TAppFolders{Root, Root + "appdata/"});
  Reread.Load();
  EXPECT_EQ(Reread.AirlinesSnapshot(), (TKeyValueList{{"CCA::default", Kept.Id}}));
}

}  // namespace
}  // namespace quavox::voicetest
