// Per-tree samples: which rows are drawn, how often, in what order, and the weights the
// tree is grown with.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "forest/bootstrap.h"
#include "forest_fixtures.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

std::vector<RowIndex> as_list(const RowBuffer& rows) { return {rows.begin(), rows.end()}; }

using testing::dense_context;

TrainingContext labelled(std::vector<ClassIndex> labels, uint64_t n_classes, std::vector<double> weights = {}) {
  std::vector<double> values(labels.size(), 0.0);
  return dense_context(std::move(values), 1, std::move(labels), n_classes, std::move(weights));
}

// Every row is in exactly one of the lists; both lists ascending.
void expect_partition(const TreeSample& s, uint64_t n_rows) {
  EXPECT_TRUE(std::is_sorted(s.in_bag.begin(), s.in_bag.end()));
  EXPECT_TRUE(std::is_sorted(s.out_of_bag.begin(), s.out_of_bag.end()));
  for (uint64_t r = 0; r < n_rows; ++r) {
    const bool in = std::binary_search(s.in_bag.begin(), s.in_bag.end(), r);
    const bool out = std::binary_search(s.out_of_bag.begin(), s.out_of_bag.end(), r);
    EXPECT_NE(in, out) << "row " << r;
  }
}

class UniformBootstrap : public ::testing::TestWithParam<uint64_t> {};

// The bag lists row below(n) once per draw, in ascending order, whatever k is.
TEST_P(UniformBootstrap, ListsEachDrawInRowOrder) {
  const uint64_t draws = GetParam();
  TrainingContext ctx = labelled({0, 1, 0, 1, 1, 0, 0}, 2);
  ctx.growth.min_leaf_weight = 0.5;
  Rng rng = Rng::for_tree(11, 2);
  Rng replay = rng;
  const TreeSample s = uniform_bootstrap(ctx, draws, rng);

  std::vector<RowIndex> expected;
  for (uint64_t i = 0; i < draws; ++i) expected.push_back(replay.below(ctx.n_rows));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(as_list(s.in_bag), expected);
  EXPECT_EQ(rng.state(), replay.state());
  expect_partition(s, ctx.n_rows);
  EXPECT_FALSE(s.weights.has_value());
  EXPECT_EQ(s.w_total, ctx.w_total);
  EXPECT_EQ(s.min_leaf_weight, 0.5);
}

INSTANTIATE_TEST_SUITE_P(Draws, UniformBootstrap, ::testing::Values(1, 7, 30));

TEST(Bootstrap, SingleRowConsumesNothing) {
  TrainingContext ctx = labelled({1}, 2);
  Rng rng = Rng::for_tree(0, 0);
  const uint64_t before = rng.state();
  const TreeSample s = uniform_bootstrap(ctx, 4, rng);
  EXPECT_EQ(as_list(s.in_bag), (std::vector<RowIndex>{0, 0, 0, 0}));
  EXPECT_TRUE(s.out_of_bag.empty());
  EXPECT_EQ(rng.state(), before);
}

TEST(Bootstrap, WeightedDrawsFollowWeightsAndBecomeWeights) {
  // Rows of weight 0 are never drawn, the first and last rows included.
  TrainingContext ctx = labelled({0, 1, 0, 1, 0, 1}, 2, {0.0, 1.0, 0.0, 3.0, 2.0, 0.0});
  ctx.growth.extra_trees = true;
  ctx.growth.min_leaf_weight = 1.5;
  Rng rng = Rng::for_tree(5, 0);
  Rng replay = rng;
  const uint64_t k = 200;
  const TreeSample s = weighted_bootstrap(ctx, k, rng);

  std::vector<double> counts(6, 0.0);
  const double prefix[] = {0.0, 1.0, 1.0, 4.0, 6.0, 6.0};
  for (uint64_t d = 0; d < k; ++d) {
    const double u = replay.next_f64() * 6.0;
    uint64_t i = 0;
    while (!(prefix[i] > u)) ++i;
    counts[i] += 1.0;
  }
  ASSERT_TRUE(s.weights.has_value());
  EXPECT_EQ(*s.weights, counts);
  EXPECT_EQ((*s.weights)[0] + (*s.weights)[2] + (*s.weights)[5], 0.0);
  EXPECT_EQ(as_list(s.in_bag), (std::vector<RowIndex>{1, 3, 4}));
  EXPECT_EQ(s.out_of_bag, (std::vector<RowIndex>{0, 2, 5}));
  EXPECT_EQ(s.w_total, 200.0);
  EXPECT_EQ(s.min_leaf_weight, 1.5 / 6.0 * 200.0);
  EXPECT_EQ(rng.state(), replay.state());
}

