// Double-precision kernels over f32 rows: the accumulation of the mean update (every
// level performs the same IEEE additions in the same order, so results are identical
// across levels) and the double dot products of the exact-medoid estimates (whose
// summation order is free).
#pragma once

#include <cstddef>
#include <cstdint>

namespace plovek::kernels {

// For each row r < count (at rows + r * ldx, d values) whose label lies in
// [first, last): sums[(label - first) * d + t] += double(row[t]), rows in order.
void add_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                       std::uint64_t first, std::uint64_t last, double* sums, std::size_t d);

// In one pass: the sums over t < d of double(x[t])^2 and of double(x[t]) * y[t].
struct SquareAndDot {
  double square = 0.0, dot = 0.0;
};
SquareAndDot square_and_dot_f64(const float* x, const double* y, std::size_t d);

void add_rows_by_label_scalar(const float*, std::ptrdiff_t, std::size_t, const std::uint64_t*, std::uint64_t,
                              std::uint64_t, double*, std::size_t);
void add_rows_by_label_avx2(const float*, std::ptrdiff_t, std::size_t, const std::uint64_t*, std::uint64_t,
                            std::uint64_t, double*, std::size_t);
void add_rows_by_label_avx512(const float*, std::ptrdiff_t, std::size_t, const std::uint64_t*, std::uint64_t,
                              std::uint64_t, double*, std::size_t);

SquareAndDot square_and_dot_f64_scalar(const float* x, const double* y, std::size_t d);
SquareAndDot square_and_dot_f64_avx2(const float* x, const double* y, std::size_t d);
SquareAndDot square_and_dot_f64_avx512(const float* x, const double* y, std::size_t d);

}  // namespace plovek::kernels
