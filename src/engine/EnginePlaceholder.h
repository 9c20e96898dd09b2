// An engine that needs no model: an audible, speech-like waveform at 44100 Hz so the whole
// chain (HTTP, queue, cache, WAV) can be tried before a model is installed. Deterministic
// for the same text, gender and seed; stateless, so concurrent calls are safe.
#pragma once

#include <vector>

#include "engine/Engine.h"

namespace quavox {

enum TSegmentKind : uint8_t { skVoiced, skFricative, skPause };

struct TSegment {
  TSegmentKind Kind = skPause;
  int32_t DurationMs = 0;
  int32_t Vowel = 0;
  float Stress = 0.0f;
};

std::vector<TSegment> BuildSegments(std::string_view AText);

class TPlaceholderEngine final : public TCustomTtsEngine {
 public:
  static constexpr int32_t SampleRate = 44100;

  using TCustomTtsEngine::TCustomTtsEngine;
  std::string Name() const override { return "placeholder"; }
  bool Ready() const override { return true; }
  bool SupportsNativeSpeed() const override { return false; }
  TEngineHealth CheckHealth() override;
  TPcmBuffer Synthesize(const TS2Params& AParams, const TVoiceHint& AHint) override;
};

}  // namespace quavox
