// The one keyword parser of the binding, for METH_FASTCALL | METH_KEYWORDS wrappers.
// Keyword names are interned once; a keyword is matched by identity first (the usual case:
// the caller's literal keyword is interned too), then by string equality. The TypeError
// texts follow CPython's own argument parser.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <vector>

namespace morvel::py {

class ArgParser {
 public:
  // `function` is the name used in messages ("fit"); the first `n_required` parameters
  // must be given.
  ArgParser(const char* function, std::initializer_list<const char*> names, size_t n_required);
  ArgParser(const char* function, std::vector<const char*> names, size_t n_required);

  size_t size() const { return names_.size(); }

  // Binds positional and keyword arguments to the parameters: out[i] is a borrowed
  // reference to parameter i, or null when it was not given. `out` has size() entries.
  // Returns false with a TypeError set when the call does not fit the signature.
  bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

 private:
  bool intern_names();

  const char* function_;
  std::vector<const char*> names_;
  size_t n_required_;
  std::vector<PyObject*> interned_;  // owned for the life of the process
};

}  // namespace morvel::py
