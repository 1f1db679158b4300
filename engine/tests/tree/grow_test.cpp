// Tree growth: node layouts of both drivers, stopping rules, the order of Rng draws, leaf
// classes and monotonic bounds.
#include "tree/grow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "fixture.h"
#include "morvel/bin_edges.h"
#include "morvel/errors.h"
#include "tree/routing.h"

namespace morvel {
namespace {

using testing::all_rows;
using testing::column_context;
using testing::dense_context;
using testing::tree_weights;

ForestSettings settings(uint64_t max_features = 1, uint64_t max_depth = 512, uint64_t max_leaves = kNoLeafLimit) {
  ForestSettings s;
  s.max_features = max_features;
  s.max_depth = max_depth;
  s.max_leaves = max_leaves;
  return s;
}

Tree grow(const TrainingContext& ctx, const ForestSettings& s, uint64_t seed = 0, std::vector<RowIndex> rows = {}) {
  if (rows.empty()) rows = all_rows(ctx);
  Rng rng = Rng::for_tree(seed, 0);
  WorkerScratch scratch;
  return grow_tree(ctx, tree_weights(ctx), rows, s, rng, scratch);
}

// The leaf a training row reaches.
const Node& leaf_of(const Tree& tree, const TrainingContext& ctx, uint64_t row) {
  const Node* node = &tree.nodes[tree.root];
  while (!node->is_leaf()) {
    node = &tree.nodes[goes_left(*node, ctx.dense.at(row, node->feature())) ? node->left() : node->right()];
  }
  return *node;
}

uint64_t count_leaves(const Tree& tree) {
  uint64_t leaves = 0;
  walk_preorder(tree, [&](const Node& n) { leaves += n.is_leaf() ? 1 : 0; });
  return leaves;
}

const TrainingContext& separable() {
  static const TrainingContext ctx = column_context({1.0, 2.0, 3.0, 4.0}, {0, 0, 1, 1}, 2);
  return ctx;
}

TEST(Growth, OneSplitLayoutPerMode) {
  const Tree depth_first = grow(separable(), settings());
  ASSERT_EQ(depth_first.nodes.size(), 3u);
  EXPECT_EQ(depth_first.root, 2u);
  const Node& split = depth_first.nodes[2];
  ASSERT_FALSE(split.is_leaf());
  EXPECT_EQ(split.pivot, 2.5);
  EXPECT_EQ(split.n_samples, 4u);
  EXPECT_EQ(split.left(), 0u);
  EXPECT_EQ(split.right(), 1u);
  EXPECT_EQ(depth_first.nodes[0].leaf_class(), 1u);  // values above the pivot
  EXPECT_EQ(depth_first.nodes[1].leaf_class(), 0u);
  EXPECT_EQ(depth_first.nodes[0].n_samples, 2u);

  const Tree best_first = grow(separable(), settings(1, 512, 2));
  ASSERT_EQ(best_first.nodes.size(), 3u);
  EXPECT_EQ(best_first.root, 0u);
  EXPECT_FALSE(best_first.nodes[0].is_leaf());
  EXPECT_EQ(best_first.nodes[0].left(), 1u);
  EXPECT_EQ(best_first.nodes[0].right(), 2u);
  EXPECT_EQ(best_first.nodes[1].leaf_class(), 1u);
  EXPECT_EQ(best_first.nodes[2].leaf_class(), 0u);
}

struct ShapeCase {
  uint64_t max_depth;
  uint64_t max_leaves;
  uint64_t nodes;
};

class Shapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(Shapes, LimitsBoundTheTree) {
  // Eight alternating labels need many splits to become pure.
  const auto ctx = column_context({1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 0, 1, 0, 1, 0, 1}, 2);
  const ShapeCase& c = GetParam();
  const Tree tree = grow(ctx, settings(1, c.max_depth, c.max_leaves));
  EXPECT_EQ(tree.nodes.size(), c.nodes);
  EXPECT_EQ(count_leaves(tree), (c.nodes + 1) / 2);
}

INSTANTIATE_TEST_SUITE_P(Limits, Shapes,
                         ::testing::Values(ShapeCase{0, kNoLeafLimit, 1}, ShapeCase{1, kNoLeafLimit, 3},
                                           ShapeCase{512, kNoLeafLimit, 15}, ShapeCase{0, 5, 1},
                                           ShapeCase{512, 1, 1}, ShapeCase{512, 2, 3}, ShapeCase{512, 3, 5},
                                           ShapeCase{1, 8, 3}));

TEST(Growth, PureRootAndSmallNodesAreLeaves) {
  const auto pure = column_context({1.0, 2.0, 3.0}, {1, 1, 1}, 3);
  const Tree tree = grow(pure, settings());
  ASSERT_EQ(tree.nodes.size(), 1u);
  EXPECT_EQ(tree.nodes[0].leaf_class(), 1u);
  auto ctx = separable();
  ctx.growth.min_samples_split = 5;  // the root has 4 entries
  EXPECT_EQ(grow(ctx, settings()).nodes.size(), 1u);
  ctx.growth.min_samples_split = 4;
  EXPECT_EQ(grow(ctx, settings()).nodes.size(), 3u);
}

TEST(Growth, RepeatedRowsCountInStatsAndSamples) {
  // A bootstrap list may hold a row several times: each listing counts.
  const Tree tree = grow(separable(), settings(), 0, {0, 0, 0, 3});
  ASSERT_EQ(tree.nodes.size(), 3u);
  EXPECT_EQ(tree.nodes[tree.root].n_samples, 4u);
  EXPECT_EQ(tree.nodes[tree.nodes[tree.root].right()].n_samples, 3u);
}

TEST(Growth, EqualGainChildrenSplitLeftFirst) {
  // The root splits at 4.5 into {1, 0, 0, 0} (right) and {1, 1, 1, 0} (left), mirror images
  // whose best splits have the same gain; the third leaf goes to the left child (node 1).
  const auto ctx = column_context({1, 2, 3, 4, 5, 6, 7, 8}, {1, 0, 0, 0, 1, 1, 1, 0}, 2);
  const Tree tree = grow(ctx, settings(1, 512, 3));
  ASSERT_EQ(tree.nodes.size(), 5u);
  EXPECT_EQ(tree.nodes[0].pivot, 4.5);
  EXPECT_FALSE(tree.nodes[1].is_leaf());
  EXPECT_EQ(tree.nodes[1].pivot, 7.5);
  EXPECT_TRUE(tree.nodes[2].is_leaf());
}

TEST(Growth, BestFirstSplitsTheLargerGainAndAgreesWithDepthFirst) {
  // One feature and two classes: neither driver draws anything, so with enough leaves both
  // must grow the same partition of the rows, only stored in another order.
  Rng data(7, 3);
  std::vector<double> values;
  std::vector<ClassIndex> labels;
  for (int i = 0; i < 200; ++i) {
    values.push_back(static_cast<double>(data.below(40)));
    labels.push_back(data.below(3) == 0 ? 1 : 0);
  }
  const auto ctx = column_context(values, labels, 2);
  const Tree full = grow(ctx, settings());
  const Tree best = grow(ctx, settings(1, 512, 1000));
  EXPECT_EQ(count_leaves(full), count_leaves(best));
  for (uint64_t r = 0; r < ctx.n_rows; ++r) {
    const Node& a = leaf_of(full, ctx, r);
    const Node& b = leaf_of(best, ctx, r);
    EXPECT_EQ(a.leaf_class(), b.leaf_class());
    EXPECT_EQ(a.n_samples, b.n_samples);
  }
  // With three leaves, the second split is the root child whose own split has more gain.
  const Tree depth2 = grow(ctx, settings(1, 2));
  const Node& root = depth2.nodes[depth2.root];
  const Node& left = depth2.nodes[root.left()];
  const Node& right = depth2.nodes[root.right()];
  ASSERT_FALSE(left.is_leaf() || right.is_leaf());
  const Tree three = grow(ctx, settings(1, 512, 3));
  ASSERT_EQ(three.nodes.size(), 5u);
  const bool left_wins = left.abs_gain() >= right.abs_gain();
  EXPECT_EQ(three.nodes[1].is_leaf(), !left_wins);
  EXPECT_EQ(three.nodes[2].is_leaf(), left_wins);
}

TEST(Growth, FeatureDrawsWithReplacementFollowTheRng) {
  // Feature 0 is constant, feature 1 separates. One draw per node: the root splits exactly
  // when its first below(2) picks feature 1.
  const auto ctx = dense_context({{5, 1}, {5, 2}, {5, 3}, {5, 4}}, {0, 0, 1, 1}, 2);
  std::set<bool> seen;
  for (uint64_t seed = 0; seed < 16; ++seed) {
    Rng expect = Rng::for_tree(seed, 0);
    const bool splits = expect.below(2) == 1;
    seen.insert(splits);
    EXPECT_EQ(grow(ctx, settings(1), seed).nodes.size(), splits ? 3u : 1u) << seed;
  }
  EXPECT_EQ(seen.size(), 2u);
}

TEST(Growth, EqualGainFeaturesTieByReservoirDraw) {
  // Two identical columns: both draws find the same gain, and the second one wins when the
  // third draw below(2) is 0.
  const auto ctx = dense_context({{1, 1}, {2, 2}, {3, 3}, {4, 4}}, {0, 0, 1, 1}, 2);
  std::set<uint64_t> seen;
  for (uint64_t seed = 0; seed < 16; ++seed) {
    Rng expect = Rng::for_tree(seed, 0);
    const uint64_t first = expect.below(2);
    const uint64_t second = expect.below(2);
    const uint64_t chosen = expect.below(2) == 0 ? second : first;
    seen.insert(chosen);
    const Tree tree = grow(ctx, settings(2), seed);
    EXPECT_EQ(tree.nodes[tree.root].feature(), chosen) << seed;
  }
  EXPECT_EQ(seen.size(), 2u);
}

TEST(Growth, NonFiniteGainIsNotQueued) {
  // A zero W_total makes every gain infinite: best-first keeps the root a leaf, depth-first
  // does not order gains and splits.
  const auto& ctx = separable();
  TreeWeights weights = tree_weights(ctx);
  weights.w_total = 0.0;
  const auto rows = all_rows(ctx);
  for (uint64_t max_leaves : {kNoLeafLimit, uint64_t{4}}) {
    Rng rng = Rng::for_tree(0, 0);
    WorkerScratch scratch;
    const Tree tree = grow_tree(ctx, weights, rows, settings(1, 512, max_leaves), rng, scratch);
    EXPECT_EQ(tree.nodes.size(), max_leaves == kNoLeafLimit ? 3u : 1u);
  }
}

TEST(Growth, MonotonicConstraintRejectsAndClamps) {
  // Class 1 at small values: forbidden under +1, allowed under -1.
  auto ctx = column_context({1.0, 2.0, 3.0, 4.0}, {1, 1, 0, 0}, 2);
  ctx.growth.monotonic_cst = {1};
  EXPECT_EQ(grow(ctx, settings()).nodes.size(), 1u);
  ctx.growth.monotonic_cst = {-1};
  EXPECT_EQ(grow(ctx, settings()).nodes.size(), 3u);
  // Feature 0 (+1) separates right {f0 = 1: p = 0.2} from left {f0 = 2: p = 0.6}, so the
  // right child is bounded to [0, 0.4]. Inside it, free feature 1 isolates the two class-1
  // rows: their leaf's share 1 is clamped to 0.4 and predicts class 0.
  std::vector<std::vector<double>> x;
  std::vector<ClassIndex> y;
  for (int group = 1; group <= 2; ++group) {
    for (int v = 1; v <= 10; ++v) {
      x.push_back({static_cast<double>(group), static_cast<double>(v)});
      y.push_back(group == 1 ? (v >= 9 ? 1 : 0) : (v <= 6 ? 1 : 0));
    }
  }
  auto two = dense_context(x, y, 2);
  const uint64_t top_row = 9;  // f0 = 1, f1 = 10, class 1
  // Find a seed whose draws split the root on feature 0 and its right child on feature 1.
  bool checked = false;
  for (uint64_t seed = 0; seed < 32 && !checked; ++seed) {
    two.growth.monotonic_cst = {1, 0};
    const Tree tree = grow(two, settings(2, 2), seed);
    const Node& root = tree.nodes[tree.root];
    if (root.is_leaf() || root.feature() != 0) continue;
    const Node& right = tree.nodes[root.right()];
    if (right.is_leaf() || right.feature() != 1 || right.pivot != 8.5) continue;
    EXPECT_EQ(leaf_of(tree, two, top_row).leaf_class(), 0u);
    two.growth.monotonic_cst.clear();
    EXPECT_EQ(leaf_of(grow(two, settings(2, 2), seed), two, top_row).leaf_class(), 1u);
    checked = true;
  }
  EXPECT_TRUE(checked);
}

TEST(LeafClass, TwoClassShareClampedIntoBounds) {
  NodeStats stats;
  Rng rng(1, 1);
  stats.class_weight = {2.0, 2.0};
  stats.weight = 4.0;
  EXPECT_EQ(detail::leaf_class(stats, NodeBounds{0.0, 1.0}, rng), 0u);  // p = 0.5 is class 0
  stats.class_weight = {3.0, 7.0};
  stats.weight = 10.0;
  EXPECT_EQ(detail::leaf_class(stats, NodeBounds{0.0, 1.0}, rng), 1u);
  EXPECT_EQ(detail::leaf_class(stats, NodeBounds{0.0, 0.5}, rng), 0u);  // 0.7 clamped to 0.5
  stats.class_weight = {7.0, 3.0};
  EXPECT_EQ(detail::leaf_class(stats, NodeBounds{0.6, 1.0}, rng), 1u);  // 0.3 raised to 0.6
  EXPECT_EQ(rng.state(), Rng(1, 1).state());                          // no draws
}

TEST(LeafClass, InvalidBoundsAreAnInternalError) {
  NodeStats stats;
  Rng rng(1, 1);
  stats.class_weight = {1.0, 1.0};
  stats.weight = 2.0;
  struct Bad {
    NodeBounds bounds;
    const char* message;
  };
  for (const Bad& bad : {Bad{{0.6, 0.5}, "min > max, or either was NaN. min = 0.6, max = 0.5"},
                         Bad{{std::nan(""), 1.0}, "min > max, or either was NaN. min = NaN, max = 1.0"}}) {
    try {
      detail::leaf_class(stats, bad.bounds, rng);
      ADD_FAILURE() << "no error for " << bad.message;
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), bad.message);
    }
  }
}

