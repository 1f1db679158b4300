// Argument and array conversion. Nothing here runs engine code except the matrix
// constructors of the engine's data layer; nothing here keeps a Python reference.
#define MORVEL_DEFINE_NUMPY_API
#include "convert.h"

#include <cstring>
#include <initializer_list>

#include "errors.h"
#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "pyref.h"

namespace morvel::py {
namespace {

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// An ndarray of exactly `ndim` dimensions whose dtype is equivalent to `type_num` in the
// machine's byte order. A C type check only: no Python code runs.
bool is_array_of(PyObject* object, int ndim, int type_num) {
  if (!PyArray_Check(object)) return false;
  PyArrayObject* array = as_array(object);
  return PyArray_NDIM(array) == ndim && PyArray_EquivTypenums(PyArray_TYPE(array), type_num) &&
         PyArray_ISNOTSWAPPED(array);
}

// Sets a TypeError that names what was expected and describes what came.
[[gnu::cold, gnu::noinline]] void set_array_type_error(PyObject* object, const char* expected) {
  if (PyArray_Check(object)) {
    PyArrayObject* array = as_array(object);
    PyErr_Format(PyExc_TypeError, "expected %s, got a %d-dimensional array of dtype %S", expected,
                 PyArray_NDIM(array), reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
  } else {
    PyErr_Format(PyExc_TypeError, "expected %s, got '%.200s'", expected, Py_TYPE(object)->tp_name);
  }
}

template <class T>
std::vector<T> copy_vector(PyObject* object) {
  PyArrayObject* array = as_array(object);
  const auto size = static_cast<size_t>(PyArray_DIM(array, 0));
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* base = PyArray_BYTES(array);
  std::vector<T> out(size);
  for (size_t i = 0; i < size; ++i) {
    std::memcpy(&out[i], base + static_cast<npy_intp>(i) * stride, sizeof(T));
  }
  return out;
}

template <class T>
StridedView<T> matrix_view(PyObject* object) {
  PyArrayObject* array = as_array(object);
  StridedView<T> view;
  view.base = reinterpret_cast<const std::byte*>(PyArray_DATA(array));
  view.n_rows = static_cast<uint64_t>(PyArray_DIM(array, 0));
  view.n_features = static_cast<uint64_t>(PyArray_DIM(array, 1));
  view.row_stride = static_cast<int64_t>(PyArray_STRIDE(array, 0));
  view.col_stride = static_cast<int64_t>(PyArray_STRIDE(array, 1));
  return view;
}

// The index protocol to uint64. Errors raised by the object's own __index__ pass through;
// the converter's own TypeError/OverflowError get the note when `name` is given.
uint64_t index_to_u64(PyObject* object, const char* name) {
  PyRef index;
  if (PyLong_Check(object)) {
    index = PyRef::borrow(object);
  } else {
    if (!PyIndex_Check(object)) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                   Py_TYPE(object)->tp_name);
      if (name != nullptr) fail_argument(name);
      throw_error_set();
    }
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) throw_error_set();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (name != nullptr) fail_argument(name);
    throw_error_set();
  }
  return static_cast<uint64_t>(value);
}

int8_t index_to_i8(PyObject* object, const char* name) {
  PyRef index;
  if (PyLong_Check(object)) {
    index = PyRef::borrow(object);
  } else {
    if (!PyIndex_Check(object)) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                   Py_TYPE(object)->tp_name);
      fail_argument(name);
    }
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) throw_error_set();
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) fail_argument(name);
  if (overflow > 0 || value > 127) {
    PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    fail_argument(name);
  }
  if (overflow < 0 || value < -128) {
    PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
    fail_argument(name);
  }
  return static_cast<int8_t>(value);
}

PyRef get_attribute(PyObject* object, const char* attribute) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(object, attribute));
  if (!value) throw_error_set();
  return value;
}

PyRef call_method(PyObject* object, const char* method) {
  PyRef result = PyRef::steal(PyObject_CallMethod(object, method, nullptr));
  if (!result) throw_error_set();
  return result;
}

// `shape` of the CSR object: exactly two non-negative integers in a tuple.
std::pair<uint64_t, uint64_t> read_shape(PyObject* csr) {
  PyRef shape = get_attribute(csr, "shape");
  if (!PyTuple_Check(shape.get())) {
    PyErr_Format(PyExc_TypeError, "sparse matrix shape must be a tuple, got '%.200s'",
                 Py_TYPE(shape.get())->tp_name);
    throw_error_set();
  }
  if (PyTuple_GET_SIZE(shape.get()) != 2) {
    PyErr_Format(PyExc_ValueError, "sparse matrix shape must have 2 entries, got %zd",
                 PyTuple_GET_SIZE(shape.get()));
    throw_error_set();
  }
  // The tuple owns its items, and it is kept alive by `shape` while their own __index__
  // methods run.
  const uint64_t n_rows = index_to_u64(PyTuple_GET_ITEM(shape.get(), 0), nullptr);
  const uint64_t n_features = index_to_u64(PyTuple_GET_ITEM(shape.get(), 1), nullptr);
  return {n_rows, n_features};
}

