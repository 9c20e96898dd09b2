// Clone packs between two private installations: what an export writes, what an import
// makes of it on the other side, and how hostile archives are refused.
#include <gtest/gtest.h>

#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "VoicesTestFixture.h"
#include "state/ClonePack.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
using voicetest::ToneWav;

struct TInstallation {
  explicit TInstallation(const std::string& ARoot) : Root(ARoot) {
    fs::create_directories(Root);
    Config = std::make_unique<TAppConfig>(TAppFolders{Root, Root + "appdata/"});
    Library = std::make_unique<TVoiceLibrary>(*Config);
  }
  std::string Root;
  std::unique_ptr<TAppConfig> Config;
  std::unique_ptr<TVoiceLibrary> Library;
};

struct TEntry {
  std::string Name;
  TBytes Bytes;
  bool Store = false;
};

std::string Text(const TBytes& ABytes) {
  return {ABytes.begin(), ABytes.end()};
}
TBytes Bytes(std::string_view AText) {
  return TBytes(AText.begin(), AText.end());
}

// A zip of the given entries, written as given, names untouched.
void WriteZip(const std::string& AFile, const std::vector<TEntry>& AEntries) {
  int Error = 0;
  zip_t* Zip = zip_open(AFile.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &Error);
  ASSERT_NE(Zip, nullptr);
  for (const TEntry& Entry : AEntries) {
    zip_source_t* Source = zip_source_buffer(Zip, Entry.Bytes.data(), Entry.Bytes.size(), 0);
    const zip_int64_t Index = zip_file_add(Zip, Entry.Name.c_str(), Source, ZIP_FL_ENC_RAW);
    ASSERT_GE(Index, 0) << Entry.Name;
    zip_set_file_compression(Zip, static_cast<zip_uint64_t>(Index),
                             Entry.Store ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
  }
  ASSERT_EQ(zip_close(Zip), 0);
}

struct TReadEntry {
  std::string Name;
  int32_t Method = 0;
  TBytes Bytes;
};

std::vector<TReadEntry> ReadZip(const std::string& AFile) {
  std::vector<TReadEntry> Entries;
  int Error = 0;
  zip_t* Zip = zip_open(AFile.c_str(), ZIP_RDONLY, &Error);
  if (Zip == nullptr) return Entries;
  for (zip_int64_t i = 0; i < zip_get_num_entries(Zip, 0); ++i) {
    zip_stat_t Stat;
    zip_stat_index(Zip, static_cast<zip_uint64_t>(i), 0, &Stat);
    TReadEntry Entry{Stat.name, Stat.comp_method, TBytes(Stat.size)};
    zip_file_t* File = zip_fopen_index(Zip, static_cast<zip_uint64_t>(i), 0);
    zip_fread(File, Entry.Bytes.data(), Entry.Bytes.size());
    zip_fclose(File);
    Entries.push_back(std::move(Entry));
  }
  zip_discard(Zip);
  return Entries;
}

std::string Manifest(const TJson& AVoices, const TJson& AAirlines) {
  TJson Root = TJson::object();
  Root["format"] = "quavox-clone-pack";
  Root["version"] = 1;
  Root["exportedAt"] = "2026-01-01T00:00:00";
  Root["voices"] = AVoices;
  Root["airlines"] = AAirlines;
  return Root.dump(2);
}

TJson PackVoice(const std::string& AId, const std::string& ADisplay,
                const std::vector<std::string>& AFiles) {
  TJson Clips = TJson::array();
  for (const std::string& File : AFiles)
    Clips.push_back({{"file", File}, {"text", "你好"}, {"durationMs", 1500}});
  return {{"id", AId},   {"display", ADisplay}, {"language", "zh"}, {"gender", "female"},
          {"style", ""}, {"note", ""},          {"clips", Clips}};
}

class ClonePackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLang(ulZh);
    TAppLog::Clear();
    A = std::make_unique<TInstallation>(Base + "a/");
    B = std::make_unique<TInstallation>(Base + "b/");
  }
  void TearDown() override {
    A.reset();
    B.reset();
    SetUiLang(ulAuto);
  }

  static TVoiceInfo Clone(TInstallation& AInst, const std::string& ADisplay,
                          const std::string& ALanguage, TTtsGender AGender,
                          std::vector<double> AFreqs, int32_t AMs = 1500) {
    TVoiceCloneSpec CloneOrder;
    CloneOrder.Display = ADisplay;
    CloneOrder.Language = ALanguage;
    CloneOrder.Gender = AGender;
    CloneOrder.Style = "calm";
    for (double Freq : AFreqs)
      CloneOrder.Clips.push_back({ToneWav(AMs, 24000, Freq), Format("clip %.0f", Freq)});
    return AInst.Library->AddClone(CloneOrder);
  }

  // Every file under the base folder, outside both installations' clone folders.
  std::vector<std::string> StrayFiles() const {
    std::vector<std::string> Files;
    for (const auto& Item : fs::recursive_directory_iterator(fs::path(Base).parent_path()))
      if (Item.is_regular_file()) Files.push_back(Item.path().string());
    return Files;
  }

  const TTempDir BaseDir{"quavox-packs"};
  const std::string Base = BaseDir.Path();
  std::unique_ptr<TInstallation> A;
  std::unique_ptr<TInstallation> B;
};

