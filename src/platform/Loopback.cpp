#include "platform/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace quavox
