#include "CommandLine.h"

#include <csignal>
#include <functional>

#include "core/Format.h"
#include "core/Text.h"

namespace quavox::s2 {

namespace {

const int MaxDelayMs = 24 * 3600 * 1000;

struct TSignalName {
  const char* Name;
  int Number;
};

const TSignalName SignalNames[] = {
    {"SEGV", SIGSEGV}, {"BUS", SIGBUS},   {"ILL", SIGILL},   {"ABRT", SIGABRT}, {"KILL", SIGKILL},
    {"FPE", SIGFPE},   {"TERM", SIGTERM}, {"INT", SIGINT},   {"HUP", SIGHUP},   {"QUIT", SIGQUIT},
    {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"TRAP", SIGTRAP}, {"SYS", SIGSYS},
};

bool ParseNumber(const std::string& AText, int ALow, int AHigh, int& AValue) {
  int64_t v = 0;
  if (!TryParseInt64(AText, v) || v < ALow || v > AHigh) return false;
  AValue = static_cast<int>(v);
  return true;
}

}  // namespace

int ParseSignal(const std::string& AText) {
  int Number = 0;
  if (ParseNumber(AText, 1, 64, Number)) return Number;
  std::string Name = UpperAscii(Trim(AText));
  if (StartsWith(Name, "SIG")) Name = Name.substr(3);
  for (const TSignalName& s : SignalNames) {
    if (Name == s.Name) return s.Number;
  }
  return 0;
}

std::string SignalName(int ASignal) {
  for (const TSignalName& s : SignalNames) {
    if (s.Number == ASignal) return std::string("SIG") + s.Name;
  }
  return std::to_string(ASignal);
}

const char* UsageText() {
  return "usage: s2 --model FILE --server --host 127.0.0.1 --port N [--tokenizer FILE] "
         "[-ngl N] [-c N] [-v N] [-threads N] [test switches]; see tools/s2/README.md";
}

bool ParseCommandLine(const std::vector<std::string>& AArgs, TS2Options& AOptions,
                      std::string& AError) {
  AOptions = TS2Options();
  bool HasPort = false, HasExitCode = false, HasSignal = false;
  // Each option with a value: how to store it, and what the value must look like.
  struct TValueOption {
    const char* Name;
    std::function<bool(const std::string&)> Store;
    const char* Expect;
  };
  TS2Options& o = AOptions;
  auto Number = [](int& ATarget, int ALow, int AHigh) {
    return [&ATarget, ALow, AHigh](const std::string& v) {
      return ParseNumber(v, ALow, AHigh, ATarget);
    };
  };
  auto Text = [](std::string& ATarget) {
    return [&ATarget](const std::string& v) {
      ATarget = v;
      return !v.empty();
    };
  };
  const TValueOption Options[] = {
      {"--model", Text(o.Model), "a file name"},
      {"--host", Text(o.Host), "an address"},
      {"--port", [&](const std::string& v) { return HasPort = ParseNumber(v, 1, 65535, o.Port); },
       "a port number (1-65535)"},
      {"--tokenizer", Text(o.Tokenizer), "a file name"},
      {"-ngl", Number(o.GpuLayers, -1, 100000), "a layer count (-1 = all)"},
      {"-c", Number(o.CudaDevice, 0, 1023), "a GPU index"},
      {"-v", Number(o.VulkanDevice, 0, 1023), "a GPU index"},
      {"-threads", Number(o.Threads, 0, 4096), "a thread count"},
      {"--test-listen-port", Number(o.TestListenPort, 1, 65535), "a port number (1-65535)"},
      {"--test-ready-delay-ms", Number(o.TestReadyDelayMs, 0, MaxDelayMs), "milliseconds"},
      {"--test-exit-after-ms", Number(o.TestExitAfterMs, 0, MaxDelayMs), "milliseconds"},
      {"--test-exit-code",
       [&](const std::string& v) { return HasExitCode = ParseNumber(v, 0, 255, o.TestExitCode); },
       "an exit status (0-255)"},
      {"--test-signal-after-ms", Number(o.TestSignalAfterMs, 0, MaxDelayMs), "milliseconds"},
      {"--test-signal",
       [&](const std::string& v) { return HasSignal = (o.TestSignal = ParseSignal(v)) != 0; },
       "a signal number or name (SEGV, BUS, ILL, ABRT, KILL, ...)"},
      {"--test-answer-delay-ms", Number(o.TestAnswerDelayMs, 0, MaxDelayMs), "milliseconds"},
      {"--test-status", Number(o.TestStatus, 100, 599), "an HTTP status (100-599)"},
  };
  for (size_t i = 0; i < AArgs.size(); ++i) {
    const std::string& Arg = AArgs[i];
    if (Arg == "--server") {
      o.Server = true;
      continue;
    }
    if (Arg == "--test-not-wav") {
      o.TestNotWav = true;
      continue;
    }
    const TValueOption* Match = nullptr;
    for (const TValueOption& Opt : Options) {
      if (Arg == Opt.Name) Match = &Opt;
    }
    if (Match == nullptr) {
      AError = StartsWith(Arg, "-") ? Format("unknown option \"%s\"", Arg)
                                    : Format("unexpected argument \"%s\"", Arg);
      return false;
    }
    if (i + 1 >= AArgs.size()) {
      AError = Format("option %s needs %s", Arg, Match->Expect);
      return false;
    }
    const std::string& Value = AArgs[++i];
    if (!Match->Store(Value)) {
      AError = Format("option %s needs %s, not \"%s\"", Arg, Match->Expect, Value);
      return false;
    }
  }
  if (o.Model.empty()) {
    AError = "--model FILE is required";
    return false;
  }
  if (!o.Server) {
    AError = "--server is required: this program only runs as an inference server";
    return false;
  }
  if (!HasPort) {
    AError = "--port N is required";
    return false;
  }
  // An exit code or a signal without a delay acts at once.
  if (HasExitCode && o.TestExitAfterMs < 0) o.TestExitAfterMs = 0;
  if (HasSignal && o.TestSignalAfterMs < 0) o.TestSignalAfterMs = 0;
  if (o.TestSignalAfterMs >= 0 && !HasSignal) o.TestSignal = SIGSEGV;
  return true;
}

}  // namespace quavox::s2
