#include "app/SingleInstance.h"

#include <unistd.h>

#include <QLocalSocket>

namespace quavox {

namespace {

const QByteArray ShowCommand = QByteArrayLiteral("show\n");

}  // namespace

QString TSingleInstance::ServerName() {
  return QStringLiteral("Quavox_SingleInstance-%1").arg(::getuid());
}

bool TSingleInstance::AskRunningInstanceToShow(int ATimeoutMs) {
  QLocalSocket Socket;
  Socket.connectToServer(ServerName());
  if (!Socket.waitForConnected(ATimeoutMs)) return false;
  Socket.write(ShowCommand);
  if (!Socket.waitForBytesWritten(ATimeoutMs)) return false;
  // The first instance closes the connection once it has read the request.
  Socket.waitForDisconnected(ATimeoutMs);
  return true;
}

bool TSingleInstance::Listen() {
  FServer.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&FServer, &QLocalServer::newConnection, this, &TSingleInstance::OnConnection);
  if (FServer.listen(ServerName())) return true;
  // Nobody answered on the name (checked by the caller), so the socket file is stale.
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
