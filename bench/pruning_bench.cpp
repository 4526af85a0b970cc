// Times training with the bound-pruned assignment against the full search (the test
// hook), alternating, on blobs like bench/run_bench.py's or on a matrix read from a .npy
// file, and prints the share of point-centroid distances the pruned runs measured.
//   pruning_bench n d k euclidean centre_scale [iterations=25] [repeats=3] [pruned_only=0] [seed=2026]
//   pruning_bench --data matrix.npy k euclidean [iterations=25] [repeats=3] [pruned_only=0] [seed=2026]
// centre_scale 4 is the benchmark's blobs (L1), 0.5 data that settles slowly (L1f);
// pruned_only 1 skips the full searches (for profiling). A file's rows are used as they
// are (for the inner product, make them unit-length first, as real_data.py does).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/kmeans.h"
#include "runtime/random.h"
#include "npy_matrix.h"

namespace {

std::vector<float> blobs(std::size_t n, std::size_t d, std::size_t k, float centre_scale, bool unit_rows) {
  std::mt19937 rng(0);
  std::normal_distribution<float> normal;
  std::vector<float> centres(k * d), values(n * d);
  for (float& c : centres) c = centre_scale * normal(rng);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = rng() % k;
    double square = 0.0;
    for (std::size_t t = 0; t < d; ++t) {
      values[i * d + t] = centres[c * d + t] + normal(rng);
      square += double(values[i * d + t]) * values[i * d + t];
    }
    if (unit_rows)
      for (std::size_t t = 0; t < d; ++t) values[i * d + t] = float(values[i * d + t] / std::sqrt(square));
  }
  return values;
}

// One training's time; with `full_search` every assignment runs the full search. What
// each assignment searched is appended to `stats`.
double train_seconds(const plovek::MatrixView& data, std::size_t k, bool euclidean, std::uint64_t iterations,
                     bool full_search, std::uint64_t seed, std::vector<plovek::AssignmentStats>& stats) {
  plovek::KMeans km(k);
  km.euclidean = euclidean;
  km.iterations = iterations;
  const plovek::FixedPolicy plain(plovek::SearchMode::Plain);
  // The same seeds in every run: the pruned and the full search take the same course,
  // and so do the runs of two builds compared.
  plovek::thread_generator() = plovek::RandomGenerator(seed);
  const auto start = std::chrono::steady_clock::now();
  if (!km.train(data, std::nullopt, {}, {.policy = full_search ? &plain : nullptr, .stats = &stats}).ok())
    std::abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The assignments' modes in order, a letter each (Prune, Record, Plain).
std::string modes(const std::vector<plovek::AssignmentStats>& stats) {
  std::string letters;
  for (const plovek::AssignmentStats& s : stats)
    letters += s.mode == plovek::SearchMode::Prune ? 'P' : s.mode == plovek::SearchMode::Record ? 'R' : '-';
  return letters;
}

std::string data_label(const char* path, float centre_scale) {
  if (path != nullptr) return path;
  char label[40];
  std::snprintf(label, sizeof label, "blobs with centres x%.2g", double(centre_scale));
  return label;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  // "--data path" stands where "n d" would, and a file has no centre_scale: the
  // optional arguments start one place earlier.
  const bool from_file = argc > 1 && std::string(argv[1]) == "--data";
  if (argc < (from_file ? 5 : 6)) {
    std::fprintf(stderr,
                 "usage: %s n d k euclidean centre_scale [iterations=25] [repeats=3] [pruned_only=0] [seed=2026]\n"
                 "       %s --data matrix.npy k euclidean [iterations=25] [repeats=3] [pruned_only=0] [seed=2026]\n",
                 argv[0], argv[0]);
    return 2;
  }
  const std::size_t k = std::strtoull(argv[3], nullptr, 10);
  const bool euclidean = std::atoi(argv[4]) != 0;
  const float centre_scale = from_file ? 0.0f : std::strtof(argv[5], nullptr);
  const int optional = from_file ? 5 : 6;
  const std::uint64_t iterations = argc > optional ? std::strtoull(argv[optional], nullptr, 10) : 25;
  const int repeats = argc > optional + 1 ? std::atoi(argv[optional + 1]) : 3;
  const bool pruned_only = argc > optional + 2 && std::atoi(argv[optional + 2]) != 0;
  const std::uint64_t seed = argc > optional + 3 ? std::strtoull(argv[optional + 3], nullptr, 10) : 2026;
  const plovek_bench::NpyMatrix matrix = plovek_bench::matrix_from_arguments(
      argv, [&](std::size_t rows, std::size_t cols) { return blobs(rows, cols, k, centre_scale, !euclidean); });
  const std::size_t n = matrix.rows, d = matrix.cols;
  const plovek::MatrixView data = plovek::MatrixView::row_major(matrix.values.data(), n, d);

  std::vector<double> pruned, full;
  std::vector<plovek::AssignmentStats> pruned_stats, full_stats;
  for (int r = 0; r < repeats; ++r) {
    if (!pruned_only) full.push_back(train_seconds(data, k, euclidean, iterations, true, seed, full_stats));
    pruned_stats.clear();
    pruned.push_back(train_seconds(data, k, euclidean, iterations, false, seed, pruned_stats));
  }
  if (pruned_only) {
    std::printf("pruned %.3f s\n", median(pruned));
    return 0;
  }
  double measured = 0.0, of_full_search = 0.0;
  for (const plovek::AssignmentStats& s : pruned_stats) {
    measured += double(s.distances_measured);
    of_full_search += double(s.distances_of_full_search);
  }
  // The machine's speed drifts: the ratio of each alternating pair is steadier.
  std::vector<double> ratios;
  for (int r = 0; r < repeats; ++r) ratios.push_back(pruned[r] / full[r]);
  std::printf("%s: n=%zu d=%zu k=%zu %s, %llu it: pruned %.3f s, full search %.3f s, ratio %.3f "
              "(median of pairs %.3f), distances measured %.1f%%, modes %s\n",
              data_label(from_file ? argv[2] : nullptr, centre_scale).c_str(), n, d, k,
              euclidean ? "sq. Euclidean" : "inner product", static_cast<unsigned long long>(iterations),
              median(pruned), median(full), median(pruned) / median(full), median(ratios),
              100.0 * measured / of_full_search, modes(pruned_stats).c_str());
  std::printf("share of the distances measured, assignment by assignment:");
  for (const plovek::AssignmentStats& s : pruned_stats)
    std::printf(" %.2f", double(s.distances_measured) / double(s.distances_of_full_search));
  std::printf("\n");
  return 0;
}
