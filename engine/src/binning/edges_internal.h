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
// f64 (or as float32 for float32 input, whose edges then sort 32-bit keys). Reading several
// features per pass over the rows touches each row once per pass.
template <class T>
using GatheredColumnsOf = std::vector<LargeVector<T>>;
template <class T>
using ColumnGatherOf = std::function<void(uint64_t, uint64_t, const uint64_t*, uint64_t, GatheredColumnsOf<T>&)>;
using GatheredColumns = GatheredColumnsOf<double>;
using ColumnGather = ColumnGatherOf<double>;

// sink(f, column, edges, scratch) receives feature f's gathered values at every row
// position (n_rows of them) and its edges, on the worker that computed them.
template <class T>
using ColumnSinkOf = std::function<void(uint64_t, const T*, const std::vector<double>&, EdgeScratch&)>;
using ColumnSink = ColumnSinkOf<double>;

// Sorts total-order keys ascending (the sort of the sort path; `scratch.b` is its buffer).
void sort_keys(LargeVector<int64_t>& keys, EdgeScratch& scratch);
// The same for float32 keys (`scratch.b32`).
void sort_keys(LargeVector<int32_t>& keys, EdgeScratch& scratch);

// How many features one gather pass takes for columns of `count` values of `value_bytes`
// each within `budget_bytes`.
uint64_t gather_width(uint64_t count, uint64_t budget_bytes, uint64_t value_bytes);

// Edges of every feature from gathered columns. Threads follow the cell rule; a failed
// worker raises `panic_message`. With a sink, columns are gathered whole and handed to it.
BinEdges compute_edges(uint64_t n_rows, uint64_t n_features, const BinningOptions& options,
                       const ColumnGather& gather, const char* panic_message, const ColumnSink& sink = {});
BinEdges compute_edges(uint64_t n_rows, uint64_t n_features, const BinningOptions& options,
                       const ColumnGatherOf<float>& gather, const char* panic_message,
                       const ColumnSinkOf<float>& sink);

}  // namespace morvel::detail
