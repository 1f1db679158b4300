// Module `_boruta_core`: one function, gain_importances, the costly step of one Boruta
// iteration. Lives in the same shared library as `_core` and shares its runtime objects.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "args.h"
#include "convert.h"
#include "errors.h"
#include "morvel/api.h"
#include "pyref.h"

namespace {

using namespace morvel::py;

ArgParser gain_importances_parser("gain_importances",
                                  {"x", "y", "active", "sources", "permutations", "trees",
                                   "depth", "seed", "bins", "extra_seed"},
                                  10);

PyObject* boruta_gain_importances(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* argv[10];
  if (!gain_importances_parser.parse(args, nargs, kwnames, argv)) return nullptr;
  try {
    // Arguments are checked in parameter order, so the first bad one is reported. The
    // integers' own __index__ may run Python code that reshapes or retypes an array in
    // place, so the array views are taken again, and re-checked, after the integers.
    auto take_views = [&argv]() {
      morvel::BorutaArrays arrays;
      arrays.x = f64_matrix_view(argv[0], "x");
      arrays.y = int64_vector_view(argv[1], "y");
      arrays.active = int64_vector_view(argv[2], "active");
      arrays.sources = int64_vector_view(argv[3], "sources");
      arrays.permutations = int64_matrix_view(argv[4], "permutations");
      return arrays;
    };
    take_views();
    morvel::BorutaSettings settings;
    settings.trees = to_u64(argv[5], "trees");
    settings.depth = to_u64(argv[6], "depth");
    settings.seed = to_u64(argv[7], "seed");
    settings.bins = to_u64(argv[8], "bins");
    settings.extra_seed = to_u64(argv[9], "extra_seed");
    // No Python code runs from here until the kernel returns.
    const morvel::BorutaArrays arrays = take_views();

    const SignalScope signals;
    const morvel::BorutaResult result = morvel::boruta_gain_importances(arrays, settings);

    PyRef importances = float_list(result.importances);
    PyRef preparation = PyRef::steal(PyFloat_FromDouble(result.preparation_seconds));
    if (!preparation) throw_error_set();
    PyRef training = PyRef::steal(PyFloat_FromDouble(result.training_seconds));
    if (!training) throw_error_set();
    PyRef tuple = PyRef::steal(PyTuple_New(3));
    if (!tuple) throw_error_set();
    PyTuple_SET_ITEM(tuple.get(), 0, importances.release());
    PyTuple_SET_ITEM(tuple.get(), 1, preparation.release());
    PyTuple_SET_ITEM(tuple.get(), 2, training.release());
    return tuple.release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyMethodDef boruta_methods[] = {
    {"gain_importances",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boruta_gain_importances)),
     METH_FASTCALL | METH_KEYWORDS,
     "gain_importances(x, y, active, sources, permutations, trees, depth, seed, bins, "
     "extra_seed)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int boruta_exec(PyObject* module) {
  if (init_runtime() < 0) return -1;
  return PyModule_AddFunctions(module, boruta_methods);
}

PyModuleDef_Slot boruta_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(boruta_exec)},
#ifdef Py_mod_multiple_interpreters
    // The NumPy API table and PanicException are per process, not per interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef boruta_module = {
    PyModuleDef_HEAD_INIT, "_boruta_core", "Boruta gain-importance kernel.", 0, nullptr,
    boruta_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__boruta_core(void) { return PyModuleDef_Init(&boruta_module); }
