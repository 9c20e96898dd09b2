#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "platform/Process.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadText(const std::string& AFile) {
  std::ifstream In(AFile);
  std::stringstream s;
  s << In.rdbuf();
  return s.str();
}

std::unique_ptr<TChildProcess> Shell(const std::string& AScript, const std::string& AOutput = {},
                                     const std::string& AWorkDir = {}) {
  return TChildProcess::Spawn({{"/bin/sh", "-c", AScript}, AWorkDir, AOutput});
}

// Running or stopped; a zombie (ended, not yet collected by whoever reaps it) does not count.
bool Alive(pid_t APid) {
  std::ifstream Stat("/proc/" + std::to_string(APid) + "/stat");
  std::string Line;
  if (!std::getline(Stat, Line)) return false;
  const std::size_t Close = Line.rfind(')');
  return Close != std::string::npos && Close + 2 < Line.size() && Line[Close + 2] != 'Z';
}

TEST(SplitCommandLine, QuotesGroupAndVanish) {
  struct TCase {
    const char* Line;
    std::vector<std::string> Want;
  };
  const TCase Cases[] = {
      {R"("/opt/my app/s2" --model "/m/a b.gguf" --port 17151)",
       {"/opt/my app/s2", "--model", "/m/a b.gguf", "--port", "17151"}},
      {"  a\t b  ", {"a", "b"}},
      {R"(x "" y)", {"x", "", "y"}},
      {R"(pre"mid dle"post)", {"premid dlepost"}},
      {R"(C:\path\s2 --flag)", {R"(C:\path\s2)", "--flag"}},
      {R"("unterminated arg)", {"unterminated arg"}},
      {"", {}},
  };
  for (const TCase& c : Cases)
    EXPECT_EQ(SplitCommandLine(c.Line), c.Want) << c.Line;
}

TEST(ExitStatus, ReasonsAndTexts) {
  struct TCase {
    TExitStatus Status;
    TExitReason Reason;
    const char* Text;
  };
  const TCase Cases[] = {
      {TExitStatus::Killed(SIGSEGV), xrAccessViolation, "SIGSEGV (signal 11)"},
      {TExitStatus::Killed(SIGBUS), xrAccessViolation, "SIGBUS (signal 7)"},
      {TExitStatus::Killed(SIGKILL), xrNoMemory, "SIGKILL (signal 9)"},
      {TExitStatus::Killed(SIGILL), xrIllegalInstruction, "SIGILL (signal 4)"},
      {TExitStatus::Killed(SIGABRT), xrStackOverrun, "SIGABRT (signal 6)"},
      {TExitStatus::Killed(SIGTERM), xrNone, "SIGTERM (signal 15)"},
      {TExitStatus::Exited(127), xrMissingLibraries, "127"},
      {TExitStatus::Exited(1), xrNone, "1"},
      {TExitStatus::Exited(0), xrNone, "0"},
      {TExitStatus::Exited(139), xrNone, "139"},
  };
  for (const TCase& c : Cases) {
    EXPECT_EQ(ExitReasonOf(c.Status), c.Reason) << c.Text;
    EXPECT_EQ(c.Status.Text(), c.Text);
  }
  EXPECT_EQ(SignalName(200), "SIG200");
}

TEST(ChildProcess, ReportsHowItEnded) {
  struct TCase {
    const char* Script;
    TExitStatus Want;
  };
  const TCase Cases[] = {
      {"exit 0", TExitStatus::Exited(0)},
      {"exit 3", TExitStatus::Exited(3)},
      {"exit 127", TExitStatus::Exited(127)},
      {"kill -SEGV $$", TExitStatus::Killed(SIGSEGV)},
      {"kill -ILL $$", TExitStatus::Killed(SIGILL)},
      {"kill -ABRT $$", TExitStatus::Killed(SIGABRT)},
      {"kill -KILL $$", TExitStatus::Killed(SIGKILL)},
  };
  for (const TCase& c : Cases) {
    auto Child = Shell(c.Script);
    ASSERT_TRUE(Child->WaitFor(10s)) << c.Script;
    EXPECT_FALSE(Child->Running());
    EXPECT_EQ(Child->Exit(), c.Want) << c.Script;
  }
}

TEST(ChildProcess, AMissingProgramRaisesWithItsErrno) {
  try {
    TChildProcess::Spawn({{"/nonexistent/s2", "--x"}, {}, {}});
    FAIL() << "no exception";
  } catch (const std::system_error& E) {
    EXPECT_EQ(E.code().value(), ENOENT);
  }
  try {
    TChildProcess::Spawn({{"/bin/true"}, "/nonexistent-folder", {}});
    FAIL() << "no exception";
  } catch (const std::system_error& E) {
    EXPECT_EQ(E.code().value(), ENOENT);
  }
  EXPECT_THROW(TChildProcess::Spawn({{}, {}, {}}), std::system_error);
}

