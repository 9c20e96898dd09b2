// What an attacker or a careless operator tries against the real quavoxd: a data folder that
// refuses writes, audio no decoder recognises, clips left behind by a killed clone, values
// that would forge log lines or widen bindings, and absurd output rates. Each daemon here has
// a program folder of its own; the placeholder engine speaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "Daemon.h"
#include "audio/Wav.h"
#include "core/Text.h"
#include "platform/Files.h"
#include "state/Json.h"
#include "support/ReadOnlyFolder.h"

namespace quavox::test {
namespace {

namespace fs = std::filesystem;

TJson JsonOf(const httplib::Result& ARes) {
  if (!ARes) return TJson();
  const auto Json = ParseJsonObject(ARes->body);
  return Json ? *Json : TJson();
}

std::string Member(const httplib::Result& ARes, const char* AName) {
  const TJson Json = JsonOf(ARes);
  return Json.is_object() ? JsonString(&Json, AName, "") : "";
}

httplib::Result Send(httplib::Client& ACli, const std::string& AMethod, const std::string& ATarget,
                     const std::string& ABody = {}) {
  httplib::Request Req;
  Req.method = AMethod;
  Req.path = ATarget;
  if (!ABody.empty()) {
    Req.body = ABody;
    Req.set_header("Content-Type", "application/json");
  }
  return ACli.send(Req);
}

TBytes ToneWav(float AFrequency, int ASeconds = 2, int32_t ARate = 22050) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = ARate;
  for (int i = 0; i < ARate * ASeconds; ++i)
    Pcm.Data.push_back(0.3f * static_cast<float>(std::sin(2 * M_PI * AFrequency * i / ARate)));
  return PcmToWav(Pcm, 1);
}

std::string CloneOrder(const TBytes& AAudio, const std::string& AText = "a transcript") {
  return TJson({{"display", "x"}, {"clips", {{{"audio", Base64(AAudio)}, {"text", AText}}}}})
      .dump();
}

std::set<std::string> FilesIn(const std::string& AFolder) {
  std::set<std::string> Names;
  std::error_code Ec;
  for (const auto& Entry : fs::directory_iterator(AFolder, Ec))
    Names.insert(Entry.path().filename().string());
  return Names;
}

std::string ReadText(const std::string& AFile) {
  std::ifstream In(AFile, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

class HttpFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr(); }
  void TearDown() override {
    if (Daemon.Alive()) {
      EXPECT_EQ(Daemon.Stop(SIGTERM), 0) << Daemon.Stderr();
    }
  }
  std::string Clone(float AFrequency) {
    httplib::Client Cli = Daemon.Client();
    const auto Res = Send(Cli, "POST", "/v1/voices/clone", CloneOrder(ToneWav(AFrequency)));
    EXPECT_TRUE(Res && Res->status == 200) << (Res ? Res->body : "no reply");
    return Member(Res, "id");
  }
  std::string Restart() {
    Daemon.Stop(SIGTERM);
    return Daemon.Start() ? "" : Daemon.Stderr();
  }

  TDaemon Daemon{"faults", {{"server", {{"uiLanguage", "en"}}}}};
};

TEST_F(HttpFaultsTest, ChangesThatCannotBeSavedAreRefusedAndNotMade) {
  const std::string Kept = Clone(330);
  ASSERT_FALSE(Kept.empty());
  httplib::Client Cli = Daemon.Client();
  const std::string Bind =
      TJson({{"airline", "CCA"}, {"language", "zh"}, {"gender", "female"}, {"voice", Kept}}).dump();
  ASSERT_EQ(Send(Cli, "PUT", "/v1/airlines", Bind)->status, 200);
  ASSERT_EQ(Send(Cli, "PUT", "/v1/defaults", TJson({{"language", "en"}, {"female", Kept}}).dump())
                ->status,
            200);
  const TJson Airlines = JsonOf(Cli.Get("/v1/airlines"));
  const TJson Defaults = JsonOf(Cli.Get("/v1/defaults"));
  const TJson Voices = JsonOf(Cli.Get("/v1/voices"));
  const std::set<std::string> Clips = FilesIn(Daemon.Root() + "clone");

  TReadOnlyFolder ReadOnly(Daemon.Root() + "data");
  if (!ReadOnly.Works()) GTEST_SKIP() << "cannot make a folder read-only here";
  struct TCase {
    const char* Method;
    std::string Target;
    std::string Body;
  };
  const TCase Cases[] = {
      {"PUT", "/v1/airlines",
       TJson({{"airline", "MU"}, {"language", "en"}, {"voice", Kept}}).dump()},
      {"PUT", "/v1/airlines",
       TJson({{"airline", "CCA"}, {"language", "zh"}, {"gender", "female"}, {"voice", ""}}).dump()},
      {"PUT", "/v1/defaults", TJson({{"language", "en"}, {"male", Kept}}).dump()},
      {"POST", "/v1/voices/clone", CloneOrder(ToneWav(440))},
      {"DELETE", "/v1/voices/" + Kept, ""},
      // A language no voice is bound for yet: its default voice cannot be saved.
      {"GET", "/v1/tts?text=Hello&language=ja", ""},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(std::string(c.Method) + " " + c.Target + " " + c.Body.substr(0, 80));
    const auto Res = Send(Cli, c.Method, c.Target, c.Body);
    ASSERT_TRUE(Res);
    EXPECT_GE(Res->status, 500) << Res->body;
    // The system's own words for the failure reach the client.
    EXPECT_TRUE(Member(Res, "message").find("data/") != std::string::npos) << Res->body;
    EXPECT_EQ(JsonOf(Cli.Get("/v1/airlines")), Airlines);
    EXPECT_EQ(JsonOf(Cli.Get("/v1/defaults")), Defaults);
    EXPECT_EQ(JsonOf(Cli.Get("/v1/voices")), Voices);
    EXPECT_EQ(FilesIn(Daemon.Root() + "clone"), Clips);
  }
  const TJson Health = JsonOf(Cli.Get("/health"));
  EXPECT_EQ(Health.value("status", ""), "degraded");
  EXPECT_EQ(Health.value("data_writable", true), false);
  EXPECT_NE(Health.value("data_error", ""), "");
  const auto SelfTest = Cli.Get("/v1/selftest");
  ASSERT_TRUE(SelfTest);
  EXPECT_EQ(SelfTest->status, 503);
  const TJson Checks = JsonOf(SelfTest).value("checks", TJson::array());
  ASSERT_FALSE(Checks.empty());
  EXPECT_EQ(Checks.back().value("name", ""), "data");
  EXPECT_EQ(Checks.back().value("ok", true), false);

  ReadOnly.Release();
  const TJson Healthy = JsonOf(Cli.Get("/health"));
  EXPECT_FALSE(Healthy.contains("data_writable"));
  EXPECT_FALSE(Healthy.contains("data_error"));
  ASSERT_EQ(Restart(), "");
  httplib::Client After = Daemon.Client();
  EXPECT_EQ(JsonOf(After.Get("/v1/airlines")), Airlines);
  EXPECT_EQ(JsonOf(After.Get("/v1/defaults")), Defaults);
  EXPECT_EQ(JsonOf(After.Get("/v1/voices")), Voices);
  EXPECT_EQ(FilesIn(Daemon.Root() + "clone"), Clips);
}

// Patches a little-endian field of a WAV header.
TBytes Patched(TBytes AWav, std::size_t AOffset, uint32_t AValue, int ABytes) {
  for (int i = 0; i < ABytes; ++i)
    AWav[AOffset + i] = static_cast<uint8_t>(AValue >> (8 * i));
  return AWav;
}

TEST_F(HttpFaultsTest, AudioNoDecoderRecognisesIsRefusedAndNothingStored) {
  const TBytes Wav = ToneWav(262);
  TBytes Random(20000);
  uint32_t Seed = 12345;
  for (uint8_t& b : Random) {
    Seed = Seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(Seed >> 24);
  }
  TBytes Gzipped = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x03};
  Gzipped.insert(Gzipped.end(), Random.begin(), Random.end());
  const TBytes HeaderOnly = Patched(TBytes(Wav.begin(), Wav.begin() + 44), 40, 0, 4);
  struct TCase {
    const char* Name;
    TBytes Audio;
  };
  const TCase Cases[] = {
      {"random bytes", Random},
      {"gzipped WAV", Gzipped},
      {"header-only WAV", HeaderOnly},
      {"zero channels", Patched(Wav, 22, 0, 2)},
      {"zero rate", Patched(Wav, 24, 0, 4)},
      {"zero bits", Patched(Wav, 34, 0, 2)},
      {"eleven minutes", ToneWav(200, 660, 8000)},
  };
  httplib::Client Cli = Daemon.Client();
  const TJson Before = JsonOf(Cli.Get("/v1/voices"));
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    const auto Res = Send(Cli, "POST", "/v1/voices/clone", CloneOrder(c.Audio));
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, 400) << Res->body;
    EXPECT_EQ(Member(Res, "error"), "bad_audio");
    EXPECT_EQ(JsonOf(Cli.Get("/v1/voices")), Before);
    EXPECT_TRUE(FilesIn(Daemon.Root() + "clone").empty());
  }
}

