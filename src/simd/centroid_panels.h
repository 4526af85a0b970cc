// Centroids packed for the block kernels.
//
// The vector levels store the centroids in panels of `width` centroids, element t of
// every centroid of a panel side by side ([t][lane]), padded with zero centroids, so
// that a register-blocked kernel scores several points against a whole panel with
// one broadcast per point element. The scalar level keeps plain rows and computes
// every dot product with the scalar reference kernel.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "simd/rounding_model.h"
#include "simd/level.h"

namespace plovek::kernels {

class CentroidPanels {
 public:
  // Packs k centroid rows of d values (row-major) for the SIMD level level_for() picks.
  // `euclidean` selects the score the nearest-centroid search uses.
  CentroidPanels(const float* centroids, std::size_t k, std::size_t d, bool euclidean)
      : CentroidPanels(k, d, euclidean, [centroids, d](std::size_t j) { return centroids + j * d; }) {}
  // No limit on the panels' width.
  static constexpr std::size_t kAnyWidth = ~std::size_t{0};
  // The same with centroid j's d values at row_of(j), in panels no wider than `widest`
  // centroids where a vector level has them that narrow.
  template <class RowOf>
  CentroidPanels(std::size_t k, std::size_t d, bool euclidean, RowOf row_of, std::size_t widest = kAnyWidth)
      : CentroidPanels(k, d, euclidean, widest) {
    repack(row_of);
  }

  // The level panels of k centroids of d values are packed for: the active one, but
  // scalar beyond what 32-bit lanes index, and for rows searched in slabs AVX2 rather
  // than AVX-512 where AVX2's narrower panels hold every centroid: half the padding to
  // keep and to read past with every panel row, at the same rate per centroid.
  // Asked for panels no wider than `widest`, AVX2 rather than AVX-512.
  static SimdLevel level_for(std::size_t k, std::size_t d, std::size_t widest = kAnyWidth);
  // Whether repack() packs k centroids of d values as the constructor would now: the
  // same sizes, metric and SIMD level.
  bool fits(std::size_t k, std::size_t d, bool euclidean) const {
    return k == k_ && d == d_ && euclidean == euclidean_ && level_ == level_for(k, d, widest_);
  }
  // `panels` made to hold k centroids of d values, centroid j from row_of(j): packed
  // again in place where they fit, else allocated afresh.
  template <class RowOf>
  static void pack_into(std::unique_ptr<CentroidPanels>& panels, std::size_t k, std::size_t d, bool euclidean,
                        RowOf row_of) {
    if (panels && panels->fits(k, d, euclidean))
      panels->repack(row_of);
    else
      panels = std::make_unique<CentroidPanels>(k, d, euclidean, row_of);
  }
  // Replaces every centroid, centroid j by the d values at row_of(j): the panels as the
  // constructor packs them (the slack from these centroids alone), without allocating.
  // With `squares`, squares[j] also receives the sum of the squares of the exact
  // differences between centroid j's new values and those they replace, in double, in
  // ascending order of the values.
  template <class RowOf>
  void repack(RowOf row_of, double* squares = nullptr) {
    if (squares)
      write_lanes<true>(row_of, squares);
    else
      write_lanes<false>(row_of, nullptr);
    largest_norm_ = 0.0f;
    slack_ = FusedScoreSlack(d_, euclidean_, 0.0f);
    for (std::size_t j = 0; j < k_; ++j) store_norm(j, row_of(j));
  }

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
  // For the nearest-centroid search of long rows, a hint carried from one block of
  // points to the next (no result depends on it): whether the fused scores left most
  // points of the last block undecided, so that the next one is scored with rounded
  // products at once.
  bool mostly_undecided() const { return mostly_undecided_.load(std::memory_order_relaxed); }
  void note_mostly_undecided(bool mostly) const { mostly_undecided_.store(mostly, std::memory_order_relaxed); }
  // Another such hint: whether the last block left any point undecided, so that the
  // next notes where its near ties' candidates lie. Written only when it changes: the
  // workers' blocks would otherwise take the panels' cache line from each other at
  // every block (a pass of 16 columns and 16 centroids ran at 0.68x).
  bool some_undecided() const { return some_undecided_.load(std::memory_order_relaxed); }
  void note_some_undecided(bool some) const {
    if (some != some_undecided()) some_undecided_.store(some, std::memory_order_relaxed);
  }

  // Replaces centroid j by `row` (d values).
  void update_centroid(std::size_t j, const float* row);

  // For kernels that rewrite centroid j in place: the panel holding it, its lane in
  // that panel, and the score biases (its entry must follow the new row). The width
  // is a power of two: masks instead of divisions.
  float* panel_of(std::size_t j) { return values_.get() + (j & ~(width_ - 1)) * d_; }
  std::size_t lane_of(std::size_t j) const { return j & (width_ - 1); }
  float* writable_score_bias() { return bias_.get(); }

 private:
  // Zero panels for k centroids, the score biases of the padding NaN.
  CentroidPanels(std::size_t k, std::size_t d, bool euclidean, std::size_t widest);
  // Centroid j's d values into its lane (its score bias left as it is).
  void write_lane(std::size_t j, const float* row) {
    const std::size_t width = width_;
    float* __restrict column = panel_of(j) + lane_of(j);
    const float* __restrict source = row;
    for (std::size_t t = 0; t < d_; ++t) column[t * width] = source[t];
  }
  // Every centroid j's d values from row_of(j) into its lane, and with kMeasure the sums
  // of repack(). A panel a few of its rows at a time (they stay in the cache while every
  // lane is written), a few lanes at a time (their sums are independent chains; a group
  // short of kChains lanes repeats its last one, and the repeats are dropped).
  template <bool kMeasure, class RowOf>
  void write_lanes(RowOf row_of, double* squares) {
    constexpr std::size_t kChains = 4, kPanelRowsAtATime = 256;
    if (kMeasure) std::fill_n(squares, k_, 0.0);
    for (std::size_t first = 0; first < k_; first += width_) {
      const std::size_t lanes = std::min(width_, k_ - first);
      for (std::size_t t0 = 0; t0 < d_; t0 += kPanelRowsAtATime) {
        const std::size_t t1 = std::min(d_, t0 + kPanelRowsAtATime);
        for (std::size_t lane0 = 0; lane0 < lanes; lane0 += kChains) {
          const std::size_t present = std::min(kChains, lanes - lane0);
          const float* rows[kChains];
          float* stored[kChains];
          double sums[kChains];
          for (std::size_t c = 0; c < kChains; ++c) {
            const std::size_t j = first + lane0 + std::min(c, present - 1);
            rows[c] = row_of(j);
            stored[c] = panel_of(j) + lane_of(j);
            sums[c] = kMeasure ? squares[j] : 0.0;
          }
          for (std::size_t t = t0; t < t1; ++t)
            for (std::size_t c = 0; c < kChains; ++c) {
              const float value = rows[c][t];
              if (kMeasure) {
                const double delta = static_cast<double>(value) - static_cast<double>(stored[c][t * width_]);
                sums[c] += delta * delta;
              }
              stored[c][t * width_] = value;
            }
          if (kMeasure) std::copy_n(sums, present, squares + first + lane0);
        }
      }
    }
  }
  // Centroid j's score bias and the largest norm from `row`.
  void store_norm(std::size_t j, const float* row);

  std::size_t widest_;
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
  mutable std::atomic<bool> mostly_undecided_{false};
  mutable std::atomic<bool> some_undecided_{true};
};

}  // namespace plovek::kernels
