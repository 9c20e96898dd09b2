// A cpp-httplib server on 127.0.0.1 at a port chosen at run time, running on its own thread
// for the life of the object, standing in for a remote service.
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

namespace quavox {

class TLocalServer {
 public:
  TLocalServer() = default;
  ~TLocalServer() { Stop(); }
  TLocalServer(const TLocalServer&) = delete;
  TLocalServer& operator=(const TLocalServer&) = delete;

  httplib::Server& Server() { return FServer; }
  // Call after the routes are installed.
  void Start() {
    FPort = FServer.bind_to_any_port("127.0.0.1");
    FThread = std::thread([this] { FServer.listen_after_bind(); });
    // stop() is ignored until the server runs, so a quick Stop must wait for it.
    while (!FServer.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Stop() {
    if (!FThread.joinable()) return;
    FServer.stop();
    FThread.join();
  }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(FPort); }

 private:
  httplib::Server FServer;
  int FPort = 0;
  std::thread FThread;
};

}  // namespace quavox
