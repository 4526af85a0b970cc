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

 private:
  std::vector<const float*> rows_;
  std::vector<float> norms_;
  std::vector<std::uint32_t> position_of_;
};

}  // namespace plovek
