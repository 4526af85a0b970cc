// The placement scans of the balancing point step as templates over where the
// distances come from, shared by the dispatched kernels (balance_scans.cpp) and the
// fused balancing steps of the panel kernels. Every level returns exactly what the
// scalar definition returns.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "balance_scans.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace plovek::kernels::placement {

inline constexpr float kInfinity = std::numeric_limits<float>::infinity();

inline float first_cost(const float* distances, const float* sizes, float size_penalty) {
  return distances[0] + size_penalty * sizes[0];
}

// Where a placement scan's distances come from: a stored array, or a point's dot
// products turned into distances on the way (and stored for the caller). `at` is the
// scalar form of one entry, bit for bit what the vector load gives.
struct StoredDistances {
  const float* distances;
  float at(std::size_t j) const { return distances[j]; }
};

struct DistancesFromDots {
  const float* dots;
  const float* centroid_norms;  // null for the inner product
  float point_norm;
  float* distances;
  float at(std::size_t j) const {
    return centroid_norms ? (centroid_norms[j] - 2.0f * dots[j]) + point_norm : -dots[j];
  }
};

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx2,fma")

inline __m256 lane_minimum_avx2(__m256 v) {
  v = _mm256_min_ps(v, _mm256_permute2f128_ps(v, v, 1));
  v = _mm256_min_ps(v, _mm256_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
  return _mm256_min_ps(v, _mm256_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
}

inline __m256i lane_minimum_avx2(__m256i v) {
  v = _mm256_min_epi32(v, _mm256_permute2x128_si256(v, v, 1));
  v = _mm256_min_epi32(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  return _mm256_min_epi32(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
}

// The lanes whose switch value excess / gap (gap > 0) may lie below the limit: excess
// < limit * gap, decided on the exactly rounded limit * gap - excess, whose sign is the
// exact one unless it rounds to zero (kept) or is not a number (kept).
inline __m256 below_limit_avx2(__m256 excess, __m256 gap, __m256 limit) {
  return _mm256_cmp_ps(_mm256_fmsub_ps(limit, gap, excess), _mm256_setzero_ps(), _CMP_NLT_UQ);
}

inline __m256 load_distances_avx2(const StoredDistances& source, std::size_t j, __m256i valid) {
  return _mm256_maskload_ps(source.distances + j, valid);
}

inline __m256 load_distances_avx2(const DistancesFromDots& source, std::size_t j, __m256i valid) {
  const __m256 dot = _mm256_maskload_ps(source.dots + j, valid);
  const __m256 distance =
      source.centroid_norms
          ? _mm256_add_ps(_mm256_sub_ps(_mm256_maskload_ps(source.centroid_norms + j, valid),
                                        _mm256_mul_ps(_mm256_set1_ps(2.0f), dot)),
                          _mm256_set1_ps(source.point_norm))
          : _mm256_xor_ps(dot, _mm256_set1_ps(-0.0f));
  _mm256_maskstore_ps(source.distances + j, valid, distance);
  return distance;
}

template <class Source>
Placement place_avx2(const Source& source, const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                     float switch_limit) {
  const __m256 home_distance = _mm256_set1_ps(source.at(home)), home_size = _mm256_set1_ps(sizes[home]);
  const __m256 penalty = _mm256_set1_ps(size_penalty), limit = _mm256_set1_ps(switch_limit);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  __m256 best_cost = _mm256_set1_ps(kInfinity), smallest = best_cost;
  __m256i best_index = _mm256_set1_epi32(-1);
  for (std::size_t j = 0; j < k; j += 8) {
    const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j)));
    const __m256i valid = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(k)), index);
    const __m256 distance = load_distances_avx2(source, j, valid), size = _mm256_maskload_ps(sizes + j, valid);
    const __m256 cost = _mm256_add_ps(distance, _mm256_mul_ps(penalty, size));
    const __m256 take = _mm256_and_ps(_mm256_castsi256_ps(valid), _mm256_cmp_ps(cost, best_cost, _CMP_LT_OQ));
    best_cost = _mm256_blendv_ps(best_cost, cost, take);
    best_index = _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(best_index), _mm256_castsi256_ps(index), take));
    const __m256 gap = _mm256_sub_ps(home_size, size);
    const __m256 candidate = _mm256_and_ps(
        _mm256_castsi256_ps(valid), _mm256_and_ps(_mm256_cmp_ps(home_size, size, _CMP_GT_OQ),
                                                  _mm256_cmp_ps(gap, _mm256_setzero_ps(), _CMP_NEQ_UQ)));
    const __m256 excess = _mm256_sub_ps(distance, home_distance);
    const __m256 below = _mm256_and_ps(candidate, below_limit_avx2(excess, gap, limit));
    if (_mm256_movemask_ps(below) == 0) continue;
    const __m256 value = _mm256_div_ps(excess, gap);
    smallest = _mm256_blendv_ps(smallest, value, _mm256_and_ps(below, _mm256_cmp_ps(value, smallest, _CMP_LT_OQ)));
  }
  const float result = _mm256_cvtss_f32(lane_minimum_avx2(smallest));
  // As in the AVX-512 scan below.
  const __m256 lowest_cost = lane_minimum_avx2(best_cost);
  if (!(_mm256_cvtss_f32(lowest_cost) < kInfinity) || std::isnan(source.at(0) + size_penalty * sizes[0]))
    return {0, result};
  const __m256 lowest = _mm256_cmp_ps(best_cost, lowest_cost, _CMP_EQ_OQ);
  const __m256i candidates = _mm256_castps_si256(_mm256_blendv_ps(
      _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX)), _mm256_castsi256_ps(best_index), lowest));
  return {static_cast<std::size_t>(_mm256_cvtsi256_si32(lane_minimum_avx2(candidates))), result};
}

