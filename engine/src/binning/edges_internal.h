// Whole-matrix edge computation over any value source, shared by the dense and CSR paths.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "binning/binning.h"
#include "morvel/large_buffer.h"

namespace morvel::detail {

// gather(f0, f1, positions, count, columns) fills columns[f - f0][0..count) for the features
// [f0, f1) with their values at row positions positions[j] (or j when positions is null), as
// f64. Reading several features per pass over the rows touches each row once per pass.
using GatheredColumns = std::vector<LargeVector<double>>;
using ColumnGather = std::function<void(uint64_t, uint64_t, const uint64_t*, uint64_t, GatheredColumns&)>;

// Sorts total-order keys ascending (the sort of the sort path; `scratch.b` is its buffer).
void sort_keys(LargeVector<int64_t>& keys, EdgeScratch& scratch);

// How many features one gather pass takes for columns of `count` values within
// `budget_bytes` of gathered values.
uint64_t gather_width(uint64_t count, uint64_t budget_bytes);

// sink(f, column, edges, scratch) receives feature f's gathered values at every row
// position (n_rows of them) and its edges, on the worker that computed them.
using ColumnSink = std::function<void(uint64_t, const double*, const std::vector<double>&, EdgeScratch&)>;

// Edges of every feature from gathered columns. Threads follow the cell rule; a failed
// worker raises `panic_message`. With a sink, columns are gathered whole and handed to it.
BinEdges compute_edges(uint64_t n_rows, uint64_t n_features, const BinningOptions& options,
                       const ColumnGather& gather, const char* panic_message, const ColumnSink& sink = {});

}  // namespace morvel::detail
