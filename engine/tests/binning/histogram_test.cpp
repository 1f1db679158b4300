// Histogram split search: subtraction against direct builds, on-demand sums against full
// histograms, the bin scan's pivot and missing-value rules, and the layouts it reads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <list>
#include <random>

#include "binning/binning.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "split/histogram.h"

namespace morvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Problem {
  DenseMatrix x;
  std::vector<ClassIndex> labels;
  std::vector<double> weights;
  uint64_t n_classes = 2;
};

Problem random_problem(uint64_t n_rows, uint64_t n_features, uint64_t n_classes, uint64_t seed, bool integral,
                       double nan_share) {
  std::mt19937_64 gen(seed);
  Problem p;
  p.n_classes = n_classes;
  p.x.n_rows = n_rows;
  p.x.n_features = n_features;
  p.x.values.resize(n_rows * n_features);
  p.labels.resize(n_rows);
  p.weights.resize(n_rows);
  for (uint64_t r = 0; r < n_rows; ++r) {
    p.labels[r] = gen() % n_classes;
    p.weights[r] = integral ? static_cast<double>(gen() % 4) : static_cast<double>(gen() % 1000) / 97.0;
    for (uint64_t f = 0; f < n_features; ++f) {
      // Informative features: the label shifts the value.
      double v = static_cast<double>(gen() % (f + 3)) + static_cast<double>(p.labels[r]) * (f % 2);
      if (static_cast<double>(gen() % 1000) < nan_share * 1000.0) v = kNaN;
      p.x.values[r * n_features + f] = v;
    }
  }
  return p;
}

TrainingContext binned_context(const Problem& p, uint64_t max_bins, bool feature_major, uint64_t threads = 1) {
  TrainingContext ctx;
  ctx.n_rows = p.x.n_rows;
  ctx.n_features = p.x.n_features;
  ctx.n_classes = p.n_classes;
  ctx.form = ValueForm::Dense;
  ctx.dense = p.x;
  BinningOptions options;
  options.max_bins = max_bins;
  ctx.binned = bin_dense(p.x, options);
  if (feature_major) convert_bins_to_feature_major(*ctx.binned, 2, nullptr);
  ctx.has_missing = ctx.binned->has_missing;
  ctx.candidates = candidate_features(ctx.binned->edges);
  ctx.labels = p.labels;
  ctx.weights = p.weights;
  ctx.w_total = 0.0;
  for (double w : p.weights) ctx.w_total += w;
  ctx.has_weights = true;
  ctx.growth.threads_per_tree = threads;
  return ctx;
}

TreeWeights tree_weights(const TrainingContext& ctx) {
  return TreeWeights{ctx.weights, ctx.w_total, 0.0, ctx.unit_weights};
}

