#include "audio/DspKernels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QX_HAVE_X86 1
#endif

namespace quavox {

namespace portable {

void CrossCorrelate(const float* AIn, const float* AOut, int AHs, int ACount, float* ACross) {
  int c = 0;
  for (; c + 4 <= ACount; c += 4) {
    float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int i = 0; i < AHs; ++i) {
      const float o = AOut[i];
      s0 += AIn[c + i] * o;
      s1 += AIn[c + 1 + i] * o;
      s2 += AIn[c + 2 + i] * o;
      s3 += AIn[c + 3 + i] * o;
    }
    ACross[c] = s0;
    ACross[c + 1] = s1;
    ACross[c + 2] = s2;
    ACross[c + 3] = s3;
  }
  for (; c < ACount; ++c) {
    float s = 0;
    for (int i = 0; i < AHs; ++i)
      s += AIn[c + i] * AOut[i];
    ACross[c] = s;
  }
}

double SumOfSquares(const float* AIn, int AN) {
  double Sum = 0.0;
  for (int i = 0; i < AN; ++i)
    Sum += static_cast<double>(AIn[i]) * AIn[i];
  return Sum;
}

int FirstMaximum(const float* AScore, int ACount) {
  float Best = -std::numeric_limits<float>::max();
  int BestIndex = -1;
  for (int c = 0; c < ACount; ++c) {
    if (AScore[c] > Best) {
      Best = AScore[c];
      BestIndex = c;
    }
  }
  return BestIndex;
}

// Samples are little-endian 16-bit, like every machine this runs on.
static_assert(std::endian::native == std::endian::little);

void FloatToPcm16(const float* AIn, std::size_t AN, uint8_t* AOut) {
  for (std::size_t i = 0; i < AN; ++i) {
    const int16_t v = FloatToPcm16Sample(AIn[i]);
    std::memcpy(AOut + 2 * i, &v, 2);
  }
}

void Pcm16ToFloat(const uint8_t* AIn, std::size_t AN, float* AOut) {
  for (std::size_t i = 0; i < AN; ++i) {
    int16_t v;
    std::memcpy(&v, AIn + 2 * i, 2);
    AOut[i] = static_cast<float>(v) * (1.0f / 32768.0f);
  }
}

void ScoreCandidates(const float* ACross, const float* AEnergy, int ACount, float* AScore) {
  for (int c = 0; c < ACount; ++c)
    AScore[c] = ACross[c] / std::sqrt(AEnergy[c]);
}

void OverlapAdd(float* AOut, const float* AIn, const float* AWindow, int AN) {
  for (int i = 0; i < AN; ++i)
    AOut[i] = static_cast<float>(AOut[i] + static_cast<double>(AIn[i]) * AWindow[i]);
}

}  // namespace portable

namespace {

#ifdef QX_HAVE_X86
__attribute__((target("avx2,fma"))) float HorizontalSum(__m256 v) {
  const __m128 Low = _mm256_castps256_ps128(v);
  const __m128 High = _mm256_extractf128_ps(v, 1);
  __m128 s = _mm_add_ps(Low, High);
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 0x55));
  return _mm_cvtss_f32(s);
}

