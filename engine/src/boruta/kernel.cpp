// gain_importances of the Boruta module: argument checks and canonical order (the wrapper),
// then the kernel that prepares the binned context, trains and measures importances.
#include "boruta/kernel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "binning/binning.h"
#include "boruta/augmented_binning.h"
#include "driver/context_builder.h"
#include "driver/phase_timer.h"
#include "forest/fit_loop.h"
#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {

FitSettings boruta_fit_settings(uint64_t n_columns, const BorutaSettings& settings, uint64_t threads) {
  FitSettings fit;
  fit.n_estimators = settings.trees;
  fit.max_features = static_cast<uint64_t>(std::sqrt(static_cast<double>(n_columns)));
  fit.random_state = settings.seed;
  fit.max_depth = settings.depth;
  fit.n_jobs = threads;
  fit.max_bins = settings.bins;
  fit.extra_trees = true;
  fit.extra_seed = settings.extra_seed;
  fit.extra_trees_backend = "binned";
  return fit;
}

FitPlan boruta_plan(uint64_t n_columns, const BorutaSettings& settings, uint64_t threads) {
  FitPlan plan = plan_fit(boruta_fit_settings(n_columns, settings, threads), FitInput::Kind::DenseF64, 0, UINT64_MAX);
  // The kernel reads its feature-major bytes only: no row-major copy of small nodes' rows.
  plan.context.row_major_copy = false;
  plan.context.growth.criterion = *plan.criterion;
  return plan;
}

uint64_t boruta_class_count(const AugmentedMatrix& matrix, std::span<const uint64_t> labels,
                            const BorutaSettings& settings) {
  if (matrix.n_columns() == 0 || !max_bins_in_range(settings.bins) || labels.size() != matrix.n_rows()) {
    throw ValidationError(msg::kBorutaSettings);
  }
  uint64_t largest = 0;
  for (const uint64_t label : labels) largest = std::max(largest, label);
  if (largest < 1 || largest >= matrix.n_rows()) throw ValidationError(msg::kBorutaClasses);
  return largest + 1;
}

TrainingContext boruta_training_context(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                                        std::span<const uint64_t> labels, uint64_t n_classes, const FitPlan& plan) {
  const uint64_t n_rows = matrix.n_rows();
  const uint64_t n_columns = matrix.n_columns();
  MORVEL_ASSERT(order.size() == n_rows, "index out of bounds: canonical order length");
  ContextBuilder builder(n_rows, n_columns, n_classes);
  // Unit weights, summed left to right as a fit without sample_weight does.
  std::vector<double> weights(n_rows, 1.0);
  const double w_total = validate_weights(weights);
  builder.targets(std::vector<ClassIndex>(labels.begin(), labels.end()), std::move(weights), w_total);
  if (n_rows > std::numeric_limits<uint64_t>::max() / n_columns) throw ValidationError(msg::kShapeTooLarge);
  check_fit_rows(n_rows);

  const uint64_t binning = detail::binning_threads(n_rows, n_columns, plan.context.n_jobs);
  // Rows in canonical order: position p reads augmented row order[p].
  builder.bins_only();
  builder.bins(bin_augmented_columns(matrix, order, plan.binning.options.max_bins, binning));
  return std::move(builder).finish(plan.context, false);
}

BorutaResult run_boruta_kernel(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                               std::span<const uint64_t> labels, const BorutaSettings& settings) {
  auto clock = PhaseClock::now();
  const uint64_t threads = std::max<uint64_t>(1, parallel::available_cpus());
  const uint64_t n_classes = boruta_class_count(matrix, labels, settings);
  const FitPlan plan = boruta_plan(matrix.n_columns(), settings, threads);
  const TrainingContext ctx = boruta_training_context(matrix, order, labels, n_classes, plan);
  BorutaResult result;
  result.preparation_seconds = seconds_since(clock);
  clock = PhaseClock::now();

  FittedForest fitted;
  fitted.result = fit_forest(ctx, plan.forest, plan.tree_workers);
  set_fitted_shape(fitted, ctx, plan.forest);
  result.importances = tree_normalized_gain_importances(fitted);
  result.training_seconds = seconds_since(clock);
  return result;
}

BorutaResult boruta_gain_importances(const BorutaArrays& arrays, const BorutaSettings& settings) {
  const auto clock = PhaseClock::now();
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
  if (!max_bins_in_range(settings.bins)) fail();
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
