#include "service/Service.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "audio/Dsp.h"
#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Text.h"
#include "engine/EnginePlaceholder.h"
#include "engine/EngineS2Local.h"
#include "service/Prewarm.h"
#include "service/Queue.h"
#include "state/Cache.h"
#include "state/Voices.h"
#include "text/TextRules.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "service";

// The temporary files of writes a killed process did not finish; the files they were to
// replace are still whole.
void RemoveUnfinishedWrites(const TAppConfig& AConfig) {
  for (const std::string& File :
       {AConfig.ConfigFile(), AConfig.VoicesFile(), AConfig.LexiconFile()}) {
    std::error_code Ec;
    if (std::filesystem::remove(File + ".tmp", Ec))
      TAppLog::Info(LogSource, "removed %s.tmp, left by a write that did not finish", File);
  }
}

constexpr std::size_t MaxDurations = 200;

int64_t BudgetBytes(const TConfigSettings& ASettings) {
  return static_cast<int64_t>(ASettings.CacheBudgetMB) * 1048576;
}

TQueueShares QueueShares(const TConfigSettings& ASettings) {
  return {ASettings.QueueClientShare, ASettings.QueueHighReserve};
}

bool SpeedIsOne(float ASpeed) {
  return std::fabs(ASpeed - 1.0f) <= 0.01f;
}

int32_t ElapsedMs(std::chrono::steady_clock::time_point AStart) {
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - AStart)
                                  .count());
}

// Times the steps of one synthesis for the debug line that breaks a cache miss down.
class TStepClock {
 public:
  // Milliseconds since the previous call (or since construction).
  double Lap() {
    const auto Now = std::chrono::steady_clock::now();
    const double Ms = std::chrono::duration<double, std::milli>(Now - FLast).count();
    FLast = Now;
    return Ms;
  }
  // Milliseconds since construction.
  double Total() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - FStart)
        .count();
  }

 private:
  const std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point FLast = FStart;
};

void EncodeInto(TTtsResult& AResult, const TPcmBuffer& APcm) {
  AResult.Wav = PcmToWav(APcm, 1);
  AResult.SampleRate = APcm.SampleRate;
  AResult.DurationMs = APcm.DurationMs();
}

}  // namespace

TTtsService::TTtsService(TAppConfig& AConfig) : FConfig(AConfig) {
  const TConfigSettings Settings = FConfig.Settings();
  RemoveUnfinishedWrites(FConfig);
  FVoices = std::make_unique<TVoiceLibrary>(FConfig);
  FVoices->Load();
  FVoices->DropDanglingBindings();
  FVoices->RemoveStrayClips();
  FCache = std::make_unique<TWavCache>(FConfig.CacheDir(), BudgetBytes(Settings));
  FCache->SetEnabled(Settings.CacheEnabled);
  FCache->SetMemoryBudget(int64_t{Settings.CacheMemoryMB} << 20);
  FCache->SetMinFreeBytes(static_cast<int64_t>(Settings.CacheMinFreeMB) * 1048576);
  FTextRules = std::make_unique<TTextRules>(FConfig.TextTablesDir(), FConfig.LexiconFile());
  {
    TLockGuard Guard(FLock);
    FPlaceholder = std::make_shared<TPlaceholderEngine>(Settings.Engine);
  }
  ConfigureEngines();
  FQueue = std::make_unique<TSynthQueue>([this] { return CurrentEngine(); }, Settings.QueueLimit,
                                         QueueShares(Settings));
  FPrewarm = std::make_unique<TPrewarmWorker>(*this);
}

TTtsService::~TTtsService() {
  FPrewarm.reset();
  FQueue.reset();
  FCache.reset();
  FVoices.reset();
  std::shared_ptr<TS2LocalEngine> Local;
  {
    TLockGuard Guard(FLock);
    Local = std::move(FS2Engine);
    FS2.reset();
    FPlaceholder.reset();
  }
  if (Local) Local->Stop();
}

