// The unit-length rule shared by centroid normalisation and the balancing refresh.
#pragma once

#include <cmath>
#include <span>

namespace plovek {

// Divides every element by the row's length when its sum of squares is above 0;
// a zero (or NaN) row stays as it is. Sequential f32 sum, division per element.
inline void scale_to_unit_length(std::span<float> row) {
  float sum_of_squares = 0.0f;
  for (const float value : row) sum_of_squares += value * value;
  if (!(sum_of_squares > 0.0f)) return;
  const float length = std::sqrt(sum_of_squares);
  for (float& value : row) value /= length;
}

}  // namespace plovek
