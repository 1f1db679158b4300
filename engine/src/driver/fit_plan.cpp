// The validated-settings stage; see fit_plan.h.
#include "driver/fit_plan.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "morvel/errors.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {

bool finite_non_negative(double v) { return std::isfinite(v) && v >= 0.0; }

namespace {

std::optional<BinningStrategy> parse_strategy(const std::string& name) {
  if (name == "exact_sort") return BinningStrategy::ExactSort;
  if (name == "sampled_sort") return BinningStrategy::SampledSort;
  if (name == "exact_select") return BinningStrategy::ExactSelect;
  if (name == "sampled_select") return BinningStrategy::SampledSelect;
  return std::nullopt;
}

std::optional<ExtraTreesBackend> parse_backend(const std::string& name) {
  if (name == "exact") return ExtraTreesBackend::Exact;
  if (name == "binned") return ExtraTreesBackend::Binned;
  return std::nullopt;
}

std::optional<Criterion> parse_criterion(const std::string& name) {
  if (name == "gini") return Criterion::Gini;
  if (name == "entropy" || name == "log_loss") return Criterion::Entropy;
  return std::nullopt;
}

bool is_dense_float(FitInput::Kind kind) {
  return kind == FitInput::Kind::DenseF32 || kind == FitInput::Kind::DenseF64;
}

// The settings that can be judged before x is looked at; returns the backend. The range of
// max_bins is judged here for every input path, so the binning steps after it never meet a
// value outside 2..255.
ExtraTreesBackend check_settings(const FitSettings& s, FitInput::Kind kind) {
  if (s.n_estimators == 0) throw ValidationError(msg::kNEstimators);
  if (!finite_non_negative(s.ccp_alpha)) throw ValidationError(msg::kCcpAlpha);
  if (!parse_strategy(s.binning_strategy)) throw ValidationError(msg::kBinningStrategy);
  if (s.bin_sample_size == 0) throw ValidationError(msg::kBinSampleSize);
  if (s.max_bins && !max_bins_in_range(*s.max_bins)) throw ValidationError(msg::kMaxBins);
  const std::optional<ExtraTreesBackend> backend = parse_backend(s.extra_trees_backend);
  if (!backend) throw ValidationError(msg::kBackend);
  if (*backend == ExtraTreesBackend::Binned) {
    if (!s.extra_trees || !s.max_bins) throw ValidationError(msg::kBinnedNeedsExtra);
    if (!is_dense_float(kind)) throw ValidationError(msg::kBinnedDenseOnly);
  } else if (s.extra_trees && s.max_bins) {
    throw ValidationError(msg::kExactNoBins);
  }
  // No draws would leave every tree a single empty leaf: a forest that predicts nothing
  // from its data. Checked last, so that every earlier message keeps its precedence.
  if (s.max_samples && *s.max_samples == 0) throw ValidationError(msg::kMaxSamples);
  return *backend;
}

BinningPlan binning_plan(const FitSettings& s, uint64_t n_jobs) {
  BinningPlan plan;
  plan.enabled = s.max_bins.has_value();
  plan.options.max_bins = s.max_bins.value_or(255);
  plan.options.strategy = *parse_strategy(s.binning_strategy);
  plan.options.bin_sample_size = s.bin_sample_size;
  plan.options.binning_seed = s.binning_seed;
  plan.options.n_jobs = n_jobs;
  // Histogram growth and the binned extra-trees searches read one feature of a node's rows
  // at a time, so the bytes are laid out feature-major from the start (the binning pass
  // writes them column by column anyway); small nodes get a row-major copy afterwards.
  plan.options.feature_major = plan.enabled;
  return plan;
}

// The constraints are judged against the data (their count, the class count) later, and
// the criterion at its own point of the check sequence.
GrowthSettings growth_settings(const FitSettings& s) {
  return GrowthSettings{
      .criterion = parse_criterion(s.criterion).value_or(Criterion::Gini),
      .min_samples_split = s.min_samples_split,
      .min_samples_leaf = s.min_samples_leaf,
      .min_leaf_weight = s.min_leaf_weight,
      .min_impurity_decrease = s.min_impurity_decrease,
      .monotonic_cst = s.monotonic_cst.value_or(std::vector<int8_t>{}),
      .balanced_subsample = s.balanced_subsample,
      .extra_trees = s.extra_trees,
      .extra_seed = s.extra_seed,
      .ccp_alpha = s.ccp_alpha,
  };
}

ForestSettings forest_settings(const FitSettings& s, uint64_t tree_begin, uint64_t tree_end) {
  return ForestSettings{
      .n_estimators = s.n_estimators,
      .max_features = s.max_features,
      .seed = s.random_state,
      .max_depth = s.max_depth,
      .max_leaves = s.max_leaves,
      .bootstrap = s.bootstrap,
      .max_samples = s.max_samples,
      .oob = s.oob,
      .permutation_importance = s.permutation_importance,
      .tree_begin = tree_begin,
      .tree_end = tree_end,
  };
}

}  // namespace

FitPlan plan_fit(const FitSettings& s, FitInput::Kind kind, uint64_t tree_begin, uint64_t tree_end) {
  const ExtraTreesBackend backend = check_settings(s, kind);
  if (tree_end == UINT64_MAX) tree_end = s.n_estimators;
  if (!(tree_begin < tree_end && tree_end <= s.n_estimators))
    throw ValidationError("tree_range must satisfy 0 <= start < stop <= n_estimators");

  FitPlan plan;
  const uint64_t n_jobs = std::max<uint64_t>(s.n_jobs, 1);
  plan.binning = binning_plan(s, n_jobs);
  const bool use_bins = plan.binning.enabled;

  // Direct paths read the caller's buffer through the order: float32 whenever it is binned
  // or drawn on by extra trees, float64 only to be binned. Everything else is copied once.
  plan.input.kind = kind;
  plan.input.direct = (kind == FitInput::Kind::DenseF32 && (use_bins || s.extra_trees)) ||
                      (kind == FitInput::Kind::DenseF64 && use_bins);

  ContextPlan& context = plan.context;
  context.growth = growth_settings(s);
  context.n_jobs = n_jobs;
  // A float32 input drawn on by extra trees is always read directly (and copied
  // feature-major there), so only an owned float64 copy is left to lay out here.
  context.feature_major_values = s.extra_trees && !use_bins && !plan.input.direct;
  context.extra_trees_bytes = s.extra_trees && use_bins && backend == ExtraTreesBackend::Binned;
  context.histogram_growth = use_bins && !s.extra_trees;

  plan.criterion = parse_criterion(s.criterion);
  plan.forest = forest_settings(s, tree_begin, tree_end);
  plan.tree_workers = std::min(n_jobs, tree_end - tree_begin);
  return plan;
}

uint64_t histogram_threads_per_tree(const FitPlan& plan, uint64_t n_rows, uint64_t n_features) {
  if (!plan.context.histogram_growth || n_features < 64) return 1;
  uint64_t cells = 0;
  const bool large = __builtin_mul_overflow(n_rows, n_features, &cells) || cells >= 131072;
  if (!large) return 1;
  // Tree workers and their histogram threads multiply, so the surplus is measured against
  // the thread bound; a histogram's sums do not depend on how its features are split.
  const uint64_t bounded_jobs = std::min(plan.context.n_jobs, parallel::thread_limit());
  return std::max<uint64_t>(1, bounded_jobs / std::min(plan.tree_workers, bounded_jobs));
}

}  // namespace morvel
