// Fit options as converted from Python (FitSettings) and the choices they name. A setting has
// the same name as its `fit` keyword; the validated forms the engine reads are internal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
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

// One `fit` keyword and the FitSettings field it sets.
template <class T>
struct FitSettingField {
  const char* name;
  T FitSettings::*member;
  bool shapes_trees = true;  // false for a setting no tree depends on (the worker count)
};
template <class T>
FitSettingField(const char*, T FitSettings::*, bool = true) -> FitSettingField<T>;

// Every FitSettings field under its `fit` keyword, in the order of the signature; its type
// and default are the field's own. The binding builds both fits' parsers, conversions and
// text signatures from this list, and the fit digest hashes the fields in this order.
inline constexpr std::tuple kFitSettingFields{
    FitSettingField{"n_estimators", &FitSettings::n_estimators},
    FitSettingField{"max_features", &FitSettings::max_features},
    FitSettingField{"random_state", &FitSettings::random_state},
    FitSettingField{"min_leaf_weight", &FitSettings::min_leaf_weight},
    FitSettingField{"criterion", &FitSettings::criterion},
    FitSettingField{"max_depth", &FitSettings::max_depth},
    FitSettingField{"max_leaves", &FitSettings::max_leaves},
    FitSettingField{"min_samples_split", &FitSettings::min_samples_split},
    FitSettingField{"min_samples_leaf", &FitSettings::min_samples_leaf},
    FitSettingField{"min_impurity_decrease", &FitSettings::min_impurity_decrease},
    FitSettingField{"bootstrap", &FitSettings::bootstrap},
    FitSettingField{"max_samples", &FitSettings::max_samples},
    FitSettingField{"oob", &FitSettings::oob},
    FitSettingField{"permutation_importance", &FitSettings::permutation_importance},
    FitSettingField{"n_jobs", &FitSettings::n_jobs, false},
    FitSettingField{"max_bins", &FitSettings::max_bins},
    FitSettingField{"balanced_subsample", &FitSettings::balanced_subsample},
    FitSettingField{"ccp_alpha", &FitSettings::ccp_alpha},
    FitSettingField{"monotonic_cst", &FitSettings::monotonic_cst},
    FitSettingField{"binning_strategy", &FitSettings::binning_strategy},
    FitSettingField{"bin_sample_size", &FitSettings::bin_sample_size},
    FitSettingField{"binning_seed", &FitSettings::binning_seed},
    FitSettingField{"extra_trees", &FitSettings::extra_trees},
    FitSettingField{"extra_seed", &FitSettings::extra_seed},
    FitSettingField{"extra_trees_backend", &FitSettings::extra_trees_backend},
};
inline constexpr size_t kFitSettingCount = std::tuple_size_v<decltype(kFitSettingFields)>;
// The first fields have no default: a caller always gives them.
inline constexpr size_t kRequiredFitSettings = 3;

// Calls fn(field) for every entry of kFitSettingFields, in order.
template <class Fn>
void for_each_fit_setting(Fn&& fn) {
  std::apply([&](const auto&... field) { (fn(field), ...); }, kFitSettingFields);
}

}  // namespace morvel
