// Speech made while it is sent, from the real quavoxd: a text of several sentences streamed
// in each format puts together into the bytes of the reply that is not streamed, the
// server-sent events carry the same audio, audio arrives while later sentences are still
// being made, and a client that leaves stops the synthesis.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Daemon.h"
#include "core/Text.h"
#include "http/Http.h"

namespace quavox::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* ThreeSentences =
    "Flight CA1234 to Beijing is now boarding at gate 23. Passengers in rows 30 to 45 please "
    "board first! 各位旅客请注意。";

std::string SpeechBody(const std::string& AFormat, const std::string& AStream,
                       const std::string& AInput = ThreeSentences) {
  TJson Body = {
      {"model", "tts-1"}, {"input", AInput}, {"voice", "alloy"}, {"response_format", AFormat}};
  if (!AStream.empty()) Body["stream_format"] = AStream;
  return Body.dump();
}

TJson StatsOf(httplib::Client& ACli) {
  const auto Res = ACli.Get("/v1/stats");
  const auto Json = Res ? ParseJsonObject(Res->body) : std::nullopt;
  return Json ? *Json : TJson();
}

int64_t TotalOf(httplib::Client& ACli) {
  const TJson Stats = StatsOf(ACli);
  return Stats.is_object() ? JsonInteger(&Stats, "total", -1) : -1;
}

class StreamingDaemon : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Daemon = new TDaemon("streaming", TJson{{"synthesis", {{"autoDefaultVoice", true}}}});
    ASSERT_TRUE(Daemon->Start()) << Daemon->Stderr();
  }
  static void TearDownTestSuite() {
    delete Daemon;
    Daemon = nullptr;
  }
  static TDaemon* Daemon;
};
TDaemon* StreamingDaemon::Daemon = nullptr;

struct TStreamCase {
  const char* Format;
  // Bytes of the whole reply that a stream cannot know when it starts.
  std::size_t DifferWithin;
};

TEST_F(StreamingDaemon, StreamedSpeechPutTogetherIsTheWholeReply) {
  httplib::Client Cli = Daemon->Client();
  // pcm and opus are the same bytes; a WAV's sizes are unknown (0xFFFFFFFF) in a stream;
  // an MP3 stream carries its first frame, the gapless information, empty.
  const std::vector<TStreamCase> Cases = {{"pcm", 0}, {"opus", 0}, {"wav", 44}, {"mp3", 1100}};
  for (const TStreamCase& Case : Cases) {
    SCOPED_TRACE(Case.Format);
    const auto Streamed =
        Cli.Post("/v1/audio/speech", SpeechBody(Case.Format, "audio"), "application/json");
    const auto Whole =
        Cli.Post("/v1/audio/speech", SpeechBody(Case.Format, ""), "application/json");
    ASSERT_TRUE(Streamed && Whole);
    ASSERT_EQ(Streamed->status, 200) << Streamed->body;
    ASSERT_EQ(Whole->status, 200) << Whole->body;
    EXPECT_EQ(Streamed->get_header_value("Transfer-Encoding"), "chunked");
    EXPECT_EQ(Streamed->get_header_value("X-Quavox-Sentences"), "3");
    EXPECT_FALSE(Streamed->has_header("Accept-Ranges"));
    EXPECT_EQ(Whole->get_header_value("Content-Length"), std::to_string(Whole->body.size()));
    EXPECT_EQ(Streamed->get_header_value("Content-Type"), Whole->get_header_value("Content-Type"));
    ASSERT_EQ(Streamed->body.size(), Whole->body.size());
    const auto LastDiffer =
        std::mismatch(Streamed->body.rbegin(), Streamed->body.rend(), Whole->body.rbegin())
            .first.base() -
        Streamed->body.begin();
    EXPECT_LE(static_cast<std::size_t>(LastDiffer), Case.DifferWithin);
    if (std::string(Case.Format) == "wav") {
      EXPECT_EQ(Streamed->body.substr(4, 4), std::string(4, '\xFF'));
      EXPECT_EQ(Streamed->body.substr(40, 4), std::string(4, '\xFF'));
    }
  }
}

