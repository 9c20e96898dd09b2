// Replies in another format or loudness than the cached WAV. The audio cache keeps one WAV
// per line; encoding it again for every repeated MP3 or Opus request would cost far more
// than serving it, so encoded replies are kept in memory, by the entity tag that names
// exactly the delivered bytes. Safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "audio/Encode.h"
#include "core/ThreadAnnotations.h"
#include "core/Types.h"

namespace quavox {

struct TEncodedReply {
  std::shared_ptr<const TBytes> Bytes;
  int32_t SampleRate = 0;
  int32_t DurationMs = 0;
};

// The entity tag of AWavTag's audio delivered with AOptions at ARate: it differs per
// format, rate and loudness, so conditional requests stay exact.
std::string DeliveredTag(const std::string& AWavTag, const TDeliveryOptions& AOptions,
                         int32_t ARate);

// Least recently used replies go first once their bytes exceed the budget; a budget of 0
// keeps nothing.
class TEncodedCache {
 public:
  explicit TEncodedCache(std::size_t ABudgetBytes = 0) : FBudget(ABudgetBytes) {}

  std::optional<TEncodedReply> Find(const std::string& ATag) QX_EXCLUDES(FLock);
  void Put(const std::string& ATag, const TEncodedReply& AReply) QX_EXCLUDES(FLock);
  void SetBudget(std::size_t ABudgetBytes) QX_EXCLUDES(FLock);
  std::size_t Bytes() const QX_EXCLUDES(FLock);
  std::size_t Count() const QX_EXCLUDES(FLock);

 private:
  using TOrder = std::list<std::string>;  // most recently used first
  struct TEntry {
    TEncodedReply Reply;
    TOrder::iterator Place;
  };
  void EvictLocked() QX_REQUIRES(FLock);

  mutable TMutex FLock;
  std::size_t FBudget QX_GUARDED_BY(FLock);
  std::size_t FBytes QX_GUARDED_BY(FLock) = 0;
  TOrder FOrder QX_GUARDED_BY(FLock);
  std::map<std::string, TEntry, std::less<>> FEntries QX_GUARDED_BY(FLock);
};

// The delivery step for the HTTP API: the reply of AWav (the WAV a synthesis returned,
// named by AWavTag) in the asked format and loudness, from ACache or encoded now and kept
// there. Raises std::runtime_error when the WAV cannot be read or a codec refuses.
TEncodedReply DeliverReply(TEncodedCache& ACache, const TSharedBytes& AWav, const std::string& ATag,
                           const TDeliveryOptions& AOptions);

}  // namespace quavox
