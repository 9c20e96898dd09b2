// Downloads one URL into a folder through TModelDownloader, the way the window does, and
// prints the outcome, the seconds it took and the process's peak resident memory.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "engine/Models.h"
#include "platform/Files.h"

int main(int argc, char** argv) {
  using namespace quavox;
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s URL EXPECTED_BYTES FOLDER\n", argv[0]);
    return 2;
  }
  TAppConfig Config(TAppFolders{IncludeTrailingSlash(argv[3]), std::string(argv[3]) + "/appdata/"});
  TModelDownloader Downloader(Config, nullptr);
  TModelVariant Variant;
  Variant.Id = "bench";
  Variant.FileName = "bench.gguf";
  Variant.Url = argv[1];
  Variant.SizeBytes = std::stoll(argv[2]);
  const auto Began = std::chrono::steady_clock::now();
  Downloader.Start(Variant, OfficialModelHost, false);
  Downloader.WaitIdle(std::chrono::hours(1));
  const double Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Began).count();
  const TDownloadProgress Last = Downloader.Snapshot();
  rusage Usage{};
  ::getrusage(RUSAGE_SELF, &Usage);
  std::printf("%s %.3f %ld\n", Last.Stage == dsDone ? "done" : Last.Describe().c_str(), Seconds,
              Usage.ru_maxrss);
  return Last.Stage == dsDone ? 0 : 1;
}
