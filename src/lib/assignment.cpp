// Nearest-centroid assignment, the cost of a labelling and centroid normalisation.
#include <vector>

#include "kernels/centroid_panels.h"
#include "kernels/dot.h"
#include "kmeans.h"
#include "normalize.h"
#include "row_blocks.h"
#include "thread_pool.h"

namespace plovek {

namespace {

constexpr std::size_t kRowsPerTask = 1024;  // smallest share of the points one worker takes

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

void KMeans::assign_clusters(const MatrixView& data, std::span<const float> point_norms) {
  const Matrix& current = required_centroids(*this);
  const std::size_t n = data.rows();
  if (euclidean && point_norms.size() != n) throw InternalError("point norms are required for the Euclidean metric");
  const kernels::CentroidPanels panels(current.data(), current.rows(), current.cols(), euclidean);

  std::vector<std::uint64_t> new_labels(n);
  parallel_for(n, kRowsPerTask, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch;
    for_each_row_block(data, begin, end, scratch,
                       [&](std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                         const float* norms = euclidean ? point_norms.data() + first : nullptr;
                         kernels::nearest_centroids(panels, rows, stride, count, norms, new_labels.data() + first);
                       });
  });
  labels = std::move(new_labels);

  // Counted in 64 bits and stored as the nearest f32: an f32 running count would
  // stop growing at 2^24 points.
  std::vector<std::uint64_t> counts(n_clusters, 0);
  for (const std::uint64_t label : labels) ++counts[label];
  cluster_sizes.assign(counts.begin(), counts.end());
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
