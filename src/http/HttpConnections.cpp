#include "http/HttpConnections.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "core/Text.h"
#include "http/HttpMetrics.h"

namespace quavox {

namespace {

// A head longer than this is handed on unfinished: the worker reads the rest under the
// same deadline, and the HTTP library refuses lines that are too long.
constexpr std::size_t MaxBufferedHead = 64u << 10;
// How long a refused connection may take to hang up after its reply, and how many such
// connections are kept meanwhile; beyond that number they are closed without a reply.
constexpr auto RefusalLinger = std::chrono::milliseconds(500);
constexpr std::size_t MaxLingering = 1024;
// A worker without work waits this long for the next request before its thread ends.
constexpr auto WorkerLinger = std::chrono::seconds(2);

TSteadyTime Now() {
  return std::chrono::steady_clock::now();
}

void CloseSocket(int AFd) {
  ::shutdown(AFd, SHUT_RDWR);
  ::close(AFd);
}

}  // namespace

bool HeadComplete(std::string_view ABytes) {
  return ABytes.find("\r\n\r\n") != std::string_view::npos;
}

bool AsksForHealth(std::string_view ABytes) {
  const std::size_t Start = ABytes.find(' ');
  if (Start == std::string_view::npos) return false;
  const std::size_t End = ABytes.find_first_of(" ?\r\n", Start + 1);
  if (End == std::string_view::npos) return false;
  const std::string Path = LowerAscii(ABytes.substr(Start + 1, End - Start - 1));
  return Path == "/health" || Path == "/v1/health";
}

// ---- Client tally ------------------------------------------------------------------------

TAdmission TClientTally::TryOpen(const std::string& APeer, std::size_t AClientLimit,
                                 std::size_t AServerLimit, std::size_t AHealthBand) {
  TLockGuard Guard(FLock);
  if (AServerLimit > 0 && FTotal >= AServerLimit + AHealthBand) return adServerFull;
  const auto Found = FOpen.find(APeer);
  const std::size_t Held = Found == FOpen.end() ? 0 : Found->second;
  if (AClientLimit > 0 && Held >= AClientLimit) return adClientFull;
  ++FOpen[APeer];
  ++FTotal;
  THttpMetrics::ConnectionOpened();
  return AServerLimit > 0 && FTotal > AServerLimit ? adHealthOnly : adOpen;
}

void TClientTally::Close(const std::string& APeer) {
  TLockGuard Guard(FLock);
  const auto Found = FOpen.find(APeer);
  if (Found == FOpen.end()) return;
  THttpMetrics::ConnectionClosed();
  --FTotal;
  if (--Found->second == 0) FOpen.erase(Found);
}

std::size_t TClientTally::Open(const std::string& APeer) const {
  TLockGuard Guard(FLock);
  const auto Found = FOpen.find(APeer);
  return Found == FOpen.end() ? 0 : Found->second;
}

// ---- Waiting room --------------------------------------------------------------------------

TWaitingRoom::TWaitingRoom(const THttpLimits& ALimits, TOnReady AOnReady,
                           std::function<void(const std::string&)> AOnClosed)
    : FLimits(ALimits), FOnReady(std::move(AOnReady)), FOnClosed(std::move(AOnClosed)) {
  FPoll = epoll_create1(EPOLL_CLOEXEC);
  FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FPoll < 0 || FWake < 0) throw std::system_error(errno, std::generic_category(), "epoll");
  epoll_event Event{};
  Event.events = EPOLLIN;
  Event.data.fd = FWake;
  epoll_ctl(FPoll, EPOLL_CTL_ADD, FWake, &Event);
  FThread = std::thread([this] { Run(); });
}

TWaitingRoom::~TWaitingRoom() {
  Stop();
  ::close(FWake);
  ::close(FPoll);
}

void TWaitingRoom::Wait(int AFd, std::string APeer, std::string ABytes, bool AHealthOnly) {
  {
    TLockGuard Guard(FLock);
    if (!FStopped) {
      FArrivals.push_back({AFd, std::move(APeer), std::move(ABytes), false, AHealthOnly});
      const uint64_t One = 1;
      if (::write(FWake, &One, sizeof One) < 0) {
        // The counter is already non-zero: the room wakes anyway.
      }
      return;
    }
  }
  CloseSocket(AFd);
  FOnClosed(APeer);
}

