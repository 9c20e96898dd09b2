// The HTTP API of the real quavoxd process: every route and method, the error replies,
// conditional requests, cloning from WAV and MP3, bindings saved to the configuration,
// prewarm, and the transport's own refusals. One daemon serves this suite; its program
// folder is empty, so the placeholder engine speaks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "Daemon.h"
#include "audio/Wav.h"
#include "core/Text.h"
#include "state/Json.h"

namespace quavox::test {
namespace {

namespace fs = std::filesystem;

constexpr auto PrewarmLimit = std::chrono::seconds(120);

TJson JsonOf(const httplib::Result& ARes) {
  if (!ARes) return TJson();
  const auto Json = ParseJsonObject(ARes->body);
  return Json ? *Json : TJson();
}

int64_t IntOf(const httplib::Result& ARes, const char* AName, int64_t ADefault) {
  const TJson Json = JsonOf(ARes);
  return JsonInteger(&Json, AName, ADefault);
}

std::string ErrorOf(const httplib::Result& ARes) {
  const TJson Json = JsonOf(ARes);
  return Json.is_object() ? JsonString(&Json, "error", "") : "";
}

std::string MessageOf(const httplib::Result& ARes) {
  const TJson Json = JsonOf(ARes);
  return Json.is_object() ? JsonString(&Json, "message", "") : "";
}

std::vector<std::string> Keys(const TJson& AObject) {
  std::vector<std::string> Names;
  if (AObject.is_object())
    for (const auto& Item : AObject.items())
      Names.push_back(Item.key());
  return Names;
}

bool IsAscii(const std::string& AText) {
  for (const char c : AText)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

httplib::Result Send(httplib::Client& ACli, const std::string& AMethod, const std::string& ATarget,
                     const std::string& ABody = {}, const httplib::Headers& AHeaders = {}) {
  httplib::Request Req;
  Req.method = AMethod;
  Req.path = ATarget;
  Req.headers = AHeaders;
  if (!ABody.empty()) {
    Req.body = ABody;
    Req.set_header("Content-Type", "application/json");
  }
  return ACli.send(Req);
}

// One member of a map of the saved configuration file; empty when it is not there.
std::string Saved(const TDaemon& ADaemon, const char* AMap, const std::string& AKey) {
  std::ifstream In(ADaemon.Root() + "data/config.json", std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  const auto Json = ParseJsonObject(StripUtf8Bom(Text.str()));
  return Json ? JsonString(JsonChildObject(&*Json, AMap), AKey, "") : "";
}

class HttpDaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Daemon = new TDaemon(
        "shared", {{"server", {{"uiLanguage", "zh"}}}, {"synthesis", {{"maxTextLength", 40}}}});
    Started = Daemon->Start();
  }
  static void TearDownTestSuite() {
    // A clean exit also says that no sanitizer found anything in the daemon.
    if (Started) {
      EXPECT_EQ(Daemon->Stop(SIGTERM), 0) << Daemon->Stderr();
    }
    delete Daemon;
    Daemon = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(Started) << Daemon->Stderr(); }

  static httplib::Client Client() {
    httplib::Client Cli = Daemon->Client();
    Cli.set_url_encode(false);
    return Cli;
  }
  static std::string CloneTone(const std::string& ADisplay, float AFrequency) {
    httplib::Client Cli = Client();
    TJson Order = {
        {"display", ADisplay},
        {"language", "en"},
        {"clips", {{{"audio", Base64(TremoloToneWav(AFrequency))}, {"text", ADisplay}}}}};
    const auto Res = Send(Cli, "POST", "/v1/voices/clone", Order.dump());
    EXPECT_TRUE(Res && Res->status == 200) << (Res ? Res->body : "no reply");
    const TJson Voice = JsonOf(Res);
    return JsonString(&Voice, "id", "");
  }
  static int64_t CacheCount() {
    httplib::Client Cli = Client();
    return IntOf(Cli.Get("/v1/stats"), "cache_count", -1);
  }
  // Waits until the prewarm worker has nothing left waiting and the cache holds AAdded more
  // clips than ABefore: a pending count of 0 alone does not mean the last one is baked.
  static void WaitForPrewarm(int64_t ABefore, int64_t AAdded) {
    httplib::Client Cli = Client();
    const auto Deadline = std::chrono::steady_clock::now() + PrewarmLimit;
    while (std::chrono::steady_clock::now() < Deadline) {
      const TJson Stats = JsonOf(Cli.Get("/v1/stats"));
      if (JsonInteger(&Stats, "prewarm_pending", -1) == 0 &&
          JsonInteger(&Stats, "cache_count", -1) >= ABefore + AAdded)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "prewarm did not finish";
  }

  static TDaemon* Daemon;
  static bool Started;
};

TDaemon* HttpDaemonTest::Daemon = nullptr;
bool HttpDaemonTest::Started = false;

TEST_F(HttpDaemonTest, RouteTable) {
  struct TCase {
    const char* Method;
    const char* Target;
    int Status;
    const char* Error;        // "error" of a JSON error reply, or empty
    const char* ContentType;  // checked when not empty
  };
  const TCase Cases[] = {
      {"GET", "/health", 200, "", "application/json; charset=utf-8"},
      {"DELETE", "/v1/health", 200, "", ""},
      {"PATCH", "/V1/HEALTH", 200, "", ""},
      {"GET", "/v1/tts?text=Route+table&language=en", 200, "", "audio/wav"},
      {"GET", "/V1/TTS?text=Route+table&language=en", 200, "", "audio/wav"},
      {"OPTIONS", "/v1/tts?text=Route+table&language=en", 200, "", "audio/wav"},
      {"GET", "/v1/tts/", 404, "not_found", ""},
      {"GET", "/v1/prewarm?text=Route+table&language=en", 202, "", ""},
      {"GET", "/v1/selftest?format=text", 503, "", "text/plain; charset=utf-8"},
      {"PUT", "/selftest", 503, "", "application/json; charset=utf-8"},
      {"GET", "/v1/voices", 200, "", ""},
      {"GET", "/v1/voices/anything", 200, "", ""},
      {"PUT", "/v1/voices", 405, "method_not_allowed", ""},
      {"PATCH", "/v1/voices/x", 405, "method_not_allowed", ""},
      {"GET", "/v1/airlines", 200, "", ""},
      {"DELETE", "/v1/airlines", 405, "method_not_allowed", ""},
      {"GET", "/v1/defaults", 200, "", ""},
      {"POST", "/v1/defaults", 405, "method_not_allowed", ""},
      {"GET", "/v1/stats", 200, "", ""},
      {"TRACE", "/V1/Stats", 200, "", ""},
      {"GET", "/v1/log", 200, "", "text/plain; charset=utf-8"},
      {"GET", "/v1/cache", 404, "not_found", ""},
      {"POST", "/v1/cache", 404, "not_found", ""},
      {"DELETE", "/v1/cache", 200, "", ""},
      {"GET", "/nowhere/Deep?x=1", 404, "not_found", ""},
  };
  httplib::Client Cli = Client();
  for (const TCase& c : Cases) {
    SCOPED_TRACE(std::string(c.Method) + " " + c.Target);
    const auto Res = Send(Cli, c.Method, c.Target);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, c.Status) << Res->body;
    EXPECT_EQ(ErrorOf(Res), c.Error);
    if (*c.ContentType) {
      EXPECT_EQ(Res->get_header_value("Content-Type"), c.ContentType);
    }
  }
  EXPECT_EQ(MessageOf(Send(Cli, "GET", "/v1/cache")), "no such path: /v1/cache");
  EXPECT_EQ(MessageOf(Send(Cli, "GET", "/nowhere/Deep?x=1")), "no such path: /nowhere/Deep");
  EXPECT_EQ(MessageOf(Send(Cli, "PUT", "/v1/voices")), "PUT is not allowed on this path");
  EXPECT_EQ(MessageOf(Send(Cli, "PATCH", "/v1/airlines")), "PATCH is not allowed on this path");
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/cache")->body, "{\"cleared\":true}");
  EXPECT_EQ(Send(Cli, "GET", "/v1/stats", {}, {{"Authorization", "Bearer anything"}})->status, 200);
}

TEST_F(HttpDaemonTest, SynthesisMissHitAndConditionalRequests) {
  httplib::Client Cli = Client();
  const std::string Target = "/v1/tts?text=Flight+CA1234+now+boarding&language=ja&speed=1.2";
  const auto First = Cli.Get(Target.c_str());
  ASSERT_TRUE(First);
  ASSERT_EQ(First->status, 200) << First->body;
  EXPECT_EQ(First->get_header_value("Content-Type"), "audio/wav");
  EXPECT_EQ(First->get_header_value("X-Quavox-Cache"), "miss");
  EXPECT_EQ(First->get_header_value("X-Quavox-Result"), "ok");
  EXPECT_EQ(First->get_header_value("X-Quavox-Engine"), "placeholder");
  EXPECT_FALSE(First->get_header_value("X-Quavox-Voice").empty());
  EXPECT_GT(std::stoi(First->get_header_value("X-Quavox-Duration-Ms")), 0);
  EXPECT_GT(std::stoi(First->get_header_value("X-Quavox-Sample-Rate")), 0);
  EXPECT_EQ(First->get_header_value("Content-Length"), std::to_string(First->body.size()));
  EXPECT_EQ(First->body.substr(0, 4), "RIFF");
  const std::string ETag = First->get_header_value("ETag");
  ASSERT_GT(ETag.size(), 2u);
  EXPECT_EQ(ETag.front(), '"');
  EXPECT_EQ(ETag.back(), '"');

  const auto Second = Cli.Get(Target.c_str());
  ASSERT_TRUE(Second);
  EXPECT_EQ(Second->get_header_value("X-Quavox-Cache"), "hit");
  EXPECT_EQ(Second->get_header_value("ETag"), ETag);
  EXPECT_EQ(Second->get_header_value("X-Quavox-Engine"), "");
  EXPECT_EQ(Second->get_header_value("X-Quavox-Synth-Ms"), "0");
  EXPECT_EQ(Second->body.size(), First->body.size());

  const auto NotModified = Cli.Get(Target.c_str(), {{"If-None-Match", ETag}});
  ASSERT_TRUE(NotModified);
  EXPECT_EQ(NotModified->status, 304);
  EXPECT_TRUE(NotModified->body.empty());
  EXPECT_EQ(NotModified->get_header_value("X-Quavox-Result"), "ok");
  EXPECT_EQ(Cli.Get(Target.c_str(), {{"If-None-Match", "W/" + ETag}})->status, 200);
  EXPECT_EQ(Cli.Get(Target.c_str(), {{"If-None-Match", "\"other\""}})->status, 200);

  // The JSON form, with the speed sent as a string, is the same request.
  const auto Posted =
      Send(Cli, "POST", "/v1/tts",
           R"({"text":"Flight CA1234 now boarding","language":"ja-JP","speed":"1.2"})");
  ASSERT_TRUE(Posted);
  EXPECT_EQ(Posted->get_header_value("ETag"), ETag);
  EXPECT_EQ(Posted->get_header_value("X-Quavox-Cache"), "hit");

  // Another speed is served from the same cached clip under its own tag.
  const auto Slower = Cli.Get("/v1/tts?text=Flight+CA1234+now+boarding&language=ja&speed=0.8");
  ASSERT_TRUE(Slower);
  EXPECT_EQ(Slower->get_header_value("X-Quavox-Cache"), "hit");
  EXPECT_NE(Slower->get_header_value("ETag"), ETag);
  EXPECT_GT(std::stoi(Slower->get_header_value("X-Quavox-Duration-Ms")),
            std::stoi(First->get_header_value("X-Quavox-Duration-Ms")));

  // A byte range is cut from the same file.
  const auto Ranged = Cli.Get(Target.c_str(), {{"Range", "bytes=0-9"}});
  ASSERT_TRUE(Ranged);
  EXPECT_EQ(Ranged->status, 206);
  EXPECT_TRUE(Ranged->body == Second->body.substr(0, 10)) << "the first ten bytes of the file";
}

// The name of the daemon's open file that is AName in some folder, deleted or not; empty
// when the daemon has no such file open.
std::string OpenFileNamed(pid_t APid, const std::string& AName) {
  std::error_code Error;
  for (const auto& Item : fs::directory_iterator("/proc/" + std::to_string(APid) + "/fd", Error)) {
    const std::string Target = fs::read_symlink(Item.path(), Error).string();
    if (EndsWith(Target, "/" + AName) || EndsWith(Target, "/" + AName + " (deleted)"))
      return Target;
  }
  return {};
}

// Hits of a clip held in memory go out from its cache file once that is in place: whole
// replies, byte ranges and HEAD stay exact, and a cleared clip is neither served again nor
// kept open.
TEST_F(HttpDaemonTest, HitsSentFromTheClipFileAreExactAndEndWithTheClip) {
  httplib::Client Cli = Client();
  const std::string Target = "/v1/tts?text=Gate+B7+is+closing&language=en";
  const auto Miss = Cli.Get(Target);
  ASSERT_TRUE(Miss && Miss->status == 200);
  const std::string Whole = Miss->body;
  const std::string Tag = Miss->get_header_value("ETag");
  const std::string Name = Tag.substr(1, Tag.size() - 2) + ".wav";
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (OpenFileNamed(Daemon->Pid(), Name).empty() &&
         std::chrono::steady_clock::now() < Deadline) {
    const auto Hit = Cli.Get(Target);
    ASSERT_TRUE(Hit);
    ASSERT_TRUE(Hit->body == Whole);
  }
  ASSERT_FALSE(OpenFileNamed(Daemon->Pid(), Name).empty()) << "hits never sent from the file";

  const std::size_t N = Whole.size();
  ASSERT_GT(N, 200u);
  struct TRangeCase {
    std::string Range;
    std::size_t First;
    std::size_t Length;
  };
  const std::vector<TRangeCase> Cases = {
      {"", 0, N},
      {"bytes=0-9", 0, 10},
      {"bytes=100-100", 100, 1},
      {"bytes=-16", N - 16, 16},
      {"bytes=" + std::to_string(N - 100) + "-", N - 100, 100},
      {"bytes=7-" + std::to_string(N * 2), 7, N - 7},
  };
  for (const TRangeCase& Case : Cases) {
    httplib::Headers Headers;
    if (!Case.Range.empty()) Headers.emplace("Range", Case.Range);
    const auto Res = Cli.Get(Target, Headers);
    ASSERT_TRUE(Res) << Case.Range;
    EXPECT_EQ(Res->status, Case.Range.empty() ? 200 : 206) << Case.Range;
    EXPECT_EQ(Res->get_header_value("X-Quavox-Cache"), "hit") << Case.Range;
    EXPECT_TRUE(Res->body == Whole.substr(Case.First, Case.Length)) << Case.Range;
  }
  // A HEAD sends no body: the next reply on the connection starts where it should.
  const auto Head = Cli.Head(Target);
  ASSERT_TRUE(Head);
  EXPECT_EQ(Head->status, 200);
  EXPECT_TRUE(Head->body.empty());
  EXPECT_EQ(Head->get_header_value("Content-Length"), std::to_string(N));
  const auto AfterHead = Cli.Get(Target);
  ASSERT_TRUE(AfterHead);
  EXPECT_TRUE(AfterHead->body == Whole);

  ASSERT_EQ(Send(Cli, "DELETE", "/v1/cache")->status, 200);
  EXPECT_EQ(OpenFileNamed(Daemon->Pid(), Name), "") << "the cleared clip's file is closed";
  const auto Again = Cli.Get(Target);
  ASSERT_TRUE(Again);
  EXPECT_EQ(Again->get_header_value("X-Quavox-Cache"), "miss");
}

TEST_F(HttpDaemonTest, SynthesisFailures) {
  struct TCase {
    const char* Method;
    const char* Target;
    const char* Body;
    int Status;
    const char* Error;
  };
  const TCase Cases[] = {
      {"POST", "/v1/tts", "[1,2]", 400, "bad_json"},
      {"POST", "/v1/tts", "{oops", 400, "bad_json"},
      {"POST", "/v1/tts", "", 400, "bad_json"},
      {"GET", "/v1/tts?text=%20+%20", "", 400, "empty_text"},
      {"POST", "/v1/tts", R"({"text":"  "})", 400, "empty_text"},
      {"GET", "/v1/tts?text=This+sentence+is+much+longer+than+forty+units", "", 413,
       "text_too_long"},
      {"GET", "/v1/tts?text=Hello&voice=v-doesnotexist", "", 404, "bad_voice"},
      {"GET", "/v1/tts?text=Hello&airline=zzz&language=en", "", 404, "bad_voice"},
  };
  httplib::Client Cli = Client();
  for (const TCase& c : Cases) {
    SCOPED_TRACE(std::string(c.Method) + " " + c.Target + " " + c.Body);
    const auto Res = Send(Cli, c.Method, c.Target, c.Body);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, c.Status) << Res->body;
    EXPECT_EQ(ErrorOf(Res), c.Error);
    EXPECT_FALSE(MessageOf(Res).empty());
    EXPECT_TRUE(IsAscii(Res->body)) << Res->body;
  }
  EXPECT_EQ(MessageOf(Send(Cli, "POST", "/v1/tts", "[1]")), "request body is not valid JSON");
  EXPECT_NE(MessageOf(Send(Cli, "GET", "/v1/tts?text=Hello&airline=zzz")).find("ZZZ"),
            std::string::npos);
}

TEST_F(HttpDaemonTest, CloneListUseAndDelete) {
  httplib::Client Cli = Client();
  const TJson Order = {{"display", "Tone A"},
                       {"language", "en-US"},
                       {"gender", "F"},
                       {"style", "calm"},
                       {"note", "made by the test"},
                       {"clips",
                        {{{"audio", Base64(TremoloToneWav(220))}, {"text", "a tone"}},
                         {{"text", "no audio here"}},
                         5}}};
  const auto Cloned = Send(Cli, "POST", "/v1/voices/clone", Order.dump());
  ASSERT_TRUE(Cloned);
  ASSERT_EQ(Cloned->status, 200) << Cloned->body;
  const TJson Voice = JsonOf(Cloned);
  EXPECT_EQ(Keys(Voice),
            (std::vector<std::string>{"id", "display", "kind", "voice_profile", "language",
                                      "gender", "style", "note", "clip_count", "clips"}));
  const std::string IdA = JsonString(&Voice, "id", "");
  ASSERT_FALSE(IdA.empty());
  EXPECT_EQ(JsonString(&Voice, "display", ""), "Tone A");
  EXPECT_EQ(JsonString(&Voice, "kind", ""), "cloned");
  EXPECT_EQ(JsonString(&Voice, "language", ""), "en");
  EXPECT_EQ(JsonString(&Voice, "gender", ""), "female");
  EXPECT_EQ(JsonInteger(&Voice, "clip_count", 0), 1);
  const TJson& Clip = Voice.at("clips").at(0);
  EXPECT_EQ(Keys(Clip), (std::vector<std::string>{"file", "text", "duration_ms"}));
  EXPECT_EQ(JsonString(&Clip, "text", ""), "a tone");
  EXPECT_GT(JsonInteger(&Clip, "duration_ms", 0), 0);

  // A single MP3 reference, encoded by lame for this test.
  std::string IdMp3;
  const std::string Wav = Daemon->Root() + "tone.wav";
  const std::string Mp3 = Daemon->Root() + "tone.mp3";
  const TBytes ToneB = TremoloToneWav(330);
  WriteFileBytes(Wav, ToneB);
  if (std::system(("lame --quiet -b 64 '" + Wav + "' '" + Mp3 + "' 2>/dev/null").c_str()) == 0) {
    const TJson Mp3Order = {{"display", "Tone MP3"},
                            {"audio", Base64(ReadFileBytes(Mp3))},
                            {"reference_text", "an mp3 tone"}};
    const auto Res = Send(Cli, "POST", "/V1/Voices/CLONE", Mp3Order.dump());
    ASSERT_TRUE(Res);
    ASSERT_EQ(Res->status, 200) << Res->body;
    const TJson Mp3Voice = JsonOf(Res);
    IdMp3 = JsonString(&Mp3Voice, "id", "");
    EXPECT_EQ(JsonInteger(&Mp3Voice, "clip_count", 0), 1);
    EXPECT_EQ(JsonString(&Mp3Voice.at("clips").at(0), "text", ""), "an mp3 tone");
  } else {
    ADD_FAILURE() << "lame could not encode the MP3 reference";
  }

  const TJson List = JsonOf(Cli.Get("/v1/voices"));
  EXPECT_EQ(Keys(List), (std::vector<std::string>{"voices", "count"}));
  std::set<std::string> Ids;
  for (const TJson& Item : List.at("voices"))
    Ids.insert(JsonString(&Item, "id", ""));
  EXPECT_EQ(JsonInteger(&List, "count", -1), static_cast<int64_t>(List.at("voices").size()));
  EXPECT_TRUE(Ids.count(IdA));
  if (!IdMp3.empty()) {
    EXPECT_TRUE(Ids.count(IdMp3));
  }

  // "reference_id" names the voice when "voice" is empty; "voice" wins over it.
  const auto ByReference =
      Send(Cli, "POST", "/v1/tts", TJson({{"text", "Hello there"}, {"reference_id", IdA}}).dump());
  ASSERT_TRUE(ByReference);
  EXPECT_EQ(ByReference->get_header_value("X-Quavox-Voice"), IdA) << ByReference->body;
  if (!IdMp3.empty()) {
    const auto ByVoice =
        Send(Cli, "POST", "/v1/tts",
             TJson({{"text", "Hello there"}, {"voice", IdMp3}, {"reference_id", IdA}}).dump());
    ASSERT_TRUE(ByVoice);
    EXPECT_EQ(ByVoice->get_header_value("X-Quavox-Voice"), IdMp3) << ByVoice->body;
  }

  const auto Missing = Send(Cli, "DELETE", "/v1/voices/v-doesnotexist");
  EXPECT_EQ(Missing->status, 404);
  EXPECT_EQ(ErrorOf(Missing), "not_found");
  EXPECT_EQ(MessageOf(Missing), "没有这个音色:v-doesnotexist");
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/voices")->status, 404);
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/voices/")->status, 404);
  // An id is data: it never reaches the file system as a path.
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/voices/..%2F..%2Fdata%2Fconfig.json")->status, 404);
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/voices/../../data/config.json")->status, 404);
  EXPECT_TRUE(fs::exists(Daemon->Root() + "data/config.json"));

  const auto Removed = Send(Cli, "DELETE", "/v1/voices/" + IdA);
  ASSERT_EQ(Removed->status, 200) << Removed->body;
  EXPECT_EQ(Removed->body, "{\"removed\":\"" + IdA + "\"}");
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/voices/" + IdA)->status, 404);
  const TJson Remaining = JsonOf(Cli.Get("/v1/voices"));
  for (const TJson& Item : Remaining.at("voices"))
    EXPECT_NE(JsonString(&Item, "id", ""), IdA);
}

TEST_F(HttpDaemonTest, CloneRefusals) {
  struct TCase {
    const char* Target;
    std::string Body;
    int Status;
    const char* Error;
    const char* Message;  // checked when not empty
  };
  const TCase Cases[] = {
      {"/v1/voices/clone", "not json", 400, "bad_json", "request body is not valid JSON"},
      {"/v1/voices", "not json", 400, "bad_json", ""},
      {"/v1/voices", R"({"display":"x"})", 404, "not_found",
       "to create a voice POST /v1/voices/clone with reference audio"},
      {"/v1/voices/clone", R"({"display":"x"})", 400, "bad_audio",
       "missing the audio field (base64 reference audio), or use the clips array for several"},
      {"/v1/voices/clone", R"({"audio":"@@@@"})", 400, "bad_audio", "audio is not valid base64"},
      {"/v1/voices/clone", R"({"clips":[{"audio":"QUJD"},{"audio":"A"}]})", 400, "bad_audio",
       "one entry in clips is not valid base64"},
      {"/v1/voices/clone", R"({"clips":[1,"x",{"text":"no audio"}]})", 400, "bad_audio",
       "clips contains no usable audio"},
      {"/v1/voices/clone", TJson({{"audio", Base64(TBytes(3000, 7))}}).dump(), 400, "bad_audio",
       ""},
  };
  httplib::Client Cli = Client();
  const auto CountBefore = IntOf(Cli.Get("/v1/voices"), "count", -1);
  for (const TCase& c : Cases) {
    SCOPED_TRACE(std::string(c.Target) + " " + c.Body.substr(0, 60));
    const auto Res = Send(Cli, "POST", c.Target, c.Body);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, c.Status) << Res->body;
    EXPECT_EQ(ErrorOf(Res), c.Error);
    if (*c.Message) {
      EXPECT_EQ(MessageOf(Res), c.Message);
    }
  }
  EXPECT_EQ(IntOf(Cli.Get("/v1/voices"), "count", -2), CountBefore);
}

