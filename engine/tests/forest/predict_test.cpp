// Batch routing for prediction on every input form, the vote-to-probability rule and the
// tie rule of predict.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "forest/votes.h"
#include "forest_fixtures.h"
#include "morvel/api.h"
#include "morvel/errors.h"
#include "data/rng.h"

namespace morvel {
namespace {

using testing::forest_of;
using testing::stump;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

PredictionMatrix dense_input(std::vector<double> values, uint64_t n_features) {
  PredictionMatrix x;
  x.n_features = n_features;
  x.n_rows = values.size() / n_features;
  DenseMatrix m;
  m.values.assign(values.begin(), values.end());
  m.n_rows = x.n_rows;
  m.n_features = n_features;
  x.values = std::move(m);
  return x;
}

// One column of stored entries; rows listed in `absent` have no entry (read as 0.0).
PredictionMatrix csr_column(const std::vector<double>& column, const std::vector<bool>& absent) {
  CsrMatrix m;
  m.n_rows = column.size();
  m.n_features = 1;
  m.indptr.push_back(0);
  for (size_t r = 0; r < column.size(); ++r) {
    if (!absent[r]) {
      m.indices.push_back(0);
      m.data.push_back(column[r]);
    }
    m.indptr.push_back(m.indices.size());
  }
  PredictionMatrix x;
  x.n_rows = m.n_rows;
  x.n_features = 1;
  x.values = std::move(m);
  return x;
}

struct MissingCase {
  bool missing_left;
  double gain;
};

class RawRouting : public ::testing::TestWithParam<MissingCase> {};

// value > pivot goes left, equality goes right, NaN follows the gain word's sign bit
// (also for a zero gain stored as -0.0).
TEST_P(RawRouting, DenseAndCsrRouteAlike) {
  const MissingCase c = GetParam();
  const FittedForest forest = forest_of({stump(0, 0.5, 1, 0, c.missing_left, c.gain)}, 1, 2);
  const uint64_t nan_class = c.missing_left ? 1 : 0;
  const std::vector<double> values = {0.5, std::nextafter(0.5, 1.0), kNaN, -3.0, 7.0, 0.0};
  const std::vector<uint64_t> expected = {0, 1, nan_class, 0, 1, 0};

  EXPECT_EQ(predict(forest, dense_input(values, 1)), expected);
  std::vector<bool> absent(values.size(), false);
  absent[5] = true;
  EXPECT_EQ(predict(forest, csr_column(values, absent)), expected);
}

INSTANTIATE_TEST_SUITE_P(Missing, RawRouting,
                         ::testing::Values(MissingCase{false, 0.25}, MissingCase{true, 0.25},
                                           MissingCase{true, 0.0}, MissingCase{false, 0.0}));

TEST(Predict, BinnedInputUsesBinsAndTheMissingBin) {
  // Edges {1, 2}: bins 0..2, missing bin 3; the bin-space split sends bins > 0 left.
  BinEdges edges = {{1.0, 2.0}, {0.0}};
  FittedForest forest = forest_of({stump(0, 0.0, 1, 0, /*missing_left=*/true)}, 2, 2);
  forest.edges = edges;

  PredictionMatrix dense = dense_input(std::vector<double>(8, 0.0), 2);
  dense.edges = &*forest.edges;
  dense.bins = {0, 0, 1, 0, 2, 0, 3, 0};  // row-major, feature 0 first
  EXPECT_EQ(predict(forest, dense), (std::vector<uint64_t>{0, 1, 1, 1}));

  forest.result.trees.trees[0] = stump(0, 0.0, 1, 0, /*missing_left=*/false);
  EXPECT_EQ(predict(forest, dense), (std::vector<uint64_t>{0, 1, 1, 0}));

  // CSR values are binned on the fly: 1.0 equals an edge and stays in bin 0.
  forest.edges = BinEdges{{1.0, 2.0}};
  forest.n_features = 1;
  PredictionMatrix csr = csr_column({1.0, 1.5, kNaN, 0.0, 9.0}, {false, false, false, true, false});
  csr.edges = &*forest.edges;
  EXPECT_EQ(predict(forest, csr), (std::vector<uint64_t>{0, 1, 0, 0, 1}));
}

TEST(Predict, VotesTiesAndProbabilities) {
  // Trees vote 2, 1 and (on feature 1) 1 or 0 for the rows below.
  Tree always_two;
  testing::add_leaf(always_two, 2);
  const FittedForest forest =
      forest_of({always_two, stump(0, 0.0, 1, 1), stump(1, 0.0, 0, 1)}, 2, 3);
  // Row 0: votes {0:0, 1:2, 2:1}; row 1: {0:1, 1:1, 2:1} -> tie, lowest class wins.
  const PredictionMatrix x = dense_input({5.0, -1.0, 5.0, 1.0}, 2);
  EXPECT_EQ(predict(forest, x), (std::vector<uint64_t>{1, 0}));
  const std::vector<double> proba = predict_proba(forest, x);
  ASSERT_EQ(proba.size(), 6u);
  EXPECT_EQ(proba[0], 0.0);
  EXPECT_EQ(proba[1], 2.0 / 3.0);
  EXPECT_EQ(proba[2], 1.0 / 3.0);
  for (int c = 3; c < 6; ++c) EXPECT_EQ(proba[c], 1.0 / 3.0);
}

TEST(Predict, VotesToProbaWithoutVotesIsZero) {
  const uint64_t none[3] = {0, 0, 0};
  double out[3] = {kNaN, kNaN, kNaN};
  votes_to_proba(none, 3, out);
  for (const double p : out) EXPECT_EQ(p, 0.0);
  const uint64_t some[3] = {1, 0, 3};
  votes_to_proba(some, 3, out);
  EXPECT_EQ(out[0], 0.25);
  EXPECT_EQ(out[2], 0.75);
}

TEST(Predict, DeepTreeRoutesEveryRowToItsOwnLeaf) {
  // A chain of splits: row i > i - 0.5 at each level; leaf class = number of levels passed.
  Tree tree;
  const uint64_t levels = 40;
  uint64_t below = testing::add_leaf(tree, levels % 3);
  for (uint64_t l = levels; l-- > 0;) {
    const uint64_t stop = testing::add_leaf(tree, l % 3);
    below = testing::add_split(tree, 0, static_cast<double>(l) + 0.5, 1.0, false, below, stop);
  }
  tree.root = below;
  const FittedForest forest = forest_of({tree}, 1, 3);
  std::vector<double> values;
  for (uint64_t i = 0; i <= levels + 2; ++i) values.push_back(static_cast<double>(i));
  const std::vector<uint64_t> got = predict(forest, dense_input(values, 1));
  for (uint64_t i = 0; i < values.size(); ++i) EXPECT_EQ(got[i], std::min(i, levels) % 3) << i;
}

TEST(Predict, FailureStates) {
  FittedForest counted = forest_of({}, 1, 2);
  counted.result.trees.has_trees = false;
  counted.result.trees.count = 3;
  try {
    predict(counted, dense_input({1.0}, 1));
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "Iterating over trees non existing");
  }

