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
// `difference` is room for d floats (used only for the Euclidean distance).
float point_distance(const float* x, const float* y, std::size_t d, bool euclidean, float* difference);

// Reusable buffers of d floats, so that repeated rule applications do not allocate.
struct Scratch {
  explicit Scratch(std::size_t d) : row(d), other_row(d), difference(d) {}
  std::vector<float> row;
  std::vector<float> other_row;
  std::vector<float> difference;
};

// Nearest-member rule for one cluster: the member closest to the current centroid
// row becomes the medoid and its data row is copied bit for bit into that row. An
// empty member list changes nothing. The lowest point index wins ties.
void apply_nearest_member_rule(KMeans& model, const MatrixView& data, std::uint64_t cluster,
                               Scratch& scratch);

// Exact-medoid rule for one cluster with ascending `members`: the member with the
// smallest f32 total distance to the other members becomes the medoid. Never reads
// the centroids. An empty member list changes nothing. The lowest point index wins
// ties. Only the members whose total can be the smallest are summed in f32 (see
// medoids.cpp), so the choice is the one the all-pairs rule makes.
// `member_sum`, when given, is the double sum of the members' rows (d values).
void apply_exact_medoid_rule(KMeans& model, const MatrixView& data, std::uint64_t cluster,
                             std::span<const std::uint64_t> members, Scratch& scratch,
                             std::span<const double> member_sum = {});

// The all-pairs exact-medoid rule over `candidates` (ascending, a subset of `members`):
// the candidate with the smallest f32 total, or the first member when no total is
// smaller than +infinity.
std::uint64_t exact_medoid_among(const MatrixView& data, bool euclidean, std::span<const std::uint64_t> members,
                                 std::span<const std::uint64_t> candidates, Scratch& scratch);

}  // namespace plovek::medoids