TEST_F(StreamingDaemon, ServerSentEventsCarryTheSameAudio) {
  httplib::Client Cli = Daemon->Client();
  const auto Events = Cli.Post("/v1/audio/speech", SpeechBody("pcm", "sse"), "application/json");
  const auto Whole = Cli.Post("/v1/audio/speech", SpeechBody("pcm", ""), "application/json");
  ASSERT_TRUE(Events && Whole);
  ASSERT_EQ(Events->status, 200) << Events->body;
  EXPECT_EQ(Events->get_header_value("Content-Type"), "text/event-stream");
  std::vector<TJson> Parsed;
  for (std::size_t At = 0; At < Events->body.size();) {
    const std::size_t End = Events->body.find("\n\n", At);
    ASSERT_NE(End, std::string::npos) << "an event is not ended by a blank line";
    const std::string Event = Events->body.substr(At, End - At);
    ASSERT_TRUE(StartsWith(Event, "data: ")) << Event;
    const auto Json = ParseJsonObject(Event.substr(6));
    ASSERT_TRUE(Json) << Event;
    Parsed.push_back(*Json);
    At = End + 2;
  }
  ASSERT_GE(Parsed.size(), 2u);
  std::string Audio;
  for (std::size_t i = 0; i + 1 < Parsed.size(); ++i) {
    EXPECT_EQ(JsonString(&Parsed[i], "type", ""), "speech.audio.delta");
    TBytes Bytes;
    ASSERT_TRUE(Base64Decode(JsonString(&Parsed[i], "audio", ""), Bytes));
    Audio.append(Bytes.begin(), Bytes.end());
  }
  EXPECT_EQ(Audio, Whole->body);
  const TJson& Done = Parsed.back();
  EXPECT_EQ(JsonString(&Done, "type", ""), "speech.audio.done");
  const TJson* Usage = JsonChildObject(&Done, "usage");
  ASSERT_NE(Usage, nullptr);
  EXPECT_GT(JsonInteger(Usage, "input_tokens", 0), 0);
  EXPECT_EQ(JsonInteger(Usage, "total_tokens", -1), JsonInteger(Usage, "input_tokens", 0));

  // The access log counts the bytes that went out, once they have.
  std::ifstream Log(Daemon->Root() + "logs/access.log");
  bool Logged = false;
  for (std::string Line; std::getline(Log, Line);) {
    const auto Entry = ParseJsonObject(Line);
    Logged = Logged ||
             (Entry &&
              JsonString(&*Entry, "request_id", "") == Events->get_header_value("X-Request-Id") &&
              JsonInteger(&*Entry, "bytes", -1) == static_cast<int64_t>(Events->body.size()));
  }
  EXPECT_TRUE(Logged) << "no access log line with the streamed reply's bytes";
}

