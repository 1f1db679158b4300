// The validated-settings stage of a fit: the settings are judged once, and every decision
// that follows from them alone is taken here and written into the plans the later steps
// read (how x is read, whether and how it is binned, how the context is laid out, what
// growth and the forest loop are given). The steps after it only look up their plan.
#pragma once

#include <cstdint>
#include <optional>

#include "binning/binning.h"
#include "morvel/api.h"
#include "data/settings.h"
#include "morvel/settings.h"

namespace morvel {

// How x reaches the training context.
struct InputPlan {
  // The caller's dense float buffer is read in place through the training order (binned,
  // or copied feature-major for extra trees) instead of being copied row-major first.
  bool direct = false;
  FitInput::Kind kind = FitInput::Kind::Other;
};

// Whether x is turned into bin indices, and with which options.
struct BinningPlan {
  bool enabled = false;  // max_bins is set
  BinningOptions options;
};

// The finishing layout of a context, after its values, targets and bins are in place.
struct ContextPlan {
  GrowthSettings growth;  // threads_per_tree is set once the shape is known
  uint64_t n_jobs = 1;
  // Extra trees on raw owned float64 values read them through a feature-major copy.
  bool feature_major_values = false;
  // The binned extra-trees backend reads feature-major bytes; its layout work is profiled.
  bool extra_trees_bytes = false;
  // Small nodes read a row-major copy of feature-major bytes (up to the copy's size bound).
  bool row_major_copy = true;
  // Histogram growth (bins without extra trees): it reads unit weights as 1.0 without a
  // vector of them, and it alone has node-level work for surplus threads.
  bool histogram_growth = false;
};

struct FitPlan {
  InputPlan input;
  BinningPlan binning;
  ContextPlan context;
  ForestSettings forest;
  // Parsed here, refused only at its own point of the check sequence (after the row checks).
  std::optional<Criterion> criterion;
  uint64_t tree_workers = 1;
};

// Checks what can be judged before x is looked at, in a fixed order (the first failure
// decides the message), and takes every decision that follows from the settings alone.
// tree_end UINT64_MAX means n_estimators.
FitPlan plan_fit(const FitSettings& settings, FitInput::Kind kind, uint64_t tree_begin, uint64_t tree_end);

// A bin count the one-byte binned matrix can hold, its missing-value bin included.
constexpr bool max_bins_in_range(uint64_t bins) { return bins >= 2 && bins <= 255; }

// The rule of every real-valued setting that may be zero (ccp_alpha, min_leaf_weight,
// min_impurity_decrease).
bool finite_non_negative(double v);

// Node-level histogram workers of each tree: only the surplus of n_jobs over the tree workers,
// and only where it pays off (wide and large binned data).
uint64_t histogram_threads_per_tree(const FitPlan& plan, uint64_t n_rows, uint64_t n_features);

}  // namespace morvel
