// Nearest-centroid assignment, the cost of a labelling and centroid normalisation.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "simd/kernels.h"
#include "engine/assignment_pass.h"
#include "engine/kmeans.h"
#include "engine/mean_update.h"
#include "engine/normalize.h"
#include "engine/row_blocks.h"
#include "runtime/thread_pool.h"

namespace plovek {

namespace {

// Up to this many clusters each task of the assignment pass counts its own labels.
constexpr std::size_t kClustersCountedInTasks = std::size_t{1} << 14;

// A task's count of each label, in four counters per cluster taken in turn: a run of
// one label (rows that lie close together often share theirs) would otherwise wait at
// every row for its own last increment.
class LabelCounts {
 public:
  explicit LabelCounts(std::size_t k) : counts_(k * kTurns, 0) {}
  void add(const std::uint64_t* labels, std::size_t count) {
    std::size_t r = 0;
    for (; r + kTurns <= count; r += kTurns)
      for (std::size_t t = 0; t < kTurns; ++t) ++counts_[labels[r + t] * kTurns + t];
    for (; r < count; ++r) ++counts_[labels[r] * kTurns];
  }
  // Adds the counts to `totals`.
  void add_to(std::vector<std::uint64_t>& totals) const {
    if (counts_.empty()) return;  // counted elsewhere
    for (std::size_t c = 0; c < totals.size(); ++c)
      for (std::size_t t = 0; t < kTurns; ++t) totals[c] += counts_[c * kTurns + t];
  }

