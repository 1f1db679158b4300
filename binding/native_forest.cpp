// NativeForest: the object state, its borrow discipline and the fourteen method wrappers.
// Every wrapper has one shape: parse, convert the arguments, take the borrow through a
// named guard, run the engine inside `try`, convert the result; the single translator
// turns whatever was thrown into the Python exception.
#include "native_forest.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "fit_params.h"
#include "morvel/api.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "pyref.h"

namespace morvel::py {
namespace {

// ---- fit ----------------------------------------------------------------------------------

ArgParser fit_parser("fit", fit_param_names(), kFitRequired);
const std::string fit_doc = fit_docstring("fit($self, ", "", "");

PyObject* forest_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[kFitParamCount];
  if (!fit_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  try {
    ForestState& state = state_of(self);
    ExclusiveBorrow borrow(state.borrow);

    // Conversion in parameter order: the first failing parameter decides the error. `x`
    // is left to the driver, which converts it after the settings are validated.
    FitCall call(argv);
    const FitRequest& request = call.bind(argv);
    const SignalScope signals;
    FitOutcome outcome = run_fit(request, state.profile);

    // Only a complete fit replaces the previous model.
    state.fitted = std::move(outcome.forest);
    state.training_order = std::move(outcome.training_order);
  } catch (...) {
    return raise_current_exception();
  }
  Py_RETURN_NONE;
}

// ---- prediction side ----------------------------------------------------------------------

ArgParser predict_parser("predict", {"x"}, 1);
ArgParser predict_proba_parser("predict_proba", {"x"}, 1);
ArgParser tree_shap_parser("tree_shap", {"x"}, 1);
ArgParser shap_importances_parser("shap_importances", {"x", "n_jobs"}, 1);

PyObject* forest_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* argv[1];
  if (!predict_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  try {
    ForestState& state = state_of(self);
    std::vector<uint64_t> classes;
    {
      SharedBorrow borrow(state.borrow);
      const SignalScope signals;
      const FittedForest& forest = fitted_forest(state);
      const PredictionMatrix x =
          prepare_prediction(forest, convert_prediction_input(argv[0]), FeatureCheck::Predict);
      classes = predict(forest, x);
    }
    return int_list(classes).release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* forest_predict_proba(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* argv[1];
  if (!predict_proba_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  try {
    ForestState& state = state_of(self);
    std::vector<double> probabilities;
    uint64_t n_rows = 0;
    uint64_t n_classes = 0;
    {
      SharedBorrow borrow(state.borrow);
      const SignalScope signals;
      const FittedForest& forest = fitted_forest(state);
      const PredictionMatrix x =
          prepare_prediction(forest, convert_prediction_input(argv[0]), FeatureCheck::Predict);
      probabilities = predict_proba(forest, x);
      n_rows = x.n_rows;
      n_classes = forest.n_classes;
    }
    return float_rows(probabilities, n_rows, n_classes).release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* forest_oob_predict_proba(PyObject* self, PyObject*) {
  try {
    ForestState& state = state_of(self);
    std::vector<double> probabilities;
    uint64_t n_rows = 0;
    uint64_t n_classes = 0;
    {
      SharedBorrow borrow(state.borrow);
      const FittedForest& forest = fitted_forest(state);
      if (!forest.result.oob_votes) throw StateError(msg::kOobUnavailable);
      probabilities = oob_predict_proba(forest);
      n_rows = forest.n_rows;
      n_classes = forest.n_classes;
    }
    return float_rows(probabilities, n_rows, n_classes).release();
  } catch (...) {
    return raise_current_exception();
  }
}

// The four importance getters share one body.
template <std::vector<double> (*Compute)(const FittedForest&)>
PyObject* forest_importances(PyObject* self, PyObject*) {
  try {
    ForestState& state = state_of(self);
    std::vector<double> importances;
    {
      SharedBorrow borrow(state.borrow);
      const SignalScope signals;
      importances = Compute(fitted_forest(state));
    }
    return float_list(importances).release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* forest_shap_tree_arrays(PyObject* self, PyObject*) {
  try {
    ForestState& state = state_of(self);
    std::vector<ShapTreeArrays> trees;
    {
      SharedBorrow borrow(state.borrow);
      const SignalScope signals;
      trees = shap_tree_arrays(fitted_forest(state));
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(trees.size())));
    if (!list) throw_error_set();
    for (size_t t = 0; t < trees.size(); ++t) {
      const ShapTreeArrays& tree = trees[t];
      PyRef items[7] = {int_list(tree.children_left),  int_list(tree.children_right),
                        int_list(tree.feature),        float_list(tree.threshold),
                        float_list(tree.cover),        float_list(tree.value),
                        int_list(tree.missing_go_to_left)};
      PyRef tuple = PyRef::steal(PyTuple_New(7));
      if (!tuple) throw_error_set();
      for (Py_ssize_t i = 0; i < 7; ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(t), tuple.release());
    }
    return list.release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* forest_tree_shap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* argv[1];
  if (!tree_shap_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  try {
    ForestState& state = state_of(self);
    ShapValues shap;
    uint64_t n_rows = 0;
    uint64_t n_features = 0;
    uint64_t n_classes = 0;
    {
      SharedBorrow borrow(state.borrow);
      const SignalScope signals;
      const FittedForest& forest = fitted_forest(state);
      const PredictionMatrix x =
          prepare_prediction(forest, convert_prediction_input(argv[0]), FeatureCheck::Shap);
      shap = tree_shap(forest, x);
      n_rows = x.n_rows;
      n_features = forest.n_features;
      n_classes = forest.n_classes;
    }
    MORVEL_ASSERT(shap.values.size() == n_rows * n_features * n_classes &&
                      shap.base_values.size() == n_classes,
                  "result size does not match its shape");
    const GcPause gc_pause;
    PyRef values = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n_rows)));
    if (!values) throw_error_set();
    for (uint64_t r = 0; r < n_rows; ++r) {
      PyRef row = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n_features)));
      if (!row) throw_error_set();
      for (uint64_t f = 0; f < n_features; ++f) {
        PyRef cell = float_list(shap.values.data() + (r * n_features + f) * n_classes, n_classes);
        PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(f), cell.release());
      }
      PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(r), row.release());
    }
    PyRef base_values = float_list(shap.base_values);
    PyRef result = PyRef::steal(PyTuple_New(2));
    if (!result) throw_error_set();
    PyTuple_SET_ITEM(result.get(), 0, values.release());
    PyTuple_SET_ITEM(result.get(), 1, base_values.release());
    return result.release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* forest_shap_importances(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* argv[2];
  if (!shap_importances_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  try {
    const uint64_t n_jobs = argv[1] != nullptr ? to_u64(argv[1], "n_jobs") : 1;
    ForestState& state = state_of(self);
    std::vector<double> importances;
    {
      SharedBorrow borrow(state.borrow);
      const SignalScope signals;
      const FittedForest& forest = fitted_forest(state);
      const PredictionMatrix x =
          prepare_prediction(forest, convert_prediction_input(argv[0]), FeatureCheck::Shap);
      importances = shap_importances(forest, x, n_jobs);
    }
    return float_list(importances).release();
  } catch (...) {
    return raise_current_exception();
  }
}

// ---- state readers ------------------------------------------------------------------------

PyObject* forest_is_fitted(PyObject* self, PyObject*) {
  try {
    ForestState& state = state_of(self);
    bool fitted = false;
    {
      SharedBorrow borrow(state.borrow);
      fitted = state.fitted.has_value();
    }
    return PyBool_FromLong(fitted ? 1 : 0);
  } catch (...) {
    return raise_current_exception();
  }
}

constexpr const char* kOrderCapsule = "morvel.training_order";

void free_order_buffer(PyObject* capsule) {
  PyMem_RawFree(PyCapsule_GetPointer(capsule, kOrderCapsule));
}

PyObject* forest_training_order(PyObject* self, PyObject*) {
  try {
    ForestState& state = state_of(self);
    size_t size = 0;
    uint64_t* buffer = nullptr;
    {
      SharedBorrow borrow(state.borrow);
      size = state.training_order.size();
      // At least one element, so an empty order still gets a distinct, freeable buffer.
      buffer = static_cast<uint64_t*>(PyMem_RawMalloc((size == 0 ? 1 : size) * sizeof(uint64_t)));
      if (buffer == nullptr) throw std::bad_alloc();
      for (size_t i = 0; i < size; ++i) buffer[i] = state.training_order[i];
    }
    // The capsule owns the buffer from here on; the array borrows it without a copy.
    PyRef capsule = PyRef::steal(PyCapsule_New(buffer, kOrderCapsule, free_order_buffer));
    if (!capsule) {
      PyMem_RawFree(buffer);
      throw_error_set();
    }
    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    PyRef array = PyRef::steal(PyArray_SimpleNewFromData(1, dims, NPY_UINT64, buffer));
    if (!array) throw_error_set();
    // Steals the capsule reference even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
      throw_error_set();
    }
    return array.release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* forest_fit_profile(PyObject* self, PyObject*) {
  try {
    ForestState& state = state_of(self);
    ProfileMap profile;
    {
      SharedBorrow borrow(state.borrow);
      profile = state.profile;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) throw_error_set();
    for (const auto& [key, seconds] : profile) {
      PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
      if (!name) throw_error_set();
      PyRef value = PyRef::steal(PyFloat_FromDouble(seconds));
      if (!value) throw_error_set();
      if (PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) throw_error_set();
    }
    return dict.release();
  } catch (...) {
    return raise_current_exception();
  }
}

// ---- type ---------------------------------------------------------------------------------

PyObject* forest_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "NativeForest() takes no arguments");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<NativeForestObject*>(self)->state) ForestState();
  return self;
}

void forest_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  state_of(self).~ForestState();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyCFunction fastcall(PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// Docstrings: the text signature, the separator, and three descriptions.
PyMethodDef forest_methods[] = {
    {"fit", fastcall(forest_fit), kFastcall, fit_doc.c_str()},
    {"predict", fastcall(forest_predict), kFastcall, "predict($self, x)\n--\n\n"},
    {"predict_proba", fastcall(forest_predict_proba), kFastcall, "predict_proba($self, x)\n--\n\n"},
    {"oob_predict_proba", forest_oob_predict_proba, METH_NOARGS, "oob_predict_proba($self)\n--\n\n"},
    {"feature_importances", forest_importances<feature_importances>, METH_NOARGS,
     "feature_importances($self)\n--\n\n"},
    {"gain_importances", forest_importances<gain_importances>, METH_NOARGS,
     "gain_importances($self)\n--\n\n"},
    {"tree_normalized_gain_importances", forest_importances<tree_normalized_gain_importances>,
     METH_NOARGS, "tree_normalized_gain_importances($self)\n--\n\n"},
    {"permutation_importances", forest_importances<permutation_importances>, METH_NOARGS,
     "permutation_importances($self)\n--\n\n"},
    {"shap_tree_arrays", forest_shap_tree_arrays, METH_NOARGS,
     "shap_tree_arrays($self)\n--\n\n"
     "Export compact tree arrays for the experimental Python TreeSHAP facade.\n"
     "Children are reversed because OWF's left branch is `value > pivot`,\n"
     "while sklearn tree arrays define left as `value <= threshold`."},
    {"tree_shap", fastcall(forest_tree_shap), kFastcall,
     "tree_shap($self, x)\n--\n\n"
     "Experimental native TreeSHAP (`tree_path_dependent`) for the forest's\n"
     "vote probabilities. Returns `(values, base_values)`."},
    {"shap_importances", fastcall(forest_shap_importances), kFastcall,
     "shap_importances($self, x, n_jobs=1)\n--\n\n"
     "Reduce ensemble TreeSHAP values directly to normalized global importances."},
    {"is_fitted", forest_is_fitted, METH_NOARGS, "is_fitted($self)\n--\n\n"},
    {"training_order", forest_training_order, METH_NOARGS, "training_order($self)\n--\n\n"},
    {"fit_profile", forest_fit_profile, METH_NOARGS, "fit_profile($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot forest_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeForest()\n--\n\n")},
    {Py_tp_methods, forest_methods},
    {Py_tp_new, reinterpret_cast<void*>(forest_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(forest_dealloc)},
    {0, nullptr},
};

PyType_Spec forest_type_definition = {"morvel._core.NativeForest", sizeof(NativeForestObject), 0,
                           Py_TPFLAGS_DEFAULT, forest_slots};

}  // namespace

ForestState& forest_argument(PyObject* object, const char* name) {
  // Every NativeForest type made from this library's definition shares its deallocator.
  if (Py_TYPE(object)->tp_dealloc != forest_dealloc) {
    PyErr_Format(PyExc_TypeError, "%s must be a NativeForest, not '%.200s'", name, Py_TYPE(object)->tp_name);
    throw_error_set();
  }
  return state_of(object);
}

PyRef new_forest(PyTypeObject* type) {
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) throw_error_set();
  new (&reinterpret_cast<NativeForestObject*>(self.get())->state) ForestState();
  return self;
}

int add_native_forest(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &forest_type_definition, nullptr);
  if (type == nullptr) return -1;
  if (PyModule_AddObject(module, "NativeForest", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

}  // namespace morvel::py
