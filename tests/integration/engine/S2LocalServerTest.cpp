// The supervisor with the real bundled inference server as its child, in a throw-away
// program folder. The server's test switches (passed through the extra arguments) make it
// listen elsewhere, die in a chosen way or answer badly.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/Format.h"
#include "core/I18n.h"
#include "core/Log.h"
#include "engine/EngineS2Local.h"
#include "state/Config.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string BinDir = QUAVOX_BIN_DIR;
const std::string ServerPath = BinDir + "/engine/s2";
const std::string ModelName = "quavox-espeak.gguf";

// A socket that keeps a loopback port busy; -1 when the port could not be taken.
class TListener {
 public:
  explicit TListener(int32_t APort) {
    FSock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int One = 1;
    ::setsockopt(FSock, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(APort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(FSock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FSock, 8) != 0) {
      ::close(FSock);
      FSock = -1;
    }
  }
  ~TListener() {
    if (FSock >= 0) ::close(FSock);
  }
  bool Ok() const { return FSock >= 0; }

 private:
  int FSock = -1;
};

// Process state letter from /proc, or 0 when the process is gone.
char ProcessState(pid_t APid) {
  std::ifstream Stat("/proc/" + std::to_string(APid) + "/stat");
  std::string Line;
  if (!std::getline(Stat, Line)) return 0;
  const std::size_t Close = Line.rfind(')');
  return Close != std::string::npos && Close + 2 < Line.size() ? Line[Close + 2] : 0;
}

bool Logged(TLogLevel ALevel, const std::string& AText) {
  for (const TLogEntry& Entry : TAppLog::Entries())
    if (Entry.Source == "s2" && Entry.Level == ALevel && Entry.Text == AText) return true;
  return false;
}

TS2Params Says(const std::string& AText) {
  TS2Params p;
  p.Text = AText;
  return p;
}

class S2LocalServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(ServerPath)) << "the bundled server is not built: " << ServerPath;
    ASSERT_TRUE(fs::exists(BinDir + "/models/" + ModelName));
    SetUiLang(ulZh);
    fs::create_directories(FRoot + "engine");
    fs::create_directories(FRoot + "models");
    fs::create_symlink(ServerPath, FRoot + "engine/s2");
    fs::create_symlink(BinDir + "/models/" + ModelName, FRoot + "models/" + ModelName);
    FConfig = std::make_unique<TAppConfig>(TAppFolders{FRoot, FRoot + "appdata/"});
    Timing.ReadyLimit = 60s;
    Timing.ReadyPoll = 20ms;
    Timing.LivenessPoll = 50ms;
    Timing.PortProbe = 200ms;
    Timing.FirstPort = Timing.LastPort = UnusedLoopbackPort();
    Timing.FallbackPort = 0;  // nothing ever listens there
    Timing.GoneGrace = 200ms;
  }

  void TearDown() override {
    FEngine.reset();
    FConfig.reset();
    SetUiLang(ulAuto);
  }

  TS2LocalEngine& Start(const std::string& AExtraArgs = {}, TEngineOptions AOptions = {}) {
    AOptions.ExtraArgs = AExtraArgs;
    FEngine = std::make_unique<TS2LocalEngine>(AOptions, *FConfig, Timing);
    FEngine->Start();
    return *FEngine;
  }

  // Waits (for events, up to a generous limit) until the condition holds.
  bool Until(const std::function<bool()>& ACondition, std::chrono::seconds ALimit = 60s) {
    const auto Deadline = std::chrono::steady_clock::now() + ALimit;
    while (!ACondition()) {
      if (std::chrono::steady_clock::now() > Deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  bool UntilState(TS2EngineState AState) {
    return Until([this, AState] { return FEngine->State() == AState; });
  }

  std::string Exe() const { return FRoot + "engine/s2"; }
  std::string Log() const { return FRoot + "logs/s2-engine.log"; }

  TS2Timing Timing;
  const TTempDir FRootDir{"qx-s2"};
  const std::string FRoot = FRootDir.Path();
  std::unique_ptr<TAppConfig> FConfig;
  std::unique_ptr<TS2LocalEngine> FEngine;
};

TEST_F(S2LocalServer, ReadyOnTheAskedPortAndSpeaks) {
  fs::create_directories(FRoot + "logs");
  std::ofstream(Log()) << "OUTPUT OF AN EARLIER RUN\n";
  TS2LocalEngine& e = Start();
  ASSERT_TRUE(UntilState(esReady)) << e.Detail();
  EXPECT_EQ(e.Port(), Timing.FirstPort);
  EXPECT_EQ(e.EnginePath(), Exe());
  EXPECT_EQ(e.ModelPath(), FRoot + "models/" + ModelName);
  EXPECT_TRUE(std::regex_match(e.Detail(),
                               std::regex(ModelName + ",端口 " + std::to_string(Timing.FirstPort) +
                                          ",加载用了 [0-9]+\\.[0-9] 秒")))
      << e.Detail();
  const TEngineHealth Health = e.CheckHealth();
  EXPECT_TRUE(Health.Ready);
  EXPECT_EQ(Health.ExePath, Exe());

  std::stringstream Old;
  Old << std::ifstream(Log()).rdbuf();
  EXPECT_EQ(Old.str().find("EARLIER RUN"), std::string::npos) << "log not truncated";

  // Neither reference nor profile: the server picks a voice itself.
  const TPcmBuffer Pcm = e.Synthesize(Says("Flight CA1234 is now boarding at gate 12."), {});
  EXPECT_GT(Pcm.SampleRate, 0);
  EXPECT_GT(Pcm.DurationMs(), 500);
}

TEST_F(S2LocalServer, ReadyOn3030WhenTheServerListensThere) {
  if (PortAccepts(3030, 200ms)) GTEST_SKIP() << "port 3030 is in use on this machine";
  Timing.FallbackPort = 3030;
  TS2LocalEngine& e = Start("--test-listen-port 3030");
  ASSERT_TRUE(UntilState(esReady)) << e.Detail();
  EXPECT_EQ(e.Port(), 3030);
  EXPECT_GT(e.Synthesize(Says("hello"), {}).DurationMs(), 0);
}

TEST_F(S2LocalServer, ReadyOnTheFallbackPortWhereverItIs) {
  Timing.FallbackPort = UnusedLoopbackPort();
  TS2LocalEngine& e = Start(Format("--test-listen-port %d", Timing.FallbackPort));
  ASSERT_TRUE(UntilState(esReady)) << e.Detail();
  EXPECT_EQ(e.Port(), Timing.FallbackPort);
  EXPECT_GT(e.Synthesize(Says("hello"), {}).DurationMs(), 0);
}

TEST_F(S2LocalServer, EveryExitWhileLoadingIsNamed) {
  struct TCase {
    std::string Args;
    TExitStatus Status;
    const char* Reason;  // empty: the status names no cause
  };
  const TCase Cases[] = {
      {"--test-exit-code 127", TExitStatus::Exited(127),
       "引擎缺少依赖的 DLL(VC 运行时或显卡运行库没装齐)。"},
      {"--test-exit-code 3", TExitStatus::Exited(3), ""},
      {"--test-signal SEGV", TExitStatus::Killed(SIGSEGV),
       "引擎访问了非法内存(可能是模型文件损坏)。"},
      {"--test-signal BUS", TExitStatus::Killed(SIGBUS),
       "引擎访问了非法内存(可能是模型文件损坏)。"},
      {"--test-signal KILL", TExitStatus::Killed(SIGKILL), "内存不够,引擎起不来。"},
      {"--test-signal ILL", TExitStatus::Killed(SIGILL),
       "这台电脑的 CPU 不支持引擎用到的指令集(非法指令)。换用别的计算后端,或者换一台较新的机器。"},
      {"--test-signal ABRT", TExitStatus::Killed(SIGABRT),
       "引擎栈溢出/缓冲区检查失败(参考音频过长时会这样)。"},
  };
  for (const TCase& c : Cases) {
    // It never becomes ready: it dies first.
    const std::string When =
        c.Status.Signaled ? " --test-signal-after-ms 50" : " --test-exit-after-ms 50";
    TS2LocalEngine& e = Start("--test-ready-delay-ms 60000 " + c.Args + When);
    ASSERT_TRUE(UntilState(esFailed)) << c.Args << ": " << e.Detail();
    EXPECT_EQ(e.LastExit(), c.Status) << c.Args;
    const std::string Want =
        *c.Reason == '\0'
            ? Format("推理进程退出了(code %d):用的是 %s,日志 %s", c.Status.Text(), Exe(), Log())
            : Format("推理进程退出了(code %d):%s 用的是 %s,日志 %s", c.Status.Text(), c.Reason,
                     Exe(), Log());
    EXPECT_EQ(e.Detail(), Want);
    // The supervisor logs the exit just after it marks the engine failed.
    EXPECT_TRUE(Until([&] {
      return Logged(llError, Format("inference process exited with code %s; log: %s",
                                    c.Status.Text(), Log()));
    }));
    try {
      e.Synthesize(Says("hello"), {});
      ADD_FAILURE() << "no exception";
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecEngineFailed);
      EXPECT_EQ(std::string(E.what()), Want);
    }
  }
}

TEST_F(S2LocalServer, KilledFromOutsideThreeTimesIsRestartedThreeTimes) {
  TS2LocalEngine& e = Start();
  pid_t Previous = 0;
  for (int Death = 1; Death <= 4; ++Death) {
    ASSERT_TRUE(Until([&] {
      return e.State() == esReady && e.ChildPid() != 0 && e.ChildPid() != Previous;
    })) << "death "
        << Death << ": " << e.Detail();
    Previous = e.ChildPid();
    ::kill(Previous, SIGKILL);
  }
  ASSERT_TRUE(UntilState(esFailed)) << e.Detail();
  EXPECT_EQ(e.Restarts(), 3);
  EXPECT_EQ(e.Detail(), Format("推理进程反复退出(%d 次),不再自动重启 —— 看 %s", 3, Log()));
  EXPECT_TRUE(Logged(llInfo, "inference process restarted and ready (attempt 3)"));
  EXPECT_TRUE(Logged(llWarn, "inference process gone (auto-restarted 3 time(s))"));
}

TEST_F(S2LocalServer, HealthyRunningForgivesEarlierRestartsWhenConfigured) {
  // One configured minute lasts 200 ms here; each child runs healthy longer than that.
  Timing.ForgiveMinute = 200ms;
  TEngineOptions Options;
  Options.RestartForgiveMinutes = 1;
  TS2LocalEngine& e = Start({}, Options);
  pid_t Previous = 0;
  for (int Death = 1; Death <= 5; ++Death) {
    ASSERT_TRUE(Until([&] {
      return e.State() == esReady && e.ChildPid() != 0 && e.ChildPid() != Previous;
    })) << "death "
        << Death << ": " << e.Detail();
    Previous = e.ChildPid();
    std::this_thread::sleep_for(300ms);
    ::kill(Previous, SIGKILL);
  }
  ASSERT_TRUE(Until([&] { return e.State() == esReady && e.ChildPid() != Previous; }))
      << e.Detail();
  EXPECT_EQ(e.Restarts(), 1);
  EXPECT_TRUE(Logged(llInfo,
                     "inference process had run healthy for 1 min or more; restarts are counted "
                     "from zero again"));
}

TEST_F(S2LocalServer, AnswersThatAreNotSpeech) {
  struct TCase {
    std::string Args;
    std::string Pattern;
  };
  const TCase Cases[] = {
      {"--test-status 500", "推理进程返回 500:[\\s\\S]+"},
      {"--test-not-wav", "推理进程返回的 [0-9]+ 字节不是能识别的 WAV"},
  };
  for (const TCase& c : Cases) {
    TS2LocalEngine& e = Start(c.Args);
    ASSERT_TRUE(UntilState(esReady)) << e.Detail();
    try {
      e.Synthesize(Says("hello"), {});
      ADD_FAILURE() << "no exception for " << c.Args;
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecEngineFailed);
      EXPECT_TRUE(std::regex_match(std::string(E.what()), std::regex(c.Pattern))) << E.what();
    }
    EXPECT_EQ(e.State(), esReady);
  }
}

