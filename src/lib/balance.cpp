// The balancing phase: points move one at a time, in index order, to the cluster with
// the smallest distance plus size penalty, until the cluster sizes are close enough.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "balance_steps.h"
#include "kernels/centroid_panels.h"
#include "kernels/mean_balance_steps.h"
#include "kernels/row_arithmetic.h"
#include "kmeans.h"
#include "normalize.h"
#include "progress.h"

namespace plovek {

namespace balancing {

BalanceRun::BalanceRun(KMeans& model, const MatrixView& data, std::span<const float> point_norms)
    : model_(model),
      data_(data),
      point_norms_(point_norms),
      k_(static_cast<std::size_t>(model.n_clusters)),
      d_(data.cols()),
      cluster_sums_(k_, d_),
      distances_(k_),
      panels_(model.centroids.value().data(), k_, d_, model.euclidean),
      similarities_(k_),
      row_scratch_(d_),
      stay_scratch_(2 * d_),
      medoid_scratch_(d_) {
  const std::size_t n = data_.rows();
  for (std::size_t i = 0; i < n; ++i) {
    kernels::add_row(cluster_sums_.row(model_.labels[i]).data(), data_.row(i, row_scratch_.data()), d_);
  }
  if (model_.use_medoids) nearest_members_.emplace(model_, data_);
}

void BalanceRun::refresh_mean_centroid(std::size_t cluster, float divisor) {
  std::span<float> centroid = model_.centroids.value().row(cluster);
  const float* sum = std::as_const(cluster_sums_).row(cluster).data();
  if (model_.euclidean) {
    panels_.update_centroid_to_quotient(cluster, sum, divisor, centroid.data());
    return;
  }
  kernels::divide_row(sum, divisor, centroid.data(), d_);
  scale_to_unit_length(centroid);
  panels_.update_centroid(cluster, centroid.data());
}

void BalanceRun::refresh_medoid(std::size_t cluster) {
  nearest_members_->apply(cluster, medoid_scratch_);
  panels_.update_centroid(cluster, std::as_const(model_.centroids.value()).row(cluster).data());
}

void BalanceRun::point_step(std::size_t i) {
  std::vector<float>& sizes = model_.cluster_sizes;
  const bool euclidean = model_.euclidean;
  const bool use_medoids = model_.use_medoids;
  const float* x = data_.row(i, row_scratch_.data());

  const std::size_t home = static_cast<std::size_t>(model_.labels[i]);
  const float home_size = sizes[home];

  // Out of the home cluster. The point still carries its label, so in medoid mode it
  // is still one of the home cluster's members.
  kernels::subtract_row(cluster_sums_.row(home).data(), x, d_);
  // A sole member (mean mode) leaves its cluster's centroid as it was.
  if (use_medoids) {
    if (home_size > 0.0f) refresh_medoid(home);
  } else if (home_size > 1.0f) {
    refresh_mean_centroid(home, home_size - 1.0f);
  }
  sizes[home] = reduced_home_size(home_size);

  // Every centroid refresh repacks its row (and its norm), so the panels match the
  // current centroids.
  kernels::paired_point_dots(panels_, x, similarities_.data());
  // A switch penalty at or above the next size penalty changes nothing: it need not be
  // exact.
  const kernels::Placement placement = kernels::place_point_from_dots(
      similarities_.data(), euclidean ? panels_.score_bias() : nullptr, euclidean ? point_norms_[i] : 0.0f,
      sizes.data(), k_, home, size_penalty_, next_size_penalty_, distances_.data());
  const std::size_t target = placement.target;
  next_size_penalty_ = lower_next_penalty(size_penalty_, next_size_penalty_, placement.switch_penalty);

  // Into the target. In medoid mode the label still names the home cluster, so a
  // moving point is not yet one of the target's members.
  sizes[target] = sizes[target] + 1.0f;
  kernels::add_row(cluster_sums_.row(target).data(), x, d_);
  if (use_medoids) {
    refresh_medoid(target);
  } else {
    // When the point stays, this size still holds the residual share.
    refresh_mean_centroid(target, sizes[target]);
  }

  sizes[home] = sizes[home] - residual_share;
  if (use_medoids && target != home) nearest_members_->move(i, home, target, medoid_scratch_);
  model_.labels[i] = target;
}

bool BalanceRun::fused_steps_apply() const {
  return model_.euclidean && !model_.use_medoids && data_.rows_are_direct() &&
         kernels::has_fused_mean_balance_steps(panels_);
}

void BalanceRun::run_fused_steps(std::size_t first, std::size_t last) {
  kernels::MeanBalanceSteps steps{&panels_,
                                  data_.row(0, row_scratch_.data()),
                                  data_.row_stride(),
                                  point_norms_.data(),
                                  model_.labels.data(),
                                  model_.cluster_sizes.data(),
                                  cluster_sums_.data(),
                                  model_.centroids.value().data(),
                                  similarities_.data(),
                                  distances_.data(),
                                  stay_scratch_.data(),
                                  size_penalty_,
                                  next_size_penalty_};
  kernels::run_mean_balance_steps(steps, first, last);
  next_size_penalty_ = steps.next_size_penalty;
}

void BalanceRun::run_iteration(CancellationPoints* cancellation, StepPath path) {
  next_size_penalty_ = std::numeric_limits<float>::infinity();
  const std::size_t n = data_.rows();
  const bool fused = path == StepPath::Fastest && fused_steps_apply();
  // Fused steps run in short runs, each followed by a cancellation point.
  const std::size_t run_length = fused ? kFusedStepsPerPoll : 1;
  for (std::size_t first = 0; first < n; first += run_length) {
    const std::size_t last = std::min(n, first + run_length);
    if (fused) {
      run_fused_steps(first, last);
    } else {
      for (std::size_t i = first; i < last; ++i) point_step(i);
    }
    if (cancellation != nullptr) cancellation->poll();
  }
}

}  // namespace balancing

void KMeans::balance_clusters(const MatrixView& data, std::span<const float> point_norms,
                              CancellationPoints* cancellation) {
  if (verbose) write_progress_line("Balancing clusters...\n");
  balancing::BalanceRun run(*this, data, point_norms);
  const float limit = balancing::spread_limit(max_balance_diff);
  float spread = balancing::size_spread(cluster_sizes);
  std::int32_t iteration = 0;
  while (spread > limit) {
    run.run_iteration(cancellation);
    run.set_size_penalty(balancing::grown_size_penalty(run.size_penalty(), run.next_size_penalty()));
    spread = balancing::size_spread(cluster_sizes);
    ++iteration;
    if (verbose) {
      const float cost = compute_cost(data);
      write_progress_line("Balance iteration " + std::to_string(iteration) + " | Cost: " + format_fixed(cost, 6) +
                          " | Max diff: " + format_fixed(spread, 2) + "\n");
    }
    // Past this point a placement cost could overflow; see size_penalty_usable.
    if (!balancing::size_penalty_usable(run.size_penalty(), data.rows())) break;
  }
  if (use_medoids) update_all_medoids(data);
}

}  // namespace plovek
