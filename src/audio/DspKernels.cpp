#include "audio/DspKernels.h"

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QX_HAVE_X86 1
#endif

namespace quavox {

namespace {

void CrossCorrelatePortable(const float* AIn, const float* AOut, int AHs, int ACount,
                            float* ACross) {
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

// Eight candidates share every load of the output tail, and eight independent sums keep
// both FMA units busy despite their latency; the tail of AHs not divisible by 8 is summed
// in scalar code.
__attribute__((target("avx2,fma"))) void CrossCorrelateAvx2(const float* AIn, const float* AOut,
                                                            int AHs, int ACount, float* ACross) {
  const int Vec = AHs & ~7;
  int c = 0;
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

bool HasAvx2Fma() {
  static const bool Has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return Has;
}
#endif

void ScoreCandidatesPortable(const float* ACross, const float* AEnergy, int ACount, float* AScore) {
  for (int c = 0; c < ACount; ++c)
    AScore[c] = ACross[c] / std::sqrt(AEnergy[c]);
}

void OverlapAddPortable(float* AOut, const float* AIn, const float* AWindow, int AN) {
  for (int i = 0; i < AN; ++i)
    AOut[i] = static_cast<float>(AOut[i] + static_cast<double>(AIn[i]) * AWindow[i]);
}

}  // namespace

void CrossCorrelate(const float* AIn, const float* AOut, int AHs, int ACount, float* ACross) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return CrossCorrelateAvx2(AIn, AOut, AHs, ACount, ACross);
#endif
  CrossCorrelatePortable(AIn, AOut, AHs, ACount, ACross);
}

void ScoreCandidates(const float* ACross, const float* AEnergy, int ACount, float* AScore) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return ScoreCandidatesAvx2(ACross, AEnergy, ACount, AScore);
#endif
  ScoreCandidatesPortable(ACross, AEnergy, ACount, AScore);
}

void OverlapAdd(float* AOut, const float* AIn, const float* AWindow, int AN) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return OverlapAddAvx2(AOut, AIn, AWindow, AN);
#endif
  OverlapAddPortable(AOut, AIn, AWindow, AN);
}

}  // namespace quavox
