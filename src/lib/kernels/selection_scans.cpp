#include "selection_scans.h"

#include <algorithm>
#include <limits>

#include "dot.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace plovek::kernels {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

}  // namespace

// The scalar level has a single lane: no bound short of the largest score.
bool score_and_bound_scalar(float* dots, const float* centroid_norms, float point_norm, std::size_t k,
                            std::size_t, float& bound) {
  unsigned unordered = 0;  // an OR, not a chain of branches
  for (std::size_t j = 0; j < k; ++j) {
    dots[j] = centroid_norms ? (centroid_norms[j] - 2.0f * dots[j]) + point_norm : -dots[j];
    unordered |= static_cast<unsigned>(dots[j] != dots[j]);
  }
  bound = kInfinity;
  return unordered == 0;
}

std::size_t indices_at_most_scalar(const float* values, std::size_t count, float bound, std::uint32_t* out) {
  std::size_t found = 0;
  for (std::size_t j = 0; j < count; ++j)
    if (values[j] <= bound) out[found++] = static_cast<std::uint32_t>(j);
  return found;
}

void first_by_score_scalar(const float* scores, const std::uint32_t* candidates, std::size_t found,
                           std::size_t take, std::uint64_t* chosen) {
  // order[0 .. kept) stays sorted nearest-first. Candidates arrive in ascending index
  // order, so a newcomer goes after every kept cluster of equal score, and enters a
  // full list only when strictly nearer than its last entry.
  std::uint32_t order[kFirstByScoreMost];
  std::size_t kept = 0;
  float worst = kInfinity;  // the last kept score once the list is full
  for (std::size_t i = 0; i < found; ++i) {
    const std::uint32_t c = candidates[i];
    const float score = scores[c];
    if (kept == take && !(score < worst)) continue;
    std::size_t slot = kept < take ? kept++ : take - 1;
    for (; slot > 0 && score < scores[order[slot - 1]]; --slot) order[slot] = order[slot - 1];
    order[slot] = c;
    if (kept == take) worst = scores[order[take - 1]];
  }
  for (std::size_t m = 0; m < take; ++m) chosen[m] = order[m];
}

#if defined(__x86_64__)

namespace {

// From `lanes` per-lane minima: split the lanes into `rank` groups, take each group's
// minimum, and return the largest of those: `rank` distinct values lie at or below it.
// No branch depends on the values. +infinity if rank > lanes.
float rank_bound_from_lanes(const float* minima, std::size_t lanes, std::size_t rank) {
  if (rank > lanes) return kInfinity;
  float group_minimum[16];  // rank <= lanes <= 16
  std::fill_n(group_minimum, 16, kInfinity);
  for (std::size_t l = 0, group = 0; l < lanes; ++l, group = group + 1 == rank ? 0 : group + 1)
    group_minimum[group] = std::min(group_minimum[group], minima[l]);
  return *std::max_element(group_minimum, group_minimum + rank);
}

}  // namespace

__attribute__((target("avx2,fma"))) bool score_and_bound_avx2(float* dots, const float* centroid_norms,
                                                               float point_norm, std::size_t k, std::size_t rank,
                                                               float& bound) {
  const __m256 two = _mm256_set1_ps(2.0f), norm = _mm256_set1_ps(point_norm);
  __m256 minimum = _mm256_set1_ps(kInfinity), unordered = _mm256_setzero_ps();
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) {
    const __m256 dot = _mm256_loadu_ps(dots + j);
    const __m256 score =
        centroid_norms ? _mm256_add_ps(_mm256_sub_ps(_mm256_loadu_ps(centroid_norms + j), _mm256_mul_ps(two, dot)), norm)
                       : _mm256_xor_ps(dot, _mm256_set1_ps(-0.0f));
    _mm256_storeu_ps(dots + j, score);
    minimum = _mm256_min_ps(minimum, score);
    unordered = _mm256_or_ps(unordered, _mm256_cmp_ps(score, score, _CMP_UNORD_Q));
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, minimum);
  float tail_bound;
  const bool tail_comparable =
      score_and_bound_scalar(dots + j, centroid_norms ? centroid_norms + j : nullptr, point_norm, k - j, rank, tail_bound);
  for (std::size_t l = 0; j + l < k; ++l) lanes[l] = std::min(lanes[l], dots[j + l]);
  bound = rank_bound_from_lanes(lanes, 8, rank);
  return tail_comparable && _mm256_movemask_ps(unordered) == 0;
}

