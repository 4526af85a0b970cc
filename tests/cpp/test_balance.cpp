#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/balance.h"
#include "runtime/cancellation.h"
#include "levels.h"
#include "simd/kernels.h"
#include "engine/kmeans.h"
#include "engine/matrix.h"
#include "engine/matrix_view.h"
#include "engine/medoid_rules.h"
#include "engine/normalize.h"

namespace plovek {
namespace {

using balancing::BalanceRun;

constexpr float kInf = std::numeric_limits<float>::infinity();

// Everything written to file descriptor 1 between construction and finish().
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(file_), STDOUT_FILENO);
  }
  ~StdoutCapture() { finish(); }
  std::string finish() {
    if (file_ == nullptr) return text_;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    std::rewind(file_);
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text_.append(buffer, got);
    std::fclose(file_);
    file_ = nullptr;
    return text_;
  }

 private:
  std::FILE* file_ = nullptr;
  int saved_ = -1;
  std::string text_;
};

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// A cancellation check that counts its asks and never cancels; asked at every point.
struct CountingPolls {
  std::uint64_t asks = 0;
  static bool ask(void* context) {
    ++static_cast<CountingPolls*>(context)->asks;
    return false;
  }
  Cancellation cancellation() { return Cancellation{&CountingPolls::ask, this, std::chrono::microseconds{0}}; }
};

// Data, record and norms kept together so the view stays valid.
struct Scenario {
  std::vector<float> values;
  std::size_t n = 0;
  std::size_t d = 0;
  KMeans model{1};
  std::vector<float> point_norms;

  MatrixView data() const { return MatrixView::row_major(values.data(), n, d); }
};

// A record over row-major `values` with the given labels; sizes are the label counts
// and each centroid is the mean of its members (scaled to unit length for the inner
// product), or the given rows when `centroids` is not empty.
Scenario make_scenario(std::vector<float> values, std::size_t d, std::vector<std::uint64_t> labels, std::size_t k,
                 bool euclidean, std::vector<float> centroids = {}) {
  Scenario setup;
  setup.values = std::move(values);
  setup.d = d;
  setup.n = labels.size();
  setup.model = KMeans(k);
  setup.model.euclidean = euclidean;
  setup.model.balanced = true;
  setup.model.cluster_sizes.assign(k, 0.0f);
  Matrix sums(k, d);
  for (std::size_t i = 0; i < setup.n; ++i) {
    setup.model.cluster_sizes[labels[i]] += 1.0f;
    for (std::size_t t = 0; t < d; ++t) sums.row(labels[i])[t] += setup.values[i * d + t];
  }
  setup.model.labels = std::move(labels);
  Matrix initial(k, d);
  for (std::size_t c = 0; c < k; ++c) {
    for (std::size_t t = 0; t < d; ++t) {
      initial.row(c)[t] = centroids.empty() ? (setup.model.cluster_sizes[c] > 0.0f
                                                   ? sums.row(c)[t] / setup.model.cluster_sizes[c]
                                                   : 0.0f)
                                            : centroids[c * d + t];
    }
  }
  setup.model.centroids = std::move(initial);
  if (!euclidean && centroids.empty()) setup.model.postprocess_centroids();
  setup.point_norms = compute_point_norms(setup.data());
  return setup;
}

void make_medoid_record(Scenario& setup) {
  setup.model.use_medoids = true;
  setup.model.medoid_indices.assign(setup.model.n_clusters, 0);
}

std::vector<std::size_t> label_counts(const KMeans& model) {
  std::vector<std::size_t> counts(model.n_clusters, 0);
  for (const std::uint64_t label : model.labels) ++counts[label];
  return counts;
}

// Sizes track the label counts up to the rounding of the residual-share steps.
void expect_sizes_match_labels(const KMeans& model) {
  const std::vector<std::size_t> counts = label_counts(model);
  for (std::size_t c = 0; c < counts.size(); ++c) {
    EXPECT_NEAR(model.cluster_sizes[c], static_cast<float>(counts[c]), 1e-3f) << "cluster " << c;
  }
}

std::vector<float> random_values(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> values(count);
  for (float& value : values) value = uniform(generator);
  return values;
}

// The placement scan of a level's Kernels over stored distances: the distances are
// handed over as negated dot products, which the inner-product scan negates back.
template <class K = scalar::Kernels>
kernels::Placement place_point(std::span<const float> distances, std::span<const float> sizes, std::size_t home,
                               float size_penalty) {
  std::vector<float> dots(distances.size());
  for (std::size_t j = 0; j < dots.size(); ++j) dots[j] = -distances[j];
  return K::place_from_dots(dots.data(), nullptr, 0.0f, sizes.data(), dots.size(), home, size_penalty, kInf);
}

// --- The point-step arithmetic ---

TEST(BalanceSteps, WorkedPointStep) {
  // Home size 10 with the point taken out, a smaller cluster of size 6.
  const float home_size = balancing::reduced_home_size(10.0f);
  EXPECT_EQ(home_size, 9.1499996f);
  const std::vector<float> distances = {2.0f, 5.0f};
  const std::vector<float> sizes = {home_size, 6.0f};

  // With no size penalty the point stays (cost 2 against 5).
  const kernels::Placement at_zero = place_point(distances, sizes, 0, 0.0f);
  EXPECT_EQ(at_zero.target, 0u);
  EXPECT_EQ(at_zero.switch_penalty, 0.95238107f);  // 3 / 3.1499996

  // As the iteration's smallest value above 0, it sets the next penalty...
  const float next = balancing::lower_next_penalty(0.0f, kInf, at_zero.switch_penalty);
  EXPECT_EQ(next, at_zero.switch_penalty);
  const float penalty = balancing::grown_size_penalty(0.0f, next);
  EXPECT_EQ(penalty, 2.3809526f);

  // ...under which the same point moves: costs 23.785715 (home) and 19.285715.
  EXPECT_EQ(2.0f + penalty * home_size, 23.785715f);
  EXPECT_EQ(5.0f + penalty * 6.0f, 19.285715f);
  EXPECT_EQ(place_point(distances, sizes, 0, penalty).target, 1u);
}

