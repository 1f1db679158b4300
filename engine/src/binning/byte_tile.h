// Transpose of a 16 x 16 byte tile in registers, shared by the layout conversions of the
// binned matrix and by the small-subtree searches, which turn rows of bins into lanes.
#pragma once

#include <cstdint>

#include "simd/simd.h"

namespace morvel {

// Four rounds of byte interleaving transpose a tile whose rows are loaded, and whose columns
// come out, in this bit-reversed order: load row kTileOrder[i] into x[i], and after
// transpose_tile x[i] holds column kTileOrder[i].
inline constexpr uint8_t kTileOrder[simd::kLanes] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

// Off x86 there is no tile in registers: callers copy byte by byte instead.
#if MORVEL_SIMD_SSE2
[[gnu::always_inline]] inline void transpose_tile(__m128i (&x)[simd::kLanes]) {
  constexpr uint64_t kHalf = simd::kLanes / 2;
  constexpr int kRounds = 4;  // log2 of the lanes
  static_assert(uint64_t{1} << kRounds == simd::kLanes);
  for (int round = 0; round < kRounds; ++round) {
    __m128i y[simd::kLanes];
    for (uint64_t k = 0; k < kHalf; ++k) {
      y[k] = _mm_unpacklo_epi8(x[2 * k], x[2 * k + 1]);
      y[k + kHalf] = _mm_unpackhi_epi8(x[2 * k], x[2 * k + 1]);
    }
    for (uint64_t k = 0; k < simd::kLanes; ++k) x[k] = y[k];
  }
}
#endif

}  // namespace morvel
