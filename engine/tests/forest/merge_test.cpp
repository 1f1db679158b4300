// Combining worker results: tree lists, vote tables and Welford means.
#include <gtest/gtest.h>

#include "forest/fit_loop.h"
#include "forest_fixtures.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

ForestResult with_trees(uint64_t n, uint64_t first_class) {
  ForestResult r;
  for (uint64_t i = 0; i < n; ++i) r.trees.trees.push_back(testing::stump(0, 0.5, first_class + i, 0));
  return r;
}

ForestResult counted(uint64_t n) {
  ForestResult r;
  r.trees.has_trees = false;
  r.trees.count = n;
  return r;
}

TEST(Merge, EmptyAccumulatorIsReplaced) {
  ForestResult acc = counted(0);
  ForestResult in = with_trees(2, 0);
  in.oob_votes.emplace(3, 2);
  merge_results(acc, std::move(in));
  EXPECT_TRUE(acc.trees.has_trees);
  EXPECT_EQ(acc.trees.size(), 2u);
  EXPECT_TRUE(acc.oob_votes.has_value());

  // An empty list also counts as holding no trees, even against a count.
  ForestResult empty_list = with_trees(0, 0);
  merge_results(empty_list, counted(4));
  EXPECT_FALSE(empty_list.trees.has_trees);
  EXPECT_EQ(empty_list.trees.size(), 4u);
}

TEST(Merge, ListsAppendAndCountsAdd) {
  ForestResult acc = with_trees(2, 0);
  merge_results(acc, with_trees(1, 5));
  ASSERT_EQ(acc.trees.trees.size(), 3u);
  EXPECT_EQ(acc.trees.trees[2].nodes[0].leaf_class(), 5u);  // incoming after the accumulator's

  ForestResult c = counted(3);
  merge_results(c, counted(4));
  EXPECT_EQ(c.trees.size(), 7u);

  ForestResult mixed = with_trees(1, 0);
  try {
    merge_results(mixed, counted(1));
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "Merging forests with and without trees");
  }
}

TEST(Merge, VotesAddOnlyWhenBothSidesHaveThem) {
  ForestResult acc = with_trees(1, 0);
  acc.oob_votes.emplace(2, 2);
  acc.oob_votes->counts = {1, 0, 2, 3};
  ForestResult in = with_trees(1, 0);
  in.oob_votes.emplace(2, 2);
  in.oob_votes->counts = {4, 1, 0, 1};
  merge_results(acc, std::move(in));
  EXPECT_EQ(acc.oob_votes->counts, (std::vector<uint64_t>{5, 1, 2, 4}));

  merge_results(acc, with_trees(1, 0));
  EXPECT_FALSE(acc.oob_votes.has_value());
}

TEST(Merge, PermutationStatsCombineWeightedMeans) {
  ForestResult acc = with_trees(1, 0);
  acc.permutation_stats.emplace();
  (*acc.permutation_stats)[0] = {3, 0.5};
  (*acc.permutation_stats)[1] = {0, 0.0};
  (*acc.permutation_stats)[2] = {2, 0.25};
  ForestResult in = with_trees(1, 0);
  in.permutation_stats.emplace();
  (*in.permutation_stats)[0] = {1, -0.1};
  (*in.permutation_stats)[1] = {2, 0.3};  // replaces an entry with n = 0
  (*in.permutation_stats)[2] = {0, 9.0};  // n = 0 is ignored
  (*in.permutation_stats)[7] = {1, 0.2};  // new key inserted
  merge_results(acc, std::move(in));
  const PermutationStats& s = *acc.permutation_stats;
  EXPECT_EQ(s.at(0).n, 4u);
  EXPECT_EQ(s.at(0).mean, (0.5 * 3.0 + -0.1 * 1.0) / 4.0);
  EXPECT_EQ(s.at(1).n, 2u);
  EXPECT_EQ(s.at(1).mean, 0.3);
  EXPECT_EQ(s.at(2).n, 2u);
  EXPECT_EQ(s.at(2).mean, 0.25);
  EXPECT_EQ(s.at(7).n, 1u);

  merge_results(acc, with_trees(1, 0));
  EXPECT_FALSE(acc.permutation_stats.has_value());
}

}  // namespace
}  // namespace morvel
