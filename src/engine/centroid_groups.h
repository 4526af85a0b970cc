// Groups of nearby centroids, for bounds kept per group: a point far from every member
// of a group needs one bound for the whole group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/matrix.h"

namespace plovek {

struct CentroidGroups {
  std::size_t group_size = 0;           // positions per group; the last group holds the rest
  std::vector<std::uint32_t> order;     // per position, group after group: the centroid there
  std::vector<std::uint32_t> group_of;  // per centroid: its group

  std::size_t count() const { return group_size == 0 ? 0 : (order.size() + group_size - 1) / group_size; }
  std::size_t group_of_position(std::size_t position) const { return position / group_size; }
};

// The k centroids in groups of `group_size` positions (the last group the rest), nearby
// centroids together: a few Lloyd steps in double from evenly spaced seeds, then each
// centroid to the nearest group with room, nearest pairs first. Deterministic.
CentroidGroups group_centroids(const Matrix& centroids, std::size_t group_size);

}  // namespace plovek