TEST(LeafClass, HeaviestClassWithReservoirTies) {
  NodeStats stats;
  stats.class_weight = {1.0, 3.0, 3.0};
  stats.weight = 7.0;
  std::set<uint64_t> seen;
  for (uint64_t seed = 0; seed < 16; ++seed) {
    Rng rng(seed, 1);
    Rng expect(seed, 1);
    const uint64_t want = expect.below(2) == 0 ? 2 : 1;
    EXPECT_EQ(detail::leaf_class(stats, NodeBounds{}, rng), want);
    seen.insert(want);
  }
  EXPECT_EQ(seen, (std::set<uint64_t>{1, 2}));
  stats.class_weight = {1.0, 5.0, 3.0};
  Rng rng(5, 1);
  EXPECT_EQ(detail::leaf_class(stats, NodeBounds{}, rng), 1u);
  EXPECT_EQ(rng.state(), Rng(5, 1).state());
  stats.class_weight = {4.0};
  stats.weight = 4.0;
  EXPECT_EQ(detail::leaf_class(stats, NodeBounds{}, rng), 0u);
}

TEST(MonotonicBounds, ChildrenSplitAtTheMidpoint) {
  NodeStats left;
  NodeStats right;
  left.class_weight = {1.0, 4.0};
  left.weight = 5.0;  // p = 0.8
  right.class_weight = {4.0, 1.0};
  right.weight = 5.0;  // p = 0.2
  auto [inc_left, inc_right] = detail::monotonic_child_bounds(NodeBounds{0.0, 1.0}, 1, left, right);
  EXPECT_EQ(inc_left.lower, 0.5);
  EXPECT_EQ(inc_left.upper, 1.0);
  EXPECT_EQ(inc_right.lower, 0.0);
  EXPECT_EQ(inc_right.upper, 0.5);
  auto [dec_left, dec_right] = detail::monotonic_child_bounds(NodeBounds{0.1, 0.9}, -1, left, right);
  EXPECT_EQ(dec_left.lower, 0.1);
  EXPECT_EQ(dec_left.upper, 0.5);
  EXPECT_EQ(dec_right.lower, 0.5);
  EXPECT_EQ(dec_right.upper, 0.9);
  auto [free_left, free_right] = detail::monotonic_child_bounds(NodeBounds{0.1, 0.9}, 0, left, right);
  EXPECT_EQ(free_left.lower, 0.1);
  EXPECT_EQ(free_right.upper, 0.9);
  // A weightless left child stands in with the parent's lower bound: mid = (0.1 + 0.2) * 0.5.
  NodeStats empty;
  empty.class_weight = {0.0, 0.0};
  auto [l, r] = detail::monotonic_child_bounds(NodeBounds{0.1, 0.9}, 1, empty, right);
  EXPECT_EQ(l.lower, (0.1 + 0.2) * 0.5);
  EXPECT_EQ(r.upper, (0.1 + 0.2) * 0.5);
}

