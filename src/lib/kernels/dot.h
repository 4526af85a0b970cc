// Dot products with run-time SIMD dispatch.
//
// The dot product of two d-vectors is the f32 sum of their products; the summation
// order is free and the vector kernels fuse multiply and add. The level (AVX-512,
// AVX2+FMA, scalar) is chosen once from the CPU's features.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace plovek::kernels {

enum class SimdLevel { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// The best level this CPU and OS support (read once).
SimdLevel detected_simd_level();
// The level the dispatched kernels use now: the detected one unless a test forced
// another. Inline, since every dispatched kernel call asks.
extern std::atomic<int> active_level_value;  // -1 until first asked
SimdLevel settle_active_level();                // sets it to the detected level
inline SimdLevel active_simd_level() {
  const int level = active_level_value.load(std::memory_order_relaxed);
  return level >= 0 ? static_cast<SimdLevel>(level) : settle_active_level();
}
// Test hook: forces a level no higher than the detected one; returns the level in force.
SimdLevel force_simd_level_for_testing(SimdLevel level);
const char* simd_level_name(SimdLevel level);

// x . y over d elements, at the active level. d = 0 gives 0.0.
float dot(const float* x, const float* y, std::size_t d);

// (x - y).(x - y): the difference rounded to f32 element by element, then summed in
// the order of `dot` at the same level, so it equals `dot` of a stored difference
// vector with itself bit for bit.
float squared_distance(const float* x, const float* y, std::size_t d);

float dot_f32_scalar(const float* x, const float* y, std::size_t d);
float dot_f32_avx2(const float* x, const float* y, std::size_t d);
float dot_f32_avx512(const float* x, const float* y, std::size_t d);
float squared_distance_f32_scalar(const float* x, const float* y, std::size_t d);
float squared_distance_f32_avx2(const float* x, const float* y, std::size_t d);
float squared_distance_f32_avx512(const float* x, const float* y, std::size_t d);

}  // namespace plovek::kernels