TEST_F(ClonePackTest, BindingsRoundTripKeepsIdsSeedsAndRewiresBindings) {
  const TVoiceInfo Zh = Clone(*A, "Lin", "zh", tgFemale, {300, 350});
  const TVoiceInfo En = Clone(*A, "Tom", "en", tgMale, {500});
  A->Config->SetAirlineVoice("CCA", "zh", tgFemale, Zh.Id);
  A->Config->SetAirlineVoice("CCA", "en", tgMale, En.Id);
  A->Config->SetAirlineVoice("CES", "zh", tgFemale, Zh.Id);
  A->Config->SetAirlineVoice("CSN", "zh", tgMale, "v-gone");
  const std::vector<std::string> Keys = {"CCA:zh:female", "CCA:en:male", "CES:zh:female",
                                         "CSN:zh:male",   "bad:key",     "XXX:zh:male"};
  const std::string Pack = Base + "out/bindings.cln";
  fs::create_directories(Base + "out");

  const TPackSummary Out = ExportPack(Pack, Keys, *A->Library, *A->Config);
  EXPECT_EQ(Out.Voices, 2);
  EXPECT_EQ(Out.Bindings, 4);
  EXPECT_EQ(Out.Clips, 3);
  ASSERT_EQ(Out.Notes.size(), 1u);
  EXPECT_EQ(Out.Notes[0], "绑定 CSN:zh:male 指向的音色 v-gone 已经不在了,没打进包里");

  // Audio entries first, each written once, the manifest last; all deflated.
  const std::vector<TReadEntry> Entries = ReadZip(Pack);
  ASSERT_EQ(Entries.size(), 4u);
  int64_t AudioBytes = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(Entries[i].Name.starts_with("audio/")) << Entries[i].Name;
    AudioBytes += static_cast<int64_t>(Entries[i].Bytes.size());
  }
  EXPECT_EQ(Out.Bytes, AudioBytes);
  EXPECT_EQ(Entries[0].Name, "audio/" + Zh.Clips[0].FileName);
  EXPECT_EQ(Entries[3].Name, "cln.json");
  for (const TReadEntry& Entry : Entries)
    EXPECT_EQ(Entry.Method, ZIP_CM_DEFLATE) << Entry.Name;
  const std::string ManifestText = Text(Entries[3].Bytes);
  EXPECT_TRUE(
      ManifestText.starts_with("{\n  \"format\": \"quavox-clone-pack\",\n  \"version\": 1,"))
      << ManifestText;
  const TJson Manifest = *ParseJsonObject(ManifestText);
  std::vector<std::string> Members;
  for (const auto& [Key, Value] : Manifest.items())
    Members.push_back(Key);
  EXPECT_EQ(Members,
            (std::vector<std::string>{"format", "version", "exportedAt", "voices", "airlines"}));
  EXPECT_EQ(Manifest["exportedAt"].get<std::string>().size(), 19u);
  Members.clear();
  for (const auto& [Key, Value] : Manifest["voices"][0].items())
    Members.push_back(Key);
  EXPECT_EQ(Members, (std::vector<std::string>{"id", "display", "language", "gender", "style",
                                               "note", "clips"}));
  EXPECT_EQ(Manifest["voices"][0]["gender"], "female");
  EXPECT_EQ(Manifest["airlines"].size(), 4u);
  EXPECT_EQ(Manifest["airlines"]["CSN:zh:male"], "v-gone");

  const TPackSummary In = ImportPack(Pack, *B->Library, *B->Config);
  EXPECT_EQ(In.Voices, 2);
  EXPECT_EQ(In.VoicesAdded, 2);
  EXPECT_EQ(In.VoicesReused, 0);
  EXPECT_EQ(In.Bindings, 3);
  EXPECT_EQ(In.Clips, 3);
  EXPECT_EQ(In.Bytes, Out.Bytes);
  for (const TVoiceInfo& Voice : {Zh, En}) {
    TVoiceInfo There;
    ASSERT_TRUE(B->Library->Find(Voice.Id, There)) << Voice.Id;
    EXPECT_EQ(There.Seed, Voice.Seed);
    EXPECT_EQ(There.Display, Voice.Display);
    EXPECT_EQ(There.Style, "calm");
  }
  EXPECT_EQ(B->Config->AirlineVoice("CES", "zh", tgFemale), Zh.Id);
  EXPECT_EQ(B->Config->AirlineVoice("CCA", "en", tgMale), En.Id);
  EXPECT_EQ(B->Config->AirlineVoice("CSN", "zh", tgMale), "");

  // Both sides were saved: a fresh installation over B's folder sees the same.
  TInstallation Reloaded(B->Root);
  Reloaded.Config->Load();
  Reloaded.Library->Load();
  EXPECT_EQ(Reloaded.Library->Count(), 2u);
  EXPECT_EQ(Reloaded.Config->AirlineVoice("CCA", "zh", tgFemale), Zh.Id);

  // The same content fingerprints alike on both sides, whatever the order.
  std::vector<std::string> Reversed(Keys.rbegin(), Keys.rend());
  EXPECT_EQ(PackFingerprint({}, Keys, *A->Library, *A->Config).size(), 64u);
  EXPECT_NE(PackFingerprint({}, Keys, *A->Library, *A->Config),
            PackFingerprint({}, {}, *A->Library, *A->Config));
  const std::vector<std::string> Live = {"CCA:zh:female", "CCA:en:male", "CES:zh:female"};
  EXPECT_EQ(PackFingerprint({}, Live, *A->Library, *A->Config),
            PackFingerprint({}, {Live[2], Live[0], Live[1]}, *B->Library, *B->Config));
  EXPECT_EQ(PackFingerprint({Zh.Id, En.Id}, {}, *A->Library, *A->Config),
            PackFingerprint({En.Id, Zh.Id, Zh.Id}, {}, *B->Library, *B->Config));

  // A second import reuses everything and binds again.
  B->Config->SetAirlineVoice("CCA", "zh", tgFemale, En.Id);
  const TPackSummary Again = ImportPack(Pack, *B->Library, *B->Config);
  EXPECT_EQ(Again.VoicesAdded, 0);
  EXPECT_EQ(Again.VoicesReused, 2);
  EXPECT_EQ(Again.Clips, 0);
  EXPECT_EQ(Again.Bindings, 3);
  EXPECT_EQ(B->Library->Count(), 2u);
  EXPECT_EQ(B->Config->AirlineVoice("CCA", "zh", tgFemale), Zh.Id);
  EXPECT_EQ(Again.Notes.front(), "已经有「Lin」了,这次没重复导入");
}

