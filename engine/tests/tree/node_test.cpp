// Node records pack the kind with the feature or class and hold 32-bit child positions; every
// value a fit can produce must read back whole.
#include <gtest/gtest.h>

#include "morvel/tree.h"

namespace morvel {
namespace {

TEST(Node, FieldsReadBackWhole) {
  const uint64_t feature = (uint64_t{1} << 62) + 5;
  const uint64_t count = (uint64_t{1} << 40) + 3;  // more draws than 32 bits count
  const Node split = Node::make_split(feature, 2.5, 0.75, true, count, Node::kMaxNodes - 1, Node::kMaxNodes - 2);
  EXPECT_EQ(split.kind(), NodeKind::Split);
  EXPECT_EQ(split.feature(), feature);
  EXPECT_EQ(split.leaf_class(), 0u);
  EXPECT_EQ(split.n_samples, count);
  EXPECT_EQ(split.left(), Node::kMaxNodes - 1);
  EXPECT_EQ(split.right(), Node::kMaxNodes - 2);
  EXPECT_TRUE(split.missing_left());
  EXPECT_EQ(split.abs_gain(), 0.75);

  const uint64_t klass = (uint64_t{1} << 32) - 1;
  for (const Node& leaf : {Node::make_leaf(klass, count), Node::make_leaf(0, 1), Node{}}) {
    EXPECT_EQ(leaf.kind(), NodeKind::Leaf);
    EXPECT_EQ(leaf.feature(), 0u);
    EXPECT_EQ(leaf.left(), 0u);
    EXPECT_EQ(leaf.right(), 0u);
  }
  EXPECT_EQ(Node::make_leaf(klass, count).leaf_class(), klass);
  EXPECT_EQ(Node::make_leaf(klass, count).n_samples, count);
  EXPECT_EQ(Node{}.leaf_class(), 0u);
}

}  // namespace
}  // namespace morvel
