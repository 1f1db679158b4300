// Exact split search of one feature: thresholds, missing-value directions, validity windows.
#include "split/exact_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "../tree/fixture.h"
#include "data/rng.h"

namespace morvel {
namespace {

using testing::all_rows;
using testing::column_context;
using testing::tree_weights;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::optional<SplitCandidate> search(const TrainingContext& ctx, std::vector<RowIndex> rows = {},
                                     int8_t constraint = 0, NodeBounds bounds = {}) {
  if (rows.empty()) rows = all_rows(ctx);
  const TreeWeights weights = tree_weights(ctx);
  const SearchRules rules = make_search_rules(ctx, weights);
  NodeStats stats;
  compute_node_stats(ctx, weights, rows, false, stats);
  ExactScratch scratch;
  return search_exact(ctx, weights, rules, rows, stats, 0, constraint, bounds, scratch);
}

TEST(ExactSearch, MidpointPivot) {
  const auto found = search(column_context({2.0, 1.0}, {1, 0}, 2));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->pivot, 1.5);
  // Perfect split of a (1, 1) node under gini, with the node holding all weight.
  EXPECT_EQ(found->gain, 0.5);
}

TEST(ExactSearch, MidpointRoundingUpFallsBackToLowerValue) {
  // a has an odd last mantissa bit, so a*0.5 + b*0.5 rounds (to even) onto b.
  const double a = 1.0 + std::ldexp(1.0, -52);
  const double b = 1.0 + std::ldexp(2.0, -52);
  ASSERT_EQ(a * 0.5 + b * 0.5, b);
  const auto found = search(column_context({a, b}, {0, 1}, 2));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->pivot, a);
  EXPECT_TRUE(b > found->pivot);  // the upper value still routes left
}

TEST(ExactSearch, NoThresholdBetweenEqualValues) {
  EXPECT_FALSE(search(column_context({3.0, 3.0, 3.0}, {0, 1, 0}, 2)));
  // -0.0 and +0.0 sort apart but are one number: a threshold between them would send both
  // the same way at prediction time, so none is placed there.
  EXPECT_FALSE(search(column_context({0.0, -0.0, 0.0, -0.0}, {1, 0, 1, 0}, 2)));
  const auto found = search(column_context({-0.0, 0.0, 1.0, 1.0}, {0, 1, 1, 1}, 2));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->pivot, 0.5);
}

TEST(ExactSearch, EqualImprovementKeepsSmallerPivot) {
  // Thresholds 1.5 and 2.5 split (0 | 1, 0) and (0, 1 | 0): mirror images, same improvement.
  const auto found = search(column_context({1.0, 2.0, 3.0}, {0, 1, 0}, 2));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->pivot, 1.5);
}

struct DirectionCase {
  std::vector<ClassIndex> labels;
  double pivot;
  bool missing_left;
};

class NoMissingDirection : public ::testing::TestWithParam<DirectionCase> {};

// Without missing rows in the node, unseen missing values follow the larger side (prefix is
// the right child); equal sides go left.
TEST_P(NoMissingDirection, FollowsLargerSide) {
  const DirectionCase& c = GetParam();
  std::vector<double> values;
  for (size_t i = 0; i < c.labels.size(); ++i) values.push_back(static_cast<double>(i + 1));
  const auto found = search(column_context(values, c.labels, 2));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->pivot, c.pivot);
  EXPECT_EQ(found->missing_left, c.missing_left);
}

INSTANTIATE_TEST_SUITE_P(Sides, NoMissingDirection,
                         ::testing::Values(DirectionCase{{0, 0, 1, 1, 1}, 2.5, true},   // 2 right, 3 left
                                           DirectionCase{{0, 0, 0, 1, 1}, 3.5, false},  // 3 right, 2 left
                                           DirectionCase{{0, 0, 1, 1}, 2.5, true}));    // 2 and 2

