#include "state/Config.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "audio/Encode.h"
#include "audio/Wav.h"
#include "core/Format.h"
#include "core/Log.h"
#include "core/Text.h"
#include "platform/Files.h"
#include "state/Json.h"
#include "state/Revision.h"

namespace quavox {

namespace fs = std::filesystem;

namespace {

constexpr const char* LogSource = "config";
constexpr uint8_t ProbeBytes[512] = {};
// A year.
constexpr int32_t MaxForgiveMinutes = 525600;

int32_t ReadClamped(const TJson* ANode, std::string_view AName, int32_t ACurrent, int32_t ALow,
                    int32_t AHigh) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(JsonInteger(ANode, AName, ACurrent), ALow, AHigh));
}

float ReadFloat(const TJson* ANode, std::string_view AName, float ACurrent) {
  const double v = JsonFloat(ANode, AName, ACurrent);
  return std::isfinite(static_cast<float>(v)) ? static_cast<float>(v) : ACurrent;
}

// 0 (off) or a target in the range a reply can be normalised to; anything else is off,
// since a target clamped to the nearest limit would be a level nobody asked for.
double ReadLoudness(const TJson* ANode, double ACurrent) {
  const double v = JsonFloat(ANode, "loudness", ACurrent);
  return IsLoudnessTarget(v) ? v : 0.0;
}

// The non-empty strings of an array member; a missing member leaves AList as it is.
void ReadStrings(const TJson* s, const char* AName, std::vector<std::string>& AList) {
  const TJson* Items = JsonChildArray(s, AName);
  if (Items == nullptr) return;
  AList.clear();
  for (const TJson& Item : *Items)
    if (Item.is_string() && !Item.get<std::string>().empty()) AList.push_back(Item);
}

void ReadServer(const TJson* s, TConfigSettings& c) {
  if (s == nullptr) return;
  c.Port = ReadClamped(s, "port", c.Port, 1, 65535);
  c.BindAddress = JsonString(s, "bind", c.BindAddress);
  c.RateLimitPerMinute = ReadClamped(s, "rateLimitPerMinute", c.RateLimitPerMinute, 0, INT32_MAX);
  c.AutoStartServer = JsonBoolean(s, "autoStart", c.AutoStartServer);
  c.MinimizeToTray = JsonBoolean(s, "minimizeToTray", c.MinimizeToTray);
  c.ShowAdvanced = JsonBoolean(s, "showAdvanced", c.ShowAdvanced);
  c.UiLanguage = ParseUiLang(JsonString(s, "uiLanguage", UiLangCode(c.UiLanguage)));
  c.MaxConnectionsPerClient =
      ReadClamped(s, "maxConnectionsPerClient", c.MaxConnectionsPerClient, 0, 1000000);
  ReadStrings(s, "apiKeys", c.ApiKeys);
  c.ApiKeysFile = JsonString(s, "apiKeysFile", c.ApiKeysFile);
  c.MetricsRequireKey = JsonBoolean(s, "metricsRequireKey", c.MetricsRequireKey);
  c.AccessLog = JsonString(s, "accessLog", c.AccessLog);
  c.AccessLogMaxMB = ReadClamped(s, "accessLogMaxMB", c.AccessLogMaxMB, 1, 1 << 20);
  c.DebugLog = JsonBoolean(s, "debugLog", c.DebugLog);
  c.ShutdownGraceSeconds = ReadClamped(s, "shutdownGraceSeconds", c.ShutdownGraceSeconds, 0, 3600);
  c.MaxConnections = ReadClamped(s, "maxConnections", c.MaxConnections, 0, 10000000);
  ReadStrings(s, "allowedOrigins", c.AllowedOrigins);
  ReadStrings(s, "allowedHosts", c.AllowedHosts);
}

