// Top-k membership: for every cluster, the points that have it among their k nearest
// clusters (lower score first, the lower cluster index first on equal scores).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "simd/kernels.h"
#include "engine/kmeans.h"
#include "engine/row_blocks.h"
#include "runtime/thread_pool.h"

namespace plovek {

namespace {

// Selections per block at most: the selections of one block are gathered, then
// appended in point order, so the scratch stays bounded whatever n is.
constexpr std::size_t kBlockEntries = std::size_t{1} << 20;
// The estimated work of the first block (a millisecond or two, as a rule): calls up to
// this size run as one block.
constexpr std::size_t kFirstBlockWork = std::size_t{1} << 23;
// Below this many multiply-adds per block the work stays on the calling thread.
constexpr std::size_t kParallelWork = std::size_t{1} << 18;

// Points scored together: their rows are read as one batch and multiplied with the
// packed centroids in one call; at most this many points, and few enough that their
// scores stay within kBatchScores values.
constexpr std::size_t kRowsPerBatch = 64;
constexpr std::size_t kBatchScores = std::size_t{1} << 16;

// Scores of points against every cluster; a lower score is a nearer cluster.
class Scorer {
 public:
  Scorer(const Matrix& centroids, bool euclidean)
      : panels_(centroids.data(), centroids.rows(), centroids.cols(), euclidean),
        slack_(panels_.fused_slack()),
        fused_(kernels::centroid_dots_are_fused(panels_.level())),
        clusters_(centroids.rows()),
        d_(centroids.cols()),
        euclidean_(euclidean) {}

  std::size_t clusters() const { return clusters_; }

  // scores[r * clusters + c] for the `count` rows at `rows` (row r at rows + r * stride):
  // (c.c - 2 c.x) + x.x in that order, or -(c.x); bounds[r]: a score that `rank` of
  // row r's scores are at or below; margins[r]: how far apart two of row r's scores
  // must lie for their order to be the one of rounded products (-1 where the scores
  // are those). False if any score is NaN.
  bool score(const float* rows, std::ptrdiff_t stride, std::size_t count, std::size_t rank, float* scores,
             float* bounds, float* margins) const {
    kernels::centroid_dots(panels_, rows, stride, count, scores);
    bool comparable = true;
    for (std::size_t r = 0; r < count; ++r) {
      const float* x = rows + static_cast<std::ptrdiff_t>(r) * stride;
      const float point_norm = kernels::dot(x, x, d_);
      margins[r] = fused_ ? slack_.margin(point_norm) : -1.0f;
      comparable &= score_row(scores + r * clusters_, point_norm, rank, bounds[r]);
    }
    return comparable;
  }

  // One row's scores as `score` gives them, from rounded products.
  bool exact_scores(const float* x, std::size_t rank, float* scores, float& bound) const {
    kernels::exact_point_dots(panels_, x, scores);
    return score_row(scores, kernels::dot(x, x, d_), rank, bound);
  }

 private:
  bool score_row(float* dots, float point_norm, std::size_t rank, float& bound) const {
    return kernels::score_and_bound(dots, euclidean_ ? panels_.score_bias() : nullptr, euclidean_ ? point_norm : 0.0f,
                                    clusters_, rank, bound);
  }

