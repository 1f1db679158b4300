// Prediction-side input: the fitted feature count, the structural checks, and, for a forest
// grown on histogram bins, the fitted edges (dense rows are binned here for TreeSHAP; CSR
// rows are binned on the fly while routing).
#include <string>
#include <variant>

#include "binning/binning.h"
#include "morvel/api.h"
#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/messages.h"

namespace morvel {

PredictionMatrix prepare_prediction(const FittedForest& forest, OwnedMatrix&& x, FeatureCheck check) {
  PredictionMatrix out;
  std::visit(
      [&](const auto& m) {
        out.n_rows = m.n_rows;
        out.n_features = m.n_features;
      },
      x);
  if (out.n_features != forest.n_features) {
    if (check == FeatureCheck::Shap) throw ValidationError(msg::kShapFeatureMismatch);
    throw ValidationError("X has " + std::to_string(out.n_features) + " features, but the fitted forest expects " +
                          std::to_string(forest.n_features));
  }
  if (const auto* dense = std::get_if<DenseMatrix>(&x)) {
    validate_dense(*dense);
  } else {
    validate_csr(std::get<CsrMatrix>(x));
  }
  out.values = std::move(x);
  if (forest.edges) {
    if (forest.edges->size() != out.n_features) throw ValidationError(msg::kEdgesMismatch);
    out.edges = &*forest.edges;
    // TreeSHAP reads bins; prediction routes raw rows through thresholds taken from the
    // edges, which sends every row where its bins would go without binning it.
    if (check == FeatureCheck::Shap) {
      if (const auto* dense = std::get_if<DenseMatrix>(&out.values)) out.bins = bin_rows(*dense, *forest.edges);
    }
  }
  return out;
}

}  // namespace morvel
