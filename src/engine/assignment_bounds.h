// Bounds that let the training assignment skip the points whose label provably cannot
// change (Hamerly's scheme, made exact for f32 scores).
//
// Per point, with `a` its label: an upper bound on its real distance to centroid a and
// a lower bound on its real distance to every other centroid (Euclidean: |x - c|; inner
// product: -c.x). When the centroids move, each bound moves by the drift |c' - c| of
// its centroid (times |x| for the inner product): the own bound by a's, the other one
// by the largest among the others. A point keeps its label without a search when the
// bounds, widened by the f32 error of a score (ScoreErrorBound), still put every other
// centroid strictly behind its own: then the full search's rounded-product scores give
// the label strictly, with no tie to break. Otherwise one dot product with its own
// centroid may tighten the upper bound; the points still undecided are searched, and
// their best and runner-up scores give their new bounds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/matrix.h"
#include "engine/matrix_view.h"
#include "simd/fused_slack.h"

namespace plovek {

class AssignmentBounds {
 public:
  // For training on `data`; `point_norms` (x.x per row) when `euclidean`, else the
  // norms are computed here (the inner-product drift needs |x|). Nothing is allocated
  // before the first prepare().
  AssignmentBounds(const MatrixView& data, bool euclidean, std::span<const float> point_norms);

  // Whether bounds can pay with k clusters of d columns. Measured: below 1,024
  // multiply-adds per point a search costs no more than keeping its bounds, and below
  // 24 columns the bounds leave too many points open (k = 64..256 with d = 8 or 16 ran
  // 2-70% slower pruned).
  static bool pay_for(std::size_t k, std::size_t d) {
    return k >= 2 && d >= kLeastColumns && k * d >= kLeastSearchWork;
  }
  static constexpr std::size_t kLeastSearchWork = 1024, kLeastColumns = 24;

  // How an assignment uses the bounds: it skips what they prove and records the
  // searched points (Prune), searches every point and records it (Record), or searches
  // every point and leaves the bounds stale (Plain, while pruning does not pay).
  enum class Mode { Prune, Record, Plain };
  // Before each assignment, with the centroids it searches and the labels it starts
  // from (the last assignment's): measures how far each centroid moved since then and
  // picks the mode: Record for the first assignment or one cluster.
  Mode prepare(const Matrix& centroids, std::span<const std::uint64_t> labels);

  // What one worker's calls did, merged into the totals by `add`.
  struct Tally {
    std::uint64_t measured = 0, tightened = 0, tightened_kept = 0;
  };
  void add(const Tally& tally);

  // Whether point i (row `x`, label `label`) provably keeps its label against the
  // prepared centroids. Moves its bounds by the drift; may tighten them with one dot
  // product. Safe to call for different points in parallel.
  bool keeps_label(std::size_t i, std::uint64_t label, const float* x, Tally& tally);

  // Point i was searched: its new bounds from the search's best and runner-up scores
  // (kernels::NearestScores).
  void record(std::size_t i, float best, float second);

  // Point-centroid distances measured in the assignments since construction, and what
  // the full searches would have measured.
  std::uint64_t distances_measured() const { return measured_.load(std::memory_order_relaxed); }
  std::uint64_t distances_of_full_searches() const { return full_; }
  void count_searched(std::size_t points, Tally& tally) const { tally.measured += points * k_; }

  // The same two counts over every AssignmentBounds of the process destroyed so far
  // (for benchmarks: training keeps its bounds to itself).
  struct Totals {
    std::uint64_t measured = 0, of_full_searches = 0;
  };
  static Totals process_totals();
  ~AssignmentBounds();
  AssignmentBounds(const AssignmentBounds&) = delete;
  AssignmentBounds& operator=(const AssignmentBounds&) = delete;

  // Test hook: every later prepare() picks Plain: the full search alone.
  static void force_full_search_for_testing(bool force);

 private:
  // The per-point state, on first use.
  void set_up();
  void measure_drifts(const Matrix& centroids, bool first);
  // The mode of this assignment, from the last one's and how it went.
  Mode next_mode(bool no_bounds, std::span<const std::uint64_t> labels);
  // Whether the bounds just recorded would spare enough searches, tried on samples.
  bool predicted_to_pay(std::span<const std::uint64_t> labels) const;
  // The bounds of point i moved by the drift, optionally tightened, and whether they
  // prove its label.
  struct Test {
    double own, others;
    bool kept = false, tightened = false;
  };
  Test test(std::size_t i, std::uint64_t label, const float* x, bool tighten) const;

  // An assignment that searches more than this share of the distances does not pay.
  static constexpr double kMostSearched = 0.8;
  // The samples' share that may stay open for a first try (a pruned assignment that
  // searches it roughly breaks even).
  static constexpr double kMostPredicted = 0.9;
  static constexpr std::size_t kSamples = 512;

  bool euclidean_;
  std::size_t d_;
  std::size_t k_ = 0;
  MatrixView data_;
  std::span<const float> point_norms_;
  std::vector<float> own_norms_;  // inner product only
  std::vector<float> roots_;      // per point: at least the square root of its norm
  // Per point: the bound on its own centroid (upper) and on the others (lower).
  std::vector<float> own_, others_;
  // The centroids of the last assignment, their computed squared norms, and each
  // one's drift since the one before (double, rounded up).
  std::vector<float> centroids_;
  std::vector<float> centroid_norms_;
  std::vector<double> drift_;
  double largest_drift_ = 0.0, second_drift_ = 0.0;
  std::size_t largest_drift_index_ = 0;
  kernels::ScoreErrorBound error_;
  bool tighten_ = true;
  Mode mode_ = Mode::Record;
  std::uint64_t measured_before_ = 0;
  std::size_t plain_left_ = 0, next_wait_ = 1;
  std::atomic<std::uint64_t> measured_{0}, tightened_{0}, tightened_kept_{0};
  std::uint64_t full_ = 0;
};

}  // namespace plovek
