// The process-wide pool: one-time sizing, its error texts, environment parsing and
// fork safety. Every case that creates a pool runs in a fresh child process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/loop_stream.h"
#include "runtime/thread_pool.h"

namespace plovek {
namespace {

class ThreadPoolSizing : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

bool is_error(const std::optional<std::string>& result, const char* text) { return result && *result == text; }

TEST_F(ThreadPoolSizing, OnlyTheFirstExplicitSizingSucceeds) {
  EXPECT_EXIT(
      {
        const bool first_ok = !initialize_global_pool(3).has_value();
        const bool second_refused = is_error(initialize_global_pool(3), pool_errors::kAlreadyInitialized);
        std::exit(first_ok && second_refused && global_pool_size() == 3 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ThreadPoolSizing, AParallelLoopFixesTheDefaultPool) {
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "2", 1);
        parallel_for(10, 1, [](std::size_t, std::size_t) {});
        const bool refused = is_error(initialize_global_pool(4), pool_errors::kAlreadyInitialized);
        std::exit(refused && global_pool_size() == 2 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ThreadPoolSizing, ZeroAsksForTheDefaultSize) {
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "5", 1);
        const bool ok = !initialize_global_pool(0).has_value();
        std::exit(ok && global_pool_size() == 5 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ThreadPoolSizing, ImpossibleSizesStartNoThreadAndLeaveNoPool) {
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "1000000", 1);
        const std::string huge = initialize_global_pool(UINT64_MAX).value_or("");
        const std::string from_environment = ensure_global_pool(std::nullopt).value_or("");
        std::ifstream status("/proc/self/status");
        std::string threads;
        while (std::getline(status, threads) && threads.rfind("Threads:", 0) != 0) {}
        const bool refused = huge.rfind("18446744073709551615 worker threads requested, at most ", 0) == 0 &&
                             from_environment.rfind("1000000 worker threads requested", 0) == 0 && threads == "Threads:\t1";
        setenv("RAYON_NUM_THREADS", "2", 1);
        std::exit(refused && !ensure_global_pool(std::nullopt) && global_pool_size() == 2 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ThreadPoolSizing, SizingFromAWorkerThreadIsRefused) {
  EXPECT_EXIT(
      {
        std::atomic<bool> refused{false};
        parallel_for(1, 1, [&](std::size_t, std::size_t) {
          refused = is_error(initialize_global_pool(2), pool_errors::kInsideAnotherPool);
        });
        std::exit(refused ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ThreadPoolSizing, AForkedChildRunsLoopsOnAPoolOfTheSameSize) {
  EXPECT_EXIT(
      {
        if (initialize_global_pool(3)) std::exit(2);
        const pid_t child = fork();
        if (child == 0) {
          alarm(20);  // a hang on missing worker threads fails instead of blocking
          std::atomic<std::size_t> covered{0};
          parallel_for(1000, 1, [&](std::size_t b, std::size_t e) { covered += e - b; });
          const bool ok = covered == 1000 && global_pool_size() == 3 &&
                          is_error(initialize_global_pool(3), pool_errors::kAlreadyInitialized);
          _exit(ok ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ThreadPoolLoops, RangesCoverEveryIndexOnceAndErrorsReachTheCaller) {
  const std::size_t n = 100'003;
  std::vector<std::atomic<int>> hits(n);
  parallel_for(n, 7, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) ++hits[i];
  });
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;

  EXPECT_THROW(parallel_for(50, 1, [](std::size_t begin, std::size_t) {
                 if (begin == 0) throw std::runtime_error("boom");
               }),
               std::runtime_error);
  std::atomic<std::size_t> after{0};
  parallel_for(10, 1, [&](std::size_t b, std::size_t e) { after += e - b; });
  EXPECT_EQ(after.load(), 10u);  // still usable after a failed loop
}

// A loop beside the calling thread covers every index once, however far the workers got
// before the caller waits (the caller then runs what is left); its errors reach the
// caller at wait(), and the pool runs other loops afterwards.
TEST(ThreadPoolLoops, BackgroundLoopsCoverEveryIndexOnceAndErrorsReachTheCaller) {
  const std::size_t n = 10'007;
  for (const bool caller_busy : {false, true}) {
    std::vector<std::atomic<int>> hits(n);
    BackgroundLoop loop(n, 3, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) ++hits[i];
    });
    if (caller_busy) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    loop.wait();
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i << " caller busy " << caller_busy;
  }
  BackgroundLoop failing(50, 1, [](std::size_t begin, std::size_t) {
    if (begin == 0) throw std::runtime_error("boom");
  });
  EXPECT_THROW(failing.wait(), std::runtime_error);
  std::atomic<std::size_t> after{0};
  parallel_for(10, 1, [&](std::size_t b, std::size_t e) { after += e - b; });
  EXPECT_EQ(after.load(), 10u);
}

// Loops posted one after another each cover every index once, whether the posting
// thread waits at once or works meanwhile (and the workers take ranges), or, taken back
// before any worker began, none; an error reaches the poster at wait(), and the stream
// goes on.
TEST(ThreadPoolLoops, StreamedLoopsCoverEveryIndexOnceAndErrorsReachThePoster) {
  LoopStream stream;
  for (std::size_t loop = 0; loop < 300; ++loop) {
    const std::size_t n = 1 + loop * 7 % 97;
    std::vector<std::atomic<int>> hits(n);
    stream.post(n, 1 + loop % 5, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) ++hits[i];
    });
    if (loop % 2 == 1) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
      while (std::chrono::steady_clock::now() < until) {
      }
    }
    const int expected = loop % 3 == 0 && stream.withdraw() ? 0 : 1;
    stream.wait();
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), expected) << "loop " << loop << " index " << i;
  }
  stream.post(10, 1, [](std::size_t begin, std::size_t) {
    if (begin == 3) throw std::runtime_error("boom");
  });
  EXPECT_THROW(stream.wait(), std::runtime_error);
  std::atomic<std::size_t> after{0};
  stream.post(10, 3, [&](std::size_t b, std::size_t e) { after += e - b; });
  stream.wait();
  EXPECT_EQ(after.load(), 10u);
}

// Many short loops posted back to back, each over plain counters on the poster's stack,
// with more or fewer ranges than the loop before and some taken back: a worker still
// looking at one loop when the next is posted must neither run a range of the new loop
// as one of the old (twice, or after the poster stopped waiting) nor read the new loop
// before it is complete (what ThreadSanitizer watches here).
TEST(ThreadPoolLoops, StreamedLoopsBackToBackRunEachRangeOnceWithinTheirLoop) {
  // More workers than cores, so that some are held up anywhere (a pool that exists
  // already serves as it is).
  (void)initialize_global_pool(4);
  LoopStream stream;
  for (std::size_t loop = 0; loop < 100'000; ++loop) {
    const std::size_t n = loop % 2 == 0 ? 1 : 2 + loop % 15;
    int hits[16] = {};
    stream.post(n, 1, [&hits](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) ++hits[i];
    });
    const int expected = loop % 3 == 0 && stream.withdraw() ? 0 : 1;
    stream.wait();
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i], expected) << "loop " << loop << " index " << i;
  }
}