// csr.<attribute>.astype(<dtype>), which must come back as a 1-D array of that dtype.
template <class T>
std::vector<T> astype_vector(PyObject* csr, const char* attribute, const char* dtype,
                             int type_num) {
  PyRef array = get_attribute(csr, attribute);
  PyRef converted = PyRef::steal(PyObject_CallMethod(array.get(), "astype", "s", dtype));
  if (!converted) throw_error_set();
  if (!is_array_of(converted.get(), 1, type_num)) {
    const std::string expected =
        std::string("a one-dimensional ") + dtype + " array from " + attribute + ".astype()";
    set_array_type_error(converted.get(), expected.c_str());
    throw_error_set();
  }
  return copy_vector<T>(converted.get());
}

}  // namespace

int init_numpy_api() {
  if (PyArray_API != nullptr) return 0;
  if (_import_array() < 0) return -1;
  return 0;
}

uint64_t to_u64(PyObject* object, const char* name) { return index_to_u64(object, name); }

std::optional<uint64_t> to_optional_u64(PyObject* object, const char* name) {
  if (object == Py_None) return std::nullopt;
  return index_to_u64(object, name);
}

double to_f64(PyObject* object, const char* name) {
  if (PyFloat_Check(object)) return PyFloat_AS_DOUBLE(object);
  if (PyLong_Check(object)) {
    const double value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) fail_argument(name);
    return value;
  }
  const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr)) {
    PyErr_Format(PyExc_TypeError, "must be real number, not %.200s", Py_TYPE(object)->tp_name);
    fail_argument(name);
  }
  // The object's own __float__ (or __index__) runs here; its errors pass through.
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_error_set();
  return value;
}

bool to_flag(PyObject* object, const char* name) {
  if (PyBool_Check(object)) return object == Py_True;
  if (PyArray_IsScalar(object, Bool)) return PyArrayScalar_VAL(object, Bool) != 0;
  PyErr_Format(PyExc_TypeError, "expected bool, got '%.200s'", Py_TYPE(object)->tp_name);
  fail_argument(name);
}

std::string to_str(PyObject* object, const char* name) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "expected str, got '%.200s'", Py_TYPE(object)->tp_name);
    fail_argument(name);
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) fail_argument(name);
  return std::string(text, static_cast<size_t>(size));
}

std::optional<std::vector<int8_t>> to_monotonic_cst(PyObject* object, const char* name) {
  if (object == Py_None) return std::nullopt;
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "cannot read a 'str' as a sequence of integers");
    fail_argument(name);
  }
  if (!PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'Sequence'",
                 Py_TYPE(object)->tp_name);
    fail_argument(name);
  }
  // Iteration runs the sequence's own code; its errors pass through unchanged.
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) throw_error_set();
  std::vector<int8_t> values;
  while (true) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) throw_error_set();
      break;
    }
    values.push_back(index_to_i8(item.get(), name));
  }
  return values;
}

void check_int64_vector(PyObject* object, const char* name) {
  if (!is_array_of(object, 1, NPY_INT64)) {
    set_array_type_error(object, "a one-dimensional numpy.ndarray of dtype int64");
    fail_argument(name);
  }
}

std::span<const int64_t> int64_elements(PyObject* object, std::vector<int64_t>& storage) {
  PyArrayObject* array = as_array(object);
  const auto size = static_cast<size_t>(PyArray_DIM(array, 0));
  const bool in_place = PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array);
  if (in_place && size != 0) return {reinterpret_cast<const int64_t*>(PyArray_DATA(array)), size};
  storage = copy_vector<int64_t>(object);
  return storage;
}

std::optional<std::vector<double>> to_optional_f64_vector(PyObject* object, const char* name) {
  if (object == Py_None) return std::nullopt;
  if (!is_array_of(object, 1, NPY_FLOAT64)) {
    set_array_type_error(object, "None or a one-dimensional numpy.ndarray of dtype float64");
    fail_argument(name);
  }
  return copy_vector<double>(object);
}

