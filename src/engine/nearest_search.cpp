#include "engine/nearest_search.h"

#include <memory>
#include <vector>

#include "engine/assignment_bounds.h"
#include "engine/distinct_centroids.h"
#include "engine/distinct_rows.h"
#include "engine/grouped_search.h"
#include "engine/row_blocks.h"
#include "runtime/thread_pool.h"
#include "simd/kernels.h"

namespace plovek {

namespace {

// Labels found among the searched centroids, made the centroids' own: the p-th
// searched is centroid searched[p] (all of them in order where `searched` is empty).
void label_searched(std::span<const std::uint32_t> searched, std::uint64_t* labels, std::size_t count) {
  if (searched.empty()) return;
  for (std::size_t i = 0; i < count; ++i) labels[i] = searched[labels[i]];
}

// Every block against every centroid searched, packed in their order.
class FullRowSearch final : public RowSearch {
 public:
  FullRowSearch(const kernels::CentroidPanels& panels, std::span<const std::uint32_t> searched,
                std::span<const float> point_norms, std::uint64_t* labels)
      : panels_(panels), searched_(searched), point_norms_(point_norms), labels_(labels) {}
  void search(std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) override {
    const float* norms = panels_.euclidean() ? point_norms_.data() + first : nullptr;
    kernels::nearest_centroids(panels_, rows, stride, count, norms, labels_ + first, nullptr);
    label_searched(searched_, labels_ + first, count);
    measured_ += count * panels_.k();
  }
  std::uint64_t measured() const override { return measured_; }

 private:
  const kernels::CentroidPanels& panels_;
  std::span<const std::uint32_t> searched_;
  std::span<const float> point_norms_;
  std::uint64_t* labels_;
  std::uint64_t measured_ = 0;
};

// Rows that repeat a distinct row take its label, searched before the pass.
class RepeatedRowSearch final : public RowSearch {
 public:
  RepeatedRowSearch(const DistinctRows& distinct, const std::uint64_t* distinct_labels, std::uint64_t* labels)
      : distinct_(distinct), distinct_labels_(distinct_labels), labels_(labels) {}
  void search(std::size_t first, std::size_t count, const float*, std::ptrdiff_t) override {
    for (std::size_t i = first; i < first + count; ++i) labels_[i] = distinct_labels_[distinct_.position_of(i)];
  }
  std::uint64_t measured() const override { return 0; }

 private:
  const DistinctRows& distinct_;
  const std::uint64_t* distinct_labels_;
  std::uint64_t* labels_;
};

class FullSearch final : public NearestSearch {
 public:
  // With `data` (may be null; it must outlive the search), the distinct rows alone are
  // searched where that pays.
  FullSearch(std::size_t n, bool euclidean, std::span<const float> point_norms, const MatrixView* data = nullptr)
      : n_(n), euclidean_(euclidean), point_norms_(point_norms), data_(data) {}
  // Packs the centroids in their own panels, kept from one assignment to the next and
  // packed again in place; of centroids equal bit for bit only the one that wins their
  // ties.
  void prepare(const Matrix& centroids, std::span<std::uint64_t>) override {
    searched_ = tie_winning_centroids(centroids, euclidean_);
    const std::size_t count = searched_.empty() ? centroids.rows() : searched_.size();
    kernels::CentroidPanels::pack_into(own_panels_, count, centroids.cols(), euclidean_, [&](std::size_t p) {
      return centroids.row(searched_.empty() ? p : searched_[p]).data();
    });
    search_panels(*own_panels_, centroids.rows());
  }
  // Instead of prepare(): searches `panels` (the centroids packed in their order), which
  // must hold until the assignment ends.
  void prepare_with(const kernels::CentroidPanels& panels) {
    searched_.clear();
    search_panels(panels, panels.k());
  }
  bool keeps_labels() const override { return false; }
  bool may_keep_labels(std::size_t) const override { return false; }
  DistinctLabels distinct_labels() override { return {distinct_.get(), distinct_labels_.data()}; }
  std::unique_ptr<RowSearch> worker(std::uint64_t* labels) override {
    if (distinct_) return std::make_unique<RepeatedRowSearch>(*distinct_, distinct_labels_.data(), labels);
    return std::make_unique<FullRowSearch>(*panels_, searched_, point_norms_, labels);
  }
  AssignmentStats finish(std::uint64_t measured_by_workers) override {
    return {.mode = SearchMode::Plain,
            .distances_measured = distinct_ ? distinct_->count() * panels_->k() : measured_by_workers,
            .distances_of_full_search = n_ * k_};
  }

 private:
  void search_panels(const kernels::CentroidPanels& panels, std::size_t k) {
    panels_ = &panels;
    k_ = k;
    if (data_) {
      distinct_ = DistinctRows::find(*data_, k, point_norms_);
      data_ = nullptr;
    }
    if (distinct_) label_distinct_rows();
  }
  // The distinct rows' labels, on the pool.
  void label_distinct_rows() {
    const std::size_t m = distinct_->count();
    distinct_labels_.resize(m);
    parallel_for((m + kRowsPerTask - 1) / kRowsPerTask, 1, [&](std::size_t first_task, std::size_t last_task) {
      const std::size_t begin = first_task * kRowsPerTask, end = std::min(m, last_task * kRowsPerTask);
      const float* norms = distinct_->norms();
      kernels::nearest_listed(*panels_, distinct_->rows() + begin, end - begin, norms ? norms + begin : nullptr,
                              distinct_labels_.data() + begin, nullptr);
      label_searched(searched_, distinct_labels_.data() + begin, end - begin);
    });
  }

