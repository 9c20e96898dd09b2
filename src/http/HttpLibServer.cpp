#include "http/HttpLibServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "core/Format.h"
#include "core/Text.h"
#include "core/ThreadAnnotations.h"

namespace quavox {

namespace {

// The kernel's queue of connections not yet accepted; the library's own is very short.
constexpr int ListenBacklog = 1024;
// Bytes read and dropped, at most, before closing a connection whose body was refused,
// so the client sees the error reply instead of a reset.
constexpr std::size_t LingerBytes = 1u << 20;
constexpr int LingerMs = 500;

// Set by a handler on the connection's own thread when the reply must end the connection
// (a body that was refused or cannot be read on that method).
thread_local bool tCloseAfterReply = false;

bool PollFor(int AFd, short AEvents, int ATimeoutMs) {
  pollfd Item{AFd, AEvents, 0};
  for (;;) {
    const int r = ::poll(&Item, 1, ATimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

void AddressText(const sockaddr_storage& AAddr, std::string& AIp, int& APort) {
  char Text[INET6_ADDRSTRLEN] = {};
  if (AAddr.ss_family == AF_INET) {
    const auto& In = reinterpret_cast<const sockaddr_in&>(AAddr);
    inet_ntop(AF_INET, &In.sin_addr, Text, sizeof Text);
    APort = ntohs(In.sin_port);
  } else if (AAddr.ss_family == AF_INET6) {
    const auto& In6 = reinterpret_cast<const sockaddr_in6&>(AAddr);
    inet_ntop(AF_INET6, &In6.sin6_addr, Text, sizeof Text);
    APort = ntohs(In6.sin6_port);
  }
  AIp = Text;
  // A client reaching an IPv6 socket over IPv4 has one budget under its IPv4 address.
  if (StartsWith(AIp, "::ffff:") && AIp.find('.') != std::string::npos) AIp.erase(0, 7);
}

// A buffered, time-limited stream over one connection's socket.
class TSocketStream final : public httplib::Stream {
 public:
  TSocketStream(socket_t ASock, int AReadMs, int AWriteMs)
      : FSock(ASock), FReadMs(AReadMs), FWriteMs(AWriteMs) {
    sockaddr_storage Addr{};
    socklen_t Len = sizeof Addr;
    if (getpeername(ASock, reinterpret_cast<sockaddr*>(&Addr), &Len) == 0)
      AddressText(Addr, FRemoteIp, FRemotePort);
    Len = sizeof Addr;
    if (getsockname(ASock, reinterpret_cast<sockaddr*>(&Addr), &Len) == 0)
      AddressText(Addr, FLocalIp, FLocalPort);
  }

  bool HasBuffered() const { return FOff < FLen; }

  bool is_readable() const override { return HasBuffered() || PollFor(FSock, POLLIN, FReadMs); }
  bool is_writable() const override { return PollFor(FSock, POLLOUT, FWriteMs); }

  ssize_t read(char* APtr, size_t ASize) override {
    if (HasBuffered()) {
      const std::size_t n = std::min(ASize, FLen - FOff);
      std::memcpy(APtr, FBuffer.data() + FOff, n);
      FOff += n;
      return static_cast<ssize_t>(n);
    }
    if (ASize >= FBuffer.size()) return Receive(APtr, ASize);
    const ssize_t n = Receive(FBuffer.data(), FBuffer.size());
    if (n <= 0) return n;
    FOff = 0;
    FLen = static_cast<std::size_t>(n);
    return read(APtr, ASize);
  }

  ssize_t write(const char* APtr, size_t ASize) override {
    for (;;) {
      const ssize_t n = ::send(FSock, APtr, ASize, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!PollFor(FSock, POLLOUT, FWriteMs)) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& AIp, int& APort) const override {
    AIp = FRemoteIp;
    APort = FRemotePort;
  }
  void get_local_ip_and_port(std::string& AIp, int& APort) const override {
    AIp = FLocalIp;
    APort = FLocalPort;
  }
  socket_t socket() const override { return FSock; }

 private:
  ssize_t Receive(char* APtr, std::size_t ASize) {
    for (;;) {
      const ssize_t n = ::recv(FSock, APtr, ASize, MSG_DONTWAIT);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!PollFor(FSock, POLLIN, FReadMs)) return -1;
    }
  }

  const socket_t FSock;
  const int FReadMs;
  const int FWriteMs;
  std::array<char, 16384> FBuffer{};
  std::size_t FOff = 0;
  std::size_t FLen = 0;
  std::string FRemoteIp;
  int FRemotePort = 0;
  std::string FLocalIp;
  int FLocalPort = 0;
};

// One thread per connection, at most ACap at a time; beyond that the accepting thread
// waits for a free slot (new connections wait in the kernel's queue meanwhile). The
// destructor and shutdown join every thread.
class TConnectionThreads final : public httplib::TaskQueue {
 public:
  explicit TConnectionThreads(std::size_t ACap) : FCap(std::max<std::size_t>(ACap, 1)) {}
  ~TConnectionThreads() override { shutdown(); }

  void enqueue(std::function<void()> AFn) override {
    auto Fn = std::make_shared<std::function<void()>>(std::move(AFn));
    std::vector<std::thread> Finished;
    bool Started = false;
    {
      TUniqueLock Lock(FLock);
      FChanged.wait(Lock.Native(), [this]() QX_REQUIRES(FLock) { return FActive < FCap; });
      Finished.swap(FFinished);
      // Created under the lock so the thread cannot look itself up before it is stored.
      try {
        std::thread Worker([this, Fn] {
          try {
            (*Fn)();
          } catch (...) {
          }
          Finish(std::this_thread::get_id());
        });
        const std::thread::id Id = Worker.get_id();
        FThreads.emplace(Id, std::move(Worker));
        ++FActive;
        Started = true;
      } catch (const std::system_error&) {
      }
    }
    for (std::thread& Thread : Finished)
      Thread.join();
    // Without a thread to spare the connection is served here rather than dropped.
    if (!Started) (*Fn)();
  }

  void shutdown() override {
    std::vector<std::thread> Finished;
    {
      TUniqueLock Lock(FLock);
      FChanged.wait(Lock.Native(), [this]() QX_REQUIRES(FLock) { return FActive == 0; });
      Finished.swap(FFinished);
    }
    for (std::thread& Thread : Finished)
      Thread.join();
  }

 private:
  void Finish(std::thread::id AId) {
    {
      TLockGuard Guard(FLock);
      const auto Found = FThreads.find(AId);
      if (Found != FThreads.end()) {
        FFinished.push_back(std::move(Found->second));
        FThreads.erase(Found);
      }
      --FActive;
    }
    FChanged.notify_all();
  }

  const std::size_t FCap;
  TMutex FLock;
  std::condition_variable FChanged;
  std::size_t FActive QX_GUARDED_BY(FLock) = 0;
  std::map<std::thread::id, std::thread> FThreads QX_GUARDED_BY(FLock);
  std::vector<std::thread> FFinished QX_GUARDED_BY(FLock);
};

bool MethodCarriesBody(const std::string& AMethod) {
  return AMethod == "POST" || AMethod == "PUT" || AMethod == "PATCH" || AMethod == "DELETE";
}

// The declared body length; -1 for a chunked body, 0 when none is declared.
int64_t DeclaredBodyLength(const httplib::Request& AReq) {
  if (!AReq.get_header_value("Transfer-Encoding").empty()) return -1;
  int64_t Length = 0;
  if (!TryParseInt64(AReq.get_header_value("Content-Length"), Length) || Length < 0) return 0;
  return Length;
}

void ToLibrary(THttpResponse&& ARes, httplib::Response& AOut) {
  AOut.status = ARes.Status;
  for (const auto& [Name, Value] : ARes.Headers)
    AOut.set_header(Name, Value);
  if (tCloseAfterReply) AOut.set_header("Connection", "close");
  if (ARes.Binary && !ARes.Binary->empty()) {
    std::shared_ptr<const TBytes> Bytes = std::move(ARes.Binary);
    const std::size_t Size = Bytes->size();
    AOut.set_content_provider(
        Size, ARes.ContentType,
        [Bytes](std::size_t AOffset, std::size_t ALength, httplib::DataSink& ASink) {
          return ASink.write(reinterpret_cast<const char*>(Bytes->data()) + AOffset, ALength);
        });
    return;
  }
  if (!ARes.ContentType.empty()) AOut.set_header("Content-Type", ARes.ContentType);
  AOut.body = std::move(ARes.Body);
}

std::string TooLargeMessage(std::size_t AMax) {
  return Format("request body is larger than %d bytes", static_cast<int64_t>(AMax));
}

// Library-made refusals (malformed requests, oversized request lines, byte ranges) in
// the envelope of every other error.
void LibraryError(const httplib::Request& AReq, httplib::Response& ARes, std::size_t AMaxBody) {
  std::string Code;
  std::string Message;
  switch (ARes.status) {
    case 400:
      Code = "bad_request";
      Message = "malformed HTTP request";
      break;
    case 404:
      Code = "not_found";
      Message = "no such path: " + AReq.path;
      break;
    case 413:
      Code = "payload_too_large";
      Message = TooLargeMessage(AMaxBody);
      break;
    case 414:
      Code = "uri_too_long";
      Message = "request line is too long";
      break;
    case 416:
      Code = "range_not_satisfiable";
      Message = "the requested byte range cannot be served";
      break;
    case 500:
      Code = "internal";
      Message = "internal server error";
      break;
    default:
      Code = "http_error";
      Message = Format("HTTP status %d", ARes.status);
      break;
  }
  THttpResponse Reply;
  SendError(Reply, ARes.status, Code, Message);
  ARes.set_header("Content-Type", Reply.ContentType);
  ARes.body = std::move(Reply.Body);
}

void ProbeBind(const std::string& AHost, int APort, int& AErrno, std::string& AFailure) {
  addrinfo Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SOCK_STREAM;
  Hints.ai_flags = AI_PASSIVE;
  addrinfo* List = nullptr;
  const std::string Service = std::to_string(APort);
  if (const int r = getaddrinfo(AHost.c_str(), Service.c_str(), &Hints, &List); r != 0) {
    AErrno = 0;
    AFailure = Format("cannot resolve %s: %s", AHost, gai_strerror(r));
    return;
  }
  AErrno = 0;
  AFailure = "could not listen on the socket";
  for (const addrinfo* Item = List; Item != nullptr; Item = Item->ai_next) {
    const int Sock = ::socket(Item->ai_family, Item->ai_socktype | SOCK_CLOEXEC, Item->ai_protocol);
    if (Sock < 0) {
      AErrno = errno;
      AFailure = Format("could not create a socket: %s", std::strerror(AErrno));
      continue;
    }
    const int Yes = 1;
    setsockopt(Sock, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof Yes);
    if (::bind(Sock, Item->ai_addr, Item->ai_addrlen) != 0) {
      AErrno = errno;
      AFailure = Format("could not bind socket: %s", std::strerror(AErrno));
    }
    ::close(Sock);
    if (AErrno != 0) break;
  }
  freeaddrinfo(List);
}

}  // namespace

THttpLibServer::THttpLibServer(TServe AServe, const THttpLimits& ALimits)
    : FServe(std::move(AServe)), FLimits(ALimits) {
  FWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  new_task_queue = [Cap = FLimits.MaxConnections] { return new TConnectionThreads(Cap); };
  set_keep_alive_timeout(FLimits.KeepAliveSeconds);
  set_keep_alive_max_count(1000000);
  set_read_timeout(FLimits.ReadTimeoutSeconds, 0);
  set_write_timeout(FLimits.WriteTimeoutSeconds, 0);
  set_payload_max_length(FLimits.MaxBodyBytes);
  set_tcp_nodelay(true);
  // Address reuse for a quick restart, but never a shared port: a second server on the
  // same port must fail to bind.
  set_socket_options([](socket_t ASock) {
    const int Yes = 1;
    setsockopt(ASock, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof Yes);
  });

  set_pre_routing_handler([this](const httplib::Request& AReq, httplib::Response& ARes) {
    const int64_t Declared = DeclaredBodyLength(AReq);
    if (Declared > 0 && static_cast<uint64_t>(Declared) > FLimits.MaxBodyBytes) {
      tCloseAfterReply = true;
      THttpResponse Reply;
      SendError(Reply, 413, "payload_too_large", TooLargeMessage(FLimits.MaxBodyBytes));
      ToLibrary(std::move(Reply), ARes);
      return HandlerResponse::Handled;
    }
    if (Declared != 0 && MethodCarriesBody(AReq.method)) return HandlerResponse::Unhandled;
    // A body on a method the library does not read for us cannot be skipped reliably.
    if (Declared != 0) tCloseAfterReply = true;
    ServeLibraryRequest(AReq, ARes, {});
    return HandlerResponse::Handled;
  });

  const HandlerWithContentReader WithBody = [this](const httplib::Request& AReq,
                                                   httplib::Response& ARes,
                                                   const httplib::ContentReader& AReader) {
    std::string Body;
    bool TooLarge = false;
    bool Read = false;
    if (AReq.is_multipart_form_data()) {
      // Form uploads are not part of this API: their body counts as empty.
      std::size_t Seen = 0;
      Read = AReader([](const httplib::MultipartFormData&) { return true; },
                     [&](const char*, std::size_t ALength) {
                       Seen += ALength;
                       TooLarge = Seen > FLimits.MaxBodyBytes;
                       return !TooLarge;
                     });
    } else {
      Read = AReader([&](const char* AData, std::size_t ALength) {
        TooLarge = Body.size() + ALength > FLimits.MaxBodyBytes;
        if (!TooLarge) Body.append(AData, ALength);
        return !TooLarge;
      });
    }
    if (!Read) {
      tCloseAfterReply = true;
      THttpResponse Reply;
      if (TooLarge || ARes.status == 413)
        SendError(Reply, 413, "payload_too_large", TooLargeMessage(FLimits.MaxBodyBytes));
      else
        SendError(Reply, 400, "bad_request", "the request body could not be read");
      ToLibrary(std::move(Reply), ARes);
      return;
    }
    ServeLibraryRequest(AReq, ARes, std::move(Body));
  };
  Post(".*", WithBody);
  Put(".*", WithBody);
  Patch(".*", WithBody);
  Delete(".*", WithBody);

  const HandlerWithResponse OnError = [Max = FLimits.MaxBodyBytes](const httplib::Request& AReq,
                                                                   httplib::Response& ARes) {
    // Replies of our own already carry their JSON body.
    if (!ARes.body.empty() || ARes.content_length_ > 0 || ARes.content_provider_)
      return HandlerResponse::Unhandled;
    // After a request the library could not make sense of, the stream cannot be trusted.
    tCloseAfterReply = true;
    ARes.set_header("Connection", "close");
    LibraryError(AReq, ARes, Max);
    return HandlerResponse::Handled;
  };
  set_error_handler(OnError);
}

THttpLibServer::~THttpLibServer() {
  if (FWakeFd >= 0) ::close(FWakeFd);
}

void THttpLibServer::ServeLibraryRequest(const httplib::Request& AReq, httplib::Response& ARes,
                                         std::string ABody) {
  THttpRequest Req;
  Req.Method = AReq.method;
  Req.Path = AReq.path;
  if (const auto Mark = AReq.target.find('?'); Mark != std::string::npos)
    Req.Query = AReq.target.substr(Mark + 1);
  Req.Peer = AReq.remote_addr;
  Req.Headers.assign(AReq.headers.begin(), AReq.headers.end());
  Req.Body = std::move(ABody);
  // Replies are always whole: the library would otherwise cut a byte range out of a WAV
  // or an error body while keeping our status. It hands its own mutable request out as
  // const, so clearing the parsed ranges is safe.
  const_cast<httplib::Request&>(AReq).ranges.clear();
  THttpResponse Res;
  FServe(Req, Res);
  ToLibrary(std::move(Res), ARes);
}

bool THttpLibServer::Bind(const std::string& AHost, int APort, int& AErrno, std::string& AFailure) {
  FListenDone.store(false);
  AErrno = 0;
  AFailure.clear();
  if (bind_to_port(AHost, APort)) {
    ::listen(svr_sock_.load(), ListenBacklog);
    return true;
  }
  ProbeBind(AHost, APort, AErrno, AFailure);
  return false;
}

void THttpLibServer::Listen() {
  listen_after_bind();
  FListenDone.store(true);
}

void THttpLibServer::WaitUntilListening() {
  while (!is_running() && !FListenDone.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void THttpLibServer::Shutdown() {
  FStopping.store(true);
  const uint64_t One = 1;
  if (FWakeFd >= 0 && ::write(FWakeFd, &One, sizeof One) < 0) {
    // Already signalled: the counter only needs to be non-zero.
  }
  stop();
}

void THttpLibServer::Reset() {
  uint64_t Count = 0;
  if (FWakeFd >= 0 && ::read(FWakeFd, &Count, sizeof Count) < 0) {
    // Nothing was signalled.
  }
  FStopping.store(false);
}

bool THttpLibServer::WaitForRequest(socket_t ASock) const {
  pollfd Items[2] = {{ASock, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
  for (;;) {
    const int r = ::poll(Items, FWakeFd >= 0 ? 2 : 1, FLimits.KeepAliveSeconds * 1000);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    if (FWakeFd >= 0 && (Items[1].revents & POLLIN) != 0) return false;
    return Items[0].revents != 0;
  }
}

bool THttpLibServer::process_and_close_socket(socket_t ASock) {
  bool Result = false;
  bool Linger = false;
  try {
    const int Yes = 1;
    setsockopt(ASock, IPPROTO_TCP, TCP_NODELAY, &Yes, sizeof Yes);
    TSocketStream Stream(ASock, FLimits.ReadTimeoutSeconds * 1000,
                         FLimits.WriteTimeoutSeconds * 1000);
    while (!FStopping.load()) {
      if (!Stream.HasBuffered() && !WaitForRequest(ASock)) break;
      tCloseAfterReply = false;
      bool Closed = false;
      Result = process_request(Stream, FStopping.load(), Closed, nullptr);
      Linger = tCloseAfterReply;
      if (!Result || Closed || tCloseAfterReply) break;
    }
  } catch (...) {
    Result = false;
  }
  if (Linger) {
    // The client may still be sending the body we refused; reading it out for a moment
    // lets the reply arrive instead of a connection reset.
    ::shutdown(ASock, SHUT_WR);
    std::array<char, 16384> Sink{};
    std::size_t Dropped = 0;
    while (Dropped < LingerBytes && PollFor(ASock, POLLIN, LingerMs)) {
      const ssize_t n = ::recv(ASock, Sink.data(), Sink.size(), 0);
      if (n <= 0) break;
      Dropped += static_cast<std::size_t>(n);
    }
  }
  ::shutdown(ASock, SHUT_RDWR);
  ::close(ASock);
  return Result;
}

}  // namespace quavox
