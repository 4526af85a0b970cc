// Medoid selection: centroids kept equal to real data rows.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_set>

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
  NearestChoice nearest;
  const std::span<const std::uint64_t> labels = model.labels;
  for (std::size_t m = 0; m < labels.size(); ++m) {
    if (labels[m] != cluster) continue;
    nearest.consider(m, point_distance(data.row(m, scratch.row.data()), centroid, d, model.euclidean));
  }
  if (nearest.member == NearestChoice::kNone) return;
  install_medoid(model, data, cluster, nearest.member, scratch);
}

namespace {

// A squared distance of exactly 0 needs every element difference's square to round to
// 0: a difference of at most 2^-75 in magnitude (2^-63 where tiny results are flushed
// to zero). Elements of magnitude 2^-32 or more lie further apart than that from every
// other value on their side of 2^-32 and from every value on the other side, so two
// rows at distance 0 agree on the key that reads smaller elements as 0 and the others
// by their bits.
std::uint64_t row_key_hash(const float* row, std::size_t d) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (std::size_t t = 0; t < d; ++t) {
    const std::uint32_t key = std::fabs(row[t]) < 0x1p-32f ? 0u : std::bit_cast<std::uint32_t>(row[t]);
    hash = (hash ^ key) * 0x100000001b3u;
  }
  return hash;
}

}  // namespace

NearestMemberTracker::NearestMemberTracker(KMeans& model, const MatrixView& data)
    : model_(model), data_(data), members_(model.labels, model.n_clusters), outcomes_(model.n_clusters) {
  if (!model.euclidean) return;
  const std::size_t n = data.rows();
  std::vector<float> row(data.cols());
  std::unordered_set<std::uint64_t> keys;
  keys.reserve(n);
  may_share_lower_row_.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    may_share_lower_row_[i] = !keys.insert(row_key_hash(data.row(i, row.data()), data.cols())).second;
}

float NearestMemberTracker::distance_to_centroid(std::uint64_t point, std::uint64_t cluster, Scratch& scratch) const {
  return point_distance(data_.row(point, scratch.row.data()), model_.centroids.value().row(cluster).data(),
                        data_.cols(), model_.euclidean);
}

NearestChoice NearestMemberTracker::measure(std::uint64_t cluster, Scratch& scratch) const {
  const std::uint64_t medoid = model_.medoid_indices[cluster];
  if (model_.euclidean && medoid < model_.labels.size() && model_.labels[medoid] == cluster &&
      !may_share_lower_row_[medoid] && distance_to_centroid(medoid, cluster, scratch) == 0.0f)
    return {0.0f, medoid};
  NearestChoice nearest;
  for (const std::uint64_t m : members_.of(cluster)) nearest.consider(m, distance_to_centroid(m, cluster, scratch));
  return nearest;
}

void NearestMemberTracker::apply(std::uint64_t cluster, Scratch& scratch) {
  if (members_.of(cluster).empty()) return;
  Outcome& outcome = outcomes_[cluster];
  if (!outcome.holds) outcome.nearest = measure(cluster, scratch);
  const std::uint64_t choice = outcome.nearest.member;
  // A different row installed moves what the next application measures against (rows
  // without columns are all the same, and memcmp must not see their null data).
  outcome.holds = data_.cols() == 0 ||
                  std::memcmp(model_.centroids.value().row(cluster).data(), data_.row(choice, scratch.row.data()),
                              data_.cols() * sizeof(float)) == 0;
  install_medoid(model_, data_, cluster, choice, scratch);
}

void NearestMemberTracker::move(std::uint64_t point, std::uint64_t from, std::uint64_t to, Scratch& scratch) {
  members_.move(point, from, to);
  if (outcomes_[from].nearest.member == point) outcomes_[from].holds = false;
  Outcome& joined = outcomes_[to];
  if (joined.holds) joined.nearest.consider(point, distance_to_centroid(point, to, scratch));
}

