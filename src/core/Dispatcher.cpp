#include "core/Dispatcher.h"

#include <future>

namespace quavox {

TThreadDispatcher::TThreadDispatcher() : FThread([this] { Run(); }) {}

TThreadDispatcher::~TThreadDispatcher() {
  {
    TLockGuard Guard(FLock);
    FStopping = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TThreadDispatcher::Post(std::function<void()> ACall) {
  {
    TLockGuard Guard(FLock);
    FCalls.push_back(std::move(ACall));
  }
  FWake.notify_one();
}

void TThreadDispatcher::Flush() {
  std::promise<void> Done;
  auto Future = Done.get_future();
  Post([&Done] { Done.set_value(); });
  Future.wait();
}

void TThreadDispatcher::Run() {
  for (;;) {
    std::function<void()> Call;
    {
      TUniqueLock Lock(FLock);
      FWake.wait(Lock.Native(),
                 [this]() QX_REQUIRES(FLock) { return FStopping || !FCalls.empty(); });
      if (FCalls.empty()) return;
      Call = std::move(FCalls.front());
      FCalls.pop_front();
    }
    Call();
  }
}

}  // namespace quavox
