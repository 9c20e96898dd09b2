// The GPUs the inference server can use, for the models page's device list. A small probe
// program beside the executable lists them (once per backend and run, on a thread of its
// own); when it gives nothing, the GPU lines the server wrote into its own log are used.
// Results stay for the rest of the run.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/Dispatcher.h"
#include "core/ThreadAnnotations.h"
#include "core/Types.h"

namespace quavox {

class TAppConfig;

struct TGpuDevice {
  int32_t Index = 0;
  std::string Name;
  TComputeBackend Backend = cbCuda;
  bool Integrated = false;

  // "1 — Intel(R) UHD Graphics  (integrated)", the mark translated.
  std::string Display() const;
};

// "cuda", "vulkan", or empty for the backends that have no probe.
std::string ProbeBackendText(TComputeBackend ABackend);

// Devices named by the inference library's own start-up lines ("ggml_vulkan: 1 = ..." and
// "  Device 0: ..."), the first of each index and backend. Survives any text.
std::vector<TGpuDevice> ParseDeviceLines(const std::vector<std::string>& ALines);
// The probe's "index TAB name" lines as devices of ABackend; its ggml_vulkan lines mark the
// integrated ones. Survives any text.
std::vector<TGpuDevice> ParseProbeOutput(std::string_view AText, TComputeBackend ABackend);
// Lines split at "\n", a trailing "\r" dropped, invalid UTF-8 replaced.
std::vector<std::string> SplitProbeLines(std::string_view AText);

struct TGpuProbeOptions {
  // Empty: "quavox-gpuprobe" beside the running executable.
  std::string ProbePath;
  std::chrono::milliseconds Timeout{20000};
};

// The process-wide probe table: one instance, owned by the host. Any thread may call it.
// The destructor kills running probes and joins their threads.
class TGpuProbe {
 public:
  // The engine folder and the engine log come from the configuration. Completions are
  // posted through ADispatcher (run on the probe thread when it is null).
  TGpuProbe(const TAppConfig& AConfig, std::shared_ptr<IMainThreadDispatcher> ADispatcher,
            TGpuProbeOptions AOptions = {});
  ~TGpuProbe();
  TGpuProbe(const TGpuProbe&) = delete;
  TGpuProbe& operator=(const TGpuProbe&) = delete;

  // Starts a probe of the backend and returns true; false without doing anything when the
  // backend has no probe, is probed already or is being probed. AOnDone (may be empty) runs
  // on the main thread after the result is stored.
  bool RequestProbe(TComputeBackend ABackend, std::function<void()> AOnDone);
  std::vector<TGpuDevice> ProbedDevices(TComputeBackend ABackend) const;
  bool ProbeDone(TComputeBackend ABackend) const;

  std::string ProbePath() const { return FOptions.ProbePath; }

 private:
  void RunThread(TComputeBackend ABackend, std::function<void()> AOnDone);
  std::vector<TGpuDevice> Probe(TComputeBackend ABackend);
  std::string RunProbe(const std::string& ABackendText);

  const std::string FEngineDir;
  const std::string FLogPath;
  TGpuProbeOptions FOptions;
  const std::shared_ptr<IMainThreadDispatcher> FDispatcher;
  std::atomic<bool> FClosing{false};

  mutable TMutex FLock;
  std::map<TComputeBackend, std::vector<TGpuDevice>> FResults QX_GUARDED_BY(FLock);
  std::map<TComputeBackend, bool> FRunning QX_GUARDED_BY(FLock);
  std::vector<std::thread> FThreads QX_GUARDED_BY(FLock);
};

}  // namespace quavox
