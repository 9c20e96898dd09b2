#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "audio/Wav.h"
#include "core/Log.h"
#include "state/Config.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { TAppLog::Clear(); }

  TAppFolders Folders() const { return {Root, Root + "appdata/"}; }
  std::string ConfigPath() const { return Root + "data/config.json"; }
  void WriteConfig(const std::string& AText) const {
    WriteFileBytes(ConfigPath(),
                   std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()));
  }
  std::string ReadConfig() const {
    const TBytes b = ReadFileBytes(ConfigPath());
    return {b.begin(), b.end()};
  }
  bool Logged(TLogLevel ALevel, const std::string& APrefix) const {
    for (const auto& e : TAppLog::Entries())
      if (e.Level == ALevel && e.Source == "config" && e.Text.rfind(APrefix, 0) == 0) return true;
    return false;
  }

  const TTempDir RootDir{"quavox-config"};
  const std::string Root = RootDir.Path();
};

// A hand edit made while the program runs survives the program's next save, member by
// member, and the program's own change lands beside it.
TEST_F(ConfigTest, SaveMergesIntoTheFileAsEditedOnDisk) {
  TAppConfig Config(Folders());
  Config.Load();
  auto Root = ParseJsonObject(StripUtf8Bom(ReadConfig()));
  ASSERT_TRUE(Root);
  (*Root)["server"]["rateLimitPerMinute"] = 7;
  (*Root)["synthesis"]["maxTextLength"] = 99;
  (*Root)["defaultVoices"]["de:male"] = "v-edited";
  WriteConfig(Root->dump(2));

  Config.SetDefaultVoice("fr", tgFemale, "v-api");
  TConfigSettings s = Config.Settings();
  s.QueueLimit = 5;
  Config.SetSettings(s);
  Config.Save();

  const auto Saved = ParseJsonObject(StripUtf8Bom(ReadConfig()));
  ASSERT_TRUE(Saved);
  EXPECT_EQ((*Saved)["server"]["rateLimitPerMinute"], 7);
  EXPECT_EQ((*Saved)["synthesis"]["maxTextLength"], 99);
  EXPECT_EQ((*Saved)["synthesis"]["queueLimit"], 5);
  EXPECT_EQ((*Saved)["defaultVoices"]["de:male"], "v-edited");
  EXPECT_EQ((*Saved)["defaultVoices"]["fr:female"], "v-api");
  // Memory holds what the file now says.
  EXPECT_EQ(Config.Settings().RateLimitPerMinute, 7);
  EXPECT_EQ(Config.DefaultVoice("de", tgMale), "v-edited");
}

TEST_F(ConfigTest, MissingFileWritesEveryMemberVersionFirst) {
  TAppConfig Config(Folders());
  Config.Load();
  const std::string Text = ReadConfig();
  ASSERT_EQ(Text.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(Text.substr(3, 30).find("\"version\": \"0.3.26218\""), 4u);
  EXPECT_NE(Text.find("\"temperature\": 0.58,"), std::string::npos);
  EXPECT_NE(Text.find("\"repetitionPenalty\": 1.1,"), std::string::npos);
  const auto Root = ParseJsonObject(StripUtf8Bom(Text));
  ASSERT_TRUE(Root);
  std::vector<std::string> Order;
  for (const auto& [Key, Value] : Root->items())
    Order.push_back(Key);
  EXPECT_EQ(Order, (std::vector<std::string>{"version", "server", "synthesis", "cache", "engine",
                                             "hub", "defaultVoices", "airlineVoices"}));
  EXPECT_TRUE(Logged(llInfo, "no config file; using defaults and writing one: "));
}

TEST_F(ConfigTest, UnusableFilesGiveDefaultsAndAreLeftAlone) {
  for (const std::string Text : {"   \n", "[]", "{\"server\": ", "\xFF\xFE\x00"}) {
    WriteConfig(Text);
    TAppConfig Config(Folders());
    Config.Load();
    EXPECT_EQ(Config.Settings().Port, 17150);
    EXPECT_EQ(ReadConfig(), Text);
    EXPECT_TRUE(Logged(llWarn, "config is not valid JSON; using defaults"));
  }
}

TEST_F(ConfigTest, ValuesAreConvertedAndClamped) {
  WriteConfig(R"({"server": {"port": "8080", "autoStart": "Yes", "minimizeToTray": 5,
      "rateLimitPerMinute": -3, "uiLanguage": " JA "},
    "synthesis": {"speedMode": "fast", "queueLimit": 0, "timeoutMs": 99999999},
    "cache": {"budgetMB": 9000},
    "engine": {"temperature": "0,7", "topP": "0.7", "gpuLayers": -9, "compute": "CUDA"}})");
  TAppConfig Config(Folders());
  Config.Load();
  const TConfigSettings s = Config.Settings();
  EXPECT_EQ(s.Port, 8080);
  EXPECT_TRUE(s.AutoStartServer);
  EXPECT_FALSE(s.MinimizeToTray);
  EXPECT_EQ(s.RateLimitPerMinute, 0);
  EXPECT_EQ(s.UiLanguage, ulJa);
  EXPECT_EQ(s.SpeedMode, smEngine);
  EXPECT_EQ(s.QueueLimit, 1);
  EXPECT_EQ(s.RequestTimeoutMs, 900000);
  EXPECT_EQ(s.CacheBudgetMB, 8192);
  EXPECT_FLOAT_EQ(s.Engine.Temperature, 0.58f);
  EXPECT_FLOAT_EQ(s.Engine.TopP, 0.7f);
  EXPECT_EQ(s.Engine.GpuLayers, -1);
  EXPECT_EQ(s.Engine.Compute, cbCuda);
  EXPECT_TRUE(Logged(llInfo, "config loaded: "));
}

