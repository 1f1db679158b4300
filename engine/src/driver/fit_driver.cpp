// The fit driver: validates the settings, builds the training order and the training
// context, trains the forest and assembles the fitted state. The order of the checks below
// decides which message a caller sees when several things are wrong, so each check sits at
// one fixed point of the sequence; do not merge or reorder them.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "binning/binning.h"
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

using Clock = std::chrono::steady_clock;

// A driver timer: reads the clock only when profiling is on.
class PhaseTimer {
 public:
  explicit PhaseTimer(bool enabled) : enabled_(enabled) {
    if (enabled_) start_ = Clock::now();
  }
  void restart() {
    if (enabled_) start_ = Clock::now();
  }
  // Whole seconds + nanoseconds / 1e9, inserted under `key`.
  void record(ProfileMap& profile, const char* key) const {
    if (!enabled_) return;
    const uint64_t ns = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_).count());
    const double seconds = static_cast<double>(ns / 1000000000u) + static_cast<double>(ns % 1000000000u) / 1e9;
    profile[key] = seconds;
  }

 private:
  bool enabled_;
  Clock::time_point start_{};
};

bool finite_non_negative(double v) { return std::isfinite(v) && v >= 0.0; }

std::optional<BinningStrategy> parse_strategy(const std::string& name) {
  if (name == "exact_sort") return BinningStrategy::ExactSort;
  if (name == "sampled_sort") return BinningStrategy::SampledSort;
  if (name == "exact_select") return BinningStrategy::ExactSelect;
  if (name == "sampled_select") return BinningStrategy::SampledSelect;
  return std::nullopt;
}

std::optional<ExtraTreesBackend> parse_backend(const std::string& name) {
  if (name == "exact") return ExtraTreesBackend::Exact;
  if (name == "binned") return ExtraTreesBackend::Binned;
  return std::nullopt;
}

std::optional<Criterion> parse_criterion(const std::string& name) {
  if (name == "gini") return Criterion::Gini;
  if (name == "entropy" || name == "log_loss") return Criterion::Entropy;
  return std::nullopt;
}

bool is_dense_float(const FitInput& x) {
  return x.kind == FitInput::Kind::DenseF32 || x.kind == FitInput::Kind::DenseF64;
}

// The settings that can be judged before x is looked at.
void check_settings(const FitSettings& s, const FitInput& x) {
  if (s.n_estimators == 0) throw ValidationError(msg::kNEstimators);
  if (!finite_non_negative(s.ccp_alpha)) throw ValidationError(msg::kCcpAlpha);
  if (!parse_strategy(s.binning_strategy)) throw ValidationError(msg::kBinningStrategy);
  if (s.bin_sample_size == 0) throw ValidationError(msg::kBinSampleSize);
  if (s.max_bins && (*s.max_bins < 2 || *s.max_bins > 255)) throw ValidationError(msg::kMaxBins);
  const std::optional<ExtraTreesBackend> backend = parse_backend(s.extra_trees_backend);
  if (!backend) throw ValidationError(msg::kBackend);
  if (*backend == ExtraTreesBackend::Binned) {
    if (!s.extra_trees || !s.max_bins) throw ValidationError(msg::kBinnedNeedsExtra);
    if (!is_dense_float(x)) throw ValidationError(msg::kBinnedDenseOnly);
  } else if (s.extra_trees && s.max_bins) {
    throw ValidationError(msg::kExactNoBins);
  }
  // No draws would leave every tree a single empty leaf: a forest that predicts nothing
  // from its data. Checked last, so that every earlier message keeps its precedence.
  if (s.max_samples && *s.max_samples == 0) throw ValidationError(msg::kMaxSamples);
}

void check_max_bins_range(const FitSettings& s) {
  if (s.max_bins && (*s.max_bins < 2 || *s.max_bins > 255)) throw ValidationError(msg::kMaxBinsRange);
}

