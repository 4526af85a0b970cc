// The balancing point step, written once for every mode and compiled once per SIMD
// level: included through foreach_level.h (by balance.cpp) after the level's
// `Kernels`, whose dot products and placement scan it inlines. What differs between
// the modes is how a cluster's centroid is refreshed, a policy:
// - MeanEuclidean: the mean of the running sum, its panel lane and its squared norm;
// - MeanInnerProduct: the mean scaled to unit length, its panel lane;
// - Medoid: the nearest-member rule (out of line: it measures the cluster's members).
// Each policy performs the step's operations in the order the step defines them, so
// every level and mode gives the bits of the step-by-step definition.
// No include guard: included once per level.

namespace balance_step {

// The home cluster with the point put back in, as the target refresh of a point that
// stays computes it: its sum, its centroid row and that row's squared norm.
struct StayRefresh {
  float* sum;
  float* row;
  float size;
  float norm;
};

// The largest d whose stay scratch lives on the stack (faster than the heap buffer).
constexpr std::size_t kStayOnStack = 256;

// With up to this many dot products (k * d) a step is bound by latency rather than by
// its instruction count: the refreshed home centroid's lane is then written only after
// the dot products, which need not wait for it, and its dot product taken on the side.
// So it is with dot products computed ahead, where the step computes few itself.
constexpr std::size_t kFewDots = 2048;

// Sizes are counted by the step (in f32, or in double where balancing::needs_wide_counts);
// a mode sees a cluster's size only as the divisor of its mean, in f32.

// A centroid's lane: the panel holding it, and its lane there.
struct Lane {
  float* panel;
  std::size_t lane;
};

// Where the steps write the lanes of the centroids they change: in place, or, while dot
// products computed ahead read the panels, into each centroid's lane among the changed
// ones.
class Lanes {
 public:
  explicit Lanes(const balancing::StepState& s) : panels_(*s.panels), changed_(s.changed) {}

  Lane of(std::size_t j) {
    if (changed_ == nullptr) return {panels_.panel_of(j), panels_.lane_of(j)};
    const std::size_t q = changed_->lane(j);
    return {changed_->panels().panel_of(q), changed_->panels().lane_of(q)};
  }

 private:
  kernels::CentroidPanels& panels_;
  balancing::ChangedCentroids* changed_;
};

class MeanEuclidean {
 public:
  MeanEuclidean(const balancing::StepState& s, float* stay_scratch)
      : lanes_(s), d_(s.panels->d()), k_(s.panels->k()), padded_k_(s.panels->panel_count() * s.panels->width()),
        sums_(s.sums), centroids_(s.centroids), norms_(s.panels->writable_score_bias()),
        stay_scratch_(stay_scratch), few_dots_(k_ * d_ <= kFewDots || s.ahead_dots != nullptr) {}

  const float* centroid_norms() const { return norms_; }

  // The home centroid without the point (a sole member leaves it as it was).
  template <class Count>
  void leave(std::size_t home, Count home_size, const float* x) {
    kernels::subtract_row(sums_ + home * d_, x, d_);
    const bool refresh_home = home_size > Count{1};
    const float remaining = static_cast<float>(home_size - Count{1});
    home_lane_later_ = refresh_home && few_dots_;
    if (home_lane_later_) {
      kernels::divide_row(sums_ + home * d_, remaining, centroids_ + home * d_, d_);
    } else if (refresh_home) {
      refresh(home, remaining);
    }
  }

