// The prepared training data of one fit, shared read-only by every tree worker, and the
// compile-time accessors through which split searches and partitions read feature values.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binning/binned_matrix.h"
#include "data/settings.h"
#include "morvel/bin_edges.h"
#include "morvel/large_buffer.h"
#include "morvel/matrix.h"
#include "morvel/profile.h"

namespace morvel {

// A row list of a tree worker as long as the sample (index array, partition buffer, bag):
// mapped directly, so that what one tree frees leaves the process before the next.
using RowBuffer = LargeVector<RowIndex>;

// Which raw-value form a context (or a prediction matrix) holds.
enum class ValueForm : uint8_t {
  Dense,    // owned row-major float64, rows in training order
  Csr,      // owned CSR, rows in training order
  ViewF32,  // caller's float32 buffer, row p is view row order[p]
  ViewF64,  // caller's float64 buffer, row p is view row order[p]
};

struct TrainingContext {
  uint64_t n_rows = 0;
  uint64_t n_features = 0;
  uint64_t n_classes = 0;
  bool has_missing = false;  // any feature value is NaN

  // Raw values (always present unless the matrix was binned from a view that is no longer
  // needed; views stay valid for the whole fit).
  ValueForm form = ValueForm::Dense;
  DenseMatrix dense;                 // form == Dense
  CsrMatrix csr;                     // form == Csr
  ViewF32 view_f32;                  // form == ViewF32
  ViewF64 view_f64;                  // form == ViewF64
  std::vector<RowIndex> order;       // training order for the view forms

  // Optional feature-major copies of the raw values (column f at f * n_rows); at most one.
  UninitVector<float> feature_major_f32;
  UninitVector<double> feature_major_f64;

  // Histogram training: a byte matrix for dense input, or edges alongside `csr`.
  std::optional<BinnedMatrix> binned;
  std::optional<BinEdges> csr_edges;

  std::vector<uint64_t> candidates;  // ascending split-candidate features

  std::vector<ClassIndex> labels;    // class of each row, training order
  std::vector<double> weights;       // weight of each row, training order; empty when implicit
  double w_total = 0.0;              // sum of weights, left to right from -0.0
  bool has_weights = false;          // false marks prediction input
  bool unit_weights = false;         // every weight is exactly 1.0 (no sample_weight); false if unknown
  // Histogram fits on unit weights keep no weight vector: every reader on that path takes 1.0.
  bool implicit_weights = false;

  GrowthSettings growth;
  ProfileHandle profile;             // null when profiling is off

  bool use_bins() const { return binned.has_value() || csr_edges.has_value(); }
  const BinEdges* edges() const {
    if (binned) return &binned->edges;
    if (csr_edges) return &*csr_edges;
    return nullptr;
  }
};

// The weights one tree is grown with: the context's own, or a per-tree replacement set
// (weighted bootstrap, balanced subsample). Searches read weights only through this.
struct TreeWeights {
  std::span<const double> weights;  // one per row, training order (empty when `unit` is implicit)
  double w_total = 0.0;             // W_total of the tree
  double min_leaf_weight = 0.0;     // possibly rescaled with W_total
  bool unit = false;                // every row weighs exactly 1.0
};

// ---- Value accessors -------------------------------------------------------------------
// `value(row, feature)` returns the raw value as double (float32 widened, absent sparse
// entries 0.0); `missing` tells whether it is a missing value.

struct DenseAccess {
  const double* values;
  uint64_t n_features;
  double value(uint64_t row, uint64_t f) const { return values[row * n_features + f]; }
};

template <class T>
struct ViewAccess {
  StridedView<T> view;
  const RowIndex* order;
  double value(uint64_t row, uint64_t f) const { return static_cast<double>(view.at(order[row], f)); }
};

struct CsrAccess {
  const CsrMatrix* csr;
  double value(uint64_t row, uint64_t f) const { return csr->at(row, f); }
};

template <class T>
struct FeatureMajorAccess {
  const T* values;
  uint64_t n_rows;
  double value(uint64_t row, uint64_t f) const { return static_cast<double>(values[f * n_rows + row]); }
};

// Calls fn(accessor) with the fastest raw-value accessor the context has: a feature-major
// copy when one exists, else the matrix form. The dispatch happens once, outside hot loops.
template <class Fn>
decltype(auto) with_raw_access(const TrainingContext& ctx, Fn&& fn) {
  if (!ctx.feature_major_f32.empty())
    return fn(FeatureMajorAccess<float>{ctx.feature_major_f32.data(), ctx.n_rows});
  if (!ctx.feature_major_f64.empty())
    return fn(FeatureMajorAccess<double>{ctx.feature_major_f64.data(), ctx.n_rows});
  switch (ctx.form) {
    case ValueForm::Csr:
      return fn(CsrAccess{&ctx.csr});
    case ValueForm::ViewF32:
      return fn(ViewAccess<float>{ctx.view_f32, ctx.order.data()});
    case ValueForm::ViewF64:
      return fn(ViewAccess<double>{ctx.view_f64, ctx.order.data()});
    case ValueForm::Dense:
    default:
      return fn(DenseAccess{ctx.dense.values.data(), ctx.n_features});
  }
}

// Row-major reads for a small node of an owned float64 matrix (with no float32 copy, which
// float32 input is read through). Once a node holds fewer than one row in eight, its reads of
// a feature-major column share no cache lines, each search is a fresh scattered read; its
// rows read row-major stay cached across its feature searches, its partition and its whole
// subtree, as long as they fit in a few megabytes. Both forms hold the same values.
inline constexpr uint64_t kRowMajorNodeBytes = uint64_t{1} << 22;

inline bool reads_rows(const TrainingContext& ctx, uint64_t n_entries) {
  // n * F * 8 <= B, written without a division (n * F cannot overflow: n <= n_rows / 8 and
  // the matrix of n_rows * F doubles exists).
  return ctx.form == ValueForm::Dense && ctx.feature_major_f32.empty() && !ctx.dense.values.empty() &&
         ctx.n_features > 0 && n_entries <= ctx.n_rows / 8 &&
         n_entries * ctx.n_features <= kRowMajorNodeBytes / sizeof(double);
}

template <class Fn>
decltype(auto) with_raw_access_for(const TrainingContext& ctx, uint64_t n_entries, Fn&& fn) {
  if (reads_rows(ctx, n_entries)) return fn(DenseAccess{ctx.dense.values.data(), ctx.n_features});
  return with_raw_access(ctx, std::forward<Fn>(fn));
}

}  // namespace morvel
