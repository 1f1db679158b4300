// The allocator behind the large scratch arrays and node arrays: blocks on both sides of the
// mapping threshold keep their contents through growth, copies, moves and swaps.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "morvel/large_buffer.h"

namespace morvel {
namespace {

TEST(LargeBuffer, KeepsContentsAcrossTheMappingThreshold) {
  // 1 MiB of uint32 is 262,144 entries: grow from below the threshold to far above it.
  LargeVector<uint32_t> v;
  for (uint32_t i = 0; i < 1'000'000; ++i) v.push_back(i * 2654435761u);
  for (uint32_t i = 0; i < 1'000'000; ++i) ASSERT_EQ(v[i], i * 2654435761u) << i;

  LargeVector<uint32_t> copy = v;
  LargeVector<uint32_t> small(10, 7);
  copy.swap(small);
  EXPECT_EQ(copy, LargeVector<uint32_t>(10, 7));
  EXPECT_EQ(small, v);

  // Shrinking below the threshold and growing back keeps the front intact.
  small.resize(100);
  small.shrink_to_fit();
  small.resize(600'000);
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(small[i], i * 2654435761u);
  EXPECT_EQ(small[599'999], 0u);  // value-initialised, on mapped pages or not

  LargeVector<uint32_t> moved = std::move(v);
  EXPECT_EQ(moved.size(), 1'000'000u);
  EXPECT_EQ(moved.back(), 999'999u * 2654435761u);
}

TEST(LargeBuffer, RefusesSizesBeyondTheAddressSpace) {
  LargeBufferAllocator<uint64_t> allocator;
  EXPECT_THROW(allocator.allocate(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
}

}  // namespace
}  // namespace morvel
