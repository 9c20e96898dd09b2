// Serves arbitrary requests in process: method, path, query, header lines and body, split
// at NUL bytes, go through the whole request handling of the HTTP API over a service in a
// private folder whose placeholder engine speaks. Whatever the bytes, every reply must
// carry a valid status, and every JSON reply must be pure ASCII and parse as an object;
// every error reply but the self-test's report (503 when a check fails) must be exactly
// the two-member envelope, or on the OpenAI-compatible paths that API's envelope. Every
// reply gives back its share of the reply memory budget, no audio comes out at a rate past
// the highest (numbers are refused, never wrapped), and the value count that refuses large
// bodies before parsing bounds the document they would become.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Text.h"
#include "http/Http.h"
#include "service/Service.h"
#include "support/TempDir.h"

namespace {

using namespace quavox;

struct TWorld {
  const TTempDir RootDir{"quavox-http-fuzz"};
  const std::string Root = RootDir.Path();
  std::unique_ptr<TAppConfig> Config;
  std::unique_ptr<TTtsService> Service;
  std::unique_ptr<TTtsHttpServer> Server;
  // The same API with keys and the access log on: requests that carry an Authorization
  // header go here.
  std::unique_ptr<TTtsHttpServer> Keyed;

  TWorld() {
    Config = std::make_unique<TAppConfig>(TAppFolders{Root, Root + "appdata/"});
    TConfigSettings s = Config->Settings();
    s.BindAddress = "127.0.0.1";
    s.RateLimitPerMinute = 0;
    s.MaxTextLength = 80;  // keeps every synthesis short
    s.AutoCreateDefaultVoice = true;
    s.ApiKeys = {"fuzz-key"};
    s.AccessLog = "file";
    s.AccessLogMaxMB = 1;
    Config->SetSettings(s);
    Service = std::make_unique<TTtsService>(*Config);
    Server = std::make_unique<TTtsHttpServer>(*Service);
    Keyed = std::make_unique<TTtsHttpServer>(*Service);
    Keyed->ApplyOperationalSettings();
  }
  ~TWorld() {
    Keyed.reset();
    Server.reset();
    Service.reset();
    Config.reset();
  }
};

std::vector<std::string_view> SplitAtNul(std::string_view AText, std::size_t AParts) {
  std::vector<std::string_view> Parts;
  while (Parts.size() + 1 < AParts) {
    const auto Nul = AText.find('\0');
    if (Nul == std::string_view::npos) break;
    Parts.push_back(AText.substr(0, Nul));
    AText.remove_prefix(Nul + 1);
  }
  Parts.push_back(AText);
  Parts.resize(AParts);
  return Parts;
}

std::size_t ValuesIn(const TJsonValue& AValue) {
  std::size_t Count = 1;
  if (AValue.is_structured())
    for (const TJsonValue& Child : AValue)
      Count += ValuesIn(Child);
  return Count;
}

// The count that refuses a body before parsing bounds the document it would become: every
// value but the outermost follows an opening bracket or a comma.
bool ValueCountBoundsTheDocument(std::string_view ABody) {
  if (JsonNestsDeeperThan(ABody, MaxJsonDepth)) return true;
  const auto Parsed = ParseJsonValueObject(ABody);
  if (!Parsed) return true;
  const std::size_t Values = ValuesIn(*Parsed);
  return Values < 2 || JsonHoldsMoreValuesThan(ABody, Values - 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  static TWorld World;
  const auto Parts = SplitAtNul(std::string_view(reinterpret_cast<const char*>(AData), ASize), 5);
  THttpRequest Req;
  Req.Method = std::string(Parts[0]);
  Req.Path = std::string(Parts[1]);
  Req.Query = std::string(Parts[2]);
  Req.Peer = "127.0.0.1";
  std::string_view Lines = Parts[3];
  while (!Lines.empty()) {
    const auto End = Lines.find('\n');
    const std::string_view Line = Lines.substr(0, End);
    const auto Colon = Line.find(':');
    if (Colon != std::string_view::npos)
      Req.Headers.emplace_back(std::string(Line.substr(0, Colon)), Trim(Line.substr(Colon + 1)));
    if (End == std::string_view::npos) break;
    Lines.remove_prefix(End + 1);
  }
  Req.Body = std::string(Parts[4]);

  THttpResponse Res;
  (Req.Header("Authorization").empty() ? World.Server : World.Keyed)->HandleRequest(Req, Res);

  if (Res.Status < 200 || Res.Status > 599) __builtin_trap();
  // Every reply gives back its share of the memory budget, refused or not.
  if (World.Server->ReplyBudget().InUse() != 0 || World.Keyed->ReplyBudget().InUse() != 0)
    __builtin_trap();
  // Numbers are refused, never wrapped: no audio comes out above the highest rate.
  int64_t Rate = 0;
  if (TryParseInt64(Res.Header("X-Quavox-Sample-Rate"), Rate) && (Rate < 0 || Rate > 192000))
    __builtin_trap();
  if (!ValueCountBoundsTheDocument(Req.Body)) __builtin_trap();
  if (StartsWith(Res.ContentType, "application/json")) {
    for (const char c : Res.Body)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
        __builtin_trap();
    const auto Json = ParseJsonObject(Res.Body);
    if (!Json) __builtin_trap();
    const bool SelfTestReport = Json->contains("checks") && Json->contains("report");
    if (Res.Status >= 400 && IsOpenAiPath(LowerAscii(Req.Path))) {
      const TJson* Error = JsonChildObject(&*Json, "error");
      if (Json->size() != 1 || Error == nullptr || Error->size() != 4 ||
          !(*Error)["message"].is_string() || !(*Error)["type"].is_string())
        __builtin_trap();
    } else if (Res.Status >= 400 && !SelfTestReport &&
               (Json->size() != 2 || !Json->contains("error") || !Json->contains("message"))) {
      __builtin_trap();
    }
  } else if (Res.Status >= 400 && Res.ContentType != "text/plain; charset=utf-8") {
    __builtin_trap();  // errors are JSON, except the self-test's plain-text report
  }
  return 0;
}