NodeStats stats_of(const TrainingContext& ctx, std::span<const RowIndex> rows) {
  NodeStats s;
  compute_node_stats(ctx, tree_weights(ctx), rows, false, s);
  return s;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_candidate(const std::optional<SplitCandidate>& a, const std::optional<SplitCandidate>& b) {
  ASSERT_EQ(a.has_value(), b.has_value());
  if (!a) return;
  EXPECT_EQ(a->pivot, b->pivot);
  EXPECT_EQ(a->missing_left, b->missing_left);
  EXPECT_TRUE(same_bits(a->gain, b->gain)) << a->gain << " vs " << b->gain;
}

void expect_same_histogram(const NodeHistogram& a, const NodeHistogram& b) {
  ASSERT_EQ(a.counts, b.counts);
  ASSERT_EQ(a.class_weights.size(), b.class_weights.size());
  for (size_t i = 0; i < a.class_weights.size(); ++i)
    ASSERT_TRUE(same_bits(a.class_weights[i], b.class_weights[i])) << i;
}

// A bootstrap-like index list: rows drawn with repeats, ascending.
std::vector<RowIndex> draw_rows(uint64_t n_rows, uint64_t count, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<RowIndex> rows(count);
  for (RowIndex& r : rows) r = static_cast<RowIndex>(gen() % n_rows);
  std::sort(rows.begin(), rows.end());
  return rows;
}

// Stable partition of `rows` by the bin of `feature`.
void split_rows(const TrainingContext& ctx, std::span<const RowIndex> rows, uint64_t feature, double pivot,
                std::vector<RowIndex>& left, std::vector<RowIndex>& right) {
  left.clear();
  right.clear();
  for (uint64_t r : rows) (static_cast<double>(ctx.binned->at(r, feature)) > pivot ? left : right).push_back(r);
}

TEST(HistogramSubtraction, DerivedChildMatchesDirectBuild) {
  const Problem p = random_problem(600, 6, 3, 1, /*integral=*/false, 0.05);
  const TrainingContext ctx = binned_context(p, 16, false);
  HistogramSearch search(ctx, tree_weights(ctx), make_search_rules(ctx, tree_weights(ctx)));
  search.disable_on_demand();
  const std::vector<RowIndex> rows = draw_rows(600, 600, 2);
  for (const double pivot : {0.5, 2.5, 4.5}) {  // smaller child left, right, and in between
    std::vector<RowIndex> left, right;
    split_rows(ctx, rows, 1, pivot, left, right);
    auto [hl, hr] = search.derive_children(search.build(rows), left, right);
    const NodeHistogram direct_left = search.build(left);
    const NodeHistogram direct_right = search.build(right);
    const bool left_built = left.size() <= right.size();
    expect_same_histogram(left_built ? hl : hr, left_built ? direct_left : direct_right);
    const NodeHistogram& derived = left_built ? hr : hl;
    const NodeHistogram& direct = left_built ? direct_right : direct_left;
    ASSERT_EQ(derived.counts, direct.counts);
    for (size_t i = 0; i < derived.class_weights.size(); ++i) {
      EXPECT_GE(derived.class_weights[i], 0.0);
      EXPECT_NEAR(derived.class_weights[i], direct.class_weights[i], 1e-9);
    }
  }
}

TEST(HistogramSubtraction, ClampsRoundingResidueAndBuildsLeftOnTie) {
  // Bin 0 of feature 0 holds five rows of one class. The parent sums them in list order,
  // the left child (built: 5 entries against 5) in another order, which leaves parent -
  // built = -4.4e-16 for the right child.
  Problem p;
  p.n_classes = 2;
  p.x.n_rows = 10;
  p.x.n_features = 1;
  p.x.values = {0, 0, 0, 0, 0, 1, 1, 1, 1, 1};
  p.labels.assign(10, 0);
  p.weights = {1.1, 0.001, 1.1, 0.1, 0.05, 1, 1, 1, 1, 1};
  const TrainingContext ctx = binned_context(p, 255, false);
  HistogramSearch search(ctx, tree_weights(ctx), make_search_rules(ctx, tree_weights(ctx)));
  search.disable_on_demand();
  const std::vector<RowIndex> parent_rows = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const std::vector<RowIndex> left = {4, 2, 1, 0, 3};
  const std::vector<RowIndex> right = {5, 6, 7, 8, 9};
  NodeHistogram parent = search.build(parent_rows);
  const NodeHistogram built_left = search.build(left);
  ASSERT_LT(parent.class_weights[0] - built_left.class_weights[0], 0.0);
  auto [hl, hr] = search.derive_children(std::move(parent), left, right);
  expect_same_histogram(hl, built_left);
  EXPECT_TRUE(same_bits(hr.class_weights[0], 0.0));
  EXPECT_EQ(hr.counts[0], 0u);
  EXPECT_EQ(hr.counts[1], 5u);
}

// Grows a few levels by always splitting on the best feature and compares every search of
// an on-demand histogram with the same search on full, subtracted histograms.
// With `borrow`, the on-demand histograms refer to index lists kept alive in `lists`.
void compare_on_demand_with_full(const TrainingContext& ctx, bool borrow = false) {
  const TreeWeights weights = tree_weights(ctx);
  HistogramSearch lazy(ctx, weights, make_search_rules(ctx, weights));
  HistogramSearch full(ctx, weights, make_search_rules(ctx, weights));
  full.disable_on_demand();
  if (borrow) lazy.borrow_rows();
  std::list<std::vector<RowIndex>> lists;
  struct Node {
    std::vector<RowIndex> rows;
    NodeHistogram lazy, full;
    int depth;
  };
  std::vector<Node> stack;
  std::vector<RowIndex> root;
  for (uint64_t r = 0; r < ctx.n_rows; ++r)
    if (ctx.weights[r] > 0.0) root.push_back(r);
  lists.push_back(root);
  stack.push_back(Node{root, lazy.build(lists.back()), full.build(root), 0});
  ASSERT_TRUE(stack.back().lazy.on_demand);
  uint64_t searched = 0;
  while (!stack.empty()) {
    Node node = std::move(stack.back());
    stack.pop_back();
    expect_same_histogram(lazy.materialize(node.lazy), node.full);
    const NodeStats stats = stats_of(ctx, node.rows);
    std::optional<SplitCandidate> best;
    uint64_t best_feature = 0;
    for (uint64_t f = 0; f < ctx.n_features; ++f) {
      const auto a = lazy.search(node.lazy, stats, f, 0, NodeBounds{});
      const auto b = full.search(node.full, stats, f, 0, NodeBounds{});
      expect_same_candidate(a, b);
      ++searched;
      if (a && (!best || a->gain > best->gain)) {
        best = a;
        best_feature = f;
      }
    }
    if (!best || node.depth == 5) {
      lazy.recycle(std::move(node.lazy));
      full.recycle(std::move(node.full));
      continue;
    }
    std::vector<RowIndex> left, right;
    split_rows(ctx, node.rows, best_feature, best->pivot, left, right);
    lists.push_back(left);
    const std::vector<RowIndex>& kept_left = lists.back();
    lists.push_back(right);
    const std::vector<RowIndex>& kept_right = lists.back();
    auto [ll, lr] = lazy.derive_children(std::move(node.lazy), kept_left, kept_right);
    if (borrow) {
      EXPECT_EQ(ll.entries().data(), kept_left.data());
      EXPECT_EQ(lr.entries().data(), kept_right.data());
    }
    auto [fl, fr] = full.derive_children(std::move(node.full), left, right);
    stack.push_back(Node{right, std::move(lr), std::move(fr), node.depth + 1});
    stack.push_back(Node{left, std::move(ll), std::move(fl), node.depth + 1});
  }
  EXPECT_GT(searched, ctx.n_features * 8);
}

struct LayoutCase {
  uint64_t n_classes;
  Criterion criterion;
  bool feature_major;
  double nan_share;
};

class OnDemand : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(OnDemand, SameSplitsAsSubtractedHistograms) {
  const LayoutCase c = GetParam();
  const Problem p = random_problem(800, 5, c.n_classes, 3 + c.n_classes, /*integral=*/true, c.nan_share);
  TrainingContext ctx = binned_context(p, 8, c.feature_major);
  ctx.growth.criterion = c.criterion;
  compare_on_demand_with_full(ctx);
  compare_on_demand_with_full(ctx, /*borrow=*/true);
}

INSTANTIATE_TEST_SUITE_P(Layouts, OnDemand,
                         ::testing::Values(LayoutCase{2, Criterion::Gini, false, 0.0},
                                           LayoutCase{2, Criterion::Entropy, true, 0.1},
                                           LayoutCase{3, Criterion::Gini, true, 0.0},
                                           LayoutCase{4, Criterion::Entropy, false, 0.1}));

TEST(HistogramSearch, TwoClassCopyMatchesGeneralScan) {
  // The same two-class data declared with a third, empty class runs the general scan; the
  // empty class adds exact zeros to every sum, so all results must agree bit for bit.
  for (const Criterion criterion : {Criterion::Gini, Criterion::Entropy}) {
    for (const double nan_share : {0.0, 0.05}) {
      const bool integral = nan_share == 0.0;
      const Problem two = random_problem(500, 4, 2, 9, integral, nan_share);
      Problem three = two;
      three.n_classes = 3;
      TrainingContext c2 = binned_context(two, 12, false);
      TrainingContext c3 = binned_context(three, 12, false);
      c2.growth.criterion = c3.growth.criterion = criterion;
      HistogramSearch s2(c2, tree_weights(c2), make_search_rules(c2, tree_weights(c2)));
      HistogramSearch s3(c3, tree_weights(c3), make_search_rules(c3, tree_weights(c3)));
      const std::vector<RowIndex> rows = draw_rows(500, 400, 4);
      const NodeHistogram h2 = s2.build(rows);
      const NodeHistogram h3 = s3.build(rows);
      NodeStats st2 = stats_of(c2, rows);
      NodeStats st3 = stats_of(c3, rows);
      for (uint64_t f = 0; f < 4; ++f) expect_same_candidate(s2.search(h2, st2, f, 0, {}), s3.search(h3, st3, f, 0, {}));
    }
  }
}

Problem three_values(const std::vector<double>& values, const std::vector<ClassIndex>& labels) {
  Problem p;
  p.n_classes = 2;
  p.x.n_rows = values.size();
  p.x.n_features = 1;
  p.x.values.assign(values.begin(), values.end());
  p.labels = labels;
  p.weights.assign(values.size(), 1.0);
  return p;
}

TEST(HistogramSearch, EmptyMiddleBinKeepsLowerPivot) {
  // Values 0, 1, 2 give bins 0, 1, 2; the node holds only rows with values 0 and 2.
  const Problem p = three_values({0, 0, 2, 2, 1}, {0, 0, 1, 1, 0});
  for (const bool on_demand : {true, false}) {
    const TrainingContext ctx = binned_context(p, 255, false);
    HistogramSearch search(ctx, tree_weights(ctx), make_search_rules(ctx, tree_weights(ctx)));
    if (!on_demand) search.disable_on_demand();
    const std::vector<RowIndex> rows = {0, 1, 2, 3};
    const auto best = search.search(search.build(rows), stats_of(ctx, rows), 0, 0, {});
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->pivot, 0.5);
    EXPECT_TRUE(best->missing_left);  // 2 right, 2 left: ties go left
    EXPECT_DOUBLE_EQ(best->gain, 0.5 * 4.0 / 5.0);
  }
}

