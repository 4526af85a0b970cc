#include "simd/centroid_panels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "simd/kernels.h"

namespace plovek::kernels {

SimdLevel CentroidPanels::level_for(std::size_t k, std::size_t d, std::size_t widest) {
  const SimdLevel level = active_simd_level();
  // The vector kernels keep centroid indices in 32-bit lanes.
  if (k > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return SimdLevel::Scalar;
  if (level == SimdLevel::Avx512 && d > kSlabColumns && k <= panel_width(SimdLevel::Avx2)) return SimdLevel::Avx2;
  if (level == SimdLevel::Avx512 && panel_width(level) > widest) return SimdLevel::Avx2;
  return level;
}

CentroidPanels::CentroidPanels(std::size_t k, std::size_t d, bool euclidean, std::size_t widest)
    : widest_(widest),
      level_(level_for(k, d, widest)),
      k_(k),
      d_(d),
      width_(panel_width(level_)),
      panel_count_((k + width_ - 1) / width_),
      euclidean_(euclidean),
      slack_(d, euclidean, 0.0f),
      values_(zeroed_floats(panel_count_ * width_ * d)),
      bias_(zeroed_floats(panel_count_ * width_)) {
  for (std::size_t j = panel_count_ * width_; j-- > k;) bias_[j] = std::numeric_limits<float>::quiet_NaN();
}

constexpr std::align_val_t kPanelAlignment{64};

void CentroidPanels::AlignedDelete::operator()(float* p) const { ::operator delete[](p, kPanelAlignment); }

CentroidPanels::AlignedFloats CentroidPanels::zeroed_floats(std::size_t count) {
  AlignedFloats values(static_cast<float*>(::operator new[](std::max<std::size_t>(count, 1) * sizeof(float),
                                                            kPanelAlignment)));
  std::fill_n(values.get(), count, 0.0f);
  return values;
}

void CentroidPanels::store_norm(std::size_t j, const float* row) {
  const float norm = dot(row, row, d_);
  bias_[j] = euclidean_ ? norm : 0.0f;
  // Only ever raised: a bound for every centroid stored, the replaced ones included.
  if (!(norm > largest_norm_)) return;
  largest_norm_ = norm;
  slack_ = FusedScoreSlack(d_, euclidean_, largest_norm_);
}

void CentroidPanels::update_centroid(std::size_t j, const float* row) {
  write_lane(j, row);
  store_norm(j, row);
}

}  // namespace plovek::kernels
