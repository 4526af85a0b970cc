// Cooperative cancellation of a long engine call. The caller hands `train` a check
// (a plain function and its context, so the engine needs nothing of the caller's
// world); the engine asks it from the calling thread only, between iterations and
// every so often inside the balancing phase, and unwinds with `Cancelled` when it
// answers yes. The workers of the pool never ask.
#pragma once

#include <chrono>
#include <cstdint>

namespace plovek {

struct Cancellation {
  // Returns true when the call should stop. Runs on the thread that called the
  // engine. A null check means the call is never cancelled.
  using Check = bool (*)(void* context);

  // How often the check is asked, roughly: inside loops of short steps the engine
  // only asks when about this much time has passed. A pending request is so seen well
  // within a tenth of a second of work. Zero asks at every cancellation point.
  static constexpr std::chrono::microseconds kDefaultPeriod{2000};

  Check check = nullptr;
  void* context = nullptr;
  std::chrono::microseconds period = kDefaultPeriod;

  bool requested() const { return check != nullptr && check(context); }
};

// Thrown from a cancellation point when the check answers yes. It is not a
// std::exception, so no handler meant for failures takes it by mistake; `train`
// restores the record and lets it through to its caller.
struct Cancelled {};

// Decides how often a loop actually asks the check. `poll()` is cheap enough for
// every point step of the balancing phase: it counts calls down and only then reads
// the clock; the count between clock reads adapts so that the clock is read about
// once per period whatever a step costs, and the check is asked on each read.
class CancellationPoints {
 public:
  // Upper bound on the calls between clock reads.
  static constexpr std::uint32_t kMaxStride = 1u << 16;

  explicit CancellationPoints(const Cancellation& cancellation) : cancellation_(cancellation) {}

  // A cancellation point in a loop: throws Cancelled when a request is seen.
  void poll() {
    if (cancellation_.check == nullptr) return;
    if (--countdown_ != 0) return;
    poll_clock();
  }

  // Asks the check right away; throws Cancelled when it answers yes.
  void check_now() {
    if (cancellation_.requested()) throw Cancelled{};
  }


 private:
  using Clock = std::chrono::steady_clock;

  void poll_clock() {
    const std::chrono::microseconds period = cancellation_.period;
    if (period.count() > 0) {
      const Clock::time_point now = Clock::now();
      const Clock::duration elapsed = now - last_read_;
      const bool first_read = last_read_ == Clock::time_point{};
      last_read_ = now;
      if (first_read) {
        // Nothing to measure yet.
      } else if (elapsed < period / 2) {
        if (stride_ < kMaxStride) stride_ *= 2;
      } else if (elapsed > period * 2) {
        // Steps got slower: come back to the period at once rather than gradually.
        const auto ratio = static_cast<std::uint64_t>(elapsed / period);
        stride_ = static_cast<std::uint32_t>(stride_ / ratio > 0 ? stride_ / ratio : 1);
      }
    }
    countdown_ = stride_;
    check_now();
  }

  const Cancellation cancellation_;  // a copy: three words, and no dangling reference
  Clock::time_point last_read_{};  // the epoch until the first read
  std::uint32_t stride_ = 1;
  std::uint32_t countdown_ = 1;
};

}  // namespace plovek
