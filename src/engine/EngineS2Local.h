// The engine that produces real speech: it finds the inference server and a model under the
// program folder, starts the server as a child process on a free loopback port, waits until
// it accepts connections, restarts it (at most three times per Start) when it dies, and turns
// each synthesis into one POST /generate. Owned by the service.
//
// Threads: Start, Stop and Unload come from the owner (serialised among themselves); one
// supervising thread per Start runs the readiness wait, the liveness check and the restarts;
// Synthesize comes from the queue's worker; the state readers from anywhere. FLock is held
// only for short reads and writes, never across a wait, a launch or a request. Stop (and the
// destructor) wait for the supervising thread before killing the child.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/LiveText.h"
#include "core/ThreadAnnotations.h"
#include "engine/Engine.h"
#include "platform/Loopback.h"
#include "platform/Process.h"

namespace quavox {

class TAppConfig;

enum TS2EngineState : uint8_t { esMissing, esLoading, esReady, esFailed, esUnloaded };
// "missing", "loading", "ready", "failed" or "unloaded".
std::string EngineStateName(TS2EngineState AState);

// Every fixed wait and port of the supervisor; tests shorten the waits and move the ports.
struct TS2Timing {
  std::chrono::milliseconds ReadyLimit{300000};
  std::chrono::milliseconds ReadyPoll{400};
  std::chrono::milliseconds LivenessPoll{1500};
  // One minute of healthy running, as RestartForgiveMinutes counts it.
  std::chrono::milliseconds ForgiveMinute{60000};
  std::chrono::milliseconds PortProbe{500};
  std::chrono::milliseconds RequestConnect{5000};
  // How long a child whose request just failed may take to finish dying: a server that
  // crashes while answering drops the connection before it has fully exited.
  std::chrono::milliseconds GoneGrace{1000};
  int32_t FirstPort = 17151;
  int32_t LastPort = 17170;
  // Where a server that ignores the asked port is found instead.
  int32_t FallbackPort = 3030;
};

// The server's command line for these files and options.
std::string S2CommandLine(const std::string& AExe, const std::string& AModel, int32_t APort,
                          const std::string& ATokenizer, const TEngineOptions& AOptions);
// The translated cause of an ended child, or empty when the status names none.
std::string S2ExitReasonText(const TExitStatus& AStatus);
// The largest "*.gguf" file directly in the folder (equal sizes: the first by name), or empty.
std::string LargestModelIn(const std::string& ADir);
// The params JSON of a generate request.
std::string S2ParamsJson(const TS2Params& AParams);
// "reference.mp3" or "reference.wav", after what the recording looks like.
std::string ReferenceFileName(const TBytes& AAudio);
class TS2LocalEngine final : public TCustomTtsEngine {
 public:
  static constexpr int32_t MaxRestarts = 3;

  // The folders come from the configuration: program, engine, models and logs folder.
  TS2LocalEngine(const TEngineOptions& AOptions, const TAppConfig& AConfig,
                 const TS2Timing& ATiming = {});
  // Stops: joins the supervising thread and kills the child.
  ~TS2LocalEngine() override;
  TS2LocalEngine(const TS2LocalEngine&) = delete;
  TS2LocalEngine& operator=(const TS2LocalEngine&) = delete;

  std::string Name() const override { return "fish-s2-pro (s2.cpp)"; }
  bool Ready() const override;
  bool SupportsNativeSpeed() const override { return false; }
  std::string ModelIdentity() const override;
  TEngineHealth CheckHealth() override;
  TPcmBuffer Synthesize(const TS2Params& AParams, const TVoiceHint& AHint) override;

  void Start();
  void Stop();
  void Unload();

  bool IsUnloaded() const;
  TS2EngineState State() const;
  std::string Detail() const;
  std::string ModelPath() const;
  std::string EnginePath() const;
  std::string LogPath() const { return FLogPath; }
  std::string MissingWhat() const;
  void SetSearchDir(const std::string& ADir);
  int32_t Port() const;
  int32_t Restarts() const;
  // Exit status of the last child that ended on its own.
  TExitStatus LastExit() const;
  // Process id of the current child, 0 when none.
  pid_t ChildPid() const;

  // The executable for a backend under a program folder (with its trailing '/'): the
  // backend's own build in engine/cuda or engine/vulkan, else engine/s2, else s2 beside the
  // program; empty when none exists.
  static std::string ExeFor(const std::string& AProgramDir, TComputeBackend ABackend);
  static bool BackendAvailable(const std::string& AProgramDir, TComputeBackend ABackend);
  // Whether the executable runs the catalogue's models: a backend's own build (in
  // engine/cuda or engine/vulkan) or one with ggml's libraries beside it. The bundled server
  // alone in engine/ speaks through espeak-ng and refuses every model but its voice file.
  static bool RunsCatalogueModels(const std::string& AExe);

 private:
  using TClock = std::chrono::steady_clock;

  void StopLocked(TS2EngineState AState, TLiveText ADetail) QX_REQUIRES(FControlLock);
  bool LocateFiles();
  bool Launch();
  bool WaitReady();
  void Supervise();
  // Counts restarts from zero again when the child that just ended had run healthy for the
  // configured number of minutes; gives the restarts counted so far.
  int32_t RestartsAfterForgiving();
  void KillChild();
  void SetState(TS2EngineState AState, TLiveText ADetail);
  // Sleeps up to ADuration; true when the thread was asked to end meanwhile.
  bool SleepOrStop(std::chrono::milliseconds ADuration);
  double LoadSeconds() const QX_REQUIRES(FLock);
  std::string EngineExe(TComputeBackend ABackend) const;
  static std::string ModelIn(const std::string& ARoot, const std::string& AModelFile);
  std::shared_ptr<TChildProcess> Child() const;

  // The state folder, whose downloads come first, and the program's shipped files.
  const std::string FProgramDir;
  const std::string FBundledDir;
  const std::string FLogPath;
  const TS2Timing FTiming;

  // Serialises Start, Stop and Unload; taken before FLock.
  TMutex FControlLock QX_ACQUIRED_BEFORE(FLock);
  std::thread FProbeThread QX_GUARDED_BY(FControlLock);

  mutable TMutex FLock;
  std::condition_variable FWake;
  TS2EngineState FState QX_GUARDED_BY(FLock) = esMissing;
  TLiveText FDetail QX_GUARDED_BY(FLock);
  std::string FExePath QX_GUARDED_BY(FLock);
  TExitStatus FLastExit QX_GUARDED_BY(FLock);
  std::string FModelPath QX_GUARDED_BY(FLock);
  std::string FTokenizerPath QX_GUARDED_BY(FLock);
  std::string FModelIdentity QX_GUARDED_BY(FLock);
  std::string FSearchDir QX_GUARDED_BY(FLock);
  int32_t FPort QX_GUARDED_BY(FLock) = 0;
  // Held while a child may run on FPort, so no other service starts its server there.
  TPortClaim FPortClaim QX_GUARDED_BY(FLock);
  std::shared_ptr<TChildProcess> FProcess QX_GUARDED_BY(FLock);
  TClock::time_point FLoadStart QX_GUARDED_BY(FLock){};
  int32_t FRestarts QX_GUARDED_BY(FLock) = 0;
  // When the current child last became ready.
  TClock::time_point FReadySince QX_GUARDED_BY(FLock){};
  bool FStopRequested QX_GUARDED_BY(FLock) = false;
};

}  // namespace quavox
