// Fast-call argument binding with CPython's error wording.
#include "args.h"

#include <utility>

namespace morvel::py {

ArgParser::ArgParser(const char* function, std::initializer_list<const char*> names,
                     size_t n_required)
    : function_(function), names_(names), n_required_(n_required) {}

ArgParser::ArgParser(const char* function, std::vector<const char*> names, size_t n_required)
    : function_(function), names_(std::move(names)), n_required_(n_required) {}

bool ArgParser::intern_names() {
  if (!interned_.empty()) return true;
  std::vector<PyObject*> interned;
  interned.reserve(names_.size());
  for (const char* name : names_) {
    PyObject* text = PyUnicode_InternFromString(name);
    if (text == nullptr) {
      for (PyObject* done : interned) Py_DECREF(done);
      return false;
    }
    interned.push_back(text);
  }
  interned_ = std::move(interned);
  return true;
}

bool ArgParser::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  if (!intern_names()) return false;
  const auto n_params = static_cast<Py_ssize_t>(names_.size());
  for (Py_ssize_t i = 0; i < n_params; ++i) out[i] = nullptr;

  if (nargs > n_params) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %s %zd positional argument%s (%zd given)",
                 function_, static_cast<Py_ssize_t>(n_required_) < n_params ? "at most" : "exactly",
                 n_params, n_params == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return false;
    }
    Py_ssize_t match = -1;
    for (Py_ssize_t i = 0; i < n_params; ++i) {
      if (interned_[static_cast<size_t>(i)] == keyword) {
        match = i;
        break;
      }
    }
    if (match < 0) {
      for (Py_ssize_t i = 0; i < n_params; ++i) {
        const int equal =
            PyUnicode_Compare(interned_[static_cast<size_t>(i)], keyword) == 0 ? 1 : 0;
        if (PyErr_Occurred()) return false;
        if (equal) {
          match = i;
          break;
        }
      }
    }
    if (match < 0) {
      PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %.200s()", keyword,
                   function_);
      return false;
    }
    if (match < nargs) {
      PyErr_Format(PyExc_TypeError,
                   "argument for %.200s() given by name ('%s') and position (%zd)", function_,
                   names_[static_cast<size_t>(match)], match + 1);
      return false;
    }
    if (out[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for argument '%s'", function_,
                   names_[static_cast<size_t>(match)]);
      return false;
    }
    out[match] = args[nargs + k];
  }

  for (size_t i = 0; i < n_required_; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zu)", function_,
                   names_[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace morvel::py
