// The training driver: checks, pool sizing, shuffled seeding, the fixed-length
// assignment/update loop with empty-cluster repair, the final assignment, the optional
// balancing phase and the per-cluster result lists.
#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/assignment_pass.h"
#include "engine/empty_cluster_repair.h"
#include "engine/kmeans.h"
#include "engine/mean_update.h"
#include "engine/medoid_rules.h"
#include "runtime/progress.h"
#include "runtime/random.h"
#include "runtime/thread_pool.h"
#include "engine/value_range.h"

namespace plovek {

namespace {

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

// Takes the fields that training is about to write out of the record and, unless
// dismissed, puts them back when it goes out of scope: a cancelled or failed `train`
// leaves the record as it found it, untrained and ready to be trained again.
class RestoreOnUnwind {
 public:
  explicit RestoreOnUnwind(KMeans& record) noexcept
      : record_(record),
        labels_(std::move(record.labels)),
        cluster_sizes_(std::move(record.cluster_sizes)),
        centroids_(std::move(record.centroids)),
        medoid_indices_(std::move(record.medoid_indices)) {
    record.labels.clear();
    record.cluster_sizes.clear();
    record.centroids.reset();
    record.medoid_indices.clear();
  }
  ~RestoreOnUnwind() {
    if (dismissed_) return;
    record_.labels = std::move(labels_);
    record_.cluster_sizes = std::move(cluster_sizes_);
    record_.centroids = std::move(centroids_);
    record_.medoid_indices = std::move(medoid_indices_);
    record_.is_trained = false;
  }
  RestoreOnUnwind(const RestoreOnUnwind&) = delete;
  RestoreOnUnwind& operator=(const RestoreOnUnwind&) = delete;

  // Training succeeded: keep what it wrote. Medoid indices are written only in
  // medoid mode; otherwise the record keeps the ones it had.
  void dismiss() noexcept {
    if (!record_.use_medoids) record_.medoid_indices = std::move(medoid_indices_);
    dismissed_ = true;
  }

 private:
  KMeans& record_;
  std::vector<std::uint64_t> labels_;
  std::vector<float> cluster_sizes_;
  std::optional<Matrix> centroids_;
  std::vector<std::uint64_t> medoid_indices_;
  bool dismissed_ = false;
};

// Seeds the centroids with the rows of k distinct points from a uniform shuffle, into
// `seeded` (k x d), which becomes the record's centroids.
void seed_centroids(KMeans& km, const MatrixView& data, Matrix seeded, RandomGenerator& generator) {
  const std::vector<std::uint64_t> seeds = shuffled_prefix(data.rows(), km.n_clusters, generator);
  for (std::uint64_t c = 0; c < km.n_clusters; ++c) data.copy_row(seeds[c], seeded.row(c).data());
  if (km.use_medoids) km.medoid_indices = seeds;
  km.centroids = std::move(seeded);
  km.postprocess_centroids();
}

// The update after an assignment: the means of the clusters, or their exact medoids,
// from the sums the pass kept (`sums`, with the clusters' `counts`) or, without them,
// summed here. Once assigned, the centroids are not read again: the means overwrite
// them in place.
void update_centroids(KMeans& km, const MatrixView& data, ChunkedRowSums* sums, std::span<const std::uint64_t> counts,
                      medoids::ExactMedoidMemo& memo, CancellationPoints& cancellation) {
  const std::uint64_t k = km.n_clusters;
  if (km.use_medoids) {
    const std::vector<double> cluster_sums = sums ? sums->total() : row_sums_of_clusters(data, km.labels, k);
    medoids::update_exact_medoids(km, data, cluster_sums, &memo, &cancellation);
  } else {
    if (sums)
      sums->store_means(counts, *km.centroids);
    else
      store_mean_centroids(data, km.labels, *km.centroids);
  }
}

}  // namespace

Result<ClusterLists> KMeans::train(const MatrixView& data, std::optional<std::uint64_t> num_threads,
                                   const Cancellation& cancellation, const SearchSettings& search_settings,
                                   BalanceBlocks balance_blocks) {
  if (is_trained) return KMeansError::already_trained();
  const std::uint64_t n = data.rows();
  const std::uint64_t k = n_clusters;
  if (n < k) return KMeansError::insufficient_points(n, k);
  // What the sizes make impossible fails here, before the passes over all n rows (the
  // labels are only reserved: filling them is such a pass).
  std::vector<std::uint64_t> fresh_labels;
  fresh_labels.reserve(n);
  Matrix seeded(k, data.cols());
  std::vector<float> fresh_sizes(k, 0.0f);
  if (auto problem = value_range_problem(data, use_medoids ? n : 1)) {
    return KMeansError::invalid_parameter(*problem);
  }
  if (auto failure = ensure_global_pool(num_threads)) {
    return KMeansError::invalid_parameter(pool_errors::kSetupFailed + *failure);
  }

  RestoreOnUnwind restore(*this);
  CancellationPoints cancellation_points(cancellation);
  fresh_labels.assign(n, 0);
  labels = std::move(fresh_labels);
  cluster_sizes = std::move(fresh_sizes);
  std::vector<float> point_norms;
  if (euclidean) point_norms = compute_point_norms(data);

  RandomGenerator& generator = thread_generator();
  seed_centroids(*this, data, std::move(seeded), generator);

  medoids::ExactMedoidMemo medoid_memo;
  const std::unique_ptr<NearestSearch> search =
      make_bounded_search(data, euclidean, point_norms, search_settings.policy);
  // Each assignment's labels, and what it searched.
  std::vector<std::uint64_t> counts;
  // The labels of the assignments before the last are read only by the medoids and by
  // the cost of each iteration.
  const bool labels_wanted = use_medoids || verbose;
  const auto assign = [&](ChunkedRowSums* sums) {
    const AssignmentStats stats = assign_for_training(*this, data, *search, sums, counts, labels_wanted);
    if (search_settings.stats) search_settings.stats->push_back(stats);
  };
  // The clusters' row sums in double, kept from one assignment to the next; without
  // them (too large), summed after each assignment.
  std::optional<ChunkedRowSums> kept_sums = ChunkedRowSums::plan(n, k, data.cols(), search->may_keep_labels(k));
  for (std::uint64_t it = 1; it <= iterations; ++it) {
    cancellation_points.poll();
    assign(kept_sums ? &*kept_sums : nullptr);
    update_centroids(*this, data, kept_sums ? &*kept_sums : nullptr, counts, medoid_memo, cancellation_points);
    repair_empty_clusters(*this, data, generator);
    postprocess_centroids();
    if (verbose) {
      const float cost = compute_cost(data);
      write_progress_line("Iteration " + std::to_string(it) + "/" + std::to_string(iterations) +
                          " | Cost: " + format_fixed(cost, 6) + "\n",
                          &cancellation_points);
    }
  }

  cancellation_points.poll();
  assign(nullptr);
  if (balanced) balance_clusters(data, point_norms, &cancellation_points, balance_blocks);

  ClusterLists lists = lists_from_labels(labels, k);
  restore.dismiss();
  is_trained = true;
  return lists;
}

}  // namespace plovek
