// Nearest-centroid assignment over strided views, cluster counts, cost and
// normalisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "engine/assignment_pass.h"
#include "engine/kmeans.h"
#include "levels.h"
#include "engine/mean_update.h"
#include "engine/nearest_search.h"
#include "simd/kernels.h"

namespace plovek {
namespace {

KMeans record_with_centroids(std::vector<std::vector<float>> rows, bool euclidean) {
  KMeans km(rows.size());
  km.euclidean = euclidean;
  km.centroids = Matrix(rows.size(), rows.empty() ? 0 : rows[0].size());
  for (std::size_t c = 0; c < rows.size(); ++c) std::copy(rows[c].begin(), rows[c].end(), km.centroids->row(c).begin());
  return km;
}

std::vector<float> random_matrix(std::size_t n, std::size_t d, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> values(n * d);
  for (float& v : values) v = normal(rng);
  return values;
}

std::vector<std::uint64_t> labels_for(KMeans km, const MatrixView& data) {
  const std::vector<float> norms = compute_point_norms(data);
  km.assign_clusters(data, norms);
  return km.labels;
}

TEST(AssignmentLayouts, StridedAndUnalignedViewsGiveTheLabelsOfAContiguousCopy) {
  const std::size_t n = 517, d = 13, k = 9;
  const std::vector<float> rows = random_matrix(n, d, 1);
  KMeans km(k);
  km.centroids = Matrix(k, d);
  std::copy(rows.begin(), rows.begin() + k * d, km.centroids->data());  // the first k rows as centroids

  for (const bool euclidean : {true, false}) {
    km.euclidean = euclidean;
    const std::vector<std::uint64_t> expected = labels_for(km, MatrixView::row_major(rows.data(), n, d));

    std::vector<float> column_major(n * d);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t t = 0; t < d; ++t) column_major[t * n + i] = rows[i * d + t];
    EXPECT_EQ(labels_for(km, MatrixView(column_major.data(), n, d, 1, std::ptrdiff_t(n))), expected);

    std::vector<float> reversed(n * d);
    for (std::size_t i = 0; i < n; ++i) std::copy_n(&rows[i * d], d, &reversed[(n - 1 - i) * d]);
    EXPECT_EQ(labels_for(km, MatrixView(&reversed[(n - 1) * d], n, d, -std::ptrdiff_t(d), 1)), expected);

    std::vector<float> every_second(2 * n * 2 * d, 99.0f);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t t = 0; t < d; ++t) every_second[(2 * i) * 2 * d + 2 * t] = rows[i * d + t];
    EXPECT_EQ(labels_for(km, MatrixView(every_second.data(), n, d, std::ptrdiff_t(4 * d), 2)), expected);

    std::vector<unsigned char> bytes(n * d * sizeof(float) + 1);
    std::memcpy(bytes.data() + 1, rows.data(), n * d * sizeof(float));
    EXPECT_EQ(labels_for(km, MatrixView(bytes.data() + 1, n, d, std::ptrdiff_t(d), 1)), expected);
  }
}

TEST(AssignmentTies, ZeroColumnsAndIdenticalCentroidsFollowEachMetricsRule) {
  std::vector<float> none;
  const MatrixView empty_columns(none.data(), 7, 0, 0, 1);
  EXPECT_EQ(labels_for(record_with_centroids({{}, {}, {}}, true), empty_columns), std::vector<std::uint64_t>(7, 0));
  EXPECT_EQ(labels_for(record_with_centroids({{}, {}, {}}, false), empty_columns), std::vector<std::uint64_t>(7, 2));

  const std::vector<float> points = {0.9f, 0.1f, 0.2f, 0.8f, 1.0f, 0.0f};
  const MatrixView view = MatrixView::row_major(points.data(), 3, 2);
  const std::vector<std::vector<float>> twins = {{1, 0}, {0, 1}, {1, 0}};
  EXPECT_EQ(labels_for(record_with_centroids(twins, true), view), (std::vector<std::uint64_t>{0, 1, 0}));
  EXPECT_EQ(labels_for(record_with_centroids(twins, false), view), (std::vector<std::uint64_t>{2, 1, 2}));
}

