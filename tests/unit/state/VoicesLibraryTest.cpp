// The voice library's records, voices.json, ids, lookups and removal.
#include <gmock/gmock.h>

#include <chrono>
#include <functional>

#include "VoicesTestFixture.h"
#include "core/Text.h"

namespace quavox::voicetest {
namespace {

using namespace std::chrono;

TEST(StringHashTest, RotatesAndXorsUtf16CodeUnits) {
  const std::vector<std::pair<std::string, int32_t>> Cases = {
      {"", 0},
      {"a", 97},
      {"ab", 3138},
      {"zh", 3880},
      {"中文", 630823},
      {"\xF0\x9F\x98\x80", 1825184},  // one character, two UTF-16 code units
      {"abcdefg", -2113693505},
      {"quavox voices", -1043354596},
  };
  for (const auto& [Text, Hash] : Cases)
    EXPECT_EQ(StringHash(Text), Hash) << Text;
}

TEST(Iso8601Test, FormatsLocalTimeWithOffsetAndParsesItBack) {
  const TDateTime t{milliseconds(1700000000123)};
  const std::string Text = FormatIso8601(t);
  EXPECT_THAT(Text, ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"
                                            "\\.123(Z|[+-][0-9]{2}:[0-9]{2})"));
  TDateTime Back;
  ASSERT_TRUE(ParseIso8601(Text, Back));
  EXPECT_EQ(Back, t);
}

TEST(Iso8601Test, ReadsOffsetsAndRefusesNonsense) {
  const TDateTime Utc = sys_days(year(2024) / 3 / 1) + minutes(30) + milliseconds(250);
  const std::vector<std::pair<std::string, bool>> Cases = {
      {"2024-03-01T08:30:00.250+08:00", true},
      {"2024-03-01T00:30:00.250Z", true},
      {"2024-03-01T00:30:00.25Z", true},
      {"2024-02-29T19:30:00.250-05:00", true},
      {"2024-03-01T09:30:00.250+0900", true},
      {"", false},
      {"yesterday", false},
      {"2023-02-29T00:00:00Z", false},
      {"2024-13-01T00:00:00Z", false},
      {"2024-03-01T24:00:00Z", false},
      {"2024-03-01T00:30:00.250Z trailing", false},
      {"9999-12-31T23:59:59Z", false},  // beyond the clock's range
  };
  for (const auto& [Text, Ok] : Cases) {
    TDateTime t;
    ASSERT_EQ(ParseIso8601(Text, t), Ok) << Text;
    if (Ok) {
      EXPECT_EQ(t, Utc) << Text;
    }
  }
  TDateTime Local;
  ASSERT_TRUE(ParseIso8601("2024-03-01T08:30:00", Local));
  EXPECT_TRUE(FormatIso8601(Local).starts_with("2024-03-01T08:30:00.000"));
}

TEST_F(VoicesTest, SavedFileReadsBackIdentically) {
  const std::string Created = FormatIso8601(TDateTime{milliseconds(1700000000123)});
  const std::string Text = std::string("\xEF\xBB\xBF") + R"({
  "voices": [
    {
      "id": "v-0123456789ab",
      "display": "Anna",
      "kind": "cloned",
      "profile": "",
      "clips": [
        {
          "file": "v-0123456789ab-0.wav",
          "text": "你好",
          "durationMs": 5200
        },
        {
          "file": "v-0123456789ab-1.mp3",
          "text": "再见",
          "durationMs": 0
        }
      ],
      "language": "zh",
      "gender": "female",
      "style": "calm",
      "note": "line one\nline two",
      "seed": 12345,
      "createdAt": ")" + Created +
                           R"("
    },
    {
      "id": "v-ba9876543210-1",
      "display": "Profiled",
      "kind": "reference",
      "profile": "speaker.npy",
      "clips": [],
      "language": "",
      "gender": "default",
      "style": "",
      "note": "",
      "seed": 7,
      "createdAt": ")" + Created +
                           R"("
    }
  ]
})";
  LoadVoices(Text);
  ASSERT_EQ(Library->Count(), 2u);
  Library->Save();
  EXPECT_EQ(ReadText(VoicesFile()), Text);

  TVoiceLibrary Reloaded(*Config);
  Reloaded.Load();
  TVoiceInfo v;
  ASSERT_TRUE(Reloaded.Find("v-0123456789ab", v));
  EXPECT_EQ(v.CreatedAt, TDateTime{milliseconds(1700000000123)});
  EXPECT_EQ(v.Clips.size(), 2u);
  EXPECT_TRUE(Logged(llInfo, "voice library loaded, 2 voice(s)"));
}

