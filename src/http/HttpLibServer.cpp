#include "http/HttpLibServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

#include "core/Format.h"
#include "core/Text.h"
#include "core/ThreadAnnotations.h"
#include "http/AccessLog.h"
#include "http/HttpMetrics.h"
#include "http/HttpWire.h"
#include "platform/Files.h"

namespace quavox {

namespace {

// The kernel's queue of connections not yet accepted; the library's own is very short.
constexpr int ListenBacklog = 1024;
// Bytes read and dropped, at most, before closing a connection whose body was refused,
// so the client sees the error reply instead of a reset.
constexpr std::size_t LingerBytes = 1u << 20;
constexpr int LingerMs = 500;
// How long a worker waits for a keep-alive client's next request before the connection goes
// back to the waiting room: a client that asks again soon is served on the same thread,
// without the room's wake-up and the handover to a worker. While the pool has threads to
// spare the wait is longer, so a client reading a large reply is still waited for.
constexpr int NextRequestWaitMs = 1;
constexpr int NextRequestSpareWaitMs = 20;
// A refused body up to this size is read out before the refusal is sent, so a client that
// sends it whole before reading sees the reply instead of a reset.
constexpr std::size_t DiscardBytes = 16u << 20;

// Set by a handler on the connection's own thread when the reply must end the connection
// (a body that was refused or cannot be read on that method).
thread_local bool tCloseAfterReply = false;
// Set while the reply being written is audio whose byte ranges are served.
thread_local bool tSeekable = false;
// Retry-After of the refusal of a connection beyond the per-client limit.
constexpr const char* TooManyConnectionsRetrySeconds = "10";
// Parts of a form body read, at most, before it is refused: the library keeps each part's
// headers while it reads it.
constexpr std::size_t MaxFormParts = 64;

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

std::string PeerAddress(int AFd) {
  sockaddr_storage Addr{};
  socklen_t Len = sizeof Addr;
  std::string Ip;
  int Port = 0;
  if (getpeername(AFd, reinterpret_cast<sockaddr*>(&Addr), &Len) == 0) AddressText(Addr, Ip, Port);
  return Ip;
}

// What SendFile answers when the file's system does not support sendfile.
constexpr ssize_t FileCannotBeSent = -2;

// sendfile cannot be told to leave SIGPIPE out, as send can; on the threads that call it a
// client gone mid-reply gives EPIPE alone.
bool BlockBrokenPipeSignal() {
  sigset_t Set;
  sigemptyset(&Set);
  sigaddset(&Set, SIGPIPE);
  return pthread_sigmask(SIG_BLOCK, &Set, nullptr) == 0;
}

int64_t MsUntil(TSteadyTime ADeadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline -
                                                               std::chrono::steady_clock::now())
      .count();
}

// The time that AStart plus a grace plus ABytes at a minimum rate gives; without a rate,
// only the grace after the last progress counts.
TSteadyTime RateDeadline(TSteadyTime AStart, std::chrono::milliseconds AGrace, std::size_t ABytes,
                         std::size_t ABytesPerSecond) {
  if (ABytesPerSecond == 0) return TSteadyTime::max();
  const auto Earned = std::chrono::milliseconds(static_cast<int64_t>(
      static_cast<double>(ABytes) * 1000.0 / static_cast<double>(ABytesPerSecond)));
  return AStart + AGrace + Earned;
}

// A buffered stream over one connection's socket whose every wait is bounded: while a head
// is read by its head deadline, while a body is read by its minimum rate, and while a
// reply is written by the minimum reply rate; each also by the plain read or write
// time-out of a single wait.
class TSocketStream final : public httplib::Stream {
 public:
  TSocketStream(socket_t ASock, const THttpLimits& ALimits, std::string ABytes,
                TSteadyTime AHeadDeadline)
      : FSock(ASock), FLimits(ALimits), FBuffer(std::move(ABytes)) {
    BeginRequest(AHeadDeadline);
    sockaddr_storage Addr{};
    socklen_t Len = sizeof Addr;
    if (getpeername(ASock, reinterpret_cast<sockaddr*>(&Addr), &Len) == 0)
      AddressText(Addr, FRemoteIp, FRemotePort);
    Len = sizeof Addr;
    if (getsockname(ASock, reinterpret_cast<sockaddr*>(&Addr), &Len) == 0)
      AddressText(Addr, FLocalIp, FLocalPort);
  }

