// Serves the files of one folder over HTTP on 127.0.0.1 with byte ranges, reading them in
// chunks so a file of any size is served with flat memory. Prints the chosen port on its
// first line, then serves until it receives SIGTERM or SIGINT.
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr size_t ChunkBytes = 256 * 1024;
httplib::Server* GServer = nullptr;

void Serve(const std::string& ADir, const httplib::Request& AReq, httplib::Response& ARes) {
  // Ranges are answered here, so the library must not apply them a second time.
  const_cast<httplib::Request&>(AReq).ranges.clear();
  const std::string Name = AReq.matches[1];
  if (Name.find("..") != std::string::npos) {
    ARes.status = 403;
    return;
  }
  const std::string Path = ADir + "/" + Name;
  struct stat St {};
  if (::stat(Path.c_str(), &St) != 0 || !S_ISREG(St.st_mode)) {
    ARes.status = 404;
    return;
  }
  const int64_t Size = St.st_size;
  int64_t Offset = 0;
  const std::string Range = AReq.get_header_value("Range");
  if (Range.rfind("bytes=", 0) == 0) Offset = std::stoll(Range.substr(6));
  if (Offset > Size) {
    ARes.status = 416;
    return;
  }
  ARes.status = Offset > 0 ? 206 : 200;
  if (Offset > 0)
    ARes.set_header("Content-Range", "bytes " + std::to_string(Offset) + "-" +
                                         std::to_string(Size - 1) + "/" + std::to_string(Size));
  ARes.set_content_provider(static_cast<size_t>(Size - Offset), "application/octet-stream",
                            [Path, Offset](size_t AAt, size_t ALength, httplib::DataSink& ASink) {
                              thread_local std::string Buffer(ChunkBytes, '\0');
                              const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
                              if (Fd < 0) return false;
                              const ssize_t n =
                                  ::pread(Fd, Buffer.data(), std::min(ALength, ChunkBytes),
                                          static_cast<off_t>(Offset + static_cast<int64_t>(AAt)));
                              ::close(Fd);
                              return n > 0 && ASink.write(Buffer.data(), static_cast<size_t>(n));
                            });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string Dir = argv[1];
  httplib::Server Server;
  Server.Get(R"(/(.+))", [&Dir](const httplib::Request& AReq, httplib::Response& ARes) {
    Serve(Dir, AReq, ARes);
  });
  const int Port = Server.bind_to_any_port("127.0.0.1");
  if (Port <= 0) return 1;
  GServer = &Server;
  struct sigaction Action {};
  Action.sa_handler = [](int) {
    // stop() only shuts the listening socket down, which is safe from a handler.
    if (GServer != nullptr) GServer->stop();
  };
  ::sigaction(SIGTERM, &Action, nullptr);
  ::sigaction(SIGINT, &Action, nullptr);
  std::printf("%d\n", Port);
  std::fflush(stdout);
  Server.listen_after_bind();
  return 0;
}
