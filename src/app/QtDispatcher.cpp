#include "app/QtDispatcher.h"

#include <QMetaObject>

namespace quavox {

TQtDispatcher::TQtDispatcher() = default;

void TQtDispatcher::Post(std::function<void()> ACall) {
  QMetaObject::invokeMethod(&FContext, std::move(ACall), Qt::QueuedConnection);
}

}  // namespace quavox
