#include "platform/Process.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quavox {

namespace {

using TClock = std::chrono::steady_clock;

// The one thread that forks. It lives until the program ends, so a child's parent-death
// signal fires when the program ends, not when whichever thread started the child ends.
class TForkThread {
 public:
  static TForkThread& Instance() {
    static TForkThread Thread;
    return Thread;
  }

  // Runs AFork on the fork thread and returns its result.
  pid_t Run(std::function<pid_t()> AFork) {
    std::packaged_task<pid_t()> Task(std::move(AFork));
    std::future<pid_t> Result = Task.get_future();
    {
      TLockGuard Guard(FLock);
      FTasks.push_back(std::move(Task));
    }
    FWake.notify_one();
    return Result.get();
  }

  ~TForkThread() {
    {
      TLockGuard Guard(FLock);
      FStopping = true;
    }
    FWake.notify_one();
    FThread.join();
  }

 private:
  TForkThread() : FThread([this] { Loop(); }) {}

  void Loop() {
    for (;;) {
      std::packaged_task<pid_t()> Task;
      {
        TUniqueLock Lock(FLock);
        FWake.wait(Lock.Native(),
                   [this]() QX_REQUIRES(FLock) { return FStopping || !FTasks.empty(); });
        if (FTasks.empty()) return;
        Task = std::move(FTasks.front());
        FTasks.pop_front();
      }
      Task();
    }
  }

  TMutex FLock;
  std::condition_variable FWake;
  std::deque<std::packaged_task<pid_t()>> FTasks QX_GUARDED_BY(FLock);
  bool FStopping QX_GUARDED_BY(FLock) = false;
  std::thread FThread;
};

// A descriptor that closes itself.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int AFd) : FFd(AFd) {}
  ~TFd() { Reset(); }
  TFd(TFd&& AOther) noexcept : FFd(AOther.Release()) {}
  TFd& operator=(TFd&& AOther) noexcept {
    if (this != &AOther) {
      Reset();
      FFd = AOther.Release();
    }
    return *this;
  }
  int Get() const { return FFd; }
  int Release() { return std::exchange(FFd, -1); }
  void Reset() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

 private:
  int FFd = -1;
};

// Moves a descriptor above the standard ones, so dup2 onto 0, 1 or 2 in the child never
// meets itself (which would leave close-on-exec set).
TFd AboveStandard(int AFd) {
  if (AFd < 0 || AFd > 2) return TFd(AFd);
  const int High = ::fcntl(AFd, F_DUPFD_CLOEXEC, 3);
  ::close(AFd);
  return TFd(High);
}

[[noreturn]] void SystemError(int AErr, const std::string& AWhat) {
  throw std::system_error(AErr, std::generic_category(), AWhat);
}

struct TChildPlan {
  std::vector<std::string> Args;
  std::vector<char*> Argv;
  std::string WorkDir;
  int Output = -1;
  int Input = -1;
  int ErrorPipe = -1;
};

// Only async-signal-safe calls between fork and exec: the program may have other threads.
[[noreturn]] void ChildFail(int AErrorPipe, int AErr) {
  ssize_t Written;
  do {
    Written = ::write(AErrorPipe, &AErr, sizeof AErr);
  } while (Written < 0 && errno == EINTR);
  ::_exit(127);
}

[[noreturn]] void RunChild(const TChildPlan& APlan, pid_t AParent) {
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The program may have ended between fork and prctl; then nobody would kill us.
  if (::getppid() != AParent) ::_exit(127);

  sigset_t None;
  sigemptyset(&None);
  ::sigprocmask(SIG_SETMASK, &None, nullptr);
  struct sigaction Default;
  std::memset(&Default, 0, sizeof Default);
  Default.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s)
    if (s != SIGKILL && s != SIGSTOP) ::sigaction(s, &Default, nullptr);

  if (::dup2(APlan.Input, 0) < 0) ChildFail(APlan.ErrorPipe, errno);
  if (APlan.Output >= 0) {
    if (::dup2(APlan.Output, 1) < 0 || ::dup2(APlan.Output, 2) < 0)
      ChildFail(APlan.ErrorPipe, errno);
  }
  // Whatever else the program has open (listening sockets, other children's pipes) must
  // not live on in the child.
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    struct rlimit Limit;
    int Top = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &Limit) == 0 && Limit.rlim_cur < static_cast<rlim_t>(Top))
      Top = static_cast<int>(Limit.rlim_cur);
    for (int fd = 3; fd < Top; ++fd)
      if (fd != APlan.ErrorPipe) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (!APlan.WorkDir.empty() && ::chdir(APlan.WorkDir.c_str()) != 0)
    ChildFail(APlan.ErrorPipe, errno);
  ::execv(APlan.Argv[0], APlan.Argv.data());
  ChildFail(APlan.ErrorPipe, errno);
}

