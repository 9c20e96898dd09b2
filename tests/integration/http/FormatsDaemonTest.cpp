// Replies in every format, with loudness targets, and the OpenAI-compatible speech API,
// all from the real quavoxd; each encoded reply is checked by ffprobe against the WAV of
// the same line, and the specified replies stay byte for byte what they were.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "Daemon.h"
#include "audio/Wav.h"
#include "core/Text.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* Line =
    "/v1/tts?text=Flight%20CA1234%20to%20Beijing%20is%20now%20boarding&language=en";

// Standard output of a shell command; empty when it fails.
std::string RunCommand(const std::string& ACommand) {
  std::string Out;
  FILE* Pipe = ::popen(ACommand.c_str(), "r");
  if (Pipe == nullptr) return Out;
  char Buffer[4096];
  for (size_t n; (n = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0;)
    Out.append(Buffer, n);
  return ::pclose(Pipe) == 0 ? Out : std::string();
}

bool HaveFfprobe() {
  return !RunCommand("ffprobe -version 2>/dev/null").empty();
}

struct TProbe {
  std::string Codec;
  int SampleRate = 0;
  int Channels = 0;
  double Seconds = 0;
};

// What ffprobe makes of the bytes, and how long ffmpeg's decoder plays them: ffprobe's own
// duration of an MP3 counts the encoder delay that its decoder cuts off. ADTS has no way
// to say how much the AAC encoder primed, so there the frames are counted, less that one.
TProbe ProbeBytes(const std::string& ABytes, const TTempDir& ADir, const std::string& AName) {
  const std::string File = ADir.Path() + AName;
  std::ofstream(File, std::ios::binary) << ABytes;
  const std::string Fields = RunCommand(
      "ffprobe -v error -count_packets -show_entries "
      "stream=codec_name,sample_rate,channels,nb_read_packets -of "
      "default=noprint_wrappers=1 '" +
      File + "'");
  std::map<std::string, std::string> Values;
  std::istringstream Rows(Fields);
  for (std::string Row; std::getline(Rows, Row);) {
    const auto Eq = Row.find('=');
    if (Eq != std::string::npos) Values[Row.substr(0, Eq)] = Row.substr(Eq + 1);
  }
  TProbe Probe;
  Probe.Codec = Values["codec_name"];
  Probe.SampleRate = std::atoi(Values["sample_rate"].c_str());
  Probe.Channels = std::atoi(Values["channels"].c_str());
  if (Probe.SampleRate <= 0) return Probe;
  if (Probe.Codec == "aac") {
    Probe.Seconds = (std::atof(Values["nb_read_packets"].c_str()) - 1) * 1024 / Probe.SampleRate;
  } else {
    const std::string Decoded = RunCommand("ffmpeg -v error -i '" + File + "' -f s16le -ac 1 -");
    Probe.Seconds = Decoded.size() / 2.0 / Probe.SampleRate;
  }
  return Probe;
}

std::string Unquoted(const std::string& ATag) {
  return ATag.size() >= 2 ? ATag.substr(1, ATag.size() - 2) : ATag;
}

struct TFormatCase {
  const char* Format;
  const char* Codec;
  int SampleRate;  // 0: the WAV's
  const char* ContentType;
};

const std::vector<TFormatCase>& FormatCases() {
  static const std::vector<TFormatCase> Cases = {
      {"mp3", "mp3", 0, "audio/mpeg"},
      {"opus", "opus", 48000, "audio/ogg; codecs=opus"},
      {"ogg", "vorbis", 0, "audio/ogg; codecs=vorbis"},
      {"flac", "flac", 0, "audio/flac"},
      {"aac", "aac", 0, "audio/aac"},
      {"ulaw", "pcm_mulaw", 8000, "audio/wav"},
      {"alaw", "pcm_alaw", 8000, "audio/wav"},
      {"wav", "pcm_s16le", 0, "audio/wav"},
  };
  return Cases;
}

class FormatsDaemon : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Daemon = new TDaemon("formats", TJson{{"synthesis", {{"autoDefaultVoice", true}}}});
    ASSERT_TRUE(Daemon->Start()) << Daemon->Stderr();
  }
  static void TearDownTestSuite() {
    delete Daemon;
    Daemon = nullptr;
  }
  void SetUp() override {
    if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  }
  static TDaemon* Daemon;
  TTempDir Dir{"quavox-formats"};
};
TDaemon* FormatsDaemon::Daemon = nullptr;

