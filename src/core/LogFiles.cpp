#include "core/LogFiles.h"

#include <map>

#include "core/ThreadAnnotations.h"

namespace quavox {
namespace {

TMutex gReopenersLock;
std::map<int, TLogReopener> gReopeners QX_GUARDED_BY(gReopenersLock);
int gNextId QX_GUARDED_BY(gReopenersLock) = 1;

}  // namespace

int AddLogReopener(TLogReopener AReopener) {
  TLockGuard Guard(gReopenersLock);
  gReopeners.emplace(gNextId, std::move(AReopener));
  return gNextId++;
}

void RemoveLogReopener(int AId) {
  TLockGuard Guard(gReopenersLock);
  gReopeners.erase(AId);
}

// Called outside the lock, so that a reopener may log or register.
void ReopenLogFiles() {
  std::map<int, TLogReopener> Reopeners;
  {
    TLockGuard Guard(gReopenersLock);
    Reopeners = gReopeners;
  }
  for (const auto& [Id, Reopen] : Reopeners)
    Reopen();
}

}  // namespace quavox
