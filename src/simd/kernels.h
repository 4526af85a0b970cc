// The kernels, dispatched at run time to the active SIMD level (AVX-512, AVX2+FMA or
// scalar). Each is written once for the vector levels over vector traits
// (vector_kernels.h) and once as the scalar reference (scalar_kernels.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd/centroid_panels.h"
#include "simd/rounding_model.h"
#include "simd/score_order.h"
#include "simd/level.h"
#include "simd/row_arithmetic.h"

namespace plovek::kernels {

// Every dot product rounds each product x[t] * y[t] to f32 and sums in f32, in a
// fixed order per kind, the same at every level (the vector levels may compute with
// fused multiply-adds only where they prove the outcome the same; see each kernel):
// - row dot products (norms, the cost, medoid distances): kRowDotPartials partial
//   sums, partial l adding the products of the elements t = l (mod 16) in ascending t
//   (a last, partial group padded with zero products), then partial l + 8 added to
//   partial l and the eight combined as ((0 + 4) + (2 + 6)) + ((1 + 5) + (3 + 7));
// - point-centroid dot products of the nearest-centroid search and of centroid_dots:
//   one sum in ascending t;
// - the balancing step's point dots: the even and the odd elements in two ascending
//   sums, added at the end.
inline constexpr std::size_t kRowDotPartials = 16;

// --- Against packed centroids ---
// The centroids per panel at `level`: two vectors' lanes, or 1 (plain rows).
std::size_t panel_width(SimdLevel level);
// Whether centroid_dots fuses its multiply-adds at `level`.
bool centroid_dots_are_fused(SimdLevel level);
// Rows longer than this are searched a slab of this many columns at a time.
inline constexpr std::size_t kSlabColumns = 2048;

// What nearest_centroids gives besides the labels: each point's best and runner-up
// cost as the search saw them (the smaller the nearer: Euclidean c.c - 2 c.x, x.x not added; inner product
// -(c.x)), for bounds: each an f32 score of the real one, the best for the label found
// (or above it), the runner-up at or below every other centroid's. Without a runner-up
// (k = 1) it is +infinity. With `group_least`, also per point and group of
// `group_size` consecutive centroids (a multiple of the panel width) the least cost in
// the group, group_least[r * groups + g].
struct NearestScores {
  float* best = nullptr;
  float* second = nullptr;
  float* group_least = nullptr;
  std::size_t group_size = 0;
  // Where the centroids lie in another order: each position's centroid index, by which
  // the near ties settled with rounded products break ties (null: by position).
  const std::uint32_t* index_of = nullptr;
  // The groups of k centroids (0 without group_least).
  std::size_t group_count(std::size_t k) const { return group_least ? (k + group_size - 1) / group_size : 0; }
};
// What nearest_in_panels gives for each of its points, the nearest of the centroids in
// a range of panels by cost, the smaller the nearer:
// Euclidean c.c - 2 c.x, inner product -(c.x). Per point the smallest cost and, only
// where it is at most limits[r], the position (panel * width + lane) of a centroid with
// that cost and the smallest cost among the range's other centroids (+infinity when
// there is none); elsewhere position kNone and second +infinity. Equal best costs
// give a runner-up equal to the best. The vector levels use fused multiply-adds, each
// cost within the panels' FusedScoreSlack of the rounded-product one; the scalar level
// (one centroid per panel) computes rounded products.
struct RangeNearest {
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  float best;
  float second;
  std::uint32_t position;
};

// A score from a point's dot product with centroid j: (c.c - 2 c.x) + x.x in that
// order with the centroids' squared norms c.c, -(c.x) for the inner product (no norms).
inline float score_from_dot(float dot, const float* centroid_norms, std::size_t j, float point_norm) {
  return centroid_norms ? (centroid_norms[j] - 2.0f * dot) + point_norm : -dot;
}

// The nearest of k centroids by one point's dot products with them, by the training
// search's rules: Euclidean (centroid_norms given) the smallest score, the lowest index
// winning ties; inner product the largest dot product, the highest index winning ties.
// Returns the nearest's position p: dots[p] belongs to centroid index_of[p] where the
// centroids lie in another order (null: in order, p is the index). offer_by_rule
// offers one centroid's dot product by the same rules.
inline void offer_by_rule(NearestSoFar& nearest, float dot, const float* centroid_norms, std::uint32_t p,
                          float point_norm, const std::uint32_t* index_of) {
  if (centroid_norms == nullptr)
    nearest.offer<HighestScoreFirst>(dot, p, index_of);
  else
    nearest.offer<LowestScoreFirst>(score_from_dot(dot, centroid_norms, p, point_norm), p, index_of);
}
// Whether, of centroids that score alike, the search's rules pick the highest index
// (the inner product) rather than the lowest (Euclidean).
inline bool later_index_wins_ties(bool euclidean) { return !euclidean; }
inline std::uint64_t nearest_by_rule(const float* dots, const float* centroid_norms, std::size_t k, float point_norm,
                                     const std::uint32_t* index_of = nullptr) {
  NearestSoFar nearest;
  for (std::uint32_t p = 0; p < k; ++p) offer_by_rule(nearest, dots[p], centroid_norms, p, point_norm, index_of);
  return nearest.position;
}

// --- Placement scan ---
struct Placement {
  // The cluster with the smallest placement cost distances[j] + size_penalty * sizes[j]
  // (multiplied, then added), found by a strict-less scan from cluster 0: the lowest
  // index wins ties, costs that are not numbers never win, and a first cost that is not
  // a number is never beaten.
  std::size_t target;
  // The smallest (distances[j] - distances[home]) / (sizes[home] - sizes[j]) over the j
  // with sizes[j] < sizes[home] and a non-zero gap (values that are not numbers never
  // count); +infinity when there is none.
  float switch_penalty;
};
// The placement scan in order, with cluster sizes counted as `Count` (f32, or double
// where f32 cannot count them): each cost and switch value computed in `Count` from the
// f32 distances and penalty, the switch penalty then rounded to f32. The scalar level's
// place_from_dots, and the balancing step's with wide counts.
template <class Count>
Placement place_by_scan(const float* dots, const float* centroid_norms, float point_norm, const Count* sizes,
                        std::size_t k, std::size_t home, float size_penalty) {
  const auto distance = [&](std::size_t j) { return Count{score_from_dot(dots[j], centroid_norms, j, point_norm)}; };
  const Count home_distance = distance(home), home_size = sizes[home], penalty = size_penalty;
  std::size_t target = 0;
  Count target_cost = distance(0) + penalty * sizes[0];
  Count smallest = std::numeric_limits<Count>::infinity();
  for (std::size_t j = 0; j < k; ++j) {
    const Count distance_j = distance(j);
    const Count cost = distance_j + penalty * sizes[j];
    if (cost < target_cost) target = j, target_cost = cost;
    const Count gap = home_size - sizes[j];
    if (!(home_size > sizes[j]) || gap == Count{0}) continue;
    const Count value = (distance_j - home_distance) / gap;
    if (value < smallest) smallest = value;
  }
  return {target, static_cast<float>(smallest)};
}
// Each level's `Kernels::place_from_dots` finds the Placement of a point from its dot
// products, distances[j] = score_from_dot(dots[j], centroid_norms, j, point_norm). The
// switch penalty is exact when it lies below `switch_limit`; otherwise it is some value
// at or above the limit (+infinity when there is none), which lets the vector levels
// skip the divisions of values that cannot matter.

// --- Selection and bound scans ---
// Room indices_at_most may write past the last index it finds.
inline constexpr std::size_t kIndexSlack = 16;
// The relative margin of at_most_shifted and store_lower_bounds.
inline constexpr float kShiftedMargin = 0x1p-22f;
// The most clusters first_by_score picks (up to this many, an insertion into a short
// sorted list beats a selection algorithm).
inline constexpr std::size_t kFirstByScoreMost = 16;

// --- Double precision ---
// In one pass: the sums over t < d of double(x[t])^2 and of double(x[t]) * y[t].
struct SquareAndDot {
  double square = 0.0, dot = 0.0;
};

// The dispatched kernels (kernel_list.h), each run at the level its line names.
#define PLOVEK_KERNEL(name, result, parameters, arguments, level) result name parameters;
#include "simd/kernel_list.h"
#undef PLOVEK_KERNEL

}  // namespace plovek::kernels