void TTtsService::ConfigureEngines() {
  const TEngineOptions Options = FConfig.Settings().Engine;
  std::shared_ptr<TS2LocalEngine> Local;
  {
    TLockGuard Guard(FLock);
    FPlaceholder->Configure(Options);
    if (FS2Engine) {
      FS2Engine->Configure(Options);
    } else {
      FS2Engine = std::make_shared<TS2LocalEngine>(Options, FConfig);
      FS2 = FS2Engine;
    }
    Local = FS2Engine;
  }
  Local->Start();
}

IQuavoxEnginePtr TTtsService::CurrentEngine() {
  TLockGuard Guard(FLock);
  if (FS2Engine && FS2Engine->State() != esMissing) {
    FUsingPlaceholder = false;
    return FS2;
  }
  FUsingPlaceholder = true;
  return FPlaceholder;
}

void TTtsService::ApplyConfig() {
  const TConfigSettings Settings = FConfig.Settings();
  FCache->SetEnabled(Settings.CacheEnabled);
  FCache->SetMinFreeBytes(static_cast<int64_t>(Settings.CacheMinFreeMB) * 1048576);
  FCache->SetBudget(BudgetBytes(Settings));
  FCache->SetMemoryBudget(int64_t{Settings.CacheMemoryMB} << 20);
  FQueue->SetLimit(Settings.QueueLimit);
  FQueue->SetShares(QueueShares(Settings));
  ConfigureEngines();
}

void TTtsService::RestartEngine() {
  std::shared_ptr<TS2LocalEngine> Local;
  {
    TLockGuard Guard(FLock);
    Local = FS2Engine;
  }
  if (Local) Local->Start();
}

void TTtsService::UnloadModel() {
  std::shared_ptr<TS2LocalEngine> Local;
  {
    TLockGuard Guard(FLock);
    Local = FS2Engine;
  }
  if (Local) Local->Unload();
}

void TTtsService::AbandonPendingWork() {
  FQueue->Close();
  std::shared_ptr<TS2LocalEngine> Local;
  {
    TLockGuard Guard(FLock);
    Local = FS2Engine;
  }
  if (Local) Local->Stop();
}

bool TTtsService::ModelUnloaded() const {
  TLockGuard Guard(FLock);
  return FS2Engine && FS2Engine->IsUnloaded();
}

TEngineHealth TTtsService::EngineHealth() {
  const IQuavoxEnginePtr Engine = CurrentEngine();
  if (!Engine) {
    return {
        false, Translate("(无)"), Translate("没有可用的引擎"), {}, std::chrono::system_clock::now(),
        {}};
  }
  TEngineHealth Health = Engine->CheckHealth();
  std::shared_ptr<TS2LocalEngine> Local;
  {
    TLockGuard Guard(FLock);
    Local = FS2Engine;
  }
  if (Local && Local->State() == esMissing) {
    const TEngineHealth LocalHealth = Local->CheckHealth();
    Health.Detail = LocalHealth.Detail + Translate(";现在出的是占位波形");
    Health.ExePath = LocalHealth.ExePath;
  }
  return Health;
}

int32_t TTtsService::Percentile(double AFraction) {
  std::vector<int32_t> Copy;
  {
    TLockGuard Guard(FLock);
    Copy.assign(FDurations.begin(), FDurations.end());
  }
  if (Copy.empty()) return 0;
  std::sort(Copy.begin(), Copy.end());
  const double Index = RoundHalfEven(AFraction * static_cast<double>(Copy.size() - 1));
  return Copy[static_cast<std::size_t>(
      std::clamp(Index, 0.0, static_cast<double>(Copy.size() - 1)))];
}

void TTtsService::RecordDuration(int32_t AMs) {
  TLockGuard Guard(FLock);
  FDurations.push_back(AMs);
  while (FDurations.size() > MaxDurations)
    FDurations.pop_front();
}

