#include "runtime/thread_pool.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/relax_cpu.h"

namespace plovek {

namespace {

thread_local bool this_thread_is_worker = false;
// Set while this thread has a BackgroundLoop on the pool: its own loops (from code it
// calls back meanwhile) then run inline rather than wait for the pool's turn it holds.
thread_local bool this_thread_holds_pool = false;

// Workers wait for a job, take chunks of its index range from a shared counter until
// none are left, and report back; the calling thread waits for all of them.
class WorkerPool {
 public:
  // Jobs shorter than this (on one worker) are followed by a spin of kSpinBeforeSleeping.
  static constexpr std::chrono::microseconds kShortJob{1000};
  static constexpr std::chrono::microseconds kSpinBeforeSleeping{200};

  // A worker's deepest use of its stack, measured over both test suites and large
  // trainings, is about 5 KiB (the kernels keep only small fixed arrays on it): this
  // leaves a hundredfold margin and reserves a sixteenth of the usual 8 MiB per thread.
  static constexpr std::size_t kWorkerStackBytes = 512 * 1024;

  explicit WorkerPool(std::size_t size) : size_(size) {}

  // Starts every worker and waits until each is running. Returns the OS error text
  // when a thread cannot be started (the workers already started are stopped).
  std::optional<std::string> start() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    int error = pthread_attr_setstacksize(&attributes, std::max<std::size_t>(kWorkerStackBytes, PTHREAD_STACK_MIN));
    threads_.reserve(size_);
    while (error == 0 && threads_.size() < size_) {
      pthread_t thread;
      error = pthread_create(&thread, &attributes, &WorkerPool::thread_main, this);
      if (error == 0) threads_.push_back(thread);
    }
    pthread_attr_destroy(&attributes);
    if (error != 0) {
      stop();
      return std::system_category().message(error);
    }
    std::unique_lock lock(mutex_);
    done_cv_.wait(lock, [this] { return started_ == size_; });
    return std::nullopt;
  }

  std::size_t size() const { return size_; }

  // Runs one job; concurrent callers take turns.
  void run(std::size_t n, std::size_t chunk, const std::function<void(std::size_t, std::size_t)>& body) {
    start(n, chunk, body);
    finish(false);
  }

  // Hands the workers a job and returns at once; the calling thread keeps the pool's
  // turn (concurrent callers wait for it) until it calls finish().
  void start(std::size_t n, std::size_t chunk, const std::function<void(std::size_t, std::size_t)>& body) {
    run_mutex_.lock();
    std::lock_guard lock(mutex_);
    body_ = &body;
    n_ = n;
    chunk_ = chunk;
    next_.store(0, std::memory_order_relaxed);
    finished_ = 0;
    error_ = nullptr;
    generation_.fetch_add(1, std::memory_order_relaxed);
    work_cv_.notify_all();
  }

  // Waits until every worker is done with the started job and rethrows its first error.
  // With `help`, the calling thread first runs the chunks no worker has taken yet.
  void finish(bool help) {
    const std::exception_ptr own_error = help ? run_chunks() : nullptr;
    std::unique_lock lock(mutex_);
    done_cv_.wait(lock, [this] { return finished_ == threads_.size(); });
    body_ = nullptr;
    const std::exception_ptr error = error_ ? error_ : own_error;
    lock.unlock();
    run_mutex_.unlock();
    if (error) std::rethrow_exception(error);
  }

 private:
  static void* thread_main(void* pool) {
    static_cast<WorkerPool*>(pool)->work();
    return nullptr;
  }

