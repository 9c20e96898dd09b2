// The bundled inference server "s2": loads its voice file, listens on the loopback port the
// supervisor gave it and answers POST /generate with a WAV spoken by espeak-ng. Everything
// it has to say goes to standard error, which the supervisor keeps as the engine log.
#include <httplib.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "EspeakSynth.h"
#include "ReferenceMemo.h"
#include "SpeechPlan.h"
#include "VoiceBook.h"
#include "core/Format.h"

namespace quavox::s2 {

namespace {

// Set by the generate handler once it has logged its own line for the request it serves;
// the access logger runs on the same thread right after and then stays quiet.
thread_local bool GRequestLogged = false;

// One line per event in one write(2): lines of concurrent requests never interleave, and
// no stdio lock is involved that a speaking child could inherit while another thread
// holds it.
void LogLine(const std::string& AText) {
  timeval Now{};
  gettimeofday(&Now, nullptr);
  tm Local{};
  localtime_r(&Now.tv_sec, &Local);
  char Stamp[32];
  std::snprintf(Stamp, sizeof Stamp, "%02d:%02d:%02d.%03d", Local.tm_hour, Local.tm_min,
                Local.tm_sec, static_cast<int>(Now.tv_usec / 1000));
  std::string Line = std::string(Stamp) + " s2: " + AText;
  for (char& c : Line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  Line += '\n';
  GRequestLogged = true;
  const char* p = Line.data();
  size_t Left = Line.size();
  while (Left > 0) {
    const ssize_t n = write(STDERR_FILENO, p, Left);
    if (n <= 0) return;
    p += n;
    Left -= static_cast<size_t>(n);
  }
}

size_t CodePoints(const std::string& AText) {
  size_t n = 0;
  for (char c : AText)
    n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

int ElapsedMs(std::chrono::steady_clock::time_point AStart) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - AStart)
                              .count());
}

double ElapsedMsExact(std::chrono::steady_clock::time_point AStart) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - AStart)
      .count();
}

// Ends the process by the signal itself, as a real crash would, past any handler that a
// sanitizer runtime may have installed, and without leaving a core file behind.
[[noreturn]] void DieBySignal(int ASignal) {
  const rlimit NoCore{0, 0};
  setrlimit(RLIMIT_CORE, &NoCore);
  struct {
    void* Handler;
    unsigned long Flags;
    void* Restorer;
    uint64_t Mask;
  } Default{nullptr, 0, nullptr, 0};  // SIG_DFL, the kernel's own layout
  syscall(SYS_rt_sigaction, ASignal, &Default, nullptr, sizeof(uint64_t));
  sigset_t Set;
  sigemptyset(&Set);
  sigaddset(&Set, ASignal);
  pthread_sigmask(SIG_UNBLOCK, &Set, nullptr);
  syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), ASignal);
  _exit(128 + ASignal);
}

// The delays count from AStart, the start of the program.
void StartTestTimers(const TS2Options& AOptions, std::chrono::steady_clock::time_point AStart) {
  if (AOptions.TestExitAfterMs >= 0) {
    std::thread([AStart, Ms = AOptions.TestExitAfterMs, Code = AOptions.TestExitCode] {
      std::this_thread::sleep_until(AStart + std::chrono::milliseconds(Ms));
      LogLine(Format("test switch: exiting with status %d after %d ms", Code, Ms));
      _exit(Code);
    }).detach();
  }
  if (AOptions.TestSignalAfterMs >= 0) {
    std::thread([AStart, Ms = AOptions.TestSignalAfterMs, Signal = AOptions.TestSignal] {
      std::this_thread::sleep_until(AStart + std::chrono::milliseconds(Ms));
      LogLine(Format("test switch: raising %s after %d ms", SignalName(Signal), Ms));
      DieBySignal(Signal);
    }).detach();
  }
}

class TGenerateService {
 public:
  TGenerateService(const TS2Options& AOptions, const TVoiceBook& ABook, TEspeakSynth& ASynth)
      : FOptions(AOptions), FBook(ABook), FSynth(ASynth) {}