TServiceStats TTtsService::Stats() {
  TServiceStats s;
  s.Total = FTotal.load();
  s.Failed = FFailed.load();
  const TCacheStats Cache = FCache->Stats();
  s.CacheHits = Cache.Hits;
  s.CacheHitRate = Cache.HitRate();
  s.CacheBytes = Cache.Bytes;
  s.CacheCount = Cache.Count;
  s.QueueDepth = FQueue->Depth();
  s.PrewarmPending = PrewarmPending();
  s.Busy = FQueue->Busy();
  s.P50Ms = Percentile(0.5);
  s.P95Ms = Percentile(0.95);
  s.TotalAudioMs = FTotalAudioMs.load();
  s.TotalSynthMs = FTotalSynthMs.load();
  const TEngineHealth Health = EngineHealth();
  s.EngineName = Health.Backend;
  s.EngineDetail = Health.Detail;
  s.EngineReady = Health.Ready;
  std::shared_ptr<TS2LocalEngine> Local;
  {
    TLockGuard Guard(FLock);
    s.Placeholder = FUsingPlaceholder;
    Local = FS2Engine;
  }
  if (Local) {
    s.EngineState = EngineStateName(Local->State());
    s.EngineRestarts = Local->Restarts();
  }
  return s;
}

void TTtsService::ClearCache() {
  FCache->Clear();
}

TVoiceInfo TTtsService::CloneVoice(const TVoiceCloneSpec& ASpec) {
  TVoiceInfo Voice = FVoices->AddClone(ASpec);
  if (const IQuavoxEnginePtr Engine = CurrentEngine()) {
    const std::string Profile = Engine->RegisterReference(ASpec);
    if (!Profile.empty()) {
      Voice.ProfileFile = Profile;
      Voice.Kind = vkProfile;
      FVoices->Update(Voice);
    }
  }
  return Voice;
}

void TTtsService::SetFollowState(const TFollowState& AState) {
  TLockGuard Guard(FFollowLock);
  FFollow = AState;
}

TFollowState TTtsService::FollowState() const {
  TLockGuard Guard(FFollowLock);
  return FFollow;
}

std::vector<TVoiceInfo> TTtsService::Voices() const {
  return FVoices->All();
}

int32_t TTtsService::VoiceCount() const {
  return static_cast<int32_t>(FVoices->Count());
}

bool TTtsService::HasVoice(std::string_view AVoiceId) const {
  TVoiceInfo Voice;
  return FVoices->Find(std::string(AVoiceId), Voice);
}

bool TTtsService::RemoveVoice(std::string_view AVoiceId) {
  return FVoices->Remove(std::string(AVoiceId));
}

// ---- The pipeline ---------------------------------------------------------------------

std::string TTtsService::EngineTag(const IQuavoxEngine& AEngine,
                                   const TConfigSettings& ASettings) const {
  const std::string Tag = AEngine.Name() + "/" + SpeedModeToStr(ASettings.SpeedMode);
  const std::string Model = AEngine.ModelIdentity();
  return Model.empty() ? Tag : Tag + "/" + Model;
}

std::string TTtsService::ComputeKeys(const TTtsRequest& AReq, const TVoiceInfo& AVoice,
                                     const IQuavoxEngine& AEngine, const TConfigSettings& ASettings,
                                     std::string& ATag) const {
  const int32_t Rate = AReq.SampleRate > 0 ? AReq.SampleRate : ASettings.OutputSampleRate;
  const bool Native = ASettings.SpeedMode == smEngine && AEngine.SupportsNativeSpeed();
  const std::string Tag = EngineTag(AEngine, ASettings);
  ATag = CacheKey(AReq, AVoice, Tag, Rate, Native);
  if (Native) return ATag;
  TTtsRequest AtNormalSpeed = AReq;
  AtNormalSpeed.Speed = 1.0f;
  return CacheKey(AtNormalSpeed, AVoice, Tag, Rate, false);
}

TS2Params TTtsService::BuildParams(const TTtsRequest& AReq, const TVoiceInfo& AVoice,
                                   const TConfigSettings& ASettings) {
  TS2Params Params = TS2Params::Defaults();
  Params.Text = AReq.EffectiveText();
  Params.Seed = AReq.Seed != 0 ? AReq.Seed : AVoice.Seed;
  Params.Temperature = ASettings.Engine.Temperature;
  Params.TopP = ASettings.Engine.TopP;
  Params.TopK = ASettings.Engine.TopK;
  Params.RepetitionPenalty = ASettings.Engine.RepetitionPenalty;
  Params.MaxNewTokens = ASettings.Engine.MaxNewTokens;
  if (AVoice.Kind == vkProfile) {
    Params.VoiceProfile = AVoice.ProfileFile;
    return Params;
  }
  TSharedBytes Reference = FVoices->ReferenceAudio(AVoice);
  if (Reference.empty()) {
    TAppLog::Warn(LogSource,
                  "reference audio for voice %s is missing; this request has nothing to clone from",
                  AVoice.Display);
  } else {
    Params.ReferenceAudio = std::move(Reference);
    Params.ReferenceText = FVoices->ReferenceText(AVoice);
  }
  return Params;
}

