#include "runtime/loop_stream.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "runtime/relax_cpu.h"

namespace plovek {

namespace {

// How long a worker watches for the next loop before it sleeps: loops come every few
// tens of microseconds while a stream is busy.
constexpr std::chrono::microseconds kWatchBeforeSleeping{200};

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
  body_ = std::move(body);
  count_ = n;
  grain_ = std::max<std::size_t>(grain, 1);
  ranges_done_.store(0, std::memory_order_relaxed);
  ranges_.store(static_cast<std::uint32_t>((n + grain_ - 1) / grain_), std::memory_order_relaxed);
  const std::uint64_t generation = (state_.load(std::memory_order_relaxed) >> 32) + 1;
  state_.store(generation << 32, std::memory_order_release);
  posts_.fetch_add(1);
  if (sleepers_.load() > 0) posts_.notify_all();
}

void LoopStream::wait() {
  while (run_one_range()) {
  }
  for (unsigned spins = 1; ranges_done_.load(std::memory_order_acquire) != ranges_.load(std::memory_order_relaxed);
       ++spins) {
    relax_cpu();
    if (spins % 256 == 0) sched_yield();
  }
  std::lock_guard lock(error_mutex_);
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

bool LoopStream::withdraw() {
  std::uint64_t untouched = state_.load(std::memory_order_relaxed);
  if (static_cast<std::uint32_t>(untouched) != 0) return false;
  const std::uint32_t ranges = ranges_.load(std::memory_order_relaxed);
  if (!state_.compare_exchange_strong(untouched, untouched + ranges, std::memory_order_acq_rel)) return false;
  ranges_done_.store(ranges, std::memory_order_relaxed);
  return true;
}

bool LoopStream::run_one_range() {
  std::uint64_t state = state_.load(std::memory_order_acquire);
  for (;;) {
    const auto range = static_cast<std::uint32_t>(state);
    // A count newer than `state` only makes the exchange below fail.
    if (range >= ranges_.load(std::memory_order_relaxed)) return false;
    if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
      const std::size_t begin = range * grain_;
      try {
        body_(begin, std::min(count_, begin + grain_));
      } catch (...) {
        std::lock_guard lock(error_mutex_);
        if (!error_) error_ = std::current_exception();
      }
      ranges_done_.fetch_add(1, std::memory_order_release);
      return true;
    }
  }
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
