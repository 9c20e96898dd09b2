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

}  // namespace quavox
