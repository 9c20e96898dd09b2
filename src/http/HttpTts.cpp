// /v1/tts: one line of text in, one complete WAV file out, with the facts about the audio
// in response headers; one request-log record per answered request.
#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <limits>

#include "audio/Encode.h"
#include "audio/StreamEncode.h"
#include "core/Format.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/Http.h"
#include "http/HttpDelivery.h"
#include "http/HttpSpeaker.h"
#include "http/HttpWire.h"
#include "service/Service.h"

namespace quavox {

namespace {

// The highest output rate a request may ask for; beyond it a single request could make the
// resampler allocate gigabytes.
constexpr int64_t MaxRequestSampleRate = 192000;
// Below telephone quality no announcement is intelligible; such a rate is a client's mistake.
constexpr int32_t MinRequestSampleRate = 8000;

// An integer field of a request, read as leniently as the JSON readers read (absent, null
// or not a number: the default), except that a number outside the field's range is refused:
// wrapped or cut into range it would ask for something the client never sent.
struct TIntegerField {
  const char* Name;
  int64_t Low;
  int64_t High;
  const char* Range;  // the range as a client reads it
};

// A negative rate means the configured one, as the request's normalisation has it.
constexpr TIntegerField SampleRateField{"sample_rate", std::numeric_limits<int32_t>::min(),
                                        MaxRequestSampleRate,
                                        "0 (the configured rate) or from 8000 to 192000 Hz"};
constexpr TIntegerField SeedField{"seed", std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max(),
                                  "an integer from -2147483648 to 2147483647"};

bool OutsideField(double AValue, const TIntegerField& AField) {
  return !std::isnan(AValue) &&
         !(AValue >= static_cast<double>(AField.Low) && AValue <= static_cast<double>(AField.High));
}

std::string FieldProblem(const TIntegerField& AField, std::string_view AText) {
  return Format("%s must be %s, not %s", AField.Name, AField.Range,
                std::string(Trim(AText).substr(0, 40)));
}

// The value, 0 when the text is not an integer; AProblem set when it is a number outside
// the field's range.
int32_t IntegerFromText(std::string_view AText, const TIntegerField& AField,
                        std::string& AProblem) {
  int64_t Value = 0;
  double Number = 0;
  if (TryParseInt64(AText, Value) ? OutsideField(static_cast<double>(Value), AField)
                                  : TryParseDouble(AText, Number) && OutsideField(Number, AField)) {
    if (AProblem.empty()) AProblem = FieldProblem(AField, AText);
    return 0;
  }
  return static_cast<int32_t>(Value);
}

int32_t IntegerFromJson(const TJsonValue& AObject, const TIntegerField& AField,
                        std::string& AProblem) {
  const auto Found = AObject.find(AField.Name);
  if (Found == AObject.end() || !Found->is_number_float())
    return IntegerFromText(JsonString(&AObject, AField.Name, ""), AField, AProblem);
  const double Number = Found->get<double>();
  if (OutsideField(Number, AField)) {
    if (AProblem.empty()) AProblem = FieldProblem(AField, Found->dump());
    return 0;
  }
  return std::isnan(Number) ? 0 : static_cast<int32_t>(Number);
}

// The longest style hint, a few words such as "calm, slow": the engine reads it before the
// text of every line.
constexpr std::size_t MaxStyleLength = 200;
// Voice ids, airline and language codes are short; longer values are a client's mistake
// that would travel into keys, logs and the engine.
constexpr std::size_t MaxCodeLength = 64;

std::string LengthProblemOf(const TTtsRequest& AReq) {
  const std::pair<const char*, std::string_view> Codes[] = {
      {"voice", AReq.VoiceId}, {"airline", AReq.Airline}, {"language", AReq.Language}};
  for (const auto& [Name, Value] : Codes)
    if (std::string Problem = FieldLengthProblem(Name, Value, MaxCodeLength); !Problem.empty())
      return Problem;
  return FieldLengthProblem("style", AReq.Style, MaxStyleLength);
}

// A finite double outside the float range would be undefined behaviour to convert.
float ToFloat(double AValue) {
  if (std::isfinite(AValue)) AValue = std::clamp<double>(AValue, -FLT_MAX, FLT_MAX);
  return static_cast<float>(AValue);
}

// As the JSON reader reads a Boolean given as text: "true", "1", "yes" and "on" are true.
bool QueryBoolean(std::string_view AQuery, std::string_view AName, bool ADefault) {
  const std::string Text = LowerAscii(Trim(QueryParam(AQuery, AName, "")));
  if (Text.empty()) return ADefault;
  return Text == "true" || Text == "1" || Text == "yes" || Text == "on";
}

TTtsPriority ParsePriority(std::string_view AText) {
  return SameTextAscii(AText, "high") ? tpHigh : tpNormal;
}

// Above this many entries, tags whose replies are all sent are swept out.
constexpr std::size_t ReplySweepSize = 64;

}  // namespace

std::string FieldLengthProblem(std::string_view AName, std::string_view AValue,
                               std::size_t ALimit) {
  const std::size_t Length = Utf16Length(AValue);
  if (Length <= ALimit) return {};
  return Format("%s is %d characters long; at most %d are allowed", std::string(AName),
                static_cast<int64_t>(Length), static_cast<int64_t>(ALimit));
}

std::string StyleLengthProblem(std::string_view AName, std::string_view AValue) {
  return FieldLengthProblem(AName, AValue, MaxStyleLength);
}

TTtsRequest RequestFromJson(const TJsonValue& AObject, std::string& AProblem) {
  const TJsonValue* Node = &AObject;
  TTtsRequest Req;
  Req.Text = JsonString(Node, "text", "");
  Req.VoiceId = JsonString(Node, "voice", "");
  if (Req.VoiceId.empty()) Req.VoiceId = JsonString(Node, "reference_id", "");
  Req.Airline = JsonString(Node, "airline", "");
  Req.Language = NormalizeLanguage(JsonString(Node, "language", "auto"));
  Req.Gender = ParseGender(JsonString(Node, "gender", "default"));
  Req.Style = JsonString(Node, "style", "");
  Req.Speed = ToFloat(JsonFloat(Node, "speed", 1.0));
  Req.SampleRate = IntegerFromJson(AObject, SampleRateField, AProblem);
  Req.Seed = IntegerFromJson(AObject, SeedField, AProblem);
  Req.Priority = ParsePriority(JsonString(Node, "priority", "normal"));
  Req.NormalizeText = JsonBoolean(Node, "normalize", true);
  if (AProblem.empty()) AProblem = LengthProblemOf(Req);
  return Req;
}

TTtsRequest RequestFromQuery(std::string_view AQuery, std::string& AProblem) {
  TTtsRequest Req;
  Req.Text = QueryParam(AQuery, "text", "");
  Req.VoiceId = QueryParam(AQuery, "voice", "");
  Req.Airline = QueryParam(AQuery, "airline", "");
  Req.Language = NormalizeLanguage(QueryParam(AQuery, "language", "auto"));
  Req.Gender = ParseGender(QueryParam(AQuery, "gender", "default"));
  Req.Style = QueryParam(AQuery, "style", "");
  double Speed = 1.0;
  if (!TryParseDouble(QueryParam(AQuery, "speed", "1.0"), Speed)) Speed = 1.0;
  Req.Speed = ToFloat(Speed);
  Req.SampleRate =
      IntegerFromText(QueryParam(AQuery, "sample_rate", "0"), SampleRateField, AProblem);
  Req.Seed = IntegerFromText(QueryParam(AQuery, "seed", "0"), SeedField, AProblem);
  Req.Priority = ParsePriority(QueryParam(AQuery, "priority", "normal"));
  Req.NormalizeText = QueryBoolean(AQuery, "normalize", true);
  if (AProblem.empty()) AProblem = LengthProblemOf(Req);
  return Req;
}

std::string SampleRateProblem(const TTtsRequest& AReq) {
  if (AReq.SampleRate <= 0 || AReq.SampleRate >= MinRequestSampleRate) return {};
  return Format("sample_rate must be 0 (the configured rate) or at least %d Hz, not %d",
                MinRequestSampleRate, AReq.SampleRate);
}

std::optional<TDeliveryOptions> DeliveryFromFields(std::string_view AFormat,
                                                   std::optional<double> ALoudness,
                                                   double AConfigured, std::string& AProblem) {
  TDeliveryOptions Options;
  const std::string Name = Trim(AFormat);
  if (!Name.empty()) {
    const auto Parsed = ParseAudioFormat(Name);
    if (!Parsed) {
      AProblem = "unknown format \"" + Name + "\"; known formats: " + KnownAudioFormats();
      return std::nullopt;
    }
    Options.Format = *Parsed;
  }
  const double Loudness = ALoudness.value_or(AConfigured);
  if (Loudness != 0 && !IsLoudnessTarget(Loudness)) {
    AProblem = Format("loudness must be 0 (off) or from %.0f to %.0f LUFS", MinLoudnessLufs,
                      MaxLoudnessLufs);
    return std::nullopt;
  }
  // Tenths of a loudness unit are below what anyone hears; one entry per tenth.
  Options.LoudnessLufs = std::round(Loudness * 10) / 10;
  if (Options.Format == afWav && Options.LoudnessLufs == 0) return std::nullopt;
  return Options;
}

std::optional<double> LoudnessMember(const TJsonValue& AObject) {
  if (!AObject.contains("loudness") || AObject["loudness"].is_null()) return std::nullopt;
  return JsonFloat(&AObject, "loudness", std::nan(""));
}

std::optional<TDeliveryOptions> DeliveryFromJson(const TJsonValue& AObject, double AConfigured,
                                                 std::string& AProblem) {
  return DeliveryFromFields(JsonString(&AObject, "format", ""), LoudnessMember(AObject),
                            AConfigured, AProblem);
}

std::optional<TDeliveryOptions> DeliveryFromQuery(std::string_view AQuery, double AConfigured,
                                                  std::string& AProblem) {
  std::optional<double> Loudness;
  if (const std::string Text = QueryParam(AQuery, "loudness", ""); !Text.empty()) {
    double Value = 0;
    Loudness = TryParseDouble(Text, Value) ? Value : std::nan("");
  }
  return DeliveryFromFields(QueryParam(AQuery, "format", ""), Loudness, AConfigured, AProblem);
}

int32_t ElapsedMs(std::chrono::steady_clock::time_point AStart) {
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - AStart)
                                  .count());
}

