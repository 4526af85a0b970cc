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

// The nearest of candidates offered one at a time, in any order, by an Order: the
// candidate at position p breaks ties by index_of[p] (by p where index_of is null).
// Offered by ascending position, the first stands, as the scan by index does, until
// one comes before the farthest score.
struct NearestSoFar {
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  float score = 0.0f;
  std::uint32_t position = kNone;  // none offered yet

  template <class Order>
  void offer(float candidate, std::uint32_t at, const std::uint32_t* index_of) {
    const auto index = [&](std::uint32_t p) { return index_of ? std::uint64_t{index_of[p]} : std::uint64_t{p}; };
    if (position == kNone) score = Order::kFarthest, position = at;
    if (Order::before(candidate, index(at), score, index(position))) score = candidate, position = at;
  }
};

}  // namespace plovek::kernels
