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

// The scan's target from per-lane winners (cost, index; index -1 for none), given that
// the first cost is a number. Lanes only hold costs below +infinity; when there are
// none, every cost that is a number is +infinity and cluster 0 keeps the place.
[[maybe_unused]] std::size_t merge_lanes(const float* lane_cost, const std::int32_t* lane_index, std::size_t lanes) {
  std::size_t best = 0;
  float best_cost = kInfinity;
  for (std::size_t l = 0; l < lanes; ++l) {
    if (lane_index[l] < 0) continue;
    const auto index = static_cast<std::size_t>(lane_index[l]);
    if (lane_cost[l] < best_cost || (lane_cost[l] == best_cost && index < best)) {
      best_cost = lane_cost[l];
      best = index;
    }
  }
  return best;
}

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

__attribute__((target("avx2,fma"))) Placement place_point_avx2(const float* distances, const float* sizes,
                                                               std::size_t k, std::size_t home,
                                                               float size_penalty) {
  const __m256 home_distance = _mm256_set1_ps(distances[home]), home_size = _mm256_set1_ps(sizes[home]);
  const __m256 penalty = _mm256_set1_ps(size_penalty);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  __m256 best_cost = _mm256_set1_ps(kInfinity), smallest = best_cost;
  __m256i best_index = _mm256_set1_epi32(-1);
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    const __m256 distance = _mm256_loadu_ps(distances + j), size = _mm256_loadu_ps(sizes + j);
    const __m256 cost = _mm256_add_ps(distance, _mm256_mul_ps(penalty, size));
    const __m256 take = _mm256_cmp_ps(cost, best_cost, _CMP_LT_OQ);
    best_cost = _mm256_blendv_ps(best_cost, cost, take);
    const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j)));
    best_index = _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(best_index), _mm256_castsi256_ps(index), take));
    const __m256 gap = _mm256_sub_ps(home_size, size);
    const __m256 candidate = _mm256_and_ps(_mm256_cmp_ps(home_size, size, _CMP_GT_OQ),
                                           _mm256_cmp_ps(gap, _mm256_setzero_ps(), _CMP_NEQ_UQ));
    const __m256 value = _mm256_div_ps(_mm256_sub_ps(distance, home_distance), gap);
    smallest = _mm256_blendv_ps(smallest, value, _mm256_and_ps(candidate, _mm256_cmp_ps(value, smallest, _CMP_LT_OQ)));
  }
  alignas(32) float lane_cost[16], lane_smallest[8];
  alignas(32) std::int32_t lane_index[16];
  _mm256_store_ps(lane_cost, best_cost);
  _mm256_store_ps(lane_smallest, smallest);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lane_index), best_index);
  // The tail: its clusters join the lanes' winners and minimum one by one.
  std::size_t used = 8;
  float result = kInfinity;
  for (const float value : lane_smallest) result = value < result ? value : result;
  for (std::size_t t = j; t < k; ++t, ++used) {
    const float cost = distances[t] + size_penalty * sizes[t];
    lane_cost[used] = cost;
    lane_index[used] = cost < kInfinity ? static_cast<std::int32_t>(t) : -1;
    const float gap = sizes[home] - sizes[t];
    if (!(sizes[home] > sizes[t]) || gap == 0.0f) continue;
    const float value = (distances[t] - distances[home]) / gap;
    result = value < result ? value : result;
  }
  if (std::isnan(first_cost(distances, sizes, size_penalty))) return {0, result};
  return {merge_lanes(lane_cost, lane_index, used), result};
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
  if (std::isnan(first_cost(distances, sizes, size_penalty))) return {0, result};
  alignas(64) float lane_cost[16];
  alignas(64) std::int32_t lane_index[16];
  _mm512_store_ps(lane_cost, best_cost);
  _mm512_store_si512(lane_index, best_index);
  return {merge_lanes(lane_cost, lane_index, 16), result};
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
