#include "engine/centroid_groups.h"

#include <algorithm>

#include "simd/kernels.h"

namespace plovek {

namespace {

constexpr int kLloydSteps = 5;

// Every centroid's squared distance to every centre: [centroid][centre]. From f32 dot
// products: the groups only steer the work, so they need no exact distances.
std::vector<double> distances_to_centres(const Matrix& centroids, const std::vector<double>& centres,
                                         std::size_t groups) {
  const std::size_t k = centroids.rows(), d = centroids.cols();
  const std::vector<float> narrow(centres.begin(), centres.end());
  std::vector<float> centre_norms(groups);
  for (std::size_t g = 0; g < groups; ++g) centre_norms[g] = kernels::dot(&narrow[g * d], &narrow[g * d], d);
  std::vector<double> distances(k * groups);
  for (std::size_t j = 0; j < k; ++j) {
    const float* row = centroids.row(j).data();
    const double norm = kernels::dot(row, row, d);
    for (std::size_t g = 0; g < groups; ++g)
      distances[j * groups + g] = norm + centre_norms[g] - 2.0 * double(kernels::dot(row, &narrow[g * d], d));
  }
  return distances;
}

// Each centre moved to the mean of the centroids nearest to it (a centre that none is
// nearest to stays).
void lloyd_step(const Matrix& centroids, std::size_t groups, std::vector<double>& centres) {
  const std::size_t k = centroids.rows(), d = centroids.cols();
  const std::vector<double> distances = distances_to_centres(centroids, centres, groups);
  std::vector<double> sums(groups * d, 0.0);
  std::vector<std::size_t> sizes(groups, 0);
  for (std::size_t j = 0; j < k; ++j) {
    const double* row = distances.data() + j * groups;
    const std::size_t g = static_cast<std::size_t>(std::min_element(row, row + groups) - row);
    ++sizes[g];
    for (std::size_t t = 0; t < d; ++t) sums[g * d + t] += centroids.row(j)[t];
  }
  for (std::size_t g = 0; g < groups; ++g)
    if (sizes[g] > 0)
      for (std::size_t t = 0; t < d; ++t) centres[g * d + t] = sums[g * d + t] / static_cast<double>(sizes[g]);
}

}  // namespace

CentroidGroups group_centroids(const Matrix& centroids, std::size_t group_size) {
  const std::size_t k = centroids.rows(), d = centroids.cols();
  CentroidGroups result{.group_size = std::max<std::size_t>(group_size, 1), .order = {}, .group_of = {}};
  const std::size_t groups = (k + result.group_size - 1) / result.group_size;
  if (groups <= 1) {
    // Nothing to steer: every centroid in the one group, in order (no centres, whose
    // k x d sums would take more memory than the centroids on long rows).
    result.group_of.assign(k, 0);
    result.order.resize(k);
    for (std::size_t j = 0; j < k; ++j) result.order[j] = static_cast<std::uint32_t>(j);
    return result;
  }
  std::vector<double> centres(groups * d);
  for (std::size_t g = 0; g < groups; ++g)
    std::copy_n(centroids.row(g * k / groups).data(), d, centres.begin() + static_cast<std::ptrdiff_t>(g * d));
  for (int step = 0; step < kLloydSteps; ++step) lloyd_step(centroids, groups, centres);

  // Nearest (centroid, group) pairs first; a centroid goes to the first group with room.
  const std::vector<double> distances = distances_to_centres(centroids, centres, groups);
  std::vector<std::uint32_t> pairs(k * groups);
  for (std::size_t e = 0; e < pairs.size(); ++e) pairs[e] = static_cast<std::uint32_t>(e);
  std::stable_sort(pairs.begin(), pairs.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return distances[a] < distances[b]; });
  std::vector<std::size_t> room(groups, result.group_size);
  room[groups - 1] = k - (groups - 1) * result.group_size;
  result.group_of.assign(k, static_cast<std::uint32_t>(groups));
  for (const std::uint32_t pair : pairs) {
    const std::size_t j = pair / groups, g = pair % groups;
    if (result.group_of[j] != groups || room[g] == 0) continue;
    result.group_of[j] = static_cast<std::uint32_t>(g);
    --room[g];
  }
  result.order.resize(k);
  std::vector<std::size_t> next(groups);
  for (std::size_t g = 0; g < groups; ++g) next[g] = g * result.group_size;
  for (std::size_t j = 0; j < k; ++j) result.order[next[result.group_of[j]]++] = static_cast<std::uint32_t>(j);
  return result;
}

}  // namespace plovek
