// The facade the HTTP API and the desktop program talk to. Owns the voice library, the
// audio cache, the synthesis queue, the prewarm worker and both engines; borrows the
// configuration, which must outlive it. Every public operation may be called from any
// thread at once: the parts lock themselves, the service lock guards only engine
// selection and the list of engine times, and the counters are atomic. The destructor
// stops the prewarm thread, then the queue (after its running job), then the engines.
#pragma once

#include <atomic>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/ThreadAnnotations.h"
#include "core/Types.h"
#include "engine/Engine.h"
#include "state/Config.h"

namespace quavox {

class TVoiceLibrary;
class TWavCache;
class TS2LocalEngine;
class TSynthQueue;
class TPrewarmWorker;
class TTextRules;

struct TCheckResult {
  std::string Name;
  bool Ok = false;
  std::string Detail;
};

struct TServiceStats {
  int64_t Total = 0;
  int64_t Failed = 0;
  int64_t CacheHits = 0;
  double CacheHitRate = 0.0;
  int64_t CacheBytes = 0;
  int32_t CacheCount = 0;
  int32_t QueueDepth = 0;
  int32_t PrewarmPending = 0;
  bool Busy = false;
  int32_t P50Ms = 0;
  int32_t P95Ms = 0;
  int64_t TotalAudioMs = 0;
  int64_t TotalSynthMs = 0;
  std::string EngineName;
  std::string EngineDetail;
  bool EngineReady = false;
  bool Placeholder = false;
  // The bundled engine's state ("missing", "loading", "ready", "failed", "unloaded") and the
  // restarts of its server process since it was last started.
  std::string EngineState;
  int32_t EngineRestarts = 0;

  double RealTimeFactor() const {
    return TotalAudioMs > 0 ? static_cast<double>(TotalSynthMs) / TotalAudioMs : 0.0;
  }
};

// What a node that follows a primary knows of it, for the health check.
struct TFollowState {
  std::string Primary;
  // When this node last was sure to hold what the primary holds (ISO 8601); empty before.
  std::string LastSync;
  bool Reachable = false;
};

class TTtsService {
 public:
  explicit TTtsService(TAppConfig& AConfig);
  ~TTtsService();
  TTtsService(const TTtsService&) = delete;
  TTtsService& operator=(const TTtsService&) = delete;

  TAppConfig& Config() { return FConfig; }

  void ApplyConfig();
  void RestartEngine();
  void LoadModel() { RestartEngine(); }
  void UnloadModel();
  // The service is going away: work still waiting for the engine fails with an error reply,
  // and the engine stops, so a synthesis in progress ends with one too.
  void AbandonPendingWork();
  bool ModelUnloaded() const;
  TEngineHealth EngineHealth();
  TServiceStats Stats();
  void ClearCache();
  TVoiceInfo CloneVoice(const TVoiceCloneSpec& ASpec);

  TTtsResult Synthesize(const TTtsRequest& AReq);
  TBytes SynthesizeWav(std::string_view AText, std::string_view ALanguage, TTtsGender AGender,
                       float ASpeed);

  // Queues the lines with text, all or none: raises ETtsError (ecQueueFull) when the backlog
  // or the clients' share of it has no room for them.
  void Prewarm(const std::vector<TTtsRequest>& AReqs);
  int32_t PrewarmPending() const;
  bool IsCached(const TTtsRequest& AReq);
  TVoiceInfo EnsureDefaultVoice(std::string_view ALanguage, TTtsGender AGender);
  // The four checks, and a fifth, "data", only when the data folder cannot be written.
  std::vector<TCheckResult> SelfTest(std::string_view AText, std::string_view ALanguage,
                                     TTtsGender AGender, std::string_view AAirline);
  // Empty while changes can be saved; otherwise a translated sentence with the system's
  // error, saying that the data folder cannot be written.
  std::string DataFolderProblem() const;

  // The voice library as the HTTP API and the window see it.
  std::vector<TVoiceInfo> Voices() const;
  int32_t VoiceCount() const;
  bool HasVoice(std::string_view AVoiceId) const;
  // Removes the voice, its clips and its bindings; false when there is no such voice.
  bool RemoveVoice(std::string_view AVoiceId);