 private:
  static constexpr std::size_t kTurns = 4;
  std::vector<std::uint64_t> counts_;
};

// Below this many multiply-adds an assignment stays on the calling thread: waking the
// workers for it costs about what they save on an idle machine, and more where other
// processes keep the cores busy.
constexpr std::size_t kLeastParallelSearchWork = std::size_t{1} << 21;

const Matrix& required_centroids(const KMeans& km) {
  if (!km.centroids) throw InternalError("centroids are required but absent");
  return *km.centroids;
}

}  // namespace

AssignmentStats assign_for_training(KMeans& km, const MatrixView& data, NearestSearch& search, ChunkedRowSums* sums,
                                    std::vector<std::uint64_t>& counts, bool labels_wanted) {
  const Matrix& current = required_centroids(km);
  const std::size_t n = data.rows(), k = current.rows(), d = current.cols();
  // Written in place: every entry is replaced (or proven unchanged), and reusing the
  // buffer spares the page faults of a fresh n-entry allocation on every call.
  km.labels.resize(n);
  search.prepare(current, km.labels);
  const bool keeps_labels = search.keeps_labels();
  std::uint64_t* labels = km.labels.data();
  const std::size_t chunk_rows = sums ? sums->chunk_rows() : kRowsPerTask;
  // Rows that repeat a few distinct ones and whose labels are not wanted (nor kept for
  // a later assignment: no search with so few columns keeps labels) are summed and
  // counted by their repeats, where that gives their sums in order bit for bit.
  const NearestSearch::DistinctLabels distinct = search.distinct_labels();
  if (sums && distinct.rows && !labels_wanted && !search.may_keep_labels(k) &&
      distinct.rows->sums_by_repeats(chunk_rows)) {
    sums->sum_by_repeats(*distinct.rows, distinct.labels);
    counts.assign(k, 0);
    for (std::size_t p = 0; p < distinct.rows->count(); ++p) counts[distinct.labels[p]] += distinct.rows->repeats_of(p);
    km.cluster_sizes.assign(counts.begin(), counts.end());
    return search.finish(0);
  }
  // Counted in 64 bits and stored as the nearest f32: an f32 running count would
  // stop growing at 2^24 points. With few clusters every task counts its own rows
  // while their labels are in cache (a count is exact in any order); with many, a
  // task's counts would take more memory than its rows, and one pass counts them all.
  counts.assign(k, 0);
  const bool count_in_tasks = k <= kClustersCountedInTasks;
  std::mutex merge;
  std::uint64_t measured = 0;
  // Each task keeps one search and takes the chunks one at a time until none is left:
  // where the bounds prune, chunks take uneven time, and a task handed a fixed range of
  // several could leave the other workers idle while it finished.
  const std::size_t chunks = (n + chunk_rows - 1) / chunk_rows;
  std::atomic<std::size_t> next_chunk{0};
  const auto take_chunk = [&] { return next_chunk.fetch_add(1, std::memory_order_relaxed); };
  const auto take_chunks = [&] {
    std::vector<float> scratch;
    LabelCounts task_counts(count_in_tasks ? k : 0);
    const std::unique_ptr<RowSearch> worker = search.worker(labels);
    const auto count_labels = [&](std::size_t first, std::size_t count) {
      if (count_in_tasks) task_counts.add(labels + first, count);
    };
    for (std::size_t c = take_chunk(); c < chunks; c = take_chunk()) {
      const std::size_t begin = c * chunk_rows, end = std::min(n, begin + chunk_rows);
      if (keeps_labels) {
        // The labels wait for the flush (the rows the search keeps are not read), and
        // rows copied into the scratch are searched before it takes the next ones; then
        // the chunk's sums, in row order.
        for_each_row_block(data, begin, end, scratch,
                           [&](std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                             worker->search(first, count, rows, stride);
                             if (!data.rows_are_direct()) worker->flush();
                           });
        worker->flush();
        if (sums && sums->holds(c)) {
          sums->update_chunk(c, data, labels + begin, scratch);
          count_labels(begin, end - begin);
          continue;
        }
      }
      // Else each block's labels are final once searched: its sums follow while its
      // rows are in cache.
      double* chunk_sums = sums ? sums->start_chunk(c) : nullptr;
      for_each_row_block(data, begin, end, scratch,
                         [&](std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                           if (!keeps_labels) worker->search(first, count, rows, stride);
                           if (chunk_sums)
                             kernels::add_rows_by_label(rows, stride, count, labels + first, 0, k, chunk_sums, d);
                           count_labels(first, count);
                         });
      if (sums) sums->finish_chunk(c, labels + begin);
    }
    const std::lock_guard<std::mutex> lock(merge);
    measured += worker->measured();
    task_counts.add_to(counts);
  };
  const auto assign_chunks = [&](std::size_t, std::size_t) {
    try {
      take_chunks();
    } catch (...) {
      next_chunk.store(chunks, std::memory_order_relaxed);  // the other tasks stop at their next chunk
      throw;
    }
  };
  if (n * k * d < kLeastParallelSearchWork)
    assign_chunks(0, 1);
  else
    parallel_for(std::min(global_pool_size(), chunks), 1, assign_chunks);
  if (!count_in_tasks)
    for (std::size_t i = 0; i < n; ++i) ++counts[labels[i]];
  km.cluster_sizes.assign(counts.begin(), counts.end());
  return search.finish(measured);
}

void KMeans::assign_clusters(const MatrixView& data, std::span<const float> point_norms) {
  if (euclidean && point_norms.size() != data.rows())
    throw InternalError("point norms are required for the Euclidean metric");
  std::vector<std::uint64_t> counts;
  assign_for_training(*this, data, *make_full_search(data.rows(), euclidean, point_norms), nullptr, counts);
}

float KMeans::compute_cost(const MatrixView& data) const {
  const Matrix& current = required_centroids(*this);
  const std::size_t n = data.rows(), d = data.cols();
  std::vector<float> row_buffer(d), difference(d);
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float* x = data.row(i, row_buffer.data());
    const std::span<const float> c = current.row(labels[i]);
    if (euclidean) {
      for (std::size_t t = 0; t < d; ++t) difference[t] = x[t] - c[t];
      sum += kernels::dot(difference.data(), difference.data(), d);
    } else {
      sum += kernels::dot(x, c.data(), d);
    }
  }
  return sum / static_cast<float>(n);
}

void KMeans::postprocess_centroids() {
  if (euclidean || !centroids) return;
  for (std::size_t c = 0; c < centroids->rows(); ++c) scale_to_unit_length(centroids->row(c));
}

}  // namespace plovek
