// A new, empty, private folder under the system's temporary folder, removed with all it
// holds when the object goes. Tests, fuzzers and benchmarks use it as a program folder or a
// scratch area, so runs in parallel never share files.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace quavox {

class TTempDir {
 public:
  explicit TTempDir(std::string_view AName = "quavox") {
    std::string Pattern =
        (std::filesystem::temp_directory_path() / (std::string(AName) + "-XXXXXX")).string();
    if (!::mkdtemp(Pattern.data()))
      throw std::system_error(errno, std::generic_category(), Pattern);
    FPath = Pattern + "/";
  }
  ~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  // The folder, ending in '/'; with ARelative, that path inside it.
  const std::string& Path() const { return FPath; }
  std::string Path(std::string_view ARelative) const { return FPath + std::string(ARelative); }

 private:
  std::string FPath;
};

}  // namespace quavox
