// The per-cluster scans of a balancing point step, with run-time SIMD dispatch. Every
// level returns exactly what the sequential definitions below return.
#pragma once

#include <cstddef>

namespace plovek::kernels {

// The index a strict-less scan from index 0 ends on: the smallest value, the lowest
// index among equal ones; values that are not numbers never win, and a first value
// that is not a number is never beaten. 0 for k = 0.
std::size_t index_of_min(const float* values, std::size_t k);

// The smallest quotient differences[j] / gaps[j] over the j with sizes[j] < home_size
// and gaps[j] != 0 (quotients that are not numbers never count); +infinity if none.
float smallest_quotient(const float* differences, const float* gaps, const float* sizes, float home_size,
                        std::size_t k);

std::size_t index_of_min_scalar(const float* values, std::size_t k);
std::size_t index_of_min_avx2(const float* values, std::size_t k);
std::size_t index_of_min_avx512(const float* values, std::size_t k);
float smallest_quotient_scalar(const float*, const float*, const float*, float, std::size_t);
float smallest_quotient_avx2(const float*, const float*, const float*, float, std::size_t);
float smallest_quotient_avx512(const float*, const float*, const float*, float, std::size_t);

}  // namespace plovek::kernels
