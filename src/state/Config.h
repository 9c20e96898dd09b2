// Every setting of the program and the folder layout every other part uses. One instance
// lives as long as the host; it is read and changed from the window, the HTTP connection
// threads and the service at once, so every member is behind the object's own lock, and
// saves are serialised so the file always ends as the newest complete snapshot.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/I18n.h"
#include "core/ThreadAnnotations.h"
#include "core/Types.h"
#include "platform/Files.h"
#include "state/Json.h"

namespace quavox {

struct THubShare {
  std::string Id;
  std::string Title;
  std::string DeleteKey;
};

// The scalar settings, copied out and in as one value.
struct TConfigSettings {
  int32_t Port = 17150;
  std::string BindAddress = "0.0.0.0";
  int32_t RateLimitPerMinute = 0;
  bool AutoStartServer = true;
  bool MinimizeToTray = true;
  TUiLang UiLanguage = ulAuto;
  bool ShowAdvanced = false;
  // Connections one client address may hold open at once on the HTTP API (0: no limit).
  int32_t MaxConnectionsPerClient = 256;
  // Connections all clients together may hold (0: three quarters of the descriptor limit).
  int32_t MaxConnections = 0;
  // Bearer keys every path but the health check (and /metrics unless MetricsRequireKey)
  // requires once any is set, here or one a line in ApiKeysFile; none: the API is open.
  std::vector<std::string> ApiKeys;
  std::string ApiKeysFile;
  bool MetricsRequireKey = false;
  // Where the line of every HTTP request goes: "auto" (logs/access.log, or standard error
  // under systemd's journal), "file", "stderr" or "off"; the file is rotated at this size.
  std::string AccessLog = "auto";
  int32_t AccessLogMaxMB = 16;
  // Debug lines of the event log are kept only when this is on.
  bool DebugLog = false;
  // On SIGTERM, requests in service have this long to finish; what still waits for the
  // engine then gets an error reply.
  int32_t ShutdownGraceSeconds = 20;
  // Web pages (origins such as "http://ops.example:8080") that may call the API from a
  // browser; "*" lets every page read the GET paths. Empty: no CORS headers at all.
  std::vector<std::string> AllowedOrigins;
  // Host names requests may be addressed to besides IP addresses, localhost and this
  // machine's name; "*": any.
  std::vector<std::string> AllowedHosts;
  std::string HubUserId;
  int32_t MaxTextLength = 5000;
  int32_t QueueLimit = 64;
  int32_t RequestTimeoutMs = 180000;
  TTtsSpeedMode SpeedMode = smLocalStretch;
  int32_t OutputSampleRate = 0;
  bool NormalizeOutput = false;
  bool AutoCreateDefaultVoice = true;
  // Loudness of every reply in LUFS unless a request names its own; 0: left alone.
  double Loudness = 0;
  // Announcement texts are read through the aviation rules and the lexicon.
  bool NormalizeText = true;
  // Waiting places of the synthesis queue one client address may hold (0: no bound), and
  // the places only high-priority lines may take (at most half of QueueLimit).
  int32_t QueueClientShare = 32;
  int32_t QueueHighReserve = 8;
  // Memory the audio replies being made at once may hold, in MiB; requests beyond it are
  // told to retry.
  int32_t ReplyMemoryMB = 512;
  // Lines the pre-bake backlog holds, all clients together and per client address (0: no
  // bound per client).
  int32_t PrewarmLimit = 10000;
  int32_t PrewarmClientShare = 2000;
  bool CacheEnabled = true;
  int32_t CacheBudgetMB = 0;
  // No new clip is stored while the cache's disk has less free space than this.
  int32_t CacheMinFreeMB = 256;
  // Memory for encoded replies (MP3, Opus, loudness-normalised, ...), so a repeated
  // request is not encoded again; 0: none kept.
  int32_t EncodedCacheMB = 64;
  // Memory for the most recently hit clips, served without a file read; 0: none kept.
  int32_t CacheMemoryMB = 64;
  TEngineOptions Engine;
  // The base URL of the node this one follows ("http://10.0.0.11:17150"): its voices,
  // bindings, defaults and lexicon are taken from there every FollowSeconds and cannot be
  // changed here. Empty: a node of its own.
  std::string ClusterPrimary;
  double FollowSeconds = 2.0;
  // The API key the follower shows the primary, when the primary requires keys; never logged.
  std::string ClusterPrimaryKey;
};

// Where the program keeps its files: the program folder (data, clone, temp, models,
// engine, logs) and the per-user application-data folder (legacy clips).
struct TAppFolders {
  // The state: configuration, voices, cache, downloaded models and engines, logs.
  std::string ProgramDir;
  std::string AppDataDir;
  // The read-only files shipped with the program, whatever the state folder is.
  std::string BundledDir = ProgramFilesDir();

