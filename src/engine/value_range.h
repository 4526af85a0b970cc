// The range of values training accepts: NaN and infinities are refused, and so are
// finite values so large that a score, a norm or a medoid's total could overflow f32.
// Training checks this before it changes anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/matrix_view.h"

namespace plovek {

// The largest |x| over the elements of `data` (0 when it has none): NaN when one is
// NaN, else infinity when one is infinite.
float largest_magnitude(const MatrixView& data);

// Why training must refuse `data`, or nullopt when every score stays finite. A sum
// of up to `summed_scores` scores (a medoid's total) must stay finite too.
std::optional<std::string> value_range_problem(const MatrixView& data, std::uint64_t summed_scores);

}  // namespace plovek
