#include "engine/mean_update.h"

#include <algorithm>

#include "simd/kernels.h"
#include "engine/kmeans_error.h"
#include "engine/row_blocks.h"
#include "runtime/thread_pool.h"

namespace plovek {

namespace {

// Below this many data values the mean update stays on the calling thread.
constexpr std::size_t kParallelMeanWork = std::size_t{1} << 16;
// Chunks of the fused sums: a small input is cut into kChunksOfSmallInput chunks of at
// least kMinChunkRows rows, so that every worker gets a share; a large one into chunks
// of kChunkRows rows, or larger ones when their sums would outgrow kMaxChunkSumBytes.
// The cut depends on the shape only, never on the thread count.
constexpr std::size_t kMinChunkRows = 1024;
constexpr std::size_t kChunkRows = 8192;
constexpr std::size_t kChunksOfSmallInput = 16;
constexpr std::size_t kMaxChunkSumBytes = std::size_t{64} << 20;
// A kept chunk is summed again whole, in one pass over its rows, once more than
// 1/kMostStaleShare of the clusters changed in it; else row by row for those clusters.
constexpr std::size_t kMostStaleShare = 4;
// The separate mean update holds about this many bytes of double sums per share of the
// clusters (and at least kLeastMeanColumns columns of them, so that a pass reads whole
// cache lines of a row): wider rows are summed a slab of columns at a time, each slab
// over every point in ascending order (a column's sums do not depend on the others).
constexpr std::size_t kMeanSumBytes = std::size_t{1} << 20;
constexpr std::size_t kLeastMeanColumns = 64;
// Sums by repeats ask for the label and values of the distinct row this many repeats
// ahead: the distinct rows of a chunk lie anywhere among them.
constexpr std::size_t kRepeatsAhead = 16;

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

// Columns t0 .. t0 + columns - 1 of rows first .. of `means` = sums / count per cluster
// (sums: `columns` per cluster), divided in double and rounded once to f32; zero for
// empty clusters.
void store_mean_columns(std::span<const double> sums, std::span<const std::uint64_t> counts, std::uint64_t first,
                        std::size_t t0, std::size_t columns, Matrix& means) {
  for (std::size_t c = 0; c * columns < sums.size(); ++c) {
    const std::uint64_t count = counts[first + c];
    float* mean = means.row(first + c).data() + t0;
    const double* sum = sums.data() + c * columns;
    if (count == 0) {
      std::fill_n(mean, columns, 0.0f);
      continue;
    }
    // One division per value (no reciprocal), in a loop the compiler vectorises.
    const double divisor = static_cast<double>(count);
    for (std::size_t t = 0; t < columns; ++t) mean[t] = static_cast<float>(sum[t] / divisor);
  }
}

// Adds, in double, columns t0 .. t0 + columns - 1 of every row whose label lies in
// [first, last) to that cluster's row of `sums` ((last - first) x columns), scanning the
// points in ascending order.
void add_columns_of_clusters(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t first,
                             std::uint64_t last, std::size_t t0, std::size_t columns, std::span<double> sums) {
  std::vector<float> scratch;
  for_each_row_block_of_columns(data, 0, labels.size(), t0, columns, scratch,
                                [&](std::size_t row, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                                  kernels::add_rows_by_label(rows, stride, count, labels.data() + row, first, last,
                                                             sums.data(), columns);
                                });
}

}  // namespace

// Adds, in double, every row whose label lies in [first, last) to that cluster's row
// of `sums` ((last - first) x d), scanning the points in ascending order.
std::vector<double> row_sums_of_clusters(const MatrixView& data, std::span<const std::uint64_t> labels,
                                         std::uint64_t k) {
  std::vector<double> sums(k * data.cols(), 0.0);
  add_rows_of_clusters(data, labels, 0, k, sums);
  return sums;
}

void add_rows_of_clusters(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t first,
                          std::uint64_t last, std::span<double> sums) {
  add_columns_of_clusters(data, labels, first, last, 0, data.cols(), sums);
}

Matrix mean_centroids(const MatrixView& data, std::span<const std::uint64_t> labels, std::uint64_t k,
                      bool allow_parallel) {
  Matrix means(k, data.cols());
  store_mean_centroids(data, labels, means, allow_parallel);
  return means;
}

void store_mean_centroids(const MatrixView& data, std::span<const std::uint64_t> labels, Matrix& means,
                          bool allow_parallel) {
  const std::uint64_t k = means.rows();
  if (labels.size() != data.rows() || means.cols() != data.cols())
    throw InternalError("mean update needs one label per point and a row per cluster");
  std::vector<std::uint64_t> counts(k, 0);
  for (const std::uint64_t label : labels) {
    if (label >= k) throw InternalError("mean update: label out of range");
    ++counts[label];
  }
  const std::size_t n = labels.size(), d = data.cols();
  if (d == 0 || k == 0) return;

  // Workers own disjoint cluster ranges and each scans all points in order, so every
  // sum receives its rows in ascending point order whatever the number of workers.
  const bool parallel = allow_parallel && k > 1 && n * d >= kParallelMeanWork;
  const std::vector<std::uint64_t> bounds = balanced_cluster_ranges(counts, parallel ? global_pool_size() : 1);
  const auto mean_of_range = [&](std::size_t r) {
    const std::uint64_t first = bounds[r], last = bounds[r + 1];
    const std::size_t clusters = last - first;
    const std::size_t slab = std::min(d, std::max(kLeastMeanColumns, kMeanSumBytes / (clusters * sizeof(double))));
    std::vector<double> sums(clusters * slab);
    for (std::size_t t0 = 0; t0 < d; t0 += slab) {
      const std::size_t columns = std::min(slab, d - t0);
      const std::span<double> slab_sums(sums.data(), clusters * columns);
      std::fill(slab_sums.begin(), slab_sums.end(), 0.0);
      add_columns_of_clusters(data, labels, first, last, t0, columns, slab_sums);
      store_mean_columns(slab_sums, counts, first, t0, columns, means);
    }
  };
  if (bounds.size() == 2) {
    mean_of_range(0);
  } else {
    parallel_for(bounds.size() - 1, 1, [&](std::size_t first, std::size_t last) {
      for (std::size_t r = first; r < last; ++r) mean_of_range(r);
    });
  }
}

std::optional<ChunkedRowSums> ChunkedRowSums::plan(std::size_t n, std::size_t k, std::size_t d, bool update) {
  const std::size_t per_chunk = k * d * sizeof(double);
  if (n == 0 || d == 0 || per_chunk == 0 || per_chunk > kMaxChunkSumBytes / 2) return std::nullopt;
  const std::size_t max_chunks = kMaxChunkSumBytes / per_chunk;
  const std::size_t rows = std::max(std::clamp((n + kChunksOfSmallInput - 1) / kChunksOfSmallInput, kMinChunkRows, kChunkRows),
                                    (n + max_chunks - 1) / max_chunks);
  return ChunkedRowSums(n, rows, (n + rows - 1) / rows, k, d, update);
}

ChunkedRowSums::ChunkedRowSums(std::size_t n, std::size_t chunk_rows, std::size_t chunk_count, std::size_t k,
                               std::size_t d, bool update)
    : n_(n),
      chunk_rows_(chunk_rows),
      chunk_count_(chunk_count),
      k_(k),
      d_(d),
      sums_(chunk_count * k * d),
      summed_labels_(update ? n : 0),
      held_(chunk_count, 0),
      changed_(std::make_unique<std::atomic<bool>[]>(k)) {}

double* ChunkedRowSums::start_chunk(std::size_t c) {
  double* sums = sums_.data() + c * k_ * d_;
  std::fill_n(sums, k_ * d_, 0.0);
  for (std::uint64_t j = 0; j < k_; ++j) mark_changed(j);
  return sums;
}

void ChunkedRowSums::finish_chunk(std::size_t c, const std::uint64_t* labels) {
  if (summed_labels_.empty()) return;
  std::copy_n(labels, rows_in(c), summed_labels_.data() + c * chunk_rows_);
  held_[c] = 1;
}

void ChunkedRowSums::sum_by_repeats(const DistinctRows& distinct, const std::uint64_t* labels) {
  // Every partial sum being exact, the order is free: each chunk's sums are added up
  // from its repeats, the chunks shared out among the workers.
  std::fill(sums_.begin(), sums_.end(), 0.0);
  for (std::uint64_t j = 0; j < k_; ++j) mark_changed(j);
  const float* values = distinct.values();
  parallel_for(chunk_count_, 1, [&](std::size_t first_chunk, std::size_t last_chunk) {
    for (std::size_t c = first_chunk; c < last_chunk; ++c) {
      double* chunk_sums = sums_.data() + c * k_ * d_;
      const std::span<const DistinctRows::Repeats> repeats = distinct.repeats_in(c);
      for (std::size_t r = 0; r < repeats.size(); ++r) {
        if (r + kRepeatsAhead < repeats.size()) {
          const std::uint32_t ahead = repeats[r + kRepeatsAhead].position;
          __builtin_prefetch(labels + ahead);
          __builtin_prefetch(values + std::size_t{ahead} * d_);
        }
        const DistinctRows::Repeats& repeat = repeats[r];
        const float* row = values + std::size_t{repeat.position} * d_;
        double* sum = chunk_sums + labels[repeat.position] * d_;
        const double count = repeat.count;
        for (std::size_t t = 0; t < d_; ++t) sum[t] += count * row[t];
      }
    }
  });
}

void ChunkedRowSums::update_chunk(std::size_t c, const MatrixView& data, const std::uint64_t* labels,
                                  std::vector<float>& scratch) {
  const std::size_t first = c * chunk_rows_, count = rows_in(c);
  std::uint64_t* summed = summed_labels_.data() + first;
  // The clusters that lost or gained a member here: their sums are added again.
  thread_local std::vector<std::uint64_t> stale;
  thread_local std::vector<unsigned char> is_stale;
  stale.clear();
  is_stale.resize(k_);
  const auto add_stale = [&](std::uint64_t j) {
    if (!is_stale[j]) is_stale[j] = 1, stale.push_back(j);
  };
  for (std::size_t r = 0; r < count; ++r) {
    if (labels[r] == summed[r]) continue;
    add_stale(summed[r]);
    add_stale(labels[r]);
  }
  if (stale.empty()) return;
  if (stale.size() * kMostStaleShare > k_) {
    // Many clusters changed: one pass over every row reads no more.
    double* sums = start_chunk(c);
    for_each_row_block(data, first, first + count, scratch,
                       [&](std::size_t row, std::size_t rows, const float* x, std::ptrdiff_t stride) {
                         kernels::add_rows_by_label(x, stride, rows, labels + (row - first), 0, k_, sums, d_);
                       });
  } else {
    double* sums = sums_.data() + c * k_ * d_;
    for (const std::uint64_t j : stale) {
      std::fill_n(sums + j * d_, d_, 0.0);
      mark_changed(j);
    }
    scratch.resize(d_);
    for (std::size_t r = 0; r < count; ++r)
      if (is_stale[labels[r]])
        kernels::add_rows_by_label(data.row(first + r, scratch.data()), 0, 1, labels + r, 0, k_, sums, d_);
  }
  for (const std::uint64_t j : stale) is_stale[j] = 0;
  std::copy_n(labels, count, summed);
}

const std::vector<double>& ChunkedRowSums::total() {
  if (chunk_count_ == 1) return sums_;  // nothing to merge
  total_.resize(k_ * d_);
  // Each cluster's chunks are added in order, whichever worker merges it.
  const auto merge = [&](std::size_t first, std::size_t last) {
    for (std::uint64_t j = first; j < last; ++j) {
      if (!changed_[j].load(std::memory_order_relaxed)) continue;
      changed_[j].store(false, std::memory_order_relaxed);
      double* row = total_.data() + j * d_;
      std::copy_n(sums_.data() + j * d_, d_, row);
      for (std::size_t c = 1; c < chunk_count_; ++c) {
        const double* chunk = sums_.data() + (c * k_ + j) * d_;
        for (std::size_t t = 0; t < d_; ++t) row[t] += chunk[t];
      }
    }
  };
  const std::size_t cluster_values = d_ * chunk_count_;
  if (k_ * cluster_values < kParallelMeanWork)
    merge(0, k_);
  else
    parallel_for(k_, std::max<std::size_t>(1, kParallelMeanWork / cluster_values), merge);
  return total_;
}

void ChunkedRowSums::store_means(std::span<const std::uint64_t> counts, Matrix& means) {
  store_mean_columns(total(), counts, 0, 0, d_, means);
}

}  // namespace plovek
