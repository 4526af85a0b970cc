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

inline void distances_from_dots_impl(const float* __restrict dots, const float* __restrict centroid_norms,
                                     float point_norm, std::size_t k, float* __restrict out) {
  if (centroid_norms == nullptr) {
    for (std::size_t j = 0; j < k; ++j) out[j] = -dots[j];
    return;
  }
  for (std::size_t j = 0; j < k; ++j) out[j] = (centroid_norms[j] - 2.0f * dots[j]) + point_norm;
}
