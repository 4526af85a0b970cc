// The per-cluster scan of a balancing point step, with run-time SIMD dispatch. Every
// level returns exactly what the sequential definition (the scalar level) returns.
#pragma once

#include <cstddef>

namespace plovek::kernels {

struct Placement {
  // The cluster with the smallest placement cost distances[j] + size_penalty * sizes[j]
  // (multiplied, then added), found by a strict-less scan from cluster 0: the lowest
  // index wins ties, costs that are not numbers never win, and a first cost that is not
  // a number is never beaten.
  std::size_t target;
  // The smallest (distances[j] - distances[home]) / (sizes[home] - sizes[j]) over the j
  // with sizes[j] < sizes[home] and a non-zero gap (values that are not numbers never
  // count); +infinity when there is none.
  float switch_penalty;
};

// k >= 1 clusters; `home` < k.
Placement place_point(const float* distances, const float* sizes, std::size_t k, std::size_t home,
                      float size_penalty);

// place_point over the distances a point's dot products give: distances[j] =
// (centroid_norms[j] - 2 dots[j]) + point_norm, or -dots[j] when centroid_norms is
// null (evaluated in that order), written to `distances` (k entries) in the same pass.
// The switch penalty is exact when it lies below `switch_limit`; otherwise the result
// holds some value at or above the limit (+infinity when there is none), which lets
// the vector levels skip the divisions of values that cannot matter.
Placement place_point_from_dots(const float* dots, const float* centroid_norms, float point_norm,
                                const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                float switch_limit, float* distances);

Placement place_point_scalar(const float*, const float*, std::size_t, std::size_t, float);
Placement place_point_avx2(const float*, const float*, std::size_t, std::size_t, float);
Placement place_point_avx512(const float*, const float*, std::size_t, std::size_t, float);
Placement place_point_from_dots_scalar(const float*, const float*, float, const float*, std::size_t, std::size_t,
                                       float, float, float*);
Placement place_point_from_dots_avx2(const float*, const float*, float, const float*, std::size_t, std::size_t,
                                     float, float, float*);
Placement place_point_from_dots_avx512(const float*, const float*, float, const float*, std::size_t, std::size_t,
                                       float, float, float*);

}  // namespace plovek::kernels
