// The parameters of `fit`, written once: both surfaces (NativeForest.fit and the package's
// own fit) bind, convert and describe them from this table, so a new option cannot reach
// one surface and not the other. The type stubs are checked against the signatures built here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "morvel/settings.h"

namespace morvel::py {

// What converting the fit arguments produces besides x and y, which the driver reads itself.
struct FitArguments {
  FitSettings settings;
  std::optional<std::vector<double>> sample_weight;
};

struct FitParam {
  const char* name;
  // The default as the text signature shows it; null for a required parameter.
  const char* default_text;
  // Converts a given argument into `out`; null for x, which the driver converts after the
  // settings are validated.
  void (*convert)(PyObject* value, FitArguments& out);
};

// x, y, the three required settings, then every option with its default, in the order of
// the signature. Conversion runs in this order, so the first failing parameter decides the error.
inline constexpr size_t kFitParamCount = 28;
extern const FitParam kFitParams[kFitParamCount];

enum FitParamIndex : size_t { kFitX = 0, kFitY = 1, kFitRequired = 5 };

// The parameter names in table order, followed by `extra` (for a parser).
std::vector<const char*> fit_param_names(std::initializer_list<const char*> extra = {});

// "<head>x, y, ..., extra_trees_backend=\"exact\"<tail>)\n--\n\n" followed by `description`:
// a text signature docstring over the table.
std::string fit_docstring(const char* head, const char* tail, const char* description);

// Converts every given argument but x in parameter order; argv is bound over the table.
FitArguments convert_fit_arguments(PyObject* const* argv);

}  // namespace morvel::py
