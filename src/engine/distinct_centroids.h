// Centroids equal bit for bit. Seeds drawn from data with duplicate rows (the flat
// patches of a photograph's sky or dark background) come out equal, and so do medoids
// that are equal rows: every point scores them alike, and its best score ties among
// them all. The fused search would settle each such tie with rounded products, centroid
// by centroid; searching one of them instead, the one the tie rule picks, gives the
// same labels.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/matrix.h"

namespace plovek {

// The centroids a search needs: of each set of rows equal bit for bit, the one that
// wins their ties (the lowest index, or the highest under the inner product), in
// ascending order. Empty where every row is distinct.
std::vector<std::uint32_t> tie_winning_centroids(const Matrix& centroids, bool euclidean);

}  // namespace plovek