  void work() {
    this_thread_is_worker = true;
    std::unique_lock lock(mutex_);
    ++started_;
    done_cv_.notify_all();
    std::uint64_t seen = generation_.load(std::memory_order_relaxed);
    bool last_job_was_short = false;
    for (;;) {
      if (last_job_was_short) {
        lock.unlock();
        spin_for_next_job(seen);
        lock.lock();
      }
      work_cv_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen || stopping_; });
      if (stopping_) return;
      seen = generation_.load(std::memory_order_relaxed);
      lock.unlock();
      const auto job_start = std::chrono::steady_clock::now();
      std::exception_ptr error = run_chunks();
      last_job_was_short = std::chrono::steady_clock::now() - job_start < kShortJob;
      lock.lock();
      if (error && !error_) error_ = error;
      if (++finished_ == threads_.size()) done_cv_.notify_all();
    }
  }

  // The jobs of one training come back to back, with short stretches of work on the
  // calling thread between them, and waking a thread that sleeps on an idle core takes
  // tens of microseconds (more in a virtual machine): as long as a small job. So after
  // a short job a worker first watches for the next one for a while, now and then
  // yielding its core to any other runnable thread, before it goes to sleep. After a
  // long job it sleeps at once: the wake-up is then negligible, and a spinning core
  // could slow the others' memory traffic while they finish.
  void spin_for_next_job(std::uint64_t seen) const {
    const auto deadline = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
    do {
      for (int i = 0; i < 256; ++i) {
        if (generation_.load(std::memory_order_relaxed) != seen) return;
        relax_cpu();
      }
      sched_yield();
    } while (std::chrono::steady_clock::now() < deadline);
  }

  std::exception_ptr run_chunks() {
    try {
      for (;;) {
        const std::size_t begin = next_.fetch_add(chunk_, std::memory_order_relaxed);
        if (begin >= n_) return nullptr;
        (*body_)(begin, std::min(n_, begin + chunk_));
      }
    } catch (...) {
      next_.store(n_, std::memory_order_relaxed);  // let the others finish early
      return std::current_exception();
    }
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_cv_.notify_all();
    for (const pthread_t thread : threads_) pthread_join(thread, nullptr);
    threads_.clear();
  }

  const std::size_t size_;
  std::vector<pthread_t> threads_;
  std::mutex run_mutex_;
  std::mutex mutex_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::size_t started_ = 0;
  bool stopping_ = false;
  // Written under mutex_; also read without it while a worker spins.
  std::atomic<std::uint64_t> generation_{0};
  const std::function<void(std::size_t, std::size_t)>* body_ = nullptr;
  std::size_t n_ = 0;
  std::size_t chunk_ = 1;
  std::atomic<std::size_t> next_{0};
  std::size_t finished_ = 0;
  std::exception_ptr error_;
};

// The process-wide pool. It is never destroyed: it lives until the process ends.
// After fork() the child has no worker threads, so it starts a pool of the same size
// on its first parallel loop; the pool still counts as initialised there.
std::mutex global_mutex;
WorkerPool* global_pool = nullptr;
std::size_t forked_pool_size = 0;

void forget_pool_in_child() {
  new (&global_mutex) std::mutex();  // the parent's lock state does not carry over
  if (global_pool != nullptr) forked_pool_size = global_pool->size();
  global_pool = nullptr;  // its threads do not exist in the child; the object is leaked
}

void register_fork_handler_once() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    return true;
  }();
  (void)registered;
}

