// The register-blocked panel kernels at a vector level, written over the level's
// traits `V`; included once per level by vector_kernels.h.
//
// A micro-tile is R points (R <= kRows) against one panel of 2 * V::kLanes centroids:
// 2R accumulators, two panel loads and R broadcasts per point element. The
// nearest-centroid search folds each tile's scores into a per-lane running best
// (value, index) and reduces the lanes once per point at the end, so no n x k score
// matrix ever exists.

constexpr int kRows = 6;

// Calls tile.template operator()<R>(g) for consecutive micro-tiles of `count` points:
// the one from point g holds R = min(kRows, count - g) of them.
template <class Tile>
inline void for_each_micro_tile(std::size_t count, Tile&& tile) {
  static_assert(kRows == 6, "one case per tile size");
  for (std::size_t g = 0; g < count; g += kRows) {
    switch (std::min<std::size_t>(kRows, count - g)) {
      case 6: tile.template operator()<6>(g); break;
      case 5: tile.template operator()<5>(g); break;
      case 4: tile.template operator()<4>(g); break;
      case 3: tile.template operator()<3>(g); break;
      case 2: tile.template operator()<2>(g); break;
      default: tile.template operator()<1>(g); break;
    }
  }
}

constexpr std::size_t kWidth = 2 * V::kLanes;
static_assert(kWidth % V::kTileCentroids == 0, "centroid tiles must not straddle panels");

// Rows may lie anywhere: `rows[r]` is point r's first element.
template <int R>
inline void tile_dots(const float* const* rows, const float* panel, std::size_t d, typename V::F (&acc)[R][2]) {
  for (int r = 0; r < R; ++r) acc[r][0] = acc[r][1] = V::zero();
  for (std::size_t t = 0; t < d; ++t) {
    const typename V::F c0 = V::load(panel + t * kWidth);
    const typename V::F c1 = V::load(panel + t * kWidth + V::kLanes);
    for (int r = 0; r < R; ++r) {
      const typename V::F b = V::set1(rows[r][t]);
      acc[r][0] = V::fmadd(b, c0, acc[r][0]);
      acc[r][1] = V::fmadd(b, c1, acc[r][1]);
    }
  }
}

// The nearest-centroid search puts points in the lanes: a block of kPointVectors
// vectors of points, stored transposed ([t][point]), against kTileCentroids centroids
// of a panel at a time, each centroid element broadcast. Every lane then scans the
// centroids in ascending order with the metric's own comparison, exactly like the
// sequential definition, and no lanes need reducing at the end.
constexpr std::size_t kBlockPoints = V::kPointVectors * V::kLanes;

