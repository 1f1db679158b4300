// The general extra-trees search: any class count, every matrix form.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "split/extra/class_lanes.h"
#include "split/extra/extremes.h"
#include "split/extra/scoring.h"

namespace morvel::extra {

// The general search's prefix: class sums of the entries with value <= t (NaN never
// qualifies) into prefix[0..k), their total added to `prefix_weight`; returns their count.
// Entries outside the prefix add +0.0, which changes no running sum (see
// binary_prefix_in_order).

// Whole weights: exact sums in any order. Four lanes of class sums (`lanes`, 4k doubles), so
// that entries of one class in a row do not wait on each other's store.
[[gnu::always_inline]] inline uint64_t whole_prefix(const double* values, const double* entry_weights,
                                                    const ClassIndex* labels, uint64_t n, double t, uint64_t k,
                                                    double* lanes, double* prefix, double& prefix_weight) {
  uint64_t prefix_count = 0;
  std::fill(lanes, lanes + 4 * k, 0.0);
  for (uint64_t i = 0; i < n; ++i) {
    const bool in = values[i] <= t;  // false for NaN
    const double added =
        std::bit_cast<double>(std::bit_cast<uint64_t>(entry_weights[i]) & (uint64_t{0} - static_cast<uint64_t>(in)));
    lanes[(i & 3) * k + labels[i]] += added;
    prefix_count += static_cast<uint64_t>(in);
  }
  for (uint64_t c = 0; c < k; ++c) {
    prefix[c] = (lanes[c] + lanes[k + c]) + (lanes[2 * k + c] + lanes[3 * k + c]);
    prefix_weight += prefix[c];
  }
  return prefix_count;
}

// Any weights: one running sum per class and one for the total, in list order; the entry
// weights (when the node kept them) or w[row].
[[gnu::always_inline]] inline uint64_t ordered_prefix(const double* values, const double* entry_weights,
                                                      const double* w, const RowIndex* rows, const ClassIndex* labels,
                                                      uint64_t n, double t, double* prefix, double& prefix_weight) {
  uint64_t prefix_count = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const bool in = values[i] <= t;  // false for NaN
    const double wr = entry_weights != nullptr ? entry_weights[i] : w[rows[i]];
    const double added = std::bit_cast<double>(std::bit_cast<uint64_t>(wr) & (uint64_t{0} - static_cast<uint64_t>(in)));
    prefix[labels[i]] += added;
    prefix_weight += added;
    prefix_count += static_cast<uint64_t>(in);
  }
  return prefix_count;
}

// `read(row)` returns the value of the searched feature for a row, NaN when missing;
// `may_miss` is false when no value of the matrix is missing.
template <class Read>
std::optional<SplitCandidate> general_search(const TrainingContext& ctx, const TreeWeights& weights,
                                             const SearchRules& rules, std::span<const RowIndex> rows,
                                             const NodeStats& stats, uint64_t feature, int8_t constraint,
                                             NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                             Rng& rng, ExtraScratch& scratch, Read read, bool may_miss,
                                             bool tagged) {
  const uint64_t k = rules.n_classes;
  const uint64_t n = rows.size();
  MORVEL_ASSERT(stats.labels.size() == n, "index out of bounds: node labels do not match the index list");
  std::vector<double>& values = scratch.values;
  if (values.size() < n) values.resize(n);  // grown, never shrunk or cleared
  // prefix, missing, score_drawn's work (2k) and the four class-sum lanes (4k); only the
  // sums that are added to start at zero.
  std::vector<double>& sums = scratch.buffers;
  if (sums.size() < 8 * k) sums.resize(8 * k);
  double* prefix = sums.data();
  double* missing = sums.data() + k;
  std::fill(prefix, prefix + 2 * k, 0.0);
  const double* w = weights.weights.data();
  const ClassIndex* labels = stats.labels.data();

  double missing_weight = 0.0;
  uint64_t missing_count = 0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  if (may_miss) {
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t row = rows[i];
      MORVEL_ASSERT(row < weights.weights.size(), "index out of bounds: row outside the training matrix");
      const double v = read(row);
      values[i] = v;
      if (std::isnan(v)) {
        const uint64_t c = labels[i];
        missing[c] += w[row];
        missing_weight += w[row];
        ++missing_count;
        continue;
      }
      if (v < lo) lo = v;
      if (v > hi) hi = v;
    }
  } else {
    copy_extremes(rows.data(), n, weights.weights.size(), read, values.data(), lo, hi);
  }
  // Also covers a node whose values are all missing (lo stays +inf).
  if (!(lo < hi)) {
    constant_features.push_back(feature);
    return std::nullopt;
  }
  const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, lo, hi);

  // Entries outside the prefix add +0.0, which changes no running sum (see
  // binary_prefix_in_order); the entry weights, when the node kept them, are the same values
  // as w[row] read in list order.
  const double* entry_weights = stats.entry_weights.size() == n ? stats.entry_weights.data() : nullptr;
  double prefix_weight = 0.0;
  uint64_t prefix_count = 0;
  if (tagged && k <= kTagLanes) {
    prefix_count = tagged_prefix(values.data(), scratch.entry_tags.data(), n, t, k, prefix);
    for (uint64_t c = 0; c < k; ++c) prefix_weight += prefix[c];
  } else if (entry_weights != nullptr && scratch.plan.whole_weights()) {
    prefix_count = whole_prefix(values.data(), entry_weights, labels, n, t, k, sums.data() + 4 * k, prefix,
                                prefix_weight);
  } else {
    prefix_count = ordered_prefix(values.data(), entry_weights, w, rows.data(), labels, n, t, prefix, prefix_weight);
  }
  if (prefix_count == 0 || prefix_count == n - missing_count) return std::nullopt;
  const DrawnPartition part{prefix, prefix_weight, prefix_count, missing, missing_weight, missing_count};
  return score_drawn(rules, stats, parent_impurity(rules, stats, scratch), n, part, t, constraint, bounds, sums.data() + 2 * k);
}

// Calls fn(read, may_miss) for the searched feature.
template <class Fn>
decltype(auto) with_general_reader(const TrainingContext& ctx, uint64_t feature, uint64_t n_entries, Fn&& fn) {
  if (ctx.binned) {
    const BinnedMatrix& bm = *ctx.binned;
    MORVEL_ASSERT(feature < bm.n_features && feature < bm.edges.size(),
                  "index out of bounds: feature outside the binned matrix");
    const uint8_t* column = bm.bins.data() + (bm.feature_major ? feature * bm.n_rows : feature);
    const uint64_t stride = bm.feature_major ? 1 : bm.n_features;
    const uint64_t n_rows = bm.n_rows;
    if (!bm.has_missing) {
      return fn(
          [column, stride, n_rows](uint64_t row) {
            MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the binned matrix");
            return static_cast<double>(column[row * stride]);
          },
          false);
    }
    const uint8_t missing = missing_bin(bm.edges[feature].size());
    return fn(
        [column, stride, n_rows, missing](uint64_t row) {
          MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the binned matrix");
          const uint8_t b = column[row * stride];
          return b == missing ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(b);
        },
        true);
  }
  MORVEL_ASSERT(feature < ctx.n_features, "index out of bounds: feature outside the training matrix");
  return with_raw_access_for(ctx, n_entries, [&](auto access) {
    return fn([access, feature](uint64_t row) { return access.value(row, feature); }, ctx.has_missing);
  });
}

}  // namespace morvel::extra
