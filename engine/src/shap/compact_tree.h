// Compact pre-order copies of fitted trees for TreeSHAP and the exported tree arrays: only
// reachable nodes, a node before its `left` subtree before its `right` subtree, root at 0.
#pragma once

#include <cstdint>
#include <vector>

#include "morvel/tree.h"

namespace morvel::shap {

struct CompactNode {
  bool is_leaf = true;
  bool missing_left = false;  // split: missing values take `left` (false for leaves)
  int32_t feature = -1;       // split feature; -1 for leaves
  uint64_t leaf_class = 0;    // leaf class (leaves only)
  double pivot = 0.0;         // split pivot (0.0 for leaves)
  uint64_t left = 0;          // split: compact position of the child taking value > pivot
  uint64_t right = 0;         // split: compact position of the child taking value <= pivot
  double cover = 0.0;         // n_samples of the node as f64
};

struct CompactTree {
  std::vector<CompactNode> nodes;
  uint64_t max_depth = 0;  // most edges from the root to a leaf
};

// Compacts `tree`, checking that every reachable split feature is below `n_features` and every
// leaf class below `n_classes` (a violation is an internal invariant failure, since reading
// past a row or a class row would be unsafe).
CompactTree compact_tree(const Tree& tree, uint64_t n_features, uint64_t n_classes);

// Per-class expected value of one tree: the cover of the leaves of each class (summed in
// pre-order) over the root cover, taken as at least 1.0.
std::vector<double> expected_values(const CompactTree& tree, uint64_t n_classes);

}  // namespace morvel::shap
