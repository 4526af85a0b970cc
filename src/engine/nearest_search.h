// The seam between the training loop and its nearest-centroid search, in the spirit of
// faiss's Clustering, which hands its search to an Index: the assignment pass calls a
// NearestSearch once per assignment, and each of its workers a RowSearch per block of
// rows. Behind it: the full search, or the bounded search that skips the distances its
// bounds prove cannot change a label. Both give the full search's labels bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/distinct_rows.h"
#include "engine/matrix.h"
#include "engine/matrix_view.h"
#include "engine/search_policy.h"

namespace plovek {

// What one assignment searched.
struct AssignmentStats {
  SearchMode mode = SearchMode::Plain;
  std::uint64_t distances_measured = 0;        // point-centroid distances
  std::uint64_t distances_of_full_search = 0;  // n k
};

// One worker's share of an assignment.
class RowSearch {
 public:
  virtual ~RowSearch() = default;
  // Labels for rows first .. first + count - 1 (readable at `rows` with `stride` until
  // the next flush()), written in place; where the search keeps labels
  // (NearestSearch::keeps_labels) they may wait for flush().
  virtual void search(std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) = 0;
  // Settles every label still waiting.
  virtual void flush() {}
  // The distances this worker measured.
  virtual std::uint64_t measured() const = 0;
};

class NearestSearch {
 public:
  virtual ~NearestSearch() = default;
  // Before an assignment, with the centroids it searches and the labels it starts from
  // (n entries: the last assignment's, any values before the first), where it may
  // already write the labels of a few points.
  virtual void prepare(const Matrix& centroids, std::span<std::uint64_t> labels) = 0;
  // Whether this assignment keeps the labels its bounds prove without reading their
  // rows: its labels then wait for flush(), and most of them stay as they were.
  virtual bool keeps_labels() const = 0;
  // Whether any assignment with k centroids may keep labels: where none may, nothing
  // needs to remember the labels a pass started from.
  virtual bool may_keep_labels(std::size_t k) const = 0;
  // Where this assignment searched only the distinct rows (every row taking its
  // distinct row's label): those rows and their labels; null rows otherwise.
  struct DistinctLabels {
    DistinctRows* rows = nullptr;
    const std::uint64_t* labels = nullptr;
  };
  virtual DistinctLabels distinct_labels() { return {}; }
  // A worker's search, writing into `labels` (n entries); called by the workers of the
  // pool at once.
  virtual std::unique_ptr<RowSearch> worker(std::uint64_t* labels) = 0;
  // After every worker's flush: what the assignment searched, given what the workers
  // measured.
  virtual AssignmentStats finish(std::uint64_t measured_by_workers) = 0;
};

// How a training searches, for tests and benchmarks: the policy that picks each
// assignment's mode (the PredictedPolicy when null), and where to append what each
// assignment searched (nowhere when null).
struct SearchSettings {
  const SearchPolicy* policy = nullptr;
  std::vector<AssignmentStats>* stats = nullptr;
};

// Every point against every centroid.
std::unique_ptr<NearestSearch> make_full_search(std::size_t n, bool euclidean, std::span<const float> point_norms);

// For a training on `data`, with bounds carried from one assignment to the next where
// they can pay; `policy` (which must outlive the search) picks each assignment's mode,
// the PredictedPolicy when null. `point_norms` (x.x per row) when `euclidean`.
std::unique_ptr<NearestSearch> make_bounded_search(const MatrixView& data, bool euclidean,
                                                   std::span<const float> point_norms,
                                                   const SearchPolicy* policy = nullptr);

}  // namespace plovek