TEST_F(VoicesTest, RecordsAreReadLeniently) {
  const auto Before = system_clock::now();
  LoadVoices(R"({"voices": [
    {"id": "legacy", "refAudio": "old.wav", "refText": "hello"},
    {"id": "fileless", "clips": [{"text": "no file"}, 5, {"file": null}],
     "refAudio": "fallback.wav", "refText": "fb"},
    {"id": "upper", "kind": "REFERENCE", "language": "CN", "durationMs": 3},
    {"id": "profile-word", "kind": "profile", "language": "auto", "gender": " Male "},
    {"id": "texts", "clips": [{"file": "a.wav", "durationMs": "1500"}, {"file": "b.wav",
     "durationMs": 99999999999}], "seed": "42", "display": null, "createdAt": "garbage"},
    {"id": ""},
    {"display": "no id"},
    "not an object", 17, null,
    {"id": "after"}
  ]})");
  const auto After = system_clock::now();
  const std::vector<TVoiceInfo> All = Library->All();
  ASSERT_EQ(All.size(), 6u);
  EXPECT_EQ(All[5].Id, "after");

  const TVoiceInfo& Legacy = All[0];
  ASSERT_EQ(Legacy.Clips.size(), 1u);
  EXPECT_EQ(Legacy.Clips[0].FileName, "old.wav");
  EXPECT_EQ(Legacy.Clips[0].Text, "hello");
  EXPECT_EQ(Legacy.Clips[0].DurationMs, 0);
  EXPECT_EQ(Legacy.Kind, vkCloned);
  EXPECT_EQ(Legacy.Display, "legacy");
  EXPECT_EQ(Legacy.Language, "");
  EXPECT_EQ(Legacy.Gender, tgAuto);
  EXPECT_TRUE(Legacy.RefAudioFile.empty());
  EXPECT_GE(Legacy.CreatedAt, Before);
  EXPECT_LE(Legacy.CreatedAt, After);

  ASSERT_EQ(All[1].Clips.size(), 1u);
  EXPECT_EQ(All[1].Clips[0].FileName, "fallback.wav");
  EXPECT_EQ(All[1].Clips[0].Text, "fb");

  EXPECT_EQ(All[2].Kind, vkProfile);
  EXPECT_EQ(All[2].Language, "zh");
  EXPECT_EQ(All[3].Kind, vkCloned);
  EXPECT_EQ(All[3].Language, "");
  EXPECT_EQ(All[3].Gender, tgMale);

  const TVoiceInfo& Texts = All[4];
  EXPECT_EQ(Texts.Display, "texts");
  EXPECT_EQ(Texts.Seed, 42);
  ASSERT_EQ(Texts.Clips.size(), 2u);
  EXPECT_EQ(Texts.Clips[0].DurationMs, 1500);
  EXPECT_EQ(Texts.Clips[1].DurationMs, 0);  // does not fit the field

  // Skipped records say nothing; only the summary is logged.
  EXPECT_EQ(LogCount(), 1u);
  EXPECT_TRUE(Logged(llInfo, "voice library loaded, 6 voice(s)"));
}

