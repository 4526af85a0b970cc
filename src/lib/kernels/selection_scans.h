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

// The most clusters first_by_score picks (up to this many, an insertion into a short
// sorted list beats a selection algorithm).
inline constexpr std::size_t kFirstByScoreMost = 16;

// Of the `found` candidates (cluster indices, ascending), the `take` with the smallest
// scores (1 <= take <= min(found, kFirstByScoreMost)), equal scores in candidate order:
// their indices to chosen[0 .. take), nearest first. No score may be NaN.
void first_by_score(const float* scores, const std::uint32_t* candidates, std::size_t found, std::size_t take,
                    std::uint64_t* chosen);

bool score_and_bound_scalar(float*, const float*, float, std::size_t, std::size_t, float&);
bool score_and_bound_avx2(float*, const float*, float, std::size_t, std::size_t, float&);
bool score_and_bound_avx512(float*, const float*, float, std::size_t, std::size_t, float&);
std::size_t indices_at_most_scalar(const float* values, std::size_t count, float bound, std::uint32_t* out);
std::size_t indices_at_most_avx2(const float* values, std::size_t count, float bound, std::uint32_t* out);
std::size_t indices_at_most_avx512(const float* values, std::size_t count, float bound, std::uint32_t* out);
void first_by_score_scalar(const float*, const std::uint32_t*, std::size_t, std::size_t, std::uint64_t*);
void first_by_score_avx512(const float*, const std::uint32_t*, std::size_t, std::size_t, std::uint64_t*);

}  // namespace plovek::kernels