std::optional<std::size_t> positive_decimal(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::size_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    const std::size_t digit = static_cast<std::size_t>(*c - '0');
    if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::size_t hardware_threads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// More workers than CPUs only take turns on them; far more is a mistaken count, which
// would spend seconds and hundreds of megabytes starting threads until the system
// refuses one.
constexpr std::size_t kMaxWorkersPerCpu = 64;

struct SizeLimit {
  std::size_t workers;
  std::string source;
};

// The system-wide thread limit (kernel.threads-max), when it can be read.
std::optional<std::size_t> kernel_threads_max() {
  std::ifstream file("/proc/sys/kernel/threads-max");
  std::size_t value = 0;
  if (file >> value) return value;
  return std::nullopt;
}

// The most workers a pool may have here, and which limit sets it.
SizeLimit pool_size_limit() {
  SizeLimit limit{kMaxWorkersPerCpu * hardware_threads(), std::to_string(kMaxWorkersPerCpu) + " per available CPU"};
  rlimit user_threads{};
  if (getrlimit(RLIMIT_NPROC, &user_threads) == 0 && user_threads.rlim_cur != RLIM_INFINITY &&
      user_threads.rlim_cur < limit.workers) {
    limit = {static_cast<std::size_t>(user_threads.rlim_cur), "RLIMIT_NPROC"};
  }
  if (const auto system_threads = kernel_threads_max(); system_threads && *system_threads < limit.workers) {
    limit = {*system_threads, "kernel.threads-max"};
  }
  return limit;
}

// Creates the pool while `global_mutex` is held. Returns the error text on failure,
// before any thread is started when the size is beyond the limit.
std::optional<std::string> create_pool_locked(std::uint64_t size) {
  if (const SizeLimit limit = pool_size_limit(); size > limit.workers) {
    return std::to_string(size) + " worker threads requested, at most " + std::to_string(limit.workers) +
           " allowed (" + limit.source + ")";
  }
  auto pool = std::make_unique<WorkerPool>(static_cast<std::size_t>(size));
  if (auto error = pool->start()) return error;
  global_pool = pool.release();
  return std::nullopt;
}

// Creates the default pool (in a forked child, one of the parent's size) unless a pool
// exists, while `global_mutex` is held. Returns the error text on failure.
std::optional<std::string> ensure_default_pool_locked() {
  if (global_pool != nullptr) return std::nullopt;
  return create_pool_locked(forked_pool_size != 0 ? forked_pool_size : default_pool_size());
}

WorkerPool& pool_for_parallel_loop() {
  register_fork_handler_once();
  std::lock_guard lock(global_mutex);
  if (auto error = ensure_default_pool_locked()) throw std::runtime_error("could not start the worker pool: " + *error);
  return *global_pool;
}

// A few chunks per worker balance the load without contending on the counter.
std::size_t chunk_length(const WorkerPool& pool, std::size_t n, std::size_t grain) {
  const std::size_t target_chunks = pool.size() * 4;
  return std::max<std::size_t>({grain, 1, (n + target_chunks - 1) / target_chunks});
}

}  // namespace

std::size_t default_pool_size() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    if (auto value = positive_decimal(std::getenv(name))) return *value;
  }
  return hardware_threads();
}

std::optional<std::string> initialize_global_pool(std::uint64_t num_threads) {
  register_fork_handler_once();
  std::lock_guard lock(global_mutex);
  if (this_thread_is_worker) return std::string(pool_errors::kInsideAnotherPool);
  if (global_pool != nullptr || forked_pool_size != 0) return std::string(pool_errors::kAlreadyInitialized);
  return create_pool_locked(num_threads == 0 ? default_pool_size() : num_threads);
}

std::optional<std::string> ensure_global_pool(std::optional<std::uint64_t> num_threads) {
  if (num_threads) return initialize_global_pool(*num_threads);
  register_fork_handler_once();
  std::lock_guard lock(global_mutex);
  return ensure_default_pool_locked();
}

void parallel_for(std::size_t n, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  if (this_thread_is_worker || this_thread_holds_pool) {  // a nested loop runs inline rather than waiting on itself
    body(0, n);
    return;
  }
  WorkerPool& pool = pool_for_parallel_loop();
  pool.run(n, chunk_length(pool, n, grain), body);
}

BackgroundLoop::BackgroundLoop(std::size_t n, std::size_t grain, std::function<void(std::size_t, std::size_t)> body)
    : body_(std::move(body)) {
  if (n == 0) return;
  if (this_thread_is_worker || this_thread_holds_pool) {  // as a nested loop: inline, when waited for
    inline_count_ = n;
    return;
  }
  WorkerPool& pool = pool_for_parallel_loop();
  pool.start(n, chunk_length(pool, n, grain), body_);
  this_thread_holds_pool = true;
  finish_ = [&pool] {
    struct Release {
      ~Release() { this_thread_holds_pool = false; }
    } release;
    pool.finish(true);
  };
}

BackgroundLoop::~BackgroundLoop() {
  try {
    wait();
  } catch (...) {  // unwinding already, or the caller chose not to hear of it
  }
}

void BackgroundLoop::wait() {
  if (const std::function<void()> finish = std::exchange(finish_, nullptr)) finish();
  if (const std::size_t n = std::exchange(inline_count_, 0)) body_(0, n);
}

std::size_t global_pool_size() { return pool_for_parallel_loop().size(); }

}  // namespace plovek
