// Balancing point steps in mean mode with the Euclidean metric, fused per SIMD level:
// the reference point step (BalanceRun::point_step) calls one dispatched kernel after
// another, and at small d those calls, not the arithmetic, take much of a step. Here a
// whole run of steps is one loop per level with every kernel inlined. The arithmetic
// is the reference step's, operation for operation (the same dot-product orders), so
// the two give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "centroid_panels.h"

namespace plovek::kernels {

// Everything a run of steps reads and writes; the steps update it in place.
struct MeanBalanceSteps {
  CentroidPanels* panels;       // the centroids, packed (vector levels only)
  const float* rows;            // data row i at rows + i * row_stride, d contiguous values
  std::ptrdiff_t row_stride;
  const float* point_norms;     // x.x per point
  std::uint64_t* labels;        // per point, rewritten by its step
  float* sizes;                 // k cluster sizes
  float* sums;                  // k x d running sums of the members' rows
  float* centroids;             // k x d, row-major
  float* dots;                  // k values of scratch
  float* distances;             // k: the last step's distances
  float* stay;                  // 2 * d values of scratch (used for large d)
  float size_penalty;
  float next_size_penalty;      // lowered by the steps
};

// True when the active SIMD level has fused steps for these panels.
bool has_fused_mean_balance_steps(const CentroidPanels& panels);

// The point steps of points first .. last - 1, in order. Needs
// has_fused_mean_balance_steps(*steps.panels) and Euclidean panels.
void run_mean_balance_steps(MeanBalanceSteps& steps, std::size_t first, std::size_t last);

void run_mean_balance_steps_avx2(MeanBalanceSteps& steps, std::size_t first, std::size_t last);
void run_mean_balance_steps_avx512(MeanBalanceSteps& steps, std::size_t first, std::size_t last);

}  // namespace plovek::kernels
