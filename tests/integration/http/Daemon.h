// The real quavoxd process in a fresh program folder, reached over 127.0.0.1 on a port
// chosen at run time.
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/Types.h"
#include "platform/Loopback.h"
#include "state/Json.h"
#include "support/TempDir.h"

namespace quavox::test {

class TDaemon {
 public:
  // A fresh folder whose data/config.json listens on 127.0.0.1 and a free port, with the
  // extra settings of AConfig merged in per section (a "bind" there moves it to that
  // loopback address).
  explicit TDaemon(const std::string& AName, const TJson& AConfig = TJson::object());
  ~TDaemon();
  TDaemon(const TDaemon&) = delete;
  TDaemon& operator=(const TDaemon&) = delete;

  // Lets the daemon find the files the build ships (engine, model, text tables) beside its
  // executable, as an installed daemon does, instead of in its state folder only.
  void UseShippedFiles() { FShippedFiles = true; }
  // Starts the process; true once /health answers, false when it exited first.
  bool Start();
  // Starts the process without waiting for it.
  bool Launch();
  // Sends the signal and returns the exit code (128 + signal when killed by one).
  int Stop(int ASignal = SIGTERM);
  // Waits for the process to end by itself; its exit code.
  int Wait();
  bool Alive();

  httplib::Client Client() const;
  // A client whose connections come from ASource, another 127.x address: to the daemon a
  // client of its own.
  httplib::Client ClientFrom(const std::string& ASource) const;
  std::string Stderr() const;
  const std::string& Root() const { return FRoot; }
  int Port() const { return FPort; }
  const std::string& Host() const { return FHost; }
  // "http://host:port".
  std::string BaseUrl() const;
  pid_t Pid() const { return FPid; }

 private:
  TTempDir FRootDir;
  std::string FRoot = FRootDir.Path();
  int FPort = 0;
  std::string FHost = "127.0.0.1";
  pid_t FPid = -1;
  int FExitCode = -1;
  bool FShippedFiles = false;
};

// The daemon's data/config.json as it is on disk, and parsed (empty when it does not parse).
std::string ConfigText(const TDaemon& ADaemon);
TJson ConfigJson(const TDaemon& ADaemon);
// Edits the configuration file as an administrator would, behind the daemon's back; a null
// AValue takes the member out.
void EditConfig(const TDaemon& ADaemon, const std::string& ASection, const std::string& AMember,
                const TJson& AValue);
// Waits up to ten seconds for AText in the daemon's standard error.
bool WaitForLine(const TDaemon& ADaemon, const std::string& AText);

// Runs quavoxd with the arguments; its exit code, standard output and standard error.
int RunDaemonOnce(const std::vector<std::string>& AArgs, std::string& AOut, std::string& AErr);

// Sends raw bytes on a new connection and returns everything the server answers until it
// closes the connection or falls silent for a moment.
std::string RawExchange(int APort, const std::string& ABytes);

std::string Base64(const TBytes& ABytes);

// The bundled inference server and its voice file, when the build made them.
// A two-second tone with a slow tremolo: audio that any decoder and the cloning accept; its
// pitch decides the speaker the bundled engine imitates.
TBytes TremoloToneWav(float AFrequency);

bool BundledEngineBuilt();
// Copies the announcement-text tables the build ships into the daemon's program folder.
void ShipTextTables(const TDaemon& ADaemon);
// Copies them into the daemon's program folder.
void InstallBundledEngine(const TDaemon& ADaemon);
// Waits until /v1/health reports the engine ready; false after ALimit.
bool WaitUntilReady(httplib::Client& ACli, std::chrono::seconds ALimit);

}  // namespace quavox::test
