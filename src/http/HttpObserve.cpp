// What an operator of a server needs around the API: the access log, the Prometheus
// counters and /metrics, and the optional API keys.
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "core/Format.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/AccessLog.h"
#include "http/Http.h"
#include "http/HttpMetrics.h"
#include "service/Service.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "http";

// Keys of the file, one a line; blank lines and lines starting with "#" are skipped.
std::vector<std::string> ReadKeyFile(const std::string& AFileName) {
  std::vector<std::string> Keys;
  std::ifstream File(AFileName);
  if (!File) {
    TAppLog::Error(LogSource, "cannot read the API key file %s", AFileName);
    return Keys;
  }
  std::string Line;
  while (std::getline(File, Line)) {
    std::string Key = Trim(Line);
    if (!Key.empty() && Key[0] != '#') Keys.push_back(std::move(Key));
  }
  return Keys;
}

// Time independent of where the texts differ, and of which key matches.
bool MatchesAnyKey(std::string_view AGiven, const std::vector<std::string>& AKeys) {
  unsigned Matched = 0;
  for (const std::string& Key : AKeys) {
    unsigned Difference = AGiven.size() == Key.size() ? 0u : 1u;
    for (std::size_t i = 0; i < Key.size(); ++i)
      Difference |= static_cast<unsigned char>(Key[i]) ^
                    static_cast<unsigned char>(i < AGiven.size() ? AGiven[i] : 0);
    Matched |= Difference == 0 ? 1u : 0u;
  }
  return Matched != 0;
}

// The token of an "Authorization: Bearer <token>" header, or empty.
std::string BearerToken(const THttpRequest& AReq) {
  const std::string Value = Trim(AReq.Header("Authorization"));
  constexpr std::string_view Scheme = "bearer ";
  if (Value.size() <= Scheme.size() || !SameTextAscii(Value.substr(0, Scheme.size()), Scheme))
    return {};
  return Trim(std::string_view(Value).substr(Scheme.size()));
}

std::string MachineName() {
  char Name[256] = {};
  return gethostname(Name, sizeof Name - 1) == 0 ? std::string(Name) : std::string();
}

int64_t HeaderInteger(const THttpResponse& ARes, std::string_view AName) {
  int64_t Value = -1;
  const std::string Text = ARes.Header(AName);
  return !Text.empty() && TryParseInt64(Text, Value) ? Value : -1;
}

}  // namespace

void TTtsHttpServer::ApplyOperationalSettings() {
  const TConfigSettings Settings = FConfig.Settings();
  auto Keys = std::make_shared<std::vector<std::string>>(Settings.ApiKeys);
  if (!Settings.ApiKeysFile.empty()) {
    const std::vector<std::string> FromFile = ReadKeyFile(Settings.ApiKeysFile);
    Keys->insert(Keys->end(), FromFile.begin(), FromFile.end());
  }
  const bool Required = !Keys->empty() || !Settings.ApiKeysFile.empty();
  {
    TLockGuard Guard(FKeysLock);
    FKeys = std::move(Keys);
  }
  FMetricsRequireKey.store(Settings.MetricsRequireKey);
  auto Policy = std::make_shared<const TOriginPolicy>(
      MakeOriginPolicy(Settings.AllowedHosts, Settings.AllowedOrigins, MachineName()));
  {
    TLockGuard Guard(FOriginLock);
    FOriginPolicy = std::move(Policy);
  }
  FKeysRequired.store(Required);
  TAccessLog::Instance().Configure(
      TAccessLog::TargetOf(Settings.AccessLog, std::getenv("JOURNAL_STREAM") != nullptr),
      FConfig.LogsDir() + "access.log", static_cast<uint64_t>(Settings.AccessLogMaxMB) << 20);
  TAppLog::SetDebug(Settings.DebugLog);
  FReplyBudget.SetLimit(static_cast<int64_t>(Settings.ReplyMemoryMB) << 20);
}

bool TTtsHttpServer::Authorized(const TCall& ACall, const TRoute* ARoute) {
  if (!FKeysRequired.load(std::memory_order_relaxed)) return true;
  if (ARoute != nullptr && ARoute->Handler == &TTtsHttpServer::HandleHealth) return true;
  if (ARoute != nullptr && ARoute->Handler == &TTtsHttpServer::HandleMetrics &&
      !FMetricsRequireKey.load(std::memory_order_relaxed))
    return true;
  std::shared_ptr<const std::vector<std::string>> Keys;
  {
    TLockGuard Guard(FKeysLock);
    Keys = FKeys;
  }
  const std::string Given = BearerToken(ACall.Req);
  if (!Given.empty() && Keys && MatchesAnyKey(Given, *Keys)) return true;
  THttpMetrics::CountRefusal("unauthorized");
  TAppLog::Debug(LogSource,
                 Format("%s %s from %s refused: %s API key", ACall.Method, ACall.Req.Path,
                        ACall.Req.Peer, Given.empty() ? "no" : "a wrong"));
  if (IsOpenAiPath(ACall.Path))
    SendOpenAiError(ACall.Res, 401, "a valid API key is required", "invalid_request_error", "",
                    "invalid_api_key");
  else
    SendError(ACall.Res, 401, "unauthorized", "a valid API key is required");
  ACall.Res.SetHeader("WWW-Authenticate", "Bearer");
  return false;
}

void TTtsHttpServer::Account(const THttpRequest& AReq, const THttpResponse& ARes,
                             std::size_t ABytes, TDateTime ATime,
                             std::chrono::steady_clock::time_point AStart) {
  const int64_t DurationUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - AStart)
                                 .count();
  const TRoute* Route = FindRoute(LowerAscii(AReq.Path));
  THttpMetrics::CountRequest(
      Route != nullptr ? static_cast<std::size_t>(Route - Routes().data()) : SIZE_MAX, ARes.Status);
  TAccessRecord Record{ATime,
                       AReq.Peer,
                       AReq.Method,
                       AReq.Path,
                       ARes.Status,
                       ABytes,
                       DurationUs,
                       ARes.Header("X-Quavox-Cache"),
                       ARes.Header("X-Quavox-Voice"),
                       -1,
                       ARes.Header("X-Request-Id")};
  if (!Record.Cache.empty()) {
    const bool Hit = Record.Cache == "hit";
    THttpMetrics::CountReplyCache(Hit);
    THttpMetrics::ObserveSynthesis(DurationUs);
    Record.EngineMs = HeaderInteger(ARes, "X-Quavox-Synth-Ms");
    if (!Hit && Record.EngineMs >= 0) THttpMetrics::ObserveEngine(Record.EngineMs * 1000);
  }
  TAccessLog::Instance().Write(Record);
}

void TTtsHttpServer::HandleMetrics(const TCall& ACall) {
  TMetricsGauges Gauges;
  Gauges.Service = FService.Stats();
  Gauges.EncodedEntries = static_cast<int64_t>(FEncoded.Count());
  Gauges.EncodedBytes = static_cast<int64_t>(FEncoded.Bytes());
  std::vector<std::string_view> Labels;
  for (const TRoute& Route : Routes())
    Labels.push_back(Route.Path);
  ACall.Res.Status = 200;
  ACall.Res.ContentType = "text/plain; version=0.0.4; charset=utf-8";
  ACall.Res.Body = THttpMetrics::Render(Labels, Gauges);
}

}  // namespace quavox
