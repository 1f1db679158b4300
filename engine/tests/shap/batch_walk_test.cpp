// The batched walk, at every vector width and batch size, must give the scalar walk's values
// bit for bit:
// random forests with repeated features on a path, zero covers, NaN input, bin-space trees,
// and row counts that fill no batch or vector evenly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "morvel/api.h"
#include "morvel/bin_edges.h"
#include "shap/compact_tree.h"
#include "shap/lane_walk.h"
#include "shap/tree_shap.h"
#include "shap_fixtures.h"

namespace morvel::shap::testing {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Lcg {
  uint64_t state;
  uint64_t next(uint64_t below) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % below;
  }
};

// A random tree over few features (so features repeat on a path and UNWIND runs), pivots on a
// small grid that rows hit exactly, random missing directions, and some empty leaves.
Tree random_tree(Lcg& rng, uint64_t n_features, uint64_t n_classes, uint64_t max_depth) {
  TreeBuilder b;
  auto grow = [&](auto& self, uint64_t depth) -> uint64_t {
    if (depth == max_depth || (depth > 1 && rng.next(5) == 0)) {
      return b.leaf(rng.next(n_classes), rng.next(9) == 0 ? 0 : 1 + rng.next(40));
    }
    const uint64_t feature = rng.next(n_features);
    const double pivot = static_cast<double>(rng.next(6));
    const bool missing_left = rng.next(2) == 0;
    const uint64_t left = self(self, depth + 1);
    const uint64_t right = self(self, depth + 1);
    return b.split(feature, pivot, missing_left, left, right);
  };
  return b.done(grow(grow, 0));
}

std::vector<double> random_rows(Lcg& rng, uint64_t n_rows, uint64_t n_features) {
  std::vector<double> rows(n_rows * n_features);
  for (double& v : rows) v = rng.next(8) == 0 ? kNaN : static_cast<double>(rng.next(7)) - 0.5 * rng.next(2);
  return rows;
}

void expect_same_bits(const std::vector<double>& got, const std::vector<double>& want,
                      const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t k = 0; k < got.size(); ++k) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, &got[k], sizeof a);
    std::memcpy(&b, &want[k], sizeof b);
    ASSERT_EQ(a, b) << what << ": entry " << k << " is " << got[k] << ", want " << want[k];
  }
}

struct Case {
  uint64_t seed;
  uint64_t n_features;
  uint64_t n_classes;
  uint64_t max_depth;
  uint64_t n_rows;
};

class BatchWalk : public ::testing::TestWithParam<Case> {};

// Per-row scalar phi of every row, summed over the trees in order.
std::vector<double> scalar_phi(const std::vector<CompactTree>& trees, uint64_t max_depth,
                               const std::vector<double>& rows, const Case& c) {
  const uint64_t per_row = c.n_features * c.n_classes;
  std::vector<double> phi(c.n_rows * per_row, 0.0);
  Workspace workspace(max_depth, c.n_features);
  for (uint64_t r = 0; r < c.n_rows; ++r) {
    for (const CompactTree& tree : trees) {
      workspace.attribute(tree, rows.data() + r * c.n_features, c.n_classes, phi.data() + r * per_row);
    }
  }
  return phi;
}

