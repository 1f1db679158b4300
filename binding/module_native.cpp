// Module `_native`: multi-phase initialisation; the exec step adds the method tables of the
// package's own surface and the PanicException type, and remembers `_core`'s NativeForest type.
#include "module_native.h"

#include "errors.h"
#include "pyref.h"

namespace morvel::py {
namespace {

// A strong reference for the life of the process, like the other once-per-process objects.
PyTypeObject* g_forest_type = nullptr;

int native_exec(PyObject* module) {
  if (init_runtime() < 0) return -1;
  if (g_forest_type == nullptr) {
    PyRef core = PyRef::steal(PyImport_ImportModule("morvel._core"));
    if (!core) return -1;
    PyRef type = PyRef::steal(PyObject_GetAttrString(core.get(), "NativeForest"));
    if (!type) return -1;
    if (!PyType_Check(type.get())) {
      PyErr_SetString(PyExc_TypeError, "morvel._core.NativeForest is not a type");
      return -1;
    }
    g_forest_type = reinterpret_cast<PyTypeObject*>(type.release());
  }
  // The package re-exports the type from here, so callers can catch it by name.
  if (PyModule_AddObjectRef(module, "PanicException", panic_exception_type()) < 0) return -1;
  if (PyModule_AddFunctions(module, native_call_methods) < 0) return -1;
  return PyModule_AddFunctions(module, native_model_methods);
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "_native", "The package's native surface: NumPy results, parallel prediction, saved models.",
    0, nullptr, native_slots, nullptr, nullptr, nullptr};

}  // namespace

PyTypeObject* native_forest_type() { return g_forest_type; }

}  // namespace morvel::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&morvel::py::native_module); }
