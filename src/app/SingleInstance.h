// One desktop program per user. The first start takes a lock file and then listens on a local
// socket named after the user; a later start finds the lock taken, asks the first over the
// socket to show its window and ends at once. The lock is taken before the socket is touched,
// so two starts at the same moment cannot both listen; the system drops it with the process,
// so a socket left behind by a crashed start is simply replaced.
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
  // True when a running first instance took the request to show its window; keeps trying
  // for ATimeoutMs, as a first instance that has just started may not listen yet.
  static bool AskRunningInstanceToShow(int ATimeoutMs);

  TSingleInstance() = default;
  ~TSingleInstance() override;

  // True when this process is the one instance, now listening; false when another instance
  // holds the lock. Without a usable lock file it falls back to asking over the socket.
  bool Claim(int AAskTimeoutMs);

 signals:
  void ShowRequested();

 private:
  // Starts listening; false when the socket cannot be created (the program then runs
  // without being found by a second start).
  bool Listen();
  void OnConnection();

  QLocalServer FServer;
  int FLockFd = -1;
};

}  // namespace quavox
