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

// Points per block of dot products computed ahead. (Each step changes one or two
// centroids: with more points a block's steps change more of those its dot products were
// computed with, which are then computed again; with fewer the blocks' upkeep grows.)
constexpr std::size_t kBlockPoints = 32;
// From this many dot products per step (k * d), and twice as many centroids as a block
// has points, blocks pay for their upkeep: at k * d = 8192 they cost about what they
// save, at 16384 (k = 256) they take a third off a step on two threads.
constexpr std::size_t kFewestBlockedDots = 10000;

// Whether iterations compute dot products ahead in blocks: in mean mode, as chosen, or
// where paying with enough dot products per step, centroids and points.
bool uses_blocks(BalanceBlocks blocks, const KMeans& model, std::size_t n, std::size_t k, std::size_t d) {
  if (model.use_medoids || blocks == BalanceBlocks::None) return false;
  if (blocks != BalanceBlocks::WherePaying) return true;
  return k * d >= kFewestBlockedDots && k >= 2 * kBlockPoints && n >= 2 * kBlockPoints;
}

// Zero rows of d values, to pack.
kernels::CentroidPanels zero_panels(std::size_t count, std::size_t d, bool euclidean) {
  const std::vector<float> zeros(count * d, 0.0f);
  return kernels::CentroidPanels(zeros.data(), count, d, euclidean);
}

}  // namespace

ChangedCentroids::ChangedCentroids(std::size_t k, std::size_t d, std::size_t capacity, bool euclidean)
    : d_(d), panels_(zero_panels(capacity, d, euclidean)), rows_(capacity * d), lane_of_(k, kUnchanged),
      centroids_(capacity) {}

void ChangedCentroids::keep_rows(const float* centroids) {
  for (std::size_t q = 0; q < count_; ++q) std::copy_n(centroids + centroid(q) * d_, d_, rows_.data() + q * d_);
}

void ChangedCentroids::clear() {
  for (std::size_t q = 0; q < count_; ++q) lane_of_[centroids_[q]] = kUnchanged;
  count_ = 0;
}

double BalanceRun::size_spread() const {
  return wide_sizes_.empty() ? balancing::size_spread(model_.cluster_sizes) : balancing::size_spread(wide_sizes_);
}

void BalanceRun::store_sizes() {
  if (wide_sizes_.empty()) return;
  std::transform(wide_sizes_.begin(), wide_sizes_.end(), model_.cluster_sizes.begin(),
                 [](double size) { return static_cast<float>(size); });
}

BalanceRun::BalanceRun(KMeans& model, const MatrixView& data, std::span<const float> point_norms,
                       BalanceBlocks blocks)
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
  if (!uses_blocks(blocks, model_, data_.rows(), k_, d_)) return;
  // A step changes at most two centroids (its home and its target).
  const std::size_t capacity = std::min(k_, 2 * kBlockPoints);
  for (int b = 0; b < 2; ++b) changed_.push_back(std::make_unique<ChangedCentroids>(k_, d_, capacity, model_.euclidean));
  // Both panels must have the same lanes (the level is read at packing).
  if (changed_[0]->panels().level() != panels_.level()) {
    changed_.clear();
    return;
  }
  block_points_ = kBlockPoints;
  overlap_blocks_ = blocks != BalanceBlocks::AtTheirStart;
  take_back_idle_blocks_ = blocks == BalanceBlocks::WherePaying;
  for (AheadBlock& block : blocks_) {
    block.rows.resize(block_points_);
    if (!data_.rows_are_direct()) block.row_copies.resize(block_points_ * d_);
    block.dots.resize(block_points_ * k_);
  }
  changed_dots_.resize(block_points_ * capacity);
}

void BalanceRun::refresh_medoid(std::size_t cluster) {
  nearest_members_->apply(cluster, medoid_scratch_);
  panels_.update_centroid(cluster, std::as_const(model_.centroids.value()).row(cluster).data());
}

void BalanceRun::medoid_moved(std::size_t point, std::size_t from, std::size_t to) {
  nearest_members_->move(point, from, to, medoid_scratch_);
}

