// The kernels, dispatched at run time to the active SIMD level (AVX-512, AVX2+FMA or
// scalar). Each is written once for the vector levels over vector traits
// (vector_kernels.h) and once as the scalar reference (scalar_kernels.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd/centroid_panels.h"
#include "simd/fused_slack.h"
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

// --- Row dot products ---
// x . y over d elements (0.0 for d = 0).
float dot(const float* x, const float* y, std::size_t d);
// (x - y).(x - y): the difference rounded to f32 element by element, then summed as
// `dot` sums, so it equals `dot` of a stored difference vector with itself bit for bit.
float squared_distance(const float* x, const float* y, std::size_t d);

// The largest magnitude's bit pattern among `count` consecutive values (NaN above
// infinity above every finite value).
std::uint32_t largest_magnitude_bits(const float* values, std::size_t count);

// --- Against packed centroids (at the panels' level) ---
// The centroids per panel at `level`: two vectors' lanes, or 1 (plain rows).
std::size_t panel_width(SimdLevel level);

// For `count` points (row r at x + r * ldx, d contiguous values each): the index of
// the nearest centroid by nearest_by_rule. The vector levels search with fused
// multiply-adds, keep each point's runner-up, and recompute with rounded products the
// points whose best two scores lie within twice the FusedScoreSlack: the labels are
// those of the rounded products. `point_norms` (x.x per point) is read only for the
// Euclidean score.
// With `scores`, also each point's best and runner-up cost as the search saw them
// (the smaller the nearer: Euclidean c.c - 2 c.x, x.x not added; inner product
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
  // The groups of k centroids (0 without group_least).
  std::size_t group_count(std::size_t k) const { return group_least ? (k + group_size - 1) / group_size : 0; }
};
void nearest_centroids(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                       const float* point_norms, std::uint64_t* labels, const NearestScores* scores = nullptr);
// The nearest of the centroids in panels [first_panel, last_panel) for `count` points
// anywhere in memory (point r's d values at rows[r]), by cost, the smaller the nearer:
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
void nearest_in_panels(const CentroidPanels& panels, std::size_t first_panel, std::size_t last_panel,
                       const float* const* rows, const float* limits, std::size_t count, RangeNearest* out);
// All dot products c_j . x of `count` points: out[r * k + j]. With fused multiply-adds
// at the levels where centroid_dots_are_fused(level), each then within the panels'
// FusedScoreSlack of the rounded-product one (as a score).
void centroid_dots(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count, float* out);
bool centroid_dots_are_fused(SimdLevel level);
// The dot products c_j . x of one point with every centroid, out[j], with rounded
// products: what centroid_dots gives where it does not fuse.
void exact_point_dots(const CentroidPanels& panels, const float* x, float* out);
// The dot products c_j . x of one point with every centroid, out[j], in the balancing
// step's order (two chains, half the dependency depth of one).
void paired_point_dots(const CentroidPanels& panels, const float* x, float* out);
// row = sum / divisor (a division per element), also written into centroid lane
// `lane` of the panel at `panel`.
void quotient_into_panel(SimdLevel level, float* panel, std::size_t lane, const float* sum, float divisor, float* row,
                         std::size_t d);

// A score from a point's dot product with centroid j: (c.c - 2 c.x) + x.x in that
// order with the centroids' squared norms c.c, -(c.x) for the inner product (no norms).
inline float score_from_dot(float dot, const float* centroid_norms, std::size_t j, float point_norm) {
  return centroid_norms ? (centroid_norms[j] - 2.0f * dot) + point_norm : -dot;
}

