// Three real daemons with the bundled engine, on 127.0.0.2 to .4, behind HAProxy on 127.0.0.1
// with deploy/cluster's configuration: the first node is the primary, the others follow it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "Daemon.h"
#include "platform/Loopback.h"
#include "state/Json.h"

extern char** environ;

namespace quavox::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto ReadyLimit = std::chrono::seconds(60);
constexpr auto FollowLimit = std::chrono::seconds(20);
constexpr int Lines = 30;
const char* const NodeNames[] = {"n1", "n2", "n3"};

std::string HaproxyPath() {
  for (const char* Path : {"/usr/sbin/haproxy", "/usr/bin/haproxy"})
    if (access(Path, X_OK) == 0) return Path;
  return {};
}

std::string ReadText(const std::string& AFile) {
  std::ifstream In(AFile);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

std::string Replaced(std::string AText, const std::string& AFrom, const std::string& ATo) {
  AText.replace(AText.find(AFrom), AFrom.size(), ATo);
  return AText;
}

// HAProxy with the shipped configuration, its placeholders filled in.
class THaproxy {
 public:
  THaproxy(const std::vector<std::pair<std::string, const TDaemon*>>& ANodes) {
    const std::string Here = QUAVOX_SOURCE_DIR "/deploy/cluster/";
    fs::copy_file(Here + "quavox-clip.lua", FFolder.Path("quavox-clip.lua"));
    std::string Servers;
    for (const auto& [Name, Node] : ANodes)
      Servers += "    server " + Name + " " + Node->Host() + ":" + std::to_string(Node->Port()) +
                 " check\n";
    FPort = UnusedLoopbackPort();
    std::string Config = Replaced(ReadText(Here + "haproxy.cfg.in"), "@LISTEN@",
                                  "127.0.0.1:" + std::to_string(FPort));
    std::ofstream(FFolder.Path("haproxy.cfg")) << Replaced(Config, "@SERVERS@", Servers);
    const std::string Exe = HaproxyPath(), Cfg = FFolder.Path("haproxy.cfg");
    std::vector<char*> Argv = {const_cast<char*>(Exe.c_str()), const_cast<char*>("-db"),
                               const_cast<char*>("-f"), const_cast<char*>(Cfg.c_str()), nullptr};
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 2, FFolder.Path("haproxy.log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~THaproxy() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    waitpid(FPid, nullptr, 0);
  }
  THaproxy(const THaproxy&) = delete;
  THaproxy& operator=(const THaproxy&) = delete;

  httplib::Client Client() const {
    httplib::Client Cli("127.0.0.1", FPort);
    Cli.set_read_timeout(60, 0);
    return Cli;
  }
  bool WaitUntilServing() const {
    const auto Deadline = Clock::now() + std::chrono::seconds(10);
    httplib::Client Cli = Client();
    while (Clock::now() < Deadline) {
      if (const auto Res = Cli.Get("/health"); Res && Res->status == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string Log() const { return ReadText(FFolder.Path("haproxy.log")); }

 private:
  TTempDir FFolder{"quavox-haproxy"};
  int FPort = 0;
  pid_t FPid = -1;
};

struct TReply {
  int Status = 0;
  std::string Node;
  std::string Cache;
};

std::string LineText(int ALine) {
  return "Flight " + std::to_string(100 + ALine) + " to gate B" + std::to_string(ALine % 40 + 1) +
         " is now boarding.";
}

std::string LinePath(int ALine) {
  std::string Path = "/v1/tts?airline=CCA&language=en&gender=female&text=";
  for (const char c : LineText(ALine))
    Path += c == ' ' ? std::string("%20") : std::string(1, c);
  return Path;
}

TReply Ask(httplib::Client& ACli, int ALine) {
  const auto Res = ACli.Get(LinePath(ALine));
  if (!Res) return {};
  return {Res->status, Res->get_header_value("X-Quavox-Node"),
          Res->get_header_value("X-Quavox-Cache")};
}

std::map<int, TReply> AskAll(const THaproxy& ABalancer) {
  std::map<int, TReply> Replies;
  std::mutex Lock;
  std::vector<std::jthread> Workers;
  std::atomic<int> Next{0};
  for (int w = 0; w < 3; ++w)
    Workers.emplace_back([&] {
      httplib::Client Cli = ABalancer.Client();
      for (int n = Next++; n < Lines; n = Next++) {
        const TReply Reply = Ask(Cli, n);
        std::lock_guard Guard(Lock);
        Replies[n] = Reply;
      }
    });
  Workers.clear();
  return Replies;
}

std::map<int, std::string> OwnerOf(const std::map<int, TReply>& AReplies) {
  std::map<int, std::string> Owner;
  for (const auto& [Line, Reply] : AReplies)
    Owner[Line] = Reply.Node;
  return Owner;
}

class ClusterDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
    if (HaproxyPath().empty()) GTEST_SKIP() << "haproxy is not installed";
    Primary = std::make_unique<TDaemon>("n1", TJson{{"server", {{"bind", "127.0.0.2"}}}});
    for (const char* Host : {"127.0.0.3", "127.0.0.4"})
      Followers.push_back(std::make_unique<TDaemon>(
          "follower",
          TJson{{"server", {{"bind", Host}}},
                {"cluster", {{"primary", Primary->BaseUrl()}, {"followSeconds", 0.2}}}}));
    for (TDaemon* Node : Nodes()) {
      InstallBundledEngine(*Node);
      httplib::Client Cli = Node->Client();
      ASSERT_TRUE(Node->Start() && WaitUntilReady(Cli, ReadyLimit)) << Node->Stderr();
    }
  }

  std::vector<TDaemon*> Nodes() {
    std::vector<TDaemon*> All = {Primary.get()};
    for (const auto& Follower : Followers)
      All.push_back(Follower.get());
    return All;
  }

  // Clones a voice on the primary and makes it CCA's English female voice; its id.
  std::string CloneAndBind() {
    httplib::Client Cli = Primary->Client();
    const TJson Order = {
        {"display", "CCA announcer"},
        {"language", "en"},
        {"clips", {{{"audio", Base64(TremoloToneWav(190))}, {"text", "A test tone."}}}}};
    const auto Cloned = Cli.Post("/v1/voices/clone", Order.dump(), "application/json");
    const auto Clone = Cloned ? ParseJsonObject(Cloned->body) : std::nullopt;
    if (!Clone || Cloned->status != 200) return {};
    const std::string Id = JsonString(&*Clone, "id", "");
    const auto Bound = Cli.Put(
        "/v1/airlines",
        TJson({{"airline", "CCA"}, {"language", "en"}, {"gender", "female"}, {"voice", Id}}).dump(),
        "application/json");
    return Bound && Bound->status == 200 ? Id : std::string();
  }

  // Waits until every follower answers APath as the primary does.
  bool WaitForFollowers(const std::string& APath) {
    httplib::Client Source = Primary->Client();
    const auto Wanted = Source.Get(APath);
    const auto Deadline = Clock::now() + FollowLimit;
    for (const auto& Follower : Followers) {
      httplib::Client Cli = Follower->Client();
      for (;;) {
        if (const auto Res = Cli.Get(APath); Res && Wanted && Res->body == Wanted->body) break;
        if (Clock::now() > Deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return true;
  }

  // The three nodes behind a balancer, once the followers hold the primary's binding.
  std::unique_ptr<THaproxy> BalanceBoundNodes() {
    if (CloneAndBind().empty() || !WaitForFollowers("/v1/airlines")) return nullptr;
    std::vector<std::pair<std::string, const TDaemon*>> Named;
    for (std::size_t i = 0; i < Nodes().size(); ++i)
      Named.emplace_back(NodeNames[i], Nodes()[i]);
    auto Balancer = std::make_unique<THaproxy>(Named);
    return Balancer->WaitUntilServing() ? std::move(Balancer) : nullptr;
  }

  std::unique_ptr<TDaemon> Primary;
  std::vector<std::unique_ptr<TDaemon>> Followers;
};

TEST_F(ClusterDaemonTest, FollowersTakeThePrimarysVoicesAndRefuseTheirOwnChanges) {
  const std::string Id = CloneAndBind();
  ASSERT_FALSE(Id.empty()) << Primary->Stderr();
  ASSERT_TRUE(WaitForFollowers("/v1/airlines")) << Followers[0]->Stderr();
  ASSERT_TRUE(WaitForFollowers("/v1/voices"));

  httplib::Client Follower = Followers[0]->Client();
  const auto Health = ParseJsonObject(Follower.Get("/health")->body);
  ASSERT_TRUE(Health && Health->contains("cluster"));
  EXPECT_EQ((*Health)["cluster"]["primary"], Primary->BaseUrl());
  EXPECT_EQ((*Health)["cluster"]["reachable"], true);
  EXPECT_TRUE((*Health)["cluster"]["lastSync"].is_string());
  httplib::Client PrimaryCli = Primary->Client();
  EXPECT_FALSE(ParseJsonObject(PrimaryCli.Get("/health")->body)->contains("cluster"));

  const std::string Binding = TJson({{"airline", "ANA"}, {"language", "ja"}, {"voice", Id}}).dump();
  const std::string Entry = TJson({{"language", "en"}, {"word", "PEK"}, {"say", "Beijing"}}).dump();
  const std::string Clone =
      TJson({{"audio", Base64(TremoloToneWav(220))}, {"reference_text", "A tone."}}).dump();
  std::vector<httplib::Result> Refused;
  Refused.push_back(Follower.Put("/v1/airlines", Binding, "application/json"));
  Refused.push_back(Follower.Put("/v1/defaults", TJson({{"language", "en"}, {"male", Id}}).dump(),
                                 "application/json"));
  Refused.push_back(Follower.Put("/v1/lexicon", Entry, "application/json"));
  Refused.push_back(Follower.Post("/v1/voices/clone", Clone, "application/json"));
  Refused.push_back(Follower.Delete("/v1/voices/" + Id));
  for (const auto& Res : Refused) {
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, 409) << Res->body;
    const auto Body = ParseJsonObject(Res->body);
    ASSERT_TRUE(Body) << Res->body;
    EXPECT_EQ(JsonString(&*Body, "error", ""), "follower_read_only");
    EXPECT_NE(JsonString(&*Body, "message", "").find(Primary->BaseUrl()), std::string::npos);
  }
  EXPECT_EQ(Follower.Get("/v1/voices")->body, PrimaryCli.Get("/v1/voices")->body);

  // A change on the primary, here of the lexicon, reaches them too; unchanged state is a 304.
  ASSERT_EQ(PrimaryCli.Put("/v1/lexicon", Entry, "application/json")->status, 200);
  EXPECT_TRUE(WaitForFollowers("/v1/lexicon"));
  const auto Tagged = PrimaryCli.Get("/v1/pack");
  ASSERT_EQ(Tagged->status, 200);
  const auto Unchanged =
      PrimaryCli.Get("/v1/pack", {{"If-None-Match", Tagged->get_header_value("ETag")}});
  EXPECT_EQ(Unchanged->status, 304);

  // Without the primary a follower keeps its voices and says so.
  Primary->Stop(SIGKILL);
  const auto Deadline = Clock::now() + FollowLimit;
  std::optional<TJson> Alone;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Alone = ParseJsonObject(Follower.Get("/health")->body);
  } while (Alone && (*Alone)["cluster"]["reachable"] == true && Clock::now() < Deadline);
  ASSERT_TRUE(Alone);
  EXPECT_EQ((*Alone)["cluster"]["reachable"], false);
  const auto Kept = ParseJsonObject(Follower.Get("/v1/airlines")->body);
  ASSERT_TRUE(Kept);
  EXPECT_EQ(JsonString(&*Kept, "CCA:en:female", ""), Id);
}

TEST_F(ClusterDaemonTest, BalancerKeepsEachLineOnOneNodeAndSurvivesANodeDying) {
  const std::unique_ptr<THaproxy> Started = BalanceBoundNodes();
  ASSERT_TRUE(Started) << Primary->Stderr();
  const THaproxy& Balancer = *Started;

  // a. After one round that makes every line, every repeat is a hit on the same node.
  const std::map<int, std::string> Owner = OwnerOf(AskAll(Balancer));
  const std::map<int, TReply> Again = AskAll(Balancer);
  int Hits = 0;
  for (const auto& [Line, Reply] : Again)
    Hits += Reply.Status == 200 && Reply.Cache == "hit" && Reply.Node == Owner.at(Line);
  EXPECT_GT(Hits, Lines * 95 / 100) << Hits << " of " << Lines;
  std::map<std::string, int> Share;
  for (const auto& [Line, Node] : Owner)
    ++Share[Node];
  ASSERT_EQ(Share.size(), 3u) << "every node gets lines";

  // b. A steady stream while a follower dies: every request that starts after the kill is
  // known answers 200.
  TDaemon& Victim = *Followers[1];
  const std::string VictimName = NodeNames[2];
  std::atomic<bool> Killed{false}, Done{false};
  std::atomic<int> Failed{0}, AfterKill{0};
  std::jthread Stream([&] {
    httplib::Client Cli = Balancer.Client();
    for (int n = 0; !Done; n = (n + 1) % Lines) {
      const bool Later = Killed;
      const TReply Reply = Ask(Cli, n);
      if (Later) ++AfterKill;
      if (Later && Reply.Status != 200) ++Failed;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Victim.Stop(SIGKILL);
  Killed = true;
  while (AfterKill < 3 * Lines)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Done = true;
  Stream.join();
  EXPECT_EQ(Failed, 0);
  const std::map<int, std::string> Moved = OwnerOf(AskAll(Balancer));
  for (const auto& [Line, Node] : Owner) {
    if (Node == VictimName) continue;
    EXPECT_EQ(Moved.at(Line), Node) << "line " << Line << " stays";
  }

  // c. Back, with its state folder and port, it takes back exactly its former lines.
  ASSERT_TRUE(Victim.Start()) << Victim.Stderr();
  httplib::Client VictimCli = Victim.Client();
  ASSERT_TRUE(WaitUntilReady(VictimCli, ReadyLimit)) << Victim.Stderr();
  const int Probe = std::find_if(Owner.begin(), Owner.end(), [&](const auto& AItem) {
                      return AItem.second == VictimName;
                    })->first;
  httplib::Client Cli = Balancer.Client();
  const auto Deadline = Clock::now() + FollowLimit;
  while (Ask(Cli, Probe).Node != VictimName && Clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(OwnerOf(AskAll(Balancer)), Owner);
}

// A prewarm of many lines sent to the balancer is baked line by line on the nodes that serve
// them: afterwards every line is a hit, on every node.
TEST_F(ClusterDaemonTest, PrewarmThroughTheBalancerBakesEachLineWhereItIsServed) {
  const std::unique_ptr<THaproxy> Balancer = BalanceBoundNodes();
  ASSERT_TRUE(Balancer) << Primary->Stderr();
  TJson Items = TJson::array({{{"text", ""}}});
  for (int n = 0; n < Lines; ++n)
    Items.push_back(TJson{{"text", LineText(n)}});
  const TJson Order = {
      {"airline", "CCA"}, {"language", "en"}, {"gender", "female"}, {"items", Items}};
  httplib::Client Cli = Balancer->Client();
  const auto Queued = Cli.Post("/v1/prewarm", Order.dump(), "application/json");
  ASSERT_TRUE(Queued);
  ASSERT_EQ(Queued->status, 202) << Queued->body << Balancer->Log();
  const auto Counts = ParseJsonObject(Queued->body);
  ASSERT_TRUE(Counts) << Queued->body;
  EXPECT_EQ((*Counts)["queued"], Lines);
  EXPECT_EQ((*Counts)["skipped_empty"], 1);

  const auto Deadline = Clock::now() + ReadyLimit;
  auto Cached = [&] {
    int Count = 0;
    for (TDaemon* Node : Nodes()) {
      httplib::Client NodeCli = Node->Client();
      const auto Stats = ParseJsonObject(NodeCli.Get("/v1/stats")->body);
      Count += static_cast<int>(JsonInteger(&*Stats, "cache_count", 0));
    }
    return Count;
  };
  while (Cached() < Lines && Clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::map<int, TReply> Replies = AskAll(*Balancer);
  std::map<std::string, int> Hits;
  for (const auto& [Line, Reply] : Replies) {
    EXPECT_EQ(Reply.Cache, "hit") << "line " << Line << " on " << Reply.Node;
    ++Hits[Reply.Node];
  }
  EXPECT_EQ(Hits.size(), 3u);
  EXPECT_EQ(Cached(), Lines) << "each line baked once";
}

}  // namespace
}  // namespace quavox::test
