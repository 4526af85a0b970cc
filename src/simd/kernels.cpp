// The dispatched kernels: a table of each level's kernels, and every call through the
// table of the active level (or of the level the panels were packed for).
#include <cstddef>
#include <cstdint>

#include "simd/kernels.h"

namespace plovek::kernels {

struct KernelTable {
  std::size_t panel_width;
  bool fused_centroid_dots;
  std::uint32_t (*largest_magnitude_bits)(const float*, std::size_t);
  float (*dot)(const float*, const float*, std::size_t);
  float (*squared_distance)(const float*, const float*, std::size_t);
  void (*nearest_centroids)(const CentroidPanels&, const float*, std::ptrdiff_t, std::size_t, const float*,
                            std::uint64_t*, const NearestScores*);
  void (*nearest_in_panels)(const CentroidPanels&, std::size_t, std::size_t, const float* const*, const float*,
                            std::size_t, RangeNearest*);
  void (*centroid_dots)(const CentroidPanels&, const float*, std::ptrdiff_t, std::size_t, float*);
  void (*exact_point_dots)(const CentroidPanels&, const float*, float*);
  void (*paired_point_dots)(const CentroidPanels&, const float*, float*);
  void (*quotient_into_panel)(float*, std::size_t, const float*, float, float*, std::size_t);
  bool (*score_and_bound)(float*, const float*, float, std::size_t, std::size_t, float&);
  std::size_t (*indices_at_most)(const float*, std::size_t, float, std::uint32_t*);
  std::uint64_t (*at_most_shifted)(const float*, const float*, float, float, std::size_t);
  float (*store_lower_bounds)(const float*, float, bool, const float*, float, float*, std::size_t);
  void (*first_by_score)(const float*, const std::uint32_t*, std::size_t, std::size_t, std::uint64_t*);
  void (*add_rows_by_label)(const float*, std::ptrdiff_t, std::size_t, const std::uint64_t*, std::uint64_t,
                            std::uint64_t, double*, std::size_t);
  SquareAndDot (*square_and_dot_f64)(const float*, const double*, std::size_t);
};

template <class K>
constexpr KernelTable table_of() {
  return {.panel_width = K::kPanelWidth,
          .fused_centroid_dots = K::kFusedCentroidDots,
          .largest_magnitude_bits = &K::largest_magnitude_bits,
          .dot = &K::dot,
          .squared_distance = &K::squared_distance,
          .nearest_centroids = &K::nearest_centroids,
          .nearest_in_panels = &K::nearest_in_panels,
          .centroid_dots = &K::centroid_dots,
          .exact_point_dots = &K::exact_point_dots,
          .paired_point_dots = &K::paired_point_dots,
          .quotient_into_panel = &K::quotient_into_panel,
          .score_and_bound = &K::score_and_bound,
          .indices_at_most = &K::indices_at_most,
          .at_most_shifted = &K::at_most_shifted,
          .store_lower_bounds = &K::store_lower_bounds,
          .first_by_score = &K::first_by_score,
          .add_rows_by_label = &K::add_rows_by_label,
          .square_and_dot_f64 = &K::square_and_dot_f64};
}

}  // namespace plovek::kernels

#define PLOVEK_SIMD_BODY "simd/kernel_table.h"
#include "simd/foreach_level.h"

namespace plovek::kernels {

namespace {

const KernelTable& table(SimdLevel level) { return PLOVEK_AT_LEVEL(level, kernel_table); }
const KernelTable& active_table() { return table(active_simd_level()); }

}  // namespace

std::size_t panel_width(SimdLevel level) { return table(level).panel_width; }

std::uint32_t largest_magnitude_bits(const float* values, std::size_t count) {
  return active_table().largest_magnitude_bits(values, count);
}

float dot(const float* x, const float* y, std::size_t d) { return active_table().dot(x, y, d); }

float squared_distance(const float* x, const float* y, std::size_t d) {
  return active_table().squared_distance(x, y, d);
}

void nearest_centroids(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                       const float* point_norms, std::uint64_t* labels, const NearestScores* scores) {
  table(panels.level()).nearest_centroids(panels, x, ldx, count, point_norms, labels, scores);
}

void nearest_in_panels(const CentroidPanels& panels, std::size_t first_panel, std::size_t last_panel,
                       const float* const* rows, const float* limits, std::size_t count, RangeNearest* out) {
  table(panels.level()).nearest_in_panels(panels, first_panel, last_panel, rows, limits, count, out);
}

void centroid_dots(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count, float* out) {
  table(panels.level()).centroid_dots(panels, x, ldx, count, out);
}

bool centroid_dots_are_fused(SimdLevel level) { return table(level).fused_centroid_dots; }

void exact_point_dots(const CentroidPanels& panels, const float* x, float* out) {
  table(panels.level()).exact_point_dots(panels, x, out);
}

void paired_point_dots(const CentroidPanels& panels, const float* x, float* out) {
  table(panels.level()).paired_point_dots(panels, x, out);
}

void quotient_into_panel(SimdLevel level, float* panel, std::size_t lane, const float* sum, float divisor, float* row,
                         std::size_t d) {
  table(level).quotient_into_panel(panel, lane, sum, divisor, row, d);
}

bool score_and_bound(float* dots, const float* centroid_norms, float point_norm, std::size_t k, std::size_t rank,
                     float& bound) {
  return active_table().score_and_bound(dots, centroid_norms, point_norm, k, rank, bound);
}

std::size_t indices_at_most(const float* values, std::size_t count, float bound, std::uint32_t* out) {
  return active_table().indices_at_most(values, count, bound, out);
}

std::uint64_t at_most_shifted(const float* values, const float* offsets, float limit, float scale,
                              std::size_t count) {
  return active_table().at_most_shifted(values, offsets, limit, scale, count);
}

float store_lower_bounds(const float* scores, float base, bool root, const float* offsets, float scale, float* bounds,
                         std::size_t count) {
  return active_table().store_lower_bounds(scores, base, root, offsets, scale, bounds, count);
}

void first_by_score(const float* scores, const std::uint32_t* candidates, std::size_t found, std::size_t take,
                    std::uint64_t* chosen) {
  active_table().first_by_score(scores, candidates, found, take, chosen);
}

void add_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                       std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
  active_table().add_rows_by_label(rows, ldx, count, labels, first, last, sums, d);
}

SquareAndDot square_and_dot_f64(const float* x, const double* y, std::size_t d) {
  return active_table().square_and_dot_f64(x, y, d);
}

}  // namespace plovek::kernels
