// Many clients at once against the real quavoxd: one client address sending many lines
// cannot take the whole synthesis queue from the others, first lines that need the same
// default voice make it once, and idle connections cannot take every descriptor.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "Daemon.h"

namespace quavox::test {
namespace {

using namespace std::chrono_literals;

TJson JsonOf(const httplib::Result& ARes) {
  if (!ARes) return TJson();
  const auto Json = ParseJsonObject(ARes->body);
  return Json ? *Json : TJson();
}

std::string ErrorOf(const httplib::Result& ARes) {
  const TJson Body = JsonOf(ARes);
  return Body.is_object() ? JsonString(&Body, "error", "") : "";
}

std::string CloneVoice(httplib::Client& ACli) {
  const TJson Order = {
      {"display", "Shared queue voice"},
      {"language", "en"},
      {"clips", {{{"audio", Base64(TremoloToneWav(200))}, {"text", "A test tone."}}}}};
  const auto Res = ACli.Post("/v1/voices/clone", Order.dump(), "application/json");
  const TJson Voice = JsonOf(Res);
  return Voice.is_object() ? JsonString(&Voice, "id", "") : "";
}

std::future<httplib::Result> SpeakFrom(const TDaemon& ADaemon, const std::string& ASource,
                                       const std::string& ATarget) {
  return std::async(std::launch::async, [&ADaemon, ASource, ATarget] {
    httplib::Client Cli = ADaemon.ClientFrom(ASource);
    return Cli.Get(ATarget.c_str());
  });
}

// The body of the first reply of the flood that came back 503, once one has.
TJson FirstRefusal(std::vector<std::future<httplib::Result>>& AFlood) {
  const auto Deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < Deadline) {
    for (auto& Reply : AFlood) {
      if (!Reply.valid() || Reply.wait_for(10ms) != std::future_status::ready) continue;
      const httplib::Result Res = Reply.get();
      if (Res && Res->status == 503) return JsonOf(Res);
    }
  }
  return TJson();
}

int StatusOf(const httplib::Result& ARes) {
  return ARes ? ARes->status : 0;
}

TEST(SharingDaemonTest, ASecondAddressIsServedWhileTheFirstFillsItsShareOfTheQueue) {
  if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
  TDaemon Daemon(
      "fair-queue",
      {{"engine", {{"extraArgs", "--test-answer-delay-ms 1000"}}},
       {"synthesis", {{"queueLimit", 4}, {"queueClientShare", 2}, {"queueHighReserve", 1}}}});
  InstallBundledEngine(Daemon);
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = Daemon.Client();
  const std::string Voice = CloneVoice(Cli);
  ASSERT_FALSE(Voice.empty());
  ASSERT_TRUE(WaitUntilReady(Cli, 120s)) << Daemon.Stderr();

  // One address sends six new lines at once: one runs, its share waits, the rest are refused.
  std::vector<std::future<httplib::Result>> Flood;
  for (int i = 0; i < 6; ++i)
    Flood.push_back(SpeakFrom(Daemon, "127.0.0.2",
                              "/v1/tts?voice=" + Voice + "&text=Flood+line+" + std::to_string(i)));
  const TJson Refusal = FirstRefusal(Flood);
  ASSERT_TRUE(Refusal.is_object()) << "the flooding address was never refused";
  EXPECT_EQ(JsonString(&Refusal, "error", ""), "queue_full");

  // A second address still gets its new lines in, a normal one and a high-priority one.
  auto Normal = SpeakFrom(Daemon, "127.0.0.3", "/v1/tts?voice=" + Voice + "&text=Second+client");
  auto High = SpeakFrom(Daemon, "127.0.0.3",
                        "/v1/tts?voice=" + Voice + "&text=Second+client+urgent&priority=high");
  const httplib::Result NormalReply = Normal.get();
  const httplib::Result HighReply = High.get();
  EXPECT_EQ(StatusOf(NormalReply), 200) << (NormalReply ? NormalReply->body : "no reply");
  EXPECT_EQ(StatusOf(HighReply), 200) << (HighReply ? HighReply->body : "no reply");
  for (auto& Reply : Flood)
    if (Reply.valid()) Reply.wait();
}

// Lines for languages and genders no voice is bound for yet, all at once, from one address.
std::vector<httplib::Result> FirstLines(const TDaemon& ADaemon) {
  std::vector<std::future<httplib::Result>> Lines;
  for (int i = 0; i < 8; ++i)
    Lines.push_back(SpeakFrom(ADaemon, "127.0.0.1",
                              std::string("/v1/tts?language=") + (i % 2 ? "ja" : "en") +
                                  "&gender=" + (i % 4 < 2 ? "female" : "male") +
                                  "&text=First+line+" + std::to_string(i)));
  std::vector<httplib::Result> Replies;
  for (auto& Line : Lines)
    Replies.push_back(Line.get());
  return Replies;
}

TEST(SharingDaemonTest, ConcurrentFirstLinesMakeEachDefaultVoiceOnce) {
  if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
  TDaemon Daemon("default-once", {{"engine", {{"extraArgs", "--test-answer-delay-ms 300"}}}});
  InstallBundledEngine(Daemon);
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = Daemon.Client();
  ASSERT_TRUE(WaitUntilReady(Cli, 120s)) << Daemon.Stderr();
  for (const httplib::Result& Reply : FirstLines(Daemon))
    EXPECT_EQ(StatusOf(Reply), 200) << (Reply ? Reply->body : "no reply");
  const TJson Voices = JsonOf(Cli.Get("/v1/voices"));
  EXPECT_EQ(JsonInteger(&Voices, "count", -1), 4) << "one per language and gender";
}

TEST(SharingDaemonTest, ConcurrentFirstLinesWhileTheEngineLoadsAreToldToRetry) {
  if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
  TDaemon Daemon("default-loading", {{"engine", {{"extraArgs", "--test-ready-delay-ms 600000"}}}});
  InstallBundledEngine(Daemon);
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  for (const httplib::Result& Reply : FirstLines(Daemon)) {
    EXPECT_EQ(StatusOf(Reply), 503) << (Reply ? Reply->body : "no reply");
    EXPECT_EQ(ErrorOf(Reply), "engine_not_connected");
  }
}

// A pre-bake call is queued whole or refused whole: beyond the address's share, or beyond
// the backlog of all clients together.
TEST(SharingDaemonTest, ThePrebakeBacklogIsBoundedPerAddressAndInAll) {
  TDaemon Daemon("prewarm-bound",
                 {{"synthesis", {{"prewarmLimit", 5}, {"prewarmClientShare", 3}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  const auto Items = [](const std::string& AName, int ACount) {
    TJson List = TJson::array();
    for (int i = 0; i < ACount; ++i)
      List.push_back({{"text", AName + " line " + std::to_string(i)}});
    return TJson({{"language", "en"}, {"items", List}}).dump();
  };
  const struct {
    const char* Source;
    int Count;
    int Status;
  } Cases[] = {{"127.0.0.2", 4, 503}, {"127.0.0.3", 6, 503}, {"127.0.0.2", 3, 202}};
  for (const auto& Case : Cases) {
    httplib::Client Cli = Daemon.ClientFrom(Case.Source);
    const auto Res = Cli.Post("/v1/prewarm", Items(Case.Source, Case.Count), "application/json");
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, Case.Status) << Case.Source << " " << Case.Count << ": " << Res->body;
    if (Case.Status == 503) {
      EXPECT_EQ(ErrorOf(Res), "queue_full") << Res->body;
    }
  }
}

// A connection from ASource that sends nothing.
class TIdleConnection {
 public:
  TIdleConnection(int APort, const char* ASource) {
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    inet_pton(AF_INET, ASource, &Addr.sin_addr);
    ::bind(FFd, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr);
    Addr.sin_port = htons(static_cast<uint16_t>(APort));
    inet_pton(AF_INET, "127.0.0.1", &Addr.sin_addr);
    FConnected = ::connect(FFd, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) == 0;
  }
  ~TIdleConnection() { ::close(FFd); }
  TIdleConnection(const TIdleConnection&) = delete;
  TIdleConnection& operator=(const TIdleConnection&) = delete;
  bool Connected() const { return FConnected; }

 private:
  int FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool FConnected = false;
};

std::string StatusLineOf(const std::string& AReply) {
  return AReply.substr(0, AReply.find("\r\n"));
}

TEST(SharingDaemonTest, ConnectionsBeyondTheServerLimitAreRefusedButHealthIsAnswered) {
  TDaemon Daemon("connection-limit",
                 {{"server", {{"maxConnections", 4}, {"maxConnectionsPerClient", 0}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  const std::string Stats = "GET /v1/stats HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  const std::string Health = "GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  {
    // Connections are admitted in the order they arrive, so these take every place.
    std::vector<std::unique_ptr<TIdleConnection>> Idle;
    for (const char* Source : {"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3"}) {
      Idle.push_back(std::make_unique<TIdleConnection>(Daemon.Port(), Source));
      ASSERT_TRUE(Idle.back()->Connected());
    }
    const std::string Refused = RawExchange(Daemon.Port(), Stats);
    EXPECT_EQ(StatusLineOf(Refused), "HTTP/1.1 503 Service Unavailable") << Refused;
    EXPECT_NE(Refused.find("too_many_connections"), std::string::npos) << Refused;
    EXPECT_NE(Refused.find("Retry-After: 10"), std::string::npos) << Refused;
    EXPECT_EQ(StatusLineOf(RawExchange(Daemon.Port(), Health)), "HTTP/1.1 200 OK")
        << "a monitor is answered by a full server";
  }
  // Once the idle connections are gone, everyone is served again.
  std::string Reply;
  const auto Deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < Deadline &&
         StatusLineOf(Reply = RawExchange(Daemon.Port(), Stats)) != "HTTP/1.1 200 OK")
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(StatusLineOf(Reply), "HTTP/1.1 200 OK") << Reply;
}

}  // namespace
}  // namespace quavox::test
