// The announcement rules and the operator's lexicon through the real quavoxd process: the
// spoken text of /v1/normalize and of synthesis replies, the opt-out, entity tags that
// change for exactly the lines a lexicon change touches, and refusals of bad changes and
// bad files. The program folder holds the shipped tables; the placeholder engine speaks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Daemon.h"
#include "http/Http.h"
#include "platform/Files.h"
#include "state/Json.h"

namespace quavox::test {
namespace {

namespace fs = std::filesystem;

TJson JsonOf(const httplib::Result& ARes) {
  if (!ARes) return TJson();
  const auto Json = ParseJsonObject(ARes->body);
  return Json ? *Json : TJson();
}

std::string ReadFile(const std::string& AFile) {
  std::ifstream In(AFile, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

// Queries are sent as written: "+" is the blank of a query string.
httplib::Client ClientOf(const TDaemon& ADaemon) {
  httplib::Client Cli = ADaemon.Client();
  Cli.set_url_encode(false);
  return Cli;
}

httplib::Result Put(httplib::Client& ACli, const std::string& ABody) {
  return ACli.Put("/v1/lexicon", ABody, "application/json");
}

httplib::Result PutEntry(httplib::Client& ACli, const char* ALanguage, const char* AWord,
                         const char* ASay) {
  return Put(ACli, TJson{{"language", ALanguage}, {"word", AWord}, {"say", ASay}}.dump());
}

struct TSpoken {
  std::string ETag;
  std::string Spoken;
};

TSpoken Synthesize(httplib::Client& ACli, const std::string& AText, const std::string& ALanguage,
                   bool ANormalize = true) {
  TJson Body = {{"text", AText}, {"language", ALanguage}};
  if (!ANormalize) Body["normalize"] = false;
  const auto Res = ACli.Post("/v1/tts", Body.dump(), "application/json");
  EXPECT_TRUE(Res && Res->status == 200) << (Res ? Res->body : "no reply");
  if (!Res) return {};
  return {Res->get_header_value("ETag"), UrlDecode(Res->get_header_value("X-Quavox-Spoken"))};
}

std::string SpokenBy(httplib::Client& ACli, const std::string& AQuery) {
  const TJson Reply = JsonOf(ACli.Get("/v1/normalize?" + AQuery));
  return JsonString(&Reply, "spoken", "<no reply>");
}

class LexiconDaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Daemon = new TDaemon("lexicon");
    ShipTextTables(*Daemon);
    Started = Daemon->Start();
  }
  static void TearDownTestSuite() {
    if (Started) {
      EXPECT_EQ(Daemon->Stop(SIGTERM), 0) << Daemon->Stderr();
    }
    delete Daemon;
    Daemon = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(Started) << Daemon->Stderr(); }

  static TDaemon* Daemon;
  static bool Started;
};

TDaemon* LexiconDaemonTest::Daemon = nullptr;
bool LexiconDaemonTest::Started = false;

TEST_F(LexiconDaemonTest, NormalizeShowsWhatWillBeSaid) {
  httplib::Client Cli = ClientOf(*Daemon);
  const auto Res = Cli.Get("/v1/normalize?text=Flight+CA1234+to+PEK&language=en-US");
  ASSERT_TRUE(Res && Res->status == 200);
  const TJson Reply = JsonOf(Res);
  EXPECT_EQ(Reply, (TJson{{"text", "Flight CA1234 to PEK"},
                          {"language", "en"},
                          {"spoken", "Flight Air China one two three four to Beijing Capital"}}));
  EXPECT_EQ(SpokenBy(Cli, "text=" + PercentEncode("前往PEK的CA1234航班") + "&language=zh"),
            "前往北京首都的中国国际航空幺二三四航班");
  EXPECT_EQ(SpokenBy(Cli, "text=" + PercentEncode("JL123便は12番搭乗口から") + "&language=ja"),
            "日本航空百二十三便は十二番搭乗口から");
  const TJson Auto = JsonOf(Cli.Get("/v1/normalize?text=MU5101"));
  EXPECT_EQ(JsonString(&Auto, "language", ""), "auto");
  EXPECT_EQ(SpokenBy(Cli, "text=MU5101"), "China Eastern Airlines five one zero one");
  // A text too long for a URL comes as a JSON body.
  std::string Long, Spoken;
  for (int i = 0; i < 70; ++i) {
    Long += "前往PEK的CA1234航班。";
    Spoken += "前往北京首都的中国国际航空幺二三四航班。";
  }
  const auto Posted = Cli.Post("/v1/normalize", TJson({{"text", Long}, {"language", "zh"}}).dump(),
                               "application/json");
  ASSERT_TRUE(Posted);
  EXPECT_EQ(Posted->status, 200) << Posted->body;
  const TJson PostedReply = JsonOf(Posted);
  EXPECT_EQ(JsonString(&PostedReply, "spoken", ""), Spoken);
  EXPECT_EQ(Cli.Post("/v1/normalize", "[1", "application/json")->status, 400);
}

// Texts without anything to rewrite keep exactly the tag they have without the rules.
TEST_F(LexiconDaemonTest, UntouchedTextsKeepTheirTags) {
  httplib::Client Cli = ClientOf(*Daemon);
  const std::vector<std::pair<std::string, std::string>> Lines = {
      {"hello", "en"},
      {"Ladies and gentlemen, we are now ready for departure. Please fasten your seat belt and "
       "stow your tray table.",
       "en"},
      {"各位旅客请注意,本次航班即将起飞,请系好安全带,收起小桌板。", "zh"},
      {"ご搭乗のみなさま、まもなく出発いたします。シートベルトをお締めください。", "ja"},
      {"这是一次连通测试。", "auto"},
      {"PASSENGERS CAN BOARD NOW", "en"},
  };
  for (const auto& [Text, Language] : Lines) {
    const TSpoken Ruled = Synthesize(Cli, Text, Language);
    const TSpoken AsWritten = Synthesize(Cli, Text, Language, false);
    EXPECT_EQ(Ruled.ETag, AsWritten.ETag) << Text;
    // Nothing was rewritten, so the reply carries no spoken-text header either.
    EXPECT_EQ(Ruled.Spoken, "") << Text;
  }
}

TEST_F(LexiconDaemonTest, RequestsCanOptOut) {
  httplib::Client Cli = ClientOf(*Daemon);
  const TSpoken Ruled = Synthesize(Cli, "Boarding CA981 to JFK at gate 12", "en");
  const TSpoken AsWritten = Synthesize(Cli, "Boarding CA981 to JFK at gate 12", "en", false);
  EXPECT_EQ(Ruled.Spoken, "Boarding Air China nine eight one to New York Kennedy at gate twelve");
  EXPECT_EQ(AsWritten.Spoken, "");
  EXPECT_NE(Ruled.ETag, AsWritten.ETag);
  // On the wire the header is percent-encoded (the client library decodes it).
  const std::string Raw = RawExchange(Daemon->Port(),
                                      "GET /v1/tts?text=CA981+%E7%99%BB&language=en HTTP/1.1\r\n"
                                      "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
  EXPECT_NE(Raw.find("\r\nX-Quavox-Spoken: Air%20China%20nine%20eight%20one%20%E7%99%BB\r\n"),
            std::string::npos)
      << Raw.substr(0, 600);
  const auto Ruled2 = Cli.Get("/v1/tts?text=CA981+to+JFK&language=en&normalize=yes");
  ASSERT_TRUE(Ruled2 && Ruled2->status == 200);
  EXPECT_EQ(UrlDecode(Ruled2->get_header_value("X-Quavox-Spoken")),
            "Air China nine eight one to New York Kennedy");
}

// A long text's header carries as many whole characters as fit, so clients can read it.
TEST_F(LexiconDaemonTest, TheSpokenHeaderOfALongTextIsCut) {
  httplib::Client Cli = ClientOf(*Daemon);
  std::string Text;
  for (int i = 0; i < 60; ++i)
    Text += "CA1234航班";
  const TSpoken Long = Synthesize(Cli, Text, "zh");
  ASSERT_FALSE(Long.Spoken.empty());
  const std::string Whole = SpokenBy(Cli, "text=" + PercentEncode(Text) + "&language=zh");
  EXPECT_EQ(Whole.rfind(Long.Spoken, 0), 0u);
  EXPECT_LT(Long.Spoken.size(), Whole.size());
  EXPECT_LE(PercentEncode(Long.Spoken).size(), MaxSpokenHeaderBytes);
  EXPECT_GT(PercentEncode(Long.Spoken).size(), MaxSpokenHeaderBytes - 9);
  const auto Short = Cli.Get("/v1/tts?text=CA981&language=en");
  EXPECT_FALSE(Short->has_header("X-Quavox-Spoken-Truncated"));
}

TEST_F(LexiconDaemonTest, ALexiconChangeRetagsOnlyTheLinesItTouches) {
  httplib::Client Cli = ClientOf(*Daemon);
  const std::vector<std::pair<std::string, std::string>> Lines = {
      {"Flight CA1234 to PEK is boarding", "en"},
      {"Flight MU5101 to PVG is boarding at gate B12", "en"},
      {"前往PEK的CA1234航班", "zh"},
  };
  std::vector<std::string> Before;
  for (const auto& [Text, Language] : Lines)
    Before.push_back(Synthesize(Cli, Text, Language).ETag);

  const auto Res = PutEntry(Cli, " en-GB ", " pek ", "Beijing");
  ASSERT_TRUE(Res && Res->status == 200) << (Res ? Res->body : "");
  EXPECT_EQ(JsonOf(Res), (TJson{{"language", "en"}, {"word", "pek"}, {"say", "Beijing"}}));
  const TSpoken Touched = Synthesize(Cli, Lines[0].first, Lines[0].second);
  EXPECT_EQ(Touched.Spoken, "Flight Air China one two three four to Beijing is boarding");
  EXPECT_NE(Touched.ETag, Before[0]);
  EXPECT_EQ(Synthesize(Cli, Lines[1].first, Lines[1].second).ETag, Before[1]);
  EXPECT_EQ(Synthesize(Cli, Lines[2].first, Lines[2].second).ETag, Before[2]);

  const TJson Listed = JsonOf(Cli.Get("/v1/lexicon"));
  EXPECT_EQ(Listed,
            (TJson{{"entries", {{{"language", "en"}, {"word", "pek"}, {"say", "Beijing"}}}}}));
  const auto Saved = ParseJsonObject(StripUtf8Bom(ReadFile(Daemon->Root() + "data/lexicon.json")));
  ASSERT_TRUE(Saved);
  EXPECT_EQ(JsonString(JsonChildObject(JsonChildObject(&*Saved, "languages"), "en"), "pek", ""),
            "Beijing");

  ASSERT_EQ(PutEntry(Cli, "en", "PEK", "")->status, 200);
  EXPECT_EQ(Synthesize(Cli, Lines[0].first, Lines[0].second).ETag, Before[0]);
  EXPECT_EQ(JsonOf(Cli.Get("/v1/lexicon")), (TJson{{"entries", TJson::array()}}));
}

TEST_F(LexiconDaemonTest, MalformedChangesAreRefusedAndChangeNothing) {
  httplib::Client Cli = ClientOf(*Daemon);
  ASSERT_EQ(PutEntry(Cli, "zh", "登机口", "登機口")->status, 200);
  const std::string FileBefore = ReadFile(Daemon->Root() + "data/lexicon.json");
  const std::string LongWord(65, 'x');
  const std::vector<std::string> Bodies = {
      "",
      "not json",
      "[]",
      R"({"word":"PEK","say":"x"})",
      R"({"language":"en","say":"x"})",
      R"({"language":"en","word":"PEK"})",
      R"({"language":"en","word":5,"say":"x"})",
      R"({"language":"en","word":"PEK","say":null})",
      R"({"language":"auto","word":"PEK","say":"x"})",
      R"({"language":"en","word":"  ","say":"x"})",
      R"({"language":"en","word":"line\nbreak","say":"x"})",
      R"({"language":"en","word":"PEK","say":"two\nlines"})",
      R"({"language":"en","word":")" + LongWord + R"(","say":"x"})",
  };
  for (const std::string& Body : Bodies) {
    const auto Res = Put(Cli, Body);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, 400) << Body;
    const TJson Reply = JsonOf(Res);
    EXPECT_EQ(JsonString(&Reply, "error", ""), "bad_json") << Body;
  }
  EXPECT_EQ(ReadFile(Daemon->Root() + "data/lexicon.json"), FileBefore);
  EXPECT_EQ(JsonOf(Cli.Get("/v1/lexicon")).at("entries").size(), 1u);
  EXPECT_EQ(Cli.Delete("/v1/lexicon")->status, 405);
  ASSERT_EQ(PutEntry(Cli, "zh", "登机口", "")->status, 200);
}

TEST(LexiconDaemonLife, AnUnreadableLexiconFileLeavesTheTablesAndIsKept) {
  TDaemon Daemon("lexicon-bad");
  ShipTextTables(Daemon);
  WriteFileAtomic(Daemon.Root() + "data/lexicon.json", "{\"languages\": [1, 2");
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = ClientOf(Daemon);
  EXPECT_EQ(SpokenBy(Cli, "text=CA1234+to+PEK&language=en"),
            "Air China one two three four to Beijing Capital");
  EXPECT_EQ(JsonOf(Cli.Get("/v1/lexicon")), (TJson{{"entries", TJson::array()}}));
  ASSERT_EQ(PutEntry(Cli, "en", "PEK", "Beijing")->status, 200);
  EXPECT_EQ(ReadFile(Daemon.Root() + "data/lexicon.json.unreadable"), "{\"languages\": [1, 2");
  EXPECT_EQ(SpokenBy(Cli, "text=CA1234+to+PEK&language=en"),
            "Air China one two three four to Beijing");
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0);
  EXPECT_NE(Daemon.Stderr().find("lexicon is not valid"), std::string::npos) << Daemon.Stderr();

