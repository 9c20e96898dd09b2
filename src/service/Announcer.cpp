#include "service/Announcer.h"

#include "audio/Wav.h"
#include "core/Format.h"
#include "core/I18n.h"
#include "core/Text.h"
#include "service/Service.h"

namespace quavox {

namespace {

// Changes whenever the chime, the trimming or the joining sound different, so that a client
// never keeps an old clip under a tag that now names another.
constexpr const char* AssemblyVersion = "announce/1";

[[noreturn]] void RaiseForSegment(std::size_t AIndex, TTtsErrorCode ACode,
                                  const std::string& AMessage) {
  ETtsError::Raise_(ACode, Format("segments[%d]: %s", static_cast<int64_t>(AIndex), AMessage));
}

std::string LevelText(std::optional<double> ALevel) {
  return ALevel ? Format("%.2f", *ALevel) : std::string("loudest");
}

}  // namespace

std::size_t TAnnouncer::TPrepared::Bytes() const {
  return (Source ? Source->size() : 0) + (Pcm ? Pcm->Data.size() * sizeof(float) : 0);
}

TAnnouncer::TAnnouncer(TTtsService& AService) : FService(AService) {}

void TAnnouncer::CheckSegments(const TAnnounceRequest& AReq) {
  const int32_t MaxLength = FService.Config().Settings().MaxTextLength;
  for (std::size_t i = 0; i < AReq.Segments.size(); ++i) {
    TTtsRequest Req = AReq.Segments[i];
    Req.Normalize();
    if (Req.Text.empty()) RaiseForSegment(i, ecEmptyText, Translate("没有要合成的文本"));
    const auto Length = static_cast<int64_t>(Utf16Length(Req.Text));
    if (Length > MaxLength)
      RaiseForSegment(i, ecTextTooLong,
                      Format(Translate("文本 %d 字,超过上限 %d"), Length, MaxLength));
    if (!Req.VoiceId.empty() && !FService.HasVoice(Req.VoiceId))
      RaiseForSegment(i, ecBadVoice, Format(Translate("没有这个音色:%s"), Req.VoiceId));
  }
}

TAnnounceResult TAnnouncer::Synthesize(const TAnnounceRequest& AReq) {
  CheckSegments(AReq);
  TAnnounceResult Result;
  for (std::size_t i = 0; i < AReq.Segments.size(); ++i) {
    try {
      Result.Segments.push_back(FService.Synthesize(AReq.Segments[i]));
    } catch (const ETtsError& E) {
      RaiseForSegment(i, E.Code(), E.what());
    }
  }
  Result.ETag = EntityTag(AReq, Result.Segments);
  return Result;
}

std::string TAnnouncer::EntityTag(const TAnnounceRequest& AReq,
                                  const std::vector<TTtsResult>& ASegments) {
  const TAnnounceLayout& Layout = AReq.Layout;
  std::string Text =
      Format("%s|%s|%d|%d|%s|%s", AssemblyVersion, ChimeModeToStr(Layout.Chime), Layout.GapMs,
             Layout.SampleRate, LevelText(Layout.LoudnessLufs), AReq.Format);
  for (const TTtsResult& Segment : ASegments)
    Text += "|" + Segment.ETag;
  return Sha256Hex(Text);
}

TAnnouncement TAnnouncer::Assemble(const TAnnounceRequest& AReq, const TAnnounceResult& AResult) {
  if (AResult.Segments.empty()) return {};
  const int32_t Rate =
      AReq.Layout.SampleRate > 0 ? AReq.Layout.SampleRate : AResult.Segments.front().SampleRate;
  std::vector<TPrepared> Ready;
  std::vector<TLoudness> Measured;
  for (const TTtsResult& Segment : AResult.Segments) {
    Ready.push_back(Prepared(Segment, Rate));
    Measured.push_back(Ready.back().Loudness);
  }
  const std::optional<double> Level = SharedLevel(Measured, AReq.Layout.LoudnessLufs);
  std::vector<std::shared_ptr<const TPcmBuffer>> Held;
  std::vector<const TPcmBuffer*> Parts;
  for (std::size_t i = 0; i < Ready.size(); ++i) {
    Held.push_back(Level ? Levelled(AResult.Segments[i], Ready[i], Rate, *Level) : Ready[i].Pcm);
    Parts.push_back(Held.back().get());
  }
  const auto MakeChime = [this, Rate, &Level](bool AClosing) {
    const TPrepared Unit = Chime(Rate, AClosing);
    TPcmBuffer Made = *Unit.Pcm;
    LevelChime(Made, Unit.Loudness, Level.value_or(FallbackChimeLufs));
    return Made;
  };
  std::optional<TPcmBuffer> Opening;
  std::optional<TPcmBuffer> Closing;
  if (AReq.Layout.Chime != cmNone) Opening = MakeChime(false);
  if (AReq.Layout.Chime == cmBoth) Closing = MakeChime(true);
  return JoinAnnouncement(Parts, Opening ? &*Opening : nullptr, Closing ? &*Closing : nullptr,
                          AReq.Layout.GapMs);
}

TAnnouncer::TPrepared TAnnouncer::Prepared(const TTtsResult& ASegment, int32_t ARate) {
  const std::string Key = Format("P|%s|%d", ASegment.ETag, ARate);
  TPrepared Ready;
  Ready.Source = ASegment.Wav.Share();
  if (Recall(Key, Ready)) return Ready;
  TPcmBuffer Pcm;
  WavToPcm(ASegment.Wav, Pcm);
  PrepareSegment(Pcm, ARate);
  Ready.Loudness = MeasureLoudness(Pcm);
  Ready.Pcm = std::make_shared<const TPcmBuffer>(std::move(Pcm));
  Remember(Key, Ready);
  return Ready;
}

std::shared_ptr<const TPcmBuffer> TAnnouncer::Levelled(const TTtsResult& ASegment,
                                                       const TPrepared& AReady, int32_t ARate,
                                                       double ALevel) {
  const std::string Key = Format("L|%s|%d|%s", ASegment.ETag, ARate, LevelText(ALevel));
  TPrepared Done;
  Done.Source = AReady.Source;
  if (Recall(Key, Done)) return Done.Pcm;
  TPcmBuffer Pcm = *AReady.Pcm;
  LevelSegment(Pcm, AReady.Loudness, ALevel);
  Done.Pcm = std::make_shared<const TPcmBuffer>(std::move(Pcm));
  Remember(Key, Done);
  return Done.Pcm;
}

TAnnouncer::TPrepared TAnnouncer::Chime(int32_t ARate, bool AClosing) {
  const std::string Key = Format("C|%d|%d", ARate, AClosing ? 1 : 0);
  TPrepared Unit;
  if (Recall(Key, Unit)) return Unit;
  TPcmBuffer Made = MakeChime(ARate, AClosing);
  Unit.Loudness = MeasureLoudness(Made);
  Unit.Pcm = std::make_shared<const TPcmBuffer>(std::move(Made));
  Remember(Key, Unit);
  return Unit;
}

bool TAnnouncer::Recall(const std::string& AKey, TPrepared& AValue) {
  TLockGuard Guard(FLock);
  const auto Found = FMemo.find(AKey);
  if (Found == FMemo.end()) return false;
  const TPrepared& Kept = Found->second.Value;
  // The tag names the request, not the samples: a clip made anew under the same tag may
  // differ, so only the very same source bytes give the kept result.
  const bool SameSource = Kept.Source == AValue.Source ||
                          (Kept.Source && AValue.Source && *Kept.Source == *AValue.Source);
  if (!SameSource) return false;
  FMemoOrder.splice(FMemoOrder.end(), FMemoOrder, Found->second.Pos);
  AValue = Kept;
  return true;
}

void TAnnouncer::Remember(const std::string& AKey, const TPrepared& AValue) {
  TLockGuard Guard(FLock);
  if (const auto Found = FMemo.find(AKey); Found != FMemo.end()) {
    FMemoBytes -= Found->second.Value.Bytes();
    FMemoOrder.erase(Found->second.Pos);
    FMemo.erase(Found);
  }
  FMemoOrder.push_back(AKey);
  FMemo.emplace(AKey, TMemoEntry{AValue, std::prev(FMemoOrder.end())});
  FMemoBytes += AValue.Bytes();
  while (FMemoBytes > MemoBudgetBytes && FMemoOrder.size() > 1) {
    const auto Oldest = FMemo.find(FMemoOrder.front());
    FMemoBytes -= Oldest->second.Value.Bytes();
    FMemo.erase(Oldest);
    FMemoOrder.pop_front();
  }
}

}  // namespace quavox
