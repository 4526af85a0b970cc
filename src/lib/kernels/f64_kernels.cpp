#include "f64_kernels.h"

#include "dot.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace plovek::kernels {

namespace {

inline void widen_add_row_scalar(double* acc, const float* row, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) acc[t] += static_cast<double>(row[t]);
}

#if defined(__x86_64__)

__attribute__((target("avx2,fma"))) inline void widen_add_row_avx2(double* acc, const float* row, std::size_t d) {
  std::size_t t = 0;
  for (; t + 4 <= d; t += 4)
    _mm256_storeu_pd(acc + t, _mm256_add_pd(_mm256_loadu_pd(acc + t), _mm256_cvtps_pd(_mm_loadu_ps(row + t))));
  widen_add_row_scalar(acc + t, row + t, d - t);
}

// GCC 12's AVX-512 headers initialise their "undefined" vectors from themselves and
// then warn about them where the intrinsics are inlined (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) inline void widen_add_row_avx512(double* acc,
                                                                                               const float* row,
                                                                                               std::size_t d) {
  std::size_t t = 0;
  for (; t + 8 <= d; t += 8)
    _mm512_storeu_pd(acc + t, _mm512_add_pd(_mm512_loadu_pd(acc + t), _mm512_cvtps_pd(_mm256_loadu_ps(row + t))));
  if (t < d) {
    const __mmask8 mask = static_cast<__mmask8>((1u << (d - t)) - 1u);
    const __m512d sum = _mm512_add_pd(_mm512_maskz_loadu_pd(mask, acc + t),
                                      _mm512_cvtps_pd(_mm256_maskz_loadu_ps(mask, row + t)));
    _mm512_mask_storeu_pd(acc + t, mask, sum);
  }
}

#pragma GCC diagnostic pop

#endif

}  // namespace

void add_rows_by_label_scalar(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                              std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
  for (std::size_t r = 0; r < count; ++r) {
    if (labels[r] < first || labels[r] >= last) continue;
    widen_add_row_scalar(sums + (labels[r] - first) * d, rows + static_cast<std::ptrdiff_t>(r) * ldx, d);
  }
}

SquareAndDot square_and_dot_f64_scalar(const float* x, const double* y, std::size_t d) {
  SquareAndDot result;
  for (std::size_t t = 0; t < d; ++t) {
    const double value = static_cast<double>(x[t]);
    result.square += value * value;
    result.dot += value * y[t];
  }
  return result;
}

#if defined(__x86_64__)

__attribute__((target("avx2,fma"))) SquareAndDot square_and_dot_f64_avx2(const float* x, const double* y,
                                                                          std::size_t d) {
  __m256d squares = _mm256_setzero_pd(), dots = _mm256_setzero_pd();
  std::size_t t = 0;
  for (; t + 4 <= d; t += 4) {
    const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(x + t));
    squares = _mm256_fmadd_pd(v, v, squares);
    dots = _mm256_fmadd_pd(v, _mm256_loadu_pd(y + t), dots);
  }
  alignas(32) double square_lanes[4], dot_lanes[4];
  _mm256_store_pd(square_lanes, squares);
  _mm256_store_pd(dot_lanes, dots);
  SquareAndDot result = square_and_dot_f64_scalar(x + t, y + t, d - t);
  result.square += (square_lanes[0] + square_lanes[1]) + (square_lanes[2] + square_lanes[3]);
  result.dot += (dot_lanes[0] + dot_lanes[1]) + (dot_lanes[2] + dot_lanes[3]);
  return result;
}

// GCC bug 105593 again (see widen_add_row_avx512).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) SquareAndDot square_and_dot_f64_avx512(
    const float* x, const double* y, std::size_t d) {
  __m512d squares = _mm512_setzero_pd(), dots = _mm512_setzero_pd();
  for (std::size_t t = 0; t < d; t += 8) {
    const std::size_t left = d - t;
    const __mmask8 valid = left >= 8 ? __mmask8(0xFF) : static_cast<__mmask8>((1u << left) - 1u);
    const __m512d v = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(valid, x + t));
    squares = _mm512_fmadd_pd(v, v, squares);
    dots = _mm512_fmadd_pd(v, _mm512_maskz_loadu_pd(valid, y + t), dots);
  }
  return {_mm512_reduce_add_pd(squares), _mm512_reduce_add_pd(dots)};
}

#pragma GCC diagnostic pop

__attribute__((target("avx2,fma"))) void add_rows_by_label_avx2(const float* rows, std::ptrdiff_t ldx,
                                                                std::size_t count, const std::uint64_t* labels,
                                                                std::uint64_t first, std::uint64_t last,
                                                                double* sums, std::size_t d) {
  for (std::size_t r = 0; r < count; ++r) {
    if (labels[r] < first || labels[r] >= last) continue;
    widen_add_row_avx2(sums + (labels[r] - first) * d, rows + static_cast<std::ptrdiff_t>(r) * ldx, d);
  }
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) void add_rows_by_label_avx512(
    const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels, std::uint64_t first,
    std::uint64_t last, double* sums, std::size_t d) {
  for (std::size_t r = 0; r < count; ++r) {
    if (labels[r] < first || labels[r] >= last) continue;
    widen_add_row_avx512(sums + (labels[r] - first) * d, rows + static_cast<std::ptrdiff_t>(r) * ldx, d);
  }
}

#else

SquareAndDot square_and_dot_f64_avx2(const float* x, const double* y, std::size_t d) {
  return square_and_dot_f64_scalar(x, y, d);
}
SquareAndDot square_and_dot_f64_avx512(const float* x, const double* y, std::size_t d) {
  return square_and_dot_f64_scalar(x, y, d);
}

void add_rows_by_label_avx2(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                            std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
  add_rows_by_label_scalar(rows, ldx, count, labels, first, last, sums, d);
}
void add_rows_by_label_avx512(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                              std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
  add_rows_by_label_scalar(rows, ldx, count, labels, first, last, sums, d);
}

#endif

void add_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                       std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return add_rows_by_label_avx512(rows, ldx, count, labels, first, last, sums, d);
    case SimdLevel::Avx2: return add_rows_by_label_avx2(rows, ldx, count, labels, first, last, sums, d);
    case SimdLevel::Scalar: break;
  }
  add_rows_by_label_scalar(rows, ldx, count, labels, first, last, sums, d);
}

SquareAndDot square_and_dot_f64(const float* x, const double* y, std::size_t d) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return square_and_dot_f64_avx512(x, y, d);
    case SimdLevel::Avx2: return square_and_dot_f64_avx2(x, y, d);
    case SimdLevel::Scalar: break;
  }
  return square_and_dot_f64_scalar(x, y, d);
}

}  // namespace plovek::kernels