TEST_F(HttpDaemonTest, BindingsAndDefaultsAreSaved) {
  const std::string Id = CloneTone("Binding voice", 262);
  ASSERT_FALSE(Id.empty());
  httplib::Client Cli = Client();

  const auto Bound = Send(
      Cli, "PUT", "/v1/airlines",
      TJson({{"airline", "cca"}, {"language", "zh-CN"}, {"gender", "F"}, {"voice", Id}}).dump());
  ASSERT_EQ(Bound->status, 200) << Bound->body;
  EXPECT_EQ(JsonOf(Bound).value("CCA:zh:female", ""), Id);
  EXPECT_EQ(JsonOf(Cli.Get("/v1/airlines")), JsonOf(Bound));
  EXPECT_EQ(Saved(*Daemon, "airlineVoices", "CCA:zh:female"), Id);

  const auto Unbound = Send(Cli, "PUT", "/v1/airlines",
                            R"({"airline":"CCA","language":"zh","gender":"female","voice":""})");
  ASSERT_EQ(Unbound->status, 200);
  EXPECT_FALSE(JsonOf(Unbound).contains("CCA:zh:female"));
  EXPECT_EQ(Saved(*Daemon, "airlineVoices", "CCA:zh:female"), "");

  const auto NoAirline = Send(Cli, "PUT", "/v1/airlines", R"({"language":"zh","voice":"x"})");
  EXPECT_EQ(NoAirline->status, 400);
  EXPECT_EQ(MessageOf(NoAirline), "missing airline (ICAO three-letter code)");
  const auto NoVoice = Send(Cli, "PUT", "/v1/airlines", R"({"airline":"CCA","voice":"v-nope"})");
  EXPECT_EQ(NoVoice->status, 404);
  EXPECT_EQ(MessageOf(NoVoice), "没有这个音色:v-nope");
  EXPECT_EQ(ErrorOf(Send(Cli, "PUT", "/v1/airlines", "[]")), "bad_json");

  const TJson Before = JsonOf(Cli.Get("/v1/defaults"));
  const auto Male =
      Send(Cli, "PUT", "/v1/defaults", TJson({{"language", "fr"}, {"male", Id}}).dump());
  ASSERT_EQ(Male->status, 200) << Male->body;
  TJson Expected = Before;
  Expected["fr:male"] = Id;
  TJson After = JsonOf(Male);
  EXPECT_EQ(After.value("fr:male", ""), Id);
  EXPECT_EQ(After.value("fr:female", "-"), Before.value("fr:female", "-"));
  EXPECT_EQ(After.size(), Expected.size());
  EXPECT_EQ(Saved(*Daemon, "defaultVoices", "fr:male"), Id);
  const auto Unknown =
      Send(Cli, "PUT", "/v1/defaults", R"({"language":"fr","female":"v-nope","male":""})");
  EXPECT_EQ(Unknown->status, 404);
  EXPECT_EQ(MessageOf(Unknown), "没有这个音色:v-nope");
  EXPECT_EQ(ErrorOf(Send(Cli, "PUT", "/v1/defaults", "nope")), "bad_json");
}

