// Extra-trees searches on hand-built training contexts: the threshold formula, the
// constant-feature list, missing-value directions, bin-space pivots, and agreement of the
// two-class specialisations with the general search.
#include "split/extra/extra_trees.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "morvel/bin_edges.h"
#include "morvel/errors.h"
#include "data/rng.h"
#include "split/node_loop.h"

namespace morvel {
namespace {

constexpr uint64_t kMix = 0x9E3779B97F4A7C15ULL;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Inverse of an odd number modulo 2^64 (Newton iteration).
uint64_t inverse_odd(uint64_t a) {
  uint64_t x = a;
  for (int i = 0; i < 6; ++i) x *= 2 - a * x;
  return x;
}

// The extra_seed that makes the next draw of `rng` produce the mixed word `x`.
uint64_t seed_for_word(Rng rng, uint64_t x) { return (rng.next_u64() ^ x) * inverse_odd(kMix); }

// A dense row-major context; `values` holds n_rows x n_features.
TrainingContext dense_context(const std::vector<double>& values, uint64_t n_features,
                              const std::vector<ClassIndex>& labels, const std::vector<double>& weights,
                              uint64_t n_classes) {
  TrainingContext ctx;
  ctx.n_rows = labels.size();
  ctx.n_features = n_features;
  ctx.n_classes = n_classes;
  ctx.form = ValueForm::Dense;
  ctx.dense.values.assign(values.begin(), values.end());
  ctx.dense.n_rows = ctx.n_rows;
  ctx.dense.n_features = n_features;
  for (const double v : values) ctx.has_missing = ctx.has_missing || std::isnan(v);
  ctx.labels = labels;
  ctx.weights = weights;
  for (const double w : weights) ctx.w_total += w;
  ctx.has_weights = true;
  ctx.growth.extra_trees = true;
  return ctx;
}

struct Case {
  TreeWeights weights;
  SearchRules rules;
  NodeStats stats;
  std::vector<RowIndex> rows;
};

Case node_of(const TrainingContext& ctx, std::vector<RowIndex> rows) {
  Case node;
  node.rows = std::move(rows);
  node.weights = TreeWeights{ctx.weights, ctx.w_total, 0.0};
  node.rules = make_search_rules(ctx, node.weights);
  compute_node_stats(ctx, node.weights, node.rows, true, node.stats);
  return node;
}

std::vector<RowIndex> all_rows(const TrainingContext& ctx) {
  std::vector<RowIndex> rows(ctx.n_rows);
  for (uint64_t r = 0; r < ctx.n_rows; ++r) rows[r] = r;
  return rows;
}

std::optional<SplitCandidate> search(const TrainingContext& ctx, const Case& node, uint64_t feature, Rng& rng,
                                     std::vector<uint64_t>& constants) {
  ExtraScratch scratch;
  return search_extra(ctx, node.weights, node.rules, node.rows, node.stats, NodePrep{}, feature, 0, NodeBounds{},
                      constants, rng, scratch);
}

TEST(ExtraThreshold, FormulaAtChosenUniforms) {
  const Rng start(17, 3);
  Rng rng = start;
  // x = 2^63 gives u = 0.5: 3 * 0.5 + 1 * 0.5.
  EXPECT_EQ(draw_extra_threshold(rng, seed_for_word(start, uint64_t{1} << 63), 1.0, 3.0), 2.0);
  rng = start;
  EXPECT_EQ(draw_extra_threshold(rng, seed_for_word(start, 0), 1.0, 3.0), 1.0);
  // The low 11 bits of the mixed word are dropped.
  rng = start;
  EXPECT_EQ(draw_extra_threshold(rng, seed_for_word(start, (uint64_t{1} << 63) | 0x7FF), 1.0, 3.0), 2.0);
  // The draw consumes exactly one u64 of the tree's stream.
  Rng expected = start;
  expected.next_u64();
  EXPECT_EQ(rng.state(), expected.state());
}

TEST(ExtraSearch, DrawnThresholdSendsEqualValuesRight) {
  // u = 0.5 over [1, 3] draws t = 2.0: the rows at 2.0 join the prefix (right side), which
  // makes the partition pure.
  TrainingContext ctx = dense_context({1.0, 2.0, 3.0, 3.0}, 1, {0, 0, 1, 1}, {1, 1, 1, 1}, 2);
  const Case node = node_of(ctx, all_rows(ctx));
  const Rng start(5, 1);
  ctx.growth.extra_seed = seed_for_word(start, uint64_t{1} << 63);
  Rng rng = start;
  std::vector<uint64_t> constants;
  const auto cand = search(ctx, node, 0, rng, constants);
  ASSERT_TRUE(cand.has_value());
  EXPECT_EQ(cand->pivot, 2.0);
  EXPECT_EQ(cand->gain, 0.5);
  EXPECT_TRUE(cand->missing_left);

  // u = 0 draws t = lo: the prefix holds exactly the rows at the minimum.
  ctx.growth.extra_seed = seed_for_word(start, 0);
  rng = start;
  const auto at_min = search(ctx, node, 0, rng, constants);
  ASSERT_TRUE(at_min.has_value());
  EXPECT_EQ(at_min->pivot, 1.0);
  // Right {0}, left {0, 1, 1}: 0.5 - 0.75 * (1 - 1/9 - 4/9).
  const double left_gini = 1.0 - ((1.0 / 3.0) * (1.0 / 3.0) + (2.0 / 3.0) * (2.0 / 3.0));
  EXPECT_EQ(at_min->gain, (0.5 - (3.0 / 4.0) * left_gini) - (1.0 / 4.0) * 0.0);
}

TEST(ExtraSearch, UnknownCriterionFailsRatherThanScoringAsEntropy) {
  // Two classes take the dense form, three the general search; both score the drawn partition.
  for (const uint64_t k : {uint64_t{2}, uint64_t{3}}) {
    TrainingContext ctx =
        dense_context({1.0, 2.0, 3.0, 3.0}, 1, {0, 0, 1, static_cast<ClassIndex>(k - 1)}, {1, 1, 1, 1}, k);
    Case node = node_of(ctx, all_rows(ctx));
    node.rules.criterion = static_cast<Criterion>(7);
    Rng rng(5, 1);
    std::vector<uint64_t> constants;
    EXPECT_THROW(search(ctx, node, 0, rng, constants), InternalError) << k << " classes";
  }
}

TEST(ExtraSearch, ConstantFeatureIsListedOnceAndNotSearchedAgain) {
  // Feature 0 constant, feature 1 informative. Three classes take the general search.
  for (const uint64_t n_classes : {uint64_t{2}, uint64_t{3}}) {
    TrainingContext ctx =
        dense_context({4.0, 0.0, 4.0, 1.0, 4.0, 2.0, 4.0, 3.0}, 2, {0, 0, 1, 1}, {1, 1, 1, 1}, n_classes);
    ctx.profile = std::make_shared<ProfileCounters>();
    const Case node = node_of(ctx, all_rows(ctx));
    Rng rng(9, 2);
    const uint64_t before = rng.state();
    std::vector<uint64_t> constants;
    EXPECT_FALSE(search(ctx, node, 0, rng, constants).has_value());
    EXPECT_EQ(constants, std::vector<uint64_t>{0});
    EXPECT_EQ(rng.state(), before) << "a constant feature draws nothing";
    EXPECT_EQ(ctx.profile->feature_visits.load(), 1u);
    EXPECT_EQ(ctx.profile->sample_visits.load(), 4u);
    // Only the two-class searches count rejections.
    EXPECT_EQ(ctx.profile->rejected_candidates.load(), n_classes == 2 ? 1u : 0u);

    EXPECT_FALSE(search(ctx, node, 0, rng, constants).has_value());
    EXPECT_EQ(constants, std::vector<uint64_t>{0});
    EXPECT_EQ(ctx.profile->feature_visits.load(), 1u) << "listed features are skipped before counting";

    EXPECT_TRUE(search(ctx, node, 1, rng, constants).has_value());
    EXPECT_EQ(constants, std::vector<uint64_t>{0});
    EXPECT_EQ(ctx.profile->feature_visits.load(), 2u);
  }
}

TEST(ExtraSearch, AllMissingOrSignedZerosCountAsConstant) {
  TrainingContext ctx = dense_context({kNaN, -0.0, kNaN, 0.0, kNaN, 0.0}, 2, {0, 1, 1}, {1, 1, 1}, 2);
  const Case node = node_of(ctx, all_rows(ctx));
  Rng rng(1, 1);
  std::vector<uint64_t> constants;
  EXPECT_FALSE(search(ctx, node, 0, rng, constants).has_value());
  EXPECT_FALSE(search(ctx, node, 1, rng, constants).has_value());
  EXPECT_EQ(constants, (std::vector<uint64_t>{0, 1}));
}

TEST(ExtraSearch, MissingDirectionFollowsTheBetterOption) {
  // Missing rows are class 1 like the high values: joining the left side is best.
  TrainingContext ctx = dense_context({1.0, 1.0, 5.0, 5.0, kNaN, kNaN}, 1, {0, 0, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}, 2);
  const Case node = node_of(ctx, all_rows(ctx));
  const Rng start(3, 7);
  ctx.growth.extra_seed = seed_for_word(start, uint64_t{1} << 63);
  Rng rng = start;
  std::vector<uint64_t> constants;
  auto cand = search(ctx, node, 0, rng, constants);
  ASSERT_TRUE(cand.has_value());
  EXPECT_TRUE(cand->missing_left);
  const double p0 = 2.0 / 6.0;
  const double p1 = 4.0 / 6.0;
  EXPECT_EQ(cand->gain, ((1.0 - (p0 * p0 + p1 * p1)) * 6.0) / 6.0);

  // Missing rows of class 0 belong with the prefix (right side).
  ctx.labels = {0, 0, 1, 1, 0, 0};
  const Case other = node_of(ctx, all_rows(ctx));
  rng = start;
  cand = search(ctx, other, 0, rng, constants);
  ASSERT_TRUE(cand.has_value());
  EXPECT_FALSE(cand->missing_left);

  // Equal improvements for both directions keep option (1): missing rows left.
  ctx.labels = {0, 0, 1, 1, 0, 1};
  const Case tie = node_of(ctx, all_rows(ctx));
  rng = start;
  cand = search(ctx, tie, 0, rng, constants);
  ASSERT_TRUE(cand.has_value());
  EXPECT_TRUE(cand->missing_left);
}

// ---- binned contexts --------------------------------------------------------------------

// Bins `values` (n_rows x n_features, row-major) with per-feature edges.
BinnedMatrix make_binned(const std::vector<double>& values, uint64_t n_rows, uint64_t n_features,
                         const BinEdges& edges, bool feature_major) {
  BinnedMatrix bm;
  bm.n_rows = n_rows;
  bm.n_features = n_features;
  bm.edges = edges;
  bm.feature_major = feature_major;
  bm.bins.resize(n_rows * n_features);
  for (uint64_t r = 0; r < n_rows; ++r) {
    for (uint64_t f = 0; f < n_features; ++f) {
      const double v = values[r * n_features + f];
      bm.has_missing = bm.has_missing || std::isnan(v);
      const uint8_t b = bin_of(edges[f], v);
      bm.bins[feature_major ? f * n_rows + r : r * n_features + f] = b;
    }
  }
  return bm;
}

TEST(ExtraSearch, BinnedPivotKeepsItsFraction) {
  // Bin indices 3 and 7 only: t in [3, 7) is stored unrounded; rows in bins <= floor(t) go right.
  const BinEdges edges{{0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5}};
  const std::vector<double> values{3.0, 3.0, 7.0, 7.0};
  for (const uint64_t n_classes : {uint64_t{2}, uint64_t{3}}) {
    TrainingContext ctx = dense_context(values, 1, {0, 0, 1, 1}, {1, 1, 1, 1}, n_classes);
    ctx.binned = make_binned(values, 4, 1, edges, true);
    const Case node = node_of(ctx, all_rows(ctx));
    const Rng start(21, 4);
    ctx.growth.extra_seed = seed_for_word(start, uint64_t{5} << 60);  // u = 5/16
    Rng rng = start;
    std::vector<uint64_t> constants;
    const auto cand = search(ctx, node, 0, rng, constants);
    ASSERT_TRUE(cand.has_value());
    EXPECT_EQ(cand->pivot, 7.0 * 0.3125 + 3.0 * (1.0 - 0.3125));
    EXPECT_NE(cand->pivot, std::floor(cand->pivot));
    EXPECT_EQ(cand->gain, 0.5);
    EXPECT_TRUE(cand->missing_left);
  }
}

// Contexts sharing one data set in every form the searches read.
struct Forms {
  std::vector<double> values;  // row-major
  std::vector<float> values_f32;
  std::vector<RowIndex> order;
  uint64_t n_rows;
  uint64_t n_features;
  std::vector<ClassIndex> labels;
  std::vector<double> weights;
};

Forms random_forms(uint64_t seed, uint64_t n_rows, uint64_t n_features, bool integer_weights) {
  Rng rng(seed, 99);
  Forms forms;
  forms.n_rows = n_rows;
  forms.n_features = n_features;
  forms.values.resize(n_rows * n_features);
  for (uint64_t f = 0; f < n_features; ++f) {
    const uint64_t levels = 1 + rng.below(12);  // few levels: ties, constants after splits
    for (uint64_t r = 0; r < n_rows; ++r) {
      double v = static_cast<double>(rng.below(levels)) * 0.37 - 1.0;
      if (f % 3 == 1 && rng.below(5) == 0) v = kNaN;
      forms.values[r * n_features + f] = v;
    }
  }
  forms.values_f32.assign(forms.values.begin(), forms.values.end());
  for (double& v : forms.values) v = std::isnan(v) ? v : static_cast<double>(static_cast<float>(v));
  for (uint64_t r = 0; r < n_rows; ++r) {
    forms.labels.push_back(rng.below(2));
    forms.weights.push_back(integer_weights ? static_cast<double>(rng.below(3)) : 0.25 + rng.next_f64());
  }
  return forms;
}

// One side of a comparison of two extra-trees searches: its generator, scratch and
// constant-feature list.
struct SearchSide {
  explicit SearchSide(Rng start) : rng(start) {}
  Rng rng;
  ExtraScratch scratch;
  NodePrep prep;  // what the node's preparation left in `scratch`
  std::vector<uint64_t> constants;
};

// Searches every feature `passes` times through search_extra (`special`, on `special_stats`)
// and through search_extra_general (`general`, on `general_stats`): both must return the
// same candidates, bit for bit.
void expect_same_candidates(const TrainingContext& ctx, const TreeWeights& weights, const SearchRules& rules,
                            std::span<const RowIndex> rows, const NodeStats& special_stats,
                            const NodeStats& general_stats, uint64_t n_features, int passes, SearchSide& special,
                            SearchSide& general, const std::string& where) {
  for (int pass = 0; pass < passes; ++pass) {
    for (uint64_t f = 0; f < n_features; ++f) {
      const auto a = search_extra(ctx, weights, rules, rows, special_stats, special.prep, f, 0, NodeBounds{},
                                  special.constants, special.rng, special.scratch);
      const auto b = search_extra_general(ctx, weights, rules, rows, general_stats, f, 0, NodeBounds{},
                                          general.constants, general.rng, general.scratch);
      ASSERT_EQ(a.has_value(), b.has_value()) << where << " feature " << f;
      if (a) {
        EXPECT_EQ(std::bit_cast<uint64_t>(a->pivot), std::bit_cast<uint64_t>(b->pivot)) << where;
        EXPECT_EQ(std::bit_cast<uint64_t>(a->gain), std::bit_cast<uint64_t>(b->gain)) << where;
        EXPECT_EQ(a->missing_left, b->missing_left) << where;
      }
    }
  }
}

TEST(ExtraSearch, TwoClassSpecialisationsMatchTheGeneralSearch) {
  const uint64_t n_rows = 60;
  const uint64_t n_features = 6;
  for (uint64_t seed = 0; seed < 40; ++seed) {
    const bool integer_weights = seed % 2 == 0;
    const Forms forms = random_forms(seed, n_rows, n_features, integer_weights);
    BinEdges edges(n_features);
    for (uint64_t f = 0; f < n_features; ++f) {
      for (int e = 0; e < 12; ++e) edges[f].push_back(-0.8 + 0.37 * e);
    }

    std::vector<TrainingContext> contexts;
    // Owned row-major float64.
    contexts.push_back(dense_context(forms.values, n_features, forms.labels, forms.weights, 2));
    // Feature-major float64 and float32 copies.
    TrainingContext fm64 = contexts[0];
    fm64.feature_major_f64.resize(n_rows * n_features);
    for (uint64_t r = 0; r < n_rows; ++r)
      for (uint64_t f = 0; f < n_features; ++f) fm64.feature_major_f64[f * n_rows + r] = forms.values[r * n_features + f];
    contexts.push_back(fm64);
    TrainingContext fm32 = contexts[0];
    fm32.feature_major_f32.assign(fm64.feature_major_f64.begin(), fm64.feature_major_f64.end());
    contexts.push_back(fm32);
    // A float32 view read through a reversed training order.
    std::vector<float> reversed(n_rows * n_features);
    std::vector<RowIndex> order(n_rows);
    for (uint64_t r = 0; r < n_rows; ++r) {
      order[r] = n_rows - 1 - r;
      for (uint64_t f = 0; f < n_features; ++f)
        reversed[(n_rows - 1 - r) * n_features + f] = forms.values_f32[r * n_features + f];
    }
    TrainingContext view = contexts[0];
    view.form = ValueForm::ViewF32;
    view.view_f32 = ViewF32{reinterpret_cast<const std::byte*>(reversed.data()), n_rows, n_features,
                            static_cast<int64_t>(n_features * sizeof(float)), sizeof(float)};
    view.order = order;
    contexts.push_back(view);
    // Binned bytes in both layouts; per-bin sums only reorder exact integer additions.
    if (integer_weights) {
      for (const bool feature_major : {false, true}) {
        TrainingContext binned = contexts[0];
        binned.binned = make_binned(forms.values, n_rows, n_features, edges, feature_major);
        contexts.push_back(binned);
      }
    }

    for (TrainingContext& ctx : contexts) {
      ctx.growth.extra_seed = seed * 7 + 1;
      // Nodes: all rows, and a subset with repeats (a bootstrap-like list).
      std::vector<std::vector<RowIndex>> lists{all_rows(ctx), {}};
      for (RowIndex r = 0; r < n_rows; r += 3) lists[1].insert(lists[1].end(), {r, r});
      for (const auto& rows : lists) {
        const Case node = node_of(ctx, rows);
        if (node.stats.weight == 0.0) continue;
        // Unprepared, the specialisations add in list order; prepared as the grower does,
        // whole weights take the lane and byte forms.
        for (const bool prepared : {false, true}) {
        SearchSide special{Rng(seed, 5)};
        SearchSide general{Rng(seed, 5)};
        if (prepared) {
          prepare_extra_tree(node.weights.weights, node.rows, special.scratch);
          EXPECT_EQ(special.scratch.plan.whole_weights(), integer_weights);
          const bool bytes = prepare_extra_node(node.stats, special.scratch);
          EXPECT_EQ(bytes, integer_weights);
          special.prep.ready = bytes ? NodeReady::EntryBytes : NodeReady::Nothing;
        }
        ASSERT_NO_FATAL_FAILURE(expect_same_candidates(ctx, node.weights, node.rules, node.rows, node.stats,
                                                       node.stats, n_features, 3, special, general,
                                                       "seed " + std::to_string(seed)));
        EXPECT_EQ(special.constants, general.constants);
        EXPECT_EQ(special.rng.state(), general.rng.state());
        }
      }
    }
  }
}

TEST(ExtraSearch, WholeWeightFormsMatchOrderedSumsForMoreClasses) {
  // Three classes take the general search in both runs; prepared, its class sums run in four
  // lanes (raw values) or on bytes (bins). Nodes of every length around the block sizes.
  for (uint64_t seed = 0; seed < 24; ++seed) {
    Forms forms = random_forms(seed, 70, 4, true);
    Rng labels(seed, 3);
    for (ClassIndex& label : forms.labels) label = static_cast<ClassIndex>(labels.below(3));
    TrainingContext ctx = dense_context(forms.values, 4, forms.labels, forms.weights, 3);
    if (seed % 2 == 1) {
      BinEdges edges(4);
      for (uint64_t f = 0; f < 4; ++f)
        for (int e = 0; e < 9; ++e) edges[f].push_back(-0.9 + 0.31 * e);
      ctx.binned = make_binned(forms.values, 70, 4, edges, seed % 4 == 1);
    }
    for (const uint64_t length : {uint64_t{3}, uint64_t{15}, uint64_t{16}, uint64_t{17}, uint64_t{33}, uint64_t{70}}) {
      std::vector<RowIndex> rows;
      for (uint64_t r = 0; r < length; ++r) rows.push_back((r * 7 + seed) % 70);
      const Case node = node_of(ctx, rows);
      if (node.stats.weight == 0.0) continue;
      SearchSide lanes{Rng(seed, 8)};
      SearchSide ordered{Rng(seed, 8)};
      prepare_extra_tree(node.weights.weights, node.rows, lanes.scratch);
      ASSERT_TRUE(lanes.scratch.plan.whole_weights());
      ASSERT_TRUE(prepare_extra_node(node.stats, lanes.scratch));
      lanes.prep.ready = NodeReady::EntryBytes;
      ASSERT_NO_FATAL_FAILURE(expect_same_candidates(ctx, node.weights, node.rules, node.rows, node.stats, node.stats,
                                                     4, 1, lanes, ordered, "seed " + std::to_string(seed)));
      EXPECT_EQ(lanes.constants, ordered.constants);
    }
  }
}

TEST(ExtraSearch, ClassLanesMatchOrderedSumsOnRawValues) {
  // Three to eight classes on raw values with byte weights: the grower prepares per-entry
  // class lanes. Weights of 255 in one class fill the 16-bit lanes close to their limit;
  // nodes of every length around the block; signed zeros and, for odd seeds, NaN.
  for (uint64_t seed = 0; seed < 12; ++seed) {
    const uint64_t n_classes = std::vector<uint64_t>{3, 5, 8}[seed % 3];
    const uint64_t n_rows = 700;
    const uint64_t n_features = 3;
    Rng rng(seed, 21);
    std::vector<double> values(n_rows * n_features);
    for (double& v : values) {
      const uint64_t level = rng.below(9);
      v = level == 0 ? -0.0 : level == 1 ? 0.0 : static_cast<double>(level) * 0.37 - 1.0;
      if (seed % 2 == 1 && rng.below(7) == 0) v = kNaN;
    }
    std::vector<ClassIndex> labels(n_rows);
    std::vector<double> weights(n_rows);
    for (uint64_t r = 0; r < n_rows; ++r) {
      // Every fourth seed: nearly every entry in class 0 at the largest weight.
      labels[r] = seed % 4 == 0 && rng.below(10) != 0 ? 0 : rng.below(n_classes);
      weights[r] = seed % 4 == 0 || rng.below(2) == 0 ? 255.0 : static_cast<double>(rng.below(256));
    }
    const TrainingContext ctx = dense_context(values, n_features, labels, weights, n_classes);
    for (const uint64_t length : {uint64_t{1}, uint64_t{2}, uint64_t{3}, uint64_t{255}, uint64_t{256},
                                  uint64_t{257}, uint64_t{511}, uint64_t{512}, uint64_t{513}, uint64_t{700}}) {
      std::vector<RowIndex> rows;
      for (uint64_t r = 0; r < length; ++r) rows.push_back((r * 11 + seed) % n_rows);
      const Case node = node_of(ctx, rows);
      if (node.stats.weight == 0.0) continue;
      SearchSide lanes{Rng(seed, 4)};
      SearchSide ordered{Rng(seed, 4)};
      prepare_extra_tree(node.weights.weights, node.rows, lanes.scratch);
      ASSERT_TRUE(lanes.scratch.plan.byte_weights());
      lanes.prep = prepare_extra_node(ctx, node.stats, NodePrep{}, lanes.scratch);
      ASSERT_EQ(lanes.prep.ready, NodeReady::ClassTags);
      ASSERT_NO_FATAL_FAILURE(expect_same_candidates(ctx, node.weights, node.rules, node.rows, node.stats, node.stats,
                                                     n_features, 4, lanes, ordered,
                                                     "seed " + std::to_string(seed) + " length " +
                                                         std::to_string(length)));
      EXPECT_EQ(lanes.constants, ordered.constants);
      EXPECT_EQ(lanes.rng.state(), ordered.rng.state());
    }
  }
  // Lanes only where they apply: two classes, fractional weights or a binned matrix do not
  // get them.
  std::vector<double> values{0.5, 1.5, 2.5, 3.5};
  const TrainingContext two = dense_context(values, 1, {0, 1, 0, 1}, {1, 1, 1, 1}, 2);
  const TrainingContext halves = dense_context(values, 1, {0, 1, 2, 1}, {1, 0.5, 1, 1}, 3);
  for (const TrainingContext* ctx : {&two, &halves}) {
    const Case node = node_of(*ctx, all_rows(*ctx));
    ExtraScratch scratch;
    prepare_extra_tree(node.weights.weights, node.rows, scratch);
    EXPECT_EQ(prepare_extra_node(*ctx, node.stats, NodePrep{}, scratch).ready, NodeReady::Nothing);
  }
  // Two classes are measured into class planes, and only without missing values.
  const TrainingContext two_missing = dense_context({0.5, kNaN, 2.5, 3.5}, 1, {0, 1, 0, 1}, {1, 1, 1, 1}, 2);
  for (const TrainingContext* ctx : {&two, &two_missing}) {
    ExtraScratch scratch;
    prepare_extra_tree(ctx->weights, all_rows(*ctx), scratch);
    ASSERT_TRUE(scratch.plan.byte_weights());
    EXPECT_EQ(uses_class_lanes(*ctx, scratch.plan), !ctx->has_missing);
  }
}

TEST(ExtraSearch, MeasuredClassLanesMatchOrderedSumsUnderEveryRule) {
  // The grower's route: tagged_class_stats measures the node (its rows checked there, its
  // lanes read from per-row lanes) and the searches read the lanes. Both criteria, stricter
  // leaf rules, three to eight classes, weights of 0, 255 and -0.0 (which has no row lane),
  // signed zeros among the values, a constant feature, and a feature-major copy for odd seeds.
  for (uint64_t seed = 0; seed < 18; ++seed) {
    const uint64_t n_classes = 3 + seed % 6;
    const uint64_t n_rows = 800;
    const uint64_t n_features = 3;
    Rng rng(seed, 33);
    std::vector<double> values(n_rows * n_features);
    for (uint64_t r = 0; r < n_rows; ++r) {
      for (uint64_t f = 0; f < n_features; ++f) {
        const uint64_t level = rng.below(f == 0 ? 40 : 6);
        double v = level == 0 ? -0.0 : level == 1 ? 0.0 : static_cast<double>(level) * 0.37 - 1.0;
        if (f == 2) v = 4.5;  // constant everywhere
        values[r * n_features + f] = v;
      }
    }
    std::vector<ClassIndex> labels(n_rows);
    std::vector<double> weights(n_rows);
    for (uint64_t r = 0; r < n_rows; ++r) {
      labels[r] = static_cast<ClassIndex>(rng.below(n_classes));
      const uint64_t pick = rng.below(8);
      weights[r] = pick == 0 ? 0.0 : pick < 3 ? 255.0 : static_cast<double>(1 + rng.below(255));
      if (seed % 3 == 2 && pick == 1) weights[r] = -0.0;
    }
    TrainingContext ctx = dense_context(values, n_features, labels, weights, n_classes);
    ctx.growth.criterion = seed % 2 == 0 ? Criterion::Gini : Criterion::Entropy;
    ctx.growth.min_samples_leaf = seed % 4 < 2 ? 1 : 3;
    ctx.growth.min_impurity_decrease = seed % 5 == 4 ? 0.01 : 0.0;
    if (seed % 2 == 1) {
      ctx.feature_major_f64.resize(n_rows * n_features);
      for (uint64_t r = 0; r < n_rows; ++r)
        for (uint64_t f = 0; f < n_features; ++f) ctx.feature_major_f64[f * n_rows + r] = values[r * n_features + f];
    }
    SearchSide lanes{Rng(seed, 6)};  // its scratch is reused by every node, as a worker's is
    for (const uint64_t length : {uint64_t{1}, uint64_t{2}, uint64_t{5}, uint64_t{99}, uint64_t{255}, uint64_t{256},
                                  uint64_t{257}, uint64_t{513}, uint64_t{800}}) {
      std::vector<RowIndex> rows;
      for (uint64_t r = 0; r < length; ++r) rows.push_back(static_cast<RowIndex>((r * 13 + seed) % n_rows));
      const TreeWeights tree{ctx.weights, ctx.w_total, seed % 7 == 6 ? 40.0 : 0.0};
      SearchRules rules = make_search_rules(ctx, tree);
      NodeStats plain;
      compute_node_stats(ctx, tree, rows, true, plain);
      if (plain.weight == 0.0) continue;
      ASSERT_EQ(plan_extra_tree(ctx, tree.weights, rows, lanes.scratch).stats, ExtraStats::ClassLanes);
      NodeStats measured;
      const NodePrep measured_prep = tagged_class_stats(ctx, tree, rows, lanes.scratch, measured);
      ASSERT_EQ(measured.labels.size(), plain.labels.size());
      for (uint64_t i = 0; i < length; ++i) {
        EXPECT_EQ(measured.labels[i], plain.labels[i]);
        EXPECT_EQ(std::bit_cast<uint64_t>(measured.entry_weights[i]), std::bit_cast<uint64_t>(plain.entry_weights[i]));
      }
      for (uint64_t c = 0; c < n_classes; ++c)
        EXPECT_EQ(std::bit_cast<uint64_t>(measured.class_weight[c]), std::bit_cast<uint64_t>(plain.class_weight[c]));
      EXPECT_EQ(std::bit_cast<uint64_t>(measured.weight), std::bit_cast<uint64_t>(plain.weight));
      lanes.prep = prepare_extra_node(ctx, measured, measured_prep, lanes.scratch);
      ASSERT_NE(lanes.prep.ready, NodeReady::Nothing);
      lanes.rng = Rng(seed, 6);
      lanes.constants.clear();
      SearchSide ordered{Rng(seed, 6)};
      ASSERT_NO_FATAL_FAILURE(expect_same_candidates(ctx, tree, rules, rows, measured, plain, n_features, 3, lanes,
                                                     ordered,
                                                     "seed " + std::to_string(seed) + " length " +
                                                         std::to_string(length)));
      EXPECT_EQ(lanes.constants, ordered.constants);
      EXPECT_EQ(lanes.rng.state(), ordered.rng.state());
    }
  }
}

TEST(ExtraSearch, LaneNodeMatchesTheNodeLoopAroundTheGeneralSearch) {
  // search_lane_node against extra_node_loop around the general search: the same winner (bit
  // for bit), draws, constant-list appends and pool order, node after node on one scratch.
  // Two to eight classes, both criteria, constraints on some features (scored by the scalar
  // path), stricter leaf rules, weights of 0, 255 and -0.0, signed zeros and ties among the
  // values, a constant feature, row-major and feature-major float64 and float32 values, and
  // node sizes around the 16-entry blocks.
  for (uint64_t seed = 0; seed < 42; ++seed) {
    const uint64_t n_classes = 2 + seed % 7;
    const uint64_t n_rows = 900;
    const uint64_t n_features = 7;
    Rng rng(seed, 41);
    std::vector<double> values(n_rows * n_features);
    for (uint64_t r = 0; r < n_rows; ++r) {
      for (uint64_t f = 0; f < n_features; ++f) {
        const uint64_t level = rng.below(f % 2 == 0 ? 400 : 5);
        double v = level == 0 ? -0.0 : level == 1 ? 0.0 : static_cast<double>(level) * 0.37 - 1.0;
        if (f == 3) v = -2.25;  // constant everywhere
        values[r * n_features + f] = v;
      }
    }
    std::vector<ClassIndex> labels(n_rows);
    std::vector<double> weights(n_rows);
    for (uint64_t r = 0; r < n_rows; ++r) {
      labels[r] = static_cast<ClassIndex>(rng.below(n_classes));
      const uint64_t pick = rng.below(10);
      weights[r] = pick == 0 ? 0.0 : pick == 1 ? 255.0 : static_cast<double>(1 + rng.below(seed % 3 == 0 ? 3 : 255));
      if (seed % 4 == 3 && pick == 2) weights[r] = -0.0;
    }
    TrainingContext ctx = dense_context(values, n_features, labels, weights, n_classes);
    ctx.growth.criterion = seed % 3 == 1 ? Criterion::Entropy : Criterion::Gini;
    ctx.growth.min_samples_leaf = seed % 5 == 4 ? 4 : 1;
    ctx.growth.min_impurity_decrease = seed % 7 == 6 ? 0.002 : 0.0;
    if (seed % 6 == 5) ctx.growth.monotonic_cst = {0, 1, 0, 0, -1, 0, 0};
    ctx.growth.extra_seed = 1000 + seed;
    const uint64_t form = seed % 3;  // 0 row-major, 1 feature-major float64, 2 feature-major float32
    if (form == 1) ctx.feature_major_f64.resize(n_rows * n_features);
    if (form == 2) ctx.feature_major_f32.resize(n_rows * n_features);
    for (uint64_t r = 0; r < n_rows; ++r) {
      for (uint64_t f = 0; f < n_features; ++f) {
        const double v = values[r * n_features + f];
        if (form == 1) ctx.feature_major_f64[f * n_rows + r] = v;
        if (form == 2) ctx.feature_major_f32[f * n_rows + r] = static_cast<float>(v);
      }
    }
    const TreeWeights tree{ctx.weights, ctx.w_total, seed % 8 == 7 ? 30.0 : 0.0};
    const SearchRules rules = make_search_rules(ctx, tree);
    const uint64_t max_features = 1 + seed % 3;
    std::vector<uint64_t> pool(n_features);
    for (uint64_t f = 0; f < n_features; ++f) pool[f] = f;
    std::vector<uint64_t> general_pool = pool;
    detail::PoolDraws draws;
    draws.prepare(n_features);
    Rng lane_rng(seed, 7);
    Rng general_rng(seed, 7);
    ExtraScratch lane_scratch;  // reused by every node, as a worker's is
    ExtraScratch general_scratch;
    for (const uint64_t length : {uint64_t{2}, uint64_t{3}, uint64_t{15}, uint64_t{16}, uint64_t{17}, uint64_t{40},
                                  uint64_t{64}, uint64_t{65}, uint64_t{257}, uint64_t{900}}) {
      const std::string where = "seed " + std::to_string(seed) + " length " + std::to_string(length);
      std::vector<RowIndex> rows;
      for (uint64_t i = 0; i < length; ++i) rows.push_back(static_cast<RowIndex>((i * 29 + seed * 7) % n_rows));
      NodeStats plain;
      compute_node_stats(ctx, tree, rows, true, plain);
      if (plain.weight == 0.0) continue;
      const ExtraPlan plan = plan_extra_tree(ctx, tree.weights, rows, lane_scratch);
      ASSERT_EQ(plan.stats, ExtraStats::ClassLanes) << where;
      NodeStats measured;
      const NodePrep prep =
          prepare_extra_node(ctx, measured, tagged_class_stats(ctx, tree, rows, lane_scratch, measured), lane_scratch);
      ASSERT_EQ(route_extra_node(plan, prep, rules, length).loop, NodeLoop::LaneNode) << where;
      // A constant feature already known at the node (as a parent hands it down) is skipped.
      std::vector<uint64_t> lane_constants{5};
      std::vector<uint64_t> general_constants{5};
      const NodeBounds bounds{0.1, 0.9};
      const auto lane = search_lane_node(ctx, rules, rows, measured, prep, bounds, lane_constants, lane_rng, pool, draws,
                                         max_features, lane_scratch);
      const auto general = extra_node_loop(
          general_pool, draws, general_rng, general_constants, max_features,
          [&](uint64_t f) {
            return search_extra_general(ctx, tree, rules, rows, plain, f, ctx.growth.constraint(f), bounds,
                                        general_constants, general_rng, general_scratch);
          },
          [](uint64_t) {});
      ASSERT_EQ(lane.has_value(), general.has_value()) << where;
      if (lane) {
        EXPECT_EQ(lane->feature, general->feature) << where;
        EXPECT_EQ(std::bit_cast<uint64_t>(lane->candidate.pivot), std::bit_cast<uint64_t>(general->candidate.pivot))
            << where;
        EXPECT_EQ(std::bit_cast<uint64_t>(lane->candidate.gain), std::bit_cast<uint64_t>(general->candidate.gain))
            << where;
        EXPECT_EQ(lane->candidate.missing_left, general->candidate.missing_left) << where;
        // The winner's values are kept, in list order, for the partition.
        ASSERT_EQ(kept_for(lane_scratch, *lane).column, KeptColumn::Values) << where;
        for (uint64_t i = 0; i < length; ++i) {
          const double v = form == 2 ? static_cast<double>(static_cast<float>(values[rows[i] * n_features + lane->feature]))
                                     : values[rows[i] * n_features + lane->feature];
          EXPECT_EQ(std::bit_cast<uint64_t>(lane_scratch.kept_values[i]), std::bit_cast<uint64_t>(v)) << where;
        }
      }
      EXPECT_EQ(lane_constants, general_constants) << where;
      EXPECT_EQ(lane_rng.state(), general_rng.state()) << where;
      EXPECT_EQ(pool, general_pool) << where;
    }
  }
}

TEST(ExtraNodeStats, RowLanesFollowEachTreesWeights) {
  // One worker scratch across trees whose weights reuse the same storage: each tree's
  // statistics come from its own weights, never from lanes of an earlier tree.
  const uint64_t n_rows = 40;
  std::vector<double> values(n_rows);
  std::vector<ClassIndex> labels(n_rows);
  for (uint64_t r = 0; r < n_rows; ++r) {
    values[r] = static_cast<double>(r % 7);
    labels[r] = static_cast<ClassIndex>(r % 4);
  }
  const TrainingContext ctx = dense_context(values, 1, labels, std::vector<double>(n_rows, 1.0), 4);
  std::vector<double> storage(n_rows);
  std::vector<RowIndex> bag;
  for (uint64_t r = 0; r < n_rows; r += 2) bag.push_back(static_cast<RowIndex>(r));
  ExtraScratch scratch;
  for (uint64_t tree_index = 0; tree_index < 3; ++tree_index) {
    for (uint64_t r = 0; r < n_rows; ++r) storage[r] = static_cast<double>((r * (tree_index + 3)) % 5);
    const TreeWeights tree{storage, 0.0, 0.0};
    ASSERT_EQ(plan_extra_tree(ctx, storage, bag, scratch).stats, ExtraStats::ClassLanes);
    NodeStats plain;
    NodeStats measured;
    compute_node_stats(ctx, tree, bag, true, plain);
    tagged_class_stats(ctx, tree, bag, scratch, measured);
    for (uint64_t c = 0; c < 4; ++c) EXPECT_EQ(measured.class_weight[c], plain.class_weight[c]) << tree_index;
    EXPECT_EQ(measured.weight, plain.weight);
    for (uint64_t i = 0; i < bag.size(); ++i) EXPECT_EQ(measured.entry_weights[i], plain.entry_weights[i]);
  }
}

TEST(ExtraSearch, WholeWeightDetection) {
  struct Expect {
    std::vector<double> weights;
    bool whole;
    bool bytes;
  };
  const std::vector<Expect> cases{
      {{1.0, 2.0, 0.0, -0.0}, true, true},
      {{1.0, 0.5}, false, false},
      {{255.0, 1.0}, true, true},
      {{256.0, 1.0}, true, false},
      {{0x1p52, 0x1p52}, true, false},         // the total reaches 2^53 exactly
      {{0x1p52, 0x1p52, 1.0}, false, false},  // past 2^53 sums are no longer exact
  };
  for (const Expect& e : cases) {
    std::vector<RowIndex> bag(e.weights.size());
    for (uint64_t r = 0; r < bag.size(); ++r) bag[r] = r;
    ExtraScratch scratch;
    prepare_extra_tree(e.weights, bag, scratch);
    EXPECT_EQ(scratch.plan.whole_weights(), e.whole);
    EXPECT_EQ(scratch.plan.byte_weights(), e.bytes);
  }
  // Repeats in the bag count toward the total.
  ExtraScratch scratch;
  const std::vector<double> big{0x1p52};
  const std::vector<RowIndex> twice{0, 0, 0};
  prepare_extra_tree(big, twice, scratch);
  EXPECT_FALSE(scratch.plan.whole_weights());
}

TEST(ExtraNodeStats, TaggedRowsGiveTheSameStatistics) {
  for (uint64_t seed = 0; seed < 8; ++seed) {
    const Forms forms = random_forms(seed, 50, 1, seed % 2 == 0);
    std::vector<double> weights = forms.weights;
    for (double& w : weights) w = w > 0.0 ? w : 1.0;  // a bag holds no row of weight 0
    TrainingContext ctx = dense_context(forms.values, 1, forms.labels, weights, 2);
    std::vector<RowIndex> bag;
    for (RowIndex r = 0; r < 50; r += 1 + seed % 3) bag.insert(bag.end(), {r, r});
    ExtraScratch scratch;
    tag_two_class_rows(ctx, weights, bag, scratch);
    ASSERT_FALSE(scratch.tagged_rows.empty());
    // A node: every other entry of the bag, in bag order.
    std::vector<RowIndex> node;
    for (uint64_t i = 0; i < bag.size(); i += 2) node.push_back(bag[i]);
    const TreeWeights tree{weights, 0.0, 0.0};
    NodeStats plain;
    NodeStats tagged;
    compute_node_stats(ctx, tree, node, true, plain);
    tagged_node_stats(ctx, node, scratch, tagged);
    EXPECT_TRUE(std::equal(plain.labels.begin(), plain.labels.end(), tagged.labels.begin(), tagged.labels.end()));
    ASSERT_EQ(plain.entry_weights.size(), tagged.entry_weights.size());
    for (size_t i = 0; i < plain.entry_weights.size(); ++i)
      EXPECT_EQ(std::bit_cast<uint64_t>(plain.entry_weights[i]), std::bit_cast<uint64_t>(tagged.entry_weights[i]));
    for (uint64_t c = 0; c < 2; ++c)
      EXPECT_EQ(std::bit_cast<uint64_t>(plain.class_weight[c]), std::bit_cast<uint64_t>(tagged.class_weight[c]));
    EXPECT_EQ(std::bit_cast<uint64_t>(plain.weight), std::bit_cast<uint64_t>(tagged.weight));
    EXPECT_EQ(plain.criterion, tagged.criterion);
  }
  // A bag row of weight 0 (or -0.0), or a third class, turns tagging off.
  for (const double zero : {0.0, -0.0}) {
    TrainingContext ctx = dense_context({1.0, 2.0}, 1, {0, 1}, {1.0, zero}, 2);
    ExtraScratch scratch;
    tag_two_class_rows(ctx, ctx.weights, std::vector<RowIndex>{0, 1}, scratch);
    EXPECT_TRUE(scratch.tagged_rows.empty());
  }
  TrainingContext three = dense_context({1.0, 2.0}, 1, {0, 2}, {1.0, 1.0}, 3);
  ExtraScratch scratch;
  tag_two_class_rows(three, three.weights, std::vector<RowIndex>{0, 1}, scratch);
  EXPECT_TRUE(scratch.tagged_rows.empty());
}

TEST(ExtraNodeStats, ClassLaneStatisticsMatchAndHandOverTheirLanes) {
  // One feature: no missing value, the lanes are class planes; two: the second feature has
  // missing values, the lanes are per-entry tags.
  for (uint64_t seed = 0; seed < 12; ++seed) {
    const uint64_t k = 3 + seed % 6;  // 3..8 classes
    const uint64_t n_features = 1 + seed / 6;
    Forms forms = random_forms(seed, 60, n_features, true);
    Rng labels(seed, 12);
    for (ClassIndex& label : forms.labels) label = static_cast<ClassIndex>(labels.below(k));
    for (double& w : forms.weights) w = static_cast<double>(labels.below(256));
    const TrainingContext ctx = dense_context(forms.values, n_features, forms.labels, forms.weights, k);
    ASSERT_EQ(ctx.has_missing, n_features == 2);
    std::vector<RowIndex> bag;
    for (RowIndex r = 0; r < 60; r += 1 + seed % 2) bag.insert(bag.end(), {r, r});
    const TreeWeights tree{forms.weights, 0.0, 0.0};
    ExtraScratch scratch;
    ASSERT_EQ(plan_extra_tree(ctx, forms.weights, bag, scratch).stats, ExtraStats::ClassLanes);
    NodeStats plain;
    NodeStats lanes;
    compute_node_stats(ctx, tree, bag, true, plain);
    const NodePrep measured_prep = tagged_class_stats(ctx, tree, bag, scratch, lanes);
    EXPECT_TRUE(std::equal(plain.labels.begin(), plain.labels.end(), lanes.labels.begin(), lanes.labels.end()));
    ASSERT_EQ(plain.entry_weights.size(), lanes.entry_weights.size());
    for (size_t i = 0; i < plain.entry_weights.size(); ++i)
      EXPECT_EQ(std::bit_cast<uint64_t>(plain.entry_weights[i]), std::bit_cast<uint64_t>(lanes.entry_weights[i]));
    ASSERT_EQ(plain.class_weight.size(), lanes.class_weight.size());
    for (uint64_t c = 0; c < k; ++c)
      EXPECT_EQ(std::bit_cast<uint64_t>(plain.class_weight[c]), std::bit_cast<uint64_t>(lanes.class_weight[c]));
    EXPECT_EQ(std::bit_cast<uint64_t>(plain.weight), std::bit_cast<uint64_t>(lanes.weight));
    ASSERT_EQ(measured_prep.ready == NodeReady::ClassPlanes, !ctx.has_missing);
    if (!ctx.has_missing) {
      // Planes: each entry's weight in its class's plane of its block, zeros elsewhere (also
      // past the last entry).
      const uint64_t blocks = (bag.size() + 15) / 16;
      ASSERT_GE(scratch.entry_planes.size(), blocks * 16 * k);
      std::vector<uint8_t> expected(blocks * 16 * k, 0);
      for (uint64_t i = 0; i < bag.size(); ++i)
        expected[(i / 16) * 16 * k + 16 * plain.labels[i] + i % 16] = static_cast<uint8_t>(plain.entry_weights[i]);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), scratch.entry_planes.begin()));
      EXPECT_EQ(prepare_extra_node(ctx, lanes, measured_prep, scratch).ready, NodeReady::ClassPlanes);
    } else {
      // The lanes filled while measuring are those prepare_extra_node builds from statistics.
      const std::vector<uint16_t> measured(scratch.entry_tags.begin(), scratch.entry_tags.begin() + 8 * bag.size());
      EXPECT_EQ(prepare_extra_node(ctx, lanes, measured_prep, scratch).ready, NodeReady::ClassTags);
      ExtraScratch rebuilt;
      prepare_extra_tree(forms.weights, bag, rebuilt);
      ASSERT_EQ(prepare_extra_node(ctx, plain, NodePrep{}, rebuilt).ready, NodeReady::ClassTags);
      EXPECT_TRUE(std::equal(measured.begin(), measured.end(), rebuilt.entry_tags.begin()));
    }
    // Lanes belong to the node whose statistics step filled them: other statistics of the same
    // length, which no step measured, get their own.
    std::vector<RowIndex> other(bag.rbegin(), bag.rend());
    NodeStats reversed;
    compute_node_stats(ctx, tree, other, true, reversed);
    tagged_class_stats(ctx, tree, bag, scratch, lanes);
    ASSERT_EQ(prepare_extra_node(ctx, reversed, NodePrep{}, scratch).ready, NodeReady::ClassTags);
    for (uint64_t i = 0; i < other.size(); ++i)
      EXPECT_EQ(scratch.entry_tags[8 * i + reversed.labels[i]], static_cast<uint16_t>(reversed.entry_weights[i]));
  }
}

