// What a server's operator sees of the real quavoxd: the access log, the Prometheus
// metrics (checked by promtool and scraped by a real Prometheus when they are installed),
// the API keys, and dated lines on standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Daemon.h"
#include "platform/Files.h"
#include "state/Json.h"

extern char** environ;

namespace quavox::test {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& AFileName) {
  std::ifstream In(AFileName, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

std::vector<TJson> AccessLines(const TDaemon& ADaemon) {
  std::vector<TJson> Lines;
  std::istringstream In(ReadText(ADaemon.Root() + "logs/access.log"));
  std::string Line;
  while (std::getline(In, Line)) {
    const auto Json = ParseJsonObject(Line);
    EXPECT_TRUE(Json.has_value()) << Line;
    if (Json) Lines.push_back(*Json);
  }
  return Lines;
}

// The value of one sample line of the exposition text, or -1.
double Sample(const std::string& AText, const std::string& ASeries) {
  std::istringstream In(AText);
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind(ASeries + " ", 0) == 0) return std::stod(Line.substr(ASeries.size() + 1));
  return -1;
}

// Runs a program with its output in AOut; its exit code, or -1 when it cannot start.
int RunProgram(const std::vector<std::string>& AArgs, const std::string& AOutFile) {
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 1, AOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&Actions, 1, 2);
  std::vector<char*> Argv;
  for (const std::string& Arg : AArgs)
    Argv.push_back(const_cast<char*>(Arg.c_str()));
  Argv.push_back(nullptr);
  pid_t Pid = -1;
  const int Failed = posix_spawnp(&Pid, Argv[0], &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  if (Failed != 0) return -1;
  int Status = 0;
  waitpid(Pid, &Status, 0);
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

bool Installed(const std::string& AProgram) {
  for (const char* Dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
    if (fs::exists(std::string(Dir) + AProgram)) return true;
  return false;
}

TEST(OperationsDaemon, AccessLogHasOneDatedLinePerRequestWithoutTheText) {
  TDaemon Daemon("access", {{"server", {{"accessLog", "file"}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  auto Cli = Daemon.Client();
  const std::string Target = "/v1/tts?text=Gate%20B12%20secret&lang=en";
  auto First = Cli.Get(Target);
  ASSERT_TRUE(First && First->status == 200);
  auto Second = Cli.Get(Target);
  ASSERT_TRUE(Second && Second->status == 200);
  auto Unchanged = Cli.Get(Target, {{"If-None-Match", First->get_header_value("ETag")}});
  ASSERT_TRUE(Unchanged && Unchanged->status == 304);
  auto Missing = Cli.Get("/no/such/path");
  ASSERT_TRUE(Missing && Missing->status == 404);
  // Refusals of the transport itself are logged as well.
  EXPECT_EQ(RawExchange(Daemon.Port(),
                        "POST /v1/tts HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n")
                .rfind("HTTP/1.1 413", 0),
            0u);

  const std::vector<TJson> Lines = AccessLines(Daemon);
  std::vector<TJson> Tts;
  EXPECT_EQ(ReadText(Daemon.Root() + "logs/access.log").find("secret"), std::string::npos);
  for (const TJson& Line : Lines) {
    // A date, the time and the zone's offset: 2026-12-10T09:05:07.045+01:00.
    const std::string Time = JsonString(&Line, "time", "");
    EXPECT_EQ(Time.size(), 29u) << Time;
    EXPECT_EQ(Time[10], 'T') << Time;
    EXPECT_EQ(JsonString(&Line, "client", ""), "127.0.0.1");
    if (JsonString(&Line, "path", "") == "/v1/tts" && JsonString(&Line, "method", "") == "GET")
      Tts.push_back(Line);
  }
  ASSERT_EQ(Tts.size(), 3u);
  struct TCase {
    int64_t Status;
    const char* Cache;
    bool WithBytes;
  };
  const TCase Cases[] = {{200, "miss", true}, {200, "hit", true}, {304, "", false}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(JsonInteger(&Tts[i], "status", 0), Cases[i].Status);
    EXPECT_EQ(JsonString(&Tts[i], "cache", ""), Cases[i].Cache);
    EXPECT_EQ(JsonInteger(&Tts[i], "bytes", 0) > 0, Cases[i].WithBytes);
    EXPECT_TRUE(Tts[i].contains("ms"));
  }
  EXPECT_FALSE(JsonString(&Tts[0], "voice", "").empty());
  EXPECT_GE(JsonInteger(&Tts[0], "engine_ms", -1), 0);
  const bool NotFoundLogged = std::any_of(Lines.begin(), Lines.end(), [](const TJson& L) {
    return JsonInteger(&L, "status", 0) == 404 && JsonString(&L, "path", "") == "/no/such/path";
  });
  EXPECT_TRUE(NotFoundLogged);
  const bool RefusalLogged = std::any_of(Lines.begin(), Lines.end(), [](const TJson& L) {
    return JsonInteger(&L, "status", 0) == 413 && JsonString(&L, "method", "") == "POST";
  });
  EXPECT_TRUE(RefusalLogged);
  EXPECT_EQ(
      Sample(Cli.Get("/metrics")->body, "quavox_http_refusals_total{reason=\"payload_too_large\"}"),
      1);

  Daemon.Stop();
  // Every event line on standard error starts with its date.
  std::istringstream Err(Daemon.Stderr());
  std::string Line;
  int Dated = 0;
  while (std::getline(Err, Line)) {
    if (Line.find(" [INFO] ") == std::string::npos) continue;
    EXPECT_EQ(Line[4], '-') << Line;
    EXPECT_EQ(Line[10], 'T') << Line;
    ++Dated;
  }
  EXPECT_GT(Dated, 0);
}

TEST(OperationsDaemon, MetricsCountRequestsAndPassPromtool) {
  TDaemon Daemon("metrics", {{"server", {{"accessLog", "off"}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  auto Cli = Daemon.Client();
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(Cli.Get("/v1/tts?text=Boarding%20now&lang=en")->status, 200);
  ASSERT_EQ(Cli.Get("/v1/stats")->status, 200);
  auto Metrics = Cli.Get("/metrics");
  ASSERT_TRUE(Metrics && Metrics->status == 200);
  EXPECT_EQ(Metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string& Text = Metrics->body;
  EXPECT_EQ(Sample(Text, "quavox_http_requests_total{route=\"/v1/tts\",status=\"200\"}"), 2);
  EXPECT_EQ(Sample(Text, "quavox_http_requests_total{route=\"/v1/stats\",status=\"200\"}"), 1);
  EXPECT_EQ(Sample(Text, "quavox_http_audio_replies_total{cache=\"hit\"}"), 1);
  EXPECT_EQ(Sample(Text, "quavox_http_audio_replies_total{cache=\"miss\"}"), 1);
  EXPECT_EQ(Sample(Text, "quavox_synthesis_seconds_count"), 2);
  EXPECT_EQ(Sample(Text, "quavox_engine_seconds_count"), 1);
  EXPECT_EQ(Sample(Text, "quavox_cache_entries"), 1);
  EXPECT_EQ(Sample(Text, "quavox_queue_depth"), 0);
  // No engine installed in this folder: the placeholder answers.
  EXPECT_EQ(Sample(Text, "quavox_engine_state{state=\"missing\"}"), 1);
  EXPECT_EQ(Sample(Text, "quavox_engine_placeholder"), 1);
  EXPECT_EQ(Sample(Text, "quavox_engine_restarts"), 0);
  EXPECT_GE(Sample(Text, "quavox_http_open_connections"), 1);
  EXPECT_GT(Sample(Text, "process_resident_memory_bytes"), 0);
  if (!Installed("promtool")) GTEST_SKIP() << "promtool is not installed";
  const std::string File = Daemon.Root() + "metrics.txt";
  WriteFileAtomic(File, Text);
  const std::string Out = Daemon.Root() + "promtool.txt";
  EXPECT_EQ(RunProgram({"sh", "-c", "promtool check metrics < " + File}, Out), 0) << ReadText(Out);
}

TEST(OperationsDaemon, RealPrometheusScrapesTheMetrics) {
  if (!Installed("prometheus")) GTEST_SKIP() << "prometheus is not installed";
  TDaemon Daemon("scrape", {{"server", {{"accessLog", "off"}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  const std::string Folder = Daemon.Root() + "prometheus/";
  fs::create_directories(Folder);
  WriteFileAtomic(Folder + "prometheus.yml",
                  "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: quavox\n"
                  "    static_configs:\n      - targets: ['127.0.0.1:" +
                      std::to_string(Daemon.Port()) + "']\n");
  const int Port = UnusedLoopbackPort();
  std::vector<std::string> Args = {"prometheus", "--config.file=" + Folder + "prometheus.yml",
                                   "--storage.tsdb.path=" + Folder + "data",
                                   "--web.listen-address=127.0.0.1:" + std::to_string(Port)};
  std::vector<char*> Argv;
  for (std::string& Arg : Args)
    Argv.push_back(Arg.data());
  Argv.push_back(nullptr);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 2, (Folder + "stderr.log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t Pid = -1;
  ASSERT_EQ(posix_spawnp(&Pid, Argv[0], &Actions, nullptr, Argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&Actions);

  httplib::Client Prometheus("127.0.0.1", Port);
  Prometheus.set_connection_timeout(0, 200000);
  bool Arrived = false;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!Arrived && std::chrono::steady_clock::now() < Deadline) {
    auto Res = Prometheus.Get("/api/v1/query?query=quavox_cache_entries");
    Arrived = Res && Res->status == 200 && Res->body.find("\"quavox\"") != std::string::npos;
    if (!Arrived) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  kill(Pid, SIGTERM);
  int Status = 0;
  waitpid(Pid, &Status, 0);
  EXPECT_TRUE(Arrived) << ReadText(Folder + "stderr.log");
}

std::string BearerOf(const std::string& AKey) {
  return "Bearer " + AKey;
}

TEST(OperationsDaemon, ApiKeysGuardEveryPathButHealthAndMetrics) {
  TTempDir KeyDir("quavox-keys");
  WriteFileAtomic(KeyDir.Path() + "keys", "# the announcement system\nfile-key\n\n");
  TDaemon Daemon("keys", {{"server",
                           {{"apiKeys", {"inline-key"}},
                            {"apiKeysFile", KeyDir.Path() + "keys"},
                            {"accessLog", "file"},
                            {"debugLog", true}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  auto Cli = Daemon.Client();
  struct TCase {
    const char* Method;
    const char* Path;
    const char* Key;  // nullptr: no Authorization header
    int Status;
  };
  const TCase Cases[] = {
      {"GET", "/health", nullptr, 200},           {"GET", "/v1/health", nullptr, 200},
      {"GET", "/metrics", nullptr, 200},          {"GET", "/v1/stats", nullptr, 401},
      {"GET", "/v1/stats", "wrong-key", 401},     {"GET", "/v1/stats", "inline-ke", 401},
      {"GET", "/v1/stats", "inline-key", 200},    {"GET", "/v1/stats", "file-key", 200},
      {"GET", "/v1/voices", nullptr, 401},        {"GET", "/no/such/path", nullptr, 401},
      {"POST", "/v1/audio/speech", nullptr, 401}, {"GET", "/v1/models", "file-key", 200},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(std::string(Case.Method) + " " + Case.Path);
    httplib::Request Req;
    Req.method = Case.Method;
    Req.path = Case.Path;
    if (Case.Key != nullptr) Req.set_header("Authorization", BearerOf(Case.Key));
    auto Res = Cli.send(Req);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, Case.Status);
    if (Case.Status != 401) continue;
    EXPECT_EQ(Res->get_header_value("WWW-Authenticate"), "Bearer");
    const auto Body = ParseJsonObject(Res->body);
    ASSERT_TRUE(Body.has_value()) << Res->body;
    if (std::string_view(Case.Path) == "/v1/audio/speech") {
      const TJson* Error = JsonChildObject(&*Body, "error");
      ASSERT_NE(Error, nullptr) << Res->body;
      EXPECT_EQ(JsonString(Error, "code", ""), "invalid_api_key");
    } else {
      EXPECT_EQ(JsonString(&*Body, "error", ""), "unauthorized");
    }
  }
  auto Metrics = Cli.Get("/metrics");
  EXPECT_EQ(Sample(Metrics->body, "quavox_http_refusals_total{reason=\"unauthorized\"}"), 6);
  // With debugLog on, each refusal is a debug line that names the request, never a key.
  auto Log = Cli.Get("/v1/log?lines=2000", {{"Authorization", "Bearer inline-key"}});
  ASSERT_TRUE(Log && Log->status == 200);
  EXPECT_NE(Log->body.find("[DEBUG] http: GET /v1/stats from 127.0.0.1 refused: a wrong API key"),
            std::string::npos)
      << Log->body;
  EXPECT_EQ(Log->body.find("wrong-key"), std::string::npos);
  Daemon.Stop();
  EXPECT_EQ(ReadText(Daemon.Root() + "logs/access.log").find("key"), std::string::npos);
  EXPECT_EQ(Daemon.Stderr().find("file-key"), std::string::npos);
  EXPECT_EQ(Daemon.Stderr().find("inline-key"), std::string::npos);
}

TEST(OperationsDaemon, MetricsCanRequireAKey) {
  TDaemon Daemon("metricskey", {{"server", {{"apiKeys", {"k"}}, {"metricsRequireKey", true}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  auto Cli = Daemon.Client();
  EXPECT_EQ(Cli.Get("/metrics")->status, 401);
  EXPECT_EQ(Cli.Get("/metrics", {{"Authorization", "Bearer k"}})->status, 200);
  EXPECT_EQ(Cli.Get("/health")->status, 200);
  // Debug lines are off by default.
  auto Log = Cli.Get("/v1/log?lines=2000", {{"Authorization", "Bearer k"}});
  ASSERT_TRUE(Log && Log->status == 200);
  EXPECT_EQ(Log->body.find("[DEBUG]"), std::string::npos) << Log->body;
}

}  // namespace
}  // namespace quavox::test
