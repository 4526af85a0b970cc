// Every SIMD level against the scalar reference over awkward dimensions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "simd/foreach_level.h"
#include "simd/kernels.h"

namespace plovek::kernels {
namespace {

const std::size_t kAwkwardDims[] = {0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 65, 100, 129};

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

// Runs `check` once per level this machine supports, restoring the detected level.
template <class Check>
void for_each_level(Check&& check) {
  for (const SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (static_cast<int>(level) > static_cast<int>(detected_simd_level())) continue;
    force_simd_level_for_testing(level);
    SCOPED_TRACE(simd_level_name(level));
    check(level);
  }
  force_simd_level_for_testing(detected_simd_level());
}

// Runs `check` with each supported level's Kernels (a value of the type), that level
// also forced for the dispatched calls.
template <class Check>
void for_each_level_kernels(Check&& check) {
  for_each_level([&](SimdLevel level) {
    switch (level) {
      case SimdLevel::Scalar: return check(scalar::Kernels{});
#if defined(__x86_64__)
      case SimdLevel::Avx2: return check(avx2::Kernels{});
      case SimdLevel::Avx512: return check(avx512::Kernels{});
#else
      default: return;
#endif
    }
  });
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

TEST(KernelDot, ZeroLengthIsZeroAndScalarSumsInOrder) {
  const float x[] = {1e8f, 1.0f, -1e8f};
  const float ones[] = {1.0f, 1.0f, 1.0f};
  EXPECT_EQ(scalar::Kernels::dot(x, ones, 0), 0.0f);
  EXPECT_EQ(scalar::Kernels::dot(x, ones, 3), 0.0f);  // (1e8 + 1) rounds to 1e8 in f32
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

double exact_score(const Problem& p, std::size_t i, std::size_t j, bool euclidean) {
  const float* x = p.points.data() + i * p.d;
  const float* c = p.centroids.data() + j * p.d;
  if (!euclidean) return exact_dot(x, c, p.d);
  return exact_dot(c, c, p.d) - 2.0 * exact_dot(c, x, p.d) + exact_dot(x, x, p.d);
}

TEST(KernelNearest, EveryLevelAgreesWithTheScalarReferenceUpToRounding) {
  std::mt19937 rng(11);
  for (const std::size_t d : kAwkwardDims) {
    for (const std::size_t k : {1, 5, 16, 33, 70}) {
      const Problem p = random_problem(203, k, d, rng);
      for (const bool euclidean : {true, false}) {
        std::vector<std::uint64_t> reference(p.n), labels(p.n);
        force_simd_level_for_testing(SimdLevel::Scalar);
        nearest_centroids(CentroidPanels(p.centroids.data(), k, d, euclidean), p.points.data(), std::ptrdiff_t(d), p.n,
                          p.point_norms.data(), reference.data());
        for_each_level([&](SimdLevel) {
          nearest_centroids(CentroidPanels(p.centroids.data(), k, d, euclidean), p.points.data(), std::ptrdiff_t(d),
                            p.n, p.point_norms.data(), labels.data());
          for (std::size_t i = 0; i < p.n; ++i) {
            ASSERT_LT(labels[i], k);
            if (labels[i] == reference[i]) continue;
            // A different choice is only allowed between near-equal scores.
            EXPECT_NEAR(exact_score(p, i, labels[i], euclidean), exact_score(p, i, reference[i], euclidean), 1e-4)
                << "d=" << d << " k=" << k << " i=" << i;
          }
        });
      }
    }
  }
}

TEST(KernelNearest, TiesGoLowForEuclideanAndHighForInnerProductAtEveryLevel) {
  // Centroids 3, 20 and 41 are identical and nearest to every point; zero-length
  // vectors make every score equal.
  std::mt19937 rng(3);
  for (const std::size_t d : {std::size_t{0}, std::size_t{5}, std::size_t{40}}) {
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
                          p.n, p.point_norms.data(), labels.data());
        const std::uint64_t expected = d == 0 ? (euclidean ? 0 : k - 1) : (euclidean ? 3 : 41);
        for (const std::uint64_t label : labels) EXPECT_EQ(label, expected) << "d=" << d << " euclidean=" << euclidean;
      }
    });
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

// The single-point dots: at a vector level each lane sums the even and the odd
// elements in two multiply-add chains and then adds them, and paired_lane_dot gives one
// lane's value alone; the scalar level keeps its one chain. Bit for bit, over group and
// half-panel boundaries.
TEST(KernelDots, PairedPointDotsSumEvenAndOddElementsInTwoChains) {
  std::mt19937 rng(43);
  const auto two_chains = [](const float* x, const float* c, std::size_t d) {
    float chains[2] = {0.0f, 0.0f};
    for (std::size_t t = 0; t < d; ++t) chains[t % 2] = std::fma(x[t], c[t], chains[t % 2]);
    return chains[0] + chains[1];
  };
  for (const std::size_t d : kAwkwardDims) {
    for (const std::size_t k : {5, 50, 100, 130}) {
      const Problem p = random_problem(1, k, d, rng);
      const std::vector<float> replacement = random_values(d, rng);
      std::vector<float> centroids = p.centroids;
      std::copy(replacement.begin(), replacement.end(), centroids.begin() + std::ptrdiff_t((k - 1) * d));
      for_each_level_kernels([&](auto level_kernels) {
        using K = decltype(level_kernels);
        CentroidPanels panels(p.centroids.data(), k, d, true);
        panels.update_centroid(k - 1, replacement.data());
        std::vector<float> out(k);
        K::paired_point_dots(panels, p.points.data(), out.data());
        for (std::size_t j = 0; j < k; ++j) {
          const float* c = centroids.data() + j * d;
          const float expected = panels.level() == SimdLevel::Scalar ? scalar::Kernels::dot(p.points.data(), c, d)
                                                                     : two_chains(p.points.data(), c, d);
          ASSERT_EQ(out[j], expected) << "d=" << d << " k=" << k << " j=" << j;
          ASSERT_EQ(K::paired_lane_dot(c, p.points.data(), d), expected) << "d=" << d << " j=" << j;
        }
      });
    }
  }
}

}  // namespace
}  // namespace plovek::kernels

namespace plovek::kernels {
namespace {

TEST(KernelWidenAdd, EveryLevelPerformsTheSameDoubleAdditionsPerLabel) {
  std::mt19937 rng(9);
  for (const std::size_t d : kAwkwardDims) {
    const std::size_t count = 23;
    const std::vector<float> rows = random_values(count * d + 1, rng);
    std::vector<std::uint64_t> labels(count);
    for (std::uint64_t& label : labels) label = rng() % 5;
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
    for (std::size_t t = 0; t < d; ++t) {
      expected.square += double(x[t + 1]) * double(x[t + 1]);
      expected.dot += double(x[t + 1]) * y[t];
    }
    for_each_level([&](SimdLevel) {
      const SquareAndDot result = square_and_dot_f64(x.data() + 1, y.data(), d);
      EXPECT_NEAR(result.dot, expected.dot, 1e-9 * (1.0 + double(d)) * 1e3) << "d=" << d;
      EXPECT_NEAR(result.square, expected.square, 1e-12 * (1.0 + double(d))) << "d=" << d;
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
