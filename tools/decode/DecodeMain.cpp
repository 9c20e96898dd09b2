// quavox-decode LIBRARY mp3|ogg INPUT CPU_SECONDS MEMORY_BYTES
//
// Decodes the file INPUT with the decoder library LIBRARY under the given CPU-time and
// address-space limits (0: no limit) and writes the result to standard output: the four
// bytes "QXD1", the library's status (int32), the sample rate (int32), the sample count
// (int64) and, on success, the mono float samples, all in the machine's byte order.
// Exit status 0 when a result was written, 3 when the library cannot be loaded, 2 for
// wrong arguments or an unreadable input. Messages of the library go nowhere.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <csignal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using TDecodeFunc = int32_t (*)(const uint8_t*, int64_t, float**, int64_t*, int32_t*);
using TFreeFunc = void (*)(float*);

constexpr int ExitBadArguments = 2;
constexpr int ExitNoLibrary = 3;

// Sanitizer runtimes reserve terabytes of address space, so there the memory limit is off.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool AddressLimitWorks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool AddressLimitWorks = false;
#else
constexpr bool AddressLimitWorks = true;
#endif
#else
constexpr bool AddressLimitWorks = true;
#endif

// AHardExtra above the soft limit comes the hard one: for CPU time the soft limit sends
// SIGXCPU, which the service reads as a time-out, and only the hard one SIGKILL.
void Limit(int AResource, long long AValue, long long AHardExtra = 0) {
  if (AValue <= 0) return;
  const rlimit Value{static_cast<rlim_t>(AValue), static_cast<rlim_t>(AValue + AHardExtra)};
  setrlimit(AResource, &Value);
}

bool ReadInput(const char* APath, std::vector<uint8_t>& ABytes) {
  FILE* File = std::fopen(APath, "rb");
  if (!File) return false;
  uint8_t Chunk[65536];
  std::size_t Got = 0;
  while ((Got = std::fread(Chunk, 1, sizeof Chunk, File)) > 0)
    ABytes.insert(ABytes.end(), Chunk, Chunk + Got);
  const bool Ok = !std::ferror(File);
  std::fclose(File);
  return Ok;
}

bool WriteAll(const void* AData, std::size_t ASize) {
  const char* p = static_cast<const char*>(AData);
  while (ASize > 0) {
    const ssize_t n = write(STDOUT_FILENO, p, ASize);
    if (n <= 0) return false;
    p += n;
    ASize -= static_cast<std::size_t>(n);
  }
  return true;
}

// Standard error shares the pipe with the result, so whatever the library prints is dropped.
void SilenceStandardError() {
  const int Null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (Null >= 0) dup2(Null, STDERR_FILENO);
}

}  // namespace

int main(int argc, char** argv) {
  // A crash inside the decoder library must end this process by its signal, which the
  // service reports as "decoder crashed", whatever runtime set handlers up before main.
  for (const int Signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
    std::signal(Signal, SIG_DFL);
  if (argc != 6) return ExitBadArguments;
  const std::string Format = argv[2];
  if (Format != "mp3" && Format != "ogg") return ExitBadArguments;
  SilenceStandardError();
  Limit(RLIMIT_CPU, std::atoll(argv[4]), 1);
  std::vector<uint8_t> Input;
  if (!ReadInput(argv[3], Input)) return ExitBadArguments;
  // The limit comes after the input is read, so it bounds what decoding allocates.
  if (AddressLimitWorks) Limit(RLIMIT_AS, std::atoll(argv[5]));

  void* Library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!Library) return ExitNoLibrary;
  const auto Decode = reinterpret_cast<TDecodeFunc>(
      dlsym(Library, Format == "mp3" ? "quavox_mp3_decode" : "quavox_ogg_decode"));
  const auto Free = reinterpret_cast<TFreeFunc>(dlsym(Library, "quavox_audio_free"));
  if (!Decode || !Free) return ExitNoLibrary;

  float* Samples = nullptr;
  int64_t Count = 0;
  int32_t Rate = 0;
  int32_t Status =
      Decode(Input.data(), static_cast<int64_t>(Input.size()), &Samples, &Count, &Rate);
  if (Status == 1 && (!Samples || Count <= 0 || Rate <= 0)) Status = 0;
  if (Status != 1) Count = 0;
  const bool Written = WriteAll("QXD1", 4) && WriteAll(&Status, sizeof Status) &&
                       WriteAll(&Rate, sizeof Rate) && WriteAll(&Count, sizeof Count) &&
                       WriteAll(Samples, static_cast<std::size_t>(Count) * sizeof(float));
  if (Status == 1) Free(Samples);
  return Written ? 0 : ExitBadArguments;
}