void TTtsService::Retime(TTtsResult& AResult, float ASpeed, TTtsSpeedMode AMode) {
  if (SpeedIsOne(ASpeed)) return;
  TPcmBuffer Pcm;
  if (!WavToPcm(AResult.Wav, Pcm)) {
    TAppLog::Warn(LogSource, "cached clip could not be parsed for retiming, serving it as-is");
    return;
  }
  EncodeInto(AResult, ApplySpeed(Pcm, ASpeed, AMode));
}

std::string TTtsService::NoVoiceMessage(const TTtsRequest& AReq) {
  const std::string Subject =
      AReq.Airline.empty()
          ? Format("%s · %s", LanguageName(AReq.Language), GenderDisplay(AReq.Gender))
          : Format(Translate("航司 %s · %s · %s"), AReq.Airline, LanguageName(AReq.Language),
                   GenderDisplay(AReq.Gender));
  std::string Message = Format(Translate("没有可生成的语音:%s 还没有绑定音色"), Subject);
  if (!AReq.Airline.empty() && FConfig.AirlineVoice(AReq.Airline, "", tgAuto).empty() &&
      FConfig.AirlineVoice(AReq.Airline, "", AReq.Gender).empty())
    Message += Format(Translate(",%s 也没有「语言=自动」那条兜底"), AReq.Airline);
  return Message + Translate("。去广播页绑一条 —— 想让这家航司什么语言都能出声,语言选「自动」。");
}

namespace {

bool IsTransientEngineError(TTtsErrorCode ACode) {
  return ACode == ecEngineNotConnected || ACode == ecQueueFull || ACode == ecTimeout;
}

}  // namespace

TVoiceInfo TTtsService::ResolveOrCreateVoice(TTtsRequest& AReq, const TConfigSettings& ASettings) {
  bool Explicit = false;
  TVoiceInfo Voice = FVoices->Resolve(AReq, Explicit);
  // A follower speaks with the primary's voices and never makes one of its own.
  if (Voice.Id.empty() && AReq.Airline.empty() && ASettings.AutoCreateDefaultVoice &&
      ASettings.ClusterPrimary.empty()) {
    try {
      Voice = DefaultVoiceOnce(AReq);
    } catch (const ETtsError& E) {
      TAppLog::Warn(LogSource, "could not create the default voice: %s", E.what());
      // An engine that is still loading or busy will make the voice on a later try: the
      // caller is told to retry, not that no voice can ever speak this line. A data folder
      // that cannot be written is the fault to report, not a missing voice.
      if (IsTransientEngineError(E.Code()) || E.Code() == ecCloneFailed) {
        CountFailure();
        throw;
      }
    }
  }
  if (Voice.Id.empty()) ETtsError::Raise_(ecBadVoice, NoVoiceMessage(AReq));
  if (AReq.Style.empty() && !Voice.Style.empty()) AReq.Style = Voice.Style;
  return Voice;
}

TVoiceInfo TTtsService::DefaultVoiceOnce(const TTtsRequest& AReq) {
  const std::string Key = DefaultKey(AReq.Language, AReq.Gender);
  std::promise<TMadeVoice> Making;
  std::shared_future<TMadeVoice> Outcome;
  bool Maker = false;
  {
    TLockGuard Guard(FMakingLock);
    const auto Found = FMaking.find(Key);
    Maker = Found == FMaking.end();
    Outcome =
        Maker ? FMaking.emplace(Key, Making.get_future().share()).first->second : Found->second;
  }
  if (Maker) {
    TMadeVoice Made;
    try {
      // A voice made and bound since this caller looked is the one to use.
      TTtsRequest Again = AReq;
      bool Explicit = false;
      Made.Voice = FVoices->Resolve(Again, Explicit);
      if (Made.Voice.Id.empty()) Made.Voice = CreateDefaultVoice(AReq.Language, AReq.Gender);
    } catch (const ETtsError& E) {
      Made = {{}, E.Code(), E.what()};
    } catch (const std::exception& E) {
      Made = {{}, ecEngineFailed, E.what()};
    }
    Making.set_value(std::move(Made));
    TLockGuard Guard(FMakingLock);
    FMaking.erase(Key);
  }
  const TMadeVoice& Made = Outcome.get();
  if (Made.Code != ecNone) ETtsError::Raise_(Made.Code, Made.Message);
  return Made.Voice;
}

