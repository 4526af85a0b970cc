#include "engine/assignment_bounds.h"

#include <algorithm>
#include <cmath>

#include "engine/drift_history.h"
#include "engine/kmeans_error.h"
#include "engine/point_norms.h"
#include "simd/kernels.h"

namespace plovek {

namespace {

// The stamp of each group bound stored now (where the cost is a number), without a
// branch: which groups were searched is as good as random.
void stamp_stored(const float* __restrict costs, DriftHistory::Stamp* __restrict stamps, DriftHistory::Stamp now,
                  std::size_t count) {
  for (std::size_t g = 0; g < count; ++g) stamps[g] = costs[g] == costs[g] ? now : stamps[g];
}

}  // namespace

std::size_t AssignmentBounds::widest_grouped_panel() {
  return kernels::splits_512_bit_operations() ? 16 : kernels::CentroidPanels::kAnyWidth;
}

AssignmentBounds::AssignmentBounds(const MatrixView& data, bool euclidean, std::span<const float> point_norms)
    : euclidean_(euclidean), d_(data.cols()), data_(data), point_norms_(point_norms) {}

void AssignmentBounds::set_up(const Matrix& centroids) {
  if (!euclidean_) {
    own_norms_ = compute_point_norms(data_);
    point_norms_ = own_norms_;
  }
  const std::size_t n = data_.rows();
  roots_.resize(n);
  for (std::size_t i = 0; i < n; ++i) roots_[i] = kernels::rounded_up(std::sqrt(double(point_norms_[i])));
  own_.resize(n);
  others_.resize(n);

  // Groups of whole panels (a search never splits a panel), the panels as narrow as a
  // vector level packs them: the smaller the groups, the fewer distances their bounds
  // leave to measure.
  const std::size_t k = centroids.rows();
  const std::size_t width = kernels::panel_width(kernels::CentroidPanels::level_for(k, d_, widest_grouped_panel()));
  const std::size_t panels = (k + width - 1) / width;
  const std::size_t most_groups =
      k * d_ < kLeastGroupedWork ? 1 : std::min(kMostGroups, std::max<std::size_t>(1, d_));
  panels_per_group_ = (panels + most_groups - 1) / most_groups;
  form_groups(centroids, width);
  group_count_ = groups_.count();
  if (group_count_ > 1) lower_.assign(n * group_count_, 0.0f);
  group_drift_total_.assign(group_count_, 0.0);
  group_drift_total_float_.assign(group_count_, 0.0f);
  if (!may_follow_displacement_) return;
  history_.reset(k, d_, group_count_, n);
  if (group_count_ > 1) lower_stamps_.assign(n * group_count_, DriftHistory::kNoStamp);
  others_stamps_.assign(n, DriftHistory::kNoStamp);
}

std::size_t AssignmentBounds::last_panel(std::size_t g) const {
  return std::min(grouped_panels_->panel_count(), (g + 1) * panels_per_group_);
}

SearchMode AssignmentBounds::prepare(const Matrix& centroids, std::span<const std::uint64_t> labels,
                                     const SearchPolicy& policy) {
  const bool first = own_.size() != data_.rows();
  predicts_ = policy.predicts();
  // Without predictions bounds always follow the displacement where they can.
  may_follow_displacement_ = !predicts_ || centroids.rows() * d_ >= kLeastDisplacementWork;
  if (first) set_up(centroids);
  measure_norms(centroids);
  pack_measuring_drifts(centroids, first);
  // The history is measured only where the last prediction asked for it.
  follow_displacement_ = may_follow_displacement_ && (first || !predicts_ || displacement_predicted_to_pay_);
  if (!first && follow_displacement_) history_.measure(centroids, groups_, group_drift_total_float_, drift_total_);
  mode_ = next_mode(first, labels, policy);
  if (mode_ == SearchMode::Record && !first && group_count_ > 1) regroup(centroids);
  if (may_follow_displacement_) keep_in_history(centroids);
  return mode_;
}

void AssignmentBounds::measure_norms(const Matrix& centroids) {
  k_ = centroids.rows();
  centroid_norms_.resize(k_);
  float largest_norm = 0.0f;
  for (std::size_t j = 0; j < k_; ++j) {
    const float* row = centroids.row(j).data();
    centroid_norms_[j] = kernels::dot(row, row, d_);
    largest_norm = std::max(largest_norm, centroid_norms_[j]);
  }
  error_ = kernels::ScoreErrorBound(d_, euclidean_, largest_norm);
}

void AssignmentBounds::form_groups(const Matrix& centroids, std::size_t panel_width) {
  groups_ = group_centroids(centroids, panels_per_group_ * panel_width);
  groups_in_order_ = std::is_sorted(groups_.order.begin(), groups_.order.end());
}

void AssignmentBounds::regroup(const Matrix& centroids) {
  form_groups(centroids, grouped_panels_->width());
  if (groups_.count() != group_count_) throw InternalError("regrouping changed the number of groups");
  grouped_panels_->repack([&](std::size_t position) { return centroids.row(groups_.order[position]).data(); },
                          nullptr);
  std::fill(group_drift_total_.begin(), group_drift_total_.end(), 0.0);
  std::fill(group_drift_total_float_.begin(), group_drift_total_float_.end(), 0.0f);
  // Every bound is recorded afresh; until then none is read.
  history_.clear();
  forget_stamps();
}

void AssignmentBounds::keep_in_history(const Matrix& centroids) {
  bool expired = false;
  stamp_ = history_.keep(centroids, group_drift_total_float_, drift_total_, expired);
  if (expired) forget_stamps();
}

void AssignmentBounds::forget_stamps() {
  std::fill(lower_stamps_.begin(), lower_stamps_.end(), DriftHistory::kNoStamp);
  std::fill(others_stamps_.begin(), others_stamps_.end(), DriftHistory::kNoStamp);
}

void AssignmentBounds::pack_measuring_drifts(const Matrix& centroids, bool first) {
  const std::size_t k = centroids.rows();
  current_ = &centroids;
  drift_.assign(k, 0.0);
  // Packed whatever the mode: until the next prepare() the grouped panels hold these
  // centroids, and packing them again measures how far each one moved (no copy of the
  // centroids is kept).
  const auto row_at = [&](std::size_t position) { return centroids.row(groups_.order[position]).data(); };
  if (first) {
    grouped_panels_ = std::make_unique<kernels::CentroidPanels>(k, d_, euclidean_, row_at, widest_grouped_panel());
  } else {
    if (!grouped_panels_->fits(k, d_, euclidean_))
      throw InternalError("centroid groups must hold whole panels (the SIMD level changed during training)");
    std::vector<double> squares(k);
    grouped_panels_->repack(row_at, squares.data());
    std::vector<double> largest(group_count_, 0.0);
    for (std::size_t position = 0; position < k; ++position) {
      const std::size_t j = groups_.order[position];
      drift_[j] = drift_from_square(squares[position], d_);
      double& group_largest = largest[groups_.group_of[j]];
      group_largest = std::max(group_largest, drift_[j]);
    }
    for (std::size_t g = 0; g < group_count_; ++g) {
      group_drift_total_[g] = (group_drift_total_[g] + largest[g]) * (1.0 + kDoubleSlop);
      group_drift_total_float_[g] = kernels::rounded_up(group_drift_total_[g]);
    }
    drift_total_ = (drift_total_ + *std::max_element(largest.begin(), largest.end())) * (1.0 + kDoubleSlop);
  }
  if (groups_.group_size % grouped_panels_->width() != 0)
    throw InternalError("centroid groups must hold whole panels (the SIMD level changed during training)");
}

SearchMode AssignmentBounds::next_mode(bool first, std::span<const std::uint64_t> labels,
                                       const SearchPolicy& policy) {
  // The sample points' bounds tell how a pruned assignment would fare with bounds
  // recorded last time. After a plain search only they hold bounds.
  SearchSituation situation{.first = first, .last = mode_, .grouped = group_count_ > 1, .predicted_cost = 0.0};
  if (!first && predicts_) {
    const Prediction prediction = predict(labels);
    tighten_ = prediction.tighten;
    displacement_predicted_to_pay_ = prediction.cost >= kLeastCostForDisplacement;
    situation.predicted_cost = prediction.cost;
  }
  const SearchMode chosen = policy.choose(situation);
  const bool recorded = !first && mode_ != SearchMode::Plain;
  return chosen == SearchMode::Prune && !recorded ? SearchMode::Record : chosen;
}

AssignmentBounds::Prediction AssignmentBounds::predict(std::span<const std::uint64_t> labels) const {
  // The tests on the sample points, bounds left as they are: the distances and opened
  // points with and without tightening, and what tightening spared.
  const std::size_t samples = sample_count();
  std::vector<float> row(d_);
  std::uint64_t screened_distances = 0, screened_open = 0, distances = 0, opened = 0, spared = 0, proven = 0;
  for (std::size_t s = 0; s < samples; ++s) {
    const std::size_t i = sample(s);
    const GroupSet groups = screened_groups(i, labels[i]);
    if (groups.empty()) continue;
    const GroupSet own_group = GroupSet::of(groups_.group_of[labels[i]]);
    const std::size_t screened = distances_in(groups | own_group);
    screened_distances += screened;
    ++screened_open;
    const Test tightened = tightened_test(i, labels[i], data_.row(i, row.data()), groups);
    const std::size_t left = tightened.open.empty() ? 0 : distances_in(tightened.open | own_group);
    distances += left;
    opened += !tightened.open.empty();
    proven += tightened.open.empty();
    spared += screened - left;
  }
  // An opened point's upkeep as a share of a plain search's. With one group an opened
  // point is searched whole, its upkeep small beside it.
  const double samples_work = static_cast<double>(samples) * static_cast<double>(k_ * d_);
  const double point_cost = group_count_ > 1 ? static_cast<double>(kOpenedPointWork) : 0.0;
  const bool tighten = group_count_ == 1 ? 4 * proven >= screened_open
                                         : static_cast<double>(spared * d_) + point_cost * static_cast<double>(proven) >=
                                               static_cast<double>(screened_open * kTighteningWork);
  if (!tighten) distances = screened_distances, opened = screened_open;
  const double cost = static_cast<double>(distances * d_) / samples_work +
                      point_cost * static_cast<double>(opened) / samples_work;
  return {.cost = cost, .tighten = tighten};
}

GroupSet AssignmentBounds::groups_open(std::size_t i, double limit, double scale, const GroupSet* within,
                                       bool by_totals) const {
  if (group_count_ == 1) return GroupSet::of(0);
  limit += std::abs(limit) * kDoubleSlop;
  const float* lower = lower_.data() + i * group_count_;
  const float limit_up = kernels::rounded_up(limit), scale_up = kernels::rounded_up(scale);
  // Each bound moved by how far its group's members may have got since it was stored
  // (no farther than the totals), or by the totals alone. Nearly every point tested
  // leaves some group open by the totals: testing them first spares no gather.
  GroupSet open;
  for (std::size_t first = 0, w = 0; first < group_count_; first += GroupSet::kWordBits, ++w) {
    if (within && within->word(w) == 0) continue;
    const std::size_t count = std::min(GroupSet::kWordBits, group_count_ - first);
    open.set_word(w, follow_displacement_ && !by_totals
                         ? kernels::at_most_shifted(lower + first, history_.group_shifts() + first,
                                                    lower_stamps_.data() + i * group_count_ + first, group_count_,
                                                    limit_up, scale_up, count)
                         : kernels::at_most_shifted(lower + first, group_drift_total_float_.data() + first, nullptr, 0,
                                                    limit_up, scale_up, count));
  }
  return within ? open & *within : open;
}

std::size_t AssignmentBounds::distances_in(GroupSet groups) const {
  const std::size_t last = group_count_ - 1, last_size = k_ - last * groups_.group_size;
  return groups.without(last).count() * groups_.group_size + (groups.contains(last) ? last_size : 0);
}

AssignmentBounds::Moved AssignmentBounds::moved(std::size_t i, std::uint64_t label) const {
  const double scale = drift_scale(i);
  return {.own = static_cast<double>(own_[i]) + drift_[label] * scale,
          .others = static_cast<double>(others_[i]) - others_shift(i) * scale,
          .error = error_(point_norms_[i], roots_[i]),
          .scale = scale};
}

// A centroid whose bound lies strictly above the limit has its rounded score strictly
// behind the own centroid's. Euclidean: limit^2 = own^2 + 2 error, compared squared
// where it can be. The groups' bounds, each moved by its own group's largest drift
// rather than the largest of all, often prove a label still: no dot product, and the
// point's row is not read.
GroupSet AssignmentBounds::screened_groups(std::size_t i, std::uint64_t label) const {
  const Moved m = moved(i, label);
  const double own_square = m.own * m.own;
  if (proves(m, m.own, own_square)) return {};
  return groups_open(i, limit(m, m.own, own_square), m.scale);
}

void AssignmentBounds::screen(std::size_t first, std::span<const std::uint64_t> labels, std::vector<Screened>& open) {
  // In two passes over a few rows at a time: the arithmetic of every point with no
  // branch on its outcome, so that the points overlap in the core, then the groups'
  // bounds of the points it leaves open.
  open.clear();
  constexpr std::size_t kRows = 128;
  double owns[kRows], limits[kRows], scales[kRows];
  bool proven[kRows];
  // Where the tightened test follows, the screen moves the group bounds by the totals
  // alone: each bound's displacement (a gather by its stamp) is then read once, in that
  // test, and a point the displacement would have proven here costs one dot product.
  const bool by_totals = tighten_;
  for (std::size_t done = 0; done < labels.size(); done += kRows) {
    const std::size_t count = std::min(kRows, labels.size() - done);
    for (std::size_t r = 0; r < count; ++r) {
      // The second pass reads the group bounds of only some of the points, too
      // irregularly for the hardware to fetch them ahead.
      if (group_count_ > 1) {
        prefetch_bytes(lower_.data() + (first + done + r) * group_count_, group_count_ * sizeof(float));
        if (may_follow_displacement_)
          prefetch_bytes(lower_stamps_.data() + (first + done + r) * group_count_, group_count_);
      }
      const Moved m = moved(first + done + r, labels[done + r]);
      const double own_square = m.own * m.own;
      proven[r] = proves(m, m.own, own_square);
      owns[r] = m.own;
      limits[r] = limit(m, m.own, own_square);
      scales[r] = m.scale;
    }
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t i = first + done + r;
      const GroupSet groups = proven[r] ? GroupSet{} : groups_open(i, limits[r], scales[r], nullptr, by_totals);
      if (groups.empty())
        own_[i] = kernels::rounded_up(owns[r]);
      else
        open.push_back({.row = static_cast<std::uint32_t>(done + r), .groups = groups});
    }
  }
}

