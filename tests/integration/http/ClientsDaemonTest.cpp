// What browsers, players and proxies need of the real quavoxd: pages of other origins may
// read what the operator allows and change nothing else, the names the service answers
// under, byte ranges of audio, and the HTTP details clients rely on. One daemon, whose
// placeholder engine speaks, serves the suite; it lists one page origin.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Daemon.h"
#include "core/Text.h"
#include "state/Json.h"

namespace quavox::test {
namespace {

constexpr const char* ListedOrigin = "http://127.0.0.1:9";
constexpr const char* ForeignOrigin = "http://evil.example";

httplib::Result Send(httplib::Client& ACli, const std::string& AMethod, const std::string& ATarget,
                     const httplib::Headers& AHeaders, const std::string& ABody = {},
                     const std::string& AType = "application/json") {
  httplib::Request Req;
  Req.method = AMethod;
  Req.path = ATarget;
  Req.headers = AHeaders;
  if (!ABody.empty()) {
    Req.body = ABody;
    Req.set_header("Content-Type", AType);
  }
  return ACli.send(Req);
}

std::string ErrorOf(const httplib::Result& ARes) {
  const auto Json = ARes ? ParseJsonObject(ARes->body) : std::nullopt;
  return Json ? JsonString(&*Json, "error", "") : "";
}

class ClientsDaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Daemon = new TDaemon("clients", {{"server",
                                      {{"allowedOrigins", {std::string(ListedOrigin) + "/", "*"}},
                                       {"allowedHosts", {"quavox.test"}}}}});
    ASSERT_TRUE(Daemon->Start()) << Daemon->Stderr();
  }
  static void TearDownTestSuite() {
    delete Daemon;
    Daemon = nullptr;
  }
  static TDaemon* Daemon;
};

TDaemon* ClientsDaemonTest::Daemon = nullptr;

// Whether the cache still holds the line: a refused DELETE /v1/cache must not have run.
bool Cached(httplib::Client& ACli, const std::string& ATarget) {
  const auto Res = ACli.Get(ATarget);
  return Res && Res->get_header_value("X-Quavox-Cache") == "hit";
}

TEST_F(ClientsDaemonTest, WritesFromPagesOfOtherOriginsAreRefusedBeforeAnythingHappens) {
  httplib::Client Cli = Daemon->Client();
  const std::string Line = "/v1/tts?text=Kept+in+the+cache&language=en";
  ASSERT_EQ(Cli.Get(Line)->status, 200);
  struct TCase {
    const char* Name;
    httplib::Headers Headers;
  };
  const std::vector<TCase> Refused = {
      {"foreign origin", {{"Origin", ForeignOrigin}}},
      {"opaque origin", {{"Origin", "null"}}},
      {"same site, other port",
       {{"Origin", "http://127.0.0.1:8080"}, {"Sec-Fetch-Site", "same-site"}}},
      {"cross-site without origin", {{"Sec-Fetch-Site", "cross-site"}}},
  };
  for (const TCase& Case : Refused) {
    const auto Res = Send(Cli, "DELETE", "/v1/cache", Case.Headers);
    ASSERT_TRUE(Res) << Case.Name;
    EXPECT_EQ(Res->status, 403) << Case.Name;
    EXPECT_EQ(ErrorOf(Res), "origin_not_allowed") << Case.Name;
    EXPECT_FALSE(Res->has_header("Access-Control-Allow-Origin")) << Case.Name;
    EXPECT_TRUE(Cached(Cli, Line)) << Case.Name;
  }
  // A simple form POST, which browsers send without asking first, queues nothing.
  const auto Prewarm = Send(Cli, "POST", "/v1/prewarm", {{"Origin", ForeignOrigin}},
                            "{\"text\":\"Never baked\"}", "text/plain");
  EXPECT_EQ(Prewarm->status, 403);
  const auto Speech = Send(Cli, "POST", "/v1/audio/speech", {{"Origin", ForeignOrigin}},
                           "{\"input\":\"x\",\"voice\":\"nova\"}");
  EXPECT_EQ(Speech->status, 403);
  EXPECT_NE(Speech->body.find("\"code\":\"origin_not_allowed\""), std::string::npos);

  // Clients without an Origin, a page of the listed origin and the service's own pages write.
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/cache", {{"Origin", ListedOrigin}})->status, 200);
  const std::string OwnOrigin = "http://127.0.0.1:" + std::to_string(Daemon->Port());
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/cache", {{"Origin", OwnOrigin}})->status, 200);
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/cache", {})->status, 200);
}

