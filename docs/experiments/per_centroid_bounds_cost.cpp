// What a pruned assignment costs with a lower bound per point and centroid (Elkan's
// scheme, bounds in 8 bits), measuring only the centroids whose bounds fail, one dot
// product each: against the plain search, on L1f's data, one thread, assignment times
// only. A cost measurement, not an exact search (its margins are rough); it follows the
// plain search's course. Build against the engine of a release build in /tmp/b:
//   g++ -O2 -std=c++20 -mavx2 -mfma -Isrc -o /tmp/per_centroid_bounds_cost \
//       docs/experiments/per_centroid_bounds_cost.cpp /tmp/b/libplovek_engine.a -lpthread
//   /tmp/per_centroid_bounds_cost [centre_scale=0.5] [recorded_at=6] [step=0.03]
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "simd/kernels.h"

using namespace plovek;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t n = 200000, d = 64, k = 256, kBlock = 256;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::uint8_t quantized(float distance, float drift_total, float base, float step) {
  return static_cast<std::uint8_t>(std::clamp((distance + drift_total - base) / step, 1.0f, 255.0f));
}

struct State {
  std::vector<float> x, norms, centroids, centroid_norms, drift_total, base;
  std::vector<std::uint8_t> bounds;  // per point and centroid: base + q * step - drift_total is a lower bound
  std::vector<std::uint64_t> labels;
  float step;
};

// Every distance, as the recording search would give them.
void record(State& s, const kernels::CentroidPanels& panels) {
  std::fill(s.drift_total.begin(), s.drift_total.end(), 0.0f);
  std::vector<float> dots(kBlock * k), distance(k);
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    kernels::centroid_dots(panels, &s.x[first * d], d, count, dots.data());
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t i = first + r;
      std::size_t best = 0;
      for (std::size_t j = 0; j < k; ++j) {
        distance[j] = std::sqrt(std::max(0.0f, s.centroid_norms[j] - 2 * dots[r * k + j] + s.norms[i]));
        if (distance[j] < distance[best]) best = j;
      }
      s.labels[i] = best;
      s.base[i] = distance[best];
      for (std::size_t j = 0; j < k; ++j) s.bounds[i * k + j] = quantized(distance[j], 0.0f, s.base[i], s.step);
    }
  }
}

// The centroids whose bounds fail against the own distance, measured four at a time.
std::size_t prune(State& s) {
  std::size_t measured = 0;
  std::uint32_t list[k + 4];
  alignas(32) float dots[k + 4];
  for (std::size_t i = 0; i < n; ++i) {
    const float* xi = &s.x[i * d];
    std::uint8_t* q = &s.bounds[i * k];
    const std::size_t own = s.labels[i];
    const float own_distance =
        std::sqrt(std::max(0.0f, s.centroid_norms[own] - 2 * kernels::dot(xi, &s.centroids[own * d], d) + s.norms[i]));
    const __m256 step = _mm256_set1_ps(s.step), limit = _mm256_set1_ps(own_distance * 1.0001f + 1e-3f - s.base[i]);
    std::size_t count = 0;
    for (std::size_t j0 = 0; j0 < k; j0 += 8) {
      const __m256 qf = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + j0))));
      const __m256 lower = _mm256_sub_ps(_mm256_mul_ps(qf, step), _mm256_loadu_ps(&s.drift_total[j0]));
      for (auto m = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(lower, limit, _CMP_LE_OQ))); m; m &= m - 1)
        if (j0 + __builtin_ctz(m) != own) list[count++] = static_cast<std::uint32_t>(j0 + __builtin_ctz(m));
    }
    measured += count + 1;
    for (std::size_t u = count; u < ((count + 3) & ~std::size_t{3}); ++u) list[u] = list[0];
    for (std::size_t u = 0; u < count; u += 4) {
      __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
      for (std::size_t t = 0; t < d; t += 8)
        for (int v = 0; v < 4; ++v)
          acc[v] = _mm256_fmadd_ps(_mm256_loadu_ps(xi + t), _mm256_loadu_ps(&s.centroids[list[u + v] * d + t]), acc[v]);
      const __m256 sums = _mm256_hadd_ps(_mm256_hadd_ps(acc[0], acc[1]), _mm256_hadd_ps(acc[2], acc[3]));
      _mm_storeu_ps(dots + u, _mm_add_ps(_mm256_castps256_ps128(sums), _mm256_extractf128_ps(sums, 1)));
    }
    std::size_t best = own;
    float best_distance = own_distance;
    for (std::size_t u = 0; u < count; ++u) {
      const std::uint32_t j = list[u];
      const float distance = std::sqrt(std::max(0.0f, s.centroid_norms[j] - 2 * dots[u] + s.norms[i]));
      q[j] = quantized(distance, s.drift_total[j], s.base[i], s.step);
      if (distance < best_distance) best_distance = distance, best = j;
    }
    if (best != own) q[own] = quantized(own_distance, s.drift_total[own], s.base[i], s.step);
    s.labels[i] = best;
  }
  return measured;
}

}  // namespace

