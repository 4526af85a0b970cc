#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/kmeans.h"
#include "engine/matrix.h"
#include "engine/matrix_view.h"
#include "engine/medoid_rules.h"
#include "engine/normalize.h"

#include <random>

namespace plovek {
namespace {

// A record with k clusters over n rows of d columns: given labels and sizes,
// centroid rows filled with `centroid_fill`, medoid entries all `n` (an index no rule
// would choose), so that untouched entries are recognisable.
KMeans make_record(std::size_t d, std::vector<std::uint64_t> labels, std::vector<float> sizes,
                   bool euclidean, float centroid_fill = 0.0f) {
  KMeans model(sizes.size());
  model.euclidean = euclidean;
  model.use_medoids = true;
  model.medoid_indices.assign(sizes.size(), labels.size());
  model.labels = std::move(labels);
  model.cluster_sizes = std::move(sizes);
  model.centroids = Matrix(model.n_clusters, d);
  for (std::size_t c = 0; c < model.n_clusters; ++c) {
    for (float& value : model.centroids->row(c)) value = centroid_fill;
  }
  return model;
}

bool bit_equal(std::span<const float> row, const float* expected) {
  return std::memcmp(row.data(), expected, row.size() * sizeof(float)) == 0;
}

TEST(MedoidDistance, EuclideanUsesTheExplicitDifference) {
  // Expanded as x.x - 2x.y + y.y these values cancel catastrophically in f32; the
  // difference vector gives the exact answer.
  const std::vector<float> x = {10001.0f, 3.0f};
  const std::vector<float> y = {10000.0f, 3.0f};
  EXPECT_EQ(medoids::point_distance(x.data(), y.data(), 2, true), 1.0f);
  EXPECT_EQ(medoids::point_distance(y.data(), x.data(), 2, true), 1.0f);
}

TEST(MedoidDistance, InnerProductIsOneMinusDotAndMayBeNegative) {
  const std::vector<float> x = {2.0f, 0.5f};
  const std::vector<float> y = {3.0f, -2.0f};
  EXPECT_EQ(medoids::point_distance(x.data(), y.data(), 2, false), 1.0f - 5.0f);
  // Zero columns: the dot product is 0.
  EXPECT_EQ(medoids::point_distance(x.data(), y.data(), 0, false), 1.0f);
  EXPECT_EQ(medoids::point_distance(x.data(), y.data(), 0, true), 0.0f);
}

TEST(MedoidRules, ExactMedoidAndNearestMemberDiffer) {
  // One-dimensional points 0, 1, 2, 10 in one cluster, stored out of value order and
  // interleaved with a point of another cluster. Totals: 105, 83, 69, 245.
  const std::vector<float> values = {10.0f, 2.0f, -50.0f, 0.0f, 1.0f};
  const MatrixView data = MatrixView::row_major(values.data(), 5, 1);
  const std::vector<std::uint64_t> labels = {0, 0, 1, 0, 0};

  KMeans exact = make_record(1, labels, {4.0f, 1.0f}, true);
  exact.update_medoids_by_total_distance(data);
  EXPECT_EQ(exact.medoid_indices, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(exact.centroids->row(0)[0], 2.0f);
  EXPECT_EQ(exact.centroids->row(1)[0], -50.0f);

  // Nearest member to the current centroid at 0 is the point at 0 itself.
  KMeans nearest = make_record(1, labels, {4.0f, 1.0f}, true);
  nearest.update_medoid_for_cluster(data, 0);
  EXPECT_EQ(nearest.medoid_indices[0], 3u);
  EXPECT_EQ(nearest.centroids->row(0)[0], 0.0f);
  EXPECT_EQ(nearest.medoid_indices[1], 5u);  // other cluster untouched
}

TEST(MedoidRules, NearestMemberMeasuresAgainstTheCurrentCentroid) {
  const std::vector<float> values = {0.0f, 1.0f, 2.0f, 10.0f};
  const MatrixView data = MatrixView::row_major(values.data(), 4, 1);
  KMeans model = make_record(1, {0, 0, 0, 0}, {4.0f}, true, 8.5f);
  model.update_medoid_for_cluster(data, 0);
  EXPECT_EQ(model.medoid_indices[0], 3u);
  EXPECT_EQ(model.centroids->row(0)[0], 10.0f);
}

TEST(MedoidRules, TiesGoToTheLowestPointIndex) {
  // Members at -1 and 1 around a centroid at 0: equal distances and equal totals.
  const std::vector<float> values = {5.0f, 1.0f, -1.0f, 1.0f};
  const MatrixView data = MatrixView::row_major(values.data(), 4, 1);
  for (const bool euclidean : {true, false}) {
    KMeans nearest = make_record(1, {1, 0, 0, 0}, {1.0f, 3.0f}, euclidean);
    nearest.update_medoid_for_cluster(data, 0);
    EXPECT_EQ(nearest.medoid_indices[0], 1u) << euclidean;

    KMeans exact = make_record(1, {1, 0, 0, 1}, {2.0f, 2.0f}, euclidean);
    exact.update_medoids_by_total_distance(data);
    EXPECT_EQ(exact.medoid_indices[0], 1u) << euclidean;
    EXPECT_EQ(exact.medoid_indices[1], 0u) << euclidean;
  }
}

TEST(MedoidRules, ExactMedoidLeavesOutTheCandidateItself) {
  // With the inner product a point's distance to itself is 1 - x.x, not 0. Totals
  // without it: 3.5, 5.5, 1.0 (choice: row 2); counting it would pick row 0.
  const std::vector<float> values = {3.0f, -1.0f, 0.5f};
  const MatrixView data = MatrixView::row_major(values.data(), 3, 1);
  KMeans model = make_record(1, {0, 0, 0}, {3.0f}, false);
  model.update_medoids_by_total_distance(data);
  EXPECT_EQ(model.medoid_indices[0], 2u);
  EXPECT_EQ(model.centroids->row(0)[0], 0.5f);
}

TEST(MedoidRules, SingleMemberIsChosenByBothRules) {
  const std::vector<float> values = {3.0f, 4.0f, -7.0f, 0.25f};
  const MatrixView data = MatrixView::row_major(values.data(), 2, 2);
  for (const bool euclidean : {true, false}) {
    KMeans model = make_record(2, {0, 1}, {1.0f, 1.0f}, euclidean, 100.0f);
    model.update_medoids_by_total_distance(data);
    EXPECT_EQ(model.medoid_indices, (std::vector<std::uint64_t>{0, 1}));
    model.centroids = Matrix(2, 2);
    model.medoid_indices = {9, 9};
    model.update_all_medoids(data);
    EXPECT_EQ(model.medoid_indices, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_TRUE(bit_equal(model.centroids->row(1), values.data() + 2));
  }
}

TEST(MedoidRules, InnerProductPrefersTheMostNegativeDistance) {
  // Rows longer than unit length: 1 - x.y is 0, -2 and -1 against the centroid (1, 0).
  const std::vector<float> values = {1.0f, 0.0f, 3.0f, 0.0f, 2.0f, 0.0f};
  const MatrixView data = MatrixView::row_major(values.data(), 3, 2);
  KMeans model = make_record(2, {0, 0, 0}, {3.0f}, false);
  model.centroids->row(0)[0] = 1.0f;
  model.update_medoid_for_cluster(data, 0);
  EXPECT_EQ(model.medoid_indices[0], 1u);
  // Totals: row 0: -2 + -1 = -3; row 1: -2 + -5 = -7; row 2: -1 + -5 = -6.
  model.update_medoids_by_total_distance(data);
  EXPECT_EQ(model.medoid_indices[0], 1u);
}

TEST(MedoidRules, UnorderableDistancesKeepTheFirstMember) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Every distance involving these rows is +infinity or NaN.
  const std::vector<float> values = {0.0f, 0.0f, inf, 1.0f, nan, 2.0f, inf, -inf};
  const MatrixView data = MatrixView::row_major(values.data(), 4, 2);
  for (const bool euclidean : {true, false}) {
    KMeans model = make_record(2, {1, 0, 0, 0}, {1.0f, 3.0f}, euclidean, inf);
    model.update_medoid_for_cluster(data, 0);
    EXPECT_EQ(model.medoid_indices[0], 1u) << euclidean;
    EXPECT_TRUE(bit_equal(model.centroids->row(0), values.data() + 2)) << euclidean;

    KMeans exact = make_record(2, {1, 0, 0, 0}, {1.0f, 3.0f}, euclidean, 7.0f);
    exact.update_medoids_by_total_distance(data);
    EXPECT_EQ(exact.medoid_indices[0], 1u) << euclidean;
    EXPECT_TRUE(bit_equal(exact.centroids->row(0), values.data() + 2)) << euclidean;
  }
}

TEST(MedoidPasses, EmptyMemberListLeavesEntryAndRowUnchanged) {
  // Cluster 1 has a size (as after an empty-cluster repair) but no labelled member.
  const std::vector<float> values = {1.0f, 2.0f, 3.0f, 4.0f};
  const MatrixView data = MatrixView::row_major(values.data(), 2, 2);
  KMeans model = make_record(2, {0, 0}, {1.0f, 1.0f}, true, 42.5f);
  model.update_medoid_for_cluster(data, 1);
  model.update_all_medoids(data);
  model.update_medoids_by_total_distance(data);
  EXPECT_EQ(model.medoid_indices[1], 2u);
  EXPECT_EQ(model.centroids->row(1)[0], 42.5f);
  EXPECT_EQ(model.centroids->row(1)[1], 42.5f);
  EXPECT_EQ(model.medoid_indices[0], 0u);
}

TEST(MedoidPasses, SizeZeroIsSkippedByThePassesOnly) {
  // Labels still name members of cluster 0, but its size reads 0.0.
  const std::vector<float> values = {1.0f, 5.0f, 6.0f};
  const MatrixView data = MatrixView::row_major(values.data(), 3, 1);
  KMeans model = make_record(1, {0, 1, 1}, {0.0f, 2.0f}, true, 0.5f);
  model.update_all_medoids(data);
  model.update_medoids_by_total_distance(data);
  EXPECT_EQ(model.medoid_indices[0], 3u);
  EXPECT_EQ(model.centroids->row(0)[0], 0.5f);
  EXPECT_EQ(model.medoid_indices[1], 1u);

  model.update_medoid_for_cluster(data, 0);
  EXPECT_EQ(model.medoid_indices[0], 0u);
  EXPECT_EQ(model.centroids->row(0)[0], 1.0f);
}

TEST(MedoidPasses, RowsAreCopiedBitForBitFromStridedUnalignedData) {
  // Column stride 2 over a byte buffer offset by one: rows are never read in place.
  const std::size_t n = 3;
  const std::size_t d = 3;
  const float nan_with_payload = [] {
    const std::uint32_t bits = 0x7fc12345u;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }();
  const float rows[n][d] = {{-0.0f, 1e-40f, 3.0f},
                            {nan_with_payload, -0.0f, 2.5f},
                            {1.0f, 2.0f, std::numeric_limits<float>::denorm_min()}};
  std::vector<unsigned char> bytes(1 + n * d * 2 * sizeof(float), 0xAB);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < d; ++j) {
      std::memcpy(bytes.data() + 1 + ((i * d + j) * 2) * sizeof(float), &rows[i][j], sizeof(float));
    }
  }
  const MatrixView data(bytes.data() + 1, n, d, static_cast<std::ptrdiff_t>(2 * d), 2);
  ASSERT_FALSE(data.rows_are_direct());

