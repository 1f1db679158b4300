// Path-dependent TreeSHAP over compact trees: the per-thread workspace, the row reader that
// turns every prediction-matrix form into one row of doubles, and the per-tree attribution.
#pragma once

#include <cstdint>
#include <vector>

#include "morvel/api.h"
#include "shap/compact_tree.h"
#include "shap/path.h"

namespace morvel::shap {

// One pending visit of the attribution walk: the arguments of the paper's RECURSE.
struct Visit {
  uint64_t node;   // compact position
  uint64_t level;  // edges from the root; selects the path level
  uint64_t depth;  // unique depth d: the element EXTEND writes
  double zero_fraction;
  double one_fraction;
  uint64_t feature;
};

// Scratch of one thread, sized once for the deepest tree of the call: `levels` path levels
// of `width` elements each, and the stack of pending visits.
class Workspace {
 public:
  Workspace(uint64_t max_depth, uint64_t n_features);

  // Adds the attribution of `row` through `tree` into phi (n_features x n_classes,
  // feature-major). `row` holds one double per feature; NaN means missing (for bin-space
  // trees: the bin index, NaN for the missing-value bin).
  void attribute(const CompactTree& tree, const double* row, uint64_t n_classes, double* phi);

 private:
  uint64_t width_;
  std::vector<PathElement> path_;
  std::vector<Visit> stack_;
};

// Reads rows of a prediction matrix as doubles in the space the trees were grown in: raw
// values, or bin indices under the fitted edges (NaN for the missing-value bin). One reader
// per thread; the returned pointer is valid until the next call.
class RowReader {
 public:
  RowReader(const PredictionMatrix& x, uint64_t n_features);
  const double* row(uint64_t r);

 private:
  enum class Kind { Dense, Csr, Bins, DenseBinned, CsrBinned };
  const PredictionMatrix& x_;
  uint64_t n_features_;
  Kind kind_;
  const DenseMatrix* dense_ = nullptr;
  const CsrMatrix* csr_ = nullptr;
  std::vector<double> scratch_;     // the current row (all but Dense)
  std::vector<double> defaults_;    // CSR: what an absent entry reads as, per feature
  std::vector<uint64_t> touched_;   // CSR: features written for the previous row
};

}  // namespace morvel::shap
