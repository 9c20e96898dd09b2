#include "http/Http.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "core/Format.h"
#include "core/I18n.h"
#include "core/JsonText.h"
#include "core/Log.h"
#include "core/Text.h"
#include "http/HttpLibServer.h"
#include "http/HttpMetrics.h"
#include "http/HttpWire.h"
#include "service/Announcer.h"
#include "service/Service.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "http";
constexpr const char* QueueFullRetrySeconds = "5";
constexpr const char* EngineNotConnectedRetrySeconds = "30";
constexpr std::size_t MaxRequestIdLength = 128;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view AText) {
  for (std::size_t i = 0; i < AText.size();) {
    const std::size_t Length = Utf8SequenceLength(AText, i);
    if (Length == 0) return false;
    i += Length;
  }
  return true;
}

// Preference of an address for the advertised URL: private home and office ranges first.
int AddressClass(const std::string& AAddress) {
  if (StartsWith(AAddress, "192.168.")) return 0;
  if (StartsWith(AAddress, "10.")) return 1;
  if (StartsWith(AAddress, "172.")) {
    int64_t Second = -1;
    const std::string_view Rest = std::string_view(AAddress).substr(4);
    const auto Dot = Rest.find('.');
    if (!TryParseInt64(Rest.substr(0, Dot), Second)) Second = -1;
    return Second >= 16 && Second <= 31 ? 2 : 4;
  }
  return 3;
}

// Passes a streamed reply on and counts its bytes.
class TCountingSink final : public TReplySink {
 public:
  explicit TCountingSink(TReplySink& AInner) : FInner(AInner) {}
  bool Write(std::string_view ABytes) override {
    FBytes += ABytes.size();
    return FInner.Write(ABytes);
  }
  bool ClientGone() override { return FInner.ClientGone(); }
  std::size_t Bytes() const { return FBytes; }

 private:
  TReplySink& FInner;
  std::size_t FBytes = 0;
};

}  // namespace

// ---- Request and response records ------------------------------------------------------

std::string THttpRequest::Header(std::string_view AName) const {
  for (const auto& [Name, Value] : Headers)
    if (SameTextAscii(Name, AName)) return Value;
  return {};
}

bool THttpRequest::HasHeader(std::string_view AName) const {
  return std::any_of(Headers.begin(), Headers.end(),
                     [&](const auto& AHeader) { return SameTextAscii(AHeader.first, AName); });
}

void THttpResponse::SetHeader(std::string_view AName, std::string_view AValue) {
  for (auto& [Name, Value] : Headers) {
    if (SameTextAscii(Name, AName)) {
      Value = AValue;
      return;
    }
  }
  Headers.emplace_back(AName, AValue);
}

std::size_t THttpResponse::BodySize() const {
  if (!Binary) return Body.size();
  const std::size_t Offset = std::min(BinaryOffset, Binary->size());
  return std::min(BinaryLength, Binary->size() - Offset);
}

std::string THttpResponse::Header(std::string_view AName) const {
  for (const auto& [Name, Value] : Headers)
    if (SameTextAscii(Name, AName)) return Value;
  return {};
}

// ---- Shared handler tools ------------------------------------------------------------

std::string JsonWireText(const TJson& AValue) {
  const std::string Text = JsonDumpAscii(AValue);
  // The writer already escapes everything outside ASCII; its short forms of control
  // characters (\n, \t, ...) become \u escapes as well, so every one looks the same.
  std::string Out;
  Out.reserve(Text.size() + 16);
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c != '\\' || i + 1 >= Text.size()) {
      Out += c;
      continue;
    }
    const char Next = Text[++i];
    const char* Code = nullptr;
    switch (Next) {
      case 'b':
        Code = "\\u0008";
        break;
      case 'f':
        Code = "\\u000c";
        break;
      case 'n':
        Code = "\\u000a";
        break;
      case 'r':
        Code = "\\u000d";
        break;
      case 't':
        Code = "\\u0009";
        break;
      default:
        break;
    }
    if (Code != nullptr) {
      Out += Code;
    } else {
      Out += c;
      Out += Next;
    }
  }
  return Out;
}

