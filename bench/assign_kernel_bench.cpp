// Times one nearest-centroid assignment pass (the training hot loop) on random data, or
// on a matrix read from a .npy file, and prints its GFLOP/s, for the kernel's share of
// the machine's peak. The centroids are k of the data's rows.
//   assign_kernel_bench n d k [euclidean=1] [repeats=7]
//   assign_kernel_bench --data matrix.npy k [euclidean=1] [repeats=7]
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "npy_matrix.h"
#include "simd/kernels.h"
#include "engine/kmeans.h"

namespace {

std::vector<float> standard_normal(std::size_t count) {
  std::mt19937 rng(1);
  std::normal_distribution<float> normal;
  std::vector<float> values(count);
  for (float& v : values) v = normal(rng);
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s n d k [euclidean=1] [repeats=7]\n       %s --data matrix.npy k [euclidean=1] [repeats=7]\n",
                 argv[0], argv[0]);
    return 2;
  }
  // "--data path" stands where "n d" would: the arguments after it keep their places.
  const bool from_file = std::string(argv[1]) == "--data";
  const plovek_bench::NpyMatrix matrix = plovek_bench::matrix_from_arguments(
      argv, [&](std::size_t rows, std::size_t cols) { return standard_normal(rows * cols); });
  const std::size_t n = matrix.rows, d = matrix.cols, k = std::strtoull(argv[3], nullptr, 10);
  const bool euclidean = argc < 5 || std::atoi(argv[4]) != 0;
  const int repeats = argc < 6 ? 7 : std::atoi(argv[5]);
  if (k == 0 || k > n) {
    std::fprintf(stderr, "k must lie in 1..n (n=%zu)\n", n);
    return 2;
  }
  const std::vector<float>& values = matrix.values;
  const plovek::MatrixView data = plovek::MatrixView::row_major(values.data(), n, d);

  plovek::KMeans km(k);
  km.euclidean = euclidean;
  km.centroids = plovek::Matrix(k, d);
  // Rows spread evenly over the data: a file's first rows can be alike (an image's top
  // rows of pixels), which would make a search of near ties throughout.
  for (std::size_t c = 0; c < k; ++c)
    std::copy_n(values.begin() + (c * (n / k)) * d, d, km.centroids->data() + c * d);
  const std::vector<float> norms = plovek::compute_point_norms(data);

  // CPU time as well as wall time: on a busy machine the former still shows the work.
  std::vector<double> seconds, cpu_seconds;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpu_start = std::clock();
    km.assign_clusters(data, norms);
    cpu_seconds.push_back(double(std::clock() - cpu_start) / CLOCKS_PER_SEC);
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  std::sort(cpu_seconds.begin(), cpu_seconds.end());
  const double median = seconds[seconds.size() / 2], cpu_median = cpu_seconds[cpu_seconds.size() / 2];
  const double flops = 2.0 * double(n) * double(k) * double(d);
  std::printf("level=%s %s n=%zu d=%zu k=%zu median=%.4f s  %.1f GFLOP/s wall, %.1f GFLOP per CPU-second\n",
              plovek::kernels::simd_level_name(plovek::kernels::active_simd_level()),
              from_file ? argv[2] : "random", n, d, k, median,
              flops / median / 1e9, flops / cpu_median / 1e9);
  return 0;
}