TEST(Partition, InPlaceMatchesListsAndKeepsOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto ctx = column_context({3.0, nan, 1.0, 2.0, nan, 5.0, 2.0}, {0, 0, 0, 0, 0, 0, 0}, 1);
  for (bool missing_left : {false, true}) {
    const Node split = Node::make_split(0, 2.0, 0.0, missing_left, 7, 0, 0);
    std::vector<RowIndex> rows = {6, 5, 4, 3, 2, 1, 0, 5};
    std::vector<RowIndex> left;
    std::vector<RowIndex> right;
    partition_rows(ctx, split, rows, left, right);
    const std::vector<RowIndex> want_left =
        missing_left ? std::vector<RowIndex>{5, 4, 1, 0, 5} : std::vector<RowIndex>{5, 0, 5};
    EXPECT_EQ(left, want_left);
    RowBuffer spill;
    const uint64_t k = partition_in_place(ctx, split, rows, spill);
    EXPECT_EQ(std::vector<RowIndex>(rows.begin(), rows.begin() + k), left);
    EXPECT_EQ(std::vector<RowIndex>(rows.begin() + k, rows.end()), right);
  }
}

TEST(Partition, BinnedBytesRouteAsTheRouterAtEveryNodeSize) {
  // Two features of 20 bins plus the missing bin; both byte layouts; nodes below, at and
  // above 256 entries (small nodes route row by row, larger ones through a byte table).
  const uint64_t n_rows = 600;
  for (const bool feature_major : {false, true}) {
    TrainingContext ctx = column_context(std::vector<double>(n_rows, 0.0), std::vector<ClassIndex>(n_rows, 0), 1);
    BinnedMatrix bm;
    bm.n_rows = n_rows;
    bm.n_features = 2;
    bm.edges = BinEdges(2, std::vector<double>(19, 0.0));
    bm.feature_major = feature_major;
    bm.has_missing = true;
    bm.bins.resize(2 * n_rows);
    const uint8_t missing = missing_bin(19);
    for (uint64_t r = 0; r < n_rows; ++r) {
      for (uint64_t f = 0; f < 2; ++f) {
        const uint8_t b = (r * 7 + f * 3) % 11 == 0 ? missing : static_cast<uint8_t>((r * 13 + f) % 20);
        bm.bins[feature_major ? f * n_rows + r : r * 2 + f] = b;
      }
    }
    ctx.binned = bm;
    const BinnedRouter router{&*ctx.binned};
    for (const uint64_t length : {uint64_t{5}, uint64_t{255}, uint64_t{256}, uint64_t{600}}) {
      for (const bool missing_left : {false, true}) {
        for (const double pivot : {-0.5, 0.0, 6.5, 7.0, 19.0, 25.0, 254.5, std::nan("")}) {
          const Node split = Node::make_split(1, pivot, 0.0, missing_left, length, 0, 0);
          std::vector<RowIndex> rows;
          for (uint64_t i = 0; i < length; ++i) rows.push_back((i * 37) % n_rows);
          std::vector<RowIndex> want_left;
          std::vector<RowIndex> want_right;
          for (const uint64_t row : rows) (router.left(split, row) ? want_left : want_right).push_back(row);
          // The labelled form moves each entry's label with its row, and routes alike.
          RowBuffer labelled(rows.begin(), rows.end());
          RowBuffer labels;
          for (const RowIndex row : rows) labels.push_back(row * 3 + 1);
          RowBuffer spill;
          RowBuffer label_spill;
          const uint64_t k = partition_in_place(ctx, split, rows, spill);
          EXPECT_EQ(std::vector<RowIndex>(rows.begin(), rows.begin() + k), want_left) << length << " " << pivot;
          EXPECT_EQ(std::vector<RowIndex>(rows.begin() + k, rows.end()), want_right) << length << " " << pivot;
          EXPECT_EQ(partition_in_place(ctx, split, labelled, spill, labels, label_spill), k);
          EXPECT_TRUE(std::equal(labelled.begin(), labelled.end(), rows.begin())) << length << " " << pivot;
          for (uint64_t i = 0; i < length; ++i) ASSERT_EQ(labels[i], labelled[i] * 3 + 1);
        }
      }
    }
  }
}

