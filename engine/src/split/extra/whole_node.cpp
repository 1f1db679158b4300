// The whole-node search of a small node prepared on bytes (search_whole_byte_node).
#include "split/extra/extra_trees.h"

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
// The whole-node search of a node prepared by binned_node_stats: its entry bytes, and each
// feature's bins gathered through the entries' offsets into the row-major copy. The winner's
// bins are kept for the partition, which reads them in list order.
template <uint64_t K, uint64_t Blocks>
std::optional<NodeSplit> whole_node_search(const TrainingContext& ctx, const SearchRules& rules,
                                           std::span<const RowIndex> rows, const NodeStats& stats, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch) {
  const uint64_t n = rows.size();
  const std::vector<uint8_t>& second = K == 2 ? scratch.entry_bytes_one : scratch.entry_classes;
  constexpr uint64_t kCovered = simd::kLanes * Blocks;
  MORVEL_ASSERT(n <= kCovered && scratch.row_offsets.size() >= n && scratch.entry_bytes.size() >= kCovered &&
                    second.size() >= kCovered,
                "index out of bounds: entry bytes shorter than the node");
  __m128i lanes[Blocks][K];
  entry_lanes<K, Blocks>(scratch.entry_bytes.data(), second.data(), n, lanes);
  __m128i valid[Blocks];
  for (uint64_t b = 0; b < Blocks; ++b) valid[b] = simd::lanes_below(n - simd::kLanes * b);
  const uint32_t* offset = scratch.row_offsets.data();
  const uint8_t* copy = row_lines(*ctx.binned, scratch);
  __m128i best_bins[Blocks];
  auto best = search_node_lanes<K, Blocks>(
      ctx, rules, stats, bounds, n, valid, lanes,
      [&](uint64_t feature, __m128i (&v)[Blocks]) { gather_blocks<Blocks>(copy + feature, offset, n, v); },
      constant_features, rng, pool, draws, max_features, scratch, best_bins);
  if (best) {
    if (scratch.kept_bins.size() < simd::kLanes * Blocks) scratch.kept_bins.resize(simd::kLanes * Blocks + kBlockPad);
    for (uint64_t b = 0; b < Blocks; ++b)
      simd::store(scratch.kept_bins.data() + simd::kLanes * b, best_bins[b]);
    scratch.kept = KeptColumn::Bins;
    scratch.kept_feature = best->feature;
  }
  return best;
}
#endif

}  // namespace

std::optional<NodeSplit> search_whole_byte_node(const TrainingContext& ctx, const SearchRules& rules,
                                                std::span<const RowIndex> rows, const NodeStats& stats,
                                                const NodePrep& prep, NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                Rng& rng, std::vector<uint64_t>& pool,
                                                const detail::PoolDraws& draws, uint64_t max_features,
                                                ExtraScratch& scratch) {
  // Whole-node searches keep their entries in vector registers: without them, route_extra_node
  // sends no node here.
  MORVEL_ASSERT(MORVEL_SIMD_SSE2 && prep.ready == NodeReady::EntryBytes && prep.rows_checked && prep.row_offsets &&
                    rows.size() < kWholeNodeBelow && rules.n_classes >= 2 && rules.n_classes <= kTagLanes,
                "assertion failed: a whole-node search needs a small node prepared on bytes");
#if MORVEL_SIMD_SSE2
  static_assert(kWholeNodeBelow <= 64, "whole-node searches cover at most four blocks");
  const uint64_t blocks = simd::blocks_of(rows.size());
  return with_lane_shape(
      rules.n_classes, blocks <= 1 ? 1 : blocks,
      [&](auto classes, auto lane_blocks) {
        return whole_node_search<decltype(classes)::value, decltype(lane_blocks)::value>(
            ctx, rules, rows, stats, bounds, constant_features, rng, pool, draws, max_features, scratch);
      },
      []() -> std::optional<NodeSplit> { throw_internal("whole-node searches take two to eight classes"); });
#else
  (void)ctx, (void)stats, (void)bounds, (void)constant_features, (void)rng, (void)pool, (void)draws;
  (void)max_features, (void)scratch;
  return std::nullopt;
#endif
}

}  // namespace morvel
