// The unit-length rule shared by centroid normalisation and the balancing refresh.
#pragma once

#include <algorithm>
#include <cmath>
#include <span>

namespace plovek {

// From the smallest normal float up, a square lost to underflow is off by at most
// 2^-150 = 2^-24 2^-126, no more than one rounding of the sum allows already: the f32
// sum of squares is as accurate there as it is anywhere.
inline constexpr float kSmallestAccurateSumOfSquares = 0x1p-126f;

// Multiplies the row by the power of two that brings its largest magnitude into
// [1/2, 1) (a zero row stays as it is). Called only where the squares underflow, so
// the largest magnitude lies below 2^-63 and the scaling, upwards, is exact.
inline void scale_largest_into_unit_range(std::span<float> row) {
  float largest = 0.0f;
  for (const float value : row) largest = std::max(largest, std::fabs(value));
  if (largest == 0.0f) return;
  int exponent = 0;
  std::frexp(largest, &exponent);
  for (float& value : row) value = std::ldexp(value, -exponent);
}

inline float sum_of_squares(std::span<const float> row) {
  float sum = 0.0f;
  for (const float value : row) sum += value * value;
  return sum;
}

// Divides every element by the row's length when its sum of squares is above 0;
// a zero (or NaN) row stays as it is. Sequential f32 sum, division per element.
// A row whose squares underflow is first scaled by a power of two, which changes no
// quotient: it gets the bits the rule gives the same row at any scale where its
// squares do not underflow.
inline void scale_to_unit_length(std::span<float> row) {
  float squares = sum_of_squares(row);
  if (squares < kSmallestAccurateSumOfSquares) {
    scale_largest_into_unit_range(row);
    squares = sum_of_squares(row);
  }
  if (!(squares > 0.0f)) return;
  const float length = std::sqrt(squares);
  for (float& value : row) value /= length;
}

}  // namespace plovek