void TWaitingRoom::Refuse(int AFd, std::string APeer, const std::string& AReply) {
  if (::send(AFd, AReply.data(), AReply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    // The client is gone or its buffer is full; the connection closes either way.
  }
  ::shutdown(AFd, SHUT_WR);
  TLockGuard Guard(FLock);
  if (FStopped) {
    ::close(AFd);
    return;
  }
  FArrivals.push_back({AFd, std::move(APeer), {}, true, false});
  const uint64_t One = 1;
  if (::write(FWake, &One, sizeof One) < 0) {
    // As in Wait.
  }
}

void TWaitingRoom::Stop() {
  {
    TLockGuard Guard(FLock);
    if (FStopped) return;
    FStopped = true;
  }
  const uint64_t One = 1;
  if (::write(FWake, &One, sizeof One) < 0) {
    // As in Wait.
  }
  if (FThread.joinable()) FThread.join();
}

void TWaitingRoom::Run() {
  std::array<epoll_event, 256> Events{};
  for (;;) {
    const int n =
        epoll_wait(FPoll, Events.data(), static_cast<int>(Events.size()), NextTimeoutMs());
    for (int i = 0; i < n; ++i) {
      if (Events[static_cast<std::size_t>(i)].data.fd == FWake)
        TakeArrivals();
      else
        OnReadable(Events[static_cast<std::size_t>(i)].data.fd);
    }
    Expire();
    bool Stopped = false;
    {
      TLockGuard Guard(FLock);
      Stopped = FStopped;
    }
    if (Stopped) break;
  }
  TakeArrivals();
  while (!FEntries.empty())
    Close(FEntries.begin()->first);
}

void TWaitingRoom::TakeArrivals() {
  uint64_t Count = 0;
  if (::read(FWake, &Count, sizeof Count) < 0) {
    // Nothing was signalled.
  }
  std::vector<TArrival> Arrivals;
  {
    TLockGuard Guard(FLock);
    Arrivals.swap(FArrivals);
  }
  for (TArrival& Arrival : Arrivals)
    Enter(std::move(Arrival));
}

void TWaitingRoom::Enter(TArrival&& AArrival) {
  const int Fd = AArrival.Fd;
  if (AArrival.Refused && FLingering >= MaxLingering) {
    ::close(Fd);
    return;
  }
  epoll_event Event{};
  Event.events = EPOLLIN | EPOLLRDHUP;
  Event.data.fd = Fd;
  if (epoll_ctl(FPoll, EPOLL_CTL_ADD, Fd, &Event) != 0) {
    ::close(Fd);
    if (!AArrival.Refused) FOnClosed(AArrival.Peer);
    return;
  }
  TEntry& Entry = FEntries[Fd];
  Entry.Peer = std::move(AArrival.Peer);
  Entry.Bytes = std::move(AArrival.Bytes);
  Entry.HealthOnly = AArrival.HealthOnly;
  const TSteadyTime At = Now();
  if (AArrival.Refused) {
    Entry.Phase = EPhase::Closing;
    ++FLingering;
    SetDeadline(Fd, Entry, At + RefusalLinger);
  } else if (Entry.Bytes.empty()) {
    Entry.Phase = EPhase::Idle;
    SetDeadline(Fd, Entry, At + FLimits.KeepAlive);
  } else {
    Entry.Phase = EPhase::Head;
    Entry.HeadDeadline = At + FLimits.HeaderDeadline;
    SetDeadline(Fd, Entry, Entry.HeadDeadline);
    Examine(Fd, Entry);
  }
}

void TWaitingRoom::OnReadable(int AFd) {
  const auto Found = FEntries.find(AFd);
  if (Found == FEntries.end()) return;
  TEntry& Entry = Found->second;
  std::array<char, 16384> Chunk{};
  for (;;) {
    const ssize_t n = ::recv(AFd, Chunk.data(), Chunk.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      Close(AFd);
      return;
    }
    if (Entry.Phase == EPhase::Closing) continue;
    if (Entry.Phase == EPhase::Idle) {
      Entry.Phase = EPhase::Head;
      Entry.HeadDeadline = Now() + FLimits.HeaderDeadline;
      SetDeadline(AFd, Entry, Entry.HeadDeadline);
    }
    Entry.Bytes.append(Chunk.data(), static_cast<std::size_t>(n));
    if (Entry.Bytes.size() >= MaxBufferedHead) break;
  }
  if (Entry.Phase == EPhase::Head) Examine(AFd, Entry);
}

void TWaitingRoom::Examine(int AFd, TEntry& AEntry) {
  if (!HeadComplete(AEntry.Bytes) && AEntry.Bytes.size() < MaxBufferedHead) return;
  epoll_ctl(FPoll, EPOLL_CTL_DEL, AFd, nullptr);
  TReadyConnection Ready;
  Ready.Fd = AFd;
  Ready.Peer = std::move(AEntry.Peer);
  Ready.Bytes = std::move(AEntry.Bytes);
  Ready.HeadDeadline = AEntry.HeadDeadline;
  Ready.Health = AsksForHealth(Ready.Bytes);
  Ready.HealthOnly = AEntry.HealthOnly;
  SetDeadline(AFd, AEntry, {});
  FEntries.erase(AFd);
  FWaiting.store(FEntries.size());
  FOnReady(std::move(Ready));
}

void TWaitingRoom::Expire() {
  const TSteadyTime At = Now();
  while (!FDeadlines.empty() && FDeadlines.begin()->first <= At)
    Close(FDeadlines.begin()->second);
}

void TWaitingRoom::Close(int AFd) {
  const auto Found = FEntries.find(AFd);
  if (Found == FEntries.end()) return;
  SetDeadline(AFd, Found->second, {});
  epoll_ctl(FPoll, EPOLL_CTL_DEL, AFd, nullptr);
  CloseSocket(AFd);
  const bool Counted = Found->second.Phase != EPhase::Closing;
  if (!Counted) --FLingering;
  const std::string Peer = std::move(Found->second.Peer);
  FEntries.erase(Found);
  FWaiting.store(FEntries.size());
  if (Counted) FOnClosed(Peer);
}

// Replaces the entry's place in the deadline order; an empty time only removes it.
void TWaitingRoom::SetDeadline(int AFd, TEntry& AEntry, TSteadyTime ADeadline) {
  if (AEntry.Deadline != TSteadyTime{}) {
    auto [First, Last] = FDeadlines.equal_range(AEntry.Deadline);
    for (auto It = First; It != Last; ++It) {
      if (It->second == AFd) {
        FDeadlines.erase(It);
        break;
      }
    }
  }
  AEntry.Deadline = ADeadline;
  if (ADeadline != TSteadyTime{}) FDeadlines.emplace(ADeadline, AFd);
  FWaiting.store(FEntries.size());
}

int TWaitingRoom::NextTimeoutMs() const {
  if (FDeadlines.empty()) return 1000;
  const auto Left =
      std::chrono::duration_cast<std::chrono::milliseconds>(FDeadlines.begin()->first - Now())
          .count();
  return static_cast<int>(std::clamp<int64_t>(Left + 1, 0, 1000));
}

// ---- Worker pool -------------------------------------------------------------------------

TWorkerPool::TWorkerPool(const THttpLimits& ALimits, TServe AServe,
                         std::function<void(TReadyConnection&&)> AOnDropped)
    : FLimits(ALimits), FServe(std::move(AServe)), FOnDropped(std::move(AOnDropped)) {}

TWorkerPool::~TWorkerPool() {
  Stop();
}

bool TWorkerPool::MayStart(const TReadyConnection& AConn) const {
  const std::size_t Max = std::max<std::size_t>(FLimits.MaxThreads, 1);
  if (AConn.Health) return FBusy < Max + FLimits.HealthThreads;
  if (FBusy + std::min(FLimits.ReserveThreads, Max - 1) < Max) return true;
  if (FBusy >= Max) return false;
  const auto Found = FBusyByPeer.find(AConn.Peer);
  return Found == FBusyByPeer.end() || Found->second < FLimits.ReserveClientThreads;
}

void TWorkerPool::Submit(TReadyConnection&& AConn) {
  std::vector<std::thread> Finished;
  {
    TLockGuard Guard(FLock);
    Finished.swap(FFinished);
    if (!FStopping) {
      if (!MayStart(AConn))
        FPending.push_back(std::move(AConn));
      else
        StartLocked(std::move(AConn));
      AConn.Fd = -1;
    }
  }
  for (std::thread& Thread : Finished)
    Thread.join();
  if (AConn.Fd >= 0) FOnDropped(std::move(AConn));
}

// Counts the connection as served and gives it to an idle worker, or to a new one.
void TWorkerPool::StartLocked(TReadyConnection&& AConn) {
  ++FBusy;
  ++FBusyByPeer[AConn.Peer];
  if (FIdle > 0) {
    --FIdle;
    FHandoff.push_back(std::move(AConn));
    FHandedOver.notify_one();
    return;
  }
  auto Conn = std::make_shared<TReadyConnection>(std::move(AConn));
  try {
    std::thread Worker([this, Conn] { WorkerLoop(std::move(*Conn)); });
    const std::thread::id Id = Worker.get_id();
    FThreads.emplace(Id, std::move(Worker));
  } catch (const std::system_error&) {
    // No thread to be had now: the connection waits for the next worker that finishes.
    Release(Conn->Peer);
    FPending.push_back(std::move(*Conn));
  }
}

void TWorkerPool::WorkerLoop(TReadyConnection AFirst) {
  TReadyConnection Conn = std::move(AFirst);
  for (;;) {
    const std::string Peer = Conn.Peer;
    try {
      FServe(std::move(Conn));
    } catch (...) {
    }
    if (!TakeNext(Conn, Peer)) break;
  }
  TLockGuard Guard(FLock);
  const auto Found = FThreads.find(std::this_thread::get_id());
  if (Found != FThreads.end()) {
    FFinished.push_back(std::move(Found->second));
    FThreads.erase(Found);
  }
  FChanged.notify_all();
}

// The next connection for a worker that finished one: a waiting one whose client may have
// a thread now, else one handed over while the worker idles. FIdle counts idle workers
// that no handed-over connection is meant for yet.
bool TWorkerPool::TakeNext(TReadyConnection& AConn, const std::string& ADonePeer) {
  TUniqueLock Lock(FLock);
  Release(ADonePeer);
  if (FStopping) return false;
  for (auto It = FPending.begin(); It != FPending.end(); ++It) {
    if (!MayStart(*It)) continue;
    AConn = std::move(*It);
    FPending.erase(It);
    ++FBusy;
    ++FBusyByPeer[AConn.Peer];
    return true;
  }
  ++FIdle;
  const auto Deadline = std::chrono::steady_clock::now() + WorkerLinger;
  for (;;) {
    if (!FHandoff.empty()) {
      AConn = std::move(FHandoff.front());
      FHandoff.pop_front();
      return true;
    }
    if (FStopping || FHandedOver.wait_until(Lock.Native(), Deadline) == std::cv_status::timeout) {
      if (!FHandoff.empty()) continue;
      --FIdle;
      return false;
    }
  }
}

void TWorkerPool::Release(const std::string& APeer) {
  --FBusy;
  const auto Found = FBusyByPeer.find(APeer);
  if (Found != FBusyByPeer.end() && --Found->second == 0) FBusyByPeer.erase(Found);
}

std::size_t TWorkerPool::Busy() const {
  TLockGuard Guard(FLock);
  return FBusy;
}

bool TWorkerPool::HasSpareThreads() const {
  const std::size_t Max = std::max<std::size_t>(FLimits.MaxThreads, 1);
  const std::size_t Open = Max - std::min(FLimits.ReserveThreads, Max - 1);
  TLockGuard Guard(FLock);
  return FPending.empty() && 2 * FBusy < Open;
}

void TWorkerPool::Stop() {
  std::deque<TReadyConnection> Dropped;
  std::vector<std::thread> Threads;
  {
    TUniqueLock Lock(FLock);
    FStopping = true;
    Dropped.swap(FPending);
    for (TReadyConnection& Conn : FHandoff) {
      Release(Conn.Peer);
      ++FIdle;
      Dropped.push_back(std::move(Conn));
    }
    FHandoff.clear();
    FHandedOver.notify_all();
    FChanged.wait(Lock.Native(), [this]() QX_REQUIRES(FLock) { return FThreads.empty(); });
    Threads.swap(FFinished);
  }
  for (std::thread& Thread : Threads)
    Thread.join();
  for (TReadyConnection& Conn : Dropped)
    FOnDropped(std::move(Conn));
}

}  // namespace quavox
