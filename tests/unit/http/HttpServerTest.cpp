// The request handling of the server in process, over a service in a temporary folder
// whose placeholder engine speaks: the per-minute budget on an injected clock, the
// request-log records of the synthesis endpoint and the last-resort error reply.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <mutex>
#include <tuple>

#include "core/Dispatcher.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "http/Http.h"
#include "platform/Loopback.h"
#include "service/Service.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLang(ulEn);
    Config = std::make_unique<TAppConfig>(TAppFolders{Root, Root + "appdata/"});
  }
  void TearDown() override {
    Server.reset();
    Service.reset();
    Config.reset();
    SetUiLang(ulAuto);
  }
  void Start(int32_t ARateLimit, int32_t APort = 17150) {
    TConfigSettings s = Config->Settings();
    s.RateLimitPerMinute = ARateLimit;
    s.BindAddress = "127.0.0.1";
    s.Port = APort;
    Config->SetSettings(s);
    Service = std::make_unique<TTtsService>(*Config);
    Server = std::make_unique<TTtsHttpServer>(*Service, [this] { return Now; });
  }
  THttpResponse Call(const std::string& AMethod, const std::string& APath,
                     const std::string& AQuery = {}, const std::string& ABody = {},
                     const std::string& APeer = "10.0.0.1", THttpHeaders AHeaders = {}) {
    THttpRequest Req;
    Req.Method = AMethod;
    Req.Path = APath;
    Req.Query = AQuery;
    Req.Body = ABody;
    Req.Peer = APeer;
    Req.Headers = std::move(AHeaders);
    THttpResponse Res;
    Server->HandleRequest(Req, Res);
    return Res;
  }
  static std::string ErrorOf(const THttpResponse& ARes) {
    const auto Json = ParseJsonObject(ARes.Body);
    return Json ? JsonString(&*Json, "error", "") : "";
  }

  const TTempDir RootDir{"quavox-http"};
  const std::string Root = RootDir.Path();
  std::chrono::steady_clock::time_point Now{std::chrono::hours(1000)};
  std::unique_ptr<TAppConfig> Config;
  std::unique_ptr<TTtsService> Service;
  std::unique_ptr<TTtsHttpServer> Server;
};

TEST_F(HttpServerTest, BudgetOfThreeRequestsPerMinute) {
  Start(3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Call("GET", "/v1/stats").Status, 200);
    EXPECT_EQ(Call("GET", "/health").Status, 200) << "health is never counted";
  }
  const THttpResponse Refused = Call("GET", "/v1/stats");
  EXPECT_EQ(Refused.Status, 429);
  EXPECT_EQ(Refused.Header("Retry-After"), "60");
  EXPECT_EQ(Refused.Body,
            "{\"error\":\"rate_limited\",\"message\":\"over the limit of 3 requests per minute\"}");
  EXPECT_EQ(Call("GET", "/nowhere").Status, 429) << "unknown paths are budgeted too";
  EXPECT_EQ(Call("POST", "/V1/HEALTH").Status, 200);
  EXPECT_EQ(Call("GET", "/v1/stats", {}, {}, "10.0.0.2").Status, 200) << "budgets are per client";

  Now += std::chrono::seconds(59);
  EXPECT_EQ(Call("GET", "/v1/stats").Status, 429) << "refused requests do not move the window";
  Now += std::chrono::seconds(1);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Call("GET", "/v1/stats").Status, 200) << "a new window after 60 s";
  EXPECT_EQ(Call("GET", "/v1/stats").Status, 429);
  EXPECT_EQ(Server->TrackedClients(), 2u);
}

TEST_F(HttpServerTest, NoBudgetRecordsNothing) {
  Start(0);
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(Call("GET", "/v1/stats", {}, {}, "10.0.0." + std::to_string(i)).Status, 200);
  EXPECT_EQ(Server->TrackedClients(), 0u);
  EXPECT_FALSE(Server->IsRateLimited("10.0.0.1"));
}

// Collects request-log records as the host's main thread would receive them.
class TRequestRecorder {
 public:
  TRequestRecorder() {
    TAppLog::SetDispatcher(FDispatcher);
    TAppLog::SetOnRequest([this](const TRequestLog& ARecord) {
      std::lock_guard Guard(FLock);
      FRecords.push_back(ARecord);
    });
  }
  ~TRequestRecorder() {
    TAppLog::SetOnRequest({});
    TAppLog::SetDispatcher(nullptr);
  }
  std::vector<TRequestLog> Records() {
    FDispatcher->Flush();
    std::lock_guard Guard(FLock);
    return FRecords;
  }

 private:
  std::shared_ptr<TThreadDispatcher> FDispatcher = std::make_shared<TThreadDispatcher>();
  std::mutex FLock;
  std::vector<TRequestLog> FRecords;
};

