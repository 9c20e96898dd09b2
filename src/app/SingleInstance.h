// One desktop program per user. The first start listens on a local socket named after the
// user; a later start connects, asks it to show its window and ends at once. A socket left
// behind by a crashed first start answers nobody and is replaced.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace quavox {

class TSingleInstance final : public QObject {
  Q_OBJECT

 public:
  // "Quavox_SingleInstance-<uid>".
  static QString ServerName();
  // True when a running first instance took the request to show its window.
  static bool AskRunningInstanceToShow(int ATimeoutMs);

  // Starts listening; false when the socket cannot be created (the program then runs
  // without the single-instance guard).
  bool Listen();

 signals:
  void ShowRequested();

 private:
  void OnConnection();

  QLocalServer FServer;
};

}  // namespace quavox
