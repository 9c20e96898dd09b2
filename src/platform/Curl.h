// libcurl, the HTTP client of every outgoing request (engine, model downloads, hub, update
// check): the one-time global set-up and owners for its handles. Header-only, so only the
// layers that talk HTTP link libcurl.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace quavox {

// curl_global_init is not thread-safe, so every user goes through this once.
inline void EnsureCurlGlobal() {
  static std::once_flag Once;
  std::call_once(Once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct TCurlDeleter {
  void operator()(CURL* AHandle) const { curl_easy_cleanup(AHandle); }
  void operator()(curl_mime* AMime) const { curl_mime_free(AMime); }
  void operator()(curl_slist* AList) const { curl_slist_free_all(AList); }
};

using TCurlHandle = std::unique_ptr<CURL, TCurlDeleter>;
using TCurlMime = std::unique_ptr<curl_mime, TCurlDeleter>;
using TCurlHeaders = std::unique_ptr<curl_slist, TCurlDeleter>;

}  // namespace quavox
