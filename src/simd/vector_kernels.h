// Every kernel of a vector level, written once over the level's traits `V` and
// gathered in `Kernels`, the same members as the scalar level's (scalar_kernels.h).
// Included by foreach_level.h inside the level's namespace and target pragma, after
// the traits; no include guard.
#include "simd/order_body.h"
#include "simd/dot_body.h"
#include "simd/panel_body.h"
#include "simd/paired_block_body.h"
#include "simd/placement_body.h"
#include "simd/selection_body.h"
#include "simd/widening_body.h"

// The largest magnitude's bit pattern: for non-negative floats the bit patterns order
// as the values do, NaN above infinity; a plain loop, which vectorises at this level
// with unsigned maxima.
inline std::uint32_t largest_magnitude_bits_impl(const float* values, std::size_t count) {
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < count; ++i) largest = std::max(largest, std::bit_cast<std::uint32_t>(values[i]) & 0x7fffffffu);
  return largest;
}

struct Kernels {
  static constexpr std::size_t kPanelWidth = kWidth;
  // centroid_dots fuses its multiply-adds (nearest_centroids checks its own).
  static constexpr bool kFusedCentroidDots = true;
  // The dispatched kernels: each the body of its name.
#define PLOVEK_KERNEL(name, result, parameters, arguments, level) \
  static result name parameters { return name##_impl arguments; }
#include "simd/kernel_list.h"
#undef PLOVEK_KERNEL

  // Kernels that code compiled at this level inlines (the balancing step).
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
  // Not inlined: in a balancing step's loop, its own call runs faster.
  [[gnu::noinline]] static kernels::Placement place_from_dots(const float* dots, const float* centroid_norms,
                                                              float point_norm,
                                            const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                            float switch_limit) {
    return place_from_dots_impl(dots, centroid_norms, point_norm, sizes, k, home, size_penalty, switch_limit);
  }
};