// A library file that exists but cannot be read or parsed is never overwritten: it is kept
// as voices.json.unreadable, and the whole records before a torn end are the new library.
TEST_F(VoicesTest, UnusableFilesAreKeptAsideWithTheRecordsThatCanBeRecovered) {
  const std::string Two =
      R"({"voices": [{"id": "a", "clips": [{"file": "a.wav"}]}, {"id": "b", "clips": [{"file": "b.wav"}]}]})";
  struct TCase {
    std::string Text;
    std::vector<std::string> Recovered;
  };
  const std::vector<TCase> Cases = {
      {"", {}},
      {"[1, 2]", {}},
      {"{\"voices\": [", {}},
      {"{\"voices\": {\"id\": \"x\"}}", {}},
      {"{\"other\": []}", {}},
      {Two.substr(0, Two.size() - 2), {"a", "b"}},
      {Two.substr(0, Two.size() - 10), {"a"}},
      {Two.substr(0, Two.find("{\"id\": \"b\"") + 12), {"a"}},
  };
  const std::string Kept = VoicesFile() + ".unreadable";
  for (const TCase& c : Cases) {
    fs::remove(Kept);
    TAppLog::Clear();
    TVoiceLibrary Fresh(*Config);
    WriteText(VoicesFile(), c.Text);
    Fresh.Load();
    std::vector<std::string> Ids;
    for (const TVoiceInfo& Voice : Fresh.All())
      Ids.push_back(Voice.Id);
    EXPECT_EQ(Ids, c.Recovered) << c.Text;
    EXPECT_EQ(ReadText(Kept), c.Text) << "the file is kept as it was";
    EXPECT_EQ(SavedJson().at("voices").size(), c.Recovered.size()) << c.Text;
    EXPECT_TRUE(Logged(llError, "the voice library is not valid JSON; kept it as ")) << c.Text;
    EXPECT_NE(Fresh.LoadProblem().find("not valid JSON"), std::string::npos) << c.Text;
  }

  // Things in the file's place that cannot be read, also by root: a folder, a link to itself.
  for (const auto& Make : std::vector<std::function<void()>>{
           [&] { fs::create_directories(VoicesFile()); },
           [&] { fs::create_symlink("voices.json", VoicesFile()); }}) {
    fs::remove_all(Kept);
    fs::remove_all(VoicesFile());
    Make();
    TAppLog::Clear();
    TVoiceLibrary Fresh(*Config);
    Fresh.Load();
    EXPECT_EQ(Fresh.Count(), 0u);
    EXPECT_TRUE(Logged(llError, "cannot read the voice library: "));
    EXPECT_TRUE(fs::exists(fs::symlink_status(Kept)));
    EXPECT_EQ(SavedJson().at("voices").size(), 0u);
  }

  fs::remove_all(Kept);
  fs::remove(VoicesFile());
  TAppLog::Clear();
  Library->Load();
  EXPECT_EQ(Library->Count(), 0u);
  EXPECT_EQ(LogCount(), 0u);
  EXPECT_FALSE(fs::exists(VoicesFile()));
  EXPECT_EQ(Library->LoadProblem(), "");
}

// Clips stay while a kept file may name them; a second bad file, with one already kept, blocks
// saving rather than replacing either.
TEST_F(VoicesTest, AKeptLibraryKeepsItsClipsAndIsNeverReplaced) {
  const std::string Own = "v-0123456789ab-1.wav";
  const std::string Stray = "v-0123456789ab-2.wav";
  PutClip(Own, TBytes{1});
  PutClip(Stray, TBytes{2});
  const std::string Torn = R"({"voices": [{"id": "v-0123456789ab", "clips": [{"file": ")" + Own;
  LoadVoices(Torn);
  Library->RemoveStrayClips();
  TVoiceLibrary Restarted(*Config);
  Restarted.Load();
  Restarted.RemoveStrayClips();
  EXPECT_TRUE(fs::exists(CloneDir() + Own));
  EXPECT_TRUE(fs::exists(CloneDir() + Stray));
  EXPECT_NE(Restarted.LoadProblem().find("voices.json.unreadable"), std::string::npos);

  const std::string Second = R"({"voices": [{"id": "x"}, {"id": "y")";
  WriteText(VoicesFile(), Second);
  TVoiceLibrary Blocked(*Config);
  Blocked.Load();
  ASSERT_EQ(Blocked.Count(), 1u);
  EXPECT_THROW(Blocked.Remove("x"), ETtsError);
  Blocked.Save();
  EXPECT_EQ(ReadText(VoicesFile()), Second);
  EXPECT_NE(Blocked.LoadProblem().find("cannot be saved"), std::string::npos);
  EXPECT_EQ(ReadText(VoicesFile() + ".unreadable"), Torn);
}

TEST_F(VoicesTest, LookupsCopyAndCompareIdsIgnoringCase) {
  LoadVoices(R"({"voices": [
    {"id": "v-aaaaaaaaaaaa", "display": "Anna", "language": "zh"},
    {"id": "v-bbbbbbbbbbbb", "display": "Bert", "language": "en"},
    {"id": "V-AAAAAAAAAAAA", "display": "duplicate", "language": "zh-CN"}
  ]})");
  TVoiceInfo v;
  EXPECT_TRUE(Library->Find("V-BBBBBBBBBBBB", v));
  EXPECT_EQ(v.Display, "Bert");
  EXPECT_TRUE(Library->Find("v-AAAAAAAAAAAA", v));
  EXPECT_EQ(v.Display, "Anna") << "duplicates: the first wins";
  EXPECT_FALSE(Library->Find(" v-bbbbbbbbbbbb", v));
  EXPECT_TRUE(v.IsEmpty());
  v.Display = "stale";
  EXPECT_FALSE(Library->Find("   ", v));
  EXPECT_TRUE(v.IsEmpty() && v.Display.empty());

  EXPECT_TRUE(Library->FindByDisplay("bERT", v));
  EXPECT_EQ(v.Id, "v-bbbbbbbbbbbb");
  EXPECT_FALSE(Library->FindByDisplay(" ", v));
  EXPECT_FALSE(Library->FindByDisplay("nobody", v));

  EXPECT_EQ(Library->ForLanguage("zh").size(), 2u);
  EXPECT_EQ(Library->ForLanguage("en").size(), 1u);
  EXPECT_EQ(Library->ForLanguage("ZH").size(), 0u);
  EXPECT_EQ(Library->ForLanguage("").size(), 3u);

  std::vector<TVoiceInfo> Copy = Library->All();
  Copy[0].Display = "changed outside";
  ASSERT_TRUE(Library->Find("v-aaaaaaaaaaaa", v));
  EXPECT_EQ(v.Display, "Anna");
}