inline std::uintptr_t address_of(const float* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Asks for the cache line `floats` values past p, which may lie past the data (an
// integer address; a prefetch never faults).
inline void fetch_ahead(const float* p, std::size_t floats) {
  __builtin_prefetch(reinterpret_cast<const void*>(address_of(p) + floats * sizeof(float)));
}

// A tile's accumulators: kPointVectors x kTileCentroids vectors.
constexpr std::size_t kTileFloats = V::kPointVectors * V::kTileCentroids * V::kLanes;
using TileSums = typename V::F[V::kPointVectors][V::kTileCentroids];

// acc + a * b: rounded once (kFused), or the product rounded, then the sum.
template <bool kFused>
inline typename V::F multiply_add(typename V::F a, typename V::F b, typename V::F acc) {
  return kFused ? V::fmadd(a, b, acc) : V::add(acc, V::mul(a, b));
}

// acc + a * b: rounded once (kFused), or the product rounded, then the sum.
// Adds to `acc` the products of `columns` transposed point elements and the tile's
// centroids (lanes lane0 .. of `panel`, the panel's row of the slab's first column) in
// ascending order: fused multiply-adds (kFused), else rounded products added. With
// kFetchPanel, the panel rows a few ahead are fetched: a panel too large for the cache
// is read in steps of a whole row, of which the tile reads a part, and the hardware
// does not always fetch such a stream ahead.
template <bool kFused, bool kFetchPanel>
inline void accumulate_tile(const float* xt, std::size_t columns, const float* panel, std::size_t lane0,
                            TileSums& acc) {
  constexpr std::size_t P = V::kPointVectors, J = V::kTileCentroids, kRowsAhead = 16;
  for (std::size_t t = 0; t < columns; ++t) {
    typename V::F x[P];
    for (std::size_t p = 0; p < P; ++p) x[p] = V::load(xt + t * kBlockPoints + p * V::kLanes);
    const float* c = panel + t * kWidth + lane0;
    if (kFetchPanel) fetch_ahead(c, kRowsAhead * kWidth);
    for (std::size_t j = 0; j < J; ++j) {
      const typename V::F cj = V::set1(c[j]);
      for (std::size_t p = 0; p < P; ++p) acc[p][j] = multiply_add<kFused>(x[p], cj, acc[p][j]);
    }
  }
}

// Each lane also keeps its runner-up: the best score of the centroids other than its
// best one (NaN scores, from padding, never count: where either operand is NaN, the
// traits' min and max return the second one).
// kGroups: each lane also folds the tile's scores into its group's best score at
// `group_extreme` (kBlockPoints values). `near[p]` notes the lanes of point vector p
// where a centroid of the tile scores within `margins` (per point) of the best so far:
// a centroid within that margin of the final best lies in a tile so noted, for its
// best only gets nearer (kNear; `near` unused otherwise).
template <bool kEuclidean, bool kGroups, bool kNear>
inline void fold_centroid_tile(const TileSums& acc, const float* bias, std::int32_t first_index, const float* margins,
                               float* best_value, float* second_value, std::int32_t* best_index, float* group_extreme,
                               std::uint32_t* near) {
  using Rule = std::conditional_t<kEuclidean, kernels::LowestScoreFirst, kernels::HighestScoreFirst>;
  using Order = LaneOrder<Rule>;
  constexpr std::size_t P = V::kPointVectors, J = V::kTileCentroids;
  // Unrolled whole, so that every accumulator stays a register (indexed in a loop, the
  // tile's sums would be kept in memory through the multiply-adds too).
#pragma GCC unroll 8
  for (std::size_t p = 0; p < P; ++p) {
    typename V::F value = V::load(best_value + p * V::kLanes);
    typename V::F second = V::load(second_value + p * V::kLanes);
    typename V::I index = V::load_index(best_index + p * V::kLanes);
    typename V::F extreme = kGroups ? V::load(group_extreme + p * V::kLanes) : value;
    typename V::F tile_nearest = V::set1(Rule::kFarthest);
#pragma GCC unroll 16
    for (std::size_t j = 0; j < J; ++j) {
      const typename V::I j_index = V::set1_index(first_index + static_cast<std::int32_t>(j));
      // Euclidean: c.c - 2 c.x (the doubling is exact, so one rounding either way):
      // adding x.x, the same for every centroid, changes no order the slack leaves
      // decided. Padding carries NaN and never wins.
      const typename V::F score = kEuclidean ? V::fnmadd(V::set1(2.0f), acc[p][j], V::set1(bias[j]))
                                             : V::add(acc[p][j], V::set1(bias[j]));
      const typename V::M take = Order::replaces(score, value);
      if constexpr (kGroups) extreme = Order::nearer(score, extreme);
      if constexpr (kNear) tile_nearest = Order::nearer(score, tile_nearest);
      second = Order::nearer(Order::farther(value, score), second);
      value = V::select(take, score, value);
      index = V::select_index(take, j_index, index);
    }
    V::store(best_value + p * V::kLanes, value);
    V::store(second_value + p * V::kLanes, second);
    V::store_index(best_index + p * V::kLanes, index);
    if constexpr (kGroups) V::store(group_extreme + p * V::kLanes, extreme);
    if constexpr (kNear)
      near[p] = V::bits(Order::up_to(tile_nearest, Order::behind(value, V::load(margins + p * V::kLanes))));
  }
}

// Rounded-product dot products for near ties: each lane its centroid's one ascending
// chain as exact_point_dots computes it, kChainHalves half panels (V::kLanes centroids
// each) side by side.
constexpr std::size_t kChainHalves = 4;

struct CandidateHalf {
  std::uint32_t half;   // panel * 2 + the half within it
  std::uint32_t lanes;  // the candidates, one bit per lane
};

// The rounded-product dot products of x with the centroids of `halves` (repeats
// allowed), half h's to dots[h * V::kLanes ..].
inline void rounded_half_dots(const kernels::CentroidPanels& panels, const float* x,
                              const std::uint32_t (&halves)[kChainHalves], float* dots) {
  const float* columns[kChainHalves];
  typename V::F acc[kChainHalves];
  for (std::size_t h = 0; h < kChainHalves; ++h) {
    columns[h] = panels.panel(halves[h] / 2) + (halves[h] % 2) * V::kLanes;
    acc[h] = V::zero();
  }
  for (std::size_t t = 0; t < panels.d(); ++t) {
    const typename V::F b = V::set1(x[t]);
    for (std::size_t h = 0; h < kChainHalves; ++h)
      acc[h] = V::add(acc[h], V::mul(b, V::load(columns[h] + t * kWidth)));
  }
  for (std::size_t h = 0; h < kChainHalves; ++h) V::store(dots + h * V::kLanes, acc[h]);
}

// Offers point x's candidates in `halves` to `nearest`, scored from rounded products.
inline void offer_rounded(const kernels::CentroidPanels& panels, const float* x, float point_norm,
                          const std::vector<CandidateHalf>& halves, const std::uint32_t* index_of,
                          kernels::NearestSoFar& nearest) {
  const float* norms = panels.euclidean() ? panels.score_bias() : nullptr;
  alignas(64) float dots[kChainHalves * V::kLanes];
  for (std::size_t first = 0; first < halves.size(); first += kChainHalves) {
    const std::size_t used = std::min(kChainHalves, halves.size() - first);
    std::uint32_t chained[kChainHalves];
    for (std::size_t h = 0; h < kChainHalves; ++h) chained[h] = halves[first + std::min(h, used - 1)].half;
    rounded_half_dots(panels, x, chained, dots);
    for (std::size_t h = 0; h < used; ++h) {
      for (std::uint32_t lanes = halves[first + h].lanes; lanes != 0; lanes &= lanes - 1) {
        const auto lane = static_cast<std::uint32_t>(__builtin_ctz(lanes));
        const std::uint32_t position = chained[h] * static_cast<std::uint32_t>(V::kLanes) + lane;
        kernels::offer_by_rule(nearest, dots[h * V::kLanes + lane], norms, position, point_norm, index_of);
      }
    }
  }
}

// Each point's margin, twice the fused slack of its scores (FusedScoreSlack::margin),
// from `squares`: its x.x, or a fused sum of squares for the inner product.
inline void fused_margins(const kernels::FusedScoreSlack& slack, const float* squares, float* margins) {
  const typename V::F root = V::set1(slack.root()), linear = V::set1(slack.linear());
  const typename V::F constant = V::set1(slack.constant());
  const typename V::F twice = V::set1(2.0f * kernels::FusedScoreSlack::kEvaluationMargin);
  for (std::size_t p = 0; p < V::kPointVectors; ++p) {
    const typename V::F square = V::load(squares + p * V::kLanes);
    V::store(margins + p * V::kLanes,
             V::mul(V::add(V::add(V::mul(root, V::sqrt(square)), V::mul(linear, square)), constant), twice));
  }
}

// The block's points (bits, lowest lane first) whose runner-up lies within their
// margin of their best score: the scores with rounded products could order them
// otherwise.
template <bool kEuclidean>
inline std::uint64_t undecided_points(const float* margins, const float* best_value, const float* second_value) {
  static_assert(kBlockPoints <= 64, "one bit per point");
  std::uint64_t undecided = 0;
  for (std::size_t p = 0; p < V::kPointVectors; ++p) {
    const typename V::F margin = V::load(margins + p * V::kLanes);
    const typename V::F best = V::load(best_value + p * V::kLanes), second = V::load(second_value + p * V::kLanes);
    const typename V::F gap = kEuclidean ? V::sub(second, best) : V::sub(best, second);
    undecided |= std::uint64_t{V::bits(V::not_greater_unordered(gap, margin))} << (p * V::kLanes);
  }
  return undecided;
}

// Columns t_begin .. t_begin + columns - 1 of a block's rows [0, count) (row r at
// rows[r]), transposed into `xt` ([t][point], kBlockPoints points per t) a square tile
// of V::kLanes rows and columns at a time; the points past `count` are zero. Nothing
// outside those columns is read.
inline void transpose_block(const float* const* rows, std::size_t count, std::size_t t_begin, std::size_t columns,
                            float* xt) {
  constexpr std::size_t L = V::kLanes;
  for (std::size_t r0 = 0; r0 < kBlockPoints; r0 += L) {
    const std::size_t present = count > r0 ? std::min(L, count - r0) : 0;
    for (std::size_t t0 = 0; t0 < columns; t0 += L) {
      const std::size_t cols = std::min(L, columns - t0);
      typename V::F tile[L];
      for (std::size_t i = 0; i < L; ++i)
        tile[i] = i < present ? V::load_first(rows[r0 + i] + t_begin + t0, cols) : V::zero();
      V::transpose(tile);
      for (std::size_t j = 0; j < cols; ++j) V::store(xt + (t0 + j) * kBlockPoints + r0, tile[j]);
    }
  }
}

// Fetches the cache lines of `bytes` bytes from each of `count` addresses in `batches`
// batches, one per fetch_some(): a burst of them all at once would hold up the loads of
// the work it overlaps. Rows read ahead may lie past the data: the lines' addresses
// are formed as integers; a prefetch never faults.
class RowFetch {
 public:
  RowFetch(const float* const* starts, std::size_t count, std::size_t bytes, std::size_t batches)
      : starts_(starts),
        bytes_(bytes),
        count_(count),
        per_batch_((count * ((bytes + 63) / 64) + batches - 1) / batches) {}

  void fetch_some() {
    for (std::size_t line = 0; line < per_batch_ && row_ < count_; ++line) {
      __builtin_prefetch(reinterpret_cast<const void*>(address_of(starts_[row_]) + byte_));
      byte_ += 64;
      if (byte_ >= bytes_) byte_ = 0, ++row_;
    }
  }

 private:
  const float* const* starts_;
  std::size_t bytes_, count_, per_batch_;
  std::size_t row_ = 0, byte_ = 0;
};

// Adds each lane's sum of squares over `columns` of the block's transposed points to
// `squares`, in ascending order.
inline void add_block_squares(const float* xt, std::size_t columns, float* squares) {
  typename V::F acc[V::kPointVectors];
  for (std::size_t p = 0; p < V::kPointVectors; ++p) acc[p] = V::load(squares + p * V::kLanes);
  for (std::size_t t = 0; t < columns; ++t)
    for (std::size_t p = 0; p < V::kPointVectors; ++p) {
      const typename V::F x = V::load(xt + t * kBlockPoints + p * V::kLanes);
      acc[p] = V::fmadd(x, x, acc[p]);
    }
  for (std::size_t p = 0; p < V::kPointVectors; ++p) V::store(squares + p * V::kLanes, acc[p]);
}

// Rows longer than kernels::kSlabColumns are searched in slabs of that many columns,
// each transposed in turn, so that the transposed slab stays in the core's cache while
// every tile of centroids reads it, however long the rows; a tile's dot products are
// carried from one slab to the next.
using kernels::kSlabColumns;

// Panels larger than this are taken to come from memory at every read.
constexpr std::size_t kCachedPanelBytes = std::size_t{4} << 20;

inline std::size_t slab_count(std::size_t d) { return std::max<std::size_t>(1, (d + kSlabColumns - 1) / kSlabColumns); }

// Runs every tile of centroids over every slab of a block's `count` rows (row r at
// rows[r]): each slab transposed into `xt` and handed to on_slab(xt, columns), then
// each tile's accumulators (zero at the first slab, else as the last slab left them
// in `carried`) advanced over it, fused (kFused) or with rounded products. After the
// last slab at_last(first_centroid, acc) takes each tile's sums. While a slab's tiles
// run, the next slab of these rows (after the last, the first slab of the `next_count`
// rows at next_rows) is fetched, a few cache lines before each tile.
template <bool kFused, class OnSlab, class AtLast>
inline void run_slabs(const kernels::CentroidPanels& panels, const float* const* rows, std::size_t count,
                      const float* const* next_rows, std::size_t next_count, float* xt, float* carried,
                      OnSlab on_slab, AtLast at_last) {
  const std::size_t d = panels.d(), k = panels.k(), slabs = slab_count(d);
  const std::size_t tiles = (k + V::kTileCentroids - 1) / V::kTileCentroids;
  for (std::size_t slab = 0; slab < slabs; ++slab) {
    const std::size_t t0 = slab * kSlabColumns, columns = std::min(kSlabColumns, d - t0);
    const bool last_slab = slab + 1 == slabs;
    transpose_block(rows, count, t0, columns, xt);
    on_slab(static_cast<const float*>(xt), columns);
    const float* next_slab[kBlockPoints];
    if (!last_slab)
      for (std::size_t r = 0; r < count; ++r) next_slab[r] = rows[r] + t0 + columns;
    const std::size_t ahead_columns = last_slab ? std::min(d, kSlabColumns) : std::min(kSlabColumns, d - t0 - columns);
    RowFetch fetch(last_slab ? next_rows : next_slab, last_slab ? next_count : count, ahead_columns * sizeof(float),
                   tiles);
    for (std::size_t first = 0; first < k; first += V::kTileCentroids) {
      fetch.fetch_some();
      float* tile = slabs > 1 ? carried + first / V::kTileCentroids * kTileFloats : nullptr;
      TileSums acc;
      for (std::size_t p = 0; p < V::kPointVectors; ++p)
        for (std::size_t j = 0; j < V::kTileCentroids; ++j)
          acc[p][j] = slab == 0 ? V::zero() : V::load(tile + (p * V::kTileCentroids + j) * V::kLanes);
      const float* panel = panels.panel(first / kWidth) + t0 * kWidth;
      if (slabs > 1)
        accumulate_tile<kFused, true>(xt, columns, panel, first % kWidth, acc);
      else
        accumulate_tile<kFused, false>(xt, columns, panel, first % kWidth, acc);
      if (last_slab) {
        at_last(first, static_cast<const TileSums&>(acc));
        continue;
      }
      for (std::size_t p = 0; p < V::kPointVectors; ++p)
        for (std::size_t j = 0; j < V::kTileCentroids; ++j)
          V::store(tile + (p * V::kTileCentroids + j) * V::kLanes, acc[p][j]);
    }
  }
}

// Every point's dot product with every centroid from rounded products, each summed in
// ascending order as exact_point_dots sums it, into `dots` tile after tile (dot_of
// reads them); the `next_count` rows at next_rows are fetched as run_slabs fetches
// them; with `squares`, each lane's fused sum of squares is added to it.
inline void exact_block_dots(const kernels::CentroidPanels& panels, const float* const* rows, std::size_t count,
                             const float* const* next_rows, std::size_t next_count, float* xt, float* dots,
                             float* squares) {
  run_slabs<false>(panels, rows, count, next_rows, next_count, xt, dots,
                   [&](const float* slab, std::size_t columns) {
                     if (squares) add_block_squares(slab, columns, squares);
                   },
                   [&](std::size_t first, const TileSums& acc) {
                     float* tile = dots + first / V::kTileCentroids * kTileFloats;
                     for (std::size_t p = 0; p < V::kPointVectors; ++p)
                       for (std::size_t j = 0; j < V::kTileCentroids; ++j)
                         V::store(tile + (p * V::kTileCentroids + j) * V::kLanes, acc[p][j]);
                   });
}

// Point r's dot product with centroid j among exact_block_dots' `dots`.
inline float dot_of(const float* dots, std::size_t r, std::size_t j) {
  const std::size_t tile = j / V::kTileCentroids, p = r / V::kLanes;
  return dots[tile * kTileFloats + (p * V::kTileCentroids + j % V::kTileCentroids) * V::kLanes + r % V::kLanes];
}

// The search of one block of long rows (as nearest_block's) from rounded products
// alone: every dot product at once, then each point's label by nearest_by_rule and
// its costs (exact; the runner-up the least of the others). Notes whether the fused
// scores would have left most points undecided.
template <bool kEuclidean>
void nearest_block_exactly(const kernels::CentroidPanels& panels, const float* const* rows, std::size_t count,
                           const float* const* next_rows, std::size_t next_count, const float* point_norms,
                           std::uint64_t* labels, const kernels::NearestScores* scores, float* xt, float* dots) {
  const std::size_t k = panels.k();
  alignas(64) float squares[kBlockPoints] = {};
  exact_block_dots(panels, rows, count, next_rows, next_count, xt, dots, kEuclidean ? nullptr : squares);
  if (kEuclidean) std::copy(point_norms, point_norms + count, squares);
  const float* bias = kEuclidean ? panels.score_bias() : nullptr;
  const std::size_t groups = scores ? scores->group_count(k) : 0;
  thread_local std::vector<float> costs;
  costs.resize(k);
  std::size_t close = 0;
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t j = 0; j < k; ++j) costs[j] = dot_of(dots, r, j);
    labels[r] = kernels::nearest_by_rule(costs.data(), bias, k, kEuclidean ? point_norms[r] : 0.0f,
                                         scores ? scores->index_of : nullptr);
    // Costs, the smaller the nearer: Euclidean c.c - 2 c.x, inner product -(c.x).
    for (std::size_t j = 0; j < k; ++j) costs[j] = kEuclidean ? bias[j] - 2.0f * costs[j] : -costs[j];
    float second = std::numeric_limits<float>::infinity();
    for (std::size_t j = 0; j < k; ++j)
      if (j != labels[r]) second = std::min(second, costs[j]);
    close += !panels.fused_slack().decides(costs[labels[r]], second, squares[r]);
    if (!scores) continue;
    scores->best[r] = costs[labels[r]];
    scores->second[r] = second;
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t first = g * scores->group_size, last = std::min(k, first + scores->group_size);
      scores->group_least[r * groups + g] = *std::min_element(costs.begin() + first, costs.begin() + last);
    }
  }
  panels.note_mostly_undecided(2 * close >= count);
}