TEST_F(ClonePackTest, VoicesPackWithMissingClipAndReuseByRecordings) {
  const TVoiceInfo Lin = Clone(*A, "Lin", "zh", tgFemale, {300, 350});
  const TVoiceInfo Tom = Clone(*A, "Tom", "en", tgMale, {500});
  fs::remove(A->Library->ClipPath(Lin.Clips[0]));
  // B already holds Tom's recordings under another name.
  const TVoiceInfo Thomas = Clone(*B, "Thomas", "en", tgMale, {500});
  const std::string Pack = Base + "voices.cln";

  const TPackSummary Out =
      ExportVoicesPack(Pack, {Lin.Id, "", Tom.Id, Lin.Id, "v-none"}, *A->Library);
  EXPECT_EQ(Out.Voices, 2);
  EXPECT_EQ(Out.Clips, 2);
  EXPECT_EQ(Out.Bindings, 0);
  EXPECT_EQ(Out.Notes, (std::vector<std::string>{
                           Format("Lin 少了一段参考音频(%s),包里没有它", Lin.Clips[0].FileName),
                           "音色 v-none 已经不在了,没打进包里"}));
  const TJson Manifest = *ParseJsonObject(Text(ReadZip(Pack).back().Bytes));
  EXPECT_TRUE(Manifest["airlines"].is_object() && Manifest["airlines"].empty());
  EXPECT_EQ(Manifest["voices"][0]["clips"].size(), 2u);

  const TPackSummary In = ImportPack(Pack, *B->Library, *B->Config);
  EXPECT_EQ(In.VoicesAdded, 1);
  EXPECT_EQ(In.VoicesReused, 1);
  EXPECT_EQ(In.Notes, (std::vector<std::string>{
                          Format("「Lin」少了一段音频(audio/%s),这一段跳过", Lin.Clips[0].FileName),
                          "已经有「Tom」了,这次没重复导入"}));
  EXPECT_EQ(B->Library->Count(), 2u);
  TVoiceInfo Imported;
  ASSERT_TRUE(B->Library->FindByDisplay("Lin", Imported));
  EXPECT_EQ(Imported.Clips.size(), 1u);
  EXPECT_FALSE(B->Library->FindByDisplay("Tom", Imported));
  (void)Thomas;
}

