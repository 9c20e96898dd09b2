// Clone packs: zip archives that carry cloned voices, their reference recordings and
// optionally airline bindings from one installation to another. Import recreates every voice
// through the normal cloning path, so recordings are checked again and ids follow content.
// Packs come from strangers: import bounds what it decompresses and never uses an entry name
// as a path on disk.
#pragma once

#include <cstdint>
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
std::string PackFingerprint(const std::vector<std::string>& AIds,
                            const std::vector<std::string>& AKeys, const TVoiceLibrary& ALibrary,
                            const TAppConfig& AConfig);

}  // namespace quavox
