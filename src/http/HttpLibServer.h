// The HTTP/1.1 transport under TTtsHttpServer, on cpp-httplib: keep-alive, bounded bodies,
// deadlines for request heads, minimum rates for request bodies and replies, a limit of
// connections per client address, and every request of any method handed to one function
// as a THttpRequest. Only the http layer includes this header.
//
// The library parses requests and writes replies; which thread serves which connection
// when is our own (HttpConnections.h): a connection holds a thread only while a request of
// it is served. A connection whose request body was not read is closed rather than
// misread. Bind, Listen, Shutdown and Reset are called by the owner in that order; Listen
// blocks its own thread until Shutdown.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "http/Http.h"
#include "http/HttpConnections.h"

namespace quavox {

class THttpLibServer final : public httplib::Server {
 public:
  using TServe = std::function<void(const THttpRequest&, THttpResponse&)>;
  // The largest body accepted for a path (as sent, still in its letter case).
  using TBodyLimit = std::function<std::size_t(std::string_view APath)>;

  THttpLibServer(TServe AServe, TBodyLimit ABodyLimit, const THttpLimits& ALimits);
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
  // Connections one client address may hold open at once (0: no limit); later ones are
  // answered 503 "too_many_connections" and closed.
  void SetClientConnectionLimit(std::size_t ALimit) { FClientLimit.store(ALimit); }
  // Connections all clients together may hold (0: no limit); beyond it a few more are
  // served for the health check alone, the rest answered 503 and closed at once.
  void SetServerConnectionLimit(std::size_t ALimit) { FServerLimit.store(ALimit); }

 private:
  // Called by the library's accepting loop for every new connection: hands it to the
  // waiting room, or refuses it, without blocking.
  bool process_and_close_socket(socket_t ASock) override;
  void ServeConnection(TReadyConnection&& AConn);
  // Writes the 503 "too_many_connections" of a server without descriptors to spare.
  void RefuseServerFull(int AFd) const;
  std::size_t BodyLimit(std::string_view APath) const;
  void CloseConnection(int AFd, const std::string& APeer, bool ALinger);
  void ServeLibraryRequest(const httplib::Request& AReq, httplib::Response& ARes,
                           std::string ABody);
  // Every request before the library reads its body: refusals of its head and framing,
  // chunked bodies read here (trailers and all), bodiless requests served. Unhandled when
  // the library is to read a declared body.
  HandlerResponse PreRoute(const httplib::Request& AReq, httplib::Response& ARes);
  void ServeChunked(const httplib::Request& AReq, httplib::Response& ARes, std::size_t AMax);
  // Serves a request whose Range header the library refused to parse, as if it had none.
  void ServeIgnoringRange(const httplib::Request& AReq, httplib::Response& ARes);

  const TServe FServe;
  const TBodyLimit FBodyLimit;
  const THttpLimits FLimits;
  std::atomic<std::size_t> FClientLimit;
  std::atomic<std::size_t> FServerLimit;
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FListenDone{false};
  TClientTally FTally;
  // Made by Bind and ended by Listen when it returns.
  std::unique_ptr<TWorkerPool> FWorkers;
  std::unique_ptr<TWaitingRoom> FRoom;
};

}  // namespace quavox