int main(int argc, char** argv) {
  const float centre_scale = argc > 1 ? std::strtof(argv[1], nullptr) : 0.5f;
  const int recorded_at = argc > 2 ? std::atoi(argv[2]) : 6;
  State s{.x = std::vector<float>(n * d), .norms = std::vector<float>(n), .centroids = std::vector<float>(k * d),
          .centroid_norms = std::vector<float>(k), .drift_total = std::vector<float>(k), .base = std::vector<float>(n),
          .bounds = std::vector<std::uint8_t>(n * k), .labels = std::vector<std::uint64_t>(n),
          .step = argc > 3 ? std::strtof(argv[3], nullptr) : 0.03f};
  std::mt19937 rng(0);
  std::normal_distribution<float> normal;
  std::vector<float> centres(k * d);
  for (float& c : centres) c = centre_scale * normal(rng);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = rng() % k;
    for (std::size_t t = 0; t < d; ++t) s.x[i * d + t] = centres[c * d + t] + normal(rng);
    s.norms[i] = kernels::dot(&s.x[i * d], &s.x[i * d], d);
  }
  for (std::size_t j = 0; j < k; ++j) std::copy_n(&s.x[(rng() % n) * d], d, &s.centroids[j * d]);
  std::vector<std::uint64_t> plain_labels(n);
  double plain_total = 0, bounded_total = 0;
  std::size_t mismatches = 0;
  for (int it = 0; it < 25; ++it) {
    const kernels::CentroidPanels panels(s.centroids.data(), k, d, true);
    for (std::size_t j = 0; j < k; ++j) s.centroid_norms[j] = kernels::dot(&s.centroids[j * d], &s.centroids[j * d], d);
    auto start = Clock::now();
    for (std::size_t first = 0; first < n; first += kBlock)
      kernels::nearest_centroids(panels, &s.x[first * d], d, std::min(kBlock, n - first), &s.norms[first],
                                 &plain_labels[first]);
    const double plain = seconds_since(start);
    plain_total += plain;
    start = Clock::now();
    std::size_t measured = n * k;
    if (it == recorded_at) record(s, panels);
    if (it > recorded_at) measured = prune(s);
    const double bounded = it < recorded_at ? plain : seconds_since(start);
    bounded_total += bounded;
    if (it >= recorded_at)
      std::printf("it %2d plain %.1f ms, bounded %.1f ms (%.2fx), distances %.3f\n", it, plain * 1e3, bounded * 1e3,
                  bounded / plain, double(measured) / double(n * k));
    if (it > recorded_at)
      for (std::size_t i = 0; i < n; ++i) mismatches += s.labels[i] != plain_labels[i];
    // The means of the plain labels; each centroid's drift added to its total.
    std::vector<double> sums(k * d, 0.0);
    std::vector<std::size_t> counts(k, 0);
    for (std::size_t i = 0; i < n; ++i) {
      ++counts[plain_labels[i]];
      for (std::size_t t = 0; t < d; ++t) sums[plain_labels[i] * d + t] += s.x[i * d + t];
    }
    for (std::size_t j = 0; j < k; ++j) {
      if (counts[j] == 0) continue;
      double square = 0;
      for (std::size_t t = 0; t < d; ++t) {
        const float mean = static_cast<float>(sums[j * d + t] / static_cast<double>(counts[j]));
        square += double(mean - s.centroids[j * d + t]) * (mean - s.centroids[j * d + t]);
        s.centroids[j * d + t] = mean;
      }
      s.drift_total[j] += static_cast<float>(std::sqrt(square)) * 1.0001f;
    }
    s.labels = plain_labels;
  }
  std::printf("plain %.3f s, with the bounds from iteration %d: %.3f s (%.3fx); labels unlike the plain search's: %zu\n",
              plain_total, recorded_at, bounded_total, bounded_total / plain_total, mismatches);
}
