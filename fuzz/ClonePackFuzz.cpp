#include <cstdint>
#include <filesystem>
#include <string>

#include "audio/Wav.h"
#include "state/ClonePack.h"
#include "state/Config.h"
#include "state/Voices.h"
#include "support/TempDir.h"

// Imports arbitrary bytes as a clone pack into an empty installation. The import either
// refuses the file with the service's own error or imports what it can; every clip it stores
// carries a name the library chose, inside the clone folder. Then the same bytes as a
// primary's library pack, mirrored by a follower: refused, or every clip name it keeps is safe.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  static const quavox::TTempDir FuzzRoot("quavox-pack-fuzz");
  const std::string& Root = FuzzRoot.Path();
  const std::string Pack = Root + "input.cln";
  quavox::WriteFileBytes(Pack, std::span<const uint8_t>(AData, ASize));
  {
    quavox::TAppConfig Config({Root, Root + "appdata/"});
    quavox::TVoiceLibrary Library(Config);
    try {
      const quavox::TPackSummary Summary = quavox::ImportPack(Pack, Library, Config);
      if (Summary.VoicesAdded + Summary.VoicesReused > Summary.Voices) __builtin_trap();
      (void)Summary.Describe();
    } catch (const quavox::ETtsError&) {
      if (Library.Count() != 0) __builtin_trap();
    }
    for (const quavox::TVoiceInfo& Voice : Library.All())
      for (const quavox::TVoiceClip& Clip : Voice.Clips)
        if (!quavox::IsSafeClipFileName(Clip.FileName) || Clip.FileName.rfind(Voice.Id, 0) != 0)
          __builtin_trap();
  }
  {
    quavox::TAppConfig Config({Root, Root + "appdata/"});
    quavox::TVoiceLibrary Follower(Config);
    try {
      const quavox::TLibraryPack Primary = quavox::ReadLibraryPack(Pack);
      Follower.Mirror(Primary.Voices, Primary.Clips, {});
    } catch (const quavox::ETtsError&) {
      if (Follower.Count() != 0) __builtin_trap();
    }
    for (const quavox::TVoiceInfo& Voice : Follower.All())
      for (const quavox::TVoiceClip& Clip : Voice.Clips)
        if (!quavox::IsSafeClipFileName(Clip.FileName)) __builtin_trap();
  }
  std::error_code Ec;
  for (const char* Folder : {"clone", "data", "appdata"})
    std::filesystem::remove_all(Root + Folder, Ec);
  return 0;
}
