// Conversion of caller arrays into owned matrices, and the structural checks that training
// and prediction run on them. Each check sequence stops at its first failure, in the order
// written here; callers rely on that order for the message they report.
#include <cmath>
#include <new>
#include <limits>

#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/messages.h"

namespace morvel {
namespace {

// rows * cols, or false when the product does not fit in 64 bits.
bool checked_cells(uint64_t rows, uint64_t cols, uint64_t& cells) {
  return !__builtin_mul_overflow(rows, cols, &cells);
}

}  // namespace

template <class T>
DenseMatrix copy_dense(const StridedView<T>& x, const std::vector<RowIndex>* order) {
  uint64_t cells = 0;
  if (!checked_cells(x.n_rows, x.n_features, cells)) throw ValidationError(msg::kShapeTooLarge);
  MORVEL_ASSERT(order == nullptr || order->size() == x.n_rows, "training order does not match the matrix");
  DenseMatrix out;
  out.n_rows = x.n_rows;
  out.n_features = x.n_features;
  out.values.resize(cells);
  double* dst = out.values.data();
  for (uint64_t i = 0; i < x.n_rows; ++i) {
    const uint64_t row = order != nullptr ? (*order)[i] : i;
    for (uint64_t f = 0; f < x.n_features; ++f) {
      const double v = static_cast<double>(x.at(row, f));
      if (std::isinf(v)) throw ValidationError(msg::kInfiniteValues);
      *dst++ = v;
    }
  }
  return out;
}

template DenseMatrix copy_dense(const StridedView<float>&, const std::vector<RowIndex>*);
template DenseMatrix copy_dense(const StridedView<double>&, const std::vector<RowIndex>*);

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

void validate_dense(const DenseMatrix& x) {
  if (x.n_rows == 0) throw ValidationError(msg::kNoRows);
  if (x.n_features == 0) throw ValidationError(msg::kNoFeatures);
  uint64_t cells = 0;
  if (!checked_cells(x.n_rows, x.n_features, cells)) throw ValidationError(msg::kShapeTooLarge);
  if (x.values.size() != cells) throw ValidationError(msg::kBufferLength);
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
