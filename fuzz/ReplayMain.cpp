// Runs a fuzz target over every file of its corpus folders, for builds without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize);

int main(int argc, char** argv) {
  int Count = 0;
  for (int a = 1; a < argc; ++a) {
    for (const auto& Entry : std::filesystem::recursive_directory_iterator(argv[a])) {
      if (!Entry.is_regular_file()) continue;
      std::ifstream In(Entry.path(), std::ios::binary);
      const std::vector<char> Bytes((std::istreambuf_iterator<char>(In)), {});
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size());
      ++Count;
    }
  }
  std::printf("replayed %d inputs\n", Count);
  return Count > 0 ? 0 : 1;
}
