// The fused balancing steps of mean_balance_steps.h, written once over the vector
// traits `V` and compiled once per SIMD level, after panel_kernels_body.h (point_dots,
// quotient_into_panel_impl) and row_arithmetic_body.h. Step for step the arithmetic
// of BalanceRun::point_step in mean mode with the Euclidean metric, with one change of
// order only: the refresh a point that stays would get is computed before its
// placement is known, and kept if it stays.
//
// No include guard: each level's translation unit includes it once.

// values[j] = value, written as the whole vector the placement scan will load (a
// narrower store would make that load wait until the store has reached the cache);
// `count` bounds the vectors that may be written whole.
inline void store_lane(float* values, std::size_t j, std::size_t count, float value) {
  const std::size_t first = j & ~(V::kLanes - 1);
  if (first + V::kLanes > count) {
    values[j] = value;
    return;
  }
  V::store(values + first, V::with_lane(V::load(values + first), j - first, value));
}

// c . x in the order of one lane of point_dots<2>: the even and the odd elements in
// two chains of multiply-adds, added at the end.
inline float paired_lane_dot(const float* c, const float* x, std::size_t d) {
  float even = 0.0f, odd = 0.0f;
  std::size_t t = 0;
  for (; t + 2 <= d; t += 2) {
    even = std::fma(x[t], c[t], even);
    odd = std::fma(x[t + 1], c[t + 1], odd);
  }
  if (t < d) even = std::fma(x[t], c[t], even);
  return even + odd;
}

// Centroid j = sums[j] / divisor: its row, its panel lane and its squared norm (in the
// order of `dot`, as CentroidPanels stores it).
inline void refresh_mean_centroid(kernels::CentroidPanels& panels, std::size_t j, const float* sums, float divisor,
                                  float* centroids) {
  const std::size_t d = panels.d();
  float* row = centroids + j * d;
  quotient_into_panel_impl(panels.panel_of(j), panels.lane_of(j), sums + j * d, divisor, row, d);
  store_lane(panels.writable_score_bias(), j, panels.panel_count() * panels.width(), V::self_dot(row, d));
}

// The largest k * d at which the home centroid's lane is left until the dots are done
// (measured: k = 50 with d = 8, 16, 24 gained 16%, 5%, 6%; k * d = 3,200 lost 1-9%,
// and broke even once a stay's refresh was computed ahead).
constexpr std::size_t kFewDots = 2048;

// The home cluster with the point put back in, as the target refresh of a point that
// stays computes it: its sum, its centroid row and that row's squared norm.
struct StayRefresh {
  float* sum;
  float* row;
  float size;
  float norm;
};

// The largest d whose stay scratch lives on the stack.
constexpr std::size_t kStayOnStack = 256;

inline StayRefresh prepare_stay(const float* home_sum, const float* x, float reduced_size, float* scratch,
                                std::size_t d) {
  StayRefresh stay{scratch, scratch + d, reduced_size + 1.0f, 0.0f};
  std::copy(home_sum, home_sum + d, stay.sum);
  add_row_impl(stay.sum, x, d);
  divide_row_impl(stay.sum, stay.size, stay.row, d);
  stay.norm = V::self_dot(stay.row, d);
  return stay;
}

void mean_balance_steps_impl(kernels::MeanBalanceSteps& s, std::size_t first, std::size_t last) {
  // Everything in locals: the stores of a step cannot then be taken to change them.
  kernels::CentroidPanels& panels = *s.panels;
  const std::size_t d = panels.d(), k = panels.k();
  const std::size_t padded_k = panels.panel_count() * panels.width();
  const float* const rows = s.rows;
  const std::ptrdiff_t row_stride = s.row_stride;
  const float* const point_norms = s.point_norms;
  std::uint64_t* const labels = s.labels;
  float* const sizes = s.sizes;
  float* const sums = s.sums;
  float* const centroids = s.centroids;
  float* const dots = s.dots;
  float* const distances = s.distances;
  // The stay's scratch: on the stack for rows of up to kStayOnStack values (at
  // d = 32 that measured 4-5% faster per step than the same buffer on the heap).
  alignas(64) float stay_on_stack[2 * kStayOnStack];
  float* const stay_scratch = d <= kStayOnStack ? stay_on_stack : s.stay;
  float* const norms = panels.writable_score_bias();
  const float size_penalty = s.size_penalty;
  float next_size_penalty = s.next_size_penalty;
  // With few dot products a step is bound by latency, and the dots need not wait for
  // the refreshed home centroid's lane to reach memory: its dot product is computed
  // on the side. With many, a step is bound by its instruction count, which that adds
  // to.
  const bool few_dots = k * d <= kFewDots;
  for (std::size_t i = first; i < last; ++i) {
    const float* x = rows + static_cast<std::ptrdiff_t>(i) * row_stride;
    const std::size_t home = static_cast<std::size_t>(labels[i]);
    const float home_size = sizes[home];

    subtract_row_impl(sums + home * d, x, d);
    // A sole member leaves its cluster's centroid as it was.
    const bool refresh_home = home_size > 1.0f;
    const bool home_lane_later = refresh_home && few_dots;
    float* const home_row = centroids + home * d;
    if (home_lane_later) {
      divide_row_impl(sums + home * d, home_size - 1.0f, home_row, d);
    } else if (refresh_home) {
      refresh_mean_centroid(panels, home, sums, home_size - 1.0f, centroids);
    }
    const float reduced_size = balancing::reduced_home_size(home_size);
    store_lane(sizes, home, k, reduced_size);

    point_dots<2>(panels, x, dots);
    if (home_lane_later) {
      // The dots above saw the home centroid as it was; its own dot product, exactly
      // as its lane gives it, and its norm follow. Its lane is written only if the
      // point leaves: a stay overwrites it.
      store_lane(dots, home, k, paired_lane_dot(home_row, x, d));
      store_lane(norms, home, padded_k, V::self_dot(home_row, d));
    }
    // Most points stay, so the stay's refresh is computed before the placement
    // decides: a stay then leaves only stores to do, and the next step need not wait
    // for a division that waits for the placement.
    const StayRefresh stay = prepare_stay(sums + home * d, x, reduced_size, stay_scratch, d);
    const kernels::Placement placement = V::place_from_dots(dots, norms, point_norms[i], sizes, k, home,
                                                            size_penalty, next_size_penalty, distances);
    next_size_penalty = balancing::lower_next_penalty(size_penalty, next_size_penalty, placement.switch_penalty);

    const std::size_t target = placement.target;
    if (target == home) {
      sizes[home] = stay.size;
      std::copy(stay.sum, stay.sum + d, sums + home * d);
      std::copy(stay.row, stay.row + d, home_row);
      row_into_lane(panels.panel_of(home), panels.lane_of(home), stay.row, d);
      store_lane(norms, home, padded_k, stay.norm);
    } else {
      if (home_lane_later) row_into_lane(panels.panel_of(home), panels.lane_of(home), home_row, d);
      sizes[target] = sizes[target] + 1.0f;
      add_row_impl(sums + target * d, x, d);
      refresh_mean_centroid(panels, target, sums, sizes[target], centroids);
    }
    sizes[home] = sizes[home] - balancing::residual_share;
    labels[i] = target;
  }
  s.next_size_penalty = next_size_penalty;
}