TEST_F(ClonePackTest, VoiceThatFailsToCloneDropsItsBindings) {
  const std::string Pack = Base + "short.cln";
  fs::create_directories(Base);
  TJson Voices = TJson::array({PackVoice("p1", "Short", {"s.wav"}),
                               PackVoice("p2", "Ok", {"k.wav"}), PackVoice("p3", "Silent", {})});
  const TJson Airlines = {
      {"CCA:zh:female", "p1"}, {"CES:zh:female", "p2"}, {"CSN:zh:female", "p3"}, {"nokey", "p2"}};
  WriteZip(Pack, {{"audio/s.wav", ToneWav(400)},
                  {"audio/k.wav", ToneWav(1500)},
                  {"cln.json", Bytes(Manifest(Voices, Airlines))}});
  const TPackSummary In = ImportPack(Pack, *B->Library, *B->Config);
  EXPECT_EQ(In.Voices, 3);
  EXPECT_EQ(In.VoicesAdded, 1);
  EXPECT_EQ(In.Bindings, 1);
  ASSERT_EQ(In.Notes.size(), 2u);
  EXPECT_TRUE(In.Notes[0].starts_with("「Short」导入失败:")) << In.Notes[0];
  EXPECT_EQ(In.Notes[1], "「Silent」一段音频都没有,没法导入");
  EXPECT_EQ(B->Config->AirlineVoice("CCA", "zh", tgFemale), "");
  EXPECT_NE(B->Config->AirlineVoice("CES", "zh", tgFemale), "");
  EXPECT_EQ(In.Describe(),
            Format("音色 3 个(新增 1,复用 0)· 参考音频 2 段 · 绑定 1 条 · %.1f MB\r\n· %s\r\n· %s",
                   static_cast<double>(In.Bytes) / 1048576.0, In.Notes[0], In.Notes[1]));
}

