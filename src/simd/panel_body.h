// The register-blocked panel kernels at a vector level, written over the level's
// traits `V`; included once per level by vector_kernels.h.
//
// A micro-tile is R points (R <= kRows) against one panel of 2 * V::kLanes centroids:
// 2R accumulators, two panel loads and R broadcasts per point element. The
// nearest-centroid search folds each tile's scores into a per-lane running best
// (value, index) and reduces the lanes once per point at the end, so no n x k score
// matrix ever exists.

constexpr int kRows = 6;
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

// Each lane also keeps its runner-up: the best score of the centroids other than its
// best one (NaN scores, from padding, never count: where either operand is NaN, the
// traits' min and max return the second one).
// kGroups: each lane also folds the tile's scores into its group's best score at
// `group_extreme` (kBlockPoints values).
template <bool kEuclidean, bool kGroups>
inline void fold_centroid_tile(const float* xt, std::size_t d, const float* panel, std::size_t lane0,
                               const float* bias, std::int32_t first_index, float* best_value, float* second_value,
                               std::int32_t* best_index, float* group_extreme) {
  using Order = LaneOrder<std::conditional_t<kEuclidean, kernels::LowestScoreFirst, kernels::HighestScoreFirst>>;
  constexpr std::size_t P = V::kPointVectors, J = V::kTileCentroids;
  typename V::F acc[P][J];
  for (std::size_t p = 0; p < P; ++p)
    for (std::size_t j = 0; j < J; ++j) acc[p][j] = V::zero();
  for (std::size_t t = 0; t < d; ++t) {
    typename V::F x[P];
    for (std::size_t p = 0; p < P; ++p) x[p] = V::load(xt + t * kBlockPoints + p * V::kLanes);
    const float* c = panel + t * kWidth + lane0;
    for (std::size_t j = 0; j < J; ++j) {
      const typename V::F cj = V::set1(c[j]);
      for (std::size_t p = 0; p < P; ++p) acc[p][j] = V::fmadd(x[p], cj, acc[p][j]);
    }
  }
  for (std::size_t p = 0; p < P; ++p) {
    typename V::F value = V::load(best_value + p * V::kLanes);
    typename V::F second = V::load(second_value + p * V::kLanes);
    typename V::I index = V::load_index(best_index + p * V::kLanes);
    typename V::F extreme = kGroups ? V::load(group_extreme + p * V::kLanes) : value;
    for (std::size_t j = 0; j < J; ++j) {
      const typename V::I j_index = V::set1_index(first_index + static_cast<std::int32_t>(j));
      // Euclidean: c.c - 2 c.x (the doubling is exact, so one rounding either way):
      // adding x.x, the same for every centroid, changes no order the slack leaves
      // decided. Padding carries NaN and never wins.
      const typename V::F score = kEuclidean ? V::fnmadd(V::set1(2.0f), acc[p][j], V::set1(bias[j]))
                                             : V::add(acc[p][j], V::set1(bias[j]));
      const typename V::M take = Order::replaces(score, value);
      if constexpr (kGroups) extreme = Order::nearer(score, extreme);
      second = Order::nearer(Order::farther(value, score), second);
      value = V::select(take, score, value);
      index = V::select_index(take, j_index, index);
    }
    V::store(best_value + p * V::kLanes, value);
    V::store(second_value + p * V::kLanes, second);
    V::store_index(best_index + p * V::kLanes, index);
    if constexpr (kGroups) V::store(group_extreme + p * V::kLanes, extreme);
  }
}