TEST(HistogramSearch, MissingDirectionWithoutMissingRowsFollowsLargerSide) {
  // Row 5 is NaN, so every feature has a missing bin, but the node never contains it.
  const Problem p = three_values({0, 0, 0, 1, 1, kNaN}, {0, 0, 0, 1, 1, 1});
  const TrainingContext ctx = binned_context(p, 255, false);
  ASSERT_TRUE(ctx.binned->has_missing);
  HistogramSearch search(ctx, tree_weights(ctx), make_search_rules(ctx, tree_weights(ctx)));
  const std::vector<RowIndex> larger_right = {0, 1, 2, 3, 4};
  auto best = search.search(search.build(larger_right), stats_of(ctx, larger_right), 0, 0, {});
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(best->pivot, 0.5);
  EXPECT_FALSE(best->missing_left);
  const std::vector<RowIndex> larger_left = {0, 3, 4};
  best = search.search(search.build(larger_left), stats_of(ctx, larger_left), 0, 0, {});
  ASSERT_TRUE(best.has_value());
  EXPECT_TRUE(best->missing_left);
}

TEST(HistogramSearch, MissingRowsTriedOnBothSides) {
  // Missing rows share class 1 with the high values: sending them left is the better split.
  const Problem p = three_values({0, 0, 0, 1, 1, kNaN, kNaN}, {0, 0, 0, 1, 1, 1, 1});
  const TrainingContext ctx = binned_context(p, 255, false);
  HistogramSearch search(ctx, tree_weights(ctx), make_search_rules(ctx, tree_weights(ctx)));
  std::vector<RowIndex> rows = {0, 1, 2, 3, 4, 5, 6};
  auto best = search.search(search.build(rows), stats_of(ctx, rows), 0, 0, {});
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(best->pivot, 0.5);
  EXPECT_TRUE(best->missing_left);
  EXPECT_DOUBLE_EQ(best->gain, 24.0 / 49.0);  // a pure split of gini 1 - (9 + 16) / 49
}

