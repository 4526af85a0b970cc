// The accumulation orders of the x86 dot-product kernels, as inline target-attributed
// templates: a kernel that needs the dot product of a row it has just written (a
// refreshed centroid's squared norm) gets it in the order of `dot`, without a call.
// For x86-64 translation units only.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace plovek::kernels::x86 {

__attribute__((target("avx2,fma"))) inline float horizontal_sum_avx2(__m256 v) {
  const __m128 low = _mm256_castps256_ps128(v);
  const __m128 high = _mm256_extractf128_ps(v, 1);
  __m128 sum = _mm_add_ps(low, high);
  sum = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
  sum = _mm_add_ss(sum, _mm_movehdup_ps(sum));
  return _mm_cvtss_f32(sum);
}

// The products of x.y, or of (x - y).(x - y) with the difference rounded to f32 first
// (exactly what a dot product of a stored difference vector computes).
__attribute__((target("avx2,fma"))) inline __m256 fused_term_avx2(bool difference, __m256 x, __m256 y, __m256 acc) {
  if (!difference) return _mm256_fmadd_ps(x, y, acc);
  const __m256 delta = _mm256_sub_ps(x, y);
  return _mm256_fmadd_ps(delta, delta, acc);
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) inline __m512 fused_term_avx512(bool difference,
                                                                                             __m512 x, __m512 y,
                                                                                             __m512 acc) {
  if (!difference) return _mm512_fmadd_ps(x, y, acc);
  const __m512 delta = _mm512_sub_ps(x, y);
  return _mm512_fmadd_ps(delta, delta, acc);
}

// Both kernels of a level share one accumulation order, so the squared distance equals
// the dot product of the difference vector with itself bit for bit.
template <bool kDifference>
__attribute__((target("avx2,fma"))) inline float dot_order_avx2(const float* x, const float* y, std::size_t d) {
  __m256 acc0 = _mm256_setzero_ps();
  __m256 acc1 = _mm256_setzero_ps();
  std::size_t t = 0;
  for (; t + 16 <= d; t += 16) {
    acc0 = fused_term_avx2(kDifference, _mm256_loadu_ps(x + t), _mm256_loadu_ps(y + t), acc0);
    acc1 = fused_term_avx2(kDifference, _mm256_loadu_ps(x + t + 8), _mm256_loadu_ps(y + t + 8), acc1);
  }
  if (t + 8 <= d) {
    acc0 = fused_term_avx2(kDifference, _mm256_loadu_ps(x + t), _mm256_loadu_ps(y + t), acc0);
    t += 8;
  }
  if (t < d) {
    const int left = static_cast<int>(d - t);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(left), lanes);
    acc1 = fused_term_avx2(kDifference, _mm256_maskload_ps(x + t, mask), _mm256_maskload_ps(y + t, mask), acc1);
  }
  return horizontal_sum_avx2(_mm256_add_ps(acc0, acc1));
}

template <bool kDifference>
__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) inline float dot_order_avx512(const float* x,
                                                                                           const float* y,
                                                                                           std::size_t d) {
  __m512 acc0 = _mm512_setzero_ps();
  __m512 acc1 = _mm512_setzero_ps();
  std::size_t t = 0;
  for (; t + 32 <= d; t += 32) {
    acc0 = fused_term_avx512(kDifference, _mm512_loadu_ps(x + t), _mm512_loadu_ps(y + t), acc0);
    acc1 = fused_term_avx512(kDifference, _mm512_loadu_ps(x + t + 16), _mm512_loadu_ps(y + t + 16), acc1);
  }
  if (t + 16 <= d) {
    acc0 = fused_term_avx512(kDifference, _mm512_loadu_ps(x + t), _mm512_loadu_ps(y + t), acc0);
    t += 16;
  }
  if (t < d) {
    const __mmask16 mask = static_cast<__mmask16>((1u << (d - t)) - 1u);
    acc1 = fused_term_avx512(kDifference, _mm512_maskz_loadu_ps(mask, x + t), _mm512_maskz_loadu_ps(mask, y + t),
                             acc1);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(acc0, acc1));
}

}  // namespace plovek::kernels::x86
