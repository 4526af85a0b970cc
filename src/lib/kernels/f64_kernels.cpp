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

#endif

}  // namespace

void add_rows_by_label_scalar(const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
                              std::uint64_t first, std::uint64_t last, double* sums, std::size_t d) {
  for (std::size_t r = 0; r < count; ++r) {
    if (labels[r] < first || labels[r] >= last) continue;
    widen_add_row_scalar(sums + (labels[r] - first) * d, rows + static_cast<std::ptrdiff_t>(r) * ldx, d);
  }
}

double dot_f64_scalar(const float* x, const double* y, std::size_t d) {
  double sum = 0.0;
  for (std::size_t t = 0; t < d; ++t) sum += static_cast<double>(x[t]) * y[t];
  return sum;
}

double sum_of_squares_f64_scalar(const float* x, std::size_t d) {
  double sum = 0.0;
  for (std::size_t t = 0; t < d; ++t) sum += static_cast<double>(x[t]) * x[t];
  return sum;
}

#if defined(__x86_64__)

__attribute__((target("avx2,fma"))) double dot_f64_avx2(const float* x, const double* y, std::size_t d) {
  __m256d acc = _mm256_setzero_pd();
  std::size_t t = 0;
  for (; t + 4 <= d; t += 4) acc = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(x + t)), _mm256_loadu_pd(y + t), acc);
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, acc);
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]) + dot_f64_scalar(x + t, y + t, d - t);
}

__attribute__((target("avx2,fma"))) double sum_of_squares_f64_avx2(const float* x, std::size_t d) {
  __m256d acc = _mm256_setzero_pd();
  std::size_t t = 0;
  for (; t + 4 <= d; t += 4) {
    const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(x + t));
    acc = _mm256_fmadd_pd(v, v, acc);
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, acc);
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]) + sum_of_squares_f64_scalar(x + t, d - t);
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) double dot_f64_avx512(const float* x, const double* y,
                                                                                   std::size_t d) {
  __m512d acc = _mm512_setzero_pd();
  for (std::size_t t = 0; t < d; t += 8) {
    const std::size_t left = d - t;
    const __mmask8 valid = left >= 8 ? __mmask8(0xFF) : static_cast<__mmask8>((1u << left) - 1u);
    acc = _mm512_fmadd_pd(_mm512_cvtps_pd(_mm256_maskz_loadu_ps(valid, x + t)), _mm512_maskz_loadu_pd(valid, y + t),
                          acc);
  }
  return _mm512_reduce_add_pd(acc);
}

__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) double sum_of_squares_f64_avx512(const float* x,
                                                                                              std::size_t d) {
  __m512d acc = _mm512_setzero_pd();
  for (std::size_t t = 0; t < d; t += 8) {
    const std::size_t left = d - t;
    const __mmask8 valid = left >= 8 ? __mmask8(0xFF) : static_cast<__mmask8>((1u << left) - 1u);
    const __m512d v = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(valid, x + t));
    acc = _mm512_fmadd_pd(v, v, acc);
  }
  return _mm512_reduce_add_pd(acc);
}

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

double dot_f64_avx2(const float* x, const double* y, std::size_t d) { return dot_f64_scalar(x, y, d); }
double dot_f64_avx512(const float* x, const double* y, std::size_t d) { return dot_f64_scalar(x, y, d); }
double sum_of_squares_f64_avx2(const float* x, std::size_t d) { return sum_of_squares_f64_scalar(x, d); }
double sum_of_squares_f64_avx512(const float* x, std::size_t d) { return sum_of_squares_f64_scalar(x, d); }

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

double dot_f64(const float* x, const double* y, std::size_t d) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return dot_f64_avx512(x, y, d);
    case SimdLevel::Avx2: return dot_f64_avx2(x, y, d);
    case SimdLevel::Scalar: break;
  }
  return dot_f64_scalar(x, y, d);
}

double sum_of_squares_f64(const float* x, std::size_t d) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return sum_of_squares_f64_avx512(x, d);
    case SimdLevel::Avx2: return sum_of_squares_f64_avx2(x, d);
    case SimdLevel::Scalar: break;
  }
  return sum_of_squares_f64_scalar(x, d);
}

}  // namespace plovek::kernels