TEST_F(ClonePackTest, EntryNamesNeverBecomePathsOnDisk) {
  const std::string Pack = Base + "hostile.cln";
  fs::create_directories(Base);
  const std::string Absolute = Base + "absolute.wav";
  const TJson Voices =
      TJson::array({PackVoice("p1", "Evil", {"../../../escape.wav", Absolute, "../x"})});
  WriteZip(Pack, {{"../x", ToneWav(1500, 24000, 300)},
                  {"audio/../../../escape.wav", ToneWav(1500, 24000, 310)},
                  {"audio/" + Absolute, ToneWav(1500, 24000, 320)},
                  {Absolute, ToneWav(1500, 24000, 330)},
                  {"audio/../x", ToneWav(1500, 24000, 340)},
                  {"cln.json", Bytes(Manifest(Voices, TJson::object()))}});
  const std::vector<std::string> Before = StrayFiles();

  const TPackSummary In = ImportPack(Pack, *B->Library, *B->Config);
  EXPECT_EQ(In.VoicesAdded, 1);
  EXPECT_EQ(In.Clips, 3);
  TVoiceInfo Evil;
  ASSERT_TRUE(B->Library->FindByDisplay("Evil", Evil));
  ASSERT_EQ(Evil.Clips.size(), 3u);
  for (const TVoiceClip& Clip : Evil.Clips) {
    EXPECT_TRUE(IsSafeClipFileName(Clip.FileName)) << Clip.FileName;
    EXPECT_TRUE(Clip.FileName.starts_with(Evil.Id)) << Clip.FileName;
  }
  // Only the clone folder and the data folder of B gained files.
  for (const std::string& File : StrayFiles()) {
    if (std::find(Before.begin(), Before.end(), File) != Before.end()) continue;
    EXPECT_TRUE(File.starts_with(B->Config->VoicesDir()) || File.starts_with(B->Config->DataDir()))
        << File;
  }
  EXPECT_FALSE(fs::exists(Absolute));
}

TEST_F(ClonePackTest, UnusablePacksAreRefusedBeforeAnythingChanges) {
  fs::create_directories(Base);
  const std::string Unreadable = "这个文件打不开(";
  const std::string Voices = TJson::array({PackVoice("p1", "Lin", {"a.wav"})}).dump();
  const std::string Good = Manifest(TJson::parse(Voices), {{"CCA:zh:female", "p1"}});
  struct TCase {
    const char* Name;
    std::vector<TEntry> Entries;  // empty: the raw bytes below
    std::string Raw;
    std::string Message;  // a prefix for the unreadable-file message
  };
  std::string Blank = Good;
  Blank.replace(Blank.find("clone-pack\""), 11, "clone-pack \"");
  std::string Bomb(65u << 20, '\0');
  const std::vector<TCase> Cases = {
      {"garbage", {}, "PK\x03\x04 this is no zip at all, only bytes", Unreadable},
      {"empty", {}, "", Unreadable},
      {"no manifest",
       {{"audio/a.wav", ToneWav(1500)}},
       "",
       "包里没有 cln.json,这不是 Quavox 的克隆包。"},
      {"broken manifest",
       {{"audio/a.wav", ToneWav(1500)}, {"cln.json", Bytes("{\"format\":")}},
       "",
       "包里的 cln.json 坏了,读不出来。"},
      {"manifest not an object",
       {{"cln.json", Bytes("[1,2]")}},
       "",
       "包里的 cln.json 坏了,读不出来。"},
      {"format with a blank",
       {{"audio/a.wav", ToneWav(1500)}, {"cln.json", Bytes(Blank)}},
       "",
       "这个包不是 Quavox 的克隆包(format 对不上)。"},
      {"bomb",
       {{"audio/a.wav", ToneWav(1500)},
        {"audio/b.wav", TBytes(Bomb.begin(), Bomb.end())},
        {"cln.json", Bytes(Good)}},
       "",
       "这个文件打不开(包里的内容解压后超过 64 MB,疑似压缩炸弹,已拒绝)。.cln "
       "是个压缩包,选错文件了?"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const std::string Pack = Base + "case.cln";
    fs::remove(Pack);
    if (Case.Entries.empty())
      WriteFileBytes(Pack, Bytes(Case.Raw));
    else
      WriteZip(Pack, Case.Entries);
    try {
      ImportPack(Pack, *B->Library, *B->Config);
      ADD_FAILURE() << "accepted";
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecBadAudio);
      EXPECT_TRUE(std::string(E.what()).starts_with(Case.Message)) << E.what();
      if (Case.Message == Unreadable) {
        EXPECT_TRUE(std::string(E.what()).ends_with(")。.cln 是个压缩包,选错文件了?")) << E.what();
      }
    }
    EXPECT_EQ(B->Library->Count(), 0u);
    EXPECT_EQ(B->Config->AirlineVoice("CCA", "zh", tgFemale), "");
    EXPECT_FALSE(fs::exists(B->Config->VoicesFile()));
    EXPECT_FALSE(fs::exists(B->Config->ConfigFile()));
  }
  // A file that is not there at all.
  EXPECT_THROW(ImportPack(Base + "none.cln", *B->Library, *B->Config), ETtsError);
}

