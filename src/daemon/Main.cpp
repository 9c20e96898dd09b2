// quavoxd: the configuration, the service and the HTTP server without a window. It starts
// the server at once, writes event-log lines to standard error as they are emitted, and
// shuts down cleanly on SIGTERM and SIGINT.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "core/Dispatcher.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "core/Types.h"
#include "http/Http.h"
#include "platform/Files.h"
#include "platform/Memory.h"
#include "service/Service.h"
#include "state/Config.h"

namespace {

using namespace quavox;

constexpr int ExitUsage = 2;
constexpr int ExitStartFailed = 3;

constexpr const char* Usage =
    "usage: quavoxd [--root DIR]\n"
    "\n"
    "Runs the Quavox text-to-speech service and its HTTP API without a window.\n"
    "\n"
    "  --root DIR   use DIR as the program folder (data, clone, temp, models, engine, logs)\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "Every setting comes from data/config.json in the program folder.\n";

// SIGTERM and SIGINT are blocked in every thread (threads inherit the mask of the thread
// that creates them) and taken by the main thread alone, synchronously, with sigtimedwait.
// Child processes start with a clean mask and default dispositions (platform/Process).
sigset_t StopSignals() {
  sigset_t Set;
  sigemptyset(&Set);
  sigaddset(&Set, SIGTERM);
  sigaddset(&Set, SIGINT);
  return Set;
}

bool BlockStopSignals() {
  const sigset_t Set = StopSignals();
  // A client that hangs up mid-reply must not end the process.
  signal(SIGPIPE, SIG_IGN);
  return pthread_sigmask(SIG_BLOCK, &Set, nullptr) == 0;
}

// Waits for SIGTERM or SIGINT. Meanwhile, every few seconds, hands memory that a burst of
// requests freed back to the system: the allocator's arenas otherwise keep the WAV buffers
// they once held.
int WaitForStopSignal() {
  const sigset_t Set = StopSignals();
  const timespec TrimInterval{10, 0};
  for (;;) {
    const int Signal = sigtimedwait(&Set, nullptr, &TrimInterval);
    if (Signal > 0) return Signal;
    if (errno == EAGAIN) malloc_trim(0);
  }
}

const char* SignalName(int ASignal) {
  return ASignal == SIGINT ? "SIGINT" : "SIGTERM";
}

struct TOptions {
  std::string Root;
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
    } else {
      return false;
    }
  }
  return true;
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
  if (!BlockStopSignals()) {
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
    try {
      Server.Start();
    } catch (const std::exception& E) {
      Dispatcher->Flush();
      WriteToStderr(std::string(E.what()) + "\n");
      Status = ExitStartFailed;
    }
    if (Status == 0) {
      const int Signal = WaitForStopSignal();
      TAppLog::Info("app", "%s received, shutting down", SignalName(Signal));
      Server.Stop();
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