// One candidate alone, for the last few: four sums so the FMA latency does not serialise it.
__attribute__((target("avx2,fma"))) float DotAvx2(const float* A, const float* B, int AN) {
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
  __m256 s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  int i = 0;
  for (; i + 32 <= AN; i += 32) {
    s0 = _mm256_fmadd_ps(_mm256_loadu_ps(A + i), _mm256_loadu_ps(B + i), s0);
    s1 = _mm256_fmadd_ps(_mm256_loadu_ps(A + i + 8), _mm256_loadu_ps(B + i + 8), s1);
    s2 = _mm256_fmadd_ps(_mm256_loadu_ps(A + i + 16), _mm256_loadu_ps(B + i + 16), s2);
    s3 = _mm256_fmadd_ps(_mm256_loadu_ps(A + i + 24), _mm256_loadu_ps(B + i + 24), s3);
  }
  for (; i + 8 <= AN; i += 8)
    s0 = _mm256_fmadd_ps(_mm256_loadu_ps(A + i), _mm256_loadu_ps(B + i), s0);
  float Sum = HorizontalSum(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
  for (; i < AN; ++i)
    Sum += A[i] * B[i];
  return Sum;
}

// Seven runs of eight neighbouring candidates, lane l of register aj summing
// AIn[8j + l + i] * AOut[i]. Taking i in the order r, r + 8, r + 16, ... for each r < 8 makes
// the input vector of (j, i) the one of (j + 1, i - 8), so each unaligned load and each
// broadcast of AOut[i] serves seven FMAs and the loop runs at the FMA units' pace instead of
// the load units'. No horizontal sums are needed: the lanes are the candidates.
constexpr int BlockRuns = 7;

__attribute__((target("avx2,fma"))) void CrossCorrelateBlockAvx2(const float* AIn,
                                                                 const float* AOut, int AHs,
                                                                 float* ACross) {
  // Named registers rather than arrays, so the compiler keeps all fifteen in ymm registers.
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0;
  for (int r = 0; r < 8 && r < AHs; ++r) {
    const int Steps = (AHs - r + 7) / 8;
    const float* x = AIn + r;
    __m256 x0 = _mm256_loadu_ps(x), x1 = _mm256_loadu_ps(x + 8), x2 = _mm256_loadu_ps(x + 16);
    __m256 x3 = _mm256_loadu_ps(x + 24), x4 = _mm256_loadu_ps(x + 32);
    __m256 x5 = _mm256_loadu_ps(x + 40), x6 = _mm256_loadu_ps(x + 48);
    for (int t = 0;; ++t) {
      const __m256 o = _mm256_broadcast_ss(AOut + r + 8 * t);
      a0 = _mm256_fmadd_ps(x0, o, a0);
      a1 = _mm256_fmadd_ps(x1, o, a1);
      a2 = _mm256_fmadd_ps(x2, o, a2);
      a3 = _mm256_fmadd_ps(x3, o, a3);
      a4 = _mm256_fmadd_ps(x4, o, a4);
      a5 = _mm256_fmadd_ps(x5, o, a5);
      a6 = _mm256_fmadd_ps(x6, o, a6);
      if (t + 1 == Steps) break;
      x0 = x1, x1 = x2, x2 = x3, x3 = x4, x4 = x5, x5 = x6;
      x6 = _mm256_loadu_ps(x + 8 * (t + BlockRuns));
    }
  }
  _mm256_storeu_ps(ACross, a0);
  _mm256_storeu_ps(ACross + 8, a1);
  _mm256_storeu_ps(ACross + 16, a2);
  _mm256_storeu_ps(ACross + 24, a3);
  _mm256_storeu_ps(ACross + 32, a4);
  _mm256_storeu_ps(ACross + 40, a5);
  _mm256_storeu_ps(ACross + 48, a6);
}

// Whole blocks first; for the candidates left over, eight share every load of the output
// tail and eight independent sums keep both FMA units busy despite their latency, the tail
// of AHs not divisible by 8 summed in scalar code.
__attribute__((target("avx2,fma"))) void CrossCorrelateAvx2(const float* AIn, const float* AOut,
                                                            int AHs, int ACount, float* ACross) {
  const int Vec = AHs & ~7;
  int c = 0;
  for (; c + 8 * BlockRuns <= ACount; c += 8 * BlockRuns)
    CrossCorrelateBlockAvx2(AIn + c, AOut, AHs, ACross + c);
  for (; c + 8 <= ACount; c += 8) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps();
    __m256 a3 = _mm256_setzero_ps(), a4 = _mm256_setzero_ps(), a5 = _mm256_setzero_ps();
    __m256 a6 = _mm256_setzero_ps(), a7 = _mm256_setzero_ps();
    const float* p = AIn + c;
    for (int i = 0; i < Vec; i += 8) {
      const __m256 o = _mm256_loadu_ps(AOut + i);
      const float* q = p + i;
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(q), o, a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 1), o, a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 2), o, a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 3), o, a3);
      a4 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 4), o, a4);
      a5 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 5), o, a5);
      a6 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 6), o, a6);
      a7 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 7), o, a7);
    }
    const __m256 Acc[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
    for (int k = 0; k < 8; ++k) {
      float Sum = HorizontalSum(Acc[k]);
      for (int i = Vec; i < AHs; ++i)
        Sum += p[i + k] * AOut[i];
      ACross[c + k] = Sum;
    }
  }
  for (; c < ACount; ++c)
    ACross[c] = DotAvx2(AIn + c, AOut, AHs);
}

