// `_native` fit and prediction-side calls. Each has the shape of a NativeForest method -
// parse, convert, borrow, run the engine, convert the result - with two differences: the
// engine runs with the interpreter lock released, and results are NumPy arrays that own the
// engine's buffers instead of nested lists.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "fit_params.h"
#include "gil.h"
#include "module_native.h"
#include "morvel/api.h"
#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "native_forest.h"
#include "pyref.h"

namespace morvel::py {
namespace {

// ---- results ------------------------------------------------------------------------------

constexpr const char* kBufferCapsule = "morvel.buffer";

template <class T>
void free_vector(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// An array of `shape` over the vector's buffer, without a copy: a capsule owning the vector
// becomes the array's base. `type` must have T's size and layout.
template <class T>
PyRef owned_array(std::vector<T>&& values, std::initializer_list<npy_intp> shape, int type) {
  auto* owner = new std::vector<T>(std::move(values));
  // An empty result still gets a buffer of its own, so the array never adopts a null pointer.
  if (owner->capacity() == 0) owner->reserve(1);
  PyRef capsule = PyRef::steal(PyCapsule_New(owner, kBufferCapsule, free_vector<T>));
  if (!capsule) {
    delete owner;
    throw_error_set();
  }
  npy_intp dims[3];
  int ndim = 0;
  for (npy_intp d : shape) dims[ndim++] = d;
  PyRef array = PyRef::steal(PyArray_SimpleNewFromData(ndim, dims, type, owner->data()));
  if (!array) throw_error_set();
  // Steals the capsule reference even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
    throw_error_set();
  }
  return array;
}

npy_intp dim(uint64_t n) { return static_cast<npy_intp>(n); }

// ---- arguments ----------------------------------------------------------------------------

uint64_t jobs_argument(PyObject* value) { return value != nullptr ? to_u64(value, "n_jobs") : 1; }

// None, or a (start, stop) pair of integers. The range itself is checked by the fit.
std::pair<uint64_t, uint64_t> tree_range_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return {0, UINT64_MAX};
  if (!(PyTuple_Check(value) || PyList_Check(value)) || PySequence_Fast_GET_SIZE(value) != 2) {
    PyErr_Format(PyExc_TypeError, "expected None or a (start, stop) pair, got '%.200s'",
                 Py_TYPE(value)->tp_name);
    fail_argument("tree_range");
  }
  // Both items are referenced across the first conversion, which may run the caller's code.
  PyRef start = PyRef::borrow(PySequence_Fast_GET_ITEM(value, 0));
  PyRef stop = PyRef::borrow(PySequence_Fast_GET_ITEM(value, 1));
  const uint64_t begin = to_u64(start.get(), "tree_range");
  return {begin, to_u64(stop.get(), "tree_range")};
}

// The matrix of a prediction-side call. Sparse input is converted here, with the lock held
// (it runs the object's own methods); a dense array is only looked at here and copied by
// `finish` once the lock is released.
class PredictionInput {
 public:
  explicit PredictionInput(PyObject* x) : source_(classify_fit_input(x)) {
    if (source_.kind == FitInput::Kind::Other) owned_ = source_.convert_other();
  }
  OwnedMatrix finish() {
    if (source_.kind == FitInput::Kind::DenseF64) return copy_dense(source_.f64, nullptr);
    if (source_.kind == FitInput::Kind::DenseF32) return copy_dense(source_.f32, nullptr);
    return std::move(*owned_);
  }

 private:
  FitInput source_;
  std::optional<OwnedMatrix> owned_;
};

// ---- fit ----------------------------------------------------------------------------------

std::vector<const char*> native_fit_names() {
  std::vector<const char*> names{"forest"};
  for (const char* name : fit_param_names({"tree_range"})) names.push_back(name);
  return names;
}

ArgParser fit_parser("fit", native_fit_names(), 1 + kFitRequired);
const std::string fit_doc = fit_docstring(
    "fit(forest, ", ", tree_range=None",
    "Fit `forest` in place with the settings of NativeForest.fit. With `tree_range=(start, stop)`\n"
    "only trees start..stop-1 of the `n_estimators` forest are grown, each exactly the tree\n"
    "the whole fit grows. The interpreter lock is released while the forest grows.");

PyObject* native_fit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1 + kFitParamCount + 1];
  if (!fit_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  try {
    ForestState& state = forest_argument(argv[0], "forest");
    ExclusiveBorrow borrow(state.borrow);
    PyObject* const* fit_argv = argv + 1;
    FitCall call(fit_argv);
    const auto [tree_begin, tree_end] = tree_range_argument(argv[1 + kFitParamCount]);

    // As in NativeForest.fit: x and y are taken after every conversion that could run the
    // caller's code. The arrays stay referenced by the caller for the whole call; the only
    // Python code that runs from here on is the sparse conversion, which takes the lock back.
    FitRequest& request = call.bind(fit_argv);
    if (call.input.convert_other) {
      call.input.convert_other = [convert = std::move(call.input.convert_other)]() {
        const GilHold hold;
        return convert();
      };
    }
    request.tree_begin = tree_begin;
    request.tree_end = tree_end;
    std::optional<FitOutcome> outcome;
    {
      const SignalScope signals(true);
      const GilRelease unlocked;
      outcome.emplace(run_fit(request, state.profile));
    }
    // Only a complete fit replaces the previous model.
    state.fitted = std::move(outcome->forest);
    state.training_order = std::move(outcome->training_order);
  } catch (...) {
    return raise_current_exception();
  }
  Py_RETURN_NONE;
}

