// Medoid selection: centroids kept equal to real data rows.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/cluster_buckets.h"
#include "simd/kernels.h"
#include "engine/kmeans.h"
#include "engine/mean_update.h"
#include "engine/medoid_rules.h"
#include "runtime/thread_pool.h"

namespace plovek {

namespace medoids {

namespace {

// Makes centroid row `cluster` a bit-for-bit copy of data row `choice` and records
// the choice.
void install_medoid(KMeans& model, const MatrixView& data, std::uint64_t cluster, std::uint64_t choice,
                    Scratch& scratch) {
  const std::size_t d = data.cols();
  const float* source = data.row(choice, scratch.row.data());
  std::span<float> target = model.centroids.value().row(cluster);
  if (d > 0) std::memcpy(target.data(), source, d * sizeof(float));
  model.medoid_indices[cluster] = choice;
}

}  // namespace

float point_distance(const float* x, const float* y, std::size_t d, bool euclidean) {
  return euclidean ? kernels::squared_distance(x, y, d) : 1.0f - kernels::dot(x, y, d);
}

void apply_nearest_member_rule(KMeans& model, const MatrixView& data, std::uint64_t cluster,
                               Scratch& scratch) {
  const std::size_t d = data.cols();
  const float* centroid = model.centroids.value().row(cluster).data();
  // The members are met in the same single ascending scan of the labels that would
  // build the member list, so no list is needed (and nothing is allocated).
  bool found = false;
  std::uint64_t choice = 0;
  float best = std::numeric_limits<float>::infinity();
  const std::span<const std::uint64_t> labels = model.labels;
  for (std::size_t m = 0; m < labels.size(); ++m) {
    if (labels[m] != cluster) continue;
    if (!found) {
      found = true;
      choice = m;
    }
    const float v = point_distance(data.row(m, scratch.row.data()), centroid, d, model.euclidean);
    // Strict: equal distances keep the lower index, and NaN never replaces the choice.
    if (best > v) {
      best = v;
      choice = m;
    }
  }
  if (!found) return;
  install_medoid(model, data, cluster, choice, scratch);
}

namespace {

// Below this many members the all-pairs rule is cheap enough as it is.
constexpr std::size_t kAllPairsMembers = 48;
// Distances computed per batch of candidates (a single larger cluster gets its own).
constexpr std::size_t kDistancesPerBatch = std::size_t{1} << 20;
// Members per task of the distance computation, and candidates measured per read of
// a member row (their rows stay in L1 meanwhile).
constexpr std::size_t kMembersPerTask = 2048;
constexpr std::size_t kMaxCandidatesPerRead = 16;
// Member rows are scattered through the data: each is requested this many rows ahead.
constexpr std::size_t kPrefetchAhead = 8;

// What the narrowing needs of each member of a narrowed cluster, in double, stored
// at the member's slot in the buckets:
//   squared Euclidean: `to_mean` = |a - mean|^2 and `size` = |a|^2;
//   inner product:     `to_mean` = a . (sum - a) and `size` = |a|.
// (In the Euclidean case |a - mean|^2 is expanded as |a|^2 - 2 a.sum / m + |sum|^2 / m^2.)
struct MemberEstimates {
  std::vector<double> to_mean, size;
};

// Reads the rows in ascending order, on the pool.
MemberEstimates member_estimates(const MatrixView& data, bool euclidean, const ClusterBuckets<std::uint64_t>& buckets,
                                 std::span<const std::uint64_t> labels, std::span<const double> sums,
                                 const std::vector<bool>& narrowed_clusters) {
  const std::size_t n = labels.size(), d = data.cols(), k = narrowed_clusters.size();
  // Per cluster: 2 / m and |sum|^2 / m^2.
  std::vector<double> twice_inverse(k, 0.0), mean_square(k, 0.0);
  for (std::size_t c = 0; c < k; ++c) {
    if (!narrowed_clusters[c]) continue;
    const double m = double(buckets.of(c).size());
    for (std::size_t t = 0; t < d; ++t) mean_square[c] += sums[c * d + t] * sums[c * d + t];
    mean_square[c] /= m * m;
    twice_inverse[c] = 2.0 / m;
  }
  MemberEstimates members{std::vector<double>(n), std::vector<double>(n)};
  parallel_for(n, 4096, [&](std::size_t begin, std::size_t end) {
    std::vector<float> row(d);
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint64_t c = labels[i];
      if (!narrowed_clusters[c]) continue;
      const kernels::SquareAndDot a = kernels::square_and_dot_f64(data.row(i, row.data()), sums.data() + c * d, d);
      const std::size_t slot = buckets.slot[i];
      if (euclidean) {
        members.to_mean[slot] = std::max(0.0, a.square - twice_inverse[c] * a.dot + mean_square[c]);
        members.size[slot] = a.square;
      } else {
        members.to_mean[slot] = a.dot - a.square;
        members.size[slot] = std::sqrt(a.square);
      }
    }
  });
  return members;
}

// The members whose f32 total distance to the others can be the smallest.
//
// In exact arithmetic the totals follow from the cluster's mean in O(m d):
//   squared Euclidean: T(a) = m |a - mean|^2 + sum_j |x_j - mean|^2,
//   inner product:     T(a) = (m - 1) - a . (sum_j x_j - a).
// These estimates are computed in double. The f32 totals differ from the exact ones by
// at most about (m + d) u times the sum of the terms' magnitudes (u = 2^-24; every
// term is a rounded dot product, summed in order), which `magnitude` bounds; the double
// estimates add a tiny absolute error. A member can win only if its estimate lies
// within both members' error bounds of the smallest estimate.
class Narrowing {
 public:
  // `to_mean` and `size`: the cluster's member estimates, in member order.
  Narrowing(std::size_t d, bool euclidean, std::span<const double> to_mean, std::span<const double> size)
      : euclidean_(euclidean), m_(double(to_mean.size())), to_mean_(to_mean), size_(size) {
    double max_square = 0.0;
    for (std::size_t r = 0; r < to_mean.size(); ++r) {
      if (euclidean) {
        spread_ += to_mean[r];  // sum_j |x_j - mean|^2
        max_square = std::max(max_square, size[r]);
      } else {
        sum_length_ += size[r];
        max_square = std::max(max_square, size[r] * size[r]);
      }
    }
    relative_ = double(to_mean.size() + d + 8) * 0x1p-22;  // 4 (m + d + 8) u: first-order bound with margin
    // Each estimate's double error stays below about 8 m (m + d) 2^-53 max|x|^2 (the
    // expanded |a - mean|^2 included); 16 times that covers it with room to spare.
    absolute_ = double(to_mean.size() + d + 8) * 0x1p-46 * m_ * (max_square + 1.0);
  }