// A follower takes the primary's library as it is: the same ids, seeds and clip names, and
// the same bindings; what the primary dropped goes, files included. It refuses changes of
// its own, and a pack that names a clip it does not carry changes nothing.
TEST_F(ClonePackTest, LibraryPackMirrorsThePrimaryOnAFollower) {
  const TVoiceInfo Kept = Clone(*A, "Kept", "en", tgFemale, {300});
  const TVoiceInfo Dropped = Clone(*A, "Dropped", "zh", tgMale, {500, 600});
  A->Config->SetAirlineVoice("CCA", "en", tgFemale, Kept.Id);
  TConfigSettings Following = B->Config->Settings();
  Following.ClusterPrimary = "http://127.0.0.2:17150";
  B->Config->SetSettings(Following);
  const std::string PackFile = Base + "library.cln";
  auto MirrorA = [&] {
    WriteFileBytes(PackFile, ExportLibraryPack(*A->Library, *A->Config));
    const TLibraryPack Pack = ReadLibraryPack(PackFile);
    TVoiceMaps Maps;
    Maps.Airlines = {{"CCA:en:female", Kept.Id}};
    B->Library->Mirror(Pack.Voices, Pack.Clips, Maps);
  };

  MirrorA();
  auto Records = [](const TVoiceLibrary& ALibrary) {
    TJson List = TJson::array();
    for (const TVoiceInfo& Voice : ALibrary.All())
      List.push_back(VoiceRecordJson(Voice));
    return List;
  };
  EXPECT_EQ(Records(*B->Library), Records(*A->Library));
  EXPECT_EQ(LibraryPackTag(*B->Library), LibraryPackTag(*A->Library));
  EXPECT_EQ(B->Config->AirlineVoice("CCA", "en", tgFemale), Kept.Id);
  for (const TVoiceClip& Clip : Dropped.Clips)
    EXPECT_TRUE(fs::exists(B->Config->VoicesDir() + Clip.FileName));

  for (const auto& Change : std::vector<std::function<void()>>{
           [&] { B->Library->Remove(Kept.Id); },
           [&] { B->Library->CommitBinding({}, [](TVoiceMaps&) {}); },
           [&] { ImportPack(PackFile, *B->Library, *B->Config); }}) {
    try {
      Change();
      ADD_FAILURE() << "a follower's own change went through";
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecFollowerReadOnly);
      EXPECT_NE(std::string(E.what()).find("http://127.0.0.2:17150"), std::string::npos);
    }
  }

  A->Library->Remove(Dropped.Id);
  MirrorA();
  EXPECT_EQ(Records(*B->Library), Records(*A->Library));
  for (const TVoiceClip& Clip : Dropped.Clips)
    EXPECT_FALSE(fs::exists(B->Config->VoicesDir() + Clip.FileName));

  TVoiceInfo Unsent = Kept;
  Unsent.Id = "v-000000000001";
  Unsent.Clips = {{"v-000000000001-1.wav", "", 1000}};
  EXPECT_THROW(B->Library->Mirror({Kept, Unsent}, {}, {}), ETtsError);
  EXPECT_EQ(Records(*B->Library), Records(*A->Library));
  EXPECT_EQ(B->Config->AirlineVoice("CCA", "en", tgFemale), Kept.Id);
}

TEST_F(ClonePackTest, DescribeFillsThePattern) {
  TPackSummary Summary;
  Summary.Voices = 2;
  Summary.Clips = 5;
  Summary.Bindings = 3;
  Summary.Bytes = 1572864;
  EXPECT_EQ(Summary.Describe(), "音色 2 个(新增 0,复用 0)· 参考音频 5 段 · 绑定 3 条 · 1.5 MB");
}

}  // namespace
}  // namespace quavox
