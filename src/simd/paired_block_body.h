// The balancing step's dot products (two chains of rounded products, kernels.h) of a
// block of points with packed centroids, at a vector level, written over the level's
// traits `V`; included once per level by vector_kernels.h, after panel_body.h. Every
// lane adds the same rounded products in the same order as paired_point_dots, so a dot
// product computed here ahead of a step equals the step's own, bit for bit.

// Points per micro-tile: each holds four accumulators (two chains of two vectors), and
// the tile must stay within the level's registers (32 with AVX-512, 16 with AVX2).
constexpr int kPairedRows = V::kLanes >= 16 ? 6 : 3;

// R points against one panel, its first lanes only when kHalf (a last panel holding at
// most kLanes centroids). The even elements go to `even`, the odd ones to a second chain,
// added to it at the end (an element left over by an odd d is even).
template <int R, bool kHalf>
inline void paired_tile(const float* const* rows, const float* panel, std::size_t d, typename V::F (&even)[R][2]) {
  constexpr std::size_t H = kHalf ? 1 : 2;
  typename V::F odd[R][2];
  for (int r = 0; r < R; ++r) even[r][0] = even[r][1] = odd[r][0] = odd[r][1] = V::zero();
  const auto add_element = [&](typename V::F (&chain)[R][2], std::size_t t) {
    typename V::F column[H];
    for (std::size_t h = 0; h < H; ++h) column[h] = V::load(panel + t * kWidth + h * V::kLanes);
    for (int r = 0; r < R; ++r) {
      const typename V::F x = V::set1(rows[r][t]);
      for (std::size_t h = 0; h < H; ++h) chain[r][h] = V::add(chain[r][h], V::mul(x, column[h]));
    }
  };
  std::size_t t = 0;
  for (; t + 2 <= d; t += 2) {
    add_element(even, t);
    add_element(odd, t + 1);
  }
  if (t < d) add_element(even, t);
  for (int r = 0; r < R; ++r)
    for (std::size_t h = 0; h < H; ++h) even[r][h] = V::add(even[r][h], odd[r][h]);
}

// The tile for the `count` points left (count >= 1), at most kPairedRows of them, against
// the panel holding lanes lane .. lane + valid - 1: out[r * ldo + j - lane] for them.
template <int R = kPairedRows>
inline void paired_tile_of(std::size_t count, const float* panel, std::size_t d, std::size_t valid,
                           const float* const* rows, float* out, std::size_t ldo) {
  if constexpr (R > 1) {
    if (count < static_cast<std::size_t>(R)) return paired_tile_of<R - 1>(count, panel, d, valid, rows, out, ldo);
  }
  typename V::F acc[R][2];
  if (valid <= V::kLanes) {
    paired_tile<R, true>(rows, panel, d, acc);
  } else {
    paired_tile<R, false>(rows, panel, d, acc);
  }
  for (int r = 0; r < R; ++r) store_panel_dots(acc[r], valid, out + static_cast<std::size_t>(r) * ldo);
}

// A panel at a time (it stays in the cache for all the points), the points a tile at a
// time.
inline void paired_block_dots_impl(const kernels::CentroidPanels& panels, std::size_t first, std::size_t last,
                                   const float* const* rows, std::size_t count, float* out, std::size_t ldo) {
  for (std::size_t lane = first; lane < last; lane += kWidth) {
    const float* panel = panels.panel(lane / kWidth);
    const std::size_t valid = std::min(kWidth, last - lane);
    for (std::size_t g = 0; g < count; g += kPairedRows) {
      paired_tile_of(count - g, panel, panels.d(), valid, rows + g, out + g * ldo + (lane - first), ldo);
    }
  }
}