TEST(ExactSearch, MissingRowsTakeTheBetterSide) {
  // Missing rows are class 1 like the large values: they belong left.
  auto left = search(column_context({1.0, 2.0, 3.0, 4.0, kNaN, kNaN}, {0, 0, 1, 1, 1, 1}, 2));
  ASSERT_TRUE(left);
  EXPECT_EQ(left->pivot, 2.5);
  EXPECT_TRUE(left->missing_left);
  // A perfect split: the gain is the parent impurity of (2, 4), the node holding all weight.
  EXPECT_DOUBLE_EQ(left->gain, 1.0 - (1.0 / 9.0 + 4.0 / 9.0));
  // Class 0 like the small values: they belong right.
  auto right = search(column_context({1.0, 2.0, 3.0, 4.0, kNaN, kNaN}, {0, 0, 1, 1, 0, 0}, 2));
  ASSERT_TRUE(right);
  EXPECT_FALSE(right->missing_left);
  // Only missing values and one present value: nothing to scan.
  EXPECT_FALSE(search(column_context({kNaN, 1.0, kNaN}, {0, 1, 1}, 2)));
}

TEST(ExactSearch, MissingDirectionTieGoesLeft) {
  // Missing rows (one per class) make both directions equally good.
  const auto found = search(column_context({1.0, 2.0, kNaN, kNaN}, {0, 1, 0, 1}, 2));
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->missing_left);
}

TEST(ExactSearch, MinSamplesLeafWindow) {
  // Unconstrained, 1.5 separates the lone class-0 row perfectly.
  const std::vector<double> values = {1.0, 2.0, 3.0, 4.0, 5.0};
  const std::vector<ClassIndex> labels = {0, 1, 1, 0, 1};
  EXPECT_EQ(search(column_context(values, labels, 2))->pivot, 1.5);
  auto ctx = column_context(values, labels, 2);
  ctx.growth.min_samples_leaf = 2;
  const auto found = search(ctx);
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->pivot == 2.5 || found->pivot == 3.5);
  // Five present values, one missing, min_samples_leaf 3: three entries per side only with
  // 2.5 and the missing row right, or 3.5 and the missing row left. The two are mirror
  // images with equal improvement, so the smaller pivot stands.
  auto with_missing = column_context({1.0, 2.0, 3.0, 4.0, 5.0, kNaN}, {0, 1, 1, 0, 1, 0}, 2);
  with_missing.growth.min_samples_leaf = 3;
  const auto only = search(with_missing);
  ASSERT_TRUE(only);
  EXPECT_EQ(only->pivot, 2.5);
  EXPECT_FALSE(only->missing_left);
  with_missing.growth.min_samples_leaf = 4;
  EXPECT_FALSE(search(with_missing));
}

TEST(ExactSearch, MinImpurityDecreaseIsInclusiveOnLocalImprovement) {
  // The node is half the training weight, so gain = improvement / 2; the threshold compares
  // the unscaled improvement.
  auto ctx = column_context({1.0, 2.0, 3.0, 4.0, 9.0, 9.0, 9.0, 9.0}, {0, 1, 1, 1, 0, 0, 0, 0}, 2);
  const std::vector<RowIndex> node = {0, 1, 2, 3};
  const auto free = search(ctx, node);
  ASSERT_TRUE(free);
  const double improvement = free->gain * 2.0;
  ctx.growth.min_impurity_decrease = improvement;
  const auto at = search(ctx, node);
  ASSERT_TRUE(at);
  EXPECT_EQ(at->pivot, free->pivot);
  ctx.growth.min_impurity_decrease = std::nextafter(improvement, 1.0);
  EXPECT_FALSE(search(ctx, node));
}

TEST(ExactSearch, MinLeafWeightAndZeroWeightSides) {
  // Row 0 carries no weight: a side made only of it is refused whatever min_leaf_weight is.
  // Every threshold improves nothing here, so 1.5 would win on its smaller pivot if allowed.
  auto ctx = column_context({1.0, 2.0, 3.0}, {1, 0, 0}, 2, {0.0, 1.0, 1.0});
  const auto zero = search(ctx);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->pivot, 2.5);
  // Sides weigh 1 | 3 | 1 | 1: only 2.5 leaves 2 on each side, and equality passes.
  auto weighted = column_context({1.0, 2.0, 3.0, 4.0}, {0, 0, 1, 1}, 2, {1.0, 3.0, 1.0, 1.0});
  weighted.growth.min_leaf_weight = 2.0;
  const auto found = search(weighted);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->pivot, 2.5);
  weighted.growth.min_leaf_weight = 2.5;
  EXPECT_FALSE(search(weighted));
}