TEST_F(HttpDaemonTest, PrewarmBakesWholeSets) {
  httplib::Client Cli = Client();
  const std::string Set =
      R"({"language":"en","items":[{"text":"Prewarm line one"},{"text":"Prewarm line two"},)"
      R"({"text":"   "},7]})";
  int64_t Before = CacheCount();
  const auto Queued = Send(Cli, "POST", "/v1/prewarm", Set);
  ASSERT_EQ(Queued->status, 202) << Queued->body;
  const TJson Reply = JsonOf(Queued);
  EXPECT_EQ(Keys(Reply),
            (std::vector<std::string>{"queued", "cached", "skipped_empty", "pending"}));
  EXPECT_EQ(JsonInteger(&Reply, "queued", -1), 2);
  EXPECT_EQ(JsonInteger(&Reply, "cached", -1), 0);
  EXPECT_EQ(JsonInteger(&Reply, "skipped_empty", -1), 1);
  WaitForPrewarm(Before, 2);
  EXPECT_EQ(
      Cli.Get("/v1/tts?text=Prewarm+line+one&language=en")->get_header_value("X-Quavox-Cache"),
      "hit");
  const TJson Again = JsonOf(Send(Cli, "POST", "/v1/prewarm", Set));
  EXPECT_EQ(JsonInteger(&Again, "queued", -1), 0);
  EXPECT_EQ(JsonInteger(&Again, "cached", -1), 2);

  // Items take airline, language, gender and speed from the top level unless they set them.
  const std::string Id = CloneTone("Prewarm voice", 392);
  for (const char* Language : {"ja", "zh"})
    ASSERT_EQ(Send(Cli, "PUT", "/v1/airlines",
                   TJson({{"airline", "ANA"}, {"language", Language}, {"voice", Id}}).dump())
                  ->status,
              200);
  Before = CacheCount();
  const auto ForAna = Send(Cli, "POST", "/v1/prewarm",
                           R"({"airline":"ANA","language":"ja","items":[{"text":"ANA one"},)"
                           R"({"text":"ANA two","language":"zh"}]})");
  EXPECT_EQ(IntOf(ForAna, "queued", -1), 2) << ForAna->body;
  WaitForPrewarm(Before, 2);
  const auto One = Cli.Get("/v1/tts?text=ANA+one&airline=ana&language=ja");
  EXPECT_EQ(One->get_header_value("X-Quavox-Cache"), "hit");
  EXPECT_EQ(One->get_header_value("X-Quavox-Voice"), Id);
  EXPECT_EQ(
      Cli.Get("/v1/tts?text=ANA+two&airline=ANA&language=zh")->get_header_value("X-Quavox-Cache"),
      "hit");

  // Without "items" the body is one request; other methods take the query string.
  Before = CacheCount();
  EXPECT_EQ(IntOf(Send(Cli, "POST", "/v1/prewarm", R"({"text":"Single line","language":"en"})"),
                  "queued", -1),
            1);
  EXPECT_EQ(Cli.Get("/v1/prewarm?text=Query+line&language=en")->status, 202);
  WaitForPrewarm(Before, 2);

  EXPECT_EQ(ErrorOf(Send(Cli, "POST", "/v1/prewarm", "nope")), "bad_json");
  const auto BadVoice =
      Send(Cli, "POST", "/v1/prewarm", R"({"text":"Lost voice","voice":"v-missing"})");
  EXPECT_EQ(BadVoice->status, 400);
  EXPECT_EQ(ErrorOf(BadVoice), "bad_voice");
}