TEST(NodeStats, HeldLabelCountsEqualTheListWalk) {
  // Class counts of held labels against compute_node_stats on unit weights, bit for bit:
  // two classes, the vectorised and the small-node counts, and more classes than have copies.
  std::mt19937_64 gen(7);
  for (const uint64_t n_classes : {uint64_t{1}, uint64_t{2}, uint64_t{3}, uint64_t{5}, uint64_t{8}, uint64_t{11}}) {
    for (const uint64_t n : {uint64_t{1}, uint64_t{47}, uint64_t{48}, uint64_t{333}}) {
      std::vector<ClassIndex> y(n);
      for (ClassIndex& c : y) c = static_cast<ClassIndex>(gen() % n_classes);
      const TrainingContext ctx = column_context(std::vector<double>(n, 0.0), y, n_classes);
      TreeWeights weights = tree_weights(ctx);
      weights.unit = true;
      NodeStats want;
      compute_node_stats(ctx, weights, all_rows(ctx), false, want);
      NodeStats got;
      count_node_classes(y, ctx.growth.criterion, n_classes, got);
      ASSERT_EQ(got.class_weight.size(), n_classes);
      for (uint64_t c = 0; c < n_classes; ++c) {
        EXPECT_EQ(std::bit_cast<uint64_t>(got.class_weight[c]), std::bit_cast<uint64_t>(want.class_weight[c]));
      }
      EXPECT_EQ(std::bit_cast<uint64_t>(got.weight), std::bit_cast<uint64_t>(want.weight));
      EXPECT_EQ(got.entry_labels(n), y.data());
    }
  }
}

