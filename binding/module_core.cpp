// Module `_core`: multi-phase initialisation; the exec step adds NativeForest and nothing
// else.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "errors.h"
#include "native_forest.h"

namespace {

int core_exec(PyObject* module) {
  if (morvel::py::init_runtime() < 0) return -1;
  return morvel::py::add_native_forest(module);
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
#ifdef Py_mod_multiple_interpreters
    // The NumPy API table and PanicException are per process, not per interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT, "_core", "Native random-forest classifier.", 0, nullptr, core_slots,
    nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&core_module); }
