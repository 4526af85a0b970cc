#include "engine/kmeans.h"

namespace plovek {

namespace {

std::uint64_t checked_cluster_count(std::uint64_t n_clusters) {
  if (n_clusters == 0) throw InternalError("Number of clusters must be positive");
  return n_clusters;
}

}  // namespace

KMeans::KMeans(std::uint64_t n_clusters) : n_clusters(checked_cluster_count(n_clusters)) {}

}  // namespace plovek
