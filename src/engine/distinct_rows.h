// The distinct rows of low-dimensional data that repeats itself: the pixels of a
// photograph take a few colours many times over (8-bit channels), and geographic or
// quantised points repeat as well. Rows equal bit for bit have the same scores and so
// the same nearest centroid: a search of the distinct rows alone labels them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/matrix_view.h"

namespace plovek {

// A hash of a row by the bits of its values, added value after value: rows equal bit
// for bit hash alike.
class RowBitsHash {
 public:
  void add(std::uint32_t bits) { hash_ = (hash_ + bits) * 0x9E3779B97F4A7C15ull; }
  // The high bits, which every bit of the row reaches, down to the low ones.
  std::uint64_t value() const { return hash_ ^ (hash_ >> 29); }

 private:
  std::uint64_t hash_ = 0;
};

class DistinctRows {
 public:
  // The distinct rows of `data` (with `point_norms`, x.x per row, when not empty),
  // where searching them alone for the nearest of k centroids pays: at most
  // kMostColumns columns, at least kLeastRows rows, at least kLeastCentroids centroids
  // (below, a search costs about what looking up its label does), at most half the
  // rows distinct, rows read in place. Null otherwise; the scan gives up early on rows
  // that do not repeat.
  static std::unique_ptr<DistinctRows> find(const MatrixView& data, std::size_t k, std::span<const float> point_norms);

  static constexpr std::size_t kMostColumns = 4, kLeastRows = std::size_t{1} << 15, kLeastCentroids = 16;

  // The distinct rows in order of first appearance: their addresses and their x.x
  // (empty without norms).
  std::size_t count() const { return rows_.size(); }
  const float* const* rows() const { return rows_.data(); }
  const float* norms() const { return norms_.empty() ? nullptr : norms_.data(); }
  // The position among them of the row equal to row i.
  std::uint32_t position_of(std::size_t i) const { return position_of_[i]; }

  // A distinct row that rows of a chunk repeat, and how many of them do.
  struct Repeats {
    std::uint32_t position, count;
  };
  // Whether chunks of `chunk_rows` rows can be summed by the distinct rows, each times
  // the number of the chunk's rows that repeat it, bit for bit as their rows are summed
  // in order in double: where every partial sum is exact (every value a multiple of the
  // finest unit in last place among them, and chunk_rows times the largest magnitude
  // below 2^53 such units), the order does not matter. The repeats are then listed
  // (once, for the first chunk size asked about).
  bool sums_by_repeats(std::size_t chunk_rows);
  // After sums_by_repeats said yes: the distinct rows' values, row after row; the
  // distinct rows that chunk c's rows repeat, in order of first appearance there; and
  // how many rows repeat distinct row p.
  const float* values() const { return values_.data(); }
  std::span<const Repeats> repeats_in(std::size_t c) const { return chunk_repeats_[c]; }
  std::uint64_t repeats_of(std::size_t p) const { return rows_repeating_[p]; }

 private:
  bool sums_exact(std::size_t chunk_rows) const;
  void list_repeats(std::size_t chunk_rows);

  std::size_t columns_ = 0;
  std::vector<const float*> rows_;
  std::vector<float> norms_;
  std::size_t row_count_ = 0;
  std::unique_ptr<std::uint32_t[]> position_of_;  // written by the scan: not zeroed first
  std::size_t repeats_chunk_rows_ = 0;  // 0: not asked yet
  bool sums_by_repeats_ = false;
  std::vector<float> values_;
  std::vector<std::vector<Repeats>> chunk_repeats_;
  std::vector<std::uint32_t> rows_repeating_;
};

}  // namespace plovek
