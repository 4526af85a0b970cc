// How far a score computed with fused multiply-adds can lie from the same score with
// every product rounded to f32, so that a fast kernel can tell when the fused scores
// decide what the rounded ones would.
//
// Both dot products sum the d products x[t] c[t] in the same order. Each lies within
// g |x| |c| of the exact dot product, g = d u / (1 - d u) with u = 2^-24 (the sum of
// the |x[t] c[t]| is at most |x| |c|), and an underflowing step adds at most 2^-150 to
// either; so the two differ by at most 2 g |x| |c| + d 2^-149.
// - Inner product (the score is the dot product): that difference.
// - Euclidean, (c.c - 2 c.x) + x.x with the same norms in both: twice the difference,
//   plus the two roundings of each score, each at most u times a magnitude of at most
//   A = c.c + 2 (1 + g) |x| |c| (then A + x.x): 4 g |x||c| + 4.0001 u A + 2 u x.x.
// The norms |x| and |c| come from squared norms computed in f32 (row dot products or
// fused sums of squares), each within g of the exact one: divided by (1 - g).
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace plovek::kernels {

class FusedScoreSlack {
 public:
  // For d-element scores against centroids whose squared norms c.c (as computed in
  // f32) are at most `largest_centroid_norm`.
  FusedScoreSlack(std::size_t d, bool euclidean, float largest_centroid_norm) {
    constexpr double u = 0x1p-24;
    const double du = static_cast<double>(d) * u;
    if (!(du < 0.5) || !std::isfinite(largest_centroid_norm)) {
      constant_ = std::numeric_limits<float>::infinity();
      return;
    }
    const double g = du / (1.0 - du);
    const double centroid = std::sqrt(static_cast<double>(largest_centroid_norm)) / (1.0 - g);
    const double underflow = static_cast<double>(d) * 0x1p-147;
    if (euclidean) {
      root_ = rounded_up((4.0 * g + 8.0002 * u * (1.0 + g)) * centroid);
      linear_ = rounded_up(2.0 * u);
      constant_ = rounded_up(4.0001 * u * largest_centroid_norm + underflow);
    } else {
      root_ = rounded_up(2.0 * g * centroid);
      constant_ = rounded_up(underflow);
    }
  }

  // The slack of one score of a point whose squared norm is at most `point_norm`.
  float operator()(float point_norm) const {
    return (root_ * std::sqrt(point_norm) + linear_ * point_norm + constant_) * kEvaluationMargin;
  }
  // Its terms, for evaluating it over a vector of points the same way.
  float root() const { return root_; }
  float linear() const { return linear_; }
  float constant() const { return constant_; }
  // Covers the f32 rounding of the evaluation itself (a few roundings of u each).
  static constexpr float kEvaluationMargin = 1.0f + 0x1p-10f;

 private:
  static float rounded_up(double value) {
    const float nearest = static_cast<float>(value);
    return static_cast<double>(nearest) >= value ? nearest : std::nextafter(nearest, std::numeric_limits<float>::infinity());
  }

  float root_ = 0.0f, linear_ = 0.0f, constant_ = 0.0f;
};

}  // namespace plovek::kernels
