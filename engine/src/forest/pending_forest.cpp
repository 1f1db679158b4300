// Placeholders until the forest loop, prediction and importances land; each throws.
#include "forest/bootstrap.h"
#include "forest/fit_loop.h"
#include "morvel/api.h"

namespace morvel {
namespace {
[[noreturn]] void pending(const char* what) { throw_internal(std::string("not built yet: ") + what); }
}  // namespace
ForestResult fit_forest(const TrainingContext&, const ForestSettings&, uint64_t) { pending("fit_forest"); }
void merge_results(ForestResult&, ForestResult&&) { pending("merge_results"); }
TreeSample uniform_bootstrap(const TrainingContext&, uint64_t, Rng&) { pending("uniform_bootstrap"); }
TreeSample weighted_bootstrap(const TrainingContext&, uint64_t, Rng&) { pending("weighted_bootstrap"); }
TreeSample no_bootstrap(const TrainingContext&) { pending("no_bootstrap"); }
void balance_subsample(const TrainingContext&, TreeSample&) { pending("balance_subsample"); }
std::vector<uint64_t> predict(const FittedForest&, const PredictionMatrix&) { pending("predict"); }
std::vector<double> predict_proba(const FittedForest&, const PredictionMatrix&) { pending("predict_proba"); }
std::vector<double> oob_predict_proba(const FittedForest&) { pending("oob_predict_proba"); }
std::vector<double> feature_importances(const FittedForest&) { pending("feature_importances"); }
std::vector<double> gain_importances(const FittedForest&) { pending("gain_importances"); }
std::vector<double> tree_normalized_gain_importances(const FittedForest&) { pending("tree_normalized"); }
std::vector<double> permutation_importances(const FittedForest&) { pending("permutation_importances"); }
}  // namespace morvel
