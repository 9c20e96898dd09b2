#include <cstdint>
#include <filesystem>
#include <string>

#include "audio/Wav.h"
#include "state/Config.h"
#include "state/Voices.h"
#include "support/TempDir.h"

// Loads arbitrary bytes as voices.json in a private folder whose clone folder is empty. The
// loader must not crash, no clip name may lead outside the clone folder (so no reference
// audio can be found at all), and a save followed by a load must give the same voices (a
// file that cannot be read is kept aside and the records recovered from it are saved).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  static const quavox::TTempDir FuzzRoot("quavox-voices-fuzz");
  const std::string& Root = FuzzRoot.Path();
  quavox::TAppConfig Config({Root, Root + "appdata/"});
  const std::string File = Config.VoicesFile();
  quavox::WriteFileBytes(File, std::span<const uint8_t>(AData, ASize));
  quavox::TVoiceLibrary Library(Config);
  Library.Load();
  const std::vector<quavox::TVoiceInfo> Voices = Library.All();
  for (const quavox::TVoiceInfo& Voice : Voices) {
    for (const quavox::TVoiceClip& Clip : Voice.Clips) {
      const std::string Path = Library.ClipPath(Clip);
      if (!Path.empty() && (Path.compare(0, Config.VoicesDir().size(), Config.VoicesDir()) != 0 ||
                            Path.find('/', Config.VoicesDir().size()) != std::string::npos))
        __builtin_trap();
    }
    if (!Library.ReferenceAudio(Voice).empty()) __builtin_trap();
    (void)quavox::TVoiceLibrary::ReferenceText(Voice);
    quavox::TVoiceInfo Found;
    if (!Library.Find(Voice.Id, Found) && !Voice.Id.empty() &&
        Voice.Id.find_first_not_of(" \t\r\n") != std::string::npos)
      __builtin_trap();
  }
  Library.Save();
  quavox::TVoiceLibrary Reloaded(Config);
  Reloaded.Load();
  const std::vector<quavox::TVoiceInfo> Again = Reloaded.All();
  if (Again.size() != Voices.size()) __builtin_trap();
  for (std::size_t i = 0; i < Voices.size(); ++i)
    if (Again[i].Id != Voices[i].Id || Again[i].Clips.size() != Voices[i].Clips.size())
      __builtin_trap();
  std::error_code Ec;
  std::filesystem::remove_all(Config.VoicesDir(), Ec);
  std::filesystem::remove(File + ".unreadable", Ec);
  return 0;
}
