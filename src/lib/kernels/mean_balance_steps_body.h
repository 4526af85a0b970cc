// The fused balancing steps of mean_balance_steps.h, written once over the vector
// traits `V` and compiled once per SIMD level, after panel_kernels_body.h (point_dots,
// quotient_into_panel_impl) and row_arithmetic_body.h. Step for step the arithmetic
// of BalanceRun::point_step in mean mode with the Euclidean metric.
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

// Centroid j = sums[j] / divisor: its row, its panel lane and its squared norm (in the
// order of `dot`, as CentroidPanels stores it).
inline void refresh_mean_centroid(kernels::CentroidPanels& panels, std::size_t j, const float* sums, float divisor,
                                  float* centroids) {
  const std::size_t d = panels.d();
  float* row = centroids + j * d;
  quotient_into_panel_impl(panels.panel_of(j), panels.lane_of(j), sums + j * d, divisor, row, d);
  store_lane(panels.writable_score_bias(), j, panels.panel_count() * panels.width(), V::self_dot(row, d));
}

void mean_balance_steps_impl(kernels::MeanBalanceSteps& s, std::size_t first, std::size_t last) {
  // Everything in locals: the stores of a step cannot then be taken to change them.
  kernels::CentroidPanels& panels = *s.panels;
  const std::size_t d = panels.d(), k = panels.k();
  const float* const rows = s.rows;
  const std::ptrdiff_t row_stride = s.row_stride;
  const float* const point_norms = s.point_norms;
  std::uint64_t* const labels = s.labels;
  float* const sizes = s.sizes;
  float* const sums = s.sums;
  float* const centroids = s.centroids;
  float* const dots = s.dots;
  float* const distances = s.distances;
  const float size_penalty = s.size_penalty;
  float next_size_penalty = s.next_size_penalty;
  for (std::size_t i = first; i < last; ++i) {
    const float* x = rows + static_cast<std::ptrdiff_t>(i) * row_stride;
    const std::size_t home = static_cast<std::size_t>(labels[i]);
    const float home_size = sizes[home];

    subtract_row_impl(sums + home * d, x, d);
    // A sole member leaves its cluster's centroid as it was.
    if (home_size > 1.0f) refresh_mean_centroid(panels, home, sums, home_size - 1.0f, centroids);
    store_lane(sizes, home, k, balancing::reduced_home_size(home_size));

    point_dots<2>(panels, x, dots);
    const kernels::Placement placement = V::place_from_dots(dots, panels.score_bias(), point_norms[i], sizes, k, home,
                                                            size_penalty, next_size_penalty, distances);
    next_size_penalty = balancing::lower_next_penalty(size_penalty, next_size_penalty, placement.switch_penalty);

    const std::size_t target = placement.target;
    sizes[target] = sizes[target] + 1.0f;
    add_row_impl(sums + target * d, x, d);
    refresh_mean_centroid(panels, target, sums, sizes[target], centroids);
    sizes[home] = sizes[home] - balancing::residual_share;
    labels[i] = target;
  }
  s.next_size_penalty = next_size_penalty;
}