TEST(BalanceSteps, SwitchPenaltyCandidates) {
  // Home is cluster 1. Cluster 0 has the same size (no candidate, though its value
  // would be -infinity), cluster 2 is larger (no candidate), clusters 3 and 4 are
  // smaller: values -1/3 and 9/3.
  const std::vector<float> distances = {-100.0f, 1.0f, -50.0f, 0.0f, 10.0f};
  const std::vector<float> sizes = {5.0f, 5.0f, 7.0f, 2.0f, 2.0f};
  EXPECT_EQ(place_point(distances, sizes, 1, 0.0f).switch_penalty, -1.0f / 3.0f);
  // The smallest cluster has nowhere smaller to go.
  EXPECT_EQ(place_point(distances, sizes, 3, 0.0f).switch_penalty, kInf);
  // A single cluster has no candidate either.
  EXPECT_EQ(place_point(std::vector<float>{3.0f}, std::vector<float>{4.0f}, 0, 0.0f).switch_penalty, kInf);
}

TEST(BalanceSteps, NextPenaltyNeedsAValueStrictlyInBetween) {
  EXPECT_EQ(balancing::lower_next_penalty(1.0f, 5.0f, 3.0f), 3.0f);
  EXPECT_EQ(balancing::lower_next_penalty(1.0f, 5.0f, 1.0f), 5.0f);   // at the current penalty
  EXPECT_EQ(balancing::lower_next_penalty(1.0f, 5.0f, 0.5f), 5.0f);   // below it
  EXPECT_EQ(balancing::lower_next_penalty(1.0f, 5.0f, -2.0f), 5.0f);  // already closer elsewhere
  EXPECT_EQ(balancing::lower_next_penalty(1.0f, 5.0f, 5.0f), 5.0f);
  EXPECT_EQ(balancing::lower_next_penalty(0.0f, kInf, 0.0f), kInf);
  EXPECT_EQ(balancing::lower_next_penalty(0.0f, kInf, kInf), kInf);
  EXPECT_EQ(balancing::lower_next_penalty(0.0f, kInf, std::nanf("")), kInf);
}

TEST(BalanceSteps, PenaltyGrowsWithoutBecomingInfinite) {
  EXPECT_EQ(balancing::grown_size_penalty(0.0f, 4.0f), 10.0f);
  EXPECT_EQ(balancing::grown_size_penalty(3.0f, 4.0f), 10.0f);
  // No switch penalty found: grow the current one instead of jumping to infinity.
  EXPECT_EQ(balancing::grown_size_penalty(4.0f, kInf), 10.0f);
  EXPECT_EQ(balancing::grown_size_penalty(0.0f, kInf), std::numeric_limits<float>::min());

  EXPECT_TRUE(balancing::size_penalty_usable(std::numeric_limits<float>::min(), 1000));
  EXPECT_TRUE(balancing::size_penalty_usable(1e30f, 1000));
  EXPECT_FALSE(balancing::size_penalty_usable(1e36f, 1000));
  EXPECT_FALSE(balancing::size_penalty_usable(kInf, 1));
}

TEST(BalanceSteps, SpreadAndLimit) {
  EXPECT_EQ(balancing::spread_limit(1), 1.5f);
  EXPECT_EQ(balancing::spread_limit(16), 16.5f);
  EXPECT_EQ(balancing::spread_limit(0), 0.5f);
  EXPECT_EQ(balancing::size_spread(std::vector<float>{4.0f, 4.0f, 5.0f}), 1.0f);
  EXPECT_EQ(balancing::size_spread(std::vector<float>{5.0f, 3.0f, 4.0f}), 2.0f);
  EXPECT_EQ(balancing::size_spread(std::vector<float>{7.0f}), 0.0f);
  EXPECT_EQ(balancing::size_spread(std::vector<float>{8.0f, 7.9999995f}), 8.0f - 7.9999995f);
}

TEST(BalanceSteps, TargetTiesGoToTheLowestIndex) {
  EXPECT_EQ(place_point(std::vector<float>{3.0f, 1.0f, 1.0f, 2.0f},
                                   std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f}, 0, 0.0f).target,
            1u);
  // Sizes break distance ties once the penalty is positive.
  EXPECT_EQ(place_point(std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f},
                                   std::vector<float>{4.0f, 3.0f, 2.0f, 2.0f}, 0, 0.5f).target,
            2u);
}

// --- Single point steps on a record ---