// A block's fused search state, point by point: x.x, the inner product's fused sums of
// squares, the margins the slack gives (from x.x, or those sums), the best score, the
// runner-up and the best one's index.
template <bool kEuclidean>
struct FusedBest {
  alignas(64) float norms[kBlockPoints] = {};
  alignas(64) float squares[kBlockPoints] = {};
  alignas(64) float margins[kBlockPoints];
  alignas(64) float value[kBlockPoints], second[kBlockPoints];
  alignas(64) std::int32_t index[kBlockPoints] = {};

  static constexpr float kFarthest =
      kEuclidean ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  // Costs (the smaller the nearer): the inner product's scores negated.
  static float cost(float score) { return kEuclidean ? score : -score; }

  explicit FusedBest(const float* point_norms, std::size_t count) {
    if (kEuclidean) std::copy(point_norms, point_norms + count, norms);
    std::fill(value, value + kBlockPoints, kFarthest);
    std::fill(second, second + kBlockPoints, kFarthest);
  }
};

// Below this many columns a point's near tiles are not noted: the multiply-adds of a
// tile are too few to hide the test (the pixels' search, d = 3, ran 7% slower), and an
// undecided point's fused scores with every centroid, computed again, cost little.
// Nor are they after a block that left no point undecided (on blobs, 97% of blocks;
// noting took 1-4% of L1's and L3's pass with AVX2).
constexpr std::size_t kLeastColumnsForNearTiles = 32;

