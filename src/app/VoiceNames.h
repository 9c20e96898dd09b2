// Voices by the names the operator gave them: lists show a voice's display name and keep its
// id at hand in a tooltip.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core/Text.h"
#include "core/Types.h"

namespace quavox {

// Display names of the library's voices by lower-case id, as the library matches ids.
using TDisplayById = std::unordered_map<std::string, std::string>;

inline TDisplayById DisplayNames(const std::vector<TVoiceInfo>& AVoices) {
  TDisplayById Names;
  Names.reserve(AVoices.size());
  for (const TVoiceInfo& Voice : AVoices)
    Names.emplace(LowerAscii(Voice.Id), Voice.Display);
  return Names;
}

// The display name of the voice with AId, or AId itself when no voice has it.
inline std::string VoiceName(const TDisplayById& ANames, const std::string& AId) {
  const auto It = ANames.find(LowerAscii(AId));
  return It == ANames.end() ? AId : It->second;
}

}  // namespace quavox
