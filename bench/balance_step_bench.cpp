// Times the balancing point step alone, in nanoseconds per step: blobs of n points in d
// dimensions around k centres, a plain training for the starting labels, then 12
// balance iterations under the growing size penalty. The steps run on the calling
// thread; where the phase computes dot products in blocks, those run on the pool as
// well (RAYON_NUM_THREADS sets its size: 1 for the calling thread alone). `blocks`
// fixes where the dot products come from: paying (the default), none, overlapping, start.
//   balance_step_bench n d k [repeats=5] [blocks=paying]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "engine/balance.h"
#include "engine/kmeans.h"
#include "runtime/random.h"
#include "runtime/thread_pool.h"

namespace {

constexpr int kIterations = 12;

std::vector<float> blobs(std::size_t n, std::size_t d, std::size_t k) {
  std::mt19937 rng(0);
  std::normal_distribution<float> normal;
  std::vector<float> centres(k * d), values(n * d);
  for (float& v : centres) v = 4.0f * normal(rng);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = rng() % k;
    for (std::size_t t = 0; t < d; ++t) values[i * d + t] = centres[c * d + t] + normal(rng);
  }
  return values;
}

std::optional<plovek::BalanceBlocks> blocks_named(std::string_view name) {
  using plovek::BalanceBlocks;
  if (name == "paying") return BalanceBlocks::WherePaying;
  if (name == "none") return BalanceBlocks::None;
  if (name == "overlapping") return BalanceBlocks::Overlapping;
  if (name == "start") return BalanceBlocks::AtTheirStart;
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace plovek;
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s n d k [repeats=5] [blocks=paying|none|overlapping|start]\n", argv[0]);
    return 2;
  }
  const std::optional<BalanceBlocks> blocks = blocks_named(argc < 6 ? "paying" : argv[5]);
  if (!blocks) {
    std::fprintf(stderr, "unknown blocks: %s\n", argv[5]);
    return 2;
  }
  const std::size_t n = std::strtoull(argv[1], nullptr, 10), d = std::strtoull(argv[2], nullptr, 10),
                    k = std::strtoull(argv[3], nullptr, 10);
  const int repeats = argc < 5 ? 5 : std::atoi(argv[4]);
  const std::vector<float> values = blobs(n, d, k);
  const MatrixView data = MatrixView::row_major(values.data(), n, d);
  const std::vector<float> point_norms = compute_point_norms(data);

  KMeans trained(k);
  trained.euclidean = true;
  thread_generator() = RandomGenerator(42);
  if (!trained.train(data, std::nullopt).ok()) {
    std::fprintf(stderr, "training failed\n");
    return 1;
  }
  std::vector<double> per_step;
  for (int r = 0; r < repeats; ++r) {
    // The state the final assignment of a balanced training hands the phase.
    KMeans model = trained;
    model.assign_clusters(data, point_norms);
    model.cluster_sizes.assign(k, 0.0f);
    for (const std::uint64_t label : model.labels) model.cluster_sizes[label] += 1.0f;
    balancing::BalanceRun run(model, data, point_norms, *blocks);
    const auto start = std::chrono::steady_clock::now();
    for (int iteration = 0; iteration < kIterations; ++iteration) {
      run.run_iteration();
      run.set_size_penalty(balancing::grown_size_penalty(run.size_penalty(), run.next_size_penalty()));
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    per_step.push_back(seconds.count() / static_cast<double>(kIterations * n) * 1e9);
  }
  std::sort(per_step.begin(), per_step.end());
  std::printf("n=%zu d=%zu k=%zu: %.1f ns per point step (median of %d; fastest %.1f)\n", n, d, k,
              per_step[per_step.size() / 2], repeats, per_step.front());
}
