// The fit driver: plans the fit from its settings (fit_plan.h), reads x and the targets into
// training order, builds the training context through the context builder, trains the
// forest and assembles the fitted state. The order of the checks below
// decides which message a caller sees when several things are wrong, so each check sits at
// one fixed point of the sequence; do not merge or reorder them.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>

#include "binning/binning.h"
#include "driver/context_builder.h"
#include "driver/fit_plan.h"
#include "driver/phase_timer.h"
#include "forest/fit_loop.h"
#include "forest/memory_limits.h"
#include "morvel/api.h"
#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "data/training_context.h"
#include "model/hash.h"
#include "parallel/parallel.h"

namespace morvel {
namespace {

// Label, weight and growth-setting checks shared by every input path, at the point of the
// path's sequence where they belong; then the labels and weights go into the context.
void add_targets(ContextBuilder& builder, const FitSettings& s, std::vector<ClassIndex>&& labels,
                 std::vector<double>&& weights, bool check_class_count) {
  const TrainingContext& ctx = builder.context();
  if (labels.size() != ctx.n_rows) throw ValidationError(msg::kOneLabelPerRow);
  if (weights.size() != ctx.n_rows) throw ValidationError(msg::kWeightPerRow);
  const double w_total = validate_weights(weights);
  if (check_class_count && ctx.n_classes == 0) throw ValidationError(msg::kNoClassRequired);
  if (!finite_non_negative(s.min_leaf_weight)) throw ValidationError(msg::kMinLeafWeight);
  if (s.min_samples_split < 2 || s.min_samples_leaf == 0) throw ValidationError(msg::kMinSampleControl);
  if (!finite_non_negative(s.min_impurity_decrease)) throw ValidationError(msg::kMinImpurityDecrease);
  for (const ClassIndex label : labels)
    if (label >= ctx.n_classes) throw ValidationError(msg::kLabelsEncoded);
  builder.targets(std::move(labels), std::move(weights), w_total);
}

// Shape checks of the direct paths that bin a view.
void check_view_shape(uint64_t n_rows, uint64_t n_features) {
  if (n_rows == 0) throw ValidationError(msg::kNoRows);
  if (n_features == 0) throw ValidationError(msg::kNoFeatures);
  uint64_t cells = 0;
  if (__builtin_mul_overflow(n_rows, n_features, &cells)) throw ValidationError(msg::kShapeTooLarge);
}

bool any_nan(std::span<const double> values) {
  for (const double v : values)
    if (std::isnan(v)) return true;
  return false;
}

void hash_setting(Fnv64& h, uint64_t v) { h.u64(v); }
void hash_setting(Fnv64& h, bool v) { h.u64(v); }
void hash_setting(Fnv64& h, double v) { h.f64(v); }
void hash_setting(Fnv64& h, const std::string& v) { h.str(v); }
void hash_setting(Fnv64& h, const std::optional<uint64_t>& v) {
  h.u64(v.has_value());
  h.u64(v.value_or(0));
}
void hash_setting(Fnv64& h, const std::optional<std::vector<int8_t>>& v) {
  h.u64(v.has_value());
  if (!v) return;
  h.u64(v->size());
  for (const int8_t c : *v) h.u64(static_cast<uint64_t>(static_cast<int64_t>(c)));
}

// What partial fits of one forest share: every setting that can change a tree (all but
// n_jobs and the tree range), the input kind, and the labels and weights in training order.
// The training order and bin edges are compared separately when parts are merged. Saved
// models carry the digest, so its terms and their order are part of the model format.
uint64_t fit_digest(const FitSettings& s, FitInput::Kind kind, const TrainingContext& ctx) {
  Fnv64 h;
  h.str("morvel fit settings 1");
  for_each_fit_setting([&](const auto& field) {
    if (field.shapes_trees) hash_setting(h, s.*field.member);
  });
  h.u64(static_cast<uint64_t>(kind));
  h.u64(ctx.n_rows);
  h.u64(ctx.n_features);
  h.u64(ctx.n_classes);
  for (const ClassIndex label : ctx.labels) h.u64(label);
  h.u64(ctx.unit_weights);
  if (!ctx.unit_weights) {
    for (const double w : ctx.weights) h.f64(w);
  }
  return h.value();
}

// x as the input plan reads it: the caller's buffer (direct paths) or one owned copy (dense
// rows gathered through the canonical order, with their feature-major twin when the plan
// reads one, or CSR), and its shape.
struct InputValues {
  std::optional<OwnedMatrix> owned;
  UninitVector<double> feature_major;  // beside an owned dense copy, when the plan asks for it
  bool values_checked = false;         // the dense copy refused infinities and noted NaN
  bool has_missing = false;            // ... in has_missing
  uint64_t n_rows = 0;
  uint64_t n_features = 0;
};

// The canonical order of a dense float input; none for other input.
std::optional<std::vector<RowIndex>> canonical_order(const FitRequest& request) {
  const FitInput& x = *request.x;
  std::span<const double> weights;
  if (request.sample_weight != nullptr) weights = *request.sample_weight;
  if (x.kind == FitInput::Kind::DenseF64) return build_training_order(x.f64, request.y, weights);
  if (x.kind == FitInput::Kind::DenseF32) return build_training_order(x.f32, request.y, weights);
  return std::nullopt;
}

InputValues read_input(const FitPlan& plan, const FitInput& x, const std::vector<RowIndex>* order) {
  InputValues in;
  if (plan.input.direct) {
    const bool f32 = x.kind == FitInput::Kind::DenseF32;
    in.n_rows = f32 ? x.f32.n_rows : x.f64.n_rows;
    in.n_features = f32 ? x.f32.n_features : x.f64.n_features;
    return in;
  }
  auto copy = [&](const auto& view) {
    MORVEL_ASSERT(order != nullptr, "dense input has its canonical order");
    TrainingValues values = copy_training_values(view, *order, plan.context.n_jobs, plan.context.feature_major_values);
    in.owned = std::move(values.rows);
    in.feature_major = std::move(values.columns);
    in.has_missing = values.has_missing;
    in.values_checked = true;
  };
  if (x.kind == FitInput::Kind::DenseF32) {
    copy(x.f32);
  } else if (x.kind == FitInput::Kind::DenseF64) {
    copy(x.f64);
  } else if (x.convert_other) {
    in.owned = x.convert_other();
  }
  MORVEL_ASSERT(in.owned.has_value(), "non-histogram input owns its matrix");
  std::visit(
      [&](const auto& m) {
        in.n_rows = m.n_rows;
        in.n_features = m.n_features;
      },
      *in.owned);
  return in;
}

// The training order: the canonical one, or without it the identity. The identity's length
// is the matrix row count by construction, so only the labels can disagree (checked before
// the identity is built, as a sparse shape is not yet validated).
std::vector<RowIndex> training_order(std::optional<std::vector<RowIndex>>&& canonical, uint64_t n_labels,
                                     uint64_t n_rows) {
  if ((canonical && canonical->size() != n_rows) || n_labels != n_rows) throw ValidationError(msg::kRowCountMismatch);
  if (canonical) return std::move(*canonical);
  check_fit_rows(n_rows);
  std::vector<RowIndex> order(n_rows);
  for (uint64_t r = 0; r < n_rows; ++r) order[r] = static_cast<RowIndex>(r);
  return order;
}

// Labels and weights in training order, and the class count.
struct Targets {
  std::vector<ClassIndex> labels;
  std::vector<double> weights;
  uint64_t n_classes = 0;
};

Targets permute_targets(std::vector<ClassIndex>&& caller_labels, const std::vector<double>* sample_weight,
                        const std::vector<RowIndex>& order) {
  const uint64_t n_rows = order.size();
  Targets t;
  t.labels.resize(n_rows);
  for (uint64_t i = 0; i < n_rows; ++i) t.labels[i] = caller_labels[order[i]];
  std::vector<ClassIndex>().swap(caller_labels);  // a fit holds one copy of the labels
  if (sample_weight == nullptr) {
    t.weights.assign(n_rows, 1.0);
  } else {
    if (sample_weight->size() != n_rows) throw ValidationError(msg::kWeightLength);
    t.weights.resize(n_rows);
    for (uint64_t i = 0; i < n_rows; ++i) t.weights[i] = (*sample_weight)[order[i]];
  }
  for (const ClassIndex label : t.labels) t.n_classes = std::max<uint64_t>(t.n_classes, uint64_t{label} + 1);
  if (t.labels.empty()) throw ValidationError(msg::kNoClass);
  return t;
}

// The direct paths: the caller's dense buffer, binned or copied feature-major through the order.
void prepare_direct(ContextBuilder& builder, const FitPlan& plan, const FitSettings& s, const FitInput& x,
                    std::vector<RowIndex>&& order, Targets&& t) {
  const uint64_t n_rows = builder.context().n_rows;
  const uint64_t n_features = builder.context().n_features;
  const bool f32 = x.kind == FitInput::Kind::DenseF32;
  // The context holds the order for the fit; it comes back as the forest's training order.
  if (f32) {
    builder.view(x.f32, std::move(order));
  } else {
    builder.view(x.f64, std::move(order));
  }
  const std::vector<RowIndex>& view_order = builder.context().order;
  if (plan.binning.enabled) {
    check_view_shape(n_rows, n_features);
    add_targets(builder, s, std::move(t.labels), std::move(t.weights), true);
    builder.bins(f32 ? bin_view(x.f32, view_order, plan.binning.options)
                     : bin_view(x.f64, view_order, plan.binning.options));
  } else {
    const bool has_missing = builder.feature_major_from_view(plan.context.n_jobs);
    add_targets(builder, s, std::move(t.labels), std::move(t.weights), true);
    builder.raw_values(has_missing);
  }
}

// The general paths: one owned dense or CSR copy, validated, then binned or read raw.
void prepare_owned(ContextBuilder& builder, const FitPlan& plan, const FitSettings& s, InputValues& in,
                   Targets&& t) {
  if (DenseMatrix* dense = std::get_if<DenseMatrix>(&*in.owned)) {
    // A copy of dense input refused infinities and noted NaN as it was made: no second scan.
    if (in.values_checked) {
      validate_dense_shape(*dense);
    } else {
      validate_dense(*dense);
    }
    builder.own_dense(std::move(*dense), std::move(in.feature_major));
    add_targets(builder, s, std::move(t.labels), std::move(t.weights), true);
    const DenseMatrix& values = builder.context().dense;
    if (plan.binning.enabled) {
      builder.bins(bin_dense(values, plan.binning.options));
    } else {
      builder.raw_values(in.values_checked ? in.has_missing : any_nan(values.values));
    }
    return;
  }
  CsrMatrix& csr = std::get<CsrMatrix>(*in.owned);
  validate_csr(csr);
  builder.own_csr(std::move(csr));
  add_targets(builder, s, std::move(t.labels), std::move(t.weights), false);
  // The width is only claimed by the shape; the per-feature tables below are sized by it.
  check_feature_tables_fit(builder.context().n_features);
  const CsrMatrix& values = builder.context().csr;
  const bool has_missing = any_nan(values.data);
  if (plan.binning.enabled) {
    builder.csr_edges(csr_edges(values, plan.binning.options), has_missing);
  } else {
    builder.raw_values(has_missing);
  }
}

void check_monotonic(const FitSettings& s, uint64_t n_features, uint64_t n_classes) {
  if (!s.monotonic_cst) return;
  const std::vector<int8_t>& cst = *s.monotonic_cst;
  bool valid = cst.size() == n_features;
  for (const int8_t c : cst) valid = valid && (c == -1 || c == 0 || c == 1);
  if (!valid) throw ValidationError(msg::kMonotonicValues);
  if (n_classes != 2) throw ValidationError(msg::kMonotonicBinary);
}

void record_counters(const ProfileCounters& c, ProfileMap& profile) {
  auto seconds = [](const std::atomic<uint64_t>& ns) { return static_cast<double>(ns.load()) / 1e9; };
  auto count = [](const std::atomic<uint64_t>& n) { return static_cast<double>(n.load()); };
  profile["split_search_seconds"] = seconds(c.split_search_ns);
  profile["bootstrap_seconds"] = seconds(c.bootstrap_ns);
  profile["partition_seconds"] = seconds(c.partition_ns);
  profile["feature_visits"] = count(c.feature_visits);
  profile["sample_visits"] = count(c.sample_visits);
  profile["rejected_candidates"] = count(c.rejected_candidates);
  profile["feature_buffer_peak_bytes_per_worker"] = count(c.feature_buffer_peak);
  profile["bin_layout_conversion_seconds"] = seconds(c.bin_layout_conversion_ns);
}

// Everything up to the finished context: training order, input, targets and the per-path
// data preparation, each check at its fixed point. Fills `order` for the owned paths (the
// direct paths keep theirs in the context).
TrainingContext prepare_context(const FitRequest& request, const FitPlan& plan, bool profiling,
                                std::vector<RowIndex>& order, ProfileMap& profile, PhaseTimer& phase) {
  const FitSettings& s = *request.settings;
  const FitInput& x = *request.x;
  std::vector<ClassIndex> caller_labels = convert_labels(request.y);

  phase.restart();
  std::optional<std::vector<RowIndex>> canonical = canonical_order(request);
  phase.record(profile, "canonical_sort_seconds");
  phase.restart();

  InputValues in = read_input(plan, x, canonical ? &*canonical : nullptr);
  order = training_order(std::move(canonical), caller_labels.size(), in.n_rows);
  if (plan.forest.max_features == 0 || plan.forest.max_features > in.n_features)
    throw ValidationError(msg::kMaxFeatures);
  Targets targets = permute_targets(std::move(caller_labels), request.sample_weight, order);
  if (!plan.criterion) throw ValidationError(msg::kCriterion);

  parallel::release_free_memory();  // the canonical sort's buffers, before the bins are made

  const uint64_t n_classes = targets.n_classes;
  ContextBuilder builder(in.n_rows, in.n_features, n_classes);
  if (plan.input.direct) {
    prepare_direct(builder, plan, s, x, std::move(order), std::move(targets));
  } else {
    prepare_owned(builder, plan, s, in, std::move(targets));
  }
  in.owned.reset();
  check_monotonic(s, in.n_features, n_classes);

  ContextPlan layout = plan.context;
  layout.growth.criterion = *plan.criterion;
  layout.growth.threads_per_tree = histogram_threads_per_tree(plan, in.n_rows, in.n_features);
  return std::move(builder).finish(layout, profiling);
}

}  // namespace

FitOutcome run_fit(const FitRequest& request, ProfileMap& profile) {
  MORVEL_ASSERT(request.settings != nullptr && request.x != nullptr, "fit request is incomplete");
  profile.clear();
  // Looked up on every call: the switch is whether the variable exists, not its value.
  const bool profiling = std::getenv("MORVEL_PROFILE_FIT") != nullptr;
  const PhaseTimer fit_timer(profiling);

  const FitPlan plan = plan_fit(*request.settings, request.x->kind, request.tree_begin, request.tree_end);
  PhaseTimer phase(profiling);
  std::vector<RowIndex> order;
  TrainingContext ctx = prepare_context(request, plan, profiling, order, profile, phase);
  parallel::release_free_memory();
  phase.record(profile, "data_preparation_seconds");
  phase.restart();

  FitOutcome outcome;
  try {
    outcome.forest.result = fit_forest(ctx, plan.forest, plan.tree_workers);
  } catch (const std::length_error&) {
    // A container asked for more elements than it can address: memory exhaustion.
    throw std::bad_alloc();
  }
  phase.record(profile, "tree_build_seconds");
  if (profiling) record_counters(*ctx.profile, profile);
  fit_timer.record(profile, "native_fit_seconds");

  FittedForest& forest = outcome.forest;
  if (ctx.binned) {
    forest.edges = std::move(ctx.binned->edges);
  } else if (ctx.csr_edges) {
    forest.edges = std::move(*ctx.csr_edges);
  }
  set_fitted_shape(forest, ctx, plan.forest);
  forest.settings_digest = fit_digest(*request.settings, request.x->kind, ctx);
  outcome.training_order = plan.input.direct ? std::move(ctx.order) : std::move(order);
  return outcome;
}

}  // namespace morvel
