// The arithmetic of the balancing phase, in small pieces, and the phase's running
// state (BalanceRun). balance_clusters drives a BalanceRun; the pieces are exposed
// so that each rule can be exercised on its own.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "balance_rules.h"
#include "kernels/balance_scans.h"
#include "kernels/centroid_panels.h"
#include "kmeans.h"
#include "matrix.h"
#include "matrix_view.h"
#include "medoid_rules.h"

namespace plovek::balancing {

// The stop-test limit: max_balance_diff as f32 (to nearest), plus the slack.
inline float spread_limit(std::uint64_t max_balance_diff) {
  return static_cast<float>(max_balance_diff) + balance_slack;
}

// Largest minus smallest cluster size (0 for no clusters).
inline float size_spread(std::span<const float> sizes) {
  if (sizes.empty()) return 0.0f;
  float smallest = sizes[0];
  float largest = sizes[0];
  for (const float size : sizes.subspan(1)) {
    if (size < smallest) smallest = size;
    if (size > largest) largest = size;
  }
  return largest - smallest;
}

// The point's target and switch penalty from its distances and the current sizes (the
// home size already reduced): the cluster with the smallest placement cost
// distances[j] + size_penalty * sizes[j] (the lowest index on ties, under both
// metrics), and the smallest weight at which the point would rather join a smaller
// cluster than stay at home, (distances[j] - distances[home]) / (sizes[home] - sizes[j])
// over the smaller clusters with a non-zero gap (+infinity when there is none).
inline kernels::Placement place_point(std::span<const float> distances, std::span<const float> sizes,
                                      std::size_t home, float size_penalty) {
  return kernels::place_point(distances.data(), sizes.data(), distances.size(), home, size_penalty);
}

// The size penalty for the next balance iteration: 2.5 times the smallest switch
// penalty found above the current one. When the iteration found none, growing the
// current penalty instead of jumping to +infinity keeps every placement cost a
// number (infinity times an empty cluster's 0.0 would be NaN) while still making
// sizes matter more each round; from 0.0 it starts at the smallest normal f32.
inline float grown_size_penalty(float size_penalty, float next_size_penalty) {
  if (next_size_penalty == std::numeric_limits<float>::infinity()) {
    if (size_penalty == 0.0f) return std::numeric_limits<float>::min();
    return size_penalty * penalty_growth;
  }
  return next_size_penalty * penalty_growth;
}

// Since the penalty grows at least 2.5-fold per iteration, it eventually makes
// penalty * size overflow. The phase stops once size_penalty * n is no longer finite:
// a placement cost could then be infinite or NaN and no longer order the clusters.
// This bounds the number of balance iterations even when the spread cannot reach its
// limit (for instance a limit of 0.5 with n not a multiple of k).
inline bool size_penalty_usable(float size_penalty, std::size_t n) {
  return std::isfinite(size_penalty * static_cast<float>(n));
}

// The running state of one balancing phase over the record's labels, sizes and
// centroids. Every buffer a point step needs is allocated here, once.
class BalanceRun {
 public:
  // Builds the running per-cluster sums from the current labels and packs the
  // centroids (with their squared norms for the Euclidean metric).
  BalanceRun(KMeans& model, const MatrixView& data, std::span<const float> point_norms);

  // One point step for point i: take it out of its home cluster, choose its target
  // under the current size penalty, put it in, refresh both centroids, and lower the
  // iteration's next size penalty if the point allows.
  void point_step(std::size_t i);

  // How a balance iteration runs its point steps: fused per SIMD level where they
  // exist (mean mode, Euclidean metric, rows read in place, a vector level), or one
  // point_step call each (the reference the fused steps must match bit for bit).
  enum class StepPath { Fastest, PointByPoint };
  // Whether StepPath::Fastest runs fused steps for this phase.
  bool fused_steps_apply() const;
  // Fused steps between two cancellation points: a few microseconds of work. (The
  // point-by-point path has one after every step.)
  static constexpr std::size_t kFusedStepsPerPoll = 64;

  // One balance iteration: next penalty reset to +infinity, then point steps 0..n-1,
  // with cancellation points between them when `cancellation` is given.
  void run_iteration(CancellationPoints* cancellation = nullptr, StepPath path = StepPath::Fastest);

  float size_penalty() const { return size_penalty_; }
  void set_size_penalty(float value) { size_penalty_ = value; }
  float next_size_penalty() const { return next_size_penalty_; }
  const Matrix& cluster_sums() const { return cluster_sums_; }
  // The distances of the last point step, one per cluster.
  std::span<const float> distances() const { return distances_; }

 private:
  // Centroid `cluster` from its running sum / divisor (unit length for the inner
  // product), repacked into the panels.
  void refresh_mean_centroid(std::size_t cluster, float divisor);
  // The nearest-member rule for `cluster`, its row repacked into the panels.
  void refresh_medoid(std::size_t cluster);
  // Point steps first .. last - 1 through the fused kernel.
  void run_fused_steps(std::size_t first, std::size_t last);

  KMeans& model_;
  MatrixView data_;
  std::span<const float> point_norms_;
  std::size_t k_;
  std::size_t d_;
  Matrix cluster_sums_;
  float size_penalty_ = 0.0f;
  float next_size_penalty_ = std::numeric_limits<float>::infinity();
  // The point step's distances to every centroid.
  std::vector<float> distances_;
  // The centroids packed for the dot-product kernel, with c_j . c_j for the Euclidean
  // metric; each point step repacks only the two rows it changes.
  kernels::CentroidPanels panels_;
  std::vector<float> similarities_;
  std::vector<float> row_scratch_;
  // The fused steps' refresh of a point that stays, computed ahead (2 * d values).
  std::vector<float> stay_scratch_;
  medoids::Scratch medoid_scratch_;
  // Medoid mode: the members and outcomes behind the nearest-member rule.
  std::optional<medoids::NearestMemberTracker> nearest_members_;
};

}  // namespace plovek::balancing
