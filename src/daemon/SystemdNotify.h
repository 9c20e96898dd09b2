// Readiness, reload, stop and watchdog notices to the service manager when it runs the
// daemon as a Type=notify unit; nothing happens otherwise.
#pragma once

#include <chrono>

namespace quavox {

void NotifyReady();
void NotifyReloading();
void NotifyStopping();
void NotifyWatchdog();
// How often the watchdog wants a ping: half its timeout; zero when no watchdog is set.
std::chrono::milliseconds WatchdogPingInterval();

}  // namespace quavox
