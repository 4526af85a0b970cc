#include "finite_values.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace plovek {

namespace {

// Whether one of `count` consecutive values is NaN or infinite (all exponent bits set).
// Integer operations, so that the loop vectorizes without reordering float arithmetic.
bool any_non_finite(const float* values, std::size_t count) {
  std::uint32_t found = 0;
  for (std::size_t i = 0; i < count; ++i) {
    found |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(values[i]) & 0x7f800000u) == 0x7f800000u);
  }
  return found != 0;
}

}  // namespace

bool all_finite(const MatrixView& data) {
  const std::size_t n = data.rows();
  const std::size_t d = data.cols();
  if (n == 0 || d == 0) return true;
  if (data.rows_are_direct() && data.row_stride() == static_cast<std::ptrdiff_t>(d)) {
    // Rows stored back to back: one run, checked in pieces so that a bad value ends the
    // scan early.
    constexpr std::size_t kPiece = std::size_t{1} << 14;
    const float* values = data.row(0, nullptr);
    for (std::size_t first = 0; first < n * d; first += kPiece) {
      if (any_non_finite(values + first, std::min(kPiece, n * d - first))) return false;
    }
    return true;
  }
  if (data.rows_are_direct()) {
    for (std::size_t i = 0; i < n; ++i) {
      if (any_non_finite(data.row(i, nullptr), d)) return false;
    }
    return true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t t = 0; t < d; ++t) {
      if (!std::isfinite(data.at(i, t))) return false;
    }
  }
  return true;
}

}  // namespace plovek
