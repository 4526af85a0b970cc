// acc[t] += double(row[t]) for t < d: the double-precision accumulation of the mean
// update. Every level performs the same IEEE additions, so results are identical.
#pragma once

#include <cstddef>

namespace plovek::kernels {

void widen_add(double* acc, const float* row, std::size_t d);

void widen_add_scalar(double* acc, const float* row, std::size_t d);
void widen_add_avx2(double* acc, const float* row, std::size_t d);
void widen_add_avx512(double* acc, const float* row, std::size_t d);

}  // namespace plovek::kernels
