// Nearest-centroid assignment, the cost of a labelling and centroid normalisation.
#include <mutex>
#include <optional>
#include <vector>

#include "simd/kernels.h"
#include "engine/assignment_bounds.h"
#include "engine/grouped_search.h"
#include "engine/kmeans.h"
#include "engine/mean_update.h"
#include "engine/normalize.h"
#include "engine/row_blocks.h"
#include "runtime/thread_pool.h"

namespace plovek {

namespace {

constexpr std::size_t kRowsPerTask = 1024;  // smallest share of the points one worker takes
// Up to this many clusters each task of the assignment pass counts its own labels.
constexpr std::size_t kClustersCountedInTasks = std::size_t{1} << 14;

const Matrix& required_centroids(const KMeans& km) {
  if (!km.centroids) throw InternalError("centroids are required but absent");
  return *km.centroids;
}

}  // namespace

std::vector<float> compute_point_norms(const MatrixView& data) {
  std::vector<float> norms(data.rows());
  const std::size_t d = data.cols();
  parallel_for(data.rows(), kRowsPerTask, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch;
    for_each_row_block(data, begin, end, scratch,
                       [&](std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                         for (std::size_t r = 0; r < count; ++r) {
                           const float* row = rows + static_cast<std::ptrdiff_t>(r) * stride;
                           norms[first + r] = kernels::dot(row, row, d);
                         }
                       });
  });
  return norms;
}

namespace {

// Beside a plain search: the sample points searched whole, their bounds recorded (and
// their labels written, the plain search's own).
void record_sample_bounds(AssignmentBounds& bounds, const MatrixView& data, std::uint64_t* labels) {
  const std::size_t count = bounds.sample_count(), d = data.cols();
  std::vector<std::size_t> points(count);
  std::vector<float> rows(count * d);
  for (std::size_t s = 0; s < count; ++s) {
    points[s] = bounds.sample(s);
    data.copy_row(points[s], rows.data() + s * d);
  }
  GroupedSearch search(bounds, labels, d);
  search.search_points(points.data(), count, rows.data(), static_cast<std::ptrdiff_t>(d));
  bounds.add({.measured = count * bounds.grouped_panels().k()});
}

// New labels for every row (nearest centroid, in parallel over chunks of rows) and
// their 64-bit counts per cluster. With `sums`, every chunk also adds its rows to its
// own partial sums, chunks being those of the plan, rows in order; where the bounds
// prune and the chunk holds the sums of an earlier labelling, only its clusters whose
// members changed are summed again. With `bounds`, the rows whose labels they prove
// keep them unsearched (the labels already hold the last assignment's).
std::vector<std::uint64_t> assign_rows(KMeans& km, const MatrixView& data, std::span<const float> point_norms,
                                       ChunkedRowSums* sums, AssignmentBounds* bounds) {
  const Matrix& current = required_centroids(km);
  const std::size_t n = data.rows(), k = current.rows(), d = current.cols();
  const bool euclidean = km.euclidean;
  if (euclidean && point_norms.size() != n) throw InternalError("point norms are required for the Euclidean metric");
  if (bounds && km.labels.size() != n) throw InternalError("bounds need the last assignment's labels");
  if (bounds && !AssignmentBounds::pay_for(k, d)) bounds = nullptr;
  const AssignmentBounds::Mode mode = bounds ? bounds->prepare(current, km.labels) : AssignmentBounds::Mode::Plain;
  if (mode != AssignmentBounds::Mode::Prune && bounds) bounds->add({.measured = n * k});
  if (mode == AssignmentBounds::Mode::Plain) {
    if (bounds && bounds->samples_wanted()) record_sample_bounds(*bounds, data, km.labels.data());
    bounds = nullptr;
  }
  // The plain full search packs the centroids in their order; the bounds keep their
  // own packing, group after group.
  std::optional<kernels::CentroidPanels> panels;
  if (!bounds) panels.emplace(current.data(), k, d, euclidean);
  const bool record_all = mode == AssignmentBounds::Mode::Record;

  // Written in place: every entry is replaced (or proven unchanged), and reusing the
  // buffer spares the page faults of a fresh n-entry allocation on every call.
  km.labels.resize(n);
  std::uint64_t* labels = km.labels.data();
  const std::size_t chunk_rows = sums ? sums->chunk_rows() : kRowsPerTask;
  // Counted in 64 bits and stored as the nearest f32: an f32 running count would
  // stop growing at 2^24 points. With few clusters every task counts its own rows
  // while their labels are in cache (a count is exact in any order); with many, a
  // task's counts would take more memory than its rows, and one pass counts them all.
  std::vector<std::uint64_t> counts(k, 0);
  const bool count_in_tasks = k <= kClustersCountedInTasks;
  std::mutex counts_merge;
  parallel_for((n + chunk_rows - 1) / chunk_rows, 1, [&](std::size_t first_chunk, std::size_t last_chunk) {
    std::vector<float> scratch;
    std::vector<std::uint64_t> task_counts(count_in_tasks ? k : 0, 0);
    std::optional<GroupedSearch> search;
    if (bounds) search.emplace(*bounds, labels, d);
    const auto count_labels = [&](std::size_t first, std::size_t count) {
      if (count_in_tasks)
        for (std::size_t r = 0; r < count; ++r) ++task_counts[labels[first + r]];
    };
    const auto chunk_range = [&](std::size_t c) { return std::pair(c * chunk_rows, std::min(n, (c + 1) * chunk_rows)); };
    for (std::size_t c = first_chunk; c < last_chunk; ++c) {
      const auto [begin, end] = chunk_range(c);
      if (search && !record_all) {
        // The rows the bounds leave open, searched in gathered batches (the others are
        // not read); then the chunk's sums, in row order.
        for_each_row_block(data, begin, end, scratch,
                           [&](std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                             search->search_unless_kept(first, count, rows, stride);
                           });
        search->flush();
        if (sums && sums->holds(c)) {
          sums->update_chunk(c, data, labels + begin, scratch);
          count_labels(begin, end - begin);
          continue;
        }
      }
      double* chunk_sums = sums ? sums->start_chunk(c) : nullptr;
      for_each_row_block(data, begin, end, scratch,
                         [&](std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                           if (panels) {
                             const float* norms = euclidean ? point_norms.data() + first : nullptr;
                             kernels::nearest_centroids(*panels, rows, stride, count, norms, labels + first, nullptr);
                           } else if (record_all) {
                             search->search_rows(first, count, rows, stride);
                           }
                           if (chunk_sums)
                             kernels::add_rows_by_label(rows, stride, count, labels + first, 0, k, chunk_sums, d);
                           count_labels(first, count);
                         });
      if (sums) sums->finish_chunk(c, labels + begin);
    }
    if (search) search->finish();
    if (!count_in_tasks) return;
    const std::lock_guard<std::mutex> lock(counts_merge);
    for (std::size_t c = 0; c < k; ++c) counts[c] += task_counts[c];
  });
  if (!count_in_tasks)
    for (std::size_t i = 0; i < n; ++i) ++counts[labels[i]];
  km.cluster_sizes.assign(counts.begin(), counts.end());
  return counts;
}

}  // namespace