StepState BalanceRun::step_state() {
  return StepState{.panels = &panels_,
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
}

void BalanceRun::run_state_steps(StepState& state, std::size_t first, std::size_t last) {
  PLOVEK_AT_LEVEL(panels_.level(), run_balance_steps)(state, model_.use_medoids, first, last);
  next_size_penalty_ = state.next_size_penalty;
}

void BalanceRun::run_steps(std::size_t first, std::size_t last) {
  StepState state = step_state();
  run_state_steps(state, first, last);
}

void BalanceRun::run_block_steps(AheadBlock& block, std::size_t first, std::size_t last) {
  StepState state = step_state();
  state.ahead_dots = block.dots.data();
  state.ahead_first = block.first;
  state.changed = changed_[0].get();
  state.changed_dots = changed_dots_.data();
  run_state_steps(state, first, last);
}

void BalanceRun::run_iteration(CancellationPoints* cancellation) {
  next_size_penalty_ = std::numeric_limits<float>::infinity();
  if (block_points_ != 0) return run_iteration_in_blocks(cancellation);
  const std::size_t n = data_.rows();
  const std::size_t run_length = model_.use_medoids ? 1 : kMeanStepsPerPoll;
  for (std::size_t first = 0; first < n; first += run_length) {
    run_steps(first, std::min(n, first + run_length));
    if (cancellation != nullptr) cancellation->poll();
  }
}

// The steps of one iteration in blocks. The dot products of each block's points with
// every centroid are computed on the pool while the calling thread performs the steps of
// the block before, against the panels as they stood when those steps began: the steps
// write the lanes of the centroids they change elsewhere meanwhile (ChangedCentroids),
// and the pool's work on the next block starts by bringing the panels up to date with
// them (panel by panel, so that the panels stay in the workers' caches). Before a
// block's steps its dot products with the centroids the block before changed are
// computed again, and each step computes those with the centroids its own block has
// changed so far (its home included): every dot product a step uses is the one it would
// compute itself. A block no worker has begun by then (the first, or any while the
// workers are kept from their cores) is instead computed there and then against the
// panels brought up to date, which needs nothing computed again. The cancellation
// points fall where run_iteration puts them without blocks.
void BalanceRun::run_iteration_in_blocks(CancellationPoints* cancellation) {
  const std::size_t n = data_.rows();
  LoopStream ahead;
  for (std::size_t first = 0, b = 0; first < n; first += block_points_, b ^= 1) {
    AheadBlock& block = blocks_[b];
    if (first == 0 || !overlap_blocks_ || (take_back_idle_blocks_ && ahead.withdraw())) {
      bring_panels_up_to_date();
      compute_ahead(block, first, ahead);
      ahead.wait();
    } else {
      ahead.wait();
      // [1]: the centroids the block before changed; the panels hold the rest.
      changed_[1]->clear();
      std::swap(changed_[0], changed_[1]);
      changed_[1]->keep_rows(model_.centroids.value().data());
    }
    if (overlap_blocks_ && first + block_points_ < n) {
      compute_ahead(blocks_[b ^ 1], first + block_points_, ahead);
    }
    recompute_changed_dots(block, *changed_[1]);
    const std::size_t last = first + block.count;
    for (std::size_t run_first = first; run_first < last;) {
      const std::size_t run_last = std::min(last, (run_first / kMeanStepsPerPoll + 1) * kMeanStepsPerPoll);
      run_block_steps(block, run_first, run_last);
      if (cancellation != nullptr && (run_last % kMeanStepsPerPoll == 0 || run_last == n)) cancellation->poll();
      run_first = run_last;
    }
  }
  bring_panels_up_to_date();
}

void BalanceRun::compute_ahead(AheadBlock& block, std::size_t first, LoopStream& stream) {
  block.first = first;
  block.count = std::min(block_points_, data_.rows() - first);
  for (std::size_t r = 0; r < block.count; ++r) {
    block.rows[r] = data_.row(first + r, block.row_copies.empty() ? nullptr : block.row_copies.data() + r * d_);
  }
  const auto block_dots = &PLOVEK_AT_LEVEL(panels_.level(), balance_block_dots);
  const auto write_lanes = &PLOVEK_AT_LEVEL(panels_.level(), write_changed_lanes);
  const ChangedCentroids& changed = *changed_[1];
  const std::size_t width = panels_.width();
  auto panels_in_range = [this, &block, &changed, block_dots, write_lanes, width](std::size_t from, std::size_t to) {
    const std::size_t first = from * width, last = std::min(k_, to * width);
    write_lanes(panels_, changed, first, last);
    block_dots(panels_, first, last, block.rows.data(), block.count, block.dots.data() + first, k_);
  };
  stream.post(panels_.panel_count(), 1, panels_in_range);
}

void BalanceRun::recompute_changed_dots(AheadBlock& block, const ChangedCentroids& changed) {
  const std::size_t count = changed.count();
  if (count == 0) return;
  PLOVEK_AT_LEVEL(panels_.level(), balance_block_dots)(changed.panels(), 0, count, block.rows.data(), block.count,
                                                       changed_dots_.data(), count);
  for (std::size_t r = 0; r < block.count; ++r) {
    for (std::size_t q = 0; q < count; ++q) block.dots[r * k_ + changed.centroid(q)] = changed_dots_[r * count + q];
  }
}

void BalanceRun::bring_panels_up_to_date() {
  for (const std::unique_ptr<ChangedCentroids>& changed : changed_) {
    changed->keep_rows(model_.centroids.value().data());
    PLOVEK_AT_LEVEL(panels_.level(), write_changed_lanes)(panels_, *changed, 0, k_);
    changed->clear();
  }
}

}  // namespace balancing

void KMeans::balance_clusters(const MatrixView& data, std::span<const float> point_norms,
                              CancellationPoints* cancellation, BalanceBlocks blocks) {
  if (verbose) write_progress_line("Balancing clusters...\n", cancellation);
  balancing::BalanceRun run(*this, data, point_norms, blocks);
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