namespace {

// Below this many members the all-pairs rule is cheap enough as it is.
constexpr std::size_t kAllPairsMembers = 48;
// Distance terms (distances times d) computed per pool run of the totals: the calling
// thread polls for cancellation between runs, a few milliseconds apart.
constexpr std::size_t kTermsPerBatch = std::size_t{1} << 24;
constexpr std::size_t kMaxDistancesPerBatch = std::size_t{1} << 20;
// Members per task of the distance computation, and candidates measured per read of
// a member row (their rows stay in L1 meanwhile).
constexpr std::size_t kMembersPerTask = 2048;
constexpr std::size_t kMaxCandidatesPerRead = 16;
// Member rows are scattered through the data: each is requested this many rows ahead.
constexpr std::size_t kPrefetchAhead = 8;
// A cluster in which more members than this remain possible winners under f32 totals
// picks by totals added in double instead (the same f32 distances, in member order,
// the lowest index on ties). Its f32 running sums cannot tell its central members
// apart: their rounding, up to (m - 2) 2^-24 of a total, exceeds the spread of those
// totals (a compact two-dimensional cluster of 300,000 points keeps about 1.8% of its
// members within it, 1.6e9 distances to sum), so there the f32 sum is rounding noise,
// as it would be for a mean. Compact clusters in 16 dimensions keep a handful.
constexpr std::size_t kMaxF32Candidates = 256;

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
// The estimates E(a) of these are computed in double, within `absolute_` of T(a). With
// u, g(n) and the underflow unit 2^-150 of the rounding model (simd/rounding_model.h),
// and G(a) the sum of the magnitudes of a's terms (|a - x_j|^2, or 1 + |a| |x_j|):
//  - a distance rounds its d element differences (or its 1 - dot) and sums d products in
//    some order: it is off by at most g = g(d + 2) of its magnitude, plus d 2^-150 (1 + g):
//    each product may underflow, off by at most 2^-150, and the additions after it grow
//    that by 1 + g;
//  - the f32 total adds its m - 1 distances in order; a recursive sum of p terms is off
//    by at most (p - 1) u times the sum of their magnitudes (Rump, BIT 52, 2012), here
//    (m - 2) u (1 + g) (G(a) + (m - 1) d 2^-150).
// So the f32 total F(a) lies within rho G(a) + (1 + rho) (m - 1) d 2^-150 + absolute_ of
// E(a), rho = g + (m - 2) u (1 + g), and G(a) = T(a) <= E(a) + absolute_ in the Euclidean
// case. (A margin of 2^-20 of rho covers the double arithmetic of G.) Member a can beat
// member b only if E(a) - error(a) <= F(b): before any total is known, F(b) <= E(b) + error(b).
// For totals added in double (see kMaxF32Candidates) the sum's unit is 2^-53 instead.
// The Euclidean bound scales with the data (by s^2 when the data is scaled by s) except
// for its underflow term, where the f32 distances themselves stop scaling.
//
// Where every distance must round to the same f32 value, every total is the same sum
// and the first member wins (the inner product's 1 - dot on data of magnitude 1e-6, for
// one, whose dots lie below the rounding unit of 1):
//  - squared Euclidean, |a|^2 below 2^-153 for every member: every element difference
//    lies below 2^-75.5, and its square, below half the smallest subnormal, rounds to 0;
//  - inner product, |a|^2 at most 2^-28 and g at most 1: every computed dot lies within
//    (1 + g) (|a| |x_j| + d 2^-150) < 2^-25 of 0, and 1 minus it rounds to 1.
class Narrowing {
 public:
  // `to_mean` and `size`: the cluster's member estimates, in member order. `wide`: the
  // totals are added in double.
  Narrowing(std::size_t d, bool euclidean, bool wide, std::span<const double> to_mean, std::span<const double> size)
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
    constexpr double u = kernels::kUnitRoundoff;
    const double g = kernels::rounding_growth(d + 2);
    const double sum_unit = wide ? kernels::kDoubleUnitRoundoff : u;
    rho_ = (g + (m_ - 2.0) * sum_unit * (1.0 + g)) * (1.0 + 0x1p-20);
    // Each estimate's double error stays below about 8 m (m + d) 2^-53 times the largest
    // magnitude among its terms, max|x|^2 (the expanded |a - mean|^2 included) and, for
    // the inner product, 1; 16 times that covers it with room to spare. The Euclidean
    // bound takes min(2 max|x|^2, max|x|^2 + 1): it scales with the data, and from
    // max|x|^2 = 1 up it stays the inner product's max|x|^2 + 1, so that data at that
    // scale narrows, and picks which clusters add in double, as it long has.
    const double largest_term = euclidean ? max_square + std::min(max_square, 1.0) : max_square + 1.0;
    const double underflow = (m_ - 1.0) * double(d) * kernels::kUnderflowUnit * (1.0 + rho_);
    absolute_ = double(to_mean.size() + d + 8) * 0x1p-46 * m_ * largest_term + underflow;
    equal_distances_ = euclidean ? max_square < 0x1p-153 : max_square <= 0x1p-28 && g <= 1.0;
  }