// Seeds (a, b) and (b, a) score every point (t, t) the same with rounded products:
// the training assignment follows each metric's tie rule at every level.
TEST(AssignmentTies, SymmetricSeedsTieForDiagonalPointsAtEveryLevel) {
  const float a = -0.8268087f, b = 3.8821914f;
  std::vector<float> diagonal;
  for (int s = 0; s <= 200; ++s) diagonal.insert(diagonal.end(), 2, float(-5.0 + s * 0.05));
  const MatrixView data = MatrixView::row_major(diagonal.data(), 201, 2);
  test_support::for_each_level([&](kernels::SimdLevel) {
    for (const bool euclidean : {true, false}) {
      const std::vector<std::uint64_t> labels = labels_for(record_with_centroids({{a, b}, {b, a}}, euclidean), data);
      EXPECT_EQ(labels, std::vector<std::uint64_t>(201, euclidean ? 0 : 1)) << "euclidean=" << euclidean;
    }
  });
}

// Centroids equal bit for bit: every label is the one the search gives with the
// others of each set moved far away, their tie winner (lowest index, or highest under
// the inner product) left alone; rows of 40 columns and rows of 3 that repeat (their
// distinct rows searched).
TEST(AssignmentTies, EqualCentroidsLabelAsTheirTieWinnerAlone) {
  std::mt19937 rng(11);
  for (const std::size_t d : {std::size_t{3}, std::size_t{40}}) {
    const std::size_t n = d == 3 ? 40000 : 3000, k = 50;
    std::vector<float> values(n * d);
    for (float& v : values) v = float(rng() % (d == 3 ? 9u : 4096u) + 1);
    const MatrixView data = MatrixView::row_major(values.data(), n, d);
    const std::vector<std::vector<std::size_t>> equal_sets = {{4, 7, 19, 33, 49}, {10, 11, 12}};
    test_support::for_each_level([&](kernels::SimdLevel) {
      for (const bool euclidean : {true, false}) {
        const std::vector<float> norms = euclidean ? compute_point_norms(data) : std::vector<float>{};
        const auto labels_with = [&](const Matrix& centroids) {
          KMeans km(k);
          km.euclidean = euclidean;
          km.centroids = centroids;
          std::vector<std::uint64_t> counts;
          assign_for_training(km, data, *make_bounded_search(data, euclidean, norms), nullptr, counts);
          return km.labels;
        };
        Matrix equal(k, d);
        for (std::size_t c = 0; c < k; ++c) data.copy_row(c * (n / k), equal.row(c).data());
        // The inner product's largest dot products go to the longest row, along the diagonal.
        if (!euclidean) std::fill_n(equal.row(4).data(), d, d == 3 ? 9.0f : 4096.0f);
        for (const auto& set : equal_sets)
          for (const std::size_t c : set) std::copy_n(equal.row(set.front()).data(), d, equal.row(c).data());
        Matrix apart = equal;
        for (const auto& set : equal_sets)
          for (const std::size_t c : set)
            if (c != (euclidean ? set.front() : set.back())) std::fill_n(apart.row(c).data(), d, euclidean ? 1e6f : -1.0f);
        const std::vector<std::uint64_t> labels = labels_with(equal);
        EXPECT_EQ(labels, labels_with(apart)) << "d=" << d << " euclidean=" << euclidean;
        EXPECT_NE(std::count(labels.begin(), labels.end(), euclidean ? 4u : 49u), 0) << "d=" << d;
      }
    });
  }
}

TEST(AssignmentSizes, AreWholeCountsSummingToNWithExactZerosForEmptyClusters) {
  const std::vector<float> points = {0, 0, 0.1f, 0, 5, 5, 5.2f, 5};
  KMeans km = record_with_centroids({{0, 0}, {100, 100}, {5, 5}}, true);
  const MatrixView view = MatrixView::row_major(points.data(), 4, 2);
  km.assign_clusters(view, compute_point_norms(view));
  EXPECT_EQ(km.labels, (std::vector<std::uint64_t>{0, 0, 2, 2}));
  EXPECT_EQ(km.cluster_sizes, (std::vector<float>{2.0f, 0.0f, 2.0f}));
}