  std::size_t n_;
  bool euclidean_;
  std::span<const float> point_norms_;
  const MatrixView* data_;  // until the distinct rows are sought, at the first assignment
  std::unique_ptr<DistinctRows> distinct_;
  std::vector<std::uint64_t> distinct_labels_;
  std::unique_ptr<kernels::CentroidPanels> own_panels_;
  std::vector<std::uint32_t> searched_;  // the centroids the panels hold; empty: all, in order
  const kernels::CentroidPanels* panels_ = nullptr;
  std::size_t k_ = 0;
};

// A worker of a bounded assignment: each point searched whole with its bounds recorded
// (Record), or only where its bounds leave groups open (Prune).
class BoundedRowSearch final : public RowSearch {
 public:
  BoundedRowSearch(AssignmentBounds& bounds, std::uint64_t* labels, std::size_t d, bool record)
      : search_(bounds, labels, d), record_(record) {}
  void search(std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) override {
    if (record_) {
      search_.search_rows(first, count, rows, stride);
    } else {
      search_.search_unless_kept(first, count, rows, stride);
    }
  }
  void flush() override { search_.flush(); }
  std::uint64_t measured() const override { return record_ ? 0 : search_.measured(); }

 private:
  GroupedSearch search_;
  bool record_;
};

class BoundedSearch final : public NearestSearch {
 public:
  BoundedSearch(const MatrixView& data, bool euclidean, std::span<const float> point_norms,
                const SearchPolicy& policy)
      : data_(data),
        bounds_(data, euclidean, point_norms),
        full_(data.rows(), euclidean, point_norms, &data_),
        policy_(policy) {}

  void prepare(const Matrix& centroids, std::span<std::uint64_t> labels) override {
    k_ = centroids.rows();
    const bool bounded = AssignmentBounds::pay_for(k_, centroids.cols());
    mode_ = bounded ? bounds_.prepare(centroids, labels, policy_) : SearchMode::Plain;
    extra_measured_ = 0;
    if (mode_ != SearchMode::Plain) return;
    // With one group the grouped panels hold the centroids in their order.
    if (bounded && bounds_.groups_in_order())
      full_.prepare_with(bounds_.grouped_panels());
    else
      full_.prepare(centroids, labels);
    if (bounded && bounds_.samples_wanted()) record_sample_bounds(labels);
  }
  bool keeps_labels() const override { return mode_ == SearchMode::Prune; }
  bool may_keep_labels(std::size_t k) const override { return AssignmentBounds::pay_for(k, data_.cols()); }
  DistinctLabels distinct_labels() override {
    return mode_ == SearchMode::Plain ? full_.distinct_labels() : DistinctLabels{};
  }
  std::unique_ptr<RowSearch> worker(std::uint64_t* labels) override {
    if (mode_ == SearchMode::Plain) return full_.worker(labels);
    return std::make_unique<BoundedRowSearch>(bounds_, labels, data_.cols(), mode_ == SearchMode::Record);
  }
  AssignmentStats finish(std::uint64_t measured_by_workers) override {
    const std::uint64_t full = data_.rows() * k_;
    // A recording measures every distance; its workers do not count them.
    const std::uint64_t searched = mode_ == SearchMode::Record ? full : measured_by_workers;
    return {.mode = mode_, .distances_measured = searched + extra_measured_, .distances_of_full_search = full};
  }

 private:
  // Beside a plain search: the sample points searched whole, their bounds recorded (and
  // their labels written, the plain search's own, which it writes again). Their rows
  // are read in place where the view allows it.
  void record_sample_bounds(std::span<std::uint64_t> labels) {
    const std::size_t count = bounds_.sample_count(), d = data_.cols();
    std::vector<std::size_t> points(count);
    std::vector<const float*> rows(count);
    std::vector<float> copies(data_.rows_are_direct() ? 0 : count * d);
    for (std::size_t s = 0; s < count; ++s) {
      points[s] = bounds_.sample(s);
      rows[s] = data_.row(points[s], copies.empty() ? nullptr : copies.data() + s * d);
    }
    GroupedSearch search(bounds_, labels.data(), d);
    search.search_points(points.data(), count, rows.data());
    extra_measured_ = count * k_;
  }

  MatrixView data_;
  AssignmentBounds bounds_;
  FullSearch full_;
  const SearchPolicy& policy_;
  std::size_t k_ = 0;
  SearchMode mode_ = SearchMode::Plain;
  std::uint64_t extra_measured_ = 0;
};

}  // namespace

std::unique_ptr<NearestSearch> make_full_search(std::size_t n, bool euclidean, std::span<const float> point_norms) {
  return std::make_unique<FullSearch>(n, euclidean, point_norms);
}

std::unique_ptr<NearestSearch> make_bounded_search(const MatrixView& data, bool euclidean,
                                                   std::span<const float> point_norms, const SearchPolicy* policy) {
  static const PredictedPolicy predicted;
  return std::make_unique<BoundedSearch>(data, euclidean, point_norms, policy ? *policy : predicted);
}

}  // namespace plovek
