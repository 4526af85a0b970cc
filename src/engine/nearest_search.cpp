#include "engine/nearest_search.h"

#include <memory>
#include <vector>

#include "engine/assignment_bounds.h"
#include "engine/grouped_search.h"
#include "simd/kernels.h"

namespace plovek {

namespace {

// Every block against every centroid, packed in their order.
class FullRowSearch final : public RowSearch {
 public:
  FullRowSearch(const kernels::CentroidPanels& panels, std::span<const float> point_norms, std::uint64_t* labels)
      : panels_(panels), point_norms_(point_norms), labels_(labels) {}
  void search(std::size_t first, std::size_t count, const float* rows, std::ptrdiff_t stride) override {
    const float* norms = panels_.euclidean() ? point_norms_.data() + first : nullptr;
    kernels::nearest_centroids(panels_, rows, stride, count, norms, labels_ + first, nullptr);
    measured_ += count * panels_.k();
  }
  std::uint64_t measured() const override { return measured_; }

 private:
  const kernels::CentroidPanels& panels_;
  std::span<const float> point_norms_;
  std::uint64_t* labels_;
  std::uint64_t measured_ = 0;
};

class FullSearch final : public NearestSearch {
 public:
  FullSearch(std::size_t n, bool euclidean, std::span<const float> point_norms)
      : n_(n), euclidean_(euclidean), point_norms_(point_norms) {}
  // Packs the centroids in their own panels, kept from one assignment to the next and
  // packed again in place.
  void prepare(const Matrix& centroids, std::span<std::uint64_t>) override {
    kernels::CentroidPanels::pack_into(own_panels_, centroids.rows(), centroids.cols(), euclidean_,
                                       [&](std::size_t j) { return centroids.row(j).data(); });
    panels_ = own_panels_.get();
  }
  // Instead of prepare(): searches `panels` (the centroids packed in their order), which
  // must hold until the assignment ends.
  void prepare_with(const kernels::CentroidPanels& panels) { panels_ = &panels; }
  bool keeps_labels() const override { return false; }
  bool may_keep_labels(std::size_t) const override { return false; }
  std::unique_ptr<RowSearch> worker(std::uint64_t* labels) override {
    return std::make_unique<FullRowSearch>(*panels_, point_norms_, labels);
  }
  AssignmentStats finish(std::uint64_t measured_by_workers) override {
    return {.mode = SearchMode::Plain,
            .distances_measured = measured_by_workers,
            .distances_of_full_search = n_ * panels_->k()};
  }

 private:
  std::size_t n_;
  bool euclidean_;
  std::span<const float> point_norms_;
  std::unique_ptr<kernels::CentroidPanels> own_panels_;
  const kernels::CentroidPanels* panels_ = nullptr;
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
      : data_(data), bounds_(data, euclidean, point_norms), full_(data.rows(), euclidean, point_norms), policy_(policy) {}

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
