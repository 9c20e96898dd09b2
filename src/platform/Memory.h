// How the allocator is set up for a process that serves large WAV replies to many clients at
// once. Call before any thread exists.
#pragma once

#include <cstdint>

namespace quavox {

// Two allocator arenas instead of one per busy thread, every block of 1 MiB or more in a
// mapping of its own, handed back to the system the moment it is freed, and up to 16 MiB of
// freed smaller blocks kept in each arena for reuse.
void TuneAllocatorForLargeReplies();

// The process's resident and virtual memory in bytes (0 when the kernel does not say).
struct TProcessMemory {
  uint64_t ResidentBytes = 0;
  uint64_t VirtualBytes = 0;
};
TProcessMemory ProcessMemory();

}  // namespace quavox
