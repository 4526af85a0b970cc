// The scalar reference kernels and the dispatching entry points.
#include "dot.h"

namespace plovek::kernels {

float dot_f32_scalar(const float* x, const float* y, std::size_t d) {
  float sum = 0.0f;
  for (std::size_t t = 0; t < d; ++t) sum += x[t] * y[t];
  return sum;
}

float squared_distance_f32_scalar(const float* x, const float* y, std::size_t d) {
  float sum = 0.0f;
  for (std::size_t t = 0; t < d; ++t) {
    const float delta = x[t] - y[t];
    sum += delta * delta;
  }
  return sum;
}

float dot(const float* x, const float* y, std::size_t d) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return dot_f32_avx512(x, y, d);
    case SimdLevel::Avx2: return dot_f32_avx2(x, y, d);
    case SimdLevel::Scalar: break;
  }
  return dot_f32_scalar(x, y, d);
}

float squared_distance(const float* x, const float* y, std::size_t d) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return squared_distance_f32_avx512(x, y, d);
    case SimdLevel::Avx2: return squared_distance_f32_avx2(x, y, d);
    case SimdLevel::Scalar: break;
  }
  return squared_distance_f32_scalar(x, y, d);
}

}  // namespace plovek::kernels
