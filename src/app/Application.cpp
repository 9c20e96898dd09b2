#include "app/Application.h"

#include <QMessageBox>
#include <exception>

#include "app/UiText.h"
#include "core/Log.h"

namespace quavox {

TQuavoxApplication::TQuavoxApplication(int& AArgc, char** AArgv) : QApplication(AArgc, AArgv) {
  setApplicationName(QStringLiteral("Quavox"));
  // The window may live in the tray; the program ends when the window really closes.
  setQuitOnLastWindowClosed(false);
}

bool TQuavoxApplication::notify(QObject* AReceiver, QEvent* AEvent) {
  try {
    return QApplication::notify(AReceiver, AEvent);
  } catch (const std::exception& E) {
    TAppLog::Error("app", "%s", E.what());
    QMessageBox::warning(activeWindow(), QStringLiteral("Quavox"), QStr(E.what()));
  }
  return false;
}

}  // namespace quavox
