// Bin edges and the row-major binning pass over any column reader (value(position, column)),
// for the augmented matrix of the Boruta kernel, which has no float buffer to hand to the
// matrix-form entry points. The edge rule itself stays in feature_edges and bin_of.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "binning/binning.h"
#include "morvel/bin_edges.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {

// Below this many cells edges and bins are computed on the calling thread.
inline constexpr uint64_t kParallelCells = 32768;

// Threads for a matrix of n_rows x n_columns cells: 1 when small, else `threads`.
inline uint64_t binning_threads(uint64_t n_rows, uint64_t n_columns, uint64_t threads) {
  if (n_columns != 0 && n_rows <= UINT64_MAX / n_columns && n_rows * n_columns < kParallelCells) return 1;
  return threads == 0 ? 1 : threads;
}

// "exact_sort" edges of every column over all positions; contiguous column ranges per
// worker, concatenated in range order.
template <class Reader>
BinEdges reader_edges(const Reader& reader, uint64_t n_rows, uint64_t n_columns, uint64_t max_bins,
                      uint64_t threads) {
  const uint64_t workers = std::min(n_columns, threads);
  auto parts = parallel::for_each_chunk(
      n_columns, workers,
      [&](const parallel::Chunk& chunk) {
        std::vector<std::vector<double>> out;
        out.reserve(chunk.end - chunk.begin);
        std::vector<double> values;
        for (uint64_t column = chunk.begin; column < chunk.end; ++column) {
          values.resize(n_rows);
          for (uint64_t p = 0; p < n_rows; ++p) values[p] = reader.value(p, column);
          out.push_back(feature_edges(values, max_bins, BinningStrategy::ExactSort));
        }
        return out;
      },
      msg::kEdgeWorkerPanicked);
  BinEdges edges;
  edges.reserve(n_columns);
  for (auto& part : parts) {
    for (auto& e : part) edges.push_back(std::move(e));
  }
  return edges;
}

// Row-major bytes under `edges`; contiguous row ranges per worker. Throws ValidationError
// "X must not contain infinite values" when a value is infinite.
template <class Reader>
BinnedMatrix reader_bins(const Reader& reader, uint64_t n_rows, uint64_t n_columns, BinEdges edges,
                         uint64_t threads) {
  BinnedMatrix out;
  out.n_rows = n_rows;
  out.n_features = n_columns;
  out.bins.assign(n_rows * n_columns, 0);
  uint8_t* bytes = out.bins.data();
  const uint64_t workers = std::min(n_rows, threads);
  const auto flags = parallel::for_each_chunk(
      n_rows, workers,
      [&](const parallel::Chunk& chunk) {
        std::pair<bool, bool> seen{false, false};  // (NaN, infinity)
        for (uint64_t p = chunk.begin; p < chunk.end; ++p) {
          uint8_t* row = bytes + p * n_columns;
          for (uint64_t column = 0; column < n_columns; ++column) {
            const double v = reader.value(p, column);
            if (std::isnan(v)) seen.first = true;
            if (std::isinf(v)) seen.second = true;
            row[column] = bin_of(edges[column], v);
          }
        }
        return seen;
      },
      msg::kBinWorkerPanicked);
  bool any_nan = false;
  bool any_inf = false;
  for (const auto& f : flags) {
    any_nan = any_nan || f.first;
    any_inf = any_inf || f.second;
  }
  if (any_inf) throw ValidationError(msg::kInfiniteValues);
  out.edges = std::move(edges);
  out.has_missing = any_nan;
  out.feature_major = false;
  return out;
}

}  // namespace morvel
