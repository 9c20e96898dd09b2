// The operations endpoints: health (never budgeted), self-test, statistics, the tail of
// the event log, the cache flush and prewarm of whole sets of announcement lines.
#include <algorithm>

#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/Http.h"
#include "http/HttpAnnounce.h"
#include "service/Service.h"
#include "state/Voices.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "http";
constexpr int64_t DefaultLogLines = 200;
constexpr int64_t MaxLogLines = 2000;

// Members a prewarm item takes from the top-level object when it does not have them.
constexpr const char* InheritedMembers[] = {"airline", "language", "gender", "speed"};

}  // namespace

void TTtsHttpServer::HandleHealth(const TCall& ACall) {
  const TEngineHealth Health = FService.EngineHealth();
  const TServiceStats Stats = FService.Stats();
  const TConfigSettings Settings = FConfig.Settings();
  TJson Reply = TJson::object();
  Reply["status"] = Health.Ready && !Stats.Placeholder ? "ready" : "degraded";
  Reply["version"] = QuavoxVersion;
  Reply["engine"] = Health.Backend;
  Reply["engine_detail"] = Health.Detail;
  Reply["engine_ready"] = Health.Ready;
  Reply["placeholder"] = Stats.Placeholder;
  Reply["engine_exe"] = Health.ExePath;
  Reply["compute"] = ComputeToStr(Settings.Engine.Compute);
  Reply["voices"] = FService.VoiceCount();
  Reply["output_sample_rate"] = Settings.OutputSampleRate;
  // Only when changes cannot be saved: the members a healthy service sends stay as they are.
  if (const std::string Problem = FService.DataFolderProblem(); !Problem.empty()) {
    Reply["status"] = "degraded";
    Reply["data_writable"] = false;
    Reply["data_error"] = Problem;
  }
  // Only when voices.json could not be read: the operator has a library file to look at.
  if (const std::string Problem = FService.VoiceLibrary().LoadProblem(); !Problem.empty()) {
    Reply["status"] = "degraded";
    Reply["voices_error"] = Problem;
  }
  // Only on a node that follows a primary.
  if (const TFollowState Follow = FService.FollowState(); !Follow.Primary.empty()) {
    TJson Cluster = TJson::object();
    Cluster["primary"] = Follow.Primary;
    Cluster["lastSync"] = Follow.LastSync.empty() ? TJson(nullptr) : TJson(Follow.LastSync);
    Cluster["reachable"] = Follow.Reachable;
    Reply["cluster"] = std::move(Cluster);
  }
  SendJson(ACall.Res, 200, Reply);
}

void TTtsHttpServer::HandleSelfTest(const TCall& ACall) {
  const std::string& Query = ACall.Req.Query;
  const std::vector<TCheckResult> Checks = FService.SelfTest(
      QueryParam(Query, "text", ""), NormalizeLanguage(QueryParam(Query, "language", "auto")),
      ParseGender(QueryParam(Query, "gender", "default")), QueryParam(Query, "airline", ""));
  const bool AllOk = std::all_of(Checks.begin(), Checks.end(),
                                 [](const TCheckResult& ACheck) { return ACheck.Ok; });
  const std::string Endpoint = this->Endpoint();

  std::string Report;
  for (const TCheckResult& Check : Checks)
    Report += (Check.Ok ? "[OK]   " : "[FAIL] ") + Check.Name + "  " + Check.Detail + "\r\n";
  Report += "\r\n";
  Report +=
      AllOk ? Translate("全部通过 —— 客户端可以接了。") : Translate("有没过的项,照上面那条改。");
  Report += "\r\n";
  Report += Translate("服务地址:") + Endpoint + "\r\n";

  const int Status = AllOk ? 200 : 503;
  if (SameTextAscii(QueryParam(Query, "format", ""), "text")) {
    ACall.Res.Status = Status;
    ACall.Res.ContentType = "text/plain; charset=utf-8";
    ACall.Res.Body = std::move(Report);
    return;
  }
  TJson List = TJson::array();
  for (const TCheckResult& Check : Checks) {
    TJson Item = TJson::object();
    Item["name"] = Check.Name;
    Item["ok"] = Check.Ok;
    Item["detail"] = Check.Detail;
    List.push_back(std::move(Item));
  }
  TJson Reply = TJson::object();
  Reply["ok"] = AllOk;
  Reply["endpoint"] = Endpoint;
  Reply["checks"] = std::move(List);
  Reply["report"] = std::move(Report);
  SendJson(ACall.Res, Status, Reply);
}

void TTtsHttpServer::HandleStats(const TCall& ACall) {
  const TServiceStats Stats = FService.Stats();
  TJson Reply = TJson::object();
  Reply["total"] = Stats.Total;
  Reply["failed"] = Stats.Failed;
  Reply["cache_hits"] = Stats.CacheHits;
  Reply["cache_hit_rate"] = Stats.CacheHitRate;
  Reply["cache_bytes"] = Stats.CacheBytes;
  Reply["cache_count"] = Stats.CacheCount;
  Reply["queue_depth"] = Stats.QueueDepth;
  Reply["prewarm_pending"] = Stats.PrewarmPending;
  Reply["busy"] = Stats.Busy;
  Reply["p50_ms"] = Stats.P50Ms;
  Reply["p95_ms"] = Stats.P95Ms;
  Reply["rtf"] = Stats.RealTimeFactor();
  Reply["engine"] = Stats.EngineName;
  Reply["placeholder"] = Stats.Placeholder;
  SendJson(ACall.Res, 200, Reply);
}

