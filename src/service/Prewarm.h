// The prewarm ("pre-bake") thread: works through queued announcement lines one after
// another through the ordinary pipeline, so later requests come straight from the cache.
// The destructor asks the thread to stop, waits for the synthesis it is in, and drops the
// requests still waiting.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/ThreadAnnotations.h"
#include "core/Types.h"

namespace quavox {

class TTtsService;

class TPrewarmWorker {
 public:
  explicit TPrewarmWorker(TTtsService& AService);
  ~TPrewarmWorker();
  TPrewarmWorker(const TPrewarmWorker&) = delete;
  TPrewarmWorker& operator=(const TPrewarmWorker&) = delete;

  // Queues every request, or none when the backlog would then hold more than ALimit lines,
  // or their client more than AClientShare (0: no bound); false then.
  bool Push(const std::vector<TTtsRequest>& AReqs, int32_t ALimit, int32_t AClientShare);
  int32_t Pending() const;

 private:
  void Run();
  void BakeOne(const TTtsRequest& AReq);

  TTtsService& FService;
  mutable TMutex FLock;
  std::condition_variable FEvent;
  std::deque<TTtsRequest> FItems QX_GUARDED_BY(FLock);
  // Waiting lines per client.
  std::map<std::string, int32_t> FPerClient QX_GUARDED_BY(FLock);
  bool FTerminated QX_GUARDED_BY(FLock) = false;
  std::thread FThread;
};

}  // namespace quavox
