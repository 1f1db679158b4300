// The four importance vectors. Split counts and gain shares walk the nodes reachable from
// each root; the per-tree normalised gain reads every stored record, pruned ones included;
// permutation importances only read out what the fit accumulated.
#include <algorithm>
#include <string>

#include "morvel/api.h"
#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"

namespace morvel {
namespace {

void check_feature(uint64_t feature, uint64_t n_features) {
  if (feature >= n_features) {
    throw_internal("index out of bounds: the len is " + std::to_string(n_features) + " but the index is " +
                   std::to_string(feature));
  }
}

// Sums in feature order; divides by the total only when it is positive.
void normalise(std::vector<double>& values) {
  double total = 0.0;
  for (const double v : values) total += v;
  if (total > 0.0) {
    for (double& v : values) v /= total;
  }
}

// Every reachable split of the forest, tree by tree in preorder, its feature checked.
template <class Visit>
void for_each_split(const FittedForest& forest, const Visit& visit) {
  for (const Tree& tree : forest.result.trees.list()) {
    checkpoint();
    walk_preorder(tree, [&](const Node& node) {
      if (node.is_leaf()) return;
      check_feature(node.feature(), forest.n_features);
      visit(node);
    });
  }
}

}  // namespace

std::vector<double> feature_importances(const FittedForest& forest) {
  std::vector<double> counts(forest.n_features, 0.0);
  for_each_split(forest, [&](const Node& node) { counts[node.feature()] += 1.0; });
  normalise(counts);
  return counts;
}

std::vector<double> gain_importances(const FittedForest& forest) {
  // Per-feature sums in walk order; the total then adds them in feature order.
  std::vector<double> sums(forest.n_features, 0.0);
  std::vector<uint8_t> seen(forest.n_features, 0);
  for_each_split(forest, [&](const Node& node) {
    sums[node.feature()] += node.abs_gain();
    seen[node.feature()] = 1;
  });
  double total = 0.0;
  for (uint64_t f = 0; f < forest.n_features; ++f) {
    if (seen[f]) total += sums[f];
  }
  std::vector<double> result(forest.n_features, 0.0);
  for (uint64_t f = 0; f < forest.n_features; ++f) {
    if (seen[f]) result[f] = total > 0.0 ? sums[f] / total : 0.0;
  }
  return result;
}

std::vector<double> tree_normalized_gain_importances(const FittedForest& forest) {
  const uint64_t nf = forest.n_features;
  std::vector<double> acc(nf, 0.0);
  std::vector<double> g(nf);
  for (const Tree& tree : forest.result.trees.list()) {
    checkpoint();
    std::fill(g.begin(), g.end(), 0.0);
    // Storage order over all records: splits that pruning cut off still count here.
    for (const Node& node : tree.nodes) {
      if (node.is_leaf()) continue;
      check_feature(node.feature(), nf);
      g[node.feature()] += node.abs_gain();
    }
    double v = 0.0;
    for (const double x : g) v += x;
    if (!(v > 0.0)) continue;
    for (uint64_t j = 0; j < nf; ++j) acc[j] += g[j] / v;
  }
  normalise(acc);
  return acc;
}

std::vector<double> permutation_importances(const FittedForest& forest) {
  std::vector<double> result(forest.n_features, 0.0);
  if (!forest.result.permutation_stats) return result;
  const uint64_t trees = forest.result.trees.size();
  // Trees that gave no value for a feature count as 0: (n / T) * mean is the mean over all T.
  for (const auto& [feature, entry] : *forest.result.permutation_stats) {
    MORVEL_ASSERT(trees >= entry.n, msg::kPermutationCount);
    check_feature(feature, forest.n_features);
    if (entry.n == 0) continue;
    result[feature] = (static_cast<double>(entry.n) / static_cast<double>(trees)) * entry.mean;
  }
  return result;
}

}  // namespace morvel