// The sizes are counted in the assignment's tasks for few clusters and in one pass
// for many; either way they must be the labels' histogram, over many tasks.
TEST(AssignmentSizes, MatchTheLabelsForFewAndManyClusters) {
  for (const std::size_t k : {std::size_t{3}, std::size_t{20000}}) {
    const std::size_t n = 40000, d = 2;
    const std::vector<float> values = random_matrix(n, d, 11);
    std::vector<std::vector<float>> rows(k);
    for (std::size_t c = 0; c < k; ++c) rows[c] = {values[c * d], values[c * d + 1]};
    KMeans km = record_with_centroids(rows, true);
    const MatrixView view = MatrixView::row_major(values.data(), n, d);
    km.assign_clusters(view, compute_point_norms(view));
    std::vector<float> histogram(k, 0.0f);
    for (const std::uint64_t label : km.labels) histogram[label] += 1.0f;
    EXPECT_EQ(km.cluster_sizes, histogram) << "k=" << k;
  }
}

TEST(AssignmentSizes, CountPastTwoToTheTwentyFourInOneCluster) {
  const float row[] = {1.0f, 2.0f};
  const std::size_t n = (std::size_t{1} << 24) + 3;
  const MatrixView same_row(row, n, 2, 0, 1);  // every row is the one row above
  KMeans km = record_with_centroids({{1, 2}}, false);
  km.assign_clusters(same_row, {});
  EXPECT_EQ(km.cluster_sizes[0], static_cast<float>(n));  // 16777219 rounds to 16777220
  EXPECT_EQ(km.cluster_sizes[0], 16777220.0f);
}

TEST(AssignmentCost, IsZeroOnExactFitsAndTheMeanInnerProductOtherwise) {
  const std::vector<float> points = {1, 2, 3, 4, 1, 2};
  const MatrixView view = MatrixView::row_major(points.data(), 3, 2);
  KMeans km = record_with_centroids({{1, 2}, {3, 4}}, true);
  km.labels = {0, 1, 0};
  EXPECT_EQ(km.compute_cost(view), 0.0f);
  km.labels = {1, 1, 0};
  EXPECT_FLOAT_EQ(km.compute_cost(view), 8.0f / 3.0f);  // (4 + 4 + 0) / 3
  km.euclidean = false;
  EXPECT_FLOAT_EQ(km.compute_cost(view), (11.0f + 25.0f + 5.0f) / 3.0f);
}

TEST(AssignmentNormalisation, GivesUnitRowsForInnerProductOnlyAndKeepsZeroRows) {
  // The squares of the last two rows underflow: they are scaled up first, by a power
  // of two, so {3, -4} 2^-80 gets the bits of {3, 4} (signed).
  KMeans km = record_with_centroids({{3, 4}, {0, 0}, {1e-23f, 0}, {0x1.8p-79f, -0x1p-78f}}, false);
  km.postprocess_centroids();
  EXPECT_FLOAT_EQ(km.centroids->row(0)[0], 0.6f);
  EXPECT_FLOAT_EQ(km.centroids->row(0)[1], 0.8f);
  EXPECT_EQ(km.centroids->row(1)[0], 0.0f);
  EXPECT_EQ(km.centroids->row(1)[1], 0.0f);
  EXPECT_EQ(km.centroids->row(2)[0], 1.0f);
  EXPECT_EQ(km.centroids->row(3)[0], km.centroids->row(0)[0]);
  EXPECT_EQ(km.centroids->row(3)[1], -km.centroids->row(0)[1]);

  KMeans euclidean = record_with_centroids({{3, 4}}, true);
  euclidean.postprocess_centroids();
  EXPECT_EQ(euclidean.centroids->row(0)[0], 3.0f);
}

}  // namespace
}  // namespace plovek

