// Cost-complexity pruning: one bottom-up pass over a grown tree, re-routing its index list.
// Runs after growth as its own pass; draws nothing from the tree's Rng. A pruned split is
// overwritten in place by a leaf, and its former descendants stay in the vector, unreachable.
#include <cstdint>
#include <vector>

#include "morvel/errors.h"
#include "tree/grow.h"

namespace morvel {

void prune_tree(Tree& tree, const TrainingContext& ctx, const TreeWeights& weights,
                std::span<const RowIndex> in_bag, double ccp_alpha, WorkerScratch& scratch) {
  if (!(ccp_alpha > 0.0) || tree.nodes.empty()) return;
  struct Frame {
    uint64_t node = 0;
    uint64_t begin = 0;
    uint64_t end = 0;
    double risk = 0.0;           // R(t) of the node itself
    uint64_t heaviest = 0;       // class of largest weight, first on ties
    uint64_t stage = 0;          // 0: children not visited, 1: left done, 2: both done
    uint64_t mid = 0;            // end of the left child's rows
    uint64_t left_leaves = 0;
    double left_risk = 0.0;
  };
  RowBuffer& rows = scratch.rows;
  rows.assign(in_bag.begin(), in_bag.end());
  NodeStats& stats = scratch.stats;

  compute_node_stats(ctx, weights, rows, false, stats, /*keep_labels=*/false);
  const double root_weight = stats.weight;

  std::vector<Frame> stack;
  stack.push_back(Frame{tree.root, 0, rows.size()});
  // Result of the subtree just finished: its leaf count and risk after pruning.
  uint64_t leaves = 0;
  double risk = 0.0;
  while (!stack.empty()) {
    Frame& f = stack.back();
    MORVEL_ASSERT(f.node < tree.nodes.size(), "index out of bounds: node outside the tree");
    if (f.stage == 0) {
      const std::span<RowIndex> segment = std::span<RowIndex>(rows).subspan(f.begin, f.end - f.begin);
      compute_node_stats(ctx, weights, segment, false, stats, /*keep_labels=*/false);
      const double node_impurity =
          impurity(ctx.growth.criterion, stats.class_weight.data(), stats.class_weight.size(), stats.weight);
      f.risk = root_weight <= 0.0 ? 0.0 : (node_impurity * stats.weight) / root_weight;
      const Node& node = tree.nodes[f.node];
      if (node.is_leaf()) {
        leaves = 1;
        risk = f.risk;
        stack.pop_back();
        continue;
      }
      for (uint64_t c = 1; c < stats.class_weight.size(); ++c) {
        if (stats.class_weight[c] > stats.class_weight[f.heaviest]) f.heaviest = c;
      }
      f.mid = f.begin + partition_in_place(ctx, node, segment, scratch.spill);
      f.stage = 1;
      const Frame left{node.left(), f.begin, f.mid};
      stack.push_back(left);  // invalidates f
      continue;
    }
    if (f.stage == 1) {
      f.left_leaves = leaves;
      f.left_risk = risk;
      f.stage = 2;
      const Frame right{tree.nodes[f.node].right(), f.mid, f.end};
      stack.push_back(right);  // invalidates f
      continue;
    }
    const uint64_t right_leaves = leaves;
    const double right_risk = risk;
    // The cost per removed leaf of keeping this subtree.
    const double g = ((f.risk - f.left_risk) - right_risk) /
                     static_cast<double>(f.left_leaves + right_leaves - 1);
    if (g <= ccp_alpha) {
      tree.nodes[f.node] = Node::make_leaf(f.heaviest, f.end - f.begin);
      leaves = 1;
      risk = f.risk;
    } else {
      leaves = f.left_leaves + right_leaves;
      risk = f.left_risk + right_risk;
    }
    stack.pop_back();
  }
}

}  // namespace morvel