// The block's points (bits, lowest lane first) whose runner-up lies within twice the
// fused slack of their best score: the scores with rounded products could order them
// otherwise. `squares` holds each point's x.x, or a fused sum of squares for the inner
// product.
template <bool kEuclidean>
inline std::uint64_t undecided_points(const kernels::FusedScoreSlack& slack, const float* squares,
                                      const float* best_value, const float* second_value) {
  static_assert(kBlockPoints <= 64, "one bit per point");
  const typename V::F root = V::set1(slack.root()), linear = V::set1(slack.linear());
  const typename V::F constant = V::set1(slack.constant());
  const typename V::F twice_margin = V::set1(2.0f * kernels::FusedScoreSlack::kEvaluationMargin);
  std::uint64_t undecided = 0;
  for (std::size_t p = 0; p < V::kPointVectors; ++p) {
    const typename V::F square = V::load(squares + p * V::kLanes);
    const typename V::F margin =
        V::mul(V::add(V::add(V::mul(root, V::sqrt(square)), V::mul(linear, square)), constant), twice_margin);
    const typename V::F best = V::load(best_value + p * V::kLanes), second = V::load(second_value + p * V::kLanes);
    const typename V::F gap = kEuclidean ? V::sub(second, best) : V::sub(best, second);
    undecided |= std::uint64_t{V::bits(V::not_greater_unordered(gap, margin))} << (p * V::kLanes);
  }
  return undecided;
}

// Rows [0, count) of a block, transposed into `xt` ([t][point], kBlockPoints points
// per t) a square tile of V::kLanes rows and columns at a time; the points past
// `count` are zero. Nothing past a row's d values is read.
inline void transpose_block(const float* x, std::ptrdiff_t ldx, std::size_t count, std::size_t d, float* xt) {
  constexpr std::size_t L = V::kLanes;
  for (std::size_t r0 = 0; r0 < kBlockPoints; r0 += L) {
    const std::size_t rows = count > r0 ? std::min(L, count - r0) : 0;
    for (std::size_t t0 = 0; t0 < d; t0 += L) {
      const std::size_t cols = std::min(L, d - t0);
      typename V::F tile[L];
      for (std::size_t i = 0; i < L; ++i)
        tile[i] = i < rows ? V::load_first(x + static_cast<std::ptrdiff_t>(r0 + i) * ldx + static_cast<std::ptrdiff_t>(t0), cols)
                           : V::zero();
      V::transpose(tile);
      for (std::size_t j = 0; j < cols; ++j) V::store(xt + (t0 + j) * kBlockPoints + r0, tile[j]);
    }
  }
}

// Fetches the cache lines of the `count` rows that start `ahead` rows after x (d values
// each, row r at x + r * ldx) in `batches` batches, one per fetch_some(): a burst of
// them all at once would hold up the loads of the work it overlaps. Addresses are
// formed as integers since the rows may lie past the data; a prefetch never faults.
class RowFetch {
 public:
  RowFetch(const float* x, std::ptrdiff_t ldx, std::size_t ahead, std::size_t count, std::size_t d,
           std::size_t batches)
      : row_step_(static_cast<std::uintptr_t>(ldx * static_cast<std::ptrdiff_t>(sizeof(float)))),
        rows_(reinterpret_cast<std::uintptr_t>(x) + ahead * row_step_),
        row_bytes_(d * sizeof(float)),
        count_(count),
        per_batch_((count * ((row_bytes_ + 63) / 64) + batches - 1) / batches) {}

  void fetch_some() {
    for (std::size_t line = 0; line < per_batch_ && row_ < count_; ++line) {
      __builtin_prefetch(reinterpret_cast<const void*>(rows_ + row_ * row_step_ + byte_));
      byte_ += 64;
      if (byte_ >= row_bytes_) byte_ = 0, ++row_;
    }
  }

 private:
  std::uintptr_t row_step_, rows_;
  std::size_t row_bytes_, count_, per_batch_;
  std::size_t row_ = 0, byte_ = 0;
};

// Each lane's sum of squares over the block's transposed points.
inline void block_squares(const float* xt, std::size_t d, float* squares) {
  typename V::F acc[V::kPointVectors];
  for (std::size_t p = 0; p < V::kPointVectors; ++p) acc[p] = V::zero();
  for (std::size_t t = 0; t < d; ++t)
    for (std::size_t p = 0; p < V::kPointVectors; ++p) {
      const typename V::F x = V::load(xt + t * kBlockPoints + p * V::kLanes);
      acc[p] = V::fmadd(x, x, acc[p]);
    }
  for (std::size_t p = 0; p < V::kPointVectors; ++p) V::store(squares + p * V::kLanes, acc[p]);
}