  double estimate(std::size_t r) const {
    return euclidean_ ? m_ * to_mean_[r] + spread_ : (m_ - 1.0) - to_mean_[r];
  }
  // A bound on the sum of the magnitudes of member r's terms.
  double magnitude(std::size_t r) const { return euclidean_ ? estimate(r) : (m_ - 1.0) + size_[r] * sum_length_; }
  // How far the f32 total of member r may lie from its estimate.
  double error(std::size_t r) const { return relative_ * magnitude(r) + absolute_; }

 private:
  bool euclidean_;
  double m_, spread_ = 0.0, sum_length_ = 0.0, relative_ = 0.0, absolute_ = 0.0;
  std::span<const double> to_mean_, size_;
};

// The positions (ascending) of the members that can win. A single candidate is known
// to win without summing its total when that total cannot overflow: `decided` is set.
// Returns false when a value is not finite, so that the caller falls back to all pairs.
bool possible_exact_medoids(const Narrowing& narrowing, std::size_t m, std::vector<std::size_t>& candidates,
                            bool& decided) {
  std::size_t lowest = 0;
  for (std::size_t r = 0; r < m; ++r) {
    const double estimate = narrowing.estimate(r);
    if (!std::isfinite(estimate) || !std::isfinite(narrowing.error(r))) return false;
    if (estimate < narrowing.estimate(lowest)) lowest = r;
  }
  const double lowest_estimate = narrowing.estimate(lowest);
  const double lowest_error = narrowing.error(lowest);
  candidates.clear();
  for (std::size_t r = 0; r < m; ++r)
    if (narrowing.estimate(r) <= lowest_estimate + lowest_error + narrowing.error(r)) candidates.push_back(r);
  // Far inside the f32 range, every partial sum of the total is finite, and so is the
  // total, which then beats the initial +infinity.
  constexpr double kSafeMagnitude = 0x1p120;
  decided = candidates.size() == 1 && narrowing.magnitude(lowest) < kSafeMagnitude;
  return true;
}

// One candidate medoid: its cluster's members, its position among them and its total.
struct Candidate {
  std::uint64_t cluster;
  std::size_t position;
  float total = 0.0f;
};

// Fills in every candidate's f32 total distance to the other members of its cluster,
// summed in member order. The distances are computed on the pool in batches, each
// into one buffer, and each total is then summed on its own. Every member row is read
// once for all the batch's candidates of its cluster.
void compute_totals(const MatrixView& data, bool euclidean, const ClusterBuckets<std::uint64_t>& buckets,
                    std::span<Candidate> candidates) {
  const std::size_t d = data.cols();
  const auto member_count = [&](const Candidate& candidate) { return buckets.of(candidate.cluster).size(); };
  std::vector<float> distances;
  for (std::size_t first = 0; first < candidates.size();) {
    // The batch [first, last) and each candidate's offset into `distances`.
    std::vector<std::size_t> offsets{0};
    std::size_t last = first;
    while (last < candidates.size() &&
           (last == first || offsets.back() + member_count(candidates[last]) <= kDistancesPerBatch))
      offsets.push_back(offsets.back() + member_count(candidates[last++]));
    distances.resize(offsets.back());

    // Tasks: a run of the batch's candidates of one cluster and a range of its members.
    struct Task { std::size_t first_candidate, last_candidate, begin, end; };
    std::vector<Task> tasks;
    for (std::size_t run = first, run_end; run < last; run = run_end) {
      for (run_end = run; run_end < last && candidates[run_end].cluster == candidates[run].cluster;) ++run_end;
      const std::size_t m = member_count(candidates[run]);
      for (std::size_t begin = 0; begin < m; begin += kMembersPerTask)
        tasks.push_back({run, run_end, begin, std::min(m, begin + kMembersPerTask)});
    }
    parallel_for(tasks.size(), 1, [&](std::size_t task_begin, std::size_t task_end) {
      std::vector<float> rows((kMaxCandidatesPerRead + 1) * d);
      for (std::size_t t = task_begin; t < task_end; ++t) {
        const Task& task = tasks[t];
        const std::span<const std::uint64_t> members = buckets.of(candidates[task.first_candidate].cluster);
        for (std::size_t q = task.first_candidate; q < task.last_candidate; q += kMaxCandidatesPerRead) {
          const std::size_t count = std::min(kMaxCandidatesPerRead, task.last_candidate - q);
          const float* candidate_rows[kMaxCandidatesPerRead];
          float* out[kMaxCandidatesPerRead];
          for (std::size_t r = 0; r < count; ++r) {
            candidate_rows[r] = data.row(members[candidates[q + r].position], rows.data() + (r + 1) * d);
            out[r] = distances.data() + offsets[q + r - first];
          }
          for (std::size_t j = task.begin; j < task.end; ++j) {
            if (j + kPrefetchAhead < task.end) data.prefetch_row(members[j + kPrefetchAhead]);
            const float* member = data.row(members[j], rows.data());
            for (std::size_t r = 0; r < count; ++r) out[r][j] = point_distance(candidate_rows[r], member, d, euclidean);
          }
        }
      }
    });
    parallel_for(last - first, 16, [&](std::size_t begin, std::size_t end) {
      for (std::size_t c = first + begin; c < first + end; ++c) {
        const float* from = distances.data() + offsets[c - first];
        const std::size_t m = offsets[c - first + 1] - offsets[c - first];
        float total = 0.0f;
        for (std::size_t j = 0; j < m; ++j)
          if (j != candidates[c].position) total += from[j];
        candidates[c].total = total;
      }
    });
    first = last;
  }
}

}  // namespace

std::vector<char> ExactMedoidMemo::changed_clusters(std::span<const std::uint64_t> labels, std::uint64_t k) const {
  if (labels_.size() != labels.size() || choices_.size() != k) return std::vector<char>(k, 1);
  std::vector<char> changed(k, 0);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] == labels_[i]) continue;
    changed[labels[i]] = 1;
    changed[labels_[i]] = 1;
  }
  for (std::uint64_t c = 0; c < k; ++c) changed[c] |= choices_[c] == kNoChoice;
  return changed;
}

