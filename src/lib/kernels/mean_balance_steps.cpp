#include "mean_balance_steps.h"

#include "kmeans_error.h"

namespace plovek::kernels {

bool has_fused_mean_balance_steps(const CentroidPanels& panels) { return panels.level() != SimdLevel::Scalar; }

void run_mean_balance_steps(MeanBalanceSteps& steps, std::size_t first, std::size_t last) {
  switch (steps.panels->level()) {
    case SimdLevel::Avx512: return run_mean_balance_steps_avx512(steps, first, last);
    case SimdLevel::Avx2: return run_mean_balance_steps_avx2(steps, first, last);
    case SimdLevel::Scalar: break;
  }
  throw InternalError("fused balancing steps need a vector level");
}

}  // namespace plovek::kernels
