// The NativeForest type: created per module from its type definition and added to `_core`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvel::py {

// Creates the NativeForest type for `module` and adds it; returns -1 with an error set.
int add_native_forest(PyObject* module);

}  // namespace morvel::py
