// Importance vectors from stored trees, and the permutation pass against a brute-force
// oracle (replace the feature's value by the donor's and re-predict).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "forest/permutation.h"
#include "forest_fixtures.h"
#include "morvel/api.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

using testing::add_leaf;
using testing::add_split;
using testing::forest_of;
using testing::stump;

// Splits once on feature 0 (gain 4) and three times on feature 1 (gains 1, 2, 3), with a
// pruned-away split on feature 2 left in the node vector, unreachable.
Tree mixed_tree() {
  Tree t;
  const uint64_t a = add_leaf(t, 0);
  const uint64_t b = add_leaf(t, 1);
  const uint64_t unreachable = add_split(t, 2, 0.0, 6.0, false, a, b);
  t.nodes[unreachable] = Node::make_split(2, 0.0, 6.0, false, 2, a, b);
  const uint64_t s1 = add_split(t, 1, 0.0, 1.0, true, a, b);
  const uint64_t s2 = add_split(t, 1, 1.0, 2.0, false, s1, add_leaf(t, 0));
  const uint64_t s3 = add_split(t, 1, 2.0, 3.0, true, add_leaf(t, 1), add_leaf(t, 0));
  t.root = add_split(t, 0, 0.0, 4.0, false, s2, s3);
  return t;
}

TEST(Importances, SplitCountsGainsAndPerTreeShares) {
  Tree single;
  add_leaf(single, 1);
  const FittedForest forest = forest_of({mixed_tree(), single, stump(2, 0.0, 0, 1, false, 2.0)}, 4, 2);

  // Reachable splits: f0 once, f1 three times, f2 once (last tree).
  const std::vector<double> counts = feature_importances(forest);
  EXPECT_EQ(counts, (std::vector<double>{0.2, 0.6, 0.2, 0.0}));

  // Gains: f0 4, f1 6, f2 2 (the unreachable 6 is ignored).
  const std::vector<double> gains = gain_importances(forest);
  EXPECT_EQ(gains, (std::vector<double>{4.0 / 12.0, 6.0 / 12.0, 2.0 / 12.0, 0.0}));

  // Per tree over all records: tree 0 {4, 6, 6}/16, tree 2 {0, 0, 2}/2, the leaf adds nothing.
  const std::vector<double> per_tree = tree_normalized_gain_importances(forest);
  const double acc[3] = {4.0 / 16.0, 6.0 / 16.0, 6.0 / 16.0 + 1.0};
  const double t = acc[0] + acc[1] + acc[2];
  EXPECT_EQ(per_tree, (std::vector<double>{acc[0] / t, acc[1] / t, acc[2] / t, 0.0}));
}

TEST(Importances, ShareOfSplitsIgnoresGain) {
  // Each tree splits once on feature 0 and three times on feature 1.
  Tree t;
  const uint64_t l1 = add_split(t, 1, 0.0, 100.0, false, add_leaf(t, 0), add_leaf(t, 1));
  const uint64_t l2 = add_split(t, 1, 0.0, 0.0, true, add_leaf(t, 0), add_leaf(t, 1));
  const uint64_t l3 = add_split(t, 1, 1.0, 5.0, false, l1, l2);
  t.root = add_split(t, 0, 0.0, 0.001, false, l3, add_leaf(t, 0));
  EXPECT_EQ(feature_importances(forest_of({t, t}, 2, 2)), (std::vector<double>{0.25, 0.75}));
}

TEST(Importances, LeafOnlyForestIsAllZero) {
  Tree leaf;
  add_leaf(leaf, 0);
  const FittedForest forest = forest_of({leaf, leaf}, 3, 2);
  const std::vector<double> zeros(3, 0.0);
  EXPECT_EQ(feature_importances(forest), zeros);
  EXPECT_EQ(gain_importances(forest), zeros);
  EXPECT_EQ(tree_normalized_gain_importances(forest), zeros);
  EXPECT_EQ(permutation_importances(forest), zeros);
}