void SendJson(THttpResponse& ARes, int AStatus, const TJson& AValue) {
  ARes.Status = AStatus;
  ARes.ContentType = "application/json; charset=utf-8";
  ARes.Binary.reset();
  ARes.BinaryFile.reset();
  ARes.Body = JsonWireText(AValue);
}

void SendTaggedJson(const THttpRequest& AReq, THttpResponse& ARes, const TJson& AValue) {
  SendJson(ARes, 200, AValue);
  const std::string Tag = Sha256Hex(ARes.Body).substr(0, 32);
  ARes.SetHeader("ETag", "\"" + Tag + "\"");
  if (!NoneMatchNames(AReq.Header("If-None-Match"), Tag)) return;
  ARes.Status = 304;
  ARes.Body.clear();
}

void SendError(THttpResponse& ARes, int AStatus, std::string_view ACode,
               std::string_view AMessage) {
  TJson Body = TJson::object();
  Body["error"] = std::string(ACode);
  Body["message"] = std::string(AMessage);
  SendJson(ARes, AStatus, Body);
}

void SendTtsError(THttpResponse& ARes, const ETtsError& AError) {
  SendError(ARes, AError.HttpStatus(), ErrorCodeName(AError.Code()), AError.what());
  // Answers that only time cures say when to ask again, so clients back off instead of
  // repeating at once: a queue drains within seconds, an engine start takes longer.
  if (AError.Code() == ecQueueFull) ARes.SetHeader("Retry-After", QueueFullRetrySeconds);
  if (AError.Code() == ecEngineNotConnected)
    ARes.SetHeader("Retry-After", EngineNotConnectedRetrySeconds);
}

std::string ReadBody(const THttpRequest& AReq) {
  if (IsValidUtf8(AReq.Body)) return AReq.Body;
  return Utf16ToUtf8(Utf8ToUtf16(AReq.Body));
}

std::optional<TBodyRefusal> JsonBodyRefusal(std::string_view ABody) {
  if (JsonNestsDeeperThan(ABody, MaxJsonDepth))
    return TBodyRefusal{
        400, "bad_json",
        Format("request body nests deeper than %d levels", static_cast<int64_t>(MaxJsonDepth))};
  if (JsonHoldsMoreValuesThan(ABody, MaxJsonValues))
    return TBodyRefusal{
        413, "payload_too_large",
        Format("request body holds more than %d JSON values", static_cast<int64_t>(MaxJsonValues))};
  return std::nullopt;
}

std::optional<TJsonValue> ReadJsonBody(const THttpRequest& AReq, THttpResponse& ARes) {
  // Replacing invalid UTF-8 never touches a bracket, a comma or a quote, so the shape is
  // that of the raw bytes; and valid bodies, nearly all of them, are parsed without a copy.
  if (const auto Refusal = JsonBodyRefusal(AReq.Body)) {
    SendError(ARes, Refusal->Status, Refusal->Code, Refusal->Message);
    return std::nullopt;
  }
  auto Body = IsValidUtf8(AReq.Body) ? ParseJsonValueObject(AReq.Body)
                                     : ParseJsonValueObject(ReadBody(AReq));
  if (!Body) SendError(ARes, 400, "bad_json", "request body is not valid JSON");
  return Body;
}

std::string UrlDecode(std::string_view AText) {
  std::string Out;
  Out.reserve(AText.size());
  for (std::size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] == '%' && i + 2 < AText.size() && HexValue(AText[i + 1]) >= 0 &&
        HexValue(AText[i + 2]) >= 0) {
      Out += static_cast<char>(HexValue(AText[i + 1]) * 16 + HexValue(AText[i + 2]));
      i += 2;
    } else {
      Out += AText[i];
    }
  }
  return Out;
}

