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

// The points whose label is `cluster`, ascending (one scan of `labels` from 0 upward).
std::vector<std::uint64_t> cluster_members(std::span<const std::uint64_t> labels, std::uint64_t cluster);

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

// Exact-medoid rule for one cluster: the member with the smallest total distance to
// the other members becomes the medoid. Never reads the centroids. An empty member
// list changes nothing. The lowest point index wins ties.
void apply_exact_medoid_rule(KMeans& model, const MatrixView& data, std::uint64_t cluster, Scratch& scratch);

}  // namespace plovek::medoids