void ReadSynthesis(const TJson* s, TConfigSettings& c) {
  if (s == nullptr) return;
  c.MaxTextLength = ReadClamped(s, "maxTextLength", c.MaxTextLength, 1, 100000);
  c.QueueLimit = ReadClamped(s, "queueLimit", c.QueueLimit, 1, 4096);
  c.RequestTimeoutMs = ReadClamped(s, "timeoutMs", c.RequestTimeoutMs, 1000, 900000);
  c.SpeedMode = ParseSpeedMode(JsonString(s, "speedMode", SpeedModeToStr(c.SpeedMode)));
  c.OutputSampleRate = ReadClamped(s, "outputSampleRate", c.OutputSampleRate, 0, INT32_MAX);
  c.NormalizeOutput = JsonBoolean(s, "normalizeOutput", c.NormalizeOutput);
  c.AutoCreateDefaultVoice = JsonBoolean(s, "autoDefaultVoice", c.AutoCreateDefaultVoice);
  c.Loudness = ReadLoudness(s, c.Loudness);
  c.NormalizeText = JsonBoolean(s, "normalizeText", c.NormalizeText);
  c.QueueClientShare = ReadClamped(s, "queueClientShare", c.QueueClientShare, 0, 4096);
  c.QueueHighReserve = ReadClamped(s, "queueHighReserve", c.QueueHighReserve, 0, 4096);
  c.ReplyMemoryMB = ReadClamped(s, "replyMemoryMB", c.ReplyMemoryMB, 1, 1 << 20);
  c.PrewarmLimit = ReadClamped(s, "prewarmLimit", c.PrewarmLimit, 1, 10000000);
  c.PrewarmClientShare = ReadClamped(s, "prewarmClientShare", c.PrewarmClientShare, 0, 10000000);
}

void ReadCache(const TJson* s, TConfigSettings& c) {
  if (s == nullptr) return;
  c.CacheEnabled = JsonBoolean(s, "enabled", c.CacheEnabled);
  c.CacheBudgetMB = ReadClamped(s, "budgetMB", c.CacheBudgetMB, 0, 8192);
  c.EncodedCacheMB = ReadClamped(s, "encodedMB", c.EncodedCacheMB, 0, 4096);
  c.CacheMemoryMB = ReadClamped(s, "memoryMB", c.CacheMemoryMB, 0, 4096);
  c.CacheMinFreeMB = ReadClamped(s, "minFreeMB", c.CacheMinFreeMB, 0, INT32_MAX);
}

constexpr double DefaultFollowSeconds = 2.0;

// Unlike the other groups, a cluster member taken out of the file takes its default again: an
// administrator who removes the primary and reloads means this node to stop following.
void ReadCluster(const TJson* s, TConfigSettings& c) {
  c.ClusterPrimary = Trim(JsonString(s, "primary", ""));
  c.ClusterPrimaryKey = Trim(JsonString(s, "primaryKey", ""));
  const double Seconds = JsonFloat(s, "followSeconds", DefaultFollowSeconds);
  c.FollowSeconds =
      std::isfinite(Seconds) ? std::clamp(Seconds, 0.1, 3600.0) : DefaultFollowSeconds;
}

void ReadEngine(const TJson* s, TEngineOptions& e) {
  if (s == nullptr) return;
  e.ModelFile = JsonString(s, "modelFile", e.ModelFile);
  e.Compute = ParseCompute(JsonString(s, "compute", ComputeToStr(e.Compute)));
  e.GpuDevice = ReadClamped(s, "gpuDevice", e.GpuDevice, 0, 15);
  e.GpuLayers = ReadClamped(s, "gpuLayers", e.GpuLayers, -1, 999);
  e.Threads = ReadClamped(s, "threads", e.Threads, 0, 256);
  e.UseMirror = JsonBoolean(s, "useMirror", e.UseMirror);
  e.PackageBaseUrl = JsonString(s, "packageBaseUrl", e.PackageBaseUrl);
  e.TimeoutMs = ReadClamped(s, "timeoutMs", e.TimeoutMs, 5000, 900000);
  e.MaxNewTokens = ReadClamped(s, "maxNewTokens", e.MaxNewTokens, 64, 16384);
  e.Temperature = ReadFloat(s, "temperature", e.Temperature);
  e.TopP = ReadFloat(s, "topP", e.TopP);
  e.TopK = ReadClamped(s, "topK", e.TopK, 0, 1000);
  e.RepetitionPenalty = ReadFloat(s, "repetitionPenalty", e.RepetitionPenalty);
  e.ExtraArgs = JsonString(s, "extraArgs", e.ExtraArgs);
  e.RestartForgiveMinutes =
      ReadClamped(s, "restartForgiveMinutes", e.RestartForgiveMinutes, 0, MaxForgiveMinutes);
}

