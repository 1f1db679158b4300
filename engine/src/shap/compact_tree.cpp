// Builds compact pre-order trees. Iterative, so a degenerate deep tree cannot exhaust the
// thread's stack.
#include "shap/compact_tree.h"

#include <algorithm>
#include <limits>

#include "morvel/errors.h"
#include "morvel/messages.h"

namespace morvel::shap {

namespace {

constexpr uint64_t kNoParent = ~uint64_t{0};

struct Pending {
  uint64_t node;    // position in the fitted tree
  uint64_t depth;   // edges from the root
  uint64_t parent;  // compact position of the parent split, kNoParent for the root
  bool is_left;     // which child of the parent this is
};

}  // namespace

CompactTree compact_tree(const Tree& tree, uint64_t n_features, uint64_t n_classes) {
  const uint64_t n_nodes = tree.nodes.size();
  MORVEL_ASSERT(tree.root < n_nodes, msg::kTreeNodeIndex);
  CompactTree out;
  std::vector<Pending> stack;
  stack.push_back(Pending{tree.root, 0, kNoParent, false});
  // Popping the left child before the right one gives the pre-order: a node, its whole left
  // subtree, then its right subtree.
  while (!stack.empty()) {
    const Pending at = stack.back();
    stack.pop_back();
    // A reachable part larger than the vector means some node is reached twice (or a cycle).
    MORVEL_ASSERT(out.nodes.size() < n_nodes, msg::kTreeNotATree);
    const uint64_t pos = out.nodes.size();
    if (at.parent != kNoParent) {
      if (at.is_left) {
        out.nodes[at.parent].left = pos;
      } else {
        out.nodes[at.parent].right = pos;
      }
    }
    const Node& node = tree.nodes[at.node];
    CompactNode c;
    c.cover = static_cast<double>(node.n_samples);
    if (node.is_leaf()) {
      MORVEL_ASSERT(node.leaf_class() < n_classes, msg::kTreeLeafClass);
      c.leaf_class = node.leaf_class();
      out.max_depth = std::max(out.max_depth, at.depth);
      out.nodes.push_back(c);
      continue;
    }
    MORVEL_ASSERT(node.feature() < n_features &&
                      node.feature() <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()),
                  msg::kTreeFeatureIndex);
    MORVEL_ASSERT(node.left() < n_nodes && node.right() < n_nodes, msg::kTreeNodeIndex);
    c.is_leaf = false;
    c.feature = static_cast<int32_t>(node.feature());
    c.pivot = node.pivot;
    c.missing_left = node.missing_left();
    out.nodes.push_back(c);
    stack.push_back(Pending{node.right(), at.depth + 1, pos, false});
    stack.push_back(Pending{node.left(), at.depth + 1, pos, true});
  }
  return out;
}

std::vector<double> expected_values(const CompactTree& tree, uint64_t n_classes) {
  std::vector<double> expected(n_classes, 0.0);
  for (const CompactNode& node : tree.nodes) {
    if (node.is_leaf) expected[node.leaf_class] += node.cover;
  }
  const double root_cover = std::max(tree.nodes[0].cover, 1.0);
  for (double& e : expected) e = e / root_cover;
  return expected;
}

}  // namespace morvel::shap
