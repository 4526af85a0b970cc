// Every SIMD level against the scalar reference over awkward dimensions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "levels.h"
#include "simd/kernels.h"

namespace plovek::kernels {
namespace {

using test_support::ascending_dot;
using test_support::for_each_level;
using test_support::for_each_level_kernels;
using test_support::row_order_dot;

const std::size_t kAwkwardDims[] = {0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 65, 100, 129};
// Rows the block search takes in slabs of columns: two whole slabs and a ragged one.
constexpr std::size_t kSlabbedDim = 4200;

std::vector<float> random_values(std::size_t count, std::mt19937& rng) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> values(count);
  for (float& v : values) v = uniform(rng);
  return values;
}

double exact_dot(const float* x, const float* y, std::size_t d) {
  double sum = 0.0;
  for (std::size_t t = 0; t < d; ++t) sum += double(x[t]) * double(y[t]);
  return sum;
}

TEST(KernelDot, EveryLevelMatchesTheExactSumOverAwkwardDims) {
  std::mt19937 rng(7);
  for (const std::size_t d : kAwkwardDims) {
    // Offset by one float so vector loads see unaligned addresses.
    const std::vector<float> x = random_values(d + 1, rng), y = random_values(d + 1, rng);
    const double expected = exact_dot(x.data() + 1, y.data() + 1, d);
    for_each_level([&](SimdLevel) {
      EXPECT_NEAR(dot(x.data() + 1, y.data() + 1, d), expected, 1e-5 * (1.0 + double(d))) << "d=" << d;
    });
  }
}

// The fused squared distance must equal, bit for bit, the dot product of the stored
// difference vector with itself at the same level (the medoid rules rely on it).
TEST(KernelDot, SquaredDistanceEqualsTheDotOfTheStoredDifference) {
  std::mt19937 rng(11);
  for (const std::size_t d : kAwkwardDims) {
    const std::vector<float> x = random_values(d + 1, rng), y = random_values(d + 1, rng);
    std::vector<float> difference(d);
    for (std::size_t t = 0; t < d; ++t) difference[t] = x[t + 1] - y[t + 1];
    for_each_level([&](SimdLevel) {
      const float expected = dot(difference.data(), difference.data(), d);
      EXPECT_EQ(squared_distance(x.data() + 1, y.data() + 1, d), expected) << "d=" << d;
    });
  }
}

// Values of mixed magnitudes, so that another order or a fused add changes the sum.
std::vector<float> spread_values(std::size_t count, std::mt19937& rng) {
  std::vector<float> values = random_values(count, rng);
  for (float& v : values) v = std::ldexp(v, int(rng() % 21) - 10);
  return values;
}

TEST(KernelDot, EveryLevelSumsRoundedProductsInTheRowOrder) {
  std::mt19937 rng(13);
  for (const std::size_t d : kAwkwardDims) {
    for (int trial = 0; trial < 20; ++trial) {
      const std::vector<float> x = spread_values(d + 1, rng), y = spread_values(d + 1, rng);
      std::vector<float> difference(d);
      for (std::size_t t = 0; t < d; ++t) difference[t] = x[t + 1] - y[t + 1];
      const float expected = row_order_dot(x.data() + 1, y.data() + 1, d);
      const float squared = row_order_dot(difference.data(), difference.data(), d);
      for_each_level([&](SimdLevel) {
        ASSERT_EQ(dot(x.data() + 1, y.data() + 1, d), expected) << "d=" << d;
        ASSERT_EQ(squared_distance(x.data() + 1, y.data() + 1, d), squared) << "d=" << d;
      });
    }
  }
}

struct Problem {
  std::size_t n, k, d;
  std::vector<float> points, centroids, point_norms;
};

Problem random_problem(std::size_t n, std::size_t k, std::size_t d, std::mt19937& rng) {
  Problem p{n, k, d, random_values(n * d, rng), random_values(k * d, rng), {}};
  for (std::size_t i = 0; i < n; ++i) p.point_norms.push_back(scalar::Kernels::dot(p.points.data() + i * d, p.points.data() + i * d, d));
  return p;
}

// Near-ties: few distinct values (small integers divided by 3, or as pixels are,
// 0..255 divided by 255), with pixels every other point a copy of an earlier one;
// every centroid a copy of the one before it with one coordinate nudged by an ulp, or
// a point itself.
enum class Values { Thirds, Pixels };
Problem near_tie_problem(std::size_t n, std::size_t k, std::size_t d, std::mt19937& rng,
                         Values values = Values::Thirds) {
  Problem p{n, k, d, std::vector<float>(n * d), std::vector<float>(k * d), {}};
  for (std::size_t i = 0; i < n; ++i) {
    float* x = p.points.data() + i * d;
    for (std::size_t t = 0; t < d; ++t)
      x[t] = values == Values::Thirds ? float(int(rng() % 7) - 3) / 3.0f : float(rng() % 256) / 255.0f;
    if (values == Values::Pixels && i % 2 == 1) std::copy_n(p.points.data() + (rng() % i) * d, d, x);
  }
  for (std::size_t j = 0; j < k; ++j) {
    float* c = p.centroids.data() + j * d;
    if (j % 3 == 0 || d == 0) {
      std::copy_n(p.points.data() + (rng() % n) * d, d, c);
    } else {
      std::copy_n(c - d, d, c);
      float& nudged = c[rng() % d];
      nudged = std::nextafter(nudged, rng() % 2 ? 1.0f : -1.0f);
    }
  }
  for (std::size_t i = 0; i < n; ++i)
    p.point_norms.push_back(row_order_dot(p.points.data() + i * d, p.points.data() + i * d, d));
  return p;
}

// The labels of rounded products, written out: ascending dot products, the score
// ((c.c - 2 c.x) + x.x) with row-order norms, the lowest index winning Euclidean ties,
// the highest inner-product ties; centroid j's index is order[j] (j where null).
std::vector<std::uint64_t> rounded_product_labels(const Problem& p, bool euclidean,
                                                  const std::uint32_t* order = nullptr) {
  const auto index = [order](std::size_t j) { return order ? std::size_t{order[j]} : j; };
  std::vector<std::uint64_t> labels(p.n, 0);
  for (std::size_t i = 0; i < p.n; ++i) {
    const float* x = p.points.data() + i * p.d;
    float best = 0.0f;
    for (std::size_t j = 0; j < p.k; ++j) {
      const float* c = p.centroids.data() + j * p.d;
      const float dot = ascending_dot(x, c, p.d);
      const float score = euclidean ? (row_order_dot(c, c, p.d) - 2.0f * dot) + p.point_norms[i] : -dot;
      const bool tie_wins = euclidean ? index(j) < index(labels[i]) : index(j) > index(labels[i]);
      if (j == 0 || score < best || (score == best && tie_wins)) best = score, labels[i] = j;
    }
  }
  return labels;
}

// Also with the centroids' indices reversed (NearestScores::index_of), by which the
// labels, positions, break their ties.
TEST(KernelNearest, EveryLevelGivesTheLabelsOfRoundedProducts) {
  std::mt19937 rng(11);
  std::vector<std::size_t> dims(std::begin(kAwkwardDims), std::end(kAwkwardDims));
  dims.push_back(kSlabbedDim);
  for (const std::size_t d : dims) {
    for (const std::size_t k : {1, 5, 16, 33, 70}) {
      for (const int ties : {0, 1, 2}) {
        const Problem p = ties == 0 ? random_problem(203, k, d, rng)
                                    : near_tie_problem(203, k, d, rng, ties == 1 ? Values::Thirds : Values::Pixels);
        std::vector<std::uint32_t> reversed(k);
        for (std::size_t j = 0; j < k; ++j) reversed[j] = std::uint32_t(k - 1 - j);
        for (const bool euclidean : {true, false}) {
          const std::vector<std::uint64_t> expected = rounded_product_labels(p, euclidean);
          const std::vector<std::uint64_t> expected_reversed = rounded_product_labels(p, euclidean, reversed.data());
          for_each_level([&](SimdLevel) {
            SCOPED_TRACE(::testing::Message() << "d=" << d << " k=" << k << " ties=" << ties << " euclidean=" << euclidean);
            const CentroidPanels panels(p.centroids.data(), k, d, euclidean);
            std::vector<std::uint64_t> labels(p.n);
            nearest_centroids(panels, p.points.data(), std::ptrdiff_t(d), p.n, p.point_norms.data(), labels.data(),
                              nullptr);
            ASSERT_EQ(labels, expected);
            std::vector<float> best(p.n), second(p.n);
            const NearestScores scores{.best = best.data(), .second = second.data(), .index_of = reversed.data()};
            nearest_centroids(panels, p.points.data(), std::ptrdiff_t(d), p.n, p.point_norms.data(), labels.data(),
                              &scores);
            ASSERT_EQ(labels, expected_reversed);
          });
        }
      }
    }
  }
}

// The near ties' re-scoring at every level: with a point's limit exactly at the fused
// cost of its rounded-product nearest, that centroid is still re-scored and found, also
// with ties broken by another order of the centroids and the panels taken in two calls.
TEST(KernelNearTies, EveryLevelRescoresEveryCentroidUpToTheLimit) {
  std::mt19937 rng(23);
  for (const std::size_t d : {std::size_t{3}, std::size_t{27}, std::size_t{108}}) {
    for (const std::size_t k : {std::size_t{5}, std::size_t{70}}) {
      const Problem p = near_tie_problem(120, k, d, rng, Values::Pixels);
      std::vector<std::uint32_t> order(k);  // the centroids' indices, reversed
      for (std::size_t j = 0; j < k; ++j) order[j] = std::uint32_t(k - 1 - j);
      for (const bool euclidean : {true, false}) {
        const std::vector<std::uint64_t> expected = rounded_product_labels(p, euclidean, order.data());
        for_each_level([&](SimdLevel) {
          const CentroidPanels panels(p.centroids.data(), k, d, euclidean);
          const float* norms = euclidean ? panels.score_bias() : nullptr;
          std::vector<float> fused(k);
          for (std::size_t i = 0; i < p.n; ++i) {
            const float* x = p.points.data() + i * d;
            const std::size_t nearest = expected[i];
            centroid_dots(panels, x, std::ptrdiff_t(d), 1, fused.data());
            const float limit = norms ? norms[nearest] - 2.0f * fused[nearest] : -fused[nearest];
            NearestSoFar found;
            const std::size_t panel_count = panels.panel_count(), middle = panel_count / 2;
            rescore_near_ties(panels, 0, middle, &x, &p.point_norms[i], &limit, 1, order.data(), &found);
            rescore_near_ties(panels, middle, panel_count, &x, &p.point_norms[i], &limit, 1, order.data(), &found);
            ASSERT_EQ(found.position, nearest) << "d=" << d << " k=" << k << " euclidean=" << euclidean << " i=" << i;
          }
        });
      }
    }
  }
}

// Quantised pixels in two and three columns, where the fused cost of the rounded
// products' nearest lies farthest above the least (up to about 0.4 of the margin for
// the inner product): the searches re-score enough centroids for the labels of the
// rounded products.
TEST(KernelNearTies, PixelSearchesGiveTheLabelsOfRoundedProducts) {
  std::mt19937 rng(29);
  for (const std::size_t d : {std::size_t{2}, std::size_t{3}, std::size_t{4}}) {
    const Problem p = near_tie_problem(3000, 40, d, rng, Values::Pixels);
    for (const bool euclidean : {true, false}) {
      const std::vector<std::uint64_t> expected = rounded_product_labels(p, euclidean);
      for_each_level([&](SimdLevel) {
        std::vector<std::uint64_t> labels(p.n);
        nearest_centroids(CentroidPanels(p.centroids.data(), p.k, d, euclidean), p.points.data(), std::ptrdiff_t(d),
                          p.n, p.point_norms.data(), labels.data(), nullptr);
        ASSERT_EQ(labels, expected) << "d=" << d << " euclidean=" << euclidean;
      });
    }
  }
}

// Centroids (a, b) and (b, a) score every point (t, t) the same with rounded products;
// fused multiply-adds tell them apart.
TEST(KernelNearest, SymmetricCentroidsTieForDiagonalPointsAtEveryLevel) {
  const float a = -0.8268087f, b = 3.8821914f;
  const float centroids[] = {a, b, b, a};
  std::vector<float> points, norms;
  for (int s = 0; s <= 200; ++s) {
    const float t = float(-5.0 + s * 0.05);
    points.insert(points.end(), {t, t});
    norms.push_back(row_order_dot(&points[points.size() - 2], &points[points.size() - 2], 2));
  }
  for_each_level([&](SimdLevel) {
    for (const bool euclidean : {true, false}) {
      std::vector<std::uint64_t> labels(201);
      nearest_centroids(CentroidPanels(centroids, 2, 2, euclidean), points.data(), 2, 201, norms.data(),
                        labels.data(), nullptr);
      EXPECT_EQ(std::count(labels.begin(), labels.end(), euclidean ? 0u : 1u), 201) << "euclidean=" << euclidean;
    }
  });
}

// Fused scores lie within the panels' slack of the rounded-product ones, on values
// made to round badly (large d, mixed magnitudes, cancelling signs).
TEST(KernelNearest, FusedScoresStayWithinTheSlack) {
  std::mt19937 rng(17);
  for (const std::size_t d : {std::size_t{3}, std::size_t{64}, std::size_t{1000}}) {
    const std::size_t n = 30, k = 40;
    Problem p{n, k, d, spread_values(n * d, rng), spread_values(k * d, rng), {}};
    for (std::size_t i = 0; i < n; ++i)
      p.point_norms.push_back(row_order_dot(p.points.data() + i * d, p.points.data() + i * d, d));
    for_each_level([&](SimdLevel level) {
      if (!centroid_dots_are_fused(level)) return;
      for (const bool euclidean : {true, false}) {
        const CentroidPanels panels(p.centroids.data(), k, d, euclidean);
        std::vector<float> fused(n * k), exact(k);
        centroid_dots(panels, p.points.data(), std::ptrdiff_t(d), n, fused.data());
        for (std::size_t i = 0; i < n; ++i) {
          exact_point_dots(panels, p.points.data() + i * d, exact.data());
          const float slack = panels.fused_slack()(p.point_norms[i]);
          const float* norms = euclidean ? panels.score_bias() : nullptr;
          for (std::size_t j = 0; j < k; ++j) {
            const float gap = score_from_dot(fused[i * k + j], norms, j, p.point_norms[i]) -
                              score_from_dot(exact[j], norms, j, p.point_norms[i]);
            ASSERT_LE(std::fabs(gap), slack) << "d=" << d << " i=" << i << " j=" << j;
          }
        }
      }
    });
  }
}

TEST(KernelNearest, TiesGoLowForEuclideanAndHighForInnerProductAtEveryLevel) {
  // Centroids 3, 20 and 41 are identical and nearest to every point; zero-length
  // vectors make every score equal.
  std::mt19937 rng(3);
  for (const std::size_t d : {std::size_t{0}, std::size_t{5}, std::size_t{40}, kSlabbedDim}) {
    const std::size_t k = 45;
    Problem p = random_problem(30, k, d, rng);
    for (std::size_t t = 0; t < d; ++t) {
      for (std::size_t j = 0; j < k; ++j) p.centroids[j * d + t] *= 0.01f;
      p.centroids[3 * d + t] = p.centroids[20 * d + t] = p.centroids[41 * d + t] = 1.0f;
    }
    for (std::size_t i = 0; i < p.n; ++i)
      for (std::size_t t = 0; t < d; ++t) p.points[i * d + t] = 1.0f;
    for (std::size_t i = 0; i < p.n; ++i) p.point_norms[i] = scalar::Kernels::dot(p.points.data() + i * d, p.points.data() + i * d, d);
    for_each_level([&](SimdLevel) {
      std::vector<std::uint64_t> labels(p.n);
      for (const bool euclidean : {true, false}) {
        nearest_centroids(CentroidPanels(p.centroids.data(), k, d, euclidean), p.points.data(), std::ptrdiff_t(d),
                          p.n, p.point_norms.data(), labels.data(), nullptr);
        const std::uint64_t expected = d == 0 ? (euclidean ? 0 : k - 1) : (euclidean ? 3 : 41);
        for (const std::uint64_t label : labels) EXPECT_EQ(label, expected) << "d=" << d << " euclidean=" << euclidean;
      }
    });
  }
}

// The rounded-product cost of every centroid for point i (the smaller the nearer).
std::vector<float> rounded_costs(const Problem& p, std::size_t i, bool euclidean) {
  std::vector<float> costs(p.k);
  const float* x = p.points.data() + i * p.d;
  for (std::size_t j = 0; j < p.k; ++j) {
    const float* c = p.centroids.data() + j * p.d;
    const float dot = ascending_dot(x, c, p.d);
    costs[j] = euclidean ? row_order_dot(c, c, p.d) - 2.0f * dot : -dot;
  }
  return costs;
}

// The least cost of centroids [first, last) and the least of the rest of them.
std::pair<float, float> least_two(const std::vector<float>& costs, std::size_t first, std::size_t last) {
  std::vector<float> range(costs.begin() + std::ptrdiff_t(first), costs.begin() + std::ptrdiff_t(last));
  std::sort(range.begin(), range.end());
  return {range[0], range.size() > 1 ? range[1] : std::numeric_limits<float>::infinity()};
}

// A range of panels searched for points anywhere in memory: within the slack of the
// rounded-product least and runner-up, a position inside the range whose cost is
// near the least, and nothing but the least where it lies above the point's limit.
TEST(KernelRanges, EveryLevelFindsTheRangesNearestWithinTheSlack) {
  std::mt19937 rng(43);
  for (const std::size_t d : {std::size_t{1}, std::size_t{9}, std::size_t{33}, std::size_t{64}}) {
    for (const std::size_t k : {2, 17, 70}) {
      for (const bool ties : {false, true}) {
        const Problem p = ties ? near_tie_problem(40, k, d, rng) : random_problem(40, k, d, rng);
        for (const bool euclidean : {true, false}) {
          for_each_level([&](SimdLevel) {
            const CentroidPanels panels(p.centroids.data(), k, d, euclidean);
            const std::size_t width = panels.width(), first = rng() % panels.panel_count();
            const std::size_t last = first + 1 + rng() % (panels.panel_count() - first);
            std::vector<const float*> rows(p.n);
            std::vector<float> limits(p.n);
            for (std::size_t i = 0; i < p.n; ++i) {
              rows[i] = p.points.data() + (p.n - 1 - i) * d;  // out of order
              limits[i] = i % 3 == 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
            }
            std::vector<RangeNearest> found(p.n);
            nearest_in_panels(panels, first, last, rows.data(), limits.data(), p.n, found.data());
            for (std::size_t i = 0; i < p.n; ++i) {
              const std::size_t point = p.n - 1 - i;
              const std::vector<float> costs = rounded_costs(p, point, euclidean);
              const auto [least, second] = least_two(costs, first * width, std::min(k, last * width));
              const float slack = panels.fused_slack()(p.point_norms[point]);
              SCOPED_TRACE(::testing::Message() << "d=" << d << " k=" << k << " euclidean=" << euclidean << " i=" << i);
              ASSERT_LE(std::fabs(found[i].best - least), slack);
              if (i % 3 == 0) {
                ASSERT_EQ(found[i].position, RangeNearest::kNone);
                continue;
              }
              ASSERT_GE(found[i].position, first * width);
              ASSERT_LT(found[i].position, std::min(k, last * width));
              ASSERT_LE(costs[found[i].position], least + 2.0f * slack);
              if (std::isinf(second)) ASSERT_TRUE(std::isinf(found[i].second));
              else ASSERT_LE(std::fabs(found[i].second - second), slack);
            }
          });
        }
      }
    }
  }
}

// The block search's costs for bounds: best and runner-up near the rounded products'
// least two, and each group's least cost near the group's rounded least.
TEST(KernelNearest, EveryLevelReportsCostsAndGroupLeastsWithinTheSlack) {
  std::mt19937 rng(47);
  for (const std::size_t d : {std::size_t{5}, std::size_t{32}, std::size_t{65}}) {
    const std::size_t k = 150;
    const Problem p = random_problem(60, k, d, rng);
    for (const bool euclidean : {true, false}) {
      for_each_level([&](SimdLevel level) {
        const CentroidPanels panels(p.centroids.data(), k, d, euclidean);
        const std::size_t group_size = 2 * panel_width(level), groups = (k + group_size - 1) / group_size;
        std::vector<float> best(p.n), second(p.n), least(p.n * groups);
        std::vector<std::uint64_t> labels(p.n);
        const NearestScores scores{.best = best.data(), .second = second.data(), .group_least = least.data(),
                                   .group_size = group_size};
        nearest_centroids(panels, p.points.data(), std::ptrdiff_t(d), p.n, p.point_norms.data(), labels.data(), &scores);
        for (std::size_t i = 0; i < p.n; ++i) {
          const std::vector<float> costs = rounded_costs(p, i, euclidean);
          const float slack = panels.fused_slack()(p.point_norms[i]);
          const auto [first, runner_up] = least_two(costs, 0, k);
          SCOPED_TRACE(::testing::Message() << "d=" << d << " euclidean=" << euclidean << " i=" << i);
          ASSERT_LE(std::fabs(best[i] - first), 2.0f * slack);
          ASSERT_GE(best[i], costs[labels[i]] - slack);
          ASSERT_LE(second[i], runner_up + slack);
          for (std::size_t g = 0; g < groups; ++g)
            ASSERT_LE(std::fabs(least[i * groups + g] - least_two(costs, g * group_size, std::min(k, (g + 1) * group_size)).first),
                      slack);
        }
      });
    }
  }
}

// Long rows whose fused scores leave most points undecided: once a block has shown it,
// the next ones are scored from rounded products alone, and their costs are those of
// rounded products: the label's, the least of the others, each group's least. Listed
// rows (anywhere in memory) give what the same rows in a matrix give.
TEST(KernelNearest, LongRowsMostlyUndecidedReportRoundedProductCosts) {
  std::mt19937 rng(61);
  const std::size_t n = 150, k = 70, d = kSlabbedDim;
  const Problem p = near_tie_problem(n, k, d, rng);
  std::vector<const float*> listed(n);
  for (std::size_t i = 0; i < n; ++i) listed[i] = p.points.data() + (n - 1 - i) * d;
  for (const bool euclidean : {true, false}) {
    for_each_level([&](SimdLevel level) {
      const CentroidPanels panels(p.centroids.data(), k, d, euclidean);
      const std::size_t group_size = 2 * panel_width(level), groups = (k + group_size - 1) / group_size;
      std::vector<float> best(n), second(n), least(n * groups);
      std::vector<std::uint64_t> labels(n), listed_labels(n);
      const NearestScores scores{.best = best.data(), .second = second.data(), .group_least = least.data(),
                                 .group_size = group_size};
      nearest_centroids(panels, p.points.data(), std::ptrdiff_t(d), n, p.point_norms.data(), labels.data(), &scores);
      const std::vector<std::uint64_t> expected = rounded_product_labels(p, euclidean);
      ASSERT_EQ(labels, expected);
      std::vector<float> listed_norms(p.point_norms.rbegin(), p.point_norms.rend());
      nearest_listed(panels, listed.data(), n, listed_norms.data(), listed_labels.data(), nullptr);
      ASSERT_EQ(listed_labels, std::vector<std::uint64_t>(expected.rbegin(), expected.rend()));
      if (level == SimdLevel::Scalar) return;
      // The first block runs fused; every later one from rounded products.
      for (std::size_t i = n / 2; i < n; ++i) {
        const std::vector<float> costs = rounded_costs(p, i, euclidean);
        std::vector<float> others = costs;
        others.erase(others.begin() + std::ptrdiff_t(labels[i]));
        SCOPED_TRACE(::testing::Message() << "euclidean=" << euclidean << " i=" << i);
        ASSERT_EQ(best[i], costs[labels[i]]);
        ASSERT_EQ(second[i], *std::min_element(others.begin(), others.end()));
        for (std::size_t g = 0; g < groups; ++g)
          ASSERT_EQ(least[i * groups + g], least_two(costs, g * group_size, std::min(k, (g + 1) * group_size)).first);
      }
    });
  }
}

// The bound kernels at every level: the scalar arithmetic, bit for bit, over awkward
// counts, infinities and NaN values; the stored bounds lie below the exact ones.
TEST(KernelBoundScans, ShiftedScansMatchTheScalarLevel) {
  std::mt19937 rng(53);
  for (const std::size_t count : {1, 3, 8, 9, 16, 17, 33, 64}) {
    // Three rows of offsets, a few more than `count` each; at_most_shifted takes each
    // value's from the row it names.
    const std::size_t stride = count + 5;
    std::vector<float> values = random_values(count, rng), offsets = random_values(3 * stride, rng);
    for (float& o : offsets) o = std::fabs(o) * 4.0f;
    std::vector<std::uint8_t> rows(count);
    for (std::uint8_t& row : rows) row = static_cast<std::uint8_t>(rng() % 3);
    values[rng() % count] = std::numeric_limits<float>::infinity();
    values[rng() % count] = std::numeric_limits<float>::quiet_NaN();
    for (const float limit : {-0.5f, 0.0f, 0.25f, 3.0f}) {
      const std::uint64_t at_most =
          scalar::Kernels::at_most_shifted(values.data(), offsets.data(), rows.data(), stride, limit, 1.5f, count);
      for (const bool root : {false, true}) {
        std::vector<float> expected(count, 7.0f), stored(count, 7.0f);
        const float least =
            scalar::Kernels::store_lower_bounds(values.data(), limit, root, offsets.data(), 1.5f, expected.data(), count);
        for (std::size_t j = 0; j < count; ++j) {
          if (std::isnan(values[j]) || std::isinf(values[j])) continue;
          const double exact = root ? std::sqrt(std::max(0.0, double(values[j]) + limit)) : double(values[j]) + limit;
          EXPECT_LE(double(expected[j]), exact + 1.5 * double(offsets[j]));
          EXPECT_LE(double(least), exact);
        }
        for_each_level([&](SimdLevel) {
          std::fill(stored.begin(), stored.end(), 7.0f);
          EXPECT_EQ(store_lower_bounds(values.data(), limit, root, offsets.data(), 1.5f, stored.data(), count), least);
          EXPECT_EQ(stored, expected) << count;
          EXPECT_EQ(at_most_shifted(values.data(), offsets.data(), rows.data(), stride, limit, 1.5f, count), at_most)
              << count;
        });
      }
    }
  }
}

// Bounds kept in f32 rely on the directed roundings: the nearest float on the right
// side, across signs, zeros, subnormals and overflow.
TEST(KernelBoundScans, DirectedRoundingsGiveTheNearestFloatOnTheirSide) {
  std::mt19937_64 rng(59);
  std::vector<double> values = {0.0, -0.0, 1e-50, -1e-50, 0x1p-149, 0x1.8p-149, 1.0, -1.0, 1.0 + 0x1p-30,
                                -1.0 - 0x1p-30, 3.4028235e38, 3.5e38, -3.5e38, 1e300};
  std::normal_distribution<double> normal;
  for (int i = 0; i < 2000; ++i) values.push_back(normal(rng) * std::ldexp(1.0, static_cast<int>(rng() % 80) - 40));
  const float infinity = std::numeric_limits<float>::infinity();
  for (const double v : values) {
    const float up = rounded_up(v), down = rounded_down(v);
    EXPECT_GE(double(up), v);
    EXPECT_LE(double(down), v);
    // No float lies strictly between the value and its rounding.
    if (up != -infinity) {
      EXPECT_LT(double(std::nextafter(up, -infinity)), v) << v;
    }
    if (down != infinity) {
      EXPECT_GT(double(std::nextafter(down, infinity)), v) << v;
    }
  }
}

// Packing a quotient row in one pass must equal dividing first and packing the row,
// bit for bit, for the row and the packed values.
TEST(KernelDots, QuotientIntoPanelEqualsDivisionThenUpdate) {
  std::mt19937 rng(41);
  for (const std::size_t d : kAwkwardDims) {
    const std::size_t k = 37;
    const Problem p = random_problem(3, k, d, rng);
    const std::vector<float> sum = random_values(d, rng);
    for_each_level_kernels([&](auto level_kernels) {
      using K = decltype(level_kernels);
      CentroidPanels fused(p.centroids.data(), k, d, true), plain(p.centroids.data(), k, d, true);
      std::vector<float> fused_row(d), plain_row(d);
      K::quotient_into_panel(fused.panel_of(33), fused.lane_of(33), sum.data(), 7.15f, fused_row.data(), d);
      for (std::size_t t = 0; t < d; ++t) plain_row[t] = sum[t] / 7.15f;
      plain.update_centroid(33, plain_row.data());
      EXPECT_EQ(fused_row, plain_row) << "d=" << d;
      std::vector<float> fused_dots(k), plain_dots(k);
      centroid_dots(fused, p.points.data(), std::ptrdiff_t(d), 1, fused_dots.data());
      centroid_dots(plain, p.points.data(), std::ptrdiff_t(d), 1, plain_dots.data());
      EXPECT_EQ(fused_dots, plain_dots) << "d=" << d;
    });
  }
}

TEST(KernelDots, EveryLevelMatchesExactDotsAndUpdatesOneCentroid) {
  std::mt19937 rng(5);
  // 37 and 50 clusters leave the last panel filled to every kind of partial vector.
  for (const std::size_t d : kAwkwardDims) {
    for (const std::size_t k : {37, 50}) {
      const Problem p = random_problem(13, k, d, rng);
      for_each_level([&](SimdLevel) {
        CentroidPanels panels(p.centroids.data(), k, d, true);
        const std::vector<float> replacement = random_values(d, rng);
        panels.update_centroid(17, replacement.data());
        std::vector<float> out(p.n * k);
        centroid_dots(panels, p.points.data(), std::ptrdiff_t(d), p.n, out.data());
        std::vector<float> single(k);  // one point alone takes its own path
        centroid_dots(panels, p.points.data() + d, std::ptrdiff_t(d), 1, single.data());
        for (std::size_t j = 0; j < k; ++j) EXPECT_EQ(single[j], out[k + j]) << "d=" << d << " j=" << j;
        for (std::size_t i = 0; i < p.n; ++i)
          for (std::size_t j = 0; j < k; ++j) {
            const float* c = j == 17 ? replacement.data() : p.centroids.data() + j * d;
            ASSERT_NEAR(out[i * k + j], exact_dot(p.points.data() + i * d, c, d), 1e-5 * (1.0 + double(d)));
          }
        EXPECT_NEAR(panels.score_bias()[17], exact_dot(replacement.data(), replacement.data(), d), 1e-4);
      });
    }
  }
}

// The single-point dots at every level, bit for bit over group and half-panel
// boundaries: the balancing step's two chains of rounded products (even and odd
// elements, added at the end; paired_lane_dot gives one lane alone), and the exact
// dots' one ascending sum.
TEST(KernelDots, PointDotsSumRoundedProductsInTheirOrders) {
  std::mt19937 rng(43);
  for (const std::size_t d : kAwkwardDims) {
    for (const std::size_t k : {5, 50, 100, 130}) {
      Problem p{1, k, d, spread_values(d, rng), spread_values(k * d, rng), {}};
      const std::vector<float> replacement = spread_values(d, rng);
      std::vector<float> centroids = p.centroids;
      std::copy(replacement.begin(), replacement.end(), centroids.begin() + std::ptrdiff_t((k - 1) * d));
      for_each_level_kernels([&](auto level_kernels) {
        using K = decltype(level_kernels);
        CentroidPanels panels(p.centroids.data(), k, d, true);
        panels.update_centroid(k - 1, replacement.data());
        std::vector<float> paired(k), exact(k);
        K::paired_point_dots(panels, p.points.data(), paired.data());
        K::exact_point_dots(panels, p.points.data(), exact.data());
        for (std::size_t j = 0; j < k; ++j) {
          const float* c = centroids.data() + j * d;
          const float expected = test_support::two_chain_dot(p.points.data(), c, d);
          ASSERT_EQ(paired[j], expected) << "d=" << d << " k=" << k << " j=" << j;
          ASSERT_EQ(K::paired_lane_dot(c, p.points.data(), d), expected) << "d=" << d << " j=" << j;
          ASSERT_EQ(exact[j], ascending_dot(p.points.data(), c, d)) << "d=" << d << " k=" << k << " j=" << j;
        }
      });
    }
  }
}

// The block kernel computes, for every point of a block (tiles of every height), the
// step's two-chain dots with a range of centroids only (from the first or a later panel,
// over whole, half and partly filled panels), and writes nothing else of an output row.
TEST(KernelDots, BlockDotsSumRoundedProductsInThePairedOrder) {
  std::mt19937 rng(47);
  const std::size_t n = 7, k = 70, ldo = k + 3;
  for (const std::size_t d : kAwkwardDims) {
    const std::vector<float> points = spread_values(n * d, rng), centroids = spread_values(k * d, rng);
    std::vector<const float*> rows(n);
    for (std::size_t i = 0; i < n; ++i) rows[i] = points.data() + i * d;
    for_each_level_kernels([&](auto level_kernels) {
      using K = decltype(level_kernels);
      const CentroidPanels panels(centroids.data(), k, d, true);
      const std::size_t w = panels.width();
      const std::pair<std::size_t, std::size_t> ranges[] = {{0, k}, {0, 40}, {0, 9}, {w, k}, {w, w + 1}};
      for (const auto& [first, last] : ranges) {
        constexpr float kUntouched = -12345.0f;
        std::vector<float> out(n * ldo, kUntouched);
        K::paired_block_dots(panels, first, last, rows.data(), n, out.data(), ldo);
        for (std::size_t i = 0; i < n; ++i)
          for (std::size_t j = 0; j < ldo; ++j) {
            const std::size_t c = first + j;
            const float expected =
                c < last ? test_support::two_chain_dot(rows[i], centroids.data() + c * d, d) : kUntouched;
            ASSERT_EQ(out[i * ldo + j], expected) << "d=" << d << " lanes " << first << ".." << last << " i=" << i
                                                  << " j=" << j;
          }
      }
    });
  }
}

TEST(KernelWidenAdd, EveryLevelPerformsTheSameDoubleAdditionsPerLabel) {
  std::mt19937 rng(9);
  for (const std::size_t d : kAwkwardDims) {
    const std::size_t count = 23;
    const std::vector<float> rows = random_values(count * d + 1, rng);
    std::vector<std::uint64_t> labels(count);
    // Runs of one label, as neighbouring pixels have, beside changes at every row.
    for (std::size_t r = 0; r < count; ++r) labels[r] = r > 0 && rng() % 2 ? labels[r - 1] : rng() % 5;
    // Clusters 1..3 only, rows offset by one float (unaligned), sums seeded non-zero.
    std::vector<double> expected(3 * d, 0.1);
    for (std::size_t r = 0; r < count; ++r)
      if (labels[r] >= 1 && labels[r] < 4)
        for (std::size_t t = 0; t < d; ++t) expected[(labels[r] - 1) * d + t] += double(rows[1 + r * d + t]);
    for_each_level([&](SimdLevel) {
      std::vector<double> sums(3 * d, 0.1);
      add_rows_by_label(rows.data() + 1, std::ptrdiff_t(d), count, labels.data(), 1, 4, sums.data(), d);
      EXPECT_EQ(sums, expected) << "d=" << d;
    });
  }
}

}  // namespace
}  // namespace plovek::kernels


