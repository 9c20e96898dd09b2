#include "engine/EnginePlaceholder.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "audio/Dsp.h"
#include "core/I18n.h"
#include "core/Text.h"

namespace quavox {

namespace {

constexpr float FormantTable[5][3] = {
    {730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240}, {530, 1840, 2480}, {570, 840, 2410}};
constexpr float FormantWeights[3] = {1.0f, 0.55f, 0.3f};
constexpr double TwoPi = 2.0 * std::numbers::pi;

bool IsPauseChar(char16_t c) {
  switch (c) {
    case u'!':
    case u',':
    case u'.':
    case u':':
    case u';':
    case u'?':
    case 0xFF0C:
    case 0x3002:
    case 0xFF01:
    case 0xFF1F:
    case 0x3001:
    case 0xFF1B:
    case 0xFF1A:
      return true;
    default:
      return false;
  }
}

bool IsFricativeChar(char16_t c) {
  switch (c | 0x20) {
    case u'c':
    case u'f':
    case u'h':
    case u's':
    case u'x':
    case u'z':
      return c < 0x80;
    default:
      return false;
  }
}

float BasePitch(TTtsGender AGender) {
  switch (AGender) {
    case tgFemale:
      return 205.0f;
    case tgMale:
      return 112.0f;
    default:
      return 155.0f;
  }
}

// Linear congruential step shared by the seed and the fricative noise.
uint32_t NextRandom(uint32_t r) {
  return r * 1664525u + 1013904223u;
}

float VoicedSample(const TSegment& ASeg, float APhase, long long APos, float AEnvelope) {
  float FormantSum = 0.0f;
  for (int j = 0; j < 3; ++j) {
    const auto Arg = static_cast<float>(FormantTable[ASeg.Vowel][j] * TwoPi * APos / 44100.0);
    FormantSum += FormantWeights[j] * std::sin(Arg);
  }
  const float Glottal = std::max(0.0f, std::sin(APhase));
  return FormantSum * (0.65f * Glottal + 0.35f) * 0.22f * AEnvelope * ASeg.Stress;
}

}  // namespace

std::vector<TSegment> BuildSegments(std::string_view AText) {
  std::vector<TSegment> Plan;
  bool InBrackets = false;
  for (char16_t c : Utf8ToUtf16(AText)) {
    if (c == u'[') {
      InBrackets = true;
    } else if (c == u']') {
      InBrackets = false;
    } else if (InBrackets) {
      continue;
    } else if (IsPauseChar(c)) {
      Plan.push_back({skPause, 220, 0, 0.0f});
    } else if (IsWhiteSpace(c)) {
      Plan.push_back({skPause, 70, 0, 0.0f});
    } else if (IsLetterOrDigit(c)) {
      const float Stress = static_cast<float>((c & 3) * 0.25 / 3.0 + 0.75);
      Plan.push_back({IsFricativeChar(c) ? skFricative : skVoiced, c > 0x2E80 ? 170 : 80,
                      static_cast<int32_t>(c % 5), Stress});
    }
  }
  Plan.push_back({skPause, 120, 0, 0.0f});
  return Plan;
}

TEngineHealth TPlaceholderEngine::CheckHealth() {
  TEngineHealth Health;
  Health.Ready = true;
  Health.Backend = Translate("占位波形");
  Health.Detail = Translate("bin 里还没有模型;这是可听的假音频,只用来验证链路");
  Health.ProbedAt = std::chrono::system_clock::now();
  return Health;
}

TPcmBuffer TPlaceholderEngine::Synthesize(const TS2Params& AParams, const TVoiceHint& AHint) {
  TPcmBuffer Result;
  Result.SampleRate = SampleRate;
  if (Trim(AParams.Text).empty()) return Result;
  const std::vector<TSegment> Plan = BuildSegments(AParams.Text);

  uint32_t r = static_cast<uint32_t>(AHint.Seed) * 0x9E3779B1u + 1u;
  const float Pitch = BasePitch(AHint.Gender) * (((r >> 16) & 255) * 0.3f / 255.0f + 0.85f);

  std::vector<long long> Lengths;
  long long Total = 0;
  for (const TSegment& Seg : Plan) {
    Lengths.push_back(static_cast<long long>(RoundHalfEven(44100.0 * Seg.DurationMs / 1000.0)));
    Total += Lengths.back();
  }
  if (Total <= 0) return Result;
  Result.Data.assign(static_cast<std::size_t>(Total), 0.0f);

  const float TwoPiF = static_cast<float>(TwoPi);
  const auto Last = static_cast<float>(std::max<std::size_t>(Plan.size() - 1, 1));
  float Phase = 0.0f;
  long long Pos = 0;
  for (std::size_t s = 0; s < Plan.size() && Pos < Total; ++s) {
    const TSegment& Seg = Plan[s];
    const long long n = Lengths[s];
    const float F0 = Pitch * (1.0f - static_cast<float>(s) / Last * 0.18f);
    for (long long k = 0; k < n && Pos < Total; ++k, ++Pos) {
      const float t = static_cast<float>(k) / static_cast<float>(n);
      const float Env = std::min(1.0f, std::min(12.0f * t, 8.0f * (1.0f - t)));
      float Sample = 0.0f;
      if (Seg.Kind == skFricative) {
        r = NextRandom(r);
        const float Noise = (static_cast<float>((r >> 8) & 65535) - 32768.0f) / 32768.0f;
        Sample = Noise * 0.18f * Env * Seg.Stress;
      } else if (Seg.Kind == skVoiced) {
        Phase += F0 * TwoPiF / 44100.0f;
        if (Phase > TwoPiF) Phase -= TwoPiF;
        Sample = VoicedSample(Seg, Phase, Pos, Env);
      }
      Result.Data[static_cast<std::size_t>(Pos)] = Sample;
    }
  }
  Result.Data.resize(static_cast<std::size_t>(Pos));
  ApplyFades(Result, 10);
  return Result;
}

}  // namespace quavox
