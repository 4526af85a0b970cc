// The training driver: checks and their order, seeding, the loop, the mean update,
// the empty-cluster repair and the result lists.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "engine/empty_cluster_repair.h"
#include "engine/kmeans.h"
#include "engine/mean_update.h"
#include "runtime/random.h"
#include "engine/value_range.h"

namespace plovek {
namespace {

constexpr float kGrow = 1.0009765625f;
constexpr float kShrink = 0.9990234375f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<float> random_values(std::size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> values(count);
  for (float& v : values) v = dist(engine);
  return values;
}

std::vector<float> row_of(const MatrixView& view, std::size_t i) {
  std::vector<float> row(view.cols());
  view.copy_row(i, row.data());
  return row;
}
std::vector<float> row_of(const Matrix& m, std::size_t i) { return {m.row(i).begin(), m.row(i).end()}; }

// `source`, multiplied by `even` in even columns and `odd` in odd ones.
std::vector<float> scaled(std::vector<float> source, float even, float odd) {
  for (std::size_t t = 0; t < source.size(); ++t) source[t] *= (t % 2 == 0) ? even : odd;
  return source;
}

bool bit_equal(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Every index 0..n-1 exactly once, each list strictly ascending and in line with labels.
void expect_partition(const ClusterLists& lists, const KMeans& km, std::size_t n) {
  ASSERT_EQ(lists.size(), km.n_clusters);
  ASSERT_EQ(km.labels.size(), n);
  std::vector<int> seen(n, 0);
  for (std::size_t c = 0; c < lists.size(); ++c) {
    for (std::size_t m = 0; m < lists[c].size(); ++m) {
      ASSERT_LT(lists[c][m], n);
      ++seen[lists[c][m]];
      EXPECT_EQ(km.labels[lists[c][m]], c);
      EXPECT_TRUE(m == 0 || lists[c][m - 1] < lists[c][m]);
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(n));
}

// The bytes written to file descriptor 1 while `body` runs.
std::string capture_stdout(const std::function<void()>& body) {
  char path[] = "/tmp/plovek_train_stdout_XXXXXX";
  const int file = ::mkstemp(path);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(file, STDOUT_FILENO);
  body();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string text(static_cast<std::size_t>(::lseek(file, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(file, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  ::close(file);
  ::unlink(path);
  return text;
}

TEST(TrainChecks, FailuresComeInOrderAndChangeNothing) {
  std::vector<float> values = random_values(10 * 3, 1);
  const MatrixView data = MatrixView::row_major(values.data(), 10, 3);
  const auto expect_untouched = [](const KMeans& km) {
    EXPECT_FALSE(km.is_trained || km.centroids.has_value());
    EXPECT_TRUE(km.labels.empty() && km.cluster_sizes.empty() && km.medoid_indices.empty());
  };
  KMeans km(11);
  km.use_medoids = true;
  auto result = km.train(data, std::nullopt);
  EXPECT_EQ(result.error().display(), "Number of points (10) must be at least as large as number of clusters (11)");
  expect_untouched(km);
  KMeans huge(std::uint64_t{1} << 62);  // refused before anything k-sized exists
  EXPECT_EQ(huge.train(data, std::nullopt).error().kind(), KMeansError::Kind::InsufficientPoints);

  // Non-finite values anywhere, read contiguously or as a transposed 3 x 10 view.
  for (const float special : {kNaN, kInf, -kInf}) {
    for (const std::size_t position : {0, 17, 29}) {
      std::vector<float> bad = values;
      bad[position] = special;
      for (const MatrixView& view : {MatrixView::row_major(bad.data(), 10, 3), MatrixView(bad.data(), 3, 10, 1, 3)}) {
        KMeans refused(2);
        result = refused.train(view, std::nullopt);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind(), KMeansError::Kind::InvalidParameter);
        EXPECT_NE(result.error().message().find("NaN or infinite"), std::string::npos);
        expect_untouched(refused);
      }
    }
  }
  // The point count is checked before the values.
  KMeans three(3);
  EXPECT_EQ(three.train(MatrixView(&kNaN, 2, 1, 1, 1), std::nullopt).error().kind(),
            KMeansError::Kind::InsufficientPoints);

  KMeans trained(4);
  trained.use_medoids = trained.euclidean = true;
  ASSERT_TRUE(trained.train(data, std::nullopt).ok());
  const KMeans before = trained.clone();
  EXPECT_EQ(trained.train(data, std::nullopt).error().display(), "Clustering has already been trained");
  EXPECT_EQ(trained.train(MatrixView(&kNaN, 1, 1, 1, 1), std::nullopt).error().kind(),
            KMeansError::Kind::AlreadyTrained);
  EXPECT_TRUE(trained.is_trained && trained.labels == before.labels && trained.centroids == before.centroids &&
              trained.cluster_sizes == before.cluster_sizes && trained.medoid_indices == before.medoid_indices);
}

// The range check reads exactly the matrix's elements, however they are laid out:
// every special value anywhere in a long contiguous run (across the pieces it is read
// in), NaN ranked above infinity, and a padded row's padding never read.
TEST(ValueRange, FindEverySpecialValueAndReadOnlyTheMatrix) {
  const std::size_t n = 2000, d = 17;  // 34,000 values: more than two pieces
  std::vector<float> values(n * d, 1.0f);
  const float extremes[] = {-std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(), -0.0f};
  for (std::size_t i = 0; i < 3; ++i) values[i * 5000] = extremes[i];
  EXPECT_EQ(largest_magnitude(MatrixView::row_major(values.data(), n, d)), std::numeric_limits<float>::max());
  for (const float special : {kNaN, -kNaN, kInf, -kInf, std::numeric_limits<float>::signaling_NaN()}) {
    for (const std::size_t position : {std::size_t{0}, std::size_t{16383}, std::size_t{16384}, n * d - 1}) {
      std::vector<float> bad = values;
      bad[position] = special;
      bad[(position + 7) % (n * d)] = kInf;  // NaN wins over an infinity anywhere
      for (const MatrixView& view :
           {MatrixView::row_major(bad.data(), n, d), MatrixView(bad.data(), d, n, 1, std::ptrdiff_t(d))}) {
        const float largest = largest_magnitude(view);
        EXPECT_EQ(std::isnan(largest), std::isnan(special)) << position;
        EXPECT_FALSE(std::isfinite(largest)) << position;
      }
    }
  }
  // Rows of 3 values in a buffer of 5 per row: NaN in the padding is not the matrix's.
  std::vector<float> padded(n * 5, 2.0f);
  for (std::size_t i = 0; i < n; ++i) padded[i * 5 + 3] = padded[i * 5 + 4] = kNaN;
  const MatrixView narrow(padded.data(), n, 3, 5, 1);
  EXPECT_EQ(largest_magnitude(narrow), 2.0f);
  padded[(n - 1) * 5 + 2] = -kInf;
  EXPECT_EQ(largest_magnitude(narrow), kInf);
  EXPECT_EQ(largest_magnitude(MatrixView(padded.data(), 0, 3, 5, 1)), 0.0f);
}

// Finite values whose scores would overflow are refused before anything changes, with
// the safe magnitude in the text; a medoid's total sums up to n scores, so the limit
// falls with n there. Just inside the limit, training works and every result is finite.
TEST(ValueRange, ValuesWhoseScoresOverflowAreRefused) {
  const std::size_t n = 300, d = 4;
  std::vector<float> values(n * d);
  for (std::size_t i = 0; i < n * d; ++i) values[i] = static_cast<float>((i * 7919) % 101) / 101.0f + (i % 3);
  const auto scaled = [&](float largest) {
    std::vector<float> out(values);
    const float current = *std::max_element(values.begin(), values.end());
    for (float& v : out) v = v / current * largest;
    return out;
  };
  const double plain_limit = std::sqrt(std::numeric_limits<float>::max() / (8.0 * d));
  const std::vector<float> huge = scaled(1e19f), fits = scaled(static_cast<float>(plain_limit * 0.99));
  for (const bool euclidean : {false, true}) {
    for (const bool medoids : {false, true}) {
      KMeans refused(3);
      refused.euclidean = euclidean;
      refused.use_medoids = medoids;
      refused.balanced = true;
      const auto result = refused.train(MatrixView::row_major(huge.data(), n, d), std::nullopt);
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().message().rfind("data contains values whose scores overflow float32", 0), 0u);
      EXPECT_FALSE(refused.is_trained || refused.centroids || !refused.labels.empty());

      KMeans accepted = refused.clone();
      const auto trained = accepted.train(MatrixView::row_major(fits.data(), n, d), std::nullopt);
      ASSERT_EQ(trained.ok(), !medoids) << euclidean;
      if (medoids) continue;
      for (std::size_t c = 0; c < 3; ++c) {
        double norm = 0.0;
        for (const float v : accepted.centroids->row(c)) norm += double(v) * v;
        EXPECT_TRUE(euclidean ? std::isfinite(norm) : std::abs(norm - 1.0) < 1e-5) << norm;
      }
    }
  }
}

// The pool is created once per process, so each case runs in a fresh child process.
TEST(TrainChecks, OnlyTheFirstPoolSizingOfAProcessSucceeds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto late_request_fails = [](bool size_first) {
    std::vector<float> values = random_values(20 * 2, 4);
    const MatrixView data = MatrixView::row_major(values.data(), 20, 2);
    std::vector<float> bad = values;
    bad[7] = kInf;
    KMeans refused(2);  // refused data must not size the pool
    bool ok = !refused.train(MatrixView::row_major(bad.data(), 20, 2), std::uint64_t{2}).ok();
    KMeans first(2);  // with a thread count, or creating the default pool
    ok = ok && first.train(data, size_first ? std::optional<std::uint64_t>(2) : std::nullopt).ok();
    KMeans late(2);
    const auto result = late.train(data, std::uint64_t{1});
    return ok && !result.ok() &&
           result.error().display() ==
               "Invalid parameter: Thread setup failed: The global thread pool has already been initialized." &&
           !late.is_trained && !late.centroids.has_value() && late.labels.empty();
  };
  EXPECT_EXIT(std::exit(late_request_fails(true) ? 0 : 1), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(std::exit(late_request_fails(false) ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST(TrainResult, PartitionAndMedoidRowsForAnyDataAndConfiguration) {
  const std::size_t n = 30, d = 3;
  const std::vector<float> values = random_values(2 * n * d, 6);
  std::vector<float> huge = values;
  for (float& v : huge) v *= 5.0e17f;  // as large as medoid totals over 30 rows allow
  const std::vector<float> identical(n * d, 0.25f);
  std::vector<unsigned char> bytes(n * d * sizeof(float) + 1);
  std::memcpy(bytes.data() + 1, values.data(), n * d * sizeof(float));
  const auto rd = static_cast<std::ptrdiff_t>(d);
  const MatrixView views[] = {
      MatrixView(values.data(), n, d, 1, static_cast<std::ptrdiff_t>(n)),  // column-major
      MatrixView(values.data() + (2 * n - 2) * d, n, d, -2 * rd, 1),      // every second row, reversed
      MatrixView(bytes.data() + 1, n, d, rd, 1),                          // not 4-byte aligned
      MatrixView::row_major(huge.data(), n, d),                           // near the top of the accepted range
      MatrixView::row_major(identical.data(), n, d),                      // all rows equal
      MatrixView(identical.data(), n, 0, 0, 1),                           // no columns
  };
  for (std::size_t v = 0; v < std::size(views); ++v) {
    for (int config = 0; config < 8; ++config) {
      for (const std::size_t k : {1, 4, 30}) {
        KMeans km(k);
        km.euclidean = config & 1;
        km.use_medoids = config & 2;
        km.balanced = (config & 4) && v < 3;
        km.max_balance_diff = 4;
        km.iterations = 4;
        const auto result = km.train(views[v], std::nullopt);
        SCOPED_TRACE(testing::Message() << "view " << v << " config " << config << " k " << k);
        ASSERT_TRUE(result.ok()) << result.error().display();
        expect_partition(result.value(), km, n);
        ASSERT_EQ(km.centroids->rows(), k);
        EXPECT_EQ(km.centroids->cols(), views[v].cols());
        EXPECT_EQ(km.medoid_indices.size(), km.use_medoids ? k : 0u);
        if (!km.use_medoids || v >= 3) continue;
        for (std::size_t c = 0; c < k; ++c) {
          ASSERT_LT(km.medoid_indices[c], n);
          const std::vector<float> row = row_of(views[v], km.medoid_indices[c]);
          if (km.balanced) {  // the final medoid pass reaches every cluster with points
            EXPECT_TRUE(result.value()[c].empty() || bit_equal(row_of(*km.centroids, c), row));
          } else if (km.euclidean) {
            EXPECT_TRUE(bit_equal(row_of(*km.centroids, c), row));
          } else {
            float length = 0.0f;
            for (const float x : row) length += x * x;
            for (std::size_t t = 0; t < d; ++t) EXPECT_NEAR(km.centroids->row(c)[t], row[t] / std::sqrt(length), 1e-6f);
          }
        }
      }
    }
  }
}

TEST(TrainResult, AsManyPointsAsClustersGivesSingletons) {
  std::vector<float> values;  // far apart on a line: every point is nearest to its own seed
  for (int i = 0; i < 6; ++i) values.insert(values.end(), {10.0f * static_cast<float>(i), 1.0f});
  const MatrixView data = MatrixView::row_major(values.data(), 6, 2);
  for (const bool medoids : {false, true}) {
    KMeans km(6);
    km.euclidean = true;
    km.use_medoids = medoids;
    const auto result = km.train(data, std::nullopt);
    ASSERT_TRUE(result.ok());
    for (std::size_t c = 0; c < 6; ++c) {
      ASSERT_EQ(result.value()[c].size(), 1u);
      EXPECT_TRUE(bit_equal(row_of(*km.centroids, c), row_of(data, result.value()[c][0])));
    }
  }
}

TEST(TrainResult, ZeroIterationsAssignsToTheSeedsSilently) {
  const std::size_t n = 40;
  const std::vector<float> values = random_values(n * 3, 7);
  const MatrixView data = MatrixView::row_major(values.data(), n, 3);
  KMeans km(5);
  km.euclidean = km.use_medoids = km.verbose = true;
  km.iterations = 0;
  EXPECT_EQ(capture_stdout([&] { ASSERT_TRUE(km.train(data, std::nullopt).ok()); }), "");
  std::vector<std::uint64_t> seeds = km.medoid_indices;
  std::sort(seeds.begin(), seeds.end());
  EXPECT_EQ(std::adjacent_find(seeds.begin(), seeds.end()), seeds.end());
  for (std::size_t c = 0; c < 5; ++c) {
    EXPECT_TRUE(bit_equal(row_of(*km.centroids, c), row_of(data, km.medoid_indices[c])));
  }
  for (std::size_t i = 0; i < n; ++i) {  // each point carries the label of its nearest seed
    std::vector<double> dist(5, 0.0);
    for (std::size_t c = 0; c < 5; ++c)
      for (std::size_t t = 0; t < 3; ++t) dist[c] += std::pow(double{data.at(i, t)} - km.centroids->row(c)[t], 2);
    EXPECT_EQ(km.labels[i], static_cast<std::size_t>(std::min_element(dist.begin(), dist.end()) - dist.begin()));
  }
}

TEST(TrainResult, VerboseWritesOneLinePerIterationEvenWhenNothingChanges) {
  std::vector<float> values(30 * 2, 0.5f);
  for (std::size_t i = 0; i < 10; ++i) values[2 * i] = 3.0f;
  const MatrixView data = MatrixView::row_major(values.data(), 30, 2);
  const std::regex lines(
      "Iteration 1/3 \\| Cost: [0-9]+\\.[0-9]{6}\nIteration 2/3 \\| Cost: [0-9]+\\.[0-9]{6}\n"
      "Iteration 3/3 \\| Cost: [0-9]+\\.[0-9]{6}\n");
  for (const bool euclidean : {false, true}) {
    KMeans km(2);
    km.euclidean = euclidean;
    km.verbose = true;
    km.iterations = 3;
    const std::string output = capture_stdout([&] { ASSERT_TRUE(km.train(data, std::nullopt).ok()); });
    EXPECT_TRUE(std::regex_match(output, lines)) << output;
  }
}

TEST(TrainMeanUpdate, RowsAreExactMeansSummedInAscendingOrder) {
  // Few columns, and enough clusters and columns for the sums to be taken a slab of
  // columns at a time.
  for (const auto [n, d, k] : {std::array<std::size_t, 3>{60000, 5, 37}, std::array<std::size_t, 3>{3000, 1000, 700}}) {
    std::vector<float> values = random_values(n * d, 13);
    for (std::size_t i = 0; i < values.size(); i += 7) values[i] *= 1.0e6f;
    std::mt19937 engine(14);
    std::vector<std::uint64_t> labels(n);
    for (auto& label : labels) label = engine() % 3 == 0 ? 0 : 1 + engine() % (k - 2);  // cluster k-1 stays empty
    // Every second row, read backwards.
    const MatrixView data(values.data() + (n - 1) * d, n / 2, d, -2 * static_cast<std::ptrdiff_t>(d), 1);
    labels.resize(n / 2);
    const Matrix alone = mean_centroids(data, labels, k, false);
    std::vector<double> sums(k * d, 0.0), counts(k, 0.0);
    for (std::size_t i = 0; i < labels.size(); ++i) {
      counts[labels[i]] += 1;
      for (std::size_t t = 0; t < d; ++t) sums[labels[i] * d + t] += data.at(i, t);
    }
    for (std::size_t c = 0; c < k; ++c)
      for (std::size_t t = 0; t < d; ++t)
        ASSERT_EQ(alone.row(c)[t], counts[c] ? static_cast<float>(sums[c * d + t] / counts[c]) : 0.0f) << "d=" << d;
    // Sharing the clusters among the workers changes no bit.
    EXPECT_EQ(alone, mean_centroids(data, labels, k, true));
  }

  // 1 + 2^60 rounds to 2^60 in double: only ascending order gives (1 + 2^60) - 2^60 = 0.
  const float ordered[3] = {1.0f, 1152921504606846976.0f, -1152921504606846976.0f};
  EXPECT_EQ(mean_centroids(MatrixView::row_major(ordered, 3, 1), std::vector<std::uint64_t>(3, 0), 1).row(0)[0], 0.0f);
  std::vector<float> spread(70000, 0.5f);
  std::vector<std::uint64_t> spread_labels(spread.size(), 0);
  for (std::size_t i = 0; i < spread.size(); i += 3) spread_labels[i] = 2;
  for (const std::size_t m : {0, 1, 2}) {
    spread[10 + 34000 * m] = ordered[m];
    spread_labels[10 + 34000 * m] = 1;
  }
  for (const bool parallel : {false, true}) {
    const Matrix means = mean_centroids(MatrixView::row_major(spread.data(), spread.size(), 1), spread_labels, 3, parallel);
    EXPECT_EQ(row_of(means, 0), std::vector<float>{0.5f});
    EXPECT_EQ(row_of(means, 1), std::vector<float>{0.0f});
    EXPECT_EQ(row_of(means, 2), std::vector<float>{0.5f});
  }
}

TEST(TrainMeanUpdate, ClusterAboveTwoToTheTwentyFourPoints) {
  // One row repeated 20,000,000 times through a zero row stride: an f32 count or sum
  // would stall at 2^24.
  const float row[3] = {0.1f, -3.7f, 12345.678f};
  const std::uint64_t n = 20'000'000;
  KMeans km(1);
  km.euclidean = true;
  km.iterations = 1;
  const auto result = km.train(MatrixView(row, n, 3, 0, 1), std::nullopt);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value()[0].size(), n);
  EXPECT_EQ(km.cluster_sizes[0], 20'000'000.0f);
  EXPECT_TRUE(bit_equal(row_of(*km.centroids, 0), {row[0], row[1], row[2]}));
}

// A hand-made state: centroid row c holds c + 1 + t / 8 in column t, data row i holds i.
KMeans repair_model(std::vector<float> sizes, std::size_t d, bool medoids, std::vector<std::uint64_t> labels = {}) {
  KMeans km(sizes.size());
  km.centroids = Matrix(sizes.size(), d);
  for (std::size_t c = 0; c < sizes.size(); ++c)
    for (std::size_t t = 0; t < d; ++t) km.centroids->row(c)[t] = static_cast<float>(c + 1) + t / 8.0f;
  km.cluster_sizes = std::move(sizes);
  km.use_medoids = medoids;
  km.labels = std::move(labels);
  if (medoids) km.medoid_indices.assign(km.n_clusters, 0);
  return km;
}

std::vector<float> index_rows(std::size_t n, std::size_t d) {
  std::vector<float> values(n * d);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i / d);
  return values;
}

TEST(TrainRepair, MeanModeSplitsTheDonorAndPushesTheRowsApart) {
  struct Case {
    std::vector<float> sizes;
    std::size_t n;
    std::size_t donor;  // of cluster 0
    std::vector<float> after;
  };
  // Only one cluster exceeds 1; a later empty cluster sees the halves (cluster 0 then has
  // p = (2 - 1) / (4 - 3) = 1 and is taken); n = k refuses size 1 (NaN) and takes 2 (+inf).
  const Case cases[] = {{{0, 1, 6, 1}, 8, 2, {3, 1, 3, 1}},
                        {{0, 0, 4}, 4, 2, {1, 1, 2}},
                        {{0, 1, 2}, 3, 2, {1, 1, 1}},
                        {{0, 3}, 3, 1, {1.5f, 1.5f}}};
  RandomGenerator generator(21);
  for (const Case& test : cases) {
    KMeans km = repair_model(test.sizes, 5, false);
    const Matrix before = *km.centroids;
    const std::vector<float> values = index_rows(test.n, 5);
    repair_empty_clusters(km, MatrixView::row_major(values.data(), test.n, 5), generator);
    EXPECT_EQ(km.cluster_sizes, test.after);
    const std::size_t donor = test.donor;
    const std::vector<float> copy = scaled(row_of(before, donor), kGrow, kShrink);
    EXPECT_TRUE(bit_equal(row_of(*km.centroids, donor), scaled(row_of(before, donor), kShrink, kGrow)));
    if (test.sizes[1] == 0) {  // cluster 1 was re-seeded from cluster 0
      EXPECT_TRUE(bit_equal(row_of(*km.centroids, 0), scaled(copy, kShrink, kGrow)));
      EXPECT_TRUE(bit_equal(row_of(*km.centroids, 1), scaled(copy, kGrow, kShrink)));
    } else {
      EXPECT_TRUE(bit_equal(row_of(*km.centroids, 0), copy));
      EXPECT_TRUE(donor == 1 || bit_equal(row_of(*km.centroids, 1), row_of(before, 1)));
    }
  }
}

TEST(TrainRepair, DonorIsDrawnWithProbabilityGrowingWithItsSize) {
  // Sizes 0, 3, 4 with n = 7: cluster 1 is taken with p = 0.5 when reached, cluster 2
  // with p = 0.75, so P(donor 1) = 0.5 / (1 - 0.5 * 0.25) = 4/7.
  RandomGenerator generator(24);
  const std::vector<float> values = index_rows(7, 1);
  int from_one = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    KMeans km = repair_model({0, 3, 4}, 1, false);
    repair_empty_clusters(km, MatrixView::row_major(values.data(), 7, 1), generator);
    const bool one = km.cluster_sizes == std::vector<float>{1.5f, 1.5f, 4.0f};
    ASSERT_TRUE(one || km.cluster_sizes == (std::vector<float>{2, 3, 2}));
    from_one += one;
  }
  EXPECT_NEAR(from_one / 20000.0, 4.0 / 7.0, 0.02);
}

TEST(TrainRepair, MedoidModeTakesAUniformMemberOfTheDonor) {
  const std::vector<float> values = index_rows(5, 3);
  const MatrixView data = MatrixView::row_major(values.data(), 5, 3);
  RandomGenerator generator(25);
  std::vector<int> picked(5, 0);
  for (int trial = 0; trial < 800; ++trial) {
    KMeans km = repair_model({0, 1, 4}, 3, true, {1, 2, 2, 2, 2});  // cluster 2 is the only donor
    const Matrix before = *km.centroids;
    repair_empty_clusters(km, data, generator);
    const std::uint64_t medoid = km.medoid_indices[0];
    ASSERT_TRUE(medoid >= 1 && medoid <= 4);
    ++picked[medoid];
    EXPECT_TRUE(bit_equal(row_of(*km.centroids, 0), row_of(data, medoid)));
    EXPECT_TRUE(bit_equal(row_of(*km.centroids, 2), row_of(before, 2)));
    EXPECT_EQ(km.cluster_sizes, (std::vector<float>{2, 1, 2}));
    EXPECT_EQ(km.labels, (std::vector<std::uint64_t>{1, 2, 2, 2, 2}));
  }
  for (std::size_t member = 1; member <= 4; ++member) EXPECT_NEAR(picked[member], 200, 70);

  // Cluster 1 draws cluster 0, which has a size but no members: it keeps medoid and row.
  KMeans km = repair_model({0, 0, 4}, 3, true, {2, 2, 2, 2});
  km.medoid_indices = {0, 3, 1};
  const Matrix before = *km.centroids;
  repair_empty_clusters(km, MatrixView::row_major(values.data(), 4, 3), generator);
  EXPECT_EQ(km.cluster_sizes, (std::vector<float>{1, 1, 2}));
  EXPECT_EQ(km.medoid_indices[1], 3u);
  EXPECT_TRUE(bit_equal(row_of(*km.centroids, 1), row_of(before, 1)));
}

TEST(TrainRepair, DuplicateSeedsLeaveClustersEmptyThatTheRepairRefills) {
  // All rows equal: every score ties, the first assignment fills one cluster, and the
  // others are re-seeded as perturbed copies, so the centroids end up distinct.
  const std::vector<float> values(9 * 2, 1.5f);
  for (const bool euclidean : {true, false}) {
    KMeans km(3);
    km.euclidean = euclidean;
    km.iterations = 1;
    ASSERT_TRUE(km.train(MatrixView::row_major(values.data(), 9, 2), std::nullopt).ok());
    for (const auto& [a, b] : {std::pair{0, 1}, std::pair{0, 2}, std::pair{1, 2}}) {
      EXPECT_FALSE(bit_equal(row_of(*km.centroids, a), row_of(*km.centroids, b)));
    }
  }
}

TEST(TrainRandom, DrawsAndShuffledPrefixesAreUniform) {
  EXPECT_EQ(unit_float_from_bits(0x1FFu), 0.0f);  // the low 9 bits are dropped
  EXPECT_EQ(unit_float_from_bits(0x80000000u), 0.5f);
  EXPECT_EQ(unit_float_from_bits(0xFFFFFFFFu), 1.0f - 1.0f / 8388608.0f);
  EXPECT_NE(RandomGenerator().next_u64(), RandomGenerator().next_u64());  // seeded from the system

  RandomGenerator generator(31);
  for (const std::uint64_t n : {8, 64}) {  // a dense and a sparse selection
    std::vector<int> first(n, 0), second(n, 0);
    for (int trial = 0; trial < 64000; ++trial) {
      const std::vector<std::uint64_t> prefix = shuffled_prefix(n, 2, generator);
      ASSERT_TRUE(prefix.size() == 2 && prefix[0] < n && prefix[1] < n && prefix[0] != prefix[1]);
      ++first[prefix[0]];
      ++second[prefix[1]];
    }
    const double expected = 64000.0 / static_cast<double>(n);
    for (std::uint64_t v = 0; v < n; ++v) {
      EXPECT_NEAR(first[v], expected, 6 * std::sqrt(expected)) << n << " " << v;
      EXPECT_NEAR(second[v], expected, 6 * std::sqrt(expected)) << n << " " << v;
    }
  }
  std::vector<std::uint64_t> all = shuffled_prefix(1000, 1000, generator);
  std::sort(all.begin(), all.end());
  for (std::uint64_t i = 0; i < 1000; ++i) EXPECT_EQ(all[i], i);
  std::vector<std::uint64_t> few = shuffled_prefix(std::uint64_t{1} << 60, 50, generator);
  std::sort(few.begin(), few.end());
  EXPECT_EQ(std::adjacent_find(few.begin(), few.end()), few.end());
}

}  // namespace
}  // namespace plovek
