// The fit parameter table and the conversions both fit surfaces share.
#include "fit_params.h"

#include <charconv>
#include <utility>

#include "convert.h"

namespace morvel::py {
namespace {

// ---- one conversion and one default text per setting type --------------------------------

void from_python(PyObject* a, const char* name, uint64_t& out) { out = to_u64(a, name); }
void from_python(PyObject* a, const char* name, double& out) { out = to_f64(a, name); }
void from_python(PyObject* a, const char* name, bool& out) { out = to_flag(a, name); }
void from_python(PyObject* a, const char* name, std::string& out) { out = to_str(a, name); }
void from_python(PyObject* a, const char* name, std::optional<uint64_t>& out) { out = to_optional_u64(a, name); }
void from_python(PyObject* a, const char* name, std::optional<std::vector<int8_t>>& out) {
  out = to_monotonic_cst(a, name);
}

std::string python_text(uint64_t v) { return std::to_string(v); }
std::string python_text(bool v) { return v ? "True" : "False"; }
std::string python_text(const std::string& v) { return '"' + v + '"'; }
// As Python's repr: the shortest round trip, with ".0" on a whole number.
std::string python_text(double v) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof(buffer), v).ptr;
  std::string text(buffer, end);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}
std::string python_text(const std::vector<int8_t>& v) {
  std::string text = "[";
  for (size_t i = 0; i < v.size(); ++i) text += (i > 0 ? ", " : "") + std::to_string(v[i]);
  return text + "]";
}
template <class T>
std::string python_text(const std::optional<T>& v) {
  return v ? python_text(*v) : "None";
}

// max_leaves keeps "no limit" as a number the growth loop compares with; to Python it is None.
template <class T>
constexpr bool none_means_no_leaf_limit(T FitSettings::*member) {
  if constexpr (std::is_same_v<T, uint64_t>) {
    return member == &FitSettings::max_leaves;
  } else {
    return false;
  }
}

template <size_t I>
void convert_setting(PyObject* a, FitArguments& out) {
  constexpr auto field = std::get<I>(kFitSettingFields);
  if constexpr (none_means_no_leaf_limit(field.member)) {
    out.settings.*field.member = to_optional_u64(a, field.name).value_or(kNoLeafLimit);
  } else {
    from_python(a, field.name, out.settings.*field.member);
  }
}

template <size_t I>
std::string setting_default() {
  constexpr auto field = std::get<I>(kFitSettingFields);
  const FitSettings defaults;
  const auto& value = defaults.*field.member;
  if constexpr (none_means_no_leaf_limit(field.member)) {
    if (value == kNoLeafLimit) return "None";
  }
  return python_text(value);
}

template <size_t... I>
constexpr std::array<FitParam, kFitSettingCount> setting_params(std::index_sequence<I...>) {
  return {FitParam{std::get<I>(kFitSettingFields).name, I < kRequiredFitSettings ? nullptr : &setting_default<I>,
                   &convert_setting<I>}...};
}

std::string none_text() { return "None"; }

constexpr std::array<FitParam, kFitParamCount> build_table() {
  constexpr std::array<FitParam, kFitSettingCount> settings =
      setting_params(std::make_index_sequence<kFitSettingCount>{});
  std::array<FitParam, kFitParamCount> table{};
  size_t k = 0;
  table[k++] = FitParam{"x", nullptr, nullptr};
  table[k++] = FitParam{"y", nullptr, [](PyObject* a, FitArguments&) { check_int64_vector(a, "y"); }};
  for (size_t i = 0; i < kFitSettingCount; ++i) {
    if (i == kRequiredFitSettings) {
      table[k++] = FitParam{"sample_weight", &none_text, [](PyObject* a, FitArguments& o) {
                              o.sample_weight = to_optional_f64_vector(a, "sample_weight");
                            }};
    }
    table[k++] = settings[i];
  }
  return table;
}

}  // namespace

// Constant-initialised, so the parsers and docstrings built from it during other files'
// static initialisation see it complete.
constinit const std::array<FitParam, kFitParamCount> kFitParams = build_table();

std::vector<const char*> fit_param_names(std::initializer_list<const char*> extra) {
  std::vector<const char*> names;
  names.reserve(kFitParamCount + extra.size());
  for (const FitParam& param : kFitParams) names.push_back(param.name);
  names.insert(names.end(), extra.begin(), extra.end());
  return names;
}

std::string fit_docstring(const char* head, const char* tail, const char* description) {
  std::string text = head;
  for (size_t i = 0; i < kFitParamCount; ++i) {
    if (i > 0) text += ", ";
    text += kFitParams[i].name;
    if (kFitParams[i].default_text != nullptr) {
      text += '=';
      text += kFitParams[i].default_text();
    }
  }
  text += tail;
  text += ")\n--\n\n";
  text += description;
  return text;
}

FitArguments convert_fit_arguments(PyObject* const* argv) {
  FitArguments out;
  for (size_t i = 0; i < kFitParamCount; ++i) {
    if (argv[i] != nullptr && kFitParams[i].convert != nullptr) kFitParams[i].convert(argv[i], out);
  }
  return out;
}

FitRequest& FitCall::bind(PyObject* const* argv) {
  input = classify_fit_input(argv[kFitX]);
  request.settings = &arguments.settings;
  request.x = &input;
  request.y = int64_elements(argv[kFitY], y_storage);
  request.sample_weight = arguments.sample_weight ? &*arguments.sample_weight : nullptr;
  return request;
}

}  // namespace morvel::py