  // Every distance between members rounds to the same f32 value.
  bool equal_distances() const { return equal_distances_; }
  std::size_t size() const { return to_mean_.size(); }
  double estimate(std::size_t r) const {
    return euclidean_ ? m_ * to_mean_[r] + spread_ : (m_ - 1.0) - to_mean_[r];
  }
  // A bound on the sum of the magnitudes of member r's terms.
  double magnitude(std::size_t r) const {
    return euclidean_ ? estimate(r) + absolute_ : (m_ - 1.0) + size_[r] * sum_length_;
  }
  // How far the f32 total of member r may lie from its estimate.
  double error(std::size_t r) const { return rho_ * magnitude(r) + absolute_; }
  // The smallest value the f32 total of member r may have.
  double lowest_total(std::size_t r) const { return estimate(r) - error(r); }

 private:
  bool euclidean_, equal_distances_ = false;
  double m_, spread_ = 0.0, sum_length_ = 0.0, rho_ = 0.0, absolute_ = 0.0;
  std::span<const double> to_mean_, size_;
};

// The position of the member with the lowest estimate (the first of equal ones), or
// none when a value is not finite (the caller then falls back to all pairs).
std::optional<std::size_t> lowest_estimate(const Narrowing& narrowing) {
  std::size_t lowest = 0;
  for (std::size_t r = 0; r < narrowing.size(); ++r) {
    const double estimate = narrowing.estimate(r);
    if (!std::isfinite(estimate) || !std::isfinite(narrowing.error(r))) return std::nullopt;
    if (estimate < narrowing.estimate(lowest)) lowest = r;
  }
  return lowest;
}

// Keeps the positions whose f32 total may be at most `bound` (ascending, as given).
void keep_possible(const Narrowing& narrowing, double bound, std::vector<std::size_t>& positions) {
  std::erase_if(positions, [&](std::size_t r) { return !(narrowing.lowest_total(r) <= bound); });
}

// Far inside the f32 range, every partial sum of a total is finite, and so is the
// total, which then beats the initial +infinity: a single possible winner needs no sum.
bool sole_winner(const Narrowing& narrowing, const std::vector<std::size_t>& positions) {
  constexpr double kSafeMagnitude = 0x1p120;
  return positions.size() == 1 && narrowing.magnitude(positions.front()) < kSafeMagnitude;
}

// The distances of one candidate to its members [begin, end), at `offset` in a buffer.
struct Segment {
  std::size_t candidate, begin, end, offset;
};

// One candidate medoid: its cluster's members, its position among them and its total,
// added in f32 or, when `wide`, in double (held exactly either way).
struct Candidate {
  std::uint64_t cluster;
  std::size_t position;
  bool wide = false;
  double total = 0.0;
};

// The candidate's total carried on over one segment of its distances (`from`).
template <class Sum>
Sum running_total(const Candidate& candidate, const Segment& segment, const float* from) {
  Sum total = static_cast<Sum>(candidate.total);
  for (std::size_t j = segment.begin; j < segment.end; ++j)
    if (j != candidate.position) total += from[j - segment.begin];
  return total;
}

