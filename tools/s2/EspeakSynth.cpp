#include "EspeakSynth.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
// flite's headers do not all declare C linkage themselves.
extern "C" {
#include <flite/cst_cg.h>
#include <flite/flite.h>
}
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <span>

#include "CommandLine.h"
#include "core/Format.h"

// The English voices of Debian's libflite, linked in; each returns its voice, loaded.
extern "C" cst_voice* register_cmu_us_slt(const char* AVoxDir);
extern "C" cst_voice* register_cmu_us_rms(const char* AVoxDir);

namespace quavox::s2 {

namespace {

using TClock = std::chrono::steady_clock;

// Exit statuses of a speaking process.
enum TWorkerExit : int {
  weOk = 0,
  weNoVoice = 3,
  weSynthFailed = 4,
  weWriteFailed = 5,
};

// What travels from the speaker to the server: frames of a 32-bit word and what follows.
// A word below FirstMarker is the byte count of that many bytes of 16-bit samples; the
// markers carry one 32-bit value (Hello and InitFailed: more, see below).
const uint32_t FirstMarker = 0xFFFFFFF0u;
const uint32_t EndOfSpeech = 0xFFFFFFFFu;   // total sample count; the speech is complete
const uint32_t WorkerPid = 0xFFFFFFFEu;     // the speaking process, to stop it on time-out
const uint32_t WorkerFailed = 0xFFFFFFFDu;  // its wait status
const uint32_t Hello = 0xFFFFFFFCu;         // sample rate, then version length and text
const uint32_t InitFailed = 0xFFFFFFFBu;    // message length and text
const uint32_t SpeechRate = 0xFFFFFFFAu;    // the sample rate of the speech that follows

// A request: pitch, rate, the byte counts of the espeak-ng voice, the text and the flite
// voice, the scales of flite's pitch mean and spread and its duration stretch in 1/1000,
// then the three strings.
const size_t HeadWords = 8;

// Upper bounds the speaker holds a request to, far above anything the server sends.
const uint32_t MaxVoiceBytes = 256;
const uint32_t MaxPlanTextBytes = 1u << 20;
const uint32_t MaxSampleRate = 384000;

bool WriteAll(int AFd, const void* AData, size_t ASize) {
  const auto* p = static_cast<const char*>(AData);
  while (ASize > 0) {
    const ssize_t n = write(AFd, p, ASize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    ASize -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteWords(int AFd, uint32_t AFirst, uint32_t ASecond) {
  const uint32_t Words[2] = {AFirst, ASecond};
  return WriteAll(AFd, Words, sizeof Words);
}

// Blocking read of exactly ASize bytes; false at end of input or on error.
bool ReadAll(int AFd, void* AData, size_t ASize) {
  auto* p = static_cast<char*>(AData);
  while (ASize > 0) {
    const ssize_t n = read(AFd, p, ASize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    ASize -= static_cast<size_t>(n);
  }
  return true;
}

enum TReadResult : uint8_t { rrOk, rrEnded, rrTimedOut };

// Reads exactly ASize bytes before ADeadline.
TReadResult ReadBefore(int AFd, void* AData, size_t ASize, TClock::time_point ADeadline) {
  auto* p = static_cast<char*>(AData);
  while (ASize > 0) {
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now()).count();
    if (Left <= 0) return rrTimedOut;
    pollfd Poll{AFd, POLLIN, 0};
    const int r = poll(&Poll, 1, static_cast<int>(std::min<long long>(Left, 1000)));
    if (r < 0 && errno != EINTR) return rrEnded;
    if (r <= 0) continue;
    const ssize_t n = read(AFd, p, ASize);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return rrEnded;
    p += n;
    ASize -= static_cast<size_t>(n);
  }
  return rrOk;
}

// Only the standard streams (espeak-ng's complaints and sanitizer reports belong in the
// engine log) and the channel stay open in the speaker: the server's sockets must not
// live on in it.
void CloseAllBut(int AKeep) {
  if (AKeep > 3) close_range(3, static_cast<unsigned>(AKeep) - 1, 0);
  close_range(static_cast<unsigned>(AKeep) + 1, ~0u, 0);
}

void DieWithParent(pid_t AParent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != AParent) _exit(0);
}

// The speech of a speaking process (set only there, where one thread runs), sent in one
// go at the end: one wake-up of the server instead of one per 60 ms buffer of espeak-ng.
std::vector<int16_t>* GWorkerSamples = nullptr;

int CollectSamples(short* AWav, int ACount, espeak_EVENT*) {
  if (AWav != nullptr && ACount > 0)
    GWorkerSamples->insert(GWorkerSamples->end(), AWav, AWav + ACount);
  return 0;
}

bool SendSpeech(int AChannel, std::span<const int16_t> ASamples, int ASampleRate) {
  if (!WriteWords(AChannel, SpeechRate, static_cast<uint32_t>(ASampleRate))) return false;
  const size_t FrameSamples = 4u << 20;
  for (size_t At = 0; At < ASamples.size(); At += FrameSamples) {
    const size_t n = std::min(FrameSamples, ASamples.size() - At);
    const auto Bytes = static_cast<uint32_t>(n * sizeof(int16_t));
    if (!WriteAll(AChannel, &Bytes, sizeof Bytes) || !WriteAll(AChannel, &ASamples[At], Bytes))
      return false;
  }
  return WriteWords(AChannel, EndOfSpeech, static_cast<uint32_t>(ASamples.size()));
}

struct TPlanMessage {
  int32_t Pitch = EspeakDefaultPitch;
  int32_t Rate = EspeakDefaultRate;
  std::string Voice;
  std::string Text;
  std::string Flite;
  uint32_t F0ScalePermille = 1000;
  uint32_t RangeScalePermille = 1000;
  uint32_t StretchPermille = 1000;
};

// The flite voices, loaded once in the speaker, which speaks English with them itself.
struct TFliteVoiceSlot {
  const char* Name;
  cst_voice* (*Register)(const char*);
  cst_voice* Voice;
};
TFliteVoiceSlot GFliteVoices[] = {
    {"slt", register_cmu_us_slt, nullptr},
    {"rms", register_cmu_us_rms, nullptr},
};

void LoadFlite() {
  flite_init();
  for (TFliteVoiceSlot& Slot : GFliteVoices)
    Slot.Voice = Slot.Register(nullptr);
}

cst_voice* FindFliteVoice(const std::string& AName) {
  for (const TFliteVoiceSlot& Slot : GFliteVoices) {
    if (AName == Slot.Name) return Slot.Voice;
  }
  return nullptr;
}

// A flite voice's features as one utterance wants them, put back as they were when the
// utterance is done: the next one starts from the voice as loaded.
class TFliteSettings {
 public:
  explicit TFliteSettings(cst_features* AFeatures) : FFeatures(AFeatures) {}
  TFliteSettings(const TFliteSettings&) = delete;
  TFliteSettings& operator=(const TFliteSettings&) = delete;
  ~TFliteSettings() {
    for (auto It = FSaved.rbegin(); It != FSaved.rend(); ++It) {
      if (It->Had) {
        feat_set_float(FFeatures, It->Name, It->Value);
      } else {
        feat_remove(FFeatures, It->Name);
      }
    }
  }

  // AName must outlive the voice: flite keeps the pointer, not a copy.
  void Set(const char* AName, float AValue) {
    const bool Had = feat_present(FFeatures, AName) != 0;
    FSaved.push_back({AName, Had, Had ? feat_float(FFeatures, AName) : 0.0f});
    feat_set_float(FFeatures, AName, AValue);
  }

 private:
  struct TSaved {
    const char* Name;
    bool Had;
    float Value;
  };
  cst_features* FFeatures;
  std::vector<TSaved> FSaved;
};

// flite draws the noise of its voiceless sounds from random(). Each utterance draws from
// the generator as a fresh process has it (seed 1), as flite's command line does, and the
// generator of everything else in the speaker is left as it was.
class TFreshRandom {
 public:
  TFreshRandom() : FPrevious(initstate(1, FState, sizeof FState)) {}
  TFreshRandom(const TFreshRandom&) = delete;
  TFreshRandom& operator=(const TFreshRandom&) = delete;
  ~TFreshRandom() { setstate(FPrevious); }

 private:
  char FState[128];  // glibc's own state size, so seed 1 draws what a fresh process draws
  char* FPrevious;
};

// The voice's own pitch mean and spread are scaled; settings a plan keeps at 1 are left
// alone, so the default voices speak exactly as flite's command line does.
TWorkerExit SynthesizeWithFlite(int AChannel, const TPlanMessage& APlan) {
  cst_voice* Voice = FindFliteVoice(APlan.Flite);
  if (Voice == nullptr) return weNoVoice;
  const cst_cg_db* Model = val_cg_db(feat_val(Voice->features, "cg_db"));
  TFliteSettings Settings(Voice->features);
  if (APlan.F0ScalePermille != 1000)
    Settings.Set("int_f0_target_mean", Model->f0_mean * (APlan.F0ScalePermille / 1000.0f));
  if (APlan.RangeScalePermille != 1000)
    Settings.Set("int_f0_target_stddev", Model->f0_stddev * (APlan.RangeScalePermille / 1000.0f));
  if (APlan.StretchPermille != 1000)
    Settings.Set("duration_stretch", APlan.StretchPermille / 1000.0f);
  cst_wave* Wave = nullptr;
  {
    const TFreshRandom Random;
    Wave = flite_text_to_wave(APlan.Text.c_str(), Voice);
  }
  if (Wave == nullptr) return weSynthFailed;
  // At the voice's own rate (16 kHz): a listener, or a recogniser, that wants another rate
  // resamples once, from the original.
  const std::span<const int16_t> Samples(Wave->samples, static_cast<size_t>(Wave->num_samples));
  const bool Sent = SendSpeech(AChannel, Samples, Wave->sample_rate);
  delete_wave(Wave);
  return Sent ? weOk : weWriteFailed;
}

// flite keeps nothing from one utterance to the next but the two above, so the speaker
// speaks English itself: a process forked per utterance would spend a third of the time
// on page faults. The speaker stands in for the speaking process: a time-out stops it, and
// a crash inside flite costs the request (the server replaces the speaker), not the server.
void SpeakWithFlite(int AChannel, const TPlanMessage& APlan) {
  if (!WriteWords(AChannel, WorkerPid, static_cast<uint32_t>(getpid()))) _exit(0);
  const TWorkerExit Exit = SynthesizeWithFlite(AChannel, APlan);
  if (Exit == weWriteFailed) _exit(0);  // the server closed the channel
  if (Exit != weOk && !WriteWords(AChannel, WorkerFailed, W_EXITCODE(Exit, 0))) _exit(0);
}

[[noreturn]] void SpeakOnce(int AChannel, pid_t ASpeaker, const TPlanMessage& APlan) {
  DieWithParent(ASpeaker);
  if (!WriteWords(AChannel, WorkerPid, static_cast<uint32_t>(getpid()))) _exit(weWriteFailed);
  std::vector<int16_t> Samples;
  GWorkerSamples = &Samples;
  espeak_SetSynthCallback(CollectSamples);
  if (espeak_SetVoiceByName(APlan.Voice.c_str()) != EE_OK) _exit(weNoVoice);
  // Settings equal to espeak-ng's defaults are left alone, as its command line does.
  if (APlan.Rate != EspeakDefaultRate) espeak_SetParameter(espeakRATE, APlan.Rate, 0);
  if (APlan.Pitch != EspeakDefaultPitch) espeak_SetParameter(espeakPITCH, APlan.Pitch, 0);
  // The flags of espeak-ng's command line, so the default voice sounds exactly like it.
  const unsigned Flags = espeakCHARS_AUTO | espeakPHONEMES | espeakENDPAUSE;
  if (espeak_ng_Synthesize(APlan.Text.c_str(), APlan.Text.size() + 1, 0, POS_CHARACTER, 0, Flags,
                           nullptr, nullptr) != ENS_OK)
    _exit(weSynthFailed);
  if (espeak_ng_Synchronize() != ENS_OK) _exit(weSynthFailed);
  _exit(SendSpeech(AChannel, Samples, espeak_ng_GetSampleRate()) ? weOk : weWriteFailed);
}

// The speaker: loads espeak-ng and flite, speaks English itself and forks one speaking
// process per request in every other language, and reports those that fail. It never
// speaks with espeak-ng itself, so its espeak-ng stays as it was after loading.
[[noreturn]] void SpeakerMain(int AChannel, pid_t AServer) {
  DieWithParent(AServer);
  sigset_t None;
  sigemptyset(&None);
  sigprocmask(SIG_SETMASK, &None, nullptr);
  CloseAllBut(AChannel);
  espeak_ng_InitializePath(nullptr);
  espeak_ng_ERROR_CONTEXT Context = nullptr;
  espeak_ng_STATUS Status = espeak_ng_Initialize(&Context);
  if (Status == ENS_OK) Status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
  if (Status != ENS_OK) {
    char Message[512] = {};
    espeak_ng_GetStatusCodeMessage(Status, Message, sizeof Message);
    const auto Length = static_cast<uint32_t>(std::strlen(Message));
    if (WriteWords(AChannel, InitFailed, Length)) WriteAll(AChannel, Message, Length);
    _exit(1);
  }
  // The list of installed voices is built once here instead of in every speaking process,
  // where it would cost more than the speech itself. espeak-ng's command line builds the
  // same list when it selects its voice, so the speech stays equal to it.
  espeak_ListVoices(nullptr);
  LoadFlite();
  const char* DataPath = nullptr;
  const std::string Version = espeak_Info(&DataPath);
  if (!WriteWords(AChannel, Hello, static_cast<uint32_t>(espeak_ng_GetSampleRate())) ||
      !WriteWords(AChannel, static_cast<uint32_t>(Version.size()), 0) ||
      !WriteAll(AChannel, Version.data(), Version.size()))
    _exit(1);
  for (;;) {
    uint32_t Head[HeadWords];
    if (!ReadAll(AChannel, Head, sizeof Head)) _exit(0);  // the server closed the channel
    TPlanMessage Plan;
    Plan.Pitch = static_cast<int32_t>(Head[0]);
    Plan.Rate = static_cast<int32_t>(Head[1]);
    if (Head[2] > MaxVoiceBytes || Head[3] > MaxPlanTextBytes || Head[4] > MaxVoiceBytes) _exit(1);
    Plan.Voice.resize(Head[2]);
    Plan.Text.resize(Head[3]);
    Plan.Flite.resize(Head[4]);
    Plan.F0ScalePermille = Head[5];
    Plan.RangeScalePermille = Head[6];
    Plan.StretchPermille = Head[7];
    if (!ReadAll(AChannel, Plan.Voice.data(), Head[2]) ||
        !ReadAll(AChannel, Plan.Text.data(), Head[3]) ||
        !ReadAll(AChannel, Plan.Flite.data(), Head[4]))
      _exit(0);
    if (!Plan.Flite.empty()) {
      SpeakWithFlite(AChannel, Plan);
      continue;
    }
    const pid_t Worker = fork();
    if (Worker == 0) SpeakOnce(AChannel, getppid(), Plan);
    int WaitStatus = 0;
    if (Worker < 0) {
      WaitStatus = 0x7F00;  // "exited with 127": could not start
    } else {
      while (waitpid(Worker, &WaitStatus, 0) < 0 && errno == EINTR) {
      }
    }
    // A worker that finished wrote its end marker and exited with 0; anything else the
    // server learns from here.
    if ((!WIFEXITED(WaitStatus) || WEXITSTATUS(WaitStatus) != weOk) &&
        !WriteWords(AChannel, WorkerFailed, static_cast<uint32_t>(WaitStatus)))
      _exit(0);
  }
}

std::string DescribeExit(int AStatus) {
  if (WIFSIGNALED(AStatus)) return "espeak-ng died of " + SignalName(WTERMSIG(AStatus));
  switch (WEXITSTATUS(AStatus)) {
    case weNoVoice:
      return "espeak-ng has no voice of that name";
    case weSynthFailed:
      return "espeak-ng could not synthesize the text";
    case weWriteFailed:
      return "the speaking process lost its output";
    case 127:
      return "the speaking process could not start";
    default:
      return Format("the speaking process ended with status %d", WEXITSTATUS(AStatus));
  }
}

void PutU16(std::string& AOut, uint16_t AValue) {
  AOut.push_back(static_cast<char>(AValue & 0xFF));
  AOut.push_back(static_cast<char>(AValue >> 8));
}

void PutU32(std::string& AOut, uint32_t AValue) {
  for (int i = 0; i < 4; ++i)
    AOut.push_back(static_cast<char>((AValue >> (8 * i)) & 0xFF));
}

}  // namespace

TEspeakSynth::~TEspeakSynth() {
  TLockGuard Guard(FLock);
  StopSpeaker();
}

bool TEspeakSynth::Initialize(std::string& AError) {
  TLockGuard Guard(FLock);
  return StartSpeaker(AError);
}

bool TEspeakSynth::StartSpeaker(std::string& AError) {
  StopSpeaker();
  int Pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) != 0) {
    AError = Format("no channel to the speaker process: %s", std::strerror(errno));
    return false;
  }
  const pid_t Server = getpid();
  const pid_t Speaker = fork();
  if (Speaker < 0) {
    AError = Format("cannot start the speaker process: %s", std::strerror(errno));
    close(Pair[0]);
    close(Pair[1]);
    return false;
  }
  if (Speaker == 0) {
    close(Pair[0]);
    SpeakerMain(Pair[1], Server);
  }
  close(Pair[1]);
  FSpeaker = Speaker;
  FChannel = Pair[0];
  // Loading espeak-ng takes some tens of milliseconds; far more means something is wrong.
  const auto Deadline = TClock::now() + std::chrono::seconds(30);
  uint32_t Words[2];
  if (ReadBefore(FChannel, Words, sizeof Words, Deadline) != rrOk) {
    AError = "the speaker process did not start";
    StopSpeaker();
    return false;
  }
  if (Words[0] == InitFailed) {
    std::string Message(std::min<uint32_t>(Words[1], 512), '\0');
    ReadBefore(FChannel, Message.data(), Message.size(), Deadline);
    AError = "espeak-ng cannot start: " + Message;
    StopSpeaker();
    return false;
  }
  uint32_t VersionWords[2];
  std::string Version;
  bool Ok = Words[0] == Hello && Words[1] > 0 &&
            ReadBefore(FChannel, VersionWords, sizeof VersionWords, Deadline) == rrOk &&
            VersionWords[0] <= 512;
  if (Ok) {
    Version.resize(VersionWords[0]);
    Ok = ReadBefore(FChannel, Version.data(), Version.size(), Deadline) == rrOk;
  }
  if (!Ok) {
    AError = "the speaker process answered nonsense";
    StopSpeaker();
    return false;
  }
  // Only the first speaker sets these, before the server has threads; a replacement
  // runs the same espeak-ng.
  if (FSampleRate == 0) {
    FSampleRate = static_cast<int>(Words[1]);
    FVersion = Version;
  }
  return true;
}

void TEspeakSynth::StopSpeaker() {
  if (FChannel >= 0) close(FChannel);
  FChannel = -1;
  if (FSpeaker > 0) {
    // Its speaking process, if any, dies with it.
    kill(FSpeaker, SIGKILL);
    while (waitpid(FSpeaker, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  FSpeaker = -1;
}

bool TEspeakSynth::Speak(const TSpeechPlan& APlan, TSpeech& ASpeech, std::string& AError,
                         int ATimeoutMs) {
  TLockGuard Guard(FLock);
  if (APlan.Voice.size() > MaxVoiceBytes || APlan.Text.size() > MaxPlanTextBytes ||
      APlan.Flite.size() > MaxVoiceBytes) {
    AError = "the text is too long for espeak-ng";
    return false;
  }
  const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  // A speaker found gone before it started to speak is replaced and asked again, once.
  bool Retry = false;
  for (int Attempt = 0; Attempt < 2; ++Attempt) {
    if (SpeakWithSpeaker(APlan, ASpeech, AError, Deadline, ATimeoutMs, Retry)) return true;
    if (!Retry) break;
  }
  return false;
}

bool TEspeakSynth::SpeakWithSpeaker(const TSpeechPlan& APlan, TSpeech& ASpeech, std::string& AError,
                                    TClock::time_point ADeadline, int ATimeoutMs, bool& ARetry) {
  ASpeech = {};
  std::vector<int16_t>& Samples = ASpeech.Samples;
  ARetry = false;
  // A report of a failure nobody waited for any more is dropped; a speaker that ended is
  // replaced.
  if (FChannel >= 0) {
    char Stale[256];
    ssize_t n;
    while ((n = recv(FChannel, Stale, sizeof Stale, MSG_DONTWAIT)) > 0) {
    }
    if (n == 0) StopSpeaker();
  }
  if (FChannel < 0 && !StartSpeaker(AError)) return false;
  auto Fixed = [](double AValue, double AScale) {
    return static_cast<uint32_t>(std::lround(std::clamp(AValue * AScale, 0.0, 1e9)));
  };
  const uint32_t Head[HeadWords] = {static_cast<uint32_t>(APlan.Pitch),
                                    static_cast<uint32_t>(APlan.Rate),
                                    static_cast<uint32_t>(APlan.Voice.size()),
                                    static_cast<uint32_t>(APlan.Text.size()),
                                    static_cast<uint32_t>(APlan.Flite.size()),
                                    Fixed(APlan.F0Scale, 1000),
                                    Fixed(APlan.RangeScale, 1000),
                                    Fixed(APlan.Stretch, 1000)};
  if (!WriteAll(FChannel, Head, sizeof Head) ||
      !WriteAll(FChannel, APlan.Voice.data(), APlan.Voice.size()) ||
      !WriteAll(FChannel, APlan.Text.data(), APlan.Text.size()) ||
      !WriteAll(FChannel, APlan.Flite.data(), APlan.Flite.size())) {
    AError = "the speaker process is gone";
    StopSpeaker();
    ARetry = true;
    return false;
  }
  pid_t Worker = -1;
  for (;;) {
    uint32_t Word[2];
    TReadResult r = ReadBefore(FChannel, Word, sizeof Word[0], ADeadline);
    if (r == rrOk && Word[0] >= FirstMarker)
      r = ReadBefore(FChannel, &Word[1], sizeof Word[1], ADeadline);
    if (r == rrOk && Word[0] < FirstMarker && Word[0] % sizeof(int16_t) == 0) {
      const size_t First = Samples.size();
      Samples.resize(First + Word[0] / sizeof(int16_t));
      r = ReadBefore(FChannel, Samples.data() + First, Word[0], ADeadline);
      if (r == rrOk) continue;
    }
    if (r == rrOk && Word[0] == WorkerPid) {
      Worker = static_cast<pid_t>(Word[1]);
      continue;
    }
    if (r == rrOk && Word[0] == SpeechRate && Word[1] > 0 && Word[1] <= MaxSampleRate) {
      ASpeech.SampleRate = static_cast<int>(Word[1]);
      continue;
    }
    if (r == rrOk && Word[0] == EndOfSpeech && Word[1] == Samples.size() && ASpeech.SampleRate > 0)
      return true;
    ASpeech = {};
    if (r == rrOk && Word[0] == WorkerFailed) {
      AError = DescribeExit(static_cast<int>(Word[1]));
      return false;
    }
    // Out of step with the speaker, or out of time: a new speaker for the next request.
    if (r == rrTimedOut) {
      AError = Format("espeak-ng took longer than %d ms", ATimeoutMs);
      if (Worker > 0) kill(Worker, SIGKILL);
    } else {
      AError = "the speaker process ended";
      ARetry = Worker < 0 && r == rrEnded;
    }
    StopSpeaker();
    return false;
  }
}

std::string MonoWav16(const std::vector<int16_t>& ASamples, int ASampleRate) {
  const auto DataBytes = static_cast<uint32_t>(ASamples.size() * sizeof(int16_t));
  std::string Out;
  Out.reserve(44 + DataBytes);
  Out += "RIFF";
  PutU32(Out, 36 + DataBytes);
  Out += "WAVEfmt ";
  PutU32(Out, 16);
  PutU16(Out, 1);  // PCM
  PutU16(Out, 1);  // mono
  PutU32(Out, static_cast<uint32_t>(ASampleRate));
  PutU32(Out, static_cast<uint32_t>(ASampleRate) * 2);
  PutU16(Out, 2);
  PutU16(Out, 16);
  Out += "data";
  PutU32(Out, DataBytes);
  const size_t Header = Out.size();
  Out.resize(Header + DataBytes);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(Out.data() + Header, ASamples.data(), DataBytes);
  } else {
    for (size_t i = 0; i < ASamples.size(); ++i) {
      const auto v = static_cast<uint16_t>(ASamples[i]);
      Out[Header + 2 * i] = static_cast<char>(v & 0xFF);
      Out[Header + 2 * i + 1] = static_cast<char>(v >> 8);
    }
  }
  return Out;
}

}  // namespace quavox::s2
