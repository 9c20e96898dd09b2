// What the bundled inference server costs on top of espeak-ng itself. One round trip is what
// the supervisor does per utterance: a multipart POST /generate over loopback, espeak-ng
// speaking in the server's child, the WAV back and decoded with WavToPcm. It is timed side by
// side with espeak-ng speaking the same sentence inside this process; the difference is the
// server's overhead. A second benchmark times the start of the server until a TCP connect to
// its port succeeds, which is when the supervisor counts it as ready.
// The server and its voice file are taken from the build beside this program
// (../bin/engine/s2, ../bin/models/quavox-espeak.gguf).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/Wav.h"
#include "platform/Files.h"
#include "platform/Loopback.h"

extern char** environ;

namespace quavox {
namespace {

using TClock = std::chrono::steady_clock;

struct TSentence {
  const char* Voice;
  const char* Text;
};

const TSentence Sentences[] = {
    {"cmn", "各位旅客请注意,本次航班即将起飞,请系好安全带,收起小桌板。"},
    {"en",
     "Ladies and gentlemen, we are now ready for departure. Please fasten your seat belt and "
     "stow your tray table."},
};

std::string ServerPath() {
  return ExecutableDir() + "../bin/engine/s2";
}
std::string ModelPath() {
  return ExecutableDir() + "../bin/models/quavox-espeak.gguf";
}

double Ms(TClock::duration ADuration) {
  return std::chrono::duration<double, std::milli>(ADuration).count();
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Processor time of a process, of its children that it has reaped, and of the processes
// still running below it, in ms.
double TreeCpuMs(pid_t APid) {
  const std::string Dir = "/proc/" + std::to_string(APid) + "/";
  std::ifstream Stat(Dir + "stat");
  const std::string Text((std::istreambuf_iterator<char>(Stat)), {});
  const size_t Close = Text.rfind(')');
  if (Close == std::string::npos) return 0;
  std::istringstream Fields(Text.substr(Close + 2));
  std::string Skip;
  for (int i = 3; i < 14; ++i)
    Fields >> Skip;      // state .. cmajflt
  double Ticks[4] = {};  // utime stime cutime cstime
  for (double& t : Ticks)
    Fields >> t;
  double Ms = (Ticks[0] + Ticks[1] + Ticks[2] + Ticks[3]) * 1000.0 /
              static_cast<double>(sysconf(_SC_CLK_TCK));
  std::error_code Ignored;
  for (const auto& Task : std::filesystem::directory_iterator(Dir + "task", Ignored)) {
    std::ifstream Children(Task.path() / "children");
    pid_t Child = 0;
    while (Children >> Child)
      Ms += TreeCpuMs(Child);
  }
  return Ms;
}

// The server as a child process with its log thrown away; killed when dropped.
class TServerProcess {
 public:
  explicit TServerProcess(int APort) {
    std::vector<std::string> Args{ServerPath(), "--model",   ModelPath(), "--server",
                                  "--host",     "127.0.0.1", "--port",    std::to_string(APort)};
    std::vector<char*> Argv;
    for (std::string& a : Args)
      Argv.push_back(a.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    if (posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~TServerProcess() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  bool Running() const { return FPid > 0 && ::waitpid(FPid, nullptr, WNOHANG) == 0; }
  // Processor time of the server and of every process below it, in ms.
  double CpuMs() const { return TreeCpuMs(FPid); }

 private:
  pid_t FPid = -1;
};

// espeak-ng inside this process, loaded at run time so the benchmark needs no link to it.
class TLocalEspeak {
 public:
  TLocalEspeak() {
    FLib = dlopen("libespeak-ng.so.1", RTLD_NOW);
    if (FLib == nullptr) return;
    InitializePath = Symbol<decltype(&espeak_ng_InitializePath)>("espeak_ng_InitializePath");
    auto Initialize = Symbol<decltype(&espeak_ng_Initialize)>("espeak_ng_Initialize");
    auto InitializeOutput =
        Symbol<decltype(&espeak_ng_InitializeOutput)>("espeak_ng_InitializeOutput");
    auto SetCallback = Symbol<decltype(&espeak_SetSynthCallback)>("espeak_SetSynthCallback");
    SetVoice = Symbol<decltype(&espeak_SetVoiceByName)>("espeak_SetVoiceByName");
    Synthesize = Symbol<decltype(&espeak_ng_Synthesize)>("espeak_ng_Synthesize");
    Synchronize = Symbol<decltype(&espeak_ng_Synchronize)>("espeak_ng_Synchronize");
    if (!InitializePath || !Initialize || !InitializeOutput || !SetCallback || !SetVoice ||
        !Synthesize || !Synchronize)
      return;
    InitializePath(nullptr);
    espeak_ng_ERROR_CONTEXT Context = nullptr;
    if (Initialize(&Context) != ENS_OK) return;
    if (InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr) != ENS_OK) return;
    SetCallback(&Collect);
    FReady = true;
  }
  bool Ready() const { return FReady; }

  // Samples of one sentence, with the flags of espeak-ng's command line.
  size_t Speak(const TSentence& ASentence) {
    GSamples.clear();
    SetVoice(ASentence.Voice);
    const unsigned Flags = espeakCHARS_AUTO | espeakPHONEMES | espeakENDPAUSE;
    Synthesize(ASentence.Text, std::strlen(ASentence.Text) + 1, 0, POS_CHARACTER, 0, Flags, nullptr,
               nullptr);
    Synchronize();
    return GSamples.size();
  }

 private:
  template <typename T>
  T Symbol(const char* AName) {
    return reinterpret_cast<T>(dlsym(FLib, AName));
  }
  static int Collect(short* AWav, int ACount, espeak_EVENT*) {
    if (AWav != nullptr && ACount > 0) GSamples.insert(GSamples.end(), AWav, AWav + ACount);
    return 0;
  }

  static inline std::vector<short> GSamples;
  void* FLib = nullptr;
  bool FReady = false;
  decltype(&espeak_ng_InitializePath) InitializePath = nullptr;
  decltype(&espeak_SetVoiceByName) SetVoice = nullptr;
  decltype(&espeak_ng_Synthesize) Synthesize = nullptr;
  decltype(&espeak_ng_Synchronize) Synchronize = nullptr;
};

size_t Append(char* AData, size_t ASize, size_t ACount, void* ATarget) {
  static_cast<std::string*>(ATarget)->append(AData, ASize * ACount);
  return ASize * ACount;
}

// One generate request the way the supervisor makes it: a fresh connection, the parts in
// order, an empty reference. Returns the decoded sample count, 0 on any failure.
size_t RoundTrip(int APort, const TSentence& ASentence) {
  CURL* Curl = curl_easy_init();
  curl_mime* Form = curl_mime_init(Curl);
  auto Field = [&](const char* AName, const std::string& AData, const char* AType,
                   const char* AFileName = nullptr) {
    curl_mimepart* Part = curl_mime_addpart(Form);
    curl_mime_name(Part, AName);
    curl_mime_data(Part, AData.data(), AData.size());
    curl_mime_type(Part, AType);
    if (AFileName != nullptr) curl_mime_filename(Part, AFileName);
  };
  Field("text", ASentence.Text, "text/plain; charset=utf-8");
  Field("params",
        "{\"max_new_tokens\":1024,\"temperature\":0.58,\"top_p\":0.8,\"top_k\":40,"
        "\"repetition_penalty\":1.1}",
        "application/json");
  Field("reference", "", "application/octet-stream", "reference.wav");
  Field("reference_text", "", "text/plain; charset=utf-8");
  std::string Body;
  const std::string Url = "http://127.0.0.1:" + std::to_string(APort) + "/generate";
  curl_easy_setopt(Curl, CURLOPT_URL, Url.c_str());
  curl_easy_setopt(Curl, CURLOPT_MIMEPOST, Form);
  curl_easy_setopt(Curl, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(Curl, CURLOPT_WRITEDATA, &Body);
  long Status = 0;
  if (curl_easy_perform(Curl) == CURLE_OK) curl_easy_getinfo(Curl, CURLINFO_RESPONSE_CODE, &Status);
  curl_mime_free(Form);
  curl_easy_cleanup(Curl);
  TPcmBuffer Pcm;
  if (Status != 200 || !WavToPcm(std::span<const uint8_t>(
                                     reinterpret_cast<const uint8_t*>(Body.data()), Body.size()),
                                 Pcm))
    return 0;
  return Pcm.Data.size();
}

double Median(std::vector<double> AValues) {
  if (AValues.empty()) return 0;
  std::nth_element(AValues.begin(), AValues.begin() + AValues.size() / 2, AValues.end());
  return AValues[AValues.size() / 2];
}

// Reported time = one round trip. Counters: the medians of espeak-ng in this process, of the
// round trip, and of their difference per iteration (the server's overhead in wall-clock
// time, which on a busy machine is mostly waiting to be scheduled); and the processor time
// the round trip costs beyond espeak-ng's own (this program's side plus the server with its
// speaking children, averaged), which does not depend on what else the machine is doing.
// espeak-ng and the round trip alternate in which goes first, so neither profits from the
// other's warm caches.
void BM_S2RoundTrip(benchmark::State& AState) {
  const TSentence& Sentence = Sentences[AState.range(0)];
  TLocalEspeak Local;
  if (!Local.Ready()) {
    AState.SkipWithError("libespeak-ng.so.1 cannot be loaded");
    return;
  }
  const int Port = UnusedLoopbackPort();
  TServerProcess Server(Port);
  const auto Until = TClock::now() + std::chrono::seconds(10);
  while (Server.Running() && !PortAccepts(Port, std::chrono::milliseconds(500)) &&
         TClock::now() < Until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!PortAccepts(Port, std::chrono::milliseconds(500))) {
    AState.SkipWithError(("the server does not start: " + ServerPath()).c_str());
    return;
  }
  std::vector<double> LocalMs, TripMs, OverheadMs;
  double LocalCpu = 0, ClientCpu = 0;
  const double ServerCpuBefore = Server.CpuMs();
  for (auto _ : AState) {
    const bool LocalFirst = LocalMs.size() % 2 == 0;
    TClock::duration LocalTime{}, TripTime{};
    size_t LocalSamples = 0, TripSamples = 0;
    for (int Step = 0; Step < 2; ++Step) {
      const auto t0 = TClock::now();
      const double c0 = ThreadCpuMs();
      if ((Step == 0) == LocalFirst) {
        LocalSamples = Local.Speak(Sentence);
        LocalTime = TClock::now() - t0;
        LocalCpu += ThreadCpuMs() - c0;
      } else {
        TripSamples = RoundTrip(Port, Sentence);
        TripTime = TClock::now() - t0;
        ClientCpu += ThreadCpuMs() - c0;
      }
    }
    if (TripSamples == 0 || LocalSamples == 0) {
      AState.SkipWithError("a round trip failed");
      return;
    }
    LocalMs.push_back(Ms(LocalTime));
    TripMs.push_back(Ms(TripTime));
    OverheadMs.push_back(Ms(TripTime - LocalTime));
    AState.SetIterationTime(std::chrono::duration<double>(TripTime).count());
  }
  const double n = static_cast<double>(LocalMs.size());
  AState.counters["espeak_ms"] = Median(LocalMs);
  AState.counters["roundtrip_ms"] = Median(TripMs);
  AState.counters["overhead_ms"] = Median(OverheadMs);
  AState.counters["overhead_cpu_ms"] =
      (ClientCpu + Server.CpuMs() - ServerCpuBefore - LocalCpu) / n;
  AState.SetLabel(Sentence.Voice);
}
BENCHMARK(BM_S2RoundTrip)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100);

// Reported time = from spawning the server to the first successful TCP connect.
void BM_S2Ready(benchmark::State& AState) {
  double Worst = 0;
  std::vector<double> Times;
  for (auto _ : AState) {
    const int Port = UnusedLoopbackPort();
    const auto t0 = TClock::now();
    TServerProcess Server(Port);
    while (!PortAccepts(Port, std::chrono::milliseconds(500))) {
      if (!Server.Running() || TClock::now() - t0 > std::chrono::seconds(10)) {
        AState.SkipWithError("the server does not start");
        return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double Elapsed = Ms(TClock::now() - t0);
    Worst = std::max(Worst, Elapsed);
    AState.SetIterationTime(Elapsed / 1000);
    Times.push_back(Elapsed);
  }
  AState.counters["median_ms"] = Median(Times);
  AState.counters["worst_ms"] = Worst;
}
BENCHMARK(BM_S2Ready)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace
}  // namespace quavox

BENCHMARK_MAIN();
