// The panel kernels at the AVX2+FMA and AVX-512 levels: one body, compiled once per
// level under that level's target pragma, in a namespace of its own.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "centroid_panels.h"
#include "mean_balance_steps.h"
#include "../balance_rules.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "dot_order_x86.h"
#include "placement_scans.h"

namespace plovek {

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2_panels {

struct V {
  using F = __m256;
  using I = __m256i;
  static constexpr std::size_t kLanes = 8;
  static constexpr std::size_t kPointVectors = 3;  // 24 points x 4 centroids: 12 accumulators
  static constexpr std::size_t kTileCentroids = 4;
  static F zero() { return _mm256_setzero_ps(); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
  // The first n (<= kLanes) floats at p, zeros after them; nothing past them is read.
  static F load_first(const float* p, std::size_t n) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_maskload_ps(p, _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), lanes));
  }
  // Transposes the 8 x 8 tile held as 8 row vectors.
  static void transpose(F (&r)[kLanes]) {
    F t[kLanes];
    for (int i = 0; i < 4; ++i) {
      t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
      t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
    for (int b = 0; b < 8; b += 4) {
      r[b] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(t[b]), _mm256_castps_pd(t[b + 2])));
      r[b + 1] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(t[b]), _mm256_castps_pd(t[b + 2])));
      r[b + 2] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(t[b + 1]), _mm256_castps_pd(t[b + 3])));
      r[b + 3] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(t[b + 1]), _mm256_castps_pd(t[b + 3])));
    }
    for (int i = 0; i < 4; ++i) {
      t[i] = _mm256_permute2f128_ps(r[i], r[4 + i], 0x20);
      t[4 + i] = _mm256_permute2f128_ps(r[i], r[4 + i], 0x31);
    }
    for (int i = 0; i < 8; ++i) r[i] = t[i];
  }
  // The first n (< kLanes) lanes of v to p; nothing past them is written.
  static void store_first(float* p, F v, std::size_t n) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    _mm256_maskstore_ps(p, _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), lanes), v);
  }
  static F set1(float v) { return _mm256_set1_ps(v); }
  static F fmadd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  // row . row in the order of this level's `dot`.
  static float self_dot(const float* row, std::size_t d) { return kernels::x86::dot_order_avx2<false>(row, row, d); }
  // v with lane `lane` replaced by `value`.
  static F with_lane(F v, std::size_t lane, float value) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 at = _mm256_castsi256_ps(_mm256_cmpeq_epi32(lanes, _mm256_set1_epi32(static_cast<int>(lane))));
    return _mm256_blendv_ps(v, _mm256_set1_ps(value), at);
  }
  // This level's placement scan over a point's dot products (balance_scans.h).
  static kernels::Placement place_from_dots(const float* dots, const float* norms, float point_norm,
                                            const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                            float switch_limit, float* distances) {
    return kernels::placement::place_avx2(kernels::placement::DistancesFromDots{dots, norms, point_norm, distances},
                                          sizes, k, home, size_penalty, switch_limit);
  }
  static I set1_index(std::int32_t j) { return _mm256_set1_epi32(j); }
  static I load_index(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store_index(std::int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static void keep_where(F take, F score, I index, F& best, I& best_index) {
    best = _mm256_blendv_ps(best, score, take);
    best_index = _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(best_index), _mm256_castsi256_ps(index), take));
  }
  static void keep_if_less(F score, I index, F& best, I& best_index) {
    keep_where(_mm256_cmp_ps(score, best, _CMP_LT_OQ), score, index, best, best_index);
  }
  static void keep_if_greater_or_equal(F score, I index, F& best, I& best_index) {
    keep_where(_mm256_cmp_ps(score, best, _CMP_GE_OQ), score, index, best, best_index);
  }
};

#include "panel_kernels_body.h"
#include "row_arithmetic_body.h"
#include "mean_balance_steps_body.h"

}  // namespace avx2_panels
#pragma GCC pop_options

