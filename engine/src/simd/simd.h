// The engine's one architecture guard. Vector paths test MORVEL_SIMD_SSE2 and nothing else;
// every one of them has a scalar form that computes the same values (sums of integers, or
// the same floating-point operations in the same order), which is what builds off x86.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
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

// Blocks of kLanes entries that hold n entries.
constexpr uint64_t blocks_of(uint64_t n) { return (n + kLanes - 1) / kLanes; }

}  // namespace morvel::simd