TEST(Partition, KeptValuesRouteAsTheMatrix) {
  // The partition that reads the winning search's values in list order instead of the matrix:
  // repeated rows, signed zeros, values on the pivot, and with NaN the missing direction.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const uint64_t n_rows = 300;
  for (const bool has_missing : {false, true}) {
    std::vector<double> values(n_rows);
    for (uint64_t r = 0; r < n_rows; ++r) {
      values[r] = r % 11 == 0 ? -0.0 : static_cast<double>((r * 37) % 23) * 0.5 - 3.0;
      if (has_missing && r % 7 == 3) values[r] = nan;
    }
    const auto ctx = column_context(values, std::vector<ClassIndex>(n_rows, 0), 1);
    ASSERT_EQ(ctx.has_missing, has_missing);
    for (const uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{17}, uint64_t{300}, uint64_t{450}}) {
      for (const bool missing_left : {false, true}) {
        for (const double pivot : {-3.5, -0.0, 0.0, 2.5, 8.0}) {
          const Node split = Node::make_split(0, pivot, 0.0, missing_left, length, 0, 0);
          std::vector<RowIndex> rows;
          for (uint64_t i = 0; i < length; ++i) rows.push_back(static_cast<RowIndex>((i * 53 + 5) % n_rows));
          std::vector<RowIndex> expected = rows;
          std::vector<double> kept;
          for (const RowIndex row : rows) kept.push_back(values[row]);
          RowBuffer spill;
          const uint64_t want = partition_in_place(ctx, split, expected, spill);
          const uint64_t k = partition_by_values(ctx, split, kept, rows, spill);
          EXPECT_EQ(k, want) << length << " " << pivot;
          EXPECT_EQ(rows, expected) << length << " " << pivot;
        }
      }
    }
  }
}

TEST(Partition, KeptBinsRouteAsTheRouter) {
  // The partition that reads the winning search's bins instead of the matrix: every list
  // length around the 16-entry blocks, pivots below, between, on and above the bins, with and
  // without missing bytes.
  const uint64_t n_rows = 700;
  for (const bool has_missing : {false, true}) {
    TrainingContext ctx = column_context(std::vector<double>(n_rows, 0.0), std::vector<ClassIndex>(n_rows, 0), 1);
    BinnedMatrix bm;
    bm.n_rows = n_rows;
    bm.n_features = 2;
    bm.edges = BinEdges(2, std::vector<double>(253, 0.0));
    bm.feature_major = true;
    bm.has_missing = has_missing;
    bm.bins.resize(2 * n_rows);
    const uint8_t missing = missing_bin(253);
    for (uint64_t r = 0; r < n_rows; ++r) {
      for (uint64_t f = 0; f < 2; ++f) {
        const bool gone = has_missing && (r * 5 + f) % 9 == 0;
        bm.bins[f * n_rows + r] = gone ? missing : static_cast<uint8_t>((r * 131 + f * 17) % 254);
      }
    }
    ctx.binned = bm;
    const BinnedRouter router{&*ctx.binned};
    for (const uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{15}, uint64_t{16}, uint64_t{17}, uint64_t{47},
                                  uint64_t{48}, uint64_t{700}}) {
      for (const bool missing_left : {false, true}) {
        for (const double pivot : {-0.25, 0.0, 0.5, 99.0, 99.75, 253.0, 253.5, 254.0, 255.0, 300.0}) {
          const Node split = Node::make_split(1, pivot, 0.0, missing_left, length, 0, 0);
          std::vector<RowIndex> rows;
          for (uint64_t i = 0; i < length; ++i) rows.push_back(static_cast<RowIndex>((i * 37 + 11) % n_rows));
          std::vector<uint8_t> bins;
          std::vector<RowIndex> want_left;
          std::vector<RowIndex> want_right;
          for (const RowIndex row : rows) {
            bins.push_back(ctx.binned->at(row, 1));
            (router.left(split, row) ? want_left : want_right).push_back(row);
          }
          RowBuffer spill;
          const uint64_t k = partition_by_bins(ctx, split, bins, rows, spill);
          EXPECT_EQ(std::vector<RowIndex>(rows.begin(), rows.begin() + k), want_left) << length << " " << pivot;
          EXPECT_EQ(std::vector<RowIndex>(rows.begin() + k, rows.end()), want_right) << length << " " << pivot;
        }
      }
    }
  }
}

