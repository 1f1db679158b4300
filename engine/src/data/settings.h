// The validated settings the engine reads for the whole fit: what tree growth and the split
// searches read (GrowthSettings) and the per-forest options of the fit loop (ForestSettings).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "morvel/settings.h"

namespace morvel {

// What tree growth and the split searches read; fixed for the whole fit.
struct GrowthSettings {
  Criterion criterion = Criterion::Gini;
  uint64_t min_samples_split = 2;
  uint64_t min_samples_leaf = 1;
  double min_leaf_weight = 0.0;
  double min_impurity_decrease = 0.0;
  std::vector<int8_t> monotonic_cst;  // empty when no constraints were given
  bool balanced_subsample = false;
  bool extra_trees = false;
  uint64_t extra_seed = 6;
  double ccp_alpha = 0.0;
  uint64_t threads_per_tree = 1;  // node-level histogram workers

  int8_t constraint(uint64_t feature) const {
    return monotonic_cst.empty() ? int8_t{0} : monotonic_cst[feature];
  }
};

// Per-forest options read by the fit loop.
struct ForestSettings {
  uint64_t n_estimators = 1;
  uint64_t max_features = 1;
  uint64_t seed = 0;
  uint64_t max_depth = 512;
  uint64_t max_leaves = kNoLeafLimit;
  bool bootstrap = true;
  std::optional<uint64_t> max_samples;
  bool oob = false;
  bool permutation_importance = false;
  uint64_t tree_begin = 0;  // trees tree_begin..tree_end-1 are trained;
  uint64_t tree_end = std::numeric_limits<uint64_t>::max();  // the maximum: to n_estimators
};

}  // namespace morvel