std::string QueryParam(std::string_view AQuery, std::string_view AName, std::string_view ADefault) {
  std::size_t Pos = 0;
  while (Pos <= AQuery.size() && !AQuery.empty()) {
    std::size_t End = AQuery.find('&', Pos);
    if (End == std::string_view::npos) End = AQuery.size();
    const std::string_view Piece = AQuery.substr(Pos, End - Pos);
    const std::size_t Eq = Piece.find('=');
    if (Eq != std::string_view::npos && SameTextAscii(UrlDecode(Piece.substr(0, Eq)), AName)) {
      std::string Value(Piece.substr(Eq + 1));
      std::replace(Value.begin(), Value.end(), '+', ' ');
      return UrlDecode(Value);
    }
    Pos = End + 1;
  }
  return std::string(ADefault);
}

bool Base64Decode(std::string_view AText, TBytes& ABytes) {
  ABytes.clear();
  ABytes.reserve(AText.size() / 4 * 3 + 3);
  int Quad[4] = {0, 0, 0, 0};
  int N = 0;
  int Pad = 0;
  bool Done = false;
  const auto Emit = [&ABytes, &Quad](int ACount) {
    const int b0 = (Quad[0] << 2) | (Quad[1] >> 4);
    const int b1 = ((Quad[1] & 0x0F) << 4) | (Quad[2] >> 2);
    const int b2 = ((Quad[2] & 0x03) << 6) | Quad[3];
    ABytes.push_back(static_cast<uint8_t>(b0));
    if (ACount > 1) ABytes.push_back(static_cast<uint8_t>(b1 & 0xFF));
    if (ACount > 2) ABytes.push_back(static_cast<uint8_t>(b2 & 0xFF));
  };
  for (const char c : AText) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (Done) return false;
    if (c == '=') {
      if (N < 2) return false;
      ++Pad;
      Quad[N++] = 0;
    } else {
      const int v = Base64Value(c);
      if (v < 0 || Pad > 0) return false;
      Quad[N++] = v;
    }
    if (N == 4) {
      Emit(3 - Pad);
      Done = Pad > 0;
      N = 0;
    }
  }
  if (N == 0) return true;
  if (Pad > 0 || N == 1) return false;
  // A final group without its padding.
  for (int k = N; k < 4; ++k)
    Quad[k] = 0;
  Emit(N - 1);
  return true;
}

