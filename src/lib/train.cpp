// The training driver: checks, pool sizing, shuffled seeding, the fixed-length
// assignment/update loop with empty-cluster repair, the final assignment, the optional
// balancing phase and the per-cluster result lists.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "empty_cluster_repair.h"
#include "kernels/widen_add.h"
#include "kmeans.h"
#include "progress.h"
#include "random.h"
#include "row_blocks.h"
#include "thread_pool.h"

namespace plovek {

namespace {

// Below this many data values the mean update stays on the calling thread.
constexpr std::size_t kParallelMeanWork = std::size_t{1} << 16;

// True when no element of `data` is NaN or infinite.
bool all_finite(const MatrixView& data) {
  const std::size_t n = data.rows();
  const std::size_t d = data.cols();
  if (d == 0) return true;
  if (data.rows_are_direct()) {
    for (std::size_t i = 0; i < n; ++i) {
      const float* row = data.row(i, nullptr);
      bool finite = true;
      for (std::size_t t = 0; t < d; ++t) finite &= std::isfinite(row[t]);
      if (!finite) return false;
    }
    return true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t t = 0; t < d; ++t) {
      if (!std::isfinite(data.at(i, t))) return false;
    }
  }
  return true;
}

// Cuts the clusters into at most `parts` contiguous ranges holding about equal numbers
// of points. Returns the range bounds: 0 = b_0 < b_1 < ... = k.
std::vector<std::uint64_t> balanced_cluster_ranges(std::span<const std::uint64_t> counts, std::size_t parts) {
  const std::uint64_t k = counts.size();
  std::uint64_t total = 0;
  for (const std::uint64_t count : counts) total += count;
  std::vector<std::uint64_t> bounds{0};
  std::uint64_t seen = 0;
  for (std::uint64_t c = 0; c + 1 < k && bounds.size() < parts; ++c) {
    seen += counts[c];
    if (seen * parts >= total * bounds.size()) bounds.push_back(c + 1);
  }
  bounds.push_back(k);
  return bounds;
}

// Adds, in double, every row whose label lies in [first, last) to that cluster's row
// of `sums` ((last - first) x d), scanning the points in ascending order.
void add_rows_of_clusters(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t first,
                          std::uint64_t last, std::span<double> sums) {
  std::vector<float> scratch;
  for_each_row_block(data, 0, labels.size(), scratch,
                     [&](std::size_t row, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                       kernels::add_rows_by_label(rows, stride, count, labels.data() + row, first, last, sums.data(),
                                                  data.cols());
                     });
}

// The per-cluster ascending point lists of `labels`.
ClusterLists lists_from_labels(std::span<const std::uint64_t> labels, std::uint64_t k) {
  std::vector<std::size_t> counts(k, 0);
  for (const std::uint64_t label : labels) {
    if (label >= k) throw InternalError("label out of range after training");
    ++counts[label];
  }
  ClusterLists lists(k);
  for (std::uint64_t c = 0; c < k; ++c) lists[c].reserve(counts[c]);
  for (std::size_t i = 0; i < labels.size(); ++i) lists[labels[i]].push_back(i);
  return lists;
}

}  // namespace

Matrix mean_centroids(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t k,
                      bool allow_parallel) {
  if (labels.size() != data.rows()) throw InternalError("mean update needs one label per point");
  std::vector<std::uint64_t> counts(k, 0);
  for (const std::uint64_t label : labels) {
    if (label >= k) throw InternalError("mean update: label out of range");
    ++counts[label];
  }
  const std::size_t n = labels.size(), d = data.cols();
  Matrix means(k, d);
  if (n == 0 || d == 0) return means;

  // Workers own disjoint cluster ranges and each scans all points in order, so every
  // sum receives its rows in ascending point order whatever the number of workers.
  const bool parallel = allow_parallel && k > 1 && n * d >= kParallelMeanWork;
  const std::vector<std::uint64_t> bounds = balanced_cluster_ranges(counts, parallel ? global_pool_size() : 1);
  const auto mean_of_range = [&](std::size_t r) {
    const std::uint64_t first = bounds[r], last = bounds[r + 1];
    std::vector<double> sums((last - first) * d, 0.0);
    add_rows_of_clusters(data, labels, first, last, sums);
    for (std::uint64_t c = first; c < last; ++c) {
      if (counts[c] == 0) continue;
      const double* sum = sums.data() + (c - first) * d;
      std::span<float> mean = means.row(c);
      for (std::size_t t = 0; t < d; ++t) mean[t] = static_cast<float>(sum[t] / static_cast<double>(counts[c]));
    }
  };
  if (bounds.size() == 2) {
    mean_of_range(0);
  } else {
    parallel_for(bounds.size() - 1, 1, [&](std::size_t first, std::size_t last) {
      for (std::size_t r = first; r < last; ++r) mean_of_range(r);
    });
  }
  return means;
}

Result<ClusterLists> KMeans::train(const MatrixView& data, std::optional<std::uint64_t> num_threads) {
  if (is_trained) return KMeansError::already_trained();
  const std::uint64_t n = data.rows();
  const std::uint64_t k = n_clusters;
  if (n < k) return KMeansError::insufficient_points(n, k);
  if (!all_finite(data)) return KMeansError::invalid_parameter("data contains NaN or infinite values");
  if (num_threads) {
    if (auto failure = initialize_global_pool(*num_threads)) {
      return KMeansError::invalid_parameter("Thread setup failed: " + *failure);
    }
  }

  labels.assign(n, 0);
  cluster_sizes.assign(k, 0.0f);
  std::vector<float> point_norms;
  if (euclidean) point_norms = compute_point_norms(data);

  RandomGenerator& generator = thread_generator();
  const std::vector<std::uint64_t> seeds = shuffled_prefix(n, k, generator);
  Matrix seeded(k, data.cols());
  for (std::uint64_t c = 0; c < k; ++c) data.copy_row(seeds[c], seeded.row(c).data());
  if (use_medoids) medoid_indices = seeds;
  centroids = std::move(seeded);
  postprocess_centroids();

  for (std::uint64_t it = 1; it <= iterations; ++it) {
    assign_clusters(data, point_norms);
    if (use_medoids) {
      update_medoids_by_total_distance(data);
    } else {
      centroids = mean_centroids(data, labels, k);
    }
    repair_empty_clusters(*this, data, generator);
    postprocess_centroids();
    if (verbose) {
      const float cost = compute_cost(data);
      write_progress_line("Iteration " + std::to_string(it) + "/" + std::to_string(iterations) +
                          " | Cost: " + format_fixed(cost, 6) + "\n");
    }
  }

  assign_clusters(data, point_norms);
  if (balanced) balance_clusters(data, point_norms);

  ClusterLists lists = lists_from_labels(labels, k);
  is_trained = true;
  return lists;
}

}  // namespace plovek