TEST_F(HttpDaemonTest, OperationsEndpoints) {
  httplib::Client Cli = Client();
  const auto Health = Cli.Get("/v1/health");
  ASSERT_EQ(Health->status, 200);
  EXPECT_TRUE(IsAscii(Health->body)) << Health->body;
  const TJson H = JsonOf(Health);
  EXPECT_EQ(Keys(H), (std::vector<std::string>{"status", "version", "engine", "engine_detail",
                                               "engine_ready", "placeholder", "engine_exe",
                                               "compute", "voices", "output_sample_rate"}));
  EXPECT_EQ(JsonString(&H, "status", ""), "degraded");
  EXPECT_EQ(JsonString(&H, "version", ""), "0.3.26218");
  EXPECT_EQ(H.at("engine_ready"), true);
  EXPECT_EQ(H.at("placeholder"), true);
  EXPECT_EQ(JsonString(&H, "compute", ""), "auto");

  const TJson S = JsonOf(Cli.Get("/v1/stats"));
  EXPECT_EQ(Keys(S), (std::vector<std::string>{"total", "failed", "cache_hits", "cache_hit_rate",
                                               "cache_bytes", "cache_count", "queue_depth",
                                               "prewarm_pending", "busy", "p50_ms", "p95_ms", "rtf",
                                               "engine", "placeholder"}));

  const auto LastLine = Cli.Get("/v1/log?lines=0");
  ASSERT_EQ(LastLine->status, 200);
  EXPECT_EQ(LastLine->get_header_value("Content-Type"), "text/plain; charset=utf-8");
  ASSERT_GE(LastLine->body.size(), 2u);
  EXPECT_EQ(LastLine->body.find("\r\n"), LastLine->body.size() - 2) << "exactly one line";
  const std::string Many = Cli.Get("/v1/log?lines=abc")->body;
  std::size_t Lines = 0;
  for (std::size_t At = Many.find("\r\n"); At != std::string::npos; At = Many.find("\r\n", At + 2))
    ++Lines;
  EXPECT_GE(Lines, 2u);
  EXPECT_LE(Lines, 200u);
  EXPECT_EQ(Many.substr(Many.size() - 2), "\r\n");

  const std::string Endpoint = "http://127.0.0.1:" + std::to_string(Daemon->Port());
  const auto SelfTest = Cli.Get("/v1/selftest?text=Self+test&language=en&gender=male");
  ASSERT_EQ(SelfTest->status, 503) << "the placeholder fails the engine check";
  const TJson T = JsonOf(SelfTest);
  EXPECT_EQ(Keys(T), (std::vector<std::string>{"ok", "endpoint", "checks", "report"}));
  EXPECT_EQ(T.at("ok"), false);
  EXPECT_EQ(JsonString(&T, "endpoint", ""), Endpoint);
  std::vector<std::string> Names;
  for (const TJson& Check : T.at("checks")) {
    EXPECT_EQ(Keys(Check), (std::vector<std::string>{"name", "ok", "detail"}));
    Names.push_back(JsonString(&Check, "name", ""));
  }
  EXPECT_EQ(Names, (std::vector<std::string>{"engine", "voices", "synthesize", "cache"}));
  const std::string Report = JsonString(&T, "report", "");
  EXPECT_EQ(Report.rfind("[FAIL] engine  ", 0), 0u) << Report;
  EXPECT_NE(Report.find("\r\n[OK]   cache  "), std::string::npos) << Report;
  EXPECT_NE(Report.find("\r\n\r\n有没过的项,照上面那条改。\r\n"), std::string::npos) << Report;
  EXPECT_TRUE(EndsWith(Report, "服务地址:" + Endpoint + "\r\n")) << Report;

  const auto Text = Cli.Get("/v1/selftest?format=TEXT&text=Self+test&language=en&gender=male");
  EXPECT_EQ(Text->status, 503);
  EXPECT_EQ(Text->get_header_value("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(Text->body.rfind("[FAIL] engine  ", 0), 0u);
  EXPECT_EQ(Cli.Get("/selftest?format=json")->get_header_value("Content-Type"),
            "application/json; charset=utf-8");

  EXPECT_EQ(Cli.Get("/v1/tts?text=Flush+me&language=en")->status, 200);
  EXPECT_EQ(Cli.Get("/v1/tts?text=Flush+me&language=en")->get_header_value("X-Quavox-Cache"),
            "hit");
  EXPECT_EQ(Send(Cli, "DELETE", "/v1/cache")->status, 200);
  EXPECT_EQ(Cli.Get("/v1/tts?text=Flush+me&language=en")->get_header_value("X-Quavox-Cache"),
            "miss");
}

TEST_F(HttpDaemonTest, TransportRefusalsAreJsonToo) {
  const int Port = Daemon->Port();
  const auto StatusLine = [](const std::string& AAnswer) {
    return AAnswer.substr(0, AAnswer.find("\r\n"));
  };
  std::string Answer = RawExchange(Port, "GARBAGE\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(Answer.find("{\"error\":\"bad_request\""), std::string::npos) << Answer;

  Answer = RawExchange(Port, "FOO /v1/stats HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(Answer.find("\"error\":\"bad_request\""), std::string::npos) << Answer;

  Answer = RawExchange(Port,
                       "POST /v1/voices/clone HTTP/1.1\r\nHost: x\r\nContent-Length: 900000000\r\n"
                       "Content-Type: application/json\r\n\r\n{\"audio\":\"");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 413 Payload Too Large");
  EXPECT_NE(Answer.find("\"error\":\"payload_too_large\""), std::string::npos) << Answer;
  EXPECT_NE(Answer.find("Connection: close"), std::string::npos);

  // Two requests in one packet on one connection: both are answered, in order.
  Answer = RawExchange(Port,
                       "GET /health HTTP/1.1\r\nHost: x\r\n\r\n"
                       "GET /v1/nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 200 OK");
  EXPECT_NE(Answer.find("HTTP/1.1 404 Not Found"), std::string::npos) << Answer;

  // A body on a GET is not read; the connection is closed after the reply instead of the
  // body being taken for the next request.
  Answer = RawExchange(Port,
                       "GET /v1/stats HTTP/1.1\r\nHost: x\r\nContent-Length: 26\r\n\r\n"
                       "GET /v1/cache HTTP/1.1\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 200 OK");
  EXPECT_EQ(Answer.find("HTTP/1.1", 8), std::string::npos) << Answer;

  // A POST without any body declaration has an empty body: answered at once.
  Answer = RawExchange(Port, "POST /v1/tts HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(Answer.find("\"error\":\"bad_json\""), std::string::npos) << Answer;

  // A chunked JSON body.
  Answer = RawExchange(Port,
                       "POST /v1/tts HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                       "Connection: close\r\n\r\n"
                       "b\r\n{\"text\":\"\"}\r\n0\r\n\r\n");
  EXPECT_NE(Answer.find("\"error\":\"empty_text\""), std::string::npos) << Answer;
}

