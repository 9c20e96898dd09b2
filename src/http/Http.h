// The HTTP API: announcement systems fetch finished WAV files from it and manage voices,
// bindings and caches through a small JSON API. TTtsHttpServer borrows the service (and
// through it the configuration), which must outlive it. Start, Stop and the destructor
// are called from the host's main thread; every connection is served on a thread of its
// own, so HandleRequest and everything it calls run concurrently and keep no state but
// the per-client request budget. The destructor stops the server and joins every
// connection thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "audio/Encode.h"
#include "core/Log.h"
#include "core/ThreadAnnotations.h"
#include "core/Types.h"
#include "http/HttpDelivery.h"
#include "http/HttpOrigin.h"
#include "http/ReplyBudget.h"
#include "state/Config.h"
#include "state/Json.h"

namespace quavox {

class TTtsService;
class THttpLibServer;
class TAnnouncer;
class TSentenceSpeaker;
struct TAnnounceRequest;

using THttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One request as the handlers see it, independent of the HTTP library.
struct THttpRequest {
  std::string Method;  // as received
  std::string Path;    // without the query, percent-decoded, letter case as sent
  std::string Query;   // the raw query string, still encoded
  std::string Peer;    // the client's IP address
  THttpHeaders Headers;
  std::string Body;  // raw bytes

  // The first header of that name (ASCII case ignored), or empty.
  std::string Header(std::string_view AName) const;
  bool HasHeader(std::string_view AName) const;
};

// Where a reply made while it is sent goes: the client's connection.
class TReplySink {
 public:
  virtual ~TReplySink() = default;
  // Sends the bytes at once; false when the client is gone.
  virtual bool Write(std::string_view ABytes) = 0;
  // The client closed its connection: nothing more need be made.
  virtual bool ClientGone() = 0;
};

struct THttpResponse {
  int Status = 200;
  std::string ContentType;
  THttpHeaders Headers;
  std::string Body;
  // Sent instead of Body, without copying: the WAV of a synthesis reply.
  std::shared_ptr<const TBytes> Binary;
  // An open file holding exactly Binary's bytes, when there is one: the transport sends
  // them from it without copying them into the socket.
  std::shared_ptr<const TOpenFile> BinaryFile;
  // An audio reply, whose byte ranges are served; then only BinaryLength bytes of Binary
  // from BinaryOffset on are sent.
  bool Seekable = false;
  std::size_t BinaryOffset = 0;
  std::size_t BinaryLength = SIZE_MAX;
  // A reply made while it is sent (chunked), instead of Body or Binary: called once the
  // headers are out. False when the reply broke off; the connection then closes without
  // the reply's end, so the client sees it incomplete rather than short.
  std::function<bool(TReplySink&)> Stream;