// Label, weight and growth-setting checks shared by every input path; fills the context's
// labels, weights and W_total.
void prepare_targets(TrainingContext& ctx, const FitSettings& s, std::vector<ClassIndex>&& labels,
                     std::vector<double>&& weights, bool check_class_count) {
  if (labels.size() != ctx.n_rows) throw ValidationError(msg::kOneLabelPerRow);
  if (weights.size() != ctx.n_rows) throw ValidationError(msg::kWeightPerRow);
  const double w_total = validate_weights(weights);
  if (check_class_count && ctx.n_classes == 0) throw ValidationError(msg::kNoClassRequired);
  if (!finite_non_negative(s.min_leaf_weight)) throw ValidationError(msg::kMinLeafWeight);
  if (s.min_samples_split < 2 || s.min_samples_leaf == 0) throw ValidationError(msg::kMinSampleControl);
  if (!finite_non_negative(s.min_impurity_decrease)) throw ValidationError(msg::kMinImpurityDecrease);
  for (const ClassIndex label : labels)
    if (label >= ctx.n_classes) throw ValidationError(msg::kLabelsEncoded);
  ctx.labels = std::move(labels);
  ctx.weights = std::move(weights);
  ctx.w_total = w_total;
  ctx.has_weights = true;
  ctx.unit_weights = std::all_of(ctx.weights.begin(), ctx.weights.end(), [](double w) { return w == 1.0; });
}

// Shape checks of the direct paths that bin a view.
void check_view_shape(uint64_t n_rows, uint64_t n_features) {
  if (n_rows == 0) throw ValidationError(msg::kNoRows);
  if (n_features == 0) throw ValidationError(msg::kNoFeatures);
  uint64_t cells = 0;
  if (__builtin_mul_overflow(n_rows, n_features, &cells)) throw ValidationError(msg::kShapeTooLarge);
}

std::vector<uint64_t> all_features(uint64_t n_features) {
  std::vector<uint64_t> out(n_features);
  for (uint64_t f = 0; f < n_features; ++f) out[f] = f;
  return out;
}

bool any_nan(const std::vector<double>& values) {
  for (const double v : values)
    if (std::isnan(v)) return true;
  return false;
}

// What partial fits of one forest share: every setting that can change a tree (all but
// n_jobs and the tree range), the input kind, and the labels and weights in training order.
// The training order and bin edges are compared separately when parts are merged.
uint64_t fit_digest(const FitSettings& s, FitInput::Kind kind, const TrainingContext& ctx) {
  Fnv64 h;
  h.str("morvel fit settings 1");
  h.u64(s.n_estimators);
  h.u64(s.max_features);
  h.u64(s.random_state);
  h.f64(s.min_leaf_weight);
  h.str(s.criterion);
  h.u64(s.max_depth);
  h.u64(s.max_leaves);
  h.u64(s.min_samples_split);
  h.u64(s.min_samples_leaf);
  h.f64(s.min_impurity_decrease);
  h.u64(s.bootstrap);
  h.u64(s.max_samples.has_value());
  h.u64(s.max_samples.value_or(0));
  h.u64(s.oob);
  h.u64(s.permutation_importance);
  h.u64(s.max_bins.has_value());
  h.u64(s.max_bins.value_or(0));
  h.u64(s.balanced_subsample);
  h.f64(s.ccp_alpha);
  h.u64(s.monotonic_cst.has_value());
  if (s.monotonic_cst) {
    h.u64(s.monotonic_cst->size());
    for (const int8_t c : *s.monotonic_cst) h.u64(static_cast<uint64_t>(static_cast<int64_t>(c)));
  }
  h.str(s.binning_strategy);
  h.u64(s.bin_sample_size);
  h.u64(s.binning_seed);
  h.u64(s.extra_trees);
  h.u64(s.extra_seed);
  h.str(s.extra_trees_backend);
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

}  // namespace

