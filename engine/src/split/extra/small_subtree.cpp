// Small subtrees: levels of entries in byte lanes, their statistics and searches.
#include "split/extra/extra_trees.h"

#include "binning/byte_tile.h"
#include "morvel/errors.h"
#include "split/extra/node_lanes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel {

using namespace extra;

namespace {

#if MORVEL_SIMD_SSE2
// The 16 bytes at `at` of lines of `size` bytes (bytes past the end read as 0; those of later
// rows belong to no feature here).
inline __m128i load_row_bins(const uint8_t* lines, uint64_t size, uint64_t at) {
  if (at + simd::kLanes <= size) return simd::load(lines + at);
  alignas(16) uint8_t tail[16] = {};
  if (at < size) std::memcpy(tail, lines + at, size - at);
  return simd::load_aligned(tail);
}

// Transposes the level's bins of the 16 features of `group` from the row-major copy into
// lanes: one tile per block of 16 entries.
template <uint64_t Blocks>
void fill_group(const uint8_t* lines, uint64_t size, SmallLevel& level, uint64_t group) {
  const uint64_t first = simd::kLanes * group;
  const uint8_t* copy = lines + first;
  uint8_t* out = level.bins.data() + first * Blocks * simd::kLanes;
  for (uint64_t b = 0; b < Blocks; ++b) {
    const uint32_t* offset = level.offset + simd::kLanes * b;
    __m128i x[16];
    if (level.rows_in_copy) {
      for (uint64_t i = 0; i < 16; ++i) x[i] = simd::load(copy + offset[kTileOrder[i]]);
    } else {
      for (uint64_t i = 0; i < 16; ++i) x[i] = load_row_bins(lines, size, offset[kTileOrder[i]] + first);
    }
    transpose_tile(x);
    for (uint64_t i = 0; i < 16; ++i)
      simd::store(out + (kTileOrder[i] * Blocks + b) * simd::kLanes, x[i]);
  }
  level.group_ready[group] = 1;
}

template <uint64_t K, uint64_t Blocks>
std::optional<NodeSplit> small_node_search(const TrainingContext& ctx, const SearchRules& rules, SmallLevel& level,
                                           EntryMask mask, uint64_t n, const NodeStats& stats, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch, EntryMask& left_mask,
                                           SmallSums& left_sums, SmallSums& right_sums) {
  const BinnedMatrix& bm = *ctx.binned;
  MORVEL_ASSERT(level.blocks == Blocks && level.n <= simd::kLanes * Blocks && (mask >> level.n) == 0 &&
                    level.group_ready.size() * simd::kLanes >= bm.n_features &&
                    level.bins.size() >= level.group_ready.size() * simd::kLanes * Blocks * simd::kLanes,
                "index out of bounds: small subtree node outside its level");
  __m128i lanes[Blocks][K];
  __m128i valid[Blocks];
  for (uint64_t b = 0; b < Blocks; ++b) {
    for (uint64_t c = 0; c < K; ++c) lanes[b][c] = simd::load_aligned(level.lanes[b][c]);
    valid[b] = simd::lanes_of_bits(static_cast<uint64_t>(mask >> (simd::kLanes * b)));
  }
  __m128i best_bins[Blocks];
  WinnerSums<K> winner;
  const uint8_t* lines = row_lines(bm, scratch);
  const uint64_t lines_size = row_lines_size(bm, scratch);
  auto best = search_node_lanes<K, Blocks>(
      ctx, rules, stats, bounds, n, valid, lanes,
      [&](uint64_t feature, __m128i (&v)[Blocks]) {
        const uint64_t group = feature / simd::kLanes;
        if (level.group_ready[group] == 0) fill_group<Blocks>(lines, lines_size, level, group);
        const uint8_t* at = level.bins.data() + feature * Blocks * simd::kLanes;
        for (uint64_t b = 0; b < Blocks; ++b) v[b] = simd::load(at + simd::kLanes * b);
      },
      constant_features, rng, pool, draws, max_features, scratch, best_bins, &winner);
  if (best) {
    // Entries above the threshold go left, and a missing bin (above every threshold) by
    // missing_left: the routing of partition_by_bins.
    const double pivot = best->candidate.pivot;
    const __m128i limit = simd::splat(static_cast<uint64_t>(pivot));
    const bool drop_missing = bm.has_missing && !best->candidate.missing_left;
    const __m128i missing_v = simd::splat(missing_bin(bm.edges[best->feature].size()));
    EntryMask left = 0;
    for (uint64_t b = 0; b < Blocks; ++b) {
      __m128i above = simd::outside(simd::at_most(best_bins[b], limit), valid[b]);
      if (drop_missing) above = simd::outside(simd::equal(best_bins[b], missing_v), above);
      left |= static_cast<EntryMask>(static_cast<uint32_t>(_mm_movemask_epi8(above))) << (simd::kLanes * b);
    }
    left_mask = left;
    // The children's lane sums: the right child holds the winner's prefix (and the missing
    // entries unless they go left), the left child the rest of the node. Whole numbers, as
    // lane_stats would sum them from the children's masks.
    const bool missing_left = best->candidate.missing_left;
    for (uint64_t l = 0; l < K; ++l) {
      const double node_lane = K == 2 && l == 0 ? stats.weight : stats.class_weight[l];
      const uint64_t right = simd::byte_total(winner.prefix[l]) + (missing_left ? 0 : winner.missing[l]);
      right_sums.lane[l] = static_cast<uint16_t>(right);
      left_sums.lane[l] = static_cast<uint16_t>(static_cast<uint64_t>(node_lane) - right);
    }
  }
  return best;
}

// The class weights and the weight of the entries of `mask` from the level's K lanes, as
// whole sums. Whole numbers: the integer sums equal compute_node_stats' list-order double sums.
template <uint64_t K, uint64_t Blocks>
void lane_stats(const SmallLevel& level, EntryMask mask, double* class_weight, double& weight) {
  __m128i total[K];
  for (uint64_t c = 0; c < K; ++c) total[c] = simd::zero();
  for (uint64_t b = 0; b < Blocks; ++b) {
    const __m128i valid = simd::lanes_of_bits(static_cast<uint64_t>(mask >> (simd::kLanes * b)));
    for (uint64_t c = 0; c < K; ++c)
      total[c] = simd::add_byte_sums(total[c], _mm_and_si128(valid, simd::load_aligned(level.lanes[b][c])));
  }
  uint64_t sums[K];
  for (uint64_t c = 0; c < K; ++c) sums[c] = simd::byte_total(total[c]);
  // Two classes: the lanes hold the weights and the class-1 weights.
  uint64_t all = 0;
  if constexpr (K == 2) {
    all = sums[0];
    sums[0] = all - sums[1];
  } else {
    for (uint64_t c = 0; c < K; ++c) all += sums[c];
  }
  for (uint64_t c = 0; c < K; ++c) class_weight[c] = whole_sum(sums[c]);
  weight = whole_sum(all);
}

// Completes a level whose n entries were just copied in: pads the offsets, forms the lanes
// for k classes and forgets the transposed bins. The entries of a level opened from one whose
// rows all lie inside the copy (`in_copy`) do too.
void finish_level(const BinnedMatrix& bm, uint64_t lines_size, SmallLevel& level, uint64_t n, uint64_t k,
                  bool in_copy) {
  level.n = n;
  level.blocks = simd::blocks_of(n);
  const uint64_t groups = simd::blocks_of(bm.n_features);
  if (!in_copy) {
    uint64_t last = 0;
    for (uint64_t i = 0; i < n; ++i) last = std::max<uint64_t>(last, level.offset[i]);
    in_copy = last + simd::kLanes * groups <= lines_size;
  }
  for (uint64_t i = n; i < simd::kLanes * level.blocks; ++i) level.offset[i] = level.offset[0];
  level.rows_in_copy = in_copy;
  for (uint64_t b = 0; b < level.blocks; ++b) {
    const __m128i valid = simd::lanes_below(n - simd::kLanes * b);
    const __m128i w = _mm_and_si128(valid, simd::load(level.weight + simd::kLanes * b));
    const __m128i second = _mm_and_si128(valid, simd::load(level.second + simd::kLanes * b));
    for (uint64_t c = 0; c < k; ++c)
      simd::store_aligned(level.lanes[b][c], entry_lane(w, second, k, c));
  }
  level.group_ready.assign(groups, 0);
  const uint64_t size = groups * simd::kLanes * level.blocks * simd::kLanes;
  if (level.bins.size() < size) level.bins.resize(size);
}
#endif

}  // namespace

