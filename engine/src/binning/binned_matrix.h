// The one-byte binned matrix, as the binning pass writes it and the growth reads it.
#pragma once

#include <cstdint>
#include <vector>

#include "morvel/bin_edges.h"

namespace morvel {

// The one-byte binned matrix of histogram training and of the binned extra-trees backend.
struct BinnedMatrix {
  std::vector<uint8_t> bins;  // n_rows * n_features bin indices
  bool feature_major = false; // false: byte r * n_features + f; true: byte f * n_rows + r
  BinEdges edges;             // the edges the bytes were built from
  bool has_missing = false;   // some byte is a missing-value bin
  uint64_t n_rows = 0;
  uint64_t n_features = 0;
  // Feature-major matrices of histogram growth: the same bytes row-major as well (byte
  // r * n_features + f), read at small nodes, whose rows' bytes then share cache lines.
  std::vector<uint8_t> row_major_copy;
  // Nodes with fewer entries read row_major_copy (histogram sums and partition alike).
  static constexpr uint64_t kRowMajorCopyBelow = 8192;
  // ... and only while a feature-major cache line of 64 rows would hold fewer than about two
  // of the node's rows: denser nodes share those lines, and one column is read faster than
  // the scattered rows of the copy (measured 1.6x to 3x on the sums of 2,048 to 8,191
  // entries out of 75,000 rows).
  static constexpr uint64_t kRowMajorCopySparsity = 32;

  // The copy costs one byte per cell. Histogram growth makes it for matrices of at most this
  // many cells (32 MiB), which keeps a histogram fit's memory within its input, two bytes per
  // cell and the trees; a larger histogram fit keeps one byte per cell.
  static constexpr uint64_t kRowMajorCopyMaxCells = uint64_t{1} << 25;
  // Binned extra trees make it for every matrix whose cells 32-bit row offsets reach (an
  // eighth of a float64 input, a quarter of the float32 copy scikit-learn's forests make):
  // without it, a matrix larger than the last-level cache reads one cache line per row and
  // searched feature at every small node (1.8x slower at 750,000 x 50).
  static constexpr uint64_t kRowMajorCopyMaxCellsExtra = 0xFFFFFFFF;

  // Whether a node of `n_entries` entries reads row_major_copy.
  bool reads_row_major_copy(uint64_t n_entries) const {
    return n_entries < kRowMajorCopyBelow && n_entries * kRowMajorCopySparsity < n_rows &&
           !row_major_copy.empty() && row_major_copy.size() == bins.size();
  }

  uint8_t at(uint64_t row, uint64_t feature) const {
    return feature_major ? bins[feature * n_rows + row] : bins[row * n_features + feature];
  }
};

}  // namespace morvel
