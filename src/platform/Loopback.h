// Small checks on the loopback interface, where the inference server and the test servers
// listen.
#pragma once

#include <chrono>
#include <cstdint>

namespace quavox {

// True when a TCP connection to 127.0.0.1:APort succeeds within ATimeout.
bool PortAccepts(int32_t APort, std::chrono::milliseconds ATimeout);
// A port on 127.0.0.1 that nothing listens on at this moment (the kernel's choice), or 0.
int32_t UnusedLoopbackPort();

// A claim on a loopback port among the processes of this machine, held while the object
// lives and released when the process ends however it ends. Two services that find the same
// port free at the same moment would otherwise both start a server on it, and the one whose
// server lost the port would take the other's for its own.
class TPortClaim {
 public:
  TPortClaim() = default;
  // Holds APort's claim, or stays empty when another claim holds it.
  explicit TPortClaim(int32_t APort);
  TPortClaim(TPortClaim&& AOther) noexcept;
  TPortClaim& operator=(TPortClaim&& AOther) noexcept;
  TPortClaim(const TPortClaim&) = delete;
  TPortClaim& operator=(const TPortClaim&) = delete;
  ~TPortClaim();

  bool Held() const { return FSocket >= 0; }

 private:
  int FSocket = -1;
};

}  // namespace quavox
