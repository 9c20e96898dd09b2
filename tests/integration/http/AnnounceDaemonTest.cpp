// Whole announcements through the real quavoxd with the bundled inference server: three
// languages routed to three bound voices, part times that match the samples, silent gaps,
// the chime's notes, one loudness, the cache on the second call, failures with the segment's
// index, refusals before any synthesis, and prewarm of announcements.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <numbers>
#include <set>
#include <thread>

#include "Daemon.h"
#include "audio/Announce.h"
#include "audio/Loudness.h"
#include "audio/Wav.h"
#include "state/Json.h"

namespace quavox::test {
namespace {

namespace fs = std::filesystem;

constexpr auto ReadyLimit = std::chrono::seconds(120);
constexpr auto PrewarmLimit = std::chrono::seconds(120);
constexpr double TargetLufs = -18.0;

TJson JsonOf(const std::string& AText) {
  const auto Json = ParseJsonObject(AText);
  return Json ? *Json : TJson();
}

httplib::Result Post(httplib::Client& ACli, const std::string& APath, const std::string& ABody,
                     const httplib::Headers& AHeaders = {}) {
  return ACli.Post(APath, AHeaders, ABody, "application/json");
}

std::string StringMember(const std::string& ABody, const char* AName) {
  const TJson Json = JsonOf(ABody);
  return JsonString(&Json, AName, "");
}

int64_t IntegerMember(const TJson& AJson, const char* AName) {
  return JsonInteger(&AJson, AName, -1);
}

TJson Stats(httplib::Client& ACli) {
  const auto Res = ACli.Get("/v1/stats");
  return Res ? JsonOf(Res->body) : TJson();
}

// Power of one frequency over samples [AFrom, ATo), per sample (Goertzel).
double Goertzel(const TPcmBuffer& APcm, std::size_t AFrom, std::size_t ATo, double AHz) {
  const double Coeff = 2 * std::cos(2 * std::numbers::pi * AHz / APcm.SampleRate);
  double s1 = 0, s2 = 0;
  for (std::size_t i = AFrom; i < ATo; ++i) {
    const double s0 = APcm.Data[i] + Coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (s1 * s1 + s2 * s2 - Coeff * s1 * s2) / static_cast<double>(ATo - AFrom);
}

std::size_t SampleAt(int64_t AMs, int32_t ARate) {
  return static_cast<std::size_t>(std::llround(static_cast<double>(AMs) * ARate / 1000.0));
}

struct TPartView {
  std::string Kind;
  std::size_t Start = 0;  // samples
  std::size_t End = 0;
  TJson Json;
};

std::vector<TPartView> PartsOf(const httplib::Result& ARes, int32_t ARate) {
  std::vector<TPartView> Parts;
  const TJson List = TJson::parse(ARes->get_header_value("X-Quavox-Segments"), nullptr, false);
  if (!List.is_array()) return Parts;
  for (const TJson& Item : List)
    Parts.push_back({JsonString(&Item, "part", ""),
                     SampleAt(JsonInteger(&Item, "start_ms", -1), ARate),
                     SampleAt(JsonInteger(&Item, "end_ms", -1), ARate), Item});
  return Parts;
}

// Part times are whole milliseconds, so the last part's end may round past the last sample.
TPcmBuffer Slice(const TPcmBuffer& APcm, std::size_t AFrom, std::size_t ATo) {
  ATo = std::min(ATo, APcm.Data.size());
  AFrom = std::min(AFrom, ATo);
  TPcmBuffer Part;
  Part.SampleRate = APcm.SampleRate;
  Part.Data.assign(APcm.Data.begin() + static_cast<std::ptrdiff_t>(AFrom),
                   APcm.Data.begin() + static_cast<std::ptrdiff_t>(ATo));
  return Part;
}

class AnnounceDaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!fs::exists(QUAVOX_BIN_DIR "/engine/s2") ||
        !fs::exists(QUAVOX_BIN_DIR "/models/quavox-espeak.gguf"))
      return;
    Daemon =
        new TDaemon("announce", {{"server", {{"rateLimitPerMinute", 0}, {"uiLanguage", "zh"}}}});
    fs::create_directories(Daemon->Root() + "engine");
    fs::create_directories(Daemon->Root() + "models");
    fs::copy_file(QUAVOX_BIN_DIR "/engine/s2", Daemon->Root() + "engine/s2");
    fs::copy_file(QUAVOX_BIN_DIR "/models/quavox-espeak.gguf",
                  Daemon->Root() + "models/quavox-espeak.gguf");
    Started = Daemon->Start() && WaitUntilReady();
    if (!Started) return;
    // Three speakers of clearly different pitch, each bound to one language of CCA.
    const std::pair<const char*, float> Bindings[] = {{"zh", 110}, {"en", 190}, {"ja", 260}};
    for (const auto& [Language, Pitch] : Bindings) {
      const std::string Id = Clone(std::string("Announcer ") + Language, Pitch);
      httplib::Client Cli = Daemon->Client();
      const auto Bound = Cli.Put(
          "/v1/airlines", TJson({{"airline", "CCA"}, {"language", Language}, {"voice", Id}}).dump(),
          "application/json");
      if (!Bound || Bound->status != 200)
        Trouble += "binding failed: " + (Bound ? Bound->body : std::string("no reply")) + "\n";
      Started = Started && !Id.empty() && Bound && Bound->status == 200;
      Voices[Language] = Id;
    }
  }
  static void TearDownTestSuite() {
    if (Started) {
      EXPECT_EQ(Daemon->Stop(SIGTERM), 0) << Daemon->Stderr();
    }
    delete Daemon;
    Daemon = nullptr;
    Voices.clear();
  }
  void SetUp() override {
    if (Daemon == nullptr) GTEST_SKIP() << "the bundled engine (engine/s2) is not built";
    ASSERT_TRUE(Started) << Daemon->Stderr() << Trouble;
  }

