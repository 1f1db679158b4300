// Impurity, node statistics and the shared validity rules of a candidate partition.
#include "split/criteria.h"

#include <cmath>

#include "morvel/errors.h"

namespace morvel {

void compute_node_stats(const TrainingContext& ctx, const TreeWeights& weights,
                        std::span<const uint64_t> rows, bool keep_entry_weights, NodeStats& out) {
  const uint64_t n_classes = ctx.n_classes;
  out.criterion = ctx.growth.criterion;
  out.labels.resize(rows.size());
  out.class_weight.assign(n_classes, 0.0);
  out.weight = 0.0;
  if (keep_entry_weights) {
    out.entry_weights.resize(rows.size());
  } else {
    out.entry_weights.clear();
  }
  const uint64_t* labels = ctx.labels.data();
  const double* w = weights.weights.data();
  for (size_t i = 0; i < rows.size(); ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < ctx.n_rows, "index out of bounds: row outside the training matrix");
    const uint64_t c = labels[row];
    MORVEL_ASSERT(c < n_classes, "index out of bounds: label outside 0..n_classes");
    const double wr = w[row];
    out.class_weight[c] += wr;
    out.weight += wr;
    out.labels[i] = c;
    if (keep_entry_weights) out.entry_weights[i] = wr;
  }
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

double impurity(Criterion criterion, const double* class_weight, uint64_t n_classes, double total) {
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

bool monotonic_ok(const SideStats& left, const SideStats& right, int8_t constraint, NodeBounds bounds,
                  uint64_t n_classes) {
  MORVEL_ASSERT(n_classes >= 2, "monotonic constraints require two classes");
  const double p_left = left.class_weight[1] / left.weight;
  const double p_right = right.class_weight[1] / right.weight;
  if (!(p_left <= bounds.upper && p_left >= bounds.lower)) return false;
  if (!(p_right <= bounds.upper && p_right >= bounds.lower)) return false;
  return (p_right - p_left) * static_cast<double>(constraint) <= 0.0;
}

std::optional<double> evaluate_partition(const SearchRules& rules, double parent_impurity, double node_weight,
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

}  // namespace morvel
