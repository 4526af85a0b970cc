#include "engine/drift_history.h"

#include "simd/kernels.h"

namespace plovek {

namespace {

// Assignments whose centroids are kept: a bound not stored again for longer moves by the
// totals. At most this many, in at most this many bytes and a quarter of the data's.
constexpr std::size_t kMostKept = 32;
constexpr std::size_t kKeptBytes = std::size_t{64} << 20;
constexpr std::size_t kKeptShareOfData = 4;
constexpr std::size_t kStamps = DriftHistory::kNoStamp + 1;

}  // namespace

void DriftHistory::reset(std::size_t k, std::size_t d, std::size_t group_count, std::size_t n) {
  group_count_ = group_count;
  const std::size_t bytes = std::min(kKeptBytes, n * d * sizeof(float) / kKeptShareOfData);
  capacity_ = std::min(kMostKept, bytes / std::max<std::size_t>(1, k * d * sizeof(float)));
  group_shifts_.assign(kStamps * group_count_, 0.0f);
  shifts_.assign(kStamps, 0.0);
  per_group_.assign(group_count_, 0.0);
  clear();
}

void DriftHistory::clear() {
  kept_.clear();
  next_ = 0;
}

void DriftHistory::displacements(const Matrix& centroids, const CentroidGroups& groups, const Kept& kept,
                                 std::vector<double>& per_group) const {
  std::fill(per_group.begin(), per_group.end(), 0.0);
  const std::size_t d = centroids.cols();
  for (std::size_t j = 0; j < centroids.rows(); ++j) {
    const float* now = centroids.row(j).data();
    const float* then = kept.centroids.data() + j * d;
    const double square = kernels::squared_distance_f64(now, then, d);
    double& largest = per_group[groups.group_of[j]];
    largest = std::max(largest, drift_from_square(square, d));
  }
}

void DriftHistory::measure(const Matrix& centroids, const CentroidGroups& groups,
                           std::span<const float> group_totals, double total) {
  // Every stamp without kept centroids moves by the totals now.
  for (std::size_t s = 0; s < kStamps; ++s) {
    std::copy(group_totals.begin(), group_totals.end(), group_shifts_.begin() + s * group_count_);
    shifts_[s] = total;
  }
  for (const Kept& kept : kept_) {
    displacements(centroids, groups, kept, per_group_);
    float* shifts = group_shifts_.data() + kept.stamp * group_count_;
    double largest = 0.0;
    for (std::size_t g = 0; g < group_count_; ++g) {
      const double moved = (static_cast<double>(kept.group_totals[g]) + per_group_[g]) * (1.0 + kDoubleSlop);
      shifts[g] = std::min(shifts[g], kernels::rounded_up(moved));
      largest = std::max(largest, per_group_[g]);
    }
    shifts_[kept.stamp] = std::min(total, (kept.total + largest) * (1.0 + kDoubleSlop));
  }
}

DriftHistory::Stamp DriftHistory::keep(const Matrix& centroids, std::span<const float> group_totals, double total,
                                       bool& expired) {
  expired = next_ == kNoStamp;
  if (expired) clear();
  if (capacity_ > 0) {
    // The oldest's buffers take the newest (no allocation, no fresh pages).
    Kept slot;
    if (kept_.size() == capacity_) {
      slot = std::move(kept_.front());
      kept_.pop_front();
    }
    slot.stamp = next_;
    slot.centroids.assign(centroids.data(), centroids.data() + centroids.rows() * centroids.cols());
    slot.group_totals.assign(group_totals.begin(), group_totals.end());
    slot.total = total;
    kept_.push_back(std::move(slot));
  }
  return next_++;
}

}  // namespace plovek
