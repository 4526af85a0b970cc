// Row dot products at a vector level: x . y, or (x - y) . (x - y) with the difference
// rounded to f32 first, so that the squared distance equals the dot product of a
// stored difference vector with itself bit for bit. The products are rounded to f32
// (a multiply, then an add) and summed in the fixed order of kernels::row_dot_order,
// which every level follows: the result is the same bits at every level.
//
// Written over the level's traits `V`; included once per level by vector_kernels.h.

// score_from_dot for the n (<= kLanes) dot products dots[j ..].
inline typename V::F scores_from_dots(const float* dots, const float* centroid_norms, std::size_t j, std::size_t n,
                                      typename V::F point_norm) {
  const typename V::F dot = V::load_first(dots + j, n);
  if (!centroid_norms) return V::negate(dot);
  return V::add(V::sub(V::load_first(centroid_norms + j, n), V::mul(V::set1(2.0f), dot)), point_norm);
}

template <bool kDifference>
inline typename V::F rounded_product(typename V::F x, typename V::F y) {
  if (!kDifference) return V::mul(x, y);
  const typename V::F delta = V::sub(x, y);
  return V::mul(delta, delta);
}

// The partial sums in vectors: partial l of kernels::kRowDotPartials in lane l % kLanes
// of chain l / kLanes. A last, partial group adds zero products to every partial, as
// the scalar definition does.
template <bool kDifference>
inline float dot_order(const float* x, const float* y, std::size_t d) {
  constexpr std::size_t L = V::kLanes, kChains = kernels::kRowDotPartials / L;
  typename V::F acc[kChains];
  for (std::size_t c = 0; c < kChains; ++c) acc[c] = V::zero();
  std::size_t t = 0;
  for (; t + kernels::kRowDotPartials <= d; t += kernels::kRowDotPartials)
    for (std::size_t c = 0; c < kChains; ++c)
      acc[c] = V::add(acc[c], rounded_product<kDifference>(V::load(x + t + c * L), V::load(y + t + c * L)));
  if (t < d) {
    for (std::size_t c = 0; c < kChains; ++c) {
      const std::size_t start = std::min(d, t + c * L), n = std::min(L, d - start);
      acc[c] = V::add(acc[c], rounded_product<kDifference>(V::load_first(x + start, n), V::load_first(y + start, n)));
    }
  }
  return V::reduce_sixteen(acc);
}

inline float dot_impl(const float* x, const float* y, std::size_t d) { return dot_order<false>(x, y, d); }
inline float squared_distance_impl(const float* x, const float* y, std::size_t d) { return dot_order<true>(x, y, d); }