void KMeans::assign_clusters(const MatrixView& data, std::span<const float> point_norms, AssignmentBounds* bounds) {
  assign_rows(*this, data, point_norms, nullptr, bounds);
}

namespace {

// The caller's kept sums, else a plan of fresh ones in `fresh`; none when the sums
// would take too much memory.
ChunkedRowSums* sums_for(const KMeans& km, const MatrixView& data, ChunkedRowSums* kept,
                         std::optional<ChunkedRowSums>& fresh) {
  if (kept) return kept;
  fresh = ChunkedRowSums::plan(data.rows(), km.n_clusters, data.cols());
  return fresh ? &*fresh : nullptr;
}

}  // namespace

Matrix KMeans::assign_clusters_and_means(const MatrixView& data, std::span<const float> point_norms,
                                         AssignmentBounds* bounds, ChunkedRowSums* kept_sums) {
  std::optional<ChunkedRowSums> fresh;
  ChunkedRowSums* sums = sums_for(*this, data, kept_sums, fresh);
  if (!sums) {
    assign_clusters(data, point_norms, bounds);
    return mean_centroids(data, labels, n_clusters);
  }
  const std::vector<std::uint64_t> counts = assign_rows(*this, data, point_norms, sums, bounds);
  return sums->means(counts);
}

std::vector<double> KMeans::assign_clusters_and_sums(const MatrixView& data, std::span<const float> point_norms,
                                                     AssignmentBounds* bounds, ChunkedRowSums* kept_sums) {
  std::optional<ChunkedRowSums> fresh;
  ChunkedRowSums* sums = sums_for(*this, data, kept_sums, fresh);
  if (!sums) {
    assign_clusters(data, point_norms, bounds);
    std::vector<double> total(n_clusters * data.cols(), 0.0);
    add_rows_of_clusters(data, labels, 0, n_clusters, total);
    return total;
  }
  assign_rows(*this, data, point_norms, sums, bounds);
  return sums->total();
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