TEST(BalancePointStep, SizeRoundingWhenLeavingAndStaying) {
  // Leaving: point 0 (at 100) leaves a cluster of size 9 (its other points at 1) for
  // the one at 100.
  {
    std::vector<float> values(17, 1.0f);
    std::vector<std::uint64_t> labels(17, 0);
    values[0] = 100.0f;
    for (std::size_t i = 9; i < 17; ++i) {
      values[i] = 100.0f;
      labels[i] = 1;
    }
    Scenario setup = make_scenario(values, 1, labels, 2, true, {0.0f, 100.0f});
    BalanceRun run(setup.model, setup.data(), setup.point_norms);
    run.run_steps(0, 1);
    EXPECT_EQ(setup.model.labels[0], 1u);
    EXPECT_EQ(setup.model.cluster_sizes[0], 7.9999995f);
    EXPECT_EQ(setup.model.cluster_sizes[1], 9.0f);
    // The eight points left behind, over 9 - 1.
    EXPECT_EQ(setup.model.centroids->row(0)[0], 1.0f);
    EXPECT_EQ(setup.model.centroids->row(1)[0], 100.0f);
  }
  // Staying: point 0 stays in its cluster of size 8, whose centroid becomes the sum
  // over the divisor ((8 - 1) + 0.15) + 1.
  {
    std::vector<float> values = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f, 1000.0f};
    std::vector<std::uint64_t> labels = {0, 0, 0, 0, 0, 0, 0, 0, 1};
    Scenario setup = make_scenario(values, 1, labels, 2, true);
    BalanceRun run(setup.model, setup.data(), setup.point_norms);
    run.run_steps(0, 1);
    EXPECT_EQ(setup.model.labels[0], 0u);
    EXPECT_EQ(setup.model.cluster_sizes[0], 7.9999995f);
    EXPECT_EQ(setup.model.centroids->row(0)[0], 36.0f / 8.1499996f);
    EXPECT_NE(setup.model.centroids->row(0)[0], 4.5f);
  }
}

TEST(BalancePointStep, SoleMemberKeepsItsCentroidWhileChoosing) {
  // Point 2 is alone in cluster 1, on its centroid. Were that centroid reset when the
  // point is taken out, cluster 0 would win (or the distance would be NaN).
  for (const bool euclidean : {true, false}) {
    const std::vector<float> values = {0.0f, 1.0f, 1.0f, 0.0f, 0.6f, 0.8f};
    Scenario setup = make_scenario(values, 2, {0, 0, 1}, 2, euclidean, {0.7071068f, 0.7071068f, 0.6f, 0.8f});
    BalanceRun run(setup.model, setup.data(), setup.point_norms);
    run.run_steps(2, 3);
    EXPECT_EQ(setup.model.labels[2], 1u) << euclidean;
    // Refreshed with the point back in: the sum over (0 + 0.15) + 1.
    const float divisor = (0.0f + balancing::residual_share) + 1.0f;
    if (euclidean) {
      EXPECT_EQ(setup.model.centroids->row(1)[0], 0.6f / divisor);
      EXPECT_EQ(setup.model.centroids->row(1)[1], 0.8f / divisor);
    } else {
      const float length = std::hypot(setup.model.centroids->row(1)[0], setup.model.centroids->row(1)[1]);
      EXPECT_NEAR(length, 1.0f, 1e-6f);
    }
  }
}

TEST(BalancePointStep, FirstIterationTiesGoToTheLowestIndexUnderBothMetrics) {
  // Two identical centroids; the point sits in cluster 1 and is equally far from both.
  for (const bool euclidean : {true, false}) {
    const std::vector<float> values = {1.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.0f};
    Scenario setup = make_scenario(values, 2, {0, 1, 1}, 2, euclidean, {1.0f, 0.0f, 1.0f, 0.0f});
    BalanceRun run(setup.model, setup.data(), setup.point_norms);
    run.run_steps(1, 2);
    EXPECT_EQ(setup.model.labels[1], 0u) << euclidean;
    EXPECT_EQ(setup.model.cluster_sizes[0], 2.0f);
  }
}

TEST(BalancePointStep, InnerProductRefreshesStayUnitLength) {
  const std::size_t n = 30;
  const std::size_t d = 4;
  std::vector<float> values = random_values(n * d, 7);
  // Cluster 2 holds x, -x and y: once y leaves, its sum is zero and its row must stay
  // zero, not NaN.
  for (std::size_t t = 0; t < d; ++t) values[1 * d + t] = -values[0 * d + t];
  std::vector<std::uint64_t> labels(n);
  for (std::size_t i = 0; i < n; ++i) labels[i] = i < 3 ? 2 : i % 2;
  Scenario setup = make_scenario(values, d, labels, 3, false);
  BalanceRun run(setup.model, setup.data(), setup.point_norms);
  run.set_size_penalty(0.05f);
  run.run_steps(2, 3);
  for (std::size_t i = n; i-- > 0;) {
    const std::uint64_t home = setup.model.labels[i];
    run.run_steps(i, i + 1);
    for (const std::uint64_t c : {home, std::uint64_t{setup.model.labels[i]}}) {
      const std::span<const float> row = std::as_const(*setup.model.centroids).row(c);
      float squares = 0.0f;
      for (const float value : row) {
        ASSERT_FALSE(std::isnan(value));
        squares += value * value;
      }
      if (squares != 0.0f) {
        EXPECT_NEAR(squares, 1.0f, 1e-5f) << "point " << i << " cluster " << c;
      }
    }
  }
}

TEST(BalancePointStep, MedoidModeCountsThePointOnlyInItsHome) {
  // Point 0 (at 9.2) is its home's nearest member to that centroid (9.1): still a
  // member while its home is refreshed, it stays.
  {
    const std::vector<float> values = {9.2f, 0.0f, 1.0f, 10.0f, 12.0f};
    Scenario setup = make_scenario(values, 1, {0, 0, 0, 1, 1}, 2, true, {9.1f, 9.25f});
    make_medoid_record(setup);
    BalanceRun run(setup.model, setup.data(), setup.point_norms);
    run.run_steps(0, 1);
    EXPECT_EQ(setup.model.labels[0], 0u);
    EXPECT_EQ(setup.model.medoid_indices[0], 0u);
    EXPECT_EQ(setup.model.centroids->row(0)[0], 9.2f);
  }
  // Point 0 moves to cluster 1, whose centroid (9.0) it is nearest to; not yet one of
  // that cluster's members, it cannot become its medoid.
  {
    const std::vector<float> values = {9.2f, 0.0f, 1.0f, 10.0f, 12.0f};
    Scenario setup = make_scenario(values, 1, {0, 0, 0, 1, 1}, 2, true, {0.0f, 9.0f});
    make_medoid_record(setup);
    BalanceRun run(setup.model, setup.data(), setup.point_norms);
    run.run_steps(0, 1);
    EXPECT_EQ(setup.model.labels[0], 1u);
    EXPECT_EQ(setup.model.medoid_indices[0], 1u);
    EXPECT_EQ(setup.model.medoid_indices[1], 3u);
    EXPECT_EQ(setup.model.centroids->row(1)[0], 10.0f);
  }
}