void TTtsService::CountFailure() {
  FTotal.fetch_add(1);
  FFailed.fetch_add(1);
}

TTtsResult TTtsService::Synthesize(const TTtsRequest& ARequest) {
  TTtsRequest Req = ARequest;
  Req.Normalize();
  const TConfigSettings Settings = FConfig.Settings();
  std::string Spoken = CheckedSpokenText(Req, Settings);
  const bool Rewritten = Spoken != Req.Text;
  Req.Text = std::move(Spoken);
  const TVoiceInfo Voice = ResolveOrCreateVoice(Req, Settings);
  const IQuavoxEnginePtr Engine = CurrentEngine();
  if (!Engine) ETtsError::Raise_(ecEngineNotConnected, Translate("没有可用的引擎"));
  const bool Native = Settings.SpeedMode == smEngine && Engine->SupportsNativeSpeed();
  std::string Tag;
  const std::string Key = ComputeKeys(Req, Voice, *Engine, Settings, Tag);

  TTtsResult Result;
  if (FCache->TryGet(Key, Result)) {
    if (!Native) Retime(Result, Req.Speed, Settings.SpeedMode);
    Result.Speed = Req.Speed;
    Result.ETag = Tag;
    Result.SpokenText = Req.Text;
    Result.TextRewritten = Rewritten;
    FTotal.fetch_add(1);
    return Result;
  }
  TTtsResult Fresh = SynthesizeFresh(Req, Voice, *Engine, Settings, Key, Tag, Native);
  Fresh.TextRewritten = Rewritten;
  return Fresh;
}

TTtsResult TTtsService::SynthesizeFresh(const TTtsRequest& AReq, const TVoiceInfo& AVoice,
                                        const IQuavoxEngine& AEngine,
                                        const TConfigSettings& ASettings, const std::string& AKey,
                                        const std::string& ATag, bool ANative) {
  if (ModelUnloaded()) {
    CountFailure();
    ETtsError::Raise_(ecEngineNotConnected,
                      Translate("模型已卸载,这一句缓存里没有。") + "\r\n" +
                          Translate("要现合成的话,先在「模型」页点「载入模型」。"));
  }
  int32_t SynthMs = 0;
  TPcmBuffer Pcm;
  TStepClock Clock;
  double ReferenceMs = 0, EngineMs = 0;
  try {
    const TS2Params Params = BuildParams(AReq, AVoice, ASettings);
    ReferenceMs = Clock.Lap();
    Pcm = FQueue->Submit(Params, TVoiceHint::FromVoice(AVoice), AReq.Priority,
                         ASettings.RequestTimeoutMs, SynthMs, AReq.Client);
    EngineMs = Clock.Lap();
  } catch (...) {
    CountFailure();
    throw;
  }
  if (Pcm.IsEmpty()) {
    CountFailure();
    ETtsError::Raise_(ecEngineFailed, Translate("引擎返回了空音频"));
  }
  const int32_t Rate = AReq.SampleRate > 0 ? AReq.SampleRate : ASettings.OutputSampleRate;
  if (Rate > 0 && Pcm.SampleRate > 0 && Pcm.SampleRate != Rate) Pcm = ResampleTo(Pcm, Rate);
  const double ResampleMs = Clock.Lap();
  if (ASettings.NormalizeOutput) NormalizePeak(Pcm, 0.95);
  const double NormaliseMs = Clock.Lap();

  TTtsResult Result;
  EncodeInto(Result, Pcm);
  const double EncodeMs = Clock.Lap();
  Result.Channels = 1;
  Result.SynthMs = SynthMs;
  Result.VoiceId = AVoice.Id;
  Result.Language = AReq.Language;
  Result.Gender = AReq.Gender;
  Result.Speed = ANative ? AReq.Speed : 1.0f;
  Result.Engine = AEngine.Name();
  Result.ETag = AKey;
  Result.FromCache = false;
  Result.SpokenText = AReq.Text;
  FCache->Put(AKey, Result, AReq.EffectiveText());
  const double CacheMs = Clock.Lap();
  if (!ANative && !SpeedIsOne(AReq.Speed))
    EncodeInto(Result, ApplySpeed(Pcm, AReq.Speed, ASettings.SpeedMode));
  const double SpeedMs = Clock.Lap();
  TAppLog::Emit(llDebug, LogSource,
                Format("synthesized %d ms of audio in %.2f ms: reference %.2f ms, engine %.2f ms "
                       "(engine call %d ms), resample %.2f ms, normalise %.2f ms, encode %.2f ms, "
                       "cache %.2f ms, speed %.2f ms",
                       Result.DurationMs, Clock.Total(), ReferenceMs, EngineMs, SynthMs, ResampleMs,
                       NormaliseMs, EncodeMs, CacheMs, SpeedMs));
  Result.Speed = AReq.Speed;
  Result.ETag = ATag;
  RecordDuration(SynthMs);
  FTotal.fetch_add(1);
  FTotalAudioMs.fetch_add(Result.DurationMs);
  FTotalSynthMs.fetch_add(SynthMs);
  return Result;
}

