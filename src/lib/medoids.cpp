// Medoid selection: centroids kept equal to real data rows.
#include <cstring>
#include <limits>

#include "kernels/dot.h"
#include "kmeans.h"
#include "medoid_rules.h"

namespace plovek {

namespace medoids {

namespace {

// Makes centroid row `cluster` a bit-for-bit copy of data row `choice` and records
// the choice.
void install_medoid(KMeans& model, const MatrixView& data, std::uint64_t cluster, std::uint64_t choice,
                    Scratch& scratch) {
  const std::size_t d = data.cols();
  const float* source = data.row(choice, scratch.row.data());
  std::span<float> target = model.centroids.value().row(cluster);
  if (d > 0) std::memcpy(target.data(), source, d * sizeof(float));
  model.medoid_indices[cluster] = choice;
}

}  // namespace

float point_distance(const float* x, const float* y, std::size_t d, bool euclidean, float* difference) {
  if (euclidean) {
    for (std::size_t t = 0; t < d; ++t) difference[t] = x[t] - y[t];
    return kernels::dot(difference, difference, d);
  }
  return 1.0f - kernels::dot(x, y, d);
}

std::vector<std::uint64_t> cluster_members(std::span<const std::uint64_t> labels, std::uint64_t cluster) {
  std::vector<std::uint64_t> members;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] == cluster) members.push_back(i);
  }
  return members;
}

void apply_nearest_member_rule(KMeans& model, const MatrixView& data, std::uint64_t cluster,
                               Scratch& scratch) {
  const std::size_t d = data.cols();
  const float* centroid = model.centroids.value().row(cluster).data();
  // The members are met in the same single ascending scan of the labels that would
  // build the member list, so no list is needed (and nothing is allocated).
  bool found = false;
  std::uint64_t choice = 0;
  float best = std::numeric_limits<float>::infinity();
  const std::span<const std::uint64_t> labels = model.labels;
  for (std::size_t m = 0; m < labels.size(); ++m) {
    if (labels[m] != cluster) continue;
    if (!found) {
      found = true;
      choice = m;
    }
    const float* x = data.row(m, scratch.row.data());
    const float v = point_distance(x, centroid, d, model.euclidean, scratch.difference.data());
    // Strict: equal distances keep the lower index, and NaN never replaces the choice.
    if (best > v) {
      best = v;
      choice = m;
    }
  }
  if (!found) return;
  install_medoid(model, data, cluster, choice, scratch);
}

void apply_exact_medoid_rule(KMeans& model, const MatrixView& data, std::uint64_t cluster, Scratch& scratch) {
  const std::vector<std::uint64_t> members = cluster_members(model.labels, cluster);
  if (members.empty()) return;
  const std::size_t d = data.cols();
  std::uint64_t choice = members.front();
  float best = std::numeric_limits<float>::infinity();
  for (const std::uint64_t m : members) {
    const float* candidate = data.row(m, scratch.row.data());
    float total = 0.0f;
    for (const std::uint64_t j : members) {
      if (j == m) continue;
      const float* other = data.row(j, scratch.other_row.data());
      total += point_distance(candidate, other, d, model.euclidean, scratch.difference.data());
    }
    if (best > total) {
      best = total;
      choice = m;
    }
  }
  install_medoid(model, data, cluster, choice, scratch);
}

}  // namespace medoids

void KMeans::update_medoid_for_cluster(const MatrixView& data, std::uint64_t cluster) {
  medoids::Scratch scratch(data.cols());
  medoids::apply_nearest_member_rule(*this, data, cluster, scratch);
}

void KMeans::update_all_medoids(const MatrixView& data) {
  medoids::Scratch scratch(data.cols());
  for (std::uint64_t c = 0; c < n_clusters; ++c) {
    if (cluster_sizes[c] == 0.0f) continue;
    medoids::apply_nearest_member_rule(*this, data, c, scratch);
  }
}

void KMeans::update_medoids_by_total_distance(const MatrixView& data) {
  medoids::Scratch scratch(data.cols());
  for (std::uint64_t c = 0; c < n_clusters; ++c) {
    if (cluster_sizes[c] == 0.0f) continue;
    medoids::apply_exact_medoid_rule(*this, data, c, scratch);
  }
}

}  // namespace plovek
