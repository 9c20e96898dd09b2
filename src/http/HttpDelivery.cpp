#include "http/HttpDelivery.h"

#include <stdexcept>

#include "audio/Wav.h"
#include "core/Format.h"

namespace quavox {

std::string DeliveredTag(const std::string& AWavTag, const TDeliveryOptions& AOptions,
                         int32_t ARate) {
  std::string Tag =
      AWavTag + "." + std::string(AudioFormatName(AOptions.Format)) + "." + std::to_string(ARate);
  if (IsLoudnessTarget(AOptions.LoudnessLufs)) Tag += Format(".%.1flufs", AOptions.LoudnessLufs);
  return Tag;
}

std::optional<TEncodedReply> TEncodedCache::Find(const std::string& ATag) {
  TLockGuard Guard(FLock);
  const auto Found = FEntries.find(ATag);
  if (Found == FEntries.end()) return std::nullopt;
  FOrder.splice(FOrder.begin(), FOrder, Found->second.Place);
  return Found->second.Reply;
}

void TEncodedCache::Put(const std::string& ATag, const TEncodedReply& AReply) {
  if (!AReply.Bytes) return;
  TLockGuard Guard(FLock);
  if (AReply.Bytes->size() > FBudget) return;
  if (const auto Old = FEntries.find(ATag); Old != FEntries.end()) {
    FBytes -= Old->second.Reply.Bytes->size();
    FOrder.erase(Old->second.Place);
    FEntries.erase(Old);
  }
  FOrder.push_front(ATag);
  FEntries.emplace(ATag, TEntry{AReply, FOrder.begin()});
  FBytes += AReply.Bytes->size();
  EvictLocked();
}

void TEncodedCache::SetBudget(std::size_t ABudgetBytes) {
  TLockGuard Guard(FLock);
  FBudget = ABudgetBytes;
  EvictLocked();
}

std::size_t TEncodedCache::Bytes() const {
  TLockGuard Guard(FLock);
  return FBytes;
}

std::size_t TEncodedCache::Count() const {
  TLockGuard Guard(FLock);
  return FEntries.size();
}

void TEncodedCache::EvictLocked() {
  while (FBytes > FBudget && !FOrder.empty()) {
    const auto Oldest = FEntries.find(FOrder.back());
    FBytes -= Oldest->second.Reply.Bytes->size();
    FEntries.erase(Oldest);
    FOrder.pop_back();
  }
}

TEncodedReply DeliverReply(TEncodedCache& ACache, const TSharedBytes& AWav, const std::string& ATag,
                           const TDeliveryOptions& AOptions) {
  if (auto Kept = ACache.Find(ATag)) return *Kept;
  TPcmBuffer Pcm;
  if (!WavToPcm(AWav.Bytes(), Pcm)) throw std::runtime_error("the synthesized WAV cannot be read");
  TEncodedAudio Encoded = DeliverAudio(std::move(Pcm), AOptions);
  TEncodedReply Reply{std::make_shared<const TBytes>(std::move(Encoded.Bytes)), Encoded.SampleRate,
                      Encoded.DurationMs};
  ACache.Put(ATag, Reply);
  return Reply;
}

}  // namespace quavox
