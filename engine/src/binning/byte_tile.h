// Transpose of a 16 x 16 byte tile in registers, shared by the layout conversions of the
// binned matrix and by the small-subtree searches, which turn rows of bins into lanes.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvel {

// Four rounds of byte interleaving transpose a tile whose rows are loaded, and whose columns
// come out, in this bit-reversed order: load row kTileOrder[i] into x[i], and after
// transpose_tile x[i] holds column kTileOrder[i].
inline constexpr uint8_t kTileOrder[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

#if defined(__SSE2__)
[[gnu::always_inline]] inline void transpose_tile(__m128i (&x)[16]) {
  for (int round = 0; round < 4; ++round) {
    __m128i y[16];
    for (uint64_t k = 0; k < 8; ++k) {
      y[k] = _mm_unpacklo_epi8(x[2 * k], x[2 * k + 1]);
      y[k + 8] = _mm_unpackhi_epi8(x[2 * k], x[2 * k + 1]);
    }
    for (uint64_t k = 0; k < 16; ++k) x[k] = y[k];
  }
}
#endif

}  // namespace morvel