TEST(ChildProcess, OutputGoesToTheTruncatedFileInTheWorkingFolder) {
  const TTempDir Dir("qx-process");
  const std::string Log = Dir.Path("out.log");
  {
    std::ofstream Old(Log);
    Old << std::string(1000, 'x');
  }
  auto Child = Shell("pwd; echo to-stderr >&2; read line; echo \"stdin=[$line]\"", Log, Dir.Path());
  ASSERT_TRUE(Child->WaitFor(10s));
  EXPECT_TRUE(Child->OutputRedirected());
  const std::string Want = fs::canonical(Dir.Path()).string() + "\nto-stderr\nstdin=[]\n";
  EXPECT_EQ(ReadText(Log), Want);
}

TEST(ChildProcess, OutputFileTruncatedUnderTheChildGetsNoHole) {
  const TTempDir Dir("qx-process");
  const std::string Log = Dir.Path("out.log");
  auto Child = Shell(
      "echo first-line-of-some-length; while [ ! -e go ]; do sleep 0.01; done; "
      "echo second",
      Log, Dir.Path());
  for (int i = 0; i < 2000 && ReadText(Log).empty(); ++i)
    std::this_thread::sleep_for(1ms);
  // What a rotation tool copying and truncating the log does while the child runs.
  fs::resize_file(Log, 0);
  std::ofstream(Dir.Path("go")).put('\n');
  ASSERT_TRUE(Child->WaitFor(10s));
  EXPECT_EQ(ReadText(Log), "second\n");
}

TEST(ChildProcess, AnUnopenableOutputFileStillStartsTheChild) {
  auto Child = Shell("exit 4", "/nonexistent-folder/out.log");
  ASSERT_TRUE(Child->WaitFor(10s));
  EXPECT_FALSE(Child->OutputRedirected());
  EXPECT_EQ(Child->Exit(), TExitStatus::Exited(4));
}

TEST(ChildProcess, KillTakesTheWholeGroup) {
  const TTempDir Dir("qx-process");
  const std::string PidFile = Dir.Path("grandchild.pid");
  auto Child = Shell("sleep 60 & echo $! > " + PidFile + "; wait");
  pid_t Grandchild = 0;
  for (int i = 0; i < 2000 && Grandchild == 0; ++i) {
    std::ifstream In(PidFile);
    In >> Grandchild;
    if (Grandchild == 0) std::this_thread::sleep_for(5ms);
  }
  ASSERT_NE(Grandchild, 0);
  EXPECT_TRUE(Child->Running());
  Child->Kill();
  EXPECT_FALSE(Child->Running());
  EXPECT_EQ(Child->Exit(), TExitStatus::Killed(SIGKILL));
  bool Gone = false;
  for (int i = 0; i < 2000 && !Gone; ++i) {
    Gone = !Alive(Grandchild);
    if (!Gone) std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(Gone);
}

TEST(ChildProcess, DestructorKillsAndReaps) {
  pid_t Pid = 0;
  {
    auto Child = Shell("sleep 60");
    Pid = Child->Pid();
    EXPECT_TRUE(Alive(Pid));
  }
  EXPECT_FALSE(Alive(Pid));  // reaped, so not even a zombie is left
}

TEST(ChildProcess, ChildrenStartedFromAThreadOutliveThatThread) {
  std::unique_ptr<TChildProcess> Child;
  std::thread([&Child] { Child = Shell("sleep 60"); }).join();
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(Child->Running());
}

TEST(RunAndCapture, CollectsBothStreams) {
  const TCaptureResult r =
      RunAndCapture({"/bin/sh", "-c", "printf 'a\\tb\\n'; printf 'err\\n' >&2; exit 5"}, {}, 10s);
  EXPECT_EQ(r.Output, "a\tb\nerr\n");
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.Exit, TExitStatus::Exited(5));
}

TEST(RunAndCapture, AHangingProgramIsKilledAndKeepsWhatItPrinted) {
  const auto Start = std::chrono::steady_clock::now();
  const TCaptureResult r = RunAndCapture({"/bin/sh", "-c", "echo early; sleep 60"}, {}, 300ms);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 5s);
  EXPECT_TRUE(r.TimedOut);
  EXPECT_EQ(r.Output, "early\n");
  EXPECT_TRUE(r.Exit.Signaled);
}

TEST(RunAndCapture, ABackgroundChildHoldingThePipeDoesNotKeepItOpen) {
  const auto Start = std::chrono::steady_clock::now();
  const TCaptureResult r = RunAndCapture({"/bin/sh", "-c", "sleep 60 & echo done"}, {}, 20s);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, 5s);
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.Output, "done\n");
}

TEST(RunAndCapture, HugeOutputIsCappedAndDrained) {
  const TCaptureResult r =
      RunAndCapture({"/bin/sh", "-c", "head -c 3000000 /dev/zero; echo end >&2"}, {}, 20s, 100000);
  EXPECT_EQ(r.Output.size(), 100000u);
  EXPECT_TRUE(r.Truncated);
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.Exit, TExitStatus::Exited(0));
}

TEST(RunAndCapture, CancelEndsTheWait) {
  std::atomic<bool> Cancel{true};
  const TCaptureResult r = RunAndCapture({"/bin/sh", "-c", "sleep 60"}, {}, 20s, 1000, &Cancel);
  EXPECT_TRUE(r.Cancelled);
}

}  // namespace
}  // namespace quavox