  void SetHeader(std::string_view AName, std::string_view AValue);
  std::string Header(std::string_view AName) const;
  // The bytes of the body that are sent.
  std::size_t BodySize() const;
};

// ---- Shared handler tools ------------------------------------------------------------

// Compact JSON in which every character below U+0020 or above U+007E is written as \u and
// four hexadecimal digits, so the text is pure ASCII.
std::string JsonWireText(const TJson& AValue);
void SendJson(THttpResponse& ARes, int AStatus, const TJson& AValue);
// The error envelope: exactly {"error": code, "message": text}.
void SendError(THttpResponse& ARes, int AStatus, std::string_view ACode, std::string_view AMessage);
// A GET reply of state that followers poll: 200 with the JSON and an ETag made from it, or
// 304 without a body when If-None-Match names that tag.
void SendTaggedJson(const THttpRequest& AReq, THttpResponse& ARes, const TJson& AValue);
// The one place where a service error becomes a status and an error body.
void SendTtsError(THttpResponse& ARes, const ETtsError& AError);
// The body as UTF-8 text: valid UTF-8 is passed through, invalid bytes become U+FFFD.
std::string ReadBody(const THttpRequest& AReq);
// Deeper nesting is refused before parsing: no request of this API nests more than a few
// levels, and the parser's memory grows with the depth.
constexpr std::size_t MaxJsonDepth = 64;
// More values are refused before parsing too: the parsed document costs far more memory per
// value than the text, and no request of this API needs a quarter million of them.
constexpr std::size_t MaxJsonValues = 1u << 18;
struct TBodyRefusal {
  int Status;
  std::string Code;
  std::string Message;
};
// Why a JSON body is refused before it is parsed, or nothing.
std::optional<TBodyRefusal> JsonBodyRefusal(std::string_view ABody);
// The body as a JSON object; nothing when it is not one (or is refused before parsing),
// and then the 400 "bad_json" (or 413 "payload_too_large") reply has been sent.
std::optional<TJsonValue> ReadJsonBody(const THttpRequest& AReq, THttpResponse& ARes);

// Percent-decoding that survives any bytes: a "%" not followed by two hexadecimal digits
// is kept as it is.
std::string UrlDecode(std::string_view AText);
// The value of one query-string parameter: the first piece whose decoded name equals
// AName ignoring ASCII case; "+" in the value is a blank; ADefault when there is none.
std::string QueryParam(std::string_view AQuery, std::string_view AName, std::string_view ADefault);
// Strict base64 (standard alphabet): line breaks and blanks between groups are ignored,
// anything else outside the alphabet, misplaced padding or a dangling character fails.
bool Base64Decode(std::string_view AText, TBytes& ABytes);
// Standard base64 with padding.
std::string Base64Encode(std::span<const uint8_t> ABytes);
// The entity tag of an If-None-Match header: trimmed, and when it is quoted the quotes
// removed (a doubled quote inside becomes one). A weak tag keeps its W/ prefix.
std::string UnquoteEntityTag(std::string_view AHeader);
// The id of a request: the client's X-Request-Id when it is usable, else a new one.
std::string RequestId(const THttpRequest& AReq);
// Milliseconds since AStart, for the request log.
int32_t ElapsedMs(std::chrono::steady_clock::time_point AStart);
// Every byte except unreserved ASCII letters, digits and "-._~" as "%" and two hexadecimal
// digits: UTF-8 text that fits in a response header. With ALimit, only the whole characters
// whose encoding fits in that many bytes.
std::string PercentEncode(std::string_view AText, std::size_t ALimit = SIZE_MAX);
// The longest X-Quavox-Spoken header sent: with every other header of a reply the block
// stays well under the 4 KiB a default nginx proxy buffers; a longer one is cut and
// X-Quavox-Spoken-Truncated says so, and /v1/normalize gives the whole text.
constexpr std::size_t MaxSpokenHeaderBytes = 2048;

// The address to listen on: 0.0.0.0 for none, an IPv6 address without its brackets.
std::string BindHost(std::string_view ABindAddress);
// Empty, 0.0.0.0, :: or [::].
bool BindsAllInterfaces(std::string_view ABindAddress);
// Base URLs under which clients can reach the server, best first. ALocal lists the
// machine's IPv4 addresses; it is used only when the server listens on all interfaces.
std::vector<std::string> RankReachableUrls(std::string_view ABindAddress, int32_t APort,
                                           const std::vector<std::string>& ALocal);
// The same with the machine's addresses listed now.
std::vector<std::string> ReachableUrls(const TConfigSettings& ASettings);
// The machine's IPv4 addresses; raises std::system_error when they cannot be listed.
std::vector<std::string> LocalIPv4Addresses();

// Requests and replies of the synthesis endpoint, shared with prewarm. AProblem, when empty,
// is set to why a number of the request is refused (one outside its field's range).
TTtsRequest RequestFromJson(const TJsonValue& AObject, std::string& AProblem);
TTtsRequest RequestFromQuery(std::string_view AQuery, std::string& AProblem);
// Why a text field is refused for its length (counted in UTF-16 code units), or empty.
std::string FieldLengthProblem(std::string_view AName, std::string_view AValue, std::size_t ALimit);
// The same for a style hint, which the engine reads before every text.
std::string StyleLengthProblem(std::string_view AName, std::string_view AValue);
// Why the request's output rate is refused (a rate from 1 to 7999 Hz), or empty.
std::string SampleRateProblem(const TTtsRequest& AReq);
TJson VoiceJson(const TVoiceInfo& AVoice);

// The "format" and "loudness" fields of a request that answers with audio. Nothing when the
// request gets the WAV as the synthesis made it (no format or "wav", loudness absent with
// none configured, or 0); nothing with AProblem set when a field is refused (an unknown
// format, a loudness outside the target range).
std::optional<TDeliveryOptions> DeliveryFromFields(std::string_view AFormat,
                                                   std::optional<double> ALoudness,
                                                   double AConfigured, std::string& AProblem);
// The "loudness" member when present and not null; NaN when it is not a number.
std::optional<double> LoudnessMember(const TJsonValue& AObject);
std::optional<TDeliveryOptions> DeliveryFromJson(const TJsonValue& AObject, double AConfigured,
                                                 std::string& AProblem);
std::optional<TDeliveryOptions> DeliveryFromQuery(std::string_view AQuery, double AConfigured,
                                                  std::string& AProblem);
// Status 200 and the entity tag and X-Quavox-* headers of an audio reply.
void SetAudioHeaders(THttpResponse& ARes, const TTtsResult& AResult, std::string_view ATag,
                     int32_t ASampleRate, int32_t ADurationMs);

// The error envelope of the OpenAI API, which its clients expect on its paths:
// {"error": {"message", "type", "param", "code"}}; an empty param or code is null.
void SendOpenAiError(THttpResponse& ARes, int AStatus, std::string_view AMessage,
                     std::string_view AType, std::string_view AParam = {},
                     std::string_view ACode = {});
// Paths answered in the OpenAI API's shape.
bool IsOpenAiPath(std::string_view ALowerPath);

// ---- The server ----------------------------------------------------------------------

// Limits of the server; the defaults suit a service on a local network.
struct THttpLimits {
  // Threads serving requests at once. A connection holds none while it waits for its next
  // request or while its request head is arriving.
  std::size_t MaxThreads = 1024;
  // The last threads of MaxThreads go only to clients that hold fewer than
  // ReserveClientThreads, so a client that holds many never keeps a new one out.
  std::size_t ReserveThreads = 128;
  std::size_t ReserveClientThreads = 2;
  // Threads beyond MaxThreads for /health and /v1/health alone.
  std::size_t HealthThreads = 16;
  // Open connections per client address (0: no limit); the configuration's
  // maxConnectionsPerClient replaces it when the server starts.
  std::size_t MaxConnectionsPerClient = 256;
  // Open connections of all clients together (0: no limit); the server sets it when it
  // starts, below the process's descriptor limit (ServerConnectionLimit).
  std::size_t MaxConnections = 0;
  // Connections beyond MaxConnections that are served only when they ask for the health
  // check, so a monitor still gets its answer from a full server.
  std::size_t HealthConnections = 16;
  std::size_t MaxBodyBytes = 64u << 20;     // POST /v1/voices/clone
  std::size_t MaxJsonBodyBytes = 4u << 20;  // every other path
  // Idle time allowed between requests of a kept-alive connection.
  std::chrono::milliseconds KeepAlive{5000};
  // A request head must be complete this long after its first byte arrived.
  std::chrono::milliseconds HeaderDeadline{10000};
  // The longest single wait for bytes of a body or for room to write a reply; also the
  // grace before the minimum rates below count.
  std::chrono::milliseconds ReadTimeout{5000};
  std::chrono::milliseconds WriteTimeout{5000};
  // Bodies must arrive, and replies be read, at least this fast on average (0: no minimum).
  std::size_t MinBodyBytesPerSecond = 32u << 10;
  std::size_t MinReplyBytesPerSecond = 32u << 10;
};

// Connections all clients together may hold: AConfigured when set, otherwise three
// quarters of ADescriptors (the process's limit of open files), so the engine, the cache
// files, the logs and the health check keep descriptors of their own.
std::size_t ServerConnectionLimit(int32_t AConfigured, std::size_t ADescriptors);

class TTtsHttpServer {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr auto RateWindow = std::chrono::seconds(60);

