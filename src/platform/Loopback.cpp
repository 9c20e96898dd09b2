#include "platform/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace quavox {

namespace {

sockaddr_in LoopbackAddress(int32_t APort) {
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_port = htons(static_cast<uint16_t>(APort));
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return Addr;
}

}  // namespace

bool PortAccepts(int32_t APort, std::chrono::milliseconds ATimeout) {
  if (APort <= 0 || APort > 65535) return false;
  const int Sock = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Sock < 0) return false;
  const sockaddr_in Addr = LoopbackAddress(APort);
  bool Accepted = false;
  if (::connect(Sock, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) == 0) {
    Accepted = true;
  } else if (errno == EINPROGRESS) {
    pollfd Poll{Sock, POLLOUT, 0};
    if (::poll(&Poll, 1, static_cast<int>(ATimeout.count())) == 1) {
      int Err = 0;
      socklen_t Len = sizeof Err;
      Accepted = ::getsockopt(Sock, SOL_SOCKET, SO_ERROR, &Err, &Len) == 0 && Err == 0;
    }
  }
  ::close(Sock);
  return Accepted;
}

int32_t UnusedLoopbackPort() {
  const int Sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Sock < 0) return 0;
  sockaddr_in Addr = LoopbackAddress(0);
  socklen_t Len = sizeof Addr;
  const bool Bound = ::bind(Sock, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) == 0 &&
                     ::getsockname(Sock, reinterpret_cast<sockaddr*>(&Addr), &Len) == 0;
  ::close(Sock);
  return Bound ? ntohs(Addr.sin_port) : 0;
}

// A name in the abstract socket namespace: no file to clean up, and the kernel frees it with
// the last descriptor, also when the process is killed.
TPortClaim::TPortClaim(int32_t APort) {
  const int Sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Sock < 0) return;
  sockaddr_un Addr{};
  Addr.sun_family = AF_UNIX;
  const int Length = std::snprintf(Addr.sun_path + 1, sizeof Addr.sun_path - 1,
                                   "quavox-loopback-port-%d", static_cast<int>(APort));
  const auto Size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + Length);
  if (::bind(Sock, reinterpret_cast<const sockaddr*>(&Addr), Size) == 0) {
    FSocket = Sock;
  } else {
    ::close(Sock);
  }
}

TPortClaim::TPortClaim(TPortClaim&& AOther) noexcept : FSocket(std::exchange(AOther.FSocket, -1)) {}

TPortClaim& TPortClaim::operator=(TPortClaim&& AOther) noexcept {
  if (this != &AOther) {
    if (FSocket >= 0) ::close(FSocket);
    FSocket = std::exchange(AOther.FSocket, -1);
  }
  return *this;
}

TPortClaim::~TPortClaim() {
  if (FSocket >= 0) ::close(FSocket);
}

}  // namespace quavox
