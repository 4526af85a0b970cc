// An allocator for large buffers read at random (hash tables): blocks of 2 MiB or more
// are aligned to 2 MiB and offered to the kernel for transparent huge pages, so that
// their random reads miss the TLB far less often and their first touch faults once per
// 2 MiB. Smaller blocks, and systems without the advice, get ordinary memory.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace plovek {

template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) {
      void* block = std::malloc(bytes == 0 ? 1 : bytes);
      if (!block) throw std::bad_alloc();
      return static_cast<T*>(block);
    }
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (!block) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(block, rounded, MADV_HUGEPAGE);  // advice only: a refusal leaves ordinary pages
#endif
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t) noexcept { std::free(block); }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace plovek
