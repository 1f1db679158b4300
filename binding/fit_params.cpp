// The fit parameter table and the conversions both fit surfaces share.
#include "fit_params.h"

#include "convert.h"

namespace morvel::py {
namespace {

FitSettings& s(FitArguments& out) { return out.settings; }

}  // namespace

// Constant-initialised, so the parsers and docstrings built from it during other files'
// static initialisation see it complete.
constinit const FitParam kFitParams[kFitParamCount] = {
    {"x", nullptr, nullptr},
    {"y", nullptr, [](PyObject* a, FitArguments&) { check_int64_vector(a, "y"); }},
    {"n_estimators", nullptr, [](PyObject* a, FitArguments& o) { s(o).n_estimators = to_u64(a, "n_estimators"); }},
    {"max_features", nullptr, [](PyObject* a, FitArguments& o) { s(o).max_features = to_u64(a, "max_features"); }},
    {"random_state", nullptr, [](PyObject* a, FitArguments& o) { s(o).random_state = to_u64(a, "random_state"); }},
    {"sample_weight", "None",
     [](PyObject* a, FitArguments& o) { o.sample_weight = to_optional_f64_vector(a, "sample_weight"); }},
    {"min_leaf_weight", "0.0",
     [](PyObject* a, FitArguments& o) { s(o).min_leaf_weight = to_f64(a, "min_leaf_weight"); }},
    {"criterion", "\"gini\"", [](PyObject* a, FitArguments& o) { s(o).criterion = to_str(a, "criterion"); }},
    {"max_depth", "512", [](PyObject* a, FitArguments& o) { s(o).max_depth = to_u64(a, "max_depth"); }},
    {"max_leaves", "None",
     [](PyObject* a, FitArguments& o) { s(o).max_leaves = to_optional_u64(a, "max_leaves").value_or(kNoLeafLimit); }},
    {"min_samples_split", "2",
     [](PyObject* a, FitArguments& o) { s(o).min_samples_split = to_u64(a, "min_samples_split"); }},
    {"min_samples_leaf", "1",
     [](PyObject* a, FitArguments& o) { s(o).min_samples_leaf = to_u64(a, "min_samples_leaf"); }},
    {"min_impurity_decrease", "0.0",
     [](PyObject* a, FitArguments& o) { s(o).min_impurity_decrease = to_f64(a, "min_impurity_decrease"); }},
    {"bootstrap", "True", [](PyObject* a, FitArguments& o) { s(o).bootstrap = to_flag(a, "bootstrap"); }},
    {"max_samples", "None",
     [](PyObject* a, FitArguments& o) { s(o).max_samples = to_optional_u64(a, "max_samples"); }},
    {"oob", "False", [](PyObject* a, FitArguments& o) { s(o).oob = to_flag(a, "oob"); }},
    {"permutation_importance", "False",
     [](PyObject* a, FitArguments& o) { s(o).permutation_importance = to_flag(a, "permutation_importance"); }},
    {"n_jobs", "1", [](PyObject* a, FitArguments& o) { s(o).n_jobs = to_u64(a, "n_jobs"); }},
    {"max_bins", "None", [](PyObject* a, FitArguments& o) { s(o).max_bins = to_optional_u64(a, "max_bins"); }},
    {"balanced_subsample", "False",
     [](PyObject* a, FitArguments& o) { s(o).balanced_subsample = to_flag(a, "balanced_subsample"); }},
    {"ccp_alpha", "0.0", [](PyObject* a, FitArguments& o) { s(o).ccp_alpha = to_f64(a, "ccp_alpha"); }},
    {"monotonic_cst", "None",
     [](PyObject* a, FitArguments& o) { s(o).monotonic_cst = to_monotonic_cst(a, "monotonic_cst"); }},
    {"binning_strategy", "\"exact_sort\"",
     [](PyObject* a, FitArguments& o) { s(o).binning_strategy = to_str(a, "binning_strategy"); }},
    {"bin_sample_size", "200000",
     [](PyObject* a, FitArguments& o) { s(o).bin_sample_size = to_u64(a, "bin_sample_size"); }},
    {"binning_seed", "6", [](PyObject* a, FitArguments& o) { s(o).binning_seed = to_u64(a, "binning_seed"); }},
    {"extra_trees", "False", [](PyObject* a, FitArguments& o) { s(o).extra_trees = to_flag(a, "extra_trees"); }},
    {"extra_seed", "6", [](PyObject* a, FitArguments& o) { s(o).extra_seed = to_u64(a, "extra_seed"); }},
    {"extra_trees_backend", "\"exact\"",
     [](PyObject* a, FitArguments& o) { s(o).extra_trees_backend = to_str(a, "extra_trees_backend"); }},
};

static_assert(sizeof(kFitParams) / sizeof(kFitParams[0]) == kFitParamCount);

std::vector<const char*> fit_param_names(std::initializer_list<const char*> extra) {
  std::vector<const char*> names;
  names.reserve(kFitParamCount + extra.size());
  for (size_t i = 0; i < kFitParamCount; ++i) names.push_back(kFitParams[i].name);
  names.insert(names.end(), extra.begin(), extra.end());
  return names;
}

std::string fit_docstring(const char* head, const char* tail, const char* description) {
  std::string text = head;
  for (size_t i = 0; i < kFitParamCount; ++i) {
    if (i > 0) text += ", ";
    text += kFitParams[i].name;
    if (kFitParams[i].default_text != nullptr) {
      text += '=';
      text += kFitParams[i].default_text;
    }
  }
  text += tail;
  text += ")\n--\n\n";
  text += description;
  return text;
}

FitArguments convert_fit_arguments(PyObject* const* argv) {
  FitArguments out;
  for (size_t i = 0; i < kFitParamCount; ++i) {
    if (argv[i] != nullptr && kFitParams[i].convert != nullptr) kFitParams[i].convert(argv[i], out);
  }
  return out;
}

}  // namespace morvel::py
