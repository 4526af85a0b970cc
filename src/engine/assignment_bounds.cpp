#include "engine/assignment_bounds.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/kmeans.h"
#include "simd/kernels.h"

namespace plovek {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::atomic<bool> full_search_forced{false};
std::atomic<std::uint64_t> process_measured{0}, process_of_full_searches{0};

// The real drift |c' - c| from the f32 rows, rounded up: the double sum of squares of
// exact differences is within a few ulps.
double drift_between(const float* now, const float* before, std::size_t d) {
  double sum = 0.0;
  for (std::size_t t = 0; t < d; ++t) {
    const double delta = static_cast<double>(now[t]) - static_cast<double>(before[t]);
    sum += delta * delta;
  }
  return std::sqrt(sum) * (1.0 + 0x1p-40);
}

}  // namespace

void AssignmentBounds::force_full_search_for_testing(bool force) { full_search_forced.store(force); }

AssignmentBounds::Totals AssignmentBounds::process_totals() {
  return {.measured = process_measured.load(), .of_full_searches = process_of_full_searches.load()};
}

AssignmentBounds::~AssignmentBounds() {
  process_measured.fetch_add(distances_measured());
  process_of_full_searches.fetch_add(full_);
}

AssignmentBounds::AssignmentBounds(const MatrixView& data, bool euclidean, std::span<const float> point_norms)
    : euclidean_(euclidean), d_(data.cols()), data_(data), point_norms_(point_norms) {}

void AssignmentBounds::set_up() {
  if (!euclidean_) {
    own_norms_ = compute_point_norms(data_);
    point_norms_ = own_norms_;
  }
  own_.resize(data_.rows());
  others_.resize(data_.rows());
  roots_.resize(data_.rows());
  for (std::size_t i = 0; i < roots_.size(); ++i) roots_[i] = kernels::rounded_up(std::sqrt(double(point_norms_[i])));
}

void AssignmentBounds::add(const Tally& tally) {
  measured_.fetch_add(tally.measured, std::memory_order_relaxed);
  tightened_.fetch_add(tally.tightened, std::memory_order_relaxed);
  tightened_kept_.fetch_add(tally.tightened_kept, std::memory_order_relaxed);
}

AssignmentBounds::Mode AssignmentBounds::prepare(const Matrix& centroids, std::span<const std::uint64_t> labels) {
  if (roots_.size() != data_.rows()) set_up();
  const std::size_t k = centroids.rows();
  const bool first = centroids_.empty() || k != k_;
  k_ = k;
  full_ += own_.size() * k;
  centroid_norms_.resize(k);
  float largest_norm = 0.0f;
  for (std::size_t j = 0; j < k; ++j) {
    const float* row = centroids.row(j).data();
    centroid_norms_[j] = kernels::dot(row, row, d_);
    largest_norm = std::max(largest_norm, centroid_norms_[j]);
  }
  error_ = kernels::ScoreErrorBound(d_, euclidean_, largest_norm);
  measure_drifts(centroids, first);

  // Tightening costs one dot product per point that the bounds leave open; it stops
  // while it keeps fewer than a quarter of them.
  const std::uint64_t tried = tightened_.exchange(0), kept = tightened_kept_.exchange(0);
  tighten_ = tried == 0 || 4 * kept >= tried;
  mode_ = next_mode(first || k < 2, labels);
  return mode_;
}

void AssignmentBounds::measure_drifts(const Matrix& centroids, bool first) {
  const std::size_t k = centroids.rows();
  drift_.assign(k, 0.0);
  largest_drift_ = second_drift_ = 0.0;
  largest_drift_index_ = 0;
  if (!first) {
    for (std::size_t j = 0; j < k; ++j) {
      drift_[j] = drift_between(centroids.row(j).data(), centroids_.data() + j * d_, d_);
      if (drift_[j] > largest_drift_) {
        second_drift_ = largest_drift_;
        largest_drift_ = drift_[j];
        largest_drift_index_ = j;
      } else {
        second_drift_ = std::max(second_drift_, drift_[j]);
      }
    }
  }
  centroids_.assign(centroids.data(), centroids.data() + k * d_);
}

