#include "EspeakSynth.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include "CommandLine.h"
#include "core/Format.h"

namespace quavox::s2 {

namespace {

// Exit statuses of the speaking child.
enum TChildExit : int {
  ceOk = 0,
  ceNoVoice = 3,
  ceSynthFailed = 4,
  ceWriteFailed = 5,
};

// Only ever set inside a speaking child, which has a single thread.
int GChildOutput = -1;

// The child sends its samples as frames: a 32-bit byte count and that many bytes of 16-bit
// samples, and at the end this marker with the total sample count. The parent can answer
// as soon as the marker is in, without waiting for the child to finish exiting.
const uint32_t EndOfSpeech = 0xFFFFFFFFu;

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

uint64_t GChildSamples = 0;

int ChildCallback(short* AWav, int ACount, espeak_EVENT*) {
  if (AWav == nullptr || ACount <= 0) return 0;
  const auto Bytes = static_cast<uint32_t>(ACount * sizeof(short));
  GChildSamples += static_cast<uint64_t>(ACount);
  // 1 asks espeak-ng to stop: nobody is reading any more.
  return WriteAll(GChildOutput, &Bytes, sizeof Bytes) && WriteAll(GChildOutput, AWav, Bytes) ? 0
                                                                                             : 1;
}

[[noreturn]] void SpeakInChild(const TSpeechPlan& APlan, int AOutput, pid_t AParent) {
  // Die with the server rather than linger; the parent may be gone already.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != AParent) _exit(ceWriteFailed);
  sigset_t None;
  sigemptyset(&None);
  sigprocmask(SIG_SETMASK, &None, nullptr);
  GChildOutput = AOutput;
  espeak_SetSynthCallback(ChildCallback);
  if (espeak_SetVoiceByName(APlan.Voice.c_str()) != EE_OK) _exit(ceNoVoice);
  // Settings equal to espeak-ng's defaults are left alone, as its command line does.
  if (APlan.Rate != EspeakDefaultRate) espeak_SetParameter(espeakRATE, APlan.Rate, 0);
  if (APlan.Pitch != EspeakDefaultPitch) espeak_SetParameter(espeakPITCH, APlan.Pitch, 0);
  // The flags of espeak-ng's command line, so the default voice sounds exactly like it.
  const unsigned Flags = espeakCHARS_AUTO | espeakPHONEMES | espeakENDPAUSE;
  if (espeak_ng_Synthesize(APlan.Text.c_str(), APlan.Text.size() + 1, 0, POS_CHARACTER, 0, Flags,
                           nullptr, nullptr) != ENS_OK)
    _exit(ceSynthFailed);
  if (espeak_ng_Synchronize() != ENS_OK) _exit(ceSynthFailed);
  const uint32_t End[2] = {EndOfSpeech, static_cast<uint32_t>(GChildSamples)};
  _exit(WriteAll(AOutput, End, sizeof End) ? ceOk : ceWriteFailed);
}

std::string DescribeExit(int AStatus) {
  if (WIFSIGNALED(AStatus)) return "espeak-ng died of " + SignalName(WTERMSIG(AStatus));
  switch (WEXITSTATUS(AStatus)) {
    case ceNoVoice:
      return "espeak-ng has no voice of that name";
    case ceSynthFailed:
      return "espeak-ng could not synthesize the text";
    case ceWriteFailed:
      return "the speaking process lost its output";
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

bool TEspeakSynth::Initialize(std::string& AError) {
  espeak_ng_InitializePath(nullptr);
  espeak_ng_ERROR_CONTEXT Context = nullptr;
  espeak_ng_STATUS Status = espeak_ng_Initialize(&Context);
  if (Status == ENS_OK) Status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
  if (Status != ENS_OK) {
    char Message[512] = {};
    espeak_ng_GetStatusCodeMessage(Status, Message, sizeof Message);
    espeak_ng_ClearErrorContext(&Context);
    AError = Format("espeak-ng cannot start: %s", Message);
    return false;
  }
  // The list of installed voices is built once here instead of in every speaking child,
  // where it would cost more than the speech itself. espeak-ng's command line builds the
  // same list when it selects its voice, so the children stay equal to it.
  espeak_ListVoices(nullptr);
  FSampleRate = espeak_ng_GetSampleRate();
  const char* DataPath = nullptr;
  FVersion = espeak_Info(&DataPath);
  return FSampleRate > 0;
}

bool TEspeakSynth::Speak(const TSpeechPlan& APlan, std::vector<int16_t>& ASamples,
                         std::string& AError, int ATimeoutMs) {
  TLockGuard Guard(FLock);
  ASamples.clear();
  std::erase_if(FExiting, [](pid_t APid) { return waitpid(APid, nullptr, WNOHANG) != 0; });
  int Pipe[2];
  if (pipe2(Pipe, O_CLOEXEC) != 0) {
    AError = Format("no pipe for the speaking process: %s", std::strerror(errno));
    return false;
  }
  const pid_t Parent = getpid();
  const pid_t Child = fork();
  if (Child < 0) {
    AError = Format("cannot start the speaking process: %s", std::strerror(errno));
    close(Pipe[0]);
    close(Pipe[1]);
    return false;
  }
  if (Child == 0) {
    close(Pipe[0]);
    SpeakInChild(APlan, Pipe[1], Parent);
  }
  close(Pipe[1]);

  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  std::string Bytes;  // received, not yet taken apart into frames
  size_t Taken = 0;
  bool Complete = false, TimedOut = false;
  char Buffer[65536];
  while (!Complete) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Deadline - std::chrono::steady_clock::now())
                          .count();
    if (Left <= 0) {
      TimedOut = true;
      break;
    }
    pollfd p{Pipe[0], POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<long long>(Left, 1000)));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    const ssize_t n = read(Pipe[0], Buffer, sizeof Buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    Bytes.append(Buffer, static_cast<size_t>(n));
    for (;;) {
      uint32_t Head[2];
      if (Bytes.size() - Taken < sizeof(uint32_t)) break;
      std::memcpy(Head, Bytes.data() + Taken, sizeof(uint32_t));
      if (Head[0] == EndOfSpeech) {
        if (Bytes.size() - Taken < sizeof Head) break;
        std::memcpy(Head, Bytes.data() + Taken, sizeof Head);
        Complete = Head[1] == static_cast<uint32_t>(ASamples.size());
        break;
      }
      if (Bytes.size() - Taken - sizeof(uint32_t) < Head[0]) break;
      const size_t First = ASamples.size();
      ASamples.resize(First + Head[0] / sizeof(int16_t));
      std::memcpy(ASamples.data() + First, Bytes.data() + Taken + sizeof(uint32_t),
                  (ASamples.size() - First) * sizeof(int16_t));
      Taken += sizeof(uint32_t) + Head[0];
    }
    if (Taken > 0) {
      Bytes.erase(0, Taken);
      Taken = 0;
    }
  }
  close(Pipe[0]);
  if (Complete) {
    // The child is exiting; it is reaped later rather than waited for now.
    int Status = 0;
    if (waitpid(Child, &Status, WNOHANG) == 0) FExiting.push_back(Child);
    return true;
  }
  ASamples.clear();
  if (TimedOut) kill(Child, SIGKILL);
  int Status = 0;
  while (waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
  if (TimedOut) {
    AError = Format("espeak-ng took longer than %d ms", ATimeoutMs);
  } else if (WIFEXITED(Status) && WEXITSTATUS(Status) == ceOk) {
    AError = "the speaking process sent incomplete speech";
  } else {
    AError = DescribeExit(Status);
  }
  return false;
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
  for (int16_t s : ASamples)
    PutU16(Out, static_cast<uint16_t>(s));
  return Out;
}

}  // namespace quavox::s2