TEST_F(ConfigTest, PortBoundsAndMissingSectionsKeepValues) {
  const std::pair<const char*, int> Cases[] = {{"0", 1}, {"70000", 65535}, {"\"x\"", 17150}};
  for (const auto& [Value, Want] : Cases) {
    WriteConfig(std::string(R"({"server": {"port": )") + Value + "}}");
    TAppConfig Config(Folders());
    Config.Load();
    EXPECT_EQ(Config.Settings().Port, Want) << Value;
    EXPECT_EQ(Config.Settings().SpeedMode, smLocalStretch);
  }
}

TEST_F(ConfigTest, VoiceMapsAreNormalisedOnLoad) {
  WriteConfig(R"({"airlineVoices": {" cca : ZH-cn : F ": "v1", "CCA": "v2", "MU:zh:male": "  ",
                   "X:en:m": {"not": "text"}},
                  "defaultVoices": {"JA:Female": "v3", "zh": "v4"}})");
  TAppConfig Config(Folders());
  Config.Load();
  EXPECT_EQ(Config.AirlinesSnapshot(), (TKeyValueList{{"CCA", "v2"}, {"CCA:zh:female", "v1"}}));
  EXPECT_EQ(Config.AirlineVoice("cca", "zh", tgFemale), "v1");
  EXPECT_EQ(Config.DefaultVoice("ja", tgFemale), "v3");
  EXPECT_EQ(Config.DefaultsSnapshot(), (TKeyValueList{{"ja:female", "v3"}, {"zh", "v4"}}));
}

TEST_F(ConfigTest, VoiceMapOperations) {
  TAppConfig Config(Folders());
  Config.SetAirlineVoice(" ", "zh", tgFemale, "v1");
  EXPECT_TRUE(Config.AirlinesSnapshot().empty());
  Config.SetAirlineVoice("cca", "zh", tgFemale, " v1 ");
  Config.SetAirlineVoice("CCA", "en", tgMale, "ABC");
  Config.SetAirlineVoice("MU", "zh", tgFemale, "v2");
  Config.SetDefaultVoice("auto", tgAuto, "abc");
  EXPECT_EQ(Config.AirlineVoice("CCA", "zh-CN", tgFemale), "v1");
  EXPECT_EQ(Config.DefaultVoice("", tgAuto), "abc");
  EXPECT_EQ(Config.KnownAirlines(), (std::vector<std::string>{"CCA", "MU"}));
  Config.ForgetVoice("abc");
  EXPECT_EQ(Config.AirlineVoice("CCA", "en", tgMale), "");
  EXPECT_EQ(Config.DefaultVoice("", tgAuto), "");
  Config.SetAirlineVoice("cca", "zh", tgFemale, " ");
  EXPECT_EQ(Config.AirlinesSnapshot(), (TKeyValueList{{"MU:zh:female", "v2"}}));
}

TEST_F(ConfigTest, HubSharesLoadAppendAndAddReplaces) {
  WriteConfig(R"({"hub": {"userId": "ops", "shares": [
      {"id": "a", "title": "one", "deleteKey": "k1"}, {"id": "A", "title": "two", "deleteKey": "k2"},
      {"id": "b", "title": "no key"}, 5]}})");
  TAppConfig Config(Folders());
  Config.Load();
  EXPECT_EQ(Config.Settings().HubUserId, "ops");
  EXPECT_EQ(Config.HubShares().size(), 2u);
  Config.AddHubShare("a", "three", "k3");
  EXPECT_EQ(Config.HubDeleteKey("A"), "k3");
  Config.AddHubShare("c", "no key", "");
  Config.RemoveHubShare("a");
  EXPECT_TRUE(Config.HubShares().empty());
}

