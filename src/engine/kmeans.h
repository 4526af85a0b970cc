// The KMeans record: configuration, trained state and the working buffers that the
// training algorithms share. Every engine operation is a member; each lives in the
// source file named after its concern (assignment.cpp, train.cpp, balance.cpp, ...).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "runtime/cancellation.h"
#include "engine/balance_blocks.h"
#include "engine/kmeans_error.h"
#include "engine/matrix.h"
#include "engine/matrix_view.h"
#include "engine/nearest_search.h"
#include "engine/point_norms.h"

namespace plovek {

// For each cluster, the strictly ascending row numbers of its points.
using ClusterLists = std::vector<std::vector<std::uint64_t>>;

struct KMeans {
  // Throws InternalError("Number of clusters must be positive") for 0. Allocates
  // nothing of size k: k-sized buffers are sized by `train` once it knows k <= n.
  explicit KMeans(std::uint64_t n_clusters);

  // A deep copy of every field, trained state included.
  KMeans clone() const { return *this; }

  std::uint64_t n_clusters;              // k; never changes after construction
  std::uint64_t iterations = 25;         // main-loop iterations; always all of them run
  std::uint64_t max_balance_diff = 16;   // allowed spread of cluster sizes when balancing
  bool euclidean = false;                // squared Euclidean (true) or inner product (false)
  bool balanced = false;                 // run the balancing phase after the main loop
  bool verbose = false;                  // progress lines on file descriptor 1
  bool use_medoids = false;              // keep centroids on real data rows
  bool is_trained = false;               // set last by a successful train
  std::optional<Matrix> centroids;       // k x d, absent until train
  std::vector<std::uint64_t> medoid_indices;  // per cluster: its medoid's row (use_medoids)
  std::vector<std::uint64_t> labels;     // per training point: its cluster
  std::vector<float> cluster_sizes;      // per cluster: point count as f32 (fractional while repairing/balancing)

  // --- Training (train.cpp) ---
  // Fits the centroids to `data`; num_threads, when given, sizes the process-wide pool.
  // `cancellation` is asked between iterations and during balancing; when it answers
  // yes, or when anything throws, the record is put back as it was (untrained) and
  // the exception (Cancelled for a cancellation) passes to the caller.
  Result<ClusterLists> train(const MatrixView& data, std::optional<std::uint64_t> num_threads,
                             const Cancellation& cancellation = {}, const SearchSettings& search = {},
                             BalanceBlocks balance_blocks = BalanceBlocks::WherePaying);

  // --- Top-k membership (topk.cpp) ---
  // For each cluster, the rows that have it among their k nearest clusters.
  // `cancellation` is asked between blocks of rows (a small part of a second apart);
  // when it answers yes, Cancelled passes to the caller.
  Result<ClusterLists> assign(const MatrixView& data, std::uint64_t k, const Cancellation& cancellation = {}) const;

  // --- Assignment, cost and normalisation (assignment.cpp) ---
  // New labels (nearest centroid, in parallel on the pool) and cluster sizes.
  // `point_norms` must hold x.x per row when `euclidean` is set; ignored otherwise.
  void assign_clusters(const MatrixView& data, std::span<const float> point_norms);
  // Mean squared distance (euclidean) or mean inner product of points to their centroid.
  float compute_cost(const MatrixView& data) const;
  // Inner-product metric only: scales every non-zero centroid row to unit length.
  void postprocess_centroids();

  // --- Balancing (balance.cpp) ---
  // Polls `cancellation` (when given) every few point steps.
  void balance_clusters(const MatrixView& data, std::span<const float> point_norms,
                        CancellationPoints* cancellation = nullptr, BalanceBlocks blocks = BalanceBlocks::WherePaying);

  // --- Medoids (medoids.cpp) ---
  void update_medoid_for_cluster(const MatrixView& data, std::uint64_t cluster);
  void update_all_medoids(const MatrixView& data);
  void update_medoids_by_total_distance(const MatrixView& data);
};

}  // namespace plovek
