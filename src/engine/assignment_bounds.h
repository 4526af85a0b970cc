// Bounds that let the training assignment skip the distances that provably cannot
// change a label (Yinyang's scheme: one bound per group of nearby centroids, made exact
// for f32 scores).
//
// Per point, with `a` its label: an upper bound on its real distance to centroid a and,
// per group of centroids, a lower bound on its real distance to every member but a
// (Euclidean: |x - c|; inner product: -c.x). When the centroids move, the own bound
// grows by a's drift |c' - c| and a group's bound shrinks by the largest drift in the
// group (times |x| for the inner product). A group whose bound, widened by the f32
// error of a score (ScoreErrorBound), still puts every member strictly behind the own
// centroid needs no search: the full search's rounded-product scores rank them behind
// it, with no tie to break. A point with every group so proven keeps its label;
// otherwise one dot product with its own centroid may tighten the upper bound, and the
// groups still open are searched, its own group always among them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/centroid_groups.h"
#include "engine/drift_history.h"
#include "engine/group_set.h"
#include "engine/matrix.h"
#include "engine/matrix_view.h"
#include "engine/search_policy.h"
#include "simd/centroid_panels.h"
#include "simd/rounding_model.h"

namespace plovek {

class AssignmentBounds {
 public:
  // For training on `data`; `point_norms` (x.x per row) when `euclidean`, else the
  // norms are computed here (the inner-product drift needs |x|). Nothing is allocated
  // before the first prepare().
  AssignmentBounds(const MatrixView& data, bool euclidean, std::span<const float> point_norms);

  // Whether bounds can pay with k clusters of d columns: below 1,024 multiply-adds per
  // point a search costs no more than keeping its bounds, and below 24 columns the
  // bounds leave too many points open to pay for their upkeep (docs/design.md).
  static bool pay_for(std::size_t k, std::size_t d) {
    return k >= 2 && d >= kLeastColumns && k * d >= kLeastSearchWork;
  }
  static constexpr std::size_t kLeastSearchWork = 1024, kLeastColumns = 24;

  // Before each assignment, with the centroids it searches and the labels it starts
  // from (the last assignment's): measures how far each centroid moved since then and
  // asks `policy` for the mode, telling it what the sample points predict. Prune
  // without bounds recorded runs as Record.
  SearchMode prepare(const Matrix& centroids, std::span<const std::uint64_t> labels, const SearchPolicy& policy);
  // Whether the sample points are to be searched whole beside this (plain) assignment,
  // recording their bounds for the policy's next prediction; and which points they are.
  bool samples_wanted() const { return mode_ == SearchMode::Plain && predicts_; }
  std::size_t sample_count() const { return std::clamp<std::size_t>(own_.size() / kPointsPerSample, 1, kSamples); }
  std::size_t sample(std::size_t s) const { return s * own_.size() / sample_count(); }

  // The groups (formed from the first centroids, and again before every recording) and
  // the centroids of the last prepare() packed group after group (by every prepare(),
  // whatever the mode).
  const CentroidGroups& groups() const { return groups_; }
  const kernels::CentroidPanels& grouped_panels() const { return *grouped_panels_; }
  // Whether the groups keep the centroids in their order (one group): positions in the
  // grouped panels are then the centroids' indices, and those panels serve a plain
  // search as well.
  bool groups_in_order() const { return groups_in_order_; }
  // The panels [first, last) holding group g.
  std::size_t first_panel(std::size_t g) const { return g * panels_per_group_; }
  std::size_t last_panel(std::size_t g) const;

  // The centroids in the groups.
  std::size_t distances_in(GroupSet groups) const;

  // A point that its moved bounds leave open: its row within the screened rows and the
  // groups open (every group, with one).
  struct Screened {
    std::uint32_t row;
    GroupSet groups;
  };
  // In Prune mode, for rows first .. first + labels.size() - 1 with these labels (the
  // last assignment's): keeps the labels that the bounds, moved by the drift, prove
  // against the prepared centroids (storing the moved own bounds), without reading the
  // rows, and lists the other points in `open`, in row order. Safe to call for
  // different rows in parallel.
  void screen(std::size_t first, std::span<const std::uint64_t> labels, std::vector<Screened>& open);
  // In Prune mode, for point i (row `x`, label `label`) that screen() left open with
  // `groups`: the groups it must search, one bit each (its own group always among
  // them), or none when one dot product, tightening its own bound, proves its label
  // (counted in `measured`; tightening pauses where the sample points show that it
  // does not pay).
  GroupSet open_groups(std::size_t i, std::uint64_t label, const float* x, GroupSet groups,
                       std::uint64_t& measured);

