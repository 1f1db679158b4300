// Whole-matrix edge computation over any value source, shared by the dense and CSR paths.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "binning/binning.h"

namespace morvel::detail {

// gather(feature, positions, count, out) fills out[0..count) with the feature's values at
// row positions positions[j] (or j when positions is null), as f64. Threads follow the
// cell rule; a failed worker raises `panic_message`.
BinEdges compute_edges(uint64_t n_rows, uint64_t n_features, const BinningOptions& options,
                       const std::function<void(uint64_t, const uint64_t*, uint64_t, std::vector<double>&)>& gather,
                       const char* panic_message);

}  // namespace morvel::detail