void ExactMedoidMemo::remember(std::span<const std::uint64_t> labels, std::vector<std::uint64_t> choices) {
  labels_.assign(labels.begin(), labels.end());
  choices_ = std::move(choices);
}

void update_exact_medoids(KMeans& model, const MatrixView& data, std::span<const double> sums,
                          ExactMedoidMemo* memo) {
  const std::size_t d = data.cols();
  const std::uint64_t k = model.n_clusters;
  const std::vector<char> changed = memo ? memo->changed_clusters(model.labels, k) : std::vector<char>(k, 1);
  Scratch scratch(d);
  if (std::none_of(changed.begin(), changed.end(), [](char c) { return c != 0; })) {
    // Nothing moved since the remembered pass: every medoid is installed again.
    for (std::uint64_t c = 0; c < k; ++c) install_medoid(model, data, c, memo->choice(c), scratch);
    return;
  }
  const ClusterBuckets<std::uint64_t> buckets = bucket_by_cluster<std::uint64_t>(model.labels, k);
  std::vector<std::uint64_t> choices(k, ExactMedoidMemo::kNoChoice);
  // Unchanged members give an unchanged medoid: it is installed again.
  for (std::uint64_t c = 0; c < k; ++c)
    if (!changed[c]) choices[c] = memo->choice(c);
  const auto searched = [&](std::uint64_t c) {
    return changed[c] && model.cluster_sizes[c] != 0.0f && !buckets.of(c).empty();
  };

  // Clusters too large for all pairs are narrowed to the members that can win.
  std::vector<bool> narrowed(k, false);
  for (std::uint64_t c = 0; c < k; ++c) narrowed[c] = searched(c) && buckets.of(c).size() > kAllPairsMembers;
  const MemberEstimates estimates = member_estimates(data, model.euclidean, buckets, model.labels, sums, narrowed);
  std::vector<std::vector<std::size_t>> narrowed_positions(k);
  std::vector<char> narrowing_failed(k, 0);  // written by the workers, one entry each
  parallel_for(k, 1, [&](std::size_t begin, std::size_t end) {
    for (std::uint64_t c = begin; c < end; ++c) {
      if (!narrowed[c]) continue;
      const std::size_t first = buckets.start[c], m = buckets.of(c).size();
      const Narrowing narrowing(d, model.euclidean, std::span(estimates.to_mean).subspan(first, m),
                                std::span(estimates.size).subspan(first, m));
      bool decided = false;
      if (!possible_exact_medoids(narrowing, m, narrowed_positions[c], decided)) narrowing_failed[c] = 1;
      if (decided) choices[c] = buckets.of(c)[narrowed_positions[c].front()];
    }
  });

  // Every candidate of every undecided cluster, clusters in order and members ascending.
  std::vector<Candidate> candidates;
  for (std::uint64_t c = 0; c < k; ++c) {
    if (!searched(c) || choices[c] != ExactMedoidMemo::kNoChoice) continue;
    if (narrowed[c] && !narrowing_failed[c]) {
      for (const std::size_t r : narrowed_positions[c]) candidates.push_back({c, r});
    } else {
      for (std::size_t r = 0; r < buckets.of(c).size(); ++r) candidates.push_back({c, r});
    }
  }
  compute_totals(data, model.euclidean, buckets, candidates);
  for (std::size_t first = 0, last = 0; first < candidates.size(); first = last) {
    const std::uint64_t c = candidates[first].cluster;
    const std::span<const std::uint64_t> members = buckets.of(c);
    choices[c] = members.front();
    float best = std::numeric_limits<float>::infinity();
    for (last = first; last < candidates.size() && candidates[last].cluster == c; ++last) {
      if (best > candidates[last].total) {  // strict: equal totals keep the lower index
        best = candidates[last].total;
        choices[c] = members[candidates[last].position];
      }
    }
  }

  for (std::uint64_t c = 0; c < k; ++c)
    if (choices[c] != ExactMedoidMemo::kNoChoice) install_medoid(model, data, c, choices[c], scratch);
  if (memo) memo->remember(model.labels, std::move(choices));
}

}  // namespace medoids

void KMeans::update_medoid_for_cluster(const MatrixView& data, std::uint64_t cluster) {
  medoids::Scratch scratch(data.cols());
  medoids::apply_nearest_member_rule(*this, data, cluster, scratch);
}

void KMeans::update_all_medoids(const MatrixView& data) {
  medoids::Scratch scratch(data.cols());
  for (std::uint64_t c = 0; c < n_clusters; ++c) {
    if (cluster_sizes[c] == 0.0f) continue;
    medoids::apply_nearest_member_rule(*this, data, c, scratch);
  }
}

void KMeans::update_medoids_by_total_distance(const MatrixView& data) {
  // Every cluster's row sum, from one ascending scan of the data.
  std::vector<double> sums(n_clusters * data.cols(), 0.0);
  add_rows_of_clusters(data, labels, 0, n_clusters, sums);
  medoids::update_exact_medoids(*this, data, sums);
}

}  // namespace plovek
