// The process-wide worker pool: created once (by an explicit size or by the first
// parallel loop), its size fixed for the life of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace plovek {

namespace pool_errors {
inline constexpr const char* kAlreadyInitialized = "The global thread pool has already been initialized.";
inline constexpr const char* kInsideAnotherPool = "The current thread is already part of another thread pool.";
// What operations put before the pool's own error text when they report it.
inline constexpr const char* kSetupFailed = "Thread setup failed: ";
}  // namespace pool_errors

// Default pool size: RAYON_NUM_THREADS when it holds a positive decimal integer, else
// RAYON_RS_NUM_CPUS read the same way, else the hardware threads available to us.
std::size_t default_pool_size();

// Creates the global pool with `num_threads` workers (0: the default size) and waits
// until all have started. Returns the error text on failure (a pool already exists,
// the caller is a worker thread, the size is beyond what this machine allows, or a
// thread could not be started); a failed attempt leaves no pool behind.
std::optional<std::string> initialize_global_pool(std::uint64_t num_threads);

// With a count, initialize_global_pool(count); without one, creates the default pool
// unless a pool exists. Returns the error text on failure. Operations call it before
// they change anything, so a pool that cannot start is reported instead of failing
// their first parallel loop.
std::optional<std::string> ensure_global_pool(std::optional<std::uint64_t> num_threads);

// Runs body(begin, end) over disjoint ranges covering [0, n) on the global pool
// (created with the default size if needed) and returns when all are done. Ranges
// are at least `grain` long (but the last one). Exceptions thrown by `body` are
// rethrown on the calling thread.
void parallel_for(std::size_t n, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& body);

// A parallel loop beside the calling thread: body(begin, end) over disjoint ranges
// covering [0, n), as parallel_for runs them, started by the constructor. The calling
// thread goes on with its own work meanwhile; wait() (or the destructor) then runs the
// ranges no worker has started yet, waits for the others, and rethrows what `body`
// threw (the destructor drops it). Until then the pool runs no other loop; the calling
// thread's own parallel loops (from code it calls meanwhile) run inline.
class BackgroundLoop {
 public:
  BackgroundLoop(std::size_t n, std::size_t grain, std::function<void(std::size_t, std::size_t)> body);
  BackgroundLoop(const BackgroundLoop&) = delete;
  BackgroundLoop& operator=(const BackgroundLoop&) = delete;
  ~BackgroundLoop();
  void wait();

 private:
  std::function<void(std::size_t, std::size_t)> body_;  // read by the workers in place
  std::function<void()> finish_;                         // while the pool runs the loop
  std::size_t inline_count_ = 0;                          // a worker's own loop, run by wait()
};

// Number of workers of the global pool, creating it with the default size if needed.
std::size_t global_pool_size();

}  // namespace plovek