  // Beside the executable, or $XDG_DATA_HOME/quavox/ when that folder is not writable.
  static TAppFolders Default();
  static TAppFolders UnderRoot(const std::string& ARoot);
};

using TKeyValueList = std::vector<std::pair<std::string, std::string>>;

std::string DefaultKey(std::string_view ALanguage, TTtsGender AGender);
std::string AirlineKey(std::string_view AAirline, std::string_view ALanguage, TTtsGender AGender);
// The parts of a binding key between its ":" separators, empty parts kept ("CCA::male" has
// three parts, the middle one empty).
std::vector<std::string> SplitAirlineKey(std::string_view AKey);

// The two voice maps (default voice per language and gender, airline voice per airline,
// language and gender) and the changes made to them.
struct TVoiceMaps {
  std::map<std::string, std::string> Defaults;
  std::map<std::string, std::string> Airlines;

  // A blank id removes the entry.
  void SetDefault(std::string_view ALanguage, TTtsGender AGender, std::string_view AVoiceId);
  // Nothing for a blank airline; a blank id removes the entry.
  void SetAirline(std::string_view AAirline, std::string_view ALanguage, TTtsGender AGender,
                  std::string_view AVoiceId);
  // Drops every entry whose value is the id, letter case ignored.
  void Forget(std::string_view AVoiceId);
};

class TAppConfig {
 public:
  explicit TAppConfig(TAppFolders AFolders = TAppFolders::Default());

  std::string ExeDir() const { return FFolders.ProgramDir; }
  std::string DataDir() const { return FFolders.ProgramDir + "data/"; }
  std::string VoicesDir() const { return FFolders.ProgramDir + "clone/"; }
  std::string CacheDir() const { return FFolders.ProgramDir + "temp/"; }
  std::string ModelsDir() const { return FFolders.ProgramDir + "models/"; }
  std::string EngineDir() const { return FFolders.ProgramDir + "engine/"; }
  std::string LogsDir() const { return FFolders.ProgramDir + "logs/"; }
  std::string ConfigFile() const { return DataDir() + "config.json"; }
  std::string VoicesFile() const { return DataDir() + "voices.json"; }
  std::string LexiconFile() const { return DataDir() + "lexicon.json"; }
  std::string BundledDir() const { return FFolders.BundledDir; }
  // The folder ARelative of the state folder when there is one there (an operator's own
  // copy), otherwise the one shipped with the program.
  std::string ShippedFolder(const std::string& ARelative) const;
  // The built-in tables of the announcement rules, shipped with the program.
  std::string TextTablesDir() const { return ShippedFolder("text/"); }
  std::string AppDataDir() const { return FFolders.AppDataDir; }

  void Reset();
  void Load(const std::string& AFileName = {});
  // Write failures are logged and swallowed.
  void Save(const std::string& AFileName = {});
  // Makes a change of the voice maps only once the configuration file holding it has been
  // written, so the maps in memory always are what the file says. Raises std::system_error
  // with the system's error when the file cannot be written; the maps then stay unchanged.
  void CommitVoiceMaps(const std::function<void(TVoiceMaps&)>& AChange);
  // Empty while a file can be created and written in the data folder; otherwise the
  // system's error. Tries it each time it is asked.
  std::string DataFolderProblem() const;

  TConfigSettings Settings() const;
  void SetSettings(const TConfigSettings& ASettings);

  std::string DefaultVoice(std::string_view ALanguage, TTtsGender AGender) const;
  void SetDefaultVoice(std::string_view ALanguage, TTtsGender AGender, std::string_view AVoiceId);
  std::string AirlineVoice(std::string_view AAirline, std::string_view ALanguage,
                           TTtsGender AGender) const;
  void SetAirlineVoice(std::string_view AAirline, std::string_view ALanguage, TTtsGender AGender,
                       std::string_view AVoiceId);
  void ForgetVoice(std::string_view AVoiceId);
  TKeyValueList DefaultsSnapshot() const;
  TKeyValueList AirlinesSnapshot() const;
  std::vector<std::string> KnownAirlines() const;

  void AddHubShare(std::string_view AId, std::string_view ATitle, std::string_view ADeleteKey);
  std::string HubDeleteKey(std::string_view AId) const;
  void RemoveHubShare(std::string_view AId);
  std::vector<THubShare> HubShares() const;

  std::string BaseUrl() const;

 private:
  void MigrateLegacyClips();
  void Apply(const TJson& ARoot) QX_REQUIRES(FLock);
  TJson ToJson(const TVoiceMaps& AMaps) const QX_REQUIRES(FLock);
  // AMine, or, when the file was edited since it was last read or written here, the file as
  // it is now with the members changed here merged in, which memory then takes over.
  TJson MergedWithDisk(const std::string& AFile, TJson AMine) QX_REQUIRES(FSaveLock);
  void WriteConfig(const std::string& AFile, const TJson& ARoot) QX_REQUIRES(FSaveLock);

  const TAppFolders FFolders;
  // Held across a whole save so two saves never interleave and the newest snapshot wins.
  TMutex FSaveLock QX_ACQUIRED_BEFORE(FLock);
  mutable TMutex FLock;
  TConfigSettings FSettings QX_GUARDED_BY(FLock);
  TVoiceMaps FMaps QX_GUARDED_BY(FLock);
  std::vector<THubShare> FHubShares QX_GUARDED_BY(FLock);
  // The configuration file as last read or written here.
  std::optional<TJson> FOnDisk QX_GUARDED_BY(FSaveLock);
};

}  // namespace quavox
