// Node statistics, impurity criteria and the validity rules every split search shares
// (exact, histogram and extra-trees), including the monotonic test.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "morvel/errors.h"
#include "morvel/large_buffer.h"
#include "morvel/settings.h"
#include "data/training_context.h"
#include "split/class_count.h"

namespace morvel {

// A node's class weights, measured from its index list.
struct NodeStats {
  UninitVector<ClassIndex> labels;     // class of each index-list entry, list order
  std::vector<double> class_weight;    // weight per class (a row listed twice counts twice)
  double weight = 0.0;                 // W: sum of all entry weights
  Criterion criterion = Criterion::Gini;
  UninitVector<double> entry_weights;  // weight of each entry; kept only when asked for
  // Every entry weighs exactly 1.0 (a tree on the fit's own unit weights); readers of the
  // entries may then use 1.0 instead of entry_weights, which is left empty.
  bool unit_weights = false;
  // The entry labels when the caller keeps them itself (labels is then empty): a segment of
  // an array permuted along with the index list, valid until the node is partitioned.
  std::span<const ClassIndex> held_labels;
  std::vector<uint64_t> tally;  // scratch of count_node_classes

  // Each entry's class in list order, or null when neither form is kept for n entries.
  const ClassIndex* entry_labels(uint64_t n) const {
    if (labels.size() == n) return labels.data();
    return held_labels.size() == n && held_labels.data() != nullptr ? held_labels.data() : nullptr;
  }
};

// Walks the index list once: class_weight[c] += w and W += w in list order. Entry weights are
// stored when `keep_entry_weights`, entry labels unless `keep_labels` is false (labels then
// stays empty); `unit_weights` is copied from the tree weights.
void compute_node_stats(const TrainingContext& ctx, const TreeWeights& weights,
                        std::span<const RowIndex> rows, bool keep_entry_weights, NodeStats& out,
                        bool keep_labels = true);

// The statistics of unit-weight entries whose labels are listed (all below n_classes, which
// the lister checks): the
// class counts, which equal compute_node_stats' sums bit for bit, as every partial sum of
// 1.0s is a whole number below 2^53 whatever the order. `labels` becomes out.held_labels.
void count_node_classes(std::span<const ClassIndex> labels, Criterion criterion, uint64_t n_classes,
                        NodeStats& out);


// The admissible interval of the class-1 probability of a node (monotonic constraints).
struct NodeBounds {
  double lower = 0.0;
  double upper = 1.0;
};

// Everything the validity rules read, fixed for one tree.
struct SearchRules {
  Criterion criterion = Criterion::Gini;
  uint64_t n_classes = 0;
  uint64_t min_samples_leaf = 1;
  double min_leaf_weight = 0.0;
  double min_impurity_decrease = 0.0;
  double w_total = 0.0;  // W_total of the tree: gain = improvement * W / W_total
};

SearchRules make_search_rules(const TrainingContext& ctx, const TreeWeights& weights);

// The best split of one feature at one node.
struct SplitCandidate {
  double pivot = 0.0;         // rows with value > pivot go left
  bool missing_left = false;  // where missing values go
  double gain = 0.0;          // best local improvement * W / W_total
};

// The impurity criteria as policies. A criterion folds each class's weight v_c into one
// running sum, in class order from 0.0, and turns the sum into the impurity; every form of
// the impurity (scalar, unrolled for a fixed class count, one lane per candidate) is built
// from these two steps, so all of them round alike.
struct Gini {
  static constexpr Criterion kind = Criterion::Gini;
  // 1 - sum_c (v_c / W)^2.
  static void add(double& sum, double v, double total) {
    const double p = v / total;
    sum += p * p;
  }
  static double finish(double sum) { return 1.0 - sum; }
};

struct Entropy {
  static constexpr Criterion kind = Criterion::Entropy;
  // -sum p ln p over the classes with v_c > 0.
  static void add(double& sum, double v, double total) {
    if (v > 0.0) {
      const double p = v / total;
      sum += p * std::log(p);
    }
  }
  static double finish(double sum) { return -sum; }
};

[[noreturn]] void throw_unknown_criterion(Criterion criterion);

// Calls fn(Gini{}) or fn(Entropy{}). A value naming neither (a settings struct filled by
// hand, a corrupted model) is an internal failure rather than a silent choice of entropy.
template <class Fn>
[[gnu::always_inline]] inline decltype(auto) with_criterion(Criterion criterion, Fn&& fn) {
  if (criterion == Criterion::Gini) return fn(Gini{});
  if (criterion == Criterion::Entropy) [[likely]] return fn(Entropy{});
  throw_unknown_criterion(criterion);
}

// The impurity of class weights v[0..n) with total W under criterion C; a zero total gives 0.
// kClasses, when not 0, is n fixed at compile time (the loop unrolls; the sum still runs in
// class order).
template <class C, uint64_t kClasses = 0>
[[gnu::always_inline]] inline double impurity_of(const double* v, uint64_t n_classes, double total) {
  if (total == 0.0) return 0.0;
  const uint64_t n = classes_or<kClasses>(n_classes);
  double sum = 0.0;
  for (uint64_t c = 0; c < n; ++c) C::add(sum, v[c], total);
  return C::finish(sum);
}

inline double impurity(Criterion criterion, const double* class_weight, uint64_t n_classes, double total) {
  return with_criterion(criterion, [&](auto c) { return impurity_of<decltype(c)>(class_weight, n_classes, total); });
}

// One side of a candidate partition.
struct SideStats {
  const double* class_weight;  // n_classes weights
  double weight;               // side total
  uint64_t count;              // index-list entries on the side
};

// The monotonic test: both side probabilities inside [lower, upper] and
// (p_right - p_left) * constraint <= 0. `left` holds the larger feature values.
inline bool monotonic_ok(const SideStats& left, const SideStats& right, int8_t constraint, NodeBounds bounds,
                  uint64_t n_classes) {
  MORVEL_ASSERT(n_classes >= 2, "monotonic constraints require two classes");
  const double p_left = left.class_weight[1] / left.weight;
  const double p_right = right.class_weight[1] / right.weight;
  if (!(p_left <= bounds.upper && p_left >= bounds.lower)) return false;
  if (!(p_right <= bounds.upper && p_right >= bounds.lower)) return false;
  return (p_right - p_left) * static_cast<double>(constraint) <= 0.0;
}

// The validity rules, in their fixed order: counts, non-zero weights, min_leaf_weight, the
// monotonic test, min_impurity_decrease. Every search applies them through these functions;
// the lane forms combine the same predicates without short circuits (a predicate has no
// side effects, so only the cost differs).

// One side's count and weight rules: at least min_samples_leaf entries, non-zero weight, at
// least min_leaf_weight. Combined with `&` so that loops over candidates vectorise.
inline bool side_admissible(const SearchRules& rules, uint64_t count, double weight) {
  return (count >= rules.min_samples_leaf) & (weight != 0.0) & (weight >= rules.min_leaf_weight);
}

inline bool sides_admissible(const SearchRules& rules, uint64_t n_left, double w_left, uint64_t n_right,
                             double w_right) {
  return side_admissible(rules, n_left, w_left) && side_admissible(rules, n_right, w_right);
}

// The local improvement ((impurity - (W_L / W) * impurity_L) - (W_R / W) * impurity_R).
inline double improvement_of(double parent_impurity, double node_weight, double w_left, double impurity_left,
                             double w_right, double impurity_right) {
  return (parent_impurity - (w_left / node_weight) * impurity_left) - (w_right / node_weight) * impurity_right;
}

// The last rule; a NaN improvement fails it.
inline bool decrease_admissible(const SearchRules& rules, double improvement) {
  return improvement >= rules.min_impurity_decrease;
}

// Returns the improvement when the partition is valid. `node_weight` is W of the node
// (missing rows included); `parent_impurity` its impurity. kClasses as in impurity_of.
template <class C, uint64_t kClasses = 0>
[[gnu::always_inline]] inline std::optional<double> evaluate_partition_as(const SearchRules& rules,
                                                                         double parent_impurity, double node_weight,
                                                                         const SideStats& left, const SideStats& right,
                                                                         int8_t constraint, NodeBounds bounds) {
  if (!sides_admissible(rules, left.count, left.weight, right.count, right.weight)) return std::nullopt;
  if (constraint != 0 && !monotonic_ok(left, right, constraint, bounds, rules.n_classes)) return std::nullopt;
  const double impurity_left = impurity_of<C, kClasses>(left.class_weight, rules.n_classes, left.weight);
  const double impurity_right = impurity_of<C, kClasses>(right.class_weight, rules.n_classes, right.weight);
  const double improvement =
      improvement_of(parent_impurity, node_weight, left.weight, impurity_left, right.weight, impurity_right);
  if (!decrease_admissible(rules, improvement)) return std::nullopt;
  return improvement;
}

inline std::optional<double> evaluate_partition(const SearchRules& rules, double parent_impurity, double node_weight,
                                                const SideStats& left, const SideStats& right, int8_t constraint,
                                                NodeBounds bounds) {
  return with_criterion(rules.criterion, [&](auto c) {
    return evaluate_partition_as<decltype(c)>(rules, parent_impurity, node_weight, left, right, constraint, bounds);
  });
}

// The running best of a feature's scan. Strictly greater replaces: among equal improvements
// the partition offered first (the smaller pivot, and for one pivot the missing-left option,
// which is tried first) stays.
struct BestPartition {
  bool found = false;
  double improvement = 0.0;
  double pivot = 0.0;
  bool missing_left = false;

  void offer(double improvement_, double pivot_, bool missing_left_) {
    if (!found || improvement_ > improvement) {
      found = true;
      improvement = improvement_;
      pivot = pivot_;
      missing_left = missing_left_;
    }
  }
  void offer(std::optional<double> improvement_, double pivot_, bool missing_left_) {
    if (improvement_) offer(*improvement_, pivot_, missing_left_);
  }
};

// gain = (improvement * W) / W_total.
inline double scaled_gain(double improvement, double node_weight, double w_total) {
  return (improvement * node_weight) / w_total;
}

}  // namespace morvel
