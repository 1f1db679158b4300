// The generator's stream is part of every model: these pin its start states, the 64-bit
// rejection threshold and which calls consume steps.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "morvel/errors.h"
#include "data/rng.h"

namespace morvel {
namespace {

constexpr uint64_t kM = Rng::kMultiplier;

// Inverse of an odd number modulo 2^64 (Newton iteration).
uint64_t inverse(uint64_t a) {
  uint64_t x = a;
  for (int i = 0; i < 6; ++i) x *= 2 - a * x;
  return x;
}

// A generator whose next step starts from `state` (so its next output is chosen by `state`).
Rng rng_at(uint64_t state, uint64_t hop) {
  const uint64_t seed = (state - hop * (kM + 1)) * inverse(kM * kM);
  Rng rng(seed, hop);
  EXPECT_EQ(rng.state(), state);
  return rng;
}

// A state whose next_u32 output is `value` (rotation 0).
uint64_t state_emitting(uint32_t value) {
  // Output bits are bits 27..58 of (old >> 18) ^ old; solve from the top bit down.
  uint64_t old = 0;
  for (int i = 58; i >= 27; --i) {
    const uint64_t want = (value >> (i - 27)) & 1;
    const uint64_t upper = i + 18 <= 63 ? (old >> (i + 18)) & 1 : 0;
    old |= (want ^ upper) << i;
  }
  return old | 0x12345;  // low bits do not reach the output
}

TEST(Rng, StartStates) {
  EXPECT_EQ(Rng(0, 1).state(), 0x5851F42D4C957F2EULL);
  EXPECT_EQ(Rng::for_tree(0, 0).state(), 0x5851F42D4C957F2EULL);
  const uint64_t seed = 987654321;
  EXPECT_EQ(Rng::for_tree(seed, 0).state(), seed * 0x685F98A2018FADE9ULL + 0x5851F42D4C957F2EULL);
  for (uint64_t t = 0; t < 4; ++t) {
    EXPECT_EQ(Rng::for_tree(seed, t + 1).state() - Rng::for_tree(seed, t).state(), kM + 1);
    EXPECT_EQ(Rng::for_tree(seed, t).hop(), t + 1);
  }
}

TEST(Rng, StreamOfTreeZeroOfSeedZero) {
  Rng rng = Rng::for_tree(0, 0);
  const std::vector<uint32_t> expected = {3837872008u, 932996374u, 1548399547u, 1612522464u, 473443212u,
                                          3522865942u};
  for (const uint32_t e : expected) EXPECT_EQ(rng.next_u32(), e);

  Rng bounded = Rng::for_tree(0, 0);
  const std::vector<uint64_t> draws = {8, 74, 47, 64, 12, 42, 97, 26};
  for (const uint64_t d : draws) EXPECT_EQ(bounded.below(100), d);

  Rng floats = Rng::for_tree(0, 0);
  EXPECT_DOUBLE_EQ(floats.next_f64(), 0.8935742099343869);
  EXPECT_DOUBLE_EQ(floats.next_f64(), 0.3605148632487851);

  Rng other = Rng(42, 3);
  EXPECT_EQ(other.state(), 0x28A4E71C275305C4ULL);
  EXPECT_EQ(other.next_u64(), (uint64_t{0x18A4ED35} << 32) | 0xC66FBE16u);
}

TEST(Rng, TreesHaveDistinctStreams) {
  Rng a = Rng::for_tree(7, 0);
  Rng b = Rng::for_tree(7, 1);
  Rng a2 = Rng::for_tree(7, 0);
  bool differ = false;
  for (int i = 0; i < 8; ++i) {
    const uint32_t x = a.next_u32();
    differ |= x != b.next_u32();
    EXPECT_EQ(x, a2.next_u32());
  }
  EXPECT_TRUE(differ);
}

struct ThresholdCase {
  uint64_t up_to;
  uint32_t output;   // the next raw output
  bool accepted;     // under the 64-bit threshold
};

class RngThreshold : public ::testing::TestWithParam<ThresholdCase> {};

// below(100) has threshold 16 (a 32-bit rule would give 96); below(7) has 2 (not 4);
// below(10) has 6 either way.
TEST_P(RngThreshold, RejectsOnlyBelowTheSixtyFourBitThreshold) {
  const ThresholdCase c = GetParam();
  Rng rng = rng_at(state_emitting(c.output), 5);
  Rng probe = rng;
  ASSERT_EQ(probe.next_u32(), c.output);
  const uint64_t one_step = probe.state();
  const uint64_t drawn = rng.below(c.up_to);
  if (c.accepted) {
    EXPECT_EQ(drawn, c.output % c.up_to);
    EXPECT_EQ(rng.state(), one_step);
  } else {
    EXPECT_NE(rng.state(), one_step);  // rejected: at least one more step
  }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, RngThreshold,
                         ::testing::Values(ThresholdCase{100, 20, true}, ThresholdCase{100, 15, false},
                                           ThresholdCase{100, 16, true}, ThresholdCase{7, 3, true},
                                           ThresholdCase{7, 1, false}, ThresholdCase{10, 5, false},
                                           ThresholdCase{10, 6, true}));

TEST(Rng, DegenerateCalls) {
  Rng rng(3, 1);
  const uint64_t before = rng.state();
  EXPECT_EQ(rng.below(1), 0u);
  EXPECT_EQ(rng.state(), before);
  std::vector<uint64_t> one = {4};
  rng.shuffle(std::span<uint64_t>(one));
  EXPECT_EQ(rng.state(), before);

  try {
    rng.below(0);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "assertion failed: up_to > 0");
  }

  Rng stuck(3, 0);
  EXPECT_EQ(stuck.below(1), 0u);
  try {
    stuck.next_u32();
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "assertion failed: self.hop > 0");
  }
}

TEST(Rng, ShuffleIsForwardFisherYates) {
  Rng rng = Rng::for_tree(0, 0);
  std::vector<uint64_t> items(10);
  std::iota(items.begin(), items.end(), 0);
  rng.shuffle(std::span<uint64_t>(items));
  EXPECT_EQ(items, (std::vector<uint64_t>{8, 0, 5, 3, 4, 7, 2, 1, 9, 6}));
}

}  // namespace
}  // namespace morvel
