// How far the centroids have got since earlier assignments, for the assignment bounds.
//
// A lower bound stored at an earlier assignment moves, by the time it is read, by how
// far the centroids it covers may have got since. The drift totals (each assignment's
// largest drift, summed) give that cheaply, but centroids that wander back and forth
// run their totals far past where they actually are: their displacement from where
// they stood then, measured against a kept copy of those centroids, is often much
// smaller. A bound is stamped with the assignment it was stored at; a bound stored
// with the totals then moves by the smaller of the totals since and the displacement
// since, the latter only while that assignment's centroids are kept.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "engine/centroid_groups.h"
#include "engine/matrix.h"
#include "simd/rounding_model.h"

namespace plovek {

// A relative step that covers the rounding of a few double operations.
inline constexpr double kDoubleSlop = 0x1p-50;

// The real drift |c' - c| from the double sum of the squares of the differences of the
// d values of the f32 rows, rounded up: the sum lies within (d + 2) 2^-53 of the real
// one (relative), its square root within half that, and two more roundings follow.
inline double drift_from_square(double sum, std::size_t d) {
  return std::sqrt(sum) * (1.0 + std::max(0x1p-40, static_cast<double>(d + 8) * kernels::kDoubleUnitRoundoff));
}

class DriftHistory {
 public:
  using Stamp = std::uint8_t;
  // The stamp of a bound that moves by the totals alone.
  static constexpr Stamp kNoStamp = 255;

  // For `group_count` groups of the k centroids of d columns, trained on n rows.
  void reset(std::size_t k, std::size_t d, std::size_t group_count, std::size_t n);

  // With the centroids of a new assignment and the totals up to it (per group rounded
  // up to f32; of all groups' largest drifts in double): the shifts of the bounds
  // stamped so far, moved to these centroids.
  void measure(const Matrix& centroids, const CentroidGroups& groups, std::span<const float> group_totals,
               double total);
  // Keeps these centroids (with the same totals) as the new assignment's and returns the
  // stamp of the bounds stored at it. When the stamps run out it returns the first one
  // again and sets `expired`: every bound stamped before must then take kNoStamp.
  Stamp keep(const Matrix& centroids, std::span<const float> group_totals, double total, bool& expired);
  // Forgets every assignment kept (the groups were formed again, their totals restarted).
  void clear();

  // What a group bound stamped `stamp` moves by, per unit of its scale, for group g
  // (at least the totals then plus the displacement since, at most the totals now).
  float group_shift(Stamp stamp, std::size_t g) const { return group_shifts_[stamp * group_count_ + g]; }
  // All of them: group_shift(s, g) at [s * group count + g].
  const float* group_shifts() const { return group_shifts_.data(); }
  // The same for a bound on every centroid.
  double shift(Stamp stamp) const { return shifts_[stamp]; }

 private:
  struct Kept {
    Stamp stamp = kNoStamp;
    std::vector<float> centroids;  // k x d, row-major
    std::vector<float> group_totals;
    double total = 0.0;
  };
  // The largest displacement per group of the centroids since `kept`.
  void displacements(const Matrix& centroids, const CentroidGroups& groups, const Kept& kept,
                     std::vector<double>& per_group) const;

  std::size_t group_count_ = 0;
  std::size_t capacity_ = 0;  // assignments whose centroids are kept
  std::deque<Kept> kept_;  // oldest first; their buffers are reused once capacity_ are kept
  Stamp next_ = 0;
  std::vector<float> group_shifts_;  // per stamp and group
  std::vector<double> shifts_;       // per stamp
  std::vector<double> per_group_;    // scratch
};

}  // namespace plovek
