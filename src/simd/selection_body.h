// The top-k selection scans at a vector level, written over the level's traits `V`;
// included once per level by vector_kernels.h. Contracts in kernels.h.

// From `lanes` per-lane minima: split the lanes into `rank` groups, take each group's
// minimum, and return the largest of those: `rank` distinct values lie at or below it.
// No branch depends on the values. +infinity if rank > lanes.
inline float rank_bound_from_lanes(const float* minima, std::size_t lanes, std::size_t rank) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (rank > lanes) return kInfinity;
  float group_minimum[V::kLanes];  // rank <= lanes <= kLanes
  std::fill_n(group_minimum, V::kLanes, kInfinity);
  for (std::size_t l = 0, group = 0; l < lanes; ++l, group = group + 1 == rank ? 0 : group + 1)
    group_minimum[group] = std::min(group_minimum[group], minima[l]);
  return *std::max_element(group_minimum, group_minimum + rank);
}

inline bool score_and_bound_impl(float* dots, const float* centroid_norms, float point_norm, std::size_t k,
                                 std::size_t rank, float& bound) {
  const typename V::F norm = V::set1(point_norm);
  typename V::F minimum = V::set1(std::numeric_limits<float>::infinity());
  typename V::M unordered = V::no_lanes();
  for (std::size_t j = 0; j < k; j += V::kLanes) {
    const std::size_t n = std::min(V::kLanes, k - j);
    const typename V::M valid = V::first_lanes(n);
    const typename V::F score = scores_from_dots(dots, centroid_norms, j, n, norm);
    V::store_first(dots + j, score, n);
    minimum = V::select(valid, V::min(minimum, score), minimum);
    unordered = V::either(unordered, V::both(valid, V::unordered(score, score)));
  }
  alignas(64) float lanes[V::kLanes];
  V::store(lanes, minimum);
  bound = rank_bound_from_lanes(lanes, V::kLanes, rank);
  return V::none(unordered);
}

inline std::size_t indices_at_most_impl(const float* values, std::size_t count, float bound, std::uint32_t* out) {
  std::size_t found = 0;
  for (std::size_t j = 0; j < count; j += V::kLanes) {
    found += V::list_at_most(values + j, std::min(V::kLanes, count - j), bound, static_cast<std::uint32_t>(j),
                             out + found);
  }
  return found;
}

// Levels with a lane permute keep the nearest so far sorted in one vector of scores
// and one of indices, unfilled lanes holding NaN (after everything): a candidate goes
// in after every lane of equal score, the lanes after it moving up one, all without a
// branch (which candidates enter is as good as random). Others insert into a short
// sorted list, as the scalar level does.
template <class W, bool = W::kHasLanePermute>
struct SortedInsertion {
  static void first_by_score(const float* scores, const std::uint32_t* candidates, std::size_t found,
                             std::size_t take, std::uint64_t* chosen) {
    scalar::Kernels::first_by_score(scores, candidates, found, take, chosen);
  }
};

template <class W>
struct SortedInsertion<W, true> {
  static_assert(W::kLanes >= kernels::kFirstByScoreMost);
  static void first_by_score(const float* scores, const std::uint32_t* candidates, std::size_t found,
                             std::size_t take, std::uint64_t* chosen) {
    typename W::F kept = W::set1(std::numeric_limits<float>::quiet_NaN());
    typename W::I index = W::set1_index(0);
    for (std::size_t i = 0; i < found; ++i) {
      const std::uint32_t c = candidates[i];
      const typename W::F score = W::set1(scores[c]);
      // Lanes after the newcomer's place: farther than it, or unfilled.
      const typename W::M after = W::not_less_or_equal_unordered(kept, score);
      const typename W::M at = static_cast<typename W::M>(after & (0u - after));
      const typename W::M moved = static_cast<typename W::M>(after ^ at);
      kept = W::select(at, score, W::shift_up(kept, moved));
      index = W::select_index(at, W::set1_index(static_cast<std::int32_t>(c)), W::shift_up_index(index, moved));
    }
    alignas(64) std::int32_t nearest[W::kLanes];
    W::store_index(nearest, index);
    for (std::size_t m = 0; m < take; ++m) chosen[m] = static_cast<std::uint32_t>(nearest[m]);
  }
};

inline void first_by_score_impl(const float* scores, const std::uint32_t* candidates, std::size_t found,
                                std::size_t take, std::uint64_t* chosen) {
  SortedInsertion<V>::first_by_score(scores, candidates, found, take, chosen);
}

inline std::uint64_t at_most_shifted_impl(const float* values, const float* offsets, const std::uint8_t* rows,
                                          std::size_t stride, float limit, float scale, std::size_t count) {
  const typename V::F base = V::set1(limit), stretch = V::set1(scale);
  const typename V::F size = V::set1(std::abs(limit)), step = V::set1(kernels::kShiftedMargin);
  std::uint64_t found = 0;
  for (std::size_t j = 0; j < count; j += V::kLanes) {
    const std::size_t n = std::min(V::kLanes, count - j);
    const typename V::F offset =
        rows == nullptr ? V::load_first(offsets + j, n) : V::gather_rows_first(offsets, rows + j, stride, j, n);
    const typename V::F shift = V::mul(stretch, offset);
    const typename V::F bound = V::add(V::add(base, shift), V::mul(V::add(size, shift), step));
    const std::uint64_t lanes = V::bits(V::not_greater_unordered(V::load_first(values + j, n), bound));
    found |= (lanes & ((std::uint64_t{1} << n) - 1)) << j;
  }
  return found;
}

template <bool kRoot>
inline float store_lower_bounds_rooted(const float* scores, float base, const float* offsets, float scale,
                                       float* bounds, std::size_t count) {
  const typename V::F shift_by = V::set1(scale), step = V::set1(kernels::kShiftedMargin);
  const typename V::F at = V::set1(base), size = V::set1(std::abs(base)), zero = V::zero();
  const typename V::F infinity = V::set1(std::numeric_limits<float>::infinity());
  const typename V::F shrink = V::set1(1.0f - kernels::kShiftedMargin);
  typename V::F least = infinity;
  for (std::size_t j = 0; j < count; j += V::kLanes) {
    const std::size_t n = std::min(V::kLanes, count - j);
    const typename V::F score = V::load_first(scores + j, n), shift = V::mul(shift_by, V::load_first(offsets + j, n));
    typename V::F bound = V::sub(V::add(score, at), V::mul(V::add(V::abs(score), size), step));
    if constexpr (kRoot) bound = V::mul(V::sqrt(V::max(bound, zero)), shrink);
    typename V::F stored = V::add(bound, shift);
    stored = V::sub(stored, V::mul(V::add(V::abs(bound), shift), step));
    stored = V::select(V::equal(score, infinity), infinity, stored);
    stored = V::select(V::unordered(score, score), V::load_first(bounds + j, n), stored);
    V::store_first(bounds + j, stored, n);
    const typename V::F now = V::sub(V::sub(stored, shift), V::mul(V::add(V::abs(stored), shift), step));
    least = V::select(V::first_lanes(n), V::min(now, least), least);
  }
  return V::reduce_min(least);
}

inline float store_lower_bounds_impl(const float* scores, float base, bool root, const float* offsets, float scale,
                                     float* bounds, std::size_t count) {
  return root ? store_lower_bounds_rooted<true>(scores, base, offsets, scale, bounds, count)
              : store_lower_bounds_rooted<false>(scores, base, offsets, scale, bounds, count);
}
