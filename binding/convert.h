// Conversion of Python arguments to engine values. Converters that fail raise the
// converter's own TypeError/OverflowError with the note "while processing '<name>'" and
// throw PythonErrorSet; errors raised by the caller's own code (__index__, __float__, a
// sparse object's methods) pass through unchanged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One NumPy API table per process, shared by both modules: convert.cpp defines it and
// every other file of the library refers to it.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL morvel_numpy_api
#ifndef MORVEL_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "morvel/api.h"
#include "morvel/matrix.h"
#include "pyref.h"

namespace morvel::py {

// Imports the NumPy C API once; returns -1 with an error set on failure.
int init_numpy_api();

// Integers through the index protocol, as unsigned 64-bit: a float is a TypeError, a
// negative or too large value an OverflowError.
uint64_t to_u64(PyObject* object, const char* name);
// None, or an integer as above.
std::optional<uint64_t> to_optional_u64(PyObject* object, const char* name);
// Anything with a float conversion (float, int, objects defining __float__ or __index__).
double to_f64(PyObject* object, const char* name);
// bool or numpy.bool_ only: an int is refused.
bool to_flag(PyObject* object, const char* name);
std::string to_str(PyObject* object, const char* name);
// None, or a sequence (not a str) of integers in -128..127.
std::optional<std::vector<int8_t>> to_monotonic_cst(PyObject* object, const char* name);

// Checks that the argument is a 1-D int64 ndarray (any strides); read it with int64_elements.
void check_int64_vector(PyObject* object, const char* name);
// The elements of a checked 1-D int64 ndarray: the array's own buffer when it is contiguous
// and aligned (valid while the array is alive and unmodified), otherwise a copy in `storage`.
std::span<const int64_t> int64_elements(PyObject* object, std::vector<int64_t>& storage);
// None, or a 1-D float64 ndarray (any strides), copied.
std::optional<std::vector<double>> to_optional_f64_vector(PyObject* object, const char* name);

// Views of the caller's arrays, valid while the arrays are alive and unmodified.
StridedVector<int64_t> int64_vector_view(PyObject* object, const char* name);
StridedView<int64_t> int64_matrix_view(PyObject* object, const char* name);
ViewF64 f64_matrix_view(PyObject* object, const char* name);

// Classifies `x` for a fit without running Python code: a 2-D native float64 (else
// float32) ndarray becomes a view; anything else is converted by `convert_other`, which
// runs the sparse path when the driver asks for it. `x` must outlive the returned record.
FitInput classify_fit_input(PyObject* x);

// Converts `x` for prediction: a dense float array is copied row-major, anything else
// goes through the sparse path.
OwnedMatrix convert_prediction_input(PyObject* x);

// The sparse path: probes indptr, indices, data and shape; calls tocsr(), then
// sum_duplicates() and sort_indices() on the result, and reads its arrays through astype.
OwnedMatrix convert_sparse(PyObject* x);

// Pauses the cyclic garbage collector while a large nested result is built: the new lists
// cannot form cycles, and a collection triggered by every few hundred allocations would
// otherwise traverse them again and again. Restores the previous state on every exit.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// Results: new lists of Python floats / ints. They throw PythonErrorSet when Python runs
// out of memory.
PyRef float_list(const double* values, size_t count);
PyRef float_list(const std::vector<double>& values);
PyRef int_list(const std::vector<uint64_t>& values);
PyRef int_list(const std::vector<int64_t>& values);
// A row-major matrix as a list of row lists; `values` must hold n_rows * n_columns entries.
PyRef float_rows(const std::vector<double>& values, uint64_t n_rows, uint64_t n_columns);

}  // namespace morvel::py