TEST_F(HttpFaultsTest, StrayClipsOfOwnNamingGoAtStartOthersStay) {
  const std::string Id = Clone(294);
  ASSERT_FALSE(Id.empty());
  Daemon.Stop(SIGTERM);
  const std::string Folder = Daemon.Root() + "clone/";
  const std::set<std::string> Own = FilesIn(Folder);
  const char* Strays[] = {"v-0123456789ab-0.wav", "v-0123456789ab-1-2.mp3", "v-fedcba987654-0.ogg"};
  const char* Others[] = {"notes.txt", "v-0123456789AB-0.wav", "v-0123456789ab.wav",
                          "v-0123456789ab-0.wav.bak", "x-0123456789ab-0.wav"};
  for (const char* Name : Strays)
    WriteFileAtomic(Folder + Name, "stray");
  for (const char* Name : Others)
    WriteFileAtomic(Folder + Name, "someone else's");
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  std::set<std::string> Expected = Own;
  Expected.insert(std::begin(Others), std::end(Others));
  EXPECT_EQ(FilesIn(Folder), Expected);
}

// A voices.json that cannot be read or is torn is kept aside, never overwritten, and its
// clips stay; the voices before a torn end go on working. Unreadable for root too: a folder
// in the file's place (a mode of 000 does not stop root).
TEST_F(HttpFaultsTest, AnUnusableVoiceLibraryIsKeptAsideWithItsClips) {
  const std::string First = Clone(262);
  const std::string Second = Clone(392);
  ASSERT_FALSE(First.empty() || Second.empty());
  const std::string File = Daemon.Root() + "data/voices.json";
  const std::string Kept = File + ".unreadable";
  const std::string Folder = Daemon.Root() + "clone/";
  const std::string Whole = ReadText(File);
  const std::set<std::string> Clips = FilesIn(Folder);
  struct TCase {
    std::string Name;
    std::function<void()> Spoil;
    std::size_t Recovered;
  };
  const std::vector<TCase> Cases = {
      {"torn", [&] { WriteFileAtomic(File, Whole.substr(0, Whole.find(Second) + 4)); }, 1},
      {"folder", [&] { fs::create_directories(File); }, 0},
  };
  for (const TCase& c : Cases) {
    Daemon.Stop(SIGTERM);
    fs::remove_all(Kept);
    fs::remove_all(File);
    c.Spoil();
    ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
    httplib::Client Cli = Daemon.Client();
    const TJson Health = JsonOf(Cli.Get("/health"));
    EXPECT_EQ(JsonString(&Health, "status", ""), "degraded") << c.Name;
    EXPECT_NE(JsonString(&Health, "voices_error", ""), "") << c.Name;
    EXPECT_EQ(JsonOf(Cli.Get("/v1/voices")).at("voices").size(), c.Recovered) << c.Name;
    EXPECT_TRUE(fs::exists(Kept)) << c.Name;
    EXPECT_NE(Daemon.Stderr().find("kept it as"), std::string::npos) << c.Name;
    EXPECT_FALSE(Clone(440).empty()) << c.Name;
    ASSERT_EQ(Restart(), "") << c.Name;
    std::set<std::string> Now = FilesIn(Folder);
    EXPECT_TRUE(std::includes(Now.begin(), Now.end(), Clips.begin(), Clips.end())) << c.Name;
    EXPECT_EQ(JsonOf(Daemon.Client().Get("/v1/voices")).at("voices").size(), c.Recovered + 1)
        << c.Name;
    for (const std::string& Name : Now)
      if (!Clips.contains(Name)) fs::remove(Folder + Name);
  }
  fs::remove_all(Kept);
}

