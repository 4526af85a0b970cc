#include "centroid_panels.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <limits>

namespace plovek::kernels {

namespace {

std::size_t panel_width(SimdLevel level) {
  switch (level) {
    case SimdLevel::Avx512: return 32;
    case SimdLevel::Avx2: return 16;
    case SimdLevel::Scalar: break;
  }
  return 1;
}

// The vector kernels keep centroid indices in 32-bit lanes.
SimdLevel level_for(std::size_t k) {
  const SimdLevel level = active_simd_level();
  return k > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ? SimdLevel::Scalar : level;
}

}  // namespace

CentroidPanels::CentroidPanels(const float* centroids, std::size_t k, std::size_t d, bool euclidean)
    : level_(level_for(k)),
      k_(k),
      d_(d),
      width_(panel_width(level_)),
      panel_count_((k + width_ - 1) / width_),
      euclidean_(euclidean),
      values_(zeroed_floats(panel_count_ * width_ * d)),
      bias_(zeroed_floats(panel_count_ * width_)) {
  for (std::size_t j = panel_count_ * width_; j-- > k;) bias_[j] = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t j = 0; j < k; ++j) update_centroid(j, centroids + j * d);
}

constexpr std::align_val_t kPanelAlignment{64};

void CentroidPanels::AlignedDelete::operator()(float* p) const { ::operator delete[](p, kPanelAlignment); }

CentroidPanels::AlignedFloats CentroidPanels::zeroed_floats(std::size_t count) {
  AlignedFloats values(static_cast<float*>(::operator new[](std::max<std::size_t>(count, 1) * sizeof(float),
                                                            kPanelAlignment)));
  std::fill_n(values.get(), count, 0.0f);
  return values;
}

void CentroidPanels::store_norm(std::size_t j, const float* row) { bias_[j] = euclidean_ ? dot(row, row, d_) : 0.0f; }

void CentroidPanels::update_centroid(std::size_t j, const float* row) {
  write_lane(j, row);
  store_norm(j, row);
}

void CentroidPanels::update_centroid_to_quotient(std::size_t j, const float* sum, float divisor, float* row) {
  switch (level_) {
    case SimdLevel::Avx512: quotient_into_panel_avx512(panel_of(j), lane_of(j), sum, divisor, row, d_); break;
    case SimdLevel::Avx2: quotient_into_panel_avx2(panel_of(j), lane_of(j), sum, divisor, row, d_); break;
    case SimdLevel::Scalar:
      for (std::size_t t = 0; t < d_; ++t) row[t] = sum[t] / divisor;
      write_lane(j, row);
      break;
  }
  store_norm(j, row);
}

void nearest_centroids(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                       const float* point_norms, std::uint64_t* labels) {
  switch (panels.level()) {
    case SimdLevel::Avx512: return nearest_centroids_avx512(panels, x, ldx, count, point_norms, labels);
    case SimdLevel::Avx2: return nearest_centroids_avx2(panels, x, ldx, count, point_norms, labels);
    case SimdLevel::Scalar: break;
  }
  nearest_centroids_scalar(panels, x, ldx, count, point_norms, labels);
}

void centroid_dots(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count, float* out) {
  switch (panels.level()) {
    case SimdLevel::Avx512: return centroid_dots_avx512(panels, x, ldx, count, out);
    case SimdLevel::Avx2: return centroid_dots_avx2(panels, x, ldx, count, out);
    case SimdLevel::Scalar: break;
  }
  centroid_dots_scalar(panels, x, ldx, count, out);
}

void paired_point_dots(const CentroidPanels& panels, const float* x, float* out) {
  switch (panels.level()) {
    case SimdLevel::Avx512: return paired_point_dots_avx512(panels, x, out);
    case SimdLevel::Avx2: return paired_point_dots_avx2(panels, x, out);
    case SimdLevel::Scalar: break;
  }
  centroid_dots_scalar(panels, x, 0, 1, out);
}

// The scalar level stores one centroid per panel, i.e. plain rows.
void nearest_centroids_scalar(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                              const float* point_norms, std::uint64_t* labels) {
  const std::size_t k = panels.k(), d = panels.d();
  const float* bias = panels.score_bias();
  for (std::size_t r = 0; r < count; ++r) {
    const float* point = x + static_cast<std::ptrdiff_t>(r) * ldx;
    std::uint64_t best_index = 0;
    if (panels.euclidean()) {
      float best = std::numeric_limits<float>::infinity();
      for (std::size_t j = 0; j < k; ++j) {
        const float score = (bias[j] - 2.0f * dot_f32_scalar(point, panels.panel(j), d)) + point_norms[r];
        if (score < best) best = score, best_index = j;
      }
    } else {
      float best = -std::numeric_limits<float>::infinity();
      for (std::size_t j = 0; j < k; ++j) {
        const float score = dot_f32_scalar(point, panels.panel(j), d);
        if (score >= best) best = score, best_index = j;
      }
    }
    labels[r] = best_index;
  }
}

void centroid_dots_scalar(const CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                          float* out) {
  const std::size_t k = panels.k(), d = panels.d();
  for (std::size_t r = 0; r < count; ++r) {
    const float* point = x + static_cast<std::ptrdiff_t>(r) * ldx;
    for (std::size_t j = 0; j < k; ++j) out[r * k + j] = dot_f32_scalar(point, panels.panel(j), d);
  }
}

}  // namespace plovek::kernels
