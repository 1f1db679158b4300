// The engine's one architecture guard. Vector paths test MORVEL_SIMD_SSE2 and nothing else;
// every one of them has a scalar form that computes the same values (sums of integers, or
// the same floating-point operations in the same order), which is what builds off x86.
// Defining MORVEL_NO_SIMD builds the scalar forms on x86 too, so that they can be tested.
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(__SSE2__) && !defined(MORVEL_NO_SIMD)
#define MORVEL_SIMD_SSE2 1
#include <emmintrin.h>
#else
#define MORVEL_SIMD_SSE2 0
#endif

// Function multiversioning (an AVX2 clone beside the default) where the compiler and target
// support it; elsewhere the plain function. Additions and multiplications round the same in
// every instruction set and contraction is off, so a clone computes the very same values.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__ELF__)
#define MORVEL_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MORVEL_TARGET_CLONES
#endif

namespace morvel::simd {

// Entries are handled in blocks of this many byte lanes (one 128-bit register).
inline constexpr uint64_t kLanes = 16;
// A block's lanes in each of its two 64-bit halves.
inline constexpr uint64_t kHalfLanes = kLanes / 2;

// Blocks of kLanes entries that hold n entries.
constexpr uint64_t blocks_of(uint64_t n) { return (n + kLanes - 1) / kLanes; }

// Set bits of a word. Without the POPCNT instruction in the baseline target, std::popcount
// is a call into the compiler's runtime library; the bit-slice sum below is a dozen inline
// instructions, which the small subtrees' entry masks count at every node.
[[gnu::always_inline]] inline uint64_t popcount(uint64_t x) {
#if defined(__POPCNT__)
  return static_cast<uint64_t>(__builtin_popcountll(x));
#else
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return (x * 0x0101010101010101ULL) >> 56;
#endif
}

template <uint64_t B>
using BlockCount = std::integral_constant<uint64_t, B>;

// Calls fn(BlockCount<B>{}) with B = blocks when kFirst <= blocks <= kMax, else otherwise():
// searches that hold a small node in registers keep a copy per block count.
template <uint64_t kMax, uint64_t kFirst = 1, class Fn, class Otherwise>
[[gnu::always_inline]] inline decltype(auto) with_block_count(uint64_t blocks, Fn&& fn, Otherwise&& otherwise) {
  if constexpr (kFirst > kMax) {
    return otherwise();
  } else {
    if (blocks == kFirst) return fn(BlockCount<kFirst>{});
    return with_block_count<kMax, kFirst + 1>(blocks, fn, otherwise);
  }
}

#if MORVEL_SIMD_SSE2
// A block of 16 byte lanes.
using Bytes = __m128i;

[[gnu::always_inline]] inline Bytes zero() { return _mm_setzero_si128(); }
[[gnu::always_inline]] inline Bytes splat(uint64_t byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
// Every lane set (a mask of the whole block).
[[gnu::always_inline]] inline Bytes all_lanes() { return _mm_set1_epi8(static_cast<char>(0xFF)); }
[[gnu::always_inline]] inline Bytes load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
[[gnu::always_inline]] inline Bytes load_aligned(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
[[gnu::always_inline]] inline void store(void* p, Bytes v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
[[gnu::always_inline]] inline void store_aligned(void* p, Bytes v) { _mm_store_si128(static_cast<__m128i*>(p), v); }
// Eight bytes into the low half, the high half zero.
[[gnu::always_inline]] inline Bytes load_half(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
// Two 64-bit words as a block: `low` in lanes 0-7, `high` in lanes 8-15.
[[gnu::always_inline]] inline Bytes from_words(uint64_t low, uint64_t high) {
  return _mm_set_epi64x(static_cast<int64_t>(high), static_cast<int64_t>(low));
}

// Masks combine with the vector operators & and | (one instruction each).
// The lanes of `a` outside `mask`: a & ~mask.
[[gnu::always_inline]] inline Bytes outside(Bytes mask, Bytes a) { return _mm_andnot_si128(mask, a); }

// Lane masks (all ones where true).
[[gnu::always_inline]] inline Bytes equal(Bytes a, Bytes b) { return _mm_cmpeq_epi8(a, b); }
// Unsigned a <= b per lane.
[[gnu::always_inline]] inline Bytes at_most(Bytes a, Bytes b) { return _mm_cmpeq_epi8(_mm_min_epu8(a, b), a); }
[[gnu::always_inline]] inline Bytes min_bytes(Bytes a, Bytes b) { return _mm_min_epu8(a, b); }
[[gnu::always_inline]] inline Bytes max_bytes(Bytes a, Bytes b) { return _mm_max_epu8(a, b); }
// Bit i of the result is the top bit of lane i.
[[gnu::always_inline]] inline uint32_t lane_bits(Bytes mask) { return static_cast<uint32_t>(_mm_movemask_epi8(mask)); }

// All ones in the byte lanes below min(m, 16), zeros above.
[[gnu::always_inline]] inline Bytes lanes_below(uint64_t m) {
  alignas(16) static constexpr uint8_t kMask[2 * kLanes] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return load(kMask + kLanes - (m < kLanes ? m : kLanes));
}

// Lanes set where the 16 low bits of `bits` are set (bit i: lane i).
[[gnu::always_inline]] inline Bytes lanes_of_bits(uint64_t bits) {
  const __m128i select = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
  const uint64_t spread = 0x0101010101010101ULL;
  const __m128i bytes = from_words((bits & 0xFF) * spread, ((bits >> 8) & 0xFF) * spread);
  return _mm_cmpeq_epi8(_mm_and_si128(bytes, select), select);
}

// Byte sums: `sums` holds two 64-bit partial sums (one per half of the block), to which
// add_byte_sums adds the 16 bytes of `v`; byte_total gives their total.
[[gnu::always_inline]] inline Bytes add_byte_sums(Bytes sums, Bytes v) {
  return _mm_add_epi64(sums, _mm_sad_epu8(v, _mm_setzero_si128()));
}
[[gnu::always_inline]] inline uint64_t byte_total(Bytes sums) {
  return static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
         static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

// The smallest byte of `low` and the largest of `high`: halves, quarters, eighths, sixteenths.
[[gnu::always_inline]] inline void fold_byte_extremes(Bytes low, Bytes high, uint64_t& lo, uint64_t& hi) {
  low = _mm_min_epu8(low, _mm_srli_si128(low, 8));
  high = _mm_max_epu8(high, _mm_srli_si128(high, 8));
  low = _mm_min_epu8(low, _mm_srli_si128(low, 4));
  high = _mm_max_epu8(high, _mm_srli_si128(high, 4));
  low = _mm_min_epu8(low, _mm_srli_si128(low, 2));
  high = _mm_max_epu8(high, _mm_srli_si128(high, 2));
  low = _mm_min_epu8(low, _mm_srli_si128(low, 1));
  high = _mm_max_epu8(high, _mm_srli_si128(high, 1));
  lo = static_cast<uint64_t>(_mm_cvtsi128_si32(low) & 0xFF);
  hi = static_cast<uint64_t>(_mm_cvtsi128_si32(high) & 0xFF);
}
#endif

}  // namespace morvel::simd
