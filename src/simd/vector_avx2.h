// The AVX2+FMA vector traits `V`: 8 float lanes, vector masks. Included by
// foreach_level.h inside this level's namespace and target pragma, after
// <immintrin.h>; no include guard.
struct V {
  using F = __m256;
  using I = __m256i;
  using M = __m256;  // a lane is selected when all its bits are set
  static constexpr std::size_t kLanes = 8;
  static constexpr std::size_t kPointVectors = 3;  // 24 points x 4 centroids: 12 accumulators
  static constexpr std::size_t kTileCentroids = 4;
  static constexpr bool kHasLanePermute = false;

  static F zero() { return _mm256_setzero_ps(); }
  static F set1(float v) { return _mm256_set1_ps(v); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
  static M first_lanes(std::size_t n) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), lanes));
  }
  // The first n (<= kLanes) floats at p, zeros after them; nothing past them is read.
  // Whole vectors take the plain load and store: a masked store costs many times a
  // plain one on some cores (AMD's).
  static F load_first(const float* p, std::size_t n) {
    return n == kLanes ? load(p) : _mm256_maskload_ps(p, _mm256_castps_si256(first_lanes(n)));
  }
  // The first n (<= kLanes) lanes of v to p; nothing past them is written.
  static void store_first(float* p, F v, std::size_t n) {
    if (n == kLanes) return store(p, v);
    _mm256_maskstore_ps(p, _mm256_castps_si256(first_lanes(n)), v);
  }

  static F fmadd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  // a * b - c, rounded once.
  static F fmsub(F a, F b, F c) { return _mm256_fmsub_ps(a, b, c); }
  // c - a * b, rounded once.
  static F fnmadd(F a, F b, F c) { return _mm256_fnmadd_ps(a, b, c); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  // Where either operand is NaN, min and max return b (the instructions' rule).
  static F min(F a, F b) { return _mm256_min_ps(a, b); }
  static F max(F a, F b) { return _mm256_max_ps(a, b); }
  static F negate(F a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static F abs(F a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
  // The sum of the row dot product's partials (kernels::row_dot_order), held in
  // two vectors: partial l + 8 added to partial l, then ((0+4)+(2+6))+((1+5)+(3+7)).
  static float reduce_sixteen(const F (&partials)[2]) {
    const F v = _mm256_add_ps(partials[0], partials[1]);
    __m128 sum = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    sum = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
    sum = _mm_add_ss(sum, _mm_movehdup_ps(sum));
    return _mm_cvtss_f32(sum);
  }
  static F sqrt(F a) { return _mm256_sqrt_ps(a); }
  static float reduce_min(F v) {
    v = _mm256_min_ps(v, _mm256_permute2f128_ps(v, v, 1));
    v = _mm256_min_ps(v, _mm256_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm256_cvtss_f32(_mm256_min_ps(v, _mm256_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1))));
  }
  // v with lane `lane` replaced by `value`.
  static F with_lane(F v, std::size_t lane, float value) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 at = _mm256_castsi256_ps(_mm256_cmpeq_epi32(lanes, _mm256_set1_epi32(static_cast<int>(lane))));
    return _mm256_blendv_ps(v, _mm256_set1_ps(value), at);
  }
  // Transposes the 8 x 8 tile held as 8 row vectors.
  static void transpose(F (&r)[kLanes]) {
    F t[kLanes];
    for (int i = 0; i < 4; ++i) {
      t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
      t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
    for (int b = 0; b < 8; b += 4) {
      r[b] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(t[b]), _mm256_castps_pd(t[b + 2])));
      r[b + 1] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(t[b]), _mm256_castps_pd(t[b + 2])));
      r[b + 2] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(t[b + 1]), _mm256_castps_pd(t[b + 3])));
      r[b + 3] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(t[b + 1]), _mm256_castps_pd(t[b + 3])));
    }
    for (int i = 0; i < 4; ++i) {
      t[i] = _mm256_permute2f128_ps(r[i], r[4 + i], 0x20);
      t[4 + i] = _mm256_permute2f128_ps(r[i], r[4 + i], 0x31);
    }
    for (int i = 0; i < 8; ++i) r[i] = t[i];
  }

  // Doubles: kDoubleLanes of them per vector.
  using D = __m256d;
  static constexpr std::size_t kDoubleLanes = 4;
  static D zero_double() { return _mm256_setzero_pd(); }
  // The first n (<= kDoubleLanes) floats at p as doubles, zeros after them.
  static D widen_first(const float* p, std::size_t n) {
    const __m128i lanes = _mm_setr_epi32(0, 1, 2, 3);
    return _mm256_cvtps_pd(_mm_maskload_ps(p, _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(n)), lanes)));
  }
  static D load_double_first(const double* p, std::size_t n) {
    const __m256i lanes = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_maskload_pd(p, _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(n)), lanes));
  }
  static D widen(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
  static D load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
  static void store_first(double* p, D v, std::size_t n) {
    const __m256i lanes = _mm256_setr_epi64x(0, 1, 2, 3);
    _mm256_maskstore_pd(p, _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(n)), lanes), v);
  }
  static D add(D a, D b) { return _mm256_add_pd(a, b); }
  static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D fmadd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
  static double reduce_add(D v) {
    const __m128d sum = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_add_sd(sum, _mm_unpackhi_pd(sum, sum)));
  }

  // Comparisons: ordered ones are false for NaN; _unordered ones true.
  static M less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
  static M greater(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
  static M greater_or_equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
  static M equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
  static M not_equal_unordered(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_NEQ_UQ); }
  static M not_greater_unordered(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_NGT_UQ); }
  static M not_less_unordered(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_NLT_UQ); }
  static M less_or_equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
  static M unordered(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_UNORD_Q); }
  static M both(M a, M b) { return _mm256_and_ps(a, b); }
  static M either(M a, M b) { return _mm256_or_ps(a, b); }
  static M no_lanes() { return _mm256_setzero_ps(); }
  static bool none(M m) { return _mm256_movemask_ps(m) == 0; }
  static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_ps(m)); }
  // a where m is set, b elsewhere.
  static F select(M m, F a, F b) { return _mm256_blendv_ps(b, a, m); }

  static I set1_index(std::int32_t j) { return _mm256_set1_epi32(j); }
  static I lane_indices(std::int32_t first) {
    return _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(first));
  }
  static I load_index(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  // Lanes l < n: table[rows[l] * stride + first + l], one byte of rows each; 0 elsewhere.
  static F gather_rows_first(const float* table, const std::uint8_t* rows, std::size_t stride, std::size_t first,
                             std::size_t n) {
    std::uint64_t bytes = 0;
    std::memcpy(&bytes, rows, n);
    const __m256i row = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(bytes)));
    const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(row, set1_index(static_cast<std::int32_t>(stride))),
                                        lane_indices(static_cast<std::int32_t>(first)));
    return _mm256_mask_i32gather_ps(zero(), table, at, first_lanes(n), sizeof(float));
  }
  static void store_index(std::int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static I select_index(M m, I a, I b) {
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(b), _mm256_castsi256_ps(a), m));
  }
  static std::int32_t reduce_min_index(I v) {
    v = _mm256_min_epi32(v, _mm256_permute2x128_si256(v, v, 1));
    v = _mm256_min_epi32(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm256_cvtsi256_si32(_mm256_min_epi32(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1))));
  }
  // The indices first + l of the lanes l < n whose value is <= bound, ascending, to
  // out; returns how many.
  static std::size_t list_at_most(const float* p, std::size_t n, float bound, std::uint32_t first,
                                  std::uint32_t* out) {
    unsigned mask = bits(less_or_equal(load_first(p, n), set1(bound))) & ((1u << n) - 1u);
    std::size_t found = 0;
    for (; mask != 0; mask &= mask - 1) out[found++] = first + static_cast<std::uint32_t>(__builtin_ctz(mask));
    return found;
  }
};
