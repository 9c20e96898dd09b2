// The OpenAI-compatible speech API: POST /v1/audio/speech and GET /v1/models, so that
// assistants, chat front ends and home-automation systems that speak that API use the
// service as it is, with its voices, routing, cache, rate limit and request log.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>

#include "audio/StreamEncode.h"
#include "core/Format.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/Http.h"
#include "http/HttpSpeaker.h"
#include "service/Service.h"
#include "state/Voices.h"
#include "text/Sentences.h"

namespace quavox {

namespace {

constexpr double MinSpeechSpeed = 0.25;
constexpr double MaxSpeechSpeed = 4.0;
// That API defines its raw PCM as 24 kHz.
constexpr int32_t SpeechPcmRate = 24000;

struct TStockVoice {
  std::string_view Name;
  TTtsGender Gender;
};

// The API's own voice names, each standing for a gender; the default voices of the
// service then speak for them like for any request without an airline.
constexpr std::array<TStockVoice, 13> StockVoices = {{
    {"alloy", tgFemale},
    {"ash", tgMale},
    {"ballad", tgMale},
    {"cedar", tgMale},
    {"coral", tgFemale},
    {"echo", tgMale},
    {"fable", tgMale},
    {"marin", tgFemale},
    {"nova", tgFemale},
    {"onyx", tgMale},
    {"sage", tgFemale},
    {"shimmer", tgFemale},
    {"verse", tgMale},
}};

// Clients pick a model name from this list or send their own; every name is accepted.
constexpr std::array<std::string_view, 4> ModelIds = {"quavox", "tts-1", "tts-1-hd",
                                                      "gpt-4o-mini-tts"};

std::string StockVoiceNames() {
  std::string Names;
  for (const TStockVoice& Voice : StockVoices)
    Names += (Names.empty() ? "" : ", ") + std::string(Voice.Name);
  return Names;
}

// Sets the voice or the gender of AReq from the API's "voice"; false when it names nothing.
bool ApplySpeechVoice(TVoiceLibrary& ALibrary, const std::string& AName, TTtsRequest& AReq) {
  TVoiceInfo Voice;
  if (ALibrary.Find(AName, Voice) || ALibrary.FindByDisplay(AName, Voice)) {
    AReq.VoiceId = Voice.Id;
    return true;
  }
  for (const TStockVoice& Stock : StockVoices) {
    if (SameTextAscii(AName, Stock.Name)) {
      AReq.Gender = Stock.Gender;
      return true;
    }
  }
  return false;
}

// The parameter a service error is about, as that API names its fields.
std::string_view ParamOf(TTtsErrorCode ACode) {
  switch (ACode) {
    case ecEmptyText:
    case ecTextTooLong:
      return "input";
    case ecBadVoice:
      return "voice";
    case ecBadSpeed:
      return "speed";
    default:
      return {};
  }
}

void SendSpeechError(THttpResponse& ARes, const ETtsError& AError) {
  // The service's own reply first, for its Retry-After header; then the body in the API's
  // shape. Request mistakes are 400 there, whatever this service's status would be.
  SendTtsError(ARes, AError);
  const std::string_view Param = ParamOf(AError.Code());
  const bool ClientMistake = !Param.empty();
  SendOpenAiError(ARes, ClientMistake ? 400 : AError.HttpStatus(), AError.what(),
                  ClientMistake ? "invalid_request_error" : "server_error", Param,
                  ErrorCodeName(AError.Code()));
}

}  // namespace

void SendOpenAiError(THttpResponse& ARes, int AStatus, std::string_view AMessage,
                     std::string_view AType, std::string_view AParam, std::string_view ACode) {
  const auto TextOrNull = [](std::string_view AText) {
    return AText.empty() ? TJson(nullptr) : TJson(std::string(AText));
  };
  TJson Error = TJson::object();
  Error["message"] = std::string(AMessage);
  Error["type"] = std::string(AType);
  Error["param"] = TextOrNull(AParam);
  Error["code"] = TextOrNull(ACode);
  SendJson(ARes, AStatus, TJson{{"error", Error}});
}

bool IsOpenAiPath(std::string_view ALowerPath) {
  return ALowerPath == "/v1/audio/speech" || ALowerPath == "/v1/models" ||
         StartsWith(ALowerPath, "/v1/models/");
}

namespace {

TJson ModelJson(std::string_view AId) {
  return {{"id", std::string(AId)}, {"object", "model"}, {"created", 0}, {"owned_by", "quavox"}};
}

// The API's "voice": a name, or an object naming a voice by its "id".
std::string SpeechVoiceName(const TJsonValue& ABody) {
  if (const TJsonValue* Voice = JsonChildObject(&ABody, "voice"))
    return Trim(JsonString(Voice, "id", ""));
  return Trim(JsonString(&ABody, "voice", ""));
}

}  // namespace

void TTtsHttpServer::HandleModels(const TCall& ACall) {
  // GET /v1/models/{id}: one model, as the clients' retrieve call reads it.
  constexpr std::string_view Prefix = "/v1/models/";
  if (ACall.Path.size() > Prefix.size()) {
    const std::string Id = ACall.Req.Path.substr(Prefix.size());
    if (std::find(ModelIds.begin(), ModelIds.end(), Id) == ModelIds.end()) {
      SendOpenAiError(ACall.Res, 404, "The model '" + Id + "' does not exist",
                      "invalid_request_error", "model", "model_not_found");
      return;
    }
    SendJson(ACall.Res, 200, ModelJson(Id));
    return;
  }
  TJson Models = TJson::array();
  for (const std::string_view Id : ModelIds)
    Models.push_back(ModelJson(Id));
  SendJson(ACall.Res, 200, TJson{{"object", "list"}, {"data", Models}});
}

void TTtsHttpServer::HandleSpeech(const TCall& ACall) {
  const auto Start = std::chrono::steady_clock::now();
  THttpResponse& Res = ACall.Res;
  if (const auto Refusal = JsonBodyRefusal(ACall.Req.Body)) {
    SendOpenAiError(Res, Refusal->Status, Refusal->Message, "invalid_request_error", "",
                    Refusal->Code);
    return;
  }
  const std::optional<TJsonValue> Body = ParseJsonValueObject(ReadBody(ACall.Req));
  if (!Body) {
    SendOpenAiError(Res, 400, "request body is not valid JSON", "invalid_request_error", "",
                    "bad_json");
    return;
  }
  const TJsonValue* Node = &*Body;

  TTtsRequest Req;
  Req.Text = JsonString(Node, "input", "");
  Req.Style = JsonString(Node, "instructions", "");
  Req.Language = NormalizeLanguage(JsonString(Node, "language", "auto"));
  const double Speed = JsonFloat(Node, "speed", 1.0);
  Req.Speed = static_cast<float>(std::isfinite(Speed) ? std::clamp(Speed, -1e6, 1e6) : 0.0);
  Req.Client = ACall.Req.Peer;

  TRequestLog Record;
  Record.Time = std::chrono::system_clock::now();
  Record.Peer = ACall.Req.Peer;
  Record.Route = "/v1/audio/speech";
  Record.Language = Req.Language;
  Record.Speed = Req.Speed;
  const auto Refuse = [&](std::string_view AParam, const std::string& AMessage) {
    Record.Status = 400;
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = AMessage;
    TAppLog::Request(Record);
    SendOpenAiError(Res, 400, AMessage, "invalid_request_error", AParam);
  };

  const std::string Voice = SpeechVoiceName(*Body);
  if (!ApplySpeechVoice(FService.VoiceLibrary(), Voice, Req))
    return Refuse("voice", "unknown voice \"" + Voice +
                               "\": name a voice of this service (its id or name) or one of " +
                               StockVoiceNames());
  if (std::string Problem = StyleLengthProblem("instructions", Req.Style); !Problem.empty())
    return Refuse("instructions", Problem);
  const std::string Stream = Trim(JsonString(Node, "stream_format", ""));
  if (!Stream.empty() && Stream != "audio" && Stream != "sse")
    return Refuse("stream_format",
                  "stream_format \"" + Stream + "\" is not supported; use \"audio\" or \"sse\"");
  std::string FormatName = Trim(JsonString(Node, "response_format", ""));
  if (FormatName.empty()) FormatName = "mp3";
  const auto Parsed = ParseAudioFormat(FormatName);
  if (!Parsed)
    return Refuse("response_format", "unknown response_format \"" + FormatName +
                                         "\"; known formats: " + KnownAudioFormats());
  if (!(Speed >= MinSpeechSpeed && Speed <= MaxSpeechSpeed))
    return Refuse("speed",
                  Format("speed must be from %.2f to %.1f", MinSpeechSpeed, MaxSpeechSpeed));
  std::string Problem;
  const auto Delivery =
      DeliveryFromFields(FormatName, LoudnessMember(*Body), FConfig.Settings().Loudness, Problem);
  if (!Problem.empty()) return Refuse("loudness", Problem);
  TDeliveryOptions Options = Delivery.value_or(TDeliveryOptions{*Parsed, 0, 0});
  if (*Parsed == afPcm) Options.SampleRate = SpeechPcmRate;
  const bool Sse = Stream == "sse";
  if (Sse && !StreamableFormat(Options.Format))
    return Refuse("response_format",
                  "stream_format \"sse\" carries pcm, mp3, opus or wav, not " + FormatName);
  // Other formats cannot go out before the clip ends: they come whole, as without streaming.
  const bool Streamed = Sse || (Stream == "audio" && StreamableFormat(Options.Format));

  TReplyBudget::TTicket Ticket;
  TTtsResult Result;
  std::shared_ptr<TSentenceSpeaker> Speaker;
  try {
    const int32_t Rate = ReplyRate(0, Options.SampleRate);
    if (Streamed) {
      Ticket = AdmitStream(Req, Rate);
      Speaker = StartSpeaking(Req, Options);
    } else {
      Ticket = AdmitReply(EstimateReply(PredictedSpeechMs(Req), Rate));
      // A text of several sentences is spoken as a stream of it would be, so the two
      // replies hold the same audio.
      if (SplitSentences(Req.Text).size() > 1)
        Speaker = StartSpeaking(Req, Options);
      else
        Result = FService.Synthesize(Req);
    }
  } catch (const ETtsError& E) {
    Record.Status = ParamOf(E.Code()).empty() ? E.HttpStatus() : 400;
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = E.what();
    TAppLog::Request(Record);
    SendSpeechError(Res, E);
    return;
  } catch (const std::exception& E) {
    Record.Status = 500;
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = E.what();
    TAppLog::Request(Record);
    SendOpenAiError(Res, 500, E.what(), "server_error", "", "internal");
    return;
  }
  if (Streamed) {
    SendStreamed(ACall, std::move(Speaker), std::move(Ticket), Record, Start, Sse);
    return;
  }
  if (Speaker) {
    SendSpoken(ACall, *Speaker, Record, Start);
    return;
  }
  Record.Voice = Result.VoiceId;
  Record.CacheHit = Result.FromCache;
  SendDelivered(ACall, Result, Options, Record, Start, true);
}

void TTtsHttpServer::SendSpoken(const TCall& ACall, TSentenceSpeaker& ASpeaker,
                                TRequestLog& ARecord,
                                std::chrono::steady_clock::time_point AStart) {
  TBytes Whole;
  const bool Done = ASpeaker.Speak(
      [&Whole](const TBytes& ABytes) {
        Whole.insert(Whole.end(), ABytes.begin(), ABytes.end());
        return true;
      },
      [] { return false; });
  ARecord.Voice = ASpeaker.First().VoiceId;
  ARecord.CacheHit = ASpeaker.AllCached();
  ARecord.ElapsedMs = ElapsedMs(AStart);
  if (!Done) {
    const ETtsError& Failure = *ASpeaker.Failure();
    ARecord.Status = ParamOf(Failure.Code()).empty() ? Failure.HttpStatus() : 400;
    ARecord.Note = Failure.what();
    TAppLog::Request(ARecord);
    SendSpeechError(ACall.Res, Failure);
    return;
  }
  ASpeaker.Complete(Whole);
  const std::string Tag = ASpeaker.ETag();
  if (AnswerNotModified(ACall, Tag, ARecord, AStart)) return;
  TTtsResult Facts = ASpeaker.First();
  Facts.SynthMs = ASpeaker.SynthMs();
  Facts.FromCache = ASpeaker.AllCached();
  Facts.SpokenText = ASpeaker.SpokenText();
  Facts.TextRewritten = ASpeaker.TextRewritten();
  THttpResponse& Res = ACall.Res;
  Res.ContentType = std::string(AudioContentType(ASpeaker.Format()));
  SetAudioHeaders(Res, Facts, Tag, ASpeaker.SampleRate(), ASpeaker.DurationMs());
  Res.Binary = std::make_shared<const TBytes>(std::move(Whole));
  ARecord.Status = 200;
  ARecord.AudioMs = ASpeaker.DurationMs();
  TAppLog::Request(ARecord);
}

}  // namespace quavox