  void Handle(const httplib::Request& AReq, httplib::Response& ARes) {
    if (FOptions.TestAnswerDelayMs > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(FOptions.TestAnswerDelayMs));
    if (FOptions.TestStatus != 0) {
      Answer(ARes, FOptions.TestStatus, Format("test status %d", FOptions.TestStatus));
      LogLine(Format("POST /generate %d (test switch)", FOptions.TestStatus));
      return;
    }
    if (FOptions.TestNotWav) {
      Answer(ARes, 200, "not a wav");
      LogLine("POST /generate 200 not a wav (test switch)");
      return;
    }
    TGenerateParts Parts;
    TRequestError Error;
    TSpeechPlan Plan;
    if (!AReq.is_multipart_form_data()) {
      Error = {400, "the request is not multipart/form-data"};
    } else {
      const auto Start = std::chrono::steady_clock::now();
      ReadParts(AReq, Parts);
      if (PlanSpeech(FBook, Parts, Plan, Error, &FReferences)) {
        Speak(Plan, ElapsedMsExact(Start), ARes);
        return;
      }
    }
    Answer(ARes, Error.Status, Error.Message);
    LogLine(Format("POST /generate %d text=%d: %s", Error.Status, CodePoints(Parts.Text),
                   Error.Message));
  }

 private:
  static void Answer(httplib::Response& ARes, int AStatus, const std::string& ALine) {
    ARes.status = AStatus;
    ARes.set_content(ALine, "text/plain; charset=utf-8");
  }

  static void ReadParts(const httplib::Request& AReq, TGenerateParts& AParts) {
    auto Read = [&](const char* AName, bool& AHas, std::string& AValue) {
      AHas = AReq.has_file(AName);
      if (AHas) AValue = AReq.get_file_value(AName).content;
    };
    Read("text", AParts.HasText, AParts.Text);
    Read("params", AParts.HasParams, AParts.Params);
    Read("voice", AParts.HasVoice, AParts.Voice);
    Read("reference", AParts.HasReference, AParts.Reference);
    if (AParts.HasReference) AParts.ReferenceFileName = AReq.get_file_value("reference").filename;
    bool HasReferenceText = false;
    Read("reference_text", HasReferenceText, AParts.ReferenceText);
  }

  void Speak(const TSpeechPlan& APlan, double APlanMs, httplib::Response& ARes) {
    const auto Start = std::chrono::steady_clock::now();
    TSpeech Speech;
    std::string Why;
    const bool Ok = FSynth.Speak(APlan, Speech, Why);
    const int SynthMs = ElapsedMs(Start);
    const std::string Voice =
        APlan.Flite.empty()
            ? Format("voice=%s pitch=%d rate=%d", APlan.Voice, APlan.Pitch, APlan.Rate)
            : Format("voice=%s f0x=%.2f rangex=%.2f stretch=%.2f", APlan.Flite, APlan.F0Scale,
                     APlan.RangeScale, APlan.Stretch);
    const std::string What = Format("text=%d lang=%s %s seed=%d from=%s", CodePoints(APlan.Text),
                                    APlan.Language, Voice, APlan.Seed, APlan.Origin);
    if (!Ok) {
      Answer(ARes, 500, "synthesis failed: " + Why);
      LogLine(Format("POST /generate 500 %s synth=%dms: %s", What, SynthMs, Why));
      return;
    }
    ARes.status = 200;
    // Moved into the reply rather than copied by set_content.
    ARes.body = MonoWav16(Speech.Samples, Speech.SampleRate);
    ARes.set_header("Content-Type", "audio/wav");
    LogLine(Format("POST /generate 200 %s plan=%.2fms synth=%dms audio=%dms", What, APlanMs,
                   SynthMs,
                   static_cast<long long>(Speech.Samples.size()) * 1000 / Speech.SampleRate));
  }

  const TS2Options& FOptions;
  const TVoiceBook& FBook;
  TEspeakSynth& FSynth;
  TReferenceMemo FReferences;
};

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QX_S2_THREAD_SANITIZER 1
#endif
#endif

// ThreadSanitizer builds only. cpp-httplib comes uninstrumented from the system, so the
// sanitizer cannot see the guards of the function-local statics (regular expressions) that
// its multipart parser initialises on first use, and reports the first concurrent multipart
// requests as a race. One multipart request to a throwaway server, whose threads all end
// before the real server starts its own, initialises them in plain view.
void PrepareMultipartParser() {
#ifdef QX_S2_THREAD_SANITIZER
  httplib::Server Throwaway;
  Throwaway.Post("/", [](const httplib::Request&, httplib::Response& ARes) { ARes.status = 204; });
  const int Port = Throwaway.bind_to_any_port("127.0.0.1");
  if (Port <= 0) return;
  std::thread Serving([&] { Throwaway.listen_after_bind(); });
  httplib::Client Client("127.0.0.1", Port);
  Client.Post("/", httplib::MultipartFormDataItems{{"text", "-", "", "text/plain"}});
  Throwaway.stop();
  Serving.join();
#endif
}

