// Node statistics, impurity criteria and the validity rules every split search shares
// (exact, histogram and extra-trees), including the monotonic test.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "morvel/settings.h"
#include "morvel/training_context.h"

namespace morvel {

// A node's class weights, measured from its index list.
struct NodeStats {
  std::vector<uint64_t> labels;        // class of each index-list entry, list order
  std::vector<double> class_weight;    // weight per class (a row listed twice counts twice)
  double weight = 0.0;                 // W: sum of all entry weights
  Criterion criterion = Criterion::Gini;
  std::vector<double> entry_weights;   // weight of each entry; kept only when asked for
};

// Walks the index list once: class_weight[c] += w and W += w in list order.
void compute_node_stats(const TrainingContext& ctx, const TreeWeights& weights,
                        std::span<const uint64_t> rows, bool keep_entry_weights, NodeStats& out);

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
double impurity(Criterion criterion, const double* class_weight, uint64_t n_classes, double total);

// One side of a candidate partition.
struct SideStats {
  const double* class_weight;  // n_classes weights
  double weight;               // side total
  uint64_t count;              // index-list entries on the side
};

// The monotonic test: both side probabilities inside [lower, upper] and
// (p_right - p_left) * constraint <= 0. `left` holds the larger feature values.
bool monotonic_ok(const SideStats& left, const SideStats& right, int8_t constraint, NodeBounds bounds,
                  uint64_t n_classes);

// Validity rules in their fixed order (counts, non-zero weights, min_leaf_weight, monotonic
// test, min_impurity_decrease) and the local improvement
//   ((impurity - (W_L / W) * impurity_L) - (W_R / W) * impurity_R).
// Returns the improvement when the partition is valid. `node_weight` is W of the node
// (missing rows included); `parent_impurity` its impurity.
std::optional<double> evaluate_partition(const SearchRules& rules, double parent_impurity, double node_weight,
                                         const SideStats& left, const SideStats& right, int8_t constraint,
                                         NodeBounds bounds);

// gain = (improvement * W) / W_total.
inline double scaled_gain(double improvement, double node_weight, double w_total) {
  return (improvement * node_weight) / w_total;
}

}  // namespace morvel
