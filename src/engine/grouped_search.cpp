#include "engine/grouped_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace plovek {

namespace {

// Points searched together: enough for every group's calls to fill micro-tiles (each
// point's own group is searched with those of the others in it: about kPointsPerGroup
// per group), few enough for their rows to stay in the core's cache across the groups.
constexpr std::size_t kLeastBatchBytes = std::size_t{96} << 10, kMostBatchBytes = std::size_t{384} << 10;
constexpr std::size_t kPointsPerGroup = 24, kLeastBatch = 64;

std::size_t batch_points(std::size_t d, std::size_t groups) {
  const std::size_t row_bytes = std::max<std::size_t>(d, 1) * sizeof(float);
  const std::size_t wanted =
      std::clamp(groups * kPointsPerGroup, kLeastBatchBytes / row_bytes, kMostBatchBytes / row_bytes);
  return std::max(kLeastBatch, wanted);
}

// Points searched whole: from this share of the groups open, and this many at a time.
constexpr double kWideShare = 0.75;
constexpr std::size_t kWideBatch = 192;
// Rows fetched ahead of the open points read.
constexpr std::size_t kRowsFetchedAhead = 4;

}  // namespace

GroupedSearch::GroupedSearch(AssignmentBounds& bounds, std::uint64_t* labels, std::size_t d)
    : bounds_(bounds),
      panels_(bounds.grouped_panels()),
      groups_(bounds.groups()),
      labels_(labels),
      d_(d),
      batch_(batch_points(d, groups_.count())) {
  open_.reserve(batch_);
  call_rows_.resize(batch_);
  call_limits_.resize(batch_);
  call_norms_.resize(batch_);
  call_nearest_.resize(batch_);
  call_ties_.resize(batch_);
  near_ties_.reserve(batch_);
  wide_.reserve(kWideBatch);
  wide_rows_.reserve(kWideBatch);
  wide_norms_.resize(kWideBatch);
  wide_best_.resize(kWideBatch);
  wide_second_.resize(kWideBatch);
  wide_positions_.resize(kWideBatch);
  wide_least_.resize(kWideBatch * groups_.count());
  least_wide_distances_ = static_cast<std::size_t>(std::ceil(kWideShare * static_cast<double>(panels_.k())));
  call_results_.resize(batch_);
  costs_.resize(batch_ * groups_.count());
  own_members_.resize(groups_.count() * batch_);
  other_members_.resize(groups_.count() * batch_);
  own_count_.resize(groups_.count());
  other_count_.resize(groups_.count());
}

void GroupedSearch::search_unless_kept(std::size_t first, std::size_t count, const float* rows,
                                       std::ptrdiff_t stride) {
  bounds_.screen(first, {labels_ + first, count}, screened_);
  const auto row = [&](std::size_t s) { return rows + static_cast<std::ptrdiff_t>(screened_[s].row) * stride; };
  // The rows of the points left open are not read in order: each is fetched a few
  // points ahead.
  const auto fetch = [&](std::size_t s) { prefetch_bytes(row(s), d_ * sizeof(float)); };
  for (std::size_t s = 0; s < std::min(kRowsFetchedAhead, screened_.size()); ++s) fetch(s);
  for (std::size_t s = 0; s < screened_.size(); ++s) {
    if (s + kRowsFetchedAhead < screened_.size()) fetch(s + kRowsFetchedAhead);
    search_open_point(first + screened_[s].row, row(s), screened_[s].groups);
  }
}

void GroupedSearch::search_open_point(std::size_t i, const float* x, GroupSet screened_groups) {
  const GroupSet groups = bounds_.open_groups(i, labels_[i], x, screened_groups, measured_);
  if (groups.empty()) return;
  const std::size_t distances = bounds_.distances_in(groups);
  if (distances >= least_wide_distances_) {
    measured_ += panels_.k();
    add_whole(i, x);
    return;
  }
  measured_ += distances;
  std::fill_n(costs_.data() + open_.size() * groups_.count(), groups_.count(), std::numeric_limits<float>::quiet_NaN());
  open_.push_back({.index = i,
                   .row = x,
                   .groups = groups,
                   .best = 0.0f,
                   .second = 0.0f,
                   .group_second = 0.0f,
                   .position = 0});
  if (open_.size() == batch_) search_open();
}

void GroupedSearch::add_whole(std::size_t i, const float* x) {
  wide_norms_[wide_.size()] = bounds_.point_norm(i);
  wide_.push_back(i);
  wide_rows_.push_back(x);
  if (wide_.size() == kWideBatch) search_whole();
}

template <class PointOf, class RowOf>
void GroupedSearch::search_listed(std::size_t count, PointOf point_of, RowOf row_of) {
  for (std::size_t r = 0; r < count; ++r) add_whole(point_of(r), row_of(r));
  search_whole();
}

void GroupedSearch::search_rows(std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) {
  search_listed(count, [first](std::size_t r) { return first + r; },
                [rows, stride](std::size_t r) { return rows + static_cast<std::ptrdiff_t>(r) * stride; });
}

void GroupedSearch::search_points(const std::size_t* points, std::size_t count, const float* const* rows) {
  search_listed(count, [points](std::size_t r) { return points[r]; }, [rows](std::size_t r) { return rows[r]; });
}

void GroupedSearch::search_whole() {
  const std::size_t count = wide_.size();
  if (count == 0) return;
  // Near ties are settled by the search, ties broken by centroid index.
  const kernels::NearestScores scores{.best = wide_best_.data(),
                                      .second = wide_second_.data(),
                                      .group_least = wide_least_.data(),
                                      .group_size = groups_.group_size,
                                      .index_of = groups_.order.data()};
  kernels::nearest_listed(panels_, wide_rows_.data(), count, wide_norms_.data(), wide_positions_.data(), &scores);
  for (std::size_t s = 0; s < count; ++s) settle_whole(s);
  wide_.clear();
  wide_rows_.clear();
}

