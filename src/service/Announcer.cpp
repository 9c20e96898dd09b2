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
  std::size_t Total = Pcm ? Pcm->Data.size() * sizeof(float) : 0;
  for (const auto& Source : Sources)
    Total += Source ? Source->size() : 0;
  if (Reply && Reply->Audio) Total += Reply->Audio->size();
  return Total;
}

TAnnouncer::TAnnouncer(TTtsService& AService, std::size_t AMemoBudgetBytes)
    : FService(AService), FMemoBudgetBytes(AMemoBudgetBytes) {}

void TAnnouncer::CheckSegments(const TAnnounceRequest& AReq) {
  for (std::size_t i = 0; i < AReq.Segments.size(); ++i) {
    TTtsRequest Req = AReq.Segments[i];
    Req.Normalize();
    try {
      FService.CheckedSpokenText(Req);
    } catch (const ETtsError& E) {
      RaiseForSegment(i, E.Code(), E.what());
    }
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
             Layout.SampleRate, LevelText(Layout.LoudnessLufs), AudioFormatName(AReq.Format));
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
  const double ChimeLevel = Level.value_or(FallbackChimeLufs);
  std::shared_ptr<const TPcmBuffer> Opening;
  std::shared_ptr<const TPcmBuffer> Closing;
  if (AReq.Layout.Chime != cmNone) Opening = Chime(Rate, false, ChimeLevel);
  if (AReq.Layout.Chime == cmBoth) Closing = Chime(Rate, true, ChimeLevel);
  return JoinAnnouncement(Parts, Opening.get(), Closing.get(), AReq.Layout.GapMs);
}

std::shared_ptr<const TAnnounceReply> TAnnouncer::Deliver(const TAnnounceRequest& AReq,
                                                          const TAnnounceResult& AResult) {
  const std::string Key = "R|" + AResult.ETag;
  TPrepared Done;
  for (const TTtsResult& Segment : AResult.Segments)
    Done.Sources.push_back(Segment.Wav.Share());
  if (Recall(Key, Done)) return Done.Reply;
  Done.Reply = std::make_shared<const TAnnounceReply>(
      DeliverAnnouncement(Assemble(AReq, AResult), AReq.Format, AReq.Layout.SampleRate));
  Remember(Key, Done);
  return Done.Reply;
}

TAnnouncer::TPrepared TAnnouncer::Prepared(const TTtsResult& ASegment, int32_t ARate) {
  const std::string Key = Format("P|%s|%d", ASegment.ETag, ARate);
  TPrepared Ready;
  Ready.Sources = {ASegment.Wav.Share()};
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
  Done.Sources = AReady.Sources;
  if (Recall(Key, Done)) return Done.Pcm;
  TPcmBuffer Pcm = *AReady.Pcm;
  LevelSegment(Pcm, AReady.Loudness, ALevel);
  Done.Pcm = std::make_shared<const TPcmBuffer>(std::move(Pcm));
  Remember(Key, Done);
  return Done.Pcm;
}

std::shared_ptr<const TPcmBuffer> TAnnouncer::Chime(int32_t ARate, bool AClosing, double ALevel) {
  const std::string Key = Format("C|%d|%d|%s", ARate, AClosing ? 1 : 0, LevelText(ALevel));
  TPrepared Made;
  if (Recall(Key, Made)) return Made.Pcm;
  TPcmBuffer Pcm = MakeChime(ARate, AClosing);
  LevelChime(Pcm, MeasureLoudness(Pcm), ALevel);
  Made.Pcm = std::make_shared<const TPcmBuffer>(std::move(Pcm));
  Remember(Key, Made);
  return Made.Pcm;
}

bool TAnnouncer::Recall(const std::string& AKey, TPrepared& AValue) {
  TLockGuard Guard(FLock);
  const auto Found = FMemo.find(AKey);
  if (Found == FMemo.end()) return false;
  const TPrepared& Kept = Found->second.Value;
  // Tags name requests, not samples: a clip made anew under the same tag may differ, so
  // only the very same clips give the kept result.
  if (Kept.Sources.size() != AValue.Sources.size()) return false;
  for (std::size_t i = 0; i < Kept.Sources.size(); ++i) {
    const auto& Was = Kept.Sources[i];
    const auto& Now = AValue.Sources[i];
    if (Was != Now && !(Was && Now && *Was == *Now)) return false;
  }
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
  if (AValue.Bytes() > FMemoBudgetBytes) return;
  FMemoOrder.push_back(AKey);
  FMemo.emplace(AKey, TMemoEntry{AValue, std::prev(FMemoOrder.end())});
  FMemoBytes += AValue.Bytes();
  while (FMemoBytes > FMemoBudgetBytes) {
    const auto Oldest = FMemo.find(FMemoOrder.front());
    FMemoBytes -= Oldest->second.Value.Bytes();
    FMemo.erase(Oldest);
    FMemoOrder.pop_front();
  }
}

TAnnounceReply DeliverAnnouncement(const TAnnouncement& AWhole, TAudioFormat AFormat,
                                   int32_t ARequestedRate) {
  TAnnounceReply Reply;
  Reply.TimelineRate = AWhole.Pcm.SampleRate;
  Reply.Samples = static_cast<int64_t>(AWhole.Pcm.Data.size());
  Reply.Parts = AWhole.Parts;
  Reply.ContentType = std::string(AudioContentType(AFormat));
  if (AFormat == afWav) {
    Reply.Audio = std::make_shared<const TBytes>(PcmToWav(AWhole.Pcm, 1));
    Reply.SampleRate = AWhole.Pcm.SampleRate;
    return Reply;
  }
  TEncodedAudio Encoded = DeliverAudio(AWhole.Pcm, {AFormat, ARequestedRate, 0});
  Reply.Audio = std::make_shared<const TBytes>(std::move(Encoded.Bytes));
  Reply.SampleRate = Encoded.SampleRate;
  return Reply;
}

}  // namespace quavox
