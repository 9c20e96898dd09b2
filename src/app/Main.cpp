// quavox: the desktop program. One per user: a second start asks the first to show its
// window and ends at once, without touching the configuration.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QString>
#include <cstdio>
#include <exception>

#include "app/Application.h"
#include "app/MainForm.h"
#include "app/SingleInstance.h"
#include "core/Types.h"
#include "platform/Files.h"
#include "platform/Memory.h"

namespace {

using namespace quavox;

constexpr int SecondStartWaitMs = 1000;

constexpr const char* Usage =
    "usage: quavox [--root DIR]\n"
    "\n"
    "The Quavox text-to-speech service with its window and tray icon.\n"
    "\n"
    "  --root DIR   use DIR as the program folder (data, clone, temp, models, engine, logs)\n"
    "  --help       show this text\n"
    "  --version    show the version\n";

// Qt reads its own options (-platform, -style, ...) when the application object is made.
bool IsQtOption(const QString& AArg) {
  return AArg.startsWith('-') && !AArg.startsWith("--");
}

struct TOptions {
  QString Root;
  bool Help = false;
  bool Version = false;
};

// Read before the application object exists, so that --help and --version answer on a
// machine without a display. Unknown arguments (a desktop file's %U, a typo) only earn a
// warning: the program starts as if they were not there.
TOptions ParseOptions(int AArgc, char** AArgv) {
  TOptions Result;
  for (int i = 1; i < AArgc; ++i) {
    const QString Arg = QString::fromLocal8Bit(AArgv[i]);
    if (Arg == "--help" || Arg == "-h") {
      Result.Help = true;
    } else if (Arg == "--version") {
      Result.Version = true;
    } else if (Arg == "--root" && i + 1 < AArgc && AArgv[i + 1][0] != '\0') {
      Result.Root = QString::fromLocal8Bit(AArgv[++i]);
    } else if (Arg.startsWith("--root=") && Arg.size() > 7) {
      Result.Root = Arg.mid(7);
    } else if (IsQtOption(Arg)) {
      // Its value, if any, is Qt's too.
      if (i + 1 < AArgc && AArgv[i + 1][0] != '-') ++i;
    } else {
      std::fprintf(stderr, "quavox: ignoring unknown argument %s (see quavox --help)\n", AArgv[i]);
    }
  }
  return Result;
}

TAppFolders Folders(const TOptions& AOptions) {
  if (AOptions.Root.isEmpty()) return TAppFolders::Default();
  TAppFolders Result = TAppFolders::UnderRoot(AOptions.Root.toStdString());
  ForceDirectories(Result.ProgramDir);
  return Result;
}

// SIGTERM (the session ending, a service manager) and SIGINT close the window for good, so
// the server stops and the engine ends the way the exit button does it. The handler only
// writes a byte; the event loop does the rest.
int GStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char Byte = 1;
  [[maybe_unused]] const ssize_t Ignored = ::write(GStopPipe[1], &Byte, 1);
}

void CloseOnStopSignals(TMainForm& AForm) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, GStopPipe) != 0) return;
  auto* Notifier = new QSocketNotifier(GStopPipe[0], QSocketNotifier::Read, &AForm);
  QObject::connect(Notifier, &QSocketNotifier::activated, &AForm, [&AForm, Notifier] {
    Notifier->setEnabled(false);
    AForm.CloseNow();
  });
  struct sigaction Action {};
  Action.sa_handler = OnStopSignal;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &Action, nullptr);
  sigaction(SIGINT, &Action, nullptr);
}

int Run(TQuavoxApplication& AApp, const TOptions& AOptions) {
  TSingleInstance Instance;
  if (!Instance.Claim(SecondStartWaitMs)) return 0;
  TMainFormOptions FormOptions;
  FormOptions.Folders = Folders(AOptions);
  TMainForm Form(FormOptions);
  QObject::connect(&Instance, &TSingleInstance::ShowRequested, &Form, &TMainForm::ShowFromOutside);
  QObject::connect(&Form, &TMainForm::Closed, &AApp, &QApplication::quit, Qt::QueuedConnection);
  CloseOnStopSignals(Form);
  Form.show();
  return AApp.exec();
}

}  // namespace

int main(int argc, char** argv) {
  // A client that hangs up mid-reply must not end the program.
  signal(SIGPIPE, SIG_IGN);
  const TOptions Options = ParseOptions(argc, argv);
  if (Options.Help) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (Options.Version) {
    std::printf("quavox %s\n", QuavoxVersion);
    return 0;
  }
  TuneAllocatorForLargeReplies();
  TQuavoxApplication App(argc, argv);
  try {
    return Run(App, Options);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "quavox: %s\n", E.what());
    return 1;
  }
}
