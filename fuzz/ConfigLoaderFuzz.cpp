#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "audio/Wav.h"
#include "state/Config.h"
#include "support/TempDir.h"

// Loads arbitrary bytes as config.json in a private folder; the loader must neither crash
// nor rewrite the file it could not read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  static const quavox::TTempDir RootDir("quavox-config-fuzz");
  const std::string& Root = RootDir.Path();
  const std::string File = Root + "data/config.json";
  quavox::WriteFileBytes(File, std::span<const uint8_t>(AData, ASize));
  quavox::TAppConfig Config({Root, Root + "appdata/"});
  Config.Load(File);
  const quavox::TBytes After = quavox::ReadFileBytes(File);
  const bool Rewritten = After.size() != ASize || !std::equal(After.begin(), After.end(), AData);
  (void)Config.Settings();
  (void)Config.KnownAirlines();
  if (Rewritten) __builtin_trap();
  return 0;
}
