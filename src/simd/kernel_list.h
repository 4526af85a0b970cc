// The dispatched kernels, one line each:
//   PLOVEK_KERNEL(name, result, (parameters), (arguments), level it runs at)
// From this list come each level's table entry (kernels.cpp), the function in
// plovek::kernels that calls the entry of the level it runs at (kernels.h), and, at
// the vector levels, `Kernels::name`, which is the body `name_impl` written over the
// traits (vector_kernels.h). The scalar level's `Kernels::name` is the reference
// definition (scalar_kernels.h). So a kernel is its body, its scalar reference and one
// line here. The structs and constants the contracts name are in kernels.h.
// No include guard: included once per use, with PLOVEK_KERNEL defined.

// --- Row dot products (the active level) ---
// x . y over d elements (0.0 for d = 0).
PLOVEK_KERNEL(dot, float, (const float* x, const float* y, std::size_t d), (x, y, d), active_simd_level())
// (x - y).(x - y): the difference rounded to f32 element by element, then summed as
// `dot` sums, so it equals `dot` of a stored difference vector with itself bit for bit.
PLOVEK_KERNEL(squared_distance, float, (const float* x, const float* y, std::size_t d), (x, y, d),
              active_simd_level())
// The largest magnitude's bit pattern among `count` consecutive values (NaN above
// infinity above every finite value).
PLOVEK_KERNEL(largest_magnitude_bits, std::uint32_t, (const float* values, std::size_t count), (values, count),
              active_simd_level())

// --- Against packed centroids (the panels' level) ---
// For `count` points (row r at x + r * ldx, d contiguous values each): the index of
// the nearest centroid by nearest_by_rule. The vector levels search with fused
// multiply-adds, keep each point's runner-up, and settle the points whose best two
// scores lie within twice the FusedScoreSlack with rescore_near_ties: the labels are
// those of the rounded products. `point_norms` (x.x per point) is read only for the
// Euclidean score. With `scores` (may be null), also the costs NearestScores describes;
// with scores->index_of, labels are positions whose ties went by index_of.
PLOVEK_KERNEL(nearest_centroids, void,
              (const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count,
               const float* point_norms, std::uint64_t* labels, const kernels::NearestScores* scores),
              (panels, x, ldx, count, point_norms, labels, scores), panels.level())
// The same for `count` rows anywhere in memory (point r's d values at rows[r]).
PLOVEK_KERNEL(nearest_listed, void,
              (const kernels::CentroidPanels& panels, const float* const* rows, std::size_t count,
               const float* point_norms, std::uint64_t* labels, const kernels::NearestScores* scores),
              (panels, rows, count, point_norms, labels, scores), panels.level())
// The nearest of the centroids in panels [first_panel, last_panel) for `count` points
// anywhere in memory (point r's d values at rows[r]), as RangeNearest describes.
PLOVEK_KERNEL(nearest_in_panels, void,
              (const kernels::CentroidPanels& panels, std::size_t first_panel, std::size_t last_panel,
               const float* const* rows, const float* limits, std::size_t count, kernels::RangeNearest* out),
              (panels, first_panel, last_panel, rows, limits, count, out), panels.level())
// Near ties settled with rounded products, for `count` points anywhere in memory
// (point r's d values at rows[r]): every centroid of panels [first_panel, last_panel)
// whose fused cost (as RangeNearest's) is at most limits[r] is scored as
// nearest_by_rule scores it (x.x = point_norms[r], read for the Euclidean score) from
// its rounded-product dot product, and offered to out[r] by that rule (ties by
// index_of[position], or the position where null). A limit at or above the point's
// least fused cost plus the FusedScoreSlack margin leaves out only centroids that the
// rounded products rank behind another. The scalar level scores the whole range.
PLOVEK_KERNEL(rescore_near_ties, void,
              (const kernels::CentroidPanels& panels, std::size_t first_panel, std::size_t last_panel,
               const float* const* rows, const float* point_norms, const float* limits, std::size_t count,
               const std::uint32_t* index_of, kernels::NearestSoFar* out),
              (panels, first_panel, last_panel, rows, point_norms, limits, count, index_of, out), panels.level())
// All dot products c_j . x of `count` points: out[r * k + j]. With fused multiply-adds
// at the levels where centroid_dots_are_fused(level), each then within the panels'
// FusedScoreSlack of the rounded-product one (as a score).
PLOVEK_KERNEL(centroid_dots, void,
              (const kernels::CentroidPanels& panels, const float* x, std::ptrdiff_t ldx, std::size_t count, float* out),
              (panels, x, ldx, count, out), panels.level())
