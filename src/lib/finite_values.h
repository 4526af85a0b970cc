// Whether a matrix holds only finite values: training refuses NaN and infinities
// before it changes anything.
#pragma once

#include "matrix_view.h"

namespace plovek {

// True when no element of `data` is NaN or infinite.
bool all_finite(const MatrixView& data);

}  // namespace plovek
