// The mean update of training: per-cluster means of the data rows, summed in double
// precision and rounded once to f32, so neither large clusters nor the number of
// workers change a mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/matrix.h"
#include "engine/matrix_view.h"

namespace plovek {

// A k x d matrix whose row c is the mean of the data rows i with labels[i] = c; the
// rows of clusters without points are zero. Each row is summed in double precision
// over its points in ascending index order and divided by the exact point count, then
// rounded once to f32, so neither large clusters nor the worker count change a mean.
// With `allow_parallel`, ranges of clusters are shared out among the pool's workers when the
// work is large enough (the pool must be usable from the calling thread).
Matrix mean_centroids(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t k,
                      bool allow_parallel = true);

// Adds, in double, every row whose label lies in [first, last) to that cluster's row of
// `sums` ((last - first) x d), scanning the points in ascending order.
void add_rows_of_clusters(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t first,
                          std::uint64_t last, std::span<double> sums);

// Per-cluster double sums of data rows gathered alongside the assignment pass (which
// reads every row anyway): every fixed chunk of rows has its own k x d partial sums,
// filled in ascending row order, and the chunks are merged in chunk order. The chunk
// size depends only on n, k and d, never on the number of workers, so the result is
// the same whatever the pool's size.
class ChunkedRowSums {
 public:
  // A plan for n rows, or nothing when the partial sums would take too much memory.
  static std::optional<ChunkedRowSums> plan(std::size_t n, std::size_t k, std::size_t d);

  std::size_t chunk_rows() const { return chunk_rows_; }
  // The k x d partial sums of chunk c (zero-initialised).
  double* chunk_sums(std::size_t c) { return sums_.data() + c * k_ * d_; }

  // Merges the chunks in order: the k x d sums of every cluster's rows.
  std::vector<double> total() const;
  // Merges the chunks in order and divides by the counts: row c is the mean of its
  // cluster's rows, zero for clusters without points.
  Matrix means(std::span<const std::uint64_t> counts) const;

 private:
  ChunkedRowSums(std::size_t chunk_rows, std::size_t chunk_count, std::size_t k, std::size_t d);

  std::size_t chunk_rows_, chunk_count_, k_, d_;
  std::vector<double> sums_;
};

}  // namespace plovek