FitOutcome run_fit(const FitRequest& request, ProfileMap& profile) {
  MORVEL_ASSERT(request.settings != nullptr && request.x != nullptr, "fit request is incomplete");
  const FitSettings& s = *request.settings;
  const FitInput& x = *request.x;

  profile.clear();
  // Looked up on every call: the switch is whether the variable exists, not its value.
  const bool profiling = std::getenv("MORVEL_PROFILE_FIT") != nullptr;
  const PhaseTimer fit_timer(profiling);

  check_settings(s, x);
  const uint64_t tree_end = request.tree_end == UINT64_MAX ? s.n_estimators : request.tree_end;
  if (!(request.tree_begin < tree_end && tree_end <= s.n_estimators))
    throw ValidationError("tree_range must satisfy 0 <= start < stop <= n_estimators");
  std::vector<ClassIndex> caller_labels = convert_labels(request.y);

  PhaseTimer phase(profiling);
  std::optional<std::vector<RowIndex>> canonical;
  std::span<const double> order_weights;
  if (request.sample_weight != nullptr) order_weights = *request.sample_weight;
  if (x.kind == FitInput::Kind::DenseF64) {
    canonical = build_training_order(x.f64, request.y, order_weights);
  } else if (x.kind == FitInput::Kind::DenseF32) {
    canonical = build_training_order(x.f32, request.y, order_weights);
  }
  phase.record(profile, "canonical_sort_seconds");
  phase.restart();

  // Input path. Direct paths read the caller's buffer through the order; the general
  // converter makes one owned copy (dense rows gathered through the order, or CSR).
  const bool use_bins = s.max_bins.has_value();
  const bool direct_f32 = x.kind == FitInput::Kind::DenseF32 && (use_bins || s.extra_trees);
  const bool direct_f64 = !direct_f32 && x.kind == FitInput::Kind::DenseF64 && use_bins;
  std::optional<OwnedMatrix> owned;
  uint64_t n_rows = 0;
  uint64_t n_features = 0;
  if (direct_f32) {
    n_rows = x.f32.n_rows;
    n_features = x.f32.n_features;
  } else if (direct_f64) {
    MORVEL_ASSERT(use_bins, "direct f64 path requires histogram bins");
    n_rows = x.f64.n_rows;
    n_features = x.f64.n_features;
  } else {
    const std::vector<RowIndex>* order = canonical ? &*canonical : nullptr;
    if (x.kind == FitInput::Kind::DenseF32) {
      owned = copy_dense(x.f32, order);
    } else if (x.kind == FitInput::Kind::DenseF64) {
      owned = copy_dense(x.f64, order);
    } else if (x.convert_other) {
      owned = x.convert_other();
    }
    MORVEL_ASSERT(owned.has_value(), "non-histogram input owns its matrix");
    std::visit(
        [&](const auto& m) {
          n_rows = m.n_rows;
          n_features = m.n_features;
        },
        *owned);
  }

  // Without a canonical order the identity is used; its length is the matrix row count by
  // construction, so only the labels can disagree (checked before the identity is built, as
  // a sparse shape is not yet validated).
  if ((canonical && canonical->size() != n_rows) || caller_labels.size() != n_rows)
    throw ValidationError(msg::kRowCountMismatch);
  std::vector<RowIndex> order;
  if (canonical) {
    order = std::move(*canonical);
  } else {
    check_fit_rows(n_rows);
    order.resize(n_rows);
    for (uint64_t r = 0; r < n_rows; ++r) order[r] = static_cast<RowIndex>(r);
  }

  if (s.max_features == 0 || s.max_features > n_features) throw ValidationError(msg::kMaxFeatures);

  std::vector<ClassIndex> labels(n_rows);
  for (uint64_t i = 0; i < n_rows; ++i) labels[i] = caller_labels[order[i]];
  std::vector<ClassIndex>().swap(caller_labels);  // a fit holds one copy of the labels
  std::vector<double> weights;
  if (request.sample_weight == nullptr) {
    weights.assign(n_rows, 1.0);
  } else {
    if (request.sample_weight->size() != n_rows) throw ValidationError(msg::kWeightLength);
    weights.resize(n_rows);
    for (uint64_t i = 0; i < n_rows; ++i) weights[i] = (*request.sample_weight)[order[i]];
  }

  uint64_t n_classes = 0;
  for (const ClassIndex label : labels) n_classes = std::max<uint64_t>(n_classes, uint64_t{label} + 1);
  if (labels.empty()) throw ValidationError(msg::kNoClass);

  const std::optional<Criterion> criterion = parse_criterion(s.criterion);
  if (!criterion) throw ValidationError(msg::kCriterion);

  parallel::release_free_memory();  // the canonical sort's buffers, before the bins are made

  // Data preparation, per path; each path validates its matrix at its own point.
  const uint64_t n_jobs = std::max<uint64_t>(s.n_jobs, 1);
  BinningOptions binning;
  binning.max_bins = s.max_bins.value_or(255);
  binning.strategy = *parse_strategy(s.binning_strategy);
  binning.bin_sample_size = s.bin_sample_size;
  binning.binning_seed = s.binning_seed;
  binning.n_jobs = n_jobs;
  // Histogram growth and the binned extra-trees searches read one feature of a node's rows
  // at a time, so the bytes are laid out feature-major from the start (the binning pass
  // writes them column by column anyway); small nodes get a row-major copy below.
  binning.feature_major = use_bins;

  TrainingContext ctx;
  ctx.n_rows = n_rows;
  ctx.n_features = n_features;
  ctx.n_classes = n_classes;

  if (direct_f32 || direct_f64) {
    // The context holds the order for the fit; it comes back as the forest's training order.
    ctx.order = std::move(order);
    if (direct_f32) {
      ctx.form = ValueForm::ViewF32;
      ctx.view_f32 = x.f32;
    } else {
      ctx.form = ValueForm::ViewF64;
      ctx.view_f64 = x.f64;
    }
    if (use_bins) {
      check_view_shape(n_rows, n_features);
      check_max_bins_range(s);
      prepare_targets(ctx, s, std::move(labels), std::move(weights), true);
      ctx.binned = direct_f32 ? bin_view(x.f32, ctx.order, binning) : bin_view(x.f64, ctx.order, binning);
      ctx.has_missing = ctx.binned->has_missing;
      ctx.candidates = candidate_features(ctx.binned->edges);
    } else {
      // Extra trees on exact thresholds read a float32 input through a feature-major copy.
      bool has_missing = false;
      ctx.feature_major_f32 = feature_major_from_view(x.f32, ctx.order, n_jobs, has_missing);
      prepare_targets(ctx, s, std::move(labels), std::move(weights), true);
      ctx.has_missing = has_missing;
      ctx.candidates = all_features(n_features);
    }
  } else if (std::holds_alternative<DenseMatrix>(*owned)) {
    ctx.form = ValueForm::Dense;
    ctx.dense = std::move(std::get<DenseMatrix>(*owned));
    validate_dense(ctx.dense);
    prepare_targets(ctx, s, std::move(labels), std::move(weights), true);
    check_max_bins_range(s);
    if (use_bins) {
      ctx.binned = bin_dense(ctx.dense, binning);
      ctx.has_missing = ctx.binned->has_missing;
      ctx.candidates = candidate_features(ctx.binned->edges);
    } else {
      ctx.has_missing = any_nan(ctx.dense.values);
      ctx.candidates = all_features(n_features);
    }
  } else {
    ctx.form = ValueForm::Csr;
    ctx.csr = std::move(std::get<CsrMatrix>(*owned));
    validate_csr(ctx.csr);
    prepare_targets(ctx, s, std::move(labels), std::move(weights), false);
    check_max_bins_range(s);
    // The width is only claimed by the shape; the per-feature tables below are sized by it.
    check_feature_tables_fit(n_features);
    ctx.has_missing = any_nan(ctx.csr.data);
    if (use_bins) {
      ctx.csr_edges = csr_edges(ctx.csr, binning);
      ctx.candidates = candidate_features(*ctx.csr_edges);
    } else {
      ctx.candidates = all_features(n_features);
    }
  }
  owned.reset();

  ctx.growth.criterion = *criterion;
  ctx.growth.min_samples_split = s.min_samples_split;
  ctx.growth.min_samples_leaf = s.min_samples_leaf;
  ctx.growth.min_leaf_weight = s.min_leaf_weight;
  ctx.growth.min_impurity_decrease = s.min_impurity_decrease;

  // Unbinned float64 values of a float32 input are narrowed back to float32 for extra trees.
  const bool unbinned_dense = ctx.form == ValueForm::Dense && !ctx.binned;
  const bool has_feature_major = !ctx.feature_major_f32.empty() || !ctx.feature_major_f64.empty();
  if (s.extra_trees && x.kind == FitInput::Kind::DenseF32 && unbinned_dense && !has_feature_major)
    ctx.feature_major_f32 = feature_major_narrowed(ctx.dense, n_jobs);

  ctx.growth.balanced_subsample = s.balanced_subsample;

  if (s.monotonic_cst) {
    const std::vector<int8_t>& cst = *s.monotonic_cst;
    bool valid = cst.size() == n_features;
    for (const int8_t c : cst) valid = valid && (c == -1 || c == 0 || c == 1);
    if (!valid) throw ValidationError(msg::kMonotonicValues);
    if (n_classes != 2) throw ValidationError(msg::kMonotonicBinary);
    ctx.growth.monotonic_cst = cst;
  }

  // Trees first: one worker per tree, and only the surplus of n_jobs goes to the histogram
  // work inside a tree, which pays off only on wide and large binned data.
  const uint64_t tree_workers = std::min(n_jobs, tree_end - request.tree_begin);
  uint64_t cells = 0;
  const bool large = __builtin_mul_overflow(n_rows, n_features, &cells) || cells >= 131072;
  // Tree workers and their histogram threads multiply, so the surplus is measured against
  // the thread bound; a histogram's sums do not depend on how its features are split.
  const uint64_t bounded_jobs = std::min(n_jobs, parallel::thread_limit());
  const uint64_t threads_per_tree =
      use_bins && n_features >= 64 && large
          ? std::max<uint64_t>(1, bounded_jobs / std::min(tree_workers, bounded_jobs))
          : 1;

  if (profiling) ctx.profile = std::make_shared<ProfileCounters>();
  ctx.growth.extra_trees = s.extra_trees;
  ctx.growth.extra_seed = s.extra_seed;
  if (s.extra_trees && ctx.form == ValueForm::Dense && !ctx.binned && ctx.feature_major_f32.empty() &&
      ctx.feature_major_f64.empty())
    ctx.feature_major_f64 = feature_major_copy(ctx.dense, n_jobs);
  ctx.growth.ccp_alpha = s.ccp_alpha;
  ctx.growth.threads_per_tree = threads_per_tree;
  const bool binned_extra_trees =
      *parse_backend(s.extra_trees_backend) == ExtraTreesBackend::Binned && s.extra_trees && ctx.binned;
  if (binned_extra_trees) convert_bins_to_feature_major(*ctx.binned, n_jobs, ctx.profile.get());
  // Small nodes read a row-major copy of the bytes: histogram sums, partitions and the binned
  // extra-trees searches, whose rows' bytes then share cache lines. For the binned
  // extra-trees backend this copy is its layout conversion.
  if (ctx.binned && ctx.binned->feature_major && ctx.binned->bins.size() <= BinnedMatrix::kRowMajorCopyMaxCells) {
    ScopedNanos timer(binned_extra_trees ? ctx.profile.get() : nullptr, &ProfileCounters::bin_layout_conversion_ns);
    add_row_major_copy(*ctx.binned, n_jobs);
  }

  // Histogram growth reads unit weights as 1.0 without a vector of them.
  if (ctx.use_bins() && !s.extra_trees && ctx.unit_weights) {
    std::vector<double>().swap(ctx.weights);
    ctx.implicit_weights = true;
  }
  parallel::release_free_memory();
  phase.record(profile, "data_preparation_seconds");
  phase.restart();

  ForestSettings forest;
  forest.n_estimators = s.n_estimators;
  forest.max_features = s.max_features;
  forest.seed = s.random_state;
  forest.max_depth = s.max_depth;
  forest.max_leaves = s.max_leaves;
  forest.bootstrap = s.bootstrap;
  forest.max_samples = s.max_samples;
  forest.oob = s.oob;
  forest.permutation_importance = s.permutation_importance;
  forest.tree_begin = request.tree_begin;
  forest.tree_end = tree_end;

  FitOutcome outcome;
  try {
    outcome.forest.result = fit_forest(ctx, forest, tree_workers);
  } catch (const std::length_error&) {
    // A container asked for more elements than it can address: memory exhaustion.
    throw std::bad_alloc();
  }
  phase.record(profile, "tree_build_seconds");

  if (profiling) {
    const ProfileCounters& c = *ctx.profile;
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
  fit_timer.record(profile, "native_fit_seconds");

  if (ctx.binned) {
    outcome.forest.edges = std::move(ctx.binned->edges);
  } else if (ctx.csr_edges) {
    outcome.forest.edges = std::move(*ctx.csr_edges);
  }
  outcome.forest.n_classes = n_classes;
  outcome.forest.n_features = n_features;
  outcome.forest.n_rows = n_rows;
  outcome.forest.n_estimators = s.n_estimators;
  outcome.forest.tree_begin = request.tree_begin;
  outcome.forest.tree_end = tree_end;
  outcome.forest.settings_digest = fit_digest(s, x.kind, ctx);
  outcome.training_order = direct_f32 || direct_f64 ? std::move(ctx.order) : std::move(order);
  return outcome;
}

}  // namespace morvel
