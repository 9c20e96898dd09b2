#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

namespace quavox {

namespace {

const QByteArray ShowCommand = QByteArrayLiteral("show\n");

}  // namespace

QString TSingleInstance::ServerName() {
  return QStringLiteral("Quavox_SingleInstance-%1").arg(::getuid());
}

bool TSingleInstance::AskRunningInstanceToShow(int ATimeoutMs) {
  QElapsedTimer Clock;
  Clock.start();
  QLocalSocket Socket;
  for (;;) {
    Socket.connectToServer(ServerName());
    if (Socket.waitForConnected(ATimeoutMs)) break;
    if (Clock.elapsed() >= ATimeoutMs) return false;
    QThread::msleep(20);
  }
  Socket.write(ShowCommand);
  if (!Socket.waitForBytesWritten(ATimeoutMs)) return false;
  // The first instance closes the connection once it has read the request.
  Socket.waitForDisconnected(ATimeoutMs);
  return true;
}

TSingleInstance::~TSingleInstance() {
  if (FLockFd >= 0) ::close(FLockFd);
}

bool TSingleInstance::Claim(int AAskTimeoutMs) {
  const QByteArray LockFile = QFile::encodeName(QDir::tempPath() + '/' + ServerName() + ".lock");
  FLockFd = ::open(LockFile.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (FLockFd < 0) {
    if (AskRunningInstanceToShow(AAskTimeoutMs)) return false;
  } else if (::flock(FLockFd, LOCK_EX | LOCK_NB) != 0) {
    AskRunningInstanceToShow(AAskTimeoutMs);
    return false;
  }
  Listen();
  return true;
}

bool TSingleInstance::Listen() {
  FServer.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&FServer, &QLocalServer::newConnection, this, &TSingleInstance::OnConnection);
  if (FServer.listen(ServerName())) return true;
  // This process holds the lock (or nobody answered), so the socket file is stale.
  QLocalServer::removeServer(ServerName());
  return FServer.listen(ServerName());
}

void TSingleInstance::OnConnection() {
  while (QLocalSocket* Socket = FServer.nextPendingConnection()) {
    connect(Socket, &QLocalSocket::disconnected, Socket, &QObject::deleteLater);
    connect(Socket, &QLocalSocket::readyRead, this, [this, Socket] {
      if (!Socket->canReadLine()) return;
      if (Socket->readLine() == ShowCommand) emit ShowRequested();
      Socket->disconnectFromServer();
    });
  }
}

}  // namespace quavox
