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
#include "morvel/settings.h"
#include "data/training_context.h"

namespace morvel {

// An allocator whose resize leaves new elements uninitialised: node statistics are rewritten
// for every node, and zero-filling the grown part first would only double the writes.
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A node's class weights, measured from its index list.
struct NodeStats {
  std::vector<ClassIndex, UninitAllocator<ClassIndex>> labels;  // class of each index-list entry, list order
  std::vector<double> class_weight;    // weight per class (a row listed twice counts twice)
  double weight = 0.0;                 // W: sum of all entry weights
  Criterion criterion = Criterion::Gini;
  std::vector<double, UninitAllocator<double>> entry_weights;  // weight of each entry; kept only when asked for
  // Every entry weighs exactly 1.0 (a tree on the fit's own unit weights); readers of the
  // entries may then use 1.0 instead of entry_weights, which is left empty.
  bool unit_weights = false;
};

// Walks the index list once: class_weight[c] += w and W += w in list order. Entry weights are
// stored when `keep_entry_weights`, entry labels unless `keep_labels` is false (labels then
// stays empty); `unit_weights` is copied from the tree weights.
void compute_node_stats(const TrainingContext& ctx, const TreeWeights& weights,
                        std::span<const RowIndex> rows, bool keep_entry_weights, NodeStats& out,
                        bool keep_labels = true);



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

// gini: 1 - sum_c (v_c / W)^2 with one running sum; entropy: -sum p ln p over v_c > 0.
// A zero total gives 0.
inline double impurity(Criterion criterion, const double* class_weight, uint64_t n_classes, double total) {
  if (total == 0.0) return 0.0;
  if (criterion == Criterion::Gini) {
    double sum = 0.0;
    for (uint64_t c = 0; c < n_classes; ++c) {
      const double p = class_weight[c] / total;
      sum += p * p;
    }
    return 1.0 - sum;
  }
  double sum = 0.0;
  for (uint64_t c = 0; c < n_classes; ++c) {
    if (class_weight[c] > 0.0) {
      const double p = class_weight[c] / total;
      sum += p * std::log(p);
    }
  }
  return -sum;
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

// Validity rules in their fixed order (counts, non-zero weights, min_leaf_weight, monotonic
// test, min_impurity_decrease) and the local improvement
//   ((impurity - (W_L / W) * impurity_L) - (W_R / W) * impurity_R).
// Returns the improvement when the partition is valid. `node_weight` is W of the node
// (missing rows included); `parent_impurity` its impurity.
inline std::optional<double> evaluate_partition(const SearchRules& rules, double parent_impurity, double node_weight,
                                         const SideStats& left, const SideStats& right, int8_t constraint,
                                         NodeBounds bounds) {
  if (left.count < rules.min_samples_leaf || right.count < rules.min_samples_leaf) return std::nullopt;
  if (left.weight == 0.0 || right.weight == 0.0) return std::nullopt;
  if (!(left.weight >= rules.min_leaf_weight) || !(right.weight >= rules.min_leaf_weight)) return std::nullopt;
  if (constraint != 0 && !monotonic_ok(left, right, constraint, bounds, rules.n_classes)) return std::nullopt;
  const double impurity_left = impurity(rules.criterion, left.class_weight, rules.n_classes, left.weight);
  const double impurity_right = impurity(rules.criterion, right.class_weight, rules.n_classes, right.weight);
  const double improvement = (parent_impurity - (left.weight / node_weight) * impurity_left) -
                             (right.weight / node_weight) * impurity_right;
  if (!(improvement >= rules.min_impurity_decrease)) return std::nullopt;
  return improvement;
}

// gain = (improvement * W) / W_total.
inline double scaled_gain(double improvement, double node_weight, double w_total) {
  return (improvement * node_weight) / w_total;
}

}  // namespace morvel