// Forks on the fork thread and waits until the child has exec'd; returns its pid or raises.
pid_t ForkExec(TChildPlan& APlan) {
  if (APlan.Args.empty() || APlan.Args[0].empty()) SystemError(ENOENT, "no program to start");
  for (std::string& Arg : APlan.Args)
    APlan.Argv.push_back(Arg.data());
  APlan.Argv.push_back(nullptr);

  TFd Null = AboveStandard(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (Null.Get() < 0) SystemError(errno, "open /dev/null");
  int ErrPipe[2];
  if (::pipe2(ErrPipe, O_CLOEXEC) != 0) SystemError(errno, "pipe");
  TFd ErrRead = AboveStandard(ErrPipe[0]);
  TFd ErrWrite = AboveStandard(ErrPipe[1]);
  if (ErrRead.Get() < 0 || ErrWrite.Get() < 0) SystemError(EMFILE, "pipe");
  APlan.Input = Null.Get();
  APlan.ErrorPipe = ErrWrite.Get();

  int ForkErr = 0;
  const pid_t Pid = TForkThread::Instance().Run([&APlan, &ForkErr]() -> pid_t {
    const pid_t Parent = ::getpid();
    const pid_t Child = ::fork();
    if (Child == 0) RunChild(APlan, Parent);
    if (Child < 0) ForkErr = errno;
    return Child;
  });
  if (Pid < 0) SystemError(ForkErr, "fork");
  ErrWrite.Reset();
  ::setpgid(Pid, Pid);

  int ChildErr = 0;
  ssize_t Got;
  do {
    Got = ::read(ErrRead.Get(), &ChildErr, sizeof ChildErr);
  } while (Got < 0 && errno == EINTR);
  if (Got == static_cast<ssize_t>(sizeof ChildErr)) {
    int Status;
    while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
    SystemError(ChildErr, "start " + APlan.Args[0]);
  }
  return Pid;
}

}  // namespace

struct TChildFactory {
  static std::unique_ptr<TChildProcess> Make(pid_t APid, bool AOutputRedirected) {
    return std::unique_ptr<TChildProcess>(new TChildProcess(APid, AOutputRedirected));
  }
};

TExitStatus TExitStatus::FromWaitStatus(int AStatus) {
  if (WIFSIGNALED(AStatus)) return Killed(WTERMSIG(AStatus));
  if (WIFEXITED(AStatus)) return Exited(WEXITSTATUS(AStatus));
  return Exited(-1);
}

std::string TExitStatus::Text() const {
  if (!Signaled) return std::to_string(Code);
  return SignalName(Signal) + " (signal " + std::to_string(Signal) + ")";
}

TExitReason ExitReasonOf(const TExitStatus& AStatus) {
  if (!AStatus.Signaled) return AStatus.Code == 127 ? xrMissingLibraries : xrNone;
  switch (AStatus.Signal) {
    case SIGSEGV:
    case SIGBUS:
      return xrAccessViolation;
    case SIGKILL:
      return xrNoMemory;
    case SIGILL:
      return xrIllegalInstruction;
    case SIGABRT:
      return xrStackOverrun;
    default:
      return xrNone;
  }
}

std::string SignalName(int32_t ASignal) {
  const char* Abbrev = ASignal > 0 && ASignal < NSIG ? ::sigabbrev_np(ASignal) : nullptr;
  return Abbrev != nullptr ? std::string("SIG") + Abbrev : "SIG" + std::to_string(ASignal);
}

std::vector<std::string> SplitCommandLine(std::string_view ACommandLine) {
  std::vector<std::string> Args;
  std::string Current;
  bool InArg = false;
  bool Quoted = false;
  for (const char c : ACommandLine) {
    if (c == '"') {
      Quoted = !Quoted;
      InArg = true;
    } else if (!Quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
      if (InArg) Args.push_back(std::move(Current));
      Current.clear();
      InArg = false;
    } else {
      Current += c;
      InArg = true;
    }
  }
  if (InArg) Args.push_back(std::move(Current));
  return Args;
}

std::unique_ptr<TChildProcess> TChildProcess::Spawn(const TSpawnOptions& AOptions) {
  TChildPlan Plan;
  Plan.Args = AOptions.Argv;
  Plan.WorkDir = AOptions.WorkDir;
  TFd Output;
  // Appending, so that a rotation tool truncating the file under the running child makes
  // the next line land at the start instead of behind a hole of NUL bytes.
  if (!AOptions.OutputFile.empty()) {
    Output =
        AboveStandard(::open(AOptions.OutputFile.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644));
  }
  Plan.Output = Output.Get();
  const pid_t Pid = ForkExec(Plan);
  return TChildFactory::Make(Pid, Output.Get() >= 0);
}

TChildProcess::~TChildProcess() {
  Kill();
}