  for (const bool euclidean : {true, false}) {
    KMeans model = make_record(d, {0, 1, 2}, {1.0f, 1.0f, 1.0f}, euclidean, 9.0f);
    model.update_all_medoids(data);
    for (std::size_t c = 0; c < n; ++c) {
      ASSERT_EQ(model.medoid_indices[c], c);
      EXPECT_TRUE(bit_equal(model.centroids->row(c), rows[c])) << "cluster " << c;
    }
    KMeans exact = make_record(d, {0, 1, 2}, {1.0f, 1.0f, 1.0f}, euclidean, 9.0f);
    exact.update_medoids_by_total_distance(data);
    for (std::size_t c = 0; c < n; ++c) EXPECT_TRUE(bit_equal(exact.centroids->row(c), rows[c]));
  }
}

}  // namespace
}  // namespace plovek

namespace plovek {
namespace {

// The all-pairs exact-medoid rule, written out plainly: the reference that the
// narrowed, batched search must match (with the totals added in `Sum`).
template <class Sum = float>
std::uint64_t all_pairs_medoid(const MatrixView& data, bool euclidean, const std::vector<std::uint64_t>& members) {
  std::uint64_t choice = members.front();
  Sum best = std::numeric_limits<Sum>::infinity();
  for (const std::uint64_t m : members) {
    Sum total = 0;
    for (const std::uint64_t j : members)
      if (j != m) total += medoids::point_distance(data.row(m, nullptr), data.row(j, nullptr), data.cols(), euclidean);
    if (best > total) best = total, choice = m;
  }
  return choice;
}

// The narrowed exact-medoid rule must pick exactly the member the all-pairs rule picks,
// including on exact ties (duplicated and integer-valued rows) and at both metrics,
// for large clusters (narrowed) and small ones (all pairs) in the same pass, and on the
// same rows scaled down: by 2^-40, which keeps the order of the f32 totals, and by
// 2^-140, where every product underflows (every total is the same: the first member).
TEST(MedoidExactNarrowing, ChoosesLikeTheAllPairsRuleOnRandomClusters) {
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t m = 49 + rng() % 400, d = 1 + rng() % 40;
    const bool euclidean = trial % 2 == 0;
    const bool integers = trial % 3 == 0;  // small integers make exact ties common
    std::normal_distribution<float> normal(trial % 5 == 0 ? 1000.0f : 0.0f, 1.0f);
    std::vector<float> values(m * d);
    for (float& v : values) v = integers ? float(int(rng() % 3)) : normal(rng);
    for (std::size_t i = 0; i + 1 < m; i += 7)  // duplicated rows tie exactly
      std::copy_n(&values[i * d], d, &values[(i + 1) * d]);
    if (!euclidean && !integers)
      for (std::size_t i = 0; i < m; ++i) scale_to_unit_length(std::span(&values[i * d], d));
    // Cluster 0 takes most rows, cluster 1 a few.
    std::vector<std::uint64_t> labels(m, 0);
    for (std::size_t i = 3; i < m; i += 11) labels[i] = 1;

    for (const float scale : {1.0f, 0x1p-40f, 0x1p-140f}) {
      std::vector<float> scaled(values);
      for (float& v : scaled) v *= scale;
      const MatrixView data = MatrixView::row_major(scaled.data(), m, d);
      KMeans model = make_record(d, labels, {1.0f, 1.0f}, euclidean);
      model.update_medoids_by_total_distance(data);
      for (std::uint64_t c = 0; c < 2; ++c) {
        std::vector<std::uint64_t> members;
        for (std::size_t i = 0; i < m; ++i)
          if (labels[i] == c) members.push_back(i);
        const std::uint64_t all_pairs = all_pairs_medoid(data, euclidean, members);
        ASSERT_EQ(model.medoid_indices[c], all_pairs) << "trial " << trial << " m=" << m << " d=" << d
                                                      << " scale=" << scale;
        ASSERT_TRUE(bit_equal(model.centroids->row(c), &scaled[all_pairs * d]));
      }
    }
  }
}

// Central members nearly tied: a grid of tiny symmetric offsets (some rows repeated)
// around a centre, amid a symmetric ring of far points. The totals of the central ones
// differ by less than f32 rounding can tell, so the narrowing keeps them all. Up to 256
// such members the choice is the f32 rule's; with more, the totals are added in double.
// A spiral of members whose totals rise in steps of a tenth of the rounding bound
// leaves some possible winners after the first bound, few enough for the lowest
// estimates' totals to settle the choice.
TEST(MedoidExactNarrowing, NearTiesAmongCentralMembers) {
  std::mt19937 rng(11);
  for (const auto& [half_width, spiral] : {std::pair{3, 0}, std::pair{9, 0}, std::pair{0, 40}}) {
    const float centre[2] = {3.7f, -1.3f};
    std::vector<float> values;
    for (int i = 0; i < 1000; ++i) {
      const float angle = 0.0061f * float(i), radius = 10.0f + float(i % 7);
      for (const float sign : {1.0f, -1.0f})
        values.insert(values.end(), {centre[0] + sign * radius * std::cos(angle),
                                     centre[1] + sign * radius * std::sin(angle)});
    }
    for (int i = -half_width; i <= half_width; ++i)
      for (int j = -half_width; j <= half_width; ++j)
        for (int copy = 0; copy < ((i + j) % 5 == 0 ? 2 : 1); ++copy)
          values.insert(values.end(), {centre[0] + 0.002f * float(i), centre[1] + 0.002f * float(j)});
    for (int i = 1; i <= spiral; ++i) {
      const float radius = 0.04f * std::sqrt(float(i)), angle = 2.4f * float(i);
      values.insert(values.end(), {centre[0] + radius * std::cos(angle), centre[1] + radius * std::sin(angle)});
    }
    const std::size_t m = values.size() / 2;
    std::vector<std::size_t> order(m);
    for (std::size_t i = 0; i < m; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<float> shuffled(values.size());
    for (std::size_t i = 0; i < m; ++i) std::copy_n(&values[order[i] * 2], 2, &shuffled[i * 2]);
    std::vector<std::uint64_t> members(m);
    for (std::size_t i = 0; i < m; ++i) members[i] = i;
    const std::size_t central = m - 2000;
    for (const float scale : {1.0f, 0x1p-40f}) {
      std::vector<float> scaled(shuffled);
      for (float& v : scaled) v *= scale;
      const MatrixView data = MatrixView::row_major(scaled.data(), m, 2);
      const std::uint64_t expected = central <= 256 ? all_pairs_medoid<float>(data, true, members)
                                                    : all_pairs_medoid<double>(data, true, members);
      KMeans model = make_record(2, std::vector<std::uint64_t>(m, 0), {1.0f}, true);
      model.update_medoids_by_total_distance(data);
      EXPECT_EQ(model.medoid_indices[0], expected) << central << " central members, scale " << scale;
    }
  }
}

}  // namespace
}  // namespace plovek

