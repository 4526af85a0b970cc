// The squared norms of the data rows, computed once per training.
#pragma once

#include <vector>

#include "engine/matrix_view.h"

namespace plovek {

// x.x for every row of `data` (row dot products), in parallel on the pool.
std::vector<float> compute_point_norms(const MatrixView& data);

}  // namespace plovek