// ---- prediction side ----------------------------------------------------------------------

ArgParser predict_parser("predict", {"forest", "x", "n_jobs"}, 2);
ArgParser predict_proba_parser("predict_proba", {"forest", "x", "n_jobs"}, 2);
ArgParser apply_parser("apply", {"forest", "x", "n_jobs"}, 2);
ArgParser tree_shap_parser("tree_shap", {"forest", "x", "n_jobs"}, 2);
ArgParser shap_importances_parser("shap_importances", {"forest", "x", "n_jobs"}, 2);
ArgParser oob_parser("oob_predict_proba", {"forest", "caller_order"}, 1);

// The shared body of the calls on rows: `answer(forest, matrix, n_jobs)` runs without the
// lock under a shared borrow; `convert(result, forest, matrix)` builds the arrays with it.
template <class Answer, class Convert>
PyObject* on_rows(PyObject* const* argv, FeatureCheck check, Answer&& answer, Convert&& convert) {
  try {
    ForestState& state = forest_argument(argv[0], "forest");
    const uint64_t n_jobs = jobs_argument(argv[2]);
    SharedBorrow borrow(state.borrow);
    const FittedForest& forest = fitted_forest(state);
    PredictionInput input(argv[1]);
    std::optional<PredictionMatrix> x;
    std::optional<decltype(answer(forest, *x, n_jobs))> result;
    {
      const SignalScope signals(true);
      const GilRelease unlocked;
      x.emplace(prepare_prediction(forest, input.finish(), check));
      result.emplace(answer(forest, *x, n_jobs));
    }
    return convert(std::move(*result), forest, *x).release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* native_predict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3];
  if (!predict_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  return on_rows(
      argv, FeatureCheck::Predict,
      [](const FittedForest& f, const PredictionMatrix& x, uint64_t jobs) { return predict(f, x, jobs); },
      [](std::vector<uint64_t>&& classes, const FittedForest&, const PredictionMatrix& x) {
        // Class indices are below n_classes, so their bits read the same as int64.
        return owned_array(std::move(classes), {dim(x.n_rows)}, NPY_INT64);
      });
}

PyObject* native_predict_proba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3];
  if (!predict_proba_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  return on_rows(
      argv, FeatureCheck::Predict,
      [](const FittedForest& f, const PredictionMatrix& x, uint64_t jobs) { return predict_proba(f, x, jobs); },
      [](std::vector<double>&& proba, const FittedForest& f, const PredictionMatrix& x) {
        return owned_array(std::move(proba), {dim(x.n_rows), dim(f.n_classes)}, NPY_FLOAT64);
      });
}

PyObject* native_apply(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3];
  if (!apply_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  return on_rows(
      argv, FeatureCheck::Predict,
      [](const FittedForest& f, const PredictionMatrix& x, uint64_t jobs) { return apply(f, x, jobs); },
      [](std::vector<int64_t>&& leaves, const FittedForest& f, const PredictionMatrix& x) {
        return owned_array(std::move(leaves), {dim(x.n_rows), dim(f.result.trees.list().size())}, NPY_INT64);
      });
}

PyObject* native_tree_shap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3];
  if (!tree_shap_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  return on_rows(
      argv, FeatureCheck::Shap,
      [](const FittedForest& f, const PredictionMatrix& x, uint64_t jobs) { return tree_shap(f, x, jobs); },
      [](ShapValues&& shap, const FittedForest& f, const PredictionMatrix& x) {
        MORVEL_ASSERT(shap.values.size() == x.n_rows * f.n_features * f.n_classes &&
                          shap.base_values.size() == f.n_classes,
                      "result size does not match its shape");
        PyRef values = owned_array(std::move(shap.values), {dim(x.n_rows), dim(f.n_features), dim(f.n_classes)},
                                   NPY_FLOAT64);
        PyRef base_values = owned_array(std::move(shap.base_values), {dim(f.n_classes)}, NPY_FLOAT64);
        PyRef result = PyRef::steal(PyTuple_New(2));
        if (!result) throw_error_set();
        PyTuple_SET_ITEM(result.get(), 0, values.release());
        PyTuple_SET_ITEM(result.get(), 1, base_values.release());
        return result;
      });
}

