// How a search orders its scores and breaks exact ties, carried by a type as faiss's
// CMin and CMax carry theirs. Every nearest-centroid search and every re-check of one
// takes its rule from here, so that the fused kernels, the rounded-product re-checks
// and the pruned search agree on every tie:
// - LowestScoreFirst: the smallest score is nearest, the lowest index wins a tie
//   (Euclidean scores of the training search, and the costs of `assign` and balancing);
// - HighestScoreFirst: the largest score is nearest, the highest index wins a tie (the
//   inner product's dot products in the training search).
// Candidates are scanned by ascending index; a score that is not a number never wins.
// The vector levels apply the same rules lane by lane (LaneOrder, order_body.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace plovek::kernels {

struct LowestScoreFirst {
  // The farthest score there is.
  static constexpr float kFarthest = std::numeric_limits<float>::infinity();
  // Whether candidate (score, index) comes before (other, other_index).
  static bool before(float score, std::uint64_t index, float other, std::uint64_t other_index) {
    return score < other || (score == other && index < other_index);
  }
};

struct HighestScoreFirst {
  static constexpr float kFarthest = -std::numeric_limits<float>::infinity();
  static bool before(float score, std::uint64_t index, float other, std::uint64_t other_index) {
    return score > other || (score == other && index > other_index);
  }
};

// The nearest of `count` candidates by `Order`: candidate p is centroid index_of[p], or
// p where `index_of` is null; the first candidate's index when none comes before it.
template <class Order, class ScoreAt, class Index = std::uint32_t>
std::uint64_t nearest_in_order(std::size_t count, ScoreAt score_at, const Index* index_of = nullptr) {
  const auto index = [&](std::size_t p) { return index_of ? index_of[p] : std::uint64_t{p}; };
  std::uint64_t nearest = index(0);
  float best = Order::kFarthest;
  for (std::size_t p = 0; p < count; ++p) {
    const float score = score_at(p);
    if (Order::before(score, index(p), best, nearest)) best = score, nearest = index(p);
  }
  return nearest;
}

}  // namespace plovek::kernels
