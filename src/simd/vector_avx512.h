// The AVX-512 vector traits `V`: 16 float lanes, mask registers. Included by
// foreach_level.h inside this level's namespace and target pragma, after
// <immintrin.h>; no include guard.
struct V {
  using F = __m512;
  using I = __m512i;
  using M = __mmask16;
  static constexpr std::size_t kLanes = 16;
  static constexpr std::size_t kPointVectors = 3;  // 48 points x 8 centroids: 24 accumulators
  static constexpr std::size_t kTileCentroids = 8;
  static constexpr bool kHasLanePermute = true;

  static F zero() { return _mm512_setzero_ps(); }
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
  static M first_lanes(std::size_t n) {
    return n >= kLanes ? M(0xFFFF) : static_cast<M>((1u << n) - 1u);
  }
  // The first n (<= kLanes) floats at p, zeros after them; nothing past them is read.
  static F load_first(const float* p, std::size_t n) { return _mm512_maskz_loadu_ps(first_lanes(n), p); }
  // The first n (<= kLanes) lanes of v to p; nothing past them is written.
  static void store_first(float* p, F v, std::size_t n) { _mm512_mask_storeu_ps(p, first_lanes(n), v); }

  static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  // a * b - c, rounded once.
  static F fmsub(F a, F b, F c) { return _mm512_fmsub_ps(a, b, c); }
  // c - a * b, rounded once.
  static F fnmadd(F a, F b, F c) { return _mm512_fnmadd_ps(a, b, c); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F div(F a, F b) { return _mm512_div_ps(a, b); }
  // Where either operand is NaN, min and max return b (the instructions' rule).
  static F min(F a, F b) { return _mm512_min_ps(a, b); }
  static F max(F a, F b) { return _mm512_max_ps(a, b); }
  static F negate(F a) { return _mm512_xor_ps(a, _mm512_set1_ps(-0.0f)); }
  static F abs(F a) { return _mm512_abs_ps(a); }
  // The sum of the row dot product's partials (kernels::row_dot_order), held in one
  // vector: partial l + 8 added to partial l, then ((0+4)+(2+6))+((1+5)+(3+7)).
  static float reduce_sixteen(const F (&partials)[1]) {
    const __m256 v = _mm256_add_ps(_mm512_castps512_ps256(partials[0]),
                                   _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(partials[0]), 1)));
    __m128 sum = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    sum = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
    sum = _mm_add_ss(sum, _mm_movehdup_ps(sum));
    return _mm_cvtss_f32(sum);
  }
  static F sqrt(F a) { return _mm512_sqrt_ps(a); }
  static float reduce_min(F v) { return _mm512_reduce_min_ps(v); }
  // v with lane `lane` replaced by `value`.
  static F with_lane(F v, std::size_t lane, float value) {
    return _mm512_mask_mov_ps(v, static_cast<M>(1u << lane), _mm512_set1_ps(value));
  }
  // Transposes the 16 x 16 tile held as 16 row vectors.
  static void transpose(F (&r)[kLanes]) {
    F t[kLanes];
    for (int i = 0; i < 8; ++i) {
      t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
      t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
    for (int b = 0; b < 16; b += 4) {
      r[b] = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(t[b]), _mm512_castps_pd(t[b + 2])));
      r[b + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(t[b]), _mm512_castps_pd(t[b + 2])));
      r[b + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(t[b + 1]), _mm512_castps_pd(t[b + 3])));
      r[b + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(t[b + 1]), _mm512_castps_pd(t[b + 3])));
    }
    for (int b = 0; b < 16; b += 8)
      for (int i = 0; i < 4; ++i) {
        t[b + i] = _mm512_shuffle_f32x4(r[b + i], r[b + 4 + i], 0x88);
        t[b + 4 + i] = _mm512_shuffle_f32x4(r[b + i], r[b + 4 + i], 0xdd);
      }
    for (int i = 0; i < 8; ++i) {
      r[i] = _mm512_shuffle_f32x4(t[i], t[8 + i], 0x88);
      r[8 + i] = _mm512_shuffle_f32x4(t[i], t[8 + i], 0xdd);
    }
  }

  // Doubles: kDoubleLanes of them per vector.
  using D = __m512d;
  static constexpr std::size_t kDoubleLanes = 8;
  static D zero_double() { return _mm512_setzero_pd(); }
  // The first n (<= kDoubleLanes) floats at p as doubles, zeros after them.
  static D widen_first(const float* p, std::size_t n) {
    return _mm512_cvtps_pd(_mm256_maskz_loadu_ps(static_cast<__mmask8>(first_lanes(n)), p));
  }
  static D load_double_first(const double* p, std::size_t n) {
    return _mm512_maskz_loadu_pd(static_cast<__mmask8>(first_lanes(n)), p);
  }
  static D widen(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
  static D load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
  static void store_first(double* p, D v, std::size_t n) {
    _mm512_mask_storeu_pd(p, static_cast<__mmask8>(first_lanes(n)), v);
  }
  static D add(D a, D b) { return _mm512_add_pd(a, b); }
  static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
  static D fmadd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
  static double reduce_add(D v) { return _mm512_reduce_add_pd(v); }

  // Comparisons: ordered ones are false for NaN; _unordered ones true.
  static M less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
  static M greater(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
  static M greater_or_equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
  static M equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
  static M not_equal_unordered(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NEQ_UQ); }
  static M not_greater_unordered(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NGT_UQ); }
  static M not_less_unordered(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NLT_UQ); }
  static M not_less_or_equal_unordered(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NLE_UQ); }
  static M less_or_equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
  static M unordered(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_UNORD_Q); }
  static M both(M a, M b) { return static_cast<M>(a & b); }
  static M either(M a, M b) { return static_cast<M>(a | b); }
  static M no_lanes() { return 0; }
  static bool none(M m) { return m == 0; }
  static unsigned bits(M m) { return m; }
  // a where m is set, b elsewhere.
  static F select(M m, F a, F b) { return _mm512_mask_mov_ps(b, m, a); }

  static I set1_index(std::int32_t j) { return _mm512_set1_epi32(j); }
  static I lane_indices(std::int32_t first) {
    return _mm512_add_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                            _mm512_set1_epi32(first));
  }
  static I load_index(const std::int32_t* p) { return _mm512_loadu_si512(p); }
  // Lanes l < n: table[rows[l] * stride + first + l], one byte of rows each; 0 elsewhere.
  static F gather_rows_first(const float* table, const std::uint8_t* rows, std::size_t stride, std::size_t first,
                             std::size_t n) {
    const M valid = first_lanes(n);
    const __m512i row = _mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(valid, rows));
    const __m512i at = _mm512_add_epi32(_mm512_mullo_epi32(row, set1_index(static_cast<std::int32_t>(stride))),
                                        lane_indices(static_cast<std::int32_t>(first)));
    return _mm512_mask_i32gather_ps(zero(), valid, at, table, sizeof(float));
  }
  static void store_index(std::int32_t* p, I v) { _mm512_storeu_si512(p, v); }
  static I select_index(M m, I a, I b) { return _mm512_mask_mov_epi32(b, m, a); }
  static std::int32_t reduce_min_index(I v) { return _mm512_reduce_min_epi32(v); }
  // The indices first + l of the lanes l < n whose value is <= bound, ascending, to
  // out; returns how many. Writes a whole vector of indices (kLanes) at out: without a
  // branch (which vectors hold some is as good as random) and cheaper than a
  // compressing store.
  static std::size_t list_at_most(const float* p, std::size_t n, float bound, std::uint32_t first,
                                  std::uint32_t* out) {
    const M valid = first_lanes(n);
    const M at_most = _mm512_mask_cmp_ps_mask(valid, _mm512_maskz_loadu_ps(valid, p), set1(bound), _CMP_LE_OQ);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi32(at_most, lane_indices(static_cast<std::int32_t>(first))));
    return static_cast<std::size_t>(__builtin_popcount(at_most));
  }
  // v with lane l + 1 taking lane l's value wherever `moved` is set.
  static F shift_up(F v, M moved) {
    return _mm512_mask_permutexvar_ps(v, moved, previous_lanes(), v);
  }
  static I shift_up_index(I v, M moved) {
    return _mm512_mask_permutexvar_epi32(v, moved, previous_lanes(), v);
  }
  static I previous_lanes() { return _mm512_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14); }
};