TEST(Importances, PermutationMeansAverageOverAllTrees) {
  FittedForest forest = forest_of({stump(0, 0, 0, 1), stump(0, 0, 0, 1), stump(0, 0, 0, 1), stump(0, 0, 0, 1)}, 3, 2);
  forest.result.permutation_stats.emplace();
  (*forest.result.permutation_stats)[0] = {2, 0.3};
  (*forest.result.permutation_stats)[2] = {4, -0.125};
  EXPECT_EQ(permutation_importances(forest), (std::vector<double>{(2.0 / 4.0) * 0.3, 0.0, -0.125}));

  (*forest.result.permutation_stats)[1] = {5, 0.1};
  try {
    permutation_importances(forest);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "assertion failed: count >= self.n");
  }
}

// ---- permutation pass -------------------------------------------------------------------

uint64_t route(const Tree& tree, const std::vector<double>& row) {
  uint64_t at = tree.root;
  while (!tree.nodes[at].is_leaf()) {
    const Node& n = tree.nodes[at];
    at = goes_left(n, row[n.feature()]) ? n.left() : n.right();
  }
  return tree.nodes[at].leaf_class();
}

// Features split on at nodes some out-of-bag row reaches.
void reached_features(const Tree& tree, const TrainingContext& ctx, std::span<const RowIndex> rows,
                      std::map<uint64_t, bool>& used) {
  for (const uint64_t r : rows) {
    std::vector<double> row(ctx.dense.values.begin() + r * ctx.n_features,
                            ctx.dense.values.begin() + (r + 1) * ctx.n_features);
    uint64_t at = tree.root;
    while (!tree.nodes[at].is_leaf()) {
      const Node& n = tree.nodes[at];
      used[n.feature()] = true;
      at = goes_left(n, row[n.feature()]) ? n.left() : n.right();
    }
  }
}

// A depth-4 tree that reuses features along paths and sends NaN both ways.
Tree random_tree(Rng& rng, uint64_t n_features, uint64_t n_classes, uint64_t depth) {
  Tree t;
  std::function<uint64_t(uint64_t)> build = [&](uint64_t d) -> uint64_t {
    if (d == depth || rng.below(5) == 0) return add_leaf(t, rng.below(n_classes));
    const uint64_t f = rng.below(n_features);
    const double pivot = static_cast<double>(rng.below(7)) - 3.0;
    const bool missing_left = rng.below(2) == 1;
    const uint64_t l = build(d + 1);
    const uint64_t r = build(d + 1);
    return add_split(t, f, pivot, 1.0, missing_left, l, r);
  };
  t.root = build(0);
  return t;
}

class PermutationPass : public ::testing::TestWithParam<uint64_t> {};

TEST_P(PermutationPass, MatchesReplaceAndRepredict) {
  const uint64_t seed = GetParam();
  Rng data(seed, 99);
  const uint64_t n = 60, nf = 4, nc = 3;
  std::vector<double> values(n * nf);
  std::vector<ClassIndex> labels(n);
  for (uint64_t i = 0; i < n * nf; ++i) {
    values[i] = data.below(11) == 0 ? std::numeric_limits<double>::quiet_NaN()
                                    : static_cast<double>(data.below(9)) - 4.0;
  }
  for (ClassIndex& y : labels) y = static_cast<ClassIndex>(data.below(nc));
  TrainingContext ctx = testing::dense_context(values, nf, labels, nc);

  std::vector<RowIndex> oob;
  for (uint64_t r = 0; r < n; ++r) {
    if (data.below(3) != 0) oob.push_back(r);
  }

  PermutationStats stats;
  std::vector<TreePermutation> records;
  stats[1] = {2, 0.5};  // an earlier tree's value, updated by Welford
  OobVotes votes(n, nc);
  PermutationScratch scratch;
  std::vector<Tree> trees;
  for (int t = 0; t < 3; ++t) trees.push_back(random_tree(data, nf, nc, 4));

  PermutationStats expected = stats;
  OobVotes expected_votes(n, nc);
  for (uint64_t t = 0; t < trees.size(); ++t) {
    Rng rng = Rng::for_tree(seed, t);
    Rng replay = rng;
    permutation_pass(trees[t], ctx, oob, rng, stats, records, &votes, scratch);

    std::vector<RowIndex> donors = oob;
    replay.shuffle(std::span<RowIndex>(donors));
    EXPECT_EQ(rng.state(), replay.state());
    std::map<uint64_t, bool> used;
    reached_features(trees[t], ctx, oob, used);
    for (const auto& [f, unused] : used) {
      int64_t delta = 0;
      for (uint64_t i = 0; i < oob.size(); ++i) {
        const uint64_t r = oob[i];
        std::vector<double> row(values.begin() + r * nf, values.begin() + (r + 1) * nf);
        const bool before = route(trees[t], row) == labels[r];
        row[f] = values[donors[i] * nf + f];
        const bool after = route(trees[t], row) == labels[r];
        delta += static_cast<int64_t>(before) - static_cast<int64_t>(after);
      }
      const double x = static_cast<double>(delta) / static_cast<double>(oob.size());
      PermutationEntry& e = expected[f];
      e.n += 1;
      e.mean = e.mean + (x - e.mean) / static_cast<double>(e.n);
    }
    for (const uint64_t r : oob) {
      std::vector<double> row(values.begin() + r * nf, values.begin() + (r + 1) * nf);
      ++expected_votes.row(r)[route(trees[t], row)];
    }
  }
  ASSERT_EQ(stats.size(), expected.size());
  for (const auto& [f, e] : expected) {
    EXPECT_EQ(stats.at(f).n, e.n) << f;
    EXPECT_NEAR(stats.at(f).mean, e.mean, 1e-15) << f;
  }
  EXPECT_EQ(votes.counts, expected_votes.counts);
}

