#include "widen_add.h"

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

#if defined(__x86_64__)

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

}  // namespace plovek::kernels
