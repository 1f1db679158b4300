// gain_importances of the Boruta module: argument checks and canonical order (the wrapper),
// then the kernel that prepares the binned context, trains and measures importances.
#include "boruta/kernel.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "binning/binning.h"
#include "boruta/augmented_binning.h"
#include "forest/fit_loop.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {

namespace {

using Clock = std::chrono::steady_clock;

// Whole seconds plus nanoseconds / 1e9.
double seconds_since(Clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  const int64_t whole = ns / 1000000000;
  const int64_t rest = ns % 1000000000;
  return static_cast<double>(whole) + static_cast<double>(rest) / 1e9;
}

bool valid_bins(uint64_t bins) { return bins >= 2 && bins <= 255; }

}  // namespace

ForestSettings boruta_forest_settings(uint64_t n_columns, const BorutaSettings& settings) {
  ForestSettings forest;
  forest.n_estimators = settings.trees;
  forest.max_features = static_cast<uint64_t>(std::sqrt(static_cast<double>(n_columns)));
  forest.seed = settings.seed;
  forest.max_depth = settings.depth;
  forest.max_leaves = kNoLeafLimit;
  forest.bootstrap = true;
  forest.max_samples.reset();
  forest.oob = false;
  forest.permutation_importance = false;
  return forest;
}

TrainingContext boruta_training_context(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                                        std::span<const uint64_t> labels, const BorutaSettings& settings,
                                        uint64_t threads) {
  const uint64_t n_rows = matrix.n_rows();
  const uint64_t n_columns = matrix.n_columns();
  if (n_columns == 0 || !valid_bins(settings.bins) || labels.size() != n_rows) {
    throw ValidationError(msg::kBorutaSettings);
  }
  MORVEL_ASSERT(order.size() == n_rows, "index out of bounds: canonical order length");
  uint64_t largest = 0;
  for (const uint64_t label : labels) largest = std::max(largest, label);
  if (largest < 1 || largest >= n_rows) throw ValidationError(msg::kBorutaClasses);

  TrainingContext ctx;
  ctx.n_rows = n_rows;
  ctx.n_features = n_columns;
  ctx.n_classes = largest + 1;
  // Unit weights, summed left to right as a fit without sample_weight does.
  ctx.weights.assign(n_rows, 1.0);
  ctx.w_total = -0.0;
  for (const double w : ctx.weights) ctx.w_total += w;
  ctx.has_weights = true;
  ctx.unit_weights = true;
  if (n_rows > std::numeric_limits<uint64_t>::max() / n_columns) throw ValidationError(msg::kShapeTooLarge);
  // Row lists of the trees hold 32-bit positions.
  if (n_rows >= kMaxFitRows) throw ValidationError(msg::kShapeTooLarge);

  const uint64_t binning = detail::binning_threads(n_rows, n_columns, threads);
  // Rows in canonical order: position p reads augmented row order[p].
  ctx.binned = bin_augmented_columns(matrix, order, settings.bins, binning);
  ctx.has_missing = ctx.binned->has_missing;
  ctx.candidates = candidate_features(ctx.binned->edges);
  ctx.labels.assign(labels.begin(), labels.end());

  // No raw values: every search and partition of this context reads the bytes.
  ctx.form = ValueForm::Dense;
  ctx.dense.n_rows = n_rows;
  ctx.dense.n_features = n_columns;

  ctx.growth.criterion = Criterion::Gini;
  ctx.growth.min_samples_split = 2;
  ctx.growth.min_samples_leaf = 1;
  ctx.growth.min_leaf_weight = 0.0;
  ctx.growth.min_impurity_decrease = 0.0;
  ctx.growth.monotonic_cst.clear();
  ctx.growth.balanced_subsample = false;
  ctx.growth.extra_trees = true;
  ctx.growth.extra_seed = settings.extra_seed;
  ctx.growth.ccp_alpha = 0.0;
  ctx.growth.threads_per_tree = 1;
  if (!ctx.binned->feature_major) convert_bins_to_feature_major(*ctx.binned, threads, nullptr);
  return ctx;
}