inline void rescore_near_ties_impl(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                   std::size_t last_panel, const float* const* rows, const float* point_norms,
                                   const float* limits, std::size_t count, const std::uint32_t* index_of,
                                   kernels::NearestSoFar* out);

// Point r of a block: its nearest by rounded products among the centroids of the tiles
// `near` notes for it (fold_centroid_tile), ties by index_of (by position where null).
inline std::uint32_t nearest_in_near_tiles(const kernels::CentroidPanels& panels, const std::uint32_t* near,
                                           std::size_t r, const float* row, float point_norm,
                                           const std::uint32_t* index_of) {
  constexpr std::size_t P = V::kPointVectors, J = V::kTileCentroids;
  static_assert(V::kLanes % J == 0, "a tile lies in one half panel");
  const std::size_t k = panels.k(), p = r / V::kLanes;
  const std::uint32_t bit = std::uint32_t{1} << (r % V::kLanes);
  thread_local std::vector<CandidateHalf> halves;
  halves.clear();
  for (std::size_t first = 0, t = 0; first < k; first += J, ++t) {
    if ((near[t * P + p] & bit) == 0) continue;
    const auto half = static_cast<std::uint32_t>(first / V::kLanes);
    // The tile's centroids, padding left out.
    const std::uint32_t lanes = ((std::uint32_t{1} << std::min(J, k - first)) - 1) << (first % V::kLanes);
    if (halves.empty() || halves.back().half != half) halves.push_back({.half = half, .lanes = 0});
    halves.back().lanes |= lanes;
  }
  kernels::NearestSoFar nearest;
  offer_rounded(panels, row, point_norm, halves, index_of, nearest);
  return nearest.position;
}

