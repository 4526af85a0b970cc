// Short parallel loops posted one after another by one thread, for work that runs beside
// the posting thread's own in steps of a few microseconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include "runtime/thread_pool.h"

namespace plovek {

// Of a pool of P workers, P - 1 stay with the stream from its construction to its
// destruction (the posting thread is the P-th): each loop posted reaches them without a
// wake-up, and while one runs, the posting thread goes on with its own work; wait() then
// runs the ranges no worker has taken and waits only for the ranges taken. A worker the
// system keeps away from a core thus holds up at most the range it has begun. Between
// loops the workers watch for the next one, for a while, then sleep.
class LoopStream {
 public:
  using Body = std::function<void(std::size_t, std::size_t)>;

  LoopStream();
  LoopStream(const LoopStream&) = delete;
  LoopStream& operator=(const LoopStream&) = delete;
  // Waits for the range a worker may still run and releases the workers.
  ~LoopStream();

  // Starts body(begin, end) over ranges of `grain` indices covering [0, n) and returns at
  // once. The loop posted before must have been waited for.
  void post(std::size_t n, std::size_t grain, Body body);
  // Runs the ranges no worker has taken, waits for the others, and rethrows the first
  // error a range threw.
  void wait();
  // Takes the posted loop back if no worker has begun any of its ranges: then true, and
  // the loop counts as done without having run; false otherwise (wait() finishes it).
  bool withdraw();

 private:
  // A worker's part: the ranges of each loop posted, until the stream ends.
  void serve();
  // True once a loop after the `seen`-th has been posted, false once the stream ends.
  bool await_post(std::uint32_t seen);
  // Takes one range of the current loop and runs it; false when none is left.
  bool run_one_range();

  // What post() was given: written before the loop's generation is published, read by a
  // worker only after it has taken one of the loop's ranges. The next post() comes after
  // every range taken has been reported done, so no worker reads it while it changes.
  struct Loop {
    Body body;
    std::size_t count = 0;
    std::size_t grain = 1;
    std::uint32_t ranges = 0;
  };

  // The one word through which ranges are taken: the current loop's generation (high 32
  // bits) and how many of its ranges no one has taken yet (low 32 bits). A worker that
  // looked at an older loop only fails to take a range: the generation has moved on.
  std::atomic<std::uint64_t> state_{0};
  std::atomic<std::uint32_t> ranges_done_{0};
  Loop loop_;
  // Loops posted (what sleeping workers wait on), and whether anyone sleeps.
  std::atomic<std::uint32_t> posts_{0};
  std::atomic<std::uint32_t> sleepers_{0};
  std::atomic<bool> ending_{false};
  std::mutex error_mutex_;
  std::exception_ptr error_;
  // The pool's loop that holds the workers (none when the pool has a single worker).
  std::optional<BackgroundLoop> workers_;
};

}  // namespace plovek
