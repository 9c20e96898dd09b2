// Counters of the HTTP API for Prometheus, process-wide. Every request, connection and
// refusal is counted with atomics only, so counting adds no lock to the path of a cached
// reply; Render reads them (and a snapshot of the service) when /metrics is scraped. Any
// thread may call every function.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/Service.h"

namespace quavox {

// Seconds, counted in upper-bounded buckets as Prometheus histograms are.
class TLatencyHistogram {
 public:
  static constexpr std::array<double, 13> Bounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                    1,     2.5,  5,     10,   30,  60};
  void Observe(int64_t AMicroseconds);
  // The histogram's exposition lines under AName, with AHelp.
  void Render(std::string& AOut, std::string_view AName, std::string_view AHelp) const;

 private:
  std::array<std::atomic<uint64_t>, Bounds.size() + 1> FBuckets{};
  std::atomic<uint64_t> FCount{0};
  std::atomic<uint64_t> FSumMicroseconds{0};
};

// What /metrics shows besides the counters, read from the service when it is scraped.
struct TMetricsGauges {
  TServiceStats Service;
  int64_t EncodedEntries = 0;
  int64_t EncodedBytes = 0;
};

class THttpMetrics {
 public:
  static constexpr std::size_t MaxRoutes = 32;
  static constexpr int FirstStatus = 100;
  static constexpr int LastStatus = 599;

  // One answered request: ARoute indexes the route labels given to Render (MaxRoutes - 1
  // and beyond: no route).
  static void CountRequest(std::size_t ARoute, int AStatus);
  static void ObserveSynthesis(int64_t AMicroseconds);
  static void ObserveEngine(int64_t AMicroseconds);
  static void CountReplyCache(bool AHit);
  static void ConnectionOpened();
  static void ConnectionClosed();
  // A request or connection turned away before any handler saw it, by a short reason such
  // as "too_many_connections".
  static void CountRefusal(std::string_view AReason);

  // The whole exposition text; ARoutes names the routes by index.
  static std::string Render(const std::vector<std::string_view>& ARoutes,
                            const TMetricsGauges& AGauges);
};

// A sample value as the exposition writes it: shortest exact decimal form.
std::string FormatMetricValue(double AValue);
// The exposition's escaping of a label value: backslash, double quote and line feed.
std::string EscapeLabelValue(std::string_view AValue);

}  // namespace quavox
