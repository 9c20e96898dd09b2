// /v1/tts: one line of text in, one complete WAV file out, with the facts about the audio
// in response headers; one request-log record per answered request.
#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <limits>

#include "audio/Encode.h"
#include "core/Format.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/Http.h"
#include "http/HttpDelivery.h"
#include "http/HttpWire.h"
#include "service/Service.h"

namespace quavox {

namespace {

// The highest output rate a request may ask for; beyond it a single request could make the
// resampler allocate gigabytes.
constexpr int64_t MaxRequestSampleRate = 192000;
// Below telephone quality no announcement is intelligible; such a rate is a client's mistake.
constexpr int32_t MinRequestSampleRate = 8000;

int32_t ToInt32(int64_t AValue) {
  return static_cast<int32_t>(std::clamp<int64_t>(AValue, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

int32_t ToSampleRate(int64_t AValue) {
  return static_cast<int32_t>(std::min(AValue, MaxRequestSampleRate));
}

// A finite double outside the float range would be undefined behaviour to convert.
float ToFloat(double AValue) {
  if (std::isfinite(AValue)) AValue = std::clamp<double>(AValue, -FLT_MAX, FLT_MAX);
  return static_cast<float>(AValue);
}

int64_t QueryInteger(std::string_view AQuery, std::string_view AName) {
  int64_t Value = 0;
  return TryParseInt64(QueryParam(AQuery, AName, "0"), Value) ? Value : 0;
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

TTtsRequest RequestFromJson(const TJsonValue& AObject) {
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
  Req.SampleRate = ToSampleRate(JsonInteger(Node, "sample_rate", 0));
  Req.Seed = ToInt32(JsonInteger(Node, "seed", 0));
  Req.Priority = ParsePriority(JsonString(Node, "priority", "normal"));
  Req.NormalizeText = JsonBoolean(Node, "normalize", true);
  return Req;
}

TTtsRequest RequestFromQuery(std::string_view AQuery) {
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
  Req.SampleRate = ToSampleRate(QueryInteger(AQuery, "sample_rate"));
  Req.Seed = ToInt32(QueryInteger(AQuery, "seed"));
  Req.Priority = ParsePriority(QueryParam(AQuery, "priority", "normal"));
  Req.NormalizeText = QueryBoolean(AQuery, "normalize", true);
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

void TTtsHttpServer::HandleTts(const TCall& ACall) {
  const auto Start = std::chrono::steady_clock::now();
  const double ConfiguredLoudness = FConfig.Settings().Loudness;
  TTtsRequest Req;
  std::optional<TDeliveryOptions> Delivery;
  std::string DeliveryProblem;
  if (ACall.Method == "POST") {
    const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
    if (!Body) return;
    Req = RequestFromJson(*Body);
    Delivery = DeliveryFromJson(*Body, ConfiguredLoudness, DeliveryProblem);
  } else {
    Req = RequestFromQuery(ACall.Req.Query);
    Delivery = DeliveryFromQuery(ACall.Req.Query, ConfiguredLoudness, DeliveryProblem);
  }

  TRequestLog Record;
  Record.Time = std::chrono::system_clock::now();
  Record.Peer = ACall.Req.Peer;
  Record.Route = "/v1/tts";
  Record.Language = Req.Language;
  Record.Speed = Req.Speed;

  std::string Problem = SampleRateProblem(Req);
  if (Problem.empty()) Problem = DeliveryProblem;
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
  TTtsResult Result;
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
    Result = FService.Synthesize(Req);
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
  Res.Binary = ShareReply(Result.ETag, Result.Wav.Share());
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