bool TTtsHttpServer::AnswerNotModified(const TCall& ACall, std::string_view AETag,
                                       TRequestLog& ARecord,
                                       std::chrono::steady_clock::time_point AStart) {
  if (!NoneMatchNames(ACall.Req.Header("If-None-Match"), AETag)) return false;
  ACall.Res.Status = 304;
  ACall.Res.SetHeader("ETag", "\"" + std::string(AETag) + "\"");
  ACall.Res.SetHeader("X-Quavox-Result", "ok");
  ARecord.Status = 304;
  ARecord.ElapsedMs = ElapsedMs(AStart);
  TAppLog::Request(ARecord);
  return true;
}

void SetAudioHeaders(THttpResponse& ARes, const TTtsResult& AResult, std::string_view ATag,
                     int32_t ASampleRate, int32_t ADurationMs) {
  ARes.Status = 200;
  ARes.Seekable = true;
  ARes.SetHeader("ETag", "\"" + std::string(ATag) + "\"");
  ARes.SetHeader("X-Quavox-Result", "ok");
  ARes.SetHeader("X-Quavox-Engine", AResult.Engine);
  ARes.SetHeader("X-Quavox-Voice", AResult.VoiceId);
  ARes.SetHeader("X-Quavox-Sample-Rate", std::to_string(ASampleRate));
  ARes.SetHeader("X-Quavox-Duration-Ms", std::to_string(ADurationMs));
  ARes.SetHeader("X-Quavox-Synth-Ms", std::to_string(AResult.SynthMs));
  ARes.SetHeader("X-Quavox-Cache", AResult.FromCache ? "hit" : "miss");
  if (!AResult.TextRewritten) return;
  std::string Spoken = PercentEncode(AResult.SpokenText);
  if (Spoken.size() > MaxSpokenHeaderBytes) {
    Spoken = PercentEncode(AResult.SpokenText, MaxSpokenHeaderBytes);
    ARes.SetHeader("X-Quavox-Spoken-Truncated", "true");
  }
  ARes.SetHeader("X-Quavox-Spoken", Spoken);
}

