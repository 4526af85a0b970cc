// The panel kernels at the AVX2+FMA and AVX-512 levels: one body, compiled once per
// level under that level's target pragma, in a namespace of its own.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "centroid_panels.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace plovek {

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2_panels {

struct V {
  using F = __m256;
  using I = __m256i;
  static constexpr std::size_t kLanes = 8;
  static F zero() { return _mm256_setzero_ps(); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
  static F set1(float v) { return _mm256_set1_ps(v); }
  static F fmadd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static I iota(std::int32_t first) {
    return _mm256_add_epi32(_mm256_set1_epi32(first), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  static void keep_where(F take, F score, I index, float* value, std::int32_t* best_index) {
    const F old_value = _mm256_loadu_ps(value);
    const F old_index = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(best_index)));
    _mm256_storeu_ps(value, _mm256_blendv_ps(old_value, score, take));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(best_index),
                        _mm256_castps_si256(_mm256_blendv_ps(old_index, _mm256_castsi256_ps(index), take)));
  }
  static void keep_if_less(F score, I index, float* value, std::int32_t* best_index) {
    keep_where(_mm256_cmp_ps(score, _mm256_loadu_ps(value), _CMP_LT_OQ), score, index, value, best_index);
  }
  static void keep_if_greater_or_equal(F score, I index, float* value, std::int32_t* best_index) {
    keep_where(_mm256_cmp_ps(score, _mm256_loadu_ps(value), _CMP_GE_OQ), score, index, value, best_index);
  }
};

#include "panel_kernels_body.h"

}  // namespace avx2_panels
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl,avx2,fma")
namespace avx512_panels {

struct V {
  using F = __m512;
  using I = __m512i;
  static constexpr std::size_t kLanes = 16;
  static F zero() { return _mm512_setzero_ps(); }
  static F load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static I iota(std::int32_t first) {
    return _mm512_add_epi32(_mm512_set1_epi32(first),
                            _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  }
  static void keep_where(__mmask16 take, F score, I index, float* value, std::int32_t* best_index) {
    _mm512_mask_storeu_ps(value, take, score);
    _mm512_mask_storeu_epi32(best_index, take, index);
  }
  static void keep_if_less(F score, I index, float* value, std::int32_t* best_index) {
    keep_where(_mm512_cmp_ps_mask(score, _mm512_loadu_ps(value), _CMP_LT_OQ), score, index, value, best_index);
  }
  static void keep_if_greater_or_equal(F score, I index, float* value, std::int32_t* best_index) {
    keep_where(_mm512_cmp_ps_mask(score, _mm512_loadu_ps(value), _CMP_GE_OQ), score, index, value, best_index);
  }
};

#include "panel_kernels_body.h"

}  // namespace avx512_panels
#pragma GCC pop_options

namespace kernels {

void nearest_centroids_avx2(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                            const float* point_norms, std::uint64_t* labels) {
  avx2_panels::nearest_centroids_impl(panels, x, ldx, count, point_norms, labels);
}
void nearest_centroids_avx512(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                              const float* point_norms, std::uint64_t* labels) {
  avx512_panels::nearest_centroids_impl(panels, x, ldx, count, point_norms, labels);
}
void centroid_dots_avx2(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                        float* out) {
  avx2_panels::centroid_dots_impl(panels, x, ldx, count, out);
}
void centroid_dots_avx512(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                          float* out) {
  avx512_panels::centroid_dots_impl(panels, x, ldx, count, out);
}

}  // namespace kernels
}  // namespace plovek

#else  // not x86-64: the dispatcher only ever picks the scalar level.

namespace plovek::kernels {
void nearest_centroids_avx2(const CentroidPanels& p, const float* x, std::ptrdiff_t ldx, std::size_t n,
                            const float* norms, std::uint64_t* labels) {
  nearest_centroids_scalar(p, x, ldx, n, norms, labels);
}
void nearest_centroids_avx512(const CentroidPanels& p, const float* x, std::ptrdiff_t ldx, std::size_t n,
                              const float* norms, std::uint64_t* labels) {
  nearest_centroids_scalar(p, x, ldx, n, norms, labels);
}
void centroid_dots_avx2(const CentroidPanels& p, const float* x, std::ptrdiff_t ldx, std::size_t n, float* out) {
  centroid_dots_scalar(p, x, ldx, n, out);
}
void centroid_dots_avx512(const CentroidPanels& p, const float* x, std::ptrdiff_t ldx, std::size_t n, float* out) {
  centroid_dots_scalar(p, x, ldx, n, out);
}
}  // namespace plovek::kernels

#endif
