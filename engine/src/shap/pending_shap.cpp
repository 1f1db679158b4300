// Placeholders until TreeSHAP and the Boruta kernel land; each throws.
#include "morvel/api.h"

namespace morvel {
namespace {
[[noreturn]] void pending(const char* what) { throw_internal(std::string("not built yet: ") + what); }
}  // namespace
ShapValues tree_shap(const FittedForest&, const PredictionMatrix&) { pending("tree_shap"); }
std::vector<double> shap_importances(const FittedForest&, const PredictionMatrix&, uint64_t) {
  pending("shap_importances");
}
std::vector<ShapTreeArrays> shap_tree_arrays(const FittedForest&) { pending("shap_tree_arrays"); }
}  // namespace morvel
