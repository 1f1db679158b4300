// Compact tree arrays in scikit-learn's orientation for Python-side TreeSHAP. Our `left`
// child takes value > pivot, scikit-learn's left takes value <= threshold, so the children of
// every split are swapped and the missing direction is negated.
#include <cmath>
#include <limits>

#include "morvel/api.h"
#include "shap/compact_tree.h"

namespace morvel {

namespace {

// floor(pivot) as an unsigned bin index: negative values and NaN become 0, values beyond the
// range saturate.
uint64_t bin_index(double pivot) {
  const double b = std::floor(pivot);
  if (!(b > 0.0)) return 0;
  if (b >= 18446744073709551616.0) return ~uint64_t{0};
  return static_cast<uint64_t>(b);
}

// For a bin-space tree, the edge of bin floor(pivot): rows in bins <= b are exactly the
// values <= edge b. A split whose pivot lies past the last edge (the histogram search can
// send the missing-value bin alone one way) sends every non-missing value to our right
// child, which is scikit-learn's left: its threshold is +inf, since a bin index read as a
// raw value would send large values the wrong way. Leaves and features without edges keep
// the pivot.
double threshold_of(const shap::CompactNode& node, const BinEdges* edges) {
  if (edges == nullptr) return node.pivot;
  const uint64_t f = node.feature < 0 ? 0 : static_cast<uint64_t>(node.feature);
  const uint64_t b = bin_index(node.pivot);
  if (f < edges->size() && b < (*edges)[f].size()) return (*edges)[f][b];
  if (!node.is_leaf && f < edges->size() && !(*edges)[f].empty()) {
    return std::numeric_limits<double>::infinity();
  }
  return node.pivot;
}

}  // namespace

std::vector<ShapTreeArrays> shap_tree_arrays(const FittedForest& forest) {
  const std::vector<Tree>& trees = forest.result.trees.list();
  const BinEdges* edges = forest.edges ? &*forest.edges : nullptr;
  const uint64_t n_classes = forest.n_classes;
  std::vector<ShapTreeArrays> out;
  out.reserve(trees.size());
  for (const Tree& tree : trees) {
    const shap::CompactTree compact = shap::compact_tree(tree, forest.n_features, n_classes);
    const uint64_t n = compact.nodes.size();
    ShapTreeArrays a;
    a.children_left.reserve(n);
    a.children_right.reserve(n);
    a.feature.reserve(n);
    a.threshold.reserve(n);
    a.cover.reserve(n);
    a.value.assign(n * n_classes, 0.0);
    a.missing_go_to_left.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
      const shap::CompactNode& node = compact.nodes[i];
      if (node.is_leaf) {
        a.children_left.push_back(-1);
        a.children_right.push_back(-1);
        a.value[i * n_classes + node.leaf_class] = 1.0;
        a.missing_go_to_left.push_back(1);
      } else {
        a.children_left.push_back(static_cast<int64_t>(node.right));
        a.children_right.push_back(static_cast<int64_t>(node.left));
        a.missing_go_to_left.push_back(node.missing_left ? 0 : 1);
      }
      a.feature.push_back(node.feature);
      a.threshold.push_back(threshold_of(node, edges));
      a.cover.push_back(node.cover);
    }
    out.push_back(std::move(a));
  }
  return out;
}

}  // namespace morvel
