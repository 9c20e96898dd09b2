// Build step: writes the voice file of the bundled inference server.
//   quavox-make-voicefile OUTPUT.gguf
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "VoiceBook.h"
#include "platform/Files.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.gguf\n", argv[0]);
    return 2;
  }
  const quavox::s2::TVoiceBook Book = quavox::s2::StandardVoiceBook();
  const std::vector<uint8_t> Bytes = Book.ToGguf().Serialize();
  // The build must never install a voice file the server would refuse.
  quavox::s2::TGgufFile Back;
  quavox::s2::TVoiceBook Check;
  std::string Error;
  if (quavox::s2::TGgufFile::Parse(Bytes, Back) != quavox::s2::grOk ||
      !quavox::s2::TVoiceBook::FromGguf(Back, Check, Error)) {
    std::fprintf(stderr, "voice file does not read back: %s\n", Error.c_str());
    return 1;
  }
  try {
    quavox::ForceDirectories(std::filesystem::path(argv[1]).parent_path().string());
    quavox::WriteFileAtomic(argv[1], Bytes);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot write %s: %s\n", argv[1], e.what());
    return 1;
  }
  return 0;
}
