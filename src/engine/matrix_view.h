// A read-only n x d view of f32 values with signed element strides, read in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace plovek {

// Asks the CPU to start loading every cache line of the `bytes` bytes at `start`: data
// read out of order, which the hardware does not fetch ahead, waits less for memory.
inline void prefetch_bytes(const void* start, std::size_t bytes) {
  constexpr std::uintptr_t kLine = 64;
  const auto from = reinterpret_cast<std::uintptr_t>(start);
  for (std::uintptr_t line = from & ~(kLine - 1); line < from + bytes; line += kLine)
    __builtin_prefetch(reinterpret_cast<const void*>(line));
}

class MatrixView {
 public:
  MatrixView() = default;
  // `origin` addresses element (0, 0); strides are counted in f32 elements and may be
  // negative or zero. The origin need not be 4-byte aligned.
  MatrixView(const void* origin, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
             std::ptrdiff_t col_stride)
      : origin_(static_cast<const unsigned char*>(origin)),
        rows_(rows),
        cols_(cols),
        row_stride_(row_stride),
        col_stride_(col_stride) {}

  static MatrixView row_major(const float* values, std::size_t rows, std::size_t cols) {
    return MatrixView(values, rows, cols, static_cast<std::ptrdiff_t>(cols), 1);
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::ptrdiff_t row_stride() const { return row_stride_; }
  std::ptrdiff_t col_stride() const { return col_stride_; }

  float at(std::size_t i, std::size_t j) const {
    float value;
    std::memcpy(&value, address(i, j), sizeof value);
    return value;
  }

  // True when every row can be read as a plain, aligned `const float*` of d values.
  bool rows_are_direct() const {
    return (col_stride_ == 1 || cols_ <= 1) &&
           reinterpret_cast<std::uintptr_t>(origin_) % alignof(float) == 0;
  }

  // Row i as d consecutive floats: in place when possible, otherwise copied into
  // `scratch` (room for d floats).
  const float* row(std::size_t i, float* scratch) const {
    if (rows_are_direct()) return reinterpret_cast<const float*>(address(i, 0));
    copy_row(i, scratch);
    return scratch;
  }

  // Asks the CPU to start loading row i (rows read out of order wait less for memory).
  void prefetch_row(std::size_t i) const { prefetch_bytes(address(i, 0), cols_ * sizeof(float)); }

  void copy_row(std::size_t i, float* out) const { copy_columns(i, 0, cols_, out); }
  // Columns first .. first + count - 1 of row i.
  void copy_columns(std::size_t i, std::size_t first, std::size_t count, float* out) const {
    for (std::size_t j = 0; j < count; ++j) out[j] = at(i, first + j);
  }

 private:
  const unsigned char* address(std::size_t i, std::size_t j) const {
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(i) * row_stride_ +
                                  static_cast<std::ptrdiff_t>(j) * col_stride_;
    return origin_ + offset * static_cast<std::ptrdiff_t>(sizeof(float));
  }

  const unsigned char* origin_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t col_stride_ = 0;
};

}  // namespace plovek