// The nearest of k centroids by one point's dot products with them: Euclidean
// (centroid_norms given) the smallest score, the lowest index winning ties; inner
// product the largest dot product, the highest index winning ties.
inline std::uint64_t nearest_by_rule(const float* dots, const float* centroid_norms, std::size_t k,
                                     float point_norm) {
  std::uint64_t best_index = 0;
  float best = std::numeric_limits<float>::infinity();
  for (std::size_t j = 0; j < k; ++j) {
    const float score = score_from_dot(dots[j], centroid_norms, j, point_norm);
    if (centroid_norms ? score < best : score <= best) best = score, best_index = j;
  }
  return best_index;
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
// Each level's `Kernels::place_from_dots` finds the Placement of a point from its dot
// products, distances[j] = score_from_dot(dots[j], centroid_norms, j, point_norm). The
// switch penalty is exact when it lies below `switch_limit`; otherwise it is some value
// at or above the limit (+infinity when there is none), which lets the vector levels
// skip the divisions of values that cannot matter.

// --- Top-k selection scans ---
// Turns one point's k dot products into its scores, in place: (c.c - 2 c.x) + x.x in
// that order when `centroid_norms` (c.c) is given, -(c.x) when it is null. Returns
// false if a score is NaN. Otherwise `bound` is a value that at least `rank` scores
// are <= to (+infinity when the pass cannot tell), from the per-lane minima; rank >= 1.
bool score_and_bound(float* dots, const float* centroid_norms, float point_norm, std::size_t k, std::size_t rank,
                     float& bound);
// Writes the indices j < count with values[j] <= bound to `out`, ascending; returns
// how many. `out` has room for count + kIndexSlack indices: a vector level may write
// whole vectors past the last index found.
inline constexpr std::size_t kIndexSlack = 16;
std::size_t indices_at_most(const float* values, std::size_t count, float bound, std::uint32_t* out);
// Bit j (j < count <= 64) set where values[j] is not above limit + scale * offsets[j]
// (NaN values count as not above), the bound taken with a margin that covers the
// rounding of its product and sum: plus (|limit| + scale * offsets[j]) kShiftedMargin.
// Offsets and scale are at least 0.
inline constexpr float kShiftedMargin = 0x1p-22f;
std::uint64_t at_most_shifted(const float* values, const float* offsets, float limit, float scale,
                              std::size_t count);
// Lower bounds that move by scale * offsets[j], from scores: for each j < count whose
// score is a number, bounds[j] becomes a value at or below b + scale * offsets[j], b
// the square root of max(0, scores[j] + base) when `root`, else scores[j] + base
// (+infinity where the score is +infinity); a NaN score leaves bounds[j] as it is.
// Returns a value at or below every bounds[j] - scale * offsets[j] afterwards (those
// that are +infinity, no bound, never count; +infinity for none). Every step is taken
// with a margin of kShiftedMargin times its operands' magnitude. Offsets and scale are
// at least 0.
float store_lower_bounds(const float* scores, float base, bool root, const float* offsets, float scale, float* bounds,
                         std::size_t count);
// The most clusters first_by_score picks (up to this many, an insertion into a short
// sorted list beats a selection algorithm).
inline constexpr std::size_t kFirstByScoreMost = 16;
// Of the `found` candidates (cluster indices, ascending), the `take` with the smallest
// scores (1 <= take <= min(found, kFirstByScoreMost)), equal scores in candidate order:
// their indices to chosen[0 .. take), nearest first. No score may be NaN.
void first_by_score(const float* scores, const std::uint32_t* candidates, std::size_t found, std::size_t take,
                    std::uint64_t* chosen);

// --- Double precision ---
// In one pass: the sums over t < d of double(x[t])^2 and of double(x[t]) * y[t].
struct SquareAndDot {
  double square = 0.0, dot = 0.0;
};
// Row sums (every level performs the same additions):
// For each row r < count (at rows + r * ldx, d values) whose label lies in
// [first, last): sums[(label - first) * d + t] += double(row[t]), rows in order.
void add_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                       std::uint64_t first, std::uint64_t last, double* sums, std::size_t d);
// SquareAndDot of x and y (the summation order is free).
SquareAndDot square_and_dot_f64(const float* x, const double* y, std::size_t d);

}  // namespace plovek::kernels