// The few points of a block the fused scores may have ordered otherwise: their labels
// from rounded products, for a block of long rows all of the block's dot products at
// once (into `dots`, through `xt`), else point by point among the centroids of the
// tiles `near` notes, which hold every centroid whose fused cost lies within the margin
// of the best (no other can be nearest); without `near`, among the centroids whose
// fused cost, computed again, lies there. The block reads every panel at full rate but
// multiplies every lane: it pays where most of the block is left (the fused slack grows
// with d), or where the panels are too large for the cache and its points alone fill a
// micro-tile. Also writes the points' costs to `scores`, when asked for.
template <bool kEuclidean>
void settle_undecided(const kernels::CentroidPanels& panels, const float* const* rows, std::size_t count,
                      FusedBest<kEuclidean>& best, const std::uint32_t* near, std::uint64_t* labels,
                      const kernels::NearestScores* scores, float* xt, float* dots) {
  const std::size_t d = panels.d(), k = panels.k(), slabs = slab_count(d);
  const auto cost = FusedBest<kEuclidean>::cost;
  std::uint64_t undecided = undecided_points<kEuclidean>(best.margins, best.value, best.second);
  if (count < kBlockPoints) undecided &= (std::uint64_t{1} << count) - 1;
  if (scores) {
    for (std::size_t r = 0; r < count; ++r) {
      scores->best[r] = cost(best.value[r]);
      scores->second[r] = cost(best.second[r]);
    }
  }
  const auto left = static_cast<std::size_t>(std::popcount(undecided));
  if (slabs > 1) panels.note_mostly_undecided(2 * left >= count);
  if (d >= kLeastColumnsForNearTiles) panels.note_some_undecided(left != 0);
  if (undecided == 0) return;
  const std::size_t panel_bytes = panels.panel_count() * kWidth * d * sizeof(float);
  const bool by_block = slabs > 1 && left > 1 &&
                        (2 * left >= count || (panel_bytes > kCachedPanelBytes && left >= std::size_t{kRows}));
  if (by_block) exact_block_dots(panels, rows, count, nullptr, 0, xt, dots, nullptr);
  thread_local std::vector<float> costs;
  costs.resize(k);
  const float* bias = kEuclidean ? panels.score_bias() : nullptr;
  const std::uint32_t* index_of = scores ? scores->index_of : nullptr;
  for (; undecided != 0; undecided &= undecided - 1) {
    const std::size_t r = static_cast<std::size_t>(__builtin_ctzll(undecided));
    const float spread = best.margins[r];
    const float fused = cost(best.value[r]);
    if (by_block) {
      for (std::size_t j = 0; j < k; ++j) costs[j] = dot_of(dots, r, j);
      labels[r] = kernels::nearest_by_rule(costs.data(), bias, k, best.norms[r], index_of);
    } else if (near) {
      labels[r] = nearest_in_near_tiles(panels, near, r, rows[r], best.norms[r], index_of);
    } else {
      const float limit = kernels::rounded_up(double(fused) + double(spread));
      kernels::NearestSoFar nearest;
      rescore_near_ties_impl(panels, 0, panels.panel_count(), rows + r, best.norms + r, &limit, 1, index_of, &nearest);
      labels[r] = nearest.position;
    }
    if (scores) {
      // The label found lies within the margin of the fused best; every other centroid
      // at or beyond the fused best.
      scores->second[r] = fused;
      scores->best[r] = fused + spread;
    }
  }
}

// The search of one block: `count` rows (row r at rows[r]); while it runs, the first
// slab of the `next_count` rows at next_rows (the next block) is fetched.
template <bool kEuclidean>
void nearest_block(const kernels::CentroidPanels& panels, const float* const* rows, std::size_t count,
                   const float* const* next_rows, std::size_t next_count, const float* point_norms,
                   std::uint64_t* labels, const kernels::NearestScores* scores) {
  const std::size_t d = panels.d(), k = panels.k(), slabs = slab_count(d);
  const std::size_t tiles = (k + V::kTileCentroids - 1) / V::kTileCentroids;
  // A transposed slab (zero points pad the block) and the tiles' sums between slabs
  // (with several).
  thread_local std::vector<float> transposed, carried;
  transposed.resize(std::min(d, kSlabColumns) * kBlockPoints);
  if (slabs > 1) carried.resize(tiles * kTileFloats);
  if (slabs > 1 && panels.mostly_undecided())
    return nearest_block_exactly<kEuclidean>(panels, rows, count, next_rows, next_count, point_norms, labels, scores,
                                             transposed.data(), carried.data());
  FusedBest<kEuclidean> best(point_norms, count);

  // Each group's best score per point, when asked for (groups hold whole tiles).
  const bool by_group = scores && scores->group_least;
  const std::size_t groups = by_group ? scores->group_count(k) : 0;
  thread_local std::vector<float> group_extremes;
  if (by_group) group_extremes.assign(groups * kBlockPoints, FusedBest<kEuclidean>::kFarthest);
  // Per tile and point vector, the lanes where the tile may hold a near tie's candidate.
  thread_local std::vector<std::uint32_t> near;
  const bool note_near = d >= kLeastColumnsForNearTiles && panels.some_undecided();
  if (note_near) near.resize(tiles * V::kPointVectors);
  // One pass of the tiles per choice, each folding with the choice compiled in: a
  // branch among the folds in the tiles' loop keeps the tile's sums out of registers.
  const auto search = [&]<bool kNear>() {
    run_slabs<true>(
        panels, rows, count, next_rows, next_count, transposed.data(), carried.data(),
        [&](const float* xt, std::size_t columns) {
          if (!kEuclidean) add_block_squares(xt, columns, best.squares);
        },
        [&](std::size_t first, const TileSums& acc) {
          // The last slab's squares are summed before its first tile.
          if (first == 0) fused_margins(panels.fused_slack(), kEuclidean ? best.norms : best.squares, best.margins);
          const float* bias = panels.score_bias() + first;
          const auto index = static_cast<std::int32_t>(first);
          std::uint32_t* tile_near = kNear ? near.data() + first / V::kTileCentroids * V::kPointVectors : nullptr;
          if (by_group) {
            float* group_extreme = group_extremes.data() + first / scores->group_size * kBlockPoints;
            fold_centroid_tile<kEuclidean, true, kNear>(acc, bias, index, best.margins, best.value, best.second,
                                                        best.index, group_extreme, tile_near);
          } else {
            fold_centroid_tile<kEuclidean, false, kNear>(acc, bias, index, best.margins, best.value, best.second,
                                                         best.index, nullptr, tile_near);
          }
        });
  };
  if (note_near)
    search.template operator()<true>();
  else
    search.template operator()<false>();
  for (std::size_t r = 0; r < count; ++r) labels[r] = static_cast<std::uint64_t>(best.index[r]);
  for (std::size_t r = 0; r < count && by_group; ++r)
    for (std::size_t g = 0; g < groups; ++g)
      scores->group_least[r * groups + g] = FusedBest<kEuclidean>::cost(group_extremes[g * kBlockPoints + r]);
  settle_undecided<kEuclidean>(panels, rows, count, best, note_near ? near.data() : nullptr, labels, scores,
                               transposed.data(), carried.data());
}