std::vector<std::string> SplitColon(const std::string& AText) {
  std::vector<std::string> Parts;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t Colon = AText.find(':', Start);
    Parts.push_back(AText.substr(Start, Colon - Start));
    if (Colon == std::string::npos) return Parts;
    Start = Colon + 1;
  }
}

// Voice maps: names with enough ":"-separated parts are normalised into keys, others are
// kept trimmed; members with a blank value are dropped.
template <typename TMakeKey>
std::map<std::string, std::string> ReadVoiceMap(const TJson* ARoot, std::string_view AName,
                                                std::size_t AMinParts, TMakeKey AMakeKey) {
  std::map<std::string, std::string> Map;
  const TJson* Node = JsonChildObject(ARoot, AName);
  if (Node == nullptr) return Map;
  for (const auto& [Name, Value] : Node->items()) {
    const std::string Id = JsonString(Node, Name, {});
    if (Trim(Id).empty()) continue;
    const auto Parts = SplitColon(Name);
    Map[Parts.size() >= AMinParts ? AMakeKey(Parts) : Trim(Name)] = Id;
  }
  return Map;
}

std::vector<THubShare> ReadShares(const TJson* AHub) {
  std::vector<THubShare> Shares;
  const TJson* Items = JsonChildArray(AHub, "shares");
  if (Items == nullptr) return Shares;
  for (const TJson& Item : *Items) {
    if (!Item.is_object()) continue;
    THubShare Share{JsonString(&Item, "id", {}), JsonString(&Item, "title", {}),
                    JsonString(&Item, "deleteKey", {})};
    if (!Share.Id.empty() && !Share.DeleteKey.empty()) Shares.push_back(std::move(Share));
  }
  return Shares;
}

TJson EngineJson(const TEngineOptions& e) {
  return {{"modelFile", e.ModelFile},
          {"compute", ComputeToStr(e.Compute)},
          {"gpuDevice", e.GpuDevice},
          {"gpuLayers", e.GpuLayers},
          {"threads", e.Threads},
          {"useMirror", e.UseMirror},
          {"packageBaseUrl", e.PackageBaseUrl},
          {"timeoutMs", e.TimeoutMs},
          {"maxNewTokens", e.MaxNewTokens},
          {"temperature", RoundTo4Decimals(e.Temperature)},
          {"topP", RoundTo4Decimals(e.TopP)},
          {"topK", e.TopK},
          {"repetitionPenalty", RoundTo4Decimals(e.RepetitionPenalty)},
          {"extraArgs", e.ExtraArgs},
          {"restartForgiveMinutes", e.RestartForgiveMinutes}};
}

TJson MapJson(const std::map<std::string, std::string>& AMap) {
  TJson Node = TJson::object();
  for (const auto& [Key, Value] : AMap)
    Node[Key] = Value;
  return Node;
}