  // A searched point's new bounds, from costs as kernels::RangeNearest gives them
  // (Euclidean c.c - 2 c.x, inner product -(c.x)), each an f32 score of the real one:
  // its label's cost is `own_cost`, and in each group g searched every member but the
  // label costs at least costs[g] (+infinity: no member but the label; NaN: group g
  // was not searched, its bound stays).
  void record(std::size_t i, float own_cost, const float* costs);
  // x.x of point i as the fused slack takes it.
  float point_norm(std::size_t i) const { return point_norms_[i]; }

  AssignmentBounds(const AssignmentBounds&) = delete;
  AssignmentBounds& operator=(const AssignmentBounds&) = delete;

 private:
  // The groups and the per-point state, on first use.
  void set_up(const Matrix& centroids);
  // The centroids' squared norms and the error bound of the scores they give.
  void measure_norms(const Matrix& centroids);
  // The groups of panels_per_group_ panels of `panel_width` centroids, formed from
  // these centroids, and whether they keep the centroids' order.
  void form_groups(const Matrix& centroids, std::size_t panel_width);
  // Before a recording: the groups formed again from these centroids (the first ones
  // have moved far since), their panels packed in the new order.
  void regroup(const Matrix& centroids);
  // Keeps this assignment's centroids in the history: the bounds stored in it are
  // stamped with it.
  void keep_in_history(const Matrix& centroids);
  // Every bound stored so far moved by the totals alone.
  void forget_stamps();
  // Packs the centroids into the grouped panels, in place, measuring each one's drift
  // against what the panels held (the last assignment's centroids).
  void pack_measuring_drifts(const Matrix& centroids, bool first);
  // The mode of this assignment, from the policy, told the last one's and what the
  // sample points predict.
  SearchMode next_mode(bool first, std::span<const std::uint64_t> labels, const SearchPolicy& policy);
  // A pruned assignment's cost as a share of a plain one, predicted from the bounds of
  // the sample points, and whether tightening pays in it.
  struct Prediction {
    double cost;
    bool tighten;
  };
  Prediction predict(std::span<const std::uint64_t> labels) const;
  // Point i's bounds moved by the drift: on its own centroid (upper) and on every other
  // one (lower), the error bound of its scores and the factor of its drifts.
  struct Moved {
    double own, others, error, scale;
  };
  Moved moved(std::size_t i, std::uint64_t label) const;
  // Whether the bound on every other centroid puts them all strictly behind an own
  // centroid at `own` (its square `own_square`); and the bound below which a group
  // must be searched.
  bool proves(const Moved& m, double own, double own_square) const {
    return euclidean_ ? (m.others > 0.0) & (m.others * m.others > own_square + 2.0 * m.error)
                      : m.others - own > 2.0 * m.error;
  }
  double limit(const Moved& m, double own, double own_square) const {
    return euclidean_ ? std::sqrt(own_square + 2.0 * m.error) : own + 2.0 * m.error;
  }
  // The groups that point i's moved bounds leave open (all, with one group; none when
  // they prove its label).
  GroupSet screened_groups(std::size_t i, std::uint64_t label) const;
  // A point's own bound tightened by one dot product, and the groups it leaves open
  // (its own group not added); the own bound is kept only when none is.
  struct Test {
    double own;
    GroupSet open;
  };
  // Groups the screening closed stay closed: its bounds proved them behind the label.
  Test tightened_test(std::size_t i, std::uint64_t label, const float* x, const GroupSet& screened) const;
  // The groups (of those `within`, where given) whose bound lies at or below `limit`
  // (moved to now: by the displacement where the bounds follow it, unless `by_totals`);
  // with one group, that group (its bound is the one on every other centroid, already
  // tested).
  GroupSet groups_open(std::size_t i, double limit, double scale, const GroupSet* within = nullptr,
                       bool by_totals = false) const;
  double drift_scale(std::size_t i) const { return euclidean_ ? 1.0 : error_.norm_bound(roots_[i]); }
  // What point i's bound on every other centroid moves by, per unit of its scale.
  double others_shift(std::size_t i) const {
    return follow_displacement_ ? history_.shift(others_stamps_[i]) : drift_total_;
  }

