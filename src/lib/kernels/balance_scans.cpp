#include "balance_scans.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "dot.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace plovek::kernels {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Merges per-lane winners (value, index; index -1 for none) into the scan's answer,
// given that values[0] is a number. A lane only ever holds values below +infinity.
std::size_t merge_lanes(const float* lane_value, const std::int64_t* lane_index, std::size_t lanes) {
  std::size_t best = 0;
  float best_value = kInfinity;
  for (std::size_t l = 0; l < lanes; ++l) {
    if (lane_index[l] < 0) continue;
    const auto index = static_cast<std::size_t>(lane_index[l]);
    if (lane_value[l] < best_value || (lane_value[l] == best_value && index < best)) {
      best_value = lane_value[l];
      best = index;
    }
  }
  return best;  // all numbers +infinity: values[0] itself is +infinity and wins
}

}  // namespace

std::size_t index_of_min_scalar(const float* values, std::size_t k) {
  std::size_t best = 0;
  for (std::size_t j = 1; j < k; ++j) {
    if (values[j] < values[best]) best = j;
  }
  return best;
}

float smallest_quotient_scalar(const float* differences, const float* gaps, const float* sizes, float home_size,
                               std::size_t k) {
  float smallest = kInfinity;
  for (std::size_t j = 0; j < k; ++j) {
    if (!(home_size > sizes[j]) || gaps[j] == 0.0f) continue;
    const float value = differences[j] / gaps[j];
    if (value < smallest) smallest = value;
  }
  return smallest;
}

#if defined(__x86_64__)

__attribute__((target("avx2,fma"))) std::size_t index_of_min_avx2(const float* values, std::size_t k) {
  if (k == 0 || std::isnan(values[0])) return 0;
  __m256 best = _mm256_set1_ps(kInfinity);
  __m256i best_index = _mm256_set1_epi32(-1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    const __m256 x = _mm256_loadu_ps(values + j);
    const __m256 take = _mm256_cmp_ps(x, best, _CMP_LT_OQ);
    best = _mm256_blendv_ps(best, x, take);
    const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j)));
    best_index = _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(best_index), _mm256_castsi256_ps(index), take));
  }
  alignas(32) float lane_value[8 + 8];
  alignas(32) std::int32_t narrow_index[8];
  _mm256_store_ps(lane_value, best);
  _mm256_store_si256(reinterpret_cast<__m256i*>(narrow_index), best_index);
  std::int64_t lane_index[8 + 8];
  for (std::size_t l = 0; l < 8; ++l) lane_index[l] = narrow_index[l];
  std::size_t lanes_used = 8;
  for (; j < k; ++j, ++lanes_used) {
    lane_value[lanes_used] = values[j];
    lane_index[lanes_used] = values[j] < kInfinity ? static_cast<std::int64_t>(j) : -1;
  }
  return merge_lanes(lane_value, lane_index, lanes_used);
}