std::shared_ptr<const TBytes> TTtsHttpServer::ShareReply(const std::string& ATag,
                                                         std::shared_ptr<const TBytes> AWav) {
  if (!AWav) return AWav;
  TLockGuard Guard(FRepliesLock);
  std::weak_ptr<const TBytes>& Slot = FReplies[ATag];
  if (auto Live = Slot.lock(); Live && Live->size() == AWav->size()) return Live;
  Slot = AWav;
  auto Fresh = std::move(AWav);
  if (FReplies.size() > ReplySweepSize)
    std::erase_if(FReplies, [](const auto& AItem) { return AItem.second.expired(); });
  return Fresh;
}

int64_t TTtsHttpServer::PredictedSpeechMs(const TTtsRequest& AReq) const {
  const auto Limit = static_cast<std::size_t>(FConfig.Settings().MaxTextLength);
  TTtsRequest Trimmed = AReq;
  Trimmed.Text = Trim(AReq.Text);
  if (Utf16Length(Trimmed.Text) > Limit) return 0;
  const std::string Spoken = FService.SpokenText(Trimmed);
  if (Utf16Length(Spoken) > Limit) return 0;
  return PredictedDurationMs(Spoken, AReq.Speed);
}

int32_t TTtsHttpServer::ReplyRate(int32_t ARequestRate, int32_t ADeliveryRate) const {
  const int32_t Made = ARequestRate > 0 ? ARequestRate : FConfig.Settings().OutputSampleRate;
  return std::max(Made > 0 ? Made : AssumedEngineRate, ADeliveryRate);
}

