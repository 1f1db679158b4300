// Impurity, node statistics and the shared validity rules of a candidate partition.
#include "split/criteria.h"

#include <bit>
#include <cmath>
#include <string>

#include "morvel/errors.h"
#include "simd/simd.h"

namespace morvel {

namespace {

// The walk of compute_node_stats with the weight of a row given by `weight_of(row)`.
template <class WeightOf>
void node_stats_with(const TrainingContext& ctx, std::span<const RowIndex> rows, bool keep_entry_weights,
                     bool keep_labels, NodeStats& out, WeightOf weight_of) {
  const uint64_t n_classes = ctx.n_classes;
  const ClassIndex* labels = ctx.labels.data();
  // Calls add(class, weight) for each entry in list order, storing what was asked for. The
  // loop reads only locals: the stores to the entry arrays could otherwise alias `out`'s
  // fields and the context's, and force them to be reloaded for every entry.
  const RowIndex* const row_at = rows.data();
  const uint64_t n_entries = rows.size();
  const uint64_t n_rows = ctx.n_rows;
  ClassIndex* const label_out = out.labels.data();
  double* const weight_out = out.entry_weights.data();
  auto each_entry = [&](auto&& add) {
    for (size_t i = 0; i < n_entries; ++i) {
      const uint64_t row = row_at[i];
      MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
      const uint64_t c = labels[row];
      MORVEL_ASSERT(c < n_classes, "index out of bounds: label outside 0..n_classes");
      const double wr = weight_of(row);
      add(c, wr);
      if (keep_labels) label_out[i] = static_cast<ClassIndex>(c);
      if (keep_entry_weights) weight_out[i] = wr;
    }
  };
  if (n_classes == 2) {
    // Two running sums in registers instead of a store and reload of class_weight[c] per
    // entry. The other class's sum adds +0.0, which leaves a sum of non-negative weights
    // bit for bit unchanged, so the sums are those of the plain loop below.
    double class0 = 0.0;
    double class1 = 0.0;
    double total = 0.0;
    each_entry([&](uint64_t c, double wr) {
      const uint64_t one = uint64_t{0} - c;
      const uint64_t bits = std::bit_cast<uint64_t>(wr);
      class0 += std::bit_cast<double>(bits & ~one);
      class1 += std::bit_cast<double>(bits & one);
      total += wr;
    });
    out.class_weight[0] = class0;
    out.class_weight[1] = class1;
    out.weight = total;
    return;
  }
  double* const class_weight = out.class_weight.data();
  double total = 0.0;
  each_entry([&](uint64_t c, double wr) {
    class_weight[c] += wr;
    total += wr;
  });
  out.weight = total;
}

// The class counts of labels l[0..n), all below n_classes: one pass per class after the
// first, each a comparison and a count that vectorise (class 0 takes the rest). The counts
// fit 32 bits, as an index list holds fewer than 2^32 entries.
constexpr uint64_t kScalarCounts = 48;

MORVEL_TARGET_CLONES void count_labels(const ClassIndex* l, uint64_t n, uint64_t n_classes, uint64_t* counts) {
  uint64_t rest = n;
  for (uint64_t c = 1; c < n_classes; ++c) {
    const ClassIndex label = static_cast<ClassIndex>(c);
    uint32_t k = 0;
    for (uint64_t i = 0; i < n; ++i) k += l[i] == label ? 1u : 0u;
    counts[c] = k;
    rest -= k;
  }
  counts[0] = rest;
}

}  // namespace

void compute_node_stats(const TrainingContext& ctx, const TreeWeights& weights,
                        std::span<const RowIndex> rows, bool keep_entry_weights, NodeStats& out,
                        bool keep_labels) {
  out.criterion = ctx.growth.criterion;
  out.labels.resize(keep_labels ? rows.size() : 0);
  out.class_weight.assign(ctx.n_classes, 0.0);
  out.weight = 0.0;
  out.unit_weights = weights.unit;
  out.held_labels = {};
  if (keep_entry_weights) {
    out.entry_weights.resize(rows.size());
  } else {
    out.entry_weights.clear();
  }
  if (weights.unit && weights.weights.empty()) {
    node_stats_with(ctx, rows, keep_entry_weights, keep_labels, out, [](uint64_t) { return 1.0; });
    return;
  }
  const double* w = weights.weights.data();
  MORVEL_ASSERT(weights.weights.size() >= ctx.n_rows, "tree weights do not cover the training rows");
  node_stats_with(ctx, rows, keep_entry_weights, keep_labels, out, [w](uint64_t row) { return w[row]; });
}

void count_node_classes(std::span<const ClassIndex> labels, Criterion criterion, uint64_t n_classes,
                        NodeStats& out) {
  out.criterion = criterion;
  out.labels.resize(0);
  out.entry_weights.clear();
  out.unit_weights = true;
  out.held_labels = labels;
  out.class_weight.resize(n_classes);  // every class is written below
  const uint64_t n = labels.size();
  const ClassIndex* l = labels.data();
  if (n_classes <= kMaxUnrolledClasses) {
    uint64_t counts[kMaxUnrolledClasses] = {};
    if (n < kScalarCounts) {
      // A small node: one scalar pass costs less than setting up a vector pass per class.
      for (uint64_t i = 0; i < n; ++i) {
        MORVEL_ASSERT(l[i] < n_classes, "index out of bounds: label outside 0..n_classes");
        counts[l[i]] += 1;
      }
    } else {
      count_labels(l, n, n_classes, counts);
    }
    for (uint64_t c = 0; c < n_classes; ++c) out.class_weight[c] = static_cast<double>(counts[c]);
  } else {
    // Four tallies taken in turn, so that consecutive entries of one class do not wait on
    // each other's increment.
    std::vector<uint64_t>& tally = out.tally;
    tally.assign(4 * n_classes, 0);
    uint64_t* t = tally.data();
    uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      for (uint64_t j = 0; j < 4; ++j) {
        MORVEL_ASSERT(l[i + j] < n_classes, "index out of bounds: label outside 0..n_classes");
        t[j * n_classes + l[i + j]] += 1;
      }
    }
    for (; i < n; ++i) {
      MORVEL_ASSERT(l[i] < n_classes, "index out of bounds: label outside 0..n_classes");
      t[l[i]] += 1;
    }
    for (uint64_t c = 0; c < n_classes; ++c) {
      const uint64_t count = t[c] + t[n_classes + c] + t[2 * n_classes + c] + t[3 * n_classes + c];
      out.class_weight[c] = static_cast<double>(count);
    }
  }
  out.weight = static_cast<double>(n);
}

void throw_unknown_criterion(Criterion criterion) {
  throw_internal("unknown split criterion " + std::to_string(static_cast<unsigned>(criterion)));
}

SearchRules make_search_rules(const TrainingContext& ctx, const TreeWeights& weights) {
  SearchRules rules;
  rules.criterion = ctx.growth.criterion;
  rules.n_classes = ctx.n_classes;
  rules.min_samples_leaf = ctx.growth.min_samples_leaf;
  rules.min_leaf_weight = weights.min_leaf_weight;
  rules.min_impurity_decrease = ctx.growth.min_impurity_decrease;
  rules.w_total = weights.w_total;
  return rules;
}

}  // namespace morvel