TEST_F(FormatsDaemon, EveryFormatDecodesWithTheWavsDurationAndItsOwnRate) {
  auto Cli = Daemon->Client();
  const auto Wav = Cli.Get(Line);
  ASSERT_TRUE(Wav && Wav->status == 200);
  TPcmBuffer Pcm;
  ASSERT_TRUE(WavToPcm(TBytes(Wav->body.begin(), Wav->body.end()), Pcm));
  const double WavSeconds = Pcm.Data.size() / static_cast<double>(Pcm.SampleRate);
  std::set<std::string> Tags{Wav->get_header_value("ETag")};
  for (const TFormatCase& c : FormatCases()) {
    SCOPED_TRACE(c.Format);
    for (const bool Post : {false, true}) {
      const auto Res = Post ? Cli.Post("/v1/tts",
                                       JsonDumpAscii(TJson{{"text",
                                                            "Flight CA1234 to Beijing is "
                                                            "now boarding"},
                                                           {"language", "en"},
                                                           {"format", c.Format}}),
                                       "application/json")
                            : Cli.Get(std::string(Line) + "&format=" + c.Format);
      ASSERT_TRUE(Res && Res->status == 200) << (Res ? Res->body : "");
      EXPECT_EQ(Res->get_header_value("Content-Type"), c.ContentType);
      const int Rate = c.SampleRate ? c.SampleRate : Pcm.SampleRate;
      EXPECT_EQ(Res->get_header_value("X-Quavox-Sample-Rate"), std::to_string(Rate));
      EXPECT_EQ(Res->get_header_value("X-Quavox-Result"), "ok");
      const TProbe Probe = ProbeBytes(Res->body, Dir, std::string("reply.") + c.Format);
      EXPECT_EQ(Probe.Codec, c.Codec);
      EXPECT_EQ(Probe.SampleRate, Rate);
      EXPECT_EQ(Probe.Channels, 1);
      EXPECT_NEAR(Probe.Seconds, WavSeconds, 0.050);
      if (!Post) Tags.insert(Res->get_header_value("ETag"));
    }
  }
  // The explicit "wav" is the plain reply; every other format has a tag of its own.
  EXPECT_EQ(Tags.size(), FormatCases().size());
}

TEST_F(FormatsDaemon, RawPcmFollowsTheRequestedRateAndTelephonyStaysAt8kHz) {
  auto Cli = Daemon->Client();
  struct TCase {
    const char* Query;
    const char* Codec;
    int Rate;
  };
  for (const TCase c : {TCase{"&format=ulaw&sample_rate=192000", "pcm_mulaw", 8000},
                        TCase{"&format=alaw", "pcm_alaw", 8000},
                        TCase{"&format=mp3&sample_rate=22050", "mp3", 22050},
                        TCase{"&format=flac&sample_rate=16000", "flac", 16000}}) {
    SCOPED_TRACE(c.Query);
    const auto Res = Cli.Get(std::string(Line) + c.Query);
    ASSERT_TRUE(Res && Res->status == 200);
    const TProbe Probe = ProbeBytes(Res->body, Dir, "rate.bin");
    const double Seconds =
        std::atoi(Res->get_header_value("X-Quavox-Duration-Ms").c_str()) / 1000.0;
    EXPECT_NEAR(Probe.Seconds, Seconds, 0.050);
    EXPECT_EQ(Probe.Codec, c.Codec);
    EXPECT_EQ(Probe.SampleRate, c.Rate);
    EXPECT_EQ(Res->get_header_value("X-Quavox-Sample-Rate"), std::to_string(c.Rate));
  }
  const auto Raw = Cli.Get(std::string(Line) + "&format=pcm&sample_rate=16000");
  ASSERT_TRUE(Raw && Raw->status == 200);
  EXPECT_EQ(Raw->get_header_value("Content-Type"), "audio/pcm");
  const int DurationMs = std::atoi(Raw->get_header_value("X-Quavox-Duration-Ms").c_str());
  EXPECT_NEAR(Raw->body.size() / 2.0 / 16.0, DurationMs, 1.0);
}

