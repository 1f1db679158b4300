// Cost-complexity pruning as a pass over a finished tree.
#include <gtest/gtest.h>

#include <limits>

#include "fixture.h"
#include "tree/grow.h"

namespace morvel {
namespace {

using testing::all_rows;
using testing::column_context;
using testing::tree_weights;

Tree grow_full(const TrainingContext& ctx, const std::vector<RowIndex>& rows) {
  ForestSettings s;
  s.max_features = 1;
  Rng rng = Rng::for_tree(0, 0);
  WorkerScratch scratch;
  return grow_tree(ctx, tree_weights(ctx), rows, s, rng, scratch);
}

void prune(Tree& tree, const TrainingContext& ctx, const std::vector<RowIndex>& rows, double alpha) {
  WorkerScratch scratch;
  prune_tree(tree, ctx, tree_weights(ctx), rows, alpha, scratch);
}

uint64_t reachable_leaves(const Tree& tree) {
  uint64_t leaves = 0;
  walk_preorder(tree, [&](const Node& n) { leaves += n.is_leaf() ? 1 : 0; });
  return leaves;
}

bool same_nodes(const Tree& a, const Tree& b) {
  if (a.root != b.root || a.nodes.size() != b.nodes.size()) return false;
  for (size_t i = 0; i < a.nodes.size(); ++i) {
    const Node& x = a.nodes[i];
    const Node& y = b.nodes[i];
    if (x.kind() != y.kind() || x.feature() != y.feature() || x.leaf_class() != y.leaf_class() ||
        x.n_samples != y.n_samples || x.left() != y.left() || x.right() != y.right() || !(x.pivot == y.pivot) ||
        !(x.gain == y.gain))
      return false;
  }
  return true;
}

TrainingContext noisy(uint64_t n_classes) {
  Rng data(11, 5);
  std::vector<double> values;
  std::vector<ClassIndex> labels;
  for (int i = 0; i < 300; ++i) {
    values.push_back(static_cast<double>(data.below(60)));
    labels.push_back(data.below(n_classes));
  }
  return column_context(values, labels, n_classes);
}

TEST(Prune, ZeroAlphaChangesNothing) {
  const auto ctx = noisy(2);
  const auto rows = all_rows(ctx);
  const Tree grown = grow_full(ctx, rows);
  Tree pruned = grown;
  prune(pruned, ctx, rows, 0.0);
  EXPECT_TRUE(same_nodes(grown, pruned));
}

TEST(Prune, HugeAlphaLeavesTheHeaviestClassAtTheRoot) {
  // Classes 1 and 2 tie for the largest weight: the lower index wins, without a draw.
  const auto ctx = column_context({1, 2, 3, 4, 5, 6, 7}, {1, 2, 0, 2, 1, 2, 1}, 3);
  const auto rows = all_rows(ctx);
  Tree tree = grow_full(ctx, rows);
  const size_t grown_nodes = tree.nodes.size();
  ASSERT_GT(grown_nodes, 1u);
  prune(tree, ctx, rows, std::numeric_limits<double>::max());
  EXPECT_EQ(tree.nodes.size(), grown_nodes);  // pruned nodes stay, unreachable
  const Node& root = tree.nodes[tree.root];
  ASSERT_TRUE(root.is_leaf());
  EXPECT_EQ(root.leaf_class(), 1u);
  EXPECT_EQ(root.n_samples, 7u);
}

TEST(Prune, SplitThatRemovesNoRiskGoesForAnyPositiveAlpha) {
  // Both children hold one row of each class, exactly like the parent: R_l + R_r = R(t).
  const auto ctx = column_context({1, 2, 3, 4}, {0, 1, 0, 1}, 2);
  Tree tree;
  tree.nodes = {Node::make_leaf(1, 2), Node::make_leaf(0, 2), Node::make_split(0, 2.5, 0.0, false, 4, 0, 1)};
  tree.root = 2;
  Tree kept = tree;
  prune(tree, ctx, all_rows(ctx), std::numeric_limits<double>::denorm_min());
  EXPECT_TRUE(tree.nodes[2].is_leaf());
  EXPECT_EQ(tree.nodes[2].leaf_class(), 0u);
  EXPECT_EQ(tree.nodes[2].n_samples, 4u);
  prune(kept, ctx, all_rows(ctx), 0.0);
  EXPECT_FALSE(kept.nodes[2].is_leaf());
}

TEST(Prune, LargerAlphaNeverKeepsMoreLeaves) {
  for (uint64_t n_classes : {2u, 3u}) {
    const auto ctx = noisy(n_classes);
    const auto rows = all_rows(ctx);
    const Tree grown = grow_full(ctx, rows);
    uint64_t previous = reachable_leaves(grown);
    for (double alpha : {1e-6, 1e-4, 1e-3, 3e-3, 1e-2, 3e-2, 1e-1}) {
      Tree tree = grown;
      prune(tree, ctx, rows, alpha);
      const uint64_t leaves = reachable_leaves(tree);
      EXPECT_LE(leaves, previous) << alpha;
      previous = leaves;
      // Pruning twice with the same alpha is a no-op: the single pass already judged each
      // subtree with its pruned descendants.
      Tree again = tree;
      prune(again, ctx, rows, alpha);
      EXPECT_TRUE(same_nodes(tree, again)) << alpha;
    }
    EXPECT_LT(previous, reachable_leaves(grown));
  }
}

}  // namespace
}  // namespace morvel