// GCC 12's AVX-512 headers initialise their "undefined" vectors from themselves and
// then warn about them where the intrinsics are inlined (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl,avx2,fma")
namespace avx512_panels {

struct V {
  using F = __m512;
  using I = __m512i;
  static constexpr std::size_t kLanes = 16;
  static constexpr std::size_t kPointVectors = 3;  // 48 points x 8 centroids: 24 accumulators
  static constexpr std::size_t kTileCentroids = 8;
  static F zero() { return _mm512_setzero_ps(); }
  static F load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
  // The first n (<= kLanes) floats at p, zeros after them; nothing past them is read.
  static F load_first(const float* p, std::size_t n) {
    return _mm512_maskz_loadu_ps(n >= kLanes ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << n) - 1u), p);
  }
  // Transposes the 16 x 16 tile held as 16 row vectors.
  static void transpose(F (&r)[kLanes]) {
    F t[kLanes];
    for (int i = 0; i < 8; ++i) {
      t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
      t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
    for (int b = 0; b < 16; b += 4) {
      r[b] = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(t[b]), _mm512_castps_pd(t[b + 2])));
      r[b + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(t[b]), _mm512_castps_pd(t[b + 2])));
      r[b + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(t[b + 1]), _mm512_castps_pd(t[b + 3])));
      r[b + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(t[b + 1]), _mm512_castps_pd(t[b + 3])));
    }
    for (int b = 0; b < 16; b += 8)
      for (int i = 0; i < 4; ++i) {
        t[b + i] = _mm512_shuffle_f32x4(r[b + i], r[b + 4 + i], 0x88);
        t[b + 4 + i] = _mm512_shuffle_f32x4(r[b + i], r[b + 4 + i], 0xdd);
      }
    for (int i = 0; i < 8; ++i) {
      r[i] = _mm512_shuffle_f32x4(t[i], t[8 + i], 0x88);
      r[8 + i] = _mm512_shuffle_f32x4(t[i], t[8 + i], 0xdd);
    }
  }
  // The first n (< kLanes) lanes of v to p; nothing past them is written.
  static void store_first(float* p, F v, std::size_t n) {
    _mm512_mask_storeu_ps(p, static_cast<__mmask16>((1u << n) - 1u), v);
  }
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F div(F a, F b) { return _mm512_div_ps(a, b); }
  // row . row in the order of this level's `dot`.
  static float self_dot(const float* row, std::size_t d) {
    return kernels::x86::dot_order_avx512<false>(row, row, d);
  }
  // v with lane `lane` replaced by `value`.
  static F with_lane(F v, std::size_t lane, float value) {
    return _mm512_mask_mov_ps(v, static_cast<__mmask16>(1u << lane), _mm512_set1_ps(value));
  }
  // This level's placement scan over a point's dot products (balance_scans.h).
  static kernels::Placement place_from_dots(const float* dots, const float* norms, float point_norm,
                                            const float* sizes, std::size_t k, std::size_t home, float size_penalty,
                                            float switch_limit, float* distances) {
    return kernels::placement::place_avx512(
        kernels::placement::DistancesFromDots{dots, norms, point_norm, distances}, sizes, k, home, size_penalty,
        switch_limit);
  }
  static I set1_index(std::int32_t j) { return _mm512_set1_epi32(j); }
  static I load_index(const std::int32_t* p) { return _mm512_loadu_si512(p); }
  static void store_index(std::int32_t* p, I v) { _mm512_storeu_si512(p, v); }
  static void keep_if_less(F score, I index, F& best, I& best_index) {
    const __mmask16 take = _mm512_cmp_ps_mask(score, best, _CMP_LT_OQ);
    best = _mm512_mask_mov_ps(best, take, score);
    best_index = _mm512_mask_mov_epi32(best_index, take, index);
  }
  static void keep_if_greater_or_equal(F score, I index, F& best, I& best_index) {
    const __mmask16 take = _mm512_cmp_ps_mask(score, best, _CMP_GE_OQ);
    best = _mm512_mask_mov_ps(best, take, score);
    best_index = _mm512_mask_mov_epi32(best_index, take, index);
  }
};

#include "panel_kernels_body.h"
#include "row_arithmetic_body.h"
#include "mean_balance_steps_body.h"

}  // namespace avx512_panels
#pragma GCC pop_options
#pragma GCC diagnostic pop

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
void paired_point_dots_avx2(const CentroidPanels& panels, const float* x, float* out) {
  avx2_panels::paired_point_dots_impl(panels, x, out);
}
void paired_point_dots_avx512(const CentroidPanels& panels, const float* x, float* out) {
  avx512_panels::paired_point_dots_impl(panels, x, out);
}
void quotient_into_panel_avx2(float* panel, std::size_t lane, const float* sum, float divisor, float* row,
                              std::size_t d) {
  avx2_panels::quotient_into_panel_impl(panel, lane, sum, divisor, row, d);
}
void quotient_into_panel_avx512(float* panel, std::size_t lane, const float* sum, float divisor, float* row,
                                std::size_t d) {
  avx512_panels::quotient_into_panel_impl(panel, lane, sum, divisor, row, d);
}
void run_mean_balance_steps_avx2(MeanBalanceSteps& steps, std::size_t first, std::size_t last) {
  avx2_panels::mean_balance_steps_impl(steps, first, last);
}
void run_mean_balance_steps_avx512(MeanBalanceSteps& steps, std::size_t first, std::size_t last) {
  avx512_panels::mean_balance_steps_impl(steps, first, last);
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
void paired_point_dots_avx2(const CentroidPanels& p, const float* x, float* out) {
  centroid_dots_scalar(p, x, 0, 1, out);
}
void paired_point_dots_avx512(const CentroidPanels& p, const float* x, float* out) {
  centroid_dots_scalar(p, x, 0, 1, out);
}
void quotient_into_panel_avx2(float*, std::size_t, const float*, float, float*, std::size_t) {}
void quotient_into_panel_avx512(float*, std::size_t, const float*, float, float*, std::size_t) {}
void run_mean_balance_steps_avx2(MeanBalanceSteps&, std::size_t, std::size_t) {}
void run_mean_balance_steps_avx512(MeanBalanceSteps&, std::size_t, std::size_t) {}
}  // namespace plovek::kernels

#endif
