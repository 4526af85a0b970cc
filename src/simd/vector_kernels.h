// Every kernel of a vector level, written once over the level's traits `V` and
// gathered in `Kernels`, the same members as the scalar level's (scalar_kernels.h).
// Included by foreach_level.h inside the level's namespace and target pragma, after
// the traits; no include guard.
#include "simd/dot_body.h"
#include "simd/panel_body.h"
#include "simd/paired_block_body.h"
#include "simd/placement_body.h"
#include "simd/selection_body.h"
#include "simd/widening_body.h"

struct Kernels {
  static constexpr std::size_t kPanelWidth = kWidth;
  // centroid_dots fuses its multiply-adds (nearest_centroids checks its own).
  static constexpr bool kFusedCentroidDots = true;
  // For non-negative floats the bit patterns order as the values do, NaN above
  // infinity; a plain loop, which vectorises at this level with unsigned maxima.
  static std::uint32_t largest_magnitude_bits(const float* values, std::size_t count) {
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) largest = std::max(largest, std::bit_cast<std::uint32_t>(values[i]) & 0x7fffffffu);
    return largest;
  }
  static float dot(const float* x, const float* y, std::size_t d) { return dot_order<false>(x, y, d); }
  static float squared_distance(const float* x, const float* y, std::size_t d) { return dot_order<true>(x, y, d); }
  static void nearest_centroids(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                                std::size_t count, const float* point_norms, std::uint64_t* labels,
                                const kernels::NearestScores* scores) {
    nearest_centroids_impl(panels, x, ldx, count, point_norms, labels, scores);
  }
  static void nearest_in_panels(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                std::size_t last_panel, const float* const* rows, const float* limits,
                                std::size_t count, kernels::RangeNearest* out) {
    nearest_in_panels_impl(panels, first_panel, last_panel, rows, limits, count, out);
  }
  static void centroid_dots(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                            std::size_t count, float* out) {
    centroid_dots_impl(panels, x, ldx, count, out);
  }
  static void exact_point_dots(const kernels::CentroidPanels& panels, const float* x, float* out) {
    exact_point_dots_impl(panels, x, out);
  }
  static void paired_point_dots(const kernels::CentroidPanels& panels, const float* x, float* out) {
    paired_point_dots_impl(panels, x, out);
  }
  // The dot products of `count` points (rows[r]) with centroids first .. last - 1
  // (first a multiple of the panel width), out[r * ldo + j - first], each exactly as
  // paired_point_dots computes it.
  static void paired_block_dots(const kernels::CentroidPanels& panels, std::size_t first, std::size_t last,
                                const float* const* rows, std::size_t count, float* out, std::size_t ldo) {
    paired_block_dots_impl(panels, first, last, rows, count, out, ldo);
  }
  // c . x exactly as one lane of paired_point_dots computes it.
  static float paired_lane_dot(const float* c, const float* x, std::size_t d) {
    return scalar::Kernels::paired_lane_dot(c, x, d);
  }
  static void quotient_into_panel(float* panel, std::size_t lane, const float* sum, float divisor, float* row,
                                  std::size_t d) {
    quotient_into_panel_impl(panel, lane, sum, divisor, row, d);
  }
  static void row_into_panel(float* panel, std::size_t lane, const float* row, std::size_t d) {
    row_into_lane(panel, lane, row, d);
  }
  // values[j] = value, written as the whole vector a later vector load reads (a
  // narrower store would make that load wait until the store has reached the cache);
  // `count` bounds the vectors that may be written whole.
  static void store_lane(float* values, std::size_t j, std::size_t count, float value) {
    const std::size_t first = j & ~(V::kLanes - 1);
    if (first + V::kLanes > count) {
      values[j] = value;
      return;
    }
    V::store(values + first, V::with_lane(V::load(values + first), j - first, value));
  }
  // Not inlined: in a balancing step's loop, its own call measured faster.
  [[gnu::noinline]] static kernels::Placement place_from_dots(const float* dots, const float* centroid_norms,
                                                              float point_norm,
                                            const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                            float switch_limit) {
    return place_from_dots_impl(dots, centroid_norms, point_norm, sizes, k, home, size_penalty, switch_limit);
  }
  static bool score_and_bound(float* dots, const float* centroid_norms, float point_norm, std::size_t k,
                              std::size_t rank, float& bound) {
    return score_and_bound_impl(dots, centroid_norms, point_norm, k, rank, bound);
  }
  static std::size_t indices_at_most(const float* values, std::size_t count, float bound, std::uint32_t* out) {
    return indices_at_most_impl(values, count, bound, out);
  }
  static std::uint64_t at_most_shifted(const float* values, const float* offsets, float limit, float scale,
                                       std::size_t count) {
    return at_most_shifted_impl(values, offsets, limit, scale, count);
  }
  static float store_lower_bounds(const float* scores, float base, bool root, const float* offsets, float scale,
                                  float* bounds, std::size_t count) {
    return root ? store_lower_bounds_impl<true>(scores, base, offsets, scale, bounds, count)
                : store_lower_bounds_impl<false>(scores, base, offsets, scale, bounds, count);
  }
  static void first_by_score(const float* scores, const std::uint32_t* candidates, std::size_t found,
                             std::size_t take, std::uint64_t* chosen) {
    SortedInsertion<V>::first_by_score(scores, candidates, found, take, chosen);
  }
  static void add_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                                std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
    add_rows_by_label_lanes(rows, ldx, count, labels, first, last, sums, d);
  }
  static kernels::SquareAndDot square_and_dot_f64(const float* x, const double* y, std::size_t d) {
    return square_and_dot_lanes(x, y, d);
  }
};
