// Small hand-built contexts and trees for the forest tests.
#pragma once

#include <cstdint>
#include <vector>

#include "morvel/forest.h"
#include "data/training_context.h"
#include "morvel/tree.h"

namespace morvel::testing {

// A dense training context; weights default to 1.0 per row.
inline TrainingContext dense_context(std::vector<double> values, uint64_t n_features, std::vector<ClassIndex> labels,
                                     uint64_t n_classes, std::vector<double> weights = {}) {
  TrainingContext ctx;
  ctx.n_rows = labels.size();
  ctx.n_features = n_features;
  ctx.n_classes = n_classes;
  ctx.form = ValueForm::Dense;
  ctx.dense.values.assign(values.begin(), values.end());
  ctx.dense.n_rows = ctx.n_rows;
  ctx.dense.n_features = n_features;
  ctx.labels = std::move(labels);
  ctx.weights = weights.empty() ? std::vector<double>(ctx.n_rows, 1.0) : std::move(weights);
  ctx.w_total = -0.0;
  for (const double w : ctx.weights) ctx.w_total += w;
  ctx.has_weights = true;
  return ctx;
}

// Appends a leaf and returns its position.
inline uint64_t add_leaf(Tree& tree, uint64_t klass) {
  tree.nodes.push_back(Node::make_leaf(klass, 1));
  return tree.nodes.size() - 1;
}

inline uint64_t add_split(Tree& tree, uint64_t feature, double pivot, double gain, bool missing_left,
                          uint64_t left, uint64_t right) {
  tree.nodes.push_back(Node::make_split(feature, pivot, gain, missing_left, 2, left, right));
  return tree.nodes.size() - 1;
}

// One split on `feature` at `pivot`: value > pivot gives `left_class`, else `right_class`.
inline Tree stump(uint64_t feature, double pivot, uint64_t left_class, uint64_t right_class,
                  bool missing_left = false, double gain = 1.0) {
  Tree tree;
  const uint64_t l = add_leaf(tree, left_class);
  const uint64_t r = add_leaf(tree, right_class);
  tree.root = add_split(tree, feature, pivot, gain, missing_left, l, r);
  return tree;
}

inline FittedForest forest_of(std::vector<Tree> trees, uint64_t n_features, uint64_t n_classes) {
  FittedForest forest;
  forest.result.trees.trees = std::move(trees);
  forest.n_features = n_features;
  forest.n_classes = n_classes;
  return forest;
}

}  // namespace morvel::testing
