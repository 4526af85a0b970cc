// The bound-pruned training assignment against the full search: the same labels and
// centroids, bit for bit, in every iteration and at every SIMD level. Every case has
// enough columns and multiply-adds per point for the bounds to be used, the larger
// ones for bounds per group of centroids.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <optional>
#include <vector>

#include "engine/assignment_bounds.h"
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

Trained train_seeded(const MatrixView& data, std::size_t k, bool euclidean, bool medoids, std::uint64_t iterations,
                     bool full_search) {
  KMeans km(k);
  km.euclidean = euclidean;
  km.use_medoids = medoids;
  km.iterations = iterations;
  thread_generator() = RandomGenerator(99);
  AssignmentBounds::force_full_search_for_testing(full_search);
  ClusterLists lists = km.train(data, std::nullopt).value();
  AssignmentBounds::force_full_search_for_testing(false);
  return {std::move(lists), *km.centroids, km.medoid_indices};
}

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
                        {Data::Blobs, false, true, 1200, 32, 260}};
  std::uint64_t measured = 0, of_full_searches = 0;  // by the pruned runs
  test_support::for_each_level([&](kernels::SimdLevel) {
    for (const Case& c : cases) {
      const std::vector<float> values = make_data(c.data, c.n, c.d, c.k, static_cast<unsigned>(c.n + c.k));
      const MatrixView data = MatrixView::row_major(values.data(), c.n, c.d);
      for (const std::uint64_t iterations : {1, 2, 4, 7, 12}) {
        SCOPED_TRACE(::testing::Message() << "data " << int(c.data) << " euclidean " << c.euclidean << " medoids "
                                          << c.medoids << " iterations " << iterations);
        const AssignmentBounds::Totals before = AssignmentBounds::process_totals();
        const Trained pruned = train_seeded(data, c.k, c.euclidean, c.medoids, iterations, false);
        const AssignmentBounds::Totals after = AssignmentBounds::process_totals();
        measured += after.measured - before.measured;
        of_full_searches += after.of_full_searches - before.of_full_searches;
        const Trained full = train_seeded(data, c.k, c.euclidean, c.medoids, iterations, true);
        ASSERT_EQ(pruned.lists, full.lists);
        ASSERT_EQ(pruned.centroids, full.centroids);
        ASSERT_EQ(pruned.medoids, full.medoids);
      }
    }
  });
  // The comparison is not vacuous: the pruned runs skipped work (little in all, as the
  // first assignment of a run never prunes and most runs are short).
  EXPECT_LT(double(measured), 0.95 * double(of_full_searches));
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
    AssignmentBounds bounds(data, euclidean, norms);
    std::optional<ChunkedRowSums> kept = ChunkedRowSums::plan(n, k, d);
    for (int iteration = 0; iteration < 15; ++iteration) {
      pruned.centroids = pruned.assign_clusters_and_means(data, norms, &bounds, &*kept);
      full.centroids = full.assign_clusters_and_means(data, norms);
      pruned.postprocess_centroids();
      full.postprocess_centroids();
      ASSERT_EQ(pruned.labels, full.labels) << "iteration " << iteration;
      ASSERT_EQ(*pruned.centroids, *full.centroids) << "iteration " << iteration;
    }
    EXPECT_LT(double(bounds.distances_measured()), 0.5 * double(bounds.distances_of_full_searches()))
        << "euclidean " << euclidean;
  }
}

}  // namespace
}  // namespace plovek