// A binned context for extra trees: `n_features` features of up to 40 bins, some bytes
// missing, feature-major with its row-major copy (as the fit driver prepares it).
TrainingContext binned_extra_context(uint64_t n_rows, uint64_t n_features, uint64_t n_classes, uint64_t seed) {
  Rng rng(seed, 3);
  std::vector<ClassIndex> y(n_rows);
  std::vector<uint8_t> row_major(n_rows * n_features);
  const uint8_t missing = missing_bin(39);
  for (uint64_t r = 0; r < n_rows; ++r) {
    const uint64_t c = rng.below(n_classes);
    y[r] = static_cast<ClassIndex>(c);
    for (uint64_t f = 0; f < n_features; ++f) {
      // Informative for low features, noise above; every seventh feature nearly constant.
      const uint64_t base = f < 2 ? c * 9 + rng.below(12) : rng.below(40);
      uint8_t b = static_cast<uint8_t>(std::min<uint64_t>(base, 39));
      if (f % 7 == 6) b = rng.below(50) == 0 ? 1 : 0;
      if (rng.below(23) == 0) b = missing;
      row_major[r * n_features + f] = b;
    }
  }
  TrainingContext ctx = column_context(std::vector<double>(n_rows, 0.0), y, n_classes);
  ctx.n_features = n_features;
  ctx.candidates.resize(n_features);
  for (uint64_t f = 0; f < n_features; ++f) ctx.candidates[f] = f;
  BinnedMatrix bm;
  bm.n_rows = n_rows;
  bm.n_features = n_features;
  bm.edges = BinEdges(n_features, std::vector<double>(39, 0.0));
  bm.has_missing = true;
  bm.feature_major = true;
  bm.bins.resize(n_rows * n_features);
  for (uint64_t r = 0; r < n_rows; ++r)
    for (uint64_t f = 0; f < n_features; ++f) bm.bins[f * n_rows + r] = row_major[r * n_features + f];
  bm.row_major_copy = row_major;
  ctx.binned = std::move(bm);
  ctx.growth.extra_trees = true;
  return ctx;
}

// Trees equal node for node, bits of pivots and gains included.
void expect_same_tree(const Tree& a, const Tree& b) {
  ASSERT_EQ(a.nodes.size(), b.nodes.size());
  EXPECT_EQ(a.root, b.root);
  for (size_t i = 0; i < a.nodes.size(); ++i) {
    const Node& x = a.nodes[i];
    const Node& y = b.nodes[i];
    ASSERT_EQ(x.is_leaf(), y.is_leaf()) << i;
    EXPECT_EQ(x.n_samples, y.n_samples) << i;
    if (x.is_leaf()) {
      EXPECT_EQ(x.leaf_class(), y.leaf_class()) << i;
      continue;
    }
    EXPECT_EQ(x.feature(), y.feature()) << i;
    EXPECT_EQ(std::bit_cast<uint64_t>(x.pivot), std::bit_cast<uint64_t>(y.pivot)) << i;
    EXPECT_EQ(std::bit_cast<uint64_t>(x.gain), std::bit_cast<uint64_t>(y.gain)) << i;
    EXPECT_EQ(x.left(), y.left()) << i;
    EXPECT_EQ(x.right(), y.right()) << i;
  }
}

// Growth variants of the byte-weight tests: the validity rules, entropy, and (two classes)
// monotonic constraints.
struct ByteVariant {
  Criterion criterion = Criterion::Gini;
  uint64_t min_samples_leaf = 1;
  double min_leaf_weight = 0.0;
  double min_impurity_decrease = 0.0;
  bool monotonic = false;
};
const ByteVariant kByteVariants[] = {{},
                                     {Criterion::Entropy},
                                     {Criterion::Gini, 3, 4.0},
                                     {Criterion::Gini, 1, 0.0, 2e-3},
                                     {Criterion::Gini, 1, 0.0, 0.0, true}};

// Bag weights of whole draw counts up to 3 (every 97th row 255) and the same weights times
// 256, with the bag of rows drawn at least once and both totals in list order.
struct ByteBag {
  std::vector<double> counts;
  std::vector<double> scaled;
  std::vector<RowIndex> bag;
  double total = -0.0;
  double scaled_total = -0.0;
};

ByteBag draw_byte_bag(uint64_t n_rows, Rng& draws) {
  ByteBag out;
  out.counts.resize(n_rows);
  for (uint64_t r = 0; r < n_rows; ++r) {
    out.counts[r] = static_cast<double>(draws.below(4));
    if (r % 97 == 0) out.counts[r] = 255.0;
    if (out.counts[r] > 0.0) out.bag.push_back(static_cast<RowIndex>(r));
  }
  out.scaled = out.counts;
  for (double& w : out.scaled) w *= 256.0;
  for (const RowIndex r : out.bag) {
    out.total += out.counts[r];
    out.scaled_total += out.scaled[r];
  }
  return out;
}

TEST(Growth, BinnedExtraTreesOnByteWeightsMatchScaledWeights) {
  // Weights of at most 255 take the byte form of the binned extra-trees search (per-row byte
  // tags, row-major gathers at small nodes, partitions from the kept bins, subtrees rebased
  // onto copies of their rows' lines). The same weights
  // times 256 are whole but not bytes, so the tree grows through the per-bin table (two
  // classes) or the general search; scaling every weight by a power of two leaves every
  // impurity, improvement and gain bit for bit as it was, so the trees must be identical.
  // Small nodes are searched whole (search_whole_byte_node), with their own scoring under
  // gini, and their subtrees are grown over entry masks with bins transposed in groups of 16
  // features (two to eight classes); the growth variants reach the validity rules and the
  // entropy form, and 37 features several feature groups and rows whose lines end the copy.
  const auto& variants = kByteVariants;
  for (const ByteVariant& variant : variants) {
  for (const uint64_t n_classes : {uint64_t{2}, uint64_t{3}, uint64_t{5}, uint64_t{10}}) {
    if (variant.monotonic && n_classes != 2) continue;
    for (const uint64_t n_rows : {uint64_t{1500}, uint64_t{12000}}) {
    for (const uint64_t n_features : {uint64_t{9}, uint64_t{37}}) {
      if (n_features != 9 && &variant != &variants[0]) continue;
      TrainingContext ctx = binned_extra_context(n_rows, n_features, n_classes, n_classes * 31 + n_rows);
      ctx.growth.criterion = variant.criterion;
      ctx.growth.min_samples_leaf = variant.min_samples_leaf;
      ctx.growth.min_impurity_decrease = variant.min_impurity_decrease;
      if (variant.monotonic) ctx.growth.monotonic_cst = {1, -1, 0, 0, 1, 0, 0, -1, 0};
      Rng draws(n_rows, n_classes);
      const ByteBag byte_bag = draw_byte_bag(n_rows, draws);
      const std::vector<double>& counts = byte_bag.counts;
      const std::vector<double>& scaled = byte_bag.scaled;
      const std::vector<RowIndex>& bag = byte_bag.bag;
      const double total = byte_bag.total;
      const double scaled_total = byte_bag.scaled_total;
      for (const uint64_t max_leaves : {kNoLeafLimit, uint64_t{60}}) {
        const ForestSettings s = settings(3, 512, max_leaves);
        Rng rng_bytes = Rng::for_tree(7, n_classes);
        Rng rng_table = Rng::for_tree(7, n_classes);
        WorkerScratch scratch_bytes;
        WorkerScratch scratch_table;
        const Tree bytes = grow_tree(ctx, TreeWeights{counts, total, variant.min_leaf_weight}, bag, s, rng_bytes,
                                     scratch_bytes);
        ASSERT_EQ(scratch_bytes.extra.plan.stats, ExtraStats::EntryBytes) << "byte weights take the byte form";
        const Tree table = grow_tree(ctx, TreeWeights{scaled, scaled_total, variant.min_leaf_weight * 256.0}, bag, s,
                                     rng_table, scratch_table);
        ASSERT_NE(scratch_table.extra.plan.stats, ExtraStats::EntryBytes);
        ASSERT_GT(bytes.nodes.size(), 20u);
        ASSERT_NO_FATAL_FAILURE(expect_same_tree(bytes, table)) << n_classes << " classes, " << n_rows << " rows";
        EXPECT_EQ(rng_bytes.state(), rng_table.state());
      }
    }
    }
  }
  }
}