TEST_F(HttpServerTest, SynthesisRequestsLeaveOneRecordEach) {
  Start(0);
  TRequestRecorder Recorder;

  const THttpResponse Empty = Call("POST", "/v1/tts", {}, R"({"text":"  ","speed":9})");
  EXPECT_EQ(Empty.Status, 400);
  EXPECT_EQ(ErrorOf(Empty), "empty_text");
  EXPECT_EQ(Call("POST", "/v1/tts", {}, "[1,2]").Status, 400) << "no record for bad JSON";

  const THttpResponse First = Call("GET", "/v1/tts", "text=Gate+change&language=en&speed=9");
  ASSERT_EQ(First.Status, 200) << First.Body;
  ASSERT_TRUE(First.Binary);
  const THttpResponse Again = Call("GET", "/v1/tts", "text=Gate+change&language=en&speed=9", {},
                                   "10.0.0.1", {{"If-None-Match", First.Header("ETag")}});
  EXPECT_EQ(Again.Status, 304);
  EXPECT_EQ(Again.Header("X-Quavox-Result"), "ok");
  EXPECT_TRUE(Again.Body.empty());
  EXPECT_FALSE(Again.Binary);

  const auto Records = Recorder.Records();
  ASSERT_EQ(Records.size(), 3u);
  EXPECT_EQ(Records[0].Status, 400);
  EXPECT_EQ(Records[0].Route, "/v1/tts");
  EXPECT_EQ(Records[0].Peer, "10.0.0.1");
  EXPECT_FLOAT_EQ(Records[0].Speed, 9.0f) << "the speed as sent, before clamping";
  EXPECT_FALSE(Records[0].Note.empty());
  EXPECT_EQ(Records[1].Status, 200);
  EXPECT_EQ(Records[1].Language, "en");
  EXPECT_FALSE(Records[1].Voice.empty());
  EXPECT_GT(Records[1].AudioMs, 0);
  EXPECT_FALSE(Records[1].CacheHit);
  EXPECT_TRUE(Records[1].Note.empty());
  EXPECT_EQ(Records[2].Status, 304);
  EXPECT_EQ(Records[2].AudioMs, 0);
  EXPECT_TRUE(Records[2].CacheHit);
  EXPECT_EQ(Records[2].Voice, Records[1].Voice);
}

TEST_F(HttpServerTest, PrewarmForAMissingVoiceIsRefusedBeforeAnythingIsQueued) {
  Start(0);
  const THttpResponse Res =
      Call("POST", "/V1/Prewarm", {},
           R"({"items":[{"text":"Boarding"},{"text":"Gate","voice":"v-nonexistent"}]})");
  EXPECT_EQ(Res.Status, 400);
  EXPECT_EQ(ErrorOf(Res), "bad_voice");
  for (const TLogEntry& Entry : TAppLog::Entries())
    EXPECT_EQ(Entry.Text.rfind("unhandled exception", 0), std::string::npos) << Entry.Text;
}

// Replies that would hold more audio than one reply may, and bodies of more JSON values
// than any request needs, are refused before anything is made or parsed.
TEST_F(HttpServerTest, OversizedRepliesAndBodiesAreRefusedBeforeAnyWork) {
  Start(0);
  const std::string Long(2000, 'a');
  std::string Longer;  // East Asian characters take longest to speak
  for (int i = 0; i < 4000; ++i)
    Longer += "登";
  std::string Arrays = "{\"text\":\"Gate\",\"x\":[";
  for (std::size_t i = 0; i < MaxJsonValues; ++i)
    Arrays += "[],";
  Arrays += "[]]}";
  struct TCase {
    const char* Method;
    const char* Path;
    std::string Query;
    std::string Body;
    int Status;
    const char* Code;
  };
  const TCase Cases[] = {
      {"GET", "/v1/tts", "speed=0.5&sample_rate=192000&text=" + Long, "", 413, "text_too_long"},
      {"POST", "/v1/tts", "",
       TJson({{"text", Long}, {"speed", 0.5}, {"sample_rate", 192000}, {"format", "mp3"}}).dump(),
       413, "text_too_long"},
      {"POST", "/v1/prewarm", "",
       TJson({{"items", {{{"text", Long}, {"sample_rate", 192000}}}}, {"speed", 0.5}}).dump(), 413,
       "text_too_long"},
      {"POST", "/v1/announce", "",
       TJson({{"sample_rate", 192000},
              {"speed", 0.5},
              {"segments", {{{"text", Long}}, {{"text", Long}}}}})
           .dump(),
       413, "text_too_long"},
      {"POST", "/v1/audio/speech", "",
       // The OpenAI API's status for an input too long.
       TJson({{"input", Longer}, {"voice", "alloy"}, {"speed", 0.5}}).dump(), 400, "text_too_long"},
      {"POST", "/v1/tts", "", Arrays, 413, "payload_too_large"},
      {"POST", "/v1/audio/speech", "", Arrays, 413, "payload_too_large"},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(std::string(c.Method) + " " + c.Path + " " + c.Body.substr(0, 80));
    const THttpResponse Res = Call(c.Method, c.Path, c.Query, c.Body);
    EXPECT_EQ(Res.Status, c.Status) << Res.Body;
    EXPECT_NE(Res.Body.find(c.Code), std::string::npos) << Res.Body;
    if (c.Code == std::string("text_too_long")) {
      EXPECT_NE(Res.Body.find("60480000 samples"), std::string::npos) << Res.Body;
    }
  }
  EXPECT_EQ(Service->Stats().Total, 0);
  EXPECT_EQ(Service->PrewarmPending(), 0);
  EXPECT_EQ(Call("GET", "/v1/tts", "speed=0.5&sample_rate=192000&text=Gate+change").Status, 200);
}

