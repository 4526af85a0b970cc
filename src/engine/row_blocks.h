// Reading a strided view in blocks of contiguous rows, for the block kernels.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "engine/matrix_view.h"

namespace plovek {

constexpr std::size_t kRowsPerBlock = 96;
// The smallest share of the rows one worker takes in a row-parallel pass.
constexpr std::size_t kRowsPerTask = 1024;

// Calls visit(first_row, count, rows, row_stride) for consecutive blocks of at most
// `rows_per_block` rows in [begin, end), each block's columns [first_column,
// first_column + columns) readable as contiguous rows (`rows` points at the first
// row's first such column): in place when the view allows it, otherwise copied into
// `scratch`.
template <class Visit>
void for_each_row_block_of_columns(const MatrixView& data, std::size_t begin, std::size_t end,
                                   std::size_t first_column, std::size_t columns, std::vector<float>& scratch,
                                   Visit&& visit, std::size_t rows_per_block = kRowsPerBlock) {
  for (std::size_t first = begin; first < end; first += rows_per_block) {
    const std::size_t count = std::min(rows_per_block, end - first);
    if (data.rows_are_direct()) {
      visit(first, count, data.row(first, nullptr) + first_column, data.row_stride());
      continue;
    }
    scratch.resize(rows_per_block * columns);
    for (std::size_t r = 0; r < count; ++r)
      data.copy_columns(first + r, first_column, columns, scratch.data() + r * columns);
    visit(first, count, static_cast<const float*>(scratch.data()), static_cast<std::ptrdiff_t>(columns));
  }
}

// The same for every column.
template <class Visit>
void for_each_row_block(const MatrixView& data, std::size_t begin, std::size_t end, std::vector<float>& scratch,
                        Visit&& visit, std::size_t rows_per_block = kRowsPerBlock) {
  for_each_row_block_of_columns(data, begin, end, 0, data.cols(), scratch, std::forward<Visit>(visit), rows_per_block);
}

}  // namespace plovek