  // The dots saw the home centroid as it was; with its lane left for later, its own
  // dot product (exactly as its lane gives it) and its norm follow. Then the refresh a
  // stay gives the home cluster, computed before the placement decides (most points
  // stay): a stay then leaves only stores to do.
  void after_dots(std::size_t home, const float* x, float stay_size, float* dots) {
    const float* home_row = centroids_ + home * d_;
    if (home_lane_later_) {
      Kernels::store_lane(dots, home, k_, Kernels::paired_lane_dot(home_row, x, d_));
      Kernels::store_lane(norms_, home, padded_k_, Kernels::dot(home_row, home_row, d_));
    }
    stay_ = StayRefresh{.sum = stay_scratch_, .row = stay_scratch_ + d_, .size = stay_size, .norm = 0.0f};
    std::copy(sums_ + home * d_, sums_ + (home + 1) * d_, stay_.sum);
    kernels::add_row(stay_.sum, x, d_);
    kernels::divide_row(stay_.sum, stay_.size, stay_.row, d_);
    stay_.norm = Kernels::dot(stay_.row, stay_.row, d_);
  }

  void stay(std::size_t home, const float*, float) {
    std::copy(stay_.sum, stay_.sum + d_, sums_ + home * d_);
    std::copy(stay_.row, stay_.row + d_, centroids_ + home * d_);
    const Lane lane = lanes_.of(home);
    Kernels::row_into_panel(lane.panel, lane.lane, stay_.row, d_);
    Kernels::store_lane(norms_, home, padded_k_, stay_.norm);
  }

  void move(std::size_t home, std::size_t target, const float* x, float target_size) {
    if (home_lane_later_) {
      const Lane lane = lanes_.of(home);
      Kernels::row_into_panel(lane.panel, lane.lane, centroids_ + home * d_, d_);
    }
    kernels::add_row(sums_ + target * d_, x, d_);
    refresh(target, target_size);
  }

  void moved(std::size_t, std::size_t, std::size_t) {}

 private:
  // Centroid j = sums[j] / divisor: its row, its panel lane and its squared norm.
  void refresh(std::size_t j, float divisor) {
    float* row = centroids_ + j * d_;
    const Lane lane = lanes_.of(j);
    Kernels::quotient_into_panel(lane.panel, lane.lane, sums_ + j * d_, divisor, row, d_);
    Kernels::store_lane(norms_, j, padded_k_, Kernels::dot(row, row, d_));
  }

  Lanes lanes_;
  std::size_t d_, k_, padded_k_;
  float *sums_, *centroids_, *norms_;
  float* stay_scratch_;
  bool few_dots_;
  bool home_lane_later_ = false;
  StayRefresh stay_{};
};

class MeanInnerProduct {
 public:
  explicit MeanInnerProduct(const balancing::StepState& s)
      : lanes_(s), d_(s.panels->d()), sums_(s.sums), centroids_(s.centroids) {}

  const float* centroid_norms() const { return nullptr; }

  template <class Count>
  void leave(std::size_t home, Count home_size, const float* x) {
    kernels::subtract_row(sums_ + home * d_, x, d_);
    if (home_size > Count{1}) refresh(home, static_cast<float>(home_size - Count{1}));
  }
  void after_dots(std::size_t, const float*, float, float*) {}
  // When the point stays, the target's size still holds the residual share.
  void stay(std::size_t home, const float* x, float stay_size) { move(home, home, x, stay_size); }
  void move(std::size_t, std::size_t target, const float* x, float target_size) {
    kernels::add_row(sums_ + target * d_, x, d_);
    refresh(target, target_size);
  }
  void moved(std::size_t, std::size_t, std::size_t) {}

 private:
  // Centroid j = sums[j] / divisor scaled to unit length, and its panel lane.
  void refresh(std::size_t j, float divisor) {
    float* row = centroids_ + j * d_;
    kernels::divide_row(sums_ + j * d_, divisor, row, d_);
    scale_to_unit_length(std::span<float>(row, d_));
    const Lane lane = lanes_.of(j);
    Kernels::row_into_panel(lane.panel, lane.lane, row, d_);
  }

  Lanes lanes_;
  std::size_t d_;
  float *sums_, *centroids_;
};

// The point still carries its home label through its step, so it is one of the home
// cluster's members for the home refresh, and not yet one of a new target's.
class Medoid {
 public:
  explicit Medoid(const balancing::StepState& s)
      : norms_(s.panels->euclidean() ? s.panels->score_bias() : nullptr), run_(*s.run) {}

