#include "engine/Engine.h"

namespace quavox {

void TCustomTtsEngine::Configure(const TEngineOptions& AOptions) {
  TLockGuard Guard(FOptionsLock);
  FOptions = AOptions;
}

TEngineOptions TCustomTtsEngine::Options() const {
  TLockGuard Guard(FOptionsLock);
  return FOptions;
}

TEngineHealth TCustomTtsEngine::CheckHealth() {
  TEngineHealth Health;
  Health.Ready = Ready();
  Health.Backend = Name();
  Health.Detail = Options().Describe();
  Health.ProbedAt = std::chrono::system_clock::now();
  return Health;
}

std::string TCustomTtsEngine::RegisterReference(const TVoiceCloneSpec&) {
  return {};
}

}  // namespace quavox
