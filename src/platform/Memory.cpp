#include "platform/Memory.h"

#include <malloc.h>
#include <unistd.h>

#include <fstream>

namespace quavox {

namespace {

// Every thread otherwise gets an arena of its own once requests run on many at once, and
// memory freed in one arena is not reused by the others. Two keep contention low on a
// service whose work is one synthesis at a time.
constexpr int MallocArenas = 2;
// A fixed threshold also stops glibc from raising it after large blocks are freed: with a
// raised threshold, clips read for fifty slow clients at once came from the heap and stayed
// there (near 900 MB) until the last of them left.
constexpr int MmapThresholdBytes = 1 << 20;
// Freed memory at the top of an arena, up to this much, stays for the next synthesis: its
// engine reply, samples and WAV (each under the threshold above) would otherwise come back
// as fresh pages from the system and fault in page by page, a large share of a miss.
constexpr int TrimThresholdBytes = 16 << 20;

}  // namespace

void TuneAllocatorForLargeReplies() {
  mallopt(M_ARENA_MAX, MallocArenas);
  mallopt(M_MMAP_THRESHOLD, MmapThresholdBytes);
  mallopt(M_TRIM_THRESHOLD, TrimThresholdBytes);
}

TProcessMemory ProcessMemory() {
  std::ifstream Statm("/proc/self/statm");
  uint64_t Pages = 0, Resident = 0;
  if (!(Statm >> Pages >> Resident)) return {};
  const auto PageBytes = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return {Resident * PageBytes, Pages * PageBytes};
}

}  // namespace quavox