TEST_F(VoicesTest, UpdateReplacesKnownVoicesOnly) {
  LoadVoices(R"({"voices": [{"id": "v-aaaaaaaaaaaa", "display": "Anna"}]})");
  fs::remove(VoicesFile());
  TVoiceInfo Unknown;
  Unknown.Id = "v-cccccccccccc";
  Library->Update(Unknown);
  EXPECT_EQ(Library->Count(), 1u);
  EXPECT_FALSE(fs::exists(VoicesFile()));

  TVoiceInfo v;
  ASSERT_TRUE(Library->Find("v-aaaaaaaaaaaa", v));
  v.Kind = vkProfile;
  v.ProfileFile = "anna.npy";
  Library->Update(v);
  const TJson Saved = SavedJson();
  EXPECT_EQ(Saved["voices"][0]["kind"], "reference");
  EXPECT_EQ(Saved["voices"][0]["profile"], "anna.npy");
}

TEST_F(VoicesTest, IdsComeFromContentAndTakeTheNextFreeSuffix) {
  const TBytes Wav = ToneWav(6000);
  const std::string Fingerprint = Sha256Hex(Wav) + "|hello there\n";
  const std::string Base = "v-" + Sha256Hex(Fingerprint).substr(0, 12);

  TVoiceCloneSpec a = CloneOrder("First", {{Wav, "  hello there \n"}});
  EXPECT_EQ(Library->PredictId(a), Base);
  EXPECT_EQ(Library->Count(), 0u) << "prediction creates nothing";
  const TVoiceInfo First = Library->AddClone(a);
  EXPECT_EQ(First.Id, Base);
  EXPECT_EQ(First.Seed, StringHash(Sha256Hex(Base).substr(0, 6)) & 0x7FFFFFFF);

  TVoiceCloneSpec b = CloneOrder("Second name", {{Wav, "hello there"}});
  EXPECT_EQ(Library->PredictId(b), Base + "-1");
  EXPECT_EQ(Library->AddClone(b).Id, Base + "-1");
  EXPECT_EQ(Library->AddClone(b).Id, Base + "-2");
  EXPECT_NE(Library->PredictId(CloneOrder("x", {{Wav, "other text"}})).substr(0, 14), Base);
}

TEST_F(VoicesTest, RemoveDropsBindingsFilesAndSavesBothFiles) {
  const TVoiceInfo Gone = Library->AddClone(
      CloneOrder("Gone", {{ToneWav(6000, 24000, 300), "one"}, {ToneWav(6000, 24000, 500), "two"}}));
  const TVoiceInfo Kept = Library->AddClone(CloneOrder("Kept", {{ToneWav(6000), "three"}}));
  Config->SetAirlineVoice("CCA", "zh", tgFemale, Gone.Id);
  Config->SetAirlineVoice("CSN", "", tgAuto, UpperAscii(Gone.Id));
  Config->SetAirlineVoice("CES", "", tgAuto, Kept.Id);
  Config->SetDefaultVoice("zh", tgMale, Gone.Id);
  Config->Save();

  fs::remove(VoicesFile());
  fs::remove(Config->ConfigFile());
  EXPECT_FALSE(Library->Remove("v-000000000000"));
  EXPECT_FALSE(fs::exists(VoicesFile()));
  EXPECT_FALSE(fs::exists(Config->ConfigFile()));

  EXPECT_TRUE(Library->Remove(UpperAscii(Gone.Id)));
  EXPECT_EQ(Library->Count(), 1u);
  for (const TVoiceClip& c : Gone.Clips)
    EXPECT_FALSE(fs::exists(CloneDir() + c.FileName));
  EXPECT_TRUE(fs::exists(CloneDir() + Kept.Clips[0].FileName));
  EXPECT_EQ(Config->AirlinesSnapshot(), (TKeyValueList{{"CES::default", Kept.Id}}));
  EXPECT_TRUE(Config->DefaultsSnapshot().empty());
  EXPECT_TRUE(Logged(llInfo, "deleted voice Gone"));

  EXPECT_EQ(SavedJson()["voices"].size(), 1u);
  TAppConfig Reread(TAppFolders{Root, Root + "appdata/"});
  Reread.Load();
  EXPECT_EQ(Reread.AirlinesSnapshot(), (TKeyValueList{{"CES::default", Kept.Id}}));
}