__attribute__((target("avx2,fma"))) float smallest_quotient_avx2(const float* differences, const float* gaps,
                                                                 const float* sizes, float home_size,
                                                                 std::size_t k) {
  const __m256 home = _mm256_set1_ps(home_size);
  const __m256 infinity = _mm256_set1_ps(kInfinity);
  __m256 smallest = infinity;
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    const __m256 gap = _mm256_loadu_ps(gaps + j);
    const __m256 candidate = _mm256_and_ps(_mm256_cmp_ps(home, _mm256_loadu_ps(sizes + j), _CMP_GT_OQ),
                                           _mm256_cmp_ps(gap, _mm256_setzero_ps(), _CMP_NEQ_UQ));
    const __m256 value = _mm256_div_ps(_mm256_loadu_ps(differences + j), gap);
    const __m256 take = _mm256_and_ps(candidate, _mm256_cmp_ps(value, smallest, _CMP_LT_OQ));
    smallest = _mm256_blendv_ps(smallest, value, take);
  }
  alignas(32) float lane[8];
  _mm256_store_ps(lane, smallest);
  float result = smallest_quotient_scalar(differences + j, gaps + j, sizes + j, home_size, k - j);
  for (const float value : lane) result = value < result ? value : result;
  return result;
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) std::size_t index_of_min_avx512(const float* values,
                                                                                             std::size_t k) {
  if (k == 0 || std::isnan(values[0])) return 0;
  __m512 best = _mm512_set1_ps(kInfinity);
  __m512i best_index = _mm512_set1_epi64(-1);
  __m512i best_index_high = _mm512_set1_epi64(-1);
  const __m512i lanes = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
  for (std::size_t j = 0; j < k; j += 16) {
    const std::size_t left = k - j;
    const __mmask16 valid = left >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
    const __m512 x = _mm512_mask_loadu_ps(_mm512_set1_ps(kInfinity), valid, values + j);
    const __mmask16 take = _mm512_cmp_ps_mask(x, best, _CMP_LT_OQ);
    best = _mm512_mask_mov_ps(best, take, x);
    const __m512i first = _mm512_add_epi64(lanes, _mm512_set1_epi64(static_cast<long long>(j)));
    best_index = _mm512_mask_mov_epi64(best_index, static_cast<__mmask8>(take), first);
    best_index_high = _mm512_mask_mov_epi64(best_index_high, static_cast<__mmask8>(take >> 8),
                                            _mm512_add_epi64(first, _mm512_set1_epi64(8)));
  }
  alignas(64) float lane_value[16];
  alignas(64) std::int64_t lane_index[16];
  _mm512_store_ps(lane_value, best);
  _mm512_store_si512(lane_index, best_index);
  _mm512_store_si512(lane_index + 8, best_index_high);
  return merge_lanes(lane_value, lane_index, 16);
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) float smallest_quotient_avx512(
    const float* differences, const float* gaps, const float* sizes, float home_size, std::size_t k) {
  const __m512 home = _mm512_set1_ps(home_size);
  __m512 smallest = _mm512_set1_ps(kInfinity);
  for (std::size_t j = 0; j < k; j += 16) {
    const std::size_t left = k - j;
    const __mmask16 valid = left >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
    const __m512 gap = _mm512_maskz_loadu_ps(valid, gaps + j);
    const __mmask16 candidate = valid & _mm512_cmp_ps_mask(home, _mm512_maskz_loadu_ps(valid, sizes + j), _CMP_GT_OQ) &
                                _mm512_cmp_ps_mask(gap, _mm512_setzero_ps(), _CMP_NEQ_UQ);
    const __m512 value = _mm512_maskz_div_ps(candidate, _mm512_maskz_loadu_ps(valid, differences + j), gap);
    const __mmask16 take = candidate & _mm512_cmp_ps_mask(value, smallest, _CMP_LT_OQ);
    smallest = _mm512_mask_mov_ps(smallest, take, value);
  }
  return _mm512_reduce_min_ps(smallest);
}

#else

std::size_t index_of_min_avx2(const float* values, std::size_t k) { return index_of_min_scalar(values, k); }
std::size_t index_of_min_avx512(const float* values, std::size_t k) { return index_of_min_scalar(values, k); }
float smallest_quotient_avx2(const float* d, const float* g, const float* s, float h, std::size_t k) {
  return smallest_quotient_scalar(d, g, s, h, k);
}
float smallest_quotient_avx512(const float* d, const float* g, const float* s, float h, std::size_t k) {
  return smallest_quotient_scalar(d, g, s, h, k);
}

#endif

std::size_t index_of_min(const float* values, std::size_t k) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return index_of_min_avx512(values, k);
    case SimdLevel::Avx2: return index_of_min_avx2(values, k);
    case SimdLevel::Scalar: break;
  }
  return index_of_min_scalar(values, k);
}

float smallest_quotient(const float* differences, const float* gaps, const float* sizes, float home_size,
                        std::size_t k) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return smallest_quotient_avx512(differences, gaps, sizes, home_size, k);
    case SimdLevel::Avx2: return smallest_quotient_avx2(differences, gaps, sizes, home_size, k);
    case SimdLevel::Scalar: break;
  }
  return smallest_quotient_scalar(differences, gaps, sizes, home_size, k);
}

}  // namespace plovek::kernels