// A binding racing the deletion of its voice, both answered 200, must not leave the binding
// pointing at nothing; a binding answered 404 made no change.
TEST_F(HttpFaultsTest, ABindingRacingTheDeletionOfItsVoiceNeverOutlivesIt) {
  constexpr int Rounds = 40;
  for (int Round = 0; Round < Rounds; ++Round) {
    const std::string Id = Clone(262);
    ASSERT_FALSE(Id.empty());
    const std::string Bind = TJson({{"airline", "CCA"}, {"voice", Id}}).dump();
    {
      std::jthread Binder([&] {
        httplib::Client Cli = Daemon.Client();
        Send(Cli, "PUT", "/v1/airlines", Bind);
      });
      httplib::Client Cli = Daemon.Client();
      EXPECT_EQ(Send(Cli, "DELETE", "/v1/voices/" + Id)->status, 200);
    }
    httplib::Client Cli = Daemon.Client();
    EXPECT_EQ(JsonOf(Cli.Get("/v1/airlines")), TJson::object()) << "round " << Round;
    Send(Cli, "PUT", "/v1/airlines", TJson({{"airline", "CCA"}, {"voice", ""}}).dump());
  }
}

TEST_F(HttpFaultsTest, TemporaryFilesOfUnfinishedWritesGoAtStart) {
  Daemon.Stop(SIGTERM);
  const std::string Data = Daemon.Root() + "data/";
  for (const char* Name : {"config.json.tmp", "voices.json.tmp", "lexicon.json.tmp"})
    WriteFileAtomic(Data + Name, "{\"torn");
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  for (const char* Name : {"config.json.tmp", "voices.json.tmp", "lexicon.json.tmp"})
    EXPECT_FALSE(fs::exists(Data + Name)) << Name;
}