EntryMask open_small_root(const TrainingContext& ctx, uint64_t n, const NodePrep& prep, ExtraScratch& scratch) {
#if MORVEL_SIMD_SSE2
  const uint64_t k = ctx.n_classes;
  const std::vector<uint8_t>& second = k == 2 ? scratch.entry_bytes_one : scratch.entry_classes;
  MORVEL_ASSERT(ctx.binned && n > 0 && n < kSmallSubtreeBelow && prep.row_offsets &&
                    scratch.row_offsets.size() >= n && scratch.entry_bytes.size() >= n && second.size() >= n,
                "assertion failed: a small subtree starts at a node prepared on bytes");
  if (scratch.small_levels.size() < kSmallLevels) scratch.small_levels.resize(kSmallLevels);
  SmallLevel& level = scratch.small_levels[0];
  std::copy_n(scratch.row_offsets.data(), n, level.offset);
  std::copy_n(scratch.entry_bytes.data(), n, level.weight);
  std::copy_n(second.data(), n, level.second);
  finish_level(*ctx.binned, row_lines_size(*ctx.binned, scratch), level, n, k, false);
  return first_entries(n);
#else
  (void)ctx;
  (void)n;
  (void)prep;
  (void)scratch;
  throw_internal("small subtrees need SSE2");
#endif
}