// The dot products c_j . x of one point with every centroid, out[j], with rounded
// products: what centroid_dots gives where it does not fuse.
PLOVEK_KERNEL(exact_point_dots, void, (const kernels::CentroidPanels& panels, const float* x, float* out), (panels, x, out),
              panels.level())
// The dot products c_j . x of one point with every centroid, out[j], in the balancing
// step's order (two chains, half the dependency depth of one).
PLOVEK_KERNEL(paired_point_dots, void, (const kernels::CentroidPanels& panels, const float* x, float* out), (panels, x, out),
              panels.level())

// --- Selection and bound scans (the active level) ---
// Turns one point's k dot products into its scores, in place: (c.c - 2 c.x) + x.x in
// that order when `centroid_norms` (c.c) is given, -(c.x) when it is null. Returns
// false if a score is NaN. Otherwise `bound` is a value that at least `rank` scores
// are <= to (+infinity when the pass cannot tell), from the per-lane minima; rank >= 1.
PLOVEK_KERNEL(score_and_bound, bool,
              (float* dots, const float* centroid_norms, float point_norm, std::size_t k, std::size_t rank,
               float& bound),
              (dots, centroid_norms, point_norm, k, rank, bound), active_simd_level())
// Writes the indices j < count with values[j] <= bound to `out`, ascending; returns
// how many. `out` has room for count + kIndexSlack indices: a vector level may write
// whole vectors past the last index found.
PLOVEK_KERNEL(indices_at_most, std::size_t, (const float* values, std::size_t count, float bound, std::uint32_t* out),
              (values, count, bound, out), active_simd_level())
// Bit j (j < count <= 64) set where values[j] is not above limit + scale * offset_j, the
// offset offsets[rows[j] * stride + j], or offsets[j] without rows (NaN values count as
// not above), the bound taken with a margin that covers the rounding of its product and
// sum: plus (|limit| + scale * offset_j) kShiftedMargin. Offsets and scale are at least 0.
PLOVEK_KERNEL(at_most_shifted, std::uint64_t,
              (const float* values, const float* offsets, const std::uint8_t* rows, std::size_t stride, float limit,
               float scale, std::size_t count),
              (values, offsets, rows, stride, limit, scale, count), active_simd_level())
// Lower bounds that move by scale * offsets[j], from scores: for each j < count whose
// score is a number, bounds[j] becomes a value at or below b + scale * offsets[j], b
// the square root of max(0, scores[j] + base) when `root`, else scores[j] + base
// (+infinity where the score is +infinity); a NaN score leaves bounds[j] as it is.
// Returns a value at or below every bounds[j] - scale * offsets[j] afterwards (those
// that are +infinity, no bound, never count; +infinity for none). Every step is taken
// with a margin of kShiftedMargin times its operands' magnitude. Offsets and scale are
// at least 0.
PLOVEK_KERNEL(store_lower_bounds, float,
              (const float* scores, float base, bool root, const float* offsets, float scale, float* bounds,
               std::size_t count),
              (scores, base, root, offsets, scale, bounds, count), active_simd_level())
// Of the `found` candidates (cluster indices, ascending), the `take` with the smallest
// scores (1 <= take <= min(found, kFirstByScoreMost)), equal scores in candidate order:
// their indices to chosen[0 .. take), nearest first. No score may be NaN.
PLOVEK_KERNEL(first_by_score, void,
              (const float* scores, const std::uint32_t* candidates, std::size_t found, std::size_t take,
               std::uint64_t* chosen),
              (scores, candidates, found, take, chosen), active_simd_level())

// --- Double precision (the active level) ---
// For each row r < count (at rows + r * ldx, d values) whose label lies in
// [first, last): sums[(label - first) * d + t] += double(row[t]), rows in order (every
// level performs the same additions).
PLOVEK_KERNEL(add_rows_by_label, void,
              (const float* rows, std::ptrdiff_t ldx, std::size_t count, const std::uint64_t* labels,
               std::uint64_t first, std::uint64_t last, double* sums, std::size_t d),
              (rows, ldx, count, labels, first, last, sums, d), active_simd_level())
// SquareAndDot of x and y (the summation order is free).
PLOVEK_KERNEL(square_and_dot_f64, kernels::SquareAndDot, (const float* x, const double* y, std::size_t d), (x, y, d),
              active_simd_level())
// The sum over t < d of (double(x[t]) - double(y[t]))^2 (the summation order is free).
PLOVEK_KERNEL(squared_distance_f64, double, (const float* x, const float* y, std::size_t d), (x, y, d),
              active_simd_level())
