// The per-tree random number generator: PCG32 (XSH-RR) with the increment used exactly as
// stored and a 64-bit rejection threshold for bounded draws. Every random decision of
// training goes through this type; never use <random> distributions or std::shuffle, whose
// algorithms differ between standard libraries.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "morvel/errors.h"
#include "morvel/messages.h"

namespace morvel {

class Rng {
 public:
  static constexpr uint64_t kMultiplier = 6364136223846793005ULL;  // 0x5851F42D4C957F2D

  // state = (seed * M + hop) * M + hop; the two warm-up steps produce no output.
  Rng(uint64_t seed, uint64_t hop) : state_(seed), hop_(hop) {
    state_ = state_ * kMultiplier + hop_;
    state_ = state_ * kMultiplier + hop_;
  }

  // Stream of tree `tree_index` of a forest seeded with `seed`: depends on nothing else,
  // so a tree is the same whichever worker grows it.
  static Rng for_tree(uint64_t seed, uint64_t tree_index) { return Rng(seed, tree_index + 1); }

  uint64_t state() const { return state_; }
  uint64_t hop() const { return hop_; }

  uint32_t next_u32() {
    MORVEL_ASSERT(hop_ > 0, msg::kHopPositive);
    const uint64_t old = state_;
    state_ = old * kMultiplier + hop_;
    const uint32_t x = static_cast<uint32_t>(((old >> 18) ^ old) >> 27);
    const uint32_t r = static_cast<uint32_t>(old >> 59);
    return (x >> r) | (x << ((32 - r) & 31));
  }

  // First output forms the high half.
  uint64_t next_u64() {
    const uint64_t hi = next_u32();
    const uint64_t lo = next_u32();
    return (hi << 32) | lo;
  }

  // 53 random bits in [0, 1).
  double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1p-53; }

  // Uniform in [0, up_to). The threshold is 2^64 mod up_to (not 2^32 mod up_to), and
  // up_to == 1 consumes nothing: both shape every later draw of the tree.
  uint64_t below(uint64_t up_to) {
    MORVEL_ASSERT(up_to > 0, msg::kUpToPositive);
    if (up_to == 1) return 0;
    const uint64_t threshold = (0 - up_to) % up_to;
    for (;;) {
      const uint64_t v = next_u32();
      if (v >= threshold) return v % up_to;
    }
  }

  // Forward Fisher-Yates; slices of length 0 or 1 consume nothing.
  template <class T>
  void shuffle(std::span<T> items) {
    const uint64_t n = items.size();
    if (n < 2) return;
    for (uint64_t i = 0; i + 1 < n; ++i) {
      const uint64_t j = i + below(n - i);
      std::swap(items[i], items[j]);
    }
  }

  // Draw without replacement from pool[0..available): the drawn item is swapped to position
  // available - 1, which the caller then treats as drawn. With one item left nothing is drawn.
  template <class T>
  T draw_without_replacement(std::span<T> pool, uint64_t available) {
    MORVEL_ASSERT(available > 0, msg::kUpToPositive);
    const uint64_t b = below(available);
    std::swap(pool[b], pool[available - 1]);
    return pool[available - 1];
  }

 private:
  uint64_t state_;  // the congruential state
  uint64_t hop_;    // additive increment; must be non-zero, used as stored (not forced odd)
};

}  // namespace morvel
