// Branch-light bin lookup and the threading threshold shared by the binning steps.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace morvel::detail {

// Inputs smaller than this many cells are binned on the calling thread.
inline constexpr uint64_t kParallelCells = 32768;

// 1 when n_rows * n_features is below kParallelCells (and does not overflow), else n_jobs.
inline uint64_t binning_threads(uint64_t n_rows, uint64_t n_features, uint64_t n_jobs) {
  uint64_t cells = 0;
  if (!__builtin_mul_overflow(n_rows, n_features, &cells) && cells < kParallelCells) return 1;
  return n_jobs == 0 ? 1 : n_jobs;
}

// Number of edges strictly below `value` (value not NaN). The same count as
// std::lower_bound with operator<, so -0.0 and +0.0 compare equal; the halving loop has
// no data-dependent branch, which matters because bin values are unpredictable.
inline uint8_t regular_bin(const double* edges, uint64_t m, double value) {
  if (m == 0) return 0;
  const double* base = edges;
  uint64_t n = m;
  while (n > 1) {
    const uint64_t half = n / 2;
    base = (base[half - 1] < value) ? base + half : base;
    n -= half;
  }
  return static_cast<uint8_t>((base - edges) + (*base < value ? 1 : 0));
}

// Bin rule including the missing-value bin m + 1 for NaN.
inline uint8_t bin_value(const std::vector<double>& edges, double value) {
  if (std::isnan(value)) return static_cast<uint8_t>(edges.size() + 1);
  return regular_bin(edges.data(), edges.size(), value);
}

}  // namespace morvel::detail
