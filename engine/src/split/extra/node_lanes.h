// Whole-node searches on byte lanes: every search of a small node's loop with its entries'
// weights in registers, scored from byte sums.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "morvel/bin_edges.h"
#include "split/extra/byte_blocks.h"
#include "split/extra/whole_scoring.h"

namespace morvel::extra {


// Calls fn(ClassCount<K>{}, BlockCount<B>{}) for the (class count, blocks) pairs the lane
// searches serve (two to eight classes, one to kMaxBlocks blocks of 16 entries: four for
// whole nodes, eight for small subtrees), else otherwise().
template <uint64_t kMaxBlocks = 4, class Fn, class Otherwise>
[[gnu::always_inline]] inline decltype(auto) with_lane_shape(uint64_t n_classes, uint64_t blocks, Fn&& fn,
                                                             Otherwise&& otherwise) {
  return with_class_count_in<2, kTagLanes>(
      n_classes,
      [&](auto classes) -> decltype(auto) {
        return simd::with_block_count<kMaxBlocks>(blocks, [&](auto b) -> decltype(auto) { return fn(classes, b); },
                                                  otherwise);
      },
      otherwise);
}

#if MORVEL_SIMD_SSE2
// What the winning search of a whole-node loop leaves besides its bins: per lane, the byte-sum
// accumulator of its entries at or below the threshold, and its missing entries' sum.
template <uint64_t Lanes>
struct WinnerSums {
  __m128i prefix[Lanes];
  uint64_t missing[Lanes];
};

// The smallest byte of `low` and the largest of `high`, folded together: the largest of
// `high` is 255 less the smallest of its complement, so after one halving each the two halves
// share one register for the remaining three (bytes 0 and 8 gather their own halves only).
[[gnu::always_inline]] inline void fold_extremes_together(__m128i low, __m128i high, uint64_t& lo, uint64_t& hi) {
  const __m128i flipped = _mm_xor_si128(high, simd::all_lanes());
  __m128i both = _mm_unpacklo_epi64(_mm_min_epu8(low, _mm_srli_si128(low, 8)),
                                    _mm_min_epu8(flipped, _mm_srli_si128(flipped, 8)));
  both = _mm_min_epu8(both, _mm_srli_si128(both, 4));
  both = _mm_min_epu8(both, _mm_srli_si128(both, 2));
  both = _mm_min_epu8(both, _mm_srli_si128(both, 1));
  lo = static_cast<uint64_t>(_mm_cvtsi128_si32(both) & 0xFF);
  hi = 255 - static_cast<uint64_t>(_mm_extract_epi16(both, 4) & 0xFF);
}

// The whole-node search of a node of `Blocks` blocks of 16 entries, on `Lanes` weighted
// lanes per block: each entry's weight in the lanes it counts for (two classes: its weight
// and its class-1 weight; more: its weight in the lane of its class). The node's entries are
// the n lanes set in `valid`; load_bins(feature, v) puts the feature's bins in v (lanes
// outside `valid` may hold anything). Each feature's bins stay in registers from the
// extremes to the prefix, and the missing and prefix sums of every lane are byte sums of
// them (the sums of byte_extremes and binary_byte_prefix). `score(t, constraint,
// prefix_count, prefix, missing_count, missing)` scores the two options from the lanes'
// byte-sum accumulators `prefix` (sum_lanes gives each lane's sum) and the missing sums.
// The winner's bins are left in `best_bins`, and its sums in `winner` when given.
template <uint64_t Lanes, uint64_t Blocks, class LoadBins, class Score>
std::optional<NodeSplit> whole_node_blocks(const TrainingContext& ctx, uint64_t n, const __m128i (&valid)[Blocks],
                                           const __m128i (&lanes)[Blocks][Lanes], LoadBins&& load_bins,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, Score&& score, __m128i (&best_bins)[Blocks],
                                           WinnerSums<Lanes>* winner) {
  const BinnedMatrix& bm = *ctx.binned;
  // The searched feature's bins, and its search's prefix and missing sums.
  __m128i v[Blocks];
  __m128i p_lane[Lanes];
  uint64_t missing[Lanes];
  for (uint64_t b = 0; b < Blocks; ++b) best_bins[b] = simd::zero();
  const uint64_t extra_seed = ctx.growth.extra_seed;
  const __m128i all = simd::all_lanes();
  const __m128i ones = _mm_set1_epi8(1);
  const __m128i zero = simd::zero();
  // Checked once per node: the drawn features index the matrix and its edges.
  const uint64_t features = std::min<uint64_t>(bm.n_features, bm.edges.size());
  auto search = [&](uint64_t feature) -> std::optional<SplitCandidate> {
    MORVEL_ASSERT(feature < features, "index out of bounds: feature outside the binned matrix");
    load_bins(feature, v);
    uint64_t lo = 255;
    uint64_t hi = 0;
    uint64_t missing_count = 0;
    for (uint64_t l = 0; l < Lanes; ++l) missing[l] = 0;
    __m128i low = all;
    __m128i high = zero;
    if (bm.has_missing) {
      const __m128i missing_v = simd::splat(missing_bin(bm.edges[feature].size()));
      __m128i m_count = zero;
      __m128i m_lane[Lanes];
      for (uint64_t l = 0; l < Lanes; ++l) m_lane[l] = zero;
      for (uint64_t b = 0; b < Blocks; ++b) {
        const __m128i gone = _mm_and_si128(valid[b], simd::equal(v[b], missing_v));
        const __m128i skip = _mm_or_si128(simd::outside(valid[b], all), gone);
        m_count = _mm_add_epi64(m_count, _mm_sad_epu8(_mm_and_si128(gone, ones), zero));
        for (uint64_t l = 0; l < Lanes; ++l)
          m_lane[l] = _mm_add_epi64(m_lane[l], _mm_sad_epu8(_mm_and_si128(gone, lanes[b][l]), zero));
        low = simd::min_bytes(low, _mm_or_si128(v[b], skip));
        high = simd::max_bytes(high, simd::outside(skip, v[b]));
      }
      missing_count = simd::byte_total(m_count);
      for (uint64_t l = 0; l < Lanes; ++l) missing[l] = simd::byte_total(m_lane[l]);
    } else {
      for (uint64_t b = 0; b < Blocks; ++b) {
        low = simd::min_bytes(low, _mm_or_si128(v[b], simd::outside(valid[b], all)));
        high = simd::max_bytes(high, _mm_and_si128(v[b], valid[b]));
      }
    }
    fold_extremes_together(low, high, lo, hi);
    if (missing_count == n || !(lo < hi)) {
      constant_features.push_back(feature);
      return std::nullopt;
    }
    const double t = draw_extra_threshold(rng, extra_seed, static_cast<double>(lo), static_cast<double>(hi));
    if (!(t >= static_cast<double>(lo)) || t >= static_cast<double>(hi)) return std::nullopt;
    // t >= lo >= 0 here, so truncation is the floor. The missing bin lies above hi > t.
    const __m128i limit = simd::splat(static_cast<uint64_t>(t));
    __m128i p_count = zero;
    for (uint64_t l = 0; l < Lanes; ++l) p_lane[l] = zero;
    for (uint64_t b = 0; b < Blocks; ++b) {
      const __m128i in = _mm_and_si128(valid[b], simd::at_most(v[b], limit));
      p_count = _mm_add_epi64(p_count, _mm_sad_epu8(_mm_and_si128(in, ones), zero));
      for (uint64_t l = 0; l < Lanes; ++l)
        p_lane[l] = _mm_add_epi64(p_lane[l], _mm_sad_epu8(_mm_and_si128(in, lanes[b][l]), zero));
    }
    const uint64_t prefix_count = simd::byte_total(p_count);
    if (prefix_count == 0 || prefix_count == n - missing_count) return std::nullopt;
    return score(t, ctx.growth.constraint(feature), prefix_count, p_lane, missing_count, missing);
  };
  return extra_node_loop(pool, draws, rng, constant_features, max_features, search, [&](uint64_t) {
    for (uint64_t b = 0; b < Blocks; ++b) best_bins[b] = v[b];
    if (winner != nullptr) {
      for (uint64_t l = 0; l < Lanes; ++l) {
        winner->prefix[l] = p_lane[l];
        winner->missing[l] = missing[l];
      }
    }
  });
}

// Lane c of a block of entries with weight bytes `w` and second bytes `second` (two classes:
// the class-1 weights; more: the classes), for k classes: two classes have the lanes of the
// weights and of the class-1 weights, more one lane per class.
inline __m128i entry_lane(__m128i w, __m128i second, uint64_t k, uint64_t c) {
  if (k == 2) return c == 0 ? w : second;
  return _mm_and_si128(w, simd::equal(second, simd::splat(c)));
}

// The lanes (entry_lane) of `Blocks` blocks of n entries, zero past n.
template <uint64_t K, uint64_t Blocks>
void entry_lanes(const uint8_t* weight, const uint8_t* second, uint64_t n, __m128i (&lanes)[Blocks][K]) {
  for (uint64_t b = 0; b < Blocks; ++b) {
    const __m128i valid = simd::lanes_below(n - simd::kLanes * b);
    const __m128i w = _mm_and_si128(valid, simd::load(weight + simd::kLanes * b));
    const __m128i s = _mm_and_si128(valid, simd::load(second + simd::kLanes * b));
    for (uint64_t c = 0; c < K; ++c) lanes[b][c] = entry_lane(w, s, K, c);
  }
}

// whole_node_blocks on the lanes of entry_lanes<K>, scored for K classes: two classes with
// score_binary_sums; 3 to 8 under gini with score_multi_gini, otherwise with score_drawn_for
// on the same (exact) sums. Forced inline into its one caller per instantiation: the lane
// arrays it receives by reference then stay in registers.
template <uint64_t K, uint64_t Blocks, class LoadBins>
[[gnu::always_inline]] inline std::optional<NodeSplit> search_node_lanes(const TrainingContext& ctx, const SearchRules& rules, const NodeStats& stats,
                                           NodeBounds bounds, uint64_t n, const __m128i (&valid)[Blocks],
                                           const __m128i (&lanes)[Blocks][K], LoadBins&& load_bins,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch, __m128i (&best_bins)[Blocks],
                                           WinnerSums<K>* winner = nullptr) {
  MORVEL_ASSERT(stats.class_weight.size() == K, "index out of bounds: node statistics of another class count");
  if constexpr (K == 2) {
    // score_binary_sums, with the node's integer sums under gini converted once per node.
    const bool gini = gini_forms(rules);
    const uint64_t node_sum = static_cast<uint64_t>(stats.weight);
    const uint64_t node_one = static_cast<uint64_t>(stats.class_weight[1]);
    const auto score = [&](double t, int8_t constraint, uint64_t prefix_count, const __m128i (&lanes_sum)[2],
                           uint64_t missing_count, const uint64_t* missing) -> std::optional<SplitCandidate> {
      const BytePrefix sums{prefix_count, simd::byte_total(lanes_sum[0]), simd::byte_total(lanes_sum[1])};
      ByteExtremes miss;
      miss.missing_count = missing_count;
      miss.missing_sum = missing[0];
      miss.missing_one = missing[1];
      const double parent = byte_node_impurity(rules, stats, scratch);
      if (gini)
        return score_binary_gini(rules, stats.weight, node_sum, node_one, parent, n, sums, miss, t, constraint, bounds);
      return score_binary_sums(rules, stats, parent, n, sums, miss, t, constraint, bounds);
    };
    return whole_node_blocks<2, Blocks>(ctx, n, valid, lanes, load_bins, constant_features, rng, pool, draws,
                                        max_features, score, best_bins, winner);
  } else {
    const bool gini = gini_forms(rules);
    const double node_weight = stats.weight;
    const uint64_t node_sum = static_cast<uint64_t>(node_weight);
    const NodeSums<K> node(stats);
    const uint64_t* node_class = node.class_sums;
    // Without a constraint or a missing entry, gini scores the one option from the lanes'
    // accumulators (score_plane_gini: every class sum of a node below 2^31 fits 32 bits).
    const bool vector_gini = gini && node_sum < (uint64_t{1} << 31);
    __m128i node_lanes[K];  // the class sums in pairs (plane_node_lanes)
    plane_node_lanes<K>(node_class, node_lanes);
    const auto score = [&](double t, int8_t constraint, uint64_t prefix_count, const __m128i (&lanes_sum)[K],
                           uint64_t missing_count, const uint64_t* missing) -> std::optional<SplitCandidate> {
      const double parent = byte_node_impurity(rules, stats, scratch);
      if (vector_gini && constraint == 0 && missing_count == 0)
        return score_plane_gini<K>(rules, stats, parent, n, lanes_sum, prefix_count, t, node, node_lanes);
      uint64_t prefix[K];
      uint64_t prefix_sum = 0;
      uint64_t missing_sum = 0;
      for (uint64_t c = 0; c < K; ++c) {
        prefix[c] = simd::byte_total(lanes_sum[c]);
        prefix_sum += prefix[c];
        missing_sum += missing[c];
      }
      if (gini) {
        return score_multi_gini<K>(rules, node_weight, node_sum, node_class, parent, n, prefix, prefix_sum,
                                   prefix_count, missing, missing_sum, missing_count, t, constraint, bounds);
      }
      double sums[4 * K];
      double* prefix_weights = sums;
      double* missing_weights = sums + K;
      for (uint64_t c = 0; c < K; ++c) {
        prefix_weights[c] = static_cast<double>(prefix[c]);
        missing_weights[c] = static_cast<double>(missing[c]);
      }
      const DrawnPartition part{prefix_weights, static_cast<double>(prefix_sum), prefix_count,
                                missing_weights, static_cast<double>(missing_sum), missing_count};
      return score_drawn_for<K>(rules, stats, parent, n, part, t, constraint, bounds, sums + 2 * K);
    };
    return whole_node_blocks<K, Blocks>(ctx, n, valid, lanes, load_bins, constant_features, rng, pool, draws,
                                        max_features, score, best_bins, winner);
  }
}
#endif

}  // namespace morvel::extra