TEST_P(BatchWalk, EveryKernelAndBatchSizeGivesTheScalarBits) {
  const Case c = GetParam();
  Lcg rng{c.seed};
  std::vector<CompactTree> trees;
  uint64_t max_depth = 0;
  for (int t = 0; t < 6; ++t) {
    trees.push_back(compact_tree(random_tree(rng, c.n_features, c.n_classes, c.max_depth),
                                 c.n_features, c.n_classes));
    max_depth = std::max(max_depth, trees.back().max_depth);
  }
  const std::vector<double> rows = random_rows(rng, c.n_rows, c.n_features);
  const std::vector<double> want = scalar_phi(trees, max_depth, rows, c);

  std::vector<Kernel> kernels = {Kernel::Vector2};
  if (kernel_available(Kernel::Vector4)) kernels.push_back(Kernel::Vector4);
  for (Kernel kernel : kernels) {
    for (uint64_t batch : {uint64_t{1}, uint64_t{3}, uint64_t{8}, uint64_t{64}}) {
      BatchWalker walker(max_depth, c.n_features, c.n_classes, batch, kernel);
      const uint64_t per_row = c.n_features * c.n_classes;
      std::vector<double> got(c.n_rows * per_row, 0.0);
      for (uint64_t first = 0; first < c.n_rows; first += batch) {
        const uint64_t count = std::min(batch, c.n_rows - first);
        for (const CompactTree& tree : trees) {
          walker.attribute(tree, rows.data() + first * c.n_features, count,
                           got.data() + first * per_row);
        }
      }
      expect_same_bits(got, want, "batch walk");
    }
    // One prepared tree replayed in uneven row ranges (as the workers of shap_importances
    // do), the trees of a batch alternating between two walkers.
    const uint64_t batch = 64;
    BatchWalker walkers[2] = {BatchWalker(max_depth, c.n_features, c.n_classes, batch, kernel),
                              BatchWalker(max_depth, c.n_features, c.n_classes, batch, kernel)};
    const uint64_t per_row = c.n_features * c.n_classes;
    std::vector<double> got(c.n_rows * per_row, 0.0);
    std::vector<uint64_t> stack;
    for (uint64_t first = 0; first < c.n_rows; first += batch) {
      const uint64_t count = std::min(batch, c.n_rows - first);
      for (size_t t = 0; t < trees.size(); ++t) {
        BatchWalker& walker = walkers[t % 2];
        walker.prepare(trees[t], rows.data() + first * c.n_features, count);
        const uint64_t cut = count / 3;
        for (auto [begin, end] : {std::pair{cut, count}, std::pair{uint64_t{0}, cut}}) {
          walker.replay(trees[t], rows.data() + first * c.n_features, begin, end,
                        got.data() + first * per_row, stack);
        }
      }
    }
    expect_same_bits(got, want, "split replay");
  }
}

INSTANTIATE_TEST_SUITE_P(Forests, BatchWalk,
                         ::testing::Values(Case{1, 3, 2, 6, 37}, Case{2, 5, 3, 9, 61},
                                           Case{3, 12, 4, 11, 29}, Case{4, 2, 2, 14, 50},
                                           Case{5, 9, 3, 4, 1}));

// End to end through tree_shap and shap_importances: a bin-space forest read from raw values
// with NaN (the missing-value bin), against the scalar walk over the rows binned by hand.
TEST(BatchWalk, BinnedForestWithMissingValuesMatchesTheScalarWalk) {
  constexpr uint64_t kFeatures = 4;
  constexpr uint64_t kClasses = 3;
  constexpr uint64_t kRows = 45;
  const BinEdges edges = {{-1.0, 0.5, 3.0, 4.0, 5.0}, {0.0, 2.0, 2.5, 3.5, 4.5, 6.0},
                          {-1.0, 1.0, 2.5, 4.0, 5.5}, {0.0, 1.0, 2.0, 3.0, 4.0, 5.0}};
  Lcg rng{11};
  std::vector<Tree> raw_trees;
  for (int t = 0; t < 5; ++t) raw_trees.push_back(random_tree(rng, kFeatures, kClasses, 8));
  FittedForest forest = make_forest(raw_trees, kFeatures, kClasses);
  forest.edges = edges;
  const std::vector<double> values = random_rows(rng, kRows, kFeatures);
  PredictionMatrix x = dense_input(values, kFeatures);
  x.edges = &*forest.edges;
  const ShapValues got = tree_shap(forest, x);

  std::vector<CompactTree> trees;
  uint64_t max_depth = 0;
  for (const Tree& tree : raw_trees) {
    trees.push_back(compact_tree(tree, kFeatures, kClasses));
    max_depth = std::max(max_depth, trees.back().max_depth);
  }
  std::vector<double> bins(values.size());
  for (size_t k = 0; k < values.size(); ++k) {
    const std::vector<double>& e = edges[k % kFeatures];
    const uint8_t bin = bin_of(e, values[k]);
    bins[k] = bin == missing_bin(e.size()) ? kNaN : static_cast<double>(bin);
  }
  std::vector<double> want = scalar_phi(trees, max_depth, bins,
                                         Case{0, kFeatures, kClasses, 0, kRows});
  std::vector<double> importances(kFeatures, 0.0);
  for (uint64_t r = 0; r < kRows; ++r) {
    for (uint64_t j = 0; j < kFeatures; ++j) {
      for (uint64_t c = 0; c < kClasses; ++c) {
        double& v = want[(r * kFeatures + j) * kClasses + c];
        v = v / static_cast<double>(trees.size());
        importances[j] += std::fabs(v) / static_cast<double>(kClasses);
      }
    }
  }
  expect_same_bits(got.values, want, "tree_shap");
  // One worker sums the rows in order, exactly as above.
  double total = 0.0;
  for (double v : importances) total += v;
  for (double& v : importances) v = v / total;
  expect_same_bits(shap_importances(forest, x, 1), importances, "shap_importances");
}

}  // namespace
}  // namespace morvel::shap::testing