std::optional<TJson> ReadJsonFile(const std::string& AFile) {
  try {
    const TBytes Bytes = ReadFileBytes(AFile);
    return ParseJsonObject(StripUtf8Bom(std::string(Bytes.begin(), Bytes.end())));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Takes the members that differ between ABase and AMine into ATheirs, member by member in
// nested objects, so that whatever else changed in ATheirs stays.
void MergeChanges(const TJson& ABase, const TJson& AMine, TJson& ATheirs) {
  for (auto It = AMine.begin(); It != AMine.end(); ++It) {
    const auto Old = ABase.find(It.key());
    if (Old != ABase.end() && *Old == It.value()) continue;
    const auto Now = ATheirs.find(It.key());
    if (It.value().is_object() && Old != ABase.end() && Old->is_object() && Now != ATheirs.end() &&
        Now->is_object()) {
      MergeChanges(*Old, It.value(), *Now);
    } else {
      ATheirs[It.key()] = It.value();
    }
  }
  for (auto It = ABase.begin(); It != ABase.end(); ++It)
    if (!AMine.contains(It.key())) ATheirs.erase(It.key());
}

bool SameIdIgnoringCase(std::string_view A, std::string_view B) {
  return SameTextAscii(A, B);
}

}  // namespace

TAppFolders TAppFolders::Default() {
  const std::string Exe = ExecutableDir();
  const std::string AppData = XdgDataHome() + "Tallyhorn/Quavox/";
  if (IsFolderWritable(Exe)) return {Exe, AppData};
  return {XdgDataHome() + "quavox/", AppData};
}

std::string TAppConfig::ShippedFolder(const std::string& ARelative) const {
  std::error_code Ec;
  if (fs::is_directory(FFolders.ProgramDir + ARelative, Ec)) return FFolders.ProgramDir + ARelative;
  return IncludeTrailingSlash(FFolders.BundledDir) + ARelative;
}

TAppFolders TAppFolders::UnderRoot(const std::string& ARoot) {
  return {IncludeTrailingSlash(ARoot), XdgDataHome() + "Tallyhorn/Quavox/"};
}

std::string DefaultKey(std::string_view ALanguage, TTtsGender AGender) {
  return NormalizeLanguage(ALanguage) + ":" + GenderToStr(AGender);
}

std::string AirlineKey(std::string_view AAirline, std::string_view ALanguage, TTtsGender AGender) {
  return NormalizeAirline(AAirline) + ":" + NormalizeLanguage(ALanguage) + ":" +
         GenderToStr(AGender);
}

std::vector<std::string> SplitAirlineKey(std::string_view AKey) {
  std::vector<std::string> Parts;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t Colon = AKey.find(':', Start);
    if (Colon == std::string_view::npos) {
      Parts.emplace_back(AKey.substr(Start));
      return Parts;
    }
    Parts.emplace_back(AKey.substr(Start, Colon - Start));
    Start = Colon + 1;
  }
}

TAppConfig::TAppConfig(TAppFolders AFolders) : FFolders(std::move(AFolders)) {
  MigrateLegacyClips();
  Reset();
}

void TAppConfig::Reset() {
  TLockGuard Guard(FLock);
  FSettings = TConfigSettings{};
  FHubShares.clear();
  FMaps = TVoiceMaps{};
  NoteStateChange(spVoiceMaps);
}

void TAppConfig::Load(const std::string& AFileName) {
  const std::string File = AFileName.empty() ? ConfigFile() : AFileName;
  std::error_code Ec;
  if (!fs::exists(File, Ec)) {
    TAppLog::Info(LogSource, "no config file; using defaults and writing one: %s", File);
    Save(File);
    return;
  }
  std::string Text;
  try {
    const TBytes Bytes = ReadFileBytes(File);
    Text.assign(Bytes.begin(), Bytes.end());
  } catch (const std::exception& E) {
    TAppLog::Error(LogSource, "cannot read config (%s); using defaults", E.what());
    return;
  }
  const auto Root = ParseJsonObject(StripUtf8Bom(Text));
  if (!Root) {
    TAppLog::Warn(LogSource, "config is not valid JSON; using defaults");
    return;
  }
  {
    TLockGuard SaveGuard(FSaveLock);
    TLockGuard Guard(FLock);
    Apply(*Root);
    if (File == ConfigFile()) FOnDisk = *Root;
  }
  TAppLog::Info(LogSource, "config loaded: %s", File);
}

void TAppConfig::Apply(const TJson& ARoot) {
  NoteStateChange(spVoiceMaps);
  const TJson* R = &ARoot;
  ReadServer(JsonChildObject(R, "server"), FSettings);
  ReadSynthesis(JsonChildObject(R, "synthesis"), FSettings);
  ReadCache(JsonChildObject(R, "cache"), FSettings);
  ReadEngine(JsonChildObject(R, "engine"), FSettings.Engine);
  ReadCluster(JsonChildObject(R, "cluster"), FSettings);
  if (const TJson* Hub = JsonChildObject(R, "hub")) {
    FSettings.HubUserId = JsonString(Hub, "userId", {});
    FHubShares = ReadShares(Hub);
  }
  FMaps.Airlines = ReadVoiceMap(R, "airlineVoices", 3, [](const auto& p) {
    return AirlineKey(p[0], p[1], ParseGender(p[2]));
  });
  FMaps.Defaults = ReadVoiceMap(R, "defaultVoices", 2,
                                [](const auto& p) { return DefaultKey(p[0], ParseGender(p[1])); });
}