// Row addresses for the block search. A strided matrix's rows lie at fixed steps, and
// the rows past the last are fetched ahead as well (a caller searching blocks of rows
// in order reads them next); listed rows lie anywhere, and only they are fetched.
// Each writes the addresses of rows first .. first + count - 1 to `out` (a strided
// row past the data only to be fetched: formed from an integer, never dereferenced).
struct StridedRows {
  static constexpr bool kFetchPastTheLast = true;
  std::uintptr_t origin, step;
  StridedRows(const float* x, std::ptrdiff_t ldx)
      : origin(address_of(x)), step(static_cast<std::uintptr_t>(ldx * static_cast<std::ptrdiff_t>(sizeof(float)))) {}
  void addresses(std::size_t first, std::size_t count, const float** out) const {
    std::uintptr_t address = origin + first * step;
    for (std::size_t r = 0; r < count; ++r, address += step) out[r] = reinterpret_cast<const float*>(address);
  }
};
struct ListedRows {
  static constexpr bool kFetchPastTheLast = false;
  const float* const* rows;
  void addresses(std::size_t first, std::size_t count, const float** out) const {
    std::copy_n(rows + first, count, out);
  }
};

// Searches `count` rows, as `rows_of` gives their addresses, a block at a time (each
// block's addresses are the ones its predecessor fetched ahead).
template <class Rows>
inline void nearest_rows(const kernels::CentroidPanels& panels, std::size_t count, Rows rows_of,
                         const float* point_norms, std::uint64_t* labels, const kernels::NearestScores* scores) {
  const float* addresses[2][kBlockPoints];
  rows_of.addresses(0, std::min(kBlockPoints, count), addresses[0]);
  for (std::size_t first = 0, b = 0; first < count; first += kBlockPoints, b ^= 1) {
    const std::size_t rows = std::min(kBlockPoints, count - first);
    const std::size_t next_count = Rows::kFetchPastTheLast ? rows : std::min(kBlockPoints, count - first - rows);
    const float* const* block = addresses[b];
    const float* const* next = addresses[b ^ 1];
    rows_of.addresses(first + kBlockPoints, next_count, addresses[b ^ 1]);
    kernels::NearestScores block_scores{};
    if (scores) {
      const std::size_t groups = scores->group_count(panels.k());
      block_scores = {.best = scores->best + first,
                      .second = scores->second + first,
                      .group_least = scores->group_least ? scores->group_least + first * groups : nullptr,
                      .group_size = scores->group_size,
                      .index_of = scores->index_of};
    }
    const kernels::NearestScores* out = scores ? &block_scores : nullptr;
    if (panels.euclidean())
      nearest_block<true>(panels, block, rows, next, next_count, point_norms + first, labels + first, out);
    else
      nearest_block<false>(panels, block, rows, next, next_count, nullptr, labels + first, out);
  }
}

inline void nearest_centroids_impl(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                                   std::size_t count, const float* point_norms, std::uint64_t* labels,
                                   const kernels::NearestScores* scores) {
  nearest_rows(panels, count, StridedRows(x, ldx), point_norms, labels, scores);
}

inline void nearest_listed_impl(const kernels::CentroidPanels& panels, const float* const* rows, std::size_t count,
                                const float* point_norms, std::uint64_t* labels, const kernels::NearestScores* scores) {
  nearest_rows(panels, count, ListedRows{.rows = rows}, point_norms, labels, scores);
}

// The nearest-centroid search over a range of panels, for points anywhere in memory:
// a micro-tile of up to kRows points against one panel at a time, centroids in the
// lanes. Each lane keeps its best (cost, position) and runner-up over the range; the
// lanes are reduced once per point. Costs as kernels::RangeNearest defines them.
template <bool kEuclidean>
inline typename V::F range_cost(typename V::F acc, typename V::F bias) {
  // Euclidean: fused as the block search scores; padding (NaN bias) never wins.
  return kEuclidean ? V::fnmadd(V::set1(2.0f), acc, bias) : V::negate(V::add(acc, bias));
}

// One point's lanes reduced: the smallest cost and, when it is at most `limit`, the
// position of the lowest lane holding it and the smallest of the other lanes' costs
// and every lane's runner-up.
inline kernels::RangeNearest reduce_range_lanes(const typename V::F (&value)[2], const typename V::F (&second)[2],
                                                const typename V::I (&position)[2], float limit) {
  const float best = V::reduce_min(V::min(value[0], value[1]));
  const float infinity = std::numeric_limits<float>::infinity();
  if (!(best <= limit)) return {.best = best, .second = infinity, .position = kernels::RangeNearest::kNone};
  const typename V::F at_best = V::set1(best);
  const typename V::M at_low = V::equal(value[0], at_best), at_high = V::equal(value[1], at_best);
  const std::uint64_t at = std::uint64_t{V::bits(at_low)} | std::uint64_t{V::bits(at_high)} << V::kLanes;
  const auto lane = static_cast<std::size_t>(__builtin_ctzll(at));  // best is a number: some lane holds it
  alignas(64) std::int32_t positions[2 * V::kLanes];
  V::store_index(positions, position[0]);
  V::store_index(positions + V::kLanes, position[1]);
  // Lanes are masked by value, not by a lane number: indexing the halves would send them
  // through memory. Where two lanes hold the best, the runner-up is the best itself.
  const typename V::F infinities = V::set1(infinity);
  const typename V::F others_best =
      V::min(V::select(at_low, infinities, value[0]), V::select(at_high, infinities, value[1]));
  const typename V::F others = V::min(others_best, V::min(second[0], second[1]));
  const float runner_up = std::popcount(at) > 1 ? best : V::reduce_min(others);
  return {.best = best, .second = runner_up, .position = static_cast<std::uint32_t>(positions[lane])};
}

