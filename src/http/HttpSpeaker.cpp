#include "http/HttpSpeaker.h"

#include <algorithm>

#include "audio/Wav.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/Http.h"
#include "http/HttpDelivery.h"
#include "service/Service.h"
#include "text/Sentences.h"

namespace quavox {

TSentenceSpeaker::TSentenceSpeaker(TTtsService& AService, const TTtsRequest& AReq,
                                   const TDeliveryOptions& AOptions)
    : FService(AService), FReq(AReq), FOptions(AOptions), FSentences(SplitSentences(AReq.Text)) {
  if (FSentences.empty()) FSentences.push_back(Trim(AReq.Text));
}

void TSentenceSpeaker::Begin() {
  TTtsRequest Piece = FReq;
  Piece.Text = FSentences.front();
  FFirst = FService.Synthesize(Piece);
  // Every sentence goes out at the first one's rate, so the file has one rate throughout.
  FRate = DeliveryRate(FOptions.Format, FFirst.SampleRate, FOptions.SampleRate);
  FOptions.SampleRate = FRate;
  FEncoder = NewStreamEncoder(FOptions.Format, FRate);
  const TPcmBuffer Audio = Prepared(FFirst);
  Account(FFirst, Audio);
  FFirstBytes = Encoded(Audio, FSentences.size() == 1);
}

bool TSentenceSpeaker::Speak(const TWrite& AWrite, const TGone& AGone) {
  if (!AWrite(std::exchange(FFirstBytes, TBytes()))) return false;
  for (std::size_t i = 1; i < FSentences.size(); ++i) {
    if (AGone()) return false;
    TBytes Bytes;
    try {
      TTtsRequest Piece = FReq;
      Piece.Text = FSentences[i];
      const TTtsResult Result = FService.Synthesize(Piece);
      const TPcmBuffer Audio = Prepared(Result);
      Account(Result, Audio);
      Bytes = Encoded(Audio, i + 1 == FSentences.size());
    } catch (const ETtsError& E) {
      FFailure = E;
      return false;
    } catch (const std::exception& E) {
      FFailure = ETtsError(ecEngineFailed, E.what());
      return false;
    }
    if (!AWrite(Bytes)) return false;
  }
  return true;
}

std::string TSentenceSpeaker::ETag() const {
  std::string Parts = "S";
  for (const std::string& Tag : FTags)
    Parts += "|" + Tag;
  return DeliveredTag(Sha256Hex(Parts), FOptions, FRate);
}

TPcmBuffer TSentenceSpeaker::Prepared(const TTtsResult& AResult) const {
  TPcmBuffer Pcm;
  if (!WavToPcm(AResult.Wav.Bytes(), Pcm))
    throw std::runtime_error("the synthesized WAV cannot be read");
  return PrepareDelivery(std::move(Pcm), FOptions);
}

TBytes TSentenceSpeaker::Encoded(const TPcmBuffer& AAudio, bool ALast) {
  TBytes Bytes = FEncoder->Append(AAudio);
  const TBytes Tail = ALast ? FEncoder->Finish() : FEncoder->EndPart();
  Bytes.insert(Bytes.end(), Tail.begin(), Tail.end());
  return Bytes;
}

void TSentenceSpeaker::Account(const TTtsResult& AResult, const TPcmBuffer& AAudio) {
  FTags.push_back(AResult.ETag);
  FDurationMs += AAudio.DurationMs();
  FSynthMs += AResult.SynthMs;
  FAllCached = FAllCached && AResult.FromCache;
  FSpoken += (FSpoken.empty() ? "" : " ") + AResult.SpokenText;
  FRewritten = FRewritten || AResult.TextRewritten;
}

namespace {

std::string SseEvent(const TJson& AEvent) {
  return "data: " + JsonWireText(AEvent) + "\n\n";
}

std::string_view AsText(const TBytes& ABytes) {
  return {reinterpret_cast<const char*>(ABytes.data()), ABytes.size()};
}

}  // namespace

TReplyBudget::TTicket TTtsHttpServer::AdmitStream(const TTtsRequest& AReq, int32_t ARate) {
  const TReplyEstimate Whole = EstimateReply(PredictedSpeechMs(AReq), ARate);
  if (Whole.TooLong()) ETtsError::Raise_(ecTextTooLong, Whole.TooLongMessage());
  int64_t Longest = 0;
  TTtsRequest Piece = AReq;
  for (const std::string& Sentence : SplitSentences(AReq.Text)) {
    Piece.Text = Sentence;
    Longest = std::max(Longest, PredictedSpeechMs(Piece));
  }
  return AdmitReply(EstimateReply(Longest, ARate));
}

std::shared_ptr<TSentenceSpeaker> TTtsHttpServer::StartSpeaking(const TTtsRequest& AReq,
                                                                const TDeliveryOptions& AOptions) {
  // The whole text is checked first: one too long or empty is refused as a whole reply is.
  TTtsRequest Whole = AReq;
  Whole.Normalize();
  FService.CheckedSpokenText(Whole);
  auto Speaker = std::make_shared<TSentenceSpeaker>(FService, AReq, AOptions);
  Speaker->Begin();
  return Speaker;
}

void TTtsHttpServer::SendStreamed(const TCall& ACall, std::shared_ptr<TSentenceSpeaker> ASpeaker,
                                  TReplyBudget::TTicket ATicket, const TRequestLog& ARecord,
                                  std::chrono::steady_clock::time_point AStart, bool ASse) {
  THttpResponse& Res = ACall.Res;
  Res.Status = 200;
  Res.ContentType = ASse ? "text/event-stream" : std::string(AudioContentType(ASpeaker->Format()));
  Res.SetHeader("Cache-Control", "no-cache");
  Res.SetHeader("X-Quavox-Result", "ok");
  Res.SetHeader("X-Quavox-Voice", ASpeaker->First().VoiceId);
  Res.SetHeader("X-Quavox-Sample-Rate", std::to_string(ASpeaker->SampleRate()));
  Res.SetHeader("X-Quavox-Sentences", std::to_string(ASpeaker->Sentences().size()));
  int64_t InputLength = 0;
  for (const std::string& Sentence : ASpeaker->Sentences())
    InputLength += static_cast<int64_t>(Utf16Length(Sentence));
  Res.Stream = [Speaker = std::move(ASpeaker),
                Ticket = std::make_shared<TReplyBudget::TTicket>(std::move(ATicket)),
                Record = ARecord, AStart, ASse, InputLength](TReplySink& ASink) mutable {
    const auto Write = [&](const TBytes& ABytes) {
      if (!ASse) return ASink.Write(AsText(ABytes));
      return ABytes.empty() || ASink.Write(SseEvent({{"type", "speech.audio.delta"},
                                                     {"audio", Base64Encode(ABytes)}}));
    };
    const bool Whole = Speaker->Speak(Write, [&ASink] { return ASink.ClientGone(); });
    *Ticket = TReplyBudget::TTicket();
    Record.Status = 200;
    Record.Voice = Speaker->First().VoiceId;
    Record.CacheHit = Speaker->AllCached();
    Record.AudioMs = Speaker->DurationMs();
    Record.ElapsedMs = ElapsedMs(AStart);
    const auto& Failure = Speaker->Failure();
    if (Failure)
      Record.Note = Failure->what();
    else if (!Whole)
      Record.Note = "the client left before the end";
    TAppLog::Request(Record);
    if (!ASse) return Whole;
    if (Whole) {
      const TJson Usage = {
          {"input_tokens", InputLength}, {"output_tokens", 0}, {"total_tokens", InputLength}};
      return ASink.Write(SseEvent({{"type", "speech.audio.done"}, {"usage", Usage}}));
    }
    if (!Failure) return false;
    const TJson Error = {{"message", Failure->what()},
                         {"type", "server_error"},
                         {"code", ErrorCodeName(Failure->Code())}};
    return ASink.Write(SseEvent({{"type", "error"}, {"error", Error}}));
  };
}

}  // namespace quavox