TEST_F(StreamingDaemon, TtsStreamsOnlyWhenAskedAndRefusesFormatsThatCannotStream) {
  httplib::Client Cli = Daemon->Client();
  const std::string Line = "/v1/tts?text=Gate%20B12%20is%20closing.%20Please%20hurry.&language=en";
  const auto Plain = Cli.Get((Line).c_str());
  const auto Streamed = Cli.Get((Line + "&stream=true").c_str());
  ASSERT_TRUE(Plain && Streamed);
  ASSERT_EQ(Streamed->status, 200) << Streamed->body;
  // Without stream=true the reply is the one WAV of the whole line, as always.
  EXPECT_EQ(Plain->get_header_value("Content-Length"), std::to_string(Plain->body.size()));
  EXPECT_TRUE(Plain->has_header("ETag"));
  EXPECT_EQ(Plain->body.substr(4, 4), [&] {
    std::string Size;
    for (int i = 0; i < 4; ++i)
      Size += static_cast<char>(((Plain->body.size() - 8) >> (8 * i)) & 0xFF);
    return Size;
  }());
  EXPECT_EQ(Streamed->get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_EQ(Streamed->get_header_value("Content-Type"), "audio/wav");
  EXPECT_EQ(Streamed->body.substr(0, 4), "RIFF");
  EXPECT_EQ(Streamed->body.substr(40, 4), std::string(4, '\xFF'));
  EXPECT_EQ(Streamed->get_header_value("X-Quavox-Sentences"), "2");

  const auto Post =
      Cli.Post("/v1/tts", R"({"text":"Boarding now. Gate 5.","stream":true,"format":"opus"})",
               "application/json");
  ASSERT_TRUE(Post);
  EXPECT_EQ(Post->status, 200) << Post->body;
  EXPECT_EQ(Post->body.substr(0, 4), "OggS");

  const auto Flac = Cli.Get((Line + "&stream=true&format=flac").c_str());
  ASSERT_TRUE(Flac);
  EXPECT_EQ(Flac->status, 400);
  const auto Sse = Cli.Post("/v1/audio/speech", SpeechBody("aac", "sse"), "application/json");
  ASSERT_TRUE(Sse);
  EXPECT_EQ(Sse->status, 400);
  EXPECT_NE(Sse->body.find("\"param\":\"response_format\""), std::string::npos) << Sse->body;
  // A first sentence that cannot be made is an ordinary error reply, not a broken stream.
  const auto Empty =
      Cli.Post("/v1/audio/speech", SpeechBody("pcm", "audio", "   "), "application/json");
  ASSERT_TRUE(Empty);
  EXPECT_EQ(Empty->status, 400);
  EXPECT_FALSE(Empty->has_header("Transfer-Encoding"));
}

// The bundled engine, slowed down per line, so a stream of many sentences is still being
// made when its first audio arrives.
class SlowStreamingDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!BundledEngineBuilt()) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
    InstallBundledEngine(Daemon);
    ASSERT_TRUE(Daemon.Start()) << Daemon.Stderr();
    httplib::Client Cli = Daemon.Client();
    ASSERT_TRUE(WaitUntilReady(Cli, 120s)) << Daemon.Stderr();
    // The default voice is made before the streams under test start.
    ASSERT_EQ(Cli.Get("/v1/tts?text=Warm+up&language=en")->status, 200);
  }
  static std::string Sentences(int ACount, const std::string& AWord) {
    std::string Text;
    for (int i = 0; i < ACount; ++i)
      Text += "Sentence " + AWord + " number " + std::to_string(i + 1) + ". ";
    return "/v1/tts?language=en&stream=true&format=pcm&text=" + PercentEncode(Text);
  }
  TDaemon Daemon{"streaming-slow", TJson{{"engine", {{"extraArgs", "--test-answer-delay-ms 300"}}},
                                         {"synthesis", {{"autoDefaultVoice", true}}}}};
};

TEST_F(SlowStreamingDaemon, AudioArrivesWhileLaterSentencesAreStillBeingMade) {
  constexpr int Count = 6;
  httplib::Client Cli = Daemon.Client();
  httplib::Client Observer = Daemon.Client();
  const int64_t Before = TotalOf(Observer);
  int64_t MadeAtFirstBytes = -1;
  std::size_t Received = 0;
  const auto Res = Cli.Get(Sentences(Count, "early").c_str(), [&](const char*, size_t ALength) {
    if (Received == 0) MadeAtFirstBytes = TotalOf(Observer) - Before;
    Received += ALength;
    return true;
  });
  ASSERT_TRUE(Res);
  EXPECT_EQ(Res->status, 200);
  EXPECT_GT(Received, 0u);
  EXPECT_GE(MadeAtFirstBytes, 1);
  EXPECT_LT(MadeAtFirstBytes, Count);
  EXPECT_EQ(TotalOf(Observer) - Before, Count);
}

TEST_F(SlowStreamingDaemon, AClientThatLeavesStopsTheSynthesis) {
  constexpr int Count = 8;
  httplib::Client Cli = Daemon.Client();
  httplib::Client Observer = Daemon.Client();
  const int64_t Before = TotalOf(Observer);
  const auto Res =
      Cli.Get(Sentences(Count, "left").c_str(), [](const char*, size_t) { return false; });
  EXPECT_FALSE(Res);
  // Once the server notices, nothing more is made: the count of lines stops growing while
  // each line takes the engine 300 ms.
  const auto Deadline = std::chrono::steady_clock::now() + 30s;
  int64_t Last = -1;
  int64_t Made = TotalOf(Observer);
  while (Made != Last && std::chrono::steady_clock::now() < Deadline) {
    std::this_thread::sleep_for(800ms);
    Last = std::exchange(Made, TotalOf(Observer));
  }
  EXPECT_LT(Made - Before, Count / 2);
}

}  // namespace
}  // namespace quavox::test
