// Centroids packed for the block kernels.
//
// The vector levels store the centroids in panels of `width` centroids, element t of
// every centroid of a panel side by side ([t][lane]), padded with zero centroids, so
// that a register-blocked kernel scores several points against a whole panel with
// one broadcast per point element. The scalar level keeps plain rows and computes
// every dot product with the scalar reference kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "simd/rounding_model.h"
#include "simd/level.h"

namespace plovek::kernels {

class CentroidPanels {
 public:
  // Packs k centroid rows of d values (row-major) for the active SIMD level.
  // `euclidean` selects the score the nearest-centroid search uses.
  CentroidPanels(const float* centroids, std::size_t k, std::size_t d, bool euclidean);

  std::size_t k() const { return k_; }
  std::size_t d() const { return d_; }
  SimdLevel level() const { return level_; }
  std::size_t width() const { return width_; }
  std::size_t panel_count() const { return panel_count_; }
  bool euclidean() const { return euclidean_; }
  const float* panel(std::size_t p) const { return values_.get() + p * width_ * d_; }
  // Per padded centroid: c.c for the Euclidean score, 0 for the inner product; NaN
  // for padding, so a padded centroid never wins a comparison.
  const float* score_bias() const { return bias_.get(); }
  // The slack of fused scores against the centroids stored by the constructor and the
  // two updates below (from the largest c.c among them). Kernels that rewrite lanes in
  // place (panel_of) do not keep it.
  const FusedScoreSlack& fused_slack() const { return slack_; }

  // Replaces centroid j by `row` (d values).
  void update_centroid(std::size_t j, const float* row);

  // For kernels that rewrite centroid j in place: the panel holding it, its lane in
  // that panel, and the score biases (its entry must follow the new row). The width
  // is a power of two: masks instead of divisions.
  float* panel_of(std::size_t j) { return values_.get() + (j & ~(width_ - 1)) * d_; }
  std::size_t lane_of(std::size_t j) const { return j & (width_ - 1); }
  float* writable_score_bias() { return bias_.get(); }

 private:
  // Centroid j's d values into its lane (its score bias left as it is).
  void write_lane(std::size_t j, const float* row) {
    const std::size_t width = width_;
    float* __restrict column = panel_of(j) + lane_of(j);
    const float* __restrict source = row;
    for (std::size_t t = 0; t < d_; ++t) column[t * width] = source[t];
  }
  // Centroid j's score bias and the largest norm from `row`.
  void store_norm(std::size_t j, const float* row);

  SimdLevel level_;
  std::size_t k_;
  std::size_t d_;
  std::size_t width_;
  std::size_t panel_count_;
  bool euclidean_;
  float largest_norm_ = 0.0f;
  FusedScoreSlack slack_;
  // Cache-line aligned, so that no vector load of a panel row straddles two lines.
  struct AlignedDelete {
    void operator()(float* p) const;
  };
  using AlignedFloats = std::unique_ptr<float[], AlignedDelete>;
  static AlignedFloats zeroed_floats(std::size_t count);

  AlignedFloats values_;
  AlignedFloats bias_;
};

}  // namespace plovek::kernels
