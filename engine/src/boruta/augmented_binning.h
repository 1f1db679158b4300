// Bin edges and the row-major byte matrix of a matrix read one gathered column at a time
// (the augmented matrix of the Boruta kernel, which has no float buffer to hand to the
// matrix-form entry points). The edge and bin rules stay in feature_edges and bin_value.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "binning/bin_lookup.h"
#include "binning/binning.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {

// "exact_sort" edges of every column over all rows, and the feature-major bytes under them.
// `gather(column, out, scratch)` fills out[p] with the value at row position p. Work is split into
// contiguous column ranges; each worker computes its columns' edges and then bins the same
// gathered values, so a column is read once. Edges are concatenated in range order and each
// byte depends only on its own cell, so the result does not depend on the worker count.
// Throws ValidationError "X must not contain infinite values" when a value is infinite.
template <class Gather>
BinnedMatrix bin_gathered_columns(const Gather& gather, uint64_t n_rows, uint64_t n_columns, uint64_t max_bins,
                                  uint64_t threads) {
  BinnedMatrix out;
  out.n_rows = n_rows;
  out.n_features = n_columns;
  out.bins.assign(n_rows * n_columns, 0);
  uint8_t* bytes = out.bins.data();
  struct Part {
    BinEdges edges;
    bool nan = false;
    bool inf = false;
  };
  const uint64_t workers = std::min(n_columns, threads);
  auto parts = parallel::for_each_chunk(
      n_columns, workers,
      [&](const parallel::Chunk& chunk) {
        Part part;
        part.edges.reserve(chunk.end - chunk.begin);
        std::vector<double> values;
        std::vector<double> sorted;
        for (uint64_t column = chunk.begin; column < chunk.end; ++column) {
          gather(column, values, sorted);
          uint8_t* column_bytes = bytes + column * n_rows;
          MORVEL_ASSERT(values.size() == n_rows, "index out of bounds: gathered column length");
          sorted.assign(values.begin(), values.end());
          part.edges.push_back(feature_edges(sorted, max_bins, BinningStrategy::ExactSort));
          const std::vector<double>& edges = part.edges.back();
          for (uint64_t p = 0; p < n_rows; ++p) {
            const double v = values[p];
            if (std::isnan(v)) part.nan = true;
            if (std::isinf(v)) part.inf = true;
            column_bytes[p] = detail::bin_value(edges, v);
          }
        }
        return part;
      },
      msg::kEdgeWorkerPanicked);
  out.edges.reserve(n_columns);
  bool any_nan = false;
  bool any_inf = false;
  for (Part& part : parts) {
    for (auto& e : part.edges) out.edges.push_back(std::move(e));
    any_nan = any_nan || part.nan;
    any_inf = any_inf || part.inf;
  }
  if (any_inf) throw ValidationError(msg::kInfiniteValues);
  out.has_missing = any_nan;
  // Written feature-major straight away: the extra-trees search reads columns, and a
  // row-major pass followed by a transpose would produce the same bytes twice as slowly.
  out.feature_major = true;
  return out;
}

}  // namespace morvel
