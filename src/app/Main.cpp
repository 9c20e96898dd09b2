// quavox: the desktop program. One per user: a second start asks the first to show its
// window and ends at once, without touching the configuration.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QStringList>
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

constexpr int ExitUsage = 2;
constexpr int SecondStartWaitMs = 1000;

constexpr const char* Usage =
    "usage: quavox [--root DIR]\n"
    "\n"
    "The Quavox text-to-speech service with its window and tray icon.\n"
    "\n"
    "  --root DIR   use DIR as the program folder (data, clone, temp, models, engine, logs)\n"
    "  --help       show this text\n"
    "  --version    show the version\n";

struct TOptions {
  QString Root;
  bool Help = false;
  bool Version = false;
};

// Qt has taken its own options out of the list already.
bool ParseOptions(const QStringList& AArgs, TOptions& AOptions) {
  for (qsizetype i = 1; i < AArgs.size(); ++i) {
    const QString& Arg = AArgs[i];
    if (Arg == "--help" || Arg == "-h") {
      AOptions.Help = true;
    } else if (Arg == "--version") {
      AOptions.Version = true;
    } else if (Arg == "--root" && i + 1 < AArgs.size() && !AArgs[i + 1].isEmpty()) {
      AOptions.Root = AArgs[++i];
    } else if (Arg.startsWith("--root=") && Arg.size() > 7) {
      AOptions.Root = Arg.mid(7);
    } else {
      return false;
    }
  }
  return true;
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
  if (TSingleInstance::AskRunningInstanceToShow(SecondStartWaitMs)) return 0;
  TSingleInstance Instance;
  Instance.Listen();
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
  TuneAllocatorForLargeReplies();
  TQuavoxApplication App(argc, argv);
  TOptions Options;
  if (!ParseOptions(App.arguments(), Options)) {
    std::fputs(Usage, stderr);
    return ExitUsage;
  }
  if (Options.Help) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (Options.Version) {
    std::printf("quavox %s\n", QuavoxVersion);
    return 0;
  }
  try {
    return Run(App, Options);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "quavox: %s\n", E.what());
    return 1;
  }
}
