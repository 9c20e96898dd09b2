// Signals an administrator sends to a running daemon: SIGHUP re-reads the configuration,
// SIGTERM lets every request in service finish.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "Daemon.h"
#include "state/Json.h"

namespace quavox::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Until at least AWaiting syntheses wait in the queue.
bool WaitForQueue(const TDaemon& ADaemon, int AWaiting) {
  httplib::Client Cli = ADaemon.Client();
  for (int i = 0; i < 2000; ++i) {
    const auto Res = Cli.Get("/v1/stats");
    const auto Stats = Res ? ParseJsonObject(Res->body) : std::nullopt;
    if (Stats && JsonInteger(&*Stats, "queue_depth", 0) >= AWaiting) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

TEST(RestartDaemon, SighupAppliesTheEditedFileAndTheApiKeepsTheEdit) {
  TDaemon Daemon("sighup", {{"synthesis", {{"maxTextLength", 5000}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = Daemon.Client();
  const std::string Long = "/v1/tts?text=" + std::string(30, 'a') + "&language=en";
  ASSERT_EQ(Cli.Get(Long)->status, 200) << Daemon.Stderr();

  EditConfig(Daemon, "synthesis", "maxTextLength", 20);
  EditConfig(Daemon, "server", "rateLimitPerMinute", 12345);
  // An API change before the reload merges into the edited file instead of writing the old
  // values back.
  const auto Put = Cli.Put("/v1/defaults", R"({"language":"fr","male":""})", "application/json");
  ASSERT_TRUE(Put);
  EXPECT_EQ(Put->status, 200) << Put->body;
  const TJson Saved = ConfigJson(Daemon);
  EXPECT_EQ(Saved["synthesis"]["maxTextLength"], 20) << ConfigText(Daemon);
  EXPECT_EQ(Saved["server"]["rateLimitPerMinute"], 12345) << ConfigText(Daemon);

  EditConfig(Daemon, "synthesis", "maxTextLength", 10);
  ::kill(Daemon.Pid(), SIGHUP);
  ASSERT_TRUE(WaitForLine(Daemon, "SIGHUP received")) << Daemon.Stderr();
  ASSERT_TRUE(WaitForLine(Daemon, "config loaded")) << Daemon.Stderr();
  EXPECT_TRUE(Daemon.Alive());
  const auto Refused = Cli.Get(Long);
  ASSERT_TRUE(Refused) << Daemon.Stderr();
  EXPECT_EQ(Refused->status, 413) << Refused->body;
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0) << Daemon.Stderr();
}

// An empty state folder, as a packaged install starts with: the text tables and the bundled
// engine come from beside the executable, and nothing shipped is copied into the state.
TEST(StateFolderDaemon, ShippedFilesServeAnEmptyStateFolder) {
  TDaemon Daemon("state-only");
  Daemon.UseShippedFiles();
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = Daemon.Client();
  const auto Res = Cli.Get("/v1/normalize?text=Flight%20CA1234&language=en");
  ASSERT_TRUE(Res);
  const auto Reply = ParseJsonObject(Res->body);
  ASSERT_TRUE(Reply) << Res->body;
  EXPECT_EQ(JsonString(&*Reply, "spoken", ""), "Flight Air China one two three four");
  if (BundledEngineBuilt()) {
    EXPECT_TRUE(WaitUntilReady(Cli, 120s)) << Daemon.Stderr();
    const auto Wav = Cli.Get("/v1/tts?text=Flight+CA1234&language=en");
    ASSERT_TRUE(Wav);
    EXPECT_EQ(Wav->status, 200);
    EXPECT_EQ(Wav->get_header_value("X-Quavox-Engine").find("placeholder"), std::string::npos);
  }
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0) << Daemon.Stderr();
  for (const char* Shipped : {"text", "engine", "models"})
    EXPECT_FALSE(fs::exists(Daemon.Root() + Shipped)) << Shipped;
}

struct TStopReply {
  int Status = 0;
  std::string Body;
};

// Sends SIGTERM while ARequests syntheses through the real engine are in service, half of
// them or more still waiting in the queue, and collects what each client received.
std::vector<TStopReply> SigtermWithRequestsInService(const std::string& AName, int ARequests,
                                                     int AGraceSeconds) {
  TDaemon Daemon(
      AName, {{"server", {{"rateLimitPerMinute", 0}, {"shutdownGraceSeconds", AGraceSeconds}}}});
  InstallBundledEngine(Daemon);
  EXPECT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Ready = Daemon.Client();
  EXPECT_TRUE(WaitUntilReady(Ready, 120s)) << Daemon.Stderr();

  std::atomic<int> Sent{0};
  std::vector<TStopReply> Replies(ARequests);
  std::vector<std::thread> Clients;
  for (int i = 0; i < ARequests; ++i) {
    Clients.emplace_back([&, i] {
      httplib::Client Cli = Daemon.Client();
      Cli.set_read_timeout(120s);
      ++Sent;
      const auto Res =
          Cli.Get("/v1/tts?language=en&text=Gate+change+number+" + std::to_string(i + 1));
      if (Res) Replies[i] = {Res->status, Res->body};
    });
  }
  while (Sent.load() < ARequests)
    std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(WaitForQueue(Daemon, ARequests / 2)) << Daemon.Stderr();
  ::kill(Daemon.Pid(), SIGTERM);
  for (std::thread& t : Clients)
    t.join();
  EXPECT_EQ(Daemon.Wait(), 0) << Daemon.Stderr();
  return Replies;
}

bool IsWholeWav(const TStopReply& AReply) {
  return AReply.Status == 200 && AReply.Body.size() > 44 && AReply.Body.starts_with("RIFF");
}

// Within the grace period every request in service gets its whole reply.
TEST(RestartDaemon, SigtermFinishesEveryRequestInService) {
  if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
  constexpr int Requests = 10;
  const std::vector<TStopReply> Replies = SigtermWithRequestsInService("sigterm", Requests, 20);
  const auto Completed = std::count_if(Replies.begin(), Replies.end(), IsWholeWav);
  std::printf("requests in service at SIGTERM that completed: %d of %d\n",
              static_cast<int>(Completed), Requests);
  EXPECT_EQ(Completed, Requests);
}

// Past the grace period (none here) the waiting requests get an error reply with its body,
// never a status line alone or a reset, and the daemon still ends cleanly.
TEST(RestartDaemon, SigtermPastTheGracePeriodAnswersTheRestWithAnError) {
  if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
  int Refused = 0;
  for (const TStopReply& Reply : SigtermWithRequestsInService("sigterm-grace", 10, 0)) {
    if (IsWholeWav(Reply)) continue;
    const auto Error = ParseJsonObject(Reply.Body);
    ASSERT_TRUE(Error.has_value()) << Reply.Status << " " << Reply.Body.size() << " bytes";
    EXPECT_GE(Reply.Status, 500) << Reply.Body;
    EXPECT_FALSE(JsonString(&*Error, "error", "").empty()) << Reply.Body;
    ++Refused;
  }
  EXPECT_GE(Refused, 1);
}

}  // namespace
}  // namespace quavox::test
