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
// A point's distances from its k centroid dot products: (c.c - 2 c.x) + x.x, in that
// order, with `centroid_norms` (c.c) given; -(c.x) when `centroid_norms` is null.
void distances_from_dots(const float* dots, const float* centroid_norms, float point_norm, std::size_t k,
                         float* out);

}  // namespace plovek::kernels
