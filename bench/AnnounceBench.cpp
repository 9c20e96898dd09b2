// The server-side cost of a whole announcement whose three segments come from the cache,
// against one cached line: the full handler (/v1/announce and /v1/tts, without sockets) over
// a real service, and the assembly alone from the cached WAVs, without the announcer's
// memo of prepared segments (the first announcement of new clips pays that).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <random>

#include "audio/Announce.h"
#include "audio/Wav.h"
#include "http/Http.h"
#include "platform/Memory.h"
#include "service/Service.h"

namespace quavox {
namespace {

constexpr int32_t Rate = 22050;

// Syllable-like bursts of filtered noise at speech level, with silence at both ends as the
// engine leaves it.
TBytes SpeechLikeWav(double ASeconds, unsigned ASeed, double ALevel) {
  std::mt19937 Random(ASeed);
  std::normal_distribution<float> Noise(0.0f, 1.0f);
  TPcmBuffer Pcm;
  Pcm.SampleRate = Rate;
  const auto Count = static_cast<std::size_t>(ASeconds * Rate);
  const std::size_t Edge = Rate / 10;
  float Smoothed = 0;
  for (std::size_t i = 0; i < Count; ++i) {
    const double t = static_cast<double>(i) / Rate;
    const double Syllable = std::max(0.0, std::sin(2 * std::numbers::pi * 4 * t));
    Smoothed = 0.7f * Smoothed + 0.3f * Noise(Random);
    const bool Silent = i < Edge || i + Edge >= Count;
    Pcm.Data.push_back(Silent ? 0.0f : static_cast<float>(ALevel * Syllable * Smoothed));
  }
  return PcmToWav(Pcm, 1);
}

void AssembleCachedAnnouncement(benchmark::State& AState, std::optional<double> ATarget) {
  const std::vector<TBytes> Cached = {SpeechLikeWav(3.0, 1, 0.5), SpeechLikeWav(2.5, 2, 0.3),
                                      SpeechLikeWav(3.5, 3, 0.4)};
  TAnnounceLayout Layout;
  Layout.Chime = cmBoth;
  Layout.LoudnessLufs = ATarget;
  std::size_t Bytes = 0;
  for (auto _ : AState) {
    std::vector<TPcmBuffer> Segments(Cached.size());
    for (std::size_t i = 0; i < Cached.size(); ++i)
      WavToPcm(Cached[i], Segments[i]);
    const TAnnouncement Whole = AssembleAnnouncement(std::move(Segments), Layout);
    const TBytes Wav = PcmToWav(Whole.Pcm, 1);
    Bytes = Wav.size();
    benchmark::DoNotOptimize(Wav.data());
  }
  AState.counters["wav_bytes"] = static_cast<double>(Bytes);
}

void BM_AssembleEqualLoudness(benchmark::State& AState) {
  AssembleCachedAnnouncement(AState, std::nullopt);
}
void BM_AssembleLoudnessTarget(benchmark::State& AState) {
  AssembleCachedAnnouncement(AState, -16.0);
}
BENCHMARK(BM_AssembleEqualLoudness)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AssembleLoudnessTarget)->Unit(benchmark::kMillisecond);

void BM_Chime(benchmark::State& AState) {
  for (auto _ : AState)
    benchmark::DoNotOptimize(MakeChime(Rate, false).Data.data());
}
BENCHMARK(BM_Chime)->Unit(benchmark::kMillisecond);

namespace fs = std::filesystem;

// A service over a fresh folder (the placeholder engine speaks, at 44100 Hz) and its HTTP
// handler without a listening socket, so only the server's own work is timed. The allocator
// is tuned as in the daemon, where every large block is a fresh mapping.
class TServerFixture {
 public:
  TServerFixture()
      : FTuned((TuneAllocatorForLargeReplies(), true)),
        FRoot((fs::temp_directory_path() / ("quavox-bench-announce-" + std::to_string(::getpid())))
                  .string() +
              "/"),
        FConfig(TAppFolders{FRoot, FRoot + "appdata/"}) {
    TConfigSettings Settings = FConfig.Settings();
    Settings.RateLimitPerMinute = 0;
    FConfig.SetSettings(Settings);
    FService = std::make_unique<TTtsService>(FConfig);
    FServer = std::make_unique<TTtsHttpServer>(*FService);
  }
  ~TServerFixture() {
    FServer.reset();
    FService.reset();
    fs::remove_all(FRoot);
  }
  THttpResponse Handle(const THttpRequest& AReq) {
    THttpResponse Res;
    FServer->HandleRequest(AReq, Res);
    return Res;
  }

