// What one audio reply may cost, predicted from its spoken text, speed and rate before
// anything is made, and the memory budget of the replies being made at once: a reply
// that could never fit is refused with 413, one that does not fit now with 503, so a burst
// of long requests is answered instead of growing the daemon until the kernel ends it.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/ThreadAnnotations.h"

namespace quavox {

// The longest audio one reply may hold: 21 minutes at 48 kHz, so that the longest text the
// default settings take (5,000 East Asian characters) is still spoken at speed 1.
constexpr int64_t MaxReplySamples = 60'480'000;
// Memory a reply holds per sample while it is made and sent: the engine's float PCM, its
// resampled and retimed copies, and the WAV.
constexpr int64_t ReplyBytesPerSample = 12;
// The rate assumed when neither the request nor the configuration names one: no engine of
// this system speaks faster.
constexpr int32_t AssumedEngineRate = 48000;

struct TReplyEstimate {
  int64_t DurationMs = 0;
  int32_t SampleRate = 0;
  int64_t Samples = 0;

  int64_t Bytes() const { return Samples * ReplyBytesPerSample; }
  bool TooLong() const { return Samples > MaxReplySamples; }
  // The 413 message naming the limit.
  std::string TooLongMessage() const;
};

// At least as long as the speech the text becomes at the speed (clamped as the pipeline
// clamps it): East Asian characters are spoken slower than letters, and pauses surround
// the whole.
int64_t PredictedDurationMs(std::string_view ASpokenText, float ASpeed);
TReplyEstimate EstimateReply(int64_t ADurationMs, int32_t ASampleRate);

// Bytes held by the replies being made; admission never waits. Any thread may call it.
class TReplyBudget {
 public:
  // Holds its bytes until destroyed.
  class TTicket {
   public:
    TTicket() = default;
    TTicket(TTicket&& AOther) noexcept;
    TTicket& operator=(TTicket&& AOther) noexcept;
    ~TTicket();
    TTicket(const TTicket&) = delete;
    TTicket& operator=(const TTicket&) = delete;

   private:
    friend class TReplyBudget;
    TTicket(TReplyBudget* ABudget, int64_t ABytes) : FBudget(ABudget), FBytes(ABytes) {}
    void Release();
    TReplyBudget* FBudget = nullptr;
    int64_t FBytes = 0;
  };

  explicit TReplyBudget(int64_t ALimitBytes) : FLimit(ALimitBytes) {}
  void SetLimit(int64_t ALimitBytes) QX_EXCLUDES(FLock);
  int64_t Limit() const QX_EXCLUDES(FLock);
  int64_t InUse() const QX_EXCLUDES(FLock);
  // A ticket for the bytes, or false when they do not fit beside those in use. A reply
  // larger than the whole budget is admitted alone, so a budget set below the largest reply
  // slows such replies down instead of refusing them for ever.
  bool TryAdmit(int64_t ABytes, TTicket& ATicket) QX_EXCLUDES(FLock);

 private:
  void Return(int64_t ABytes) QX_EXCLUDES(FLock);
  mutable TMutex FLock;
  int64_t FLimit QX_GUARDED_BY(FLock);
  int64_t FInUse QX_GUARDED_BY(FLock) = 0;
};

}  // namespace quavox