// The bin scan written literally: every regular bin in order (empty ones included), both
// missing-value options, the shared validity rules.
std::optional<SplitCandidate> literal_scan(const TrainingContext& ctx, HistogramSearch& search,
                                           const NodeHistogram& histogram, const NodeStats& stats, uint64_t f,
                                           const SearchRules& rules) {
  const NodeHistogram full = search.materialize(histogram);
  const uint64_t nc = ctx.n_classes;
  const uint64_t g = search.offsets()[f];
  const uint64_t nb = ctx.binned->edges[f].size() + 1;
  const double* cw = full.class_weights.data() + g * nc;
  const uint64_t* counts = full.counts.data() + g;
  std::vector<double> miss(nc, 0.0), suffix(nc), prefix(nc, 0.0), side(nc);
  double w_missing = 0.0;
  uint64_t n_missing = 0;
  if (ctx.binned->has_missing) {
    for (uint64_t c = 0; c < nc; ++c) {
      miss[c] = cw[nb * nc + c];
      w_missing += miss[c];
    }
    n_missing = counts[nb];
  }
  uint64_t total = 0;
  for (uint64_t b = 0; b < nb; ++b) total += counts[b];
  for (uint64_t c = 0; c < nc; ++c) suffix[c] = stats.class_weight[c] - miss[c];
  const double parent = impurity(rules.criterion, stats.class_weight.data(), nc, stats.weight);
  const double w = stats.weight;
  double w_prefix = 0.0;
  uint64_t n_prefix = 0;
  std::optional<SplitCandidate> best;
  double best_improvement = 0.0;
  auto consider = [&](const SideStats& left, const SideStats& right, uint64_t b, bool missing_left) {
    const auto improvement = evaluate_partition(rules, parent, w, left, right, 0, NodeBounds{});
    if (improvement && (!best || *improvement > best_improvement)) {
      best_improvement = *improvement;
      best = SplitCandidate{static_cast<double>(b) + 0.5, missing_left, scaled_gain(*improvement, w, rules.w_total)};
    }
  };
  for (uint64_t b = 0; b < nb; ++b) {
    double bin_weight = 0.0;
    for (uint64_t c = 0; c < nc; ++c) {
      prefix[c] += cw[b * nc + c];
      suffix[c] -= cw[b * nc + c];
      bin_weight += cw[b * nc + c];
    }
    w_prefix += bin_weight;
    n_prefix += counts[b];
    const uint64_t n_suffix = total - n_prefix;
    if (n_missing == 0) {
      consider({suffix.data(), w - w_prefix, n_suffix}, {prefix.data(), w_prefix, n_prefix}, b, n_prefix <= n_suffix);
      continue;
    }
    for (uint64_t c = 0; c < nc; ++c) side[c] = suffix[c] + miss[c];
    consider({side.data(), w - w_prefix, n_suffix + n_missing}, {prefix.data(), w_prefix, n_prefix}, b, true);
    for (uint64_t c = 0; c < nc; ++c) side[c] = prefix[c] + miss[c];
    consider({suffix.data(), (w - w_prefix) - w_missing, n_suffix}, {side.data(), w_prefix + w_missing, n_prefix + n_missing},
             b, false);
  }
  return best;
}

