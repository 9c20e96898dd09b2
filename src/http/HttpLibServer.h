// The HTTP/1.1 transport under TTtsHttpServer, on cpp-httplib: one thread per connection,
// keep-alive, bounded bodies and timeouts, and every request of any method handed to one
// function as a THttpRequest. Only the http layer includes this header.
//
// The connection loop is our own so that Shutdown wakes idle keep-alive connections at
// once instead of waiting out their timeout, and so that a connection whose request body
// was not read is closed rather than misread. Bind, Listen, Shutdown and Reset are called
// by the owner in that order; Listen blocks its own thread until Shutdown.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <string>

#include "http/Http.h"

namespace quavox {

class THttpLibServer final : public httplib::Server {
 public:
  using TServe = std::function<void(const THttpRequest&, THttpResponse&)>;

  THttpLibServer(TServe AServe, const THttpLimits& ALimits);
  ~THttpLibServer() override;

  // Binds and listens; on failure AErrno and AFailure say why.
  bool Bind(const std::string& AHost, int APort, int& AErrno, std::string& AFailure);
  // Accepts connections until Shutdown; runs on a thread of the owner's.
  void Listen();
  void WaitUntilListening();
  bool Listening() const { return is_running(); }
  // Stops accepting and wakes every idle connection; Listen returns once all have ended.
  void Shutdown();
  // Ready for the next Bind after Listen has returned.
  void Reset();

 private:
  bool process_and_close_socket(socket_t ASock) override;
  bool WaitForRequest(socket_t ASock) const;
  void ServeLibraryRequest(const httplib::Request& AReq, httplib::Response& ARes,
                           std::string ABody);

  const TServe FServe;
  const THttpLimits FLimits;
  int FWakeFd = -1;
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FListenDone{false};
};

}  // namespace quavox