// --- The whole phase ---

TEST(BalanceClusters, SpreadWithinTheLimitRunsNoIteration) {
  // Sizes 4, 4, 5 with max_balance_diff 1: spread 1.0 against limit 1.5.
  std::vector<std::uint64_t> labels = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 2};
  Scenario setup = make_scenario(random_values(13 * 2, 3), 2, labels, 3, true);
  setup.model.max_balance_diff = 1;
  setup.model.verbose = true;
  const Matrix centroids = *setup.model.centroids;
  StdoutCapture capture;
  setup.model.balance_clusters(setup.data(), setup.point_norms);
  EXPECT_EQ(capture.finish(), "Balancing clusters...\n");
  EXPECT_EQ(setup.model.labels, labels);
  EXPECT_EQ(*setup.model.centroids, centroids);
  EXPECT_EQ(setup.model.cluster_sizes, (std::vector<float>{4.0f, 4.0f, 5.0f}));

  // A spread equal to the limit stops too.
  setup.model.cluster_sizes = {4.0f, 4.0f, 5.5f};
  StdoutCapture second;
  setup.model.balance_clusters(setup.data(), setup.point_norms);
  EXPECT_EQ(second.finish(), "Balancing clusters...\n");
  EXPECT_EQ(setup.model.labels, labels);
}

TEST(BalanceClusters, SpreadAboveTheLimitRunsAndReports) {
  // Sizes 3, 4, 5 with max_balance_diff 1: spread 2.0 needs at least one iteration.
  for (const bool euclidean : {true, false}) {
    std::vector<std::uint64_t> labels = {0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 2};
    Scenario setup = make_scenario(random_values(12 * 3, 11), 3, labels, 3, euclidean);
    setup.model.max_balance_diff = 1;
    setup.model.verbose = true;
    StdoutCapture capture;
    setup.model.balance_clusters(setup.data(), setup.point_norms);
    const std::vector<std::string> lines = split_lines(capture.finish());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Balancing clusters...");
    const std::regex line_format(R"(Balance iteration (\d+) \| Cost: (-?\d+\.\d{6}) \| Max diff: (\d+\.\d{2}))");
    for (std::size_t r = 1; r < lines.size(); ++r) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(lines[r], match, line_format)) << lines[r];
      EXPECT_EQ(match[1].str(), std::to_string(r));
    }
    // The last line reports the final spread and cost.
    std::smatch last;
    ASSERT_TRUE(std::regex_match(lines.back(), last, line_format));
    const float spread = balancing::size_spread(setup.model.cluster_sizes);
    EXPECT_LE(spread, 1.5f);
    char expected_spread[32];
    std::snprintf(expected_spread, sizeof expected_spread, "%.2f", static_cast<double>(spread));
    EXPECT_EQ(last[3].str(), expected_spread);
    char expected_cost[32];
    std::snprintf(expected_cost, sizeof expected_cost, "%.6f",
                  static_cast<double>(setup.model.compute_cost(setup.data())));
    EXPECT_EQ(last[2].str(), expected_cost);
    expect_sizes_match_labels(setup.model);
  }
}

TEST(BalanceClusters, OneClusterIsAlwaysBalanced) {
  Scenario setup = make_scenario(random_values(9 * 2, 8), 2, std::vector<std::uint64_t>(9, 0), 1, false);
  setup.model.max_balance_diff = 0;
  const Matrix centroids = *setup.model.centroids;
  setup.model.balance_clusters(setup.data(), setup.point_norms);
  EXPECT_EQ(setup.model.labels, std::vector<std::uint64_t>(9, 0));
  EXPECT_EQ(*setup.model.centroids, centroids);
  EXPECT_EQ(setup.model.cluster_sizes[0], 9.0f);
}

TEST(BalanceClusters, MedoidModeEndsOnExactDataRows) {
  const std::size_t n = 24;
  const std::size_t d = 3;
  for (const bool euclidean : {true, false}) {
    // Rows well away from unit length, so that any normalisation would show.
    std::vector<float> values = random_values(n * d, 21);
    for (float& value : values) value *= 7.0f;
    std::vector<std::uint64_t> labels(n);
    for (std::size_t i = 0; i < n; ++i) labels[i] = i < 16 ? 0 : 1 + i % 2;
    Scenario setup = make_scenario(values, d, labels, 3, euclidean);
    make_medoid_record(setup);
    setup.model.max_balance_diff = 2;
    setup.model.balance_clusters(setup.data(), setup.point_norms);
    EXPECT_LE(balancing::size_spread(setup.model.cluster_sizes), 2.5f);
    expect_sizes_match_labels(setup.model);
    for (std::size_t c = 0; c < 3; ++c) {
      const std::uint64_t m = setup.model.medoid_indices[c];
      ASSERT_LT(m, n);
      EXPECT_EQ(setup.model.labels[m], c);
      EXPECT_EQ(std::memcmp(setup.model.centroids->row(c).data(), values.data() + m * d, d * sizeof(float)), 0);
    }
  }
}

