// Inner loops of the time-stretch, chosen once at run time: AVX2/FMA where the processor
// has it, portable code elsewhere, so one build runs on any x86-64.
#pragma once

namespace quavox {

// ACross[c] = sum over i < AHs of AIn[c + i] * AOut[i], for c = 0 .. ACount-1.
void CrossCorrelate(const float* AIn, const float* AOut, int AHs, int ACount, float* ACross);
// AScore[c] = ACross[c] / sqrt(AEnergy[c]), for c = 0 .. ACount-1.
void ScoreCandidates(const float* ACross, const float* AEnergy, int ACount, float* AScore);
// AOut[i] += AIn[i] * AWindow[i], formed in double precision.
void OverlapAdd(float* AOut, const float* AIn, const float* AWindow, int AN);

}  // namespace quavox
