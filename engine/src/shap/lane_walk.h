// The batched attribution walk: rows share path states, and the path procedures run in SIMD
// lanes (see lane_walk.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "shap/compact_tree.h"
#include "shap/tree_shap.h"

namespace morvel::shap {

// True when the CPU and the operating system run AVX code.
bool avx_available();

// Path-dependent TreeSHAP for a batch of rows at once. The path state a row carries through a
// tree (its one fractions and weights) depends only on whether the row went toward each node
// on the way down, so rows with the same history share one state: the walk keeps, per node,
// one state per distinct history and computes each once. Every state runs exactly the scalar
// operations of the rows it stands for, so each row's values are the scalar values, bit for
// bit. The leaf contributions are stored per state and then added into each row's phi in the
// row's own order (hot child before cold child), which is the order of the scalar walk.
class BatchWalker {
 public:
  // Sized for the trees of one call; `batch_rows` bounds the rows of one batch.
  BatchWalker(uint64_t max_depth, uint64_t n_features, uint64_t n_classes, uint64_t batch_rows,
              Kernel kernel = Kernel::Best);

  // Rows per batch that keep the scratch of one walker within a fixed budget.
  static uint64_t batch_rows_for(const std::vector<CompactTree>& trees, uint64_t max_depth,
                                 uint64_t n_features, uint64_t n_classes);

  // Adds the attribution of rows (n_rows x n_features, row-major, n_rows <= batch_rows)
  // through `tree` into phi (n_rows x n_features x n_classes): prepare, then replay them all.
  void attribute(const CompactTree& tree, const double* rows, uint64_t n_rows, double* phi);

  // The two halves of attribute. prepare computes the path states of all rows of the batch
  // through `tree` and the terms they leave at the leaves; replay then adds those terms into
  // phi for rows [begin, end) of the same batch (phi and rows point at batch row 0). replay
  // only reads the walker, so threads may replay disjoint rows of one prepared tree at once;
  // `stack` is the caller's own.
  void prepare(const CompactTree& tree, const double* rows, uint64_t n_rows);
  void replay(const CompactTree& tree, const double* rows, uint64_t begin, uint64_t end,
              double* phi, std::vector<uint64_t>& stack) const;

  struct Scratch;

 private:
  uint64_t n_features_;
  uint64_t n_classes_;
  uint64_t batch_rows_;
  Kernel kernel_;
  std::shared_ptr<Scratch> scratch_;
};

}  // namespace morvel::shap