TEST_F(FormatsDaemon, EntityTagsDifferPerFormatAndLoudnessAndConditionalRequestsHold) {
  auto Cli = Daemon->Client();
  std::set<std::string> Tags;
  for (const std::string Query :
       {"", "&format=mp3", "&format=mp3&loudness=-16", "&format=mp3&loudness=-23", "&loudness=-16",
        "&format=opus&loudness=-16", "&format=mp3&sample_rate=16000"}) {
    SCOPED_TRACE(Query);
    const std::string Target = Line + Query;
    const auto First = Cli.Get(Target);
    ASSERT_TRUE(First && First->status == 200);
    const std::string Tag = First->get_header_value("ETag");
    EXPECT_TRUE(Tags.insert(Tag).second) << Tag;
    const auto Again = Cli.Get(Target);
    ASSERT_TRUE(Again);
    EXPECT_EQ(Again->get_header_value("ETag"), Tag);
    EXPECT_TRUE(Again->body == First->body);
    const auto NotModified = Cli.Get(Target, {{"If-None-Match", Tag}});
    ASSERT_TRUE(NotModified);
    EXPECT_EQ(NotModified->status, 304);
    EXPECT_TRUE(NotModified->body.empty());
  }
  // The WAV's tag does not match its MP3, nor the other way round.
  const auto Wav = Cli.Get(Line);
  const auto Mp3 = Cli.Get(std::string(Line) + "&format=mp3");
  ASSERT_TRUE(Wav && Mp3);
  EXPECT_EQ(
      Cli.Get(std::string(Line) + "&format=mp3", {{"If-None-Match", Wav->get_header_value("ETag")}})
          ->status,
      200);
  EXPECT_EQ(Cli.Get(Line, {{"If-None-Match", Mp3->get_header_value("ETag")}})->status, 200);
}

// The reply without the new fields is the cached file itself, with exactly the specified
// headers; "format": "wav" and a loudness of 0 change nothing.
TEST_F(FormatsDaemon, RepliesWithoutTheNewFieldsAreUnchanged) {
  auto Cli = Daemon->Client();
  // A text the announcement rules leave alone, as every text the API was first built for.
  const std::string Target =
      "/v1/tts?text=Gate%20change%20for%20the%20evening%20departure&language=en";
  const auto Plain = Cli.Get(Target);
  ASSERT_TRUE(Plain && Plain->status == 200);
  const std::string Tag = Unquoted(Plain->get_header_value("ETag"));
  // The clip reaches its file just after the reply.
  const std::string ClipFile = Daemon->Root() + "temp/" + Tag + ".wav";
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(ClipFile) && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::ifstream Cached(ClipFile, std::ios::binary);
  ASSERT_TRUE(Cached) << "the cache holds the clip under its tag";
  const std::string CachedBytes((std::istreambuf_iterator<char>(Cached)),
                                std::istreambuf_iterator<char>());
  EXPECT_TRUE(Plain->body == CachedBytes);
  EXPECT_EQ(Plain->get_header_value("Content-Type"), "audio/wav");
  std::set<std::string> Names;
  for (const auto& [Name, Value] : Plain->headers)
    if (StartsWith(LowerAscii(Name), "x-quavox-") || LowerAscii(Name) == "etag")
      Names.insert(LowerAscii(Name));
  EXPECT_EQ(Names,
            (std::set<std::string>{"etag", "x-quavox-result", "x-quavox-engine", "x-quavox-voice",
                                   "x-quavox-sample-rate", "x-quavox-duration-ms",
                                   "x-quavox-synth-ms", "x-quavox-cache"}));
  for (const std::string Same : {"&format=wav", "&format=WAV", "&loudness=0", "&format="}) {
    const auto Res = Cli.Get(Target + Same);
    ASSERT_TRUE(Res && Res->status == 200) << Same;
    EXPECT_TRUE(Res->body == Plain->body) << Same;
    EXPECT_EQ(Res->get_header_value("ETag"), Plain->get_header_value("ETag")) << Same;
  }
  const auto Posted =
      Cli.Post("/v1/tts",
               JsonDumpAscii(TJson{{"text", "Gate change for the evening departure"},
                                   {"language", "en"},
                                   {"format", nullptr},
                                   {"loudness", nullptr}}),
               "application/json");
  ASSERT_TRUE(Posted && Posted->status == 200);
  EXPECT_EQ(Posted->get_header_value("ETag"), Plain->get_header_value("ETag"));
  EXPECT_TRUE(Posted->body == Plain->body);
}