EntryMask open_small_level(const TrainingContext& ctx, uint64_t level, EntryMask mask, ExtraScratch& scratch) {
#if MORVEL_SIMD_SSE2
  MORVEL_ASSERT(level > 0 && level < scratch.small_levels.size() && mask != 0 &&
                    (mask >> scratch.small_levels[level - 1].n) == 0,
                "index out of bounds: small subtree level");
  const SmallLevel& from = scratch.small_levels[level - 1];
  SmallLevel& to = scratch.small_levels[level];
  uint64_t j = 0;
  for (uint64_t word = 0; word < 2; ++word) {
    for (uint64_t rest = static_cast<uint64_t>(mask >> (64 * word)); rest != 0; rest &= rest - 1) {
      const uint64_t i = 64 * word + static_cast<uint64_t>(std::countr_zero(rest));
      to.offset[j] = from.offset[i];
      to.weight[j] = from.weight[i];
      to.second[j] = from.second[i];
      ++j;
    }
  }
  finish_level(*ctx.binned, row_lines_size(*ctx.binned, scratch), to, j, ctx.n_classes, from.rows_in_copy);
  return first_entries(j);
#else
  (void)ctx;
  (void)level;
  (void)mask;
  (void)scratch;
  throw_internal("small subtrees need SSE2");
#endif
}

uint64_t small_level_blocks(const ExtraScratch& scratch, uint64_t level) {
  MORVEL_ASSERT(level < scratch.small_levels.size(), "index out of bounds: small subtree level");
  return scratch.small_levels[level].blocks;
}

void small_node_stats(const TrainingContext& ctx, uint64_t level, EntryMask mask, ExtraScratch& scratch,
                      NodeStats& out) {
  MORVEL_ASSERT(level < scratch.small_levels.size() && (mask >> scratch.small_levels[level].n) == 0,
                "index out of bounds: small subtree level");
  [[maybe_unused]] const SmallLevel& at = scratch.small_levels[level];
  const uint64_t k = ctx.n_classes;
  out.criterion = ctx.growth.criterion;
  out.labels.clear();
  out.entry_weights.clear();
  out.class_weight.resize(k);
#if MORVEL_SIMD_SSE2
  double* class_weight = out.class_weight.data();
  with_lane_shape<SmallLevel::kBlocks>(
      k, at.blocks,
      [&](auto classes, auto blocks) {
        lane_stats<decltype(classes)::value, decltype(blocks)::value>(at, mask, class_weight, out.weight);
      },
      [] { throw_internal("small subtrees take two to eight classes"); });
#else
  (void)mask;
  throw_internal("small subtrees need SSE2");
#endif
  scratch.node_impurity_known = false;
}

void small_sums_stats(const TrainingContext& ctx, const SmallSums& sums, ExtraScratch& scratch, NodeStats& out) {
  const uint64_t k = ctx.n_classes;
  MORVEL_ASSERT(k >= 2 && k <= kTagLanes, "index out of bounds: small subtrees take two to eight classes");
  out.criterion = ctx.growth.criterion;
  out.labels.clear();
  out.entry_weights.clear();
  out.class_weight.resize(k);
  double* class_weight = out.class_weight.data();
  // lane_stats' sums, from the lanes instead of the entries.
  uint64_t all = 0;
  if (k == 2) {
    all = sums.lane[0];
    class_weight[0] = whole_sum(all - sums.lane[1]);
    class_weight[1] = whole_sum(sums.lane[1]);
  } else {
    for (uint64_t c = 0; c < k; ++c) {
      all += sums.lane[c];
      class_weight[c] = whole_sum(sums.lane[c]);
    }
  }
  out.weight = whole_sum(all);
  scratch.node_impurity_known = false;
}

std::optional<NodeSplit> search_small_node(const TrainingContext& ctx, const SearchRules& rules, uint64_t level,
                                           EntryMask mask, uint64_t n, const NodeStats& stats, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch, EntryMask& left_mask,
                                           SmallSums& left, SmallSums& right) {
  MORVEL_ASSERT(level < scratch.small_levels.size(), "index out of bounds: small subtree level");
#if MORVEL_SIMD_SSE2
  SmallLevel& at = scratch.small_levels[level];
  return with_lane_shape<SmallLevel::kBlocks>(
      rules.n_classes, at.blocks,
      [&](auto classes, auto blocks) {
        return small_node_search<decltype(classes)::value, decltype(blocks)::value>(
            ctx, rules, at, mask, n, stats, bounds, constant_features, rng, pool, draws, max_features, scratch,
            left_mask, left, right);
      },
      []() -> std::optional<NodeSplit> { throw_internal("small subtrees take two to eight classes"); });
#else
  (void)ctx, (void)rules, (void)mask, (void)n, (void)stats, (void)bounds, (void)constant_features, (void)rng, (void)pool;
  (void)draws, (void)max_features, (void)left_mask, (void)left, (void)right;
  throw_internal("small subtrees need SSE2");
#endif
}

}  // namespace morvel
