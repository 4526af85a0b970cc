#include "balance_scans.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "dot.h"
#include "placement_scans.h"

namespace plovek::kernels {

using namespace placement;

Placement place_point_scalar(const float* distances, const float* sizes, std::size_t k, std::size_t home,
                             float size_penalty) {
  const float home_distance = distances[home], home_size = sizes[home];
  std::size_t target = 0;
  float target_cost = first_cost(distances, sizes, size_penalty);
  float smallest = kInfinity;
  for (std::size_t j = 0; j < k; ++j) {
    const float cost = distances[j] + size_penalty * sizes[j];
    if (cost < target_cost) target = j, target_cost = cost;
    const float gap = home_size - sizes[j];
    if (!(home_size > sizes[j]) || gap == 0.0f) continue;
    const float value = (distances[j] - home_distance) / gap;
    if (value < smallest) smallest = value;
  }
  return {target, smallest};
}

Placement place_point_from_dots_scalar(const float* dots, const float* centroid_norms, float point_norm,
                                       const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                       float /*switch_limit: exact here*/, float* distances) {
  const DistancesFromDots source{dots, centroid_norms, point_norm, distances};
  for (std::size_t j = 0; j < k; ++j) distances[j] = source.at(j);
  return place_point_scalar(distances, sizes, k, home, size_penalty);
}

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx2,fma")

Placement place_point_avx2(const float* distances, const float* sizes, std::size_t k, std::size_t home,
                           float size_penalty) {
  return place_avx2(StoredDistances{distances}, sizes, k, home, size_penalty, kInfinity);
}

Placement place_point_from_dots_avx2(const float* dots, const float* centroid_norms, float point_norm,
                                     const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                     float switch_limit, float* distances) {
  return place_avx2(DistancesFromDots{dots, centroid_norms, point_norm, distances}, sizes, k, home, size_penalty,
                    switch_limit);
}

#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")

Placement place_point_avx512(const float* distances, const float* sizes, std::size_t k, std::size_t home,
                             float size_penalty) {
  return place_avx512(StoredDistances{distances}, sizes, k, home, size_penalty, kInfinity);
}

Placement place_point_from_dots_avx512(const float* dots, const float* centroid_norms, float point_norm,
                                       const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                       float switch_limit, float* distances) {
  return place_avx512(DistancesFromDots{dots, centroid_norms, point_norm, distances}, sizes, k, home,
                      size_penalty, switch_limit);
}

#pragma GCC pop_options

#else

Placement place_point_avx2(const float* d, const float* s, std::size_t k, std::size_t h, float p) {
  return place_point_scalar(d, s, k, h, p);
}
Placement place_point_avx512(const float* d, const float* s, std::size_t k, std::size_t h, float p) {
  return place_point_scalar(d, s, k, h, p);
}
Placement place_point_from_dots_avx2(const float* dots, const float* norms, float point_norm, const float* sizes,
                                     std::size_t k, std::size_t home, float size_penalty, float limit,
                                     float* distances) {
  return place_point_from_dots_scalar(dots, norms, point_norm, sizes, k, home, size_penalty, limit, distances);
}
Placement place_point_from_dots_avx512(const float* dots, const float* norms, float point_norm, const float* sizes,
                                       std::size_t k, std::size_t home, float size_penalty, float limit,
                                       float* distances) {
  return place_point_from_dots_scalar(dots, norms, point_norm, sizes, k, home, size_penalty, limit, distances);
}

#endif

namespace {

// The vector levels keep cluster indices in 32-bit lanes.
SimdLevel placement_level(std::size_t k) {
  return k > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ? SimdLevel::Scalar
                                                                                 : active_simd_level();
}

}  // namespace

Placement place_point(const float* distances, const float* sizes, std::size_t k, std::size_t home,
                      float size_penalty) {
  switch (placement_level(k)) {
    case SimdLevel::Avx512: return place_point_avx512(distances, sizes, k, home, size_penalty);
    case SimdLevel::Avx2: return place_point_avx2(distances, sizes, k, home, size_penalty);
    case SimdLevel::Scalar: break;
  }
  return place_point_scalar(distances, sizes, k, home, size_penalty);
}

Placement place_point_from_dots(const float* dots, const float* centroid_norms, float point_norm,
                                const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                float switch_limit, float* distances) {
  switch (placement_level(k)) {
    case SimdLevel::Avx512:
      return place_point_from_dots_avx512(dots, centroid_norms, point_norm, sizes, k, home, size_penalty,
                                          switch_limit, distances);
    case SimdLevel::Avx2:
      return place_point_from_dots_avx2(dots, centroid_norms, point_norm, sizes, k, home, size_penalty,
                                        switch_limit, distances);
    case SimdLevel::Scalar: break;
  }
  return place_point_from_dots_scalar(dots, centroid_norms, point_norm, sizes, k, home, size_penalty, switch_limit,
                                      distances);
}

}  // namespace plovek::kernels
