// Class lanes: per-entry byte lanes holding each entry's weight in the lane of its class, as
// tags of eight lanes or as class planes of 16 entries, and their exact prefix sums.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "split/extra/common.h"

namespace morvel::extra {


// Class sums of the entries with value <= t (NaN never qualifies) from per-entry tags of
// eight byte lanes, each entry's weight (a whole number of at most 255) in the lane of its
// class and zeros elsewhere. Every sum is an exact integer, so the order of the additions
// cannot matter.
struct TagPrefix {
  uint64_t sums[kTagLanes];  // per class
  uint64_t count;            // entries with value <= t
};

#if MORVEL_SIMD_SSE2
// Eight-lane sums of masked tags. Each step adds a register of two entries' tags (bytes 0-7
// the first entry's classes, bytes 8-15 the second's) into two accumulators of 16-bit lanes:
// `even` takes the bytes of classes 0, 2, 4, 6 and `odd` those of classes 1, 3, 5, 7, each
// lane gathering one class of one of the two entries. A block of at most 256 entries leaves
// each lane below 129 x 255 and the two halves of a lane pair below 256 x 255 < 2^16; `flush`
// then folds the halves, puts the classes back in order and widens them into 64-bit sums.
struct TagLanes {
  __m128i even = simd::zero();
  __m128i odd = simd::zero();
  __m128i sums[4] = {simd::zero(), simd::zero(), simd::zero(),
                     simd::zero()};  // classes 0-1, 2-3, 4-5, 6-7

  static constexpr uint64_t kBlock = 256;

  void add(__m128i tags) {
    even = _mm_add_epi16(even, _mm_and_si128(tags, _mm_set1_epi16(0x00FF)));
    odd = _mm_add_epi16(odd, _mm_srli_epi16(tags, 8));
  }
  void flush() {
    const __m128i zero = simd::zero();
    const __m128i e = _mm_add_epi16(even, _mm_srli_si128(even, 8));  // classes 0, 2, 4, 6
    const __m128i o = _mm_add_epi16(odd, _mm_srli_si128(odd, 8));    // classes 1, 3, 5, 7
    const __m128i ordered = _mm_unpacklo_epi16(e, o);                // classes 0 to 7
    const __m128i low = _mm_unpacklo_epi16(ordered, zero);
    const __m128i high = _mm_unpackhi_epi16(ordered, zero);
    sums[0] = _mm_add_epi64(sums[0], _mm_unpacklo_epi32(low, zero));
    sums[1] = _mm_add_epi64(sums[1], _mm_unpackhi_epi32(low, zero));
    sums[2] = _mm_add_epi64(sums[2], _mm_unpacklo_epi32(high, zero));
    sums[3] = _mm_add_epi64(sums[3], _mm_unpackhi_epi32(high, zero));
    even = zero;
    odd = zero;
  }
  void store(uint64_t* out) const {
    for (uint64_t j = 0; j < 4; ++j) simd::store(out + 2 * j, sums[j]);
  }
};

#endif

inline TagPrefix tag_prefix(const double* values, const uint8_t* tags, uint64_t n, double t) {
  TagPrefix out{};
#if MORVEL_SIMD_SSE2
  // One compare masks two entries: the 64-bit lanes of the mask cover exactly the two
  // entries' eight-byte tags.
  const __m128d threshold = _mm_set1_pd(t);
  TagLanes lanes;
  __m128i counts = simd::zero();
  uint64_t i = 0;
  while (i < n) {
    const uint64_t end = n - i > TagLanes::kBlock ? i + TagLanes::kBlock : n;
    for (; i + 4 <= end; i += 4) {
      const __m128i in_a = _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(values + i), threshold));
      const __m128i in_b = _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(values + i + 2), threshold));
      counts = _mm_sub_epi64(counts, _mm_add_epi64(in_a, in_b));
      lanes.add(_mm_and_si128(in_a, simd::load(tags + 8 * i)));
      lanes.add(_mm_and_si128(in_b, simd::load(tags + 8 * i + 16)));
    }
    for (; i < end; ++i) {
      // load_sd and loadl_epi64 leave the upper lane zero: its mask and tag add nothing.
      const __m128i in = _mm_castpd_si128(_mm_cmple_sd(_mm_load_sd(values + i), threshold));
      counts = _mm_sub_epi64(counts, in);
      lanes.add(_mm_and_si128(in, simd::load_half(tags + 8 * i)));
    }
    lanes.flush();
  }
  lanes.store(out.sums);
  alignas(16) uint64_t lane_counts[2];
  simd::store_aligned(lane_counts, counts);
  out.count = lane_counts[0] + lane_counts[1];
#else
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t in = values[i] <= t ? 1 : 0;
    out.count += in;
    for (uint64_t c = 0; c < kTagLanes; ++c) out.sums[c] += in * tags[kTagLanes * i + c];
  }
#endif
  return out;
}