TEST(ExtraNodeStats, EntryByteStatisticsMatchThePreparedBytes) {
  // Binned nodes with byte weights: statistics and per-entry bytes in one pass, against the
  // plain statistics and the bytes prepare_extra_node derives from them.
  for (uint64_t seed = 0; seed < 6; ++seed) {
    const uint64_t k = seed % 3 == 0 ? 2 : 2 + seed;
    Forms forms = random_forms(seed, 60, 2, true);
    Rng draws(seed, 13);
    for (ClassIndex& label : forms.labels) label = static_cast<ClassIndex>(draws.below(k));
    for (double& w : forms.weights) w = static_cast<double>(1 + draws.below(255));
    TrainingContext ctx = dense_context(forms.values, 2, forms.labels, forms.weights, k);
    BinEdges edges(2, std::vector<double>{-0.5, 0.0, 0.5});
    ctx.binned = make_binned(forms.values, 60, 2, edges, true);
    std::vector<RowIndex> bag;
    for (RowIndex r = 0; r < 60; r += 1 + seed % 2) bag.insert(bag.end(), {r, r});
    const TreeWeights tree{forms.weights, 0.0, 0.0};
    ExtraScratch scratch;
    ASSERT_EQ(plan_extra_tree(ctx, forms.weights, bag, scratch).stats, ExtraStats::EntryBytes);
    NodeStats plain;
    NodeStats fused;
    compute_node_stats(ctx, tree, bag, true, plain);
    const NodePrep fused_prep = byte_node_stats(ctx, tree, bag, scratch, fused);
    EXPECT_EQ(fused_prep.ready, NodeReady::EntryBytes);
    EXPECT_TRUE(fused_prep.rows_checked);
    EXPECT_TRUE(std::equal(plain.labels.begin(), plain.labels.end(), fused.labels.begin(), fused.labels.end()));
    ASSERT_EQ(plain.entry_weights.size(), fused.entry_weights.size());
    for (size_t i = 0; i < plain.entry_weights.size(); ++i)
      EXPECT_EQ(std::bit_cast<uint64_t>(plain.entry_weights[i]), std::bit_cast<uint64_t>(fused.entry_weights[i]));
    ASSERT_EQ(plain.class_weight.size(), fused.class_weight.size());
    for (uint64_t c = 0; c < k; ++c)
      EXPECT_EQ(std::bit_cast<uint64_t>(plain.class_weight[c]), std::bit_cast<uint64_t>(fused.class_weight[c]));
    EXPECT_EQ(std::bit_cast<uint64_t>(plain.weight), std::bit_cast<uint64_t>(fused.weight));
    const uint64_t n = bag.size();
    const std::vector<uint8_t> weight(scratch.entry_bytes.begin(), scratch.entry_bytes.begin() + n);
    const std::vector<uint8_t> second = k == 2
        ? std::vector<uint8_t>(scratch.entry_bytes_one.begin(), scratch.entry_bytes_one.begin() + n)
        : std::vector<uint8_t>(scratch.entry_classes.begin(), scratch.entry_classes.begin() + n);
    EXPECT_EQ(prepare_extra_node(ctx, fused, fused_prep, scratch).ready, NodeReady::EntryBytes);
    ExtraScratch rebuilt;
    prepare_extra_tree(forms.weights, bag, rebuilt);
    ASSERT_TRUE(prepare_extra_node(plain, rebuilt));
    EXPECT_TRUE(std::equal(weight.begin(), weight.end(), rebuilt.entry_bytes.begin()));
    const std::vector<uint8_t>& rebuilt_second = k == 2 ? rebuilt.entry_bytes_one : rebuilt.entry_classes;
    EXPECT_TRUE(std::equal(second.begin(), second.end(), rebuilt_second.begin()));
  }
}

TEST(ExtraSearch, FloatBufferPeakIsReported) {
  TrainingContext ctx = dense_context({1.0, 2.0, 3.0}, 1, {0, 1, 1}, {1, 1, 1}, 2);
  ctx.feature_major_f32 = {1.0f, 2.0f, 3.0f};
  ctx.profile = std::make_shared<ProfileCounters>();
  const Case node = node_of(ctx, all_rows(ctx));
  Rng rng(2, 2);
  std::vector<uint64_t> constants;
  ExtraScratch scratch;
  search_extra(ctx, node.weights, node.rules, node.rows, node.stats, NodePrep{}, 0, 0, NodeBounds{}, constants, rng,
               scratch);
  EXPECT_EQ(ctx.profile->feature_buffer_peak.load(), scratch.values_f32.capacity() * sizeof(float));
  EXPECT_GE(ctx.profile->feature_buffer_peak.load(), 3 * sizeof(float));
  EXPECT_TRUE(scratch.values_f64.empty()) << "float32 input is buffered as float32";
}

}  // namespace
}  // namespace morvel