  bool HasBuffered() const { return FOff < FBuffer.size(); }
  // True when the head of the next request arrived within AWaitMs; what did arrive stays
  // buffered either way.
  bool AwaitHead(int AWaitMs) {
    if (HeadComplete(Buffered())) return true;
    if (!PollFor(FSock, POLLIN, AWaitMs)) return false;
    std::array<char, 16384> Chunk{};
    const ssize_t n = ::recv(FSock, Chunk.data(), Chunk.size(), MSG_DONTWAIT);
    if (n <= 0) return false;
    FBuffer.erase(0, FOff);
    FOff = 0;
    FBuffer.append(Chunk.data(), static_cast<std::size_t>(n));
    return HeadComplete(Buffered());
  }
  std::string_view Buffered() const { return std::string_view(FBuffer).substr(FOff); }
  std::string TakeBuffered() { return FBuffer.substr(FOff); }

  void BeginRequest(TSteadyTime AHeadDeadline) {
    FFile.reset();
    FHeadDeadline = AHeadDeadline;
    FInBody = false;
    FTimedOut = false;
    FWriting = false;
  }
  void BeginBody() {
    FInBody = true;
    FBodyStart = std::chrono::steady_clock::now();
    FBodyBytes = 0;
  }
  // A reply made while it is sent pauses while each part is made; the minimum reply rate
  // counts from each part's first byte.
  void RestartWriteClock() { FWriting = false; }
  // The client closed its side or reset the connection.
  bool PeerGone() const {
    pollfd Item{FSock, POLLRDHUP, 0};
    return ::poll(&Item, 1, 0) > 0 && (Item.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }
  // The body stopped because it came in below the minimum rate, or paused too long.
  bool TimedOut() const { return FTimedOut; }
  // A reply was not read fast enough.
  bool WriteTimedOut() const { return FWriteTimedOut; }

  bool is_readable() const override {
    if (HasBuffered() || PollFor(FSock, POLLIN, ReadWaitMs())) return true;
    FTimedOut = FInBody;
    return false;
  }
  // Every write waits for room itself, bounded by the reply's rate; asking first would
  // cost a poll per block of every reply.
  bool is_writable() const override { return !FWriteTimedOut; }

  ssize_t read(char* APtr, size_t ASize) override {
    if (!HasBuffered()) {
      FBuffer.clear();
      FOff = 0;
      std::array<char, 16384> Chunk{};
      const ssize_t n = Receive(Chunk.data(), Chunk.size());
      if (n <= 0) return n;
      FBuffer.assign(Chunk.data(), static_cast<std::size_t>(n));
    }
    const std::size_t n = std::min(ASize, FBuffer.size() - FOff);
    std::memcpy(APtr, FBuffer.data() + FOff, n);
    FOff += n;
    if (FInBody) FBodyBytes += n;
    return static_cast<ssize_t>(n);
  }

  // The next write, the head of a reply, is kept and goes out with the first bytes of its
  // body in one send: one call and one segment instead of two.
  void HoldHead() { FHoldHead = true; }
  // Writes of the reply's bytes from ABytes on go out from AFile, which holds the same
  // bytes, without copying them into the socket.
  void SendFromFile(std::shared_ptr<const TOpenFile> AFile, const char* ABytes, std::size_t ASize) {
    FFile = std::move(AFile);
    FFileBytes = reinterpret_cast<std::uintptr_t>(ABytes);
    FFileSize = ASize;
  }

  ssize_t write(const char* APtr, size_t ASize) override {
    if (!FWriting) {
      FWriting = true;
      FWriteStart = std::chrono::steady_clock::now();
      FWritten = 0;
    }
    if (FHoldHead) {
      FHoldHead = false;
      FHeld.assign(APtr, ASize);
      return static_cast<ssize_t>(ASize);
    }
    if (InFile(APtr, ASize)) {
      // The head goes first, held back by the kernel until the body's bytes join it.
      if (!SendHeld(MSG_MORE)) return -1;
      const ssize_t n = SendFile(reinterpret_cast<std::uintptr_t>(APtr) - FFileBytes, ASize);
      if (n != FileCannotBeSent) return n;
      // A file system that cannot hand its pages to a socket: the same bytes are in memory.
      FFile.reset();
    }
    while (!FHeld.empty()) {
      const std::size_t HeldLeft = FHeld.size();
      std::array<iovec, 2> Parts{iovec{FHeld.data(), HeldLeft},
                                 iovec{const_cast<char*>(APtr), ASize}};
      const ssize_t n = Send(Parts.data(), Parts.size());
      if (n < 0) return -1;
      const auto Sent = static_cast<std::size_t>(n);
      FHeld.erase(0, std::min(Sent, HeldLeft));
      if (Sent > HeldLeft) return static_cast<ssize_t>(Sent - HeldLeft);
    }
    iovec Part{const_cast<char*>(APtr), ASize};
    return Send(&Part, 1);
  }

  // Ends the reply: sends a head still held, when no body followed it, and lets go of the
  // file the body came from.
  bool FinishReply() {
    FFile.reset();
    FHoldHead = false;
    return SendHeld(0);
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
  // Some bytes of AParts, waiting for room under the reply's deadline.
  ssize_t Send(iovec* AParts, std::size_t ACount, int AFlags = 0) {
    msghdr Message{};
    Message.msg_iov = AParts;
    Message.msg_iovlen = ACount;
    for (;;) {
      const ssize_t n = ::sendmsg(FSock, &Message, MSG_NOSIGNAL | MSG_DONTWAIT | AFlags);
      if (n >= 0) {
        FWritten += static_cast<std::size_t>(n);
        return n;
      }
      if (errno == EINTR) continue;
      if (!AwaitRoom()) return -1;
    }
  }

  // Some of ACount bytes of the file from AOffset on, waiting for room the same way.
  ssize_t SendFile(std::uintptr_t AOffset, std::size_t ACount) {
    static thread_local const bool PipeSignalBlocked = BlockBrokenPipeSignal();
    if (!PipeSignalBlocked) return -1;
    for (;;) {
      auto Offset = static_cast<off_t>(AOffset);
      const ssize_t n = ::sendfile(FSock, FFile->Fd(), &Offset, ACount);
      if (n > 0) {
        FWritten += static_cast<std::size_t>(n);
        return n;
      }
      // The file never ends early: it holds the reply's bytes, so an end here is a fault.
      if (n == 0) return -1;
      if (errno == EINTR) continue;
      if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return FileCannotBeSent;
      if (!AwaitRoom()) return -1;
    }
  }

  // After a write that failed: waits for room in the socket when it is only full, under
  // the reply's deadline.
  bool AwaitRoom() {
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const int Wait = WriteWaitMs();
    if (Wait > 0 && PollFor(FSock, POLLOUT, Wait)) return true;
    FWriteTimedOut = true;
    return false;
  }

  bool SendHeld(int AFlags) {
    while (!FHeld.empty()) {
      iovec Part{FHeld.data(), FHeld.size()};
      const ssize_t n = Send(&Part, 1, AFlags);
      if (n < 0) {
        FHeld.clear();
        return false;
      }
      FHeld.erase(0, static_cast<std::size_t>(n));
    }
    return true;
  }

  bool InFile(const char* APtr, std::size_t ASize) const {
    const auto Start = reinterpret_cast<std::uintptr_t>(APtr);
    return FFile && Start >= FFileBytes && ASize <= FFileSize &&
           Start - FFileBytes <= FFileSize - ASize;
  }

  ssize_t Receive(char* APtr, std::size_t ASize) {
    for (;;) {
      const ssize_t n = ::recv(FSock, APtr, ASize, MSG_DONTWAIT);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      const int Wait = ReadWaitMs();
      if (Wait <= 0 || !PollFor(FSock, POLLIN, Wait)) {
        FTimedOut = FInBody;
        return -1;
      }
    }
  }

  // The longest the next wait for bytes may take; 0 once the deadline has passed.
  int ReadWaitMs() const {
    const TSteadyTime Deadline = FInBody ? RateDeadline(FBodyStart, FLimits.ReadTimeout, FBodyBytes,
                                                        FLimits.MinBodyBytesPerSecond)
                                         : FHeadDeadline;
    const int64_t Left = std::min<int64_t>(MsUntil(Deadline), FLimits.ReadTimeout.count());
    return static_cast<int>(std::max<int64_t>(Left, 0));
  }

  int WriteWaitMs() const {
    const TSteadyTime Deadline =
        RateDeadline(FWriteStart, FLimits.WriteTimeout, FWritten, FLimits.MinReplyBytesPerSecond);
    const int64_t Left = std::min<int64_t>(MsUntil(Deadline), FLimits.WriteTimeout.count());
    return static_cast<int>(std::max<int64_t>(Left, 0));
  }

  const socket_t FSock;
  const THttpLimits& FLimits;
  std::string FBuffer;
  std::size_t FOff = 0;
  TSteadyTime FHeadDeadline;
  bool FInBody = false;
  mutable bool FTimedOut = false;
  mutable bool FWriteTimedOut = false;
  TSteadyTime FBodyStart;
  std::size_t FBodyBytes = 0;
  bool FWriting = false;
  TSteadyTime FWriteStart;
  std::size_t FWritten = 0;
  bool FHoldHead = false;
  std::string FHeld;  // a reply's head, sent with its body
  // The file the reply's bytes at FFileBytes are sent from, while that reply is written.
  std::shared_ptr<const TOpenFile> FFile;
  std::uintptr_t FFileBytes = 0;
  std::size_t FFileSize = 0;
  std::string FRemoteIp;
  int FRemotePort = 0;
  std::string FLocalIp;
  int FLocalPort = 0;
};

// The stream of the request that this thread serves, for the library's handlers.
thread_local TSocketStream* tStream = nullptr;

// Runs each task at once on the library's accepting thread: the task only hands the new
// connection on (process_and_close_socket), so accepting never waits for a thread.
class TInlineQueue final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> AFn) override { AFn(); }
  void shutdown() override {}
};

std::string TooManyConnectionsReply(const std::string& AMessage) {
  THttpResponse Reply;
  SendError(Reply, 503, "too_many_connections", AMessage);
  return Format(
             "HTTP/1.1 503 Service Unavailable\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
             "Retry-After: %s\r\nConnection: close\r\n\r\n",
             Reply.ContentType, static_cast<int64_t>(Reply.Body.size()),
             TooManyConnectionsRetrySeconds) +
         Reply.Body;
}

bool MethodCarriesBody(const std::string& AMethod) {
  return AMethod == "POST" || AMethod == "PUT" || AMethod == "PATCH" || AMethod == "DELETE";
}

// True when the framing headers do not say one body length beyond doubt (RFC 9112 6.3):
// a length that is not plain digits or overflows, two different lengths, a length beside
// a transfer coding, or a coding other than chunked.
bool AmbiguousBodyFraming(const httplib::Request& AReq) {
  const bool Coded = AReq.has_header("Transfer-Encoding");
  if (Coded && (AReq.has_header("Content-Length") ||
                AReq.get_header_value("Transfer-Encoding") != "chunked" ||
                AReq.get_header_value_count("Transfer-Encoding") != 1))
    return true;
  std::string First;
  const auto [Begin, End] = AReq.headers.equal_range("Content-Length");
  for (auto It = Begin; It != End; ++It) {
    int64_t Length = 0;
    const std::string& Value = It->second;
    if (Value.empty() || Value.find_first_not_of("0123456789") != std::string::npos ||
        !TryParseInt64(Value, Length))
      return true;
    if (It != Begin && Value != First) return true;
    First = Value;
  }
  return false;
}

// The declared body length; -1 for a chunked body, 0 when none is declared.
int64_t DeclaredBodyLength(const httplib::Request& AReq) {
  if (!AReq.get_header_value("Transfer-Encoding").empty()) return -1;
  int64_t Length = 0;
  if (!TryParseInt64(AReq.get_header_value("Content-Length"), Length) || Length < 0) return 0;
  return Length;
}

// The connection of the request this thread serves, for a reply made while it is sent.
class TChunkSink final : public TReplySink {
 public:
  explicit TChunkSink(httplib::DataSink& ASink) : FSink(ASink) {}
  bool Write(std::string_view ABytes) override {
    // An empty chunk would end the reply.
    if (ABytes.empty()) return true;
    if (tStream != nullptr) tStream->RestartWriteClock();
    return FSink.write(ABytes.data(), ABytes.size());
  }
  bool ClientGone() override { return tStream != nullptr && tStream->PeerGone(); }

