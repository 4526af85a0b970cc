// The score orders of score_order.h lane by lane, at a vector level over its traits
// `V`; included once per level by vector_kernels.h. Where either operand is NaN the
// traits' comparisons are false and their min and max return the second operand, so
// a NaN score never wins, as in the scalar rules.
template <class Order>
struct LaneOrder;

template <>
struct LaneOrder<kernels::LowestScoreFirst> {
  // Lanes where a later candidate replaces the nearest so far.
  static typename V::M replaces(typename V::F score, typename V::F nearest) { return V::less(score, nearest); }
  static typename V::F nearer(typename V::F a, typename V::F b) { return V::min(a, b); }
  static typename V::F farther(typename V::F a, typename V::F b) { return V::max(a, b); }
  // The score `margin` behind `nearest`, and the lanes where `score` comes no later.
  static typename V::F behind(typename V::F nearest, typename V::F margin) { return V::add(nearest, margin); }
  static typename V::M up_to(typename V::F score, typename V::F limit) { return V::less_or_equal(score, limit); }
};

template <>
struct LaneOrder<kernels::HighestScoreFirst> {
  static typename V::M replaces(typename V::F score, typename V::F nearest) {
    return V::greater_or_equal(score, nearest);
  }
  static typename V::F nearer(typename V::F a, typename V::F b) { return V::max(a, b); }
  static typename V::F farther(typename V::F a, typename V::F b) { return V::min(a, b); }
  static typename V::F behind(typename V::F nearest, typename V::F margin) { return V::sub(nearest, margin); }
  static typename V::M up_to(typename V::F score, typename V::F limit) { return V::greater_or_equal(score, limit); }
};