std::string TTtsService::SpokenText(const TTtsRequest& AReq) const {
  return SpokenText(AReq, FConfig.Settings());
}

std::string TTtsService::CheckedSpokenText(const TTtsRequest& AReq) const {
  return CheckedSpokenText(AReq, FConfig.Settings());
}

std::string TTtsService::CheckedSpokenText(const TTtsRequest& AReq,
                                           const TConfigSettings& ASettings) const {
  if (AReq.Text.empty()) ETtsError::Raise_(ecEmptyText, Translate("没有要合成的文本"));
  const int64_t Limit = ASettings.MaxTextLength;
  const auto Length = static_cast<int64_t>(Utf16Length(AReq.Text));
  if (Length > Limit)
    ETtsError::Raise_(ecTextTooLong, Format(Translate("文本 %d 字,超过上限 %d"), Length, Limit));
  std::string Spoken = SpokenText(AReq, ASettings);
  // The rules spell out codes and numbers and the lexicon replaces words, so a text within
  // the limit can grow past what the engine takes.
  const auto SpokenLength = static_cast<int64_t>(Utf16Length(Spoken));
  if (SpokenLength > Limit)
    ETtsError::Raise_(ecTextTooLong,
                      Format(Translate("播报规则和词典把文本改写成了 %d 字,超过上限 "
                                       "%d;可以缩短文本,或者用 normalize=false 按原文合成"),
                             SpokenLength, Limit));
  return Spoken;
}

std::string TTtsService::SpokenText(const TTtsRequest& AReq,
                                    const TConfigSettings& ASettings) const {
  if (!AReq.NormalizeText || !ASettings.NormalizeText) return AReq.Text;
  return FTextRules->Speak(AReq.Text, AReq.Language);
}

TBytes TTtsService::SynthesizeWav(std::string_view AText, std::string_view ALanguage,
                                  TTtsGender AGender, float ASpeed) {
  return Synthesize(TTtsRequest::Make(AText, ALanguage, AGender, ASpeed)).Wav.Bytes();
}

// ---- Prewarm, default voice, self-test ------------------------------------------------

void TTtsService::Prewarm(const std::vector<TTtsRequest>& AReqs) {
  std::vector<TTtsRequest> Lines;
  std::copy_if(AReqs.begin(), AReqs.end(), std::back_inserter(Lines),
               [](const TTtsRequest& AReq) { return !Trim(AReq.Text).empty(); });
  if (Lines.empty()) return;
  const TConfigSettings Settings = FConfig.Settings();
  if (!FPrewarm->Push(Lines, Settings.PrewarmLimit, Settings.PrewarmClientShare))
    ETtsError::Raise_(
        ecQueueFull,
        Format(Translate("预热队列放不下这 %d 条(最多 %d 条,每个地址最多 %d 条),稍后再试"),
               static_cast<int64_t>(Lines.size()), Settings.PrewarmLimit,
               Settings.PrewarmClientShare));
  TAppLog::Info(LogSource, "queued %d entries to pre-bake, %d in the queue now", Lines.size(),
                PrewarmPending());
}

