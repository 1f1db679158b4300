// Bin edges and the feature-major byte matrix of a matrix read one gathered column at a time
// (the augmented matrix of the Boruta kernel, which has no float buffer to hand to the
// matrix-form entry points). The edge and bin rules stay in feature_edges and bin_value.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "binning/bin_lookup.h"
#include "boruta/augmented.h"
#include "binning/binning.h"
#include "morvel/errors.h"
#include "morvel/forest.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {

// Edges of one gathered column (consumed copy in `sorted`) and its bytes under them; raises
// the NaN and infinity flags it meets.
inline std::vector<double> bin_one_column(const std::vector<double>& values, std::vector<double>& sorted,
                                          uint64_t max_bins, uint8_t* column_bytes, bool& nan, bool& inf) {
  sorted.assign(values.begin(), values.end());
  std::vector<double> edges = feature_edges(sorted, max_bins, BinningStrategy::ExactSort);
  for (uint64_t p = 0; p < values.size(); ++p) {
    const double v = values[p];
    if (std::isnan(v)) nan = true;
    if (std::isinf(v)) inf = true;
    column_bytes[p] = detail::bin_value(edges, v);
  }
  return edges;
}

// "exact_sort" edges of every column over all rows, and the feature-major bytes under them.
// `gather(column, out, scratch)` fills out[p] with the value at row position p. Work is split into
// contiguous column ranges; each worker computes its columns' edges and then bins the same
// gathered values, so a column is read once. Edges are concatenated in range order and each
// byte depends only on its own cell, so the result does not depend on the worker count.
// Throws ValidationError "X must not contain infinite values" when a value is infinite.
// Runs bin_column(column, column_bytes, values, sorted, nan, inf) -> edges for every column
// on contiguous column ranges, concatenates the edges in range order and ORs the flags.
// `values` and `sorted` are per-worker scratch.
template <class BinColumn>
BinnedMatrix bin_columns(uint64_t n_rows, uint64_t n_columns, uint64_t threads, const BinColumn& bin_column) {
  BinnedMatrix out;
  out.n_rows = n_rows;
  out.n_features = n_columns;
  out.bins.assign(table_size(n_rows, n_columns), 0);  // a wrapped product would under-allocate
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
          checkpoint();
          part.edges.push_back(bin_column(column, bytes + column * n_rows, values, sorted, part.nan, part.inf));
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

template <class Gather>
BinnedMatrix bin_gathered_columns(const Gather& gather, uint64_t n_rows, uint64_t n_columns, uint64_t max_bins,
                                  uint64_t threads) {
  return bin_columns(n_rows, n_columns, threads,
                     [&](uint64_t column, uint8_t* column_bytes, std::vector<double>& values,
                         std::vector<double>& sorted, bool& nan, bool& inf) {
                       gather(column, values, sorted);
                       MORVEL_ASSERT(values.size() == n_rows, "index out of bounds: gathered column length");
                       return bin_one_column(values, sorted, max_bins, column_bytes, nan, inf);
                     });
}

// The same edges and bytes as bin_gathered_columns over the augmented matrix, computed once
// per feature of x wherever a column holds exactly that feature's values: every active
// column, and every shadow whose permutation row visits each row once. Edges depend only on
// the multiset of a column's values and a byte only on its own value, so such a column has
// its feature's edges, and its bytes are the feature's row bins read through the column's
// rows. Other shadows are gathered and binned on their own.
inline BinnedMatrix bin_augmented_columns(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                                          uint64_t max_bins, uint64_t threads) {
  const uint64_t n_rows = matrix.n_rows();
  const uint64_t n_columns = matrix.n_columns();
  const uint64_t n_active = matrix.n_active();
  MORVEL_ASSERT(order.size() == n_rows, "index out of bounds: canonical order length");
  constexpr uint64_t kOwn = ~uint64_t{0};
  std::vector<uint64_t> shared(n_columns, kOwn);  // feature whose bins a column reuses
  for (uint64_t j = 0; j < n_active; ++j) shared[j] = matrix.active_feature(j);
  std::vector<uint8_t> seen;
  for (uint64_t k = 0; k + n_active < n_columns; ++k) {
    if (matrix.is_bijection(k, seen)) shared[n_active + k] = matrix.source_feature(k);
  }
  std::vector<uint64_t> features;
  for (const uint64_t f : shared)
    if (f != kOwn) features.push_back(f);
  std::sort(features.begin(), features.end());
  features.erase(std::unique(features.begin(), features.end()), features.end());
  std::vector<uint64_t> slot(matrix.n_features(), kOwn);
  for (uint64_t i = 0; i < features.size(); ++i) slot[features[i]] = i;

  struct FeatureBins {
    std::vector<double> edges;
    std::vector<uint8_t> row_bins;  // bin of x[r, feature] for every row r
    bool nan = false;
    bool inf = false;
  };
  std::vector<FeatureBins> bins_of;
  bins_of.reserve(features.size());
  if (!features.empty()) {
    auto chunks = parallel::for_each_chunk(
        features.size(), std::min<uint64_t>(features.size(), threads),
        [&](const parallel::Chunk& chunk) {
          std::vector<FeatureBins> part(chunk.end - chunk.begin);
          std::vector<double> values(n_rows);
          std::vector<double> sorted;
          for (uint64_t i = chunk.begin; i < chunk.end; ++i) {
            FeatureBins& fb = part[i - chunk.begin];
            for (uint64_t r = 0; r < n_rows; ++r) values[r] = matrix.feature_value(r, features[i]);
            fb.row_bins.resize(n_rows);
            fb.edges = bin_one_column(values, sorted, max_bins, fb.row_bins.data(), fb.nan, fb.inf);
          }
          return part;
        },
        msg::kEdgeWorkerPanicked);
    for (auto& part : chunks)
      for (auto& fb : part) bins_of.push_back(std::move(fb));
  }

  return bin_columns(n_rows, n_columns, threads,
                     [&](uint64_t column, uint8_t* column_bytes, std::vector<double>& values,
                         std::vector<double>& sorted, bool& nan, bool& inf) {
                       if (shared[column] == kOwn) {
                         matrix.gather_column(column, order, values, sorted);
                         return bin_one_column(values, sorted, max_bins, column_bytes, nan, inf);
                       }
                       const FeatureBins& fb = bins_of[slot[shared[column]]];
                       nan = nan || fb.nan;
                       inf = inf || fb.inf;
                       const uint8_t* row_bins = fb.row_bins.data();
                       if (column < n_active) {
                         for (uint64_t p = 0; p < n_rows; ++p) column_bytes[p] = row_bins[order[p]];
                       } else {
                         const uint64_t k = column - n_active;
                         for (uint64_t p = 0; p < n_rows; ++p) column_bytes[p] = row_bins[matrix.donor(k, order[p])];
                       }
                       return fb.edges;
                     });
}

}  // namespace morvel
