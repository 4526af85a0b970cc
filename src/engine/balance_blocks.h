// Where the balancing steps' dot products come from, as a choice of its own so that
// tests and benchmarks can fix it: `train` hands it to the balancing phase.
#pragma once

namespace plovek {

// In blocks, the dot products of a block of upcoming points with every centroid are
// computed ahead on the pool, and each step computes only those with the centroids
// changed since; otherwise each step computes its own. Medoid mode never uses blocks
// (a medoid step's work lies in its refreshes).
enum class BalanceBlocks {
  // In blocks where k, d and n make them pay, each computed while the block before is
  // stepped, or at its own start when no worker has begun it by then.
  WherePaying,
  // Every step computes its own.
  None,
  // Always in blocks, each computed while the block before is stepped.
  Overlapping,
  // Always in blocks, each computed at its own start.
  AtTheirStart,
};

}  // namespace plovek
