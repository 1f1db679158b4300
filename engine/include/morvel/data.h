// Conversion and validation of input matrices, labels and weights, and the canonical
// training order. Every check throws ValidationError with its fixed message.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "morvel/matrix.h"

namespace morvel {

// Row-major float64 copy of a dense view. With `order`, row i of the copy is view row
// order[i]. Throws "X must not contain infinite values" on +-inf.
template <class T>
DenseMatrix copy_dense(const StridedView<T>& x, const std::vector<RowIndex>* order);

// The values of a fit in training order, read from the caller's rows once: the row-major
// float64 copy and, with `feature_major`, the same values feature-major (value (p, f) at
// f * n_rows + p), made together so that the feature-major copy needs no second pass over
// the first. Rows are split over up to n_jobs threads. The checks and messages of copy_dense.
struct TrainingValues {
  DenseMatrix rows;
  UninitVector<double> columns;  // empty without `feature_major`
  bool has_missing = false;      // some value is NaN
};
template <class T>
TrainingValues copy_training_values(const StridedView<T>& x, const std::vector<RowIndex>& order, uint64_t n_jobs,
                                    bool feature_major);

// Builds a CSR matrix from the int64/float64 arrays read off a sparse object (already
// canonicalised by its own sum_duplicates/sort_indices). Checks, in order: a negative
// indptr entry, a negative column index, an infinite value.
CsrMatrix csr_from_arrays(std::span<const int64_t> indptr, std::span<const int64_t> indices,
                          std::span<const double> data, uint64_t n_rows, uint64_t n_features);

// Structural checks, first failure wins.
void validate_dense(const DenseMatrix& x);
// The same checks without the scan for infinities, for a copy that refused them as it was made.
void validate_dense_shape(const DenseMatrix& x);
void validate_csr(const CsrMatrix& x);

// Checks the (training-order) weights and returns their sum, accumulated left to right
// starting from -0.0.
double validate_weights(std::span<const double> weights);

// Labels as unsigned class indices; the first negative value is refused. A label of 2^32 or
// more fails as memory exhaustion: the per-class tables of a fit with that many classes
// could never be allocated.
std::vector<ClassIndex> convert_labels(std::span<const int64_t> y);

// Refuses a fit of 2^32 rows or more ("X shape is too large"): row lists hold 32-bit positions.
void check_fit_rows(uint64_t n_rows);

// The canonical order of a dense float input: rows sorted by column 0, ties broken by
// later columns only inside still-tied groups, then by label, then by weight (a total order
// on its bits; only when `weights` has one value per row), then by input position.
// NaN sorts after every number; -0.0 equals +0.0.
template <class T>
std::vector<RowIndex> build_training_order(const StridedView<T>& x, std::span<const int64_t> y,
                                           std::span<const double> weights = {});

}  // namespace morvel
