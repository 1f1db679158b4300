// Branch-light bin lookup and the threading threshold shared by the binning steps.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "simd/simd.h"

namespace morvel::detail {

// Inputs smaller than this many cells are binned on the calling thread.
inline constexpr uint64_t kParallelCells = 32768;

// 1 when n_rows * n_features is below kParallelCells (and does not overflow), else n_jobs.
inline uint64_t binning_threads(uint64_t n_rows, uint64_t n_features, uint64_t n_jobs) {
  uint64_t cells = 0;
  if (!__builtin_mul_overflow(n_rows, n_features, &cells) && cells < kParallelCells) return 1;
  return n_jobs == 0 ? 1 : n_jobs;
}

// 1 when every exponent bit of v is set (an infinity or a NaN), else 0: integer work that
// vectorises, where the floating-point tests would take the values one at a time. Passes over
// whole matrices OR it up and test the values exactly only when it is set.
template <class T>
inline uint64_t non_finite(T v) {
  static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
  using Bits = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
  constexpr int kMantissa = std::numeric_limits<T>::digits - 1;
  constexpr Bits kExponentMask = (Bits{1} << (8 * sizeof(T) - 1 - kMantissa)) - 1;
  const Bits exponent = (std::bit_cast<Bits>(v) >> kMantissa) & kExponentMask;
  return static_cast<uint64_t>((exponent + 1) >> (8 * sizeof(T) - 1 - kMantissa));
}

// Number of edges strictly below `value` (value not NaN). The same count as
// std::lower_bound with operator<, so -0.0 and +0.0 compare equal; the halving loop has
// no data-dependent branch, which matters because bin values are unpredictable.
inline uint8_t regular_bin(const double* edges, uint64_t m, double value) {
  if (m == 0) return 0;
  const double* base = edges;
  uint64_t n = m;
  while (n > 1) {
    const uint64_t half = n / 2;
    base = (base[half - 1] < value) ? base + half : base;
    n -= half;
  }
  return static_cast<uint8_t>((base - edges) + (*base < value ? 1 : 0));
}

// Bin rule including the missing-value bin m + 1 for NaN.
inline uint8_t bin_value(const std::vector<double>& edges, double value) {
  if (std::isnan(value)) return static_cast<uint8_t>(edges.size() + 1);
  return regular_bin(edges.data(), edges.size(), value);
}

// IEEE-754 total order as a signed integer of the value's width: negative values have every
// bit but the sign flipped, so -0.0 sorts before +0.0 and equal keys mean equal bit patterns.
// The flip keeps the sign bit, so it is its own inverse.
template <class Int>
inline Int flip_negative(Int bits) {
  using Unsigned = std::make_unsigned_t<Int>;
  constexpr int kSignShift = 8 * sizeof(Int) - 1;
  return bits ^ static_cast<Int>(static_cast<Unsigned>(bits >> kSignShift) >> 1);
}

inline int64_t total_order_key(double v) { return flip_negative(std::bit_cast<int64_t>(v)); }
inline double from_total_order_key(int64_t key) { return std::bit_cast<double>(flip_negative(key)); }

// The same order for float32 values, on 32 bits.
inline int32_t total_order_key32(float v) { return flip_negative(std::bit_cast<int32_t>(v)); }
inline float from_total_order_key32(int32_t key) { return std::bit_cast<float>(flip_negative(key)); }

// The bin rule of one feature as a table on total-order keys, for long columns: a binary
// search costs a chain of dependent loads per value, while here a value costs one table
// read and kWindow independent comparisons.
//
// Comparisons run on keys: for a non-NaN value v, "edge < v" equals key(edge) < key(v)
// once an edge equal to zero (either sign) takes the key of +0.0, because -0.0 is the only
// key between the negative numbers and +0.0. Each sign has its own linear bucket range
// spanning its edges' keys (a range over both signs would spend nearly all buckets on the
// tiny magnitudes between them). A bucket stores how many edges lie below its first key;
// a value's bin is that count plus its comparisons with the next kWindow edges, which is
// exact when no bucket holds more than kWindow edges. build() refuses edge sets that break
// this (edges crowded into a narrow part of a wide range); callers then search instead.
class BinTable {
 public:
  static constexpr uint64_t kWindow = 4;

