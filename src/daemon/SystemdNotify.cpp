#include "SystemdNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace quavox {

void NotifyReady() {
  sd_notify(0, "READY=1");
}

// The manager expects the monotonic time of the reload with the notice.
void NotifyReloading() {
  timespec Now{};
  clock_gettime(CLOCK_MONOTONIC, &Now);
  const uint64_t Usec = static_cast<uint64_t>(Now.tv_sec) * 1000000 + Now.tv_nsec / 1000;
  sd_notify(0, ("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(Usec)).c_str());
}

void NotifyStopping() {
  sd_notify(0, "STOPPING=1");
}

void NotifyWatchdog() {
  sd_notify(0, "WATCHDOG=1");
}

std::chrono::milliseconds WatchdogPingInterval() {
  uint64_t Usec = 0;
  if (sd_watchdog_enabled(0, &Usec) <= 0) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(Usec / 2000);
}

}  // namespace quavox