TEST_F(S2LocalServer, AnAnswerThatTakesTooLongIsACommunicationFailure) {
  TEngineOptions Options;
  Options.TimeoutMs = 300;
  TS2LocalEngine& e = Start("--test-answer-delay-ms 5000", Options);
  ASSERT_TRUE(UntilState(esReady)) << e.Detail();
  try {
    e.Synthesize(Says("hello"), {});
    ADD_FAILURE() << "no exception";
  } catch (const ETtsError& E) {
    EXPECT_EQ(E.Code(), ecEngineFailed);
    const std::string Text = E.what();
    EXPECT_EQ(Text.rfind("跟推理进程通信失败:", 0), 0u) << Text;
    EXPECT_NE(Text.find("(日志 " + Log() + ")"), std::string::npos) << Text;
  }
  EXPECT_EQ(e.State(), esReady);
}

TEST_F(S2LocalServer, ARequestToAVanishedChildLeavesTheRestartToTheSupervisor) {
  Timing.LivenessPoll = 1h;  // the supervisor must not notice first
  Timing.GoneGrace = 3s;
  struct TCase {
    const char* Title;
    std::string Args;
    bool KillFirst;
  };
  const TCase Cases[] = {
      {"killed before the request", "", true},
      // The server crashes while it answers: the connection drops while it is still exiting.
      {"crashes while answering",
       "--test-answer-delay-ms 60000 --test-signal ABRT "
       "--test-signal-after-ms 1500",
       false},
  };
  for (const TCase& c : Cases) {
    TS2LocalEngine& e = Start(c.Args);
    ASSERT_TRUE(UntilState(esReady)) << e.Detail();
    const pid_t Pid = e.ChildPid();
    if (c.KillFirst) {
      ::kill(Pid, SIGKILL);
      ASSERT_TRUE(Until([Pid] { return ProcessState(Pid) == 'Z'; }));
    }
    try {
      e.Synthesize(Says("hello"), {});
      ADD_FAILURE() << c.Title << ": no exception";
    } catch (const ETtsError& E) {
      EXPECT_EQ(E.Code(), ecEngineNotConnected) << c.Title;
      EXPECT_EQ(std::string(E.what()),
                "推理进程不在了(崩了或被结束),正在自动重启,过几秒再试。\r\n原因看 " + Log());
    }
    EXPECT_EQ(e.State(), esLoading) << c.Title;
    EXPECT_EQ(e.Detail(), "推理进程不在了,正在重启…");
  }
}

