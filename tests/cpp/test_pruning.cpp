// The bound-pruned training assignment, and the search of the distinct rows alone,
// against the full search of every row: the same labels and centroids, bit for bit, in
// every iteration and at every SIMD level. Every pruned case has enough columns and
// multiply-adds per point for the bounds to be used, the larger ones for bounds per
// group of centroids.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <optional>
#include <vector>

#include "engine/assignment_pass.h"
#include "engine/distinct_rows.h"
#include "engine/drift_history.h"
#include "engine/kmeans.h"
#include "engine/mean_update.h"
#include "levels.h"
#include "runtime/random.h"

namespace plovek {
namespace {

enum class Data { Blobs, Uniform, Thirds, FewDistinctRows };

// n rows of d columns: blobs around k/2 centres (settle), uniform noise (never quite
// settles), thirds of small integers (exact ties), or 30 distinct rows repeated
// (duplicate seeds, empty clusters, repairs).
std::vector<float> make_data(Data kind, std::size_t n, std::size_t d, std::size_t k, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> values(n * d), centres((k / 2 + 1) * d);
  for (float& c : centres) c = 3.0f * normal(rng);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t centre = rng() % (k / 2 + 1), source = rng() % 30;
    for (std::size_t t = 0; t < d; ++t) {
      float& v = values[i * d + t];
      switch (kind) {
        case Data::Blobs: v = centres[centre * d + t] + 0.3f * normal(rng); break;
        case Data::Uniform: v = uniform(rng); break;
        case Data::Thirds: v = float(int(rng() % 7) - 3) / 3.0f; break;
        case Data::FewDistinctRows: v = values[source * d + t]; break;
      }
      if (kind == Data::FewDistinctRows && i < 30) v = uniform(rng);
    }
  }
  return values;
}

struct Trained {
  ClusterLists lists;
  Matrix centroids;
  std::vector<std::uint64_t> medoids;
};

// A training from the same seeds every time, its search's modes picked by `policy`
// (the predicted policy when null); what each assignment searched goes to `stats`.
Trained train_seeded(const MatrixView& data, std::size_t k, bool euclidean, bool medoids, std::uint64_t iterations,
                     const SearchPolicy* policy, std::vector<AssignmentStats>* stats = nullptr) {
  KMeans km(k);
  km.euclidean = euclidean;
  km.use_medoids = medoids;
  km.iterations = iterations;
  thread_generator() = RandomGenerator(99);
  ClusterLists lists = km.train(data, std::nullopt, {}, {.policy = policy, .stats = stats}).value();
  return {std::move(lists), *km.centroids, km.medoid_indices};
}

const FixedPolicy kFullSearch(SearchMode::Plain);

TEST(TrainPruning, EveryIterationMatchesTheFullSearchBitForBit) {
  struct Case {
    Data data;
    bool euclidean, medoids;
    std::size_t n, d, k;
  };
  const Case cases[] = {{Data::Blobs, true, false, 3000, 32, 40},   {Data::Blobs, false, false, 3000, 32, 40},
                        {Data::Uniform, true, false, 2500, 24, 60}, {Data::Uniform, false, false, 2500, 24, 60},
                        {Data::Thirds, true, false, 2000, 25, 70},  {Data::Thirds, false, false, 2000, 25, 70},
                        {Data::FewDistinctRows, true, false, 1500, 33, 40},
                        {Data::Blobs, true, true, 1200, 32, 36},    {Data::Thirds, false, true, 1200, 24, 60},
                        // Enough work per point for bounds per group of centroids.
                        {Data::Blobs, true, false, 3000, 32, 300},  {Data::Uniform, false, false, 2500, 40, 220},
                        {Data::Thirds, true, false, 2000, 48, 180}, {Data::FewDistinctRows, false, false, 1500, 64, 130},
                        {Data::Blobs, false, true, 1200, 32, 260},
                        // Rows the search takes in slabs of columns.
                        {Data::Blobs, false, false, 100, 2100, 40}};
  std::vector<AssignmentStats> stats;  // of the pruned runs
  test_support::for_each_level([&](kernels::SimdLevel) {
    for (const Case& c : cases) {
      const std::vector<float> values = make_data(c.data, c.n, c.d, c.k, static_cast<unsigned>(c.n + c.k));
      const MatrixView data = MatrixView::row_major(values.data(), c.n, c.d);
      for (const std::uint64_t iterations : {1, 2, 4, 7, 12}) {
        SCOPED_TRACE(::testing::Message() << "data " << int(c.data) << " euclidean " << c.euclidean << " medoids "
                                          << c.medoids << " iterations " << iterations);
        const Trained pruned = train_seeded(data, c.k, c.euclidean, c.medoids, iterations, nullptr, &stats);
        const Trained full = train_seeded(data, c.k, c.euclidean, c.medoids, iterations, &kFullSearch);
        ASSERT_EQ(pruned.lists, full.lists);
        ASSERT_EQ(pruned.centroids, full.centroids);
        ASSERT_EQ(pruned.medoids, full.medoids);
      }
    }
  });
  // The comparison is not vacuous: the pruned runs skipped work (little in all, as the
  // first assignment of a run never prunes and most runs are short).
  double measured = 0.0, of_full_search = 0.0;
  for (const AssignmentStats& s : stats) {
    measured += double(s.distances_measured);
    of_full_search += double(s.distances_of_full_search);
  }
  EXPECT_LT(measured, 0.95 * of_full_search);
}

// Each mode forced on every assignment gives the full search's result: recording alone,
// and pruning (after the one recording it needs), which measures less than it.
TEST(TrainPruning, EachForcedModeMatchesTheFullSearch) {
  struct Shape {
    std::size_t n, d, k;
  };
  // Groups of centroids; then more groups than one word of group bits holds.
  for (const auto [n, d, k] : {Shape{3000, 32, 300}, Shape{1600, 90, 1300}}) {
    for (const Data kind : {Data::Blobs, Data::Thirds}) {
      const std::vector<float> values = make_data(kind, n, d, k, 11);
      const MatrixView data = MatrixView::row_major(values.data(), n, d);
      for (const bool euclidean : {true, false}) {
        SCOPED_TRACE(::testing::Message() << "k " << k << " data " << int(kind) << " euclidean " << euclidean);
        const Trained full = train_seeded(data, k, euclidean, false, 8, &kFullSearch);
        for (const SearchMode mode : {SearchMode::Record, SearchMode::Prune}) {
          const FixedPolicy forced(mode);
          std::vector<AssignmentStats> stats;
          const Trained trained = train_seeded(data, k, euclidean, false, 8, &forced, &stats);
          ASSERT_EQ(trained.lists, full.lists);
          ASSERT_EQ(trained.centroids, full.centroids);
          ASSERT_EQ(stats.size(), 9u);  // the iterations and the final assignment
          EXPECT_EQ(stats[0].mode, SearchMode::Record);
          for (std::size_t a = 1; a < stats.size(); ++a) {
            EXPECT_EQ(stats[a].mode, mode);
            if (mode == SearchMode::Record) {
              EXPECT_EQ(stats[a].distances_measured, stats[a].distances_of_full_search);
            }
          }
          if (mode == SearchMode::Prune) {
            EXPECT_LT(stats.back().distances_measured, stats.back().distances_of_full_search / 2);
          }
        }
      }
    }
  }
}

// Driving the assignment by hand: once the blobs settle, most points are skipped, and
// the labels and means are still those of the full search.
TEST(TrainPruning, SettledIterationsSkipMostPoints) {
  const std::size_t n = 4000, d = 32, k = 50;
  const std::vector<float> values = make_data(Data::Blobs, n, d, k, 5);
  const MatrixView data = MatrixView::row_major(values.data(), n, d);
  for (const bool euclidean : {true, false}) {
    const std::vector<float> norms = euclidean ? compute_point_norms(data) : std::vector<float>{};
    KMeans pruned(k), full(k);
    pruned.euclidean = full.euclidean = euclidean;
    pruned.centroids = Matrix(k, d);
    for (std::size_t c = 0; c < k; ++c) data.copy_row(c * 7, pruned.centroids->row(c).data());
    pruned.labels.assign(n, 0);
    full.centroids = pruned.centroids;
    const std::unique_ptr<NearestSearch> bounded = make_bounded_search(data, euclidean, norms);
    const std::unique_ptr<NearestSearch> every = make_full_search(n, euclidean, norms);
    std::optional<ChunkedRowSums> kept = ChunkedRowSums::plan(n, k, d, true);
    std::vector<std::uint64_t> counts;
    double measured = 0.0, of_full_search = 0.0;
    for (int iteration = 0; iteration < 15; ++iteration) {
      const AssignmentStats stats = assign_for_training(pruned, data, *bounded, &*kept, counts);
      measured += double(stats.distances_measured), of_full_search += double(stats.distances_of_full_search);
      kept->store_means(counts, *pruned.centroids);
      std::optional<ChunkedRowSums> fresh = ChunkedRowSums::plan(n, k, d, false);
      assign_for_training(full, data, *every, &*fresh, counts);
      fresh->store_means(counts, *full.centroids);
      pruned.postprocess_centroids();
      full.postprocess_centroids();
      ASSERT_EQ(pruned.labels, full.labels) << "iteration " << iteration;
      ASSERT_EQ(*pruned.centroids, *full.centroids) << "iteration " << iteration;
    }
    EXPECT_LT(measured, 0.5 * of_full_search) << "euclidean " << euclidean;
  }
}

// Low-dimensional rows that repeat (as the pixels of a photograph do: a few levels per
// channel, many near ties) are searched once per distinct row, and summed by their
// repeats where their sums are exact; rows that do not repeat, or whose sums round
// (levels of very different magnitudes), are searched and summed every one. Either way
// the labels and means are the full search's.
TEST(TrainDistinctRows, RepeatedRowsTakeTheLabelsOfTheFullSearch) {
  const std::size_t n = 40000, d = 3, k = 24;
  std::mt19937 rng(7);
  std::vector<float> levels(n * d), noise(n * d), magnitudes(n * d);
  for (float& v : levels) v = float(rng() % 9) / 8.0f;
  // The clusters follow two columns; the third mixes ones and billionths.
  for (std::size_t v = 0; v < n * d; ++v) magnitudes[v] = levels[v] * (v % 3 != 2 ? 1e3f : rng() % 2 ? 1.0f : 1e-9f);
  std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
  for (float& v : noise) v = uniform(rng);
  for (const std::vector<float>* values : {&levels, &magnitudes, &noise}) {
    const bool repeats = values != &noise;
    const MatrixView data = MatrixView::row_major(values->data(), n, d);
    for (const bool euclidean : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "magnitudes " << (values == &magnitudes) << " repeats " << repeats
                                        << " euclidean " << euclidean);
      const std::vector<float> norms = euclidean ? compute_point_norms(data) : std::vector<float>{};
      test_support::for_each_level([&](kernels::SimdLevel) {
        KMeans distinct(k), every(k);
        distinct.euclidean = every.euclidean = euclidean;
        distinct.centroids = Matrix(k, d);
        for (std::size_t c = 0; c < k; ++c) data.copy_row(c * 997, distinct.centroids->row(c).data());
        every.centroids = distinct.centroids;
        const std::unique_ptr<NearestSearch> searches[] = {make_bounded_search(data, euclidean, norms),
                                                           make_full_search(n, euclidean, norms)};
        KMeans* models[] = {&distinct, &every};
        std::vector<std::uint64_t> counts;
        for (int iteration = 0; iteration < 4; ++iteration) {
          std::optional<ChunkedRowSums> sums[2];
          for (int m = 0; m < 2; ++m) {
            sums[m] = ChunkedRowSums::plan(n, k, d, false);
            // The distinct rows' training wants no labels until the last assignment.
            const AssignmentStats stats =
                assign_for_training(*models[m], data, *searches[m], &*sums[m], counts, m == 1);
            if (m == 0) {
              EXPECT_EQ(stats.distances_measured < n, repeats);
            }
            sums[m]->store_means(counts, *models[m]->centroids);
            models[m]->postprocess_centroids();
          }
          ASSERT_EQ(sums[0]->total(), sums[1]->total()) << "iteration " << iteration;
          ASSERT_EQ(distinct.cluster_sizes, every.cluster_sizes) << "iteration " << iteration;
          ASSERT_EQ(*distinct.centroids, *every.centroids) << "iteration " << iteration;
        }
        for (int m = 0; m < 2; ++m) assign_for_training(*models[m], data, *searches[m], nullptr, counts);
        ASSERT_EQ(distinct.labels, every.labels);
      });
    }
  }
}