  // AClock drives the per-minute budget; empty means the steady clock.
  explicit TTtsHttpServer(TTtsService& AService, TClock AClock = {}, THttpLimits ALimits = {});
  ~TTtsHttpServer();
  TTtsHttpServer(const TTtsHttpServer&) = delete;
  TTtsHttpServer& operator=(const TTtsHttpServer&) = delete;

  // Listens on the configured address and port; raises std::runtime_error on failure
  // (three lines joined by CR LF when the port is taken).
  void Start();
  void Stop();
  bool Running() const;
  std::string Endpoint() const;

  // Serves one request completely: routing, budget, handler, last-resort error reply.
  void HandleRequest(const THttpRequest& AReq, THttpResponse& ARes);
  bool IsRateLimited(const std::string& APeer);
  // Takes the API keys, the access log's target and the debug switch from the
  // configuration (and the key file) as they are now; Start calls it, and so may a reload.
  void ApplyOperationalSettings() QX_EXCLUDES(FKeysLock);
  // Client addresses with a budget window (they are never removed).
  std::size_t TrackedClients() const;
  // The largest request body accepted on the path: large for cloning, which carries
  // reference audio, a few megabytes elsewhere.
  std::size_t BodyLimit(std::string_view APath) const;
  // The memory budget of the replies being made.
  TReplyBudget& ReplyBudget() { return FReplyBudget; }