 private:
  httplib::DataSink& FSink;
};

void ToLibrary(THttpResponse&& ARes, httplib::Response& AOut) {
  if (tStream != nullptr) tStream->HoldHead();
  AOut.status = ARes.Status;
  for (const auto& [Name, Value] : ARes.Headers)
    AOut.set_header(Name, Value);
  if (tCloseAfterReply) AOut.set_header("Connection", "close");
  tSeekable = ARes.Seekable;
  if (ARes.Stream) {
    AOut.set_chunked_content_provider(
        ARes.ContentType, [Stream = std::move(ARes.Stream)](std::size_t, httplib::DataSink& ASink) {
          TChunkSink Sink(ASink);
          if (!Stream(Sink)) return false;
          ASink.done();
          return true;
        });
    return;
  }
  if (const std::size_t Size = ARes.BodySize(); ARes.Binary && Size > 0) {
    // A byte range is sent from the shared reply itself, or from the file holding it.
    const char* Start = reinterpret_cast<const char*>(ARes.Binary->data()) + ARes.BinaryOffset;
    if (ARes.BinaryFile && tStream != nullptr)
      tStream->SendFromFile(std::move(ARes.BinaryFile),
                            reinterpret_cast<const char*>(ARes.Binary->data()),
                            ARes.Binary->size());
    AOut.set_content_provider(
        Size, ARes.ContentType,
        [Bytes = std::move(ARes.Binary), Start](std::size_t AOffset, std::size_t ALength,
                                                httplib::DataSink& ASink) {
          return ASink.write(Start + AOffset, ALength);
        });
    return;
  }
  if (!ARes.ContentType.empty()) AOut.set_header("Content-Type", ARes.ContentType);
  AOut.body = std::move(ARes.Body);
}

std::string TooLargeMessage(std::size_t AMax) {
  return Format("request body is larger than %d bytes", static_cast<int64_t>(AMax));
}

// A request the transport answers itself: counted by reason and given its access log line.
void RecordRefusal(const httplib::Request& AReq, int AStatus, std::string_view AReason) {
  THttpMetrics::CountRefusal(AReason);
  TAccessRecord Record;
  Record.Time = std::chrono::system_clock::now();
  Record.Peer = AReq.remote_addr;
  Record.Method = AReq.method;
  Record.Path = AReq.path;
  Record.Status = AStatus;
  TAccessLog::Instance().Write(Record);
}

void RefuseBeforeBody(const httplib::Request& AReq, httplib::Response& ARes, int AStatus,
                      const std::string& ACode, const std::string& AMessage) {
  tCloseAfterReply = true;
  THttpResponse Reply;
  SendError(Reply, AStatus, ACode, AMessage);
  RecordRefusal(AReq, AStatus, ACode);
  ToLibrary(std::move(Reply), ARes);
}

// A body that could not be read whole: too large, too slow or malformed.
void RefuseUnreadBody(const httplib::Request& AReq, httplib::Response& ARes, bool ATooLarge,
                      std::size_t AMax) {
  tCloseAfterReply = true;
  THttpResponse Reply;
  if (ATooLarge) {
    SendError(Reply, 413, "payload_too_large", TooLargeMessage(AMax));
    RecordRefusal(AReq, 413, "payload_too_large");
  } else if (tStream != nullptr && tStream->TimedOut()) {
    SendError(Reply, 408, "request_timeout", "the request body arrived too slowly");
    RecordRefusal(AReq, 408, "request_timeout");
  } else {
    SendError(Reply, 400, "bad_request", "the request body could not be read");
    RecordRefusal(AReq, 400, "bad_request");
  }
  ToLibrary(std::move(Reply), ARes);
}

// Reads ALength bytes of body from the request's stream, into ABody unless it is null.
bool ReadStreamBody(std::size_t ALength, std::string* ABody) {
  std::array<char, 16384> Block{};
  while (ALength > 0 && tStream != nullptr) {
    const ssize_t n = tStream->read(Block.data(), std::min(ALength, Block.size()));
    if (n <= 0) return false;
    if (ABody != nullptr) ABody->append(Block.data(), static_cast<std::size_t>(n));
    ALength -= static_cast<std::size_t>(n);
  }
  return ALength == 0;
}

// The date of a reply, as HTTP writes it (IMF-fixdate), whatever the process's locale.
std::string HttpDate(std::chrono::system_clock::time_point ATime) {
  static constexpr const char* Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t Seconds = std::chrono::system_clock::to_time_t(ATime);
  std::tm Utc{};
  gmtime_r(&Seconds, &Utc);
  char Text[40];
  std::snprintf(Text, sizeof Text, "%s, %02d %s %04d %02d:%02d:%02d GMT", Days[Utc.tm_wday % 7],
                Utc.tm_mday, Months[Utc.tm_mon % 12], Utc.tm_year + 1900, Utc.tm_hour, Utc.tm_min,
                Utc.tm_sec);
  return Text;
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
  RecordRefusal(AReq, ARes.status, Code);
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

THttpLibServer::THttpLibServer(TServe AServe, TBodyLimit ABodyLimit, const THttpLimits& ALimits)
    : FServe(std::move(AServe)),
      FBodyLimit(std::move(ABodyLimit)),
      FLimits(ALimits),
      FClientLimit(ALimits.MaxConnectionsPerClient),
      FServerLimit(ALimits.MaxConnections) {
  new_task_queue = [] { return new TInlineQueue; };
  set_payload_max_length(FLimits.MaxBodyBytes);
  set_tcp_nodelay(true);
  // Address reuse for a quick restart, but never a shared port: a second server on the
  // same port must fail to bind.
  set_socket_options([](socket_t ASock) {
    const int Yes = 1;
    setsockopt(ASock, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof Yes);
  });

  set_pre_routing_handler([this](const httplib::Request& AReq, httplib::Response& ARes) {
    if (tStream != nullptr) tStream->BeginBody();
    return PreRoute(AReq, ARes);
  });
  // A body too large is refused before the client sends it.
  set_expect_100_continue_handler([this](const httplib::Request& AReq, httplib::Response& ARes) {
    const std::size_t Max = BodyLimit(AReq.path);
    const int64_t Declared = DeclaredBodyLength(AReq);
    if (AmbiguousBodyFraming(AReq) || Declared <= 0 || static_cast<uint64_t>(Declared) <= Max)
      return 100;
    RefuseBeforeBody(AReq, ARes, 413, "payload_too_large", TooLargeMessage(Max));
    return 413;
  });
  set_post_routing_handler([](const httplib::Request&, httplib::Response& ARes) {
    // The library offers ranges on every HEAD reply; only audio replies serve them.
    if (!tSeekable) ARes.headers.erase("Accept-Ranges");
    if (!ARes.has_header("Date"))
      ARes.set_header("Date", HttpDate(std::chrono::system_clock::now()));
  });

  const HandlerWithContentReader WithBody = [this](const httplib::Request& AReq,
                                                   httplib::Response& ARes,
                                                   const httplib::ContentReader& AReader) {
    const std::size_t Max = BodyLimit(AReq.path);
    std::string Body;
    bool TooLarge = false;
    bool Read = false;
    if (AReq.is_multipart_form_data()) {
      // Form uploads are not part of this API: their body counts as empty, and a form of
      // countless tiny parts is cut short like one too large.
      std::size_t Seen = 0;
      std::size_t Parts = 0;
      Read = AReader(
          [&](const httplib::MultipartFormData&) {
            TooLarge = ++Parts > MaxFormParts;
            return !TooLarge;
          },
          [&](const char*, std::size_t ALength) {
            Seen += ALength;
            TooLarge = Seen > Max;
            return !TooLarge;
          });
    } else {
      Read = AReader([&](const char* AData, std::size_t ALength) {
        TooLarge = Body.size() + ALength > Max;
        if (!TooLarge) Body.append(AData, ALength);
        return !TooLarge;
      });
    }
    if (!Read) {
      RefuseUnreadBody(AReq, ARes, TooLarge || ARes.status == 413, Max);
      return;
    }
    ServeLibraryRequest(AReq, ARes, std::move(Body));
  };
  Post(".*", WithBody);
  Put(".*", WithBody);
  Patch(".*", WithBody);
  Delete(".*", WithBody);

  const HandlerWithResponse OnError = [this](const httplib::Request& AReq,
                                             httplib::Response& ARes) {
    // Replies of our own already carry their JSON body.
    if (!ARes.body.empty() || ARes.content_length_ > 0 || ARes.content_provider_)
      return HandlerResponse::Unhandled;
    // The library refuses a Range header it cannot parse; such a header is ignored instead.
    if (ARes.status == 416 && AReq.has_header("Range")) {
      ServeIgnoringRange(AReq, ARes);
      return HandlerResponse::Handled;
    }
    // After a request the library could not make sense of, the stream cannot be trusted.
    tCloseAfterReply = true;
    ARes.set_header("Connection", "close");
    LibraryError(AReq, ARes, BodyLimit(AReq.path));
    return HandlerResponse::Handled;
  };
  set_error_handler(OnError);
}

THttpLibServer::~THttpLibServer() {
  FRoom.reset();
  FWorkers.reset();
}

std::size_t THttpLibServer::BodyLimit(std::string_view APath) const {
  return std::min(FBodyLimit ? FBodyLimit(APath) : FLimits.MaxBodyBytes, FLimits.MaxBodyBytes);
}

httplib::Server::HandlerResponse THttpLibServer::PreRoute(const httplib::Request& AReq,
                                                          httplib::Response& ARes) {
  if (AReq.version == "HTTP/1.1" && !AReq.has_header("Host")) {
    RefuseBeforeBody(AReq, ARes, 400, "bad_request",
                     "an HTTP/1.1 request must carry a Host header");
    return HandlerResponse::Handled;
  }
  // The body is left unread, so the connection closes: its bytes never become a request.
  if (AmbiguousBodyFraming(AReq)) {
    RefuseBeforeBody(AReq, ARes, 400, "bad_request", "the request body's length is ambiguous");
    return HandlerResponse::Handled;
  }
  const std::size_t Max = BodyLimit(AReq.path);
  const int64_t Declared = DeclaredBodyLength(AReq);
  if (Declared > 0 && static_cast<uint64_t>(Declared) > Max) {
    if (static_cast<uint64_t>(Declared) <= DiscardBytes)
      ReadStreamBody(static_cast<std::size_t>(Declared), nullptr);
    RefuseBeforeBody(AReq, ARes, 413, "payload_too_large", TooLargeMessage(Max));
    return HandlerResponse::Handled;
  }
  if (Declared < 0 && tStream != nullptr) {
    ServeChunked(AReq, ARes, Max);
    return HandlerResponse::Handled;
  }
  if (Declared != 0 && MethodCarriesBody(AReq.method)) return HandlerResponse::Unhandled;
  // A body on a method the library does not read for us cannot be skipped reliably.
  if (Declared != 0) tCloseAfterReply = true;
  ServeLibraryRequest(AReq, ARes, {});
  return HandlerResponse::Handled;
}

void THttpLibServer::ServeChunked(const httplib::Request& AReq, httplib::Response& ARes,
                                  std::size_t AMax) {
  std::string Body;
  const TChunkedResult Result = ReadChunkedBody(
      [](char* APtr, std::size_t ASize) { return static_cast<long>(tStream->read(APtr, ASize)); },
      AMax, Body);
  if (Result == crDone)
    ServeLibraryRequest(AReq, ARes, std::move(Body));
  else
    RefuseUnreadBody(AReq, ARes, Result == crTooLarge, AMax);
}

void THttpLibServer::ServeIgnoringRange(const httplib::Request& AReq, httplib::Response& ARes) {
  const_cast<httplib::Request&>(AReq).ranges.clear();
  if (tStream != nullptr) tStream->BeginBody();
  if (PreRoute(AReq, ARes) == HandlerResponse::Handled) return;
  // A body the library would have read: its length is declared and within the limit.
  std::string Body;
  if (ReadStreamBody(static_cast<std::size_t>(DeclaredBodyLength(AReq)), &Body))
    ServeLibraryRequest(AReq, ARes, std::move(Body));
  else
    RefuseUnreadBody(AReq, ARes, false, BodyLimit(AReq.path));
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
    FWorkers = std::make_unique<TWorkerPool>(
        FLimits, [this](TReadyConnection&& AConn) { ServeConnection(std::move(AConn)); },
        [this](TReadyConnection&& AConn) { CloseConnection(AConn.Fd, AConn.Peer, false); });
    FRoom = std::make_unique<TWaitingRoom>(
        FLimits, [this](TReadyConnection&& AConn) { FWorkers->Submit(std::move(AConn)); },
        [this](const std::string& APeer) { FTally.Close(APeer); });
    return true;
  }
  ProbeBind(AHost, APort, AErrno, AFailure);
  return false;
}

void THttpLibServer::Listen() {
  listen_after_bind();
  // Waiting connections first, so that none is handed to a worker any more; then the
  // requests in service finish.
  FRoom->Stop();
  FWorkers->Stop();
  FRoom.reset();
  FWorkers.reset();
  // The accept loop closed the listening socket itself; its number must not be closed again.
  svr_sock_.store(INVALID_SOCKET);
  FListenDone.store(true);
}

void THttpLibServer::WaitUntilListening() {
  while (!is_running() && !FListenDone.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void THttpLibServer::Shutdown() {
  FStopping.store(true);
  // Ends the accept loop without the library's stop(): that marks the listening socket
  // gone, and the library then abandons every reply body still being written, after its
  // status line and Content-Length were sent.
  ::shutdown(svr_sock_.load(), SHUT_RDWR);
}

void THttpLibServer::Reset() {
  FStopping.store(false);
}

bool THttpLibServer::process_and_close_socket(socket_t ASock) {
  std::string Peer = PeerAddress(ASock);
  const std::size_t Limit = FClientLimit.load();
  if (FStopping.load()) {
    ::close(ASock);
    return false;
  }
  const TAdmission Admission =
      FTally.TryOpen(Peer, Limit, FServerLimit.load(), FLimits.HealthConnections);
  if (Admission == adClientFull) {
    THttpMetrics::CountRefusal("too_many_connections");
    FRoom->Refuse(
        ASock, std::move(Peer),
        TooManyConnectionsReply(Format("more than %d connections at once from one address",
                                       static_cast<int64_t>(Limit))));
    return false;
  }
  if (Admission == adServerFull) {
    // Closed at once rather than lingering: the descriptors are what is short.
    RefuseServerFull(ASock);
    ::close(ASock);
    return false;
  }
  const int Yes = 1;
  setsockopt(ASock, IPPROTO_TCP, TCP_NODELAY, &Yes, sizeof Yes);
  // Every wait on the socket is our own, bounded one; a reply sent from a file must not
  // block in the kernel beyond it.
  ::fcntl(ASock, F_SETFL, ::fcntl(ASock, F_GETFL) | O_NONBLOCK);
  FRoom->Wait(ASock, std::move(Peer), {}, Admission == adHealthOnly);
  return true;
}

void THttpLibServer::RefuseServerFull(int AFd) const {
  THttpMetrics::CountRefusal("too_many_connections");
  const std::string Reply = TooManyConnectionsReply(
      Format("the server holds as many connections as it can (%d); try again shortly",
             static_cast<int64_t>(FServerLimit.load())));
  if (::send(AFd, Reply.data(), Reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    // The client is gone or its buffer is full; the connection closes either way.
  }
}

void THttpLibServer::ServeConnection(TReadyConnection&& AConn) {
  if (AConn.HealthOnly && !AConn.Health) {
    RefuseServerFull(AConn.Fd);
    CloseConnection(AConn.Fd, AConn.Peer, true);
    return;
  }
  TSocketStream Stream(AConn.Fd, FLimits, std::move(AConn.Bytes), AConn.HeadDeadline);
  bool KeepOpen = false;
  bool Linger = false;
  tStream = &Stream;
  try {
    for (;;) {
      tCloseAfterReply = false;
      tSeekable = false;
      bool Closed = false;
      const bool Answered = process_request(Stream, FStopping.load(), Closed, nullptr);
      const bool Sent = Stream.FinishReply();
      Linger = tCloseAfterReply;
      if (!Answered || !Sent || Closed || tCloseAfterReply || FStopping.load()) break;
      // A further request that came with this one, or soon after it, is served at once;
      // anything less waits in the room, without a thread.
      const int WaitMs = FWorkers->HasSpareThreads() ? NextRequestSpareWaitMs : NextRequestWaitMs;
      if (!Stream.AwaitHead(WaitMs)) {
        KeepOpen = true;
        break;
      }
      Stream.BeginRequest(std::chrono::steady_clock::now() + FLimits.HeaderDeadline);
    }
  } catch (...) {
    KeepOpen = false;
  }
  tStream = nullptr;
  if (KeepOpen && !AConn.HealthOnly) {
    FRoom->Wait(AConn.Fd, std::move(AConn.Peer), Stream.TakeBuffered());
    return;
  }
  if (Stream.WriteTimedOut()) {
    // A reset, not a closing handshake behind the unread rest of the reply: the client
    // would otherwise keep the socket's buffered megabytes coming at its own pace.
    const linger Abort{1, 0};
    setsockopt(AConn.Fd, SOL_SOCKET, SO_LINGER, &Abort, sizeof Abort);
    ::close(AConn.Fd);
    FTally.Close(AConn.Peer);
    return;
  }
  CloseConnection(AConn.Fd, AConn.Peer, Linger);
}

void THttpLibServer::CloseConnection(int AFd, const std::string& APeer, bool ALinger) {
  if (ALinger) {
    // The client may still be sending the body we refused; reading it out for a moment
    // lets the reply arrive instead of a connection reset.
    ::shutdown(AFd, SHUT_WR);
    std::array<char, 16384> Sink{};
    std::size_t Dropped = 0;
    while (Dropped < LingerBytes && PollFor(AFd, POLLIN, LingerMs)) {
      const ssize_t n = ::recv(AFd, Sink.data(), Sink.size(), 0);
      if (n <= 0) break;
      Dropped += static_cast<std::size_t>(n);
    }
  }
  ::shutdown(AFd, SHUT_RDWR);
  ::close(AFd);
  FTally.Close(APeer);
}

}  // namespace quavox