  // The text a normalised request is spoken as: read through the announcement rules and the
  // lexicon unless the configuration or the request turns that off.
  std::string SpokenText(const TTtsRequest& AReq) const;
  // The same after the checks of its length: raises ecEmptyText, or ecTextTooLong when the
  // text is longer than the limit as written or as the rules and the lexicon rewrote it.
  std::string CheckedSpokenText(const TTtsRequest& AReq) const;
  TTextRules& TextRules() { return *FTextRules; }

  // Set by the part that follows the primary; Primary is empty on a node of its own.
  void SetFollowState(const TFollowState& AState) QX_EXCLUDES(FFollowLock);
  TFollowState FollowState() const QX_EXCLUDES(FFollowLock);

  TVoiceLibrary& VoiceLibrary() { return *FVoices; }
  TWavCache& Cache() { return *FCache; }

 private:
  IQuavoxEnginePtr CurrentEngine();
  void ConfigureEngines();
  std::string SpokenText(const TTtsRequest& AReq, const TConfigSettings& ASettings) const;
  std::string CheckedSpokenText(const TTtsRequest& AReq, const TConfigSettings& ASettings) const;
  int32_t Percentile(double AFraction);
  void RecordDuration(int32_t AMs);
  std::string EngineTag(const IQuavoxEngine& AEngine, const TConfigSettings& ASettings) const;
  std::string ComputeKeys(const TTtsRequest& AReq, const TVoiceInfo& AVoice,
                          const IQuavoxEngine& AEngine, const TConfigSettings& ASettings,
                          std::string& ATag) const;
  TS2Params BuildParams(const TTtsRequest& AReq, const TVoiceInfo& AVoice,
                        const TConfigSettings& ASettings);
  void Retime(TTtsResult& AResult, float ASpeed, TTtsSpeedMode AMode);
  std::string NoVoiceMessage(const TTtsRequest& AReq);
  TVoiceInfo ResolveOrCreateVoice(TTtsRequest& AReq, const TConfigSettings& ASettings);
  TTtsResult SynthesizeFresh(const TTtsRequest& AReq, const TVoiceInfo& AVoice,
                             const IQuavoxEngine& AEngine, const TConfigSettings& ASettings,
                             const std::string& AKey, const std::string& ATag, bool ANative);
  TVoiceInfo CreateDefaultVoice(std::string_view ALanguage, TTtsGender AGender);
  // The default voice for the request's language and gender, made once however many
  // requests need it at the same time: the first makes it, the others share its outcome
  // (the voice, or the error that stopped it).
  TVoiceInfo DefaultVoiceOnce(const TTtsRequest& AReq) QX_EXCLUDES(FMakingLock);
  void SynthesisChecks(const TTtsRequest& AReq, std::vector<TCheckResult>& AChecks);
  void CountFailure();

  friend class TPrewarmWorker;

  TAppConfig& FConfig;
  std::unique_ptr<TVoiceLibrary> FVoices;
  std::unique_ptr<TWavCache> FCache;
  std::unique_ptr<TTextRules> FTextRules;
  mutable TMutex FLock;
  IQuavoxEnginePtr FS2 QX_GUARDED_BY(FLock);
  std::shared_ptr<TS2LocalEngine> FS2Engine QX_GUARDED_BY(FLock);
  IQuavoxEnginePtr FPlaceholder QX_GUARDED_BY(FLock);
  bool FUsingPlaceholder QX_GUARDED_BY(FLock) = false;
  std::deque<int32_t> FDurations QX_GUARDED_BY(FLock);
  std::atomic<int64_t> FTotal{0};
  std::atomic<int64_t> FFailed{0};
  std::atomic<int64_t> FTotalAudioMs{0};
  std::atomic<int64_t> FTotalSynthMs{0};
  std::unique_ptr<TSynthQueue> FQueue;
  std::unique_ptr<TPrewarmWorker> FPrewarm;
  // Default voices being made, by DefaultKey.
  TMutex FMakingLock;
  // What making a default voice gave: the voice, or the error every waiting caller raises as
  // its own (an exception object must not travel between threads).
  struct TMadeVoice {
    TVoiceInfo Voice;
    TTtsErrorCode Code = ecNone;
    std::string Message;
  };
  std::map<std::string, std::shared_future<TMadeVoice>> FMaking QX_GUARDED_BY(FMakingLock);
  // A leaf lock.
  mutable TMutex FFollowLock;
  TFollowState FFollow QX_GUARDED_BY(FFollowLock);
};

}  // namespace quavox
