// What the Prometheus counters cost: one scrape of /metrics after every route has answered
// with several statuses, and the accounting every request pays.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "http/Http.h"
#include "http/HttpMetrics.h"
#include "service/Service.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;

// Routes a busy server answers on.
constexpr std::size_t BusyRoutes = 16;

void BM_ScrapeMetrics(benchmark::State& AState) {
  const std::string Root =
      (fs::temp_directory_path() / ("quavox-bench-metrics-" + std::to_string(::getpid())))
          .string() +
      "/";
  {
    TAppConfig Config(TAppFolders{Root, Root + "appdata/"});
    TConfigSettings Settings = Config.Settings();
    Settings.AccessLog = "off";
    Config.SetSettings(Settings);
    TTtsService Service(Config);
    TTtsHttpServer Server(Service);
    Server.ApplyOperationalSettings();
    for (std::size_t Route = 0; Route < THttpMetrics::MaxRoutes; ++Route)
      for (const int Status : {200, 304, 400, 404, 429, 500, 503})
        THttpMetrics::CountRequest(Route, Status);
    THttpRequest Req;
    Req.Method = "GET";
    Req.Path = "/metrics";
    Req.Peer = "127.0.0.1";
    std::size_t Bytes = 0;
    for (auto _ : AState) {
      THttpResponse Res;
      Server.HandleRequest(Req, Res);
      if (Res.Status != 200) AState.SkipWithError("no metrics");
      Bytes = Res.Body.size();
      benchmark::DoNotOptimize(Res.Body.data());
    }
    AState.counters["bytes"] = static_cast<double>(Bytes);
  }
  fs::remove_all(Root);
}
BENCHMARK(BM_ScrapeMetrics)->Unit(benchmark::kMicrosecond);

void BM_CountRequest(benchmark::State& AState) {
  std::size_t i = 0;
  for (auto _ : AState) {
    THttpMetrics::CountRequest(i % BusyRoutes, 200);
    THttpMetrics::CountReplyCache(true);
    THttpMetrics::ObserveSynthesis(static_cast<int64_t>(i % 5000));
    ++i;
  }
}
BENCHMARK(BM_CountRequest)->Threads(1)->Threads(2);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
