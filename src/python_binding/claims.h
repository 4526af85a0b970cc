// Access claims on a Python KMeans object. One machine word per object: 0 when free,
// all bits set while `train` holds it exclusively, otherwise the number of shared
// claims held. The interpreter lock is held throughout every call, so a conflict only
// arises when Python code runs in the middle of a call on the same object (an
// argument's __index__, for instance); the word is atomic all the same.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace plovek::python {

using ClaimCounter = std::atomic<std::uintptr_t>;

inline constexpr std::uintptr_t kExclusiveClaim = ~std::uintptr_t{0};

// A shared claim held for the guard's lifetime. Check `held()` after construction:
// when false, RuntimeError("Already mutably borrowed") is set and nothing is held.
class SharedClaim {
 public:
  explicit SharedClaim(ClaimCounter& counter) noexcept : counter_(&counter) {
    std::uintptr_t current = counter.load(std::memory_order_relaxed);
    do {
      if (current == kExclusiveClaim) {
        counter_ = nullptr;
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
    } while (!counter.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed));
  }
  ~SharedClaim() {
    if (counter_ != nullptr) counter_->fetch_sub(1, std::memory_order_release);
  }
  SharedClaim(const SharedClaim&) = delete;
  SharedClaim& operator=(const SharedClaim&) = delete;

  bool held() const noexcept { return counter_ != nullptr; }

 private:
  ClaimCounter* counter_;
};

// The exclusive claim held for the guard's lifetime. Check `held()` after
// construction: when false, RuntimeError("Already borrowed") is set.
class ExclusiveClaim {
 public:
  explicit ExclusiveClaim(ClaimCounter& counter) noexcept : counter_(&counter) {
    std::uintptr_t expected = 0;
    if (!counter.compare_exchange_strong(expected, kExclusiveClaim, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      counter_ = nullptr;
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
  }
  ~ExclusiveClaim() {
    if (counter_ != nullptr) counter_->store(0, std::memory_order_release);
  }
  ExclusiveClaim(const ExclusiveClaim&) = delete;
  ExclusiveClaim& operator=(const ExclusiveClaim&) = delete;

  bool held() const noexcept { return counter_ != nullptr; }

 private:
  ClaimCounter* counter_;
};

}  // namespace plovek::python
