#include "engine/distinct_centroids.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "engine/distinct_rows.h"
#include "simd/kernels.h"

namespace plovek {

namespace {

std::uint64_t row_hash(std::span<const float> row) {
  RowBitsHash hash;
  for (const float v : row) hash.add(std::bit_cast<std::uint32_t>(v));
  return hash.value();
}

}  // namespace

std::vector<std::uint32_t> tie_winning_centroids(const Matrix& centroids, bool euclidean) {
  const std::size_t k = centroids.rows(), bytes = centroids.cols() * sizeof(float);
  std::vector<std::uint64_t> hashes(k);
  for (std::size_t j = 0; j < k; ++j) hashes[j] = row_hash(centroids.row(j));
  // Rows of no columns have no data to compare (and no address to pass).
  const auto bit_order = [&](std::uint32_t a, std::uint32_t b) {
    return bytes == 0 ? 0 : std::memcmp(centroids.row(a).data(), centroids.row(b).data(), bytes);
  };
  const auto equal = [&](std::uint32_t a, std::uint32_t b) { return hashes[a] == hashes[b] && bit_order(a, b) == 0; };
  // Equal rows side by side, each run by ascending index.
  std::vector<std::uint32_t> order(k);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (hashes[a] != hashes[b]) return hashes[a] < hashes[b];
    const int bits = bit_order(a, b);
    return bits != 0 ? bits < 0 : a < b;
  });
  const bool later_wins = kernels::later_index_wins_ties(euclidean);
  std::vector<std::uint32_t> winners;
  for (std::size_t first = 0, last = 0; first < k; first = last) {
    for (last = first + 1; last < k && equal(order[first], order[last]);) ++last;
    winners.push_back(later_wins ? order[last - 1] : order[first]);
  }
  if (winners.size() == k) return {};
  std::sort(winners.begin(), winners.end());
  return winners;
}

}  // namespace plovek
