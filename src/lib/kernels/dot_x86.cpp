// AVX2+FMA and AVX-512 dot products and squared distances, each in its own target-attributed function so
// that one build runs on any x86-64 CPU; the dispatcher picks one at run time.
#include "dot.h"

#if defined(__x86_64__)
#include "dot_order_x86.h"

namespace plovek::kernels {

using x86::dot_order_avx2;
using x86::dot_order_avx512;

__attribute__((target("avx2,fma"))) float dot_f32_avx2(const float* x, const float* y, std::size_t d) {
  return dot_order_avx2<false>(x, y, d);
}

__attribute__((target("avx2,fma"))) float squared_distance_f32_avx2(const float* x, const float* y, std::size_t d) {
  return dot_order_avx2<true>(x, y, d);
}

// GCC 12's AVX-512 headers initialise their "undefined" vectors from themselves and
// then warn about them where the intrinsics are inlined (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) float dot_f32_avx512(const float* x, const float* y,
                                                                                  std::size_t d) {
  return dot_order_avx512<false>(x, y, d);
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) float squared_distance_f32_avx512(const float* x,
                                                                                               const float* y,
                                                                                               std::size_t d) {
  return dot_order_avx512<true>(x, y, d);
}

#pragma GCC diagnostic pop

}  // namespace plovek::kernels

#else  // not x86-64: only the scalar level exists, and the dispatcher never picks these.

namespace plovek::kernels {
float dot_f32_avx2(const float* x, const float* y, std::size_t d) { return dot_f32_scalar(x, y, d); }
float dot_f32_avx512(const float* x, const float* y, std::size_t d) { return dot_f32_scalar(x, y, d); }
float squared_distance_f32_avx2(const float* x, const float* y, std::size_t d) {
  return squared_distance_f32_scalar(x, y, d);
}
float squared_distance_f32_avx512(const float* x, const float* y, std::size_t d) {
  return squared_distance_f32_scalar(x, y, d);
}
}  // namespace plovek::kernels

#endif
