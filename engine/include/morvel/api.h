// The engine entry points the binding calls. Everything here takes engine types only; the
// binding converts Python objects before calling and converts results after.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "morvel/forest.h"
#include "morvel/matrix.h"
#include "morvel/profile.h"
#include "morvel/settings.h"

namespace morvel {

// ---- fit ----------------------------------------------------------------------------------

// `x` as the binding classified it, before any conversion.
struct FitInput {
  enum class Kind : uint8_t { DenseF32, DenseF64, Other };
  Kind kind = Kind::Other;
  ViewF32 f32;  // kind == DenseF32
  ViewF64 f64;  // kind == DenseF64
  // Converts an `x` that is not a dense float array (sparse objects, anything else); it runs
  // Python code and may throw ValidationError or the binding's own exception. Called at most
  // once, at the point of the fit where x is converted.
  std::function<OwnedMatrix()> convert_other;
};

struct FitRequest {
  const FitSettings* settings = nullptr;
  const FitInput* x = nullptr;
  // Labels in the caller's row order, possibly the caller's own buffer: the driver reads them
  // before it runs any conversion of x that could call back into the caller's code.
  std::span<const int64_t> y;
  const std::vector<double>* sample_weight = nullptr; // null for None
  // Trains only trees tree_begin..tree_end-1 of the n_estimators forest, each the tree the
  // whole fit grows at that index; tree_end UINT64_MAX means n_estimators.
  uint64_t tree_begin = 0;
  uint64_t tree_end = UINT64_MAX;
};

struct FitOutcome {
  FittedForest forest;
  std::vector<RowIndex> training_order;
};

// Runs the fit from the profile reset on: clears `profile`, validates, prepares the data,
// trains. Profile entries are written into `profile` as they are measured, so a failed fit
// keeps those written before the failure. Throws on failure.
FitOutcome run_fit(const FitRequest& request, ProfileMap& profile);

// ---- prediction-side input ----------------------------------------------------------------

// A matrix prepared for prediction: rows in the caller's order, no labels or weights.
struct PredictionMatrix {
  uint64_t n_rows = 0;
  uint64_t n_features = 0;
  OwnedMatrix values;             // dense or CSR raw values
  std::vector<uint8_t> bins;      // dense input of a binned forest: row-major bin bytes
  const BinEdges* edges = nullptr;  // the forest's edges when it trained on bins
};

// Which feature-count message a method uses.
enum class FeatureCheck : uint8_t { Predict, Shap };

// Feature-count check, structural validation, and binning with the fitted edges.
PredictionMatrix prepare_prediction(const FittedForest& forest, OwnedMatrix&& x, FeatureCheck check);

// ---- answers ------------------------------------------------------------------------------

// The row-wise answers take n_jobs (0 read as 1): rows are cut into chunks over up to that many
// threads, and every row gets exactly what one thread gives it.
std::vector<uint64_t> predict(const FittedForest& forest, const PredictionMatrix& x, uint64_t n_jobs = 1);
std::vector<double> predict_proba(const FittedForest& forest, const PredictionMatrix& x,
                                  uint64_t n_jobs = 1);  // rows x classes
// The stored node position of the leaf each row reaches in each tree: rows x trees.
std::vector<int64_t> apply(const FittedForest& forest, const PredictionMatrix& x, uint64_t n_jobs = 1);
std::vector<double> oob_predict_proba(const FittedForest& forest);  // training rows x classes

std::vector<double> feature_importances(const FittedForest& forest);
std::vector<double> gain_importances(const FittedForest& forest);
std::vector<double> tree_normalized_gain_importances(const FittedForest& forest);
std::vector<double> permutation_importances(const FittedForest& forest);

struct ShapValues {
  std::vector<double> values;       // rows x features x classes
  std::vector<double> base_values;  // classes
};
ShapValues tree_shap(const FittedForest& forest, const PredictionMatrix& x, uint64_t n_jobs = 1);
std::vector<double> shap_importances(const FittedForest& forest, const PredictionMatrix& x, uint64_t n_jobs);

// One tree in scikit-learn's orientation (left child takes value <= threshold).
struct ShapTreeArrays {
  std::vector<int64_t> children_left;
  std::vector<int64_t> children_right;
  std::vector<int64_t> feature;
  std::vector<double> threshold;
  std::vector<double> cover;
  std::vector<double> value;  // nodes x classes, node-major
  std::vector<int64_t> missing_go_to_left;
};
std::vector<ShapTreeArrays> shap_tree_arrays(const FittedForest& forest);

// ---- whole models -------------------------------------------------------------------------

// A fitted forest with the training order that maps its rows back to the caller's.
struct ModelParts {
  FittedForest forest;
  std::vector<RowIndex> training_order;
};

struct ModelView {
  const FittedForest* forest = nullptr;
  std::span<const RowIndex> training_order;
};

// One forest from parts fitted on adjacent tree ranges of the same settings and data: trees
// in index order, out-of-bag votes summed, permutation means rebuilt in tree order. The parts
// may come in any order; their ranges must not overlap or leave a gap (the result holds the
// union). When they cover the whole forest, every result equals the single fit's bit for
// bit. The training order of the result is the parts' common one.
FittedForest merge_forests(std::span<const ModelView> parts);

// The whole fitted state in the saved model format (see model/serialize.cpp).
std::vector<uint8_t> save_model(const FittedForest& forest, std::span<const RowIndex> training_order);
// Reads and validates saved bytes; ValidationError with a clear message on any defect.
ModelParts load_model(std::span<const uint8_t> data);

// ---- Boruta kernel ------------------------------------------------------------------------

struct BorutaArrays {
  ViewF64 x;                            // n_rows x n_features
  StridedVector<int64_t> y;             // n_rows labels
  StridedVector<int64_t> active;        // A active feature indices
  StridedVector<int64_t> sources;       // S shadow source features
  StridedView<int64_t> permutations;    // S x n_rows donor rows
};

struct BorutaSettings {
  uint64_t trees = 0;
  uint64_t depth = 0;
  uint64_t seed = 0;
  uint64_t bins = 0;
  uint64_t extra_seed = 0;
};

struct BorutaResult {
  std::vector<double> importances;  // active columns, then shadow columns
  double preparation_seconds = 0.0;
  double training_seconds = 0.0;
};

BorutaResult boruta_gain_importances(const BorutaArrays& arrays, const BorutaSettings& settings);

}  // namespace morvel
