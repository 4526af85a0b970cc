// Point indices grouped by cluster with one counting sort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plovek {

// The members of cluster c are members[start[c] .. start[c + 1]), in ascending order;
// point i sits at members[slot[i]].
template <class Index>
struct ClusterBuckets {
  std::vector<std::size_t> start;
  std::vector<Index> members;
  std::vector<std::size_t> slot;

  std::span<const Index> of(std::uint64_t c) const {
    return {members.data() + start[c], start[c + 1] - start[c]};
  }
};

// Every label must be below k.
template <class Index>
ClusterBuckets<Index> bucket_by_cluster(std::span<const std::uint64_t> labels, std::uint64_t k) {
  ClusterBuckets<Index> buckets{std::vector<std::size_t>(k + 1, 0), std::vector<Index>(labels.size()),
                                std::vector<std::size_t>(labels.size())};
  for (const std::uint64_t label : labels) ++buckets.start[label + 1];
  for (std::uint64_t c = 0; c < k; ++c) buckets.start[c + 1] += buckets.start[c];
  std::vector<std::size_t> next(buckets.start.begin(), buckets.start.end() - 1);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    buckets.slot[i] = next[labels[i]]++;
    buckets.members[buckets.slot[i]] = static_cast<Index>(i);
  }
  return buckets;
}

}  // namespace plovek