// A body whose length the framing headers do not say unambiguously is refused and the
// connection closed, so a request hidden in it never runs.
TEST_F(HttpDaemonTest, AmbiguousBodyFramingIsRefusedAndTheConnectionClosed) {
  const std::string Smuggled = "DELETE /v1/cache HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string Length = std::to_string(Smuggled.size());
  const std::vector<std::string> Framings = {
      "Content-Length: -1\r\n",
      "Content-Length: 1e3\r\n",
      "Content-Length: 18446744073709551616\r\n",
      "Content-Length: +" + Length + "\r\n",
      "Content-Length: 0\r\nContent-Length: " + Length + "\r\n",
      "Content-Length: " + Length + "\r\nTransfer-Encoding: chunked\r\n",
      "Transfer-Encoding: gzip\r\n",
  };
  for (const std::string& Framing : Framings) {
    const std::string Answer = RawExchange(
        Daemon->Port(), "POST /v1/normalize HTTP/1.1\r\nHost: x\r\n" + Framing + "\r\n" + Smuggled);
    EXPECT_EQ(Answer.substr(0, Answer.find("\r\n")), "HTTP/1.1 400 Bad Request") << Framing;
    EXPECT_NE(Answer.find("\"error\":\"bad_request\""), std::string::npos) << Answer;
    EXPECT_NE(Answer.find("Connection: close"), std::string::npos) << Framing;
    EXPECT_EQ(Answer.find("HTTP/1.1", 8), std::string::npos) << Framing << Answer;
  }
}

