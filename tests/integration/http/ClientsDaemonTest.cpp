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
// Short enough that the longest text is made quickly, long enough that its spoken form is cut.
constexpr int MaxTextLength = 600;

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
                                       {"allowedHosts", {"quavox.test"}}}},
                                     {"synthesis", {{"maxTextLength", MaxTextLength}}}});
    ShipTextTables(*Daemon);
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

// Pages a browser was steered to by a rebinding name are refused; clients that are not
// browsers may name the service as they like.
TEST_F(ClientsDaemonTest, BrowserRequestsAddressedToOtherNamesAreRefused) {
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
    const auto Res =
        Send(Cli, "GET", "/v1/stats", {{"Host", Case.Host}, {"Sec-Fetch-Site", "same-origin"}});
    ASSERT_TRUE(Res) << Case.Host;
    EXPECT_EQ(Res->status, Case.Status) << Case.Host;
    if (Case.Status == 421) {
      EXPECT_EQ(ErrorOf(Res), "host_not_allowed") << Case.Host;
    }
    const auto NotABrowser = Send(Cli, "GET", "/v1/stats", {{"Host", Case.Host}});
    ASSERT_TRUE(NotABrowser) << Case.Host;
    EXPECT_EQ(NotABrowser->status, 200) << Case.Host;
  }
}

TEST_F(ClientsDaemonTest, AudioRepliesServeSingleByteRanges) {
  httplib::Client Cli = Daemon->Client();
  const std::string Target = "/v1/tts?text=Seek+within+me&language=en";
  const auto Whole = Cli.Get(Target);
  ASSERT_EQ(Whole->status, 200);
  EXPECT_EQ(Whole->get_header_value("Accept-Ranges"), "bytes");
  const std::string& Bytes = Whole->body;
  const std::size_t Length = Bytes.size();
  const std::string Total = "/" + std::to_string(Length);
  ASSERT_GT(Length, 1000u);
  struct TCase {
    std::string Range;
    int Status;
    std::size_t First;  // of the part sent (206)
    std::size_t Count;
  };
  const std::vector<TCase> Cases = {
      {"bytes=0-99", 206, 0, 100},
      {"bytes=100-", 206, 100, Length - 100},
      {"bytes=1-", 206, 1, Length - 1},
      {"bytes=-50", 206, Length - 50, 50},
      {"bytes = 10-19", 206, 10, 10},
      {"bytes=0-99999999999", 206, 0, Length},
      {"bytes=" + std::to_string(Length) + "-", 416, 0, 0},
      {"bytes=-0", 416, 0, 0},
      {"bytes=99999999999999999999999-", 416, 0, 0},
      {"bytes=5-2", 200, 0, Length},
      {"bytes=0-1,5-6", 200, 0, Length},
      {"items=0-5", 200, 0, Length},
      {"0-5", 200, 0, Length},
      {"bytes=abc", 200, 0, Length},
  };
  for (const TCase& Case : Cases) {
    const auto Res = Cli.Get(Target, {{"Range", Case.Range}});
    ASSERT_TRUE(Res) << Case.Range;
    EXPECT_EQ(Res->status, Case.Status) << Case.Range;
    if (Case.Status == 416) {
      EXPECT_EQ(Res->get_header_value("Content-Range"), "bytes */" + std::to_string(Length));
      EXPECT_EQ(ErrorOf(Res), "range_not_satisfiable") << Case.Range;
      continue;
    }
    EXPECT_TRUE(Res->body == Bytes.substr(Case.First, Case.Count)) << Case.Range;
    if (Case.Status == 206) {
      EXPECT_EQ(Res->get_header_value("Content-Range"),
                "bytes " + std::to_string(Case.First) + "-" +
                    std::to_string(Case.First + Case.Count - 1) + Total)
          << Case.Range;
    }
  }

  // A resumed download of the same reply continues; of another one it starts again.
  const std::string ETag = Whole->get_header_value("ETag");
  EXPECT_EQ(Cli.Get(Target, {{"Range", "bytes=10-"}, {"If-Range", ETag}})->status, 206);
  EXPECT_EQ(Cli.Get(Target, {{"Range", "bytes=10-"}, {"If-Range", "\"other\""}})->status, 200);
  EXPECT_EQ(Cli.Get(Target, {{"Range", "bytes=10-"}, {"If-Range", "Fri, 11 Dec 2026 00:00:00 GMT"}})
                ->status,
            200);

  // Every format; a malformed or foreign Range elsewhere is ignored, never refused.
  const auto Opus = Cli.Get(Target + "&format=opus", {{"Range", "bytes=1-"}});
  EXPECT_EQ(Opus->status, 206);
  EXPECT_EQ(Opus->get_header_value("Content-Type"), "audio/ogg; codecs=opus");
  for (const char* Range : {"bytes=x", "0-5", "bytes=9-1", "bytes=0-5"}) {
    const auto Health = Cli.Get("/health", {{"Range", Range}});
    EXPECT_EQ(Health->status, 200) << Range;
    EXPECT_FALSE(Health->has_header("Accept-Ranges")) << Range;
    EXPECT_FALSE(Health->has_header("Content-Range")) << Range;
  }
  EXPECT_FALSE(Cli.Head("/health")->has_header("Accept-Ranges"));
  const auto Posted = Send(Cli, "POST", "/v1/tts", {{"Range", "bytes=0-9"}},
                           "{\"text\":\"Seek within me\",\"language\":\"en\"}");
  EXPECT_EQ(Posted->status, 200);
  EXPECT_FALSE(Posted->has_header("Content-Range"));
  EXPECT_FALSE(Posted->has_header("Accept-Ranges"));
}

