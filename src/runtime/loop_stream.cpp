#include "runtime/loop_stream.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <utility>

#include "runtime/relax_cpu.h"

namespace plovek {

namespace {

// How long a worker watches for the next loop before it sleeps: loops come every few
// tens of microseconds while a stream is busy.
constexpr std::chrono::microseconds kWatchBeforeSleeping{200};

constexpr std::uint64_t kGenerationBits = ~std::uint64_t{0} << 32;
constexpr std::size_t kMaxRanges = std::numeric_limits<std::uint32_t>::max();

std::uint32_t untaken_ranges(std::uint64_t state) { return static_cast<std::uint32_t>(state); }

// After 2^32 loops the generation wraps around; a worker would have to stall for all of
// them, between reading the word and trying to take a range, to be misled.
std::uint64_t next_generation(std::uint64_t state) { return (state & kGenerationBits) + (std::uint64_t{1} << 32); }

}  // namespace

LoopStream::LoopStream() {
  const std::size_t workers = global_pool_size() - 1;
  if (workers > 0) workers_.emplace(workers, 1, [this](std::size_t, std::size_t) { serve(); });
}

LoopStream::~LoopStream() {
  ending_.store(true);
  posts_.fetch_add(1);
  posts_.notify_all();
  workers_.reset();  // waits for every worker to leave serve()
}

void LoopStream::post(std::size_t n, std::size_t grain, Body body) {
  grain = std::max<std::size_t>(grain, 1);
  const std::size_t ranges = (n + grain - 1) / grain;
  if (ranges > kMaxRanges) throw std::length_error("a streamed loop of more ranges than one word can count");
  loop_ = {std::move(body), n, grain, static_cast<std::uint32_t>(ranges)};
  ranges_done_.store(0, std::memory_order_relaxed);
  // Release: a worker that takes a range of this generation sees the loop written above.
  state_.store(next_generation(state_.load(std::memory_order_relaxed)) | loop_.ranges, std::memory_order_release);
  posts_.fetch_add(1);
  if (sleepers_.load() > 0) posts_.notify_all();
}

void LoopStream::wait() {
  while (run_one_range()) {
  }
  for (unsigned spins = 1; ranges_done_.load(std::memory_order_acquire) != loop_.ranges; ++spins) {
    relax_cpu();
    if (spins % 256 == 0) sched_yield();
  }
  std::lock_guard lock(error_mutex_);
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

bool LoopStream::withdraw() {
  const std::uint64_t generation = state_.load(std::memory_order_relaxed) & kGenerationBits;
  std::uint64_t untouched = generation | loop_.ranges;
  if (!state_.compare_exchange_strong(untouched, generation, std::memory_order_relaxed)) return false;
  ranges_done_.store(loop_.ranges, std::memory_order_relaxed);
  return true;
}

bool LoopStream::run_one_range() {
  // A stale word only makes the exchange below fail and bring the current one.
  std::uint64_t state = state_.load(std::memory_order_relaxed);
  for (;;) {
    if (untaken_ranges(state) == 0) return false;
    // Acquire: the loop this generation was posted with is complete when its range is taken.
    if (state_.compare_exchange_weak(state, state - 1, std::memory_order_acquire, std::memory_order_relaxed)) break;
  }
  const std::size_t begin = (loop_.ranges - untaken_ranges(state)) * loop_.grain;
  try {
    loop_.body(begin, std::min(loop_.count, begin + loop_.grain));
  } catch (...) {
    std::lock_guard lock(error_mutex_);
    if (!error_) error_ = std::current_exception();
  }
  // The loop is not read after this: once every range is done, post() may write the next.
  ranges_done_.fetch_add(1, std::memory_order_release);
  return true;
}

void LoopStream::serve() {
  // The count is read before the ranges are taken, so that a loop posted meanwhile is
  // seen as new.
  for (std::uint32_t seen = posts_.load();; seen = posts_.load()) {
    while (run_one_range()) {
    }
    if (!await_post(seen)) return;
  }
}

bool LoopStream::await_post(std::uint32_t seen) {
  const auto deadline = std::chrono::steady_clock::now() + kWatchBeforeSleeping;
  for (unsigned spins = 1;; ++spins) {
    if (ending_.load()) return false;
    if (posts_.load() != seen) return true;
    if (spins % 256 != 0) {
      relax_cpu();
      continue;
    }
    sched_yield();
    if (std::chrono::steady_clock::now() < deadline) continue;
    sleepers_.fetch_add(1);
    if (posts_.load() == seen && !ending_.load()) posts_.wait(seen);
    sleepers_.fetch_sub(1);
  }
}

}  // namespace plovek
