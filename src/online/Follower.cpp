#include "online/Follower.h"

#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "core/Format.h"
#include "core/Log.h"
#include "online/HttpClient.h"
#include "state/ClonePack.h"
#include "state/Json.h"
#include "state/Voices.h"
#include "text/TextRules.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "cluster";
constexpr long ConnectTimeoutMs = 2000;
constexpr long ResponseTimeoutMs = 20000;

enum TFetchResult { frUnchanged, frChanged, frFailed };

std::map<std::string, std::string> MapOf(const TJson& AObject) {
  std::map<std::string, std::string> Map;
  for (const auto& [Key, Value] : AObject.items())
    if (Value.is_string() && !Value.get<std::string>().empty()) Map[Key] = Value.get<std::string>();
  return Map;
}

std::map<std::string, std::string> MapOf(const TKeyValueList& AList) {
  return {AList.begin(), AList.end()};
}

std::vector<TLexiconEntry> EntriesOf(const TJson& ABody) {
  std::vector<TLexiconEntry> Entries;
  if (const TJson* List = JsonChildArray(&ABody, "entries"))
    for (const TJson& Item : *List)
      if (Item.is_object())
        Entries.push_back({JsonString(&Item, "language", ""), JsonString(&Item, "word", ""),
                           JsonString(&Item, "say", "")});
  return Entries;
}

}  // namespace

// What a round fetched: only the parts the primary changed.
struct TFollower::TFetched {
  std::optional<TLibraryPack> Pack;
  std::optional<std::map<std::string, std::string>> Airlines;
  std::optional<std::map<std::string, std::string>> Defaults;
  std::optional<std::vector<TLexiconEntry>> Lexicon;
  // The new tags, by path.
  std::map<std::string, std::string> Tags;
  std::string Problem;
};

TFollowTarget TFollowTarget::Of(const TConfigSettings& ASettings) {
  return {ASettings.ClusterPrimary,
          std::chrono::milliseconds(std::lround(ASettings.FollowSeconds * 1000)),
          ASettings.ClusterPrimaryKey};
}

TFollower::TFollower(TTtsService& AService, TFollowTarget ATarget)
    : FService(AService), FTarget(std::move(ATarget)) {
  FService.SetFollowState({FTarget.Primary, {}, false});
}

TFollower::~TFollower() {
  FThread.request_stop();
  if (FThread.joinable()) FThread.join();
  FService.SetFollowState({});
}

void TFollower::Start() {
  FThread = std::jthread([this](std::stop_token AStop) {
    std::mutex Lock;
    std::condition_variable_any Wake;
    while (!AStop.stop_requested()) {
      SyncOnce(AStop);
      std::unique_lock Guard(Lock);
      Wake.wait_for(Guard, AStop, FTarget.Interval, [] { return false; });
    }
  });
}

std::string TFollower::RefusalReason(int AStatus) const {
  if (AStatus != 401) return Format("HTTP %d", AStatus);
  return FTarget.Key.empty()
             ? "HTTP 401, the primary requires an API key: set cluster.primaryKey to one of its "
               "keys"
             : "HTTP 401, the primary refused cluster.primaryKey: set it to one of its keys";
}

bool TFollower::Fetch(TResource& AResource, TFetched& AInto, const std::string& AFile,
                      std::stop_token AStop) {
  TClientRequest Request;
  Request.Stop = std::move(AStop);
  Request.Url = JoinUrl(FTarget.Primary, AResource.Path);
  Request.ConnectTimeoutMs = ConnectTimeoutMs;
  Request.ResponseTimeoutMs = ResponseTimeoutMs;
  const bool IsPack = &AResource == &FPack;
  if (IsPack) Request.OutFile = AFile;
  if (!AResource.Tag.empty()) Request.Headers.push_back("If-None-Match: " + AResource.Tag);
  if (!FTarget.Key.empty()) Request.Headers.push_back("Authorization: Bearer " + FTarget.Key);
  const TClientResponse Response = HttpRequest(Request);
  if (!Response.Ok || (Response.Status != 200 && Response.Status != 304)) {
    AInto.Problem = Format("%s: %s", Request.Url,
                           Response.Ok ? RefusalReason(Response.Status) : Response.Error);
    return false;
  }
  if (Response.Status == 304) return true;
  AInto.Tags[AResource.Path] = Response.ETag;
  if (IsPack) {
    AInto.Pack = ReadLibraryPack(AFile);
    return true;
  }
  const std::optional<TJson> Body = ParseJsonObject(Response.Body);
  if (!Body) {
    AInto.Problem = Request.Url + ": not a JSON object";
    return false;
  }
  if (&AResource == &FAirlines) AInto.Airlines = MapOf(*Body);
  if (&AResource == &FDefaults) AInto.Defaults = MapOf(*Body);
  if (&AResource == &FLexicon) AInto.Lexicon = EntriesOf(*Body);
  return true;
}