TEST_F(HttpFaultsTest, PrewarmNamingAnUnknownVoiceQueuesNothing) {
  httplib::Client Cli = Daemon.Client();
  const auto Res =
      Send(Cli, "POST", "/v1/prewarm",
           R"({"items":[{"text":"one"},{"text":"two","voice":"v-nope\n12:00:00.000 [ERROR] x"}]})");
  ASSERT_TRUE(Res);
  EXPECT_EQ(Res->status, 400) << Res->body;
  EXPECT_EQ(Member(Res, "error"), "bad_voice");
  EXPECT_EQ(JsonOf(Cli.Get("/v1/stats")).value("prewarm_pending", -1), 0);
  EXPECT_EQ(JsonOf(Cli.Get("/v1/stats")).value("total", -1), 0);
}

TEST_F(HttpFaultsTest, ValuesThatHoldLineBreaksStayInOneLogLine) {
  httplib::Client Cli = Daemon.Client();
  const std::string Forged = "12:00:00.000 [ERROR] http: forged";
  ASSERT_EQ(Send(Cli, "POST", "/v1/prewarm", TJson({{"text", "Gate\n" + Forged}}).dump())->status,
            202);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::string Log;
  while (Log.find("pre-baked one entry") == std::string::npos &&
         std::chrono::steady_clock::now() < Deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Log = Cli.Get("/v1/log?lines=2000")->body;
  }
  EXPECT_NE(Log.find("Gate\\n" + Forged), std::string::npos) << Log;
  EXPECT_EQ(Log.find("\r\n" + Forged), std::string::npos) << Log;
  EXPECT_EQ(ReadText(Daemon.Root() + "stderr.log").find("\n" + Forged), std::string::npos);
}

