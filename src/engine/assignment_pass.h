// The training's assignment pass: every label from a NearestSearch, the cluster sizes,
// and the clusters' row sums gathered while the pass reads the rows anyway.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/kmeans.h"
#include "engine/mean_update.h"
#include "engine/nearest_search.h"

namespace plovek {

// New labels for every row of `data` by `search` (prepared here, with the record's
// centroids and its labels, the last assignment's), in parallel over chunks of rows;
// the record's cluster sizes and, in `counts`, the exact count of each cluster. With
// `sums` (planned for this data and k), every chunk also adds its rows to its partial
// sums, rows in order; kept from one call to the next, a chunk whose labels the search
// kept sums again only the clusters whose members changed. Rows that repeat a few
// distinct ones are summed and counted by their repeats where that gives the same sums
// bit for bit; there, without `labels_wanted`, the record's labels stay as they were
// (a training whose means need none of them). Returns what it searched.
AssignmentStats assign_for_training(KMeans& km, const MatrixView& data, NearestSearch& search, ChunkedRowSums* sums,
                                    std::vector<std::uint64_t>& counts, bool labels_wanted = true);

}  // namespace plovek