inline void rescore_near_ties_impl(const kernels::CentroidPanels& panels, std::size_t first_panel,
                                   std::size_t last_panel, const float* const* rows, const float* point_norms,
                                   const float* limits, std::size_t count, const std::uint32_t* index_of,
                                   kernels::NearestSoFar* out);

// The points of consecutive blocks that the fused scores leave undecided, gathered so
// that their re-scoring fills micro-tiles: each one's row, x.x, limit and label.
struct NearTies {
  static constexpr std::size_t kRoom = 2 * kBlockPoints;
  const float* rows[kRoom];
  float norms[kRoom], limits[kRoom];
  std::uint64_t* labels[kRoom];
  std::size_t count = 0;

  // Whether the points of another block may not fit.
  bool full() const { return count + kBlockPoints > kRoom; }
  // Labels the points gathered: their nearest by rounded products, ties by index_of
  // (by position where null).
  void settle(const kernels::CentroidPanels& panels, const std::uint32_t* index_of) {
    kernels::NearestSoFar nearest[kRoom];
    rescore_near_ties_impl(panels, 0, panels.panel_count(), rows, norms, limits, count, index_of, nearest);
    for (std::size_t s = 0; s < count; ++s) *labels[s] = nearest[s].position;
    count = 0;
  }
};

template <bool kEuclidean>
void nearest_block(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
                   const float* point_norms, std::uint64_t* labels, const kernels::NearestScores* scores,
                   NearTies& ties) {
  const std::size_t d = panels.d(), k = panels.k();
  // Transposed points (zero points pad the block), their norms and the running best.
  thread_local std::vector<float> transposed;
  transposed.resize(d * kBlockPoints);
  transpose_block(x, ldx, count, d, transposed.data());
  alignas(64) float norms[kBlockPoints] = {};
  if (kEuclidean) std::copy(point_norms, point_norms + count, norms);
  alignas(64) float best_value[kBlockPoints], second_value[kBlockPoints];
  alignas(64) std::int32_t best_index[kBlockPoints] = {};
  std::fill(best_value, best_value + kBlockPoints,
            kEuclidean ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity());
  std::copy(best_value, best_value + kBlockPoints, second_value);

  // The rows of the next block are read next: their cache lines are fetched while this
  // block's tiles run, a few before each tile.
  const std::size_t tiles = (k + V::kTileCentroids - 1) / V::kTileCentroids;
  RowFetch next_block(x, ldx, kBlockPoints, count, d, tiles);
  // Each group's best score per point, when asked for (groups hold whole tiles).
  const bool by_group = scores && scores->group_least;
  const std::size_t groups = by_group ? scores->group_count(k) : 0;
  thread_local std::vector<float> group_extremes;
  if (by_group) group_extremes.assign(groups * kBlockPoints, best_value[0]);
  for (std::size_t first = 0; first < k; first += V::kTileCentroids) {
    next_block.fetch_some();
    const std::size_t p = first / kWidth, lane0 = first % kWidth;
    const float* bias = panels.score_bias() + first;
    const auto index = static_cast<std::int32_t>(first);
    if (by_group) {
      float* group_extreme = group_extremes.data() + first / scores->group_size * kBlockPoints;
      fold_centroid_tile<kEuclidean, true>(transposed.data(), d, panels.panel(p), lane0, bias, index, best_value,
                                           second_value, best_index, group_extreme);
    } else {
      fold_centroid_tile<kEuclidean, false>(transposed.data(), d, panels.panel(p), lane0, bias, index, best_value,
                                            second_value, best_index, nullptr);
    }
  }
  for (std::size_t r = 0; r < count; ++r) labels[r] = static_cast<std::uint64_t>(best_index[r]);
  // Costs (the smaller the nearer): the inner product's scores negated.
  const auto cost = [](float score) { return kEuclidean ? score : -score; };
  for (std::size_t r = 0; r < count && by_group; ++r)
    for (std::size_t g = 0; g < groups; ++g)
      scores->group_least[r * groups + g] = cost(group_extremes[g * kBlockPoints + r]);

  // The few points the fused scores may have ordered otherwise: their labels from
  // rounded products.
  alignas(64) float squares[kBlockPoints];
  if (kEuclidean) std::copy(norms, norms + kBlockPoints, squares); else block_squares(transposed.data(), d, squares);
  const kernels::FusedScoreSlack& slack = panels.fused_slack();
  std::uint64_t undecided = undecided_points<kEuclidean>(slack, squares, best_value, second_value);
  if (count < kBlockPoints) undecided &= (std::uint64_t{1} << count) - 1;
  if (scores) {
    for (std::size_t r = 0; r < count; ++r) {
      scores->best[r] = cost(best_value[r]);
      scores->second[r] = cost(second_value[r]);
    }
  }
  // Their labels come from rounded products, of the centroids whose fused cost lies
  // within the margin of the best: no other can be nearest.
  for (; undecided != 0; undecided &= undecided - 1, ++ties.count) {
    const std::size_t r = static_cast<std::size_t>(__builtin_ctzll(undecided));
    ties.rows[ties.count] = x + static_cast<std::ptrdiff_t>(r) * ldx;
    ties.norms[ties.count] = norms[r];
    const float spread = slack.margin(squares[r]);
    ties.limits[ties.count] = kernels::rounded_up(double(cost(best_value[r])) + double(spread));
    ties.labels[ties.count] = labels + r;
    if (scores) {
      // The label found lies within the margin of the fused best; every other centroid
      // at or beyond the fused best.
      scores->second[r] = cost(best_value[r]);
      scores->best[r] = cost(best_value[r]) + spread;
    }
  }
}

