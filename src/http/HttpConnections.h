// How the HTTP transport spends its threads. A connection holds a thread only while one of
// its requests is being served: between requests, and while a request head is still
// arriving, it waits in the waiting room, where one thread watches every such connection
// with its deadline. A client that trickles its head in byte by byte therefore costs a
// socket and a few bytes, never a thread, and is closed when its head deadline passes.
//
// Requests whose head is complete go to the worker pool. The pool keeps part of its
// threads for clients that hold few of them, and a few threads beyond its size for the
// health check, so neither a client that holds many threads nor a full house keeps a new
// client or a monitor out. The client tally counts open connections per client address
// and refuses connections beyond the configured number.
//
// Only the http layer includes this header.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/ThreadAnnotations.h"
#include "http/Http.h"

namespace quavox {

using TSteadyTime = std::chrono::steady_clock::time_point;

// A connection whose next request head has arrived (Bytes holds it, and whatever followed
// it), or whose head grew past the size the room buffers.
struct TReadyConnection {
  int Fd = -1;
  std::string Peer;
  std::string Bytes;
  TSteadyTime HeadDeadline;
  bool Health = false;  // the request line asks for /health or /v1/health
  // Admitted beyond the server's connection limit: served only for the health check.
  bool HealthOnly = false;
};

// True when the head (request line and headers) is complete in the bytes.
bool HeadComplete(std::string_view ABytes);
// True when the request line asks for the health check, in any letter case.
bool AsksForHealth(std::string_view ABytes);

enum TAdmission : uint8_t { adOpen, adHealthOnly, adClientFull, adServerFull };

// Open connections per client address and of all clients together.
class TClientTally {
 public:
  // Counts a new connection unless the client already holds AClientLimit or all clients
  // together hold AServerLimit plus AHealthBand (0: no limit). A connection within the band
  // is counted but may only ask for the health check.
  TAdmission TryOpen(const std::string& APeer, std::size_t AClientLimit, std::size_t AServerLimit,
                     std::size_t AHealthBand) QX_EXCLUDES(FLock);
  void Close(const std::string& APeer) QX_EXCLUDES(FLock);
  std::size_t Open(const std::string& APeer) const QX_EXCLUDES(FLock);

 private:
  mutable TMutex FLock;
  std::map<std::string, std::size_t, std::less<>> FOpen QX_GUARDED_BY(FLock);
  std::size_t FTotal QX_GUARDED_BY(FLock) = 0;
};

class TWaitingRoom {
 public:
  using TOnReady = std::function<void(TReadyConnection&&)>;
  // AOnReady runs on the room's thread and must not block; AOnClosed is told the client of
  // every connection the room closes.
  TWaitingRoom(const THttpLimits& ALimits, TOnReady AOnReady,
               std::function<void(const std::string&)> AOnClosed);
  ~TWaitingRoom();
  TWaitingRoom(const TWaitingRoom&) = delete;
  TWaitingRoom& operator=(const TWaitingRoom&) = delete;

  // A connection that waits for its next request; ABytes are bytes of it already read.
  void Wait(int AFd, std::string APeer, std::string ABytes = {}, bool AHealthOnly = false)
      QX_EXCLUDES(FLock);
  // A connection that gets AReply (written at once, as far as the socket takes it) and is
  // closed once the client has closed its side or a moment has passed, so the client reads
  // the reply instead of a reset.
  void Refuse(int AFd, std::string APeer, const std::string& AReply) QX_EXCLUDES(FLock);
  // Closes every waiting connection and ends the room's thread; later connections are
  // closed at once.
  void Stop() QX_EXCLUDES(FLock);
  std::size_t Waiting() const { return FWaiting.load(); }

 private:
  enum class EPhase { Idle, Head, Closing };
  struct TEntry {
    std::string Peer;
    std::string Bytes;
    EPhase Phase = EPhase::Idle;
    TSteadyTime Deadline;
    TSteadyTime HeadDeadline;
    bool HealthOnly = false;
  };
  struct TArrival {
    int Fd;
    std::string Peer;
    std::string Bytes;
    bool Refused;
    bool HealthOnly;
  };

  void Run();
  void TakeArrivals();
  void Enter(TArrival&& AArrival);
  void OnReadable(int AFd);
  void Examine(int AFd, TEntry& AEntry);
  void Expire();
  void Close(int AFd);
  int NextTimeoutMs() const;
  void SetDeadline(int AFd, TEntry& AEntry, TSteadyTime ADeadline);

  const THttpLimits FLimits;
  const TOnReady FOnReady;
  const std::function<void(const std::string&)> FOnClosed;
  int FPoll = -1;
  int FWake = -1;
  std::atomic<std::size_t> FWaiting{0};

  // Owned by the room's thread alone.
  std::map<int, TEntry> FEntries;
  std::multimap<TSteadyTime, int> FDeadlines;
  std::size_t FLingering = 0;  // refused connections in the room

  TMutex FLock;
  std::vector<TArrival> FArrivals QX_GUARDED_BY(FLock);
  bool FStopped QX_GUARDED_BY(FLock) = false;
  std::thread FThread;
};

class TWorkerPool {
 public:
  using TServe = std::function<void(TReadyConnection&&)>;
  // AServe runs on a worker thread; AOnDropped is given connections that Stop found
  // still waiting for a thread.
  TWorkerPool(const THttpLimits& ALimits, TServe AServe,
              std::function<void(TReadyConnection&&)> AOnDropped);
  ~TWorkerPool();
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  // Serves the connection on a thread as soon as its client may have one; never blocks.
  void Submit(TReadyConnection&& AConn) QX_EXCLUDES(FLock);
  // Drops connections still waiting for a thread and waits for every request in service.
  void Stop() QX_EXCLUDES(FLock);
  std::size_t Busy() const QX_EXCLUDES(FLock);
  // No connection waits for a thread and fewer than half the threads open to every client
  // are busy.
  bool HasSpareThreads() const QX_EXCLUDES(FLock);

 private:
  bool MayStart(const TReadyConnection& AConn) const QX_REQUIRES(FLock);
  void StartLocked(TReadyConnection&& AConn) QX_REQUIRES(FLock);
  void WorkerLoop(TReadyConnection AFirst);
  bool TakeNext(TReadyConnection& AConn, const std::string& ADonePeer) QX_EXCLUDES(FLock);
  void Release(const std::string& APeer) QX_REQUIRES(FLock);

  const THttpLimits FLimits;
  const TServe FServe;
  const std::function<void(TReadyConnection&&)> FOnDropped;

  mutable TMutex FLock;
  // Idle workers wait on FHandedOver, one woken per connection handed over: waking them
  // all would have every idle thread fight for FLock on each request. Stop waits on
  // FChanged for the threads to end.
  std::condition_variable FHandedOver;
  std::condition_variable FChanged;
  std::size_t FBusy QX_GUARDED_BY(FLock) = 0;
  std::size_t FIdle QX_GUARDED_BY(FLock) = 0;
  std::map<std::string, std::size_t, std::less<>> FBusyByPeer QX_GUARDED_BY(FLock);
  std::deque<TReadyConnection> FPending QX_GUARDED_BY(FLock);  // waiting for their turn
  std::deque<TReadyConnection> FHandoff QX_GUARDED_BY(FLock);  // counted, for idle workers
  std::map<std::thread::id, std::thread> FThreads QX_GUARDED_BY(FLock);
  std::vector<std::thread> FFinished QX_GUARDED_BY(FLock);
  bool FStopping QX_GUARDED_BY(FLock) = false;
};

}  // namespace quavox
