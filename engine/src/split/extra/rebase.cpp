// Rebased subtrees: a mid-size node's lines and tags copied once into arrays of its own.
#include "split/extra/extra_trees.h"

#include "morvel/errors.h"
#include "split/extra/common.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel {

using namespace extra;

namespace {

// Rebased subtrees start at nodes with at most this many bytes of lines (well inside a core's
// second-level cache), and at least kRebaseFrom entries (smaller ones are grown whole).
constexpr uint64_t kRebaseBytes = uint64_t{1} << 18;
constexpr uint64_t kRebaseFrom = kSmallSubtreeBelow;

}  // namespace

namespace extra {

bool rebase_serves(const TrainingContext& ctx, const ExtraPlan& plan) {
  if (ctx.profile != nullptr || plan.stats != ExtraStats::EntryBytes) return false;
  const BinnedMatrix& bm = *ctx.binned;
  return bm.row_major_copy.size() == bm.bins.size() && bm.row_major_copy.size() <= uint64_t{0xFFFFFFFF};
}

}  // namespace extra

bool may_rebase(const TrainingContext& ctx, const ExtraPlan& plan, const ExtraScratch& scratch, uint64_t n) {
  if (!plan.rebase || scratch.rebased) return false;
  const BinnedMatrix& bm = *ctx.binned;
  return n >= kRebaseFrom && n < BinnedMatrix::kRowMajorCopyBelow && n * bm.n_features <= kRebaseBytes;
}

void rebase_rows(const TrainingContext& ctx, std::span<RowIndex> rows, ExtraScratch& scratch) {
  MORVEL_ASSERT(!scratch.rebased && rebase_serves(ctx, scratch.plan) && rows.size() < BinnedMatrix::kRowMajorCopyBelow,
                "assertion failed: a rebased subtree needs byte growth");
  const BinnedMatrix& bm = *ctx.binned;
  const uint64_t n = rows.size();
  const uint64_t width = bm.n_features;
  // Lines are copied in 16-byte pieces, the last one running into the next line's place,
  // which that line then overwrites: the buffer is padded for the last one.
  const uint64_t pieces = simd::blocks_of(width);
  const uint64_t padded = n * width + simd::kLanes * pieces;
  if (scratch.local_lines.size() < padded) scratch.local_lines.resize(padded);
  if (scratch.local_tags.size() < n) scratch.local_tags.resize(n);
  const uint8_t* lines = bm.row_major_copy.data();
  [[maybe_unused]] const uint64_t size = bm.row_major_copy.size();
  uint8_t* local = scratch.local_lines.data();
  const uint64_t n_rows = scratch.row_tags.size();
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t r = rows[i];
    MORVEL_ASSERT(r < n_rows, "index out of bounds: row outside the training matrix");
    const uint8_t* from = lines + r * width;
    uint8_t* to = local + i * width;
#if MORVEL_SIMD_SSE2
    if (r * width + simd::kLanes * pieces <= size) {
      for (uint64_t p = 0; p < pieces; ++p)
        simd::store(to + simd::kLanes * p, simd::load(from + simd::kLanes * p));
    } else {
      std::memcpy(to, from, width);
    }
#else
    std::memcpy(to, from, width);
#endif
    scratch.local_tags[i] = scratch.row_tags[r];
    rows[i] = static_cast<RowIndex>(i);
  }
  scratch.rebased = true;
  scratch.rebased_rows = n;
}

void end_rebase(ExtraScratch& scratch) { scratch.rebased = false; }

}  // namespace morvel