__attribute__((target("avx2,fma"))) std::size_t indices_at_most_avx2(const float* values, std::size_t count,
                                                                     float bound, std::uint32_t* out) {
  const __m256 limit = _mm256_set1_ps(bound);
  std::size_t found = 0, j = 0;
  for (; j + 8 <= count; j += 8) {
    unsigned mask = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(values + j), limit, _CMP_LE_OQ)));
    for (; mask != 0; mask &= mask - 1) out[found++] = static_cast<std::uint32_t>(j + __builtin_ctz(mask));
  }
  for (; j < count; ++j)
    if (values[j] <= bound) out[found++] = static_cast<std::uint32_t>(j);
  return found;
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) bool score_and_bound_avx512(
    float* dots, const float* centroid_norms, float point_norm, std::size_t k, std::size_t rank, float& bound) {
  const __m512 two = _mm512_set1_ps(2.0f), norm = _mm512_set1_ps(point_norm);
  __m512 minimum = _mm512_set1_ps(kInfinity);
  __mmask16 unordered = 0;
  for (std::size_t j = 0; j < k; j += 16) {
    const std::size_t left = k - j;
    const __mmask16 valid = left >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
    const __m512 dot = _mm512_maskz_loadu_ps(valid, dots + j);
    const __m512 score =
        centroid_norms
            ? _mm512_add_ps(_mm512_sub_ps(_mm512_maskz_loadu_ps(valid, centroid_norms + j), _mm512_mul_ps(two, dot)), norm)
            : _mm512_xor_ps(dot, _mm512_set1_ps(-0.0f));
    _mm512_mask_storeu_ps(dots + j, valid, score);
    minimum = _mm512_mask_min_ps(minimum, valid, minimum, score);
    unordered |= _mm512_mask_cmp_ps_mask(valid, score, score, _CMP_UNORD_Q);
  }
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, minimum);
  bound = rank_bound_from_lanes(lanes, 16, rank);
  return unordered == 0;
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) std::size_t indices_at_most_avx512(
    const float* values, std::size_t count, float bound, std::uint32_t* out) {
  const __m512 limit = _mm512_set1_ps(bound);
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  std::size_t found = 0;
  for (std::size_t j = 0; j < count; j += 16) {
    const std::size_t left = count - j;
    const __mmask16 valid = left >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
    const __mmask16 at_most =
        _mm512_mask_cmp_ps_mask(valid, _mm512_maskz_loadu_ps(valid, values + j), limit, _CMP_LE_OQ);
    // Without a branch (which vectors hold candidates is as good as random) and with a
    // whole-vector store past the found ones, cheaper than a compressing store.
    _mm512_storeu_si512(out + found, _mm512_maskz_compress_epi32(
                                         at_most, _mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<int>(j)))));
    found += static_cast<std::size_t>(__builtin_popcount(at_most));
  }
  return found;
}

// The 16 nearest so far held sorted in one vector of scores and one of indices,
// unfilled lanes holding NaN (after everything): a candidate goes in after every lane
// of equal score, the lanes after it moving up one, all without a branch (which
// candidates enter is as good as random).
__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) void first_by_score_avx512(
    const float* scores, const std::uint32_t* candidates, std::size_t found, std::size_t take,
    std::uint64_t* chosen) {
  const __m512i previous = _mm512_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14);
  __m512 kept = _mm512_set1_ps(std::numeric_limits<float>::quiet_NaN());
  __m512i index = _mm512_setzero_si512();
  for (std::size_t i = 0; i < found; ++i) {
    const std::uint32_t c = candidates[i];
    const __m512 score = _mm512_set1_ps(scores[c]);
    // Lanes after the newcomer's place: farther than it, or unfilled.
    const __mmask16 after = _mm512_cmp_ps_mask(kept, score, _CMP_NLE_UQ);
    const __mmask16 at = static_cast<__mmask16>(after & (0u - after));
    const __mmask16 moved = static_cast<__mmask16>(after ^ at);
    kept = _mm512_mask_mov_ps(_mm512_mask_permutexvar_ps(kept, moved, previous, kept), at, score);
    index = _mm512_mask_mov_epi32(_mm512_mask_permutexvar_epi32(index, moved, previous, index), at,
                                  _mm512_set1_epi32(static_cast<int>(c)));
  }
  alignas(64) std::uint32_t nearest[16];
  _mm512_store_si512(nearest, index);
  for (std::size_t m = 0; m < take; ++m) chosen[m] = nearest[m];
}

#else

void first_by_score_avx512(const float* scores, const std::uint32_t* candidates, std::size_t found, std::size_t take,
                           std::uint64_t* chosen) {
  first_by_score_scalar(scores, candidates, found, take, chosen);
}

bool score_and_bound_avx2(float* dots, const float* norms, float point_norm, std::size_t k, std::size_t rank,
                          float& bound) {
  return score_and_bound_scalar(dots, norms, point_norm, k, rank, bound);
}
bool score_and_bound_avx512(float* dots, const float* norms, float point_norm, std::size_t k, std::size_t rank,
                            float& bound) {
  return score_and_bound_scalar(dots, norms, point_norm, k, rank, bound);
}
std::size_t indices_at_most_avx2(const float* v, std::size_t count, float bound, std::uint32_t* out) {
  return indices_at_most_scalar(v, count, bound, out);
}
std::size_t indices_at_most_avx512(const float* v, std::size_t count, float bound, std::uint32_t* out) {
  return indices_at_most_scalar(v, count, bound, out);
}

#endif

bool score_and_bound(float* dots, const float* centroid_norms, float point_norm, std::size_t k, std::size_t rank,
                     float& bound) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return score_and_bound_avx512(dots, centroid_norms, point_norm, k, rank, bound);
    case SimdLevel::Avx2: return score_and_bound_avx2(dots, centroid_norms, point_norm, k, rank, bound);
    case SimdLevel::Scalar: break;
  }
  return score_and_bound_scalar(dots, centroid_norms, point_norm, k, rank, bound);
}

void first_by_score(const float* scores, const std::uint32_t* candidates, std::size_t found, std::size_t take,
                    std::uint64_t* chosen) {
  if (active_simd_level() == SimdLevel::Avx512) return first_by_score_avx512(scores, candidates, found, take, chosen);
  first_by_score_scalar(scores, candidates, found, take, chosen);
}

std::size_t indices_at_most(const float* values, std::size_t count, float bound, std::uint32_t* out) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return indices_at_most_avx512(values, count, bound, out);
    case SimdLevel::Avx2: return indices_at_most_avx2(values, count, bound, out);
    case SimdLevel::Scalar: break;
  }
  return indices_at_most_scalar(values, count, bound, out);
}

}  // namespace plovek::kernels
