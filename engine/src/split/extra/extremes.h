// A node's values of one feature copied in list order with their extremes, as the list-order
// scan finds them.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "split/extra/common.h"

namespace morvel::extra {

#if MORVEL_SIMD_SSE2
// The smaller lane of `low` and the larger lane of `high`, each picked as the scalar scans
// pick (lane 1 only when strictly beyond lane 0).
inline void fold_pairs(__m128d low, __m128d high, double& lo, double& hi) {
  alignas(16) double lanes[2];
  _mm_store_pd(lanes, low);
  lo = lanes[1] < lanes[0] ? lanes[1] : lanes[0];
  _mm_store_pd(lanes, high);
  hi = lanes[1] > lanes[0] ? lanes[1] : lanes[0];
}
#endif

// A zero extreme found out of list order may carry the other sign than the list-order scan
// would give; the copied values are then scanned again in list order.
template <class T>
void settle_zero_extremes(const T* out, uint64_t n, T& lo, T& hi) {
  if (lo != 0 && hi != 0) return;
  lo = std::numeric_limits<T>::infinity();
  hi = -std::numeric_limits<T>::infinity();
  for (uint64_t i = 0; i < n; ++i) {
    lo = out[i] < lo ? out[i] : lo;
    hi = out[i] > hi ? out[i] : hi;
  }
}

// Copies the values of a node without missing values to `out` and returns their extremes as
// the list-order scan `lo = v < lo ? v : lo` (and `hi` alike) finds them: the first entry
// holding the extreme value. Two interleaved scans find the same values, and equal values
// have equal bits except for zeros of either sign, so when an extreme is zero the list-order
// scan runs again over the copied values to settle its sign. `kCheckRows` false skips the
// row bounds checks, for rows the caller has already checked against the matrix.
template <class T, class Read, bool kCheckRows = true>
void copy_extremes(const RowIndex* rows, uint64_t n, uint64_t row_limit, Read& read, T* out, T& lo_out,
                   T& hi_out) {
  T lo = std::numeric_limits<T>::infinity();
  T hi = -std::numeric_limits<T>::infinity();
  uint64_t i = 0;
#if MORVEL_SIMD_SSE2
  if constexpr (std::is_same_v<T, double>) {
   if (n >= 2) {
    __m128d low = _mm_set1_pd(lo);
    __m128d high = _mm_set1_pd(hi);
    for (; i + 2 <= n; i += 2) {
      const uint64_t r0 = rows[i];
      const uint64_t r1 = rows[i + 1];
      if constexpr (kCheckRows) {
        MORVEL_ASSERT(r0 < row_limit && r1 < row_limit, "index out of bounds: row outside the training matrix");
      }
      const double v0 = read(r0);
      const double v1 = read(r1);
      const __m128d v = _mm_setr_pd(v0, v1);
      _mm_storeu_pd(out + i, v);
      // Per lane low < v ? low : v, which differs from the scan's v < low ? v : low only
      // between equal values (no value here is NaN): settled below like any zero extreme.
      low = _mm_min_pd(low, v);
      high = _mm_max_pd(high, v);
    }
    fold_pairs(low, high, lo, hi);
   }
  }
#endif
  if (i == 0) {
    // Two interleaved scans, as above, without vectors.
    T lo_odd = lo;
    T hi_odd = hi;
    for (; i + 2 <= n; i += 2) {
      const uint64_t r0 = rows[i];
      const uint64_t r1 = rows[i + 1];
      if constexpr (kCheckRows) {
        MORVEL_ASSERT(r0 < row_limit && r1 < row_limit, "index out of bounds: row outside the training matrix");
      }
      const T v0 = read(r0);
      const T v1 = read(r1);
      out[i] = v0;
      out[i + 1] = v1;
      lo = v0 < lo ? v0 : lo;
      hi = v0 > hi ? v0 : hi;
      lo_odd = v1 < lo_odd ? v1 : lo_odd;
      hi_odd = v1 > hi_odd ? v1 : hi_odd;
    }
    lo = lo_odd < lo ? lo_odd : lo;
    hi = hi_odd > hi ? hi_odd : hi;
  }
  for (; i < n; ++i) {
    const uint64_t row = rows[i];
    if constexpr (kCheckRows) {
      MORVEL_ASSERT(row < row_limit, "index out of bounds: row outside the training matrix");
    }
    const T v = read(row);
    out[i] = v;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  settle_zero_extremes(out, n, lo, hi);
  lo_out = lo;
  hi_out = hi;
}

// copy_extremes for values read as base[index[i]] from a matrix without missing values. Without
// NaN, `low < v ? low : v` and `v < low ? v : low` differ only between equal values, whose bits
// are equal except for zeros of either sign; a zero extreme is settled by the list-order scan
// over the copied values, as in copy_extremes. Folding into the running extremes spares a
// register copy per step.
inline void gather_extremes(const double* base, const uint32_t* index, uint64_t n, double* out, double& lo_out,
                            double& hi_out) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  uint64_t i = 0;
#if MORVEL_SIMD_SSE2
  if (n >= 2) {
    __m128d low = _mm_set1_pd(lo);
    __m128d high = _mm_set1_pd(hi);
    for (; i + 2 <= n; i += 2) {
      const __m128d v = _mm_loadh_pd(_mm_load_sd(base + index[i]), base + index[i + 1]);
      _mm_storeu_pd(out + i, v);
      low = _mm_min_pd(low, v);
      high = _mm_max_pd(high, v);
    }
    fold_pairs(low, high, lo, hi);
  }
#endif
  for (; i < n; ++i) {
    const double v = base[index[i]];
    out[i] = v;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  settle_zero_extremes(out, n, lo, hi);
  lo_out = lo;
  hi_out = hi;
}

}  // namespace morvel::extra