__attribute__((target("avx2,fma"))) void OverlapAddAvx2(float* AOut, const float* AIn,
                                                        const float* AWindow, int AN) {
  int i = 0;
  for (; i + 4 <= AN; i += 4) {
    const __m256d o = _mm256_cvtps_pd(_mm_loadu_ps(AOut + i));
    const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(AIn + i));
    const __m256d w = _mm256_cvtps_pd(_mm_loadu_ps(AWindow + i));
    _mm_storeu_ps(AOut + i, _mm256_cvtpd_ps(_mm256_fmadd_pd(x, w, o)));
  }
  for (; i < AN; ++i)
    AOut[i] = static_cast<float>(AOut[i] + static_cast<double>(AIn[i]) * AWindow[i]);
}

__attribute__((target("avx2,fma"))) void ScoreCandidatesAvx2(const float* ACross,
                                                             const float* AEnergy, int ACount,
                                                             float* AScore) {
  int c = 0;
  for (; c + 8 <= ACount; c += 8)
    _mm256_storeu_ps(AScore + c, _mm256_div_ps(_mm256_loadu_ps(ACross + c),
                                               _mm256_sqrt_ps(_mm256_loadu_ps(AEnergy + c))));
  for (; c < ACount; ++c)
    AScore[c] = ACross[c] / std::sqrt(AEnergy[c]);
}

// NaN becomes 0, then clamp to -1 .. 1, scale in double and round to nearest, ties to even
// (the processor's default rounding), eight samples at a time.
__attribute__((target("avx2,fma"))) void FloatToPcm16Avx2(const float* AIn, std::size_t AN,
                                                          uint8_t* AOut) {
  const __m256 Low = _mm256_set1_ps(-1.0f), High = _mm256_set1_ps(1.0f);
  const __m256d Scale = _mm256_set1_pd(32767.0);
  std::size_t i = 0;
  for (; i + 8 <= AN; i += 8) {
    __m256 x = _mm256_loadu_ps(AIn + i);
    x = _mm256_and_ps(x, _mm256_cmp_ps(x, x, _CMP_ORD_Q));
    x = _mm256_min_ps(_mm256_max_ps(x, Low), High);
    const __m128i a =
        _mm256_cvtpd_epi32(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), Scale));
    const __m128i b =
        _mm256_cvtpd_epi32(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), Scale));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(AOut + 2 * i), _mm_packs_epi32(a, b));
  }
  portable::FloatToPcm16(AIn + i, AN - i, AOut + 2 * i);
}

__attribute__((target("avx2,fma"))) void Pcm16ToFloatAvx2(const uint8_t* AIn, std::size_t AN,
                                                          float* AOut) {
  const __m256 Scale = _mm256_set1_ps(1.0f / 32768.0f);
  std::size_t i = 0;
  for (; i + 8 <= AN; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(AIn + 2 * i));
    _mm256_storeu_ps(AOut + i, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(v)), Scale));
  }
  portable::Pcm16ToFloat(AIn + 2 * i, AN - i, AOut + i);
}

