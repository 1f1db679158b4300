// Fit options as converted from Python (FitSettings) and the choices they name. A setting has
// the same name as its `fit` keyword; the validated forms the engine reads are internal.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace morvel {

enum class Criterion : uint8_t { Gini, Entropy };

// Codes 1 and 3 sample rows; codes 2 and 3 select order statistics instead of sorting.
enum class BinningStrategy : uint8_t { ExactSort = 0, SampledSort = 1, ExactSelect = 2, SampledSelect = 3 };

enum class ExtraTreesBackend : uint8_t { Exact, Binned };

inline constexpr uint64_t kNoLeafLimit = std::numeric_limits<uint64_t>::max();

// Everything `fit` received, converted but not yet validated. String options stay strings
// because their checks run at fixed points of the driver, after other checks.
struct FitSettings {
  uint64_t n_estimators = 0;                     // number of trees (>= 1)
  uint64_t max_features = 0;                     // features drawn per split (1..n_features)
  uint64_t random_state = 0;                     // forest seed
  double min_leaf_weight = 0.0;                  // minimum weight of each child
  std::string criterion = "gini";                // "gini", "entropy" or "log_loss"
  uint64_t max_depth = 512;                      // depth budget of the root
  uint64_t max_leaves = kNoLeafLimit;            // best-first leaf limit; kNoLeafLimit = absent
  uint64_t min_samples_split = 2;                // minimum entries of a node that is searched
  uint64_t min_samples_leaf = 1;                 // minimum entries of each child
  double min_impurity_decrease = 0.0;            // minimum local improvement of a split
  bool bootstrap = true;                         // draw a bootstrap sample per tree
  std::optional<uint64_t> max_samples;           // draws per tree; absent = n_rows
  bool oob = false;                              // collect out-of-bag votes
  bool permutation_importance = false;           // collect permutation statistics
  uint64_t n_jobs = 1;                           // worker threads; 0 means 1
  std::optional<uint64_t> max_bins;              // histogram binning when set (2..255)
  bool balanced_subsample = false;               // reweight each tree's sample per class
  double ccp_alpha = 0.0;                        // cost-complexity pruning strength
  std::optional<std::vector<int8_t>> monotonic_cst;  // one of -1, 0, +1 per feature
  std::string binning_strategy = "exact_sort";   // one of the four BinningStrategy names
  uint64_t bin_sample_size = 200000;             // rows sampled by the sampled strategies
  uint64_t binning_seed = 6;                     // seed of the binning row sampler
  bool extra_trees = false;                      // draw thresholds instead of scanning
  uint64_t extra_seed = 6;                       // mixed into every extra-trees threshold draw
  std::string extra_trees_backend = "exact";     // "exact" or "binned"
};

}  // namespace morvel