TJson TAppConfig::ToJson(const TVoiceMaps& AMaps) const {
  const TConfigSettings& c = FSettings;
  TJson Shares = TJson::array();
  for (const THubShare& s : FHubShares)
    Shares.push_back({{"id", s.Id}, {"title", s.Title}, {"deleteKey", s.DeleteKey}});
  TJson Root = TJson::object();
  Root["version"] = QuavoxVersion;
  Root["server"] = {{"port", c.Port},
                    {"bind", c.BindAddress},
                    {"rateLimitPerMinute", c.RateLimitPerMinute},
                    {"autoStart", c.AutoStartServer},
                    {"minimizeToTray", c.MinimizeToTray},
                    {"showAdvanced", c.ShowAdvanced},
                    {"uiLanguage", UiLangCode(c.UiLanguage)},
                    {"maxConnectionsPerClient", c.MaxConnectionsPerClient},
                    {"apiKeys", c.ApiKeys},
                    {"apiKeysFile", c.ApiKeysFile},
                    {"metricsRequireKey", c.MetricsRequireKey},
                    {"accessLog", c.AccessLog},
                    {"accessLogMaxMB", c.AccessLogMaxMB},
                    {"debugLog", c.DebugLog},
                    {"shutdownGraceSeconds", c.ShutdownGraceSeconds},
                    {"maxConnections", c.MaxConnections},
                    {"allowedOrigins", c.AllowedOrigins},
                    {"allowedHosts", c.AllowedHosts}};
  Root["synthesis"] = {{"maxTextLength", c.MaxTextLength},
                       {"queueLimit", c.QueueLimit},
                       {"timeoutMs", c.RequestTimeoutMs},
                       {"speedMode", SpeedModeToStr(c.SpeedMode)},
                       {"outputSampleRate", c.OutputSampleRate},
                       {"normalizeOutput", c.NormalizeOutput},
                       {"autoDefaultVoice", c.AutoCreateDefaultVoice},
                       {"loudness", c.Loudness},
                       {"normalizeText", c.NormalizeText},
                       {"queueClientShare", c.QueueClientShare},
                       {"queueHighReserve", c.QueueHighReserve},
                       {"replyMemoryMB", c.ReplyMemoryMB},
                       {"prewarmLimit", c.PrewarmLimit},
                       {"prewarmClientShare", c.PrewarmClientShare}};
  Root["cache"] = {{"enabled", c.CacheEnabled},
                   {"budgetMB", c.CacheBudgetMB},
                   {"encodedMB", c.EncodedCacheMB},
                   {"memoryMB", c.CacheMemoryMB},
                   {"minFreeMB", c.CacheMinFreeMB}};
  Root["engine"] = EngineJson(c.Engine);
  Root["hub"] = {{"userId", c.HubUserId}, {"shares", Shares}};
  Root["defaultVoices"] = MapJson(AMaps.Defaults);
  Root["airlineVoices"] = MapJson(AMaps.Airlines);
  // Only a node that was given cluster settings writes them, so a single node's file stays
  // as it was.
  if (!c.ClusterPrimary.empty() || c.FollowSeconds != DefaultFollowSeconds)
    Root["cluster"] = {{"primary", c.ClusterPrimary}, {"followSeconds", c.FollowSeconds}};
  if (!c.ClusterPrimaryKey.empty()) Root["cluster"]["primaryKey"] = c.ClusterPrimaryKey;
  return Root;
}

TJson TAppConfig::MergedWithDisk(const std::string& AFile, TJson AMine) {
  if (AFile != ConfigFile() || !FOnDisk) return AMine;
  std::optional<TJson> Theirs = ReadJsonFile(AFile);
  std::error_code Ec;
  if (!Theirs && fs::exists(AFile, Ec))
    TAppLog::Warn(LogSource, "config file is no longer valid JSON; writing the current settings");
  if (!Theirs || *Theirs == *FOnDisk) return AMine;
  MergeChanges(*FOnDisk, AMine, *Theirs);
  TLockGuard Guard(FLock);
  Apply(*Theirs);
  TAppLog::Info(LogSource, "config file was edited meanwhile; the change is merged into it: %s",
                AFile);
  return *std::move(Theirs);
}

