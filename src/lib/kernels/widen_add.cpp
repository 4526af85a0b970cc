#include "widen_add.h"

#include "dot.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace plovek::kernels {

void widen_add_scalar(double* acc, const float* row, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) acc[t] += static_cast<double>(row[t]);
}

#if defined(__x86_64__)

__attribute__((target("avx2,fma"))) void widen_add_avx2(double* acc, const float* row, std::size_t d) {
  std::size_t t = 0;
  for (; t + 4 <= d; t += 4)
    _mm256_storeu_pd(acc + t, _mm256_add_pd(_mm256_loadu_pd(acc + t), _mm256_cvtps_pd(_mm_loadu_ps(row + t))));
  widen_add_scalar(acc + t, row + t, d - t);
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) void widen_add_avx512(double* acc, const float* row,
                                                                                    std::size_t d) {
  std::size_t t = 0;
  for (; t + 8 <= d; t += 8)
    _mm512_storeu_pd(acc + t, _mm512_add_pd(_mm512_loadu_pd(acc + t), _mm512_cvtps_pd(_mm256_loadu_ps(row + t))));
  if (t < d) {
    const __mmask8 mask = static_cast<__mmask8>((1u << (d - t)) - 1u);
    const __m512d sum = _mm512_add_pd(_mm512_maskz_loadu_pd(mask, acc + t),
                                      _mm512_cvtps_pd(_mm256_maskz_loadu_ps(mask, row + t)));
    _mm512_mask_storeu_pd(acc + t, mask, sum);
  }
}

#else

void widen_add_avx2(double* acc, const float* row, std::size_t d) { widen_add_scalar(acc, row, d); }
void widen_add_avx512(double* acc, const float* row, std::size_t d) { widen_add_scalar(acc, row, d); }

#endif

void widen_add(double* acc, const float* row, std::size_t d) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return widen_add_avx512(acc, row, d);
    case SimdLevel::Avx2: return widen_add_avx2(acc, row, d);
    case SimdLevel::Scalar: break;
  }
  widen_add_scalar(acc, row, d);
}

}  // namespace plovek::kernels