  // The saved entry is there after a restart.
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Again = ClientOf(Daemon);
  EXPECT_EQ(SpokenBy(Again, "text=to+PEK&language=en"), "to Beijing");
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0);
}

TEST(LexiconDaemonLife, TheSwitchTurnsTheRulesOff) {
  TDaemon Daemon("lexicon-off", {{"synthesis", {{"normalizeText", false}}}});
  ShipTextTables(Daemon);
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = ClientOf(Daemon);
  EXPECT_EQ(SpokenBy(Cli, "text=CA1234+to+PEK&language=en"), "CA1234 to PEK");
  const TSpoken Ruled = Synthesize(Cli, "CA1234 to PEK", "en");
  EXPECT_EQ(Ruled.Spoken, "");
  EXPECT_EQ(Ruled.ETag, Synthesize(Cli, "CA1234 to PEK", "en", false).ETag);
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0);
}

// The bundled engine speaks the rewritten lines of all three languages.
TEST(LexiconDaemonLife, TheBundledEngineSpeaksTheRewrittenLines) {
  if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
  TDaemon Daemon("lexicon-engine");
  ShipTextTables(Daemon);
  InstallBundledEngine(Daemon);
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = ClientOf(Daemon);
  ASSERT_TRUE(WaitUntilReady(Cli, std::chrono::seconds(120))) << Daemon.Stderr();
  const std::vector<std::pair<TJson, std::string>> Lines = {
      {{{"text", "Flight CA1234 to PEK, gate B12"}, {"language", "en"}},
       "Flight Air China one two three four to Beijing Capital, gate B twelve"},
      {{{"text", "前往PVG的MU5101航班在12号登机口登机"}, {"language", "zh"}},
       "前往上海浦东的中国东方航空五幺零幺航班在十二号登机口登机"},
      {{{"text", "JL123便は14:35に出発します"}, {"language", "ja"}},
       "日本航空百二十三便は十四時三十五分に出発します"},
  };
  for (const auto& [Body, Spoken] : Lines) {
    const auto Res = Cli.Post("/v1/tts", Body.dump(), "application/json");
    ASSERT_TRUE(Res);
    ASSERT_EQ(Res->status, 200) << Res->body << Daemon.Stderr();
    EXPECT_NE(Res->get_header_value("X-Quavox-Engine"), "placeholder");
    EXPECT_EQ(Res->get_header_value("X-Quavox-Spoken"), Spoken);
    EXPECT_GT(Res->body.size(), 44u);
  }
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace quavox::test