TEST_F(FormatsDaemon, UnknownFormatsAndLoudnessTargetsAreRefusedWithTheKnownOnes) {
  auto Cli = Daemon->Client();
  for (const std::string Query : {"&format=wma", "&format=mp3x", "&loudness=3", "&loudness=-80",
                                  "&loudness=loud", "&format=mp3&loudness=nan"}) {
    SCOPED_TRACE(Query);
    const auto Res = Cli.Get(std::string(Line) + Query);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, 400);
    const auto Body = ParseJsonObject(Res->body);
    ASSERT_TRUE(Body);
    EXPECT_EQ(JsonString(&*Body, "error", ""), "bad_request");
    if (Query.find("loudness") == std::string::npos) {
      EXPECT_NE(
          JsonString(&*Body, "message", "").find("wav, mp3, opus, ogg, flac, aac, pcm, ulaw, alaw"),
          std::string::npos);
    }
  }
}

TEST_F(FormatsDaemon, SpeechEndpointAnswersEveryResponseFormatForCurl) {
  auto Cli = Daemon->Client();
  const auto Wav =
      Cli.Post("/v1/audio/speech",
               R"({"model":"tts-1","input":"Final call for flight CA981","voice":"nova",)"
               R"("response_format":"wav"})",
               "application/json");
  ASSERT_TRUE(Wav && Wav->status == 200) << (Wav ? Wav->body : "");
  const TProbe WavProbe = ProbeBytes(Wav->body, Dir, "speech.wav");
  struct TCase {
    const char* Format;
    const char* Codec;
    const char* ContentType;
  };
  for (const TCase c :
       {TCase{"mp3", "mp3", "audio/mpeg"}, TCase{"opus", "opus", "audio/ogg; codecs=opus"},
        TCase{"aac", "aac", "audio/aac"}, TCase{"flac", "flac", "audio/flac"},
        TCase{"wav", "pcm_s16le", "audio/wav"}, TCase{"", "mp3", "audio/mpeg"}}) {
    SCOPED_TRACE(c.Format);
    const std::string Out = Dir.Path() + "curl." + (*c.Format ? c.Format : "default");
    const std::string Body =
        std::string(R"({"model":"gpt-4o-mini-tts","input":"Final call for )"
                    R"(flight CA981","voice":"nova")") +
        (*c.Format ? std::string(R"(,"response_format":")") + c.Format + "\"" : std::string()) +
        "}";
    const std::string Status = RunCommand(
        "curl -s -o '" + Out + "' -w '%{http_code} %{content_type}' -H 'Authorization: " +
        "Bearer sk-anything' -H 'Content-Type: application/json' -d '" + Body +
        "' http://127.0.0.1:" + std::to_string(Daemon->Port()) + "/v1/audio/speech");
    EXPECT_EQ(Status, std::string("200 ") + c.ContentType);
    std::ifstream In(Out, std::ios::binary);
    const std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    const TProbe Probe =
        ProbeBytes(Bytes, Dir, std::string("probe.") + (*c.Format ? c.Format : "mp3"));
    EXPECT_EQ(Probe.Codec, c.Codec);
    EXPECT_EQ(Probe.Channels, 1);
    EXPECT_NEAR(Probe.Seconds, WavProbe.Seconds, 0.050);
  }
  // Raw PCM is 24 kHz 16-bit mono, as that API defines it.
  const auto Pcm = Cli.Post("/v1/audio/speech",
                            R"({"input":"Final call for flight CA981","voice":"nova",)"
                            R"("response_format":"pcm"})",
                            "application/json");
  ASSERT_TRUE(Pcm && Pcm->status == 200);
  EXPECT_EQ(Pcm->get_header_value("X-Quavox-Sample-Rate"), "24000");
  EXPECT_NEAR(Pcm->body.size() / 2.0 / 24000, WavProbe.Seconds, 0.002);
}

TEST_F(FormatsDaemon, SpeechEndpointNamesVoicesByIdNameOrStockName) {
  auto Cli = Daemon->Client();
  const auto First = Cli.Post("/v1/audio/speech", R"({"input":"Welcome aboard","voice":"shimmer"})",
                              "application/json");
  ASSERT_TRUE(First && First->status == 200) << (First ? First->body : "");
  const std::string VoiceId = First->get_header_value("X-Quavox-Voice");
  ASSERT_FALSE(VoiceId.empty());
  const auto Voices = ParseJsonObject(Cli.Get("/v1/voices")->body);
  ASSERT_TRUE(Voices);
  std::string Display;
  for (const auto& Voice : *JsonChildArray(&*Voices, "voices"))
    if (JsonString(&Voice, "id", "") == VoiceId) Display = JsonString(&Voice, "display", "");
  ASSERT_FALSE(Display.empty());
  for (const std::string& Name : {VoiceId, UpperAscii(Display), std::string("SHIMMER")}) {
    const auto Res = Cli.Post("/v1/audio/speech",
                              JsonDumpAscii(TJson{{"input", "Welcome aboard"}, {"voice", Name}}),
                              "application/json");
    ASSERT_TRUE(Res && Res->status == 200) << Name << " " << (Res ? Res->body : "");
    EXPECT_EQ(Res->get_header_value("X-Quavox-Voice"), VoiceId) << Name;
  }
}