TEST_F(ClientsDaemonTest, ListedOriginsReadRepliesAndPassPreflights) {
  httplib::Client Cli = Daemon->Client();
  const auto Tts = Send(Cli, "POST", "/v1/tts", {{"Origin", ListedOrigin}},
                        "{\"text\":\"Read by a page\",\"language\":\"en\"}");
  ASSERT_EQ(Tts->status, 200);
  EXPECT_EQ(Tts->get_header_value("Access-Control-Allow-Origin"), ListedOrigin);
  EXPECT_EQ(Tts->get_header_value("Vary"), "Origin");
  const std::string Exposed = Tts->get_header_value("Access-Control-Expose-Headers");
  for (const char* Name : {"ETag", "X-Quavox-Cache", "X-Quavox-Duration-Ms", "X-Quavox-Voice"})
    EXPECT_NE(Exposed.find(Name), std::string::npos) << Name;

  struct TCase {
    const char* Path;
    const char* Origin;
    const char* Method;
    int Status;
    const char* AllowOrigin;
  };
  const std::vector<TCase> Preflights = {
      {"/v1/tts", ListedOrigin, "POST", 204, ListedOrigin},
      {"/v1/audio/speech", ListedOrigin, "POST", 204, ListedOrigin},
      {"/v1/announce", ListedOrigin, "POST", 204, ListedOrigin},
      {"/v1/voices", ForeignOrigin, "GET", 204, "*"},
      {"/v1/tts", ForeignOrigin, "POST", 403, ""},
      {"/v1/prewarm?text=Not+by+a+preflight", ForeignOrigin, "PUT", 403, ""},
  };
  for (const TCase& Case : Preflights) {
    const auto Res =
        Send(Cli, "OPTIONS", Case.Path,
             {{"Origin", Case.Origin},
              {"Access-Control-Request-Method", Case.Method},
              {"Access-Control-Request-Headers", "content-type, authorization, x-stainless-os"}});
    ASSERT_TRUE(Res) << Case.Path;
    EXPECT_EQ(Res->status, Case.Status) << Case.Path << " " << Case.Origin;
    EXPECT_EQ(Res->get_header_value("Access-Control-Allow-Origin"), Case.AllowOrigin) << Case.Path;
    if (Case.Status != 204) continue;
    EXPECT_NE(Res->get_header_value("Access-Control-Allow-Methods").find(Case.Method),
              std::string::npos);
    EXPECT_EQ(Res->get_header_value("Access-Control-Allow-Headers"),
              "Content-Type, Authorization, x-stainless-os");
    EXPECT_EQ(Res->get_header_value("Access-Control-Max-Age"), "600");
  }
  const auto Stats = ParseJsonObject(Cli.Get("/v1/stats")->body);
  ASSERT_TRUE(Stats);
  EXPECT_EQ(JsonInteger(&*Stats, "prewarm_pending", -1), 0);

  // Any page may read the GET paths; requests without an Origin get no CORS headers at all.
  const auto Voices = Send(Cli, "GET", "/v1/voices", {{"Origin", ForeignOrigin}});
  EXPECT_EQ(Voices->get_header_value("Access-Control-Allow-Origin"), "*");
  const auto Plain = Cli.Get("/v1/voices");
  for (const auto& [Name, Value] : Plain->headers)
    EXPECT_FALSE(StartsWith(LowerAscii(Name), "access-control-") || Name == "Vary") << Name;
}

TEST_F(ClientsDaemonTest, RequestsAddressedToOtherNamesAreRefused) {
  httplib::Client Cli = Daemon->Client();
  const std::string Port = ":" + std::to_string(Daemon->Port());
  struct TCase {
    std::string Host;
    int Status;
  };
  const std::vector<TCase> Cases = {
      {"127.0.0.1" + Port, 200},       {"localhost" + Port, 200},
      {"[::1]" + Port, 200},           {"10.1.2.3", 200},
      {"QUAVOX.test" + Port, 200},     {"tts-server", 200},
      {"evil.example", 421},           {"evil.example" + Port, 421},
      {"127.0.0.1.evil.example", 421}, {"[::1", 421},
  };
  for (const TCase& Case : Cases) {
    const auto Res = Send(Cli, "GET", "/v1/stats", {{"Host", Case.Host}});
    ASSERT_TRUE(Res) << Case.Host;
    EXPECT_EQ(Res->status, Case.Status) << Case.Host;
    if (Case.Status == 421) {
      EXPECT_EQ(ErrorOf(Res), "host_not_allowed") << Case.Host;
    }
  }
}

}  // namespace
}  // namespace quavox::test