namespace plovek {
namespace {

// A remembered pass may skip the search only where the members are unchanged: after
// moves between some clusters, the memoised pass must match a fresh one everywhere,
// and rows overwritten in between (as normalisation does) get their medoid back.
TEST(MedoidExactMemo, MatchesAFreshPassAfterMembersMove) {
  std::mt19937 rng(7);
  const std::size_t n = 600, d = 5, k = 6;
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> values(n * d);
  for (float& v : values) v = normal(rng);
  const MatrixView data = MatrixView::row_major(values.data(), n, d);
  std::vector<std::uint64_t> labels(n);
  for (std::size_t i = 0; i < n; ++i) labels[i] = i % (k - 1);  // the last cluster starts empty
  const auto sizes_of = [&](const std::vector<std::uint64_t>& of) {
    std::vector<float> sizes(k, 0.0f);
    for (const std::uint64_t label : of) sizes[label] += 1.0f;
    return sizes;
  };
  const auto sums_of = [&](const KMeans& model) {
    std::vector<double> sums(k * d, 0.0);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t t = 0; t < d; ++t) sums[model.labels[i] * d + t] += values[i * d + t];
    return sums;
  };

  KMeans memoised = make_record(d, labels, sizes_of(labels), true);
  medoids::ExactMedoidMemo memo;
  medoids::update_exact_medoids(memoised, data, sums_of(memoised), &memo);
  const std::vector<std::uint64_t> before = memoised.medoid_indices;
  // Move half of cluster 0 into clusters 1 and 5; clusters 2..4 keep their members.
  for (std::size_t i = 0; i < n / 2; i += 5) labels[i] = (i % 2 == 0) ? 1 : 5;
  memoised.labels = labels;
  memoised.cluster_sizes = sizes_of(labels);
  for (float& value : memoised.centroids->row(3)) value *= 0.5f;

  KMeans fresh = make_record(d, labels, sizes_of(labels), true);
  medoids::update_exact_medoids(fresh, data, sums_of(fresh));
  medoids::update_exact_medoids(memoised, data, sums_of(memoised), &memo);
  ASSERT_NE(fresh.medoid_indices[0], before[0]);  // the moves matter
  EXPECT_EQ(memoised.medoid_indices, fresh.medoid_indices);
  for (std::size_t c = 0; c < k; ++c)
    EXPECT_TRUE(bit_equal(memoised.centroids->row(c), &values[fresh.medoid_indices[c] * d])) << "cluster " << c;

  // Nothing moves: every row is put back as its medoid's.
  for (std::size_t c = 0; c < k; ++c)
    for (float& value : memoised.centroids->row(c)) value = -1.0f;
  medoids::update_exact_medoids(memoised, data, sums_of(memoised), &memo);
  EXPECT_EQ(memoised.medoid_indices, fresh.medoid_indices);
  for (std::size_t c = 0; c < k; ++c)
    EXPECT_TRUE(bit_equal(memoised.centroids->row(c), &values[fresh.medoid_indices[c] * d])) << "cluster " << c;
}

}  // namespace
}  // namespace plovek