__attribute__((target("avx2,fma"))) double SumOfSquaresAvx2(const float* AIn, int AN) {
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  int i = 0;
  for (; i + 16 <= AN; i += 16) {
    const __m256d x0 = _mm256_cvtps_pd(_mm_loadu_ps(AIn + i));
    const __m256d x1 = _mm256_cvtps_pd(_mm_loadu_ps(AIn + i + 4));
    const __m256d x2 = _mm256_cvtps_pd(_mm_loadu_ps(AIn + i + 8));
    const __m256d x3 = _mm256_cvtps_pd(_mm_loadu_ps(AIn + i + 12));
    s0 = _mm256_fmadd_pd(x0, x0, s0);
    s1 = _mm256_fmadd_pd(x1, x1, s1);
    s2 = _mm256_fmadd_pd(x2, x2, s2);
    s3 = _mm256_fmadd_pd(x3, x3, s3);
  }
  alignas(32) double Lanes[4];
  _mm256_store_pd(Lanes, _mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
  return Lanes[0] + Lanes[1] + Lanes[2] + Lanes[3] + portable::SumOfSquares(AIn + i, AN - i);
}

// A NaN score never wins: the maximum takes the running value whenever the loaded one is
// NaN, as the scalar comparison does.
__attribute__((target("avx2,fma"))) int FirstMaximumAvx2(const float* AScore, int ACount) {
  __m256 m = _mm256_set1_ps(-std::numeric_limits<float>::max());
  int c = 0;
  for (; c + 8 <= ACount; c += 8)
    m = _mm256_max_ps(_mm256_loadu_ps(AScore + c), m);
  alignas(32) float Lanes[8];
  _mm256_store_ps(Lanes, m);
  float Best = Lanes[0];
  for (const float v : Lanes)
    Best = std::max(Best, v);
  for (; c < ACount; ++c)
    Best = AScore[c] > Best ? AScore[c] : Best;
  if (!(Best > -std::numeric_limits<float>::max())) return -1;
  const __m256 Wanted = _mm256_set1_ps(Best);
  for (c = 0; c + 8 <= ACount; c += 8) {
    const int Mask =
        _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(AScore + c), Wanted, _CMP_EQ_OQ));
    if (Mask != 0) return c + std::countr_zero(static_cast<unsigned>(Mask));
  }
  while (AScore[c] != Best)
    ++c;
  return c;
}

bool HasAvx2Fma() {
  static const bool Has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return Has;
}
#endif

}  // namespace

int16_t FloatToPcm16Sample(float s) {
  if (std::isnan(s)) return 0;
  const double Scaled = static_cast<double>(std::clamp(s, -1.0f, 1.0f)) * 32767.0;
  // Adding and removing 1.5 * 2^52 rounds to the nearest integer, ties to even, without a
  // library call per sample.
  constexpr double RoundingMagic = 6755399441055744.0;
  return static_cast<int16_t>((Scaled + RoundingMagic) - RoundingMagic);
}

void FloatToPcm16(const float* AIn, std::size_t AN, uint8_t* AOut) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return FloatToPcm16Avx2(AIn, AN, AOut);
#endif
  portable::FloatToPcm16(AIn, AN, AOut);
}

void Pcm16ToFloat(const uint8_t* AIn, std::size_t AN, float* AOut) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return Pcm16ToFloatAvx2(AIn, AN, AOut);
#endif
  portable::Pcm16ToFloat(AIn, AN, AOut);
}

void CrossCorrelate(const float* AIn, const float* AOut, int AHs, int ACount, float* ACross) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return CrossCorrelateAvx2(AIn, AOut, AHs, ACount, ACross);
#endif
  portable::CrossCorrelate(AIn, AOut, AHs, ACount, ACross);
}

void ScoreCandidates(const float* ACross, const float* AEnergy, int ACount, float* AScore) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return ScoreCandidatesAvx2(ACross, AEnergy, ACount, AScore);
#endif
  portable::ScoreCandidates(ACross, AEnergy, ACount, AScore);
}

double SumOfSquares(const float* AIn, int AN) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return SumOfSquaresAvx2(AIn, AN);
#endif
  return portable::SumOfSquares(AIn, AN);
}

int FirstMaximum(const float* AScore, int ACount) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return FirstMaximumAvx2(AScore, ACount);
#endif
  return portable::FirstMaximum(AScore, ACount);
}

void OverlapAdd(float* AOut, const float* AIn, const float* AWindow, int AN) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return OverlapAddAvx2(AOut, AIn, AWindow, AN);
#endif
  portable::OverlapAdd(AOut, AIn, AWindow, AN);
}

}  // namespace quavox