TEST_F(ConfigTest, SaveAndLoadRoundTrip) {
  TAppConfig Config(Folders());
  TConfigSettings s = Config.Settings();
  s.Port = 18000;
  s.BindAddress = "";
  s.SpeedMode = smLocalResample;
  s.Engine.Temperature = 0.7f;
  s.Engine.ExtraArgs = "--x \"y\"";
  Config.SetSettings(s);
  Config.SetAirlineVoice("CCA", "zh", tgFemale, "v1");
  Config.AddHubShare("id1", "标题", "key");
  Config.Save();
  EXPECT_EQ(Config.BaseUrl(), "http://127.0.0.1:18000");
  TAppConfig Again(Folders());
  Again.Load();
  const TConfigSettings r = Again.Settings();
  EXPECT_EQ(r.Port, 18000);
  EXPECT_EQ(r.SpeedMode, smLocalResample);
  EXPECT_FLOAT_EQ(r.Engine.Temperature, 0.7f);
  EXPECT_EQ(r.Engine.ExtraArgs, "--x \"y\"");
  EXPECT_EQ(Again.AirlineVoice("cca", "zh", tgFemale), "v1");
  EXPECT_EQ(Again.HubShares().at(0).Title, "标题");
  EXPECT_FALSE(fs::exists(ConfigPath() + ".tmp"));
}

// The members added after the specified ones: written last in their sections, read back,
// and a loudness outside the target range is off rather than clamped to a level nobody
// asked for.
TEST_F(ConfigTest, LoudnessAndEncodedCacheMembersFollowTheSpecifiedOnes) {
  TAppConfig Config(Folders());
  TConfigSettings s = Config.Settings();
  EXPECT_EQ(s.Loudness, 0);
  EXPECT_EQ(s.EncodedCacheMB, 64);
  EXPECT_EQ(s.ReplyMemoryMB, 512);
  s.Loudness = -16;
  s.EncodedCacheMB = 8;
  s.ReplyMemoryMB = 96;
  Config.SetSettings(s);
  Config.Save();
  const auto Root = ParseJsonObject(StripUtf8Bom(ReadConfig()));
  ASSERT_TRUE(Root);
  const std::map<std::string, std::vector<std::string>> Added = {
      {"synthesis",
       {"autoDefaultVoice", "loudness", "normalizeText", "queueClientShare", "queueHighReserve",
        "replyMemoryMB", "prewarmLimit", "prewarmClientShare"}},
      {"cache", {"budgetMB", "encodedMB", "memoryMB", "minFreeMB"}},
      {"server",
       {"debugLog", "shutdownGraceSeconds", "maxConnections", "allowedOrigins", "allowedHosts"}}};
  for (const auto& [Section, Tail] : Added) {
    std::vector<std::string> Keys;
    for (const auto& [Key, Value] : (*Root)[Section].items())
      Keys.push_back(Key);
    ASSERT_GE(Keys.size(), Tail.size());
    EXPECT_EQ(
        std::vector<std::string>(Keys.end() - static_cast<std::ptrdiff_t>(Tail.size()), Keys.end()),
        Tail)
        << Section;
  }
  TAppConfig Again(Folders());
  Again.Load();
  EXPECT_EQ(Again.Settings().Loudness, -16);
  EXPECT_EQ(Again.Settings().EncodedCacheMB, 8);
  EXPECT_EQ(Again.Settings().ReplyMemoryMB, 96);

  const std::pair<const char*, double> Cases[] = {
      {"-23", -23}, {"\"-14.5\"", -14.5}, {"0", 0}, {"3", 0}, {"-80", 0}, {"\"loud\"", -16}};
  for (const auto& [Value, Want] : Cases) {
    WriteConfig(std::string(R"({"synthesis": {"loudness": )") + Value +
                R"(, "replyMemoryMB": 0}, "cache": {"encodedMB": 99999}})");
    TAppConfig Loaded(Folders());
    TConfigSettings Before = Loaded.Settings();
    Before.Loudness = -16;
    Loaded.SetSettings(Before);
    Loaded.Load();
    EXPECT_EQ(Loaded.Settings().Loudness, Want) << Value;
    EXPECT_EQ(Loaded.Settings().EncodedCacheMB, 4096);
    EXPECT_EQ(Loaded.Settings().ReplyMemoryMB, 1);
  }
}

