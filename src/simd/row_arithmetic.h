// Element-by-element row arithmetic, and row sums in double precision: plain loops
// that the compiler vectorises for whichever SIMD level compiles them (inlined into a
// level's kernels, they run at its width). Every element is one IEEE operation, so
// every level gives the same bits.
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

namespace widening {

// acc[t] += double(row[t]) for t < d.
inline void add_row(double* __restrict acc, const float* __restrict row, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) acc[t] += static_cast<double>(row[t]);
}

// For each row r < count (at rows + r * ldx, d values) whose label lies in
// [first, last): sums[(label - first) * d + t] += double(row[t]), rows in order.
inline void add_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                              std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
  for (std::size_t r = 0; r < count; ++r) {
    if (labels[r] < first || labels[r] >= last) continue;
    add_row(sums + (labels[r] - first) * d, rows + static_cast<std::ptrdiff_t>(r) * ldx, d);
  }
}

}  // namespace widening
}  // namespace plovek::kernels