AssignmentBounds::Mode AssignmentBounds::next_mode(bool no_bounds, std::span<const std::uint64_t> labels) {
  // Where pruning does not pay (data that does not settle), plain full searches are
  // cheaper: the next try waits 1, 2, 4, then 8 of them, plus one that records.
  const std::uint64_t measured = distances_measured(), searched = measured - measured_before_;
  measured_before_ = measured;
  const auto back_off = [&] {
    plain_left_ = next_wait_;
    next_wait_ = std::min<std::size_t>(2 * next_wait_, 8);
    return Mode::Plain;
  };
  if (full_search_forced.load()) return Mode::Plain;
  if (no_bounds) return Mode::Record;
  switch (mode_) {
    case Mode::Plain:
      if (plain_left_ > 0) --plain_left_;
      return plain_left_ > 0 ? Mode::Plain : Mode::Record;
    case Mode::Prune:
      if (static_cast<double>(searched) > kMostSearched * static_cast<double>(own_.size() * k_)) return back_off();
      next_wait_ = 1;
      return Mode::Prune;
    case Mode::Record:
      return predicted_to_pay(labels) ? Mode::Prune : back_off();
  }
  return Mode::Record;
}

bool AssignmentBounds::predicted_to_pay(std::span<const std::uint64_t> labels) const {
  // The tests on evenly spaced sample points, bounds left as they are.
  const std::size_t n = own_.size(), samples = std::min<std::size_t>(n, kSamples);
  std::vector<float> row(d_);
  std::size_t kept = 0;
  for (std::size_t s = 0; s < samples; ++s) {
    const std::size_t i = s * n / samples;
    kept += test(i, labels[i], data_.row(i, row.data()), true).kept;
  }
  return static_cast<double>(samples - kept) <= kMostPredicted * static_cast<double>(samples);
}

AssignmentBounds::Test AssignmentBounds::test(std::size_t i, std::uint64_t label, const float* x, bool tighten) const {
  const float point_norm = point_norms_[i];
  const double error = error_(point_norm, roots_[i]);
  const double scale = euclidean_ ? 1.0 : error_.norm_bound(roots_[i]);
  const double other_drift = label == largest_drift_index_ ? second_drift_ : largest_drift_;
  Test result{.own = static_cast<double>(own_[i]) + drift_[label] * scale,
              .others = static_cast<double>(others_[i]) - other_drift * scale};
  // Every other centroid's rounded score lies strictly behind the own one's.
  const auto separated = [&] {
    return euclidean_ ? result.others > 0.0 && result.others * result.others - result.own * result.own > 2.0 * error
                      : result.others - result.own > 2.0 * error;
  };
  if ((result.kept = separated()) || !tighten) return result;
  result.tightened = true;
  const double dot = kernels::dot(x, centroids_.data() + label * d_, d_);
  result.own = euclidean_ ? std::sqrt(std::max(0.0, centroid_norms_[label] - 2.0 * dot + point_norm + error))
                          : error - dot;
  result.kept = separated();
  return result;
}

bool AssignmentBounds::keeps_label(std::size_t i, std::uint64_t label, const float* x, Tally& tally) {
  const Test result = test(i, label, x, tighten_);
  own_[i] = kernels::rounded_up(result.own);
  others_[i] = kernels::rounded_down(result.others);
  tally.tightened += result.tightened;
  tally.measured += result.tightened;
  tally.tightened_kept += result.tightened && result.kept;
  return result.kept;
}

void AssignmentBounds::record(std::size_t i, float best, float second) {
  const float point_norm = point_norms_[i];
  const double error = error_(point_norm, roots_[i]);
  double own, others;
  if (euclidean_) {
    own = std::sqrt(std::max(0.0, static_cast<double>(best) + point_norm + error));
    others = std::isinf(second) ? kInfinity : std::sqrt(std::max(0.0, static_cast<double>(second) + point_norm - error));
  } else {
    own = error - static_cast<double>(best);
    others = std::isinf(second) ? kInfinity : -(static_cast<double>(second) + error);
  }
  own_[i] = kernels::rounded_up(own);
  others_[i] = kernels::rounded_down(others);
}

}  // namespace plovek
