// The random generator of training: xoshiro256**, one instance per thread, seeded
// from the operating system's entropy source. Results are not meant to be
// reproducible; a fixed seed exists only for tests.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace plovek {

class RandomGenerator {
 public:
  // Seeds the state from the operating system's entropy source.
  RandomGenerator();
  // A deterministic stream (the seed is expanded with splitmix64).
  explicit RandomGenerator(std::uint64_t seed);

  std::uint64_t next_u64();
  // The upper 32 bits of the next 64-bit output (the better-mixed half).
  std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64() >> 32); }
  // Uniform on [0, bound) (Lemire's multiply-and-reject); bound 0 is an InternalError.
  std::uint64_t uniform_below(std::uint64_t bound);

 private:
  void seed_from(std::uint64_t seed);
  std::array<std::uint64_t, 4> state_{};
};

// Uniform on [0, 1) with 23 random bits: (u >> 9) / 2^23.
inline float unit_float_from_bits(std::uint32_t u) {
  return static_cast<float>(u >> 9) * (1.0f / 8388608.0f);
}

// The calling thread's generator, created and seeded on first use, and seeded afresh
// in a process forked since then (a child never replays its parent's stream).
RandomGenerator& thread_generator();

// The first `count` entries of a uniformly shuffled list 0, 1, ..., n - 1 (count <= n):
// a forward Fisher-Yates shuffle stopped after `count` swaps. Only the swapped
// positions are stored when count is small against n, so no n-sized list is built.
std::vector<std::uint64_t> shuffled_prefix(std::uint64_t n, std::uint64_t count, RandomGenerator& generator);

}  // namespace plovek