bool TFollower::SyncOnce(std::stop_token AStop) {
  TLockGuard Guard(FRoundLock);
  const std::string PackFile = FService.Config().DataDir() + "primary.pack.tmp";
  TFetched Fetched;
  bool Reached = true;
  try {
    for (TResource* Resource : {&FPack, &FAirlines, &FDefaults, &FLexicon})
      if (!Fetch(*Resource, Fetched, PackFile, AStop)) {
        Reached = false;
        break;
      }
    if (Reached) Apply(Fetched);
  } catch (const std::exception& E) {
    Fetched.Problem = E.what();
  }
  std::error_code Ignored;
  std::filesystem::remove(PackFile, Ignored);
  if (AStop.stop_requested()) return false;
  const bool InSync = Reached && Fetched.Problem.empty();
  if (InSync) {
    for (TResource* Resource : {&FPack, &FAirlines, &FDefaults, &FLexicon})
      if (const auto Tag = Fetched.Tags.find(Resource->Path); Tag != Fetched.Tags.end())
        Resource->Tag = Tag->second;
    FLastSync = FormatIso8601(std::chrono::system_clock::now());
  }
  if (Fetched.Problem != FLastProblem) {
    if (Fetched.Problem.empty())
      TAppLog::Info(LogSource, "following %s again", FTarget.Primary);
    else
      TAppLog::Warn(LogSource, "cannot follow %s, serving what this node has: %s", FTarget.Primary,
                    Fetched.Problem);
    FLastProblem = Fetched.Problem;
  }
  FService.SetFollowState({FTarget.Primary, FLastSync, Reached});
  return InSync;
}

void TFollower::Apply(const TFetched& AFetched) {
  TVoiceLibrary& Library = FService.VoiceLibrary();
  TAppConfig& Config = FService.Config();
  if (AFetched.Pack || AFetched.Airlines || AFetched.Defaults) {
    // A part the primary did not change is what this node holds already.
    TVoiceMaps Maps;
    Maps.Airlines = AFetched.Airlines.value_or(MapOf(Config.AirlinesSnapshot()));
    Maps.Defaults = AFetched.Defaults.value_or(MapOf(Config.DefaultsSnapshot()));
    if (AFetched.Pack)
      Library.Mirror(AFetched.Pack->Voices, AFetched.Pack->Clips, Maps);
    else
      Library.Mirror(Library.All(), {}, Maps);
    TAppLog::Info(LogSource, "took the voices and bindings of %s: %d voice(s)", FTarget.Primary,
                  Library.Count());
  }
  if (AFetched.Lexicon) {
    FService.TextRules().ReplaceAll(*AFetched.Lexicon);
    TAppLog::Info(LogSource, "took the lexicon of %s: %d entries", FTarget.Primary,
                  AFetched.Lexicon->size());
  }
}

void FollowAsConfigured(std::unique_ptr<TFollower>& AFollower, TTtsService& AService) {
  const TFollowTarget Target = TFollowTarget::Of(AService.Config().Settings());
  if (AFollower ? AFollower->Target() == Target : Target.Primary.empty()) return;
  if (AFollower) {
    const std::string Before = AFollower->Target().Primary;
    AFollower.reset();
    if (Target.Primary.empty())
      TAppLog::Info(LogSource, "no longer following %s: this node takes changes of its own",
                    Before);
  }
  if (Target.Primary.empty()) return;
  TAppLog::Info(LogSource, "following %s every %d ms", Target.Primary,
                static_cast<int>(Target.Interval.count()));
  AFollower = std::make_unique<TFollower>(AService, Target);
  AFollower->Start();
}

}  // namespace quavox
