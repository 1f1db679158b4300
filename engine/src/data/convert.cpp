// Conversion of caller arrays into owned matrices, and the structural checks that training
// and prediction run on them. Each check sequence stops at its first failure, in the order
// written here; callers rely on that order for the message they report.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "binning/bin_lookup.h"
#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {
namespace {

// rows * cols, or false when the product does not fit in 64 bits.
bool checked_cells(uint64_t rows, uint64_t cols, uint64_t& cells) {
  return !__builtin_mul_overflow(rows, cols, &cells);
}

// Rows are copied in blocks of this many, and a feature-major copy is transposed from each
// block while its rows are still cached.
constexpr uint64_t kBlockRows = 64;
// Rows of the training order are scattered over the caller's buffer: the copy asks for the
// row it will read this many rows ahead, so that the cache misses overlap.
constexpr uint64_t kRowsAhead = 8;

struct ValueFlags {
  bool nan = false;
  bool inf = false;
};

// One row of x widened into dst[0..n_features), noting NaN and infinities. `Stride` is the
// element stride in bytes when known at compile time (the common contiguous row), else 0.
template <int64_t Stride, class T>
void copy_row(const StridedView<T>& x, const std::byte* src, double* dst, ValueFlags& flags) {
  const int64_t stride = Stride != 0 ? Stride : x.col_stride;
  const uint64_t n = x.n_features;
  uint64_t special = 0;
  for (uint64_t f = 0; f < n; ++f) {
    T v;
    std::memcpy(&v, src + static_cast<int64_t>(f) * stride, sizeof(T));
    const double w = static_cast<double>(v);
    special |= detail::non_finite(w);
    dst[f] = w;
  }
  if (special == 0) return;
  for (uint64_t f = 0; f < n; ++f) {
    flags.nan = flags.nan || std::isnan(dst[f]);
    flags.inf = flags.inf || std::isinf(dst[f]);
  }
}

// Copies training positions [begin, end) of x (position p is row order[p], or p without an
// order) into rows[p * n_features ..], and, with `columns`, each block of rows on into its
// feature-major place columns[f * n_rows + p].
template <class T>
ValueFlags copy_rows(const StridedView<T>& x, const RowIndex* order, uint64_t begin, uint64_t end, double* rows,
                     double* columns) {
  const uint64_t n_features = x.n_features;
  const bool contiguous = x.col_stride == static_cast<int64_t>(sizeof(T));
  auto source = [&](uint64_t p) {
    return x.base + static_cast<int64_t>(order != nullptr ? order[p] : p) * x.row_stride;
  };
  ValueFlags flags;
  for (uint64_t p0 = begin; p0 < end; p0 += kBlockRows) {
    const uint64_t p1 = std::min(end, p0 + kBlockRows);
    for (uint64_t p = p0; p < p1; ++p) {
      if (order != nullptr && p + kRowsAhead < end) __builtin_prefetch(source(p + kRowsAhead));
      if (contiguous) {
        copy_row<static_cast<int64_t>(sizeof(T))>(x, source(p), rows + p * n_features, flags);
      } else {
        copy_row<0>(x, source(p), rows + p * n_features, flags);
      }
    }
    if (columns == nullptr) continue;
    for (uint64_t f = 0; f < n_features; ++f) {
      double* column = columns + f * x.n_rows;
      for (uint64_t p = p0; p < p1; ++p) column[p] = rows[p * n_features + f];
    }
  }
  return flags;
}

template <class T>
TrainingValues copy_values(const StridedView<T>& x, const RowIndex* order, uint64_t workers, bool feature_major) {
  uint64_t cells = 0;
  if (!checked_cells(x.n_rows, x.n_features, cells)) throw ValidationError(msg::kShapeTooLarge);
  TrainingValues out;
  out.rows.n_rows = x.n_rows;
  out.rows.n_features = x.n_features;
  out.rows.values.resize(cells);
  if (feature_major) out.columns.resize(cells);
  if (cells == 0) return out;
  double* rows = out.rows.values.data();
  double* columns = feature_major ? out.columns.data() : nullptr;
  // Each worker owns a block of rows: its rows of the row-major copy and the same segment of
  // every column.
  const std::vector<ValueFlags> parts = parallel::for_each_chunk(
      x.n_rows, std::min(x.n_rows, workers),
      [&](const parallel::Chunk& c) {
        prefault(rows + c.begin * x.n_features, (c.end - c.begin) * x.n_features * sizeof(double));
        if (columns != nullptr)
          for (uint64_t f = 0; f < x.n_features; ++f)
            prefault(columns + f * x.n_rows + c.begin, (c.end - c.begin) * sizeof(double));
        return copy_rows(x, order, c.begin, c.end, rows, columns);
      },
      msg::kScopedPanic);
  for (const ValueFlags& part : parts) {
    if (part.inf) throw ValidationError(msg::kInfiniteValues);
    out.has_missing = out.has_missing || part.nan;
  }
  return out;
}

}  // namespace

template <class T>
DenseMatrix copy_dense(const StridedView<T>& x, const std::vector<RowIndex>* order) {
  MORVEL_ASSERT(order == nullptr || order->size() == x.n_rows, "training order does not match the matrix");
  return copy_values(x, order != nullptr ? order->data() : nullptr, 1, false).rows;
}

