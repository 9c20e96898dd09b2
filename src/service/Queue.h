// All engine work runs on one worker thread, one job at a time, because the inference
// process serves one generation at a time. Callers on any thread submit a job and block
// until it is done, their wait times out, or the queue is torn down. Strict two-level
// priority, a bound on waiting jobs. Within a priority the worker takes the clients (the
// addresses requests came from) in turn, and one client may hold only its share of the
// waiting places, so a client sending many lines at once cannot starve the others; the
// last places are kept for high-priority jobs. The destructor joins the worker (after the
// job it is running) and then fails every job still waiting.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "core/ThreadAnnotations.h"
#include "core/Types.h"
#include "engine/Engine.h"

namespace quavox {

using TEngineGetter = std::function<IQuavoxEnginePtr()>;

// One engine job, shared by the submitter and the queue; whichever lets go last frees it.
struct TSynthJob {
  TS2Params Params;
  TVoiceHint Hint;
  TTtsPriority Priority = tpNormal;
  std::string Client;
  TPcmBuffer Pcm;
  bool Failed = false;
  TTtsErrorCode ErrorCode = ecNone;
  std::string ErrorText;
  int32_t ElapsedMs = 0;

  void SignalDone();
  bool WaitDone(int32_t ATimeoutMs);

 private:
  TMutex FDoneLock;
  std::condition_variable FDoneSignal;
  bool FDone QX_GUARDED_BY(FDoneLock) = false;
};

using TSynthJobPtr = std::shared_ptr<TSynthJob>;

// How the waiting places are shared out. 0 turns either bound off.
struct TQueueShares {
  // Waiting jobs one client may hold at once.
  int32_t ClientShare = 0;
  // Places that only high-priority jobs may take: normal jobs fill at most the limit less
  // these. At most half of the limit, so normal jobs always keep room.
  int32_t HighReserve = 0;
};

// The jobs of one priority, first come first served per client, clients taken in turn.
class TClientLine {
 public:
  bool Empty() const { return FTurns.empty(); }
  int32_t Size() const { return FSize; }
  void Push(TSynthJobPtr AJob);
  // The oldest job of the client whose turn it is; that client's next turn comes after
  // every other waiting client's.
  TSynthJobPtr Pop();

 private:
  std::map<std::string, std::deque<TSynthJobPtr>> FJobs;
  std::deque<std::string> FTurns;
  int32_t FSize = 0;
};

class TSynthQueue {
 public:
  TSynthQueue(TEngineGetter AGetEngine, int32_t ALimit, TQueueShares AShares = {});
  ~TSynthQueue();
  TSynthQueue(const TSynthQueue&) = delete;
  TSynthQueue& operator=(const TSynthQueue&) = delete;

  // Runs one job and blocks until it has a result; raises ETtsError (queue full, the
  // client's share taken, time-out, no engine, the engine's own failure, or the queue being
  // torn down). AClient names who asked (an address; empty for the program itself).
  TPcmBuffer Submit(const TS2Params& AParams, const TVoiceHint& AHint, TTtsPriority APriority,
                    int32_t ATimeoutMs, int32_t& AElapsedMs, const std::string& AClient = {});
  int32_t Depth() const;
  bool Busy() const;
  // True once teardown has begun: the running job finishes, nothing else is taken.
  bool Stopping() const;
  // The new limit applies to the next Submit.
  void SetLimit(int32_t ALimit) { FLimit.store(ALimit); }
  int32_t Limit() const { return FLimit.load(); }
  void SetShares(TQueueShares AShares) QX_EXCLUDES(FLock);
  // Fails and releases every waiting job.
  void Drain();
  // Refuses every later job and fails the waiting ones: the service is going away.
  void Close();

 private:
  void WorkerLoop();
  TSynthJobPtr TakeNext() QX_REQUIRES(FLock);
  void Enqueue(const TSynthJobPtr& AJob) QX_REQUIRES(FLock);
  void RunJob(TSynthJob& AJob);

  mutable TMutex FLock;
  std::condition_variable FSignal;
  TClientLine FHigh QX_GUARDED_BY(FLock);
  TClientLine FNormal QX_GUARDED_BY(FLock);
  int32_t FDepth QX_GUARDED_BY(FLock) = 0;
  // Waiting jobs per client, both lines together.
  std::map<std::string, int32_t> FWaiting QX_GUARDED_BY(FLock);
  TQueueShares FShares QX_GUARDED_BY(FLock);
  bool FBusy QX_GUARDED_BY(FLock) = false;
  bool FTerminated QX_GUARDED_BY(FLock) = false;
  bool FClosed QX_GUARDED_BY(FLock) = false;
  const TEngineGetter FGetEngine;
  std::atomic<int32_t> FLimit;
  std::thread FWorker;
};

}  // namespace quavox