  kernels::CentroidPanels panels_;
  kernels::FusedScoreSlack slack_;
  bool fused_;
  std::size_t clusters_;
  std::size_t d_;
  bool euclidean_;
};

// Room for one point's selection: every cluster's index, twice (the candidates with
// the slack the vector listing writes past them).
struct SelectionScratch {
  explicit SelectionScratch(std::size_t clusters)
      : order(clusters), candidates(clusters + kernels::kIndexSlack) {}
  std::vector<std::uint32_t> order, candidates;
};

// The `take` best clusters of one point into `chosen` (in no particular order: each
// point is appended once to each chosen list, so only the set matters): the first
// `take` of the clusters stably sorted by score. No score may be NaN; at least
// take + 1 scores (all, if fewer) are <= `bound`. Returns false, choosing nothing, when
// the best score left out lies within `margin` of the worst one chosen: scores that
// close may be ordered otherwise by rounded products.
bool select_best(std::span<const float> scores, std::size_t take, float bound, float margin, std::uint64_t* chosen,
                 SelectionScratch& scratch) {
  const std::size_t clusters = scores.size();
  std::vector<std::uint32_t>& order = scratch.order;
  if (take >= clusters) {
    for (std::size_t c = 0; c < clusters; ++c) chosen[c] = c;
    return true;
  }
  const auto separated = [margin](float worst_chosen, float best_left) {
    return margin < 0.0f || best_left - worst_chosen > margin;
  };
  if (take < kernels::kFirstByScoreMost) {
    // Only clusters at or below a score that take + 1 clusters reach can be chosen or
    // be the best left out; a vector scan lists those few clusters, ascending.
    const std::size_t found = kernels::indices_at_most(scores.data(), clusters, bound, scratch.candidates.data());
    std::uint64_t picked[kernels::kFirstByScoreMost];
    kernels::first_by_score(scores.data(), scratch.candidates.data(), found, take + 1, picked);
    if (!separated(scores[picked[take - 1]], scores[picked[take]])) return false;
    std::copy(picked, picked + take, chosen);
    return true;
  }
  for (std::size_t c = 0; c < clusters; ++c) order[c] = static_cast<std::uint32_t>(c);
  const auto nearer = [scores](std::uint32_t a, std::uint32_t b) {
    return scores[a] < scores[b] || (scores[a] == scores[b] && a < b);
  };
  // The best left out at `take`, the chosen before it.
  std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take),
                   order.begin() + static_cast<std::ptrdiff_t>(clusters), nearer);
  float worst_chosen = -std::numeric_limits<float>::infinity();
  for (std::size_t m = 0; m < take; ++m) worst_chosen = std::max(worst_chosen, scores[order[m]]);
  if (!separated(worst_chosen, scores[order[take]])) return false;
  for (std::size_t m = 0; m < take; ++m) chosen[m] = order[m];
  return true;
}

// Sizes the blocks by the time they take. The calling thread asks for cancellation
// between blocks, so a block should last about kBlockTime whatever a point costs (tied
// scores, or rows read from a disk, can make a point far dearer than its
// multiply-adds): each block after the first is scaled by how long the last one took,
// at most doubled. Blocks only group points, so their sizes never change a result.
class BlockPacer {
 public:
  static constexpr std::chrono::milliseconds kBlockTime{50};

  BlockPacer(std::size_t first, std::size_t largest)
      : size_(std::clamp<std::size_t>(first, 1, largest)), largest_(largest) {}

  std::size_t size() const { return size_; }

  // A block of size() points took `elapsed` (a block too quick to measure doubles too).
  void block_took(std::chrono::steady_clock::duration elapsed) {
    using Seconds = std::chrono::duration<double>;
    const double scale = std::min(2.0, Seconds(kBlockTime) / Seconds(elapsed));
    size_ = static_cast<std::size_t>(std::clamp(static_cast<double>(size_) * scale, 1.0, static_cast<double>(largest_)));
  }

 private:
  std::size_t size_;
  std::size_t largest_;
};