namespace plovek {
namespace {

// The fused pass must give the labels of assign_clusters and the means of the
// separate mean update; quarter-integer data makes every double sum exact, so the two
// summation orders must agree to the bit.
TEST(AssignmentMeans, FusedPassGivesTheSeparateMeansOverManyChunksAndLayouts) {
  const std::size_t n = 30'011, d = 5, k = 7;
  std::mt19937 rng(4);
  std::vector<float> rows(n * d);
  for (float& v : rows) v = 0.25f * float(int(rng() % 400) - 200);
  std::vector<float> column_major(n * d);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t t = 0; t < d; ++t) column_major[t * n + i] = rows[i * d + t];
  for (const bool euclidean : {true, false}) {
    for (const MatrixView& view : {MatrixView::row_major(rows.data(), n, d),
                                   MatrixView(column_major.data(), n, d, 1, std::ptrdiff_t(n))}) {
      KMeans km(k);
      km.euclidean = euclidean;
      km.centroids = Matrix(k, d);
      std::copy_n(rows.begin(), k * d, km.centroids->data());
      const std::vector<float> norms = compute_point_norms(view);
      KMeans separate = km.clone();
      separate.assign_clusters(view, norms);
      std::optional<ChunkedRowSums> sums = ChunkedRowSums::plan(n, k, d, false);
      std::vector<std::uint64_t> counts;
      assign_for_training(km, view, *make_full_search(n, euclidean, norms), &*sums, counts);
      Matrix fused = *km.centroids;  // overwritten whole
      sums->store_means(counts, fused);
      EXPECT_EQ(km.labels, separate.labels);
      EXPECT_EQ(km.cluster_sizes, separate.cluster_sizes);
      EXPECT_EQ(fused, mean_centroids(view, separate.labels, k));
    }
  }
}

// Kept sums, brought up to date after labels changed in a few chunks (one row, a few,
// most clusters), equal sums filled afresh, bit for bit: rows of wide-ranging
// magnitudes make every sum depend on its order.
TEST(AssignmentMeans, KeptSumsUpdatedWhereLabelsChangedEqualFreshSums) {
  const std::size_t n = 5'000, d = 3, k = 40;
  std::mt19937 rng(8);
  std::vector<float> rows(n * d);
  for (float& v : rows) v = std::ldexp(float(rng() % 1000) - 500.0f, int(rng() % 40) - 20);
  std::vector<float> column_major(n * d);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t t = 0; t < d; ++t) column_major[t * n + i] = rows[i * d + t];
  std::vector<std::uint64_t> labels(n);
  for (auto& label : labels) label = rng() % k;
  for (const MatrixView& view : {MatrixView::row_major(rows.data(), n, d),
                                 MatrixView(column_major.data(), n, d, 1, std::ptrdiff_t(n))}) {
    const auto fill = [&](ChunkedRowSums& sums) {
      std::vector<float> row(d);
      for (std::size_t c = 0; c * sums.chunk_rows() < n; ++c) {
        double* chunk = sums.start_chunk(c);
        for (std::size_t i = c * sums.chunk_rows(); i < std::min(n, (c + 1) * sums.chunk_rows()); ++i)
          kernels::add_rows_by_label(view.row(i, row.data()), 0, 1, &labels[i], 0, k, chunk, d);
        sums.finish_chunk(c, labels.data() + c * sums.chunk_rows());
      }
    };
    std::optional<ChunkedRowSums> kept = ChunkedRowSums::plan(n, k, d, true);
    ASSERT_TRUE(kept && kept->chunk_rows() < n / 4);
    fill(*kept);
    kept->total();
    std::vector<float> scratch;
    const auto update_and_compare = [&] {
      for (std::size_t c = 0; c * kept->chunk_rows() < n; ++c) {
        ASSERT_TRUE(kept->holds(c));
        kept->update_chunk(c, view, labels.data() + c * kept->chunk_rows(), scratch);
      }
      std::optional<ChunkedRowSums> fresh = ChunkedRowSums::plan(n, k, d, false);
      fill(*fresh);
      EXPECT_EQ(kept->total(), fresh->total());
    };
    labels[7] = (labels[7] + 1) % k;                                          // chunk 0: one row
    for (std::size_t i = 1500; i < 1503; ++i) labels[i] = (labels[i] * 3) % k;  // chunk 1: a few
    update_and_compare();
    for (std::size_t i = 2100; i < 3000; ++i) labels[i] = (labels[i] + 5) % k;  // chunk 2: most clusters
    update_and_compare();
  }
}

}  // namespace
}  // namespace plovek
