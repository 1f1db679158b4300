// Byte searches' building blocks: bins gathered per entry, their extremes and missing sums,
// and prefix sums over blocks of 16 byte lanes.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "split/extra/common.h"

namespace morvel::extra {

// bins[i] = the byte of entry i's row in `column` (feature-major when stride is 1).
inline void gather_bins(const uint8_t* column, uint64_t stride, const RowIndex* rows, uint64_t n, uint64_t n_rows,
                 uint8_t* bins) {
  uint64_t i = 0;
  if (stride == 1) {
    for (; i + 4 <= n; i += 4) {
      const uint64_t r0 = rows[i];
      const uint64_t r1 = rows[i + 1];
      const uint64_t r2 = rows[i + 2];
      const uint64_t r3 = rows[i + 3];
      MORVEL_ASSERT(std::max(std::max(r0, r1), std::max(r2, r3)) < n_rows,
                    "index out of bounds: row outside the training matrix");
      bins[i] = column[r0];
      bins[i + 1] = column[r1];
      bins[i + 2] = column[r2];
      bins[i + 3] = column[r3];
    }
  }
  for (; i < n; ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
    bins[i] = column[row * stride];
  }
}

// bins[i] = base[index[i]] for indices the caller has checked.
inline void gather_indexed(const uint8_t* base, const uint32_t* index, uint64_t n, uint8_t* bins) {
  uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t a = index[i];
    const uint32_t b = index[i + 1];
    const uint32_t c = index[i + 2];
    const uint32_t d = index[i + 3];
    bins[i] = base[a];
    bins[i + 1] = base[b];
    bins[i + 2] = base[c];
    bins[i + 3] = base[d];
  }
  for (; i < n; ++i) bins[i] = base[index[i]];
}

// A byte search's node: its entries' bins (padded by kBlockPad), weights and second bytes
// (two classes: the weight of class-1 entries; more classes: the class).
struct ByteNode {
  const uint8_t* bins;
  const uint8_t* weight;
  const uint8_t* second;
  uint64_t n;
};

// Extremes over the non-missing bins and the missing entries' count, weight and class-1
// weight (the last two only with `second` = class-1 weights; pass may_miss false to skip
// the missing sums). Blocks of 16 entries; only the last block masks the lanes past n. A
// masked or missing lane counts as 255 for the minimum and 0 for the maximum.
struct ByteExtremes {
  uint64_t lo = 255;
  uint64_t hi = 0;
  uint64_t missing_count = 0;
  uint64_t missing_sum = 0;
  uint64_t missing_one = 0;
};

inline ByteExtremes byte_extremes(const ByteNode& node, bool may_miss, uint64_t missing_byte, bool sum_missing) {
  ByteExtremes out;
  const uint64_t n = node.n;
#if MORVEL_SIMD_SSE2
  if (n == 0) return out;
  const __m128i all = simd::all_lanes();
  __m128i low = all;
  __m128i high = simd::zero();
  if (!may_miss) {
    uint64_t i = 0;
    for (; i + simd::kLanes <= n; i += simd::kLanes) {
      const __m128i b = simd::load(node.bins + i);
      low = simd::min_bytes(low, b);
      high = simd::max_bytes(high, b);
    }
    if (i < n) {
      const __m128i valid = simd::lanes_below(n - i);
      const __m128i b = simd::load(node.bins + i);
      low = simd::min_bytes(low, _mm_or_si128(b, simd::outside(valid, all)));
      high = simd::max_bytes(high, _mm_and_si128(b, valid));
    }
    simd::fold_byte_extremes(low, high, out.lo, out.hi);
    return out;
  }
  const __m128i missing_v = simd::splat(missing_byte);
  const __m128i ones = _mm_set1_epi8(1);
  __m128i m_count = simd::zero();
  __m128i m_sum = simd::zero();
  __m128i m_one = simd::zero();
  for (uint64_t i = 0; i < n; i += simd::kLanes) {
    const __m128i valid = simd::lanes_below(n - i);
    const __m128i b = simd::load(node.bins + i);
    const __m128i gone = _mm_and_si128(valid, simd::equal(b, missing_v));
    const __m128i skip = _mm_or_si128(simd::outside(valid, all), gone);
    m_count = simd::add_byte_sums(m_count, _mm_and_si128(gone, ones));
    if (sum_missing) {
      m_sum = simd::add_byte_sums(m_sum, _mm_and_si128(gone, simd::load(node.weight + i)));
      m_one = simd::add_byte_sums(m_one, _mm_and_si128(gone, simd::load(node.second + i)));
    }
    low = simd::min_bytes(low, _mm_or_si128(b, skip));
    high = simd::max_bytes(high, simd::outside(skip, b));
  }
  simd::fold_byte_extremes(low, high, out.lo, out.hi);
  out.missing_count = simd::byte_total(m_count);
  out.missing_sum = simd::byte_total(m_sum);
  out.missing_one = simd::byte_total(m_one);
#else
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t b = node.bins[i];
    if (may_miss && b == missing_byte) {
      ++out.missing_count;
      if (sum_missing) {
        out.missing_sum += node.weight[i];
        out.missing_one += node.second[i];
      }
      continue;
    }
    out.lo = b < out.lo ? b : out.lo;
    out.hi = b > out.hi ? b : out.hi;
  }
#endif
  return out;
}

