// Histogram bin edges and the bin rule shared by training and prediction.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace morvel {

// One strictly increasing vector of cut values per feature (at most 254 each).
using BinEdges = std::vector<std::vector<double>>;

// The bin of `value` under `edges` (length m): NaN goes to the missing-value bin m + 1;
// otherwise the number of edges strictly below the value, so a value equal to an edge lands
// in the lower bin. The comparison is numeric: -0.0 and +0.0 are the same value here.
inline uint8_t bin_of(const std::vector<double>& edges, double value) {
  if (std::isnan(value)) return static_cast<uint8_t>(edges.size() + 1);
  const auto it = std::lower_bound(edges.begin(), edges.end(), value);
  return static_cast<uint8_t>(it - edges.begin());
}

// The missing-value bin of a feature with `n_edges` edges.
inline uint8_t missing_bin(uint64_t n_edges) { return static_cast<uint8_t>(n_edges + 1); }

}  // namespace morvel
