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

bool AssignmentBounds::prepare(const Matrix& centroids) {
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

  // Tightening costs one dot product per point that the bounds leave open; it stops
  // while it keeps fewer than a quarter of them.
  const std::uint64_t tried = tightened_.exchange(0), kept = tightened_kept_.exchange(0);
  tighten_ = tried == 0 || 4 * kept >= tried;
  const bool pruned_last = pruned_last_;
  pruned_last_ = !first && k > 1 && !full_search_forced.load() && worth_pruning(pruned_last);
  return pruned_last_;
}

bool AssignmentBounds::worth_pruning(bool pruned_last) {
  // Where a pruned assignment still searched most points (data that does not settle),
  // the full search is cheaper: the next tries wait 1, 2, 4, then 8 assignments.
  const std::uint64_t measured = distances_measured(), searched = measured - measured_before_;
  measured_before_ = measured;
  if (pruned_last) {
    const bool paid = static_cast<double>(searched) < kMostSearched * static_cast<double>(own_.size() * k_);
    full_searches_left_ = paid ? 0 : next_wait_;
    next_wait_ = paid ? 1 : std::min<std::size_t>(2 * next_wait_, 8);
  }
  if (full_searches_left_ == 0) return true;
  --full_searches_left_;
  return false;
}

bool AssignmentBounds::keeps_label(std::size_t i, std::uint64_t label, const float* x, Tally& tally) {
  const float point_norm = point_norms_[i];
  const double error = error_(point_norm, roots_[i]);
  const double scale = euclidean_ ? 1.0 : error_.norm_bound(roots_[i]);
  const double other_drift = label == largest_drift_index_ ? second_drift_ : largest_drift_;
  double own = static_cast<double>(own_[i]) + drift_[label] * scale;
  const double others = static_cast<double>(others_[i]) - other_drift * scale;
  // Every other centroid's rounded score lies strictly behind the own one's.
  const auto separated = [&] {
    return euclidean_ ? others > 0.0 && others * others - own * own > 2.0 * error : others - own > 2.0 * error;
  };
  others_[i] = kernels::rounded_down(others);
  if (separated()) {
    own_[i] = kernels::rounded_up(own);
    return true;
  }
  if (!tighten_) {
    own_[i] = kernels::rounded_up(own);
    return false;
  }
  ++tally.tightened;
  ++tally.measured;
  const double dot = kernels::dot(x, centroids_.data() + label * d_, d_);
  own = euclidean_ ? std::sqrt(std::max(0.0, centroid_norms_[label] - 2.0 * dot + point_norm + error))
                   : error - dot;
  own_[i] = kernels::rounded_up(own);
  if (!separated()) return false;
  ++tally.tightened_kept;
  return true;
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
