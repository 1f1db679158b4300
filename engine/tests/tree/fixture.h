// Small dense training contexts for the split-search and growth tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "data/training_context.h"
#include "split/criteria.h"

namespace morvel::testing {

// A dense context from row-major rows; unit weights unless given.
inline TrainingContext dense_context(const std::vector<std::vector<double>>& x, const std::vector<ClassIndex>& y,
                                     uint64_t n_classes, std::vector<double> weights = {}) {
  TrainingContext ctx;
  ctx.n_rows = x.size();
  ctx.n_features = x.empty() ? 0 : x[0].size();
  ctx.n_classes = n_classes;
  ctx.form = ValueForm::Dense;
  ctx.dense.n_rows = ctx.n_rows;
  ctx.dense.n_features = ctx.n_features;
  for (const auto& row : x) {
    for (double v : row) {
      ctx.dense.values.push_back(v);
      if (std::isnan(v)) ctx.has_missing = true;
    }
  }
  ctx.labels.assign(y.begin(), y.end());
  ctx.weights = weights.empty() ? std::vector<double>(ctx.n_rows, 1.0) : weights;
  ctx.w_total = -0.0;
  for (double w : ctx.weights) ctx.w_total += w;
  ctx.has_weights = true;
  ctx.candidates.resize(ctx.n_features);
  std::iota(ctx.candidates.begin(), ctx.candidates.end(), uint64_t{0});
  return ctx;
}

// One feature, one row per value.
inline TrainingContext column_context(const std::vector<double>& values, const std::vector<ClassIndex>& y,
                                      uint64_t n_classes, std::vector<double> weights = {}) {
  std::vector<std::vector<double>> x;
  for (double v : values) x.push_back({v});
  return dense_context(x, y, n_classes, std::move(weights));
}

inline TreeWeights tree_weights(const TrainingContext& ctx) {
  return TreeWeights{ctx.weights, ctx.w_total, ctx.growth.min_leaf_weight};
}

inline std::vector<RowIndex> all_rows(const TrainingContext& ctx) {
  std::vector<RowIndex> rows(ctx.n_rows);
  std::iota(rows.begin(), rows.end(), uint64_t{0});
  return rows;
}

}  // namespace morvel::testing
