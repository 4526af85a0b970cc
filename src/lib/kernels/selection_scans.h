// The vector scans of the top-k selection, with run-time SIMD dispatch: a cheap upper
// bound on the rank-th smallest score, then the few clusters at or below it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plovek::kernels {

// A value v such that at least `rank` of the `count` values are <= v (+infinity when
// the scan cannot tell), from the per-lane minima of one pass. The values must not be
// NaN; rank >= 1.
float rank_bound(const float* values, std::size_t count, std::size_t rank);

// Writes the indices j < count with values[j] <= bound to `out`, ascending; returns
// how many. `out` has room for count indices.
std::size_t indices_at_most(const float* values, std::size_t count, float bound, std::uint32_t* out);

float rank_bound_scalar(const float* values, std::size_t count, std::size_t rank);
float rank_bound_avx2(const float* values, std::size_t count, std::size_t rank);
float rank_bound_avx512(const float* values, std::size_t count, std::size_t rank);
std::size_t indices_at_most_scalar(const float* values, std::size_t count, float bound, std::uint32_t* out);
std::size_t indices_at_most_avx2(const float* values, std::size_t count, float bound, std::uint32_t* out);
std::size_t indices_at_most_avx512(const float* values, std::size_t count, float bound, std::uint32_t* out);

}  // namespace plovek::kernels
