// The parameters of `fit`, written once: both surfaces (NativeForest.fit and the package's
// own fit) bind, convert and describe them from this table, so a new option cannot reach
// one surface and not the other. The settings' names and order come from the engine's
// field list, their types and defaults from the settings struct itself; the type stubs are
// checked against the signatures built here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "morvel/api.h"
#include "morvel/settings.h"

namespace morvel::py {

// What converting the fit arguments produces besides x and y, which the driver reads itself.
struct FitArguments {
  FitSettings settings;
  std::optional<std::vector<double>> sample_weight;
};

struct FitParam {
  const char* name = nullptr;
  // The default as the text signature shows it; null for a required parameter.
  std::string (*default_text)() = nullptr;
  // Converts a given argument into `out`; null for x, which the driver converts after the
  // settings are validated.
  void (*convert)(PyObject* value, FitArguments& out) = nullptr;
};

// x, y, the required settings, sample_weight, then every other setting with its default, in
// the order of the signature. Conversion runs in this order, so the first failing parameter
// decides the error.
inline constexpr size_t kFitParamCount = kFitSettingCount + 3;
extern const std::array<FitParam, kFitParamCount> kFitParams;

enum FitParamIndex : size_t { kFitX = 0, kFitY = 1, kFitRequired = 2 + kRequiredFitSettings };

// The parameter names in table order, followed by `extra` (for a parser).
std::vector<const char*> fit_param_names(std::initializer_list<const char*> extra = {});

// "<head>x, y, ..., extra_trees_backend=\"exact\"<tail>)\n--\n\n" followed by `description`:
// a text signature docstring over the table.
std::string fit_docstring(const char* head, const char* tail, const char* description);

// Converts every given argument but x in parameter order; argv is bound over the table.
FitArguments convert_fit_arguments(PyObject* const* argv);

// One fit call: its converted arguments, x as classified and y as read, and the engine
// request over them, which points into this object (so it is neither copied nor moved).
struct FitCall {
  // Converts every argument but x, in parameter order.
  explicit FitCall(PyObject* const* argv) : arguments(convert_fit_arguments(argv)) {}
  FitCall(const FitCall&) = delete;
  FitCall& operator=(const FitCall&) = delete;

  // Classifies x and reads y into the request. Called only after every conversion that
  // could run the caller's code: from here to the end of the fit, Python code runs only
  // inside the sparse conversion, and that path keeps no view of the caller's buffers. The
  // labels are read in place (a contiguous array is not copied); the driver has read all of
  // them before any sparse conversion runs.
  FitRequest& bind(PyObject* const* argv);

  FitArguments arguments;
  FitInput input;
  std::vector<int64_t> y_storage;
  FitRequest request;
};

}  // namespace morvel::py
