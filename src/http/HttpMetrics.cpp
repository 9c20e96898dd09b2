#include "http/HttpMetrics.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "core/Format.h"
#include "core/ThreadAnnotations.h"
#include "platform/Memory.h"

namespace quavox {

namespace {

constexpr std::size_t StatusSlots = THttpMetrics::LastStatus - THttpMetrics::FirstStatus + 1;

struct TCounters {
  std::array<std::array<std::atomic<uint64_t>, StatusSlots>, THttpMetrics::MaxRoutes> Requests{};
  TLatencyHistogram Synthesis;
  TLatencyHistogram Engine;
  std::atomic<uint64_t> ReplyHits{0};
  std::atomic<uint64_t> ReplyMisses{0};
  std::atomic<int64_t> OpenConnections{0};
  std::atomic<uint64_t> Connections{0};
  // Refusals are rare and their reasons open-ended, so a map behind a lock serves them.
  TMutex RefusalLock;
  std::map<std::string, uint64_t, std::less<>> Refusals QX_GUARDED_BY(RefusalLock);
};

TCounters& Counters() {
  static TCounters Instance;
  return Instance;
}

void Header(std::string& AOut, std::string_view AName, std::string_view AHelp,
            std::string_view AType) {
  AOut += Format("# HELP %s %s\n# TYPE %s %s\n", AName, AHelp, AName, AType);
}

void Gauge(std::string& AOut, std::string_view AName, std::string_view AHelp, double AValue) {
  Header(AOut, AName, AHelp, "gauge");
  AOut += Format("%s %s\n", AName, FormatMetricValue(AValue));
}

void Counter(std::string& AOut, std::string_view AName, std::string_view AHelp, double AValue) {
  Header(AOut, AName, AHelp, "counter");
  AOut += Format("%s %s\n", AName, FormatMetricValue(AValue));
}

void RenderRequests(std::string& AOut, const std::vector<std::string_view>& ARoutes) {
  Header(AOut, "quavox_http_requests_total", "HTTP requests answered, by route and status.",
         "counter");
  for (std::size_t r = 0; r < THttpMetrics::MaxRoutes; ++r) {
    const std::string Route = EscapeLabelValue(
        r < ARoutes.size() && r + 1 < THttpMetrics::MaxRoutes ? ARoutes[r] : "other");
    for (std::size_t s = 0; s < StatusSlots; ++s) {
      const uint64_t Count = Counters().Requests[r][s].load(std::memory_order_relaxed);
      if (Count == 0) continue;
      AOut += Format("quavox_http_requests_total{route=\"%s\",status=\"%d\"} %s\n", Route,
                     static_cast<int64_t>(s) + THttpMetrics::FirstStatus, std::to_string(Count));
    }
  }
}

void RenderRefusals(std::string& AOut) {
  Header(AOut, "quavox_http_refusals_total",
         "Connections and requests turned away before a handler, by reason.", "counter");
  TLockGuard Guard(Counters().RefusalLock);
  for (const auto& [Reason, Count] : Counters().Refusals)
    AOut += Format("quavox_http_refusals_total{reason=\"%s\"} %s\n", EscapeLabelValue(Reason),
                   std::to_string(Count));
}

void RenderGauges(std::string& AOut, const TMetricsGauges& G) {
  const TServiceStats& S = G.Service;
  Gauge(AOut, "quavox_queue_depth", "Syntheses waiting in the queue.", S.QueueDepth);
  Gauge(AOut, "quavox_prewarm_pending", "Texts waiting to be prewarmed.", S.PrewarmPending);
  Gauge(AOut, "quavox_cache_entries", "Clips in the synthesis cache.", S.CacheCount);
  Gauge(AOut, "quavox_cache_bytes", "Bytes of the clips in the synthesis cache.", S.CacheBytes);
  Counter(AOut, "quavox_cache_hits_total", "Syntheses answered from the cache.", S.CacheHits);
  Counter(AOut, "quavox_cache_misses_total", "Syntheses the engine had to make.",
          static_cast<double>(std::max<int64_t>(S.Total - S.CacheHits, 0)));
  Counter(AOut, "quavox_syntheses_total", "Synthesis requests served by the service.", S.Total);
  Counter(AOut, "quavox_syntheses_failed_total", "Synthesis requests that failed.", S.Failed);
  Gauge(AOut, "quavox_encoded_cache_entries", "Replies kept in other formats or loudness.",
        G.EncodedEntries);
  Gauge(AOut, "quavox_encoded_cache_bytes", "Bytes of the replies kept encoded.", G.EncodedBytes);
  Header(AOut, "quavox_engine_info", "The engine in use (1).", "gauge");
  AOut += Format("quavox_engine_info{engine=\"%s\"} 1\n", EscapeLabelValue(S.EngineName));
  Gauge(AOut, "quavox_engine_ready", "1 when the engine is ready to synthesize.",
        S.EngineReady ? 1 : 0);
  Gauge(AOut, "quavox_engine_placeholder", "1 when the placeholder engine answers.",
        S.Placeholder ? 1 : 0);
  Gauge(AOut, "quavox_engine_busy", "1 while a synthesis runs.", S.Busy ? 1 : 0);
  Header(AOut, "quavox_engine_state", "The bundled engine's state (1 for the current one).",
         "gauge");
  for (const char* State : {"missing", "loading", "ready", "failed", "unloaded"})
    AOut += Format("quavox_engine_state{state=\"%s\"} %d\n", State,
                   static_cast<int64_t>(S.EngineState == State));
  // A gauge: loading the engine again counts from zero.
  Gauge(AOut, "quavox_engine_restarts",
        "Restarts of the engine's server process since the engine was last started.",
        static_cast<double>(S.EngineRestarts));
}

}  // namespace

std::string FormatMetricValue(double AValue) {
  std::array<char, 32> Text{};
  const auto Result = std::to_chars(Text.data(), Text.data() + Text.size(), AValue);
  return std::string(Text.data(), Result.ptr);
}

std::string EscapeLabelValue(std::string_view AValue) {
  std::string Out;
  Out.reserve(AValue.size());
  for (const char c : AValue) {
    if (c == '\\' || c == '"') {
      Out += '\\';
      Out += c;
    } else if (c == '\n') {
      Out += "\\n";
    } else {
      Out += c;
    }
  }
  return Out;
}

void TLatencyHistogram::Observe(int64_t AMicroseconds) {
  const double Seconds = static_cast<double>(std::max<int64_t>(AMicroseconds, 0)) / 1e6;
  std::size_t Slot = 0;
  while (Slot < Bounds.size() && Seconds > Bounds[Slot])
    ++Slot;
  FBuckets[Slot].fetch_add(1, std::memory_order_relaxed);
  FSumMicroseconds.fetch_add(static_cast<uint64_t>(std::max<int64_t>(AMicroseconds, 0)),
                             std::memory_order_relaxed);
  FCount.fetch_add(1, std::memory_order_relaxed);
}

void TLatencyHistogram::Render(std::string& AOut, std::string_view AName,
                               std::string_view AHelp) const {
  Header(AOut, AName, AHelp, "histogram");
  uint64_t Cumulative = 0;
  for (std::size_t i = 0; i < FBuckets.size(); ++i) {
    Cumulative += FBuckets[i].load(std::memory_order_relaxed);
    const std::string Bound = i < Bounds.size() ? FormatMetricValue(Bounds[i]) : "+Inf";
    AOut += Format("%s_bucket{le=\"%s\"} %s\n", AName, Bound, std::to_string(Cumulative));
  }
  AOut += Format("%s_sum %s\n", AName,
                 FormatMetricValue(
                     static_cast<double>(FSumMicroseconds.load(std::memory_order_relaxed)) / 1e6));
  // The count is that of the buckets read, so the +Inf bucket and the count always agree.
  AOut += Format("%s_count %s\n", AName, std::to_string(Cumulative));
}

void THttpMetrics::CountRequest(std::size_t ARoute, int AStatus) {
  if (AStatus < FirstStatus || AStatus > LastStatus) return;
  const std::size_t Route = std::min(ARoute, MaxRoutes - 1);
  Counters().Requests[Route][AStatus - FirstStatus].fetch_add(1, std::memory_order_relaxed);
}

void THttpMetrics::ObserveSynthesis(int64_t AMicroseconds) {
  Counters().Synthesis.Observe(AMicroseconds);
}

void THttpMetrics::ObserveEngine(int64_t AMicroseconds) {
  Counters().Engine.Observe(AMicroseconds);
}

void THttpMetrics::CountReplyCache(bool AHit) {
  (AHit ? Counters().ReplyHits : Counters().ReplyMisses).fetch_add(1, std::memory_order_relaxed);
}

void THttpMetrics::ConnectionOpened() {
  Counters().OpenConnections.fetch_add(1, std::memory_order_relaxed);
  Counters().Connections.fetch_add(1, std::memory_order_relaxed);
}

void THttpMetrics::ConnectionClosed() {
  Counters().OpenConnections.fetch_sub(1, std::memory_order_relaxed);
}

void THttpMetrics::CountRefusal(std::string_view AReason) {
  TLockGuard Guard(Counters().RefusalLock);
  auto Found = Counters().Refusals.find(AReason);
  if (Found == Counters().Refusals.end())
    Found = Counters().Refusals.emplace(std::string(AReason), 0).first;
  ++Found->second;
}

std::string THttpMetrics::Render(const std::vector<std::string_view>& ARoutes,
                                 const TMetricsGauges& AGauges) {
  std::string Out;
  Out.reserve(8192);
  RenderRequests(Out, ARoutes);
  Counters().Synthesis.Render(Out, "quavox_synthesis_seconds",
                              "Time from request to audio reply of the synthesis routes.");
  Counters().Engine.Render(Out, "quavox_engine_seconds",
                           "Engine time of the syntheses not answered from the cache.");
  Header(Out, "quavox_http_audio_replies_total", "Audio replies by cache result.", "counter");
  Out += Format("quavox_http_audio_replies_total{cache=\"hit\"} %s\n",
                std::to_string(Counters().ReplyHits.load(std::memory_order_relaxed)));
  Out += Format("quavox_http_audio_replies_total{cache=\"miss\"} %s\n",
                std::to_string(Counters().ReplyMisses.load(std::memory_order_relaxed)));
  Gauge(Out, "quavox_http_open_connections", "HTTP connections open now.",
        static_cast<double>(Counters().OpenConnections.load(std::memory_order_relaxed)));
  Counter(Out, "quavox_http_connections_total", "HTTP connections accepted.",
          static_cast<double>(Counters().Connections.load(std::memory_order_relaxed)));
  RenderRefusals(Out);
  RenderGauges(Out, AGauges);
  const TProcessMemory Memory = ProcessMemory();
  Gauge(Out, "process_resident_memory_bytes", "Resident memory size in bytes.",
        static_cast<double>(Memory.ResidentBytes));
  Gauge(Out, "process_virtual_memory_bytes", "Virtual memory size in bytes.",
        static_cast<double>(Memory.VirtualBytes));
  return Out;
}

}  // namespace quavox