#pragma GCC pop_options

// GCC 12's AVX-512 headers initialise their "undefined" vectors from themselves and
// then warn about them where the intrinsics are inlined (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")

inline __m512 load_distances_avx512(const StoredDistances& source, std::size_t j, __mmask16 valid) {
  return _mm512_maskz_loadu_ps(valid, source.distances + j);
}

inline __m512 load_distances_avx512(const DistancesFromDots& source, std::size_t j, __mmask16 valid) {
  const __m512 dot = _mm512_maskz_loadu_ps(valid, source.dots + j);
  const __m512 distance =
      source.centroid_norms
          ? _mm512_add_ps(_mm512_sub_ps(_mm512_maskz_loadu_ps(valid, source.centroid_norms + j),
                                        _mm512_mul_ps(_mm512_set1_ps(2.0f), dot)),
                          _mm512_set1_ps(source.point_norm))
          : _mm512_xor_ps(dot, _mm512_set1_ps(-0.0f));
  _mm512_mask_storeu_ps(source.distances + j, valid, distance);
  return distance;
}

template <class Source>
Placement place_avx512(const Source& source, const float* sizes, std::size_t k, std::size_t home,
                       float size_penalty, float switch_limit) {
  const __m512 home_distance = _mm512_set1_ps(source.at(home)), home_size = _mm512_set1_ps(sizes[home]);
  const __m512 penalty = _mm512_set1_ps(size_penalty), limit = _mm512_set1_ps(switch_limit);
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m512 best_cost = _mm512_set1_ps(kInfinity), smallest = best_cost;
  __m512i best_index = _mm512_set1_epi32(-1);
  for (std::size_t j = 0; j < k; j += 16) {
    const std::size_t left = k - j;
    const __mmask16 valid = left >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
    const __m512 distance = load_distances_avx512(source, j, valid), size = _mm512_maskz_loadu_ps(valid, sizes + j);
    const __m512 cost = _mm512_add_ps(distance, _mm512_mul_ps(penalty, size));
    const __mmask16 take = valid & _mm512_cmp_ps_mask(cost, best_cost, _CMP_LT_OQ);
    best_cost = _mm512_mask_mov_ps(best_cost, take, cost);
    best_index =
        _mm512_mask_mov_epi32(best_index, take, _mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<int>(j))));
    const __m512 gap = _mm512_sub_ps(home_size, size);
    const __mmask16 candidate = valid & _mm512_cmp_ps_mask(home_size, size, _CMP_GT_OQ) &
                                _mm512_cmp_ps_mask(gap, _mm512_setzero_ps(), _CMP_NEQ_UQ);
    const __m512 excess = _mm512_sub_ps(distance, home_distance);
    // As in the AVX2 scan: only lanes whose value may lie below the limit are divided.
    const __mmask16 below =
        candidate & _mm512_cmp_ps_mask(_mm512_fmsub_ps(limit, gap, excess), _mm512_setzero_ps(), _CMP_NLT_UQ);
    if (below == 0) continue;
    const __m512 value = _mm512_maskz_div_ps(below, excess, gap);
    smallest = _mm512_mask_mov_ps(smallest, below & _mm512_cmp_ps_mask(value, smallest, _CMP_LT_OQ), value);
  }
  const float result = _mm512_reduce_min_ps(smallest);
  // Lanes hold only costs below +infinity, each lane its first smallest one; among the
  // lanes with the smallest cost the lowest index is the first. Without any such
  // lane, or when the first cost is not a number, cluster 0 keeps the place.
  const float lowest_cost = _mm512_reduce_min_ps(best_cost);
  if (!(lowest_cost < kInfinity) || std::isnan(source.at(0) + size_penalty * sizes[0])) return {0, result};
  const __mmask16 lowest = _mm512_cmp_ps_mask(best_cost, _mm512_set1_ps(lowest_cost), _CMP_EQ_OQ);
  const std::int32_t target =
      _mm512_reduce_min_epi32(_mm512_mask_mov_epi32(_mm512_set1_epi32(INT32_MAX), lowest, best_index));
  return {static_cast<std::size_t>(target), result};
}

#pragma GCC pop_options
#pragma GCC diagnostic pop

#endif

}  // namespace plovek::kernels::placement