// ---- Daemons of their own ------------------------------------------------------------------

TEST(HttpDaemonLife, RateLimitedClientStillGetsHealth) {
  TDaemon Daemon("ratelimit", {{"server", {{"rateLimitPerMinute", 3}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = Daemon.Client();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Cli.Get("/v1/stats")->status, 200);
  const auto Refused = Cli.Get("/v1/voices");
  ASSERT_TRUE(Refused);
  EXPECT_EQ(Refused->status, 429);
  EXPECT_EQ(Refused->get_header_value("Retry-After"), "60");
  EXPECT_EQ(Refused->body,
            "{\"error\":\"rate_limited\",\"message\":\"over the limit of 3 requests per minute\"}");
  EXPECT_EQ(Cli.Get("/health")->status, 200);
  EXPECT_EQ(Cli.Get("/v1/health")->status, 200);
  EXPECT_EQ(Cli.Get("/v1/tts?text=x")->status, 429);
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0);
}

TEST(HttpDaemonLife, SigtermFlushesTheCacheIndexAndExitsCleanly) {
  TDaemon Daemon("shutdown");
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = Daemon.Client();
  const auto Res = Cli.Get("/v1/tts?text=Kept+across+restarts&language=en");
  ASSERT_EQ(Res->status, 200);
  const std::string ETag = Res->get_header_value("ETag");
  const std::string Key = ETag.substr(1, ETag.size() - 2);
  // The client keeps its connection open and idle: stopping must not wait for it.
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0);

  std::ifstream In(Daemon.Root() + "temp/index.json", std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  const auto Index = ParseJsonObject(StripUtf8Bom(Text.str()));
  ASSERT_TRUE(Index) << Text.str();
  EXPECT_TRUE(Index->contains(Key)) << Text.str();
  EXPECT_TRUE(fs::exists(Daemon.Root() + "temp/" + Key + ".wav"));
  const std::string Log = Daemon.Stderr();
  EXPECT_NE(Log.find("[INFO] http: service started on http://127.0.0.1:"), std::string::npos)
      << Log;
  EXPECT_NE(Log.find("[INFO] http: service stopped"), std::string::npos) << Log;
}

TEST(HttpDaemonLife, TakenPortGivesTheThreeLineMessage) {
  TDaemon First("port-first");
  ASSERT_TRUE(First.Start()) << First.Stderr();
  TDaemon Second("port-second", {{"server", {{"port", First.Port()}, {"uiLanguage", "zh"}}}});
  ASSERT_TRUE(Second.Launch());
  EXPECT_EQ(Second.Wait(), 3);
  const std::string Expected = "端口 " + std::to_string(First.Port()) +
                               " 已经被占用了。\r\n要么是已经有一个 Quavox 在跑(看一下托盘),\r\n"
                               "要么是别的程序占了这个口 —— 可以在「设置」里换一个端口。\n";
  const std::string Log = Second.Stderr();
  EXPECT_NE(Log.find(Expected), std::string::npos) << Log;
  EXPECT_NE(Log.find("[ERROR] http: failed to start on 127.0.0.1:" + std::to_string(First.Port())),
            std::string::npos)
      << Log;
  // The first one still serves, and SIGINT stops it as cleanly as SIGTERM.
  EXPECT_EQ(First.Client().Get("/health")->status, 200);
  EXPECT_EQ(First.Stop(SIGINT), 0);
}

TEST(HttpDaemonLife, CommandLine) {
  std::string Out;
  std::string Err;
  EXPECT_EQ(RunDaemonOnce({"--version"}, Out, Err), 0);
  EXPECT_EQ(Out, "quavoxd 0.3.26218\n");
  EXPECT_EQ(RunDaemonOnce({"--help"}, Out, Err), 0);
  EXPECT_NE(Out.find("--root DIR"), std::string::npos);
  for (const std::vector<std::string>& Args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"--root"}, {"serve"}, {"--root", "/tmp", "extra"}}) {
    EXPECT_EQ(RunDaemonOnce(Args, Out, Err), 2) << Args[0];
    EXPECT_EQ(Err.rfind("usage: quavoxd", 0), 0u) << Err;
  }
}

