// Scoring on whole-number sums (byte weights): the same options, rules and rounding as the
// general scoring, from exact integer sums, with gini's two sides in vector lanes.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "split/extra/byte_blocks.h"
#include "split/extra/class_lanes.h"
#include "split/extra/scoring.h"

namespace morvel::extra {

#if MORVEL_SIMD_SSE2
// Gini's improvement from both sides' weights `w` and sums of squared shares `sum` (left in
// the low lane, right in the high one): each lane finishes its impurity as Gini::finish does,
// and the terms combine in improvement_of's order.
[[gnu::always_inline]] inline double paired_gini_improvement(double parent, double node_weight, __m128d w,
                                                             __m128d sum) {
  const __m128d impurities = _mm_sub_pd(_mm_set1_pd(1.0), sum);
  const __m128d terms = _mm_mul_pd(_mm_div_pd(w, _mm_set1_pd(node_weight)), impurities);
  return (parent - _mm_cvtsd_f64(terms)) - _mm_cvtsd_f64(_mm_unpackhi_pd(terms, terms));
}

// evaluate_fixed<K> under gini on whole-number sides with K classes: the two sides' class
// shares and squares in the two lanes of vector operations, each lane summing its squares in
// class order from 0.0 as impurity() does; the improvement is combined in the scalar order.
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<double> multi_gini_improvement(const SearchRules& rules, double parent, double node_weight,
                                                    const uint64_t* left_class, uint64_t left_sum,
                                                    uint64_t left_count, const uint64_t* right_class,
                                                    uint64_t right_sum, uint64_t right_count, int8_t constraint,
                                                    NodeBounds bounds) {
  const auto d = [](uint64_t v) { return static_cast<double>(static_cast<int64_t>(v)); };
  // sides_admissible's rules, checked on the integer counts and sums before any conversion.
  if (left_count < rules.min_samples_leaf || right_count < rules.min_samples_leaf) return std::nullopt;
  if (left_sum == 0 || right_sum == 0) return std::nullopt;
  const double w_left = d(left_sum);
  const double w_right = d(right_sum);
  if (!(w_left >= rules.min_leaf_weight) || !(w_right >= rules.min_leaf_weight)) return std::nullopt;
  if (constraint != 0) {
    double left_weights[K];
    double right_weights[K];
    for (uint64_t c = 0; c < K; ++c) {
      left_weights[c] = d(left_class[c]);
      right_weights[c] = d(right_class[c]);
    }
    if (!monotonic_ok(SideStats{left_weights, w_left, left_count}, SideStats{right_weights, w_right, right_count},
                      constraint, bounds, K)) {
      return std::nullopt;
    }
  }
  const __m128d w = _mm_set_pd(w_right, w_left);
  __m128d sum = _mm_setzero_pd();
  for (uint64_t c = 0; c < K; ++c) {
    const __m128d p = _mm_div_pd(_mm_set_pd(d(right_class[c]), d(left_class[c])), w);
    sum = _mm_add_pd(sum, _mm_mul_pd(p, p));
  }
  const double improvement = paired_gini_improvement(parent, node_weight, w, sum);
  if (!decrease_admissible(rules, improvement)) return std::nullopt;
  return improvement;
}
#endif

// The node's class weights and W as integers (exact: byte weights), for score_lanes.
template <uint64_t K>
struct NodeSums {
  uint64_t class_sums[K];
  uint64_t total;
  explicit NodeSums(const NodeStats& stats) {
    for (uint64_t c = 0; c < K; ++c) class_sums[c] = static_cast<uint64_t>(stats.class_weight[c]);
    total = static_cast<uint64_t>(stats.weight);
  }
};

// score_drawn_for<K> for a node without missing rows (option (1) only), from the lane sums.
// The suffix and side weights are differences of exact integers, so they equal the general
// search's (class_weight - 0.0) - prefix and W - W_P; under gini multi_gini_improvement
// scores them with both sides in vector lanes (the scalar form computes the same values).
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_lanes(const SearchRules& rules,
                                                                        const NodeStats& stats, double parent,
                                                                        uint64_t n_entries, const TagPrefix& sums,
                                                                        double pivot, int8_t constraint,
                                                                        NodeBounds bounds, [[maybe_unused]] const NodeSums<K>& node) {
  const double node_weight = stats.weight;
  const double* class_weight = stats.class_weight.data();
  uint64_t prefix_total = 0;
  for (uint64_t c = 0; c < K; ++c) prefix_total += sums.sums[c];
  double improvement;
#if MORVEL_SIMD_SSE2
  if (gini_forms(rules)) {
    uint64_t suffix_sums[K];
    for (uint64_t c = 0; c < K; ++c) suffix_sums[c] = node.class_sums[c] - sums.sums[c];
    const auto valid = multi_gini_improvement<K>(rules, parent, node_weight, suffix_sums, node.total - prefix_total,
                                                 n_entries - sums.count, sums.sums, prefix_total, sums.count,
                                                 constraint, bounds);
    if (!valid) return std::nullopt;
    improvement = *valid;
  } else
#endif
  {
    double prefix[K];
    double suffix[K];
    for (uint64_t c = 0; c < K; ++c) {
      // Far below 2^63: the signed conversion is one instruction.
      prefix[c] = static_cast<double>(static_cast<int64_t>(sums.sums[c]));
      suffix[c] = class_weight[c] - prefix[c];
    }
    const double prefix_weight = static_cast<double>(static_cast<int64_t>(prefix_total));
    const SideStats left{suffix, node_weight - prefix_weight, n_entries - sums.count};
    const SideStats right{prefix, prefix_weight, sums.count};
    const auto valid = evaluate_fixed<K>(rules, parent, node_weight, left, right, constraint, bounds);
    if (!valid) return std::nullopt;
    improvement = *valid;
  }
  return SplitCandidate{pivot, true, scaled_gain(improvement, node_weight, rules.w_total)};
}

template <uint64_t K>
std::optional<SplitCandidate> score_lanes(const SearchRules& rules, const NodeStats& stats, double parent,
                                          uint64_t n_entries, const TagPrefix& sums, double pivot,
                                          int8_t constraint, NodeBounds bounds) {
  return score_lanes<K>(rules, stats, parent, n_entries, sums, pivot, constraint, bounds, NodeSums<K>(stats));
}

#if MORVEL_SIMD_SSE2
// The node's class sums as score_plane_gini reads them: classes paired from class 0, each
// pair's two sums in the lanes of the first one's vector (low: the first class); a last
// class without a partner alone in the low lane of its own.
template <uint64_t K>
inline void plane_node_lanes(const uint64_t* class_sums, __m128i (&out)[K]) {
  for (uint64_t c = 0; c < K; ++c) {
    const uint64_t partner = c % 2 == 0 && c + 1 < K ? class_sums[c + 1] : 0;
    out[c] = _mm_set_epi64x(static_cast<int64_t>(partner), static_cast<int64_t>(class_sums[c]));
  }
}

// score_lanes under gini without a constraint, from the vector sums of plane_prefix_lanes,
// for a node whose W is below 2^31: every class sum fits 32 bits, so each class's two side
// weights are converted together, (above t, at or below t) in the lanes multi_gini_improvement
// puts them in; the same operations in the same order follow.
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_plane_gini(
    const SearchRules& rules, const NodeStats& stats, double parent, uint64_t n_entries, const __m128i (&sums)[K],
    uint64_t prefix_count, double pivot, const NodeSums<K>& node, const __m128i (&node_lanes)[K]) {
  __m128i pairs[K];
  // Two classes at a time (node_lanes as plane_node_lanes leaves them): their prefix sums in
  // the two lanes of one vector, each side's 32-bit halves then interleaved per class.
  __m128i total = simd::zero();
  uint64_t c = 0;
  for (; c + 2 <= K; c += 2) {
    const __m128i prefix =
        _mm_add_epi64(_mm_unpacklo_epi64(sums[c], sums[c + 1]), _mm_unpackhi_epi64(sums[c], sums[c + 1]));
    total = _mm_add_epi64(total, prefix);
    const __m128i above = _mm_sub_epi64(node_lanes[c], prefix);
    pairs[c] = _mm_unpacklo_epi32(above, prefix);
    pairs[c + 1] = _mm_unpackhi_epi32(above, prefix);
  }
  if (c < K) {
    const __m128i prefix = _mm_move_epi64(_mm_add_epi64(sums[c], _mm_unpackhi_epi64(sums[c], sums[c])));
    total = _mm_add_epi64(total, prefix);
    pairs[c] = _mm_unpacklo_epi32(_mm_sub_epi64(node_lanes[c], prefix), prefix);
  }
  const uint64_t right_sum = simd::byte_total(total);
  const uint64_t left_sum = node.total - right_sum;
  const uint64_t left_count = n_entries - prefix_count;
  // sides_admissible's rules, checked on the integer counts and sums before any conversion.
  if (left_count < rules.min_samples_leaf || prefix_count < rules.min_samples_leaf) return std::nullopt;
  if (left_sum == 0 || right_sum == 0) return std::nullopt;
  const double w_left = static_cast<double>(static_cast<int64_t>(left_sum));
  const double w_right = static_cast<double>(static_cast<int64_t>(right_sum));
  if (!(w_left >= rules.min_leaf_weight) || !(w_right >= rules.min_leaf_weight)) return std::nullopt;
  const double node_weight = stats.weight;
  const __m128d w = _mm_set_pd(w_right, w_left);
  __m128d sum = _mm_setzero_pd();
  for (uint64_t c = 0; c < K; ++c) {
    const __m128d p = _mm_div_pd(_mm_cvtepi32_pd(pairs[c]), w);
    sum = _mm_add_pd(sum, _mm_mul_pd(p, p));
  }
  const double improvement = paired_gini_improvement(parent, node_weight, w, sum);
  if (!decrease_admissible(rules, improvement)) return std::nullopt;
  return SplitCandidate{pivot, true, scaled_gain(improvement, node_weight, rules.w_total)};
}

// evaluate_fixed<2> under gini on whole-number sides, both sides' impurities computed in the
// two lanes of vector operations: each lane rounds every operation exactly as the scalar
// form does (1 - ((0 + p0 * p0) + p1 * p1) with p_c = class weight / side weight), and the
// improvement is then combined in the scalar order.
[[gnu::always_inline]] inline std::optional<double> binary_gini_improvement(const SearchRules& rules, double parent, double node_weight,
                                                     uint64_t left_sum, uint64_t left_one, uint64_t left_count,
                                                     uint64_t right_sum, uint64_t right_one, uint64_t right_count,
                                                     int8_t constraint, NodeBounds bounds) {
  // Sums below 2^53: the signed conversions are exact.
  const auto d = [](uint64_t v) { return static_cast<double>(static_cast<int64_t>(v)); };
  // sides_admissible's rules, checked on the integer counts and sums before any conversion.
  if (left_count < rules.min_samples_leaf || right_count < rules.min_samples_leaf) return std::nullopt;
  if (left_sum == 0 || right_sum == 0) return std::nullopt;
  const double w_left = d(left_sum);
  const double w_right = d(right_sum);
  if (!(w_left >= rules.min_leaf_weight) || !(w_right >= rules.min_leaf_weight)) return std::nullopt;
  const double left_class[2] = {d(left_sum - left_one), d(left_one)};
  const double right_class[2] = {d(right_sum - right_one), d(right_one)};
  if (constraint != 0 && !monotonic_ok(SideStats{left_class, w_left, left_count},
                                       SideStats{right_class, w_right, right_count}, constraint, bounds, 2)) {
    return std::nullopt;
  }
  const __m128d w = _mm_set_pd(w_right, w_left);
  const __m128d p0 = _mm_div_pd(_mm_set_pd(right_class[0], left_class[0]), w);
  const __m128d p1 = _mm_div_pd(_mm_set_pd(right_class[1], left_class[1]), w);
  const __m128d sum = _mm_add_pd(_mm_add_pd(_mm_setzero_pd(), _mm_mul_pd(p0, p0)), _mm_mul_pd(p1, p1));
  const double improvement = paired_gini_improvement(parent, node_weight, w, sum);
  if (!decrease_admissible(rules, improvement)) return std::nullopt;
  return improvement;
}

// score_binary_sums under gini (binary_gini_improvement for each option).
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_binary_gini(const SearchRules& rules, double node_weight, uint64_t node_sum,
                                                       uint64_t node_one, double parent, uint64_t n,
                                                       const BytePrefix& prefix, const ByteExtremes& miss,
                                                       double pivot, int8_t constraint, NodeBounds bounds) {
  OptionPick pick;
  // (1) missing rows with the entries above t (left).
  pick.offer(binary_gini_improvement(rules, parent, node_weight, node_sum - prefix.sum, node_one - prefix.one,
                                     n - prefix.count, prefix.sum, prefix.one, prefix.count, constraint, bounds),
             pivot, true);
  if (miss.missing_count > 0) {
    // (2) missing rows with the prefix (right).
    pick.offer(binary_gini_improvement(rules, parent, node_weight, node_sum - prefix.sum - miss.missing_sum,
                                       node_one - prefix.one - miss.missing_one, n - miss.missing_count - prefix.count,
                                       prefix.sum + miss.missing_sum, prefix.one + miss.missing_one,
                                       prefix.count + miss.missing_count, constraint, bounds),
               pivot, false);
  }
  return pick.finish(node_weight, rules.w_total);
}


// score_drawn_for<K> under gini on whole-number sums (multi_gini_improvement for each option).
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_multi_gini(
    const SearchRules& rules, double node_weight, uint64_t node_sum, const uint64_t* node_class, double parent,
    uint64_t n, const uint64_t* prefix, uint64_t prefix_sum, uint64_t prefix_count, const uint64_t* missing,
    uint64_t missing_sum, uint64_t missing_count, double pivot, int8_t constraint, NodeBounds bounds) {
  OptionPick pick;
  uint64_t side[K];
  for (uint64_t c = 0; c < K; ++c) side[c] = node_class[c] - prefix[c];
  // (1) missing rows with the entries above t (left).
  pick.offer(multi_gini_improvement<K>(rules, parent, node_weight, side, node_sum - prefix_sum, n - prefix_count,
                                       prefix, prefix_sum, prefix_count, constraint, bounds),
             pivot, true);
  if (missing_count > 0) {
    // (2) missing rows with the prefix (right).
    uint64_t joined[K];
    for (uint64_t c = 0; c < K; ++c) {
      side[c] = node_class[c] - missing[c] - prefix[c];
      joined[c] = prefix[c] + missing[c];
    }
    pick.offer(multi_gini_improvement<K>(rules, parent, node_weight, side, node_sum - prefix_sum - missing_sum,
                                         n - missing_count - prefix_count, joined, prefix_sum + missing_sum,
                                         prefix_count + missing_count, constraint, bounds),
               pivot, false);
  }
  return pick.finish(node_weight, rules.w_total);
}
#endif

// score_drawn for two classes on whole-number sums. Every side's class weights and totals are
// whole numbers below 2^53, which the integer arithmetic here gives exactly, as score_drawn's
// double arithmetic does (a zero comes out +0.0 either way); the options, their order and the
// strictly-greater rule are score_drawn's. Under gini, score_binary_gini does the same work
// with both sides in vector lanes.
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_binary_sums(
    const SearchRules& rules, const NodeStats& stats, double parent, uint64_t n, const BytePrefix& prefix,
    const ByteExtremes& miss, double pivot, int8_t constraint, NodeBounds bounds) {
#if MORVEL_SIMD_SSE2
  if (gini_forms(rules)) {
    return score_binary_gini(rules, stats.weight, static_cast<uint64_t>(stats.weight),
                             static_cast<uint64_t>(stats.class_weight[1]), parent, n, prefix, miss, pivot, constraint,
                             bounds);
  }
#endif
  const double node_weight = stats.weight;
  const uint64_t node_sum = static_cast<uint64_t>(node_weight);
  const uint64_t node_one = static_cast<uint64_t>(stats.class_weight[1]);
  // Every sum is below 2^53: the signed conversion is exact and cheaper than the unsigned one.
  const auto d = [](uint64_t v) { return static_cast<double>(static_cast<int64_t>(v)); };
  OptionPick pick;
  {
    // (1) missing rows with the entries above t (left).
    const uint64_t left_sum = node_sum - prefix.sum;
    const uint64_t left_one = node_one - prefix.one;
    const double left_class[2] = {d(left_sum - left_one), d(left_one)};
    const double right_class[2] = {d(prefix.sum - prefix.one), d(prefix.one)};
    const SideStats left{left_class, d(left_sum), n - prefix.count};
    const SideStats right{right_class, d(prefix.sum), prefix.count};
    pick.offer(evaluate_fixed<2>(rules, parent, node_weight, left, right, constraint, bounds), pivot, true);
  }
  if (miss.missing_count > 0) {
    // (2) missing rows with the prefix (right).
    const uint64_t left_sum = node_sum - prefix.sum - miss.missing_sum;
    const uint64_t left_one = node_one - prefix.one - miss.missing_one;
    const uint64_t right_sum = prefix.sum + miss.missing_sum;
    const uint64_t right_one = prefix.one + miss.missing_one;
    const double left_class[2] = {d(left_sum - left_one), d(left_one)};
    const double right_class[2] = {d(right_sum - right_one), d(right_one)};
    const SideStats left{left_class, d(left_sum), n - miss.missing_count - prefix.count};
    const SideStats right{right_class, d(right_sum), prefix.count + miss.missing_count};
    pick.offer(evaluate_fixed<2>(rules, parent, node_weight, left, right, constraint, bounds), pivot, false);
  }
  return pick.finish(node_weight, rules.w_total);
}

}  // namespace morvel::extra