 private:
  bool FTuned;
  std::string FRoot;
  TAppConfig FConfig;
  std::unique_ptr<TTtsService> FService;
  std::unique_ptr<TTtsHttpServer> FServer;
};

const char* const ThreeSegments =
    R"({"chime":"start","loudness":-16,"segments":[)"
    R"({"text":"各位旅客请注意,CA1234 航班开始登机。","language":"zh"},)"
    R"({"text":"Flight CA1234 to Beijing is now boarding at gate twelve.","language":"en"},)"
    R"({"text":"CA1234便の搭乗を開始いたします。","language":"ja"}]})";

void Serve(benchmark::State& AState, const THttpRequest& AReq) {
  TServerFixture Server;
  const THttpResponse First = Server.Handle(AReq);
  if (First.Status != 200) {
    AState.SkipWithError(First.Body.c_str());
    return;
  }
  for (auto _ : AState) {
    const THttpResponse Res = Server.Handle(AReq);
    if (Res.Header("X-Quavox-Cache") != "hit") AState.SkipWithError("not a cache hit");
    benchmark::DoNotOptimize(Res.Binary);
  }
  AState.counters["audio_ms"] = std::stod(First.Header("X-Quavox-Duration-Ms"));
  AState.counters["wav_bytes"] = static_cast<double>(First.Binary ? First.Binary->size() : 0);
}

void BM_ServeCachedAnnouncement(benchmark::State& AState) {
  THttpRequest Req;
  Req.Method = "POST";
  Req.Path = "/v1/announce";
  Req.Peer = "127.0.0.1";
  Req.Body = ThreeSegments;
  Serve(AState, Req);
}
BENCHMARK(BM_ServeCachedAnnouncement)->Unit(benchmark::kMillisecond);

// Every call asks for another pause, so every announcement is assembled anew from its
// cached, already prepared segments.
void BM_ServeCachedSegmentsNewLayout(benchmark::State& AState) {
  TServerFixture Server;
  THttpRequest Req;
  Req.Method = "POST";
  Req.Path = "/v1/announce";
  Req.Peer = "127.0.0.1";
  Req.Body = ThreeSegments;
  if (Server.Handle(Req).Status != 200) AState.SkipWithError("announcement failed");
  std::string Layout = ThreeSegments;
  Layout.insert(1, R"("gap_ms":1000,)");
  int Gap = 0;
  for (auto _ : AState) {
    Gap = (Gap + 1) % 4000;
    Req.Body = Layout;
    Req.Body.replace(10, 4, std::to_string(1000 + Gap));
    const THttpResponse Res = Server.Handle(Req);
    if (Res.Status != 200) AState.SkipWithError(Res.Body.c_str());
    benchmark::DoNotOptimize(Res.Binary);
  }
}
BENCHMARK(BM_ServeCachedSegmentsNewLayout)->Unit(benchmark::kMillisecond);

void BM_ServeCachedLine(benchmark::State& AState) {
  THttpRequest Req;
  Req.Method = "GET";
  Req.Path = "/v1/tts";
  Req.Query = "text=Flight+CA1234+to+Beijing+is+now+boarding+at+gate+twelve.&language=en";
  Req.Peer = "127.0.0.1";
  Serve(AState, Req);
}
BENCHMARK(BM_ServeCachedLine)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
