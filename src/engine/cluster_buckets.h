// Point indices grouped by cluster: with one counting sort, or in lists that follow
// points as they move.
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

// The members of each cluster in no particular order, kept current while points move
// one at a time: a move costs O(1), the source's last member taking the leaver's place.
class MovingClusterMembers {
 public:
  MovingClusterMembers(std::span<const std::uint64_t> labels, std::uint64_t k) : lists_(k), slot_(labels.size()) {
    for (std::size_t i = 0; i < labels.size(); ++i) {
      slot_[i] = lists_[labels[i]].size();
      lists_[labels[i]].push_back(i);
    }
  }

  std::span<const std::uint64_t> of(std::uint64_t c) const { return lists_[c]; }

  // `point` must be a member of `from`, and `to` another cluster.
  void move(std::uint64_t point, std::uint64_t from, std::uint64_t to) {
    std::vector<std::uint64_t>& source = lists_[from];
    const std::uint64_t last = source.back();
    source[slot_[point]] = last;
    slot_[last] = slot_[point];
    source.pop_back();
    slot_[point] = lists_[to].size();
    lists_[to].push_back(point);
  }

 private:
  std::vector<std::vector<std::uint64_t>> lists_;
  std::vector<std::size_t> slot_;  // point i sits at lists_[its cluster][slot_[i]]
};

}  // namespace plovek