  const float* centroid_norms() const { return norms_; }

  template <class Count>
  void leave(std::size_t home, Count home_size, const float*) {
    if (home_size > Count{0}) run_.refresh_medoid(home);
  }
  void after_dots(std::size_t, const float*, float, float*) {}
  void stay(std::size_t home, const float* x, float stay_size) { move(home, home, x, stay_size); }
  void move(std::size_t, std::size_t target, const float*, float) { run_.refresh_medoid(target); }
  void moved(std::size_t point, std::size_t home, std::size_t target) {
    if (target != home) run_.medoid_moved(point, home, target);
  }

 private:
  const float* norms_;
  balancing::BalanceRun& run_;
};

// A cluster size as the step stores it: f32 sizes through the level's lane store, wide
// (double) counts plainly.
inline void store_size(float* sizes, std::size_t j, std::size_t k, float size) { Kernels::store_lane(sizes, j, k, size); }
inline void store_size(double* sizes, std::size_t j, std::size_t, double size) { sizes[j] = size; }

// The placement of a point: the level's scan over f32 sizes, or the wide-count scan.
inline kernels::Placement place(const float* dots, const float* centroid_norms, float point_norm, const float* sizes,
                                std::size_t k, std::size_t home, float size_penalty, float switch_limit) {
  return Kernels::place_from_dots(dots, centroid_norms, point_norm, sizes, k, home, size_penalty, switch_limit);
}
inline kernels::Placement place(const float* dots, const float* centroid_norms, float point_norm,
                                const double* sizes, std::size_t k, std::size_t home, float size_penalty, float) {
  return kernels::place_by_scan(dots, centroid_norms, point_norm, sizes, k, home, size_penalty);
}

// A point's dot products with every centroid: its own, or those computed ahead with
// the ones of the centroids changed since computed again.
class StepDots {
 public:
  explicit StepDots(const balancing::StepState& s)
      : panels_(*s.panels), own_(s.dots), ahead_(s.ahead_dots), ahead_first_(s.ahead_first), changed_(s.changed),
        changed_dots_(s.changed_dots) {}

  float* of(std::size_t i, const float* x) {
    if (ahead_ == nullptr) {
      Kernels::paired_point_dots(panels_, x, own_);
      return own_;
    }
    float* const dots = ahead_ + (i - ahead_first_) * panels_.k();
    const std::size_t count = changed_->count();
    if (count == 0) return dots;
    Kernels::paired_block_dots(changed_->panels(), 0, count, &x, 1, changed_dots_, count);
    for (std::size_t q = 0; q < count; ++q) dots[changed_->centroid(q)] = changed_dots_[q];
    return dots;
  }

