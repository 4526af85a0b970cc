// The loops of row_arithmetic.h, included once per SIMD level inside that level's
// target pragma and namespace: the compiler vectorises them for the level. Inputs and
// outputs never overlap in place of each other (acc is read and written element-wise).
inline void add_row_impl(float* __restrict acc, const float* __restrict x, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) acc[t] += x[t];
}

inline void subtract_row_impl(float* __restrict acc, const float* __restrict x, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) acc[t] -= x[t];
}

inline void divide_row_impl(const float* __restrict sum, float divisor, float* __restrict out, std::size_t d) {
  for (std::size_t t = 0; t < d; ++t) out[t] = sum[t] / divisor;
}
