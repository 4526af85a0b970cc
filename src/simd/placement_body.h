// The placement scan of a balancing point step at a vector level, written over the
// level's traits `V`; included once per level by vector_kernels.h. Contract and the
// scalar definition it matches bit for bit in kernels.h and scalar_kernels.h.

// The lanes whose switch value excess / gap (gap > 0) may lie below the limit: excess
// < limit * gap, decided on the exactly rounded limit * gap - excess, whose sign is the
// exact one unless it rounds to zero (kept) or is not a number (kept).
inline typename V::M below_limit(typename V::F excess, typename V::F gap, typename V::F limit) {
  return V::not_less_unordered(V::fmsub(limit, gap, excess), V::zero());
}

inline kernels::Placement place_from_dots_impl(const float* dots, const float* centroid_norms, float point_norm,
                                               const float* sizes, std::size_t k, std::size_t home,
                                               float size_penalty, float switch_limit) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  const auto distance_at = [&](std::size_t j) { return kernels::score_from_dot(dots[j], centroid_norms, j, point_norm); };
  const typename V::F home_distance = V::set1(distance_at(home)), home_size = V::set1(sizes[home]);
  const typename V::F penalty = V::set1(size_penalty), limit = V::set1(switch_limit);
  const typename V::F norm = V::set1(point_norm);
  typename V::F best_cost = V::set1(kInfinity), smallest = best_cost;
  typename V::I best_index = V::set1_index(-1);
  for (std::size_t j = 0; j < k; j += V::kLanes) {
    const std::size_t n = std::min(V::kLanes, k - j);
    const typename V::M valid = V::first_lanes(n);
    const typename V::F distance = scores_from_dots(dots, centroid_norms, j, n, norm);
    const typename V::F size = V::load_first(sizes + j, n);
    const typename V::F cost = V::add(distance, V::mul(penalty, size));
    const typename V::M take = V::both(valid, V::less(cost, best_cost));
    best_cost = V::select(take, cost, best_cost);
    best_index = V::select_index(take, V::lane_indices(static_cast<std::int32_t>(j)), best_index);
    const typename V::F gap = V::sub(home_size, size);
    const typename V::M candidate =
        V::both(valid, V::both(V::greater(home_size, size), V::not_equal_unordered(gap, V::zero())));
    const typename V::F excess = V::sub(distance, home_distance);
    // Only lanes whose value may lie below the limit are divided.
    const typename V::M below = V::both(candidate, below_limit(excess, gap, limit));
    if (V::none(below)) continue;
    const typename V::F value = V::div(excess, gap);
    smallest = V::select(V::both(below, V::less(value, smallest)), value, smallest);
  }
  const float result = V::reduce_min(smallest);
  // Lanes hold only costs below +infinity, each lane its first smallest one; among the
  // lanes with the smallest cost the lowest index is the first. Without any such
  // lane, or when the first cost is not a number, cluster 0 keeps the place.
  const float lowest_cost = V::reduce_min(best_cost);
  if (!(lowest_cost < kInfinity) || std::isnan(distance_at(0) + size_penalty * sizes[0])) return {0, result};
  const typename V::M lowest = V::equal(best_cost, V::set1(lowest_cost));
  const std::int32_t target =
      V::reduce_min_index(V::select_index(lowest, best_index, V::set1_index(std::numeric_limits<std::int32_t>::max())));
  return {static_cast<std::size_t>(target), result};
}
