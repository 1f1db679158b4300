// The training-context builder; see context_builder.h.
#include "driver/context_builder.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "binning/binning.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

std::vector<uint64_t> all_features(uint64_t n_features) {
  std::vector<uint64_t> out(n_features);
  for (uint64_t f = 0; f < n_features; ++f) out[f] = f;
  return out;
}

}  // namespace

ContextBuilder::ContextBuilder(uint64_t n_rows, uint64_t n_features, uint64_t n_classes) {
  ctx_.n_rows = n_rows;
  ctx_.n_features = n_features;
  ctx_.n_classes = n_classes;
}

void ContextBuilder::own_dense(DenseMatrix&& values, UninitVector<double>&& feature_major) {
  ctx_.form = ValueForm::Dense;
  ctx_.dense = std::move(values);
  ctx_.feature_major_f64 = std::move(feature_major);
}

void ContextBuilder::own_csr(CsrMatrix&& values) {
  ctx_.form = ValueForm::Csr;
  ctx_.csr = std::move(values);
}

void ContextBuilder::view(const ViewF32& values, std::vector<RowIndex>&& order) {
  ctx_.form = ValueForm::ViewF32;
  ctx_.view_f32 = values;
  ctx_.order = std::move(order);
}

void ContextBuilder::view(const ViewF64& values, std::vector<RowIndex>&& order) {
  ctx_.form = ValueForm::ViewF64;
  ctx_.view_f64 = values;
  ctx_.order = std::move(order);
}

void ContextBuilder::bins_only() {
  ctx_.form = ValueForm::Dense;
  ctx_.dense.n_rows = ctx_.n_rows;
  ctx_.dense.n_features = ctx_.n_features;
}

bool ContextBuilder::feature_major_from_view(uint64_t n_jobs) {
  MORVEL_ASSERT(ctx_.form == ValueForm::ViewF32, "a feature-major float32 copy is made of a float32 view");
  bool has_missing = false;
  ctx_.feature_major_f32 = morvel::feature_major_from_view(ctx_.view_f32, ctx_.order, n_jobs, has_missing);
  return has_missing;
}

void ContextBuilder::targets(std::vector<ClassIndex>&& labels, std::vector<double>&& weights, double w_total) {
  ctx_.labels = std::move(labels);
  ctx_.weights = std::move(weights);
  ctx_.w_total = w_total;
  ctx_.has_weights = true;
  ctx_.unit_weights = std::all_of(ctx_.weights.begin(), ctx_.weights.end(), [](double w) { return w == 1.0; });
}

void ContextBuilder::bins(BinnedMatrix&& binned) {
  ctx_.binned = std::move(binned);
  ctx_.has_missing = ctx_.binned->has_missing;
  ctx_.candidates = candidate_features(ctx_.binned->edges);
}

void ContextBuilder::csr_edges(BinEdges&& edges, bool has_missing) {
  ctx_.has_missing = has_missing;
  ctx_.csr_edges = std::move(edges);
  ctx_.candidates = candidate_features(*ctx_.csr_edges);
}

void ContextBuilder::raw_values(bool has_missing) {
  ctx_.has_missing = has_missing;
  ctx_.candidates = all_features(ctx_.n_features);
}

TrainingContext ContextBuilder::finish(const ContextPlan& plan, bool profiling) && {
  TrainingContext& ctx = ctx_;
  ctx.growth = plan.growth;
  if (profiling) ctx.profile = std::make_shared<ProfileCounters>();
  if (plan.feature_major_values && ctx.form == ValueForm::Dense && !ctx.binned && ctx.feature_major_f32.empty() &&
      ctx.feature_major_f64.empty())
    ctx.feature_major_f64 = feature_major_copy(ctx.dense, plan.n_jobs);
  if (plan.extra_trees_bytes && ctx.binned) convert_bins_to_feature_major(*ctx.binned, plan.n_jobs, ctx.profile.get());
  // Small nodes read a row-major copy of the bytes: histogram sums, partitions and the binned
  // extra-trees searches, whose rows' bytes then share cache lines. For the binned
  // extra-trees backend this copy is its layout conversion.
  const uint64_t copy_cells =
      plan.extra_trees_bytes ? BinnedMatrix::kRowMajorCopyMaxCellsExtra : BinnedMatrix::kRowMajorCopyMaxCells;
  if (plan.row_major_copy && ctx.binned && ctx.binned->feature_major && ctx.binned->bins.size() <= copy_cells) {
    ScopedNanos timer(plan.extra_trees_bytes ? ctx.profile.get() : nullptr,
                      &ProfileCounters::bin_layout_conversion_ns);
    add_row_major_copy(*ctx.binned, plan.n_jobs);
  }
  if (plan.histogram_growth && ctx.unit_weights) {
    std::vector<double>().swap(ctx.weights);
    ctx.implicit_weights = true;
  }
  return std::move(ctx_);
}

void set_fitted_shape(FittedForest& forest, const TrainingContext& ctx, const ForestSettings& settings) {
  forest.n_classes = ctx.n_classes;
  forest.n_features = ctx.n_features;
  forest.n_rows = ctx.n_rows;
  forest.n_estimators = settings.n_estimators;
  forest.tree_begin = settings.tree_begin;
  forest.tree_end = settings.tree_end;
}

}  // namespace morvel