TReplyBudget::TTicket TTtsHttpServer::AdmitReply(const TReplyEstimate& AEstimate) {
  if (AEstimate.TooLong()) ETtsError::Raise_(ecTextTooLong, AEstimate.TooLongMessage());
  TReplyBudget::TTicket Ticket;
  if (!FReplyBudget.TryAdmit(AEstimate.Bytes(), Ticket))
    ETtsError::Raise_(ecQueueFull, Format("the replies being made fill the memory budget of %d MiB "
                                          "(synthesis.replyMemoryMB); try again shortly",
                                          FReplyBudget.Limit() >> 20));
  return Ticket;
}

void TTtsHttpServer::HandleTts(const TCall& ACall) {
  const auto Start = std::chrono::steady_clock::now();
  const double ConfiguredLoudness = FConfig.Settings().Loudness;
  TTtsRequest Req;
  std::optional<TDeliveryOptions> Delivery;
  std::string DeliveryProblem;
  std::string NumberProblem;
  // The reply made while it is sent, sentence by sentence; a HEAD has nothing to make.
  bool Streamed = QueryBoolean(ACall.Req.Query, "stream", false);
  if (ACall.Method == "POST") {
    const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
    if (!Body) return;
    Req = RequestFromJson(*Body, NumberProblem);
    Delivery = DeliveryFromJson(*Body, ConfiguredLoudness, DeliveryProblem);
    Streamed = Streamed || JsonBoolean(&*Body, "stream", false);
  } else {
    Req = RequestFromQuery(ACall.Req.Query, NumberProblem);
    Delivery = DeliveryFromQuery(ACall.Req.Query, ConfiguredLoudness, DeliveryProblem);
  }
  Req.Client = ACall.Req.Peer;

  TRequestLog Record;
  Record.Time = std::chrono::system_clock::now();
  Record.Peer = ACall.Req.Peer;
  Record.Route = "/v1/tts";
  Record.Language = Req.Language;
  Record.Speed = Req.Speed;

  std::string Problem = NumberProblem;
  if (Problem.empty()) Problem = SampleRateProblem(Req);
  if (Problem.empty()) Problem = DeliveryProblem;
  Streamed = Streamed && ACall.Method != "HEAD";
  const TDeliveryOptions StreamOptions = Delivery.value_or(TDeliveryOptions{});
  if (Problem.empty() && Streamed && !StreamableFormat(StreamOptions.Format))
    Problem = "stream=true serves the formats pcm, wav, mp3 and opus";
  if (!Problem.empty()) {
    Record.Status = 400;
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = Problem;
    TAppLog::Request(Record);
    SendError(ACall.Res, 400, "bad_request", Problem);
    return;
  }
  // Other formats take the cached clip at the configured rate and convert it on delivery
  // with the band-limited resampler.
  if (Delivery && Delivery->Format != afWav) {
    Delivery->SampleRate = Req.SampleRate;
    Req.SampleRate = 0;
  }
  TReplyBudget::TTicket Ticket;
  TTtsResult Result;
  std::shared_ptr<TSentenceSpeaker> Speaker;
  try {
    // A HEAD answers from the cache alone: making the audio would cost an engine run for
    // a reply nobody reads, and its length and tag do not exist before it is made.
    if (ACall.Method == "HEAD" && !Trim(Req.Text).empty() && !FService.IsCached(Req)) {
      Record.Status = 404;
      Record.ElapsedMs = ElapsedMs(Start);
      Record.Note = "not in the cache";
      TAppLog::Request(Record);
      SendError(ACall.Res, 404, "not_found", "this line is not in the cache; a GET makes it");
      return;
    }
    const int32_t Rate = ReplyRate(Req.SampleRate, Delivery ? Delivery->SampleRate : 0);
    if (Streamed) {
      Ticket = AdmitStream(Req, Rate);
      Speaker = StartSpeaking(Req, StreamOptions);
    } else {
      Ticket = AdmitReply(EstimateReply(PredictedSpeechMs(Req), Rate));
      Result = FService.Synthesize(Req);
    }
  } catch (const ETtsError& E) {
    Record.Status = E.HttpStatus();
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = E.what();
    TAppLog::Request(Record);
    SendTtsError(ACall.Res, E);
    return;
  } catch (const std::exception& E) {
    Record.Status = 500;
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = E.what();
    TAppLog::Request(Record);
    SendError(ACall.Res, 500, "internal", E.what());
    return;
  } catch (...) {
    Record.Status = 500;
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = "unknown error";
    TAppLog::Request(Record);
    SendError(ACall.Res, 500, "internal", Record.Note);
    return;
  }

  if (Speaker) {
    SendStreamed(ACall, std::move(Speaker), std::move(Ticket), Record, Start, false);
    return;
  }
  Record.Voice = Result.VoiceId;
  Record.CacheHit = Result.FromCache;
  if (Delivery) {
    SendDelivered(ACall, Result, *Delivery, Record, Start, false);
    return;
  }
  if (AnswerNotModified(ACall, Result.ETag, Record, Start)) return;

  THttpResponse& Res = ACall.Res;
  Res.ContentType = "audio/wav";
  SetAudioHeaders(Res, Result, Result.ETag, Result.SampleRate, Result.DurationMs);
  // A clip sent from its file is already the one buffer every reply shares.
  Res.BinaryFile = Result.Wav.File();
  Res.Binary = Res.BinaryFile ? Result.Wav.Share() : ShareReply(Result.ETag, Result.Wav.Share());
  Record.Status = 200;
  Record.AudioMs = Result.DurationMs;
  Record.ElapsedMs = ElapsedMs(Start);
  TAppLog::Request(Record);
}