// The cluster group is written only by a node given cluster settings, after every other
// group; followSeconds is kept within reason.
TEST_F(ConfigTest, ClusterMembersAreWrittenOnlyWhenSet) {
  TAppConfig Config(Folders());
  Config.Save();
  EXPECT_EQ(ReadConfig().find("cluster"), std::string::npos);
  TConfigSettings s = Config.Settings();
  EXPECT_EQ(s.FollowSeconds, 2.0);
  s.ClusterPrimary = "http://10.0.0.11:17150";
  Config.SetSettings(s);
  Config.Save();
  const auto Root = ParseJsonObject(StripUtf8Bom(ReadConfig()));
  ASSERT_TRUE(Root);
  std::string Last;
  for (const auto& [Key, Value] : Root->items())
    Last = Key;
  EXPECT_EQ(Last, "cluster");
  EXPECT_EQ((*Root)["cluster"]["primary"], "http://10.0.0.11:17150");
  EXPECT_FALSE((*Root)["cluster"].contains("primaryKey"));
  s.ClusterPrimaryKey = "follow-7f3c";
  Config.SetSettings(s);
  Config.Save();
  const auto Keyed = ParseJsonObject(StripUtf8Bom(ReadConfig()));
  ASSERT_TRUE(Keyed);
  EXPECT_EQ(
      (*Keyed)["cluster"].dump(),
      R"({"primary":"http://10.0.0.11:17150","followSeconds":2.0,"primaryKey":"follow-7f3c"})");

  const std::pair<const char*, double> Cases[] = {
      {"0.5", 0.5}, {"0", 0.1}, {"-3", 0.1}, {"999999", 3600}, {"\"soon\"", 2.0}};
  for (const auto& [Value, Want] : Cases) {
    WriteConfig(std::string(R"({"cluster": {"primary": " http://p:1 ", "followSeconds": )") +
                Value + "}}");
    TAppConfig Loaded(Folders());
    Loaded.Load();
    EXPECT_EQ(Loaded.Settings().FollowSeconds, Want) << Value;
    EXPECT_EQ(Loaded.Settings().ClusterPrimary, "http://p:1");
  }

  // A reload of a file without them leaves the node on its own, at the default period.
  for (const char* Without : {R"({"cluster": {}})", R"({"server": {}})"}) {
    TAppConfig Reloaded(Folders());
    WriteConfig(R"({"cluster": {"primary": "http://p:1", "followSeconds": 9, "primaryKey": "k"}})");
    Reloaded.Load();
    WriteConfig(Without);
    Reloaded.Load();
    EXPECT_EQ(Reloaded.Settings().ClusterPrimary, "") << Without;
    EXPECT_EQ(Reloaded.Settings().FollowSeconds, 2.0) << Without;
    EXPECT_EQ(Reloaded.Settings().ClusterPrimaryKey, "") << Without;
  }
}

// Saves from many threads while others change the maps: every file on disk parses and
// the last one holds the last change.
TEST_F(ConfigTest, ConcurrentChangesAndSavesStayWhole) {
  TAppConfig Config(Folders());
  std::vector<std::thread> Threads;
  for (int t = 0; t < 4; ++t)
    Threads.emplace_back([&Config, t] {
      for (int i = 0; i < 50; ++i) {
        Config.SetAirlineVoice("A" + std::to_string(t), "zh", tgFemale, "v" + std::to_string(i));
        Config.Save();
        (void)Config.KnownAirlines();
      }
    });
  for (auto& th : Threads)
    th.join();
  Config.Save();
  TAppConfig Again(Folders());
  Again.Load();
  EXPECT_EQ(Again.AirlineVoice("A3", "zh", tgFemale), "v49");
  EXPECT_EQ(Again.KnownAirlines().size(), 4u);
}

TEST_F(ConfigTest, WriteFailureIsLoggedNotThrown) {
  fs::create_directories(Root + "data/config.json");  // a folder where the file should be
  TAppConfig Config(Folders());
  EXPECT_NO_THROW(Config.Save());
  EXPECT_TRUE(Logged(llError, "cannot write config: "));
}

TEST_F(ConfigTest, LegacyClipsAreCopiedWithoutOverwriting) {
  WriteFileBytes(Root + "appdata/voices/a.wav", TBytes{1});
  WriteFileBytes(Root + "appdata/voices/b.wav", TBytes{2});
  WriteFileBytes(Root + "clone/b.wav", TBytes{9});
  TAppConfig Config(Folders());
  EXPECT_EQ(ReadFileBytes(Root + "clone/a.wav"), TBytes{1});
  EXPECT_EQ(ReadFileBytes(Root + "clone/b.wav"), TBytes{9});
  EXPECT_TRUE(fs::exists(Root + "appdata/voices/a.wav"));
  EXPECT_TRUE(Logged(llInfo, "moved 2 legacy reference clips from "));
}

}  // namespace
}  // namespace quavox
