// The vector scans of the top-k selection, with run-time SIMD dispatch: one pass turns
// a point's dot products into scores and finds a cheap upper bound on the rank-th
// smallest, a second lists the few clusters at or below it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plovek::kernels {

// Turns one point's k dot products into its scores, in place: (c.c - 2 c.x) + x.x in
// that order when `centroid_norms` (c.c) is given, -(c.x) when it is null. Returns
// false if a score is NaN. Otherwise `bound` is a value that at least `rank` scores
// are <= to (+infinity when the pass cannot tell), from the per-lane minima; rank >= 1.
bool score_and_bound(float* dots, const float* centroid_norms, float point_norm, std::size_t k, std::size_t rank,
                     float& bound);

// Writes the indices j < count with values[j] <= bound to `out`, ascending; returns
// how many. `out` has room for count + kIndexSlack indices: a vector level may write
// whole vectors past the last index found.
inline constexpr std::size_t kIndexSlack = 16;
std::size_t indices_at_most(const float* values, std::size_t count, float bound, std::uint32_t* out);

bool score_and_bound_scalar(float*, const float*, float, std::size_t, std::size_t, float&);
bool score_and_bound_avx2(float*, const float*, float, std::size_t, std::size_t, float&);
bool score_and_bound_avx512(float*, const float*, float, std::size_t, std::size_t, float&);
std::size_t indices_at_most_scalar(const float* values, std::size_t count, float bound, std::uint32_t* out);
std::size_t indices_at_most_avx2(const float* values, std::size_t count, float bound, std::uint32_t* out);
std::size_t indices_at_most_avx512(const float* values, std::size_t count, float bound, std::uint32_t* out);

}  // namespace plovek::kernels
