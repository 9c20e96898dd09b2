// Inner loops of the time-stretch and of the WAV sample conversion, chosen once at run
// time: AVX2/FMA where the processor has it, portable code elsewhere, so one build runs on
// any x86-64.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quavox {

// ACross[c] = sum over i < AHs of AIn[c + i] * AOut[i], for c = 0 .. ACount-1.
void CrossCorrelate(const float* AIn, const float* AOut, int AHs, int ACount, float* ACross);
// AScore[c] = ACross[c] / sqrt(AEnergy[c]), for c = 0 .. ACount-1.
void ScoreCandidates(const float* ACross, const float* AEnergy, int ACount, float* AScore);
// The index of the first of the largest scores above the most negative single, NaN scores
// never counting; -1 when there is none.
int FirstMaximum(const float* AScore, int ACount);
// Sum of AIn[i]² over i < AN, in double precision.
double SumOfSquares(const float* AIn, int AN);
// AOut[i] += AIn[i] * AWindow[i], formed in double precision.
void OverlapAdd(float* AOut, const float* AIn, const float* AWindow, int AN);

// One float sample as 16-bit PCM: NaN is silence, the rest is clamped to -1 .. 1, scaled by
// 32767 and rounded to nearest, ties to even.
int16_t FloatToPcm16Sample(float s);
// AN samples to and from little-endian 16-bit PCM bytes (2 × AN of them).
void FloatToPcm16(const float* AIn, std::size_t AN, uint8_t* AOut);
void Pcm16ToFloat(const uint8_t* AIn, std::size_t AN, float* AOut);

// The portable versions, which machines without AVX2/FMA run; tests hold both to the same
// cases.
namespace portable {
void CrossCorrelate(const float* AIn, const float* AOut, int AHs, int ACount, float* ACross);
void ScoreCandidates(const float* ACross, const float* AEnergy, int ACount, float* AScore);
int FirstMaximum(const float* AScore, int ACount);
double SumOfSquares(const float* AIn, int AN);
void OverlapAdd(float* AOut, const float* AIn, const float* AWindow, int AN);
void FloatToPcm16(const float* AIn, std::size_t AN, uint8_t* AOut);
void Pcm16ToFloat(const uint8_t* AIn, std::size_t AN, float* AOut);
}  // namespace portable

}  // namespace quavox
