// The register-blocked panel kernels, written once over a vector-traits type `V` and
// compiled once per SIMD level: a translation unit defines `V` inside its own
// namespace, under its own target pragma, and then includes this file.
//
// A micro-tile is R points (R <= kRows) against one panel of 2 * V::kLanes centroids:
// 2R accumulators, two panel loads and R broadcasts per point element. The
// nearest-centroid search folds each tile's scores into a per-lane running best
// (value, index) and reduces the lanes once per point at the end, so no n x k score
// matrix ever exists.
//
// No include guard: each level's translation unit includes it once.

constexpr int kRows = 6;
constexpr std::size_t kBlockRows = 96;  // points sharing one pass over all panels
constexpr std::size_t kWidth = 2 * V::kLanes;

template <int R>
inline void tile_dots(const float* x, std::ptrdiff_t ldx, const float* panel, std::size_t d,
                      typename V::F (&acc)[R][2]) {
  for (int r = 0; r < R; ++r) acc[r][0] = acc[r][1] = V::zero();
  for (std::size_t t = 0; t < d; ++t) {
    const typename V::F c0 = V::load(panel + t * kWidth);
    const typename V::F c1 = V::load(panel + t * kWidth + V::kLanes);
    for (int r = 0; r < R; ++r) {
      const typename V::F b = V::set1(x[r * ldx + static_cast<std::ptrdiff_t>(t)]);
      acc[r][0] = V::fmadd(b, c0, acc[r][0]);
      acc[r][1] = V::fmadd(b, c1, acc[r][1]);
    }
  }
}

// Running best per lane for one block of points: lane l of row r holds the best
// score among the centroids j = l (mod kWidth) seen so far, and its index.
struct BlockBest {
  alignas(64) float value[kBlockRows * kWidth];
  alignas(64) std::int32_t index[kBlockRows * kWidth];
};

template <int R, bool kEuclidean>
inline void fold_tile(const float* x, std::ptrdiff_t ldx, const float* point_norms, const float* panel,
                      const float* bias, std::int32_t first_index, std::size_t d, float* best_value,
                      std::int32_t* best_index) {
  typename V::F acc[R][2];
  tile_dots<R>(x, ldx, panel, d, acc);
  const typename V::F bias_lanes[2] = {V::load(bias), V::load(bias + V::kLanes)};
  const typename V::I index_lanes[2] = {V::iota(first_index), V::iota(first_index + V::kLanes)};
  for (int r = 0; r < R; ++r) {
    for (int h = 0; h < 2; ++h) {
      float* value = best_value + r * kWidth + h * V::kLanes;
      std::int32_t* index = best_index + r * kWidth + h * V::kLanes;
      if constexpr (kEuclidean) {
        // ((c.c - 2 c.x) + x.x), in that order; padded lanes carry NaN and never win.
        const typename V::F score = V::add(V::sub(bias_lanes[h], V::add(acc[r][h], acc[r][h])), V::set1(point_norms[r]));
        V::keep_if_less(score, index_lanes[h], value, index);
      } else {
        const typename V::F score = V::add(acc[r][h], bias_lanes[h]);
        V::keep_if_greater_or_equal(score, index_lanes[h], value, index);
      }
    }
  }
}

template <bool kEuclidean>
inline void fold_panel(const kernels::CentroidPanels& panels, std::size_t p, const float* x, std::ptrdiff_t ldx,
                       std::size_t count, const float* point_norms, BlockBest& best) {
  const float* panel = panels.panel(p);
  const float* bias = panels.score_bias() + p * kWidth;
  const auto first_index = static_cast<std::int32_t>(p * kWidth);
  const std::size_t d = panels.d();
  for (std::size_t g = 0; g < count; g += kRows) {
    const float* rows = x + static_cast<std::ptrdiff_t>(g) * ldx;
    const float* norms = point_norms + g;
    float* value = best.value + g * kWidth;
    std::int32_t* index = best.index + g * kWidth;
    switch (std::min<std::size_t>(kRows, count - g)) {
      case 6: fold_tile<6, kEuclidean>(rows, ldx, norms, panel, bias, first_index, d, value, index); break;
      case 5: fold_tile<5, kEuclidean>(rows, ldx, norms, panel, bias, first_index, d, value, index); break;
      case 4: fold_tile<4, kEuclidean>(rows, ldx, norms, panel, bias, first_index, d, value, index); break;
      case 3: fold_tile<3, kEuclidean>(rows, ldx, norms, panel, bias, first_index, d, value, index); break;
      case 2: fold_tile<2, kEuclidean>(rows, ldx, norms, panel, bias, first_index, d, value, index); break;
      default: fold_tile<1, kEuclidean>(rows, ldx, norms, panel, bias, first_index, d, value, index); break;
    }
  }
}