  // A pruned assignment's cost as a share of a plain one: the share of the distances
  // it measures, plus with several groups the upkeep of each point it opens (gathering
  // it, merging its groups' results, storing its bounds), about as much as 8,192
  // multiply-adds of search (at a quarter of the distances, with nearly every point
  // opened, a pruned assignment costs about as much as a plain one).
  static constexpr std::size_t kOpenedPointWork = 8192;
  // At most this many sample points, and one per kPointsPerSample points: searching
  // them beside a plain search costs at most a sixteenth of it.
  static constexpr std::size_t kSamples = 512, kPointsPerSample = 16;
  // What tightening one point's own bound costs besides its dot product, as
  // multiply-adds of search. With several groups it pays where the samples show it
  // sparing at least this much search per point tightened, counting a point that it
  // proves as its search and its upkeep (on data that settles slowly it spares too
  // little). With one group it pays where it proves at least a quarter of them.
  static constexpr std::size_t kTighteningWork = 4096;
  // At most this many groups, one bit each, and at most one bound per column (the
  // bounds stay within the size of the data, their stamps a quarter of it).
  static constexpr std::size_t kMostGroups = GroupSet::kMost;
  // The grouped panels' widest. Groups of 16 centroids rather than 32 leave fewer
  // distances to measure (on 250,000 whitened patches, k = 1,600: 31% rather than 40%),
  // and on a CPU that splits 512-bit operations in two (AMD Zen 4) AVX2's panels of 16
  // score as fast as AVX-512's: there, AVX2's. Where 512-bit operations run whole (an
  // Intel Xeon), AVX-512's panels of 32 score twice as fast, and the pruned training
  // of those patches took 0.78x the time.
  static std::size_t widest_grouped_panel();
  // Below this many multiply-adds per point's search, upkeep of more than one bound
  // costs more than it saves (one group: Hamerly's single lower bound).
  static constexpr std::size_t kLeastGroupedWork = 8192;
  // Testing a point's group bounds on the displacement as well as on the totals (a
  // gather per vector of groups) costs about 5 ns. It pays from this many
  // multiply-adds per point's search (on L1's blobs, k d = 16,384, it cost 7% where
  // pruned assignments measure 1-2% of the distances), and where a pruned assignment
  // is predicted to cost at least this share of a plain one (below, the totals already
  // prove nearly every label).
  static constexpr std::size_t kLeastDisplacementWork = 65536;
  static constexpr double kLeastCostForDisplacement = 0.1;

  bool euclidean_;
  std::size_t d_;
  std::size_t k_ = 0;
  MatrixView data_;
  std::span<const float> point_norms_;
  std::vector<float> own_norms_;  // inner product only
  std::vector<float> roots_;      // per point: at least the square root of its norm
  CentroidGroups groups_;
  std::size_t group_count_ = 0, panels_per_group_ = 0;
  bool groups_in_order_ = false;
  // Packed by every prepare(), so that they hold the last assignment's centroids until
  // the next one.
  std::unique_ptr<kernels::CentroidPanels> grouped_panels_;
  // Per point: the bound on its own centroid (upper), on every other centroid (lower)
  // and per group on its members but the label (lower); the lower ones stored plus
  // the drift total at the time of storing, so that moving them costs nothing until
  // they are read.
  std::vector<float> own_, others_, lower_;
  // Per bound on every other centroid and per group bound: the assignment it was stored
  // at, and the current assignment's stamp.
  std::vector<DriftHistory::Stamp> others_stamps_, lower_stamps_;
  DriftHistory::Stamp stamp_ = DriftHistory::kNoStamp;
  DriftHistory history_;
  // The centroids of this assignment (the caller's, unchanged until it ends), their
  // computed squared norms, each one's drift since the last (double, rounded up) and
  // each group's drift total.
  const Matrix* current_ = nullptr;
  std::vector<float> centroid_norms_;
  std::vector<double> drift_, group_drift_total_;
  std::vector<float> group_drift_total_float_;  // rounded up
  double drift_total_ = 0.0;                    // the largest drift, summed
  kernels::ScoreErrorBound error_;
  bool tighten_ = true, predicts_ = false;
  // Whether bounds may move by the displacement since they were stored where that is
  // less than the totals (the history then kept), whether they do in this assignment
  // (the history then measured), and whether the last prediction says the next should.
  bool may_follow_displacement_ = true, follow_displacement_ = true, displacement_predicted_to_pay_ = true;
  SearchMode mode_ = SearchMode::Plain;
};

}  // namespace plovek