TEST(Bootstrap, WeightedUnitWeightsDrawTheRowsTheSearchFinds) {
  // Unit weights take a shortcut (row floor(u)); it must pick the row of the first prefix
  // sum above u, exactly as the search over prefix sums does.
  const uint64_t n = 37;
  TrainingContext ctx = labelled(std::vector<ClassIndex>(n, 0), 1, std::vector<double>(n, 1.0));
  ctx.growth.extra_trees = true;
  Rng rng = Rng::for_tree(11, 3);
  Rng replay = rng;
  const uint64_t k = 5000;
  const TreeSample s = weighted_bootstrap(ctx, k, rng);
  std::vector<double> counts(n, 0.0);
  for (uint64_t d = 0; d < k; ++d) {
    const double u = replay.next_f64() * static_cast<double>(n);
    uint64_t i = 0;
    while (i + 1 < n && !(static_cast<double>(i + 1) > u)) ++i;
    counts[i] += 1.0;
  }
  ASSERT_TRUE(s.weights.has_value());
  EXPECT_EQ(*s.weights, counts);
  EXPECT_EQ(rng.state(), replay.state());
}

TEST(Bootstrap, WeightedBalancedGivesEachPresentClassAnEqualShare) {
  // Class 2 has no weight and so no draws: its rows keep weight 0 and do not count in L.
  TrainingContext ctx = labelled({0, 0, 0, 1, 2, 0}, 3, {1.0, 1.0, 1.0, 1.0, 0.0, 1.0});
  ctx.growth.extra_trees = true;
  ctx.growth.balanced_subsample = true;
  ctx.growth.min_leaf_weight = 0.5;
  Rng rng = Rng::for_tree(1, 4);
  const uint64_t k = 50;
  const TreeSample s = weighted_bootstrap(ctx, k, rng);
  ASSERT_TRUE(s.weights.has_value());
  double class_total[3] = {0.0, 0.0, 0.0};
  for (uint64_t i = 0; i < ctx.n_rows; ++i) class_total[ctx.labels[i]] += (*s.weights)[i];
  EXPECT_NEAR(class_total[0], 25.0, 1e-12);
  EXPECT_NEAR(class_total[1], 25.0, 1e-12);
  EXPECT_EQ(class_total[2], 0.0);
  EXPECT_NEAR(s.w_total, 50.0, 1e-12);
  EXPECT_EQ(s.min_leaf_weight, 0.5 / 5.0 * s.w_total);
}

TEST(Bootstrap, WithoutBootstrapExtraTreesDropsZeroWeightRows) {
  TrainingContext ctx = labelled({0, 1, 0, 1}, 2, {2.0, 0.0, 1.0, 0.0});
  EXPECT_EQ(as_list(no_bootstrap(ctx).in_bag), (std::vector<RowIndex>{0, 1, 2, 3}));
  ctx.growth.extra_trees = true;
  const TreeSample s = no_bootstrap(ctx);
  EXPECT_EQ(as_list(s.in_bag), (std::vector<RowIndex>{0, 2}));
  EXPECT_TRUE(s.out_of_bag.empty());
  EXPECT_EQ(s.w_total, 3.0);
}

TEST(Bootstrap, BalancedSubsampleCountsRepeatsAndRescales) {
  TrainingContext ctx = labelled({0, 1, 0, 2, 0}, 4, {1.0, 2.0, 0.5, 1.0, 1.0});
  ctx.growth.min_leaf_weight = 1.1;
  TreeSample s;
  s.in_bag = {0, 0, 1, 2, 4, 4};  // class 0: 5 entries, class 1: 1, classes 2 and 3: none
  s.out_of_bag = {3};
  s.w_total = ctx.w_total;
  s.min_leaf_weight = 1.1;
  balance_subsample(ctx, s);
  ASSERT_TRUE(s.weights.has_value());
  const std::vector<double>& w = *s.weights;
  // (w * k) / (B * N_c) with k = 6, B = 2.
  EXPECT_EQ(w[0], (1.0 * 6.0) / 10.0);
  EXPECT_EQ(w[1], (2.0 * 6.0) / 2.0);
  EXPECT_EQ(w[2], (0.5 * 6.0) / 10.0);
  EXPECT_EQ(w[3], 0.0);
  const double total = w[0] + w[0] + w[1] + w[2] + w[4] + w[4];
  EXPECT_EQ(s.w_total, total);
  EXPECT_EQ(s.min_leaf_weight, 1.1 / 5.5 * total);
}

TEST(Bootstrap, RefusesContextsWithoutWeights) {
  TrainingContext ctx = labelled({0, 1}, 2);
  ctx.has_weights = false;
  TreeSample s = no_bootstrap(ctx);
  try {
    balance_subsample(ctx, s);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "balanced bootstrap requires training weights");
  }
  ctx.growth.extra_trees = true;
  Rng rng(0, 1);
  try {
    weighted_bootstrap(ctx, 2, rng);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "prediction input cannot be used for training");
  }
}

}  // namespace
}  // namespace morvel