int32_t TTtsService::PrewarmPending() const {
  return FPrewarm ? FPrewarm->Pending() : 0;
}

bool TTtsService::IsCached(const TTtsRequest& ARequest) {
  TTtsRequest Req = ARequest;
  Req.Normalize();
  if (Req.Text.empty()) return false;
  Req.Text = SpokenText(Req);
  bool Explicit = false;
  const TVoiceInfo Voice = FVoices->Resolve(Req, Explicit);
  if (Voice.Id.empty()) return false;
  if (Req.Style.empty()) Req.Style = Voice.Style;
  const IQuavoxEnginePtr Engine = CurrentEngine();
  if (!Engine) return false;
  std::string Tag;
  const std::string Key = ComputeKeys(Req, Voice, *Engine, FConfig.Settings(), Tag);
  return !Key.empty() && FCache->Contains(Key);
}

TVoiceInfo TTtsService::EnsureDefaultVoice(std::string_view ALanguage, TTtsGender AGender) {
  TTtsRequest Req = TTtsRequest::Make("-", ALanguage, AGender, 1.0f);
  bool Explicit = false;
  return FVoices->Resolve(Req, Explicit);
}

namespace {

std::string SampleLine(const std::string& ALanguage) {
  if (ALanguage == "zh") return "各位旅客请注意,本次航班即将起飞,请系好安全带,收起小桌板。";
  if (ALanguage == "ja")
    return "ご搭乗のみなさま、まもなく出発いたします。シートベルトをお締めください。";
  return "Ladies and gentlemen, we are now ready for departure. Please fasten your seat belt and "
         "stow your tray table.";
}

std::string VoicePrompt(TTtsGender AGender) {
  switch (AGender) {
    case tgFemale:
      return "a calm adult female voice, clear professional broadcast tone";
    case tgMale:
      return "a calm adult male voice, clear professional broadcast tone";
    default:
      return "a calm neutral adult voice, clear professional broadcast tone";
  }
}

}  // namespace

TVoiceInfo TTtsService::CreateDefaultVoice(std::string_view ALanguageText, TTtsGender AGender) {
  const std::string Language(ALanguageText);
  const TConfigSettings Settings = FConfig.Settings();
  const std::string Line = SampleLine(NormalizeLanguage(Language));
  TS2Params Params = TS2Params::Defaults();
  Params.Text = "[" + VoicePrompt(AGender) + "] " + Line;
  Params.Temperature = Settings.Engine.Temperature;
  Params.TopP = Settings.Engine.TopP;
  Params.TopK = Settings.Engine.TopK;
  Params.MaxNewTokens = Settings.Engine.MaxNewTokens;
  const int32_t Seed = static_cast<int32_t>((StringHash(Language) & 0xFFFFu) * 31u + AGender + 1u);
  Params.Seed = Seed;
  const TVoiceHint Hint{Language, AGender, Seed,
                        Format("%s·%s", LanguageName(Language), GenderDisplay(AGender))};
  TAppLog::Info(LogSource,
                "no voice for %s yet; asking the model to speak one line as the reference...",
                Hint.Display);
  int32_t SynthMs = 0;
  const TPcmBuffer Pcm = FQueue->Submit(Params, Hint, tpHigh, Settings.RequestTimeoutMs, SynthMs);
  if (Pcm.IsEmpty()) ETtsError::Raise_(ecEngineFailed, Translate("生成默认音色时引擎没出声音"));
  TVoiceCloneSpec CloneOrder;
  CloneOrder.Display = Format("%s %s · %s", Translate("默认"), Language.empty() ? "auto" : Language,
                              GenderDisplay(AGender));
  CloneOrder.Language = Language;
  CloneOrder.Gender = AGender;
  CloneOrder.Clips.push_back({PcmToWav(Pcm, 1), Line});
  CloneOrder.Note = Translate("首次使用时由模型自己生成的默认音色");
  const TVoiceInfo Voice = FVoices->AddClone(CloneOrder);
  try {
    FVoices->CommitBinding(
        {Voice.Id}, [&](TVoiceMaps& AMaps) { AMaps.SetDefault(Language, AGender, Voice.Id); });
  } catch (const std::exception& E) {
    ETtsError::Raise_(ecCloneFailed, Translate("数据文件夹写不进去,改动没有保存:") + E.what());
  }
  TAppLog::Info(LogSource, "default voice generated and bound: %s (%d ms of reference)",
                CloneOrder.Display, Pcm.DurationMs());
  return Voice;
}

