// Every operation on mono float PCM: the pitch-keeping WSOLA time-stretch, the plain
// resampling speed change, sample-rate conversion, gain, peak normalisation and fades.
// Pure functions over values; safe on any thread.
#pragma once

#include <span>
#include <vector>

#include "core/Types.h"

namespace quavox {

std::vector<float> HannWindow(int AN);
TPcmBuffer TimeStretch(const TPcmBuffer& ABuffer, float ASpeed);
TPcmBuffer ResampleBySpeed(const TPcmBuffer& ABuffer, float ASpeed);
TPcmBuffer ApplySpeed(const TPcmBuffer& ABuffer, float ASpeed, TTtsSpeedMode AMode);
TPcmBuffer ResampleTo(const TPcmBuffer& ABuffer, int32_t ATargetRate);
void ApplyGain(TPcmBuffer& ABuffer, double AGain);
void NormalizePeak(TPcmBuffer& ABuffer, double ATargetPeak);
void ApplyFades(TPcmBuffer& ABuffer, int AMs);

// The WSOLA similarity search: among the input offsets ANominal-AT .. ANominal+AT, the one
// whose next AHs samples best match AOutput[AQ ..], scored as correlation / sqrt(energy);
// ties go to the most negative offset.
int BestOverlapOffset(std::span<const float> AInput, int ANominal, std::span<const float> AOutput,
                      int AQ, int AHs, int AT);
// The same search written as plainly as the formulas, kept as the reference the fast one
// is checked against.
int BestOverlapOffsetReference(std::span<const float> AInput, int ANominal,
                               std::span<const float> AOutput, int AQ, int AHs, int AT);

}  // namespace quavox
