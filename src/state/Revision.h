// Change counters of the persistent state: each grows whenever its part changes, whoever
// changed it (the HTTP API, prewarm, the window), so a view that polls them can tell it is
// stale. Process-wide, as the program holds one service; atomic, so any thread may count.
#pragma once

#include <atomic>
#include <cstdint>

namespace quavox {

enum TStatePart : int { spVoices, spVoiceMaps, spCache, spStatePartCount };

inline std::atomic<uint64_t> GStateRevisions[spStatePartCount]{};

inline void NoteStateChange(TStatePart APart) {
  GStateRevisions[APart].fetch_add(1);
}

inline uint64_t StateRevision(TStatePart APart) {
  return GStateRevisions[APart].load();
}

}  // namespace quavox
