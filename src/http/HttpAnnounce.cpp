// /v1/announce: a whole announcement in one call; the segments go through the ordinary
// pipeline, the reply is one clip with the position of every part in a header.
#include "http/HttpAnnounce.h"

#include <chrono>
#include <limits>
#include <optional>

#include "core/Format.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/Http.h"

namespace quavox {

namespace {

// Members of the announcement that a segment takes unless it names its own.
constexpr const char* InheritedMembers[] = {"airline", "gender", "speed"};

// The member as a number: nothing when it is absent or null, NaN when it is unreadable.
std::optional<double> NumberMember(const TJsonValue& AObject, const char* AName) {
  const auto Found = AObject.find(AName);
  if (Found == AObject.end() || Found->is_null()) return std::nullopt;
  return JsonFloat(&AObject, AName, std::numeric_limits<double>::quiet_NaN());
}

std::string SegmentsProblem(const TJsonValue& AObject, TAnnounceRequest& AReq,
                            const TTtsRequest& AWhole) {
  const TJsonValue* Segments = JsonChildArray(&AObject, "segments");
  if (Segments == nullptr || Segments->empty() || Segments->size() > MaxAnnounceSegments)
    return Format("segments must be an array of 1 to %d objects",
                  static_cast<int64_t>(MaxAnnounceSegments));
  for (std::size_t i = 0; i < Segments->size(); ++i) {
    const TJsonValue& Element = (*Segments)[i];
    if (!Element.is_object())
      return Format("segments[%d] is not an object", static_cast<int64_t>(i));
    TJsonValue Item = Element;
    for (const char* Name : InheritedMembers)
      if (!Item.contains(Name) && AObject.contains(Name)) Item[Name] = AObject.at(Name);
    std::string Problem;
    TTtsRequest Req = RequestFromJson(Item, Problem);
    if (!Problem.empty()) return Format("segments[%d]: %s", static_cast<int64_t>(i), Problem);
    Req.SampleRate = AWhole.SampleRate;
    Req.Priority = AWhole.Priority;
    AReq.Segments.push_back(std::move(Req));
  }
  return {};
}

std::string LayoutProblem(const TJsonValue& AObject, TAnnounceRequest& AReq,
                          const TTtsRequest& AWhole) {
  TAnnounceLayout& Layout = AReq.Layout;
  const std::string Chime = JsonString(&AObject, "chime", "start");
  if (!TryParseChimeMode(Chime, Layout.Chime))
    return Format("chime must be start, both or none, not %s", Chime);
  const double Gap = NumberMember(AObject, "gap_ms").value_or(Layout.GapMs);
  if (!(Gap >= 0 && Gap <= MaxAnnounceGapMs))
    return Format("gap_ms must be a number of milliseconds from 0 to %d", MaxAnnounceGapMs);
  Layout.GapMs = static_cast<int32_t>(RoundHalfEven(Gap));
  if (const std::string Problem = SampleRateProblem(AWhole); !Problem.empty()) return Problem;
  Layout.SampleRate = AWhole.SampleRate;
  const std::string FormatName = Trim(JsonString(&AObject, "format", "wav"));
  const std::optional<TAudioFormat> Parsed = ParseAudioFormat(FormatName);
  if (!Parsed)
    return "unknown format \"" + FormatName + "\"; known formats: " + KnownAudioFormats();
  AReq.Format = *Parsed;
  const std::optional<double> Loudness = NumberMember(AObject, "loudness");
  if (!Loudness) return {};
  if (!(*Loudness >= MinLoudnessLufs && *Loudness <= MaxLoudnessLufs))
    return Format("loudness must be a target from %d to %d LUFS",
                  static_cast<int64_t>(MinLoudnessLufs), static_cast<int64_t>(MaxLoudnessLufs));
  Layout.LoudnessLufs = *Loudness;
  return {};
}

std::string Languages(const TAnnounceRequest& AReq) {
  std::string Text;
  for (const TTtsRequest& Segment : AReq.Segments)
    Text += (Text.empty() ? "" : ",") + Segment.Language;
  return Text;
}

TJson PartJson(const TAnnouncePart& APart, int32_t ARate, const std::vector<TTtsResult>& AResults) {
  TJson Part = TJson::object();
  Part["part"] = AnnouncePartKindToStr(APart.Kind);
  Part["start_ms"] = SampleToMs(APart.StartSample, ARate);
  Part["end_ms"] = SampleToMs(APart.EndSample, ARate);
  if (APart.Kind != apSegment) return Part;
  const TTtsResult& Result = AResults[static_cast<std::size_t>(APart.Segment)];
  Part["index"] = APart.Segment;
  Part["language"] = Result.Language;
  Part["voice"] = Result.VoiceId;
  Part["cache"] = Result.FromCache ? "hit" : "miss";
  return Part;
}

std::string SegmentsHeader(const TAnnounceReply& AReply, const std::vector<TTtsResult>& AResults) {
  TJson Parts = TJson::array();
  for (const TAnnouncePart& Part : AReply.Parts)
    Parts.push_back(PartJson(Part, AReply.TimelineRate, AResults));
  return JsonWireText(Parts);
}

bool AllFromCache(const std::vector<TTtsResult>& AResults) {
  for (const TTtsResult& Result : AResults)
    if (!Result.FromCache) return false;
  return true;
}

}  // namespace

std::string AnnounceFromJson(const TJsonValue& AObject, TAnnounceRequest& AReq) {
  AReq = TAnnounceRequest{};
  std::string Problem;
  const TTtsRequest Whole = RequestFromJson(AObject, Problem);
  if (!Problem.empty()) return Problem;
  if (Problem = SegmentsProblem(AObject, AReq, Whole); !Problem.empty()) return Problem;
  return LayoutProblem(AObject, AReq, Whole);
}

std::string AnnouncementRequests(const TJsonValue& ABody, std::vector<TTtsRequest>& AReqs) {
  const TJsonValue* Announcements = JsonChildArray(&ABody, "announcements");
  if (Announcements == nullptr) return {};
  for (std::size_t i = 0; i < Announcements->size(); ++i) {
    const TJsonValue& Element = (*Announcements)[i];
    TAnnounceRequest Announcement;
    const std::string Problem = Element.is_object() ? AnnounceFromJson(Element, Announcement)
                                                    : std::string("not an object");
    if (!Problem.empty()) return Format("announcements[%d]: %s", static_cast<int64_t>(i), Problem);
    AReqs.insert(AReqs.end(), Announcement.Segments.begin(), Announcement.Segments.end());
  }
  return {};
}

int64_t TTtsHttpServer::PredictedAnnouncementMs(const TAnnounceRequest& AReq) const {
  const auto Parts = static_cast<int64_t>(AReq.Segments.size());
  int64_t Ms = (Parts + 1) * AReq.Layout.GapMs + 2 * ChimeMs;
  for (const TTtsRequest& Segment : AReq.Segments)
    Ms += PredictedSpeechMs(Segment);
  return Ms;
}

void TTtsHttpServer::HandleAnnounce(const TCall& ACall) {
  const auto Start = std::chrono::steady_clock::now();
  const auto Body = ReadJsonBody(ACall.Req, ACall.Res);
  if (!Body) return;
  TAnnounceRequest Req;
  const std::string Problem = AnnounceFromJson(*Body, Req);

  TRequestLog Record;
  Record.Time = std::chrono::system_clock::now();
  Record.Peer = ACall.Req.Peer;
  Record.Route = "/v1/announce";
  Record.Language = Languages(Req);
  Record.Speed = Req.Segments.empty() ? 1.0f : Req.Segments.front().Speed;
  const auto Refuse = [&](int AStatus, const std::string& ANote) {
    Record.Status = AStatus;
    Record.ElapsedMs = ElapsedMs(Start);
    Record.Note = ANote;
    TAppLog::Request(Record);
  };
  if (!Problem.empty()) {
    Refuse(400, Problem);
    SendError(ACall.Res, 400, "bad_request", Problem);
    return;
  }
  for (TTtsRequest& Segment : Req.Segments)
    Segment.Client = ACall.Req.Peer;
  TReplyBudget::TTicket Ticket;
  TAnnounceResult Result;
  try {
    Ticket = AdmitReply(
        EstimateReply(PredictedAnnouncementMs(Req), ReplyRate(Req.Layout.SampleRate, 0)));
    Result = FAnnouncer->Synthesize(Req);
  } catch (const ETtsError& E) {
    Refuse(E.HttpStatus(), E.what());
    SendTtsError(ACall.Res, E);
    return;
  } catch (const std::exception& E) {
    Refuse(500, E.what());
    SendError(ACall.Res, 500, "internal", E.what());
    return;
  }

  Record.CacheHit = AllFromCache(Result.Segments);
  if (AnswerNotModified(ACall, Result.ETag, Record, Start)) return;

  const std::shared_ptr<const TAnnounceReply> Reply = FAnnouncer->Deliver(Req, Result);
  const int64_t DurationMs = SampleToMs(Reply->Samples, Reply->TimelineRate);
  THttpResponse& Res = ACall.Res;
  Res.Status = 200;
  Res.ContentType = Reply->ContentType;
  Res.SetHeader("ETag", "\"" + Result.ETag + "\"");
  Res.SetHeader("X-Quavox-Result", "ok");
  Res.SetHeader("X-Quavox-Sample-Rate", std::to_string(Reply->SampleRate));
  Res.SetHeader("X-Quavox-Duration-Ms", std::to_string(DurationMs));
  Res.SetHeader("X-Quavox-Cache", Record.CacheHit ? "hit" : "miss");
  Res.SetHeader("X-Quavox-Segments", SegmentsHeader(*Reply, Result.Segments));
  Res.Binary = Reply->Audio;
  Record.Status = 200;
  Record.AudioMs = static_cast<int32_t>(DurationMs);
  Record.ElapsedMs = ElapsedMs(Start);
  TAppLog::Request(Record);
}

}  // namespace quavox
