// Child processes that die with the program: each child runs in its own process group, gets
// SIGKILL when the program ends (even when it is killed itself), and is killed together with
// everything it started when its owner lets it go. All forks happen on one long-lived thread,
// because the kernel delivers the parent-death signal when the forking *thread* ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "core/ThreadAnnotations.h"

namespace quavox {

// How a child ended: a normal exit with a status, or death by a signal.
struct TExitStatus {
  bool Signaled = false;
  int32_t Code = 0;
  int32_t Signal = 0;

  static TExitStatus Exited(int32_t ACode) { return {false, ACode, 0}; }
  static TExitStatus Killed(int32_t ASignal) { return {true, 0, ASignal}; }
  static TExitStatus FromWaitStatus(int AStatus);
  // "127", or the signal as "SIGSEGV (signal 11)".
  std::string Text() const;
  bool operator==(const TExitStatus&) const = default;
};

// The causes the program can name to the user.
enum TExitReason : uint8_t {
  xrNone,
  xrAccessViolation,     // SIGSEGV, SIGBUS
  xrNoMemory,            // SIGKILL, as sent by the kernel's out-of-memory killer
  xrIllegalInstruction,  // SIGILL
  xrMissingLibraries,    // exit status 127: the loader found no library or no program
  xrStackOverrun         // SIGABRT: stack protector and failed checks
};

TExitReason ExitReasonOf(const TExitStatus& AStatus);
// "SIGSEGV"; "SIG<n>" for a number without a name.
std::string SignalName(int32_t ASignal);

// Splits a command line into arguments: blanks separate arguments outside double quotes,
// a double quote opens or closes a quoted stretch and is dropped, "" gives an empty
// argument. Nothing else is special, so backslashes in paths stay as they are.
std::vector<std::string> SplitCommandLine(std::string_view ACommandLine);

struct TSpawnOptions {
  // Argv[0] is the program's path.
  std::vector<std::string> Argv;
  // Empty: the caller's working directory.
  std::string WorkDir;
  // Standard output and error go to this file, truncated first and then appended to; when it
  // cannot be opened (or is empty) the child keeps the program's own. Standard input is
  // /dev/null.
  std::string OutputFile;
};

// One running or ended child. Thread-safe: the supervising thread, the synthesis thread
// and the owner may ask it at the same time. The destructor kills and reaps it.
class TChildProcess {
 public:
  // Starts the child; raises std::system_error carrying the errno of what failed (fork,
  // working directory, exec).
  static std::unique_ptr<TChildProcess> Spawn(const TSpawnOptions& AOptions);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  pid_t Pid() const { return FPid; }
  bool OutputRedirected() const { return FOutputRedirected; }
  // False once the child has ended; the first call that sees the end also kills what is
  // left of its process group and reaps it.
  bool Running();
  // How it ended; empty while it runs.
  std::optional<TExitStatus> Exit();
  // Waits up to ATimeout for the end; true when it has ended.
  bool WaitFor(std::chrono::milliseconds ATimeout);
  // SIGKILL to the whole process group, then reaps. Harmless when already ended.
  void Kill();

 private:
  friend struct TChildFactory;
  TChildProcess(pid_t APid, bool AOutputRedirected)
      : FPid(APid), FOutputRedirected(AOutputRedirected) {}
  bool PollLocked() QX_REQUIRES(FLock);
  void Reap(const TExitStatus& AUnknown) QX_REQUIRES(FLock);

  const pid_t FPid;
  const bool FOutputRedirected;
  TMutex FLock;
  bool FReaped QX_GUARDED_BY(FLock) = false;
  TExitStatus FStatus QX_GUARDED_BY(FLock);
};

struct TCaptureResult {
  std::string Output;
  bool TimedOut = false;
  bool Cancelled = false;
  // Bytes beyond the limit were read and dropped.
  bool Truncated = false;
  TExitStatus Exit;
};

// Runs a program with standard output and error into one pipe and collects what it prints,
// up to AMaxBytes (the rest is read and dropped so the program never blocks). A program
// that has not ended after ATimeout, or when *ACancel turns true, is killed with its
// process group; what it printed so far is kept. Raises std::system_error when it cannot
// start.
TCaptureResult RunAndCapture(const std::vector<std::string>& AArgv, const std::string& AWorkDir,
                             std::chrono::milliseconds ATimeout,
                             std::size_t AMaxBytes = 4 * 1024 * 1024,
                             const std::atomic<bool>* ACancel = nullptr);

}  // namespace quavox