void GroupedSearch::settle_whole(std::size_t s) {
  const std::size_t i = wide_[s];
  const std::uint64_t position = wide_positions_[s];
  float* costs = wide_least_.data() + s * groups_.count();
  labels_[i] = groups_.order[position];
  // Decided by the fused costs, the runner-up bounds the label's group too. After a
  // near tie the best bounds the label's cost (the search widened it).
  if (panels_.fused_slack().decides(wide_best_[s], wide_second_[s], wide_norms_[s]))
    costs[groups_.group_of_position(position)] = wide_second_[s];
  bounds_.record(i, wide_best_[s], costs);
}

void GroupedSearch::search_open() {
  if (open_.empty()) return;
  const std::size_t group_count = groups_.count(), room = batch_;
  std::fill(own_count_.begin(), own_count_.end(), 0);
  std::fill(other_count_.begin(), other_count_.end(), 0);
  for (std::size_t s = 0; s < open_.size(); ++s) {
    // The labels are still the last assignment's: each point's own group is its label's.
    const Open& point = open_[s];
    const std::size_t own_group = groups_.group_of[labels_[point.index]];
    own_members_[own_group * room + own_count_[own_group]++] = static_cast<std::uint32_t>(s);
    point.groups.without(own_group).for_each(
        [&](std::size_t g) { other_members_[g * room + other_count_[g]++] = static_cast<std::uint32_t>(s); });
  }
  // Own groups first: every point starts from its own centroid's group, and the others
  // then need a full result only where they beat it.
  for (std::size_t g = 0; g < group_count; ++g) search_group(g, own_members_.data() + g * room, own_count_[g], true);
  for (std::size_t g = 0; g < group_count; ++g)
    search_group(g, other_members_.data() + g * room, other_count_[g], false);
  for (std::size_t s = 0; s < open_.size(); ++s) settle(s);
  settle_near_ties();
  open_.clear();
}

void GroupedSearch::search_group(std::size_t g, const std::uint32_t* members, std::size_t count, bool own) {
  if (count == 0) return;
  for (std::size_t c = 0; c < count; ++c) {
    call_rows_[c] = open_[members[c]].row;
    call_limits_[c] = own ? std::numeric_limits<float>::infinity() : open_[members[c]].best;
  }
  kernels::nearest_in_panels(panels_, bounds_.first_panel(g), bounds_.last_panel(g), call_rows_.data(),
                             call_limits_.data(), count, call_results_.data());
  const std::size_t group_count = groups_.count();
  for (std::size_t c = 0; c < count; ++c) {
    const kernels::RangeNearest& found = call_results_[c];
    Open& point = open_[members[c]];
    costs_[members[c] * group_count + g] = found.best;
    if (own || found.best < point.best) {
      point.second = own ? found.second : std::min(point.best, found.second);
      point.best = found.best;
      point.group_second = found.second;
      point.position = found.position;
    } else {
      point.second = std::min(point.second, found.best);
    }
  }
}

void GroupedSearch::settle(std::size_t s) {
  const Open& point = open_[s];
  float* costs = costs_.data() + s * groups_.count();
  const float point_norm = bounds_.point_norm(point.index);
  const kernels::FusedScoreSlack& slack = panels_.fused_slack();
  if (slack.decides(point.best, point.second, point_norm)) {
    // The fused costs decide: the best is the rounded products' nearest too, and its
    // group's bound is the runner-up within the group.
    labels_[point.index] = groups_.order[point.position];
    costs[groups_.group_of_position(point.position)] = point.group_second;
    bounds_.record(point.index, point.best, costs);
    return;
  }
  // A near tie: settled with the others once every point is searched.
  const float limit = kernels::rounded_up(double(point.best) + double(slack.margin(point_norm)));
  near_ties_.push_back({.slot = static_cast<std::uint32_t>(s), .limit = limit, .nearest = {}});
}

void GroupedSearch::settle_near_ties() {
  const std::size_t group_count = groups_.count();
  // Group by group, the near ties whose least cost in the group lies within their
  // limit (a group not searched has NaN there: the bounds put it behind the label).
  for (std::size_t g = 0; g < group_count && !near_ties_.empty(); ++g) {
    std::size_t count = 0;
    for (std::size_t t = 0; t < near_ties_.size(); ++t) {
      const NearTie& tie = near_ties_[t];
      if (!(costs_[tie.slot * group_count + g] <= tie.limit)) continue;
      call_rows_[count] = open_[tie.slot].row;
      call_norms_[count] = bounds_.point_norm(open_[tie.slot].index);
      call_limits_[count] = tie.limit;
      call_nearest_[count] = tie.nearest;
      call_ties_[count++] = static_cast<std::uint32_t>(t);
    }
    if (count == 0) continue;
    kernels::rescore_near_ties(panels_, bounds_.first_panel(g), bounds_.last_panel(g), call_rows_.data(),
                               call_norms_.data(), call_limits_.data(), count, groups_.order.data(),
                               call_nearest_.data());
    for (std::size_t c = 0; c < count; ++c) near_ties_[call_ties_[c]].nearest = call_nearest_[c];
  }
  // The label's fused cost lies within the limit; the groups' least costs bound every
  // member.
  for (const NearTie& tie : near_ties_) {
    const std::size_t i = open_[tie.slot].index;
    labels_[i] = groups_.order[tie.nearest.position];
    bounds_.record(i, tie.limit, costs_.data() + tie.slot * group_count);
  }
  near_ties_.clear();
}

}  // namespace plovek
