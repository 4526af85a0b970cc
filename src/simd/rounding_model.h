// The rounding model of the engine's f32 arithmetic, in one place: the unit roundoff u,
// the growth g of a sum of products, what underflow can lose, and the bounds built on
// them: how far a fused multiply-add score can lie from the rounded-product one
// (FusedScoreSlack, for the fused searches and their re-checks), and how far any f32
// score can lie from the real one (ScoreErrorBound, for the assignment bounds). The
// medoid narrowing builds its bound on the same u, g and underflow unit.
//
// How far a score computed with fused multiply-adds can lie from the same score with
// every product rounded to f32, so that a fast kernel can tell when the fused scores
// decide what the rounded ones would. Both dot products sum the d products x[t] c[t] in the same order. Each lies within
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

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <limits>
#include <optional>

namespace plovek::kernels {

// The float nearest to `value` at or above it (rounded_up), at or below it
// (rounded_down): a bound kept in f32 stays a bound.
inline float rounded_up(double value) {
  // -0 made +0, so that its step up is the bit pattern's successor as for every float
  // at or above zero; below zero it is the predecessor. Branch free: bounds are
  // rounded for every point, and the direction is as good as random.
  const float nearest = static_cast<float>(value) + 0.0f;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(nearest);
  const std::uint32_t below = static_cast<double>(nearest) < value;  // never for NaN
  const std::uint32_t step = nearest < 0.0f ? ~std::uint32_t{0} : 1;
  return std::bit_cast<float>(bits + (step & (0u - below)));
}
inline float rounded_down(double value) { return -rounded_up(-value); }

// The unit roundoff of f32, and of double.
inline constexpr double kUnitRoundoff = 0x1p-24;
inline constexpr double kDoubleUnitRoundoff = 0x1p-53;
// The most a rounded f32 product can lose to underflow: half the smallest subnormal.
// (A sum or difference that underflows is exact.)
inline constexpr double kUnderflowUnit = 0x1p-150;

// g(n) = n u / (1 - n u), for n u < 1: a computation that rounds n times in f32 (a
// d-element dot product: n = d) lies within g(n) times the sum of the magnitudes of its
// terms of the real value.
inline double rounding_growth(std::size_t n) {
  const double nu = static_cast<double>(n) * kUnitRoundoff;
  return nu / (1.0 - nu);
}

// g(d) for the score bounds, or none where the bounds built on it say nothing: d u
// reaching 1/2, or centroid norms that are not finite.
inline std::optional<double> dot_growth(std::size_t d, float largest_centroid_norm) {
  if (!(static_cast<double>(d) * kUnitRoundoff < 0.5) || !std::isfinite(largest_centroid_norm)) return std::nullopt;
  return rounding_growth(d);
}

class FusedScoreSlack {
 public:
  // For d-element scores against centroids whose squared norms c.c (as computed in
  // f32) are at most `largest_centroid_norm`.
  FusedScoreSlack(std::size_t d, bool euclidean, float largest_centroid_norm) {
    constexpr double u = kUnitRoundoff;
    const std::optional<double> growth = dot_growth(d, largest_centroid_norm);
    if (!growth) {
      constant_ = std::numeric_limits<float>::infinity();
      return;
    }
    const double g = *growth;
    const double centroid = std::sqrt(static_cast<double>(largest_centroid_norm)) / (1.0 - g);
    const double underflow = static_cast<double>(d) * (8.0 * kUnderflowUnit);
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
  // How far apart two fused scores of the point must lie for the rounded products to
  // order them the same way: twice the slack.
  float margin(float point_norm) const { return 2.0f * (*this)(point_norm); }
  // Whether a fused search's best and runner-up costs (the smaller the nearer) decide
  // the rounded products' nearest; otherwise the point is re-scored with them.
  bool decides(float best, float second, float point_norm) const { return second - best > margin(point_norm); }
  // Its terms, for evaluating it over a vector of points the same way.
  float root() const { return root_; }
  float linear() const { return linear_; }
  float constant() const { return constant_; }
  // Covers the f32 rounding of the evaluation itself (a few roundings of u each).
  static constexpr float kEvaluationMargin = 1.0f + 0x1p-10f;

 private:
  float root_ = 0.0f, linear_ = 0.0f, constant_ = 0.0f;
};

// How far any f32 score of this engine (fused or rounded products, any summation
// order; Euclidean with or without x.x added) can lie from the real value of the same
// formula on the same f32 inputs, |c|^2 - 2 c.x + |x|^2 or c.x, for d-element rows
// and centroids whose computed squared norms are at most `largest_centroid_norm`. A
// dot product lies within g |x||c| + d 2^-149 of the real one, a computed squared norm
// within g of the real one (g as for FusedScoreSlack); the Euclidean score adds at most
// two roundings of magnitudes up to A = c.c + 2 (1 + g)|x||c| + x.x:
//   g (|x| + |c|)^2 + 2.0001 u A + d 2^-146;  inner product: g |x||c| + d 2^-146.
// Evaluated in double: the bounds that use it are kept in double too.
class ScoreErrorBound {
 public:
  ScoreErrorBound() = default;
  ScoreErrorBound(std::size_t d, bool euclidean, float largest_centroid_norm) {
    constexpr double u = kUnitRoundoff;
    const std::optional<double> growth = dot_growth(d, largest_centroid_norm);
    if (!growth) {
      constant_ = std::numeric_limits<double>::infinity();
      return;
    }
    g_ = *growth;
    norm_factor_ = (1.0 + 0x1p-40) / std::sqrt(1.0 - g_);
    const double cc = static_cast<double>(largest_centroid_norm), c = std::sqrt(cc / (1.0 - g_));
    const double tiny = static_cast<double>(d) * (16.0 * kUnderflowUnit);
    if (euclidean) {
      // g (x^2 + 2xc + c^2) with x^2 <= x.x / (1 - g), plus 2.0001 u (c.c + 2 (1+g) x c + x.x).
      linear_ = g_ / (1.0 - g_) + 2.0001 * u;
      root_ = (2.0 * g_ + 4.0002 * u * (1.0 + g_)) * c / std::sqrt(1.0 - g_);
      constant_ = g_ * cc / (1.0 - g_) + 2.0001 * u * cc + tiny;
    } else {
      root_ = g_ * c / std::sqrt(1.0 - g_);
      constant_ = tiny;
    }
  }

  // The error bound for a point whose computed squared norm is `point_norm`, given
  // `root` >= its square root.
  double operator()(float point_norm, float root) const {
    const double x = static_cast<double>(point_norm);
    return (root_ * static_cast<double>(root) + linear_ * x + constant_) * (1.0 + 0x1p-30);
  }
  // An upper bound on the real |x| of a point, from `root` >= the square root of its
  // computed squared norm.
  double norm_bound(float root) const { return static_cast<double>(root) * norm_factor_; }

 private:
  double g_ = 0.0, norm_factor_ = 1.0, root_ = 0.0, linear_ = 0.0, constant_ = 0.0;
};

}  // namespace plovek::kernels
