// Path-dependent TreeSHAP over compact trees: the per-thread workspace, the row reader that
// turns every prediction-matrix form into one row of doubles, and the per-tree attribution.
#pragma once

#include <cstdint>
#include <vector>

#include "morvel/api.h"
#include "shap/compact_tree.h"
#include "shap/path.h"

namespace morvel::shap {

// a * b, or bad_alloc when the product cannot even be addressed.
uint64_t checked_size(uint64_t a, uint64_t b);

// One pending visit of the attribution walk: the arguments of the paper's RECURSE.
struct Visit {
  uint64_t node;   // compact position
  uint64_t level;  // edges from the root; selects the path level
  uint64_t depth;  // unique depth d: the element EXTEND writes
  double zero_fraction;
  double one_fraction;
  uint64_t feature;
};

// Vector width of the batched walk. Both give the same bits: lanes run independent chains of
// the scalar arithmetic side by side, each lane doing exactly the scalar operations in order.
enum class Kernel {
  Best,     // the widest this CPU runs
  Vector2,  // two lanes (16-byte vectors, available on every target)
  Vector4,  // four lanes (AVX)
};

// True when `kernel` can run on this CPU (Best and Vector2 always can).
bool kernel_available(Kernel kernel);

// The walk of one row at a time, scalar: the reference the batched walk (lane_walk.h) must
// match bit for bit. Scratch sized once for the deepest tree of the call: `levels` path levels
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
