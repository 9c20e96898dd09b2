#include "http/ReplyBudget.h"

#include <string>
#include <utility>

#include "core/Format.h"
#include "core/Text.h"
#include "core/Types.h"

namespace quavox {

namespace {

// Upper bounds of the time one UTF-16 code unit takes to speak at speed 1: letters, digits
// and punctuation, and the scripts from U+2E80 on (CJK and the other East Asian ones).
constexpr int64_t NarrowUnitMs = 100;
constexpr int64_t WideUnitMs = 250;
constexpr int64_t PauseMarginMs = 1000;
constexpr char32_t FirstWideCodePoint = 0x2E80;

}  // namespace

int64_t PredictedDurationMs(std::string_view ASpokenText, float ASpeed) {
  int64_t Ms = PauseMarginMs;
  for (std::size_t i = 0; i < ASpokenText.size();) {
    const char32_t c = NextCodePoint(ASpokenText, i);
    const int64_t Units = c >= 0x10000 ? 2 : 1;
    Ms += Units * (c >= FirstWideCodePoint ? WideUnitMs : NarrowUnitMs);
  }
  return static_cast<int64_t>(static_cast<double>(Ms) / ClampSpeed(ASpeed));
}

TReplyEstimate EstimateReply(int64_t ADurationMs, int32_t ASampleRate) {
  TReplyEstimate Estimate;
  Estimate.DurationMs = ADurationMs;
  Estimate.SampleRate = ASampleRate > 0 ? ASampleRate : AssumedEngineRate;
  Estimate.Samples = ADurationMs * Estimate.SampleRate / 1000;
  return Estimate;
}

std::string TReplyEstimate::TooLongMessage() const {
  return Format(
      "the reply could hold up to %d s of audio at %d Hz (%d samples); one reply holds at most "
      "%d samples (21 minutes at 48000 Hz): send a shorter text, a higher speed or a lower "
      "sample_rate",
      DurationMs / 1000, SampleRate, Samples, MaxReplySamples);
}

TReplyBudget::TTicket::TTicket(TTicket&& AOther) noexcept
    : FBudget(std::exchange(AOther.FBudget, nullptr)), FBytes(std::exchange(AOther.FBytes, 0)) {}

TReplyBudget::TTicket& TReplyBudget::TTicket::operator=(TTicket&& AOther) noexcept {
  if (this != &AOther) {
    Release();
    FBudget = std::exchange(AOther.FBudget, nullptr);
    FBytes = std::exchange(AOther.FBytes, 0);
  }
  return *this;
}

TReplyBudget::TTicket::~TTicket() {
  Release();
}

void TReplyBudget::TTicket::Release() {
  if (FBudget != nullptr) FBudget->Return(FBytes);
  FBudget = nullptr;
  FBytes = 0;
}

void TReplyBudget::SetLimit(int64_t ALimitBytes) {
  TLockGuard Guard(FLock);
  FLimit = ALimitBytes;
}

int64_t TReplyBudget::Limit() const {
  TLockGuard Guard(FLock);
  return FLimit;
}

int64_t TReplyBudget::InUse() const {
  TLockGuard Guard(FLock);
  return FInUse;
}

bool TReplyBudget::TryAdmit(int64_t ABytes, TTicket& ATicket) {
  {
    TLockGuard Guard(FLock);
    if (FInUse > 0 && FInUse + ABytes > FLimit) return false;
    FInUse += ABytes;
  }
  ATicket = TTicket(this, ABytes);
  return true;
}

void TReplyBudget::Return(int64_t ABytes) {
  TLockGuard Guard(FLock);
  FInUse -= ABytes;
}

}  // namespace quavox