// Clones a voice through the API, so that requests name it and never ask the engine to
// invent a default voice first.
std::string CloneWith(httplib::Client& ACli, const std::string& ADisplay) {
  ACli.set_url_encode(false);
  const TJson Order = {
      {"display", ADisplay},
      {"language", "en"},
      {"clips", {{{"audio", Base64(TremoloToneWav(200))}, {"text", "A test tone."}}}}};
  const auto Res = Send(ACli, "POST", "/v1/voices/clone", Order.dump());
  const TJson Voice = JsonOf(Res);
  return JsonString(&Voice, "id", "");
}

// With the bundled inference server and its voice file in the program folder, real speech
// comes back instead of the placeholder.
TEST(HttpDaemonLife, BundledEngineSpeaks) {
  if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
  TDaemon Daemon("engine");
  InstallBundledEngine(Daemon);
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  httplib::Client Cli = Daemon.Client();

  ASSERT_TRUE(WaitUntilReady(Cli, std::chrono::seconds(120))) << Daemon.Stderr();
  const TJson Health = JsonOf(Cli.Get("/v1/health"));
  EXPECT_EQ(Health.at("placeholder"), false);

  const auto Res = Cli.Get("/v1/tts?text=Welcome+aboard+flight+CA1234&language=en");
  ASSERT_TRUE(Res);
  ASSERT_EQ(Res->status, 200) << Res->body << Daemon.Stderr();
  EXPECT_NE(Res->get_header_value("X-Quavox-Engine"), "placeholder");
  EXPECT_FALSE(Res->get_header_value("X-Quavox-Engine").empty());
  TPcmBuffer Pcm;
  ASSERT_TRUE(WavToPcm(TBytes(Res->body.begin(), Res->body.end()), Pcm));
  EXPECT_GT(Pcm.DurationMs(), 500);
  double Energy = 0;
  for (const float v : Pcm.Data)
    Energy += v * v;
  EXPECT_GT(std::sqrt(Energy / std::max<std::size_t>(Pcm.Data.size(), 1)), 0.01);
  EXPECT_EQ(Daemon.Stop(SIGTERM), 0);
}

