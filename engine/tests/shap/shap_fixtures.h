// Hand-built trees and forests for the TreeSHAP tests, and a brute-force Shapley oracle.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "morvel/api.h"

namespace morvel::shap::testing {

// Appends nodes children-first, as depth-first growth does; a split's cover is the sum of its
// children's.
struct TreeBuilder {
  Tree tree;

  uint64_t leaf(uint64_t leaf_class, uint64_t n_samples) {
    tree.nodes.push_back(Node::make_leaf(leaf_class, n_samples));
    return tree.nodes.size() - 1;
  }
  uint64_t split(uint64_t feature, double pivot, bool missing_left, uint64_t left, uint64_t right) {
    const uint64_t n = tree.nodes[left].n_samples + tree.nodes[right].n_samples;
    tree.nodes.push_back(Node::make_split(feature, pivot, 0.5, missing_left, n, left, right));
    return tree.nodes.size() - 1;
  }
  Tree done(uint64_t root) {
    tree.root = root;
    return tree;
  }
};

inline FittedForest make_forest(std::vector<Tree> trees, uint64_t n_features, uint64_t n_classes) {
  FittedForest forest;
  forest.result.trees.trees = std::move(trees);
  forest.n_features = n_features;
  forest.n_classes = n_classes;
  return forest;
}

inline PredictionMatrix dense_input(const std::vector<double>& values, uint64_t n_features) {
  DenseMatrix m;
  m.values.assign(values.begin(), values.end());
  m.n_features = n_features;
  m.n_rows = values.size() / n_features;
  PredictionMatrix x;
  x.n_rows = m.n_rows;
  x.n_features = n_features;
  x.values = std::move(m);
  return x;
}

// The same values as CSR, storing every entry that is not 0.0 (NaN is stored).
inline PredictionMatrix csr_input(const std::vector<double>& values, uint64_t n_features) {
  CsrMatrix m;
  m.n_features = n_features;
  m.n_rows = values.size() / n_features;
  m.indptr.push_back(0);
  for (uint64_t r = 0; r < m.n_rows; ++r) {
    for (uint64_t f = 0; f < n_features; ++f) {
      const double v = values[r * n_features + f];
      if (v != 0.0 || std::isnan(v)) {
        m.indices.push_back(f);
        m.data.push_back(v);
      }
    }
    m.indptr.push_back(m.indices.size());
  }
  PredictionMatrix x;
  x.n_rows = m.n_rows;
  x.n_features = n_features;
  x.values = std::move(m);
  return x;
}

// Path-dependent conditional expectation of the one-hot value of class `c` when only the
// features in `known` (bit mask) are known: unknown splits average their children by cover.
inline double conditional(const Tree& tree, uint64_t at, const double* row, uint32_t known,
                          uint64_t c) {
  const Node& node = tree.nodes[at];
  if (node.is_leaf()) return node.leaf_class() == c ? 1.0 : 0.0;
  if ((known >> node.feature()) & 1u) {
    return conditional(tree, goes_left(node, row[node.feature()]) ? node.left() : node.right(), row,
                       known, c);
  }
  const double cover = std::max(static_cast<double>(node.n_samples), 1.0);
  return (static_cast<double>(tree.nodes[node.left()].n_samples) *
              conditional(tree, node.left(), row, known, c) +
          static_cast<double>(tree.nodes[node.right()].n_samples) *
              conditional(tree, node.right(), row, known, c)) /
         cover;
}

// Exact Shapley values of the forest's mean one-hot output, over all subsets of the features.
// Returns features x classes.
inline std::vector<double> brute_force_shap(const FittedForest& forest, const double* row) {
  const uint64_t m = forest.n_features;
  const uint64_t k = forest.n_classes;
  const auto& trees = forest.result.trees.trees;
  auto value = [&](uint32_t known, uint64_t c) {
    double total = 0.0;
    for (const Tree& t : trees) total += conditional(t, t.root, row, known, c);
    return total / static_cast<double>(trees.size());
  };
  std::vector<double> fact(m + 1, 1.0);
  for (uint64_t i = 1; i <= m; ++i) fact[i] = fact[i - 1] * static_cast<double>(i);
  std::vector<double> phi(m * k, 0.0);
  for (uint64_t i = 0; i < m; ++i) {
    for (uint32_t s = 0; s < (1u << m); ++s) {
      if ((s >> i) & 1u) continue;
      const uint64_t size = static_cast<uint64_t>(__builtin_popcount(s));
      const double weight = fact[size] * fact[m - size - 1] / fact[m];
      for (uint64_t c = 0; c < k; ++c) {
        phi[i * k + c] += weight * (value(s | (1u << i), c) - value(s, c));
      }
    }
  }
  return phi;
}

}  // namespace morvel::shap::testing
