// Every kernel of the scalar level, gathered in `Kernels`: the reference definitions
// that the vector levels match bit for bit. Every product is rounded to f32 before it
// is added; each kind of dot product sums in its own fixed order (kernels.h).
// Included by foreach_level.h inside namespace plovek::scalar; no include guard.

struct Kernels {
  // The scalar panels hold one centroid each: plain rows.
  static constexpr std::size_t kPanelWidth = 1;
  // Every dot product here rounds its products: nothing needs checking.
  static constexpr bool kFusedCentroidDots = false;
  // For non-negative floats the bit patterns order as the values do, NaN above
  // infinity; a plain loop, which vectorises at this level with unsigned maxima.
  static std::uint32_t largest_magnitude_bits(const float* values, std::size_t count) {
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) largest = std::max(largest, std::bit_cast<std::uint32_t>(values[i]) & 0x7fffffffu);
    return largest;
  }
  static float dot(const float* x, const float* y, std::size_t d) {
    return row_dot_order(d, [&](std::size_t t) { return x[t] * y[t]; });
  }
  static float squared_distance(const float* x, const float* y, std::size_t d) {
    return row_dot_order(d, [&](std::size_t t) {
      const float delta = x[t] - y[t];
      return delta * delta;
    });
  }
  static void nearest_centroids(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                                std::size_t count, const float* point_norms, std::uint64_t* labels,
                                const kernels::NearestScores* scores) {
    nearest_of_rows(panels, count, [&](std::size_t r) { return x + static_cast<std::ptrdiff_t>(r) * ldx; },
                    point_norms, labels, scores);
  }
  static void nearest_listed(const kernels::CentroidPanels& panels, const float* const* rows, std::size_t count,
                             const float* point_norms, std::uint64_t* labels, const kernels::NearestScores* scores) {
    nearest_of_rows(panels, count, [&](std::size_t r) { return rows[r]; }, point_norms, labels, scores);
  }
  template <class RowAt>
  static void nearest_of_rows(const kernels::CentroidPanels& panels, std::size_t count, RowAt row_at,
                              const float* point_norms, std::uint64_t* labels, const kernels::NearestScores* scores) {
    const std::size_t k = panels.k();
    const float* norms = panels.euclidean() ? panels.score_bias() : nullptr;
    std::vector<float> dots(k);
    for (std::size_t r = 0; r < count; ++r) {
      centroid_dots(panels, row_at(r), 0, 1, dots.data());
      labels[r] = kernels::nearest_by_rule(dots.data(), norms, k, norms ? point_norms[r] : 0.0f,
                                           scores ? scores->index_of : nullptr);
      if (scores) record_costs(dots.data(), norms, k, labels[r], r, *scores);
    }
  }
  // One centroid per panel: the costs with rounded products, scanned in order.
  static void nearest_in_panels(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                std::size_t last_panel, const float* const* rows, const float* limits,
                                std::size_t count, kernels::RangeNearest* out) {
    const float* norms = panels.euclidean() ? panels.score_bias() : nullptr;
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    for (std::size_t r = 0; r < count; ++r) {
      kernels::RangeNearest result{.best = kInfinity, .second = kInfinity, .position = 0};
      for (std::size_t j = first_panel; j < last_panel; ++j) {
        const float dot = ascending_dot(rows[r], panels.panel(j), panels.d());
        const float cost = norms ? norms[j] - 2.0f * dot : -dot;
        if (cost < result.best) {
          result.second = result.best;
          result.best = cost;
          result.position = static_cast<std::uint32_t>(j);
        } else {
          result.second = std::min(result.second, cost);
        }
      }
      if (!(result.best <= limits[r])) result.second = kInfinity, result.position = kernels::RangeNearest::kNone;
      out[r] = result;
    }
  }
  // The scores here are the rounded products' own: every centroid of the range offered.
  static void rescore_near_ties(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                std::size_t last_panel, const float* const* rows, const float* point_norms,
                                const float*, std::size_t count, const std::uint32_t* index_of,
                                kernels::NearestSoFar* out) {
    const float* norms = panels.euclidean() ? panels.score_bias() : nullptr;
    for (std::size_t r = 0; r < count; ++r) {
      for (std::size_t j = first_panel; j < last_panel; ++j) {
        const float dot = ascending_dot(rows[r], panels.panel(j), panels.d());
        kernels::offer_by_rule(out[r], dot, norms, static_cast<std::uint32_t>(j), point_norms[r], index_of);
      }
    }
  }
  static void centroid_dots(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                            std::size_t count, float* out) {
    const std::size_t k = panels.k(), d = panels.d();
    for (std::size_t r = 0; r < count; ++r) {
      const float* point = x + static_cast<std::ptrdiff_t>(r) * ldx;
      for (std::size_t j = 0; j < k; ++j) out[r * k + j] = ascending_dot(point, panels.panel(j), d);
    }
  }
  static void exact_point_dots(const kernels::CentroidPanels& panels, const float* x, float* out) {
    centroid_dots(panels, x, 0, 1, out);
  }
  static void paired_point_dots(const kernels::CentroidPanels& panels, const float* x, float* out) {
    for (std::size_t j = 0; j < panels.k(); ++j) out[j] = paired_lane_dot(panels.panel(j), x, panels.d());
  }
  static void paired_block_dots(const kernels::CentroidPanels& panels, std::size_t first, std::size_t last,
                                const float* const* rows, std::size_t count, float* out, std::size_t ldo) {
    for (std::size_t r = 0; r < count; ++r)
      for (std::size_t j = first; j < last; ++j)
        out[r * ldo + j - first] = paired_lane_dot(panels.panel(j), rows[r], panels.d());
  }
  // The even and the odd elements in two chains, added at the end.
  static float paired_lane_dot(const float* c, const float* x, std::size_t d) {
    float even = 0.0f, odd = 0.0f;
    std::size_t t = 0;
    for (; t + 2 <= d; t += 2) {
      even += x[t] * c[t];
      odd += x[t + 1] * c[t + 1];
    }
    if (t < d) even += x[t] * c[t];
    return even + odd;
  }
  static void quotient_into_panel(float* panel, std::size_t, const float* sum, float divisor, float* row,
                                  std::size_t d) {
    for (std::size_t t = 0; t < d; ++t) row[t] = panel[t] = sum[t] / divisor;
  }
  static void row_into_panel(float* panel, std::size_t, const float* row, std::size_t d) {
    std::copy(row, row + d, panel);
  }
  static void store_lane(float* values, std::size_t j, std::size_t, float value) { values[j] = value; }

  static kernels::Placement place_from_dots(const float* dots, const float* centroid_norms, float point_norm,
                                            const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                            float /*switch_limit: exact here*/) {
    return kernels::place_by_scan(dots, centroid_norms, point_norm, sizes, k, home, size_penalty);
  }

  // A single lane: no bound short of the largest score.
  static bool score_and_bound(float* dots, const float* centroid_norms, float point_norm, std::size_t k,
                              std::size_t, float& bound) {
    unsigned unordered = 0;  // an OR, not a chain of branches
    for (std::size_t j = 0; j < k; ++j) {
      dots[j] = kernels::score_from_dot(dots[j], centroid_norms, j, point_norm);
      unordered |= static_cast<unsigned>(dots[j] != dots[j]);
    }
    bound = std::numeric_limits<float>::infinity();
    return unordered == 0;
  }
  static std::size_t indices_at_most(const float* values, std::size_t count, float bound, std::uint32_t* out) {
    std::size_t found = 0;
    for (std::size_t j = 0; j < count; ++j)
      if (values[j] <= bound) out[found++] = static_cast<std::uint32_t>(j);
    return found;
  }
  static std::uint64_t at_most_shifted(const float* values, const float* offsets, const std::uint8_t* rows,
                                       std::size_t stride, float limit, float scale, std::size_t count) {
    std::uint64_t found = 0;
    for (std::size_t j = 0; j < count; ++j) {
      const float offset = rows == nullptr ? offsets[j] : offsets[rows[j] * stride + j];
      const float shift = scale * offset;
      const float bound = (limit + shift) + (std::abs(limit) + shift) * kernels::kShiftedMargin;
      found |= std::uint64_t{!(values[j] > bound)} << j;
    }
    return found;
  }
  static float store_lower_bounds(const float* scores, float base, bool root, const float* offsets, float scale,
                                  float* bounds, std::size_t count) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity(), kStep = kernels::kShiftedMargin;
    float least = kInfinity;
    for (std::size_t j = 0; j < count; ++j) {
      const float score = scores[j], shift = scale * offsets[j];
      float bound = (score + base) - (std::abs(score) + std::abs(base)) * kStep;
      if (root) bound = std::sqrt(bound > 0.0f ? bound : 0.0f) * (1.0f - kStep);
      float stored = bound + shift;
      stored = stored - (std::abs(bound) + shift) * kStep;
      if (score == kInfinity) stored = kInfinity;
      if (score == score) bounds[j] = stored;
      const float now = (bounds[j] - shift) - (std::abs(bounds[j]) + shift) * kStep;
      if (now < least) least = now;  // NaN (from +infinity) never counts
    }
    return least;
  }
  static void first_by_score(const float* scores, const std::uint32_t* candidates, std::size_t found,
                             std::size_t take, std::uint64_t* chosen) {
    // order[0 .. kept) stays sorted nearest-first. Candidates arrive in ascending index
    // order, so a newcomer goes after every kept cluster of equal score, and enters a
    // full list only when strictly nearer than its last entry.
    std::uint32_t order[kernels::kFirstByScoreMost];
    std::size_t kept = 0;
    float worst = std::numeric_limits<float>::infinity();  // the last kept score once the list is full
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
  static void add_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                                std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
    for (std::size_t r = 0; r < count; ++r) {
      if (labels[r] < first || labels[r] >= last) continue;
      double* acc = sums + (labels[r] - first) * d;
      const float* row = rows + static_cast<std::ptrdiff_t>(r) * ldx;
      for (std::size_t t = 0; t < d; ++t) acc[t] += static_cast<double>(row[t]);
    }
  }
  static double squared_distance_f64(const float* x, const float* y, std::size_t d) {
    double sum = 0.0;
    for (std::size_t t = 0; t < d; ++t) {
      const double step = static_cast<double>(x[t]) - static_cast<double>(y[t]);
      sum += step * step;
    }
    return sum;
  }
  static kernels::SquareAndDot square_and_dot_f64(const float* x, const double* y, std::size_t d) {
    kernels::SquareAndDot result;
    for (std::size_t t = 0; t < d; ++t) {
      const double value = static_cast<double>(x[t]);
      result.square += value * value;
      result.dot += value * y[t];
    }
    return result;
  }
 private:
  // Point r's costs for NearestScores: its label's, the least of the others' and of
  // each group's.
  static void record_costs(const float* dots, const float* norms, std::size_t k, std::uint64_t label, std::size_t r,
                           const kernels::NearestScores& scores) {
    const auto cost = [&](std::size_t j) { return norms ? norms[j] - 2.0f * dots[j] : -dots[j]; };
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    scores.best[r] = cost(label);
    scores.second[r] = kInfinity;
    for (std::size_t j = 0; j < k; ++j)
      if (j != label) scores.second[r] = std::min(scores.second[r], cost(j));
    if (!scores.group_least) return;
    const std::size_t groups = scores.group_count(k);
    float* least = scores.group_least + r * groups;
    std::fill_n(least, groups, kInfinity);
    for (std::size_t j = 0; j < k; ++j) least[j / scores.group_size] = std::min(least[j / scores.group_size], cost(j));
  }
  // The rounded products product(t) in the row dot order (kernels.h), a last partial
  // group padded with zero products as the vector levels pad it.
  template <class Product>
  static float row_dot_order(std::size_t d, Product product) {
    constexpr std::size_t P = kernels::kRowDotPartials;
    float partial[P] = {};
    for (std::size_t t = 0; t < (d + P - 1) / P * P; ++t) partial[t % P] += t < d ? product(t) : 0.0f;
    for (std::size_t l = 0; l < 8; ++l) partial[l] += partial[l + 8];
    for (std::size_t l = 0; l < 4; ++l) partial[l] += partial[l + 4];
    return (partial[0] + partial[2]) + (partial[1] + partial[3]);
  }
  static float ascending_dot(const float* x, const float* y, std::size_t d) {
    float sum = 0.0f;
    for (std::size_t t = 0; t < d; ++t) sum += x[t] * y[t];
    return sum;
  }
};
