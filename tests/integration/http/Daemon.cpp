#include "Daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "audio/Wav.h"
#include "platform/Files.h"
#include "support/TempDir.h"

extern char** environ;

namespace quavox::test {

namespace fs = std::filesystem;

namespace {

constexpr auto StartLimit = std::chrono::seconds(60);
constexpr auto ExitLimit = std::chrono::seconds(60);

std::string DaemonPath() {
  return QUAVOX_BIN_DIR "/quavoxd";
}

// The test's own environment, except that XDG_DATA_HOME is AXdgDataHome: the daemon copies
// legacy clips from there, and a developer's real ones must never reach a test folder.
std::vector<std::string> ChildEnvironment(const std::string& AXdgDataHome) {
  std::vector<std::string> Env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string_view(*e).substr(0, 14) != "XDG_DATA_HOME=") Env.emplace_back(*e);
  Env.push_back("XDG_DATA_HOME=" + AXdgDataHome);
  return Env;
}

pid_t Spawn(const std::vector<std::string>& AArgs, const std::string& AOutFile,
            const std::string& AErrFile, const std::string& AXdgDataHome) {
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 1, AOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&Actions, 2, AErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> Args = AArgs;
  Args.insert(Args.begin(), DaemonPath());
  std::vector<char*> Argv;
  for (std::string& Arg : Args)
    Argv.push_back(Arg.data());
  Argv.push_back(nullptr);
  std::vector<std::string> Env = ChildEnvironment(AXdgDataHome);
  std::vector<char*> Envp;
  for (std::string& Entry : Env)
    Envp.push_back(Entry.data());
  Envp.push_back(nullptr);
  fs::create_directories(AXdgDataHome);
  pid_t Pid = -1;
  if (posix_spawn(&Pid, Argv[0], &Actions, nullptr, Argv.data(), Envp.data()) != 0) Pid = -1;
  posix_spawn_file_actions_destroy(&Actions);
  return Pid;
}

// The exit code, or -1 when the process is still running after ALimit.
int WaitForExit(pid_t APid, std::chrono::seconds ALimit) {
  const auto Deadline = std::chrono::steady_clock::now() + ALimit;
  for (;;) {
    int Status = 0;
    const pid_t r = waitpid(APid, &Status, WNOHANG);
    if (r == APid) {
      if (WIFEXITED(Status)) return WEXITSTATUS(Status);
      if (WIFSIGNALED(Status)) return 128 + WTERMSIG(Status);
      return -1;
    }
    if (r < 0 || std::chrono::steady_clock::now() > Deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ReadText(const std::string& AFile) {
  std::ifstream In(AFile, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

}  // namespace

TDaemon::TDaemon(const std::string& AName, const TJson& AConfig) : FRootDir("quavoxd-" + AName) {
  fs::create_directories(FRoot + "data");
  FPort = UnusedLoopbackPort();
  TJson Config = TJson::object();
  Config["server"] = {{"port", FPort}, {"bind", "127.0.0.1"}};
  for (const auto& [Section, Values] : AConfig.items()) {
    if (!Config.contains(Section)) Config[Section] = TJson::object();
    for (const auto& [Name, Value] : Values.items())
      Config[Section][Name] = Value;
  }
  FHost = Config["server"]["bind"].get<std::string>();
  WriteFileAtomic(FRoot + "data/config.json", JsonDumpIndented(Config));
}

TDaemon::~TDaemon() {
  if (FPid > 0 && FExitCode < 0) Stop(SIGKILL);
}

bool TDaemon::Launch() {
  FExitCode = -1;
  std::vector<std::string> Args = {"--root", FRoot};
  // Unless asked for, the build's engine and text tables stay out of sight: a test decides
  // what its program folder holds.
  if (!FShippedFiles) Args.insert(Args.end(), {"--program-files", FRoot});
  FPid = Spawn(Args, FRoot + "stdout.log", FRoot + "stderr.log", FRoot + "xdg");
  return FPid > 0;
}

bool TDaemon::Start() {
  if (!Launch()) return false;
  const auto Deadline = std::chrono::steady_clock::now() + StartLimit;
  httplib::Client Probe(FHost, FPort);
  Probe.set_connection_timeout(0, 200000);
  while (std::chrono::steady_clock::now() < Deadline) {
    if (!Alive()) return false;
    if (auto Res = Probe.Get("/health"); Res && Res->status == 200) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool TDaemon::Alive() {
  if (FPid <= 0 || FExitCode >= 0) return false;
  int Status = 0;
  const pid_t r = waitpid(FPid, &Status, WNOHANG);
  if (r == 0) return true;
  FExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  return false;
}

int TDaemon::Stop(int ASignal) {
  if (FPid <= 0) return -1;
  if (FExitCode >= 0) return FExitCode;
  ::kill(FPid, ASignal);
  FExitCode = WaitForExit(FPid, ExitLimit);
  if (FExitCode < 0) {
    ::kill(FPid, SIGKILL);
    WaitForExit(FPid, ExitLimit);
  }
  return FExitCode;
}

int TDaemon::Wait() {
  if (FPid <= 0) return -1;
  if (FExitCode < 0) FExitCode = WaitForExit(FPid, ExitLimit);
  return FExitCode;
}

std::string TDaemon::BaseUrl() const {
  return "http://" + FHost + ":" + std::to_string(FPort);
}

httplib::Client TDaemon::Client() const {
  httplib::Client Cli(FHost, FPort);
  Cli.set_keep_alive(true);
  Cli.set_read_timeout(60, 0);
  return Cli;
}

httplib::Client TDaemon::ClientFrom(const std::string& ASource) const {
  httplib::Client Cli = Client();
  Cli.set_socket_options([ASource](int AFd) {
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    inet_pton(AF_INET, ASource.c_str(), &Addr.sin_addr);
    ::bind(AFd, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr);
  });
  return Cli;
}

std::string TDaemon::Stderr() const {
  return ReadText(FRoot + "stderr.log");
}

int RunDaemonOnce(const std::vector<std::string>& AArgs, std::string& AOut, std::string& AErr) {
  const TTempDir Scratch("quavoxd-run");
  const pid_t Pid = Spawn(AArgs, Scratch.Path("out"), Scratch.Path("err"), Scratch.Path("xdg"));
  if (Pid <= 0) return -1;
  const int Code = WaitForExit(Pid, ExitLimit);
  AOut = ReadText(Scratch.Path("out"));
  AErr = ReadText(Scratch.Path("err"));
  return Code;
}

std::string RawExchange(int APort, const std::string& ABytes) {
  const int Sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Addr.sin_port = htons(static_cast<uint16_t>(APort));
  std::string Answer;
  if (::connect(Sock, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) == 0) {
    std::size_t Sent = 0;
    while (Sent < ABytes.size()) {
      const ssize_t n = ::send(Sock, ABytes.data() + Sent, ABytes.size() - Sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      Sent += static_cast<std::size_t>(n);
    }
    char Buffer[4096];
    pollfd Item{Sock, POLLIN, 0};
    while (::poll(&Item, 1, 3000) > 0) {
      const ssize_t n = ::recv(Sock, Buffer, sizeof Buffer, 0);
      if (n <= 0) break;
      Answer.append(Buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(Sock);
  return Answer;
}

std::string Base64(const TBytes& ABytes) {
  static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Text;
  for (std::size_t i = 0; i < ABytes.size(); i += 3) {
    const uint32_t n = (ABytes[i] << 16) | ((i + 1 < ABytes.size() ? ABytes[i + 1] : 0) << 8) |
                       (i + 2 < ABytes.size() ? ABytes[i + 2] : 0);
    Text += Alphabet[(n >> 18) & 63];
    Text += Alphabet[(n >> 12) & 63];
    Text += i + 1 < ABytes.size() ? Alphabet[(n >> 6) & 63] : '=';
    Text += i + 2 < ABytes.size() ? Alphabet[n & 63] : '=';
  }
  return Text;
}

bool BundledEngineBuilt() {
  return fs::exists(QUAVOX_BIN_DIR "/engine/s2") &&
         fs::exists(QUAVOX_BIN_DIR "/models/quavox-espeak.gguf");
}

void InstallBundledEngine(const TDaemon& ADaemon) {
  fs::create_directories(ADaemon.Root() + "engine");
  fs::create_directories(ADaemon.Root() + "models");
  fs::copy_file(QUAVOX_BIN_DIR "/engine/s2", ADaemon.Root() + "engine/s2");
  fs::copy_file(QUAVOX_BIN_DIR "/models/quavox-espeak.gguf",
                ADaemon.Root() + "models/quavox-espeak.gguf");
}

bool WaitUntilReady(httplib::Client& ACli, std::chrono::seconds ALimit) {
  const auto Deadline = std::chrono::steady_clock::now() + ALimit;
  while (std::chrono::steady_clock::now() < Deadline) {
    const auto Res = ACli.Get("/v1/health");
    const auto Health = Res ? ParseJsonObject(Res->body) : std::nullopt;
    if (Health && JsonString(&*Health, "status", "") == "ready") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TBytes TremoloToneWav(float AFrequency) {
  TPcmBuffer Pcm;
  Pcm.SampleRate = 22050;
  for (int i = 0; i < Pcm.SampleRate * 2; ++i) {
    const double t = static_cast<double>(i) / Pcm.SampleRate;
    Pcm.Data.push_back(static_cast<float>((0.3 + 0.2 * std::sin(2 * M_PI * 3 * t)) *
                                          std::sin(2 * M_PI * AFrequency * t)));
  }
  return PcmToWav(Pcm, 1);
}

void ShipTextTables(const TDaemon& ADaemon) {
  std::filesystem::copy(QUAVOX_BIN_DIR "/text", ADaemon.Root() + "text",
                        std::filesystem::copy_options::recursive);
}

std::string ConfigText(const TDaemon& ADaemon) {
  std::ifstream In(ADaemon.Root() + "data/config.json", std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

TJson ConfigJson(const TDaemon& ADaemon) {
  return ParseJsonObject(StripUtf8Bom(ConfigText(ADaemon))).value_or(TJson::object());
}

void EditConfig(const TDaemon& ADaemon, const std::string& ASection, const std::string& AMember,
                const TJson& AValue) {
  TJson Root = ConfigJson(ADaemon);
  if (AValue.is_null())
    Root[ASection].erase(AMember);
  else
    Root[ASection][AMember] = AValue;
  std::ofstream(ADaemon.Root() + "data/config.json", std::ios::binary | std::ios::trunc)
      << Root.dump(2);
}

bool WaitForLine(const TDaemon& ADaemon, const std::string& AText) {
  for (int i = 0; i < 1000; ++i) {
    if (ADaemon.Stderr().find(AText) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace quavox::test
