// Module `_core`: multi-phase initialisation; the exec step adds NativeForest.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

struct NativeForestObject {
  PyObject_HEAD
};

PyObject* native_forest_is_fitted(PyObject*, PyObject*) { Py_RETURN_FALSE; }

PyMethodDef native_forest_methods[] = {
    {"is_fitted", native_forest_is_fitted, METH_NOARGS, "is_fitted($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot native_forest_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeForest()\n--\n\n")},
    {Py_tp_methods, native_forest_methods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec native_forest_spec = {"morvel._core.NativeForest", sizeof(NativeForestObject), 0, Py_TPFLAGS_DEFAULT,
                                  native_forest_slots};

int core_exec(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &native_forest_spec, nullptr);
  if (type == nullptr) return -1;
  if (PyModule_AddObject(module, "NativeForest", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
    {0, nullptr},
};

PyModuleDef core_module = {PyModuleDef_HEAD_INIT, "_core", nullptr, 0, nullptr, core_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&core_module); }