TEST_F(S2LocalServer, UnloadAndStartAgain) {
  TS2LocalEngine& e = Start();
  ASSERT_TRUE(UntilState(esReady)) << e.Detail();
  const pid_t Pid = e.ChildPid();
  e.Unload();
  EXPECT_EQ(e.State(), esUnloaded);
  EXPECT_EQ(e.Detail(), "模型已卸载,内存已释放");
  EXPECT_EQ(ProcessState(Pid), 0) << "the child was not ended and reaped";
  EXPECT_TRUE(Logged(llInfo, "model unloaded on request, memory released"));
  EXPECT_THROW(e.Synthesize(Says("hello"), {}), ETtsError);

  e.Start();
  ASSERT_TRUE(UntilState(esReady)) << e.Detail();
  EXPECT_GT(e.Synthesize(Says("hello again"), {}).DurationMs(), 0);
}

TEST_F(S2LocalServer, WithoutAModelNothingStarts) {
  fs::remove(FRoot + "models/" + ModelName);
  TS2LocalEngine& e = Start();
  EXPECT_EQ(e.State(), esMissing);
  EXPECT_EQ(e.Detail(), "bin 里缺 models/*.gguf");
  EXPECT_EQ(e.ChildPid(), 0);
  EXPECT_TRUE(Logged(
      llWarn, "model files incomplete (missing models/*.gguf); falling back to placeholder audio"));
}