TEST(ExactSearch, MonotonicDirectionFiltersThresholds) {
  // Small values are class 1: the only informative split has p_right = 1 > p_left = 0.
  auto decreasing = column_context({1.0, 2.0, 3.0, 4.0}, {1, 1, 0, 0}, 2);
  EXPECT_FALSE(search(decreasing, {}, +1));
  EXPECT_TRUE(search(decreasing, {}, -1));
  auto increasing = column_context({1.0, 2.0, 3.0, 4.0}, {0, 0, 1, 1}, 2);
  EXPECT_TRUE(search(increasing, {}, +1));
  // Both sides must also lie inside the node's bounds: with upper 0.9 the pure left side of
  // 2.5 is refused and 1.5 (left share 2/3) is the best admissible split.
  const auto bounded = search(increasing, {}, +1, NodeBounds{0.0, 0.9});
  ASSERT_TRUE(bounded);
  EXPECT_EQ(bounded->pivot, 1.5);
}

TEST(ExactSearch, GatherOrderDoesNotChangeTheResult) {
  // Fractional weights make sums order-sensitive; equal values are summed in list order, so
  // reversing the list can only change which entry ties come from, never the pivot picked.
  auto ctx = column_context({0.3, 0.1, 0.2, 0.1, 0.3, 0.2}, {0, 1, 0, 1, 1, 0}, 2, {0.1, 0.7, 0.2, 0.3, 0.9, 0.4});
  const auto forward = search(ctx, {0, 1, 2, 3, 4, 5});
  const auto backward = search(ctx, {5, 4, 3, 2, 1, 0});
  ASSERT_TRUE(forward && backward);
  EXPECT_EQ(forward->pivot, backward->pivot);
  EXPECT_EQ(forward->missing_left, backward->missing_left);
}

}  // namespace
}  // namespace morvel

