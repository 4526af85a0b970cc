// An owned, row-major f32 matrix (the centroids).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/matrix_view.h"

namespace plovek {

class Matrix {
 public:
  Matrix() = default;
  // A rows x cols matrix of zeros.
  Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), values_(rows * cols, 0.0f) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }

  std::span<float> row(std::size_t i) { return {values_.data() + i * cols_, cols_}; }
  std::span<const float> row(std::size_t i) const { return {values_.data() + i * cols_, cols_}; }

  float* data() { return values_.data(); }
  const float* data() const { return values_.data(); }

  MatrixView view() const { return MatrixView::row_major(values_.data(), rows_, cols_); }

  friend bool operator==(const Matrix&, const Matrix&) = default;

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<float> values_;
};

}  // namespace plovek
