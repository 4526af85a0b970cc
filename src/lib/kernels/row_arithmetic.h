// Element-by-element row arithmetic of the balancing step, with run-time SIMD dispatch.
// Every element is one IEEE operation (or a fixed sequence of them), so every level
// gives the scalar results bit for bit; the vector levels only do more at once.
#pragma once

#include <cstddef>

namespace plovek::kernels {

// acc[t] += x[t] for t < d.
void add_row(float* acc, const float* x, std::size_t d);
// acc[t] -= x[t] for t < d.
void subtract_row(float* acc, const float* x, std::size_t d);
// out[t] = sum[t] / divisor for t < d (a division per element).
void divide_row(const float* sum, float divisor, float* out, std::size_t d);

}  // namespace plovek::kernels