TEST_F(S2LocalServer, AMissingNamedModelFallsBackToTheLargest) {
  std::ofstream(FRoot + "models/a-small.gguf") << "GGUF";
  TEngineOptions Options;
  Options.ModelFile = "gone.gguf";
  TS2LocalEngine& e = Start({}, Options);
  ASSERT_TRUE(UntilState(esReady)) << e.Detail();
  EXPECT_EQ(e.ModelPath(), FRoot + "models/" + ModelName);
}

TEST_F(S2LocalServer, ReadinessHasATimeLimit) {
  Timing.ReadyLimit = 1s;
  TS2LocalEngine& e = Start("--test-ready-delay-ms 60000");
  ASSERT_TRUE(UntilState(esFailed)) << e.Detail();
  EXPECT_EQ(e.Detail(), Format("等了 %d 秒模型还没加载完,看 %s", 1, Log()));
}

TEST_F(S2LocalServer, NoFreePortStartsNoChild) {
  TListener Busy(Timing.FirstPort);
  ASSERT_TRUE(Busy.Ok());
  TS2LocalEngine& e = Start();
  EXPECT_EQ(e.State(), esFailed);
  EXPECT_EQ(e.Detail(), "本机 17151..17170 全被占用,推理进程无处可放");
  EXPECT_EQ(e.ChildPid(), 0);
}