 private:
  struct TCall {
    const THttpRequest& Req;
    THttpResponse& Res;
    std::string Method;  // upper-cased
    std::string Path;    // lower-cased
  };
  using THandler = void (TTtsHttpServer::*)(const TCall&);
  // Answers 304 and logs the request when the client already holds AETag.
  static bool AnswerNotModified(const TCall& ACall, std::string_view AETag, TRequestLog& ARecord,
                                std::chrono::steady_clock::time_point AStart);
  struct TRoute {
    std::string_view Path;
    std::string_view AlsoPath;              // a second exact path served the same way
    bool Prefix;                            // also every path that starts with Path + "/"
    std::vector<std::string_view> Methods;  // empty: any method
    bool RefuseWithNotFound;                // other methods: 404 instead of 405
    bool RateLimited;
    THandler Handler;
  };
  static const std::vector<TRoute>& Routes();
  static const TRoute* FindRoute(std::string_view ALowerPath);
  // The methods a route serves, for Allow headers: HEAD wherever GET is.
  static std::string AllowedMethods(const TRoute& ARoute);
  void ServeRequest(const THttpRequest& AReq, THttpResponse& ARes, const TOriginPolicy& APolicy);
  // False, with the 401 reply sent, when keys are configured and the request brings none
  // of them; the health check (and /metrics unless configured otherwise) needs none.
  bool Authorized(const TCall& ACall, const TRoute* ARoute) QX_EXCLUDES(FKeysLock);
  std::shared_ptr<const TOriginPolicy> OriginPolicy() const QX_EXCLUDES(FOriginLock);
  // False, with the refusal sent, when the request is addressed to a name that is not
  // this service's, or is a write from a page that may not make one; a browser's
  // preflight is answered here too.
  bool AdmitOrigin(const TCall& ACall, const TRoute* ARoute, const TOriginPolicy& APolicy);
  // The CORS headers of a reply to a page whose origin may read it.
  static void AddCorsHeaders(const THttpRequest& AReq, THttpResponse& ARes,
                             const TOriginPolicy& APolicy);
  // Serves the byte range a GET of an audio reply asks for.
  static void ApplyByteRange(const THttpRequest& AReq, THttpResponse& ARes);
  // Counts the answered request and writes its access log line; ABytes went out as its body.
  static void Account(const THttpRequest& AReq, const THttpResponse& ARes, std::size_t ABytes,
                      TDateTime ATime, std::chrono::steady_clock::time_point AStart);

  void HandleHealth(const TCall& ACall);
  void HandleTts(const TCall& ACall);
  void HandleAnnounce(const TCall& ACall);
  void HandlePrewarm(const TCall& ACall);
  void HandleSelfTest(const TCall& ACall);
  void HandleVoices(const TCall& ACall);
  void HandleAirlines(const TCall& ACall);
  void HandleDefaults(const TCall& ACall);
  void HandleStats(const TCall& ACall);
  void HandleLog(const TCall& ACall);
  void HandleCache(const TCall& ACall);
  void HandleSpeech(const TCall& ACall);
  void HandleModels(const TCall& ACall);
  void HandleMetrics(const TCall& ACall);

