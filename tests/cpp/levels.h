// Shared by the tests: running a check at every SIMD level this machine supports, and
// the rounded-product dot products written out as the levels must compute them.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

#include "simd/foreach_level.h"
#include "simd/kernels.h"

namespace plovek::test_support {

// Runs `check(level)` once per level this machine supports, that level forced for the
// dispatched calls, restoring the detected level afterwards.
template <class Check>
void for_each_level(Check&& check) {
  using kernels::SimdLevel;
  for (const SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (kernels::force_simd_level_for_testing(level) != level) continue;
    SCOPED_TRACE(kernels::simd_level_name(level));
    check(level);
  }
  kernels::force_simd_level_for_testing(kernels::detected_simd_level());
}

// Runs `check` with each supported level's Kernels (a value of the type).
template <class Check>
void for_each_level_kernels(Check&& check) {
  for_each_level([&](kernels::SimdLevel level) {
    switch (level) {
      case kernels::SimdLevel::Scalar: return check(scalar::Kernels{});
#if defined(__x86_64__)
      case kernels::SimdLevel::Avx2: return check(avx2::Kernels{});
      case kernels::SimdLevel::Avx512: return check(avx512::Kernels{});
#else
      default: return;
#endif
    }
  });
}

// The products rounded, then summed in one ascending sum.
inline float ascending_dot(const float* x, const float* y, std::size_t d) {
  float sum = 0.0f;
  for (std::size_t t = 0; t < d; ++t) {
    const float product = x[t] * y[t];
    sum = sum + product;
  }
  return sum;
}

// The products rounded, then summed in two ascending chains, the even and the odd
// elements, added at the end (the balancing step's order).
inline float two_chain_dot(const float* x, const float* y, std::size_t d) {
  float chains[2] = {0.0f, 0.0f};
  for (std::size_t t = 0; t < d; ++t) {
    const float product = x[t] * y[t];
    chains[t % 2] = chains[t % 2] + product;
  }
  return chains[0] + chains[1];
}

// The products rounded, then summed in the row dot order: 16 partials by element index
// mod 16, partial l + 8 into l, then ((0+4)+(2+6))+((1+5)+(3+7)).
inline float row_order_dot(const float* x, const float* y, std::size_t d) {
  float partial[16] = {};
  for (std::size_t t = 0; t < d; ++t) {
    const float product = x[t] * y[t];
    partial[t % 16] = partial[t % 16] + product;
  }
  float eight[8], four[4];
  for (int l = 0; l < 8; ++l) eight[l] = partial[l] + partial[l + 8];
  for (int l = 0; l < 4; ++l) four[l] = eight[l] + eight[l + 4];
  return (four[0] + four[2]) + (four[1] + four[3]);
}

}  // namespace plovek::test_support