PyObject* native_shap_importances(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3];
  if (!shap_importances_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  return on_rows(
      argv, FeatureCheck::Shap,
      [](const FittedForest& f, const PredictionMatrix& x, uint64_t jobs) { return shap_importances(f, x, jobs); },
      [](std::vector<double>&& importances, const FittedForest& f, const PredictionMatrix&) {
        return owned_array(std::move(importances), {dim(f.n_features)}, NPY_FLOAT64);
      });
}

// The four importance vectors share one body.
template <std::vector<double> (*Compute)(const FittedForest&)>
PyObject* native_importances(PyObject*, PyObject* forest_object) {
  try {
    ForestState& state = forest_argument(forest_object, "forest");
    SharedBorrow borrow(state.borrow);
    const FittedForest& forest = fitted_forest(state);
    std::vector<double> importances;
    {
      const SignalScope signals(true);
      const GilRelease unlocked;
      importances = Compute(forest);
    }
    return owned_array(std::move(importances), {dim(forest.n_features)}, NPY_FLOAT64).release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* native_oob_predict_proba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!oob_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  try {
    ForestState& state = forest_argument(argv[0], "forest");
    const bool caller_order = argv[1] != nullptr && to_flag(argv[1], "caller_order");
    SharedBorrow borrow(state.borrow);
    const FittedForest& forest = fitted_forest(state);
    if (!forest.result.oob_votes) throw StateError(msg::kOobUnavailable);
    const uint64_t n_classes = forest.n_classes;
    std::vector<double> proba;
    {
      const GilRelease unlocked;
      proba = oob_predict_proba(forest);
      if (caller_order) {
        // Training row i is the caller's row training_order[i], a permutation of the rows.
        const std::vector<RowIndex>& order = state.training_order;
        MORVEL_ASSERT(order.size() == forest.n_rows && proba.size() == forest.n_rows * n_classes,
                      "assertion failed: training order does not match the out-of-bag rows");
        std::vector<double> mapped(proba.size());
        for (uint64_t i = 0; i < order.size(); ++i) {
          MORVEL_ASSERT(order[i] < forest.n_rows, "index out of bounds: training order row");
          std::copy_n(proba.data() + i * n_classes, n_classes, mapped.data() + order[i] * n_classes);
        }
        proba = std::move(mapped);
      }
    }
    return owned_array(std::move(proba), {dim(forest.n_rows), dim(n_classes)}, NPY_FLOAT64).release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyCFunction fastcall(PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef native_call_methods[] = {
    {"fit", fastcall(native_fit), kFastcall, fit_doc.c_str()},
    {"predict", fastcall(native_predict), kFastcall,
     "predict(forest, x, n_jobs=1)\n--\n\n"
     "Class index per row of `x` (int64), rows split over `n_jobs` threads."},
    {"predict_proba", fastcall(native_predict_proba), kFastcall,
     "predict_proba(forest, x, n_jobs=1)\n--\n\n"
     "Vote fractions per row and class (float64, rows x classes)."},
    {"apply", fastcall(native_apply), kFastcall,
     "apply(forest, x, n_jobs=1)\n--\n\n"
     "Node position of the leaf each row reaches in each tree (int64, rows x trees)."},
    {"tree_shap", fastcall(native_tree_shap), kFastcall,
     "tree_shap(forest, x, n_jobs=1)\n--\n\n"
     "Path-dependent TreeSHAP of the vote probabilities: `(values, base_values)`, values of\n"
     "shape rows x features x classes."},
    {"shap_importances", fastcall(native_shap_importances), kFastcall,
     "shap_importances(forest, x, n_jobs=1)\n--\n\n"
     "Mean absolute TreeSHAP values per feature, normalized to sum to one."},
    {"feature_importances", native_importances<feature_importances>, METH_O,
     "feature_importances(forest)\n--\n\n"},
    {"gain_importances", native_importances<gain_importances>, METH_O, "gain_importances(forest)\n--\n\n"},
    {"tree_normalized_gain_importances", native_importances<tree_normalized_gain_importances>, METH_O,
     "tree_normalized_gain_importances(forest)\n--\n\n"},
    {"permutation_importances", native_importances<permutation_importances>, METH_O,
     "permutation_importances(forest)\n--\n\n"},
    {"oob_predict_proba", fastcall(native_oob_predict_proba), kFastcall,
     "oob_predict_proba(forest, caller_order=False)\n--\n\n"
     "Out-of-bag vote fractions per training row; with `caller_order`, row i is the\n"
     "caller's row i instead of training row i."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace morvel::py
