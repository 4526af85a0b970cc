#include "runtime/random.h"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <random>
#include <unordered_map>

#include "engine/kmeans_error.h"

namespace plovek {

namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// Fills `out` from getrandom(2); falls back to std::random_device when the call is
// unavailable. Returns false only if neither source worked.
bool os_entropy(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::getrandom(bytes + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    filled += static_cast<std::size_t>(got);
  }
  if (filled == size) return true;
  try {
    std::random_device device;
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(device());
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

RandomGenerator::RandomGenerator() {
  std::array<std::uint64_t, 4> words{};
  if (!os_entropy(words.data(), sizeof words)) {
    // Last resort: the clock and an address; still different between runs.
    words[0] = static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    words[1] = reinterpret_cast<std::uintptr_t>(this);
  }
  // Mixing the words through splitmix64 also rules out the all-zero state.
  std::uint64_t mix = words[0] ^ rotl(words[1], 17) ^ rotl(words[2], 31) ^ rotl(words[3], 47);
  for (std::size_t i = 0; i < state_.size(); ++i) state_[i] = words[i] ^ splitmix64(mix);
  if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) seed_from(mix);
}

RandomGenerator::RandomGenerator(std::uint64_t seed) { seed_from(seed); }

void RandomGenerator::seed_from(std::uint64_t seed) {
  for (auto& word : state_) word = splitmix64(seed);
}

std::uint64_t RandomGenerator::next_u64() {
  const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = rotl(state_[3], 45);
  return result;
}

std::uint64_t RandomGenerator::uniform_below(std::uint64_t bound) {
  if (bound == 0) throw InternalError("uniform_below needs a positive bound");
  unsigned __int128 product = static_cast<unsigned __int128>(next_u64()) * bound;
  auto low = static_cast<std::uint64_t>(product);
  if (low < bound) {
    const std::uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      product = static_cast<unsigned __int128>(next_u64()) * bound;
      low = static_cast<std::uint64_t>(product);
    }
  }
  return static_cast<std::uint64_t>(product >> 64);
}

std::vector<std::uint64_t> shuffled_prefix(std::uint64_t n, std::uint64_t count, RandomGenerator& generator) {
  if (count > n) throw InternalError("shuffled_prefix: count exceeds n");
  std::vector<std::uint64_t> prefix(count);
  // Step i swaps position i with a uniform position j in [i, n); after `count` steps
  // positions 0..count-1 hold a uniformly random ordered selection.
  if (count >= n / 8) {
    std::vector<std::uint64_t> list(n);
    for (std::uint64_t i = 0; i < n; ++i) list[i] = i;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t j = i + generator.uniform_below(n - i);
      std::swap(list[i], list[j]);
      prefix[i] = list[i];
    }
    return prefix;
  }
  // Sparse list: a position not in the map still holds its own index.
  std::unordered_map<std::uint64_t, std::uint64_t> moved;
  moved.reserve(static_cast<std::size_t>(2 * count));
  const auto value_at = [&moved](std::uint64_t position) {
    const auto found = moved.find(position);
    return found == moved.end() ? position : found->second;
  };
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t j = i + generator.uniform_below(n - i);
    const std::uint64_t at_i = value_at(i);
    prefix[i] = value_at(j);
    moved[j] = at_i;  // position i is never read again
  }
  return prefix;
}

namespace {

// Counts the fork() calls this process descends from (since the first generator was
// made). A forked child starts with copies of its parent's generators; without a
// fresh seed it would replay the parent's stream, and every child of one parent
// would replay the same one.
std::atomic<std::uint64_t> fork_generation{0};

void count_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

RandomGenerator& thread_generator() {
  static const bool fork_handler_registered = [] {
    pthread_atfork(nullptr, nullptr, count_fork_in_child);
    return true;
  }();
  (void)fork_handler_registered;
  thread_local RandomGenerator generator;
  thread_local std::uint64_t seeded_in_generation = fork_generation.load(std::memory_order_relaxed);
  const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  if (generation != seeded_in_generation) {
    generator = RandomGenerator();
    seeded_in_generation = generation;
  }
  return generator;
}

}  // namespace plovek
