// Module `_native`: the package's own surface over the same engine and NativeForest objects
// (NumPy results, the interpreter lock released during native work). Its functions are
// defined by topic in separate files; each file contributes one method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvel::py {

// Fit and prediction-side calls (native_calls.cpp).
extern PyMethodDef native_call_methods[];
// Whole-model operations: merge, save and load (native_model.cpp).
extern PyMethodDef native_model_methods[];

// The NativeForest type of `morvel._core`, looked up when `_native` is first executed; the
// type that `_native` gives to the forests it creates.
PyTypeObject* native_forest_type();

}  // namespace morvel::py
