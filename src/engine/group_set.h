// A set of centroid groups, one bit per group, for up to kMost groups.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace plovek {

class GroupSet {
 public:
  static constexpr std::size_t kWordBits = 64, kWords = 2, kMost = kWordBits * kWords;

  GroupSet() = default;
  static GroupSet of(std::size_t g) {
    GroupSet set;
    set.words_[g / kWordBits] = std::uint64_t{1} << (g % kWordBits);
    return set;
  }

  // Groups kWordBits * w .. kWordBits * (w + 1) - 1, bit b for the group kWordBits * w + b.
  std::uint64_t word(std::size_t w) const { return words_[w]; }
  void set_word(std::size_t w, std::uint64_t bits) { words_[w] = bits; }

  bool empty() const {
    std::uint64_t any = 0;
    for (const std::uint64_t word : words_) any |= word;
    return any == 0;
  }
  bool contains(std::size_t g) const { return (words_[g / kWordBits] >> (g % kWordBits)) & 1; }
  std::size_t count() const {
    std::size_t total = 0;
    for (const std::uint64_t word : words_) total += static_cast<std::size_t>(std::popcount(word));
    return total;
  }
  GroupSet operator|(const GroupSet& other) const {
    GroupSet set;
    for (std::size_t w = 0; w < kWords; ++w) set.words_[w] = words_[w] | other.words_[w];
    return set;
  }
  GroupSet operator&(const GroupSet& other) const {
    GroupSet set;
    for (std::size_t w = 0; w < kWords; ++w) set.words_[w] = words_[w] & other.words_[w];
    return set;
  }
  GroupSet without(std::size_t g) const {
    GroupSet set = *this;
    set.words_[g / kWordBits] &= ~(std::uint64_t{1} << (g % kWordBits));
    return set;
  }
  // Calls visit(g) for every group in the set, in ascending order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t w = 0; w < kWords; ++w)
      for (std::uint64_t rest = words_[w]; rest != 0; rest &= rest - 1)
        visit(w * kWordBits + static_cast<std::size_t>(std::countr_zero(rest)));
  }

 private:
  std::uint64_t words_[kWords] = {};
};

}  // namespace plovek
