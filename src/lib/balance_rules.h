// The per-step arithmetic rules of the balancing phase, shared by the reference point
// step (BalanceRun::point_step) and the fused vector steps of the panel kernels.
#pragma once

namespace plovek::balancing {

// Share of a leaving point that still counts toward its home cluster's size while its
// target is chosen.
inline constexpr float residual_share = 0.15f;
// Factor from an iteration's smallest switch penalty to the next size penalty.
inline constexpr float penalty_growth = 2.5f;
// Added to max_balance_diff in the stop test.
inline constexpr float balance_slack = 0.5f;

// The home cluster's size while its leaving point's target is chosen: (s - 1) + 0.15,
// rounded after each operation.
inline float reduced_home_size(float s) {
  const float without_point = s - 1.0f;
  return without_point + residual_share;
}

// A point's switch penalty lowers the iteration's candidate when it lies strictly
// between the current size penalty and the candidate so far.
inline float lower_next_penalty(float size_penalty, float next_size_penalty, float point_switch_penalty) {
  if (size_penalty < point_switch_penalty && point_switch_penalty < next_size_penalty) {
    return point_switch_penalty;
  }
  return next_size_penalty;
}

}  // namespace plovek::balancing
