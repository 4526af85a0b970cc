// The two medoid selection rules and the distance they share, for the medoid
// operations of KMeans and for the balancing phase (which calls the nearest-member
// rule twice per point step and must not allocate there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kmeans.h"
#include "matrix_view.h"

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
// makes. With `memo` (the same data and record throughout), clusters whose members
// have not changed since the previous call keep their medoid without a search. With
// `cancellation`, polls it between runs of distances (throwing Cancelled when asked to
// stop, before any medoid changes).
void update_exact_medoids(KMeans& model, const MatrixView& data, std::span<const double> sums,
                          ExactMedoidMemo* memo = nullptr, CancellationPoints* cancellation = nullptr);

}  // namespace plovek::medoids
