// How the core reaches "the main thread" without knowing what it is: the desktop program
// posts to the Qt event loop, the daemon and the tests run a plain thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

#include "core/ThreadAnnotations.h"

namespace quavox {

class IMainThreadDispatcher {
 public:
  virtual ~IMainThreadDispatcher() = default;
  // Queues ACall to run later on the main thread, in posting order; never runs it inline.
  virtual void Post(std::function<void()> ACall) = 0;
};

// A main thread of its own: one worker that runs posted calls in order. The destructor
// runs the calls still queued, then joins the worker. Post may be called from any thread.
class TThreadDispatcher final : public IMainThreadDispatcher {
 public:
  TThreadDispatcher();
  ~TThreadDispatcher() override;
  TThreadDispatcher(const TThreadDispatcher&) = delete;
  TThreadDispatcher& operator=(const TThreadDispatcher&) = delete;

  void Post(std::function<void()> ACall) override;
  // Blocks until every call posted before this one has run.
  void Flush();

 private:
  void Run();

  TMutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FCalls QX_GUARDED_BY(FLock);
  bool FStopping QX_GUARDED_BY(FLock) = false;
  std::thread FThread;
};

}  // namespace quavox