TEST(BalanceClusters, MedoidModeWithoutIterationStillRunsTheFinalPass) {
  // Balanced already; the final pass still moves each medoid to the member nearest to
  // the current centroid row.
  const std::vector<float> values = {0.0f, 4.0f, 10.0f, 11.0f};
  Scenario setup = make_scenario(values, 1, {0, 0, 1, 1}, 2, true, {3.0f, 10.4f});
  make_medoid_record(setup);
  setup.model.balance_clusters(setup.data(), setup.point_norms);
  EXPECT_EQ(setup.model.labels, (std::vector<std::uint64_t>{0, 0, 1, 1}));
  EXPECT_EQ(setup.model.medoid_indices, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(setup.model.centroids->row(0)[0], 4.0f);
  EXPECT_EQ(setup.model.centroids->row(1)[0], 10.0f);
}

// --- Termination on adversarial states ---

TEST(BalanceTermination, IdenticalPointsSplitEvenly) {
  // All 64 points equal: every distance ties, so only the size penalty separates the
  // clusters. Start as an assignment would leave it: everything in one cluster.
  const std::size_t n = 64;
  const std::size_t d = 3;
  std::vector<float> values(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    values[i * d + 0] = 0.1f;
    values[i * d + 1] = -0.7f;
    values[i * d + 2] = 1.3f;
  }
  for (const bool use_medoids : {false, true}) {
    for (const bool euclidean : {true, false}) {
      std::vector<float> seeds;
      for (std::size_t c = 0; c < 4; ++c) seeds.insert(seeds.end(), values.begin(), values.begin() + d);
      Scenario setup = make_scenario(values, d, std::vector<std::uint64_t>(n, euclidean ? 0 : 3), 4, euclidean, seeds);
      if (!euclidean) setup.model.postprocess_centroids();
      if (use_medoids) make_medoid_record(setup);
      setup.model.max_balance_diff = 1;
      setup.model.balance_clusters(setup.data(), setup.point_norms);
      EXPECT_EQ(label_counts(setup.model), (std::vector<std::size_t>{16, 16, 16, 16}))
          << "euclidean " << euclidean << " medoids " << use_medoids;
      expect_sizes_match_labels(setup.model);
      for (const float value : setup.model.cluster_sizes) EXPECT_TRUE(std::isfinite(value));
      for (std::size_t c = 0; c < 4; ++c) {
        for (const float value : setup.model.centroids->row(c)) EXPECT_TRUE(std::isfinite(value));
      }
    }
  }
}

TEST(BalanceTermination, ZeroDiffWithUnevenCountEnds) {
  // 103 points in 5 clusters can never reach a spread of 0.5; the phase must still end,
  // with the sizes as even as they can be.
  const std::size_t n = 103;
  const std::size_t d = 2;
  for (const bool euclidean : {true, false}) {
    std::vector<float> values = random_values(n * d, 99);
    std::vector<std::uint64_t> labels(n);
    for (std::size_t i = 0; i < n; ++i) labels[i] = i < 60 ? 0 : i % 5;
    Scenario setup = make_scenario(values, d, labels, 5, euclidean);
    setup.model.max_balance_diff = 0;
    setup.model.verbose = true;
    StdoutCapture capture;
    setup.model.balance_clusters(setup.data(), setup.point_norms);
    const std::vector<std::string> lines = split_lines(capture.finish());
    const std::vector<std::size_t> counts = label_counts(setup.model);
    const auto [smallest, largest] = std::minmax_element(counts.begin(), counts.end());
    EXPECT_LE(*largest - *smallest, 1u) << euclidean;
    expect_sizes_match_labels(setup.model);
    // Ended by the penalty bound, not by an iteration cap of its own: well over a few
    // dozen iterations, but finitely many.
    EXPECT_GT(lines.size(), 30u);
    EXPECT_LT(lines.size(), 400u);
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find("NaN"), std::string::npos) << line;
      EXPECT_EQ(line.find("inf"), std::string::npos) << line;
    }
  }
}

TEST(BalanceTermination, TwoClustersOfDuplicatesEnd) {
  // 30 copies of one point and 11 of another, each group in its own cluster: whole
  // groups of equal distances must be split by the size penalty alone.
  const std::size_t n = 41;
  const std::size_t d = 2;
  std::vector<float> values(n * d);
  std::vector<std::uint64_t> labels(n);
  for (std::size_t i = 0; i < n; ++i) {
    const bool first = i < 30;
    values[i * d] = first ? 0.25f : -3.0f;
    values[i * d + 1] = first ? 0.5f : 1.75f;
    labels[i] = first ? 0 : 1;
  }
  for (const bool use_medoids : {false, true}) {
    for (const bool euclidean : {true, false}) {
      for (const std::uint64_t max_diff : {std::uint64_t{0}, std::uint64_t{1}}) {
        Scenario setup = make_scenario(values, d, labels, 2, euclidean);
        if (use_medoids) make_medoid_record(setup);
        setup.model.max_balance_diff = max_diff;
        setup.model.balance_clusters(setup.data(), setup.point_norms);
        const std::vector<std::size_t> counts = label_counts(setup.model);
        EXPECT_LE(std::max(counts[0], counts[1]) - std::min(counts[0], counts[1]), 1u)
            << "euclidean " << euclidean << " medoids " << use_medoids << " max diff " << max_diff;
        expect_sizes_match_labels(setup.model);
      }
    }
  }
}

}  // namespace
}  // namespace plovek