// Fills in every candidate's total distance to the other members of its cluster: the
// f32 distances added in member order, in f32 (or in double when `wide`). The distances are computed on the pool in batches of about
// kTermsPerBatch terms, each into one buffer, and each candidate's share of a batch is
// then added to its running total (a large cluster's candidate spans several batches).
// Every member row is read once for all the batch's candidates of its cluster. The
// calling thread polls `cancellation` (when given) between batches.
void compute_totals(const MatrixView& data, bool euclidean, const ClusterBuckets<std::uint64_t>& buckets,
                    std::span<Candidate> candidates, CancellationPoints* cancellation) {
  const std::size_t d = data.cols();
  const std::size_t batch_size = std::clamp<std::size_t>(kTermsPerBatch / std::max<std::size_t>(d, 1), 1,
                                                         kMaxDistancesPerBatch);
  const auto member_count = [&](const Candidate& candidate) { return buckets.of(candidate.cluster).size(); };
  std::vector<Segment> segments;
  std::vector<float> distances;
  std::size_t next = 0, measured = 0;  // the next candidate, and how many of its members are measured
  for (bool first_batch = true; next < candidates.size(); first_batch = false) {
    if (!first_batch && cancellation) cancellation->poll();
    segments.clear();
    std::size_t size = 0;
    while (next < candidates.size() && size < batch_size) {
      const std::size_t m = member_count(candidates[next]);
      const std::size_t end = std::min(m, measured + (batch_size - size));
      segments.push_back({.candidate = next, .begin = measured, .end = end, .offset = size});
      size += end - measured;
      measured = end;
      if (measured == m) ++next, measured = 0;
    }
    distances.resize(size);

    // Tasks: a run of segments over the same members of one cluster, and a range of them.
    struct Task { std::size_t first_segment, last_segment, begin, end; };
    std::vector<Task> tasks;
    const auto same_members = [&](const Segment& a, const Segment& b) {
      return candidates[a.candidate].cluster == candidates[b.candidate].cluster && a.begin == b.begin &&
             a.end == b.end;
    };
    for (std::size_t run = 0, run_end; run < segments.size(); run = run_end) {
      for (run_end = run; run_end < segments.size() && same_members(segments[run_end], segments[run]);) ++run_end;
      for (std::size_t begin = segments[run].begin; begin < segments[run].end; begin += kMembersPerTask)
        tasks.push_back({run, run_end, begin, std::min(segments[run].end, begin + kMembersPerTask)});
    }
    parallel_for(tasks.size(), 1, [&](std::size_t task_begin, std::size_t task_end) {
      std::vector<float> rows((kMaxCandidatesPerRead + 1) * d);
      for (std::size_t t = task_begin; t < task_end; ++t) {
        const Task& task = tasks[t];
        const std::span<const std::uint64_t> members =
            buckets.of(candidates[segments[task.first_segment].candidate].cluster);
        const std::size_t first_member = segments[task.first_segment].begin;
        for (std::size_t q = task.first_segment; q < task.last_segment; q += kMaxCandidatesPerRead) {
          const std::size_t count = std::min(kMaxCandidatesPerRead, task.last_segment - q);
          const float* candidate_rows[kMaxCandidatesPerRead];
          float* out[kMaxCandidatesPerRead];
          for (std::size_t r = 0; r < count; ++r) {
            const Segment& segment = segments[q + r];
            candidate_rows[r] = data.row(members[candidates[segment.candidate].position], rows.data() + (r + 1) * d);
            out[r] = distances.data() + segment.offset;
          }
          for (std::size_t j = task.begin; j < task.end; ++j) {
            if (j + kPrefetchAhead < task.end) data.prefetch_row(members[j + kPrefetchAhead]);
            const float* member = data.row(members[j], rows.data());
            for (std::size_t r = 0; r < count; ++r) out[r][j - first_member] = point_distance(candidate_rows[r], member, d, euclidean);
          }
        }
      }
    });
    parallel_for(segments.size(), 16, [&](std::size_t begin, std::size_t end) {
      for (std::size_t s = begin; s < end; ++s) {
        const Segment& segment = segments[s];
        const float* from = distances.data() + segment.offset;
        Candidate& candidate = candidates[segment.candidate];
        candidate.total = candidate.wide ? running_total<double>(candidate, segment, from)
                                         : running_total<float>(candidate, segment, from);
      }
    });
  }
}

