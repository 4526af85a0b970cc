// Medoid selection: centroids kept equal to real data rows.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "cluster_buckets.h"
#include "kernels/dot.h"
#include "kernels/f64_kernels.h"
#include "kmeans.h"
#include "mean_update.h"
#include "medoid_rules.h"
#include "thread_pool.h"

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

std::uint64_t exact_medoid_among(const MatrixView& data, bool euclidean, std::span<const std::uint64_t> members,
                                 std::span<const std::uint64_t> candidates, Scratch& scratch) {
  const std::size_t d = data.cols();
  std::uint64_t choice = members.front();
  float best = std::numeric_limits<float>::infinity();
  for (const std::uint64_t m : candidates) {
    const float* candidate = data.row(m, scratch.row.data());
    float total = 0.0f;
    for (const std::uint64_t j : members) {
      if (j == m) continue;
      const float* other = data.row(j, scratch.other_row.data());
      total += point_distance(candidate, other, d, euclidean, scratch.difference.data());
    }
    if (best > total) {  // strict: equal totals keep the lower index
      best = total;
      choice = m;
    }
  }
  return choice;
}

namespace {

// Below this many members the all-pairs rule is cheap enough as it is.
constexpr std::size_t kAllPairsMembers = 48;

// The members whose f32 total distance to the others can be the smallest.
//
// In exact arithmetic the totals follow from the cluster's mean in O(m d):
//   squared Euclidean: T(a) = m |a - mean|^2 + sum_j |x_j - mean|^2,
//   inner product:     T(a) = (m - 1) - a . (sum_j x_j - a).
// These estimates are computed in double. The f32 totals differ from the exact ones by
// at most about (m + d) u times the sum of the terms' magnitudes (u = 2^-24; every
// term is a rounded dot product, summed in order), which `magnitude` bounds; the double
// estimates add a tiny absolute error. A member can win only if its estimate lies
// within both members' error bounds of the smallest estimate. Returns false when a
// value is not finite, so that the caller falls back to all pairs.
bool possible_exact_medoids(const MatrixView& data, bool euclidean, std::span<const std::uint64_t> members,
                            std::span<const double> sum, Scratch& scratch, std::vector<std::uint64_t>& candidates) {
  const std::size_t m = members.size(), d = data.cols();
  // Per member, in double: |a|^2 and a . sum.
  std::vector<double> square(m), with_sum(m);
  double max_square = 0.0, sum_length = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const float* a = data.row(members[i], scratch.row.data());
    square[i] = kernels::sum_of_squares_f64(a, d);
    with_sum[i] = kernels::dot_f64(a, sum.data(), d);
    max_square = std::max(max_square, square[i]);
    sum_length += std::sqrt(square[i]);
  }
  // |a - mean|^2 = |a|^2 - 2 a.sum / m + |sum|^2 / m^2.
  double sum_square = 0.0;
  for (const double value : sum) sum_square += value * value;
  const double md = double(m);

  // Per member: the estimate of its total and a bound on the magnitude of its terms.
  std::vector<double> estimate(m), magnitude(m);
  double spread = 0.0;  // sum_j |x_j - mean|^2
  for (std::size_t i = 0; i < m; ++i) {
    if (euclidean) {
      const double to_mean = std::max(0.0, square[i] - 2.0 * with_sum[i] / md + sum_square / (md * md));
      spread += to_mean;
      estimate[i] = md * to_mean;
    } else {
      estimate[i] = double(m - 1) - (with_sum[i] - square[i]);
      magnitude[i] = double(m - 1) + std::sqrt(square[i]) * sum_length;
    }
  }
  for (std::size_t i = 0; euclidean && i < m; ++i) estimate[i] += spread, magnitude[i] = estimate[i];

  const double relative = double(m + d + 8) * 0x1p-22;  // 4 (m + d + 8) u: first-order bound with margin
  // Each estimate's double error stays below about 8 m (m + d) 2^-53 max|x|^2 (the
  // expanded |a - mean|^2 included); 16 times that covers it with room to spare.
  const double absolute = double(m + d + 8) * 0x1p-46 * double(m) * (max_square + 1.0);
  std::size_t lowest = 0;
  for (std::size_t i = 0; i < m; ++i) {
    if (!std::isfinite(estimate[i]) || !std::isfinite(magnitude[i])) return false;
    if (estimate[i] < estimate[lowest]) lowest = i;
  }
  const double lowest_error = relative * magnitude[lowest] + absolute;
  candidates.clear();
  for (std::size_t i = 0; i < m; ++i) {
    const double error = relative * magnitude[i] + absolute;
    if (estimate[i] <= estimate[lowest] + lowest_error + error) candidates.push_back(members[i]);
  }
  return true;
}

}  // namespace

void apply_exact_medoid_rule(KMeans& model, const MatrixView& data, std::uint64_t cluster,
                             std::span<const std::uint64_t> members, Scratch& scratch,
                             std::span<const double> member_sum) {
  if (members.empty()) return;
  std::vector<double> own_sum;
  if (member_sum.empty() && members.size() > kAllPairsMembers) {
    own_sum.assign(data.cols(), 0.0);
    const std::uint64_t only_cluster = 0;
    for (const std::uint64_t m : members)
      kernels::add_rows_by_label(data.row(m, scratch.row.data()), 0, 1, &only_cluster, 0, 1, own_sum.data(),
                                 data.cols());
    member_sum = own_sum;
  }
  std::vector<std::uint64_t> candidates;
  const bool narrowed = members.size() > kAllPairsMembers &&
                        possible_exact_medoids(data, model.euclidean, members, member_sum, scratch, candidates);
  const std::uint64_t choice =
      exact_medoid_among(data, model.euclidean, members, narrowed ? std::span(candidates) : members, scratch);
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
  const std::size_t d = data.cols();
  const ClusterBuckets<std::uint64_t> buckets = bucket_by_cluster<std::uint64_t>(labels, n_clusters);
  // Every cluster's row sum, from one ascending scan of the data.
  std::vector<double> sums(n_clusters * d, 0.0);
  add_rows_of_clusters(data, labels, 0, n_clusters, sums);
  // Clusters are independent (each writes only its own centroid row and medoid entry),
  // so they are shared out among the workers; the choices do not depend on that.
  parallel_for(n_clusters, 1, [&](std::size_t first, std::size_t last) {
    medoids::Scratch scratch(d);
    for (std::uint64_t c = first; c < last; ++c) {
      if (cluster_sizes[c] == 0.0f) continue;
      medoids::apply_exact_medoid_rule(*this, data, c, buckets.of(c), scratch, std::span(sums).subspan(c * d, d));
    }
  });
}

}  // namespace plovek
