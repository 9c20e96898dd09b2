// The desktop program's application object: a handler that leaves an exception raised by
// a command unanswered shows its message in a box and the window stays usable.
#pragma once

#include <QApplication>

namespace quavox {

class TQuavoxApplication final : public QApplication {
  Q_OBJECT

 public:
  TQuavoxApplication(int& AArgc, char** AArgv);
  bool notify(QObject* AReceiver, QEvent* AEvent) override;
};

}  // namespace quavox
