// Exact split search of one feature: gather the node's values, sort them, and score every
// threshold between two neighbouring distinct values with both missing-value directions.
// Must not draw random numbers: the node loop owns every draw.
#include "split/exact_search.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "morvel/errors.h"

namespace morvel {
namespace {

// Maps a double to an unsigned key whose order is the IEEE-754 total order
// (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN).
inline uint64_t total_order_key(double v) {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  return (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
}

inline double key_value(uint64_t key) {
  return std::bit_cast<double>((key >> 63) != 0 ? key & ~(uint64_t{1} << 63) : ~key);
}

// Sorting on (key, list position) makes the order total: records with equal values keep
// their index-list order, so the running sums over them always add in the same order.
inline bool record_less(const ExactSortRecord& a, const ExactSortRecord& b) {
  return a.key != b.key ? a.key < b.key : a.position < b.position;
}

// Collects the non-missing values of the node in list order and accumulates the missing
// entries into `missing` (class weights), returning their weight and count.
template <class ValueOf>
void gather(std::span<const uint64_t> rows, const NodeStats& stats, const double* entry_weight,
            const double* row_weight, ValueOf&& value_of, std::vector<ExactSortRecord>& records,
            double* missing, double& missing_weight, uint64_t& missing_count) {
  records.clear();
  const uint64_t* labels = stats.labels.data();
  for (uint64_t i = 0; i < rows.size(); ++i) {
    const double v = value_of(rows[i]);
    if (std::isnan(v)) {
      const double w = entry_weight != nullptr ? entry_weight[i] : row_weight[rows[i]];
      missing[labels[i]] += w;
      missing_weight += w;
      ++missing_count;
      continue;
    }
    records.push_back(ExactSortRecord{total_order_key(v), i});
  }
}

}  // namespace

std::optional<SplitCandidate> search_exact(const TrainingContext& ctx, const TreeWeights& weights,
                                           const SearchRules& rules, std::span<const uint64_t> rows,
                                           const NodeStats& stats, uint64_t feature, int8_t constraint,
                                           NodeBounds bounds, ExactScratch& scratch) {
  MORVEL_ASSERT(feature < ctx.n_features, "index out of bounds: feature outside the training matrix");
  MORVEL_ASSERT(stats.labels.size() == rows.size(), "node statistics do not match the index list");
  const uint64_t n_classes = rules.n_classes;

  // Buffers: suffix S, prefix P, missing m, and one temporary side (S + m or P + m).
  scratch.buffers.assign(4 * n_classes, 0.0);
  double* suffix = scratch.buffers.data();
  double* prefix = suffix + n_classes;
  double* missing = prefix + n_classes;
  double* joined = missing + n_classes;

  const double* entry_weight =
      stats.entry_weights.size() == rows.size() && !rows.empty() ? stats.entry_weights.data() : nullptr;
  const double* row_weight = weights.weights.data();
  double missing_weight = 0.0;
  uint64_t missing_count = 0;
  auto& records = scratch.sorted;
  if (ctx.binned) {
    const BinnedMatrix& bins = *ctx.binned;
    const uint8_t missing_code = missing_bin(bins.edges[feature].size());
    gather(rows, stats, entry_weight, row_weight,
           [&](uint64_t row) {
             const uint8_t b = bins.at(row, feature);
             return bins.has_missing && b == missing_code ? std::nan("") : static_cast<double>(b);
           },
           records, missing, missing_weight, missing_count);
  } else {
    with_raw_access(ctx, [&](auto access) {
      gather(rows, stats, entry_weight, row_weight, [&](uint64_t row) { return access.value(row, feature); },
             records, missing, missing_weight, missing_count);
    });
  }
  const uint64_t n = records.size();
  if (n < 2) return std::nullopt;
  std::sort(records.begin(), records.end(), record_less);

  const double node_weight = stats.weight;
  const double parent_impurity = impurity(rules.criterion, stats.class_weight.data(), n_classes, node_weight);
  for (uint64_t c = 0; c < n_classes; ++c) suffix[c] = stats.class_weight[c] - missing[c];
  const uint64_t* labels = stats.labels.data();

  double prefix_weight = 0.0;
  bool found = false;
  double best_improvement = 0.0;
  double best_pivot = 0.0;
  bool best_missing_left = false;
  auto offer = [&](double improvement, double pivot, bool missing_left) {
    if (!found || improvement > best_improvement) {
      found = true;
      best_improvement = improvement;
      best_pivot = pivot;
      best_missing_left = missing_left;
    }
  };

  for (uint64_t i = 0; i + 1 < n; ++i) {
    const uint64_t position = records[i].position;
    const uint64_t c = labels[position];
    const double w = entry_weight != nullptr ? entry_weight[position] : row_weight[rows[position]];
    suffix[c] -= w;
    prefix[c] += w;
    prefix_weight += w;

    const uint64_t key_a = records[i].key;
    const uint64_t key_b = records[i + 1].key;
    if (key_a == key_b) continue;
    const double a = key_value(key_a);
    const double b = key_value(key_b);
    // -0.0 and +0.0 are different keys but the same number: no threshold separates them
    // under the routing rule (value > pivot), so none is placed between them.
    if (a == b) continue;
    const double mid = a * 0.5 + b * 0.5;
    const double pivot = mid < b ? mid : a;

    const uint64_t n_prefix = i + 1;
    const uint64_t n_suffix = n - i - 1;
    const double suffix_weight = node_weight - prefix_weight;
    if (missing_count == 0) {
      const SideStats left{suffix, suffix_weight, n_suffix};
      const SideStats right{prefix, prefix_weight, n_prefix};
      if (auto imp = evaluate_partition(rules, parent_impurity, node_weight, left, right, constraint, bounds)) {
        // Unseen missing values follow the larger side; ties go left.
        offer(*imp, pivot, n_prefix <= n_suffix);
      }
      continue;
    }
    // Option 1: missing rows join the suffix (left).
    for (uint64_t k = 0; k < n_classes; ++k) joined[k] = suffix[k] + missing[k];
    {
      const SideStats left{joined, suffix_weight, n_suffix + missing_count};
      const SideStats right{prefix, prefix_weight, n_prefix};
      if (auto imp = evaluate_partition(rules, parent_impurity, node_weight, left, right, constraint, bounds)) {
        offer(*imp, pivot, true);
      }
    }
    // Option 2: missing rows join the prefix (right); replaces option 1 only when strictly better.
    for (uint64_t k = 0; k < n_classes; ++k) joined[k] = prefix[k] + missing[k];
    {
      const SideStats left{suffix, suffix_weight - missing_weight, n_suffix};
      const SideStats right{joined, prefix_weight + missing_weight, n_prefix + missing_count};
      if (auto imp = evaluate_partition(rules, parent_impurity, node_weight, left, right, constraint, bounds)) {
        offer(*imp, pivot, false);
      }
    }
  }
  if (!found) return std::nullopt;
  return SplitCandidate{best_pivot, best_missing_left, scaled_gain(best_improvement, node_weight, rules.w_total)};
}

}  // namespace morvel
