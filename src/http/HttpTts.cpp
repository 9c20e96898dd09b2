// /v1/tts: one line of text in, one complete WAV file out, with the facts about the audio
// in response headers; one request-log record per answered request.
#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <limits>

#include "core/Format.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/Http.h"
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

int32_t ElapsedMs(std::chrono::steady_clock::time_point AStart) {
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - AStart)
                                  .count());
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
  TTtsRequest Req;
  if (ACall.Method == "POST") {
    const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
    if (!Body) return;
    Req = RequestFromJson(*Body);
  } else {
    Req = RequestFromQuery(ACall.Req.Query);
  }

  TRequestLog Record;
  Record.Time = std::chrono::system_clock::now();
  Record.Peer = ACall.Req.Peer;
  Record.Route = "/v1/tts";
  Record.Language = Req.Language;
  Record.Speed = Req.Speed;

  if (const std::string Problem = SampleRateProblem(Req); !Problem.empty()) {
    Record.Status = 400;
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = Problem;
    TAppLog::Request(Record);
    SendError(ACall.Res, 400, "bad_request", Problem);
    return;
  }
  TTtsResult Result;
  try {
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
  const std::string Tag = UnquoteEntityTag(ACall.Req.Header("If-None-Match"));
  if (!Tag.empty() && Tag == Result.ETag) {
    ACall.Res.Status = 304;
    ACall.Res.SetHeader("X-Quavox-Result", "ok");
    Record.Status = 304;
    Record.ElapsedMs = ElapsedMs(Start);
    TAppLog::Request(Record);
    return;
  }

  THttpResponse& Res = ACall.Res;
  Res.Status = 200;
  Res.ContentType = "audio/wav";
  Res.SetHeader("ETag", "\"" + Result.ETag + "\"");
  Res.SetHeader("X-Quavox-Result", "ok");
  Res.SetHeader("X-Quavox-Engine", Result.Engine);
  Res.SetHeader("X-Quavox-Voice", Result.VoiceId);
  Res.SetHeader("X-Quavox-Sample-Rate", std::to_string(Result.SampleRate));
  Res.SetHeader("X-Quavox-Duration-Ms", std::to_string(Result.DurationMs));
  Res.SetHeader("X-Quavox-Synth-Ms", std::to_string(Result.SynthMs));
  Res.SetHeader("X-Quavox-Cache", Result.FromCache ? "hit" : "miss");
  Res.SetHeader("X-Quavox-Spoken", PercentEncode(Result.SpokenText, MaxSpokenHeaderBytes));
  Res.Binary = ShareReply(Result.ETag, Result.Wav.Share());
  Record.Status = 200;
  Record.AudioMs = Result.DurationMs;
  Record.ElapsedMs = ElapsedMs(Start);
  TAppLog::Request(Record);
}

}  // namespace quavox