AssignmentBounds::Test AssignmentBounds::tightened_test(std::size_t i, std::uint64_t label, const float* x,
                                                        const GroupSet& screened) const {
  const Moved m = moved(i, label);
  const double dot = kernels::dot(x, current_->row(label).data(), d_);
  Test result{.own = m.error - dot, .open = {}};
  double own_square = result.own * result.own;
  if (euclidean_) {
    own_square = std::max(0.0, centroid_norms_[label] - 2.0 * dot + point_norms_[i] + m.error);
    result.own = std::sqrt(own_square);
  }
  if (proves(m, result.own, own_square)) return result;
  result.open = groups_open(i, limit(m, result.own, own_square), m.scale, &screened);
  return result;
}

GroupSet AssignmentBounds::open_groups(std::size_t i, std::uint64_t label, const float* x, GroupSet groups,
                                       std::uint64_t& measured) {
  const GroupSet own_group = GroupSet::of(groups_.group_of[label]);
  if (!tighten_) return groups | own_group;
  const Test result = tightened_test(i, label, x, groups);
  measured += 1;
  if (!result.open.empty()) return result.open | own_group;
  own_[i] = kernels::rounded_up(result.own);
  return {};
}

void AssignmentBounds::record(std::size_t i, float own_cost, const float* costs) {
  const float point_norm = point_norms_[i];
  const double error = error_(point_norm, roots_[i]);
  const double own = euclidean_ ? std::sqrt(std::max(0.0, static_cast<double>(own_cost) + point_norm + error))
                                : static_cast<double>(own_cost) + error;
  own_[i] = kernels::rounded_up(own + std::abs(own) * kDoubleSlop);
  const double scale = drift_scale(i), total = drift_total_ * scale;
  double others;
  if (group_count_ == 1) {
    // One group: the bound on every other centroid is all there is.
    const double cost = costs[0];
    others = euclidean_ ? std::sqrt(std::max(0.0, cost + point_norm - error)) : cost - error;
  } else {
    // The groups' bounds, and the least of them moved to now.
    const float base = kernels::rounded_down(euclidean_ ? point_norm - error : -error);
    others = kernels::store_lower_bounds(costs, base, euclidean_, group_drift_total_float_.data(),
                                         kernels::rounded_up(scale), lower_.data() + i * group_count_, group_count_);
    if (may_follow_displacement_) stamp_stored(costs, lower_stamps_.data() + i * group_count_, stamp_, group_count_);
  }
  if (may_follow_displacement_) others_stamps_[i] = stamp_;
  others_[i] = kernels::rounded_down(others + total - (std::abs(others) + total) * kDoubleSlop);
}

}  // namespace plovek
