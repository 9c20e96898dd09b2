// What the service reports to the window about changes of the lists it shows: the voices,
// the default voices and airline bindings, and the cache entries.
#pragma once

#include <cstdint>

#include "state/Revision.h"

namespace quavox {

struct TServiceChanges {
  uint64_t Voices = 0;
  // Default voices and airline bindings.
  uint64_t Bindings = 0;
  uint64_t Cache = 0;
};

inline TServiceChanges ServiceChanges() {
  return {StateRevision(spVoices), StateRevision(spVoiceMaps), StateRevision(spCache)};
}

}  // namespace quavox
