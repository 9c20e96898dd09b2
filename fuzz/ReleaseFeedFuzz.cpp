#include <cstdint>
#include <string_view>

#include "online/Update.h"

// Reads arbitrary bytes as the release feed and as the release API's answer; every result
// must be either a release with a version or a reason.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string_view Body(reinterpret_cast<const char*>(AData), ASize);
  for (const quavox::TUpdateInfo& Info :
       {quavox::ParseReleaseFeed(Body), quavox::ParseReleaseList(Body)}) {
    if (Info.Ok ? Info.Latest.empty() : Info.Error.empty()) __builtin_trap();
    if (Info.Notes.size() > 600 * 3) __builtin_trap();
  }
  (void)quavox::CompareVersions(Body, "0.3.26218");
  return 0;
}
