// quavoxd: the configuration, the service and the HTTP server without a window. It starts
// the server at once, writes event-log lines to standard error as they are emitted, and
// shuts down cleanly on SIGTERM and SIGINT, and re-reads its configuration on SIGHUP.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "SystemdNotify.h"
#include "core/Dispatcher.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/LogFiles.h"
#include "core/Types.h"
#include "http/Http.h"
#include "online/Follower.h"
#include "platform/Files.h"
#include "platform/Memory.h"
#include "service/Service.h"
#include "state/Config.h"

namespace {

using namespace quavox;

constexpr int ExitUsage = 2;
constexpr int ExitStartFailed = 3;
constexpr std::chrono::milliseconds TrimInterval{10000};

constexpr const char* Usage =
    "usage: quavoxd [--root DIR] [--program-files DIR]\n"
    "\n"
    "Runs the Quavox text-to-speech service and its HTTP API without a window.\n"
    "\n"
    "  --root DIR            keep the state in DIR (data, clone, temp, models, engine, logs)\n"
    "  --program-files DIR   read the shipped engine, model and text tables from DIR\n"
    "                        (default: beside the executable, or its prefix's lib/quavox)\n"
    "  --help                show this text\n"
    "  --version             show the version\n"
    "\n"
    "Every setting comes from data/config.json in the program folder.\n";

// SIGTERM, SIGINT and SIGHUP are blocked in every thread (threads inherit the mask of the
// thread that creates them) and taken by the main thread alone, synchronously, with
// sigtimedwait. Child processes start with a clean mask and default dispositions
// (platform/Process).
sigset_t HandledSignals() {
  sigset_t Set;
  sigemptyset(&Set);
  sigaddset(&Set, SIGTERM);
  sigaddset(&Set, SIGINT);
  sigaddset(&Set, SIGHUP);
  return Set;
}

bool BlockHandledSignals() {
  const sigset_t Set = HandledSignals();
  // A client that hangs up mid-reply must not end the process.
  signal(SIGPIPE, SIG_IGN);
  return pthread_sigmask(SIG_BLOCK, &Set, nullptr) == 0;
}

// Waits for one of the handled signals. Meanwhile, every few seconds, feeds the service
// manager's watchdog and hands memory that a burst of requests freed back to the system: the
// allocator's arenas otherwise keep the WAV buffers they once held.
int WaitForSignal() {
  const sigset_t Set = HandledSignals();
  const std::chrono::milliseconds Watchdog = WatchdogPingInterval();
  const std::chrono::milliseconds Tick =
      Watchdog.count() > 0 ? std::min(Watchdog, TrimInterval) : TrimInterval;
  const timespec Timeout{static_cast<time_t>(Tick.count() / 1000),
                         static_cast<long>(Tick.count() % 1000) * 1000000};
  for (;;) {
    const int Signal = sigtimedwait(&Set, nullptr, &Timeout);
    if (Signal > 0) return Signal;
    if (errno != EAGAIN) continue;
    NotifyWatchdog();
    malloc_trim(0);
  }
}

const char* SignalName(int ASignal) {
  return ASignal == SIGINT ? "SIGINT" : "SIGTERM";
}

struct TOptions {
  std::string Root;
  std::string ProgramFiles;
  bool Help = false;
  bool Version = false;
};

bool ParseOptions(int AArgc, char** AArgv, TOptions& AOptions) {
  for (int i = 1; i < AArgc; ++i) {
    const std::string_view Arg = AArgv[i];
    if (Arg == "--help" || Arg == "-h") {
      AOptions.Help = true;
    } else if (Arg == "--version") {
      AOptions.Version = true;
    } else if (Arg == "--root") {
      if (i + 1 >= AArgc || std::string_view(AArgv[i + 1]).empty()) return false;
      AOptions.Root = AArgv[++i];
    } else if (Arg.starts_with("--root=") && Arg.size() > 7) {
      AOptions.Root = std::string(Arg.substr(7));
    } else if (Arg == "--program-files") {
      if (i + 1 >= AArgc || std::string_view(AArgv[i + 1]).empty()) return false;
      AOptions.ProgramFiles = AArgv[++i];
    } else {
      return false;
    }
  }
  return true;
}

// Applies the configuration file as the settings page applies its fields: the service takes
// the new values, and the server restarts, finishing the requests in service, when a member
// it reads only at its start changed.
void Reload(TAppConfig& AConfig, TTtsService& AService, TTtsHttpServer& AServer) {
  TAppLog::Info("app", "SIGHUP received, reopening the log files and reloading the configuration");
  NotifyReloading();
  ReopenLogFiles();
  const TConfigSettings Before = AConfig.Settings();
  AConfig.Load();
  const TConfigSettings After = AConfig.Settings();
  SetUiLang(After.UiLanguage);
  AService.ApplyConfig();
  if (After.Port == Before.Port && After.BindAddress == Before.BindAddress &&
      After.MaxConnectionsPerClient == Before.MaxConnectionsPerClient &&
      After.MaxConnections == Before.MaxConnections &&
      After.EncodedCacheMB == Before.EncodedCacheMB) {
    AServer.ApplyOperationalSettings();
    NotifyReady();
    return;
  }
  TAppLog::Info("app", "the server restarts for its address, port or connection settings");
  AServer.Stop();
  try {
    AServer.Start();
  } catch (const std::exception& E) {
    TAppLog::Error("app", "the server did not start on the reloaded address: %s", E.what());
  }
  NotifyReady();
}

// Stops the server: requests in service finish, but only within the grace period; after it,
// what still waits for the engine is answered with an error reply, so a stop neither hangs
// behind a long queue nor cuts a reply short.
void StopWithinGrace(TTtsService& AService, TTtsHttpServer& AServer, std::chrono::seconds AGrace) {
  std::jthread Bound([&AService, AGrace](std::stop_token AStopped) {
    std::mutex Lock;
    std::condition_variable_any Wake;
    std::unique_lock Guard(Lock);
    if (Wake.wait_for(Guard, AStopped, AGrace, [] { return false; }) || AStopped.stop_requested())
      return;
    TAppLog::Warn("app", "requests still in service after %d s are answered with an error",
                  static_cast<int>(AGrace.count()));
    AService.AbandonPendingWork();
  });
  AServer.Stop();
}

void WriteToStderr(const std::string& ALine) {
  std::fwrite(ALine.data(), 1, ALine.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  TOptions Options;
  if (!ParseOptions(argc, argv, Options)) {
    std::fputs(Usage, stderr);
    return ExitUsage;
  }
  if (Options.Help) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (Options.Version) {
    std::printf("quavoxd %s\n", QuavoxVersion);
    return 0;
  }
  TuneAllocatorForLargeReplies();
  // Before any thread exists, so that every thread inherits the blocked set.
  if (!BlockHandledSignals()) {
    std::fprintf(stderr, "quavoxd: cannot block the stop signals: %s\n", std::strerror(errno));
    return 1;
  }

  TAppFolders Folders = TAppFolders::Default();
  if (!Options.Root.empty()) {
    Folders = TAppFolders::UnderRoot(Options.Root);
    try {
      ForceDirectories(Folders.ProgramDir);
    } catch (const std::exception& E) {
      std::fprintf(stderr, "quavoxd: cannot create %s: %s\n", Folders.ProgramDir.c_str(), E.what());
      return 1;
    }
  }

  if (!Options.ProgramFiles.empty())
    Folders.BundledDir = IncludeTrailingSlash(Options.ProgramFiles);

  auto Dispatcher = std::make_shared<TThreadDispatcher>();
  TAppLog::SetDispatcher(Dispatcher);
  TAppLog::SetOnEntry([](const TLogEntry& AEntry) { WriteToStderr(AEntry.FormatDated() + "\n"); });

  int Status = 0;
  {
    TAppConfig Config(Folders);
    Config.Load();
    SetUiLang(Config.Settings().UiLanguage);
    TTtsService Service(Config);
    TTtsHttpServer Server(Service);
    std::unique_ptr<TFollower> Follower;
    FollowAsConfigured(Follower, Service);
    try {
      Server.Start();
    } catch (const std::exception& E) {
      Dispatcher->Flush();
      WriteToStderr(std::string(E.what()) + "\n");
      Status = ExitStartFailed;
    }
    if (Status == 0) {
      NotifyReady();
      int Signal = WaitForSignal();
      for (; Signal == SIGHUP; Signal = WaitForSignal()) {
        Reload(Config, Service, Server);
        FollowAsConfigured(Follower, Service);
      }
      TAppLog::Info("app", "%s received, shutting down", SignalName(Signal));
      NotifyStopping();
      StopWithinGrace(Service, Server,
                      std::chrono::seconds(Config.Settings().ShutdownGraceSeconds));
    }
  }
  // Every line emitted during the shutdown reaches standard error before the hooks go.
  Dispatcher->Flush();
  TAppLog::SetOnEntry({});
  TAppLog::SetOnRequest({});
  TAppLog::SetDispatcher(nullptr);
  Dispatcher.reset();
  return Status;
}
