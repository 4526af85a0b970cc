#include "engine/empty_cluster_repair.h"

#include <algorithm>
#include <cstddef>

#include "engine/kmeans_error.h"

namespace plovek {

namespace {

constexpr float kGrow = 1.0009765625f;    // 1 + 1/1024
constexpr float kShrink = 0.9990234375f;  // 1 - 1/1024

// Walks the donor search from cluster 0: every candidate gets a fresh 23-bit draw r
// and is taken when (size - 1) / (n - k) > r. With n = k the quotient is +inf for a
// size above 1 (taken at once), NaN for a size of 1 and -inf for 0 (never taken).
std::uint64_t choose_donor(std::span<const float> sizes, float n_f, float k_f, RandomGenerator& generator) {
  const std::uint64_t k = sizes.size();
  const float spare = n_f - k_f;
  std::uint64_t j = 0;
  for (;;) {
    const float r = unit_float_from_bits(generator.next_u32());
    const float p = (sizes[j] - 1.0f) / spare;
    if (p > r) return j;
    j = (j + 1) % k;
    // The sizes sum to n >= k, so while a cluster is empty another exceeds 1 and the
    // search ends with probability 1. Check that once per full lap, so that a broken
    // state cannot loop for ever.
    if (j == 0 && std::none_of(sizes.begin(), sizes.end(), [](float s) { return s > 1.0f; })) {
      throw InternalError("empty-cluster repair found no cluster with more than one point");
    }
  }
}

// Makes a uniformly chosen member of `donor` the medoid of `cluster`; a donor without
// members (a cluster re-seeded earlier in the same pass) leaves `cluster` as it is.
void reseed_from_member(KMeans& model, const MatrixView& data, std::uint64_t cluster, std::uint64_t donor,
                        RandomGenerator& generator) {
  const std::span<const std::uint64_t> labels = model.labels;
  const std::uint64_t members = static_cast<std::uint64_t>(std::count(labels.begin(), labels.end(), donor));
  if (members == 0) return;
  std::uint64_t wanted = generator.uniform_below(members);
  std::uint64_t point = 0;
  for (; point < labels.size(); ++point) {
    if (labels[point] == donor && wanted-- == 0) break;
  }
  if (point >= data.rows()) throw InternalError("empty-cluster repair: medoid outside the data");
  model.medoid_indices[cluster] = point;
  data.copy_row(point, model.centroids->row(cluster).data());
}

// Copies the donor's centroid into `cluster` and pushes the two apart: even columns
// grow in the copy and shrink in the donor, odd columns the other way round.
void reseed_by_splitting(Matrix& centroids, std::uint64_t cluster, std::uint64_t donor) {
  const std::span<float> target = centroids.row(cluster);
  const std::span<float> source = centroids.row(donor);
  std::copy(source.begin(), source.end(), target.begin());
  for (std::size_t t = 0; t < target.size(); ++t) {
    const bool even = t % 2 == 0;
    target[t] *= even ? kGrow : kShrink;
    source[t] *= even ? kShrink : kGrow;
  }
}

}  // namespace

void repair_empty_clusters(KMeans& model, const MatrixView& data, RandomGenerator& generator) {
  const std::uint64_t k = model.n_clusters;
  if (!model.centroids || model.centroids->rows() != k || model.cluster_sizes.size() != k) {
    throw InternalError("empty-cluster repair needs k centroids and k cluster sizes");
  }
  if (model.use_medoids && (model.medoid_indices.size() != k || model.labels.size() != data.rows())) {
    throw InternalError("empty-cluster repair needs k medoids and one label per point");
  }
  std::span<float> sizes = model.cluster_sizes;
  const float n_f = static_cast<float>(data.rows());
  const float k_f = static_cast<float>(k);

  for (std::uint64_t c = 0; c < k; ++c) {
    if (sizes[c] != 0.0f) continue;
    const std::uint64_t donor = choose_donor(sizes, n_f, k_f, generator);
    if (model.use_medoids) {
      reseed_from_member(model, data, c, donor, generator);
    } else {
      reseed_by_splitting(*model.centroids, c, donor);
    }
    sizes[c] = 0.5f * sizes[donor];
    sizes[donor] = sizes[donor] - sizes[c];
  }
}

}  // namespace plovek