namespace plovek {
namespace {

// Every SIMD level must place a point exactly as the plain sequential definitions do,
// ties, infinities and unorderable values included, over awkward cluster counts.
TEST(BalanceSteps, PlacementMatchesTheSequentialDefinitionsAtEveryLevel) {
  std::mt19937 rng(17);
  const float inf = std::numeric_limits<float>::infinity();
  for (int trial = 0; trial < 600; ++trial) {
    const std::size_t k = 1 + rng() % 70;
    std::vector<float> distances(k + 1), sizes(k + 1);
    for (std::size_t j = 0; j <= k; ++j) {
      const unsigned pick = rng() % 12;
      if (trial % 2 == 0) {  // few values: many ties
        distances[j] = pick == 0 ? inf : pick == 1 ? -inf : float(int(rng() % 7) - 3);
        sizes[j] = float(rng() % 5);
      } else {  // arbitrary values: quotients that differ only after rounding
        distances[j] = std::ldexp(float(rng() % 100000) - 50000.0f, int(rng() % 9) - 20);
        sizes[j] = float(rng() % 5) + (rng() % 2 == 0 ? 0.15f : 0.0f) + std::ldexp(float(rng() % 1000), -20);
      }
    }
    if (trial % 7 == 0) distances[1] = std::numeric_limits<float>::quiet_NaN();
    const float penalty = trial % 3 == 0 ? 0.0f : 0.5f;
    const std::size_t home = rng() % k;
    // One float past the start: unaligned.
    const std::span<const float> d(distances.data() + 1, k), s(sizes.data() + 1, k);

    std::size_t expected_target = 0;
    for (std::size_t j = 0; j < k; ++j) {
      if (j == 0 || d[j] + penalty * s[j] < d[expected_target] + penalty * s[expected_target]) expected_target = j;
    }
    float expected_switch = inf;
    for (std::size_t j = 0; j < k; ++j) {
      const float gap = s[home] - s[j];
      if (!(s[home] > s[j]) || gap == 0.0f) continue;
      const float value = (d[j] - d[home]) / gap;
      if (value < expected_switch) expected_switch = value;
    }
    // The same distances from dot products: dot_j = (norm_j - distance_j) / 2 rounds,
    // so the distances are recomputed from the dots by the formula.
    std::vector<float> dots(k + 1), norms(k + 1), from_dots(k);
    for (std::size_t j = 0; j < k; ++j) {
      norms[j + 1] = float(rng() % 50) * 0.25f;
      dots[j + 1] = (norms[j + 1] - d[j]) * 0.5f;
      from_dots[j] = (norms[j + 1] - 2.0f * dots[j + 1]) + 0.75f;
    }
    const kernels::Placement from_dots_expected = place_point(from_dots, s, home, penalty);
    test_support::for_each_level_kernels([&](auto level_kernels) {
      using K = decltype(level_kernels);
      const kernels::Placement got = place_point<K>(d, s, home, penalty);
      EXPECT_EQ(got.target, expected_target) << "trial " << trial;
      EXPECT_TRUE(got.switch_penalty == expected_switch) << "trial " << trial << ": " << got.switch_penalty
                                                        << " vs " << expected_switch;
      for (const bool euclidean : {true, false}) {
        std::vector<float> expected_distances(k);
        for (std::size_t j = 0; j < k; ++j) expected_distances[j] = euclidean ? from_dots[j] : -dots[j + 1];
        const kernels::Placement expected_fused =
            euclidean ? from_dots_expected
                      : place_point(expected_distances, s, home, penalty);
        // The switch penalty must be exact below the limit, and at or above it otherwise:
        // limits at, just above and just below the exact value, and far from it.
        const float exact = expected_fused.switch_penalty;
        for (const float limit : {inf, exact, std::nextafter(exact, inf), std::nextafter(exact, -inf), -inf, 0.0f}) {
          const kernels::Placement fused =
              K::place_from_dots(dots.data() + 1, euclidean ? norms.data() + 1 : nullptr, 0.75f, s.data(), k, home,
                                 penalty, limit);
          EXPECT_EQ(fused.target, expected_fused.target) << "trial " << trial << " euclidean " << euclidean;
          if (exact < limit) {
            EXPECT_TRUE(fused.switch_penalty == exact) << "trial " << trial << " limit " << limit;
          } else {
            EXPECT_TRUE(fused.switch_penalty >= limit || std::isnan(limit))
                << "trial " << trial << " limit " << limit << ": " << fused.switch_penalty;
          }
        }
      }
    });
  }
}

}  // namespace
}  // namespace plovek

namespace plovek {
namespace {

// The balancing phase written out as the definition reads, measuring every cluster
// from its centroid row with the dot products written out at every step: what the
// incremental run (cached norms, repacked lanes, vector placement, skipped divisions)
// must reproduce bit for bit at every level.
class LiteralBalance {
 public:
  LiteralBalance(KMeans& model, const MatrixView& data, std::span<const float> point_norms)
      : model_(model), data_(data), point_norms_(point_norms), sums_(model.n_clusters, data.cols()) {
    for (std::size_t i = 0; i < data.rows(); ++i) {
      for (std::size_t t = 0; t < data.cols(); ++t) sums_.row(model.labels[i])[t] += data.at(i, t);
    }
  }