// Raw exchanges on their own connection, for what HTTP clients cannot be made to send.
TEST_F(ClientsDaemonTest, TransportDetailsClientsRelyOn) {
  const int Port = Daemon->Port();
  const auto StatusLine = [](const std::string& AAnswer) {
    return AAnswer.substr(0, AAnswer.find("\r\n"));
  };
  std::string Answer = RawExchange(Port, "GET /health HTTP/1.1\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 400 Bad Request") << Answer;
  Answer = RawExchange(Port, "GET /health HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 200 OK") << Answer;
  EXPECT_NE(Answer.find("\r\nDate: "), std::string::npos) << Answer;

  // A chunked body with extensions and trailer fields.
  Answer = RawExchange(Port,
                       "POST /v1/tts HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                       "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                       "5;note=x\r\n{\"tex\r\n"
                       "15\r\nt\":\"Chunked\",\"speed\":\r\n"
                       "3\r\n1.1\r\n1\r\n}\r\n0\r\nX-Checksum: 1\r\nX-More: 2\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 200 OK") << Answer.substr(0, 400);
  // A chunked body too large, and a malformed one.
  Answer = RawExchange(Port,
                       "POST /v1/normalize HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                       "Transfer-Encoding: chunked\r\n\r\nfffffff\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 413 Payload Too Large") << Answer;
  Answer = RawExchange(Port,
                       "POST /v1/normalize HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                       "Transfer-Encoding: chunked\r\n\r\nzz\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 400 Bad Request") << Answer;

  // Too large a body is refused before the client is asked to send it.
  Answer = RawExchange(Port,
                       "POST /v1/tts HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n"
                       "Content-Length: 5000000\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 413 Payload Too Large") << Answer;
  EXPECT_EQ(Answer.find("100 Continue"), std::string::npos) << Answer;

  // A client that sends such a body whole before it reads gets the refusal, not a reset.
  httplib::Client Cli = Daemon->Client();
  const auto Large = Cli.Post("/v1/tts", std::string(5u << 20, ' '), "application/json");
  ASSERT_TRUE(Large) << httplib::to_string(Large.error());
  EXPECT_EQ(Large->status, 413);
  EXPECT_EQ(ErrorOf(Large), "payload_too_large");

  // 405 says what is allowed; every reply is dated.
  const auto Patch = Send(Cli, "PATCH", "/v1/voices", {});
  EXPECT_EQ(Patch->status, 405);
  EXPECT_EQ(Patch->get_header_value("Allow"), "GET, HEAD, DELETE, POST");
  EXPECT_TRUE(Patch->has_header("Date"));
  EXPECT_TRUE(Cli.Get("/v1/nothing")->has_header("Date"));
  EXPECT_TRUE(Cli.Get("/health")->has_header("Date"));
}

TEST_F(ClientsDaemonTest, HeadIsServedWhereverGetIsAndNeverSynthesizes) {
  httplib::Client Cli = Daemon->Client();
  for (const char* Path :
       {"/health", "/v1/voices", "/v1/airlines", "/v1/defaults", "/v1/lexicon",
        "/v1/normalize?text=CA1234", "/metrics", "/v1/models", "/v1/models/tts-1", "/v1/stats"}) {
    const auto Head = Cli.Head(Path);
    ASSERT_TRUE(Head) << Path;
    EXPECT_EQ(Head->status, 200) << Path;
    EXPECT_TRUE(Head->body.empty()) << Path;
  }
  EXPECT_EQ(Cli.Head("/v1/voices")->get_header_value("Content-Length"),
            std::to_string(Cli.Get("/v1/voices")->body.size()));

  const std::string Target = "/v1/tts?text=Only+looked+at&language=en";
  const auto Missing = Cli.Head(Target);
  EXPECT_EQ(Missing->status, 404);
  const auto HeadPrewarm = Cli.Head("/v1/prewarm?text=Only+looked+at&language=en");
  EXPECT_EQ(HeadPrewarm->status, 202);
  const auto Made = Cli.Get(Target);
  EXPECT_EQ(Made->get_header_value("X-Quavox-Cache"), "miss");
  const auto Head = Cli.Head(Target);
  EXPECT_EQ(Head->status, 200);
  EXPECT_EQ(Head->get_header_value("ETag"), Made->get_header_value("ETag"));
  EXPECT_EQ(Head->get_header_value("Content-Length"), std::to_string(Made->body.size()));
  EXPECT_EQ(Head->get_header_value("Accept-Ranges"), "bytes");

  const auto Speech = Cli.Get("/v1/audio/speech");
  EXPECT_EQ(Speech->status, 405);
  EXPECT_EQ(Speech->get_header_value("Allow"), "POST");
  EXPECT_NE(Speech->body.find("\"code\":\"method_not_allowed\""), std::string::npos);
  EXPECT_EQ(Send(Cli, "POST", "/v1/models", {})->get_header_value("Allow"), "GET, HEAD");
  EXPECT_EQ(Send(Cli, "PUT", "/v1/announce", {})->get_header_value("Allow"), "POST");
}

TEST_F(ClientsDaemonTest, IfNoneMatchTakesListsAndTheWildcard) {
  httplib::Client Cli = Daemon->Client();
  const std::string Target = "/v1/tts?text=Conditional+lists&language=en";
  const auto First = Cli.Get(Target);
  const std::string ETag = First->get_header_value("ETag");
  struct TCase {
    std::string Header;
    int Status;
  };
  const std::vector<TCase> Cases = {
      {ETag, 304},
      {"\"other\", " + ETag, 304},
      {"\"other\"," + ETag + ",\"third\"", 304},
      {"*", 304},
      {"W/" + ETag, 200},
      {"\"other\", W/" + ETag, 200},
      {"\"other\", \"third\"", 200},
      {"\"other\" junk " + ETag, 200},
  };
  for (const TCase& Case : Cases) {
    for (const std::string Format : {"", "&format=mp3"}) {
      const std::string Tag =
          Format.empty() ? ETag : Cli.Get(Target + Format)->get_header_value("ETag");
      std::string Header = Case.Header;
      if (const auto At = Header.find(ETag); At != std::string::npos)
        Header.replace(At, ETag.size(), Tag);
      const auto Res = Cli.Get(Target + Format, {{"If-None-Match", Header}});
      ASSERT_TRUE(Res) << Header;
      EXPECT_EQ(Res->status, Case.Status) << Header;
      if (Case.Status == 304) {
        EXPECT_EQ(Res->get_header_value("ETag"), Tag) << Header;
      }
    }
  }
}

// A default nginx reverse proxy refuses a reply whose header block passes 4 KiB; the
// longest texts the limits allow, in every language and with the CORS headers, stay under.
TEST_F(ClientsDaemonTest, HeaderBlocksOfTheLongestTextsFitProxyBuffers) {
  // A flight number for the rules to rewrite, so the spoken text is sent back, then plain
  // words up to the limit (with room for what the rewrite adds).
  const auto Longest = [](const std::string& AFlight, const std::string& APiece) {
    std::string Text = AFlight;
    while (Utf8ToUtf16(Text + APiece).size() <= MaxTextLength - 40)
      Text += APiece;
    return Text;
  };
  struct TCase {
    std::string Text;
    const char* Language;
    bool Truncated;  // the percent-encoded spoken text passes 2048 bytes
  };
  const TCase Cases[] = {
      {Longest("CA1234 ", "请旅客注意"), "zh", true},
      {Longest("NH0961 ", "ご注意ください"), "ja", true},
      {Longest("CA1234 ", "attention please "), "en", false},
  };
  httplib::Client Cli = Daemon->Client();
  Cli.set_read_timeout(120, 0);
  for (const TCase& c : Cases) {
    const auto Res = Send(Cli, "POST", "/v1/tts", {{"Origin", ListedOrigin}},
                          JsonDumpAscii(TJson{{"text", c.Text}, {"language", c.Language}}));
    ASSERT_TRUE(Res) << c.Language;
    EXPECT_EQ(Res->status, 200) << c.Language << " " << Res->body.substr(0, 300);
    EXPECT_FALSE(Res->get_header_value("X-Quavox-Spoken").empty()) << c.Language;
    std::size_t Block = std::string("HTTP/1.1 200 OK\r\n\r\n").size();
    for (const auto& [Name, Value] : Res->headers)
      Block += Name.size() + 2 + Value.size() + 2;
    EXPECT_LT(Block, 3500u) << c.Language;
    EXPECT_EQ(Res->has_header("X-Quavox-Spoken-Truncated"), c.Truncated) << c.Language;
  }
}

TEST_F(ClientsDaemonTest, OpenAiClientsFindModelsVoicesAndRequestIds) {
  httplib::Client Cli = Daemon->Client();
  const auto Model = Cli.Get("/v1/models/tts-1");
  ASSERT_EQ(Model->status, 200);
  const auto ModelJson = ParseJsonObject(Model->body);
  ASSERT_TRUE(ModelJson);
  EXPECT_EQ(JsonString(&*ModelJson, "id", ""), "tts-1");
  EXPECT_EQ(JsonString(&*ModelJson, "object", ""), "model");
  const auto Unknown = Cli.Get("/v1/models/whisper-9");
  EXPECT_EQ(Unknown->status, 404);
  EXPECT_NE(Unknown->body.find("\"code\":\"model_not_found\""), std::string::npos);

  struct TCase {
    TJson Voice;
    TJson StreamFormat;
    int Status;
    const char* Param;
  };
  const std::vector<TCase> Cases = {
      {"marin", nullptr, 200, ""},
      {"cedar", "audio", 200, ""},
      {TJson{{"id", "nova"}}, nullptr, 200, ""},
      {TJson{{"id", "nobody"}}, nullptr, 400, "voice"},
      {"nova", "sse", 200, ""},
      {"nova", "chunks", 400, "stream_format"},
  };
  for (const TCase& Case : Cases) {
    TJson Body = {{"model", "tts-1"}, {"input", "Gate B12"}, {"voice", Case.Voice}};
    if (!Case.StreamFormat.is_null()) Body["stream_format"] = Case.StreamFormat;
    const auto Res = Send(Cli, "POST", "/v1/audio/speech", {}, Body.dump());
    ASSERT_TRUE(Res) << Body.dump();
    EXPECT_EQ(Res->status, Case.Status) << Body.dump();
    if (Case.Status != 200) {
      EXPECT_NE(Res->body.find("\"param\":\"" + std::string(Case.Param) + "\""), std::string::npos)
          << Res->body;
    }
  }

  // Every reply names its request; a client's own id is kept when it is usable.
  const std::string First = Cli.Get("/health")->get_header_value("X-Request-Id");
  const std::string Second = Cli.Get("/v1/nothing")->get_header_value("X-Request-Id");
  EXPECT_FALSE(First.empty());
  EXPECT_NE(First, Second);
  EXPECT_EQ(Cli.Get("/health", {{"X-Request-Id", "pa-7f3c"}})->get_header_value("X-Request-Id"),
            "pa-7f3c");
  EXPECT_NE(Cli.Get("/health", {{"X-Request-Id", std::string(200, 'a')}})
                ->get_header_value("X-Request-Id")
                .size(),
            200u);
}

}  // namespace
}  // namespace quavox::test
