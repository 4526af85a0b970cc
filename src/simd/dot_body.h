// The dot product at a vector level: x . y, or (x - y) . (x - y) with the difference
// rounded to f32 first, in one accumulation order, so that the squared distance equals
// the dot product of a stored difference vector with itself bit for bit. Two chains of
// fused multiply-adds over whole vectors, a last partial vector (zeros after d) in the
// second chain, then the chains added and the lanes summed.
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
inline typename V::F dot_term(typename V::F x, typename V::F y, typename V::F acc) {
  if (!kDifference) return V::fmadd(x, y, acc);
  const typename V::F delta = V::sub(x, y);
  return V::fmadd(delta, delta, acc);
}

template <bool kDifference>
inline float dot_order(const float* x, const float* y, std::size_t d) {
  constexpr std::size_t L = V::kLanes;
  typename V::F acc0 = V::zero(), acc1 = V::zero();
  std::size_t t = 0;
  for (; t + 2 * L <= d; t += 2 * L) {
    acc0 = dot_term<kDifference>(V::load(x + t), V::load(y + t), acc0);
    acc1 = dot_term<kDifference>(V::load(x + t + L), V::load(y + t + L), acc1);
  }
  if (t + L <= d) {
    acc0 = dot_term<kDifference>(V::load(x + t), V::load(y + t), acc0);
    t += L;
  }
  if (t < d) acc1 = dot_term<kDifference>(V::load_first(x + t, d - t), V::load_first(y + t, d - t), acc1);
  return V::reduce_add(V::add(acc0, acc1));
}
