// The scalar reference dot product and the dispatching entry point.
#include "dot.h"

namespace plovek::kernels {

float dot_f32_scalar(const float* x, const float* y, std::size_t d) {
  float sum = 0.0f;
  for (std::size_t t = 0; t < d; ++t) sum += x[t] * y[t];
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

}  // namespace plovek::kernels