// The engine's failures reach the client as their own statuses and codes; the bundled
// server misbehaves on purpose through its test switches.
TEST(HttpDaemonLife, EngineFailuresKeepTheirStatus) {
  if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";

  {
    TDaemon Daemon("engine-500", {{"engine", {{"extraArgs", "--test-status 500"}}}});
    InstallBundledEngine(Daemon);
    ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
    httplib::Client Cli = Daemon.Client();
    const std::string Voice = CloneWith(Cli, "Failing engine voice");
    ASSERT_FALSE(Voice.empty());
    ASSERT_TRUE(WaitUntilReady(Cli, std::chrono::seconds(120))) << Daemon.Stderr();
    const auto Res = Cli.Get(("/v1/tts?text=Engine+failure&voice=" + Voice).c_str());
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, 500) << Res->body;
    EXPECT_EQ(ErrorOf(Res), "engine_failed");
    EXPECT_FALSE(Res->has_header("Retry-After")) << "asking again does not help";
  }
  {
    TDaemon Daemon("engine-loading", {{"engine", {{"extraArgs", "--test-ready-delay-ms 600000"}}}});
    InstallBundledEngine(Daemon);
    ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
    httplib::Client Cli = Daemon.Client();
    const std::string Voice = CloneWith(Cli, "Loading engine voice");
    const auto Res = Cli.Get(("/v1/tts?text=Not+ready+yet&voice=" + Voice).c_str());
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, 503) << Res->body;
    EXPECT_EQ(ErrorOf(Res), "engine_not_connected");
    EXPECT_EQ(Res->get_header_value("Retry-After"), "30") << "clients back off while it starts";
    // A line no voice is bound for waits for the engine as well: it will make the default voice.
    const auto Unbound = Cli.Get("/v1/tts?text=Not+ready+yet&language=ja");
    ASSERT_TRUE(Unbound);
    EXPECT_EQ(Unbound->status, 503) << Unbound->body;
    EXPECT_EQ(ErrorOf(Unbound), "engine_not_connected");
  }
  {
    TDaemon Daemon("engine-slow", {{"engine", {{"extraArgs", "--test-answer-delay-ms 5000"}}},
                                   {"synthesis", {{"timeoutMs", 1000}, {"queueLimit", 1}}}});
    InstallBundledEngine(Daemon);
    ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
    httplib::Client Cli = Daemon.Client();
    const std::string Voice = CloneWith(Cli, "Slow engine voice");
    ASSERT_TRUE(WaitUntilReady(Cli, std::chrono::seconds(120))) << Daemon.Stderr();
    // The first job keeps the engine busy long after its caller gave up waiting.
    const auto Slow = Cli.Get(("/v1/tts?text=Slow+one&voice=" + Voice).c_str());
    ASSERT_TRUE(Slow);
    EXPECT_EQ(Slow->status, 504) << Slow->body;
    EXPECT_EQ(ErrorOf(Slow), "timeout");
    // A second job waits in the queue (its caller gives up too); a third finds it full.
    auto Waiting = std::async(std::launch::async, [&Daemon, &Voice] {
      httplib::Client Own = Daemon.Client();
      Own.set_url_encode(false);
      return Own.Get(("/v1/tts?text=Waiting+one&voice=" + Voice).c_str());
    });
    TJson Stats;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < Deadline) {
      Stats = JsonOf(Cli.Get("/v1/stats"));
      if (JsonInteger(&Stats, "queue_depth", 0) >= 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto Full = Cli.Get(("/v1/tts?text=Third+one&voice=" + Voice).c_str());
    ASSERT_TRUE(Full);
    EXPECT_EQ(Full->status, 503) << Full->body << Stats.dump();
    EXPECT_EQ(ErrorOf(Full), "queue_full");
    EXPECT_EQ(Full->get_header_value("Retry-After"), "5") << "the queue drains within seconds";
    EXPECT_FALSE(Slow->has_header("Retry-After"));
    const auto Second = Waiting.get();
    ASSERT_TRUE(Second);
    EXPECT_EQ(ErrorOf(Second), "timeout");
  }
}

}  // namespace
}  // namespace quavox::test
