// Cancellation of `train` (how often the check is asked, what a cancelled or failed
// training leaves behind) and the random generator across fork().
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/balance.h"
#include "runtime/cancellation.h"
#include "simd/kernels.h"
#include "engine/kmeans.h"
#include "runtime/random.h"

namespace plovek {
namespace {

// A check that counts how often it is asked and answers yes from a given ask on
// (never when `cancel_at` is 0). Its cancellation asks at every cancellation point
// unless a period is given.
struct CountingCheck {
  std::uint64_t asks = 0;
  std::uint64_t cancel_at = 0;
  std::chrono::microseconds period{0};

  static bool ask(void* context) {
    auto* self = static_cast<CountingCheck*>(context);
    ++self->asks;
    return self->cancel_at != 0 && self->asks >= self->cancel_at;
  }
  Cancellation cancellation() { return Cancellation{&CountingCheck::ask, this, period}; }
};

TEST(CancellationPoints, PollingIsRareOnFastStepsAndImmediateOnSlowOnes) {
  CancellationPoints never{Cancellation{}};
  for (int i = 0; i < 100000; ++i) never.poll();  // no check: nothing to ask

  CountingCheck fast;
  fast.period = Cancellation::kDefaultPeriod;
  const Cancellation fast_cancellation = fast.cancellation();
  CancellationPoints fast_points(fast_cancellation);
  constexpr std::uint64_t kPolls = 2000000;
  for (std::uint64_t i = 0; i < kPolls; ++i) fast_points.poll();
  EXPECT_GE(fast.asks, 1u);
  EXPECT_LT(fast.asks, kPolls / 50);

  // Steps that take longer than half the period: the stride never grows and every
  // poll asks.
  CountingCheck slow;
  slow.period = Cancellation::kDefaultPeriod;
  const Cancellation slow_cancellation = slow.cancellation();
  CancellationPoints slow_points(slow_cancellation);
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(Cancellation::kDefaultPeriod);
    slow_points.poll();
  }
  EXPECT_EQ(slow.asks, 20u);
}

TEST(CancellationPoints, ARequestIsSeenWithinOneStride) {
  bool requested = false;
  const Cancellation cancellation{[](void* flag) { return *static_cast<bool*>(flag); }, &requested,
                                  Cancellation::kDefaultPeriod};
  CancellationPoints points(cancellation);
  for (int i = 0; i < 1000000; ++i) points.poll();  // let the stride grow
  requested = true;
  std::uint64_t polls_after_request = 0;
  EXPECT_THROW(
      {
        for (;;) {
          ++polls_after_request;
          points.poll();
        }
      },
      Cancelled);
  EXPECT_LE(polls_after_request, CancellationPoints::kMaxStride);
}

// n points of which all but the last `distinct` are one and the same: whatever the
// seeds, the copies share one cluster, so the sizes are never balanced at first.
std::vector<float> lopsided_data(std::size_t n, std::size_t d, std::size_t distinct, unsigned seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<float> dist(0.0f, 1.0f);
  std::vector<float> values(n * d);
  for (float& v : values) v = dist(engine);
  for (std::size_t i = 1; i + distinct < n; ++i)
    for (std::size_t t = 0; t < d; ++t) values[i * d + t] = values[t];
  return values;
}

// A record that is untrained but not fresh: as a training that panicked might leave it.
KMeans used_untrained_record(const KMeans& config) {
  KMeans record = config.clone();
  record.labels = {2, 0, 1};
  record.cluster_sizes = {1.0f, 1.0f, 1.5f};
  record.centroids = Matrix(2, 3);
  record.centroids->row(1)[2] = 7.0f;
  record.medoid_indices = {4, 5};
  return record;
}

void expect_same_state(const KMeans& actual, const KMeans& expected) {
  EXPECT_EQ(actual.is_trained, expected.is_trained);
  EXPECT_EQ(actual.labels, expected.labels);
  EXPECT_EQ(actual.cluster_sizes, expected.cluster_sizes);
  EXPECT_EQ(actual.centroids, expected.centroids);
  EXPECT_EQ(actual.medoid_indices, expected.medoid_indices);
}

void expect_partition(const ClusterLists& lists, std::size_t k, std::size_t n) {
  ASSERT_EQ(lists.size(), k);
  std::vector<int> seen(n, 0);
  for (const auto& list : lists)
    for (const std::uint64_t i : list) ++seen[i];
  EXPECT_EQ(seen, std::vector<int>(n, 1));
}

std::vector<KMeans> configurations(std::uint64_t k) {
  std::vector<KMeans> configs;
  for (const bool euclidean : {false, true})
    for (const bool balanced : {false, true})
      for (const bool use_medoids : {false, true}) {
        KMeans config(k);
        config.iterations = 3;
        config.euclidean = euclidean;
        config.balanced = balanced;
        config.max_balance_diff = 1;
        config.use_medoids = use_medoids;
        configs.push_back(config);
      }
  return configs;
}

// The cancellation points of one balance iteration over n points: one per run of
// mean-mode steps, or one per medoid step.
std::uint64_t balance_iteration_asks(const KMeans& config, std::size_t n) {
  constexpr std::size_t run = balancing::BalanceRun::kMeanStepsPerPoll;
  return config.use_medoids ? n : (n + run - 1) / run;
}

// Also with the balancing steps in blocks, whose dot products the pool computes while
// a cancellation point is asked.
TEST(TrainCancellation, EveryCancellationPointRestoresTheRecordForAnotherTraining) {
  const std::size_t n = 90, d = 3, k = 4;
  const std::vector<float> values = lopsided_data(n, d, 20, 17);
  const MatrixView data = MatrixView::row_major(values.data(), n, d);
  for (const BalanceBlocks blocks : {BalanceBlocks::None, BalanceBlocks::Overlapping}) {
    SCOPED_TRACE(blocks == BalanceBlocks::None ? "balancing step by step" : "balancing in blocks");
    for (const KMeans& config : configurations(k)) {
      CountingCheck counter;
      KMeans uncancelled = config.clone();
      expect_partition(uncancelled.train(data, std::nullopt, counter.cancellation(), {}, blocks).value(), k, n);
      // One ask per iteration and one before the final assignment, then those of the
      // balancing phase, which runs at least one balance iteration here.
      const std::uint64_t points = config.iterations + 1 + (config.balanced ? balance_iteration_asks(config, n) : 0);
      if (config.balanced) {
        EXPECT_GE(counter.asks, points);
      } else {
        EXPECT_EQ(counter.asks, points);
      }

      const std::uint64_t stride = std::max<std::uint64_t>(1, points / 12);
      for (std::uint64_t cancel_at = 1; cancel_at <= points; cancel_at += stride) {
        const KMeans before = used_untrained_record(config);
        KMeans record = before.clone();
        CountingCheck check;
        check.cancel_at = cancel_at;
        EXPECT_THROW(record.train(data, std::nullopt, check.cancellation(), {}, blocks), Cancelled)
            << "at " << cancel_at;
        EXPECT_EQ(check.asks, cancel_at);
        expect_same_state(record, before);
        expect_partition(record.train(data, std::nullopt).value(), k, n);
        EXPECT_TRUE(record.is_trained);
        if (config.use_medoids) {
          EXPECT_EQ(record.medoid_indices.size(), k);
        }
      }
    }
  }
}

TEST(TrainCancellation, AFailureInsideTrainingAlsoRestoresTheRecord) {
  const std::size_t n = 40, d = 2, k = 3;
  const std::vector<float> values = lopsided_data(n, d, n, 5);
  const MatrixView data = MatrixView::row_major(values.data(), n, d);
  KMeans config(k);
  config.iterations = 5;
  const KMeans before = used_untrained_record(config);
  KMeans record = before.clone();
  const Cancellation throwing{[](void*) -> bool { throw std::runtime_error("check failed"); }, nullptr,
                              std::chrono::microseconds{0}};
  EXPECT_THROW(record.train(data, std::nullopt, throwing), std::runtime_error);
  expect_same_state(record, before);

  // Without medoid mode the medoid indices are not training's to change.
  ASSERT_TRUE(record.train(data, std::nullopt).ok());
  EXPECT_EQ(record.medoid_indices, before.medoid_indices);
}

// One cluster of identical rows: every member ties, so the exact-medoid update sums
// every total (16 million distances). It must answer a cancellation between its batches.
TEST(TrainCancellation, TheExactMedoidUpdateOfABigClusterIsCancelled) {
  const std::size_t n = 4000;
  const std::vector<float> values = lopsided_data(n, 1, 0, 3);
  const MatrixView data = MatrixView::row_major(values.data(), n, 1);
  KMeans config(1);
  config.iterations = 1;
  config.euclidean = true;
  config.use_medoids = true;
  const KMeans before = used_untrained_record(config);
  KMeans record = before.clone();
  CountingCheck check;
  check.cancel_at = 3;  // the iteration's ask, then two inside the update
  EXPECT_THROW(record.train(data, std::nullopt, check.cancellation()), Cancelled);
  EXPECT_EQ(check.asks, 3u);
  expect_same_state(record, before);
}

// The next four outputs of the calling thread's generator.
std::array<std::uint64_t, 4> next_draws() {
  std::array<std::uint64_t, 4> draws{};
  for (auto& draw : draws) draw = thread_generator().next_u64();
  return draws;
}

// Forks a child that writes next_draws() to a pipe; returns what it wrote.
std::array<std::uint64_t, 4> draws_in_child() {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    const auto draws = next_draws();
    const bool written = write(fds[1], draws.data(), sizeof draws) == static_cast<ssize_t>(sizeof draws);
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  std::array<std::uint64_t, 4> draws{};
  EXPECT_EQ(read(fds[0], draws.data(), sizeof draws), static_cast<ssize_t>(sizeof draws));
  close(fds[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return draws;
}

TEST(RandomAcrossFork, AChildNeverReplaysItsParentsStream) {
  next_draws();  // the parent's generator exists before the forks
  const auto first_child = draws_in_child();
  const auto second_child = draws_in_child();
  const auto parent = next_draws();
  EXPECT_NE(first_child, parent);
  EXPECT_NE(second_child, parent);
  EXPECT_NE(first_child, second_child);
}

}  // namespace
}  // namespace plovek
