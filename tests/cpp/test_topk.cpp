// Top-k membership on trained models set up by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "levels.h"
#include "simd/kernels.h"
#include "engine/kmeans.h"

namespace plovek {
namespace {

using Lists = ClusterLists;
using Rows = std::vector<std::vector<float>>;

KMeans trained_model(const Rows& rows, bool euclidean) {
  KMeans km(rows.size());
  km.euclidean = euclidean;
  km.centroids = Matrix(rows.size(), rows[0].size());
  for (std::size_t c = 0; c < rows.size(); ++c) std::copy(rows[c].begin(), rows[c].end(), km.centroids->row(c).begin());
  km.labels = {0, 0, 0};
  km.cluster_sizes.assign(rows.size(), 1.0f);
  km.is_trained = true;
  return km;
}

// Multiples of 1/8 in [-1, 1]: every dot product is exact whatever the summation
// order, and many scores are equal.
std::vector<float> eighths(std::size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  std::vector<float> values(count);
  for (float& v : values) v = static_cast<float>(static_cast<int>(engine() % 17) - 8) / 8.0f;
  return values;
}

KMeans random_model(std::size_t clusters, std::size_t d, bool euclidean, unsigned seed) {
  const std::vector<float> values = eighths(clusters * d, seed);
  Rows rows(clusters);
  for (std::size_t c = 0; c < clusters; ++c) rows[c].assign(values.begin() + c * d, values.begin() + (c + 1) * d);
  return trained_model(rows, euclidean);
}

// The defining computation: per point, a stable sort of all clusters by their scores
// from rounded products.
std::vector<std::vector<std::uint32_t>> reference_orders(const KMeans& km, const MatrixView& data) {
  const std::size_t clusters = km.n_clusters, d = data.cols();
  std::vector<std::vector<std::uint32_t>> orders(data.rows(), std::vector<std::uint32_t>(clusters));
  std::vector<float> x(d), score(clusters);
  for (std::size_t i = 0; i < data.rows(); ++i) {
    data.copy_row(i, x.data());
    for (std::size_t c = 0; c < clusters; ++c) {
      const float* centroid = km.centroids->row(c).data();
      const float s = test_support::ascending_dot(centroid, x.data(), d);
      score[c] = km.euclidean ? (test_support::row_order_dot(centroid, centroid, d) - 2.0f * s) +
                                    test_support::row_order_dot(x.data(), x.data(), d)
                              : -s;
    }
    std::iota(orders[i].begin(), orders[i].end(), 0u);
    std::stable_sort(orders[i].begin(), orders[i].end(), [&](auto a, auto b) { return score[a] < score[b]; });
  }
  return orders;
}

Lists first_k(const std::vector<std::vector<std::uint32_t>>& orders, std::size_t clusters, std::uint64_t k) {
  Lists lists(clusters);
  for (std::size_t i = 0; i < orders.size(); ++i) {
    for (std::size_t m = 0; m < std::min<std::uint64_t>(k, clusters); ++m) lists[orders[i][m]].push_back(i);
  }
  return lists;
}

TEST(TopKChecks, ErrorsComeInOrderWithTheirTexts) {
  const std::vector<float> five(2 * 5, 0.0f);
  const MatrixView data = MatrixView::row_major(five.data(), 2, 5);
  EXPECT_EQ(KMeans(3).assign(data, 0).error().display(), "Clustering has not been trained yet");
  const KMeans km = trained_model(Rows(3, std::vector<float>(8, 1.0f)), true);
  EXPECT_EQ(km.assign(data, 0).error().display(), "Invalid parameter: k must be positive");
  EXPECT_EQ(km.assign(data, 1).error().display(), "Dimension mismatch: expected 8, got 5");
}

TEST(TopKOrder, NearestFirstWithTheLowerClusterOnEqualScores) {
  const float point[2] = {0.6f, 0.8f};  // scores 0.8, 0.4, 3.2 (Euclidean) or -0.6, -0.8, 0.6
  const MatrixView one = MatrixView::row_major(point, 1, 2);
  // Clusters 1 and 3 are identical and nearest for these points, cluster 0 is next.
  const Rows twins = {{0.5f, 0.5f}, {2.0f, 2.0f}, {-3.0f, -3.0f}, {2.0f, 2.0f}};
  const float points[6] = {2.0f, 2.0f, 1.5f, 1.9f, 3.0f, 2.5f};
  const MatrixView three = MatrixView::row_major(points, 3, 2);
  for (const bool euclidean : {true, false}) {
    const KMeans km = trained_model({{1.0f, 0.0f}, {0.0f, 1.0f}, {-1.0f, 0.0f}}, euclidean);
    const KMeans before = km.clone();
    EXPECT_EQ(km.assign(one, 1).value(), (Lists{{}, {0}, {}}));
    EXPECT_EQ(km.assign(one, 2).value(), (Lists{{0}, {0}, {}}));
    EXPECT_EQ(km.assign(one, 1000).value(), (Lists{{0}, {0}, {0}}));
    EXPECT_TRUE(km.centroids == before.centroids && km.labels == before.labels &&
                km.cluster_sizes == before.cluster_sizes);

    const KMeans twin = trained_model(twins, euclidean);
    EXPECT_EQ(twin.assign(three, 1).value(), (Lists{{}, {0, 1, 2}, {}, {}}));
    EXPECT_EQ(twin.assign(three, 2).value(), (Lists{{}, {0, 1, 2}, {}, {0, 1, 2}}));
  }
  // A row of zeros scores zero against every cluster (+0 and -0 tie): cluster 0 wins.
  const float zeros[2] = {0.0f, -0.0f};
  EXPECT_EQ(trained_model(twins, false).assign(MatrixView::row_major(zeros, 1, 2), 1).value(),
            (Lists{{0}, {}, {}, {}}));
}

TEST(TopKOrder, MatchesAStableSortOfAllClusters) {
  // Small and strided inputs, then enough points and clusters for several blocks of
  // points shared among the workers.
  const std::vector<float> small = eighths(2 * 200 * 3, 41);
  const MatrixView every_second(small.data(), 200, 3, 6, 1);
  std::vector<float> by_column(200 * 3);
  for (std::size_t i = 0; i < 200; ++i)
    for (std::size_t t = 0; t < 3; ++t) by_column[t * 200 + i] = every_second.at(i, t);
  const std::vector<float> large = eighths(12000 * 4, 42);
  for (const bool euclidean : {true, false}) {
    const KMeans km = random_model(9, 3, euclidean, 43);
    const auto orders = reference_orders(km, every_second);
    for (const std::uint64_t k : {1, 2, 4, 8, 9}) {
      const Lists expected = first_k(orders, 9, k);
      EXPECT_EQ(km.assign(every_second, k).value(), expected) << k;
      EXPECT_EQ(km.assign(MatrixView(by_column.data(), 200, 3, 1, 200), k).value(), expected) << k;
    }
    const KMeans wide = random_model(300, 4, euclidean, 44);
    const MatrixView data = MatrixView::row_major(large.data(), 12000, 4);
    const auto large_orders = reference_orders(wide, data);
    for (const std::uint64_t k : {1, 5, 16, 17, 200}) EXPECT_EQ(wide.assign(data, k).value(), first_k(large_orders, 300, k)) << k;
  }
  // No rows: one empty list per cluster.
  EXPECT_EQ(random_model(3, 2, true, 45).assign(MatrixView(nullptr, 0, 2, 2, 1), 2).value(), (Lists{{}, {}, {}}));
}

// Near-ties that fused multiply-adds would order otherwise, at every level: centroids
// (a, b) and (b, a) against points (t, t), then thirds of small integers against
// centroids each an ulp from the one before, for cuts on both selection paths.
TEST(TopKOrder, NearTiesAreOrderedByRoundedProductsAtEveryLevel) {
  const float a = -0.8268087f, b = 3.8821914f;
  std::vector<float> diagonal;
  for (int s = 0; s <= 200; ++s) diagonal.insert(diagonal.end(), 2, float(-5.0 + s * 0.05));
  std::vector<std::uint64_t> all(201);
  std::iota(all.begin(), all.end(), 0u);
  std::mt19937 rng(47);
  const std::size_t n = 400, d = 19, clusters = 40;
  std::vector<float> thirds(n * d);
  for (float& v : thirds) v = float(int(rng() % 7) - 3) / 3.0f;
  Rows rows(clusters);
  for (std::size_t c = 0; c < clusters; ++c) {
    rows[c] = c % 4 == 0 ? std::vector<float>(thirds.begin() + c * d, thirds.begin() + (c + 1) * d) : rows[c - 1];
    float& nudged = rows[c][rng() % d];
    if (c % 4 != 0) nudged = std::nextafter(nudged, 2.0f);
  }
  const MatrixView data = MatrixView::row_major(thirds.data(), n, d);
  for (const bool euclidean : {true, false}) {
    const KMeans symmetric = trained_model({{a, b}, {b, a}}, euclidean);
    const KMeans nudged = trained_model(rows, euclidean);
    const auto orders = reference_orders(nudged, data);
    test_support::for_each_level([&](kernels::SimdLevel) {
      EXPECT_EQ(symmetric.assign(MatrixView::row_major(diagonal.data(), 201, 2), 1).value(), (Lists{all, {}}));
      for (const std::uint64_t k : {1, 3, 15, 16, 25})
        EXPECT_EQ(nudged.assign(data, k).value(), first_k(orders, clusters, k)) << "k=" << k;
    });
  }
}

// The calling thread asks the check before each block of points; a yes ends the call
// there, whatever blocks the time they take has made.
TEST(TopKCancellation, TheCheckIsAskedBetweenBlocksAndAYesEndsTheCall) {
  struct Asks {
    std::uint64_t count = 0, stop_at = 0;
  } asks;
  const Cancellation counted{[](void* context) {
                               auto& a = *static_cast<Asks*>(context);
                               return ++a.count == a.stop_at;
                             },
                             &asks, std::chrono::microseconds{0}};
  const std::vector<float> values = eighths(12000 * 4, 42);
  const MatrixView data = MatrixView::row_major(values.data(), 12000, 4);
  const KMeans km = random_model(300, 4, true, 44);
  EXPECT_EQ(km.assign(data, 200, counted).value(), km.assign(data, 200).value());
  EXPECT_GE(asks.count, 2u);
  asks = {.count = 0, .stop_at = 2};
  EXPECT_THROW((void)km.assign(data, 200, counted), Cancelled);
  EXPECT_EQ(asks.count, 2u);
}

TEST(TopKNonFinite, UnorderableScoresFailTheWholeCall) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (const bool euclidean : {true, false}) {
    const KMeans km = trained_model({{1.0f, 0.0f}, {0.0f, 1.0f}}, euclidean);
    const KMeans before = km.clone();
    const float last_nan[6] = {0.2f, 0.3f, 0.5f, 0.1f, nan, 1.0f};  // nothing of the earlier points returned
    const auto result = km.assign(MatrixView::row_major(last_nan, 3, 2), 1);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), KMeansError::Kind::InvalidParameter);
    EXPECT_NE(result.error().message().find("NaN or infinite"), std::string::npos);
    const float infinite[2] = {inf, 0.5f};  // inf * 0 is NaN under both metrics
    EXPECT_FALSE(km.assign(MatrixView::row_major(infinite, 1, 2), 2).ok());
    EXPECT_TRUE(km.centroids == before.centroids && km.labels == before.labels);
  }
  // Finite values whose Euclidean score overflows to inf - inf, and a NaN centroid.
  const float large[2] = {3.0e30f, 1.0f};
  EXPECT_FALSE(trained_model({{3.0e30f, 0.0f}, {0.0f, 3.0e30f}}, true).assign(MatrixView::row_major(large, 1, 2), 1).ok());
  const float plain[2] = {1.0f, 1.0f};
  EXPECT_FALSE(trained_model({{nan, 0.0f}, {0.0f, 1.0f}}, false).assign(MatrixView::row_major(plain, 1, 2), 1).ok());
  // One cluster: nothing is compared, so every point is listed whatever its values.
  const float odd[6] = {nan, 1.0f, 0.0f, 0.0f, inf, -1.0f};
  for (const bool euclidean : {true, false}) {
    EXPECT_EQ(trained_model({{1.0f, 2.0f}}, euclidean).assign(MatrixView::row_major(odd, 3, 2), 4).value(),
              (Lists{{0, 1, 2}}));
  }
}

}  // namespace
}  // namespace plovek