void TTtsHttpServer::HandleLog(const TCall& ACall) {
  int64_t Lines = DefaultLogLines;
  if (!TryParseInt64(QueryParam(ACall.Req.Query, "lines", "200"), Lines)) Lines = DefaultLogLines;
  Lines = std::clamp<int64_t>(Lines, 1, MaxLogLines);
  const std::vector<TLogEntry> Entries = TAppLog::Entries();
  const std::size_t First =
      Entries.size() > static_cast<std::size_t>(Lines) ? Entries.size() - Lines : 0;
  std::string Body;
  for (std::size_t i = First; i < Entries.size(); ++i)
    Body += Entries[i].Format() + "\r\n";
  ACall.Res.Status = 200;
  ACall.Res.ContentType = "text/plain; charset=utf-8";
  ACall.Res.Body = std::move(Body);
}

void TTtsHttpServer::HandleCache(const TCall& ACall) {
  FService.ClearCache();
  TJson Reply = TJson::object();
  Reply["cleared"] = true;
  SendJson(ACall.Res, 200, Reply);
}

void TTtsHttpServer::HandlePrewarm(const TCall& ACall) {
  std::vector<TTtsRequest> Requests;
  std::string Problem;
  if (ACall.Method == "POST") {
    const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
    if (!Body) return;
    const TJsonValue* Items = JsonChildArray(&*Body, "items");
    if (Items != nullptr) {
      for (const TJsonValue& Element : *Items) {
        if (!Element.is_object()) continue;
        TJsonValue Item = Element;
        for (const char* Name : InheritedMembers)
          if (!Item.contains(Name) && Body->contains(Name)) Item[Name] = Body->at(Name);
        Requests.push_back(RequestFromJson(Item, Problem));
      }
    }
    if (Problem.empty()) Problem = AnnouncementRequests(*Body, Requests);
    if (Items == nullptr && JsonChildArray(&*Body, "announcements") == nullptr)
      Requests.push_back(RequestFromJson(*Body, Problem));
  } else {
    Requests.push_back(RequestFromQuery(ACall.Req.Query, Problem));
  }
  if (!Problem.empty()) {
    SendError(ACall.Res, 400, "bad_request", Problem);
    return;
  }

  // Every request is checked before the first is queued, so a request naming a voice that
  // does not exist refuses the whole call and queues nothing.
  for (const TTtsRequest& Req : Requests) {
    if (const std::string Problem = SampleRateProblem(Req); !Problem.empty()) {
      SendError(ACall.Res, 400, "bad_request", Problem);
      return;
    }
    // Baked one after another, so only the size of each counts, not the budget.
    const TReplyEstimate Estimate =
        EstimateReply(PredictedSpeechMs(Req), ReplyRate(Req.SampleRate, 0));
    if (Estimate.TooLong()) {
      SendError(ACall.Res, 413, ErrorCodeName(ecTextTooLong), Estimate.TooLongMessage());
      return;
    }
  }
  enum TFate { fEmpty, fCached, fQueue };
  std::vector<TFate> Fates;
  try {
    for (const TTtsRequest& Req : Requests)
      Fates.push_back(Trim(Req.Text).empty() ? fEmpty : FService.IsCached(Req) ? fCached : fQueue);
  } catch (const ETtsError& E) {
    if (E.Code() != ecBadVoice) throw;
    SendError(ACall.Res, 400, ErrorCodeName(ecBadVoice), E.what());
    return;
  }
  std::vector<TTtsRequest> ToBake;
  int32_t Cached = 0;
  int32_t SkippedEmpty = 0;
  for (std::size_t i = 0; i < Requests.size(); ++i) {
    if (Fates[i] == fEmpty) {
      ++SkippedEmpty;
    } else if (Fates[i] == fCached) {
      ++Cached;
    } else {
      ToBake.push_back(Requests[i]);
      ToBake.back().Client = ACall.Req.Peer;
    }
  }
  try {
    // A HEAD says what a GET would queue, and queues nothing.
    if (ACall.Method != "HEAD") FService.Prewarm(ToBake);
  } catch (const ETtsError& E) {
    SendTtsError(ACall.Res, E);
    return;
  }
  const auto Queued = static_cast<int32_t>(ToBake.size());
  TJson Reply = TJson::object();
  Reply["queued"] = Queued;
  Reply["cached"] = Cached;
  Reply["skipped_empty"] = SkippedEmpty;
  Reply["pending"] = FService.PrewarmPending();
  SendJson(ACall.Res, 202, Reply);
  TAppLog::Info(LogSource, "pre-bake request from %s: queued %d, %d already cached", ACall.Req.Peer,
                Queued, Cached);
}

}  // namespace quavox