// What the search knows of one narrowed cluster.
struct NarrowedCluster {
  std::optional<Narrowing> narrowing;
  std::optional<std::size_t> lowest;  // none: a value is not finite, every member stays a candidate
  std::vector<std::size_t> positions;  // the members that can still win, ascending
  bool wide = false;  // totals added in double
};

// The rule's choice among candidates of one cluster, in ascending member order: the
// smallest total, the first of equal ones (none below +infinity: the first member).
std::uint64_t rule_choice(std::span<const Candidate> candidates, std::span<const std::uint64_t> members) {
  std::uint64_t choice = members.front();
  double best = std::numeric_limits<double>::infinity();
  for (const Candidate& candidate : candidates) {
    if (best > candidate.total) {  // strict: equal totals keep the lower index
      best = candidate.total;
      choice = members[candidate.position];
    }
  }
  return choice;
}

// The (at most) kMaxCandidatesPerRead of `positions` with the lowest estimates, ascending.
std::vector<std::size_t> lowest_estimates(const Narrowing& narrowing, std::vector<std::size_t> positions) {
  const auto lower = [&](std::size_t a, std::size_t b) {
    return narrowing.estimate(a) < narrowing.estimate(b) || (narrowing.estimate(a) == narrowing.estimate(b) && a < b);
  };
  const std::size_t count = std::min(kMaxCandidatesPerRead, positions.size());
  std::partial_sort(positions.begin(), positions.begin() + count, positions.end(), lower);
  positions.resize(count);
  std::sort(positions.begin(), positions.end());
  return positions;
}

// Narrows clusters to the members that can win: by the estimates alone, then, where
// more than a read's worth remain, by the f32 (or double) totals of the lowest
// estimates (one read of each member row serves them all).
class ExactSearch {
 public:
  ExactSearch(const MatrixView& data, bool euclidean, const ClusterBuckets<std::uint64_t>& buckets,
              const MemberEstimates& estimates, CancellationPoints* cancellation)
      : data_(data), euclidean_(euclidean), buckets_(buckets), estimates_(estimates), cancellation_(cancellation) {}

