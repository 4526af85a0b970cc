// The two medoid selection rules and the distance they share, for the medoid
// operations of KMeans and for the balancing phase (which applies the nearest-member
// rule twice per point step and must not allocate there).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "engine/cluster_buckets.h"
#include "engine/kmeans.h"
#include "engine/matrix_view.h"

namespace plovek::medoids {

// Distance between a data row x and a vector y of d floats:
//   euclidean: the explicit difference x - y, then its dot product with itself;
//   inner product: 1 - x.y (negative for rows longer than unit length).
float point_distance(const float* x, const float* y, std::size_t d, bool euclidean);

// A reusable row buffer of d floats (for views whose rows must be copied), so that
// repeated rule applications do not allocate.
struct Scratch {
  explicit Scratch(std::size_t d) : row(d) {}
  std::vector<float> row;
};

// Nearest-member rule for one cluster: the member closest to the current centroid
// row becomes the medoid and its data row is copied bit for bit into that row. An
// empty member list changes nothing. The lowest point index wins ties.
void apply_nearest_member_rule(KMeans& model, const MatrixView& data, std::uint64_t cluster,
                               Scratch& scratch);

// The nearest-member rule's outcome over the members measured so far, in any order:
// the smallest distance (NaN counted as +infinity) and the lowest index among equal
// ones. Over members met in ascending order this is the rule's strict scan.
struct NearestChoice {
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
  float distance = std::numeric_limits<float>::infinity();
  std::uint64_t member = kNone;

  void consider(std::uint64_t m, float v) {
    if (std::isnan(v)) v = std::numeric_limits<float>::infinity();
    if (v < distance || (v == distance && m < member)) {
      distance = v;
      member = m;
    }
  }
};

// The nearest-member rule applied again and again while points move between clusters
// one at a time (the balancing phase), each time with apply_nearest_member_rule's
// outcome, measuring only what could change it:
//  - a cluster's outcome holds while the centroid row it was measured against stays
//    and its choice remains a member: a point that joins is measured and compared with
//    it, and one that leaves other than the choice cannot change it;
//  - under the squared Euclidean metric no distance is below 0, so a medoid still
//    among the members at distance 0 is the outcome, unless a lower point may lie at
//    distance 0 as well (only a point whose row has the same key can; see medoids.cpp).
// Otherwise every member is measured, from per-cluster lists that follow the moves
// (unordered: a NearestChoice does not depend on the order).
class NearestMemberTracker {
 public:
  // From the record's current labels. `model` and `data` must outlive the tracker.
  NearestMemberTracker(KMeans& model, const MatrixView& data);

  void apply(std::uint64_t cluster, Scratch& scratch);
  // Point `point` leaves cluster `from` for cluster `to` (another one); called when its
  // label changes.
  void move(std::uint64_t point, std::uint64_t from, std::uint64_t to, Scratch& scratch);

 private:
  struct Outcome {
    NearestChoice nearest;
    bool holds = false;
  };
  NearestChoice measure(std::uint64_t cluster, Scratch& scratch) const;
  float distance_to_centroid(std::uint64_t point, std::uint64_t cluster, Scratch& scratch) const;

  KMeans& model_;
  MatrixView data_;
  MovingClusterMembers members_;
  std::vector<Outcome> outcomes_;
  // Euclidean metric: per point, whether a lower point's row has the same key (or a
  // colliding hash of it).
  std::vector<char> may_share_lower_row_;
};

// What the last exact-medoid pass of a training run chose: a cluster whose members
// have not changed since keeps its medoid (the rule depends on nothing else).
class ExactMedoidMemo {
 public:
  static constexpr std::uint64_t kNoChoice = ~std::uint64_t{0};

  // Per cluster: 1 when its members differ from the remembered ones or it has no
  // remembered choice (everything changed when nothing is remembered).
  std::vector<char> changed_clusters(std::span<const std::uint64_t> labels, std::uint64_t k) const;
  std::uint64_t choice(std::uint64_t cluster) const { return choices_[cluster]; }
  // `choices`: per cluster the chosen point, or kNoChoice for a skipped cluster.
  void remember(std::span<const std::uint64_t> labels, std::vector<std::uint64_t> choices);

 private:
  std::vector<std::uint64_t> labels_, choices_;
};

// Exact-medoid rule for every cluster whose size is not 0.0: the member with the
// smallest f32 total distance to the other members becomes the medoid (lowest point
// index on ties). Never reads the centroids. `sums` holds every cluster's double row
// sum (k x d); from it only the members whose total can be the smallest are found
// and summed in f32 (see medoids.cpp), so the choice is the one the all-pairs rule
// makes, except in a cluster where more than 256 members remain possible winners:
// there f32 sums cannot tell them apart, and the totals are added in double. With
// `memo` (the same data and record throughout), clusters whose members have not
// changed since the previous call keep their medoid without a search. With
// `cancellation`, polls it between runs of distances (throwing Cancelled when asked to
// stop, before any medoid changes).
void update_exact_medoids(KMeans& model, const MatrixView& data, std::span<const double> sums,
                          ExactMedoidMemo* memo = nullptr, CancellationPoints* cancellation = nullptr);

}  // namespace plovek::medoids