namespace plovek::kernels {
namespace {

TEST(KernelF64Dots, EveryLevelMatchesTheDoubleSumClosely) {
  std::mt19937 rng(23);
  for (const std::size_t d : kAwkwardDims) {
    const std::vector<float> x = random_values(d + 1, rng);
    std::vector<double> y(d);
    for (double& v : y) v = double(random_values(1, rng)[0]) * 1e3;
    SquareAndDot expected;
    double distance = 0.0;  // between x[1..] and x[..d-1]
    for (std::size_t t = 0; t < d; ++t) {
      expected.square += double(x[t + 1]) * double(x[t + 1]);
      expected.dot += double(x[t + 1]) * y[t];
      distance += (double(x[t + 1]) - double(x[t])) * (double(x[t + 1]) - double(x[t]));
    }
    for_each_level([&](SimdLevel) {
      const SquareAndDot result = square_and_dot_f64(x.data() + 1, y.data(), d);
      EXPECT_NEAR(result.dot, expected.dot, 1e-9 * (1.0 + double(d)) * 1e3) << "d=" << d;
      EXPECT_NEAR(result.square, expected.square, 1e-12 * (1.0 + double(d))) << "d=" << d;
      EXPECT_NEAR(squared_distance_f64(x.data() + 1, x.data(), d), distance, 1e-12 * (1.0 + double(d))) << "d=" << d;
    });
  }
}

}  // namespace
}  // namespace plovek::kernels

