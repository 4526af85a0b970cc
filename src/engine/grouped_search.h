// One worker's search of the points that the assignment bounds leave open, over the
// grouped panels. A point with most groups open is searched whole by the block kernel,
// which also gives each group's least cost; the others are gathered in batches, each
// batch searched group by group, so that a point measures only its open groups while
// the kernel still scores whole micro-tiles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/assignment_bounds.h"
#include "simd/kernels.h"

namespace plovek {

class GroupedSearch {
 public:
  // Labels are read (the last assignment's) and written in place.
  GroupedSearch(AssignmentBounds& bounds, std::uint64_t* labels, std::size_t d);

  // Rows first .. first + count - 1 (readable at `rows` with `stride` until the next
  // flush()), each unless its bounds prove its label; searched in batches, the rows
  // read where they lie.
  void search_unless_kept(std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride);
  // Searches rows first .. first + count - 1 (readable at `rows` with `stride`) whole,
  // and records their bounds.
  void search_rows(std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride);
  // The same for the points listed in `points` (point s's row at rows[s]).
  void search_points(const std::size_t* points, std::size_t count, const float* const* rows);
  // Searches the points gathered so far.
  void flush() {
    search_whole();
    search_open();
  }
  // The distances this worker measured.
  std::uint64_t measured() const { return measured_; }

 private:
  // A gathered point and the best its searched groups have shown so far (costs as
  // kernels::RangeNearest gives them).
  struct Open {
    std::size_t index;
    const float* row;
    GroupSet groups;
    float best, second;
    float group_second;  // the runner-up within the best's group
    std::uint32_t position;
  };
  // Point i (row x) that the screening left open with `groups`, unless tightening its
  // bound proves its label.
  void search_open_point(std::size_t i, const float* x, GroupSet groups);
  // Searches `count` rows whole, row r (point point_of(r)) at row_of(r).
  template <class PointOf, class RowOf>
  void search_listed(std::size_t count, PointOf point_of, RowOf row_of);
  // Adds point i (row x) to those searched whole, searching them once they fill a batch.
  void add_whole(std::size_t i, const float* x);
  // Searches the points listed in wide_ whole.
  void search_whole();
  void search_open();
  // Searches group g for the `count` gathered points listed (their own group, or one
  // they have open besides).
  void search_group(std::size_t g, const std::uint32_t* members, std::size_t count, bool own);
  // The label and the new bounds of the gathered point in slot s, or, where its fused
  // costs leave a near tie, its place among near_ties_.
  void settle(std::size_t s);
  // The labels and the new bounds of the near ties: rounded products, ties broken by
  // centroid index as the full search breaks them, of the centroids in the groups
  // searched whose fused costs lie within the margin of the best.
  void settle_near_ties();
  // The label and the new bounds of the point searched whole in slot s.
  void settle_whole(std::size_t s);

  AssignmentBounds& bounds_;
  const kernels::CentroidPanels& panels_;
  const CentroidGroups& groups_;
  std::uint64_t* labels_;
  std::size_t d_;
  std::size_t batch_;  // points gathered before they are searched
  std::vector<Open> open_;
  std::vector<AssignmentBounds::Screened> screened_;
  // The points searched whole: indices, rows, norms, what the search found.
  std::vector<std::size_t> wide_;
  std::vector<const float*> wide_rows_;
  std::vector<float> wide_norms_, wide_best_, wide_second_, wide_least_;
  std::vector<std::uint64_t> wide_positions_;
  std::size_t least_wide_distances_;
  std::vector<float> costs_;  // per gathered point and group searched: its least cost
  // Per group, a batch's room each: the gathered points whose own group it is, and
  // those with it open besides; and how many of each.
  std::vector<std::uint32_t> own_members_, other_members_, own_count_, other_count_;
  // A gathered point that its fused costs leave undecided: its slot, the cost within
  // which a centroid can still be its nearest, and the nearest re-scored so far.
  struct NearTie {
    std::uint32_t slot;
    float limit;
    kernels::NearestSoFar nearest;
  };
  std::vector<NearTie> near_ties_;
  // One kernel call's points, their limits and results (and, re-scoring near ties,
  // their norms and places among near_ties_).
  std::vector<const float*> call_rows_;
  std::vector<float> call_limits_, call_norms_;
  std::vector<kernels::RangeNearest> call_results_;
  std::vector<kernels::NearestSoFar> call_nearest_;
  std::vector<std::uint32_t> call_ties_;
  std::uint64_t measured_ = 0;
};

}  // namespace plovek