int Run(int argc, char** argv) {
  // SIGTERM and SIGINT are taken by one thread that stops the server; every thread
  // started from here on inherits the blocked mask.
  sigset_t StopSignals;
  sigemptyset(&StopSignals);
  sigaddset(&StopSignals, SIGTERM);
  sigaddset(&StopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &StopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const auto Start = std::chrono::steady_clock::now();
  TS2Options Options;
  std::string Error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), Options, Error)) {
    LogLine("error: " + Error);
    LogLine(UsageText());
    return 2;
  }
  LogLine(Format("starting: model %s, port %d", Options.Model, Options.ListenPort()));
  if (!Options.Tokenizer.empty()) LogLine("tokenizer " + Options.Tokenizer + " is not needed");
  if (Options.GpuLayers >= 0 || Options.CudaDevice >= 0 || Options.VulkanDevice >= 0)
    LogLine("GPU options ignored: espeak-ng speaks on the CPU");

  TVoiceBook Book;
  if (!LoadVoiceFile(Options.Model, Book, Error)) {
    LogLine("refusing the model: " + Error);
    return 1;
  }
  // The speaker process is forked while this process has no other thread yet.
  TEspeakSynth Synth;
  if (!Synth.Initialize(Error)) {
    LogLine(Error);
    return 1;
  }
  StartTestTimers(Options, Start);
  if (Synth.SampleRate() != Book.SampleRate)
    LogLine(Format("espeak-ng speaks at %d Hz, the voice file expects %d Hz", Synth.SampleRate(),
                   Book.SampleRate));
  if (Options.TestReadyDelayMs > 0) {
    LogLine(Format("test switch: waiting %d ms before listening", Options.TestReadyDelayMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(Options.TestReadyDelayMs));
  }

  PrepareMultipartParser();
  httplib::Server Server;
  TGenerateService Service(Options, Book, Synth);
  Server.set_tcp_nodelay(true);
  Server.set_payload_max_length(64u << 20);
  Server.Post("/generate", [&](const httplib::Request& AReq, httplib::Response& ARes) {
    Service.Handle(AReq, ARes);
  });
  Server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& ARes, std::exception_ptr AError) {
        std::string What = "unknown error";
        try {
          std::rethrow_exception(AError);
        } catch (const std::exception& e) {
          What = e.what();
        } catch (...) {
        }
        ARes.status = 500;
        ARes.set_content("internal error: " + What, "text/plain; charset=utf-8");
      });
  // Statuses the library sets itself (unknown path, unreadable multipart body, body too
  // large) get a one-line body like every other answer.
  Server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request& AReq, httplib::Response& ARes) {
        if (!ARes.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string Line = Format("bad request (status %d)", ARes.status);
        if (ARes.status == 400 && AReq.path == "/generate")
          Line = "the multipart form cannot be read";
        if (ARes.status == 404) Line = "not found: " + AReq.method + " " + AReq.path;
        if (ARes.status == 413) Line = "the request is too large";
        ARes.set_content(Line, "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
      }));
  Server.set_logger([](const httplib::Request& AReq, const httplib::Response& ARes) {
    if (!GRequestLogged) LogLine(Format("%s %s %d", AReq.method, AReq.path, ARes.status));
    GRequestLogged = false;
  });

  if (!Server.bind_to_port(Options.Host, Options.ListenPort())) {
    LogLine(Format("cannot listen on %s:%d", Options.Host, Options.ListenPort()));
    return 1;
  }
  std::thread StopThread([&] {
    int Signal = 0;
    sigwait(&StopSignals, &Signal);
    Server.stop();
  });
  LogLine(Format("listening on %s:%d (%s, espeak-ng %s, %d Hz)", Options.Host, Options.ListenPort(),
                 Book.Name, Synth.Version(), Synth.SampleRate()));
  Server.listen_after_bind();
  // Wakes the stop thread when the server ended for another reason than a signal.
  pthread_kill(StopThread.native_handle(), SIGTERM);
  StopThread.join();
  LogLine("stopped");
  return 0;
}

}  // namespace

}  // namespace quavox::s2

#ifdef QX_S2_THREAD_SANITIZER
// ThreadSanitizer builds only. A speaker process that died is replaced by forking the
// running server; loading espeak-ng there starts a short-lived thread (its audio library
// probes for a sound server), which the sanitizer refuses after a multi-threaded fork unless
// told otherwise. The speaker runs nothing but espeak-ng.
extern "C" const char* __tsan_default_options() {
  return "die_after_fork=0";
}
#endif

int main(int argc, char** argv) {
  return quavox::s2::Run(argc, argv);
}
