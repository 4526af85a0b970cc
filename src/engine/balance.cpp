// The balancing phase: points move one at a time, in index order, to the cluster with
// the smallest distance plus size penalty, until the cluster sizes are close enough.
#include "engine/balance.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "engine/kmeans.h"
#include "engine/normalize.h"
#include "runtime/progress.h"
#include "simd/row_arithmetic.h"

#define PLOVEK_SIMD_BODY "engine/balance_step.h"
#include "simd/foreach_level.h"

namespace plovek {

namespace balancing {

namespace {

// The members of each cluster, counted exactly.
std::vector<double> counted_sizes(std::span<const std::uint64_t> labels, std::size_t k) {
  std::vector<std::uint64_t> counts(k, 0);
  for (const std::uint64_t label : labels) ++counts[label];
  return std::vector<double>(counts.begin(), counts.end());
}

}  // namespace

double BalanceRun::size_spread() const {
  return wide_sizes_.empty() ? balancing::size_spread(model_.cluster_sizes) : balancing::size_spread(wide_sizes_);
}

void BalanceRun::store_sizes() {
  if (wide_sizes_.empty()) return;
  std::transform(wide_sizes_.begin(), wide_sizes_.end(), model_.cluster_sizes.begin(),
                 [](double size) { return static_cast<float>(size); });
}

BalanceRun::BalanceRun(KMeans& model, const MatrixView& data, std::span<const float> point_norms)
    : model_(model),
      data_(data),
      point_norms_(point_norms),
      k_(static_cast<std::size_t>(model.n_clusters)),
      d_(data.cols()),
      cluster_sums_(model.use_medoids ? 0 : k_, d_),
      panels_(model.centroids.value().data(), k_, d_, model.euclidean),
      dots_(k_),
      row_scratch_(d_),
      stay_scratch_(2 * d_),
      medoid_scratch_(d_) {
  if (needs_wide_counts(data_.rows())) wide_sizes_ = counted_sizes(model_.labels, k_);
  if (model_.use_medoids) {
    nearest_members_.emplace(model_, data_);
    return;
  }
  for (std::size_t i = 0; i < data_.rows(); ++i) {
    kernels::add_row(cluster_sums_.row(model_.labels[i]).data(), data_.row(i, row_scratch_.data()), d_);
  }
}

void BalanceRun::refresh_medoid(std::size_t cluster) {
  nearest_members_->apply(cluster, medoid_scratch_);
  panels_.update_centroid(cluster, std::as_const(model_.centroids.value()).row(cluster).data());
}

void BalanceRun::medoid_moved(std::size_t point, std::size_t from, std::size_t to) {
  nearest_members_->move(point, from, to, medoid_scratch_);
}

void BalanceRun::run_steps(std::size_t first, std::size_t last) {
  StepState state{.panels = &panels_,
                  .data = data_,
                  .row_scratch = row_scratch_.data(),
                  .point_norms = point_norms_.data(),
                  .labels = model_.labels.data(),
                  .sizes = model_.cluster_sizes.data(),
                  .wide_sizes = wide_sizes_.empty() ? nullptr : wide_sizes_.data(),
                  .sums = cluster_sums_.data(),
                  .centroids = model_.centroids.value().data(),
                  .dots = dots_.data(),
                  .stay = stay_scratch_.data(),
                  .size_penalty = size_penalty_,
                  .next_size_penalty = next_size_penalty_,
                  .run = this};
  PLOVEK_AT_LEVEL(panels_.level(), run_balance_steps)(state, model_.use_medoids, first, last);
  next_size_penalty_ = state.next_size_penalty;
}

void BalanceRun::run_iteration(CancellationPoints* cancellation) {
  next_size_penalty_ = std::numeric_limits<float>::infinity();
  const std::size_t n = data_.rows();
  const std::size_t run_length = model_.use_medoids ? 1 : kMeanStepsPerPoll;
  for (std::size_t first = 0; first < n; first += run_length) {
    run_steps(first, std::min(n, first + run_length));
    if (cancellation != nullptr) cancellation->poll();
  }
}

}  // namespace balancing

void KMeans::balance_clusters(const MatrixView& data, std::span<const float> point_norms,
                              CancellationPoints* cancellation) {
  if (verbose) write_progress_line("Balancing clusters...\n", cancellation);
  balancing::BalanceRun run(*this, data, point_norms);
  const double limit = balancing::spread_limit(max_balance_diff);
  double spread = run.size_spread();
  std::int32_t iteration = 0;
  while (spread > limit) {
    run.run_iteration(cancellation);
    run.set_size_penalty(balancing::grown_size_penalty(run.size_penalty(), run.next_size_penalty()));
    spread = run.size_spread();
    ++iteration;
    if (verbose) {
      const float cost = compute_cost(data);
      write_progress_line("Balance iteration " + std::to_string(iteration) + " | Cost: " + format_fixed(cost, 6) +
                          " | Max diff: " + format_fixed(static_cast<float>(spread), 2) + "\n",
                          cancellation);
    }
    // Past this point a placement cost could overflow; see size_penalty_usable.
    if (!balancing::size_penalty_usable(run.size_penalty(), data.rows())) break;
  }
  run.store_sizes();
  if (use_medoids) update_all_medoids(data);
}

}  // namespace plovek
