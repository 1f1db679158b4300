// Exported tree arrays: compact pre-order, scikit-learn orientation, bin-space thresholds.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "morvel/api.h"
#include "shap_fixtures.h"

namespace morvel::shap::testing {
namespace {

using Ints = std::vector<int64_t>;
using Doubles = std::vector<double>;

// One split stored as depth-first growth leaves it ([left, right, split], root 2), as
// best-first growth leaves it ([split, left, right], root 0), and after pruning left stale
// records behind.
Tree one_split(int layout) {
  Tree t;
  const Node left = Node::make_leaf(1, 4);
  const Node right = Node::make_leaf(0, 6);
  if (layout == 0) {
    t.nodes = {left, right, Node::make_split(1, 2.5, 0.3, true, 10, 0, 1)};
    t.root = 2;
  } else if (layout == 1) {
    t.nodes = {Node::make_split(1, 2.5, 0.3, true, 10, 1, 2), left, right};
    t.root = 0;
  } else {
    t.nodes = {Node::make_leaf(0, 3), Node::make_leaf(1, 1), left,
               Node::make_split(0, 1.0, 0.2, false, 4, 0, 1), right,
               Node::make_split(1, 2.5, 0.3, true, 10, 2, 4)};
    t.root = 5;
  }
  return t;
}

class OneSplit : public ::testing::TestWithParam<int> {};

TEST_P(OneSplit, ChildrenAreSwappedIntoScikitLearnOrientation) {
  const FittedForest forest = make_forest({one_split(GetParam())}, 2, 2);
  const std::vector<ShapTreeArrays> arrays = shap_tree_arrays(forest);
  ASSERT_EQ(arrays.size(), 1u);
  const ShapTreeArrays& a = arrays[0];
  // Compact order [split, left (value > pivot), right]; scikit-learn's left is our right.
  EXPECT_EQ(a.children_left, (Ints{2, -1, -1}));
  EXPECT_EQ(a.children_right, (Ints{1, -1, -1}));
  EXPECT_EQ(a.feature, (Ints{1, -1, -1}));
  EXPECT_EQ(a.threshold, (Doubles{2.5, 0.0, 0.0}));
  EXPECT_EQ(a.cover, (Doubles{10.0, 4.0, 6.0}));
  EXPECT_EQ(a.value, (Doubles{0.0, 0.0, 0.0, 1.0, 1.0, 0.0}));
  // Missing values go to our left, which is scikit-learn's right.
  EXPECT_EQ(a.missing_go_to_left, (Ints{0, 1, 1}));
}

INSTANTIATE_TEST_SUITE_P(Layouts, OneSplit, ::testing::Values(0, 1, 2));

TEST(TreeArrays, BinSpaceThresholdsBecomeEdges) {
  TreeBuilder b;
  const uint64_t l0 = b.leaf(0, 1);
  const uint64_t l1 = b.leaf(1, 1);
  const uint64_t l2 = b.leaf(0, 1);
  const uint64_t l3 = b.leaf(1, 1);
  const uint64_t l4 = b.leaf(0, 1);
  // Bin 1 of feature 1; the last bin (no edge above it); a bin pivot with a fraction.
  const uint64_t past = b.split(0, 2.5, false, l1, l2);
  const uint64_t fraction = b.split(1, 0.5, false, l3, l4);
  const uint64_t inner = b.split(0, 1.0, true, past, fraction);
  const uint64_t root = b.split(1, 1.0, false, l0, inner);
  FittedForest forest = make_forest({b.done(root)}, 2, 2);
  forest.edges = BinEdges{{-4.0, 7.0}, {0.25, 1.5}};
  const ShapTreeArrays a = shap_tree_arrays(forest)[0];
  // Pre-order: root, l0, inner, past, l1, l2, fraction, l3, l4. Leaves report edge 0 of
  // feature 0; bin 2 of feature 0 is past the last edge, so every value goes to
  // scikit-learn's left.
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(a.threshold, (Doubles{1.5, -4.0, 7.0, inf, -4.0, -4.0, 0.25, -4.0, -4.0}));
  EXPECT_EQ(a.missing_go_to_left, (Ints{1, 1, 0, 1, 1, 1, 1, 1, 1}));

  // A feature without edges keeps the pivot, also for leaves.
  forest.edges = BinEdges{{}, {0.25, 1.5}};
  EXPECT_EQ(shap_tree_arrays(forest)[0].threshold,
            (Doubles{1.5, 0.0, 1.0, 2.5, 0.0, 0.0, 0.25, 0.0, 0.0}));
}

}  // namespace
}  // namespace morvel::shap::testing