INSTANTIATE_TEST_SUITE_P(Seeds, PermutationPass, ::testing::Values(1, 2, 3, 4, 5, 6));

TEST(PermutationPassEdges, NoOutOfBagRowsGivesNoValue) {
  TrainingContext ctx = testing::dense_context({1.0, -1.0}, 1, {0, 1}, 2);
  PermutationStats stats;
  std::vector<TreePermutation> records;
  PermutationScratch scratch;
  Rng rng(0, 1);
  const uint64_t before = rng.state();
  permutation_pass(stump(0, 0.0, 0, 1), ctx, {}, rng, stats, records, nullptr, scratch);
  EXPECT_TRUE(stats.empty());
  EXPECT_EQ(rng.state(), before);
}

TEST(PermutationPassEdges, SignOfTheAccuracyDrop) {
  // Feature 1 is split on, but every out-of-bag row has the same value of it: permuting
  // it changes no prediction and its value is exactly 0.
  TrainingContext ctx = testing::dense_context({1.0, 2.0, -1.0, 2.0, 1.0, 2.0, -1.0, 2.0}, 2, {1, 0, 0, 1}, 2);
  Tree tree;
  const uint64_t inner = add_split(tree, 1, 0.0, 1.0, false, add_leaf(tree, 1), add_leaf(tree, 0));
  tree.root = add_split(tree, 0, 0.0, 1.0, false, inner, add_leaf(tree, 0));
  PermutationScratch scratch;
  for (uint64_t seed = 0; seed < 4; ++seed) {
    PermutationStats stats;
    std::vector<TreePermutation> records;
    Rng rng(seed, 1);
    permutation_pass(tree, ctx, std::vector<RowIndex>{0, 1, 2, 3}, rng, stats, records, nullptr, scratch);
    ASSERT_EQ(stats.count(1), 1u);
    EXPECT_EQ(stats.at(1).mean, 0.0);
    EXPECT_EQ(stats.at(1).n, 1u);
  }
  const Tree stump0 = stump(0, 0.0, 1, 0);
  // All rows wrong: any change of prediction fixes a row, so the value is <= 0.
  TrainingContext wrong = testing::dense_context({1.0, -1.0, 1.0, -1.0}, 1, {0, 1, 0, 1}, 2);
  bool negative = false;
  for (uint64_t seed = 0; seed < 8; ++seed) {
    PermutationStats stats;
    std::vector<TreePermutation> records;
    Rng rng(seed, 1);
    permutation_pass(stump0, wrong, std::vector<RowIndex>{0, 1, 2, 3}, rng, stats, records, nullptr, scratch);
    EXPECT_LE(stats.at(0).mean, 0.0);
    negative |= stats.at(0).mean < 0.0;
  }
  EXPECT_TRUE(negative);
}

}  // namespace
}  // namespace morvel
