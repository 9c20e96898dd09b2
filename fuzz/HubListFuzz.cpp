#include <cstdint>
#include <string_view>

#include "online/Hub.h"

// Reads arbitrary bytes as the hub's list answer, then arranges and summarises whatever
// came out the way the cloud-share page does; nothing may crash or hang.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string_view Body(reinterpret_cast<const char*>(AData), ASize);
  const quavox::THubResult Result = quavox::ParseHubList(Body);
  if (Result.Ok != Result.Error.empty()) __builtin_trap();
  for (const quavox::THubItem& Item : Result.Items) {
    if (Item.Id.empty() || Item.Url.empty()) __builtin_trap();
    (void)Item.Describe();
  }
  quavox::THubFilter Filter;
  Filter.Text = Body.substr(0, 8);
  (void)quavox::HubArrange(Result.Items, Filter, quavox::hsNewest);
  (void)quavox::HubArrange(Result.Items, {}, quavox::hsTitle);
  (void)quavox::CollectDistinct(Result.Items, true);
  (void)quavox::CollectDistinct(Result.Items, false);
  quavox::TDateTime When{};
  (void)quavox::ParseHubTime(Body, When);
  return 0;
}