bool TChildProcess::PollLocked() {
  if (FReaped) return false;
  siginfo_t Info;
  std::memset(&Info, 0, sizeof Info);
  int Rc;
  do {
    Rc = ::waitid(P_PID, static_cast<id_t>(FPid), &Info, WEXITED | WNOHANG | WNOWAIT);
  } while (Rc != 0 && errno == EINTR);
  if (Rc == 0 && Info.si_pid == 0) return true;
  if (Rc != 0) {
    // Reaped behind our back (a host that ignores SIGCHLD): its pid may already belong to
    // someone else, so nothing is sent to it.
    FStatus = TExitStatus::Exited(-1);
    FReaped = true;
    return false;
  }
  // Ended but not yet reaped, so its pid (and group id) cannot have been reused: safe to
  // clear out whatever it started.
  ::kill(-FPid, SIGKILL);
  Reap(TExitStatus::Exited(-1));
  return false;
}

void TChildProcess::Reap(const TExitStatus& AUnknown) {
  int Status = 0;
  pid_t Reaped;
  do {
    Reaped = ::waitpid(FPid, &Status, 0);
  } while (Reaped < 0 && errno == EINTR);
  FStatus = Reaped == FPid ? TExitStatus::FromWaitStatus(Status) : AUnknown;
  FReaped = true;
}

bool TChildProcess::Running() {
  TLockGuard Guard(FLock);
  return PollLocked();
}

std::optional<TExitStatus> TChildProcess::Exit() {
  TLockGuard Guard(FLock);
  if (PollLocked()) return std::nullopt;
  return FStatus;
}

bool TChildProcess::WaitFor(std::chrono::milliseconds ATimeout) {
  const auto Deadline = TClock::now() + ATimeout;
  for (;;) {
    if (!Running()) return true;
    const auto Now = TClock::now();
    if (Now >= Deadline) return false;
    std::this_thread::sleep_for(
        std::min<TClock::duration>(Deadline - Now, std::chrono::milliseconds(5)));
  }
}

void TChildProcess::Kill() {
  TLockGuard Guard(FLock);
  if (!PollLocked()) return;
  ::kill(-FPid, SIGKILL);
  ::kill(FPid, SIGKILL);
  Reap(TExitStatus::Killed(SIGKILL));
}

TCaptureResult RunAndCapture(const std::vector<std::string>& AArgv, const std::string& AWorkDir,
                             std::chrono::milliseconds ATimeout, std::size_t AMaxBytes,
                             const std::atomic<bool>* ACancel) {
  int Fds[2];
  if (::pipe2(Fds, O_CLOEXEC) != 0) SystemError(errno, "pipe");
  TFd ReadEnd = AboveStandard(Fds[0]);
  TFd WriteEnd = AboveStandard(Fds[1]);
  if (ReadEnd.Get() < 0 || WriteEnd.Get() < 0) SystemError(EMFILE, "pipe");
  ::fcntl(ReadEnd.Get(), F_SETFL, ::fcntl(ReadEnd.Get(), F_GETFL) | O_NONBLOCK);

  TChildPlan Plan;
  Plan.Args = AArgv;
  Plan.WorkDir = AWorkDir;
  Plan.Output = WriteEnd.Get();
  const pid_t Pid = ForkExec(Plan);
  const std::unique_ptr<TChildProcess> Child = TChildFactory::Make(Pid, true);
  WriteEnd.Reset();

  TCaptureResult Result;
  const auto Deadline = TClock::now() + ATimeout;
  char Chunk[4095];
  bool Eof = false;
  while (!Eof) {
    const auto Now = TClock::now();
    if (Now >= Deadline) {
      Result.TimedOut = true;
      break;
    }
    if (ACancel != nullptr && ACancel->load()) {
      Result.Cancelled = true;
      break;
    }
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Now);
    pollfd Poll{ReadEnd.Get(), POLLIN, 0};
    const int Ready =
        ::poll(&Poll, 1, static_cast<int>(std::clamp<int64_t>(Left.count() + 1, 1, 50)));
    if (Ready > 0) {
      const ssize_t Got = ::read(ReadEnd.Get(), Chunk, sizeof Chunk);
      if (Got == 0) {
        Eof = true;
      } else if (Got > 0) {
        const std::size_t Room = AMaxBytes - std::min(AMaxBytes, Result.Output.size());
        const std::size_t Keep = std::min(Room, static_cast<std::size_t>(Got));
        Result.Output.append(Chunk, Keep);
        if (Keep < static_cast<std::size_t>(Got)) Result.Truncated = true;
      } else if (errno != EAGAIN && errno != EINTR) {
        Eof = true;
      }
    }
    // Once the program itself has ended, anything it left behind holding the pipe is
    // killed with its group (inside Running), so the pipe ends too.
    Child->Running();
  }
  if (Eof) {
    const auto Now = TClock::now();
    const auto Left = Now < Deadline
                          ? std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Now)
                          : std::chrono::milliseconds(0);
    if (!Child->WaitFor(Left)) Result.TimedOut = true;
  }
  Child->Kill();
  Result.Exit = Child->Exit().value_or(TExitStatus::Killed(SIGKILL));
  return Result;
}

}  // namespace quavox