TEST(Growth, RawExtraTreesOnByteWeightsMatchScaledWeights) {
  // Raw values with byte weights grow through class planes and lane nodes (two to eight
  // classes), whose partitions read the winners' kept values; the same weights times 256 are
  // whole but not bytes and take the tagged-row or general searches. Scaling every weight by a
  // power of two changes no impurity, improvement or gain, so the trees must be identical,
  // under both growth modes, the validity rules, entropy and (two classes) constraints. Both
  // trees grow on one worker's scratch, the byte tree first.
  const auto& variants = kByteVariants;
  const uint64_t n_rows = 3000;
  const uint64_t n_features = 6;
  for (const ByteVariant& variant : variants) {
    for (const uint64_t n_classes : {uint64_t{2}, uint64_t{3}, uint64_t{5}, uint64_t{8}, uint64_t{10}}) {
      if (variant.monotonic && n_classes != 2) continue;
      Rng draws(n_classes, 77);
      std::vector<std::vector<double>> x(n_rows, std::vector<double>(n_features));
      std::vector<ClassIndex> y(n_rows);
      for (uint64_t r = 0; r < n_rows; ++r) {
        y[r] = static_cast<ClassIndex>(draws.below(n_classes));
        for (uint64_t f = 0; f < n_features; ++f) {
          // Informative low features, ties and signed zeros, a constant feature.
          const double noise = static_cast<double>(draws.below(f == 1 ? 4 : 1000)) * 0.01;
          x[r][f] = f == 0 ? static_cast<double>(y[r]) + noise : f == 2 ? 1.5 : f == 3 && noise < 0.5 ? -0.0 : noise;
        }
      }
      TrainingContext ctx = dense_context(x, y, n_classes);
      ctx.growth.extra_trees = true;
      ctx.growth.criterion = variant.criterion;
      ctx.growth.min_samples_leaf = variant.min_samples_leaf;
      ctx.growth.min_impurity_decrease = variant.min_impurity_decrease;
      if (variant.monotonic) ctx.growth.monotonic_cst = {1, -1, 0, 0, 1, 0};
      const ByteBag byte_bag = draw_byte_bag(n_rows, draws);
      const std::vector<double>& counts = byte_bag.counts;
      const std::vector<double>& scaled = byte_bag.scaled;
      const std::vector<RowIndex>& bag = byte_bag.bag;
      const double total = byte_bag.total;
      const double scaled_total = byte_bag.scaled_total;
      for (const uint64_t max_leaves : {kNoLeafLimit, uint64_t{60}}) {
        const ForestSettings s = settings(2, 512, max_leaves);
        Rng rng_bytes = Rng::for_tree(9, n_classes);
        Rng rng_scaled = Rng::for_tree(9, n_classes);
        WorkerScratch scratch;
        const Tree bytes =
            grow_tree(ctx, TreeWeights{counts, total, variant.min_leaf_weight}, bag, s, rng_bytes, scratch);
        EXPECT_EQ(scratch.extra.plan.stats == ExtraStats::ClassLanes, n_classes <= 8);
        const Tree table = grow_tree(ctx, TreeWeights{scaled, scaled_total, variant.min_leaf_weight * 256.0}, bag, s,
                                     rng_scaled, scratch);
        ASSERT_GT(bytes.nodes.size(), 20u);
        ASSERT_NO_FATAL_FAILURE(expect_same_tree(bytes, table)) << n_classes << " classes";
        EXPECT_EQ(rng_bytes.state(), rng_scaled.state());
      }
    }
  }
}