// While its stream holds the pool's workers, the posting thread's own parallel loops
// (from code it calls back, such as a signal handler) run inline instead of waiting for
// the pool forever.
TEST(ThreadPoolLoops, LoopsOfAThreadHoldingAStreamRunInline) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(10);
        if (initialize_global_pool(2)) _exit(2);
        LoopStream stream;
        std::atomic<std::size_t> covered{0};
        stream.post(4, 1, [&](std::size_t b, std::size_t e) { covered += e - b; });
        parallel_for(100, 1, [&](std::size_t b, std::size_t e) { covered += e - b; });
        stream.wait();
        _exit(covered.load() == 104 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Workers watch for the next job for a while after a short one and sleep otherwise:
// a job must reach them either way, whether it comes at once, after they went to sleep,
// or while they are still finishing the previous one.
TEST(ThreadPoolLoops, ShortLoopsBackToBackAndAfterPausesEachRunOnce) {
  constexpr std::size_t n = 37;
  for (int round = 0; round < 3000; ++round) {
    if (round % 500 == 499) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::atomic<std::size_t> index_sum{0};
    parallel_for(n, 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) index_sum += i;
    });
    ASSERT_EQ(index_sum.load(), n * (n - 1) / 2) << "round " << round;
  }
}

class EnvironmentVariable {
 public:
  EnvironmentVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    if (value) setenv(name, value, 1); else unsetenv(name);
  }
  ~EnvironmentVariable() {
    if (saved_) setenv(name_, saved_->c_str(), 1); else unsetenv(name_);
  }
 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(ThreadPoolDefaultSize, ReadsPositiveDecimalsInOrderOfPreference) {
  EnvironmentVariable old_name("RAYON_RS_NUM_CPUS", "5");
  {
    EnvironmentVariable name("RAYON_NUM_THREADS", "3");
    EXPECT_EQ(default_pool_size(), 3u);
  }
  for (const char* invalid : {"abc", "0", "-2", "+3", " 3", "3 ", "", "99999999999999999999999"}) {
    EnvironmentVariable name("RAYON_NUM_THREADS", invalid);
    EXPECT_EQ(default_pool_size(), 5u) << "'" << invalid << "'";
  }
  EnvironmentVariable name("RAYON_NUM_THREADS", nullptr);
  EnvironmentVariable no_old_name("RAYON_RS_NUM_CPUS", "x");
  EXPECT_GE(default_pool_size(), 1u);
  EXPECT_LE(default_pool_size(), std::thread::hardware_concurrency());
}

}  // namespace
}  // namespace plovek