template DenseMatrix copy_dense(const StridedView<float>&, const std::vector<RowIndex>*);
template DenseMatrix copy_dense(const StridedView<double>&, const std::vector<RowIndex>*);

template <class T>
TrainingValues copy_training_values(const StridedView<T>& x, const std::vector<RowIndex>& order, uint64_t n_jobs,
                                    bool feature_major) {
  MORVEL_ASSERT(order.size() == x.n_rows, "training order does not match the matrix");
  // Threads as for binning: small matrices are copied on the calling thread.
  return copy_values(x, order.data(), detail::binning_threads(x.n_rows, x.n_features, n_jobs), feature_major);
}

template TrainingValues copy_training_values(const StridedView<float>&, const std::vector<RowIndex>&, uint64_t,
                                             bool);
template TrainingValues copy_training_values(const StridedView<double>&, const std::vector<RowIndex>&, uint64_t,
                                             bool);

CsrMatrix csr_from_arrays(std::span<const int64_t> indptr, std::span<const int64_t> indices,
                          std::span<const double> data, uint64_t n_rows, uint64_t n_features) {
  for (const int64_t p : indptr)
    if (p < 0) throw ValidationError(msg::kCsrRowPointer);
  for (const int64_t c : indices)
    if (c < 0) throw ValidationError(msg::kCsrColumnIndex);
  for (const double v : data)
    if (std::isinf(v)) throw ValidationError(msg::kInfiniteValues);
  CsrMatrix out;
  out.indptr.assign(indptr.begin(), indptr.end());
  out.indices.assign(indices.begin(), indices.end());
  out.data.assign(data.begin(), data.end());
  out.n_rows = n_rows;
  out.n_features = n_features;
  return out;
}

void validate_dense_shape(const DenseMatrix& x) {
  if (x.n_rows == 0) throw ValidationError(msg::kNoRows);
  if (x.n_features == 0) throw ValidationError(msg::kNoFeatures);
  uint64_t cells = 0;
  if (!checked_cells(x.n_rows, x.n_features, cells)) throw ValidationError(msg::kShapeTooLarge);
  if (x.values.size() != cells) throw ValidationError(msg::kBufferLength);
}

void validate_dense(const DenseMatrix& x) {
  validate_dense_shape(x);
  for (const double v : x.values)
    if (std::isinf(v)) throw ValidationError(msg::kInfiniteValues);
}

void validate_csr(const CsrMatrix& x) {
  if (x.n_rows == 0) throw ValidationError(msg::kNoRows);
  if (x.n_features == 0) throw ValidationError(msg::kNoFeatures);

  // Structure first: every later check indexes through indptr.
  const bool row_count_ok = x.n_rows < std::numeric_limits<uint64_t>::max() && x.indptr.size() == x.n_rows + 1;
  if (!row_count_ok || x.indptr.front() != 0 || x.indptr.back() != x.data.size() ||
      x.data.size() != x.indices.size())
    throw ValidationError(msg::kCsrStructure);
  for (uint64_t r = 0; r < x.n_rows; ++r)
    if (x.indptr[r + 1] < x.indptr[r]) throw ValidationError(msg::kCsrStructure);

  for (uint64_t r = 0; r < x.n_rows; ++r) {
    for (uint64_t k = x.indptr[r]; k < x.indptr[r + 1]; ++k) {
      const bool in_range = x.indices[k] < x.n_features;
      const bool increasing = k == x.indptr[r] || x.indices[k - 1] < x.indices[k];
      if (!in_range || !increasing) throw ValidationError(msg::kCsrUnsorted);
    }
  }
  for (const double v : x.data)
    if (std::isinf(v)) throw ValidationError(msg::kInfiniteValues);
}

double validate_weights(std::span<const double> weights) {
  bool all_zero = true;
  for (const double w : weights) {
    // -0.0 compares equal to 0.0, so it passes both tests.
    if (!std::isfinite(w) || w < 0.0) throw ValidationError(msg::kWeightValues);
    if (w != 0.0) all_zero = false;
  }
  if (all_zero) throw ValidationError(msg::kWeightAllZero);
  // Left to right from -0.0: the total is part of every impurity computation, so its
  // rounding must not depend on how the sum is evaluated.
  double sum = -0.0;
  for (const double w : weights) sum = sum + w;
  if (!std::isfinite(sum)) throw ValidationError(msg::kWeightSumFinite);
  if (!(sum > 0.0)) throw ValidationError(msg::kWeightSumPositive);
  return sum;
}

std::vector<ClassIndex> convert_labels(std::span<const int64_t> y) {
  std::vector<ClassIndex> labels(y.size());
  bool too_large = false;
  for (size_t i = 0; i < y.size(); ++i) {
    if (y[i] < 0) throw ValidationError(msg::kNegativeLabels);
    too_large = too_large || static_cast<uint64_t>(y[i]) > std::numeric_limits<ClassIndex>::max();
    labels[i] = static_cast<ClassIndex>(y[i]);
  }
  // Checked after the pass, so that a negative label anywhere is still reported as such.
  if (too_large) throw std::bad_alloc();
  return labels;
}

void check_fit_rows(uint64_t n_rows) {
  if (n_rows >= kMaxFitRows) throw ValidationError(msg::kShapeTooLarge);
}

}  // namespace morvel
