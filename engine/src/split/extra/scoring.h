// Scoring a drawn threshold: the sums one search collects, the two placements of the
// missing rows, and the node impurity shared by a node's searches.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "split/extra/common.h"

namespace morvel::extra {

// The sums one search collects before scoring. `prefix` and `missing` point at n_classes
// weights each.
struct DrawnPartition {
  const double* prefix;   // class weights of the non-missing entries with value <= t
  double prefix_weight;   // W_P
  uint64_t prefix_count;  // n_P
  const double* missing;  // class weights of the missing entries
  double missing_weight;  // W_m
  uint64_t missing_count; // n_m
};

// The better of a search's two placements of the missing rows: the first valid option stands
// unless a later one has a strictly greater improvement; the winner's gain is scaled last.
struct OptionPick {
  std::optional<SplitCandidate> best;
  double improvement = 0.0;

  [[gnu::always_inline]] void offer(const std::optional<double>& candidate, double pivot, bool missing_left) {
    if (candidate && (!best || *candidate > improvement)) {
      best = SplitCandidate{pivot, missing_left, 0.0};
      improvement = *candidate;
    }
  }
  [[gnu::always_inline]] std::optional<SplitCandidate> finish(double node_weight, double w_total) {
    if (best) best->gain = scaled_gain(improvement, node_weight, w_total);
    return best;
  }
};

// impurity(class_weight, W) of the node; under entropy reused while the node's inputs are
// unchanged.
inline double parent_impurity(const SearchRules& rules, const NodeStats& stats, ExtraScratch& scratch) {
  const uint64_t k = rules.n_classes;
  const double* v = stats.class_weight.data();
  return with_criterion(rules.criterion, [&](auto criterion) {
    using C = decltype(criterion);
    // Gini costs less than the comparison; entropy's logarithms do not.
    if constexpr (std::is_same_v<C, Gini>) {
      return impurity_of<C>(v, k, stats.weight);
    } else {
      bool same = scratch.parent_known && scratch.parent_criterion == rules.criterion &&
                  std::bit_cast<uint64_t>(scratch.parent_weight) == std::bit_cast<uint64_t>(stats.weight) &&
                  scratch.parent_class_weight.size() == k;
      for (uint64_t c = 0; same && c < k; ++c)
        same = std::bit_cast<uint64_t>(scratch.parent_class_weight[c]) == std::bit_cast<uint64_t>(v[c]);
      if (!same) {
        scratch.parent_known = true;
        scratch.parent_criterion = rules.criterion;
        scratch.parent_weight = stats.weight;
        scratch.parent_class_weight.assign(v, v + k);
        scratch.parent_impurity = impurity_of<C>(v, k, stats.weight);
      }
      return scratch.parent_impurity;
    }
  });
}

// evaluate_partition with the class count fixed at compile time when K > 0 (the class loops
// unrolled) and read from the rules when K == 0.
template <uint64_t K>
inline std::optional<double> evaluate_fixed(const SearchRules& rules, double parent_impurity, double node_weight,
                                            const SideStats& left, const SideStats& right, int8_t constraint,
                                            NodeBounds bounds) {
  return with_criterion(rules.criterion, [&](auto criterion) {
    return evaluate_partition_as<decltype(criterion), K>(rules, parent_impurity, node_weight, left, right, constraint,
                                                         bounds);
  });
}

// Scores the two placements of the missing rows, in order: (1) with the entries above t
// (left, missing_left true), (2) with the prefix (right). A later option replaces an earlier
// one only with a strictly greater improvement, so without missing rows option (1) stands and
// option (2), which would be the same partition, is not evaluated. `work` holds 2 * n_classes
// doubles.
template <uint64_t K>
std::optional<SplitCandidate> score_drawn_for(const SearchRules& rules, const NodeStats& stats, double parent,
                                              uint64_t n_entries, const DrawnPartition& part, double pivot,
                                              int8_t constraint, NodeBounds bounds, double* work) {
  const uint64_t k = K > 0 ? K : rules.n_classes;
  const double node_weight = stats.weight;
  const double* class_weight = stats.class_weight.data();
  double* suffix = work;          // non-missing entries above t
  double* joined = work + k;      // a side plus the missing rows
  for (uint64_t c = 0; c < k; ++c) suffix[c] = (class_weight[c] - part.missing[c]) - part.prefix[c];
  const uint64_t non_missing = n_entries - part.missing_count;

  OptionPick pick;

  for (uint64_t c = 0; c < k; ++c) joined[c] = suffix[c] + part.missing[c];
  {
    const SideStats left{joined, node_weight - part.prefix_weight, n_entries - part.prefix_count};
    const SideStats right{part.prefix, part.prefix_weight, part.prefix_count};
    pick.offer(evaluate_fixed<K>(rules, parent, node_weight, left, right, constraint, bounds), pivot, true);
  }
  if (part.missing_count > 0) {
    for (uint64_t c = 0; c < k; ++c) joined[c] = part.prefix[c] + part.missing[c];
    const SideStats left{suffix, (node_weight - part.prefix_weight) - part.missing_weight,
                         non_missing - part.prefix_count};
    const SideStats right{joined, part.prefix_weight + part.missing_weight,
                          part.prefix_count + part.missing_count};
    pick.offer(evaluate_fixed<K>(rules, parent, node_weight, left, right, constraint, bounds), pivot, false);
  }
  return pick.finish(node_weight, rules.w_total);
}

// Scores with the class count as a compile-time constant for two to eight classes.
inline std::optional<SplitCandidate> score_drawn(const SearchRules& rules, const NodeStats& stats, double parent,
                                          uint64_t n_entries, const DrawnPartition& part, double pivot,
                                          int8_t constraint, NodeBounds bounds, double* work) {
  return with_class_count<kMaxUnrolledClasses>(rules.n_classes, [&](auto classes) {
    return score_drawn_for<decltype(classes)::value>(rules, stats, parent, n_entries, part, pivot, constraint, bounds,
                                                     work);
  });
}

}  // namespace morvel::extra
