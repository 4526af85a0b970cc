// The steps of a training iteration that follow the assignment: the mean update
// (train.cpp) and the randomised repair of empty clusters (empty_cluster_repair.cpp).
// Declared here so that tests can run them on a state of their choosing.
#pragma once

#include <cstdint>
#include <span>

#include "kmeans.h"
#include "matrix.h"
#include "matrix_view.h"
#include "random.h"

namespace plovek {

// A k x d matrix whose row c is the mean of the data rows i with labels[i] = c; the
// rows of clusters without points are zero. Each row is summed in double precision
// over its points in ascending index order and divided by the exact point count, then
// rounded once to f32, so neither large clusters nor the worker count change a mean.
// With `allow_parallel`, ranges of clusters are shared out among the pool's workers when the
// work is large enough (the pool must be usable from the calling thread).
Matrix mean_centroids(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t k,
                      bool allow_parallel = true);

// Re-seeds every cluster whose size is exactly 0.0, in cluster order, from a donor
// drawn with probability growing with its size: in mean mode the donor's centroid is
// copied and the two rows are pushed apart by a factor 1 +- 1/1024 per column; with
// `use_medoids` a random member of the donor becomes the new medoid. The donor's size
// is split in half between the two. Needs centroids (k rows), k cluster sizes, and with
// `use_medoids` one label per data row and k medoid entries; `labels` is not changed.
void repair_empty_clusters(KMeans& model, const MatrixView& data, RandomGenerator& generator);

}  // namespace plovek
