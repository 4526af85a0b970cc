// The mean update of training: per-cluster means of the data rows, summed in double
// precision and rounded once to f32, so neither large clusters nor the number of
// workers change a mean.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/distinct_rows.h"
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
// The same into `means` (k x d, overwritten): each worker's clusters are summed a slab
// of columns at a time, so that the sums held stay a few MB however long the rows.
void store_mean_centroids(const MatrixView& data, std::span<const std::uint64_t> labels, Matrix& means,
                          bool allow_parallel = true);

// Adds, in double, every row whose label lies in [first, last) to that cluster's row of
// `sums` ((last - first) x d), scanning the points in ascending order.
void add_rows_of_clusters(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t first,
                          std::uint64_t last, std::span<double> sums);
// Every cluster's row sum in double (k x d), from one ascending scan of the data.
std::vector<double> row_sums_of_clusters(const MatrixView& data, std::span<const std::uint64_t> labels,
                                         std::uint64_t k);

// Per-cluster double sums of data rows gathered alongside the assignment pass (which
// reads every row anyway): every fixed chunk of rows has its own k x d partial sums,
// filled in ascending row order, and the chunks are merged in chunk order. The chunk
// size depends only on n, k and d, never on the number of workers, so the result is
// the same whatever the pool's size.
//
// Kept from one assignment to the next, a chunk's sums are brought up to date by
// summing again only the clusters whose members in the chunk changed: a cluster's
// partial sum depends on nothing but its members' rows in row order, so the result is
// bit for bit that of summing the whole chunk again.
class ChunkedRowSums {
 public:
  // A plan for n rows, or nothing when the partial sums would take too much memory.
  // Only sums that `update`, for a search that may keep labels, remember the labels
  // they were summed under.
  static std::optional<ChunkedRowSums> plan(std::size_t n, std::size_t k, std::size_t d, bool update);

  std::size_t chunk_rows() const { return chunk_rows_; }
  // Chunk c's k x d partial sums, zeroed, for a pass that adds all its rows in order;
  // then finish_chunk with the labels it added them by.
  double* start_chunk(std::size_t c);
  void finish_chunk(std::size_t c, const std::uint64_t* labels);
  // Every chunk's sums from the distinct rows its rows repeat (labelled `labels`), where
  // DistinctRows::sums_by_repeats says they equal the sums of its rows in order.
  void sum_by_repeats(const DistinctRows& distinct, const std::uint64_t* labels);
  // Whether chunk c holds the sums of some earlier labelling, that update_chunk can
  // bring up to date (never, unless planned to update).
  bool holds(std::size_t c) const { return held_[c] != 0; }
  // Brings held chunk c's sums up to date with its rows' labels now (`labels`, from
  // row c * chunk_rows()), reading only the rows of the clusters whose members
  // changed. `scratch` holds a row where the view's rows are not direct.
  void update_chunk(std::size_t c, const MatrixView& data, const std::uint64_t* labels, std::vector<float>& scratch);

  // Merges the chunks in order: the k x d sums of every cluster's rows.
  const std::vector<double>& total();
  // Merges the chunks in order and divides by the counts into `means` (k x d,
  // overwritten): row c is the mean of its cluster's rows, zero for clusters without
  // points.
  void store_means(std::span<const std::uint64_t> counts, Matrix& means);

 private:
  ChunkedRowSums(std::size_t n, std::size_t chunk_rows, std::size_t chunk_count, std::size_t k, std::size_t d,
                 bool update);
  std::size_t rows_in(std::size_t c) const { return std::min(chunk_rows_, n_ - c * chunk_rows_); }
  // Clusters whose total must be merged again.
  void mark_changed(std::uint64_t cluster) { changed_[cluster].store(true, std::memory_order_relaxed); }

  std::size_t n_, chunk_rows_, chunk_count_, k_, d_;
  std::vector<double> sums_;
  // Per row, the label its chunk's sums hold it under (none unless planned to update);
  // per chunk, whether they hold any.
  std::vector<std::uint64_t> summed_labels_;
  std::vector<char> held_;
  // The merged sums, and per cluster whether a chunk's sum of it changed since.
  std::vector<double> total_;
  std::unique_ptr<std::atomic<bool>[]> changed_;
};

}  // namespace plovek