  // Answers with the synthesis result in the asked format and loudness (a 304 when the
  // client holds it), and logs the request; a failure is answered in the OpenAI API's
  // shape when AOpenAiShape says so.
  void SendDelivered(const TCall& ACall, const TTtsResult& AResult,
                     const TDeliveryOptions& AOptions, TRequestLog& ARecord,
                     std::chrono::steady_clock::time_point AStart, bool AOpenAiShape);
  // Answers with the speaker's reply made while it is sent: the audio file, or (ASse) the
  // OpenAI API's server-sent events carrying it in base64. The ticket is held until the
  // reply ends; the request is logged then.
  void SendStreamed(const TCall& ACall, std::shared_ptr<TSentenceSpeaker> ASpeaker,
                    TReplyBudget::TTicket ATicket, const TRequestLog& ARecord,
                    std::chrono::steady_clock::time_point AStart, bool ASse);
  // The speaker's whole reply in one body, in the OpenAI API's shape.
  void SendSpoken(const TCall& ACall, TSentenceSpeaker& ASpeaker, TRequestLog& ARecord,
                  std::chrono::steady_clock::time_point AStart);
  // A reply spoken sentence by sentence holds one sentence's audio at a time: it is refused
  // (413) when the whole text could not be one reply, and admitted for its longest sentence.
  TReplyBudget::TTicket AdmitStream(const TTtsRequest& AReq, int32_t ARate);
  // The speaker for AReq, its first sentence made; raises as the pipeline does.
  std::shared_ptr<TSentenceSpeaker> StartSpeaking(const TTtsRequest& AReq,
                                                  const TDeliveryOptions& AOptions);
  // How long the request's speech can last at its speed: 0 for a text over the length
  // limit as written or as spoken, which the pipeline refuses by name before anything is
  // made.
  int64_t PredictedSpeechMs(const TTtsRequest& AReq) const;
  // The same for a whole announcement: its segments, the gaps between the parts and the
  // chimes.
  int64_t PredictedAnnouncementMs(const TAnnounceRequest& AReq) const;
  // The rate a reply is made at: the larger of the request's (or the configured) rate and
  // the rate it is delivered at.
  int32_t ReplyRate(int32_t ARequestRate, int32_t ADeliveryRate) const;
  // The reply's share of the budget; raises ETtsError: 413 when it could never be made,
  // 503 when the replies being made leave no room for it now.
  TReplyBudget::TTicket AdmitReply(const TReplyEstimate& AEstimate);
  void HandleLexicon(const TCall& ACall);
  void HandlePack(const TCall& ACall);
  void HandleNormalize(const TCall& ACall);

  void CloneVoice(const TCall& ACall);
  void RemoveVoice(const TCall& ACall);

  TTtsService& FService;
  TAppConfig& FConfig;
  const TClock FClock;
  const THttpLimits FLimits;
  std::unique_ptr<THttpLibServer> FServer;
  std::unique_ptr<TAnnouncer> FAnnouncer;
  std::thread FListenThread;
  std::atomic<bool> FRunning{false};

  struct THitWindow {
    std::chrono::steady_clock::time_point Start;
    int32_t Count = 0;
  };
  mutable TMutex FLock;
  std::map<std::string, THitWindow, std::less<>> FHits QX_GUARDED_BY(FLock);

  // The WAV replies being sent, by entity tag, which names exactly the delivered audio:
  // clients that fetch one clip at the same time share one immutable copy of it, however
  // slowly each of them reads. The cache shares the clips it holds; this also covers
  // clips made anew for each request, such as those at another speed.
  std::shared_ptr<const TBytes> ShareReply(const std::string& ATag,
                                           std::shared_ptr<const TBytes> AWav)
      QX_EXCLUDES(FRepliesLock);
  TMutex FRepliesLock;
  std::map<std::string, std::weak_ptr<const TBytes>, std::less<>> FReplies
      QX_GUARDED_BY(FRepliesLock);

  // Keys are read rarely and checked on every request once set; without keys no request
  // takes the lock.
  std::atomic<bool> FKeysRequired{false};
  std::atomic<bool> FMetricsRequireKey{false};
  TMutex FKeysLock;
  std::shared_ptr<const std::vector<std::string>> FKeys QX_GUARDED_BY(FKeysLock);

  // Names and page origins admitted; replaced whole when the settings are applied.
  mutable TMutex FOriginLock;
  std::shared_ptr<const TOriginPolicy> FOriginPolicy QX_GUARDED_BY(FOriginLock) =
      std::make_shared<const TOriginPolicy>();

  // Replies in other formats and loudness targets; its budget is set when the server
  // starts.
  TEncodedCache FEncoded;
  TReplyBudget FReplyBudget;
};

}  // namespace quavox
