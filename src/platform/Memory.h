// How the allocator is set up for a process that serves large WAV replies to many clients at
// once. Call before any thread exists.
#pragma once

namespace quavox {

// Two allocator arenas instead of one per busy thread, every block of 1 MiB or more in a
// mapping of its own, handed back to the system the moment it is freed, and up to 16 MiB of
// freed smaller blocks kept in each arena for reuse.
void TuneAllocatorForLargeReplies();

}  // namespace quavox
