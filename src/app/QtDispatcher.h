// The desktop's main thread for the core: calls posted from any thread run later in the Qt
// event loop of the thread that created the dispatcher, in posting order. Calls still
// queued when the dispatcher goes are dropped.
#pragma once

#include <QObject>
#include <functional>

#include "core/Dispatcher.h"

namespace quavox {

class TQtDispatcher final : public IMainThreadDispatcher {
 public:
  TQtDispatcher();
  void Post(std::function<void()> ACall) override;

 private:
  // Lives on the creating thread; its queued calls die with it.
  QObject FContext;
};

}  // namespace quavox
