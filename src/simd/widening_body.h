// Double-precision sums of f32 rows at a vector level, written over the level's traits
// `V`; included once per level by vector_kernels.h. The row sums perform one IEEE
// addition per element, as the scalar level does, so every level gives the same bits.

// acc[t] += double(row[t]) for t < d.
inline void widen_add_row(double* acc, const float* row, std::size_t d) {
  std::size_t t = 0;
  for (; t + V::kDoubleLanes <= d; t += V::kDoubleLanes) V::store(acc + t, V::add(V::load(acc + t), V::widen(row + t)));
  // The tail one element at a time: the next row often has the same label, and a
  // masked store does not forward to the masked load that reads it back.
  for (; t < d; ++t) acc[t] += static_cast<double>(row[t]);
}

// Rows that fit one double vector: a run of rows with one label (common where
// neighbours are alike, as the pixels of a photograph) sums in a register, rows in order.
inline void add_short_rows_by_label(const float* rows, std::ptrdiff_t ldx, std::size_t count,
                                    const std::uint64_t* labels, std::uint64_t first, std::uint64_t last, double* sums,
                                    std::size_t d) {
  for (std::size_t r = 0; r < count;) {
    const std::uint64_t label = labels[r];
    if (label < first || label >= last) {
      ++r;
      continue;
    }
    double* acc = sums + (label - first) * d;
    typename V::D sum = V::load_double_first(acc, d);
    for (; r < count && labels[r] == label; ++r)
      sum = V::add(sum, V::widen_first(rows + static_cast<std::ptrdiff_t>(r) * ldx, d));
    V::store_first(acc, sum, d);
  }
}

inline void add_rows_by_label_impl(const float* rows, std::ptrdiff_t ldx, std::size_t count,
                                    const std::uint64_t* labels, std::uint64_t first, std::uint64_t last, double* sums,
                                    std::size_t d) {
  if (d <= V::kDoubleLanes) return add_short_rows_by_label(rows, ldx, count, labels, first, last, sums, d);
  for (std::size_t r = 0; r < count; ++r) {
    if (labels[r] < first || labels[r] >= last) continue;
    widen_add_row(sums + (labels[r] - first) * d, rows + static_cast<std::ptrdiff_t>(r) * ldx, d);
  }
}

// SquareAndDot of x and y (the order is free): fused multiply-adds in double lanes.
inline kernels::SquareAndDot square_and_dot_f64_impl(const float* x, const double* y, std::size_t d) {
  typename V::D squares = V::zero_double(), dots = V::zero_double();
  for (std::size_t t = 0; t < d; t += V::kDoubleLanes) {
    const std::size_t n = std::min(V::kDoubleLanes, d - t);
    const typename V::D value = V::widen_first(x + t, n);
    squares = V::fmadd(value, value, squares);
    dots = V::fmadd(value, V::load_double_first(y + t, n), dots);
  }
  return {.square = V::reduce_add(squares), .dot = V::reduce_add(dots)};
}

inline double squared_distance_f64_impl(const float* x, const float* y, std::size_t d) {
  typename V::D squares = V::zero_double();
  for (std::size_t t = 0; t < d; t += V::kDoubleLanes) {
    const std::size_t n = std::min(V::kDoubleLanes, d - t);
    const typename V::D step = V::sub(V::widen_first(x + t, n), V::widen_first(y + t, n));
    squares = V::fmadd(step, step, squares);
  }
  return V::reduce_add(squares);
}
