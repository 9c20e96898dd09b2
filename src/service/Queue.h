// All engine work runs on one worker thread, one job at a time, because the inference
// process serves one generation at a time. Callers on any thread submit a job and block
// until it is done, their wait times out, or the queue is torn down. Strict two-level
// priority, a bound on waiting jobs. The destructor joins the worker (after the job it is
// running) and then fails every job still waiting.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
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

class TSynthQueue {
 public:
  TSynthQueue(TEngineGetter AGetEngine, int32_t ALimit);
  ~TSynthQueue();
  TSynthQueue(const TSynthQueue&) = delete;
  TSynthQueue& operator=(const TSynthQueue&) = delete;

  // Runs one job and blocks until it has a result; raises ETtsError (queue full, time-out,
  // no engine, the engine's own failure, or the queue being torn down).
  TPcmBuffer Submit(const TS2Params& AParams, const TVoiceHint& AHint, TTtsPriority APriority,
                    int32_t ATimeoutMs, int32_t& AElapsedMs);
  int32_t Depth() const;
  bool Busy() const;
  // True once teardown has begun: the running job finishes, nothing else is taken.
  bool Stopping() const;
  // The new limit applies to the next Submit.
  void SetLimit(int32_t ALimit) { FLimit.store(ALimit); }
  int32_t Limit() const { return FLimit.load(); }
  // Fails and releases every waiting job.
  void Drain();
  // Refuses every later job and fails the waiting ones: the service is going away.
  void Close();

 private:
  void WorkerLoop();
  TSynthJobPtr TakeNext() QX_REQUIRES(FLock);
  void RunJob(TSynthJob& AJob);

  mutable TMutex FLock;
  std::condition_variable FSignal;
  std::deque<TSynthJobPtr> FHigh QX_GUARDED_BY(FLock);
  std::deque<TSynthJobPtr> FNormal QX_GUARDED_BY(FLock);
  int32_t FDepth QX_GUARDED_BY(FLock) = 0;
  bool FBusy QX_GUARDED_BY(FLock) = false;
  bool FTerminated QX_GUARDED_BY(FLock) = false;
  bool FClosed QX_GUARDED_BY(FLock) = false;
  const TEngineGetter FGetEngine;
  std::atomic<int32_t> FLimit;
  std::thread FWorker;
};

}  // namespace quavox
