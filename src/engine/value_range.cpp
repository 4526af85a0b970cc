#include "engine/value_range.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>

#include "simd/kernels.h"

namespace plovek {

namespace {

constexpr std::uint32_t kMagnitudeBits = 0x7fffffffu;
constexpr std::uint32_t kInfinityBits = 0x7f800000u;

std::uint32_t largest_magnitude_bits(const MatrixView& data) {
  const std::size_t n = data.rows();
  const std::size_t d = data.cols();
  std::uint32_t largest = 0;
  if (data.rows_are_direct() && data.row_stride() == static_cast<std::ptrdiff_t>(d)) {
    // Rows stored back to back: one run, read in pieces so that NaN ends the scan early.
    constexpr std::size_t kPiece = std::size_t{1} << 14;
    const float* values = n * d == 0 ? nullptr : data.row(0, nullptr);
    for (std::size_t first = 0; first < n * d && largest <= kInfinityBits; first += kPiece) {
      largest = std::max(largest, kernels::largest_magnitude_bits(values + first, std::min(kPiece, n * d - first)));
    }
  } else if (data.rows_are_direct()) {
    for (std::size_t i = 0; i < n && largest <= kInfinityBits; ++i) {
      largest = std::max(largest, kernels::largest_magnitude_bits(data.row(i, nullptr), d));
    }
  } else {
    for (std::size_t i = 0; i < n && largest <= kInfinityBits; ++i) {
      for (std::size_t t = 0; t < d; ++t) {
        largest = std::max(largest, std::bit_cast<std::uint32_t>(data.at(i, t)) & kMagnitudeBits);
      }
    }
  }
  return largest;
}

// A row x and a centroid c within the data's range M have |x.y| <= d * M^2 for every
// pair of them, and every score is made of at most four such terms ((c.c - 2 c.x) + x.x).
// Centroids stay within the range: means and medoids do, and the empty-cluster repair
// scales an element by 1 + 2^-10 at most once per halving of a donor's size (below
// 1.07 in all). A factor 8 covers the four terms, that growth and the rounding.
constexpr double kScoreTermsWithMargin = 8.0;

}  // namespace

float largest_magnitude(const MatrixView& data) { return std::bit_cast<float>(largest_magnitude_bits(data)); }

std::optional<std::string> value_range_problem(const MatrixView& data, std::uint64_t summed_scores) {
  const double largest = largest_magnitude(data);
  if (!std::isfinite(largest)) return "data contains NaN or infinite values";
  const double factor = kScoreTermsWithMargin * static_cast<double>(std::max<std::uint64_t>(summed_scores, 1)) *
                        static_cast<double>(data.cols());
  const double limit = std::numeric_limits<float>::max();
  if (factor * largest * largest <= limit) return std::nullopt;
  char text[200];
  std::snprintf(text, sizeof text,
                "data contains values whose scores overflow float32: the largest magnitude is %.3g with %zu "
                "columns; training needs magnitudes below %.3g",
                largest, data.cols(), std::sqrt(limit / factor));
  return std::string(text);
}

}  // namespace plovek