// The lanes' winners reduced to one index: Euclidean, the smallest value and the
// lowest index among equal ones; inner product, the largest and the highest index.
template <bool kEuclidean>
inline std::uint64_t reduce_lanes(const float* value, const std::int32_t* index) {
  float best = value[0];
  std::int32_t best_index = index[0];
  for (std::size_t l = 1; l < kWidth; ++l) {
    const bool better = kEuclidean ? (value[l] < best || (value[l] == best && index[l] < best_index))
                                   : (value[l] > best || (value[l] == best && index[l] > best_index));
    if (better) best = value[l], best_index = index[l];
  }
  return static_cast<std::uint64_t>(best_index);
}

template <bool kEuclidean>
void nearest_block(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                   const float* point_norms, std::uint64_t* labels) {
  BlockBest best;
  const float start = kEuclidean ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  std::fill(best.value, best.value + count * kWidth, start);
  std::fill(best.index, best.index + count * kWidth, 0);
  for (std::size_t p = 0; p < panels.panel_count(); ++p)
    fold_panel<kEuclidean>(panels, p, x, ldx, count, point_norms, best);
  for (std::size_t r = 0; r < count; ++r)
    labels[r] = reduce_lanes<kEuclidean>(best.value + r * kWidth, best.index + r * kWidth);
}

void nearest_centroids_impl(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                            std::size_t count, const float* point_norms, std::uint64_t* labels) {
  for (std::size_t first = 0; first < count; first += kBlockRows) {
    const std::size_t rows = std::min(kBlockRows, count - first);
    const float* block = x + static_cast<std::ptrdiff_t>(first) * ldx;
    if (panels.euclidean())
      nearest_block<true>(panels, block, ldx, rows, point_norms + first, labels + first);
    else
      nearest_block<false>(panels, block, ldx, rows, nullptr, labels + first);
  }
}

template <int R>
inline void store_tile_dots(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, float* out) {
  const std::size_t k = panels.k();
  alignas(64) float lanes[kWidth];
  for (std::size_t p = 0; p < panels.panel_count(); ++p) {
    typename V::F acc[R][2];
    tile_dots<R>(x, ldx, panels.panel(p), panels.d(), acc);
    const std::size_t first = p * kWidth;
    const std::size_t valid = std::min(kWidth, k - first);
    for (int r = 0; r < R; ++r) {
      V::store(lanes, acc[r][0]);
      V::store(lanes + V::kLanes, acc[r][1]);
      std::copy(lanes, lanes + valid, out + static_cast<std::size_t>(r) * k + first);
    }
  }
}

void centroid_dots_impl(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                        std::size_t count, float* out) {
  const std::size_t k = panels.k();
  for (std::size_t g = 0; g < count; g += kRows) {
    const float* rows = x + static_cast<std::ptrdiff_t>(g) * ldx;
    float* dest = out + g * k;
    switch (std::min<std::size_t>(kRows, count - g)) {
      case 6: store_tile_dots<6>(panels, rows, ldx, dest); break;
      case 5: store_tile_dots<5>(panels, rows, ldx, dest); break;
      case 4: store_tile_dots<4>(panels, rows, ldx, dest); break;
      case 3: store_tile_dots<3>(panels, rows, ldx, dest); break;
      case 2: store_tile_dots<2>(panels, rows, ldx, dest); break;
      default: store_tile_dots<1>(panels, rows, ldx, dest); break;
    }
  }
}