void TAppConfig::WriteConfig(const std::string& AFile, const TJson& ARoot) {
  WriteFileAtomic(AFile, "\xEF\xBB\xBF" + JsonDumpIndented(ARoot));
  if (AFile == ConfigFile()) FOnDisk = ARoot;
}

void TAppConfig::Save(const std::string& AFileName) {
  const std::string File = AFileName.empty() ? ConfigFile() : AFileName;
  TLockGuard SaveGuard(FSaveLock);
  try {
    TJson Mine;
    {
      TLockGuard Guard(FLock);
      Mine = ToJson(FMaps);
    }
    WriteConfig(File, MergedWithDisk(File, std::move(Mine)));
  } catch (const std::exception& E) {
    TAppLog::Error(LogSource, "cannot write config: %s", E.what());
  }
}

void TAppConfig::CommitVoiceMaps(const std::function<void(TVoiceMaps&)>& AChange) {
  // Saves are serialised, so the change written is applied to the maps the file was made
  // from; changes made meanwhile without a save are kept, as the change is re-applied.
  TLockGuard SaveGuard(FSaveLock);
  TJson Mine;
  {
    TLockGuard Guard(FLock);
    TVoiceMaps Changed = FMaps;
    AChange(Changed);
    Mine = ToJson(Changed);
  }
  try {
    WriteConfig(ConfigFile(), MergedWithDisk(ConfigFile(), std::move(Mine)));
  } catch (const std::exception& E) {
    TAppLog::Error(LogSource, "cannot write config: %s", E.what());
    throw;
  }
  TLockGuard Guard(FLock);
  AChange(FMaps);
  NoteStateChange(spVoiceMaps);
}

std::string TAppConfig::DataFolderProblem() const {
  try {
    ForceDirectories(DataDir());
    const std::string Probe = DataDir() + Format(".write-probe-%d", ::getpid());
    // Creating a file is not enough: a full disk still lets empty files be made.
    WriteWholeFile(Probe, std::span<const uint8_t>(ProbeBytes), TFileCreation::Truncate,
                   TFileFlush::None);
    ::unlink(Probe.c_str());
    return {};
  } catch (const std::exception& E) {
    return E.what();
  }
}

TConfigSettings TAppConfig::Settings() const {
  TLockGuard Guard(FLock);
  return FSettings;
}

void TAppConfig::SetSettings(const TConfigSettings& ASettings) {
  TLockGuard Guard(FLock);
  FSettings = ASettings;
}

void TVoiceMaps::SetDefault(std::string_view ALanguage, TTtsGender AGender,
                            std::string_view AVoiceId) {
  const std::string Key = DefaultKey(ALanguage, AGender);
  const std::string Id = Trim(AVoiceId);
  if (Id.empty()) {
    Defaults.erase(Key);
  } else {
    Defaults[Key] = Id;
  }
}

void TVoiceMaps::SetAirline(std::string_view AAirline, std::string_view ALanguage,
                            TTtsGender AGender, std::string_view AVoiceId) {
  if (Trim(AAirline).empty()) return;
  const std::string Key = AirlineKey(AAirline, ALanguage, AGender);
  const std::string Id = Trim(AVoiceId);
  if (Id.empty()) {
    Airlines.erase(Key);
  } else {
    Airlines[Key] = Id;
  }
}

void TVoiceMaps::Forget(std::string_view AVoiceId) {
  if (Trim(AVoiceId).empty()) return;
  for (auto* Map : {&Defaults, &Airlines})
    std::erase_if(*Map, [&](const auto& Kv) { return SameIdIgnoringCase(Kv.second, AVoiceId); });
}

std::string TAppConfig::DefaultVoice(std::string_view ALanguage, TTtsGender AGender) const {
  TLockGuard Guard(FLock);
  const auto It = FMaps.Defaults.find(DefaultKey(ALanguage, AGender));
  return It == FMaps.Defaults.end() ? std::string() : It->second;
}

void TAppConfig::SetDefaultVoice(std::string_view ALanguage, TTtsGender AGender,
                                 std::string_view AVoiceId) {
  TLockGuard Guard(FLock);
  FMaps.SetDefault(ALanguage, AGender, AVoiceId);
  NoteStateChange(spVoiceMaps);
}