struct ScanCase {
  uint64_t n_classes;
  bool integral;  // integral weights: on-demand sums; fractional: built histograms
  double nan_share;
  uint64_t max_bins;
  bool unit = false;  // every row weighs 1.0 (a bootstrap tree's entries): side weights come from counts
};

class GiniScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(GiniScan, MatchesLiteralScanBitForBit) {
  const ScanCase c = GetParam();
  // 2,000 rows: nodes of up to 62 entries are sparse enough to read the row-major copy.
  Problem p = random_problem(2000, 4, c.n_classes, 30 + c.n_classes, c.integral, c.nan_share);
  if (c.unit) p.weights.assign(p.weights.size(), 1.0);
  TrainingContext ctx = binned_context(p, c.max_bins, /*feature_major=*/true);
  ctx.unit_weights = c.unit;
  // Small nodes read the row-major copy when there is one: both ways must agree.
  for (const bool row_copy : {false, true}) {
    if (row_copy) add_row_major_copy(*ctx.binned, 2);
    for (const uint64_t min_samples_leaf : {1u, 4u}) {
      for (const double min_impurity_decrease : {0.0, 0.002}) {
        ctx.growth.min_samples_leaf = min_samples_leaf;
        ctx.growth.min_impurity_decrease = min_impurity_decrease;
        const TreeWeights weights = tree_weights(ctx);
        const SearchRules rules = make_search_rules(ctx, weights);
        HistogramSearch search(ctx, weights, rules);
        // Node sizes on both sides of the occupied-bin bitmap threshold (fewer entries than bins).
        for (const uint64_t n : {3u, 30u, 250u, 700u}) {
          const std::vector<RowIndex> rows = draw_rows(ctx.n_rows, n, n + min_samples_leaf);
          const NodeHistogram h = search.build(rows);
          ASSERT_EQ(h.on_demand, c.integral);
          for (const bool entry_weights : {false, true}) {
            NodeStats stats;
            compute_node_stats(ctx, weights, rows, entry_weights, stats);
            for (uint64_t f = 0; f < ctx.n_features; ++f) {
              const auto expected = literal_scan(ctx, search, h, stats, f, rules);
              expect_same_candidate(search.search(h, stats, f, 0, NodeBounds{}), expected);
            }
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Classes, GiniScan,
                         ::testing::Values(ScanCase{2, true, 0.0, 255}, ScanCase{2, false, 0.1, 16},
                                           ScanCase{3, true, 0.1, 255}, ScanCase{5, true, 0.0, 64},
                                           ScanCase{5, false, 0.0, 255}, ScanCase{8, true, 0.1, 255},
                                           ScanCase{9, true, 0.05, 32}, ScanCase{9, false, 0.1, 255},
                                           ScanCase{2, true, 0.1, 255, true}, ScanCase{5, true, 0.0, 255, true}));

// Partitions whose improvements tie exactly or differ by a few rounding steps: bins of one
// class mix (every improvement near zero, some just below it), bins mirrored about the middle
// (a partition and its mirror tie in exact arithmetic), and weights on both sides of 2^26,
// where the scan stops pre-scoring partitions. The first partition reaching the largest
// valid improvement must be kept, as a literal scan keeps it.
TEST(HistogramSearch, TiesAndNearTiesMatchLiteralScan) {
  for (const uint64_t n_classes : {2u, 3u, 5u}) {
    for (const double unit : {1.0, 524288.0, 1048576.0}) {  // 1, 2^19, 2^20 per row
      for (const bool with_nan : {false, true}) {
        const uint64_t n_rows = 96;
        Problem p;
        p.n_classes = n_classes;
        p.x.n_rows = n_rows;
        p.x.n_features = 3;
        p.x.values.resize(n_rows * 3);
        p.labels.resize(n_rows);
        p.weights.assign(n_rows, unit);
        for (uint64_t r = 0; r < n_rows; ++r) {
          const uint64_t bin = r % 8;
          p.labels[r] = static_cast<ClassIndex>((r / 8) % n_classes);
          p.x.values[r * 3] = static_cast<double>(bin);  // every bin holds the same class mix
          // Class 0 falls off from bin 0 and rises again towards bin 7, symmetrically.
          const uint64_t from_edge = std::min(bin, 7 - bin);
          p.x.values[r * 3 + 1] = static_cast<double>(p.labels[r] == 0 ? (r % 2 == 0 ? from_edge : 7 - from_edge) : bin);
          p.x.values[r * 3 + 2] = static_cast<double>((r * 7) % 5);
          if (with_nan && r % 11 == 3) p.x.values[r * 3 + r % 3] = kNaN;
        }
        TrainingContext ctx = binned_context(p, 255, /*feature_major=*/true);
        ctx.unit_weights = unit == 1.0;  // unit weights: bin counts are read off the class weights
        for (const auto& [min_impurity_decrease, min_samples_leaf] : {std::pair{0.0, 1u}, std::pair{-1.0, 3u}}) {
          ctx.growth.min_impurity_decrease = min_impurity_decrease;
          ctx.growth.min_samples_leaf = min_samples_leaf;
          const TreeWeights weights = tree_weights(ctx);
          const SearchRules rules = make_search_rules(ctx, weights);
          HistogramSearch search(ctx, weights, rules);
          for (const uint64_t n : {5u, 17u, 96u}) {
            std::vector<RowIndex> rows(n);
            for (uint64_t i = 0; i < n; ++i) rows[i] = static_cast<RowIndex>(i);
            const NodeHistogram h = search.build(rows);
            ASSERT_TRUE(h.on_demand);
            NodeStats stats;
            compute_node_stats(ctx, weights, rows, true, stats);
            for (uint64_t f = 0; f < 3; ++f) {
              SCOPED_TRACE(testing::Message() << n_classes << " classes, unit " << unit << ", nan " << with_nan
                                              << ", " << n << " rows, feature " << f);
              expect_same_candidate(search.search(h, stats, f, 0, NodeBounds{}),
                                    literal_scan(ctx, search, h, stats, f, rules));
            }
          }
        }
      }
    }
  }
}

TEST(HistogramSearch, NodeWithoutWeightHasNoSplit) {
  // Every class is absent by weight, so the scan evaluates no class at all: no lane may
  // pass as a split with weight on both sides.
  const Problem p = random_problem(400, 4, 5, 17, /*integral=*/true, 0.0);
  TrainingContext ctx = binned_context(p, 255, /*feature_major=*/true);
  const TreeWeights weights = tree_weights(ctx);
  HistogramSearch search(ctx, weights, make_search_rules(ctx, weights));
  // A search of a weighted node first leaves its values in the scan's scratch.
  const std::vector<RowIndex> all = draw_rows(ctx.n_rows, ctx.n_rows, 5);
  const NodeStats all_stats = stats_of(ctx, all);
  for (uint64_t f = 0; f < ctx.n_features; ++f) search.search(search.build(all), all_stats, f, 0, NodeBounds{});
  std::vector<RowIndex> rows;
  for (uint64_t r = 0; r < ctx.n_rows; ++r)
    if (ctx.weights[r] == 0.0) rows.push_back(r);
  ASSERT_GT(rows.size(), 20u);
  const NodeHistogram h = search.build(rows);
  ASSERT_TRUE(h.on_demand);
  const NodeStats stats = stats_of(ctx, rows);
  for (uint64_t f = 0; f < ctx.n_features; ++f) EXPECT_FALSE(search.search(h, stats, f, 0, NodeBounds{}));
}

TEST(HistogramSearch, ByteBeyondTheFeatureBinsIsAnInternalFailure) {
  // A corrupted byte (beyond the missing-value bin) stops the search with an internal
  // failure, and the scratch it half-filled is cleared for the next search.
  const Problem p = random_problem(400, 3, 3, 12, /*integral=*/true, 0.0);
  TrainingContext ctx = binned_context(p, 8, /*feature_major=*/true);
  const std::vector<RowIndex> rows = draw_rows(ctx.n_rows, 300, 2);
  const NodeStats stats = stats_of(ctx, rows);
  HistogramSearch clean(ctx, tree_weights(ctx), make_search_rules(ctx, tree_weights(ctx)));
  const auto expected = clean.search(clean.build(rows), stats, 1, 0, {});
  ctx.binned->bins[0 * ctx.n_rows + rows[7]] = 250;  // feature 0
  HistogramSearch search(ctx, tree_weights(ctx), make_search_rules(ctx, tree_weights(ctx)));
  const NodeHistogram h = search.build(rows);
  EXPECT_THROW(search.search(h, stats, 0, 0, {}), InternalError);
  expect_same_candidate(search.search(h, stats, 1, 0, {}), expected);
}

TEST(HistogramBuild, ThreadsAndCsrAgreeWithSingleThreadedBytes) {
  const Problem p = random_problem(5000, 9, 3, 21, /*integral=*/false, 0.05);  // 45000 cells
  const std::vector<RowIndex> rows = draw_rows(5000, 5000, 5);
  const TrainingContext one = binned_context(p, 32, false, 1);
  HistogramSearch s1(one, tree_weights(one), make_search_rules(one, tree_weights(one)));
  const NodeHistogram reference = s1.build(rows);

  const TrainingContext two = binned_context(p, 32, true, 2);
  HistogramSearch s2(two, tree_weights(two), make_search_rules(two, tree_weights(two)));
  expect_same_histogram(s2.build(rows), reference);

  // The same values as CSR (zeros left implicit), binned on the fly with the same edges.
  TrainingContext csr = one;
  csr.binned.reset();
  csr.form = ValueForm::Csr;
  csr.csr.n_rows = p.x.n_rows;
  csr.csr.n_features = p.x.n_features;
  csr.csr.indptr.push_back(0);
  for (uint64_t r = 0; r < p.x.n_rows; ++r) {
    for (uint64_t f = 0; f < p.x.n_features; ++f) {
      const double v = p.x.at(r, f);
      if (v == 0.0) continue;
      csr.csr.indices.push_back(f);
      csr.csr.data.push_back(v);
    }
    csr.csr.indptr.push_back(csr.csr.indices.size());
  }
  csr.csr_edges = csr_edges(csr.csr, BinningOptions{32});
  ASSERT_EQ(*csr.csr_edges, one.binned->edges);
  HistogramSearch sc(csr, tree_weights(csr), make_search_rules(csr, tree_weights(csr)));
  expect_same_histogram(sc.build(rows), reference);
}

TEST(HistogramSearch, RefusesContextsWithoutBins) {
  const Problem p = random_problem(20, 2, 2, 1, true, 0.0);
  TrainingContext ctx = binned_context(p, 8, false);
  ctx.binned.reset();
  const TreeWeights w = tree_weights(ctx);
  try {
    HistogramSearch s(ctx, w, make_search_rules(ctx, w));
    FAIL() << "no error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), msg::kHistogramNeedsEdges);
  }
  ctx.csr_edges = BinEdges(2);  // edges, but the values are dense floats
  try {
    HistogramSearch s(ctx, w, make_search_rules(ctx, w));
    FAIL() << "no error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), msg::kHistogramNeedsBins);
  }
}

}  // namespace
}  // namespace morvel
