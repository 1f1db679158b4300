// The fit loop end to end on small contexts: worker count, merge order and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>

#include "forest/bootstrap.h"
#include "forest/fit_loop.h"
#include "forest/memory_limits.h"
#include "forest_fixtures.h"
#include "morvel/errors.h"
#include "data/rng.h"

namespace morvel {
namespace {

TrainingContext random_context(uint64_t n_rows, uint64_t n_features, uint64_t n_classes, uint64_t seed) {
  Rng rng(seed, 17);
  std::vector<double> values(n_rows * n_features);
  std::vector<ClassIndex> labels(n_rows);
  for (uint64_t r = 0; r < n_rows; ++r) {
    for (uint64_t f = 0; f < n_features; ++f) values[r * n_features + f] = static_cast<double>(rng.below(50)) / 7.0;
    // The label follows feature 0 with some noise, so trees have real structure.
    labels[r] = (values[r * n_features] > 3.5 ? 1 : 0) + (rng.below(5) == 0 ? 1 : 0);
    labels[r] %= n_classes;
  }
  TrainingContext ctx = testing::dense_context(values, n_features, labels, n_classes);
  ctx.candidates.resize(n_features);
  std::iota(ctx.candidates.begin(), ctx.candidates.end(), 0);
  return ctx;
}

// A tree as plain numbers, so trees can be sorted and compared as a multiset.
std::vector<uint64_t> fingerprint(const Tree& tree) {
  std::vector<uint64_t> out = {tree.root};
  for (const Node& n : tree.nodes) {
    out.insert(out.end(), {static_cast<uint64_t>(n.kind()), n.feature(), n.leaf_class(),
                           std::bit_cast<uint64_t>(n.pivot), std::bit_cast<uint64_t>(n.gain), n.n_samples, n.left(),
                           n.right()});
  }
  return out;
}

std::vector<std::vector<uint64_t>> tree_multiset(const ForestResult& r) {
  std::vector<std::vector<uint64_t>> out;
  for (const Tree& t : r.trees.list()) out.push_back(fingerprint(t));
  std::sort(out.begin(), out.end());
  return out;
}

ForestSettings settings_for(uint64_t trees) {
  ForestSettings s;
  s.n_estimators = trees;
  s.max_features = 2;
  s.seed = 42;
  s.oob = true;
  s.permutation_importance = true;
  return s;
}

TEST(FitLoop, WorkerCountChangesOnlyTreeOrder) {
  const TrainingContext ctx = random_context(120, 4, 3, 1);
  const ForestSettings settings = settings_for(9);
  const ForestResult one = fit_forest(ctx, settings, 1);
  ASSERT_EQ(one.trees.size(), 9u);
  for (const uint64_t workers : {2u, 3u, 16u}) {
    const ForestResult many = fit_forest(ctx, settings, workers);
    EXPECT_EQ(tree_multiset(many), tree_multiset(one)) << workers;
    EXPECT_EQ(many.oob_votes->counts, one.oob_votes->counts) << workers;
    ASSERT_EQ(many.permutation_stats->size(), one.permutation_stats->size());
    for (const auto& [f, e] : *one.permutation_stats) {
      EXPECT_EQ(many.permutation_stats->at(f).n, e.n);
      // Rebuilt in tree index order: the same bits as one worker's running means.
      EXPECT_EQ(std::bit_cast<uint64_t>(many.permutation_stats->at(f).mean), std::bit_cast<uint64_t>(e.mean));
    }
  }
}

TEST(FitLoop, SequentialTreesFollowTheirIndex) {
  // Tree t depends only on (seed, t): a two-tree forest starts with the same two trees.
  const TrainingContext ctx = random_context(80, 3, 2, 2);
  ForestSettings settings = settings_for(5);
  const ForestResult five = fit_forest(ctx, settings, 1);
  settings.n_estimators = 2;
  const ForestResult two = fit_forest(ctx, settings, 1);
  for (int t = 0; t < 2; ++t) EXPECT_EQ(fingerprint(two.trees.list()[t]), fingerprint(five.trees.list()[t]));
  EXPECT_NE(fingerprint(five.trees.list()[0]), fingerprint(five.trees.list()[1]));
}

TEST(FitLoop, OutOfBagVotesCountTreesWhereTheRowWasLeftOut) {
  const TrainingContext ctx = random_context(60, 3, 2, 3);
  ForestSettings settings = settings_for(12);
  settings.permutation_importance = false;
  const ForestResult result = fit_forest(ctx, settings, 1);
  // Replaying each tree's bootstrap gives how often every row was out of bag.
  std::vector<uint64_t> out_count(ctx.n_rows, 0);
  for (uint64_t t = 0; t < 12; ++t) {
    Rng rng = Rng::for_tree(settings.seed, t);
    for (const uint64_t r : uniform_bootstrap(ctx, ctx.n_rows, rng).out_of_bag) ++out_count[r];
  }
  for (uint64_t r = 0; r < ctx.n_rows; ++r) {
    const uint64_t* row = result.oob_votes->row(r);
    EXPECT_EQ(row[0] + row[1], out_count[r]) << r;
  }

  settings.bootstrap = false;
  const ForestResult no_bag = fit_forest(ctx, settings, 2);
  EXPECT_TRUE(std::all_of(no_bag.oob_votes->counts.begin(), no_bag.oob_votes->counts.end(),
                          [](uint64_t c) { return c == 0; }));
}

TEST(FitLoop, WorkerFailureIsReportedOnce) {
  TrainingContext ctx = random_context(40, 3, 2, 4);
  ctx.has_weights = false;
  ctx.growth.balanced_subsample = true;
  const ForestSettings settings = settings_for(6);
  try {
    fit_forest(ctx, settings, 1);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "balanced bootstrap requires training weights");
  }
  try {
    fit_forest(ctx, settings, 3);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "a scoped thread panicked");
  }
  try {
    fit_forest(ctx, settings, 0);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "assertion failed: threads > 0");
  }
}

