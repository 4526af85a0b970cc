// The row arithmetic at every level: one loop body compiled per level (see
// row_arithmetic_body.h), and the dispatch.
#include "row_arithmetic.h"

#include "dot.h"

namespace plovek::kernels {

namespace scalar_rows {
#include "row_arithmetic_body.h"
}  // namespace scalar_rows

#if defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2_rows {
#include "row_arithmetic_body.h"
}  // namespace avx2_rows
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")
namespace avx512_rows {
#include "row_arithmetic_body.h"
}  // namespace avx512_rows
#pragma GCC pop_options
#define PLOVEK_ROWS_AT_LEVEL(call)                          \
  switch (active_simd_level()) {                            \
    case SimdLevel::Avx512: return avx512_rows::call;       \
    case SimdLevel::Avx2: return avx2_rows::call;           \
    case SimdLevel::Scalar: break;                          \
  }                                                         \
  return scalar_rows::call
#else
#define PLOVEK_ROWS_AT_LEVEL(call) return scalar_rows::call
#endif

void add_row(float* acc, const float* x, std::size_t d) { PLOVEK_ROWS_AT_LEVEL(add_row_impl(acc, x, d)); }

void subtract_row(float* acc, const float* x, std::size_t d) { PLOVEK_ROWS_AT_LEVEL(subtract_row_impl(acc, x, d)); }

void divide_row(const float* sum, float divisor, float* out, std::size_t d) {
  PLOVEK_ROWS_AT_LEVEL(divide_row_impl(sum, divisor, out, d));
}

}  // namespace plovek::kernels