  void point_step(std::size_t i, float size_penalty, float& next_size_penalty) {
    const std::size_t k = model_.n_clusters, d = data_.cols();
    std::vector<float>& sizes = model_.cluster_sizes;
    std::vector<float> x(d);
    for (std::size_t t = 0; t < d; ++t) x[t] = data_.at(i, t);
    const std::size_t home = model_.labels[i];
    const float s = sizes[home];
    for (std::size_t t = 0; t < d; ++t) sums_.row(home)[t] -= x[t];
    if (model_.use_medoids) {
      if (s > 0.0f) refresh_medoid(home);
    } else if (s > 1.0f) {
      refresh_mean(home, s - 1.0f);
    }
    sizes[home] = (s - 1.0f) + 0.15f;
    std::vector<float> dist(k);
    for (std::size_t j = 0; j < k; ++j) {
      const float* c = model_.centroids->row(j).data();
      const float dot = test_support::two_chain_dot(x.data(), c, d);
      dist[j] = model_.euclidean ? (test_support::row_order_dot(c, c, d) - 2.0f * dot) + point_norms_[i] : -dot;
    }
    std::size_t target = 0;
    float switch_penalty = kInf;
    for (std::size_t j = 0; j < k; ++j) {
      if (dist[j] + size_penalty * sizes[j] < dist[target] + size_penalty * sizes[target]) target = j;
      const float gap = sizes[home] - sizes[j];
      if (sizes[home] > sizes[j] && gap != 0.0f) switch_penalty = std::min(switch_penalty, (dist[j] - dist[home]) / gap);
    }
    if (size_penalty < switch_penalty && switch_penalty < next_size_penalty) next_size_penalty = switch_penalty;
    sizes[target] = sizes[target] + 1.0f;
    for (std::size_t t = 0; t < d; ++t) sums_.row(target)[t] += x[t];
    if (model_.use_medoids) {
      refresh_medoid(target);
    } else {
      refresh_mean(target, sizes[target]);
    }
    sizes[home] = sizes[home] - 0.15f;
    model_.labels[i] = target;
  }

 private:
  void refresh_mean(std::size_t j, float divisor) {
    std::span<float> row = model_.centroids->row(j);
    for (std::size_t t = 0; t < row.size(); ++t) row[t] = sums_.row(j)[t] / divisor;
    if (!model_.euclidean) scale_to_unit_length(row);
  }
  void refresh_medoid(std::size_t j) {
    medoids::Scratch scratch(data_.cols());
    medoids::apply_nearest_member_rule(model_, data_, j, scratch);
  }