TEST(FitLoop, VoteTablesTooLargeToAddressFailAsMemoryErrors) {
  // rows * classes wraps past 2^64: the table must not be sized from the wrapped product.
  EXPECT_THROW(OobVotes(uint64_t{1} << 40, uint64_t{1} << 30), std::bad_alloc);
  EXPECT_EQ(table_size(uint64_t{1} << 40, 0), 0u);
}

// Child positions are 32-bit: a fit is refused exactly when its settings leave room for a
// tree of more than 2^31 leaves, and never for draws alone, which repeat rows.
TEST(FitLoop, TreesThatCouldOutgrowNodePositionsAreRefused) {
  constexpr uint64_t kHalf = uint64_t{1} << 31;
  struct Case {
    uint64_t n_rows;
    bool bootstrap;
    std::optional<uint64_t> max_samples;
    uint64_t max_leaves;
    uint64_t max_depth;
    bool refused;
  };
  const Case cases[] = {
      {kHalf, true, std::nullopt, kNoLeafLimit, 512, false},
      {kHalf + 1, true, std::nullopt, kNoLeafLimit, 512, true},
      {kHalf + 1, false, std::nullopt, kNoLeafLimit, 512, true},
      {kHalf + 1, true, kHalf, kNoLeafLimit, 512, false},
      {kHalf + 1, false, kHalf, kNoLeafLimit, 512, true},  // max_samples only counts draws
      {kHalf + 1, true, std::nullopt, kHalf, 512, false},
      {kHalf + 1, true, std::nullopt, kHalf + 1, 512, true},
      {kHalf + 1, true, std::nullopt, kNoLeafLimit, 31, false},
      {kHalf + 1, true, std::nullopt, kNoLeafLimit, 32, true},
      {1000, true, uint64_t{1} << 40, kNoLeafLimit, 512, false},
  };
  for (const Case& c : cases) {
    ForestSettings settings;
    settings.bootstrap = c.bootstrap;
    settings.max_samples = c.max_samples;
    settings.max_leaves = c.max_leaves;
    settings.max_depth = c.max_depth;
    if (c.refused) {
      EXPECT_THROW(check_tree_positions_fit(c.n_rows, settings), ValidationError) << c.n_rows << " " << c.max_depth;
    } else {
      EXPECT_NO_THROW(check_tree_positions_fit(c.n_rows, settings)) << c.n_rows << " " << c.max_depth;
    }
  }
}

}  // namespace
}  // namespace morvel
