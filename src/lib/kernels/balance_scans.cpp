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

float first_cost(const float* distances, const float* sizes, float size_penalty) {
  return distances[0] + size_penalty * sizes[0];
}

}  // namespace

Placement place_point_scalar(const float* distances, const float* sizes, std::size_t k, std::size_t home,
                             float size_penalty) {
  const float home_distance = distances[home], home_size = sizes[home];
  std::size_t target = 0;
  float target_cost = first_cost(distances, sizes, size_penalty);
  float smallest = kInfinity;
  for (std::size_t j = 0; j < k; ++j) {
    const float cost = distances[j] + size_penalty * sizes[j];
    if (cost < target_cost) target = j, target_cost = cost;
    const float gap = home_size - sizes[j];
    if (!(home_size > sizes[j]) || gap == 0.0f) continue;
    const float value = (distances[j] - home_distance) / gap;
    if (value < smallest) smallest = value;
  }
  return {target, smallest};
}

#if defined(__x86_64__)

__attribute__((target("avx2,fma"))) inline __m256 lane_minimum_avx2(__m256 v) {
  v = _mm256_min_ps(v, _mm256_permute2f128_ps(v, v, 1));
  v = _mm256_min_ps(v, _mm256_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
  return _mm256_min_ps(v, _mm256_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
}

__attribute__((target("avx2,fma"))) inline __m256i lane_minimum_avx2(__m256i v) {
  v = _mm256_min_epi32(v, _mm256_permute2x128_si256(v, v, 1));
  v = _mm256_min_epi32(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  return _mm256_min_epi32(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
}

__attribute__((target("avx2,fma"))) Placement place_point_avx2(const float* distances, const float* sizes,
                                                               std::size_t k, std::size_t home,
                                                               float size_penalty) {
  const __m256 home_distance = _mm256_set1_ps(distances[home]), home_size = _mm256_set1_ps(sizes[home]);
  const __m256 penalty = _mm256_set1_ps(size_penalty);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  __m256 best_cost = _mm256_set1_ps(kInfinity), smallest = best_cost;
  __m256i best_index = _mm256_set1_epi32(-1);
  for (std::size_t j = 0; j < k; j += 8) {
    const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j)));
    const __m256i valid = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(k)), index);
    const __m256 distance = _mm256_maskload_ps(distances + j, valid), size = _mm256_maskload_ps(sizes + j, valid);
    const __m256 cost = _mm256_add_ps(distance, _mm256_mul_ps(penalty, size));
    const __m256 take = _mm256_and_ps(_mm256_castsi256_ps(valid), _mm256_cmp_ps(cost, best_cost, _CMP_LT_OQ));
    best_cost = _mm256_blendv_ps(best_cost, cost, take);
    best_index = _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(best_index), _mm256_castsi256_ps(index), take));
    const __m256 gap = _mm256_sub_ps(home_size, size);
    const __m256 candidate = _mm256_and_ps(
        _mm256_castsi256_ps(valid), _mm256_and_ps(_mm256_cmp_ps(home_size, size, _CMP_GT_OQ),
                                                  _mm256_cmp_ps(gap, _mm256_setzero_ps(), _CMP_NEQ_UQ)));
    const __m256 value = _mm256_div_ps(_mm256_sub_ps(distance, home_distance), gap);
    smallest = _mm256_blendv_ps(smallest, value, _mm256_and_ps(candidate, _mm256_cmp_ps(value, smallest, _CMP_LT_OQ)));
  }
  const float result = _mm256_cvtss_f32(lane_minimum_avx2(smallest));
  // As in the AVX-512 scan below.
  const __m256 lowest_cost = lane_minimum_avx2(best_cost);
  if (!(_mm256_cvtss_f32(lowest_cost) < kInfinity) || std::isnan(first_cost(distances, sizes, size_penalty)))
    return {0, result};
  const __m256 lowest = _mm256_cmp_ps(best_cost, lowest_cost, _CMP_EQ_OQ);
  const __m256i candidates = _mm256_castps_si256(_mm256_blendv_ps(
      _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX)), _mm256_castsi256_ps(best_index), lowest));
  return {static_cast<std::size_t>(_mm256_cvtsi256_si32(lane_minimum_avx2(candidates))), result};
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) Placement place_point_avx512(
    const float* distances, const float* sizes, std::size_t k, std::size_t home, float size_penalty) {
  const __m512 home_distance = _mm512_set1_ps(distances[home]), home_size = _mm512_set1_ps(sizes[home]);
  const __m512 penalty = _mm512_set1_ps(size_penalty);
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m512 best_cost = _mm512_set1_ps(kInfinity), smallest = best_cost;
  __m512i best_index = _mm512_set1_epi32(-1);
  for (std::size_t j = 0; j < k; j += 16) {
    const std::size_t left = k - j;
    const __mmask16 valid = left >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
    const __m512 distance = _mm512_maskz_loadu_ps(valid, distances + j), size = _mm512_maskz_loadu_ps(valid, sizes + j);
    const __m512 cost = _mm512_add_ps(distance, _mm512_mul_ps(penalty, size));
    const __mmask16 take = valid & _mm512_cmp_ps_mask(cost, best_cost, _CMP_LT_OQ);
    best_cost = _mm512_mask_mov_ps(best_cost, take, cost);
    best_index =
        _mm512_mask_mov_epi32(best_index, take, _mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<int>(j))));
    const __m512 gap = _mm512_sub_ps(home_size, size);
    const __mmask16 candidate = valid & _mm512_cmp_ps_mask(home_size, size, _CMP_GT_OQ) &
                                _mm512_cmp_ps_mask(gap, _mm512_setzero_ps(), _CMP_NEQ_UQ);
    const __m512 value = _mm512_maskz_div_ps(candidate, _mm512_sub_ps(distance, home_distance), gap);
    smallest = _mm512_mask_mov_ps(smallest, candidate & _mm512_cmp_ps_mask(value, smallest, _CMP_LT_OQ), value);
  }
  const float result = _mm512_reduce_min_ps(smallest);
  // Lanes hold only costs below +infinity, each lane its first smallest one; among the
  // lanes with the smallest cost the lowest index is the first. Without any such
  // lane, or when the first cost is not a number, cluster 0 keeps the place.
  const float lowest_cost = _mm512_reduce_min_ps(best_cost);
  if (!(lowest_cost < kInfinity) || std::isnan(first_cost(distances, sizes, size_penalty))) return {0, result};
  const __mmask16 lowest = _mm512_cmp_ps_mask(best_cost, _mm512_set1_ps(lowest_cost), _CMP_EQ_OQ);
  const std::int32_t target =
      _mm512_reduce_min_epi32(_mm512_mask_mov_epi32(_mm512_set1_epi32(INT32_MAX), lowest, best_index));
  return {static_cast<std::size_t>(target), result};
}

#else

Placement place_point_avx2(const float* d, const float* s, std::size_t k, std::size_t h, float p) {
  return place_point_scalar(d, s, k, h, p);
}
Placement place_point_avx512(const float* d, const float* s, std::size_t k, std::size_t h, float p) {
  return place_point_scalar(d, s, k, h, p);
}

#endif

Placement place_point(const float* distances, const float* sizes, std::size_t k, std::size_t home,
                      float size_penalty) {
  // The vector levels keep cluster indices in 32-bit lanes.
  const SimdLevel level = k > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
                              ? SimdLevel::Scalar
                              : active_simd_level();
  switch (level) {
    case SimdLevel::Avx512: return place_point_avx512(distances, sizes, k, home, size_penalty);
    case SimdLevel::Avx2: return place_point_avx2(distances, sizes, k, home, size_penalty);
    case SimdLevel::Scalar: break;
  }
  return place_point_scalar(distances, sizes, k, home, size_penalty);
}

}  // namespace plovek::kernels