std::string Base64Encode(std::span<const uint8_t> ABytes) {
  static constexpr char Alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Out;
  Out.reserve((ABytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < ABytes.size(); i += 3) {
    const std::size_t Count = std::min<std::size_t>(3, ABytes.size() - i);
    uint32_t Group = static_cast<uint32_t>(ABytes[i]) << 16;
    if (Count > 1) Group |= static_cast<uint32_t>(ABytes[i + 1]) << 8;
    if (Count > 2) Group |= ABytes[i + 2];
    for (std::size_t k = 0; k < 4; ++k)
      Out += k <= Count ? Alphabet[(Group >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return Out;
}

std::string UnquoteEntityTag(std::string_view AHeader) {
  std::string Tag = Trim(AHeader);
  if (Tag.size() > 1 && Tag.front() == '"' && Tag.back() == '"') {
    const std::string Inner = Tag.substr(1, Tag.size() - 2);
    Tag.clear();
    for (std::size_t i = 0; i < Inner.size(); ++i) {
      Tag += Inner[i];
      if (Inner[i] == '"' && i + 1 < Inner.size() && Inner[i + 1] == '"') ++i;
    }
  }
  return Tag;
}

// ---- Reachable addresses -----------------------------------------------------------------

bool BindsAllInterfaces(std::string_view ABindAddress) {
  return ABindAddress.empty() || ABindAddress == "0.0.0.0" || BindHost(ABindAddress) == "::";
}

std::string BindHost(std::string_view ABindAddress) {
  if (ABindAddress.empty() || ABindAddress == "0.0.0.0") return "0.0.0.0";
  if (ABindAddress.size() > 1 && ABindAddress.front() == '[' && ABindAddress.back() == ']')
    return std::string(ABindAddress.substr(1, ABindAddress.size() - 2));
  return std::string(ABindAddress);
}

std::vector<std::string> RankReachableUrls(std::string_view ABindAddress, int32_t APort,
                                           const std::vector<std::string>& ALocal) {
  if (!BindsAllInterfaces(ABindAddress)) {
    const std::string Host = BindHost(ABindAddress);
    const bool Ipv6 = Host.find(':') != std::string::npos;
    return {Format(Ipv6 ? "http://[%s]:%d" : "http://%s:%d", Host, APort)};
  }
  std::vector<std::string> Addresses;
  for (const std::string& Address : ALocal)
    if (!Address.empty() && !StartsWith(Address, "127.") && !StartsWith(Address, "169.254."))
      Addresses.push_back(Address);
  std::stable_sort(Addresses.begin(), Addresses.end(),
                   [](const std::string& A, const std::string& B) {
                     const int ClassA = AddressClass(A);
                     const int ClassB = AddressClass(B);
                     return ClassA != ClassB ? ClassA < ClassB : A < B;
                   });
  std::vector<std::string> Urls;
  for (const std::string& Address : Addresses)
    Urls.push_back(Format("http://%s:%d", Address, APort));
  if (Urls.empty()) Urls.push_back(Format("http://127.0.0.1:%d", APort));
  return Urls;
}

namespace {

std::size_t OpenFileLimit() {
  rlimit Limit{};
  if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0 || Limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::size_t>(Limit.rlim_cur);
}

}  // namespace

std::size_t ServerConnectionLimit(int32_t AConfigured, std::size_t ADescriptors) {
  if (AConfigured > 0) return static_cast<std::size_t>(AConfigured);
  return ADescriptors / 4 * 3;
}

std::vector<std::string> LocalIPv4Addresses() {
  ifaddrs* List = nullptr;
  if (getifaddrs(&List) != 0) throw std::system_error(errno, std::generic_category(), "getifaddrs");
  std::vector<std::string> Addresses;
  for (const ifaddrs* Item = List; Item != nullptr; Item = Item->ifa_next) {
    if (Item->ifa_addr == nullptr || Item->ifa_addr->sa_family != AF_INET) continue;
    char Text[INET_ADDRSTRLEN] = {};
    const auto* In = reinterpret_cast<const sockaddr_in*>(Item->ifa_addr);
    if (inet_ntop(AF_INET, &In->sin_addr, Text, sizeof Text) != nullptr) Addresses.push_back(Text);
  }
  freeifaddrs(List);
  return Addresses;
}

std::vector<std::string> ReachableUrls(const TConfigSettings& ASettings) {
  std::vector<std::string> Local;
  if (BindsAllInterfaces(ASettings.BindAddress)) {
    try {
      Local = LocalIPv4Addresses();
    } catch (const std::exception& E) {
      TAppLog::Warn(LogSource, "cannot enumerate local addresses (%s); falling back to loopback",
                    E.what());
    }
  }
  return RankReachableUrls(ASettings.BindAddress, ASettings.Port, Local);
}

// ---- The server --------------------------------------------------------------------------

TTtsHttpServer::TTtsHttpServer(TTtsService& AService, TClock AClock, THttpLimits ALimits)
    : FService(AService),
      FConfig(AService.Config()),
      FClock(AClock ? std::move(AClock) : TClock([] { return std::chrono::steady_clock::now(); })),
      FLimits(ALimits),
      FServer(std::make_unique<THttpLibServer>(
          [this](const THttpRequest& AReq, THttpResponse& ARes) { HandleRequest(AReq, ARes); },
          [this](std::string_view APath) { return BodyLimit(APath); }, ALimits)),
      FAnnouncer(std::make_unique<TAnnouncer>(AService)),
      FReplyBudget(static_cast<int64_t>(FConfig.Settings().ReplyMemoryMB) << 20) {}

TTtsHttpServer::~TTtsHttpServer() {
  Stop();
}

void TTtsHttpServer::Start() {
  if (FRunning.load()) return;
  const TConfigSettings Settings = FConfig.Settings();
  const std::string Ip = BindHost(Settings.BindAddress);
  FServer->SetClientConnectionLimit(static_cast<std::size_t>(Settings.MaxConnectionsPerClient));
  FServer->SetServerConnectionLimit(
      ServerConnectionLimit(Settings.MaxConnections, OpenFileLimit()));
  FEncoded.SetBudget(static_cast<std::size_t>(Settings.EncodedCacheMB) << 20);
  ApplyOperationalSettings();
  int Errno = 0;
  std::string Failure;
  if (!FServer->Bind(Ip, Settings.Port, Errno, Failure)) {
    FRunning.store(false);
    TAppLog::Error(LogSource, "failed to start on %s:%d - %s", Ip, Settings.Port, Failure);
    if (Errno == EADDRINUSE) {
      throw std::runtime_error(
          Format(Translate("端口 %d 已经被占用了。"), Settings.Port) + "\r\n" +
          Translate("要么是已经有一个 Quavox 在跑(看一下托盘),") + "\r\n" +
          Translate("要么是别的程序占了这个口 —— 可以在「设置」里换一个端口。"));
    }
    throw std::runtime_error(Failure);
  }
  FListenThread = std::thread([this] { FServer->Listen(); });
  FServer->WaitUntilListening();
  FRunning.store(true);
  TAppLog::Info(LogSource, "service started on %s", Endpoint());
}

void TTtsHttpServer::Stop() {
  if (!FRunning.load()) return;
  try {
    FServer->Shutdown();
  } catch (const std::exception& E) {
    TAppLog::Warn(LogSource, "error while stopping: %s", E.what());
  }
  if (FListenThread.joinable()) FListenThread.join();
  FServer->Reset();
  FRunning.store(false);
  TAppLog::Info(LogSource, "service stopped");
}

bool TTtsHttpServer::Running() const {
  return FRunning.load() && FServer->Listening();
}

std::string TTtsHttpServer::Endpoint() const {
  return ReachableUrls(FConfig.Settings()).front();
}

bool TTtsHttpServer::IsRateLimited(const std::string& APeer) {
  const int32_t Limit = FConfig.Settings().RateLimitPerMinute;
  if (Limit <= 0) return false;
  const auto Now = FClock();
  TLockGuard Guard(FLock);
  const auto Found = FHits.find(APeer);
  if (Found != FHits.end() &&
      std::chrono::duration_cast<std::chrono::seconds>(Now - Found->second.Start) < RateWindow) {
    if (Found->second.Count >= Limit) return true;
    ++Found->second.Count;
    return false;
  }
  FHits[APeer] = THitWindow{Now, 1};
  return false;
}

std::size_t TTtsHttpServer::BodyLimit(std::string_view APath) const {
  const std::string Path = LowerAscii(APath);
  const bool Clone = StartsWith(Path, "/v1/voices/") && EndsWith(Path, "/clone");
  return Clone ? FLimits.MaxBodyBytes : FLimits.MaxJsonBodyBytes;
}

std::size_t TTtsHttpServer::TrackedClients() const {
  TLockGuard Guard(FLock);
  return FHits.size();
}

// ---- Routing -----------------------------------------------------------------------------

const std::vector<TTtsHttpServer::TRoute>& TTtsHttpServer::Routes() {
  static const std::vector<TRoute> Table = {
      {"/v1/health", "/health", false, {}, false, false, &TTtsHttpServer::HandleHealth},
      {"/v1/tts", "", false, {}, false, true, &TTtsHttpServer::HandleTts},
      {"/v1/announce", "", false, {"POST"}, false, true, &TTtsHttpServer::HandleAnnounce},
      {"/v1/prewarm", "", false, {}, false, true, &TTtsHttpServer::HandlePrewarm},
      {"/v1/selftest", "/selftest", false, {}, false, true, &TTtsHttpServer::HandleSelfTest},
      {"/v1/voices",
       "",
       true,
       {"GET", "DELETE", "POST"},
       false,
       true,
       &TTtsHttpServer::HandleVoices},
      {"/v1/airlines", "", false, {"GET", "PUT"}, false, true, &TTtsHttpServer::HandleAirlines},
      {"/v1/defaults", "", false, {"GET", "PUT"}, false, true, &TTtsHttpServer::HandleDefaults},
      {"/v1/stats", "", false, {}, false, true, &TTtsHttpServer::HandleStats},
      {"/v1/log", "", false, {}, false, true, &TTtsHttpServer::HandleLog},
      {"/v1/cache", "", false, {"DELETE"}, true, true, &TTtsHttpServer::HandleCache},
      {"/v1/audio/speech", "", false, {"POST"}, false, true, &TTtsHttpServer::HandleSpeech},
      {"/v1/models", "", true, {"GET"}, false, true, &TTtsHttpServer::HandleModels},
      {"/v1/lexicon", "", false, {"GET", "PUT"}, false, true, &TTtsHttpServer::HandleLexicon},
      {"/v1/normalize", "", false, {"GET", "POST"}, false, true, &TTtsHttpServer::HandleNormalize},
      {"/v1/pack", "", false, {"GET"}, false, true, &TTtsHttpServer::HandlePack},
      {"/metrics", "", false, {"GET"}, false, false, &TTtsHttpServer::HandleMetrics},
  };
  return Table;
}

const TTtsHttpServer::TRoute* TTtsHttpServer::FindRoute(std::string_view ALowerPath) {
  for (const TRoute& Route : Routes()) {
    if (ALowerPath == Route.Path || (!Route.AlsoPath.empty() && ALowerPath == Route.AlsoPath))
      return &Route;
    if (Route.Prefix && ALowerPath.size() > Route.Path.size() &&
        StartsWith(ALowerPath, Route.Path) && ALowerPath[Route.Path.size()] == '/')
      return &Route;
  }
  return nullptr;
}

void TTtsHttpServer::HandleRequest(const THttpRequest& AReq, THttpResponse& ARes) {
  const TDateTime Time = std::chrono::system_clock::now();
  const auto Start = std::chrono::steady_clock::now();
  const std::shared_ptr<const TOriginPolicy> Policy = OriginPolicy();
  ServeRequest(AReq, ARes, *Policy);
  ApplyByteRange(AReq, ARes);
  AddCorsHeaders(AReq, ARes, *Policy);
  ARes.SetHeader("X-Request-Id", RequestId(AReq));
  if (!ARes.Stream) {
    Account(AReq, ARes, ARes.BodySize(), Time, Start);
    return;
  }
  // A reply made while it is sent is accounted once it has gone out, with its bytes.
  THttpRequest Head = AReq;
  Head.Body.clear();
  THttpResponse Facts;
  Facts.Status = ARes.Status;
  Facts.Headers = ARes.Headers;
  ARes.Stream = [Inner = std::move(ARes.Stream), Head = std::move(Head), Facts = std::move(Facts),
                 Time, Start](TReplySink& ASink) {
    TCountingSink Counted(ASink);
    const bool Whole = Inner(Counted);
    Account(Head, Facts, Counted.Bytes(), Time, Start);
    return Whole;
  };
}

std::string RequestId(const THttpRequest& AReq) {
  // A proxy's or client's own id is kept when it is plain visible ASCII of sane length,
  // so one request can be followed through every log.
  const std::string Given = Trim(AReq.Header("X-Request-Id"));
  if (!Given.empty() && Given.size() <= MaxRequestIdLength &&
      std::all_of(Given.begin(), Given.end(), [](char c) { return c > ' ' && c < 0x7F; }))
    return Given;
  static std::atomic<uint64_t> Counter{0};
  static const uint64_t Start =
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  return Format("req_%016x", static_cast<int64_t>(
                                 (Start ^ (Counter.fetch_add(1) * 0x9E3779B97F4A7C15ull)) >> 1));
}

void TTtsHttpServer::ApplyByteRange(const THttpRequest& AReq, THttpResponse& ARes) {
  if (!ARes.Seekable || ARes.Status != 200 || !ARes.Binary ||
      !ReadOnlyMethod(UpperAscii(AReq.Method)))
    return;
  ARes.SetHeader("Accept-Ranges", "bytes");
  const std::string Header = AReq.Header("Range");
  if (Header.empty() || UpperAscii(AReq.Method) != "GET") return;
  // A client resuming a different reply than the one it holds gets the whole new one.
  if (AReq.HasHeader("If-Range") && Trim(AReq.Header("If-Range")) != ARes.Header("ETag")) return;
  const std::size_t Length = ARes.Binary->size();
  TByteRange Range;
  switch (ParseByteRange(Header, Length, Range)) {
    case rvWhole:
      return;
    case rvUnsatisfiable:
      SendError(ARes, 416, "range_not_satisfiable",
                Format("the reply has %d bytes", static_cast<int64_t>(Length)));
      ARes.SetHeader("Content-Range", Format("bytes */%d", static_cast<int64_t>(Length)));
      return;
    case rvPart:
      ARes.Status = 206;
      ARes.BinaryOffset = Range.First;
      ARes.BinaryLength = Range.Last - Range.First + 1;
      ARes.SetHeader("Content-Range",
                     Format("bytes %d-%d/%d", static_cast<int64_t>(Range.First),
                            static_cast<int64_t>(Range.Last), static_cast<int64_t>(Length)));
      return;
  }
}

std::string TTtsHttpServer::AllowedMethods(const TRoute& ARoute) {
  if (ARoute.Methods.empty()) return "GET, HEAD, POST, PUT, DELETE";
  std::string Allow;
  for (const std::string_view Method : ARoute.Methods) {
    Allow += (Allow.empty() ? "" : ", ") + std::string(Method);
    if (Method == "GET") Allow += ", HEAD";
  }
  return Allow;
}

void TTtsHttpServer::ServeRequest(const THttpRequest& AReq, THttpResponse& ARes,
                                  const TOriginPolicy& APolicy) {
  std::string Method;
  std::string Path;
  try {
    Method = UpperAscii(AReq.Method);
    Path = LowerAscii(AReq.Path);
    const TRoute* Route = FindRoute(Path);
    if (!AdmitOrigin(TCall{AReq, ARes, Method, Path}, Route, APolicy)) return;
    if (!Authorized(TCall{AReq, ARes, Method, Path}, Route)) return;
    if ((Route == nullptr || Route->RateLimited) && IsRateLimited(AReq.Peer)) {
      const std::string Message =
          Format("over the limit of %d requests per minute", FConfig.Settings().RateLimitPerMinute);
      if (IsOpenAiPath(Path))
        SendOpenAiError(ARes, 429, Message, "requests", "", "rate_limit_exceeded");
      else
        SendError(ARes, 429, "rate_limited", Message);
      ARes.SetHeader("Retry-After", "60");
      THttpMetrics::CountRefusal("rate_limited");
      return;
    }
    // HEAD is served wherever GET is.
    const std::string_view Served = Method == "HEAD" ? "GET" : std::string_view(Method);
    const bool Allowed =
        Route != nullptr &&
        (Route->Methods.empty() ||
         std::find(Route->Methods.begin(), Route->Methods.end(), Served) != Route->Methods.end());
    if (Route == nullptr || (!Allowed && Route->RefuseWithNotFound)) {
      SendError(ARes, 404, "not_found", "no such path: " + AReq.Path);
      return;
    }
    if (!Allowed) {
      const std::string Message = Method + " is not allowed on this path";
      if (IsOpenAiPath(Path))
        SendOpenAiError(ARes, 405, Message, "invalid_request_error", "", "method_not_allowed");
      else
        SendError(ARes, 405, "method_not_allowed", Message);
      ARes.SetHeader("Allow", AllowedMethods(*Route));
      return;
    }
    const TCall Call{AReq, ARes, Method, Path};
    (this->*Route->Handler)(Call);
  } catch (const std::exception& E) {
    try {
      TAppLog::Error(LogSource, "unhandled exception while serving %s %s: %s", Method, Path,
                     E.what());
      ARes = THttpResponse{};
      SendError(ARes, 500, "internal", E.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      TAppLog::Error(LogSource, "unhandled exception while serving %s %s: %s", Method, Path,
                     "unknown error");
      ARes = THttpResponse{};
      SendError(ARes, 500, "internal", "unknown error");
    } catch (...) {
    }
  }
}

}  // namespace quavox
