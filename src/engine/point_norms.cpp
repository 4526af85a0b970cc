#include "engine/point_norms.h"

#include "engine/row_blocks.h"
#include "runtime/thread_pool.h"
#include "simd/kernels.h"

namespace plovek {

std::vector<float> compute_point_norms(const MatrixView& data) {
  std::vector<float> norms(data.rows());
  const std::size_t d = data.cols();
  parallel_for(data.rows(), kRowsPerTask, [&](std::size_t begin, std::size_t end) {
    std::vector<float> scratch;
    for_each_row_block(data, begin, end, scratch,
                       [&](std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) {
                         for (std::size_t r = 0; r < count; ++r) {
                           const float* row = rows + static_cast<std::ptrdiff_t>(r) * stride;
                           norms[first + r] = kernels::dot(row, row, d);
                         }
                       });
  });
  return norms;
}

}  // namespace plovek