 private:
  const kernels::CentroidPanels& panels_;
  float *own_, *ahead_;
  std::size_t ahead_first_;
  const balancing::ChangedCentroids* changed_;
  float* changed_dots_;
};

// Flattened: the kernels are inlined into the loop, so that a step makes no calls
// between them (at small d, calls took much of a step).
template <class Mode, class Count>
[[gnu::flatten]] void run_steps(balancing::StepState& s, Mode mode, Count* const sizes, std::size_t first,
                                std::size_t last) {
  // In locals (the mode holds its own): the stores of a step cannot then be taken to
  // change them.
  const kernels::CentroidPanels& panels = *s.panels;
  const std::size_t k = panels.k();
  const bool euclidean = panels.euclidean();
  // Rows read in place where they can be, without asking per step.
  const MatrixView data = s.data;
  float* const row_scratch = s.row_scratch;
  const float* const direct_rows = data.rows_are_direct() && data.rows() > 0 ? data.row(0, row_scratch) : nullptr;
  const std::ptrdiff_t row_stride = data.row_stride();
  const float* const point_norms = s.point_norms;
  std::uint64_t* const labels = s.labels;
  StepDots step_dots(s);
  const float size_penalty = s.size_penalty;
  float next_size_penalty = s.next_size_penalty;
  for (std::size_t i = first; i < last; ++i) {
    const float* x =
        direct_rows ? direct_rows + static_cast<std::ptrdiff_t>(i) * row_stride : data.row(i, row_scratch);
    const std::size_t home = static_cast<std::size_t>(labels[i]);
    const Count home_size = sizes[home];

    mode.leave(home, home_size, x);
    const Count reduced_size = balancing::reduced_home_size(home_size);
    store_size(sizes, home, k, reduced_size);

    float* const dots = step_dots.of(i, x);
    mode.after_dots(home, x, static_cast<float>(reduced_size + Count{1}), dots);
    // A switch penalty at or above the next size penalty changes nothing: it need not
    // be exact.
    const kernels::Placement placement = place(dots, mode.centroid_norms(), euclidean ? point_norms[i] : 0.0f, sizes,
                                               k, home, size_penalty, next_size_penalty);
    next_size_penalty = balancing::lower_next_penalty(size_penalty, next_size_penalty, placement.switch_penalty);

    // A point that stays joins its home cluster with the residual share still counted.
    const std::size_t target = placement.target;
    sizes[target] = sizes[target] + Count{1};
    const float target_size = static_cast<float>(sizes[target]);
    if (target == home) {
      mode.stay(home, x, target_size);
    } else {
      mode.move(home, target, x, target_size);
    }
    sizes[home] = sizes[home] - Count{balancing::residual_share};
    mode.moved(i, home, target);
    labels[i] = target;
  }
  s.next_size_penalty = next_size_penalty;
}

}  // namespace balance_step

// The point steps of points first .. last - 1, in the mode the state's record asks.
template <class Count>
void run_balance_steps_counting(balancing::StepState& s, Count* sizes, bool use_medoids, std::size_t first,
                                std::size_t last) {
  if (use_medoids) {
    balance_step::run_steps(s, balance_step::Medoid(s), sizes, first, last);
  } else if (s.panels->euclidean()) {
    alignas(64) float stay_on_stack[2 * balance_step::kStayOnStack];
    const bool on_stack = s.panels->d() <= balance_step::kStayOnStack;
    balance_step::run_steps(s, balance_step::MeanEuclidean(s, on_stack ? stay_on_stack : s.stay), sizes, first,
                            last);
  } else {
    balance_step::run_steps(s, balance_step::MeanInnerProduct(s), sizes, first, last);
  }
}

// The dot products of `count` points (rows[r]) with centroids first .. last - 1 (first
// a multiple of the panel width), as the steps compute them: out[r * ldo + j - first].
inline void balance_block_dots(const kernels::CentroidPanels& panels, std::size_t first, std::size_t last,
                               const float* const* rows, std::size_t count, float* out, std::size_t ldo) {
  Kernels::paired_block_dots(panels, first, last, rows, count, out, ldo);
}

// The rows kept by `changed` into the panels' lanes of its centroids that lie in
// first .. last - 1.
inline void write_changed_lanes(kernels::CentroidPanels& panels, const balancing::ChangedCentroids& changed,
                                std::size_t first, std::size_t last) {
  for (std::size_t q = 0; q < changed.count(); ++q) {
    const std::size_t j = changed.centroid(q);
    if (j < first || j >= last) continue;
    Kernels::row_into_panel(panels.panel_of(j), panels.lane_of(j), changed.row(q), panels.d());
  }
}

// The point steps of points first .. last - 1, in the mode the state's record asks,
// counting in f32 or, where f32 cannot count the sizes, in wide counts.
inline void run_balance_steps(balancing::StepState& s, bool use_medoids, std::size_t first, std::size_t last) {
  if (s.wide_sizes != nullptr) {
    run_balance_steps_counting(s, s.wide_sizes, use_medoids, first, last);
  } else {
    run_balance_steps_counting(s, s.sizes, use_medoids, first, last);
  }
}