  FittedForest plain = forest_of({stump(0, 0.5, 1, 0)}, 1, 2);
  EXPECT_THROW(oob_predict_proba(plain), StateError);
  plain.result.oob_votes.emplace(2, 2);
  plain.result.oob_votes->counts = {0, 0, 1, 3};
  EXPECT_EQ(oob_predict_proba(plain), (std::vector<double>{0.0, 0.0, 0.25, 0.75}));
}

// ---- the packed walk against a plain per-row walk ----------------------------------------

// Reference: one row, one tree, straight from the node vector and the routing rule.
uint64_t reference_class(const Tree& tree, const std::function<double(uint64_t)>& value) {
  uint64_t at = tree.root;
  while (!tree.nodes[at].is_leaf()) {
    const Node& n = tree.nodes[at];
    at = goes_left(n, value(n.feature())) ? n.left() : n.right();
  }
  return tree.nodes[at].leaf_class();
}

// Uneven random trees (so rows finish at different depths and slots refill at different
// times), stored in a scrambled node order with the root in the middle.
Tree scrambled_tree(Rng& rng, uint64_t n_features, uint64_t n_classes, uint64_t feature_offset) {
  Tree t;
  std::function<uint64_t(uint64_t)> build = [&](uint64_t depth) -> uint64_t {
    if (depth > 9 || (depth > 1 && rng.below(4) == 0)) return testing::add_leaf(t, rng.below(n_classes));
    const uint64_t f = feature_offset + rng.below(n_features);
    const double pivot = static_cast<double>(rng.below(9)) - 4.0;
    const bool missing_left = rng.below(2) == 1;
    const uint64_t right = build(depth + 1);
    const uint64_t left = build(depth + 1);
    return testing::add_split(t, f, pivot, 1.0, missing_left, left, right);
  };
  t.root = build(0);
  return t;
}

class PackedWalk : public ::testing::TestWithParam<uint64_t> {};

TEST_P(PackedWalk, MatchesPlainWalkOnDenseAndCsr) {
  const uint64_t n_rows = GetParam();
  const uint64_t nf = 5, nc = 3;
  Rng rng(n_rows, 7);
  std::vector<Tree> trees;
  for (int t = 0; t < 4; ++t) trees.push_back(scrambled_tree(rng, nf, nc, 0));
  std::vector<double> values(n_rows * nf);
  for (double& v : values) {
    const uint64_t u = rng.below(12);
    v = u == 0 ? kNaN : (u == 1 ? 0.0 : static_cast<double>(rng.below(17)) / 2.0 - 4.0);
  }
  const FittedForest forest = forest_of(trees, nf, nc);

  std::vector<uint64_t> expected(n_rows * nc, 0);
  for (uint64_t r = 0; r < n_rows; ++r) {
    for (const Tree& t : trees) ++expected[r * nc + reference_class(t, [&](uint64_t f) { return values[r * nf + f]; })];
  }
  std::vector<double> expected_proba(n_rows * nc);
  for (uint64_t r = 0; r < n_rows; ++r) votes_to_proba(&expected[r * nc], nc, &expected_proba[r * nc]);

  EXPECT_EQ(predict_proba(forest, dense_input(values, nf)), expected_proba);
  // Without NaN the dense walk drops its missing-value test; results must not change.
  std::vector<double> no_nan = values;
  for (double& v : no_nan) v = std::isnan(v) ? 1.25 : v;
  std::vector<uint64_t> expected_no_nan(n_rows * nc, 0);
  for (uint64_t r = 0; r < n_rows; ++r) {
    for (const Tree& t : trees) ++expected_no_nan[r * nc + reference_class(t, [&](uint64_t f) { return no_nan[r * nf + f]; })];
  }
  const VoteTable no_nan_votes = collect_votes(forest.result.trees, nc, dense_input(no_nan, nf));
  EXPECT_EQ(no_nan_votes.counts, expected_no_nan);

  // CSR: zeros are left out, so they read as absent entries.
  CsrMatrix m;
  m.n_rows = n_rows;
  m.n_features = nf;
  m.indptr.push_back(0);
  for (uint64_t r = 0; r < n_rows; ++r) {
    for (uint64_t f = 0; f < nf; ++f) {
      if (values[r * nf + f] == 0.0) continue;
      m.indices.push_back(f);
      m.data.push_back(values[r * nf + f]);
    }
    m.indptr.push_back(m.indices.size());
  }
  PredictionMatrix csr;
  csr.n_rows = n_rows;
  csr.n_features = nf;
  csr.values = std::move(m);
  EXPECT_EQ(collect_votes(forest.result.trees, nc, csr).counts, expected);
}

// Row counts around the sixteen walking slots.
INSTANTIATE_TEST_SUITE_P(Rows, PackedWalk, ::testing::Values(1, 15, 16, 17, 33, 250));

TEST(Predict, FeaturesBeyondThirtyBitsUseWideNodes) {
  // A CSR input with more than 2^30 columns: the split features do not fit packed 32-bit
  // nodes and must still route by their own column.
  const uint64_t offset = uint64_t{1} << 30;
  const uint64_t nf = offset + 8;
  Rng rng(3, 3);
  std::vector<Tree> trees = {scrambled_tree(rng, 8, 2, offset), scrambled_tree(rng, 8, 2, offset)};
  CsrMatrix m;
  m.n_rows = 40;
  m.n_features = nf;
  m.indptr.push_back(0);
  std::vector<std::vector<double>> dense(40, std::vector<double>(8, 0.0));
  for (uint64_t r = 0; r < 40; ++r) {
    for (uint64_t f = 0; f < 8; ++f) {
      dense[r][f] = static_cast<double>(rng.below(9)) - 4.0;
      if (dense[r][f] == 0.0) continue;
      m.indices.push_back(offset + f);
      m.data.push_back(dense[r][f]);
    }
    m.indptr.push_back(m.indices.size());
  }
  PredictionMatrix x;
  x.n_rows = 40;
  x.n_features = nf;
  x.values = std::move(m);
  const VoteTable votes = collect_votes(MaybeTrees{true, trees, 0}, 2, x);
  for (uint64_t r = 0; r < 40; ++r) {
    std::vector<uint64_t> expected(2, 0);
    for (const Tree& t : trees) ++expected[reference_class(t, [&](uint64_t f) { return dense[r][f - offset]; })];
    EXPECT_EQ(votes.row(r)[0], expected[0]) << r;
    EXPECT_EQ(votes.row(r)[1], expected[1]) << r;
  }
}

// Trees come only from fits, but a damaged one must fail as an internal error, never read
// outside the tree or the input, nor loop.
TEST(Predict, DamagedTreesFailCleanly) {
  const auto split = [](uint64_t feature, uint64_t left, uint64_t right) {
    return Node::make_split(feature, 0.5, 1.0, false, 4, left, right);
  };
  const Node leaf = Node::make_leaf(1, 2);
  const std::vector<std::vector<Node>> damaged = {
      {leaf, leaf, split(3, 0, 1)},            // feature beyond the input's two columns
      {leaf, leaf, split(0, 0, 7)},            // child outside the tree
      {Node::make_leaf(2, 2), leaf, split(0, 0, 1)},  // leaf class beyond the two classes
      {leaf, split(0, 0, 2), split(0, 1, 0)},  // a node reached twice: the walk would loop
  };
  for (size_t i = 0; i < damaged.size(); ++i) {
    Tree tree;
    tree.nodes.assign(damaged[i].begin(), damaged[i].end());
    tree.root = 2;
    const std::vector<Tree> trees = {tree};
    EXPECT_THROW(collect_votes(MaybeTrees{true, trees, 0}, 2, dense_input({0.0, 1.0, 1.0, 0.0}, 2)), InternalError)
        << "tree " << i;
  }
}

}  // namespace
}  // namespace morvel
