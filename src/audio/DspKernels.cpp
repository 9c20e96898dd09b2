#include "audio/DspKernels.h"

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

// Four candidates share every load of the output tail; the tail of AHs not divisible by 8
// is summed in scalar code.
__attribute__((target("avx2,fma"))) void CrossCorrelateAvx2(const float* AIn, const float* AOut,
                                                            int AHs, int ACount, float* ACross) {
  const int Vec = AHs & ~7;
  int c = 0;
  for (; c + 4 <= ACount; c += 4) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps();
    __m256 a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    const float* p = AIn + c;
    for (int i = 0; i < Vec; i += 8) {
      const __m256 o = _mm256_loadu_ps(AOut + i);
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(p + i), o, a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(p + i + 1), o, a1);
      a2 = _mm256_fmadd_ps(_mm256_loadu_ps(p + i + 2), o, a2);
      a3 = _mm256_fmadd_ps(_mm256_loadu_ps(p + i + 3), o, a3);
    }
    float s0 = HorizontalSum(a0), s1 = HorizontalSum(a1);
    float s2 = HorizontalSum(a2), s3 = HorizontalSum(a3);
    for (int i = Vec; i < AHs; ++i) {
      s0 += p[i] * AOut[i];
      s1 += p[i + 1] * AOut[i];
      s2 += p[i + 2] * AOut[i];
      s3 += p[i + 3] * AOut[i];
    }
    ACross[c] = s0;
    ACross[c + 1] = s1;
    ACross[c + 2] = s2;
    ACross[c + 3] = s3;
  }
  if (c < ACount) CrossCorrelatePortable(AIn + c, AOut, AHs, ACount - c, ACross + c);
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

bool HasAvx2Fma() {
  static const bool Has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return Has;
}
#endif

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

void OverlapAdd(float* AOut, const float* AIn, const float* AWindow, int AN) {
#ifdef QX_HAVE_X86
  if (HasAvx2Fma()) return OverlapAddAvx2(AOut, AIn, AWindow, AN);
#endif
  OverlapAddPortable(AOut, AIn, AWindow, AN);
}

}  // namespace quavox