// Another service that has just found the same port free claims it before its server
// listens; this one must take the next port, not start a second server on the first.
TEST_F(S2LocalServer, APortAnotherServiceClaimedIsPassedOver) {
  // The kernel hands out ports from the range client connections use too, so the next port
  // may be some other test's connection; only a port a server can bind is worth the try.
  for (int Try = 0; Try < 20 && !TListener(Timing.FirstPort + 1).Ok(); ++Try)
    Timing.FirstPort = UnusedLoopbackPort();
  const TPortClaim Elsewhere(Timing.FirstPort);
  ASSERT_TRUE(Elsewhere.Held());
  Timing.LastPort = Timing.FirstPort + 1;
  if (!TListener(Timing.LastPort).Ok()) GTEST_SKIP() << "no two neighbouring ports are free";
  TS2LocalEngine& e = Start();
  ASSERT_TRUE(UntilState(esReady)) << e.Detail();
  EXPECT_EQ(e.Port(), Timing.LastPort);
  EXPECT_FALSE(TPortClaim(Timing.LastPort).Held());
  FEngine.reset();
  EXPECT_TRUE(TPortClaim(Timing.LastPort).Held());
}

TEST_F(S2LocalServer, AnExecutableThatCannotRunFailsTheStart) {
  fs::remove(FRoot + "engine/s2");
  std::ofstream(FRoot + "engine/s2") << "not a program";
  fs::permissions(FRoot + "engine/s2", fs::perms::owner_read | fs::perms::owner_write);
  TS2LocalEngine& e = Start();
  EXPECT_EQ(e.State(), esFailed);
  EXPECT_EQ(e.Detail(), Format("推理进程起不来(Win32 %d):%s", EACCES, Exe()));
}

}  // namespace
}  // namespace quavox