// Count, weight and class-1 weight of the entries whose bin is <= last (two classes).
struct BytePrefix {
  uint64_t count = 0;
  uint64_t sum = 0;
  uint64_t one = 0;
};

inline BytePrefix binary_byte_prefix(const ByteNode& node, uint64_t last) {
  BytePrefix out;
  const uint64_t n = node.n;
#if MORVEL_SIMD_SSE2
  const __m128i limit = simd::splat(last);
  const __m128i ones = _mm_set1_epi8(1);
  __m128i p_count = simd::zero();
  __m128i p_sum = simd::zero();
  __m128i p_one = simd::zero();
  const auto block = [&](uint64_t i, __m128i valid) {
    const __m128i b = simd::load(node.bins + i);
    const __m128i in = _mm_and_si128(valid, simd::at_most(b, limit));  // b <= last
    p_count = simd::add_byte_sums(p_count, _mm_and_si128(in, ones));
    p_sum = simd::add_byte_sums(p_sum, _mm_and_si128(in, simd::load(node.weight + i)));
    p_one = simd::add_byte_sums(p_one, _mm_and_si128(in, simd::load(node.second + i)));
  };
  uint64_t i = 0;
  for (; i + simd::kLanes <= n; i += simd::kLanes) block(i, simd::all_lanes());
  if (i < n) block(i, simd::lanes_below(n - i));
  out.count = simd::byte_total(p_count);
  out.sum = simd::byte_total(p_sum);
  out.one = simd::byte_total(p_one);
#else
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t in = node.bins[i] <= last ? 1 : 0;
    out.count += in;
    out.sum += in * node.weight[i];
    out.one += in * node.second[i];
  }
#endif
  return out;
}

// Class sums of the entries whose bin is <= last (k classes, `classes` the entries' classes)
// into prefix[0..k), returning their count. Whole weights: exact in any order. Up to eight
// classes sum in vector lanes, 16 entries at a time.
[[gnu::always_inline]] inline uint64_t multi_byte_prefix(const ByteNode& node, const uint8_t* classes, uint64_t last,
                                                         uint64_t k, double* prefix) {
  const uint64_t n = node.n;
  uint64_t count = 0;
#if MORVEL_SIMD_SSE2
  if (k <= kTagLanes) {
    const __m128i limit = simd::splat(last);
    const __m128i ones = _mm_set1_epi8(1);
    __m128i p_count = simd::zero();
    __m128i p_class[kTagLanes];
    for (uint64_t c = 0; c < k; ++c) p_class[c] = simd::zero();
    const auto block = [&](uint64_t i, __m128i valid) {
      const __m128i b = simd::load(node.bins + i);
      const __m128i in = _mm_and_si128(valid, simd::at_most(b, limit));  // b <= last
      const __m128i w = _mm_and_si128(in, simd::load(node.weight + i));
      const __m128i cls = simd::load(classes + i);
      p_count = simd::add_byte_sums(p_count, _mm_and_si128(in, ones));
      for (uint64_t c = 0; c < k; ++c) {
        const __m128i mine = simd::equal(cls, simd::splat(c));
        p_class[c] = simd::add_byte_sums(p_class[c], _mm_and_si128(mine, w));
      }
    };
    uint64_t i = 0;
    for (; i + simd::kLanes <= n; i += simd::kLanes) block(i, simd::all_lanes());
    if (i < n) block(i, simd::lanes_below(n - i));
    count = simd::byte_total(p_count);
    for (uint64_t c = 0; c < k; ++c) prefix[c] = static_cast<double>(simd::byte_total(p_class[c]));
  } else
#endif
  {
    // The vector form assigns the sums of up to eight classes; here they are added to, so they
    // start at zero (more classes arrive cleared).
    if (k <= kTagLanes) std::fill(prefix, prefix + k, 0.0);
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t in = node.bins[i] <= last ? 1 : 0;
      count += in;
      prefix[classes[i]] += static_cast<double>(in * node.weight[i]);
    }
  }
  return count;
}

#if MORVEL_SIMD_SSE2
// Bytes base[offset[i]] for i in [begin, end) packed into a word, byte i - begin in bits
// 8 (i - begin) up; zero when the range is empty.
inline uint64_t gather_word(const uint8_t* base, const uint32_t* offset, uint64_t begin, uint64_t end) {
  uint64_t word = 0;
  for (uint64_t i = begin; i < end; ++i) word |= uint64_t{base[offset[i]]} << ((i - begin) * 8);
  return word;
}

// A small node's bins of one feature as `Blocks` vectors of 16 entries, lanes past n zero.
// Assembled in registers: bytes stored one by one and then loaded as a vector would stall
// the load until every store has completed.
template <uint64_t Blocks>
[[gnu::always_inline]] inline void gather_blocks(const uint8_t* base, const uint32_t* offset, uint64_t n,
                                                 __m128i* v) {
  for (uint64_t b = 0; b < Blocks; ++b) {
    const uint64_t start = simd::kLanes * b;
    const uint64_t middle = std::min(n, start + 8);
    const uint64_t end = std::min(n, start + simd::kLanes);
    const uint64_t low = start < middle ? gather_word(base, offset, start, middle) : 0;
    const uint64_t high = start + 8 < end ? gather_word(base, offset, start + 8, end) : 0;
    v[b] = _mm_set_epi64x(static_cast<int64_t>(high), static_cast<int64_t>(low));
  }
}
#endif

}  // namespace morvel::extra