TEST_F(HttpFaultsTest, RequestValuesOutsideWhatTheyMean) {
  const std::string Id = Clone(392);
  ASSERT_FALSE(Id.empty());
  struct TCase {
    const char* Method;
    std::string Target;
    std::string Body;
    int Status;
  };
  const auto Airline = [&](const std::string& ACode, const std::string& ALanguage = "en") {
    return TJson({{"airline", ACode}, {"language", ALanguage}, {"voice", Id}}).dump();
  };
  const auto Defaults = [&](const std::string& ALanguage) {
    return TJson({{"language", ALanguage}, {"female", Id}}).dump();
  };
  const std::string Tone = Base64(ToneWav(440));
  const auto Voice = [&](const TJson& AFields, int AClips = 1) {
    TJson Order = {{"display", "x"}, {"clips", TJson::array()}};
    for (int i = 0; i < AClips; ++i)
      Order["clips"].push_back({{"audio", Tone}, {"text", "a transcript"}});
    Order.update(AFields);
    return Order.dump();
  };
  const TCase Cases[] = {
      {"GET", "/v1/tts?text=Hello&sample_rate=1", "", 400},
      {"GET", "/v1/tts?text=Hello&sample_rate=7999", "", 400},
      {"POST", "/v1/tts", R"({"text":"Hello","sample_rate":100})", 400},
      {"POST", "/v1/prewarm", R"({"text":"Hello","sample_rate":1})", 400},
      {"GET", "/v1/tts?text=Hello&sample_rate=8000", "", 200},
      {"GET", "/v1/tts?text=Hello&sample_rate=-4194967296", "", 400},
      {"POST", "/v1/tts", R"({"text":"Hello","sample_rate":-4194967296})", 400},
      {"POST", "/v1/tts", R"({"text":"Hello","sample_rate":"4295011396"})", 400},
      {"GET", "/v1/tts?text=Hello&seed=4294967297", "", 400},
      {"POST", "/v1/announce", R"({"sample_rate":-4194967296,"segments":[{"text":"Hello"}]})", 400},
      {"POST", "/v1/tts", TJson({{"text", "Hello"}, {"style", std::string(30000, 's')}}).dump(),
       400},
      {"POST", "/v1/audio/speech",
       TJson({{"input", "Hello"}, {"voice", "alloy"}, {"instructions", std::string(30000, 's')}})
           .dump(),
       400},
      {"PUT", "/v1/airlines",
       Airline("C\x01"
               "A"),
       400},
      {"PUT", "/v1/airlines", Airline("CC/A"), 400},
      {"PUT", "/v1/airlines", Airline("../x"), 400},
      {"PUT", "/v1/airlines", Airline(std::string(100000, 'A')), 400},
      {"PUT", "/v1/airlines", Airline("C"), 400},
      {"PUT", "/v1/airlines", Airline("CCA"), 200},
      {"PUT", "/v1/airlines", Airline("MU"), 200},
      {"PUT", "/v1/airlines", Airline("CCA", "e n"), 400},
      {"PUT", "/v1/airlines", Airline("CCA", "!!"), 400},
      {"PUT", "/v1/airlines", Airline("CCA", ""), 200},
      {"PUT", "/v1/airlines", Airline("CCA", "AUTO"), 200},
      {"PUT", "/v1/defaults", Defaults("e n"), 400},
      {"PUT", "/v1/defaults", Defaults("auto"), 200},
      {"PUT", "/v1/airlines", Airline("CCA", "english"), 400},
      {"PUT", "/v1/defaults", Defaults("e-n"), 400},
      {"POST", "/v1/voices/clone", Voice({{"language", "english"}}), 400},
      {"POST", "/v1/voices/clone", Voice({{"language", "e-n"}}), 400},
      {"POST", "/v1/voices/clone", Voice({{"language", std::string(3000000, 'e')}}), 400},
      {"POST", "/v1/voices/clone", Voice({{"display", std::string(101, 'x')}}), 400},
      {"POST", "/v1/voices/clone", Voice({{"note", std::string(2001, 'x')}}), 400},
      {"POST", "/v1/voices/clone", Voice({{"style", std::string(30000, 's')}}), 400},
      {"POST", "/v1/voices/clone", Voice({{"reference_text", std::string(10001, 't')}}), 400},
      {"POST", "/v1/voices/clone",
       Voice({{"clips", {{{"audio", Tone}, {"text", std::string(10001, 't')}}}}}), 400},
      {"POST", "/v1/voices/clone", Voice(TJson::object(), 33), 400},
      {"POST", "/v1/voices/clone", Voice({{"language", "en-US"}, {"display", "y"}}), 200},
  };
  httplib::Client Cli = Daemon.Client();
  for (const TCase& c : Cases) {
    SCOPED_TRACE(std::string(c.Method) + " " + c.Target + " " + c.Body.substr(0, 60));
    const TJson Airlines = JsonOf(Cli.Get("/v1/airlines"));
    const auto Res = Send(Cli, c.Method, c.Target, c.Body);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, c.Status) << Res->body.substr(0, 200);
    if (c.Status == 400) {
      EXPECT_EQ(JsonOf(Cli.Get("/v1/airlines")), Airlines);
    }
  }
  const TJson Bindings = JsonOf(Cli.Get("/v1/airlines"));
  for (const auto& [Key, Value] : Bindings.items()) {
    EXPECT_TRUE(Key == "CCA:en:default" || Key == "MU:en:default" || Key == "CCA::default") << Key;
  }
}

