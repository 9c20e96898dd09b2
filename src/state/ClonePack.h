// Clone packs: zip archives that carry cloned voices, their reference recordings and
// optionally airline bindings from one installation to another. Import recreates every voice
// through the normal cloning path, so recordings are checked again and ids follow content.
// Packs come from strangers: import bounds what it decompresses and never uses an entry name
// as a path on disk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "state/Config.h"
#include "state/Voices.h"

namespace quavox {

struct TPackSummary {
  int32_t Voices = 0;
  int32_t VoicesAdded = 0;
  int32_t VoicesReused = 0;
  int32_t Bindings = 0;
  int32_t Clips = 0;
  int64_t Bytes = 0;
  std::vector<std::string> Notes;

  std::string Describe() const;
};

// Import refuses an archive whose entries decompress beyond these.
inline constexpr int64_t MaxPackEntryBytes = int64_t{64} << 20;
inline constexpr int64_t MaxPackTotalBytes = int64_t{512} << 20;

TPackSummary ExportPack(const std::string& AFileName, const std::vector<std::string>& AKeys,
                        const TVoiceLibrary& ALibrary, const TAppConfig& AConfig);
TPackSummary ExportVoicesPack(const std::string& AFileName, const std::vector<std::string>& AIds,
                              const TVoiceLibrary& ALibrary);
// Raises ETtsError ecBadAudio for an unusable file before changing anything.
TPackSummary ImportPack(const std::string& AFileName, TVoiceLibrary& ALibrary, TAppConfig& AConfig);
// The whole library as one pack, for nodes that follow this one: a clone pack any installation
// can import, whose manifest also carries every voice as voices.json stores it ("library"),
// so a follower keeps the very ids, seeds and clip names.
TBytes ExportLibraryPack(const TVoiceLibrary& ALibrary, const TAppConfig& AConfig);
// Changes whenever the library's records change; the same on every node with the same voices.
std::string LibraryPackTag(const TVoiceLibrary& ALibrary);

struct TLibraryPack {
  std::vector<TVoiceInfo> Voices;
  // Clip files by name.
  std::map<std::string, TBytes> Clips;
};
// Reads a pack ExportLibraryPack made, within the bounds of an import; raises ETtsError
// ecBadAudio for anything else.
TLibraryPack ReadLibraryPack(const std::string& AFileName);

std::string PackFingerprint(const std::vector<std::string>& AIds,
                            const std::vector<std::string>& AKeys, const TVoiceLibrary& ALibrary,
                            const TAppConfig& AConfig);

}  // namespace quavox
