// Double-precision accumulation of f32 rows for the mean update. Every level performs
// the same IEEE additions in the same order, so results are identical across levels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plovek::kernels {

// For each row r < count (at rows + r * ldx, d values) whose label lies in
// [first, last): sums[(label - first) * d + t] += double(row[t]), rows in order.
void add_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                       std::uint64_t first, std::uint64_t last, double* sums, std::size_t d);

void add_rows_by_label_scalar(const float*, std::ptrdiff_t, std::size_t, const std::uint64_t*, std::uint64_t,
                              std::uint64_t, double*, std::size_t);
void add_rows_by_label_avx2(const float*, std::ptrdiff_t, std::size_t, const std::uint64_t*, std::uint64_t,
                            std::uint64_t, double*, std::size_t);
void add_rows_by_label_avx512(const float*, std::ptrdiff_t, std::size_t, const std::uint64_t*, std::uint64_t,
                              std::uint64_t, double*, std::size_t);

}  // namespace plovek::kernels