void TTtsHttpServer::SendDelivered(const TCall& ACall, const TTtsResult& AResult,
                                   const TDeliveryOptions& AOptions, TRequestLog& ARecord,
                                   std::chrono::steady_clock::time_point AStart,
                                   bool AOpenAiShape) {
  const int32_t Rate = DeliveryRate(AOptions.Format, AResult.SampleRate, AOptions.SampleRate);
  const std::string DeliveredETag = DeliveredTag(AResult.ETag, AOptions, Rate);
  if (AnswerNotModified(ACall, DeliveredETag, ARecord, AStart)) return;
  TEncodedReply Reply;
  try {
    Reply = DeliverReply(FEncoded, AResult.Wav, DeliveredETag, AOptions);
  } catch (const std::exception& E) {
    ARecord.Status = 500;
    ARecord.ElapsedMs = ElapsedMs(AStart);
    ARecord.Note = E.what();
    TAppLog::Request(ARecord);
    if (AOpenAiShape)
      SendOpenAiError(ACall.Res, 500, E.what(), "server_error", "", "internal");
    else
      SendError(ACall.Res, 500, "internal", E.what());
    return;
  }
  THttpResponse& Res = ACall.Res;
  Res.ContentType = std::string(AudioContentType(AOptions.Format));
  SetAudioHeaders(Res, AResult, DeliveredETag, Reply.SampleRate, Reply.DurationMs);
  Res.Binary = Reply.Bytes;
  ARecord.Status = 200;
  ARecord.AudioMs = Reply.DurationMs;
  ARecord.ElapsedMs = ElapsedMs(AStart);
  TAppLog::Request(ARecord);
}

}  // namespace quavox