BorutaResult run_boruta_kernel(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                               std::span<const uint64_t> labels, const BorutaSettings& settings) {
  auto clock = Clock::now();
  const uint64_t threads = std::max<uint64_t>(1, parallel::available_cpus());
  const TrainingContext ctx = boruta_training_context(matrix, order, labels, settings, threads);
  BorutaResult result;
  result.preparation_seconds = seconds_since(clock);
  clock = Clock::now();

  const uint64_t n_columns = matrix.n_columns();
  const ForestSettings forest = boruta_forest_settings(n_columns, settings);
  FittedForest fitted;
  fitted.result = fit_forest(ctx, forest, std::min(settings.trees, threads));
  fitted.n_classes = ctx.n_classes;
  fitted.n_features = n_columns;
  fitted.n_rows = ctx.n_rows;
  result.importances = tree_normalized_gain_importances(fitted);
  result.training_seconds = seconds_since(clock);
  return result;
}

BorutaResult boruta_gain_importances(const BorutaArrays& arrays, const BorutaSettings& settings) {
  const auto clock = Clock::now();
  std::vector<uint64_t> labels(arrays.y.size);
  for (uint64_t i = 0; i < arrays.y.size; ++i) {
    const int64_t label = arrays.y[i];
    if (label < 0) throw ValidationError(msg::kBorutaLabels);
    labels[i] = static_cast<uint64_t>(label);
  }

  // Checked in this order; the first failure decides.
  const ViewF64& x = arrays.x;
  const uint64_t n_rows = x.n_rows;
  const uint64_t n_features = x.n_features;
  const auto fail = [] { throw ValidationError(msg::kBorutaArrays); };
  if (n_rows == 0) fail();
  if (n_features == 0) fail();
  if (arrays.y.size != n_rows) fail();
  if (settings.trees == 0) fail();
  if (settings.depth == 0) fail();
  if (!valid_bins(settings.bins)) fail();
  const uint64_t n_shadows = arrays.sources.size;
  if (n_shadows == 0) fail();
  if (arrays.active.size == 0) fail();
  const auto feature_indices = [&](const StridedVector<int64_t>& v) {
    std::vector<uint64_t> out(v.size);
    for (uint64_t i = 0; i < v.size; ++i) {
      const int64_t f = v[i];
      if (f < 0 || static_cast<uint64_t>(f) >= n_features) fail();
      out[i] = static_cast<uint64_t>(f);
    }
    return out;
  };
  std::vector<uint64_t> active = feature_indices(arrays.active);
  std::vector<uint64_t> sources = feature_indices(arrays.sources);
  const StridedView<int64_t>& permutations = arrays.permutations;
  if (permutations.n_rows != n_shadows || permutations.n_features != n_rows) fail();
  for (uint64_t k = 0; k < n_shadows; ++k) {
    for (uint64_t r = 0; r < n_rows; ++r) {
      const int64_t donor = permutations.at(k, r);
      if (donor < 0 || static_cast<uint64_t>(donor) >= n_rows) fail();
    }
  }
  for (uint64_t r = 0; r < n_rows; ++r) {
    for (uint64_t f = 0; f < n_features; ++f) {
      if (!std::isfinite(x.at(r, f))) fail();
    }
  }

  const AugmentedMatrix matrix(x, std::move(active), std::move(sources), permutations);
  const std::vector<uint64_t> order = canonical_row_order(matrix, labels);
  std::vector<uint64_t> ordered_labels(n_rows);
  for (uint64_t p = 0; p < n_rows; ++p) ordered_labels[p] = labels[order[p]];
  const double wrapper_seconds = seconds_since(clock);

  BorutaResult result = run_boruta_kernel(matrix, order, ordered_labels, settings);
  result.preparation_seconds = wrapper_seconds + result.preparation_seconds;
  return result;
}

}  // namespace morvel
