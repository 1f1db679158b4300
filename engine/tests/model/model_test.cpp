// Tree ranges, merging of range parts and the saved model format, end to end through the
// fit driver: parts of a forest merged in any order must equal the whole fit bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "morvel/api.h"
#include "morvel/errors.h"
#include "data/rng.h"

namespace morvel {
namespace {

struct Data {
  std::vector<double> cells;
  std::vector<int64_t> y;
  std::vector<double> weights;
  uint64_t rows = 240;
  uint64_t cols = 5;

  Data() {
    Rng rng(7, 3);
    for (uint64_t r = 0; r < rows; ++r) {
      for (uint64_t f = 0; f < cols; ++f) cells.push_back(static_cast<double>(rng.below(40)) / 3.0);
      y.push_back((cells[r * cols] + cells[r * cols + 1] > 13.0 ? 1 : 0) + (rng.below(6) == 0 ? 1 : 0));
      weights.push_back(0.5 + static_cast<double>(rng.below(4)));
    }
  }
};

struct Path {
  const char* name;
  void (*apply)(FitSettings&);
  bool weighted;
};

const Path kPaths[] = {
    {"exact", [](FitSettings&) {}, false},
    {"histogram", [](FitSettings& s) { s.max_bins = 16; }, true},
    {"extra_exact", [](FitSettings& s) { s.extra_trees = true; }, true},
    {"extra_binned",
     [](FitSettings& s) {
       s.extra_trees = true;
       s.max_bins = 32;
       s.extra_trees_backend = "binned";
     },
     false},
    {"pruned", [](FitSettings& s) { s.ccp_alpha = 0.01; }, false},
};

FitOutcome fit(const Data& d, const Path& path, uint64_t begin, uint64_t end, uint64_t n_jobs = 1,
               uint64_t seed = 11) {
  FitSettings s;
  s.n_estimators = 10;
  s.max_features = 2;
  s.random_state = seed;
  s.oob = true;
  s.permutation_importance = true;
  s.n_jobs = n_jobs;
  path.apply(s);
  FitInput x;
  x.kind = FitInput::Kind::DenseF64;
  x.f64 = {reinterpret_cast<const std::byte*>(d.cells.data()), d.rows, d.cols, static_cast<int64_t>(d.cols * 8), 8};
  FitRequest request;
  request.settings = &s;
  request.x = &x;
  request.y = d.y;
  request.sample_weight = path.weighted ? &d.weights : nullptr;
  request.tree_begin = begin;
  request.tree_end = end;
  ProfileMap profile;
  return run_fit(request, profile);
}

std::vector<uint64_t> words(const std::vector<double>& v) {
  std::vector<uint64_t> out;
  for (const double x : v) out.push_back(std::bit_cast<uint64_t>(x));
  return out;
}

// Everything a caller can read, as exact words; the saved bytes cover the rest.
void expect_same(const FittedForest& a, const FittedForest& b, std::span<const RowIndex> order) {
  EXPECT_EQ(save_model(a, order), save_model(b, order));
  EXPECT_EQ(words(permutation_importances(a)), words(permutation_importances(b)));
  EXPECT_EQ(words(tree_normalized_gain_importances(a)), words(tree_normalized_gain_importances(b)));
  EXPECT_EQ(words(oob_predict_proba(a)), words(oob_predict_proba(b)));
}

class ModelPaths : public ::testing::TestWithParam<Path> {};

TEST_P(ModelPaths, RangePartsMergeInAnyOrderToTheWholeFit) {
  const Data d;
  const FitOutcome whole = fit(d, GetParam(), 0, UINT64_MAX);
  const FitOutcome a = fit(d, GetParam(), 0, 3);
  const FitOutcome b = fit(d, GetParam(), 3, 4, 2);
  const FitOutcome c = fit(d, GetParam(), 4, 10, 3);
  const std::vector<ModelView> parts = {{&c.forest, c.training_order},
                                        {&a.forest, a.training_order},
                                        {&b.forest, b.training_order}};
  const FittedForest merged = merge_forests(parts);
  expect_same(merged, whole.forest, whole.training_order);

  // Partial merges are forests of their own range, and merge again.
  const std::vector<ModelView> first_two = {{&b.forest, b.training_order}, {&a.forest, a.training_order}};
  const FittedForest ab = merge_forests(first_two);
  EXPECT_EQ(ab.tree_begin, 0u);
  EXPECT_EQ(ab.tree_end, 4u);
  const std::vector<ModelView> again = {{&ab, a.training_order}, {&c.forest, c.training_order}};
  expect_same(merge_forests(again), whole.forest, whole.training_order);
}

TEST_P(ModelPaths, WorkersGiveTheSequentialPermutationMeans) {
  const Data d;
  const FitOutcome one = fit(d, GetParam(), 0, UINT64_MAX, 1);
  const FitOutcome three = fit(d, GetParam(), 0, UINT64_MAX, 3);
  expect_same(three.forest, one.forest, one.training_order);
}

TEST_P(ModelPaths, SavedModelLoadsToTheSameState) {
  const Data d;
  const FitOutcome whole = fit(d, GetParam(), 2, 9);
  const std::vector<uint8_t> bytes = save_model(whole.forest, whole.training_order);
  const ModelParts loaded = load_model(bytes);
  EXPECT_EQ(loaded.training_order, whole.training_order);
  EXPECT_EQ(loaded.forest.edges, whole.forest.edges);
  EXPECT_EQ(loaded.forest.settings_digest, whole.forest.settings_digest);
  expect_same(loaded.forest, whole.forest, whole.training_order);
}

INSTANTIATE_TEST_SUITE_P(Paths, ModelPaths, ::testing::ValuesIn(kPaths),
                         [](const auto& info) { return std::string(info.param.name); });

std::string failure(const std::function<void()>& run) {
  try {
    run();
  } catch (const ValidationError& e) {
    return e.what();
  }
  return "<passed>";
}

TEST(Model, RangesAndMergesAreRefusedWhenTheyCannotMakeOneForest) {
  const Data d;
  const Path& exact = kPaths[0];
  for (const auto& [begin, end] : {std::pair<uint64_t, uint64_t>{3, 3}, {4, 2}, {0, 11}}) {
    EXPECT_EQ(failure([&] { fit(d, exact, begin, end); }),
              "tree_range must satisfy 0 <= start < stop <= n_estimators");
  }
  const FitOutcome a = fit(d, exact, 0, 4);
  const FitOutcome b = fit(d, exact, 3, 10);
  const FitOutcome c = fit(d, exact, 5, 10);
  const FitOutcome other_seed = fit(d, exact, 4, 10, 1, 12);
  const FitOutcome other_path = fit(d, kPaths[1], 4, 10);
  auto merge = [](const FitOutcome& x, const FitOutcome& y) {
    const std::vector<ModelView> parts = {{&x.forest, x.training_order}, {&y.forest, y.training_order}};
    merge_forests(parts);
  };
  EXPECT_EQ(failure([&] { merge(a, b); }), "cannot merge forests: their tree ranges overlap (trees 3..4 appear twice)");
  EXPECT_EQ(failure([&] { merge(c, a); }), "cannot merge forests: their tree ranges leave a gap (trees 4..5 are missing)");
  EXPECT_EQ(failure([&] { merge(a, other_seed); }),
            "cannot merge forests: they were fitted with different settings, labels or weights");
  EXPECT_NE(failure([&] { merge(a, other_path); }), "<passed>");
}

}  // namespace
}  // namespace morvel