inline void nearest_centroids_impl(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                                   std::size_t count, const float* point_norms, std::uint64_t* labels,
                                   const kernels::NearestScores* scores) {
  NearTies ties;
  const std::uint32_t* index_of = scores ? scores->index_of : nullptr;
  for (std::size_t first = 0; first < count; first += kBlockPoints) {
    if (ties.full()) ties.settle(panels, index_of);
    const std::size_t rows = std::min(kBlockPoints, count - first);
    const float* block = x + static_cast<std::ptrdiff_t>(first) * ldx;
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
      nearest_block<true>(panels, block, ldx, rows, point_norms + first, labels + first, out, ties);
    else
      nearest_block<false>(panels, block, ldx, rows, nullptr, labels + first, out, ties);
  }
  if (ties.count != 0) ties.settle(panels, index_of);
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
  const std::uint64_t at = std::uint64_t{V::bits(V::equal(value[0], at_best))} |
                           std::uint64_t{V::bits(V::equal(value[1], at_best))} << V::kLanes;
  const std::size_t lane = at == 0 ? 0 : static_cast<std::size_t>(__builtin_ctzll(at));
  alignas(64) std::int32_t positions[2 * V::kLanes];
  V::store_index(positions, position[0]);
  V::store_index(positions + V::kLanes, position[1]);
  typename V::F rest[2] = {value[0], value[1]};
  rest[lane / V::kLanes] = V::with_lane(rest[lane / V::kLanes], lane % V::kLanes, infinity);
  const typename V::F others = V::min(V::min(rest[0], rest[1]), V::min(second[0], second[1]));
  return {.best = best, .second = V::reduce_min(others), .position = static_cast<std::uint32_t>(positions[lane])};
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
  for (std::size_t g = 0; g < count; g += kRows) {
    const float* const* tile = rows + g;
    const float* tile_limits = limits + g;
    kernels::RangeNearest* dest = out + g;
    switch (std::min<std::size_t>(kRows, count - g)) {
      case 6: nearest_in_panels_tile<6, kEuclidean>(panels, first_panel, last_panel, tile, tile_limits, dest); break;
      case 5: nearest_in_panels_tile<5, kEuclidean>(panels, first_panel, last_panel, tile, tile_limits, dest); break;
      case 4: nearest_in_panels_tile<4, kEuclidean>(panels, first_panel, last_panel, tile, tile_limits, dest); break;
      case 3: nearest_in_panels_tile<3, kEuclidean>(panels, first_panel, last_panel, tile, tile_limits, dest); break;
      case 2: nearest_in_panels_tile<2, kEuclidean>(panels, first_panel, last_panel, tile, tile_limits, dest); break;
      default: nearest_in_panels_tile<1, kEuclidean>(panels, first_panel, last_panel, tile, tile_limits, dest); break;
    }
  }
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
  for (std::size_t g = 0; g < count; g += kRows) {
    const auto tile = [&]<int R>() {
      rescore_near_ties_tile<R, kEuclidean>(panels, first_panel, last_panel, rows + g, point_norms + g, limits + g,
                                            index_of, halves, out + g);
    };
    switch (std::min<std::size_t>(kRows, count - g)) {
      case 6: tile.template operator()<6>(); break;
      case 5: tile.template operator()<5>(); break;
      case 4: tile.template operator()<4>(); break;
      case 3: tile.template operator()<3>(); break;
      case 2: tile.template operator()<2>(); break;
      default: tile.template operator()<1>(); break;
    }
  }
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
  RowFetch next_rows(x, ldx, R, R, panels.d(), panels.panel_count());
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
template <bool kFused>
inline typename V::F multiply_add(typename V::F a, typename V::F b, typename V::F acc) {
  return kFused ? V::fmadd(a, b, acc) : V::add(acc, V::mul(a, b));
}

template <std::size_t G, bool kHalfLast, std::size_t kChains, bool kFused>
inline void point_dots_panel_group(const kernels::CentroidPanels& panels, std::size_t first_panel, const float* x,
                                   float* out) {
  const std::size_t d = panels.d(), k = panels.k();
  typename V::F acc[kChains][G][2];
  for (std::size_t c = 0; c < kChains; ++c)
    for (std::size_t g = 0; g < G; ++g) acc[c][g][0] = acc[c][g][1] = V::zero();
  const auto add_element = [&](typename V::F (&chain)[G][2], std::size_t t) {
    const typename V::F b = V::set1(x[t]);
    for (std::size_t g = 0; g < G; ++g) {
      const float* row = panels.panel(first_panel + g) + t * kWidth;
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

template <std::size_t G, std::size_t kChains, bool kFused>
inline void point_dots_last_group(const kernels::CentroidPanels& panels, std::size_t first_panel, const float* x,
                                  float* out) {
  const bool half_last = panels.k() - (panels.panel_count() - 1) * kWidth <= V::kLanes;
  if (half_last) {
    point_dots_panel_group<G, true, kChains, kFused>(panels, first_panel, x, out);
  } else {
    point_dots_panel_group<G, false, kChains, kFused>(panels, first_panel, x, out);
  }
}

template <std::size_t kChains, bool kFused>
inline void point_dots(const kernels::CentroidPanels& panels, const float* x, float* out) {
  std::size_t p = 0;
  for (; p + kPanelGroup < panels.panel_count(); p += kPanelGroup) {
    point_dots_panel_group<kPanelGroup, false, kChains, kFused>(panels, p, x, out);
  }
  switch (panels.panel_count() - p) {
    case 4: point_dots_last_group<4, kChains, kFused>(panels, p, x, out); break;
    case 3: point_dots_last_group<3, kChains, kFused>(panels, p, x, out); break;
    case 2: point_dots_last_group<2, kChains, kFused>(panels, p, x, out); break;
    case 1: point_dots_last_group<1, kChains, kFused>(panels, p, x, out); break;
    default: break;
  }
}

inline void exact_point_dots_impl(const kernels::CentroidPanels& panels, const float* x, float* out) {
  point_dots<1, false>(panels, x, out);
}

inline void paired_point_dots_impl(const kernels::CentroidPanels& panels, const float* x, float* out) {
  point_dots<2, false>(panels, x, out);
}

inline void centroid_dots_impl(const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx,
                        std::size_t count, float* out) {
  if (count == 1) return point_dots<1, true>(panels, x, out);
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