// The `take` nearest clusters of each point of the block [block_start, block_start +
// block_size), into chosen[p * take ..], on the pool where the block is large enough.
// False when a score is NaN.
bool select_block(const MatrixView& data, const Scorer& scorer, std::size_t block_start, std::size_t block_size,
                  std::size_t take, std::size_t rank, std::uint64_t* chosen) {
  const std::size_t clusters = scorer.clusters();
  const std::size_t work_per_point = clusters * std::max<std::size_t>(data.cols(), 1);
  const std::size_t batch_rows = std::clamp<std::size_t>(kBatchScores / clusters, 1, kRowsPerBatch);
  // Selects for the points [first, last) of the block; false when a score is NaN.
  const auto select_range = [&](std::size_t first, std::size_t last) {
    std::vector<float> rows_copy;
    std::vector<float> scores(batch_rows * clusters), bounds(batch_rows), margins(batch_rows);
    SelectionScratch selection(clusters);
    bool comparable = true;
    for_each_row_block(
        data, block_start + first, block_start + last, rows_copy,
        [&](std::size_t point, std::size_t count, const float* rows, std::ptrdiff_t stride) {
          if (!comparable ||
              !(comparable = scorer.score(rows, stride, count, rank, scores.data(), bounds.data(), margins.data())))
            return;
          for (std::size_t r = 0; r < count; ++r) {
            float* row_scores = scores.data() + r * clusters;
            std::uint64_t* row_chosen = chosen + (point - block_start + r) * take;
            const std::span<const float> all(row_scores, clusters);
            if (select_best(all, take, bounds[r], margins[r], row_chosen, selection)) continue;
            // Undecided by the fused scores: decided by rounded products.
            scorer.exact_scores(rows + static_cast<std::ptrdiff_t>(r) * stride, rank, row_scores, bounds[r]);
            select_best(all, take, bounds[r], -1.0f, row_chosen, selection);
          }
        },
        batch_rows);
    return comparable;
  };

  if (block_size * work_per_point < kParallelWork) return select_range(0, block_size);
  const std::size_t grain = std::max<std::size_t>(1, kParallelWork / (8 * work_per_point));
  std::vector<unsigned char> range_failed(block_size, 0);
  parallel_for(block_size, grain, [&](std::size_t first, std::size_t last) {
    if (!select_range(first, last)) range_failed[first] = 1;
  });
  return std::none_of(range_failed.begin(), range_failed.end(), [](unsigned char f) { return f != 0; });
}

}  // namespace

Result<ClusterLists> KMeans::assign(const MatrixView& data, std::uint64_t k, const Cancellation& cancellation) const {
  if (!is_trained) return KMeansError::not_trained();
  if (k == 0) return KMeansError::invalid_parameter("k must be positive");
  if (!centroids) throw InternalError("a trained model has no centroids");
  const std::size_t d = centroids->cols();
  if (data.cols() != d) return KMeansError::dimension_mismatch(d, data.cols());
  const std::size_t clusters = centroids->rows();
  if (clusters != n_clusters) throw InternalError("centroid rows differ from the number of clusters");
  if (clusters > std::numeric_limits<std::uint32_t>::max()) throw InternalError("too many clusters");
  if (auto failure = ensure_global_pool(std::nullopt)) {
    return KMeansError::invalid_parameter(pool_errors::kSetupFailed + *failure);
  }

  const std::size_t n = data.rows();
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(k, clusters));
  // The chosen and the best left out.
  const std::size_t rank = std::min(take + 1, clusters);
  ClusterLists lists(clusters);

  // One cluster: nothing is compared, so every point belongs to it whatever its values.
  if (clusters == 1) {
    lists[0].resize(n);
    for (std::size_t i = 0; i < n; ++i) lists[0][i] = i;
    return lists;
  }

  const Scorer scorer(*centroids, euclidean);
  // Scores and selection: d multiply-adds per cluster, and at worst (all scores tied)
  // about `take` comparisons.
  BlockPacer pacer(kFirstBlockWork / (clusters * (d + take)), std::max<std::size_t>(1, kBlockEntries / take));
  std::vector<std::uint64_t> chosen;
  CancellationPoints cancellation_points(cancellation);

  for (std::size_t block_start = 0, block_size = 0; block_start < n; block_start += block_size) {
    cancellation_points.poll();
    const auto block_began = std::chrono::steady_clock::now();
    block_size = std::min(pacer.size(), n - block_start);
    chosen.resize(block_size * take);
    if (!select_block(data, scorer, block_start, block_size, take, rank, chosen.data())) {
      return KMeansError::invalid_parameter(
          "data contains NaN or infinite values (or values whose scores overflow)");
    }
    for (std::size_t p = 0; p < block_size; ++p) {
      const std::uint64_t point = block_start + p;
      for (std::size_t m = 0; m < take; ++m) lists[chosen[p * take + m]].push_back(point);
    }
    pacer.block_took(std::chrono::steady_clock::now() - block_began);
  }
  return lists;
}

}  // namespace plovek
