// The one builder of a training context, used by the fit driver and by the Boruta kernel.
// A context is filled in stages: its shape, its values (owned, a view of the caller's
// buffer, or bytes only), its labels and weights, its bins or its candidate features, and
// last the layout its plan asks for. The caller decides where its own checks sit between
// the stages; the builder fills each field in one place.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/fit_plan.h"
#include "morvel/forest.h"
#include "data/training_context.h"

namespace morvel {

class ContextBuilder {
 public:
  ContextBuilder(uint64_t n_rows, uint64_t n_features, uint64_t n_classes);

  // Values. The view forms read the caller's buffer, row p through order[p]. An owned dense
  // matrix may come with its feature-major copy (empty when there is none).
  void own_dense(DenseMatrix&& values, UninitVector<double>&& feature_major);
  void own_csr(CsrMatrix&& values);
  void view(const ViewF32& values, std::vector<RowIndex>&& order);
  void view(const ViewF64& values, std::vector<RowIndex>&& order);
  // No raw values: every search and partition reads the bins.
  void bins_only();
  // Extra trees on exact thresholds read a float32 view through a feature-major copy;
  // returns whether a value is NaN.
  bool feature_major_from_view(uint64_t n_jobs);

  // Labels and weights in training order; W_total is the weights' sum, left to right.
  void targets(std::vector<ClassIndex>&& labels, std::vector<double>&& weights, double w_total);

  // Bins of every feature, or edges beside CSR values; the candidates are the features
  // with at least one edge.
  void bins(BinnedMatrix&& binned);
  // `has_missing`: whether any value is NaN.
  void csr_edges(BinEdges&& edges, bool has_missing);
  // Raw values only: every feature is a candidate.
  void raw_values(bool has_missing);

  // The layout of the plan; the context is complete after this.
  TrainingContext finish(const ContextPlan& plan, bool profiling) &&;

  const TrainingContext& context() const { return ctx_; }

 private:
  TrainingContext ctx_;
};

// The shape of a fitted forest: its context's rows, features and classes, and the tree range
// of its forest settings (tree_end already resolved).
void set_fitted_shape(FittedForest& forest, const TrainingContext& ctx, const ForestSettings& settings);

}  // namespace morvel
