// Test clips with the spectrum and peaks of speech, for the encoders and the loudness checks.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>

#include "core/Types.h"

namespace quavox {

// A buzzy voiced tone in syllables with a little noise: spectrum and peaks like speech.
inline TPcmBuffer Syllables(double APeak, double ASeconds = 3.0, int ARate = 22050) {
  TPcmBuffer b;
  b.SampleRate = ARate;
  b.Data.resize(static_cast<size_t>(ARate * ASeconds));
  std::mt19937 random(11);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  float maxLevel = 0;
  for (size_t i = 0; i < b.Data.size(); ++i) {
    const double t = static_cast<double>(i) / ARate;
    const double syllable = std::fmod(t, 0.25) / 0.25;
    const double envelope = syllable < 0.7 ? std::exp(-4 * syllable) * (1 + std::fmod(t, 1.0)) : 0;
    double voiced = 0;
    for (int h = 1; h <= 12; ++h)
      voiced += std::sin(2 * M_PI * 140 * h * t) / h;
    b.Data[i] = static_cast<float>(envelope * voiced) + 0.01f * noise(random);
    maxLevel = std::max(maxLevel, std::fabs(b.Data[i]));
  }
  for (float& v : b.Data)
    v *= static_cast<float>(APeak) / maxLevel;
  return b;
}

}  // namespace quavox