StridedVector<int64_t> int64_vector_view(PyObject* object, const char* name) {
  if (!is_array_of(object, 1, NPY_INT64)) {
    set_array_type_error(object, "a one-dimensional numpy.ndarray of dtype int64");
    fail_argument(name);
  }
  PyArrayObject* array = as_array(object);
  StridedVector<int64_t> view;
  view.base = reinterpret_cast<const std::byte*>(PyArray_DATA(array));
  view.size = static_cast<uint64_t>(PyArray_DIM(array, 0));
  view.stride = static_cast<int64_t>(PyArray_STRIDE(array, 0));
  return view;
}

StridedView<int64_t> int64_matrix_view(PyObject* object, const char* name) {
  if (!is_array_of(object, 2, NPY_INT64)) {
    set_array_type_error(object, "a two-dimensional numpy.ndarray of dtype int64");
    fail_argument(name);
  }
  return matrix_view<int64_t>(object);
}

ViewF64 f64_matrix_view(PyObject* object, const char* name) {
  if (!is_array_of(object, 2, NPY_FLOAT64)) {
    set_array_type_error(object, "a two-dimensional numpy.ndarray of dtype float64");
    fail_argument(name);
  }
  return matrix_view<double>(object);
}

FitInput classify_fit_input(PyObject* x) {
  FitInput input;
  if (is_array_of(x, 2, NPY_FLOAT64)) {
    input.kind = FitInput::Kind::DenseF64;
    input.f64 = matrix_view<double>(x);
  } else if (is_array_of(x, 2, NPY_FLOAT32)) {
    input.kind = FitInput::Kind::DenseF32;
    input.f32 = matrix_view<float>(x);
  } else {
    input.kind = FitInput::Kind::Other;
    input.convert_other = [x]() { return convert_sparse(x); };
  }
  return input;
}

OwnedMatrix convert_prediction_input(PyObject* x) {
  if (is_array_of(x, 2, NPY_FLOAT64)) return copy_dense(matrix_view<double>(x), nullptr);
  if (is_array_of(x, 2, NPY_FLOAT32)) return copy_dense(matrix_view<float>(x), nullptr);
  return convert_sparse(x);
}

OwnedMatrix convert_sparse(PyObject* x) {
  // Probe in this order; only a missing attribute means "not a matrix", any other failure
  // of the attribute access is the object's own and passes through.
  for (const char* attribute : {"indptr", "indices", "data", "shape"}) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(x, attribute));
    if (value) continue;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      throw ValidationError(msg::kNotAMatrix);
    }
    throw_error_set();
  }
  PyRef csr = call_method(x, "tocsr");
  // Canonicalises the CSR object in place (for a SciPy CSR input, the caller's matrix).
  PyRef summed = call_method(csr.get(), "sum_duplicates");
  PyRef sorted = call_method(csr.get(), "sort_indices");
  const auto [n_rows, n_features] = read_shape(csr.get());
  const std::vector<int64_t> indptr = astype_vector<int64_t>(csr.get(), "indptr", "int64", NPY_INT64);
  const std::vector<int64_t> indices =
      astype_vector<int64_t>(csr.get(), "indices", "int64", NPY_INT64);
  const std::vector<double> data = astype_vector<double>(csr.get(), "data", "float64", NPY_FLOAT64);
  return csr_from_arrays(indptr, indices, data, n_rows, n_features);
}

PyRef float_list(const double* values, size_t count) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) throw_error_set();
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) throw_error_set();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyRef float_list(const std::vector<double>& values) {
  return float_list(values.data(), values.size());
}

namespace {

PyObject* new_int(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* new_int(int64_t value) { return PyLong_FromLongLong(value); }

template <class T>
PyRef int_list_of(const std::vector<T>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) throw_error_set();
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = new_int(values[i]);
    if (item == nullptr) throw_error_set();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace

PyRef int_list(const std::vector<uint64_t>& values) { return int_list_of(values); }

PyRef int_list(const std::vector<int64_t>& values) { return int_list_of(values); }

PyRef float_rows(const std::vector<double>& values, uint64_t n_rows, uint64_t n_columns) {
  // A result of the wrong size would be read out of bounds: refuse it as a broken invariant.
  MORVEL_ASSERT(n_columns == 0 ? values.empty() : values.size() / n_columns == n_rows &&
                                                      values.size() % n_columns == 0,
                "result size does not match its shape");
  const GcPause gc_pause;
  PyRef rows = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n_rows)));
  if (!rows) throw_error_set();
  for (uint64_t r = 0; r < n_rows; ++r) {
    PyRef row = float_list(values.data() + r * n_columns, n_columns);
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), row.release());
  }
  return rows;
}

}  // namespace morvel::py
