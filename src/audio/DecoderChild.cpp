#include "audio/DecoderChild.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <filesystem>

#include "audio/Audio.h"
#include "core/Format.h"
#include "core/Log.h"
#include "core/ThreadAnnotations.h"
#include "platform/Files.h"
#include "platform/Process.h"

namespace quavox {

namespace {

constexpr const char* LogSource = "audio";
constexpr const char* HelperFileName = "quavox-decode";
constexpr int32_t StatusOk = 1;
constexpr int32_t StatusOpus = -2;
constexpr int32_t StatusTooLong = -3;
constexpr int ExitNoLibrary = 3;
constexpr std::size_t HeaderBytes = 4 + 4 + 4 + 8;
// The decoder library never hands out more than ten minutes at 48 kHz.
constexpr int64_t MaxSamples = int64_t(600) * 48000;

struct TChildSetup {
  TMutex Lock;
  std::string HelperPath QX_GUARDED_BY(Lock);
  std::string LibraryPath QX_GUARDED_BY(Lock);
  TDecoderChildLimits Limits QX_GUARDED_BY(Lock);
};

TChildSetup& Setup() {
  static TChildSetup Instance;
  return Instance;
}

std::string HelperPath() {
  TChildSetup& S = Setup();
  TLockGuard Guard(S.Lock);
  return S.HelperPath.empty() ? DecoderChildPath() : S.HelperPath;
}

std::string LibraryPath() {
  {
    TChildSetup& S = Setup();
    TLockGuard Guard(S.Lock);
    if (!S.LibraryPath.empty()) return S.LibraryPath;
  }
  return EffectiveDecoderPath();
}

// The input goes to the child as a private temporary file, removed when this goes.
class TInputFile {
 public:
  explicit TInputFile(const TBytes& ABytes) {
    std::string Pattern =
        (std::filesystem::temp_directory_path() / "quavox-decode-XXXXXX").string();
    const int Fd = ::mkstemp(Pattern.data());
    if (Fd < 0) throw std::system_error(errno, std::generic_category(), Pattern);
    ::close(Fd);
    FPath = Pattern;
    WriteWholeFile(FPath, ABytes, TFileCreation::Truncate, TFileFlush::None);
  }
  ~TInputFile() { ::unlink(FPath.c_str()); }
  TInputFile(const TInputFile&) = delete;
  TInputFile& operator=(const TInputFile&) = delete;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

TChildDecode InProcess(const TBytes& ABytes, bool AOgg, TPcmBuffer& APcm) {
  static std::atomic<bool> Warned{false};
  if (!Warned.exchange(true))
    TAppLog::Warn(LogSource, "%s not found: uploaded clips are decoded inside the service",
                  HelperFileName);
  if (!AOgg) {
    if (!DecoderAvailable()) return cdNoDecoder;
    return DecodeMp3(ABytes, APcm) ? cdOk : cdBroken;
  }
  switch (DecodeOgg(ABytes, APcm)) {
    case odOk:
      return cdOk;
    case odNoDecoder:
      return cdNoDecoder;
    case odOpus:
      return cdOpus;
    default:
      return cdBroken;
  }
}

// The child's answer: header, then the samples.
TChildDecode ReadAnswer(const std::string& AOutput, TPcmBuffer& APcm) {
  if (AOutput.size() < HeaderBytes || AOutput.compare(0, 4, "QXD1") != 0) return cdBroken;
  int32_t Status = 0;
  int32_t Rate = 0;
  int64_t Count = 0;
  std::memcpy(&Status, AOutput.data() + 4, 4);
  std::memcpy(&Rate, AOutput.data() + 8, 4);
  std::memcpy(&Count, AOutput.data() + 12, 8);
  if (Status == StatusOpus) return cdOpus;
  if (Status == StatusTooLong) return cdTooLong;
  if (Status != StatusOk) return cdBroken;
  if (Rate <= 0 || Count <= 0 || Count > MaxSamples ||
      AOutput.size() != HeaderBytes + static_cast<std::size_t>(Count) * sizeof(float))
    return cdBroken;
  APcm.SampleRate = Rate;
  APcm.Data.resize(static_cast<std::size_t>(Count));
  std::memcpy(APcm.Data.data(), AOutput.data() + HeaderBytes, APcm.Data.size() * sizeof(float));
  return cdOk;
}

TChildDecode Outcome(const TCaptureResult& AResult, TPcmBuffer& APcm) {
  // Running out of CPU time ends the child with SIGXCPU (and SIGKILL at the hard limit).
  if (AResult.TimedOut || (AResult.Exit.Signaled && AResult.Exit.Signal == SIGXCPU)) {
    TAppLog::Error(LogSource, "decoder timed out on an uploaded clip");
    return cdTimedOut;
  }
  if (AResult.Exit.Signaled) {
    TAppLog::Error(LogSource, "decoder crashed: %s", AResult.Exit.Text());
    return cdCrashed;
  }
  if (AResult.Exit.Code == ExitNoLibrary) return cdNoDecoder;
  if (AResult.Exit.Code != 0 || AResult.Truncated) return cdBroken;
  return ReadAnswer(AResult.Output, APcm);
}

}  // namespace

std::string DecoderChildPath() {
  return ProgramFilesDir() + HelperFileName;
}

void SetDecoderChildForTesting(const std::string& AHelperPath, const std::string& ALibraryPath,
                               const TDecoderChildLimits& ALimits) {
  TChildSetup& S = Setup();
  TLockGuard Guard(S.Lock);
  S.HelperPath = AHelperPath;
  S.LibraryPath = ALibraryPath;
  S.Limits = ALimits;
}

TDecoderChildLimits DecoderChildLimits() {
  TChildSetup& S = Setup();
  TLockGuard Guard(S.Lock);
  return S.Limits;
}

TChildDecode DecodeInChild(const TBytes& ABytes, bool AOgg, TPcmBuffer& APcm) {
  APcm = TPcmBuffer{};
  if (ABytes.empty()) return cdBroken;
  const std::string Helper = HelperPath();
  std::error_code Ec;
  if (!std::filesystem::exists(Helper, Ec)) return InProcess(ABytes, AOgg, APcm);
  const std::string Library = LibraryPath();
  if (!std::filesystem::exists(Library, Ec)) return cdNoDecoder;
  const TDecoderChildLimits Limits = DecoderChildLimits();
  try {
    const TInputFile Input(ABytes);
    const TCaptureResult Result = RunAndCapture(
        {Helper, Library, AOgg ? "ogg" : "mp3", Input.Path(), std::to_string(Limits.CpuSeconds),
         std::to_string(Limits.MemoryBytes)},
        {}, Limits.WallTime, HeaderBytes + static_cast<std::size_t>(MaxSamples) * sizeof(float));
    return Outcome(Result, APcm);
  } catch (const std::exception& E) {
    TAppLog::Error(LogSource, "cannot run %s: %s", HelperFileName, E.what());
    return cdBroken;
  }
}

}  // namespace quavox
