// Element-by-element row arithmetic: plain loops that the compiler vectorises for
// whichever SIMD level compiles them (inlined into a level's kernels, they run at its
// width). Every element is one IEEE operation, so every level gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plovek::kernels {

// acc[t] += x[t] for t < d.
inline void add_row(float* __restrict acc, const float* __restrict x, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) acc[t] += x[t];
}

// acc[t] -= x[t] for t < d.
inline void subtract_row(float* __restrict acc, const float* __restrict x, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) acc[t] -= x[t];
}

// out[t] = sum[t] / divisor for t < d (a division per element).
inline void divide_row(const float* __restrict sum, float divisor, float* __restrict out, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) out[t] = sum[t] / divisor;
}

}  // namespace plovek::kernels
