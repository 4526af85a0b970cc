// The randomised repair of empty clusters that follows each training update. Declared
// here so that tests can run it on a state of their choosing.
#pragma once

#include <cstdint>
#include <span>

#include "engine/kmeans.h"
#include "engine/matrix.h"
#include "engine/matrix_view.h"
#include "runtime/random.h"

namespace plovek {

// Re-seeds every cluster whose size is exactly 0.0, in cluster order, from a donor
// drawn with probability growing with its size: in mean mode the donor's centroid is
// copied and the two rows are pushed apart by a factor 1 +- 1/1024 per column; with
// `use_medoids` a random member of the donor becomes the new medoid. The donor's size
// is split in half between the two. Needs centroids (k rows), k cluster sizes, and with
// `use_medoids` one label per data row and k medoid entries; `labels` is not changed.
void repair_empty_clusters(KMeans& model, const MatrixView& data, RandomGenerator& generator);

}  // namespace plovek