std::vector<TCheckResult> TTtsService::SelfTest(std::string_view AText, std::string_view ALanguage,
                                                TTtsGender AGender, std::string_view AAirline) {
  std::vector<TCheckResult> Checks;
  const TEngineHealth Health = EngineHealth();
  bool Placeholder = false;
  {
    TLockGuard Guard(FLock);
    Placeholder = FUsingPlaceholder;
  }
  Checks.push_back({"engine", Health.Ready && !Placeholder,
                    Placeholder ? Translate("现在出的是占位波形,不是真声音 —— ") + Health.Detail
                                : Health.Backend + " · " + Health.Detail});
  const int32_t Count = VoiceCount();
  Checks.push_back({"voices", Count > 0,
                    Count > 0
                        ? Format(Translate("音色库里有 %d 个"), Count)
                        : Translate("一个音色都没有 —— 首次合成会自动造一个默认音色,之后就有了")});

  TTtsRequest Req;
  Req.Text = Trim(AText).empty() ? Translate("这是一次连通测试。") : std::string(AText);
  Req.Language = ALanguage;
  Req.Gender = AGender;
  Req.Airline = AAirline;
  Req.Speed = 1.0f;
  Req.Priority = tpHigh;
  // The self-test speaks the technician's words as typed.
  Req.NormalizeText = false;
  SynthesisChecks(Req, Checks);
  if (const std::string Problem = DataFolderProblem(); !Problem.empty())
    Checks.push_back({"data", false, Problem});
  return Checks;
}

std::string TTtsService::DataFolderProblem() const {
  const std::string Error = FConfig.DataFolderProblem();
  if (Error.empty()) return {};
  return Translate("数据文件夹写不进去,改动存不下来:") + Error;
}

void TTtsService::SynthesisChecks(const TTtsRequest& Req, std::vector<TCheckResult>& Checks) {
  const auto Fail = [&Checks](const std::string& APrefix, const char* AMessage) {
    Checks.push_back({"synthesize", false, Translate(APrefix) + AMessage});
    Checks.push_back({"cache", false, Translate("前一步没过,这一步没测")});
  };
  auto Start = std::chrono::steady_clock::now();
  try {
    const TTtsResult First = Synthesize(Req);
    const int32_t Ms = ElapsedMs(Start);
    Checks.push_back({"synthesize", First.Wav.size() >= 45 && First.DurationMs >= 1,
                      Format(Translate("%s · %d Hz · %.2f 秒 · %d 字节 · 用了 %d 毫秒"),
                             First.VoiceId.empty() ? Translate("(兜底音色)") : First.VoiceId,
                             First.SampleRate, First.DurationMs / 1000.0, First.Wav.size(), Ms)});
  } catch (const ETtsError& E) {
    Fail("合成失败:", E.what());
    return;
  } catch (const std::exception& E) {
    Fail("合成时炸了:", E.what());
    return;
  }
  Start = std::chrono::steady_clock::now();
  try {
    const TTtsResult Second = Synthesize(Req);
    const int32_t Ms = ElapsedMs(Start);
    Checks.push_back({"cache", Second.FromCache,
                      Second.FromCache
                          ? Format(Translate("第二次命中缓存,%d 毫秒"), Ms)
                          : Format(Translate("第二次没命中缓存(%d 毫秒)—— 缓存可能被关了"), Ms)});
  } catch (const std::exception& E) {
    Checks.push_back({"cache", false, Translate("第二次合成失败:") + E.what()});
  }
}

}  // namespace quavox