template <int R, bool kEuclidean>
inline void nearest_in_panels_tile(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                   std::size_t last_panel, const float* const* rows, const float* limits,
                                   kernels::RangeNearest* out) {
  const typename V::F infinity = V::set1(std::numeric_limits<float>::infinity());
  typename V::F value[R][2], second[R][2];
  typename V::I position[R][2];
  for (std::size_t p = first_panel; p < last_panel; ++p) {
    typename V::F acc[R][2];
    tile_dots<R>(rows, panels.panel(p), panels.d(), acc);
    for (int h = 0; h < 2; ++h) {
      const std::size_t first = p * kWidth + static_cast<std::size_t>(h) * V::kLanes;
      const typename V::F bias = V::load(panels.score_bias() + first);
      const typename V::I positions = V::lane_indices(static_cast<std::int32_t>(first));
      for (int r = 0; r < R; ++r) {
        const typename V::F cost = range_cost<kEuclidean>(acc[r][h], bias);
        if (p == first_panel) {
          // Padding lanes start (and stay) at +infinity.
          value[r][h] = V::select(V::less(cost, infinity), cost, infinity);
          second[r][h] = infinity;
          position[r][h] = positions;
          continue;
        }
        const typename V::M take = V::less(cost, value[r][h]);
        second[r][h] = V::min(V::max(value[r][h], cost), second[r][h]);
        value[r][h] = V::select(take, cost, value[r][h]);
        position[r][h] = V::select_index(take, positions, position[r][h]);
      }
    }
  }
  for (int r = 0; r < R; ++r) out[r] = reduce_range_lanes(value[r], second[r], position[r], limits[r]);
}

template <bool kEuclidean>
inline void nearest_in_panels_rows(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                   std::size_t last_panel, const float* const* rows, const float* limits,
                                   std::size_t count, kernels::RangeNearest* out) {
  for_each_micro_tile(count, [&]<int R>(std::size_t g) {
    nearest_in_panels_tile<R, kEuclidean>(panels, first_panel, last_panel, rows + g, limits + g, out + g);
  });
}

inline void nearest_in_panels_impl(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                   std::size_t last_panel, const float* const* rows, const float* limits,
                                   std::size_t count, kernels::RangeNearest* out) {
  if (panels.euclidean())
    nearest_in_panels_rows<true>(panels, first_panel, last_panel, rows, limits, count, out);
  else
    nearest_in_panels_rows<false>(panels, first_panel, last_panel, rows, limits, count, out);
}

// Near ties settled with rounded products. A micro-tile of points scores the range's
// panels with fused multiply-adds, as the searches do, and notes each half panel
// (V::kLanes centroids) that holds a centroid within its point's limit; each point then
// computes the rounded-product dot products of its halves, each lane its centroid's one
// ascending chain as exact_point_dots computes it, kChainHalves halves side by side.
template <int R, bool kEuclidean>
inline void rescore_near_ties_tile(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                   std::size_t last_panel, const float* const* rows, const float* point_norms,
                                   const float* limits, const std::uint32_t* index_of,
                                   std::vector<CandidateHalf> (&halves)[kRows], kernels::NearestSoFar* out) {
  typename V::F limit[R];
  for (int r = 0; r < R; ++r) {
    limit[r] = V::set1(limits[r]);
    halves[r].clear();
  }
  for (std::size_t p = first_panel; p < last_panel; ++p) {
    typename V::F acc[R][2];
    tile_dots<R>(rows, panels.panel(p), panels.d(), acc);
    for (std::size_t h = 0; h < 2; ++h) {
      // Padding carries NaN and is never within a limit.
      const typename V::F bias = V::load(panels.score_bias() + p * kWidth + h * V::kLanes);
      for (int r = 0; r < R; ++r) {
        const unsigned lanes = V::bits(V::less_or_equal(range_cost<kEuclidean>(acc[r][h], bias), limit[r]));
        if (lanes != 0) halves[r].push_back({static_cast<std::uint32_t>(2 * p + h), lanes});
      }
    }
  }
  for (int r = 0; r < R; ++r) offer_rounded(panels, rows[r], point_norms[r], halves[r], index_of, out[r]);
}

template <bool kEuclidean>
inline void rescore_near_ties_rows(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                   std::size_t last_panel, const float* const* rows, const float* point_norms,
                                   const float* limits, std::size_t count, const std::uint32_t* index_of,
                                   kernels::NearestSoFar* out) {
  thread_local std::vector<CandidateHalf> halves[kRows];
  for_each_micro_tile(count, [&]<int R>(std::size_t g) {
    rescore_near_ties_tile<R, kEuclidean>(panels, first_panel, last_panel, rows + g, point_norms + g, limits + g,
                                          index_of, halves, out + g);
  });
}

inline void rescore_near_ties_impl(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                   std::size_t last_panel, const float* const* rows, const float* point_norms,
                                   const float* limits, std::size_t count, const std::uint32_t* index_of,
                                   kernels::NearestSoFar* out) {
  if (panels.euclidean())
    rescore_near_ties_rows<true>(panels, first_panel, last_panel, rows, point_norms, limits, count, index_of, out);
  else
    rescore_near_ties_rows<false>(panels, first_panel, last_panel, rows, point_norms, limits, count, index_of, out);
}

// One panel's dot products (two vectors) to out[0 .. valid), valid <= kWidth: the
// padding lanes of a last, partly filled panel are not written.
inline void store_panel_dots(const typename V::F (&acc)[2], std::size_t valid, float* out) {
  if (valid == kWidth) {
    V::store(out, acc[0]);
    V::store(out + V::kLanes, acc[1]);
    return;
  }
  if (valid <= V::kLanes) {
    if (valid == V::kLanes) V::store(out, acc[0]); else V::store_first(out, acc[0], valid);
    return;
  }
  V::store(out, acc[0]);
  V::store_first(out + V::kLanes, acc[1], valid - V::kLanes);
}

template <int R>
inline void store_tile_dots(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, float* out) {
  const std::size_t k = panels.k();
  // The next rows' cache lines, fetched a few per panel.
  const float* next[R];
  StridedRows(x, ldx).addresses(R, R, next);
  RowFetch next_rows(next, R, panels.d() * sizeof(float), panels.panel_count());
  const float* rows[R];
  for (int r = 0; r < R; ++r) rows[r] = x + r * ldx;
  for (std::size_t p = 0; p < panels.panel_count(); ++p) {
    next_rows.fetch_some();
    typename V::F acc[R][2];
    tile_dots<R>(rows, panels.panel(p), panels.d(), acc);
    const std::size_t first = p * kWidth;
    for (int r = 0; r < R; ++r)
      store_panel_dots(acc[r], std::min(kWidth, k - first), out + static_cast<std::size_t>(r) * k + first);
  }
}