  static bool WaitUntilReady() {
    httplib::Client Cli = Daemon->Client();
    const auto Deadline = std::chrono::steady_clock::now() + ReadyLimit;
    while (std::chrono::steady_clock::now() < Deadline) {
      if (const auto Res = Cli.Get("/v1/health");
          Res && StringMember(Res->body, "status") == "ready")
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  static std::string Clone(const std::string& ADisplay, float APitch) {
    httplib::Client Cli = Daemon->Client();
    const TJson Order = {
        {"display", ADisplay},
        {"language", "en"},
        {"clips", {{{"audio", Base64(TremoloToneWav(APitch))}, {"text", "A test tone."}}}}};
    const auto Res = Post(Cli, "/v1/voices/clone", Order.dump());
    if (Res && Res->status == 200) return StringMember(Res->body, "id");
    Trouble += "cloning failed: " + (Res ? Res->body : std::string("no reply")) + "\n";
    return "";
  }
  // Waits until nothing waits for prewarm and the cache holds AAdded more clips.
  static bool WaitForPrewarm(int64_t ABefore, int64_t AAdded) {
    httplib::Client Cli = Daemon->Client();
    const auto Deadline = std::chrono::steady_clock::now() + PrewarmLimit;
    while (std::chrono::steady_clock::now() < Deadline) {
      const TJson Now = Stats(Cli);
      if (JsonInteger(&Now, "prewarm_pending", -1) == 0 &&
          JsonInteger(&Now, "cache_count", -1) >= ABefore + AAdded)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  static TDaemon* Daemon;
  static bool Started;
  static std::map<std::string, std::string> Voices;
  static std::string Trouble;
};

TDaemon* AnnounceDaemonTest::Daemon = nullptr;
bool AnnounceDaemonTest::Started = false;
std::map<std::string, std::string> AnnounceDaemonTest::Voices;
std::string AnnounceDaemonTest::Trouble;

const std::string Trilingual =
    TJson({{"airline", "CCA"},
           {"chime", "both"},
           {"gap_ms", 500},
           {"loudness", TargetLufs},
           {"segments",
            {{{"text", "各位旅客请注意,CA1234 航班开始登机。"}, {"language", "zh"}},
             {{"text", "Flight CA1234 is now boarding."}, {"language", "en"}},
             {{"text", "CA1234便の搭乗を開始いたします。"}, {"language", "ja"}}}}})
        .dump();

TEST_F(AnnounceDaemonTest, ThreeLanguagesInOneClipWithTimesTheSamplesConfirm) {
  httplib::Client Cli = Daemon->Client();
  const auto Res = Post(Cli, "/v1/announce", Trilingual);
  ASSERT_TRUE(Res);
  ASSERT_EQ(Res->status, 200) << Res->body;
  EXPECT_EQ(Res->get_header_value("Content-Type"), "audio/wav");
  TPcmBuffer Pcm;
  ASSERT_TRUE(WavToPcm(TBytes(Res->body.begin(), Res->body.end()), Pcm));
  ASSERT_GT(Pcm.SampleRate, 0);
  EXPECT_EQ(std::stoi(Res->get_header_value("X-Quavox-Sample-Rate")), Pcm.SampleRate);
  const int64_t DurationMs = std::stoll(Res->get_header_value("X-Quavox-Duration-Ms"));
  EXPECT_NEAR(static_cast<double>(Pcm.Data.size()) * 1000.0 / Pcm.SampleRate, DurationMs, 0.5);

  const std::vector<TPartView> Parts = PartsOf(Res, Pcm.SampleRate);
  std::vector<std::string> Kinds;
  for (const TPartView& Part : Parts)
    Kinds.push_back(Part.Kind);
  ASSERT_EQ(Kinds, (std::vector<std::string>{"chime", "gap", "segment", "gap", "segment", "gap",
                                             "segment", "gap", "chime"}))
      << Res->get_header_value("X-Quavox-Segments");
  EXPECT_EQ(Parts.front().Start, 0u);
  EXPECT_EQ(JsonInteger(&Parts.back().Json, "end_ms", -1), DurationMs);
  for (std::size_t i = 1; i < Parts.size(); ++i)
    EXPECT_EQ(Parts[i].Start, Parts[i - 1].End) << "parts follow each other without a hole";

  const std::size_t OneMs = SampleAt(1, Pcm.SampleRate) + 1;
  const std::size_t Edge = SampleAt(40, Pcm.SampleRate);
  std::set<std::string> SeenVoices;
  int Index = 0;
  for (const TPartView& Part : Parts) {
    if (Part.Kind == "gap") {
      EXPECT_NEAR(static_cast<double>(Part.End - Part.Start), SampleAt(500, Pcm.SampleRate), OneMs);
      for (std::size_t i = Part.Start + OneMs; i + OneMs < Part.End; ++i)
        ASSERT_EQ(Pcm.Data[i], 0.0f) << "gaps are silent, sample " << i;
    }
    if (Part.Kind != "segment") continue;
    const std::string Language = JsonString(&Part.Json, "language", "");
    EXPECT_EQ(JsonInteger(&Part.Json, "index", -1), Index++);
    EXPECT_EQ(JsonString(&Part.Json, "voice", ""), Voices[Language]) << Language;
    EXPECT_EQ(JsonString(&Part.Json, "cache", ""), "miss");
    SeenVoices.insert(JsonString(&Part.Json, "voice", ""));
    // Sound starts and ends right at the part's edges (within the fades and the little
    // silence kept before and after the speech): the header says where the audio is.
    std::size_t First = Part.Start, Last = Part.End;
    while (First < Part.End && std::fabs(Pcm.Data[First]) < 0.001f)
      ++First;
    while (Last > Part.Start && std::fabs(Pcm.Data[Last - 1]) < 0.001f)
      --Last;
    EXPECT_LT(First, Part.Start + Edge) << Language;
    EXPECT_GT(Last + Edge, Part.End) << Language;
    const TLoudness Loudness = MeasureLoudness(Slice(Pcm, Part.Start, Part.End));
    EXPECT_NEAR(Loudness.IntegratedLufs, TargetLufs, 1.0) << Language;
  }
  EXPECT_EQ(SeenVoices.size(), 3u) << "each language spoken by its own bound voice";

  // The chime's notes, rising at the start and falling at the end.
  const std::vector<double>& Notes = ChimeNotesHz();
  const auto Strongest = [&Pcm, &Notes](std::size_t AFrom, std::size_t ATo) {
    double Best = 0, BestHz = 0;
    for (const double Hz : Notes)
      if (const double Power = Goertzel(Pcm, AFrom, ATo, Hz); Power > Best) {
        Best = Power;
        BestHz = Hz;
      }
    return BestHz;
  };
  const std::size_t Note = SampleAt(300, Pcm.SampleRate);
  EXPECT_EQ(Strongest(Parts.front().Start, Parts.front().Start + Note), Notes.front());
  EXPECT_EQ(Strongest(Parts.back().Start, Parts.back().Start + Note), Notes.back());
  EXPECT_GT(Goertzel(Pcm, Parts.front().Start, Parts.front().End, Notes[1]),
            50 * Goertzel(Pcm, Parts.front().Start, Parts.front().End, 880.0));
  EXPECT_NEAR(MeasureLoudness(Slice(Pcm, Parts.front().Start, Parts.front().End)).IntegratedLufs,
              TargetLufs, 1.5)
      << "the chime sits at the speech's level";

  // The same announcement again: every segment from the cache, the same audio and tag.
  const auto Again = Post(Cli, "/v1/announce", Trilingual);
  ASSERT_TRUE(Again);
  ASSERT_EQ(Again->status, 200) << Again->body;
  for (const TPartView& Part : PartsOf(Again, Pcm.SampleRate)) {
    if (Part.Kind == "segment") {
      EXPECT_EQ(JsonString(&Part.Json, "cache", ""), "hit");
    }
  }
  EXPECT_EQ(Again->get_header_value("X-Quavox-Cache"), "hit");
  EXPECT_EQ(Again->get_header_value("ETag"), Res->get_header_value("ETag"));
  EXPECT_EQ(Again->body, Res->body);

  const auto NotModified =
      Post(Cli, "/v1/announce", Trilingual, {{"If-None-Match", Res->get_header_value("ETag")}});
  ASSERT_TRUE(NotModified);
  EXPECT_EQ(NotModified->status, 304);
  EXPECT_TRUE(NotModified->body.empty());
  TJson OtherGap = JsonOf(Trilingual);
  OtherGap["gap_ms"] = 400;
  const auto Changed = Post(Cli, "/v1/announce", OtherGap.dump(),
                            {{"If-None-Match", Res->get_header_value("ETag")}});
  ASSERT_TRUE(Changed);
  EXPECT_EQ(Changed->status, 200) << "another layout is another clip";
  EXPECT_NE(Changed->get_header_value("ETag"), Res->get_header_value("ETag"));
}

// Other formats carry the same announcement: the same parts and times, their own tag.
TEST_F(AnnounceDaemonTest, OtherFormatsKeepThePartsAndTakeTheirOwnTag) {
  httplib::Client Cli = Daemon->Client();
  ASSERT_TRUE(Post(Cli, "/v1/announce", Trilingual));
  // Asked again, every segment is a hit, as it is for the formats below.
  const auto Wav = Post(Cli, "/v1/announce", Trilingual);
  ASSERT_TRUE(Wav);
  ASSERT_EQ(Wav->status, 200) << Wav->body;
  struct TCase {
    const char* Format;
    const char* ContentType;
    const char* Rate;
  };
  for (const TCase& c : {TCase{"mp3", "audio/mpeg", ""}, TCase{"ulaw", "audio/wav", "8000"},
                         TCase{"flac", "audio/flac", ""}}) {
    TJson Body = JsonOf(Trilingual);
    Body["format"] = c.Format;
    const auto Res = Post(Cli, "/v1/announce", Body.dump());
    ASSERT_TRUE(Res);
    ASSERT_EQ(Res->status, 200) << c.Format << " " << Res->body;
    EXPECT_EQ(Res->get_header_value("Content-Type"), c.ContentType) << c.Format;
    EXPECT_EQ(Res->get_header_value("X-Quavox-Segments"),
              Wav->get_header_value("X-Quavox-Segments"))
        << c.Format;
    EXPECT_EQ(Res->get_header_value("X-Quavox-Duration-Ms"),
              Wav->get_header_value("X-Quavox-Duration-Ms"))
        << c.Format;
    EXPECT_NE(Res->get_header_value("ETag"), Wav->get_header_value("ETag")) << c.Format;
    if (*c.Rate != 0) {
      EXPECT_EQ(Res->get_header_value("X-Quavox-Sample-Rate"), c.Rate);
    }
    EXPECT_GT(Res->body.size(), 1000u) << c.Format;
  }
}

TEST_F(AnnounceDaemonTest, WithoutATargetSegmentsShareTheLoudestLevel) {
  httplib::Client Cli = Daemon->Client();
  TJson Body = JsonOf(Trilingual);
  Body.erase("loudness");
  Body["chime"] = "none";
  const auto Res = Post(Cli, "/v1/announce", Body.dump());
  ASSERT_TRUE(Res);
  ASSERT_EQ(Res->status, 200) << Res->body;
  TPcmBuffer Pcm;
  ASSERT_TRUE(WavToPcm(TBytes(Res->body.begin(), Res->body.end()), Pcm));
  std::vector<double> Levels;
  for (const TPartView& Part : PartsOf(Res, Pcm.SampleRate))
    if (Part.Kind == "segment")
      Levels.push_back(MeasureLoudness(Slice(Pcm, Part.Start, Part.End)).IntegratedLufs);
  ASSERT_EQ(Levels.size(), 3u);
  const auto [Low, High] = std::minmax_element(Levels.begin(), Levels.end());
  EXPECT_LT(*High - *Low, 1.0);
}

TEST_F(AnnounceDaemonTest, AFailingSegmentFailsTheWholeWithItsIndex) {
  httplib::Client Cli = Daemon->Client();
  const int64_t TotalBefore = IntegerMember(Stats(Cli), "total");
  const auto Unknown = Post(Cli, "/v1/announce",
                            R"({"segments":[{"text":"Gate B12.","language":"en","airline":"CCA"},)"
                            R"({"text":"Gate B12.","language":"en","voice":"v-nope"}]})");
  ASSERT_TRUE(Unknown);
  EXPECT_EQ(Unknown->status, 404);
  const TJson Error = JsonOf(Unknown->body);
  EXPECT_EQ(JsonString(&Error, "error", ""), "bad_voice");
  EXPECT_EQ(JsonString(&Error, "message", ""), "segments[1]: 没有这个音色:v-nope");
  EXPECT_EQ(IntegerMember(Stats(Cli), "total"), TotalBefore)
      << "an unknown voice is found before any synthesis";

  // A segment that no binding serves fails only when its turn comes; those before it stay
  // cached.
  const std::string Partly =
      R"({"airline":"CCA","segments":[{"text":"Boarding closes soon.","language":"en"},)"
      R"({"text":"El embarque termina pronto.","language":"es"}]})";
  const auto Unbound = Post(Cli, "/v1/announce", Partly);
  ASSERT_TRUE(Unbound);
  EXPECT_EQ(Unbound->status, 404) << Unbound->body;
  const TJson Routing = JsonOf(Unbound->body);
  EXPECT_EQ(JsonString(&Routing, "error", ""), "bad_voice");
  EXPECT_EQ(JsonString(&Routing, "message", "").rfind("segments[1]: ", 0), 0u) << Unbound->body;
  const auto First = Post(Cli, "/v1/announce",
                          R"({"airline":"CCA","segments":[{"text":"Boarding closes soon.",)"
                          R"("language":"en"}]})");
  ASSERT_TRUE(First);
  EXPECT_EQ(First->get_header_value("X-Quavox-Cache"), "hit");
}

TEST_F(AnnounceDaemonTest, RefusalsComeBeforeAnySynthesis) {
  httplib::Client Cli = Daemon->Client();
  const TJson Before = Stats(Cli);
  struct TCase {
    std::string Body;
    int Status;
    const char* Error;
    const char* MessageStart;
  };
  const std::string Fresh = R"({"text":"Never spoken","language":"en","airline":"CCA"})";
  const std::string Long(5001, 'a');
  const std::vector<TCase> Cases = {
      {"not json", 400, "bad_json", "request body is not valid JSON"},
      {R"({"segments":[]})", 400, "bad_request", "segments must be an array of 1 to 8 objects"},
      {R"({"segments":[)" + Fresh + R"(,1,2,3,4,5,6,7,8]})", 400, "bad_request",
       "segments must be an array"},
      {R"({"segments":[)" + Fresh + R"(],"gap_ms":9000})", 400, "bad_request", "gap_ms must be"},
      {R"({"segments":[)" + Fresh + R"(],"chime":"gong"})", 400, "bad_request", "chime must be"},
      {R"({"segments":[)" + Fresh + R"(],"format":"wave"})", 400, "bad_request", "unknown format"},
      {R"({"segments":[)" + Fresh + R"(],"loudness":"x"})", 400, "bad_request", "loudness must"},
      {R"({"segments":[)" + Fresh + R"(,{"text":"   "}]})", 400, "empty_text", "segments[1]: "},
      {R"({"segments":[)" + Fresh + R"(,)" + Fresh + R"(,{"text":")" + Long + R"("}]})", 413,
       "text_too_long", "segments[2]: "},
  };
  for (const TCase& c : Cases) {
    const auto Res = Post(Cli, "/v1/announce", c.Body);
    ASSERT_TRUE(Res);
    EXPECT_EQ(Res->status, c.Status) << c.Body;
    const TJson Error = JsonOf(Res->body);
    EXPECT_EQ(JsonString(&Error, "error", ""), c.Error) << c.Body;
    EXPECT_EQ(JsonString(&Error, "message", "").rfind(c.MessageStart, 0), 0u) << Res->body;
  }
  const auto Get = Cli.Get("/v1/announce");
  ASSERT_TRUE(Get);
  EXPECT_EQ(Get->status, 405);
  const TJson After = Stats(Cli);
  for (const char* Counter : {"total", "failed", "cache_count"})
    EXPECT_EQ(JsonInteger(&After, Counter, -1), JsonInteger(&Before, Counter, -2)) << Counter;
}

TEST_F(AnnounceDaemonTest, PrewarmBakesEverySegmentOfAnnouncements) {
  httplib::Client Cli = Daemon->Client();
  const std::string Announcement =
      R"({"airline":"CCA","segments":[{"text":"登机口改为 C7。","language":"zh"},)"
      R"({"text":"The gate is now C7.","language":"en"}]})";
  const int64_t Before = IntegerMember(Stats(Cli), "cache_count");
  const auto Queued =
      Post(Cli, "/v1/prewarm", R"({"announcements":[)" + Announcement + R"(,{"segments":[]}]})");
  ASSERT_TRUE(Queued);
  EXPECT_EQ(Queued->status, 400) << "one bad announcement refuses the whole call";
  const auto Accepted = Post(Cli, "/v1/prewarm", R"({"announcements":[)" + Announcement + "]}");
  ASSERT_TRUE(Accepted);
  ASSERT_EQ(Accepted->status, 202) << Accepted->body;
  EXPECT_EQ(IntegerMember(JsonOf(Accepted->body), "queued"), 2);
  ASSERT_TRUE(WaitForPrewarm(Before, 2));
  const auto Res = Post(Cli, "/v1/announce", Announcement);
  ASSERT_TRUE(Res);
  ASSERT_EQ(Res->status, 200) << Res->body;
  EXPECT_EQ(Res->get_header_value("X-Quavox-Cache"), "hit");
  const TJson Again = JsonOf(Post(Cli, "/v1/prewarm",
                                  R"({"announcements":[)" + Announcement +
                                      R"(],"items":[{"text":"Extra line",)"
                                      R"("language":"en","airline":"CCA"}]})")
                                 ->body);
  EXPECT_EQ(JsonInteger(&Again, "cached", -1), 2);
  EXPECT_EQ(JsonInteger(&Again, "queued", -1), 1);
}

}  // namespace
}  // namespace quavox::test
