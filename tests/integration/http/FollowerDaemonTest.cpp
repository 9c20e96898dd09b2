// A follower as an administrator steers it through data/config.json and SIGHUP, against real
// daemons with the placeholder engine: no engine needs to load for the voices to move.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <thread>

#include "Daemon.h"
#include "state/Json.h"

namespace quavox::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto FollowLimit = std::chrono::seconds(20);

bool Eventually(const std::function<bool()>& ACondition, Clock::duration ALimit = FollowLimit) {
  const auto Deadline = Clock::now() + ALimit;
  while (!ACondition()) {
    if (Clock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string Body(const TDaemon& ADaemon, const std::string& APath, const std::string& AKey = "") {
  httplib::Client Cli = ADaemon.Client();
  if (!AKey.empty()) Cli.set_bearer_token_auth(AKey);
  const auto Res = Cli.Get(APath);
  return Res && Res->status == 200 ? Res->body : std::string();
}

// True once AFollower answers each path as APrimary does (asked with AKey).
bool HoldsWhatItHolds(const TDaemon& AFollower, const TDaemon& APrimary,
                      const std::string& AKey = "") {
  return Eventually([&] {
    for (const char* Path : {"/v1/voices", "/v1/airlines", "/v1/defaults", "/v1/lexicon"})
      if (Body(AFollower, Path) != Body(APrimary, Path, AKey)) return false;
    return true;
  });
}

TJson ClusterOf(const TDaemon& ADaemon) {
  const TJson Health = ParseJsonObject(Body(ADaemon, "/health")).value_or(TJson::object());
  return Health.contains("cluster") ? Health["cluster"] : TJson();
}

// A voice of its own on APrimary, bound for AAirline's English female lines, and a lexicon
// entry, so that two primaries hold different state.
void MakeOwnState(const TDaemon& APrimary, const std::string& AAirline, float AFrequency,
                  const std::string& AKey = "") {
  httplib::Client Cli = APrimary.Client();
  if (!AKey.empty()) Cli.set_bearer_token_auth(AKey);
  const TJson Order = {
      {"display", AAirline + " announcer"},
      {"language", "en"},
      {"clips", {{{"audio", Base64(TremoloToneWav(AFrequency))}, {"text", "A test tone."}}}}};
  const auto Cloned = Cli.Post("/v1/voices/clone", Order.dump(), "application/json");
  ASSERT_TRUE(Cloned && Cloned->status == 200) << APrimary.Stderr();
  const TJson Voice = ParseJsonObject(Cloned->body).value_or(TJson::object());
  const std::string Id = JsonString(&Voice, "id", "");
  const TJson Binding = {
      {"airline", AAirline}, {"language", "en"}, {"gender", "female"}, {"voice", Id}};
  ASSERT_EQ(Cli.Put("/v1/airlines", Binding.dump(), "application/json")->status, 200);
  const TJson Entry = {{"language", "en"}, {"word", AAirline}, {"say", AAirline + " airways"}};
  ASSERT_EQ(Cli.Put("/v1/lexicon", Entry.dump(), "application/json")->status, 200);
}

int LexiconPutStatus(const TDaemon& ADaemon) {
  httplib::Client Cli = ADaemon.Client();
  const TJson Entry = {{"language", "en"}, {"word", "PEK"}, {"say", "Beijing"}};
  const auto Res = Cli.Put("/v1/lexicon", Entry.dump(), "application/json");
  return Res ? Res->status : 0;
}

void Reload(const TDaemon& ADaemon) {
  ::kill(ADaemon.Pid(), SIGHUP);
}

// SIGHUP moves a follower to another primary, makes it a node of its own that keeps the
// voices it has and takes changes again, and makes it follow once more; a new period alone
// restarts the rounds at that period.
TEST(FollowerDaemon, SighupRetargetsStopsAndStartsFollowing) {
  TDaemon First("primary-a"), Second("primary-b");
  ASSERT_TRUE(First.Start()) << First.Stderr();
  ASSERT_TRUE(Second.Start()) << Second.Stderr();
  ASSERT_NO_FATAL_FAILURE(MakeOwnState(First, "CCA", 190));
  ASSERT_NO_FATAL_FAILURE(MakeOwnState(Second, "ANA", 260));
  TDaemon Follower("follower",
                   {{"cluster", {{"primary", First.BaseUrl()}, {"followSeconds", 0.1}}}});
  ASSERT_TRUE(Follower.Start()) << Follower.Stderr();
  ASSERT_TRUE(HoldsWhatItHolds(Follower, First)) << Follower.Stderr();

  EditConfig(Follower, "cluster", "primary", Second.BaseUrl());
  Reload(Follower);
  ASSERT_TRUE(HoldsWhatItHolds(Follower, Second)) << Follower.Stderr();
  EXPECT_EQ(ClusterOf(Follower)["primary"], Second.BaseUrl());
  EXPECT_EQ(LexiconPutStatus(Follower), 409);

  EditConfig(Follower, "cluster", "primary", nullptr);
  Reload(Follower);
  ASSERT_TRUE(Eventually([&] { return ClusterOf(Follower).is_null(); })) << Follower.Stderr();
  EXPECT_TRUE(WaitForLine(Follower, "no longer following " + Second.BaseUrl()));
  const std::string Kept = Body(Follower, "/v1/voices");
  EXPECT_EQ(Kept, Body(Second, "/v1/voices"));
  EXPECT_EQ(LexiconPutStatus(Follower), 200);
  EXPECT_EQ(Body(Follower, "/v1/voices"), Kept);

  EditConfig(Follower, "cluster", "primary", First.BaseUrl());
  Reload(Follower);
  ASSERT_TRUE(HoldsWhatItHolds(Follower, First)) << Follower.Stderr();
  EXPECT_EQ(ClusterOf(Follower)["reachable"], true);
  EXPECT_EQ(LexiconPutStatus(Follower), 409);

  EditConfig(Follower, "cluster", "followSeconds", 0.3);
  Reload(Follower);
  EXPECT_TRUE(WaitForLine(Follower, "following " + First.BaseUrl() + " every 300 ms"))
      << Follower.Stderr();
  EXPECT_EQ(Follower.Stop(SIGTERM), 0) << Follower.Stderr();
}

// A primary that requires API keys is followed by a follower that shows it one; without one,
// or with a wrong one, the follower keeps what it has, /health says the primary is not
// reachable, and the log says why without showing the key.
TEST(FollowerDaemon, APrimaryWithKeysIsFollowedOnlyWithOneOfThem) {
  const std::string Key = "cluster-follow-7f3c9e";
  TDaemon Primary("keyed", {{"server", {{"apiKeys", {"announce-pa", Key}}}}});
  ASSERT_TRUE(Primary.Start()) << Primary.Stderr();
  ASSERT_NO_FATAL_FAILURE(MakeOwnState(Primary, "CCA", 190, Key));
  struct TCase {
    const char* Name;
    std::string Key;
    const char* Reason;
  };
  const TCase Cases[] = {
      {"right-key", Key, nullptr},
      {"wrong-key", "cluster-follow-0000", "the primary refused cluster.primaryKey"},
      {"no-key", "", "the primary requires an API key: set cluster.primaryKey"},
  };
  for (const TCase& Case : Cases) {
    TJson Cluster = {{"primary", Primary.BaseUrl()}, {"followSeconds", 0.1}};
    if (!Case.Key.empty()) Cluster["primaryKey"] = Case.Key;
    TDaemon Follower(Case.Name, {{"cluster", Cluster}});
    ASSERT_TRUE(Follower.Start()) << Follower.Stderr();
    if (Case.Reason == nullptr) {
      EXPECT_TRUE(HoldsWhatItHolds(Follower, Primary, Key)) << Follower.Stderr();
      EXPECT_EQ(ClusterOf(Follower)["reachable"], true);
    } else {
      EXPECT_TRUE(WaitForLine(Follower, Case.Reason)) << Case.Name << Follower.Stderr();
      EXPECT_EQ(ClusterOf(Follower)["reachable"], false) << Case.Name;
      EXPECT_TRUE(ClusterOf(Follower)["lastSync"].is_null()) << Case.Name;
      EXPECT_EQ(Body(Follower, "/v1/airlines"), "{}") << Case.Name;
    }
    if (!Case.Key.empty()) {
      EXPECT_EQ(Follower.Stderr().find(Case.Key), std::string::npos) << Case.Name;
    }
  }
}

// A primary that takes the connection and never answers: a follower's request waits for it
// until its response limit.
class TSilentPrimary {
 public:
  TSilentPrimary() : FSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    const auto* Raw = reinterpret_cast<sockaddr*>(&Address);
    if (::bind(FSocket, Raw, Length) != 0 || ::listen(FSocket, 8) != 0 ||
        ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
      throw std::runtime_error("no loopback listener");
    FUrl = "http://127.0.0.1:" + std::to_string(ntohs(Address.sin_port));
  }
  ~TSilentPrimary() { ::close(FSocket); }
  const std::string& Url() const { return FUrl; }

 private:
  int FSocket;
  std::string FUrl;
};

// A reload that moves a follower away from a primary that stopped answering does not wait
// out the request in progress (20 s) before it follows the new one.
TEST(FollowerDaemon, ARetargetGivesUpAPrimaryThatDoesNotAnswer) {
  TSilentPrimary Silent;
  TDaemon Primary("answering");
  ASSERT_TRUE(Primary.Start()) << Primary.Stderr();
  ASSERT_NO_FATAL_FAILURE(MakeOwnState(Primary, "CCA", 190));
  TDaemon Follower("stuck", {{"cluster", {{"primary", Silent.Url()}, {"followSeconds", 0.1}}}});
  ASSERT_TRUE(Follower.Start()) << Follower.Stderr();
  ASSERT_TRUE(WaitForLine(Follower, "following " + Silent.Url())) << Follower.Stderr();

  EditConfig(Follower, "cluster", "primary", Primary.BaseUrl());
  Reload(Follower);
  const auto Limit = std::chrono::seconds(10);
  EXPECT_TRUE(Eventually(
      [&] { return Body(Follower, "/v1/airlines") == Body(Primary, "/v1/airlines"); }, Limit))
      << Follower.Stderr();
  EXPECT_EQ(Follower.Stop(SIGTERM), 0) << Follower.Stderr();
}

}  // namespace
}  // namespace quavox::test