// One point against up to kPanelGroup panels at once: a single point gives each panel
// only two accumulator chains, too few to hide the multiply-add latency, so several
// panels advance together. With kChains == 1 each lane sums its elements in order;
// with kChains == 2 it sums the even and the odd elements in two chains and adds the
// two at the end (an element left over by an odd d goes to the even chain). kFused:
// fused multiply-adds, else rounded products.
constexpr std::size_t kPanelGroup = 4;

// kHalfLast: the group's last panel holds at most kLanes centroids, so its second
// register of lanes is all padding and is left out.
template <std::size_t G, bool kHalfLast, std::size_t kChains, bool kFused, bool kFetchAhead>
inline void point_dots_panel_group(const kernels::CentroidPanels& panels, std::size_t first_panel, const float* x,
                                   float* out) {
  constexpr std::size_t kRowsAhead = 16;
  const std::size_t d = panels.d(), k = panels.k();
  typename V::F acc[kChains][G][2];
  for (std::size_t c = 0; c < kChains; ++c)
    for (std::size_t g = 0; g < G; ++g) acc[c][g][0] = acc[c][g][1] = V::zero();
  const auto add_element = [&](typename V::F (&chain)[G][2], std::size_t t) {
    const typename V::F b = V::set1(x[t]);
    for (std::size_t g = 0; g < G; ++g) {
      const float* row = panels.panel(first_panel + g) + t * kWidth;
      if (kFetchAhead) fetch_ahead(row, kRowsAhead * kWidth);
      chain[g][0] = multiply_add<kFused>(b, V::load(row), chain[g][0]);
      if (!(kHalfLast && g + 1 == G)) chain[g][1] = multiply_add<kFused>(b, V::load(row + V::kLanes), chain[g][1]);
    }
  };
  std::size_t t = 0;
  for (; t + kChains <= d; t += kChains)
    for (std::size_t c = 0; c < kChains; ++c) add_element(acc[c], t + c);
  if (t < d) add_element(acc[0], t);
  for (std::size_t c = 1; c < kChains; ++c)
    for (std::size_t g = 0; g < G; ++g)
      for (std::size_t h = 0; h < 2; ++h) acc[0][g][h] = V::add(acc[0][g][h], acc[c][g][h]);
  for (std::size_t g = 0; g < G; ++g) {
    const std::size_t first = (first_panel + g) * kWidth;
    store_panel_dots(acc[0][g], std::min(kWidth, k - first), out + first);
  }
}

template <std::size_t G, std::size_t kChains, bool kFused, bool kFetchAhead>
inline void point_dots_last_group(const kernels::CentroidPanels& panels, std::size_t first_panel, const float* x,
                                  float* out) {
  const bool half_last = panels.k() - (panels.panel_count() - 1) * kWidth <= V::kLanes;
  if (half_last) {
    point_dots_panel_group<G, true, kChains, kFused, kFetchAhead>(panels, first_panel, x, out);
  } else {
    point_dots_panel_group<G, false, kChains, kFused, kFetchAhead>(panels, first_panel, x, out);
  }
}

// kFetchAhead: each panel's rows a few ahead are fetched (see accumulate_tile).
template <std::size_t kChains, bool kFused, bool kFetchAhead = false>
inline void point_dots(const kernels::CentroidPanels& panels, const float* x, float* out) {
  std::size_t p = 0;
  for (; p + kPanelGroup < panels.panel_count(); p += kPanelGroup) {
    point_dots_panel_group<kPanelGroup, false, kChains, kFused, kFetchAhead>(panels, p, x, out);
  }
  switch (panels.panel_count() - p) {
    case 4: point_dots_last_group<4, kChains, kFused, kFetchAhead>(panels, p, x, out); break;
    case 3: point_dots_last_group<3, kChains, kFused, kFetchAhead>(panels, p, x, out); break;
    case 2: point_dots_last_group<2, kChains, kFused, kFetchAhead>(panels, p, x, out); break;
    case 1: point_dots_last_group<1, kChains, kFused, kFetchAhead>(panels, p, x, out); break;
    default: break;
  }
}

inline void exact_point_dots_impl(const kernels::CentroidPanels& panels, const float* x, float* out) {
  // A point re-scored alone: on long rows its panels come from memory.
  if (panels.d() > kSlabColumns)
    point_dots<1, false, true>(panels, x, out);
  else
    point_dots<1, false>(panels, x, out);
}

inline void paired_point_dots_impl(const kernels::CentroidPanels& panels, const float* x, float* out) {
  point_dots<2, false>(panels, x, out);
}

inline void centroid_dots_impl(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                        std::size_t count, float* out) {
  if (count == 1) return point_dots<1, true>(panels, x, out);
  const std::size_t k = panels.k();
  for_each_micro_tile(count, [&]<int R>(std::size_t g) {
    store_tile_dots<R>(panels, x + static_cast<std::ptrdiff_t>(g) * ldx, ldx, out + g * k);
  });
}

// Elements t0 .. t0 + n - 1 of a centroid, held in `values`, into its panel lane.
inline void store_into_lane(float* panel, std::size_t lane, std::size_t t0, typename V::F values, std::size_t n) {
  alignas(64) float elements[V::kLanes];
  V::store(elements, values);
  for (std::size_t t = 0; t < n; ++t) panel[(t0 + t) * kWidth + lane] = elements[t];
}

inline void quotient_into_panel_impl(float* panel, std::size_t lane, const float* sum, float divisor, float* row,
                              std::size_t d) {
  const typename V::F by = V::set1(divisor);
  for (std::size_t t0 = 0; t0 < d; t0 += V::kLanes) {
    const std::size_t n = std::min(V::kLanes, d - t0);
    const typename V::F q = V::div(V::load_first(sum + t0, n), by);
    // The row in whole vectors (the norm's dot product reads it back at once); the
    // panel lane element by element.
    if (n == V::kLanes) V::store(row + t0, q); else V::store_first(row + t0, q, n);
    store_into_lane(panel, lane, t0, q, n);
  }
}

// A centroid's d values into its panel lane.
inline void row_into_lane(float* panel, std::size_t lane, const float* row, std::size_t d) {
  for (std::size_t t0 = 0; t0 < d; t0 += V::kLanes) {
    const std::size_t n = std::min(V::kLanes, d - t0);
    store_into_lane(panel, lane, t0, V::load_first(row + t0, n), n);
  }
}
