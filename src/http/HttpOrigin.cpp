#include "http/HttpOrigin.h"

#include <arpa/inet.h>

#include <algorithm>

#include "core/Format.h"
#include "core/Text.h"
#include "http/Http.h"

namespace quavox {

namespace {

std::string OriginKey(std::string_view AOrigin) {
  std::string Key = LowerAscii(Trim(AOrigin));
  while (!Key.empty() && Key.back() == '/')
    Key.pop_back();
  return Key;
}

bool Contains(const std::vector<std::string>& AList, std::string_view AItem) {
  return std::find(AList.begin(), AList.end(), AItem) != AList.end();
}

bool IsIpAddress(const std::string& AName) {
  unsigned char Address[16];
  return inet_pton(AF_INET, AName.c_str(), Address) == 1 ||
         inet_pton(AF_INET6, AName.c_str(), Address) == 1;
}

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

const char* const CorsExposedHeaders =
    "ETag, Content-Range, Accept-Ranges, Retry-After, X-Request-Id, X-Quavox-Result, "
    "X-Quavox-Engine, X-Quavox-Voice, X-Quavox-Sample-Rate, X-Quavox-Duration-Ms, "
    "X-Quavox-Synth-Ms, X-Quavox-Cache, X-Quavox-Spoken, X-Quavox-Spoken-Truncated, "
    "X-Quavox-Segments";

TOriginPolicy MakeOriginPolicy(const std::vector<std::string>& AHosts,
                               const std::vector<std::string>& AOrigins,
                               std::string_view AMachineName) {
  TOriginPolicy Policy;
  for (const std::string& Host : AHosts)
    if (const std::string Name = Host == "*" ? Host : HostNameOf(Host); !Name.empty())
      Policy.Hosts.push_back(Name);
  for (const std::string& Origin : AOrigins)
    if (std::string Key = OriginKey(Origin); !Key.empty()) Policy.Origins.push_back(Key);
  Policy.MachineName = LowerAscii(AMachineName);
  return Policy;
}

std::string HostNameOf(std::string_view AHostHeader) {
  const std::string Header = LowerAscii(Trim(AHostHeader));
  std::string_view Rest = Header;
  std::string Name;
  if (!Rest.empty() && Rest.front() == '[') {
    const auto Close = Rest.find(']');
    if (Close == std::string_view::npos) return {};
    Name = Rest.substr(1, Close - 1);
    Rest.remove_prefix(Close + 1);
  } else {
    const auto Colon = Rest.find(':');
    Name = Rest.substr(0, Colon);
    Rest.remove_prefix(Colon == std::string_view::npos ? Rest.size() : Colon);
  }
  if (!Rest.empty() &&
      (Rest.front() != ':' || Rest.find_first_not_of("0123456789", 1) != std::string_view::npos))
    return {};
  if (!Name.empty() && Name.back() == '.') Name.pop_back();
  return Name;
}

bool HostAllowed(const TOriginPolicy& APolicy, std::string_view AHostHeader) {
  if (Contains(APolicy.Hosts, "*")) return true;
  const std::string Name = HostNameOf(AHostHeader);
  if (Name.empty()) return false;
  // A name without a dot comes from the local network's own resolver, never from a
  // record a foreign page's owner controls.
  if (IsIpAddress(Name) || Name.find('.') == std::string::npos || EndsWith(Name, ".localhost"))
    return true;
  const std::string_view Machine = APolicy.MachineName;
  if (!Machine.empty() && (Name == Machine || Name == Machine.substr(0, Machine.find('.')) ||
                           (StartsWith(Name, Machine) && Name[Machine.size()] == '.')))
    return true;
  return Contains(APolicy.Hosts, Name);
}

bool ReadOnlyMethod(std::string_view AMethod) {
  return AMethod == "GET" || AMethod == "HEAD";
}

std::string AllowedOrigin(const TOriginPolicy& APolicy, std::string_view AOrigin,
                          std::string_view AMethod) {
  const std::string Key = OriginKey(AOrigin);
  if (Key.empty()) return {};
  if (Contains(APolicy.Origins, Key)) return std::string(Trim(AOrigin));
  if (ReadOnlyMethod(AMethod) && Contains(APolicy.Origins, "*")) return "*";
  return {};
}

bool CrossSiteWrite(const TOriginPolicy& APolicy, std::string_view AMethod,
                    std::string_view AOrigin, std::string_view AFetchSite,
                    std::string_view AHostHeader) {
  if (ReadOnlyMethod(AMethod)) return false;
  const std::string Key = OriginKey(AOrigin);
  if (Contains(APolicy.Origins, Key) && !Key.empty()) return false;
  const std::string Host = LowerAscii(Trim(AHostHeader));
  const bool OwnOrigin = !Host.empty() && (Key == "http://" + Host || Key == "https://" + Host);
  if (!Trim(AOrigin).empty() && !OwnOrigin) return true;
  return SameTextAscii(Trim(AFetchSite), "cross-site");
}

std::string PreflightAllowHeaders(std::string_view ARequested) {
  std::string Allowed = "Content-Type, Authorization";
  std::size_t Pos = 0;
  while (Pos <= ARequested.size()) {
    const auto Comma = std::min(ARequested.find(',', Pos), ARequested.size());
    const std::string Name = Trim(ARequested.substr(Pos, Comma - Pos));
    Pos = Comma + 1;
    if (Name.empty() || !std::all_of(Name.begin(), Name.end(), IsTokenChar)) continue;
    if (SameTextAscii(Name, "content-type") || SameTextAscii(Name, "authorization")) continue;
    Allowed += ", " + Name;
  }
  return Allowed;
}

// ---- The server's use of the policy ------------------------------------------------------

namespace {

constexpr const char* PreflightMaxAgeSeconds = "600";

// In the OpenAI API's shape on its paths, in the service's own elsewhere.
void SendRefusal(THttpResponse& ARes, std::string_view ALowerPath, int AStatus,
                 std::string_view ACode, const std::string& AMessage) {
  if (IsOpenAiPath(ALowerPath))
    SendOpenAiError(ARes, AStatus, AMessage, "invalid_request_error", "", ACode);
  else
    SendError(ARes, AStatus, ACode, AMessage);
}

}  // namespace

std::shared_ptr<const TOriginPolicy> TTtsHttpServer::OriginPolicy() const {
  TLockGuard Guard(FOriginLock);
  return FOriginPolicy;
}

bool TTtsHttpServer::AdmitOrigin(const TCall& ACall, const TRoute* ARoute,
                                 const TOriginPolicy& APolicy) {
  const THttpRequest& Req = ACall.Req;
  const std::string Host = Req.Header("Host");
  // Only a browser can be steered to this address by a rebinding name, and browsers say
  // where a request comes from; an announcement host or a script addressing the service by
  // its DNS name is answered as before.
  const bool FromBrowser = Req.HasHeader("Origin") || Req.HasHeader("Sec-Fetch-Site");
  if (FromBrowser && Req.HasHeader("Host") && !HostAllowed(APolicy, Host)) {
    SendRefusal(ACall.Res, ACall.Path, 421, "host_not_allowed",
                "this service does not answer under the name \"" + Host +
                    "\"; list it in server.allowedHosts");
    return false;
  }
  const std::string Origin = Req.Header("Origin");
  const std::string Requested = UpperAscii(Trim(Req.Header("Access-Control-Request-Method")));
  if (ACall.Method == "OPTIONS" && !Origin.empty() && !Requested.empty() && ARoute != nullptr) {
    const std::string Allowed = AllowedOrigin(APolicy, Origin, Requested);
    if (Allowed.empty()) {
      SendRefusal(ACall.Res, ACall.Path, 403, "origin_not_allowed",
                  "pages of " + Origin + " may not send " + Requested + " requests here");
      return false;
    }
    ACall.Res.Status = 204;
    ACall.Res.SetHeader("Access-Control-Allow-Origin", Allowed);
    ACall.Res.SetHeader("Access-Control-Allow-Methods", AllowedMethods(*ARoute));
    ACall.Res.SetHeader("Access-Control-Allow-Headers",
                        PreflightAllowHeaders(Req.Header("Access-Control-Request-Headers")));
    ACall.Res.SetHeader("Access-Control-Max-Age", PreflightMaxAgeSeconds);
    if (Allowed != "*") ACall.Res.SetHeader("Vary", "Origin");
    return false;
  }
  if (CrossSiteWrite(APolicy, ACall.Method, Origin, Req.Header("Sec-Fetch-Site"), Host)) {
    SendRefusal(ACall.Res, ACall.Path, 403, "origin_not_allowed",
                Origin.empty() ? "changes are not accepted from another site's page"
                               : "changes are not accepted from pages of " + Origin +
                                     "; list it in server.allowedOrigins");
    return false;
  }
  return true;
}

void TTtsHttpServer::AddCorsHeaders(const THttpRequest& AReq, THttpResponse& ARes,
                                    const TOriginPolicy& APolicy) {
  const std::string Origin = AReq.Header("Origin");
  if (Origin.empty() || !ARes.Header("Access-Control-Allow-Origin").empty()) return;
  const std::string Allowed = AllowedOrigin(APolicy, Origin, UpperAscii(AReq.Method));
  if (Allowed.empty()) return;
  ARes.SetHeader("Access-Control-Allow-Origin", Allowed);
  ARes.SetHeader("Access-Control-Expose-Headers", CorsExposedHeaders);
  if (Allowed != "*") ARes.SetHeader("Vary", "Origin");
}

}  // namespace quavox
