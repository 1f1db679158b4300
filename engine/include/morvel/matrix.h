// Matrix forms handed from the binding to the engine: strided views of the caller's NumPy
// buffers (read in place, never written), and owned dense and CSR copies.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <variant>
#include <vector>

#include "morvel/large_buffer.h"

namespace morvel {

// A row position of a fit (training order) and a class index. Fits hold fewer than 2^32 rows
// (checked with the input shape) and labels below 2^32 (their per-class tables could not be
// allocated otherwise), so the row lists and label arrays that every tree walks again and
// again take four bytes per entry instead of eight: half the memory and the cache traffic.
using RowIndex = uint32_t;
using ClassIndex = uint32_t;
inline constexpr uint64_t kMaxFitRows = uint64_t{1} << 32;  // exclusive

// A 2-D view of float or double elements with arbitrary byte strides (C order, Fortran
// order, slices, negative strides). `base` points at element (0, 0).
template <class T>
struct StridedView {
  const std::byte* base = nullptr;
  uint64_t n_rows = 0;
  uint64_t n_features = 0;
  int64_t row_stride = 0;  // bytes between consecutive rows
  int64_t col_stride = 0;  // bytes between consecutive features

  T at(uint64_t row, uint64_t feature) const {
    T v;
    std::memcpy(&v, base + static_cast<int64_t>(row) * row_stride +
                        static_cast<int64_t>(feature) * col_stride,
                sizeof(T));
    return v;
  }
};

using ViewF32 = StridedView<float>;
using ViewF64 = StridedView<double>;

// A 1-D strided view (labels, weights, index arrays of the caller).
template <class T>
struct StridedVector {
  const std::byte* base = nullptr;
  uint64_t size = 0;
  int64_t stride = 0;  // bytes

  T operator[](uint64_t i) const {
    T v;
    std::memcpy(&v, base + static_cast<int64_t>(i) * stride, sizeof(T));
    return v;
  }
  std::vector<T> to_vector() const {
    std::vector<T> out(size);
    for (uint64_t i = 0; i < size; ++i) out[i] = (*this)[i];
    return out;
  }
};

// Owned row-major float64 matrix, rows in training order (or the caller's order).
struct DenseMatrix {
  UninitVector<double> values;  // n_rows * n_features, row-major
  uint64_t n_rows = 0;
  uint64_t n_features = 0;

  double at(uint64_t row, uint64_t feature) const { return values[row * n_features + feature]; }
};

// Owned CSR matrix. Entries that are not stored read as 0.0.
struct CsrMatrix {
  std::vector<uint64_t> indptr;   // n_rows + 1 row starts
  std::vector<uint64_t> indices;  // column of each stored entry, sorted within a row
  std::vector<double> data;       // value of each stored entry
  uint64_t n_rows = 0;
  uint64_t n_features = 0;

  // Binary search among the row's column indices (validated sorted and unique).
  double at(uint64_t row, uint64_t feature) const {
    const auto first = indices.begin() + static_cast<std::ptrdiff_t>(indptr[row]);
    const auto last = indices.begin() + static_cast<std::ptrdiff_t>(indptr[row + 1]);
    const auto it = std::lower_bound(first, last, feature);
    if (it == last || *it != feature) return 0.0;
    return data[static_cast<size_t>(it - indices.begin())];
  }
};

// The converted form of a matrix that is not read in place.
using OwnedMatrix = std::variant<DenseMatrix, CsrMatrix>;

}  // namespace morvel