// Per-class sums of every tag of a node.
inline void tag_totals(const uint8_t* tags, uint64_t n, uint64_t* sums) {
#if MORVEL_SIMD_SSE2
  TagLanes lanes;
  uint64_t i = 0;
  while (i < n) {
    const uint64_t end = n - i > TagLanes::kBlock ? i + TagLanes::kBlock : n;
    for (; i + 2 <= end; i += 2) lanes.add(simd::load(tags + 8 * i));
    if (i < end) {
      lanes.add(simd::load_half(tags + 8 * i));
      ++i;
    }
    lanes.flush();
  }
  lanes.store(sums);
#else
  for (uint64_t c = 0; c < kTagLanes; ++c) sums[c] = 0;
  for (uint64_t i = 0; i < n; ++i)
    for (uint64_t c = 0; c < kTagLanes; ++c) sums[c] += tags[kTagLanes * i + c];
#endif
}

// tag_prefix as doubles: writes `prefix[0..k)` and returns the prefix count.
inline uint64_t tagged_prefix(const double* values, const uint8_t* tags, uint64_t n, double t, uint64_t k,
                       double* prefix) {
  const TagPrefix sums = tag_prefix(values, tags, n, t);
  // The sums are far below 2^63: the signed conversion is one instruction.
  for (uint64_t c = 0; c < k; ++c) prefix[c] = static_cast<double>(static_cast<int64_t>(sums.sums[c]));
  return sums.count;
}

// ---- class planes ------------------------------------------------------------------------
// The lanes of a node without missing values, laid out per block of 16 entries as one plane
// of 16 bytes per class (ExtraScratch::entry_planes). Every sum is an exact integer.

// Bytes of the planes of a node of n entries with k classes.
inline uint64_t plane_bytes(uint64_t n, uint64_t k) { return simd::blocks_of(n) * simd::kLanes * k; }

// tag_prefix from class planes of K classes: a block's 16 comparisons packed into one byte
// mask, with which each plane is masked and byte-summed. `values` must hold n rounded up to
// 16 readable values: the entries past n weigh 0 in every plane and are left out of the count.
#if MORVEL_SIMD_SSE2
// The sums of plane_prefix left in vectors: per class, two 64-bit partial sums in `sums[c]`;
// returns the count.
template <uint64_t K>
[[gnu::always_inline]] inline uint64_t plane_prefix_lanes(const double* values, const uint8_t* planes, uint64_t n,
                                                          double t, __m128i (&sums)[K]) {
  const __m128d threshold = _mm_set1_pd(t);
  const __m128i zero = simd::zero();
  const __m128i ones = _mm_set1_epi8(1);
  for (uint64_t c = 0; c < K; ++c) sums[c] = zero;
  __m128i counts = zero;
  const auto compare = [&](const double* v) { return _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(v), threshold)); };
  for (uint64_t begin = 0; begin < n; begin += simd::kLanes) {
    const double* v = values + begin;
    // A comparison sets both 32-bit halves of an entry's 64-bit lane alike: the saturating
    // packs keep one copy of each entry, in list order.
    const __m128i m0 = _mm_packs_epi32(compare(v), compare(v + 2));
    const __m128i m1 = _mm_packs_epi32(compare(v + 4), compare(v + 6));
    const __m128i m2 = _mm_packs_epi32(compare(v + 8), compare(v + 10));
    const __m128i m3 = _mm_packs_epi32(compare(v + 12), compare(v + 14));
    __m128i in = _mm_packs_epi16(_mm_packs_epi16(m0, m1), _mm_packs_epi16(m2, m3));
    if (n - begin < simd::kLanes) in = _mm_and_si128(in, simd::lanes_below(n - begin));
    counts = _mm_add_epi64(counts, _mm_sad_epu8(_mm_and_si128(in, ones), zero));
    const uint8_t* block = planes + K * begin;
    for (uint64_t c = 0; c < K; ++c)
      sums[c] = _mm_add_epi64(sums[c], _mm_sad_epu8(_mm_and_si128(in, simd::load(block + simd::kLanes * c)), zero));
  }
  return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(counts, _mm_unpackhi_epi64(counts, counts))));
}
#endif

template <uint64_t K>
[[gnu::always_inline]] inline TagPrefix plane_prefix(const double* values, const uint8_t* planes, uint64_t n,
                                                     double t) {
  TagPrefix out{};
#if MORVEL_SIMD_SSE2
  __m128i sums[K];
  out.count = plane_prefix_lanes<K>(values, planes, n, t, sums);
  alignas(16) uint64_t lanes[2];
  for (uint64_t c = 0; c < K; ++c) {
    simd::store_aligned(lanes, sums[c]);
    out.sums[c] = lanes[0] + lanes[1];
  }
#else
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t in = values[i] <= t ? 1 : 0;
    out.count += in;
    const uint8_t* block = planes + K * (i & ~uint64_t{15}) + (i & 15);
    for (uint64_t c = 0; c < K; ++c) out.sums[c] += in * block[simd::kLanes * c];
  }
#endif
  return out;
}

}  // namespace morvel::extra