std::string TAppConfig::AirlineVoice(std::string_view AAirline, std::string_view ALanguage,
                                     TTtsGender AGender) const {
  if (Trim(AAirline).empty()) return {};
  TLockGuard Guard(FLock);
  const auto It = FMaps.Airlines.find(AirlineKey(AAirline, ALanguage, AGender));
  return It == FMaps.Airlines.end() ? std::string() : It->second;
}

void TAppConfig::SetAirlineVoice(std::string_view AAirline, std::string_view ALanguage,
                                 TTtsGender AGender, std::string_view AVoiceId) {
  TLockGuard Guard(FLock);
  FMaps.SetAirline(AAirline, ALanguage, AGender, AVoiceId);
  NoteStateChange(spVoiceMaps);
}

void TAppConfig::ForgetVoice(std::string_view AVoiceId) {
  TLockGuard Guard(FLock);
  FMaps.Forget(AVoiceId);
  NoteStateChange(spVoiceMaps);
}

TKeyValueList TAppConfig::DefaultsSnapshot() const {
  TLockGuard Guard(FLock);
  return {FMaps.Defaults.begin(), FMaps.Defaults.end()};
}

TKeyValueList TAppConfig::AirlinesSnapshot() const {
  TLockGuard Guard(FLock);
  return {FMaps.Airlines.begin(), FMaps.Airlines.end()};
}

std::vector<std::string> TAppConfig::KnownAirlines() const {
  std::set<std::string> Codes;
  {
    TLockGuard Guard(FLock);
    for (const auto& Kv : FMaps.Airlines) {
      const std::size_t Colon = Kv.first.find(':');
      if (Colon != std::string::npos && Colon > 0) Codes.insert(Kv.first.substr(0, Colon));
    }
  }
  return {Codes.begin(), Codes.end()};
}

void TAppConfig::AddHubShare(std::string_view AId, std::string_view ATitle,
                             std::string_view ADeleteKey) {
  if (AId.empty() || ADeleteKey.empty()) return;
  THubShare Share{std::string(AId), std::string(ATitle), std::string(ADeleteKey)};
  TLockGuard Guard(FLock);
  const auto It = std::find_if(FHubShares.begin(), FHubShares.end(),
                               [&](const THubShare& s) { return SameIdIgnoringCase(s.Id, AId); });
  if (It != FHubShares.end()) {
    *It = std::move(Share);
  } else {
    FHubShares.push_back(std::move(Share));
  }
}

std::string TAppConfig::HubDeleteKey(std::string_view AId) const {
  TLockGuard Guard(FLock);
  for (const THubShare& s : FHubShares)
    if (SameIdIgnoringCase(s.Id, AId)) return s.DeleteKey;
  return {};
}

void TAppConfig::RemoveHubShare(std::string_view AId) {
  TLockGuard Guard(FLock);
  std::erase_if(FHubShares, [&](const THubShare& s) { return SameIdIgnoringCase(s.Id, AId); });
}

std::vector<THubShare> TAppConfig::HubShares() const {
  TLockGuard Guard(FLock);
  return FHubShares;
}

std::string TAppConfig::BaseUrl() const {
  const TConfigSettings c = Settings();
  const std::string Host =
      c.BindAddress.empty() || c.BindAddress == "0.0.0.0" ? "127.0.0.1" : c.BindAddress;
  return Format("http://%s:%d", Host, c.Port);
}

void TAppConfig::MigrateLegacyClips() {
  const std::string OldDir = FFolders.AppDataDir + "voices/";
  try {
    std::error_code Ec;
    if (!fs::is_directory(OldDir, Ec)) return;
    std::vector<fs::path> Files;
    for (const auto& Entry : fs::directory_iterator(OldDir))
      if (Entry.is_regular_file()) Files.push_back(Entry.path());
    if (Files.empty()) return;
    ForceDirectories(VoicesDir());
    for (const fs::path& From : Files) {
      const fs::path To = fs::path(VoicesDir()) / From.filename();
      if (!fs::exists(To)) fs::copy_file(From, To);
    }
    TAppLog::Info(LogSource, "moved %d legacy reference clips from %s to %s", Files.size(), OldDir,
                  VoicesDir());
  } catch (const std::exception& E) {
    TAppLog::Warn(LogSource,
                  "could not move legacy reference clips (%s); older voices may stop working",
                  E.what());
  }
}

}  // namespace quavox