  KMeans& model_;
  MatrixView data_;
  std::span<const float> point_norms_;
  Matrix sums_;
};

// Points around k centres, labelled by their centre with skewed odds, so that the
// sizes start uneven and points move in every iteration.
Scenario skewed_blobs(std::size_t n, std::size_t d, std::size_t k, bool euclidean, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> centres(k * d), values(n * d);
  for (float& value : centres) value = 3.0f * normal(rng);
  std::vector<std::uint64_t> labels(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double u = (rng() % 1000) / 1000.0;
    const std::size_t centre = i < k ? i : std::min<std::size_t>(k - 1, static_cast<std::size_t>(k * u * u));
    for (std::size_t t = 0; t < d; ++t) values[i * d + t] = centres[centre * d + t] + normal(rng);
    labels[i] = centre;
  }
  if (!euclidean) {
    for (std::size_t i = 0; i < n; ++i) scale_to_unit_length(std::span<float>(values.data() + i * d, d));
  }
  return make_scenario(values, d, labels, k, euclidean);
}

// A medoid record with the same labels over rows copied from the first `distinct`
// ones, each row's first element replaced by a tiny value of its own: rows with
// different bits at squared distance 0, and exact ties under the inner product. Each
// cluster's medoid is its highest member and its centroid that row (as training leaves
// them), so that lower members lie at distance 0 from it.
Scenario medoids_on_repeated_rows(const Scenario& setup, std::size_t distinct) {
  std::vector<float> values = setup.values;
  for (std::size_t i = 0; i < setup.n; ++i) {
    std::copy_n(setup.values.begin() + (i % distinct) * setup.d, setup.d, values.begin() + i * setup.d);
    values[i * setup.d] = float(i) * 0x1p-100f;
  }
  Scenario repeated =
      make_scenario(values, setup.d, setup.model.labels, setup.model.n_clusters, setup.model.euclidean);
  make_medoid_record(repeated);
  for (std::size_t i = 0; i < repeated.n; ++i) {
    const std::uint64_t c = repeated.model.labels[i];
    repeated.model.medoid_indices[c] = i;
    std::copy_n(values.begin() + i * repeated.d, repeated.d, repeated.model.centroids->row(c).begin());
  }
  return repeated;
}

// The same record over thirds of small integers (each value rounded to a multiple of
// 1/3): distances that tie or nearly tie, which fused multiply-adds would split.
Scenario on_thirds(const Scenario& setup) {
  std::vector<float> values = setup.values;
  for (float& v : values) v = std::round(v * 3.0f) / 3.0f;
  return make_scenario(values, setup.d, setup.model.labels, setup.model.n_clusters, setup.model.euclidean);
}

// Every level against the scalar level's literal definition, with every step computing
// its own dot products, and (mean mode) with the dot products computed in blocks, each
// while the block before is stepped (then computed again for the centroids changed
// since) or each at its start.
TEST(BalanceRunAgainstDefinition, EveryIterationMatchesBitForBit) {
  struct Case {
    std::size_t n, d, k;
    bool euclidean, medoids;
    std::size_t distinct_rows = 0;  // 0: every row its own
    bool thirds = false;
  };
  // Cluster counts that leave last panels full, half and partly filled; odd dimensions;
  // steps with few and with many dot products; rows longer than the steps keep
  // on the stack; medoids among distinct and among repeated rows. In blocks: one or two
  // clusters, every step changing every centroid (a point's home or target refreshed by
  // the point before), and a few, most of them changing within each block.
  const Case cases[] = {{900, 7, 12, true, false},  {800, 33, 37, true, false}, {700, 16, 50, false, false},
                        {600, 5, 100, true, false}, {500, 9, 17, false, false}, {240, 3, 8, true, true},
                        {300, 6, 5, false, true},   {400, 5, 6, true, true, 23}, {400, 5, 6, false, true, 23},
                        {500, 40, 70, true, false}, {150, 301, 6, true, false},
                        {600, 8, 20, true, false, 0, true}, {600, 8, 20, false, false, 0, true},
                        {300, 4, 7, true, true, 0, true},
                        {200, 9, 1, true, false},   {250, 17, 2, true, false},  {250, 17, 2, false, false},
                        {333, 12, 5, false, false}};
  std::uint32_t seed = 40;
  test_support::for_each_level_kernels([&](auto) {
    for (const BalanceBlocks blocks : {BalanceBlocks::None, BalanceBlocks::Overlapping, BalanceBlocks::AtTheirStart}) {
      for (const Case& c : cases) {
        if (blocks != BalanceBlocks::None && c.medoids) continue;
        SCOPED_TRACE(testing::Message() << "d " << c.d << " k " << c.k << " euclidean " << c.euclidean << " medoids "
                                        << c.medoids << " blocks " << static_cast<int>(blocks));
        Scenario incremental = skewed_blobs(c.n, c.d, c.k, c.euclidean, ++seed);
        if (c.thirds) incremental = on_thirds(incremental);
        if (c.medoids) make_medoid_record(incremental);
        if (c.distinct_rows > 0) incremental = medoids_on_repeated_rows(incremental, c.distinct_rows);
        Scenario literal_setup = incremental;
        BalanceRun run(incremental.model, incremental.data(), incremental.point_norms, blocks);
        ASSERT_EQ(run.block_points() != 0, blocks != BalanceBlocks::None);
        LiteralBalance literal(literal_setup.model, literal_setup.data(), literal_setup.point_norms);
        float size_penalty = 0.0f;
        for (int iteration = 0; iteration < 8; ++iteration) {
          float next_size_penalty = kInf;
          run.set_size_penalty(size_penalty);
          run.run_iteration();
          for (std::size_t i = 0; i < c.n; ++i) literal.point_step(i, size_penalty, next_size_penalty);
          ASSERT_EQ(incremental.model.labels, literal_setup.model.labels) << "iteration " << iteration;
          ASSERT_EQ(incremental.model.cluster_sizes, literal_setup.model.cluster_sizes) << "iteration " << iteration;
          ASSERT_EQ(*incremental.model.centroids, *literal_setup.model.centroids) << "iteration " << iteration;
          ASSERT_TRUE(run.next_size_penalty() == next_size_penalty) << "iteration " << iteration;
          size_penalty = balancing::grown_size_penalty(size_penalty, next_size_penalty);
        }
      }
    }
  });
}


// Steps read rows in place at any row stride, or copy them when their elements are
// not contiguous: every layout leaves exactly what the row-major layout leaves, also
// when cancellation points cut the iteration into runs of steps, and in blocks.
TEST(BalanceRunLayouts, EveryRowLayoutGivesTheSameSteps) {
  const std::size_t n = 300, d = 9, k = 21, padded_stride = d + 3;
  const Scenario base = skewed_blobs(n, d, k, true, 77);
  std::vector<float> padded(n * padded_stride, std::nanf("")), reversed(n * d), columns(n * d);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t t = 0; t < d; ++t) {
      const float value = base.values[i * d + t];
      padded[i * padded_stride + t] = value;
      reversed[(n - 1 - i) * d + t] = value;
      columns[t * n + i] = value;
    }
  struct Layout {
    const char* name;
    MatrixView view;
  };
  const Layout layouts[] = {
      {"padded rows", MatrixView(padded.data(), n, d, std::ptrdiff_t(padded_stride), 1)},
      {"reversed rows", MatrixView(reversed.data() + (n - 1) * d, n, d, -std::ptrdiff_t(d), 1)},
      {"column-major", MatrixView(columns.data(), n, d, 1, std::ptrdiff_t(n))}};
  test_support::for_each_level_kernels([&](auto) {
    for (const bool blocks : {false, true}) {
      for (const Layout& layout : layouts) {
        SCOPED_TRACE(testing::Message() << layout.name << " blocks " << blocks);
        const BalanceBlocks choice = blocks ? BalanceBlocks::Overlapping : BalanceBlocks::None;
        KMeans laid_out_model = base.model.clone(), row_major_model = base.model.clone();
        BalanceRun laid_out(laid_out_model, layout.view, base.point_norms, choice);
        BalanceRun row_major(row_major_model, base.data(), base.point_norms, choice);
        CountingPolls polls;
        CancellationPoints cancellation_points(polls.cancellation());
        for (int iteration = 0; iteration < 5; ++iteration) {
          laid_out.run_iteration(iteration % 2 ? &cancellation_points : nullptr);
          row_major.run_iteration();
          ASSERT_EQ(laid_out_model.labels, row_major_model.labels) << "iteration " << iteration;
          ASSERT_EQ(laid_out_model.cluster_sizes, row_major_model.cluster_sizes) << "iteration " << iteration;
          ASSERT_EQ(*laid_out_model.centroids, *row_major_model.centroids) << "iteration " << iteration;
          ASSERT_TRUE(laid_out.next_size_penalty() == row_major.next_size_penalty()) << "iteration " << iteration;
          const float next = balancing::grown_size_penalty(laid_out.size_penalty(), laid_out.next_size_penalty());
          laid_out.set_size_penalty(next);
          row_major.set_size_penalty(next);
        }
        // Two iterations with cancellation points, one per run of mean-mode steps.
        const std::size_t runs = (n + BalanceRun::kMeanStepsPerPoll - 1) / BalanceRun::kMeanStepsPerPoll;
        EXPECT_EQ(polls.asks, 2 * runs);
      }
    }
  });
}

}  // namespace
}  // namespace plovek