// Replies being made hold their predicted memory until they are sent; a request that does
// not fit beside them is told to come back rather than admitted to grow the process.
TEST_F(HttpServerTest, RepliesBeyondTheMemoryBudgetAreToldToRetry) {
  TConfigSettings s = Config->Settings();
  s.ReplyMemoryMB = 1;
  Config->SetSettings(s);
  Start(0);
  ASSERT_EQ(Server->ReplyBudget().Limit(), 1 << 20);
  {
    TReplyBudget::TTicket Held;
    ASSERT_TRUE(Server->ReplyBudget().TryAdmit(1 << 19, Held));
    for (const auto& [Method, Path, Query, Body] :
         {std::tuple("GET", "/v1/tts", "text=Gate+change", ""),
          std::tuple("POST", "/v1/announce", "", R"({"segments":[{"text":"Gate"}]})")}) {
      const THttpResponse Busy = Call(Method, Path, Query, Body);
      EXPECT_EQ(Busy.Status, 503) << Path << " " << Busy.Body;
      EXPECT_EQ(ErrorOf(Busy), "queue_full") << Path;
      EXPECT_EQ(Busy.Header("Retry-After"), "5") << Path;
      EXPECT_NE(Busy.Body.find("replyMemoryMB"), std::string::npos) << Busy.Body;
    }
    EXPECT_EQ(Server->ReplyBudget().InUse(), 1 << 19) << "refusals hold nothing";
  }
  EXPECT_EQ(Call("GET", "/v1/tts", "text=Gate+change").Status, 200);
  EXPECT_EQ(Server->ReplyBudget().InUse(), 0) << "a sent reply gives its share back";
}

// Start and Stop alternate as the desktop program's buttons make them; a kept-alive idle
// client does not hold Stop up, and the budgets survive a restart.
TEST_F(HttpServerTest, StartsStopsAndStartsAgain) {
  const int Port = UnusedLoopbackPort();
  Start(2, Port);
  EXPECT_FALSE(Server->Running());
  Server->Start();
  ASSERT_TRUE(Server->Running());
  EXPECT_EQ(Server->Endpoint(), "http://127.0.0.1:" + std::to_string(Port));
  Server->Start();  // already running: nothing happens
  httplib::Client Cli("127.0.0.1", Port);
  Cli.set_keep_alive(true);
  ASSERT_TRUE(Cli.Get("/v1/stats"));
  EXPECT_EQ(Cli.Get("/v1/stats")->status, 200);

  Server->Stop();
  EXPECT_FALSE(Server->Running());
  EXPECT_FALSE(httplib::Client("127.0.0.1", Port).Get("/health"));
  Server->Stop();  // not running: nothing happens

  Server->Start();
  ASSERT_TRUE(Server->Running());
  const auto Res = Cli.Get("/v1/stats");
  ASSERT_TRUE(Res);
  EXPECT_EQ(Res->status, 429) << "the budget window outlives the restart";
  EXPECT_EQ(Cli.Get("/health")->status, 200);
  Server->Stop();
}

TEST_F(HttpServerTest, TakenPortRaisesTheThreeLineMessage) {
  const int Port = UnusedLoopbackPort();
  Start(0, Port);
  Server->Start();
  TTtsHttpServer Second(*Service);
  try {
    Second.Start();
    FAIL() << "a second server started on a taken port";
  } catch (const std::runtime_error& E) {
    EXPECT_EQ(std::string(E.what()),
              "Port " + std::to_string(Port) +
                  " is already in use.\r\nEither another Quavox is already running (check the "
                  "tray),\r\nor another program is using this port — you can choose another "
                  "port in \"Settings\".");
  }
  EXPECT_FALSE(Second.Running());
  EXPECT_TRUE(Server->Running());

  TConfigSettings s = Config->Settings();
  s.BindAddress = "256.1.1.1";
  Config->SetSettings(s);
  TTtsHttpServer Third(*Service);
  try {
    Third.Start();
    FAIL() << "started on an address that cannot exist";
  } catch (const std::runtime_error& E) {
    EXPECT_EQ(std::string(E.what()).find("\r\n"), std::string::npos) << E.what();
  }
  EXPECT_FALSE(Third.Running());
}

}  // namespace
}  // namespace quavox