// The workers scan runs of rows apart and merge them: positions still follow the
// order of first appearance, also for rows first met after the first run.
TEST(TrainDistinctRows, PositionsFollowTheOrderOfFirstAppearance) {
  const std::size_t n = 40000;
  std::vector<float> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = float((i * 7) % 10 + (i < n / 2 ? 0 : 5));  // 5..14 late
  const std::unique_ptr<DistinctRows> distinct = DistinctRows::find(MatrixView::row_major(values.data(), n, 1), 16, {});
  ASSERT_NE(distinct, nullptr);
  ASSERT_EQ(distinct->count(), 15u);
  std::vector<float> seen;
  for (std::size_t i = 0; i < n; ++i) {
    const auto first = std::find(seen.begin(), seen.end(), values[i]);
    const std::size_t expected = static_cast<std::size_t>(first - seen.begin());
    if (first == seen.end()) seen.push_back(values[i]);
    ASSERT_EQ(distinct->position_of(i), expected) << "row " << i;
    ASSERT_EQ(distinct->rows()[expected][0], values[i]);
  }
}

}  // namespace
}  // namespace plovek

namespace plovek {
namespace {

// Two groups of two centroids in one column; group_of = {0, 0, 1, 1}.
CentroidGroups two_pairs() { return {.group_size = 2, .order = {0, 1, 2, 3}, .group_of = {0, 0, 1, 1}}; }

Matrix column(std::vector<float> values) {
  Matrix m(values.size(), 1);
  for (std::size_t j = 0; j < values.size(); ++j) m.row(j)[0] = values[j];
  return m;
}

TEST(DriftHistory, ABoundMovesByTheDisplacementSinceItWasStoredAtMostByTheTotals) {
  DriftHistory history;
  history.reset(4, 1, 2, 1000);
  bool expired = true;
  const std::vector<float> start_totals{1.0f, 2.0f};
  const DriftHistory::Stamp stamp = history.keep(column({0, 0, 0, 0}), start_totals, 2.0, expired);
  EXPECT_FALSE(expired);
  // Centroid 1 went out by 3 and came back to 1 (totals +6); group 1 moved straight by 4.
  const std::vector<float> totals_now{7.0f, 5.5f};
  history.measure(column({0, 1, 4, 0}), two_pairs(), totals_now, 8.0);
  EXPECT_GE(history.group_shift(stamp, 0), 1.0f + 1.0f);
  EXPECT_LT(history.group_shift(stamp, 0), 2.0f + 1e-5f);
  EXPECT_EQ(history.group_shift(stamp, 1), 5.5f);  // the totals are the smaller
  EXPECT_GE(history.shift(stamp), 2.0 + 4.0);
  EXPECT_LT(history.shift(stamp), 6.0 + 1e-9);
  EXPECT_EQ(history.group_shift(DriftHistory::kNoStamp, 0), 7.0f);
  EXPECT_EQ(history.shift(DriftHistory::kNoStamp), 8.0);
}

TEST(DriftHistory, OldAssignmentsFallBackToTheTotalsAndStampsExpire) {
  DriftHistory history;
  history.reset(4, 1, 2, 1000);
  // Centroids that jitter in place: the totals grow by 1 an assignment.
  const Matrix still = column({0, 0, 0, 0});
  bool expired = false;
  std::vector<DriftHistory::Stamp> stamps;
  for (int a = 0; a < DriftHistory::kNoStamp; ++a) {
    const std::vector<float> totals(2, float(a));
    stamps.push_back(history.keep(still, totals, a, expired));
    ASSERT_FALSE(expired);
  }
  const std::vector<float> totals_now(2, 255.0f);
  history.measure(still, two_pairs(), totals_now, 255.0);
  // The latest assignments' centroids are kept (no displacement), the earliest are not.
  EXPECT_LT(history.group_shift(stamps.back(), 0), 254.0f + 1e-3f);
  EXPECT_EQ(history.group_shift(stamps.front(), 0), 255.0f);
  EXPECT_EQ(history.shift(stamps.front()), 255.0);
  // The stamps run out: the first comes back, and every bound stamped before expires.
  EXPECT_EQ(history.keep(still, totals_now, 255.0, expired), stamps.front());
  EXPECT_TRUE(expired);
}

}  // namespace
}  // namespace plovek