namespace plovek::kernels {
namespace {

// The selection scans at every level: the scores must be the plain arithmetic, a NaN
// must be reported, the bound must leave at least `rank` scores at or below it (ties
// and infinities included), and the listed indices must be exactly those at or below
// the bound, ascending.
TEST(KernelSelectionScans, ScoresBoundAndIndicesAreExact) {
  std::mt19937 rng(31);
  const float inf = std::numeric_limits<float>::infinity();
  for (const std::size_t count : {1, 3, 7, 8, 9, 15, 16, 17, 31, 33, 64, 65, 100, 256}) {
    std::vector<float> dots(count), norms = random_values(count, rng);
    for (float& v : dots) {
      const unsigned pick = rng() % 10;
      v = pick == 0 ? inf : pick == 1 ? -inf : float(int(rng() % 9));  // many ties
    }
    for (std::size_t rank = 1; rank <= std::min<std::size_t>(count, 16); ++rank) {
      for_each_level([&](SimdLevel) {
        std::vector<float> scores = dots, euclidean = dots;
        float bound = 0.0f, unused = 0.0f;
        ASSERT_TRUE(score_and_bound(scores.data(), nullptr, 0.0f, count, rank, bound));
        score_and_bound(euclidean.data(), norms.data(), 0.5f, count, rank, unused);
        std::vector<std::uint32_t> listed(count + kernels::kIndexSlack);
        listed.resize(indices_at_most(scores.data(), count, bound, listed.data()));
        std::vector<std::uint32_t> expected;
        for (std::size_t j = 0; j < count; ++j) {
          EXPECT_EQ(scores[j], -dots[j]);
          const float plain = (norms[j] - 2.0f * dots[j]) + 0.5f;
          EXPECT_TRUE(euclidean[j] == plain || (std::isnan(plain) && std::isnan(euclidean[j])));
          if (scores[j] <= bound) expected.push_back(static_cast<std::uint32_t>(j));
        }
        EXPECT_GE(expected.size(), rank) << "count=" << count << " rank=" << rank;
        EXPECT_EQ(listed, expected) << "count=" << count << " rank=" << rank;
        std::vector<float> with_nan = dots;
        with_nan[rng() % count] = std::numeric_limits<float>::quiet_NaN();
        EXPECT_FALSE(score_and_bound(with_nan.data(), nullptr, 0.0f, count, rank, unused));
      });
    }
  }
}

// The nearest `take` of a candidate list at every level: the first `take` of the
// candidates stably sorted by score (equal scores in candidate order), also when more
// than 16 candidates arrive, ties straddle the cut, or scores are infinite.
TEST(KernelSelectionScans, FirstByScoreIsTheStableSortsPrefix) {
  std::mt19937 rng(37);
  const float inf = std::numeric_limits<float>::infinity();
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t clusters = 1 + rng() % 60;
    std::vector<float> scores(clusters);
    for (float& v : scores) {
      const unsigned pick = rng() % 12;
      v = pick == 0 ? inf : pick == 1 ? -inf : float(int(rng() % 5));  // many ties
    }
    std::vector<std::uint32_t> candidates;
    for (std::uint32_t c = 0; c < clusters; ++c)
      if (rng() % 4 != 0) candidates.push_back(c);
    if (candidates.empty()) continue;
    const std::size_t take = 1 + rng() % std::min(candidates.size(), kFirstByScoreMost);
    std::vector<std::uint32_t> sorted = candidates;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return scores[a] < scores[b]; });
    const std::vector<std::uint64_t> expected(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(take));
    for_each_level([&](SimdLevel) {
      std::vector<std::uint64_t> chosen(take);
      first_by_score(scores.data(), candidates.data(), candidates.size(), take, chosen.data());
      EXPECT_EQ(chosen, expected) << "trial " << trial << " take " << take << " of " << candidates.size();
    });
  }
}

}  // namespace
}  // namespace plovek::kernels
