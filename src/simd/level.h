// SIMD levels: the best one this CPU and OS support (read once), the one the kernels
// use now, and the one place where a level's definition is picked.
#pragma once

#include <atomic>

namespace plovek::kernels {

enum class SimdLevel { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// The best level this CPU and OS support: cpuid for the instructions, xgetbv for the
// OS saving their registers. Read once.
SimdLevel detected_simd_level();

// Whether this CPU runs each 512-bit operation as two 256-bit halves (AMD's Zen 4), so
// that AVX-512's wider panels score no more centroids a cycle than AVX2's. Read once.
bool splits_512_bit_operations();

// The level the dispatched kernels use now: the detected one unless a test forced
// another. Inline, since every dispatched call asks.
extern std::atomic<int> active_level_value;  // -1 until first asked
SimdLevel settle_active_level();               // sets it to the detected level
inline SimdLevel active_simd_level() {
  const int level = active_level_value.load(std::memory_order_relaxed);
  return level >= 0 ? static_cast<SimdLevel>(level) : settle_active_level();
}

// Test hook: forces a level no higher than the detected one; returns the level in force.
SimdLevel force_simd_level_for_testing(SimdLevel level);
const char* simd_level_name(SimdLevel level);

// Of one definition per level, the one for `level`: the single dispatch point.
template <class T>
const T& for_level(SimdLevel level, const T& scalar, const T& avx2, const T& avx512) {
  switch (level) {
    case SimdLevel::Avx512: return avx512;
    case SimdLevel::Avx2: return avx2;
    case SimdLevel::Scalar: break;
  }
  return scalar;
}

}  // namespace plovek::kernels

// `name` as defined for `level` in the level namespaces plovek::scalar, plovek::avx2 and
// plovek::avx512 (see foreach_level.h). Other architectures have the scalar level only.
#if defined(__x86_64__)
#define PLOVEK_AT_LEVEL(level, name) \
  ::plovek::kernels::for_level((level), ::plovek::scalar::name, ::plovek::avx2::name, ::plovek::avx512::name)
#else
#define PLOVEK_AT_LEVEL(level, name) (static_cast<void>(level), ::plovek::scalar::name)
#endif
