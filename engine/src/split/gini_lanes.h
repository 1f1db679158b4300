// The gini scan's lane kernels: one lane per candidate partition of a feature, in loops the
// compiler vectorises (with an AVX2 clone where the target supports it). Each lane computes
// its value with the operations, in the order, of the scalar gini and validity rules in
// split/criteria, so a lane's value is bit-identical to the scalar one.
#pragma once

#include <cstdint>

#include "split/criteria.h"

namespace morvel::detail {

// Gini improvements of candidate partitions, lane i per candidate. The right side's class
// weights are right[c * stride + i] (+ right_add[c] when given); the left side's are
// left[c * stride + i], or left_total[c] - right[c * stride + i] when `left` is null (callers
// pass that form only where it is exact), + left_add[c] when given. With the side totals
// wl[i] / wr[i] the improvement is improvement_of() of the two Gini impurities. Sides with
// zero weight produce inf/NaN here; the validity rules reject them before use.
void gini_improvements(const double* __restrict left, const double* __restrict left_total,
                       const double* __restrict left_add, const double* __restrict right,
                       const double* __restrict right_add, uint64_t stride, uint64_t n_classes,
                       const double* __restrict wl, const double* __restrict wr, double node_weight,
                       double parent_impurity, double* __restrict sum_left, double* __restrict sum_right,
                       double* __restrict improvement, uint64_t k);

// The partition (suffix i left, prefix i right, no missing rows) that the in-order rule
// "valid, and the first one or strictly greater than the best so far" keeps: the first valid
// i whose improvement equals the largest valid improvement. Returns k when none is valid and
// k + 1 when only -inf improvements are (the caller then decides in order); `masked` is
// scratch.
uint64_t first_best_partition(const uint64_t* __restrict n_prefix, uint64_t total_count, const double* __restrict wl,
                              const double* __restrict wr, const double* __restrict improvement, uint64_t k,
                              const SearchRules& rules, double* __restrict masked);

// Below this node weight the class weights' squares and their sums are exact integers
// (weight^2 < 2^52), which the error bound of the approximate scores relies on.
inline constexpr double kScoredWeightLimit = 67108864.0;  // 2^26

// Approximate gini scores of the candidate partitions of a consumed scan (integral class
// weights), one lane per visited bin, for the two options (missing rows left in score1, then
// right in score2; only the first when the node has no missing rows). Per scanned class c the
// prefix weights are prefix_cols[c * stride + i], the non-missing total totals[c] and the
// missing-bin weight missing[c]; sl1 .. sr2 are scratch columns. For sides with class weights
// l_c, r_c and totals wl, wr, every improvement equals parent - 1 + G / W with
//   G = sum_c l_c^2 / wl + sum_c r_c^2 / wr,
// since wl + wr = W. The score is (SL * wr + SR * wl) / (wl * wr) with the sums of squares
// SL, SR exact: four roundings, so within 4.01 * 2^-53 * G <= 4.01 * 2^-53 * W of G.
// Partitions failing the count or weight rules score -inf. Returns the largest score (-inf
// when none passes them).
//
// The side totals are filled in here, with the walk's arithmetic: wr1 from the prefix counts
// when `unit` (every entry weighs 1.0; the walk then leaves wr1 to this function), wl1 =
// node_weight - wr1, and with missing rows wl2 = wl1 - missing_weight, wr2 = wr1 +
// missing_weight.
double gini_scores(const double* __restrict prefix_cols, uint64_t stride, uint64_t nc,
                   const double* __restrict totals, const double* __restrict missing,
                   const uint64_t* __restrict n_prefix, uint64_t total_count, uint64_t n_missing, bool unit,
                   double node_weight, double missing_weight, double* __restrict wl1, double* __restrict wr1,
                   double* __restrict wl2, double* __restrict wr2, const SearchRules& rules, double* __restrict sl1,
                   double* __restrict sr1, double* __restrict sl2, double* __restrict sr2, double* __restrict score1,
                   double* __restrict score2, uint64_t k);

}  // namespace morvel::detail
