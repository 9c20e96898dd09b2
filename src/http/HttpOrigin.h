// Which names the API answers under and which web pages may use it. A page of another
// origin must never change anything (browsers send its simple POSTs without asking
// first), a name that is not this machine's must not reach it through a rebinding DNS
// record, and the origins the operator lists get the CORS headers browsers need to read
// the replies. Pure functions over a policy value, so any thread may use them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quavox {

struct TOriginPolicy {
  // server.allowedHosts, lower-cased; "*" lets every name in.
  std::vector<std::string> Hosts;
  // server.allowedOrigins, lower-cased without a trailing slash; "*" lets every page read
  // the GET paths.
  std::vector<std::string> Origins;
  // This machine's name, lower-cased.
  std::string MachineName;
};

TOriginPolicy MakeOriginPolicy(const std::vector<std::string>& AHosts,
                               const std::vector<std::string>& AOrigins,
                               std::string_view AMachineName);

// The name of a Host header without its port or the brackets of an IPv6 address, lower-cased;
// empty when the header is not a host and port at all.
std::string HostNameOf(std::string_view AHostHeader);
// IP addresses (no DNS record can make a page their origin), names without a dot (localhost,
// intranet names), this machine's name and the listed names.
bool HostAllowed(const TOriginPolicy& APolicy, std::string_view AHostHeader);
// A method that only reads: GET and HEAD.
bool ReadOnlyMethod(std::string_view AMethod);
// The Access-Control-Allow-Origin value for a request of AMethod from AOrigin: the origin
// itself when it is listed, "*" when only the wildcard admits it (read-only methods), or
// empty when the page may not read the reply.
std::string AllowedOrigin(const TOriginPolicy& APolicy, std::string_view AOrigin,
                          std::string_view AMethod);
// True when a request that changes state must be refused: it comes from a page whose
// origin is neither listed nor the service's own, or a browser says it is cross-site and
// no listed origin vouches for it. Clients without an Origin header are never refused.
bool CrossSiteWrite(const TOriginPolicy& APolicy, std::string_view AMethod,
                    std::string_view AOrigin, std::string_view AFetchSite,
                    std::string_view AHostHeader);

// The headers a page may ask to send (besides the simple ones): Content-Type and
// Authorization always, and the requested ones when they are well-formed names.
std::string PreflightAllowHeaders(std::string_view ARequested);
// The reply headers a page may read.
extern const char* const CorsExposedHeaders;

}  // namespace quavox
