// The command line of the bundled inference server: the inference-server options the
// supervisor always passes, and the test switches that integration tests append as extra
// arguments to make the server misbehave on purpose.
#pragma once

#include <string>
#include <vector>

namespace quavox::s2 {

struct TS2Options {
  std::string Model;
  bool Server = false;
  std::string Host = "127.0.0.1";
  int Port = 0;
  std::string Tokenizer;
  // Backend flags; espeak-ng runs on the CPU whatever they say. -1 = not given.
  int GpuLayers = -1;
  int CudaDevice = -1;
  int VulkanDevice = -1;
  int Threads = 0;

  int TestListenPort = 0;  // 0 = listen on Port
  int TestReadyDelayMs = 0;
  int TestExitAfterMs = -1;  // -1 = never
  int TestExitCode = 1;
  int TestSignalAfterMs = -1;  // -1 = never
  int TestSignal = 0;
  int TestAnswerDelayMs = 0;
  int TestStatus = 0;  // 0 = answer normally
  bool TestNotWav = false;

  int ListenPort() const { return TestListenPort > 0 ? TestListenPort : Port; }
};

// Fills AOptions from the arguments after the program name. False with a one-line
// reason for unknown options, missing or malformed values and missing required options.
bool ParseCommandLine(const std::vector<std::string>& AArgs, TS2Options& AOptions,
                      std::string& AError);

// "SEGV", "SIGSEGV", "segv" or a number; 0 when unknown.
int ParseSignal(const std::string& AText);
// "SIGSEGV" style name of a signal number, or its number as text.
std::string SignalName(int ASignal);

const char* UsageText();

}  // namespace quavox::s2