// Announcement rules spell out codes and numbers and the lexicon replaces words: a text
// within the limit as written can grow several times over, and is refused for that by
// name instead of failing in the engine.
TEST(HttpFaultsRules, TextsTheRulesRewritePastTheLimitAreRefusedByName) {
  TDaemon Daemon("rules", {{"server", {{"uiLanguage", "en"}}}});
  Daemon.UseShippedFiles();
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  std::string Flights;
  for (int i = 0; i < 714; ++i)
    Flights += (i == 0 ? "" : " ") + std::string("CA1234");
  ASSERT_LE(Flights.size(), 5000u);
  httplib::Client Cli = Daemon.Client();
  const auto Put =
      Send(Cli, "PUT", "/v1/lexicon",
           TJson({{"language", "en"}, {"word", "gate"}, {"say", std::string(256, 'g')}}).dump());
  ASSERT_TRUE(Put && Put->status == 200) << (Put ? Put->body : "no reply");
  std::string Gates;
  for (int i = 0; i < 60; ++i)
    Gates += "gate ";
  for (const std::string& Text : {Flights, Gates}) {
    SCOPED_TRACE(Text.substr(0, 40));
    for (const auto& [Path, Body] :
         {std::pair("/v1/tts", TJson({{"text", Text}, {"language", "en"}})),
          std::pair("/v1/announce",
                    TJson({{"segments", {{{"text", Text}, {"language", "en"}}}}}))}) {
      const auto Res = Send(Cli, "POST", Path, Body.dump());
      ASSERT_TRUE(Res);
      EXPECT_EQ(Res->status, 413) << Path << " " << Res->body.substr(0, 300);
      EXPECT_EQ(Member(Res, "error"), "text_too_long");
      EXPECT_NE(Member(Res, "message").find("lexicon"), std::string::npos) << Res->body;
    }
  }
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0) << Daemon.Stderr();
}

// Clips whose rate no voice can be made from are refused when they are cloned, not
// accepted into a voice that fails every synthesis.
TEST_F(HttpFaultsTest, ClipsAtUnusableRatesAreRefusedAtCloneTime) {
  httplib::Client Cli = Daemon.Client();
  const std::pair<int32_t, int> Cases[] = {{1, 400},      {1000, 400},   {7999, 400},  {8000, 200},
                                           {192000, 200}, {192001, 400}, {768000, 400}};
  std::size_t Voices = 0;
  for (const auto& [Rate, Status] : Cases) {
    SCOPED_TRACE(Rate);
    const auto Res = Send(Cli, "POST", "/v1/voices/clone", CloneOrder(ToneWav(392, 2, Rate)));
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, Status) << Res->body;
    if (Status == 400) {
      EXPECT_EQ(Member(Res, "error"), "bad_audio");
      EXPECT_NE(Member(Res, "message").find("sample rate"), std::string::npos) << Res->body;
    } else {
      ++Voices;
    }
    EXPECT_EQ(JsonOf(Cli.Get("/v1/voices"))["voices"].size(), Voices);
  }
}

TEST(HttpDaemonEnvironment, LegacyClipsOfTheDevelopersOwnFolderStayOutOfTests) {
  const TTempDir Home("quavox-xdg");
  fs::create_directories(Home.Path("Tallyhorn/Quavox/voices"));
  WriteFileAtomic(Home.Path("Tallyhorn/Quavox/voices/v-0123456789ab-0.wav"), "legacy");
  const char* Previous = std::getenv("XDG_DATA_HOME");
  const std::string Saved = Previous ? Previous : "";
  ::setenv("XDG_DATA_HOME", Home.Path().c_str(), 1);
  TDaemon Daemon("xdg");
  const bool Started = Daemon.Start();
  Previous ? ::setenv("XDG_DATA_HOME", Saved.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
  ASSERT_TRUE(Started) << Daemon.Stderr();
  EXPECT_TRUE(FilesIn(Daemon.Root() + "clone").empty());
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace quavox::test
