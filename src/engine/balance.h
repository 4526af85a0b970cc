// The balancing phase: its arithmetic rules, and its running state (BalanceRun).
// KMeans::balance_clusters drives a BalanceRun; the point step itself is written once
// for every mode in balance_step.h and compiled once per SIMD level.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "engine/kmeans.h"
#include "engine/matrix.h"
#include "engine/matrix_view.h"
#include "engine/medoid_rules.h"
#include "runtime/loop_stream.h"
#include "simd/centroid_panels.h"
#include "simd/kernels.h"

namespace plovek::balancing {

// Share of a leaving point that still counts toward its home cluster's size while its
// target is chosen.
inline constexpr float residual_share = 0.15f;
// Factor from an iteration's smallest switch penalty to the next size penalty.
inline constexpr float penalty_growth = 2.5f;
// Added to max_balance_diff in the stop test.
inline constexpr float balance_slack = 0.5f;

// Cluster sizes are counted in f32 as long as every size is a whole number f32 can
// still count, that is below 2^24: past it s - 1 rounds back to s and s + 1 stays at
// 2^24. With 2^24 points or more the phase counts in double instead (the same steps,
// exact for counts up to 2^53); the record's f32 sizes are written from them at the end.
inline bool needs_wide_counts(std::size_t n) { return n >= (std::size_t{1} << 24); }

// The home cluster's size while its leaving point's target is chosen: (s - 1) + 0.15,
// rounded after each operation (to f32, or to double for wide counts).
template <class Count>
Count reduced_home_size(Count s) {
  const Count without_point = s - Count{1};
  return without_point + Count{residual_share};
}


// A point's switch penalty lowers the iteration's candidate when it lies strictly
// between the current size penalty and the candidate so far.
inline float lower_next_penalty(float size_penalty, float next_size_penalty, float point_switch_penalty) {
  if (size_penalty < point_switch_penalty && point_switch_penalty < next_size_penalty) {
    return point_switch_penalty;
  }
  return next_size_penalty;
}

// The stop-test limit: max_balance_diff as f32 (to nearest), plus the slack.
inline float spread_limit(std::uint64_t max_balance_diff) {
  return static_cast<float>(max_balance_diff) + balance_slack;
}

// Largest minus smallest cluster size (0 for no clusters).
template <class Count>
Count size_spread(const std::vector<Count>& sizes) {
  if (sizes.empty()) return Count{0};
  Count smallest = sizes[0];
  Count largest = sizes[0];
  for (const Count size : sizes) {
    if (size < smallest) smallest = size;
    if (size > largest) largest = size;
  }
  return largest - smallest;
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

class BalanceRun;

// The centroids changed since a block's dot products were computed ahead, in the order
// of their first change, each with a lane of its own in small panels: while the block
// dot products read the record's panels, the steps write a changed centroid's lane here
// instead, and compute its dot products from here.
class ChangedCentroids {
 public:
  // Room for `capacity` centroids of d values, packed at the active level.
  ChangedCentroids(std::size_t k, std::size_t d, std::size_t capacity, bool euclidean);

  // Centroid j's lane here, taken at its first change.
  std::size_t lane(std::size_t j) {
    std::uint32_t& lane = lane_of_[j];
    if (lane == kUnchanged) {
      lane = static_cast<std::uint32_t>(count_);
      centroids_[count_++] = static_cast<std::uint32_t>(j);
    }
    return lane;
  }
  std::size_t count() const { return count_; }
  // The centroid in lane q < count().
  std::size_t centroid(std::size_t q) const { return centroids_[q]; }
  // Keeps the current rows (`centroids`, row-major) of the changed centroids: row(q) for
  // the one in lane q, for writing their lanes elsewhere while the rows change on.
  void keep_rows(const float* centroids);
  const float* row(std::size_t q) const { return rows_.data() + q * d_; }
  kernels::CentroidPanels& panels() { return panels_; }
  const kernels::CentroidPanels& panels() const { return panels_; }
  // No centroid changed.
  void clear();

 private:
  static constexpr std::uint32_t kUnchanged = ~std::uint32_t{0};
  std::size_t d_;
  kernels::CentroidPanels panels_;
  std::vector<float> rows_;               // capacity x d, by lane
  std::vector<std::uint32_t> lane_of_;    // per centroid, kUnchanged until it changes
  std::vector<std::uint32_t> centroids_;  // per lane
  std::size_t count_ = 0;
};

// Everything a run of point steps reads and writes; the steps update it in place.
struct StepState {
  kernels::CentroidPanels* panels;  // the centroids, packed, with c.c for the Euclidean metric
  MatrixView data;
  float* row_scratch;               // d values, for rows that are not read in place
  const float* point_norms;         // x.x per point (Euclidean metric)
  std::uint64_t* labels;            // per point, rewritten by its step
  float* sizes;                     // k cluster sizes, counted in f32 ...
  double* wide_sizes;               // ... or, when not null, in double (needs_wide_counts)
  float* sums;                      // k x d running sums of the members' rows (mean mode)
  float* centroids;                 // k x d, row-major
  float* dots;                      // k values of scratch
  float* stay;                      // 2 * d values of scratch
  float size_penalty;
  float next_size_penalty;          // lowered by the steps
  BalanceRun* run;                  // the medoid refreshes (medoid mode)
  // With dot products computed ahead (mean mode): k per point from point ahead_first on,
  // against the panels, which then stay as they are; the centroids changed since go to
  // `changed`, and their dot products (changed->count() of them) to `changed_dots`.
  float* ahead_dots = nullptr;
  std::size_t ahead_first = 0;
  ChangedCentroids* changed = nullptr;
  float* changed_dots = nullptr;
};

// The running state of one balancing phase over the record's labels, sizes and
// centroids. Every buffer a point step needs is allocated here, once.
class BalanceRun {
 public:
  // Builds the running per-cluster sums from the current labels (mean mode) and packs
  // the centroids (with their squared norms for the Euclidean metric); `blocks` says
  // whether the iterations compute dot products ahead.
  BalanceRun(KMeans& model, const MatrixView& data, std::span<const float> point_norms,
             BalanceBlocks blocks = BalanceBlocks::WherePaying);

  // The point steps of points first .. last - 1, in order. A step takes the point out
  // of its home cluster, chooses its target under the current size penalty, puts it
  // in, refreshes both centroids, and lowers the iteration's next size penalty if the
  // point allows.
  void run_steps(std::size_t first, std::size_t last);

  // One balance iteration: next penalty reset to +infinity, then point steps 0..n-1,
  // with cancellation points between runs of them when `cancellation` is given.
  void run_iteration(CancellationPoints* cancellation = nullptr);
  // Mean-mode steps between two cancellation points: a few microseconds of work. A
  // medoid step can take far longer, so there is one after each.
  static constexpr std::size_t kMeanStepsPerPoll = 64;
  // Points per block whose dot products an iteration computes ahead (0: none, each step
  // computes its own).
  std::size_t block_points() const { return block_points_; }

  // Largest minus smallest cluster size, as counted.
  double size_spread() const;
  // Leaves the record's f32 sizes as the phase counted them.
  void store_sizes();

  float size_penalty() const { return size_penalty_; }
  void set_size_penalty(float value) { size_penalty_ = value; }
  float next_size_penalty() const { return next_size_penalty_; }

  // For the steps in medoid mode: the nearest-member rule for `cluster`, its row
  // repacked into the panels; and point `point` moving from cluster `from` to another
  // one, `to`, as its label changes.
  void refresh_medoid(std::size_t cluster);
  void medoid_moved(std::size_t point, std::size_t from, std::size_t to);

 private:
  // A block of points and their dot products with every centroid, computed ahead.
  struct AheadBlock {
    std::size_t first = 0;
    std::size_t count = 0;
    std::vector<const float*> rows;
    std::vector<float> row_copies;  // for rows that are not read in place
    std::vector<float> dots;        // count x k
  };

  StepState step_state();
  void run_state_steps(StepState& state, std::size_t first, std::size_t last);
  void run_iteration_in_blocks(CancellationPoints* cancellation);
  void run_block_steps(AheadBlock& block, std::size_t first, std::size_t last);
  // Starts the dot products of points first.. (a block, or fewer at the end) on the pool,
  // the panels first brought up to date with the rows kept by changed_[1].
  void compute_ahead(AheadBlock& block, std::size_t first, LoopStream& stream);
  // The block's dot products with the centroids in `changed`, computed again.
  void recompute_changed_dots(AheadBlock& block, const ChangedCentroids& changed);
  // The panels brought up to date with every changed centroid (the sets then emptied).
  void bring_panels_up_to_date();

  KMeans& model_;
  MatrixView data_;
  std::span<const float> point_norms_;
  std::size_t k_;
  std::size_t d_;
  Matrix cluster_sums_;
  std::vector<double> wide_sizes_;  // the sizes, with needs_wide_counts; else the record's
  float size_penalty_ = 0.0f;
  float next_size_penalty_ = std::numeric_limits<float>::infinity();
  // The centroids packed for the dot-product kernel; each point step repacks only the
  // two rows it changes.
  kernels::CentroidPanels panels_;
  std::vector<float> dots_;
  std::vector<float> row_scratch_;
  std::vector<float> stay_scratch_;
  medoids::Scratch medoid_scratch_;
  // Medoid mode: the members and outcomes behind the nearest-member rule.
  std::optional<medoids::NearestMemberTracker> nearest_members_;
  // Iterations in blocks (run_iteration_in_blocks): two blocks, one computed ahead while
  // the other's steps run; the centroids changed in the current block ([0]) and in the
  // one before ([1]); scratch for their dot products.
  std::size_t block_points_ = 0;
  // Whether a block's dot products are computed while the block before is stepped, and
  // whether one no worker has begun by its start is taken back (only where paying: a
  // fixed choice keeps to its way).
  bool overlap_blocks_ = true;
  bool take_back_idle_blocks_ = true;
  AheadBlock blocks_[2];
  // Two, swapped from block to block (held apart: their panels stay where kernels read them).
  std::vector<std::unique_ptr<ChangedCentroids>> changed_;
  std::vector<float> changed_dots_;
};

}  // namespace plovek::balancing