  // Sets `choices[c]` where a single member can win.
  void narrow(std::span<const std::uint64_t> clusters, bool wide, std::vector<NarrowedCluster>& narrowed,
              std::vector<std::uint64_t>& choices) const {
    parallel_for(clusters.size(), 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) narrow_by_estimates(clusters[i], wide, narrowed[clusters[i]], choices);
    });
    std::vector<Candidate> lowest;
    for (const std::uint64_t c : clusters)
      if (choices[c] == ExactMedoidMemo::kNoChoice && narrowed[c].lowest &&
          narrowed[c].positions.size() > kMaxCandidatesPerRead)
        for (const std::size_t r : lowest_estimates(*narrowed[c].narrowing, narrowed[c].positions))
          lowest.push_back({c, r, wide});
    totals(lowest);
    for (std::size_t first = 0, last = 0; first < lowest.size(); first = last) {
      const std::uint64_t c = lowest[first].cluster;
      for (last = first; last < lowest.size() && lowest[last].cluster == c;) ++last;
      settle(std::span(lowest).subspan(first, last - first), narrowed[c], choices[c]);
    }
  }

  void totals(std::span<Candidate> candidates) const {
    compute_totals(data_, euclidean_, buckets_, candidates, cancellation_);
  }

 private:
  // The smallest of the known totals bounds the winner's. When every member that can
  // still win has its total known, the rule's choice among those is the choice.
  void settle(std::span<const Candidate> known, NarrowedCluster& cluster, std::uint64_t& choice) const {
    double bound = std::numeric_limits<double>::infinity();
    for (const Candidate& candidate : known) bound = std::min(bound, candidate.total);  // NaN left out
    if (!std::isfinite(bound)) return;
    keep_possible(*cluster.narrowing, bound, cluster.positions);
    const bool all_known = std::all_of(cluster.positions.begin(), cluster.positions.end(), [&](std::size_t r) {
      return std::any_of(known.begin(), known.end(), [&](const Candidate& candidate) { return candidate.position == r; });
    });
    if (all_known) choice = rule_choice(known, buckets_.of(known.front().cluster));
  }

  void narrow_by_estimates(std::uint64_t c, bool wide, NarrowedCluster& cluster,
                           std::vector<std::uint64_t>& choices) const {
    const std::size_t first = buckets_.start[c], m = buckets_.of(c).size();
    const Narrowing& narrowing =
        cluster.narrowing.emplace(data_.cols(), euclidean_, wide, std::span(estimates_.to_mean).subspan(first, m),
                                  std::span(estimates_.size).subspan(first, m));
    cluster.wide = wide;
    if (narrowing.equal_distances()) {  // every total the same: the first member wins
      choices[c] = buckets_.of(c).front();
      return;
    }
    cluster.lowest = lowest_estimate(narrowing);
    if (!cluster.lowest) return;
    cluster.positions.resize(m);
    for (std::size_t r = 0; r < m; ++r) cluster.positions[r] = r;
    keep_possible(narrowing, narrowing.estimate(*cluster.lowest) + narrowing.error(*cluster.lowest), cluster.positions);
    if (sole_winner(narrowing, cluster.positions)) choices[c] = buckets_.of(c)[cluster.positions.front()];
  }

  const MatrixView& data_;
  bool euclidean_;
  const ClusterBuckets<std::uint64_t>& buckets_;
  const MemberEstimates& estimates_;
  CancellationPoints* cancellation_;
};

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
                          ExactMedoidMemo* memo, CancellationPoints* cancellation) {
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
  std::vector<std::uint64_t> to_narrow, crowded;
  for (std::uint64_t c = 0; c < k; ++c) {
    narrowed[c] = searched(c) && buckets.of(c).size() > kAllPairsMembers;
    if (narrowed[c]) to_narrow.push_back(c);
  }
  const MemberEstimates estimates = member_estimates(data, model.euclidean, buckets, model.labels, sums, narrowed);
  const ExactSearch search(data, model.euclidean, buckets, estimates, cancellation);
  std::vector<NarrowedCluster> narrowings(k);
  search.narrow(to_narrow, false, narrowings, choices);
  for (const std::uint64_t c : to_narrow)
    if (choices[c] == ExactMedoidMemo::kNoChoice && narrowings[c].positions.size() > kMaxF32Candidates)
      crowded.push_back(c);
  search.narrow(crowded, true, narrowings, choices);

  // Every candidate of every undecided cluster, clusters in order and members ascending.
  std::vector<Candidate> candidates;
  for (std::uint64_t c = 0; c < k; ++c) {
    if (!searched(c) || choices[c] != ExactMedoidMemo::kNoChoice) continue;
    if (narrowed[c] && narrowings[c].lowest) {
      for (const std::size_t r : narrowings[c].positions) candidates.push_back({c, r, narrowings[c].wide});
    } else {
      for (std::size_t r = 0; r < buckets.of(c).size(); ++r) candidates.push_back({c, r});
    }
  }
  search.totals(candidates);
  for (std::size_t first = 0, last = 0; first < candidates.size(); first = last) {
    const std::uint64_t c = candidates[first].cluster;
    for (last = first; last < candidates.size() && candidates[last].cluster == c;) ++last;
    choices[c] = rule_choice(std::span(candidates).subspan(first, last - first), buckets.of(c));
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
  medoids::update_exact_medoids(*this, data, row_sums_of_clusters(data, labels, n_clusters));
}

}  // namespace plovek
