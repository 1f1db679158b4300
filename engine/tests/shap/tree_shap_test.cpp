// TreeSHAP on hand-built forests: exact agreement with brute-force Shapley values, additivity,
// every input form, and the row-chunked importances.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "morvel/api.h"
#include "shap_fixtures.h"

namespace morvel::shap::testing {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Feature 0 splits twice on one path; missing values go both ways at different splits.
Tree tree_a() {
  TreeBuilder b;
  const uint64_t l1 = b.leaf(1, 7);
  const uint64_t l2 = b.leaf(2, 3);
  const uint64_t l0 = b.leaf(0, 5);
  const uint64_t again = b.split(0, 3.0, false, l2, l0);
  const uint64_t s1 = b.split(1, 2.0, false, l1, again);
  const uint64_t l0b = b.leaf(0, 11);
  const uint64_t l1b = b.leaf(1, 2);
  const uint64_t l2b = b.leaf(2, 4);
  const uint64_t s1b = b.split(1, 0.0, true, l1b, l2b);
  const uint64_t s2 = b.split(2, -1.0, true, l0b, s1b);
  return b.done(b.split(0, 0.5, true, s1, s2));
}

// Feature 2 three times on one path, feature 3 once, in best-first order (root first).
Tree tree_b() {
  Tree t;
  t.nodes.resize(9);
  t.nodes[0] = Node::make_split(2, 1.0, 0.1, false, 20, 1, 2);
  t.nodes[1] = Node::make_split(2, 4.0, 0.1, true, 12, 3, 4);
  t.nodes[2] = Node::make_split(3, 0.0, 0.1, false, 8, 5, 6);
  t.nodes[3] = Node::make_leaf(2, 5);
  t.nodes[4] = Node::make_split(2, 2.5, 0.1, false, 7, 7, 8);
  t.nodes[5] = Node::make_leaf(0, 6);
  t.nodes[6] = Node::make_leaf(1, 2);
  t.nodes[7] = Node::make_leaf(1, 4);
  t.nodes[8] = Node::make_leaf(0, 3);
  t.root = 0;
  return t;
}

Tree single_leaf(uint64_t leaf_class) {
  TreeBuilder b;
  return b.done(b.leaf(leaf_class, 9));
}

// Rows hitting every leaf, values equal to pivots (which go right), and NaN.
const std::vector<double> kRows = {
    1.0,  3.0,  0.0,  2.0,   //
    5.0,  1.0,  -3.0, -1.0,  //
    0.5,  2.0,  -1.0, 0.0,   //
    kNaN, 0.0,  kNaN, 1.0,   //
    3.0,  kNaN, 3.0,  kNaN,  //
    -2.0, 0.5,  2.0,  0.0,   //
};
constexpr uint64_t kFeatures = 4;
constexpr uint64_t kClasses = 3;

uint64_t leaf_class_of(const Tree& t, const double* row) {
  uint64_t at = t.root;
  while (!t.nodes[at].is_leaf()) {
    const Node& n = t.nodes[at];
    at = goes_left(n, row[n.feature()]) ? n.left() : n.right();
  }
  return t.nodes[at].leaf_class();
}

struct ForestCase {
  const char* name;
  std::vector<Tree> (*trees)();
};

const ForestCase kForests[] = {
    {"repeated_feature", [] { return std::vector<Tree>{tree_a()}; }},
    {"thrice_repeated", [] { return std::vector<Tree>{tree_b()}; }},
    {"mixed", [] { return std::vector<Tree>{tree_a(), tree_b(), single_leaf(1), tree_a()}; }},
};

class BruteForce : public ::testing::TestWithParam<ForestCase> {};

TEST_P(BruteForce, ValuesAreExactShapleyValuesAndAddUpToTheVotes) {
  const FittedForest forest = make_forest(GetParam().trees(), kFeatures, kClasses);
  const ShapValues got = tree_shap(forest, dense_input(kRows, kFeatures));
  const uint64_t n_rows = kRows.size() / kFeatures;
  ASSERT_EQ(got.values.size(), n_rows * kFeatures * kClasses);

  const std::vector<double> empty_row(kFeatures, 0.0);
  const std::vector<double> base = [&] {
    std::vector<double> b(kClasses, 0.0);
    for (const Tree& t : forest.result.trees.trees) {
      for (uint64_t c = 0; c < kClasses; ++c) b[c] += conditional(t, t.root, empty_row.data(), 0, c);
    }
    for (double& v : b) v /= static_cast<double>(forest.result.trees.trees.size());
    return b;
  }();
  for (uint64_t c = 0; c < kClasses; ++c) EXPECT_NEAR(got.base_values[c], base[c], 1e-12);

  for (uint64_t r = 0; r < n_rows; ++r) {
    const double* row = kRows.data() + r * kFeatures;
    const std::vector<double> want = brute_force_shap(forest, row);
    for (uint64_t k = 0; k < kFeatures * kClasses; ++k) {
      EXPECT_NEAR(got.values[r * kFeatures * kClasses + k], want[k], 1e-12)
          << "row " << r << " feature " << k / kClasses << " class " << k % kClasses;
    }
    std::vector<double> votes(kClasses, 0.0);
    for (const Tree& t : forest.result.trees.trees) votes[leaf_class_of(t, row)] += 1.0;
    for (uint64_t c = 0; c < kClasses; ++c) {
      double total = got.base_values[c];
      for (uint64_t j = 0; j < kFeatures; ++j) total += got.values[(r * kFeatures + j) * kClasses + c];
      EXPECT_NEAR(total, votes[c] / static_cast<double>(forest.result.trees.trees.size()), 1e-12)
          << "row " << r << " class " << c;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forests, BruteForce, ::testing::ValuesIn(kForests),
                         [](const auto& info) { return std::string(info.param.name); });

// Full trees of depth 6 over 7 features: paths of up to six distinct features (the first
// tree) or with repeats (the second), so leaves sum long mixed hot/cold paths.
Tree full_tree(uint64_t seed, uint64_t (*feature_at)(uint64_t level, uint64_t code)) {
  TreeBuilder b;
  uint64_t state = seed;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
  };
  auto grow = [&](auto&& self, uint64_t level, uint64_t code) -> uint64_t {
    if (level == 6) return b.leaf(next() % 3, 1 + next() % 9);
    const uint64_t left = self(self, level + 1, code * 2 + 1);
    const uint64_t right = self(self, level + 1, code * 2);
    return b.split(feature_at(level, code), 0.5, next() % 2 == 0, left, right);
  };
  return b.done(grow(grow, 0, 1));
}

TEST(TreeShap, LongPathsMatchBruteForce) {
  const FittedForest forest = make_forest(
      {full_tree(1, [](uint64_t level, uint64_t code) { return (level + code % 2) % 7; }),
       full_tree(2, [](uint64_t level, uint64_t code) { return (level * 2 + code % 3) % 5; })},
      7, kClasses);
  std::vector<double> rows;
  uint64_t state = 99;
  for (int k = 0; k < 7 * 24; ++k) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const uint64_t draw = (state >> 33) % 5;
    rows.push_back(draw == 0 ? kNaN : static_cast<double>(draw % 2));
  }
  const ShapValues got = tree_shap(forest, dense_input(rows, 7));
  for (uint64_t r = 0; r < 24; ++r) {
    const std::vector<double> want = brute_force_shap(forest, rows.data() + r * 7);
    for (uint64_t k = 0; k < 7 * kClasses; ++k) {
      EXPECT_NEAR(got.values[r * 7 * kClasses + k], want[k], 1e-12) << "row " << r << " entry " << k;
    }
  }
}

TEST(TreeShap, SingleLeafForestAttributesNothing) {
  const FittedForest forest = make_forest({single_leaf(0), single_leaf(2), single_leaf(2)}, kFeatures, kClasses);
  const PredictionMatrix x = dense_input(kRows, kFeatures);
  const ShapValues got = tree_shap(forest, x);
  for (double v : got.values) EXPECT_EQ(v, 0.0);
  EXPECT_DOUBLE_EQ(got.base_values[0], 1.0 / 3.0);
  EXPECT_EQ(got.base_values[1], 0.0);
  EXPECT_DOUBLE_EQ(got.base_values[2], 2.0 / 3.0);
  const std::vector<double> importances = shap_importances(forest, x, 2);
  EXPECT_EQ(importances, std::vector<double>(kFeatures, 0.0));
}

TEST(TreeShap, CsrInputGivesTheDenseResult) {
  const FittedForest forest = make_forest({tree_a(), tree_b()}, kFeatures, kClasses);
  const ShapValues dense = tree_shap(forest, dense_input(kRows, kFeatures));
  const ShapValues sparse = tree_shap(forest, csr_input(kRows, kFeatures));
  EXPECT_EQ(dense.values, sparse.values);
  EXPECT_EQ(dense.base_values, sparse.base_values);
}

// A bin-space tree and the raw tree whose pivots are the matching edges route every row alike
// (bin > b exactly when value > edge b), so every binned input form must give the raw result.
TEST(TreeShap, BinnedInputFormsMatchTheEquivalentRawForest) {
  const BinEdges edges = {{-1.0, 0.5, 3.0}, {0.0, 2.0}, {-1.0, 1.0, 2.5, 4.0}, {0.0}};
  auto make = [](bool bins) {
    TreeBuilder b;
    const uint64_t l1 = b.leaf(1, 7);
    const uint64_t l2 = b.leaf(2, 3);
    const uint64_t l0 = b.leaf(0, 5);
    const uint64_t again = b.split(0, bins ? 2.0 : 3.0, false, l2, l0);
    const uint64_t s1 = b.split(1, bins ? 1.0 : 2.0, false, l1, again);
    const uint64_t l0b = b.leaf(0, 11);
    const uint64_t l1b = b.leaf(1, 2);
    const uint64_t l2b = b.leaf(2, 4);
    const uint64_t s3 = b.split(3, bins ? 0.0 : 0.0, true, l1b, l2b);
    const uint64_t s2 = b.split(2, bins ? 0.0 : -1.0, true, l0b, s3);
    return b.done(b.split(0, bins ? 1.0 : 0.5, true, s1, s2));
  };
  const FittedForest raw = make_forest({make(false)}, kFeatures, kClasses);
  FittedForest binned = make_forest({make(true)}, kFeatures, kClasses);
  binned.edges = edges;
  const ShapValues want = tree_shap(raw, dense_input(kRows, kFeatures));

  PredictionMatrix bytes = dense_input(kRows, kFeatures);
  bytes.edges = &*binned.edges;
  for (uint64_t i = 0; i < kRows.size(); ++i) bytes.bins.push_back(bin_of(edges[i % kFeatures], kRows[i]));
  PredictionMatrix dense = dense_input(kRows, kFeatures);
  dense.edges = &*binned.edges;
  PredictionMatrix sparse = csr_input(kRows, kFeatures);
  sparse.edges = &*binned.edges;
  for (const PredictionMatrix* x : {&bytes, &dense, &sparse}) {
    const ShapValues got = tree_shap(binned, *x);
    EXPECT_EQ(got.values, want.values);
    EXPECT_EQ(got.base_values, want.base_values);
  }
}

// A chain as deep as a degenerate fit can grow: the walk must not depend on the call stack.
TEST(TreeShap, VeryDeepTreeStillAddsUp) {
  constexpr uint64_t kDepth = 100000;
  TreeBuilder b;
  uint64_t below = b.leaf(0, 1);
  for (uint64_t k = kDepth; k-- > 0;) {
    const uint64_t side = b.leaf(k % 2, 1);
    below = b.split(k % 2, static_cast<double>(k), false, side, below);
  }
  const FittedForest forest = make_forest({b.done(below)}, 2, 2);
  const std::vector<double> rows = {0.5, 0.5, 7.0, 3.0, kNaN, kNaN};
  const ShapValues got = tree_shap(forest, dense_input(rows, 2));
  for (uint64_t r = 0; r < 3; ++r) {
    const uint64_t leaf = leaf_class_of(forest.result.trees.trees[0], rows.data() + r * 2);
    for (uint64_t c = 0; c < 2; ++c) {
      const double total = got.base_values[c] + got.values[(r * 2) * 2 + c] + got.values[(r * 2 + 1) * 2 + c];
      EXPECT_NEAR(total, leaf == c ? 1.0 : 0.0, 1e-9) << "row " << r << " class " << c;
    }
  }
}

// Reachable only from C++: a forest that kept a tree count instead of its trees.
TEST(ShapErrors, ForestWithoutTreesIsAnInternalError) {
  FittedForest counted = make_forest({}, kFeatures, kClasses);
  counted.result.trees.has_trees = false;
  counted.result.trees.count = 4;
  try {
    tree_shap(counted, dense_input(kRows, kFeatures));
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "Iterating over trees non existing");
  }
}

// Trees that would make the walk read or write out of bounds, or loop forever, are refused.
TEST(ShapErrors, MalformedTreesAreInternalErrors) {
  std::vector<Tree> bad(4, tree_a());
  bad[0].nodes[0] = Node::make_leaf(kClasses, bad[0].nodes[0].n_samples);  // leaf class past the row
  Node& root = bad[1].nodes[bad[1].root];                                     // feature past the row
  root = Node::make_split(kFeatures, root.pivot, root.abs_gain(), root.missing_left(), root.n_samples, root.left(),
                          root.right());
  bad[2].nodes[bad[2].root].set_left(bad[2].nodes.size());                   // child outside the vector
  bad[3].nodes[bad[3].nodes[bad[3].root].left()].set_left(bad[3].root);      // cycle back to the root
  for (Tree& t : bad) {
    const FittedForest forest = make_forest({t}, kFeatures, kClasses);
    EXPECT_THROW(tree_shap(forest, dense_input(kRows, kFeatures)), InternalError);
    EXPECT_THROW(shap_tree_arrays(forest), InternalError);
  }
}

}  // namespace
}  // namespace morvel::shap::testing