TEST(Growth, EveryExtraRouteMatchesThePerFeatureDispatch) {
  // A fit profile counts every search, so a profiled tree takes the per-feature dispatch of
  // search_extra at every node; without one, the plan routes nodes to whole-node searches and
  // small subtrees, prepared bytes with batch gathers and rebased subtrees (binned values), or
  // lane nodes (raw values). Both must grow the same tree, draw for draw.
  const uint64_t n_rows = 4000;
  const uint64_t n_features = 9;
  for (const bool binned : {true, false}) {
    for (const uint64_t n_classes : {uint64_t{2}, uint64_t{5}}) {
      TrainingContext ctx = binned_extra_context(n_rows, n_features, n_classes, n_classes * 7 + 1);
      if (!binned) {
        // The same bins as raw values, none missing: class planes and lane nodes.
        std::vector<std::vector<double>> x(n_rows, std::vector<double>(n_features));
        for (uint64_t r = 0; r < n_rows; ++r) {
          for (uint64_t f = 0; f < n_features; ++f) {
            const uint8_t b = ctx.binned->bins[f * n_rows + r];
            x[r][f] = b == missing_bin(39) ? 0.5 : static_cast<double>(b);
          }
        }
        const std::vector<ClassIndex> y(ctx.labels.begin(), ctx.labels.end());
        ctx = dense_context(x, y, n_classes);
        ctx.growth.extra_trees = true;
      }
      Rng draws(n_classes, 5);
      const ByteBag byte_bag = draw_byte_bag(n_rows, draws);
      const TreeWeights weights{byte_bag.counts, byte_bag.total, 0.0};
      for (const uint64_t max_leaves : {kNoLeafLimit, uint64_t{60}}) {
        const ForestSettings s = settings(3, 512, max_leaves);
        Rng routed_rng = Rng::for_tree(3, n_classes);
        Rng dispatched_rng = Rng::for_tree(3, n_classes);
        WorkerScratch routed_scratch;
        WorkerScratch dispatched_scratch;
        ctx.profile = nullptr;
        const Tree routed = grow_tree(ctx, weights, byte_bag.bag, s, routed_rng, routed_scratch);
        ctx.profile = std::make_shared<ProfileCounters>();
        const Tree dispatched = grow_tree(ctx, weights, byte_bag.bag, s, dispatched_rng, dispatched_scratch);
        ASSERT_GT(routed.nodes.size(), 20u);
        ASSERT_NO_FATAL_FAILURE(expect_same_tree(routed, dispatched)) << binned << " " << n_classes << " classes";
        EXPECT_EQ(routed_rng.state(), dispatched_rng.state());
      }
    }
  }
}

TEST(Growth, KeptValuesDoNotOutliveTheirTree) {
  // A lane-node tree whose last search is its root keeps that root's values. The next tree on
  // the same worker has other rows behind the same index segment and no byte weights (so no
  // lane search replaces the kept values): its root must be partitioned by its own rows.
  const TrainingContext ctx = column_context({0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 1.0, 1.0}, {0, 0, 0, 0, 1, 1, 1, 1}, 2);
  ASSERT_FALSE(ctx.has_missing);
  TrainingContext extra = ctx;
  extra.growth.extra_trees = true;
  const ForestSettings s = settings(1);
  const std::vector<RowIndex> first{0, 1, 2, 3, 4, 5, 6, 7};
  const std::vector<RowIndex> second{7, 6, 5, 4, 3, 2, 1, 0};
  const std::vector<double> halves(8, 0.5);
  WorkerScratch shared;
  Rng rng = Rng::for_tree(3, 0);
  const Tree lanes = grow_tree(extra, tree_weights(extra), first, s, rng, shared);
  ASSERT_EQ(shared.extra.plan.stats, ExtraStats::ClassLanes);
  ASSERT_EQ(lanes.nodes.size(), 3u);
  Rng rng_shared = Rng::for_tree(4, 0);
  Rng rng_fresh = Rng::for_tree(4, 0);
  WorkerScratch fresh;
  const Tree after = grow_tree(extra, TreeWeights{halves, 4.0, 0.0}, second, s, rng_shared, shared);
  const Tree alone = grow_tree(extra, TreeWeights{halves, 4.0, 0.0}, second, s, rng_fresh, fresh);
  ASSERT_NO_FATAL_FAILURE(expect_same_tree(after, alone));
  ASSERT_EQ(after.nodes.size(), 3u);
  // Each leaf holds one class: values above the pivot (1.0, class 1) go left.
  const Node& root = after.nodes[after.root];
  EXPECT_EQ(after.nodes[root.left()].leaf_class(), 1u);
  EXPECT_EQ(after.nodes[root.right()].leaf_class(), 0u);
}

TEST(PoolDraws, SameDrawsAsTheRng) {
  // Every pool size up to 300, drawn down to one item, against Rng::draw_without_replacement:
  // the same items in the same order and the same words consumed.
  detail::PoolDraws draws;
  draws.prepare(300);
  for (uint64_t size = 1; size <= 300; ++size) {
    std::vector<uint64_t> pool_a(size);
    for (uint64_t i = 0; i < size; ++i) pool_a[i] = i;
    std::vector<uint64_t> pool_b = pool_a;
    Rng rng_a(size, 9);
    Rng rng_b(size, 9);
    for (uint64_t available = size; available > 0; --available) {
      ASSERT_EQ(draws.draw(rng_a, std::span<uint64_t>(pool_a), available),
                rng_b.draw_without_replacement(std::span<uint64_t>(pool_b), available))
          << size << " " << available;
    }
    EXPECT_EQ(pool_a, pool_b);
    EXPECT_EQ(rng_a.state(), rng_b.state());
  }
  // Large sizes, where the rejection threshold is far from zero.
  const uint64_t big = (uint64_t{1} << 31) + 12345;
  Rng rng(5, 5);
  for (int i = 0; i < 2000; ++i) {
    const uint64_t a = big - static_cast<uint64_t>(i) * 997;
    const uint64_t threshold = (0 - a) % a;
    const uint64_t magic = ~uint64_t{0} / a + 1;
    const uint64_t v = rng.next_u32();
    EXPECT_EQ(static_cast<uint64_t>((static_cast<unsigned __int128>(magic * v) * a) >> 64), v % a) << a << " " << v;
    EXPECT_LT(threshold, a);
  }
}

}  // namespace
}  // namespace morvel