TEST_F(VoicesTest, RemoveKeepsFilesAnotherRecordStillNames) {
  PutClip("shared.wav", ToneWav(6000));
  LoadVoices(R"({"voices": [
    {"id": "v-aaaaaaaaaaaa", "clips": [{"file": "shared.wav", "text": "a"}]},
    {"id": "v-bbbbbbbbbbbb", "refAudio": "shared.wav", "refText": "b"}
  ]})");
  EXPECT_TRUE(Library->Remove("v-aaaaaaaaaaaa"));
  EXPECT_TRUE(fs::exists(CloneDir() + "shared.wav"));
  EXPECT_TRUE(Library->Remove("v-bbbbbbbbbbbb"));
  EXPECT_FALSE(fs::exists(CloneDir() + "shared.wav"));
}

// Clip names from voices.json (or a pack) that leave the clone folder are missing clips:
// never read, never deleted.
TEST_F(VoicesTest, UnsafeClipNamesNeverTouchFilesOutsideTheCloneFolder) {
  const TBytes Victim = ToneWav(6000);
  WriteFileBytes(Root + "outside.wav", Victim);
  WriteFileBytes(Root + "absolute.wav", Victim);
  WriteFileBytes(CloneDir() + "a/b.wav", Victim);
  WriteFileBytes(CloneDir() + "a\\b.wav", Victim);
  const std::vector<std::string> Unsafe = {
      "../outside.wav", Root + "absolute.wav", "a/b.wav", "a\\b.wav", "/etc/passwd", "..", ".",
      "..\\outside.wav"};
  std::string Json = R"({"voices": [)";
  for (std::size_t i = 0; i < Unsafe.size(); ++i) {
    TJson Voice = {{"id", "v-unsafe" + std::to_string(i)},
                   {"clips", {{{"file", Unsafe[i]}, {"text", "t"}}}}};
    Json += Voice.dump() + ",";
  }
  TJson Legacy = {{"id", "v-legacy"}, {"refAudio", "../outside.wav"}, {"refText", "t"}};
  TJson Mixed = {{"id", "v-mixed"},
                 {"clips",
                  {{{"file", "../outside.wav"}, {"text", "a"}},
                   {{"file", Root + "absolute.wav"}, {"text", "b"}}}}};
  Json += Legacy.dump() + "," + Mixed.dump() + "]}";
  LoadVoices(Json);
  ASSERT_EQ(Library->Count(), Unsafe.size() + 2);

  for (const TVoiceInfo& v : Library->All()) {
    for (const TVoiceClip& c : v.Clips)
      EXPECT_EQ(Library->ClipPath(c), "") << c.FileName;
    EXPECT_TRUE(Library->ReferenceAudio(v).empty()) << v.Id;
  }
  TVoiceInfo Mixed2;
  ASSERT_TRUE(Library->Find("v-mixed", Mixed2));
  EXPECT_TRUE(Library->RemoveClip("v-mixed", 0));
  for (const TVoiceInfo& v : Library->All())
    EXPECT_TRUE(Library->Remove(v.Id));
  EXPECT_EQ(ReadFileBytes(Root + "outside.wav"), Victim);
  EXPECT_EQ(ReadFileBytes(Root + "absolute.wav"), Victim);
  EXPECT_EQ(ReadFileBytes(CloneDir() + "a/b.wav"), Victim);
  EXPECT_EQ(ReadFileBytes(CloneDir() + "a\\b.wav"), Victim);
  EXPECT_TRUE(fs::exists("/etc/passwd"));
  EXPECT_TRUE(fs::is_directory(CloneDir()));
}

TEST(ClipNameTest, OnlyBareNamesInsideTheFolderAreSafe) {
  for (const char* Name : {"v-0123456789ab-0.wav", "clip.mp3", "a b.ogg", "名字.wav", ".hidden"})
    EXPECT_TRUE(IsSafeClipFileName(Name)) << Name;
  for (const std::string& Name :
       {std::string(), std::string("."), std::string("/x.wav"), std::string("a/b"),
        std::string("a\\b"), std::string("..a"), std::string("a\nb"), std::string("a\0b", 3),
        std::string("x.."), std::string("..")})
    EXPECT_FALSE(IsSafeClipFileName(Name)) << Name;
}

}  // namespace
}  // namespace quavox::voicetest