  // Buckets per sign: 2^bucket_bits (at most 16). False when the table cannot serve `edges`.
  bool build(const std::vector<double>& edges, unsigned bucket_bits) {
    const uint64_t m = edges.size();
    keys_.resize(m + kWindow);
    values_.resize(m + kWindow);
    std::copy(edges.begin(), edges.end(), values_.begin());
    for (uint64_t j = m; j < m + kWindow; ++j) values_[j] = std::numeric_limits<double>::infinity();
    uint64_t n_negative = 0;
    for (uint64_t j = 0; j < m; ++j) {
      const int64_t key = edges[j] == 0.0 ? 0 : total_order_key(edges[j]);
      keys_[j] = key;
      n_negative += key < 0 ? 1 : 0;
    }
    for (uint64_t j = m; j < m + kWindow; ++j) keys_[j] = INT64_MAX;  // above every value's key
    uint64_t total = 0;
    // Side 0: keys >= 0, edges [n_negative, m); side 1: keys < 0, edges [0, n_negative).
    for (unsigned side = 0; side < 2; ++side) {
      const uint64_t first = side == 0 ? n_negative : 0;
      const uint64_t last = side == 0 ? m : n_negative;  // one past
      offset_[side] = total;
      if (first == last) {
        lo_[side] = hi_[side] = side == 0 ? 0 : -1;
        shift_[side] = 0;
        table_.resize(total + 1);
        table_[total] = static_cast<uint8_t>(first);
        total += 1;
        continue;
      }
      lo_[side] = keys_[first];
      hi_[side] = keys_[last - 1];
      const uint64_t range = static_cast<uint64_t>(hi_[side] - lo_[side]);
      const unsigned width = range == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(range));
      shift_[side] = width > bucket_bits ? width - bucket_bits : 0;
      const uint64_t n_buckets = (range >> shift_[side]) + 1;
      table_.resize(total + n_buckets);
      uint8_t* table = table_.data() + total;
      // Bucket i holds first + the number of the side's edges in buckets below i.
      uint64_t filled = 0;
      uint64_t run_bucket = ~uint64_t{0};
      uint64_t run = 0;
      for (uint64_t j = first; j < last; ++j) {
        const uint64_t bucket = static_cast<uint64_t>(keys_[j] - lo_[side]) >> shift_[side];
        if (bucket + 1 > filled) {
          std::memset(table + filled, static_cast<int>(j), bucket + 1 - filled);
          filled = bucket + 1;
        }
        run = bucket == run_bucket ? run + 1 : 1;
        run_bucket = bucket;
        if (run > kWindow) return false;
      }
      std::memset(table + filled, static_cast<int>(last), n_buckets - filled);
      total += n_buckets;
    }
    return true;
  }

  // Bucket range of one sign: keys in [lo, hi] (others clamped) map to
  // offset + ((key - lo) >> shift).
  struct Side {
    int64_t lo;
    int64_t hi;
    uint64_t shift;
    uint64_t offset;
  };

  // The table's fields as plain values, for a loop that also stores bytes: the compiler
  // must assume a byte store may change the table object, but not a local copy.
  struct Lookup {
    const double* edges;  // the edges, then kWindow infinities
    const uint8_t* table;
    Side sides[2];  // [0]: keys >= 0, [1]: keys < 0

    // Number of edges strictly below v (v not NaN). The side is picked by indexing, not by
    // a branch: the sign of a value is as unpredictable as its bin. The window compares
    // values, which is the bin rule itself (an infinity padding is never below a value).
    uint8_t bin(double v) const {
      const int64_t key = total_order_key(v);
      const Side& side = sides[static_cast<uint64_t>(key) >> 63];
      int64_t clamped = key < side.lo ? side.lo : key;
      clamped = clamped > side.hi ? side.hi : clamped;
      const uint64_t b = table[side.offset + (static_cast<uint64_t>(clamped - side.lo) >> side.shift)];
      const double* e = edges + b;
      static_assert(kWindow == 4, "the window compares two pairs");
#if MORVEL_SIMD_SSE2
      // Ascending edges give a mask 2^c - 1 for c edges below the value.
      const __m128d value = _mm_set1_pd(v);
      const int below = _mm_movemask_pd(_mm_cmplt_pd(_mm_loadu_pd(e), value)) |
                        (_mm_movemask_pd(_mm_cmplt_pd(_mm_loadu_pd(e + 2), value)) << 2);
      return static_cast<uint8_t>(b + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(below) + 1)));
#else
      uint64_t above = 0;
      for (uint64_t w = 0; w < kWindow; ++w) above += e[w] < v ? 1 : 0;
      return static_cast<uint8_t>(b + above);
#endif
    }
  };

  // Valid until the next build().
  Lookup lookup() const {
    return Lookup{values_.data(), table_.data(),
                  {Side{lo_[0], hi_[0], shift_[0], offset_[0]}, Side{lo_[1], hi_[1], shift_[1], offset_[1]}}};
  }

  uint8_t bin(double v) const { return lookup().bin(v); }

 private:
  std::vector<int64_t> keys_;   // edge keys, then kWindow keys above every value
  std::vector<double> values_;  // the edges, then kWindow infinities
  std::vector<uint8_t> table_;  // both sides' buckets
  int64_t lo_[2] = {0, -1};
  int64_t hi_[2] = {0, -1};
  uint64_t shift_[2] = {0, 0};
  uint64_t offset_[2] = {0, 0};
};

// Bucket bits for a column of n values: about n / 2 buckets per sign, between 2^8 and 2^15,
// so building the table never costs much more than the lookups it serves.
inline unsigned bin_table_bits(uint64_t n) {
  unsigned bits = n <= 1 ? 0 : 63 - static_cast<unsigned>(__builtin_clzll(n));
  bits = bits > 1 ? bits - 1 : 0;
  return bits < 8 ? 8 : (bits > 15 ? 15 : bits);
}

}  // namespace morvel::detail
