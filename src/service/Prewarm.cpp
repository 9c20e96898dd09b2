#include "service/Prewarm.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "core/Log.h"
#include "core/Text.h"
#include "service/Service.h"

namespace quavox {

namespace {

constexpr auto IdleWait = std::chrono::milliseconds(1000);

// The first 40 characters of a text for log lines, counted as people count them.
std::string Head(const std::string& AText) {
  const std::u16string Wide = Utf8ToUtf16(AText);
  return Wide.size() <= 40 ? AText : Utf16ToUtf8(Wide.substr(0, 40));
}

}  // namespace

TPrewarmWorker::TPrewarmWorker(TTtsService& AService)
    : FService(AService), FThread([this] { Run(); }) {}

TPrewarmWorker::~TPrewarmWorker() {
  {
    TLockGuard Guard(FLock);
    FTerminated = true;
  }
  FEvent.notify_all();
  FThread.join();
}

bool TPrewarmWorker::Push(const std::vector<TTtsRequest>& AReqs, int32_t ALimit,
                          int32_t AClientShare) {
  std::map<std::string, int32_t> Added;
  for (const TTtsRequest& Req : AReqs)
    ++Added[Req.Client];
  {
    TLockGuard Guard(FLock);
    if (FItems.size() + AReqs.size() > static_cast<std::size_t>(std::max(ALimit, 0))) return false;
    for (const auto& [Client, Count] : Added)
      if (AClientShare > 0 && FPerClient[Client] + Count > AClientShare) return false;
    for (const auto& [Client, Count] : Added)
      FPerClient[Client] += Count;
    for (TTtsRequest Copy : AReqs) {
      Copy.Priority = tpNormal;
      FItems.push_back(std::move(Copy));
    }
  }
  FEvent.notify_one();
  return true;
}

int32_t TPrewarmWorker::Pending() const {
  TLockGuard Guard(FLock);
  return static_cast<int32_t>(FItems.size());
}

void TPrewarmWorker::Run() {
  pthread_setname_np(pthread_self(), "Quavox prewarm");
  for (;;) {
    TTtsRequest Req;
    {
      TUniqueLock Lock(FLock);
      if (FItems.empty())
        FEvent.wait_for(Lock.Native(), IdleWait,
                        [this]() QX_REQUIRES(FLock) { return FTerminated || !FItems.empty(); });
      if (FTerminated) return;
      if (FItems.empty()) continue;
      Req = std::move(FItems.front());
      FItems.pop_front();
      if (const auto Held = FPerClient.find(Req.Client); --Held->second == 0)
        FPerClient.erase(Held);
    }
    BakeOne(Req);
  }
}

void TPrewarmWorker::BakeOne(const TTtsRequest& AReq) {
  try {
    // A request naming a voice removed since it was queued fails the check: log, go on.
    if (FService.IsCached(AReq)) return;
    const TTtsResult Result = FService.Synthesize(AReq);
    TAppLog::Info("service", "pre-baked one entry (%.1f s of audio), %d left: %s",
                  Result.DurationMs / 1000.0, Pending(), Head(AReq.Text));
  } catch (const ETtsError& E) {
    TAppLog::Warn("service", "pre-bake failed (%s): %s", E.what(), Head(AReq.Text));
  } catch (const std::exception& E) {
    TAppLog::Error("service", "pre-bake crashed (%s): %s", E.what(), Head(AReq.Text));
  }
}

}  // namespace quavox
