// The training driver: checks, pool sizing, shuffled seeding, the fixed-length
// assignment/update loop with empty-cluster repair, the final assignment, the optional
// balancing phase and the per-cluster result lists.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "cluster_buckets.h"
#include "empty_cluster_repair.h"
#include "kernels/widen_add.h"
#include "kmeans.h"
#include "progress.h"
#include "random.h"
#include "thread_pool.h"

namespace plovek {

namespace {

// How far ahead of the row being summed the mean update fetches member rows.
constexpr std::size_t kRowsAhead = 8;

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

// Sums the rows named by `member(0..count-1)` (ascending) in double and stores their
// mean, rounded once to f32, in `out`. `acc` and `scratch` hold d values each.
template <class MemberAt>
void mean_of_rows(const MatrixView& data, std::size_t count, MemberAt member, std::span<float> out,
                  double* acc, float* scratch) {
  const std::size_t d = out.size();
  std::fill(acc, acc + d, 0.0);
  for (std::size_t m = 0; m < count; ++m) {
    // Members are scattered over the data: fetch a few rows ahead.
    if (m + kRowsAhead < count) data.prefetch_row(member(m + kRowsAhead));
    kernels::widen_add(acc, data.row(member(m), scratch), d);
  }
  const double divisor = static_cast<double>(count);
  for (std::size_t t = 0; t < d; ++t) out[t] = static_cast<float>(acc[t] / divisor);
}

// Mean update for k > 1: a counting sort of the point indices by label gives every
// cluster its ascending member list; clusters are then summed independently, in
// contiguous ranges that hold about equal numbers of points.
template <class Index>
void bucketed_means(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t k,
                    bool allow_parallel, Matrix& means) {
  const std::size_t n = labels.size();
  const std::size_t d = data.cols();
  const ClusterBuckets<Index> buckets = bucket_by_cluster<Index>(labels, k);
  const std::vector<std::size_t>& start = buckets.start;

  const auto sum_clusters = [&](std::uint64_t first, std::uint64_t last) {
    std::vector<double> acc(d);
    std::vector<float> scratch(d);
    for (std::uint64_t c = first; c < last; ++c) {
      const std::span<const Index> members = buckets.of(c);
      const std::size_t count = members.size();
      if (count == 0) continue;
      const Index* list = members.data();
      mean_of_rows(data, count, [list](std::size_t m) { return static_cast<std::size_t>(list[m]); },
                   means.row(c), acc.data(), scratch.data());
    }
  };

  const bool parallel = allow_parallel && n * std::max<std::size_t>(d, 1) >= kParallelMeanWork;
  const std::size_t workers = parallel ? global_pool_size() : 1;
  if (workers <= 1) {
    sum_clusters(0, k);
    return;
  }
  // Cut the cluster range into tasks of roughly n / tasks points each.
  const std::size_t tasks = static_cast<std::size_t>(std::min<std::uint64_t>(k, 4 * workers));
  std::vector<std::uint64_t> bounds{0};
  for (std::size_t t = 1; t < tasks; ++t) {
    const std::size_t target = n / tasks * t;
    const auto cut = std::upper_bound(start.begin() + static_cast<std::ptrdiff_t>(bounds.back()) + 1,
                                      start.end() - 1, target);
    const auto cluster = static_cast<std::uint64_t>(cut - start.begin()) - 1;
    if (cluster > bounds.back()) bounds.push_back(cluster);
  }
  bounds.push_back(k);
  parallel_for(bounds.size() - 1, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t task = first; task < last; ++task) sum_clusters(bounds[task], bounds[task + 1]);
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
  for (const std::uint64_t label : labels) {
    if (label >= k) throw InternalError("mean update: label out of range");
  }
  const std::size_t d = data.cols();
  Matrix means(k, d);
  const std::size_t n = labels.size();
  if (n == 0 || d == 0) return means;
  if (k == 1) {
    std::vector<double> acc(d);
    std::vector<float> scratch(d);
    mean_of_rows(data, n, [](std::size_t m) { return m; }, means.row(0), acc.data(), scratch.data());
  } else if (n <= std::numeric_limits<std::uint32_t>::max()) {
    bucketed_means<std::uint32_t>(data, labels, k, allow_parallel, means);
  } else {
    bucketed_means<std::uint64_t>(data, labels, k, allow_parallel, means);
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