TEST_F(FormatsDaemon, SpeechEndpointErrorsHaveThatApisShape) {
  auto Cli = Daemon->Client();
  struct TCase {
    const char* Method;
    std::string Body;
    int Status;
    const char* Param;  // empty: null
  };
  for (const TCase& c :
       {TCase{"POST", R"({"input":"Hello","voice":"nobody"})", 400, "voice"},
        TCase{"POST", R"({"input":"Hello"})", 400, "voice"},
        TCase{"POST", R"({"input":"","voice":"alloy"})", 400, "input"},
        TCase{"POST", R"({"input":"Hello","voice":"alloy","response_format":"wma"})", 400,
              "response_format"},
        TCase{"POST", R"({"input":"Hello","voice":"alloy","speed":4.5})", 400, "speed"},
        TCase{"POST", R"({"input":"Hello","voice":"alloy","speed":0.2})", 400, "speed"},
        TCase{"POST", R"({"input":"Hello","voice":"alloy","loudness":9})", 400, "loudness"},
        TCase{"POST", R"([1,2])", 400, ""}, TCase{"POST", "", 400, ""},
        TCase{"GET", "", 405, ""}}) {
    SCOPED_TRACE(c.Body);
    httplib::Request Req;
    Req.method = c.Method;
    Req.path = "/v1/audio/speech";
    Req.body = c.Body;
    const auto Res = Cli.send(Req);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, c.Status);
    const auto Json = ParseJsonObject(Res->body);
    ASSERT_TRUE(Json && Json->contains("error")) << Res->body;
    const TJson& Error = (*Json)["error"];
    EXPECT_TRUE(Error["message"].is_string());
    EXPECT_TRUE(Error["type"].is_string());
    EXPECT_TRUE(Error.contains("code"));
    if (*c.Param)
      EXPECT_EQ(Error["param"], c.Param);
    else
      EXPECT_TRUE(Error["param"].is_null());
  }
  // Speeds the API allows but the service does not reach are clamped, not refused.
  for (const double Speed : {0.25, 4.0}) {
    const auto Res =
        Cli.Post("/v1/audio/speech",
                 JsonDumpAscii(TJson{{"input", "Hello"}, {"voice", "alloy"}, {"speed", Speed}}),
                 "application/json");
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, 200) << Speed;
  }
  const auto Models = ParseJsonObject(Cli.Get("/v1/models")->body);
  ASSERT_TRUE(Models);
  EXPECT_EQ(JsonString(&*Models, "object", ""), "list");
  std::set<std::string> Ids;
  for (const auto& Model : *JsonChildArray(&*Models, "data"))
    Ids.insert(JsonString(&Model, "id", ""));
  EXPECT_TRUE(Ids.count("quavox") && Ids.count("tts-1"));
}

TEST(FormatsDaemonLimit, SpeechEndpointSharesTheRateLimitInItsOwnShape) {
  TDaemon Daemon("formats-limit", TJson{{"server", {{"rateLimitPerMinute", 2}}}});
  ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
  auto Cli = Daemon.Client();
  EXPECT_EQ(Cli.Get("/v1/models")->status, 200);
  EXPECT_EQ(Cli.Get("/v1/stats")->status, 200);
  const auto Limited =
      Cli.Post("/v1/audio/speech", R"({"input":"Hello","voice":"alloy"})", "application/json");
  ASSERT_TRUE(Limited);
  EXPECT_EQ(Limited->status, 429);
  EXPECT_EQ(Limited->get_header_value("Retry-After"), "60");
  const auto Json = ParseJsonObject(Limited->body);
  ASSERT_TRUE(Json);
  EXPECT_EQ((*Json)["error"]["code"], "rate_limit_exceeded");
  const auto Plain = ParseJsonObject(Cli.Get("/v1/stats")->body);
  ASSERT_TRUE(Plain);
  EXPECT_EQ(JsonString(&*Plain, "error", ""), "rate_limited");
}

}  // namespace
}  // namespace quavox::test