namespace morvel {
namespace {

// Reference search by brute force: for each pair of neighbouring distinct numbers, measure
// both sides from scratch in list order and apply the shared validity rules. With weights
// that are multiples of 1/2 every side sum is exact, so the result must match bit for bit.
std::optional<SplitCandidate> reference_search(const TrainingContext& ctx, const std::vector<RowIndex>& rows,
                                               const NodeStats& stats) {
  const TreeWeights weights = tree_weights(ctx);
  const SearchRules rules = make_search_rules(ctx, weights);
  const uint64_t k = ctx.n_classes;
  std::vector<double> present;
  for (uint64_t r : rows) {
    const double v = ctx.dense.at(r, 0);
    if (!std::isnan(v)) present.push_back(v);
  }
  std::sort(present.begin(), present.end(), [](double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); });
  const double parent = impurity(rules.criterion, stats.class_weight.data(), k, stats.weight);
  std::optional<SplitCandidate> best;
  double best_improvement = 0.0;
  for (size_t i = 0; i + 1 < present.size(); ++i) {
    const double a = present[i];
    const double b = present[i + 1];
    if (a == b) continue;
    const double mid = a * 0.5 + b * 0.5;
    const double pivot = mid < b ? mid : a;
    std::vector<double> left(k, 0.0), right(k, 0.0), miss(k, 0.0);
    double wl = 0.0, wr = 0.0, wm = 0.0;
    uint64_t nl = 0, nr = 0, nm = 0;
    for (size_t e = 0; e < rows.size(); ++e) {
      const double v = ctx.dense.at(rows[e], 0);
      const double w = ctx.weights[rows[e]];
      const uint64_t c = ctx.labels[rows[e]];
      if (std::isnan(v)) {
        miss[c] += w, wm += w, ++nm;
      } else if (v > pivot) {
        left[c] += w, wl += w, ++nl;
      } else {
        right[c] += w, wr += w, ++nr;
      }
    }
    auto offer = [&](const SideStats& l, const SideStats& r, bool missing_left) {
      auto imp = evaluate_partition(rules, parent, stats.weight, l, r, 0, NodeBounds{});
      if (imp && (!best || *imp > best_improvement)) {
        best_improvement = *imp;
        best = SplitCandidate{pivot, missing_left, scaled_gain(*imp, stats.weight, rules.w_total)};
      }
    };
    if (nm == 0) {
      offer(SideStats{left.data(), wl, nl}, SideStats{right.data(), wr, nr}, nr <= nl);
      continue;
    }
    std::vector<double> l1(k), r2(k);
    for (uint64_t c = 0; c < k; ++c) l1[c] = left[c] + miss[c], r2[c] = right[c] + miss[c];
    offer(SideStats{l1.data(), wl + wm, nl + nm}, SideStats{right.data(), wr, nr}, true);
    offer(SideStats{left.data(), wl, nl}, SideStats{r2.data(), wr + wm, nr + nm}, false);
  }
  return best;
}

TEST(ExactSearch, MatchesBruteForceOnRandomNodes) {
  Rng draw(2024, 7);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double palette[] = {-3.5, -1.0, -0.0, 0.0, 0.25, 1.0, 2.0, 7.5, 1e6, nan};
  for (int round = 0; round < 300; ++round) {
    const uint64_t n = 1 + draw.below(round % 3 == 0 ? 400 : 60);
    // Unit weights under Gini take the scan that skips partitions which cannot beat the best;
    // many distinct values give it long scans, few classes many tied improvements.
    const bool unit = round % 4 == 1;
    const uint64_t n_classes = 2 + draw.below(unit ? 4 : 2);
    std::vector<double> values;
    std::vector<ClassIndex> labels;
    std::vector<double> weights;
    const uint64_t spread = 2 + draw.below(std::size(palette) - 1);
    // Labels that mostly follow the value make the improvement climb over many pivots, each
    // a new best: the scan that keeps such pivots for later scoring must thin them often.
    const bool climbing = unit && round % 8 == 1;
    for (uint64_t i = 0; i < n; ++i) {
      values.push_back(unit && draw.below(2) == 0 ? static_cast<double>(draw.below(200)) : palette[draw.below(spread)]);
      const uint64_t near = std::min<uint64_t>(n_classes - 1, static_cast<uint64_t>(std::max(values.back(), 0.0)) *
                                                                    n_classes / 200);
      labels.push_back(climbing && draw.below(4) != 0 ? near : draw.below(n_classes));
      weights.push_back(unit ? 1.0 : 0.5 * static_cast<double>(draw.below(5)));
    }
    auto ctx = column_context(values, labels, n_classes, weights);
    ctx.growth.min_samples_leaf = 1 + draw.below(3);
    ctx.growth.min_leaf_weight = std::array{0.0, 1.0, 2.5}[draw.below(3)];
    ctx.growth.min_impurity_decrease = draw.below(4) == 0 ? 0.01 * static_cast<double>(draw.below(8)) : 0.0;
    ctx.growth.criterion = draw.below(2) == 0 ? Criterion::Gini : Criterion::Entropy;
    // A node: a random sublist with repeats, in random order.
    std::vector<RowIndex> rows;
    for (uint64_t i = 0; i < n; ++i) rows.push_back(draw.below(n));
    TreeWeights tw = tree_weights(ctx);
    tw.unit = unit;
    const SearchRules rules = make_search_rules(ctx, tw);
    NodeStats stats;
    compute_node_stats(ctx, tw, rows, round % 2 == 0, stats);
    const auto want = reference_search(ctx, rows, stats);
    // The same values as a float32 feature-major copy take the float-key path.
    auto narrow = ctx;
    for (double v : values) narrow.feature_major_f32.push_back(static_cast<float>(v));
    // As CSR (some +0.0 stored explicitly, others absent) with ascending node rows, the
    // column walk.
    auto sparse = ctx;
    sparse.form = ValueForm::Csr;
    sparse.csr.n_rows = n;
    sparse.csr.n_features = 1;
    sparse.csr.indptr.push_back(0);
    for (uint64_t r = 0; r < n; ++r) {
      if (std::bit_cast<uint64_t>(values[r]) != 0 || r % 3 == 0) {
        sparse.csr.indices.push_back(0);
        sparse.csr.data.push_back(values[r]);
      }
      sparse.csr.indptr.push_back(sparse.csr.indices.size());
    }
    std::vector<RowIndex> ascending = rows;
    std::sort(ascending.begin(), ascending.end());
    NodeStats ascending_stats;
    compute_node_stats(ctx, tw, ascending, false, ascending_stats);
    const auto want_ascending = reference_search(ctx, ascending, ascending_stats);
    struct Variant {
      const TrainingContext* ctx;
      const std::vector<RowIndex>* rows;
      const NodeStats* stats;
      const std::optional<SplitCandidate>* want;
    };
    for (const Variant& v : {Variant{&ctx, &rows, &stats, &want}, Variant{&narrow, &rows, &stats, &want},
                             Variant{&sparse, &ascending, &ascending_stats, &want_ascending}}) {
      ExactScratch scratch;
      const auto got = search_exact(*v.ctx, tw, rules, *v.rows, *v.stats, 0, 0, NodeBounds{}, scratch);
      const auto& expected = *v.want;
      ASSERT_EQ(got.has_value(), expected.has_value()) << "round " << round;
      if (!expected) continue;
      EXPECT_EQ(got->pivot, expected->pivot) << "round " << round;
      EXPECT_EQ(got->missing_left, expected->missing_left) << "round " << round;
      EXPECT_EQ(std::bit_cast<uint64_t>(got->gain), std::bit_cast<uint64_t>(expected->gain)) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace morvel

namespace morvel {
namespace {

// Keys as the search makes them: the IEEE total order of the value as an unsigned order.
uint64_t total_order_key(double v) {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  return (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
}

// float32 keys as the search makes them from float32 data: the float's order key in the
// upper half.
uint64_t float_order_key(double v) {
  const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(v));
  const uint32_t key = (bits >> 31) != 0 ? ~bits : bits | (uint32_t{1} << 31);
  return static_cast<uint64_t>(key) << 32;
}

// The sort spreads records over buckets by their values' range, falls back to the radix
// sort (which picks its digits from the spread of the keys) where the values give no usable
// range, and finishes small buckets by insertion; value sets with different spreads, ties
// and sizes take different paths through it, in both key forms.
TEST(ExactSort, MatchesStableSortOnKeys) {
  Rng draw(77, 3);
  const auto value = [&](int shape) -> double {
    switch (shape) {
      case 0: return (draw.next_f64() - 0.5) * 2000.0;                             // one wide range
      case 1: return static_cast<double>(draw.below(20));                            // many ties
      case 2: return std::ldexp(draw.next_f64(), static_cast<int>(draw.below(200)) - 100);  // many scales
      case 3: return std::bit_cast<double>(draw.next_u64());                       // any bit pattern
      case 4: return draw.below(2) == 0 ? -0.0 : 1e-310;                             // -0.0 and a subnormal
      default: return 1.0 + static_cast<double>(draw.below(3)) * 0x1p-52;           // keys differing low
    }
  };
  ExactScratch scratch;  // reused, as a worker reuses it
  for (const uint64_t n : {0u, 1u, 2u, 24u, 25u, 47u, 48u, 49u, 200u, 3000u, 70000u}) {
    for (int shape = 0; shape < 12; ++shape) {
      const bool float_keys = shape >= 6;
      UninitVector<ExactSortRecord> records;
      for (uint64_t i = 0; i < n; ++i) {
        const double v = value(shape % 6);
        records.push_back(ExactSortRecord{float_keys ? float_order_key(v) : total_order_key(v), i});
      }
      std::vector<ExactSortRecord> want(records.begin(), records.end());
      std::stable_sort(want.begin(), want.end(),
                       [](const ExactSortRecord& a, const ExactSortRecord& b) { return a.key < b.key; });
      sort_exact_records(records, scratch, float_keys);
      ASSERT_EQ(records.size(), want.size());
      for (uint64_t i = 0; i < n; ++i) {
        ASSERT_EQ(records[i].key, want[i].key) << "n " << n << " shape " << shape << " at " << i;
        ASSERT_EQ(records[i].position, want[i].position) << "n " << n << " shape " << shape << " at " << i;
      }
    }
  }
}

}  // namespace
}  // namespace morvel
