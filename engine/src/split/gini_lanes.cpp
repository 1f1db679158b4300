// The gini scan's lane kernels. Division and multiplication are correctly rounded in every
// instruction set and contraction is off, so the AVX2 clones compute the very same values as
// the default ones.
#include "split/gini_lanes.h"

#include <bit>
#include <limits>

#include "simd/simd.h"
#include "split/class_count.h"

namespace morvel::detail {
namespace {

constexpr double kNone = -std::numeric_limits<double>::infinity();

// sum[i] accumulates the Gini term of lane i's class weight x_i over the side total w[i], where
// x_i = v[i], or t - v[i] with kFromTotal; + a with kAdd.
template <bool kFromTotal, bool kAdd>
[[gnu::always_inline]] inline void add_gini_terms(double* __restrict sum, const double* __restrict v, double t,
                                                  double a, const double* __restrict w, uint64_t k) {
  for (uint64_t i = 0; i < k; ++i) {
    double x = kFromTotal ? t - v[i] : v[i];
    if constexpr (kAdd) x = x + a;
    Gini::add(sum[i], x, w[i]);
  }
}

// The largest of score[0 .. k) folded into four lanes (a running maximum per lane).
[[gnu::always_inline]] inline void fold_max(const double* __restrict score, uint64_t k, double* __restrict lane) {
  uint64_t i = 0;
  for (; i + 4 <= k; i += 4)
    for (uint64_t j = 0; j < 4; ++j) lane[j] = score[i + j] > lane[j] ? score[i + j] : lane[j];
  for (; i < k; ++i) lane[0] = score[i] > lane[0] ? score[i] : lane[0];
}

[[gnu::always_inline]] inline double lanes_max(const double* lane) {
  double best = lane[0];
  for (uint64_t j = 1; j < 4; ++j) best = lane[j] > best ? lane[j] : best;
  return best;
}

// The exact sums of squares of both sides' class weights for each option: class 0 sets the
// sums, later classes add to them in class order.
[[gnu::always_inline]] inline void square_sums(const double* __restrict prefix_cols, uint64_t stride, uint64_t nc,
                                               const double* __restrict totals, const double* __restrict missing,
                                               uint64_t n_missing, double* __restrict sl1, double* __restrict sr1,
                                               double* __restrict sl2, double* __restrict sr2, uint64_t k) {
  if (nc == 0 || n_missing != 0) {
    for (uint64_t i = 0; i < k; ++i) {
      sl1[i] = 0.0;
      sr1[i] = 0.0;
      sl2[i] = 0.0;
      sr2[i] = 0.0;
    }
  }
  for (uint64_t c = 0; c < nc; ++c) {
    const double* r = prefix_cols + c * stride;
    const double t = totals[c];
    if (n_missing == 0) {
      if (c == 0) {
        for (uint64_t i = 0; i < k; ++i) {
          const double l = t - r[i];
          sl1[i] = l * l;
          sr1[i] = r[i] * r[i];
        }
        continue;
      }
      for (uint64_t i = 0; i < k; ++i) {
        const double l = t - r[i];
        sl1[i] += l * l;
        sr1[i] += r[i] * r[i];
      }
      continue;
    }
    const double a = missing[c];
    for (uint64_t i = 0; i < k; ++i) {
      const double l = t - r[i];
      const double l1 = l + a;
      const double r2 = r[i] + a;
      sl1[i] += l1 * l1;
      sr1[i] += r[i] * r[i];
      sl2[i] += l * l;
      sr2[i] += r2 * r2;
    }
  }
}

// square_sums and the quotients in one pass per lane for a fixed class count: the sums stay
// in registers across the classes instead of going through memory once per class. The same
// operations in the same order as square_sums followed by the quotients of gini_scores.
template <uint64_t kNc>
[[gnu::always_inline]] inline void fused_scores(const double* __restrict prefix_cols, uint64_t stride,
                                                const double* __restrict totals, const double* __restrict missing,
                                                uint64_t n_missing, const double* __restrict wl1,
                                                const double* __restrict wr1, const double* __restrict wl2,
                                                const double* __restrict wr2, double* __restrict score1,
                                                double* __restrict score2, uint64_t k) {
  double t[kNc];
  double a[kNc];
  const double* r[kNc];
  for (uint64_t c = 0; c < kNc; ++c) {
    t[c] = totals[c];
    a[c] = missing[c];
    r[c] = prefix_cols + c * stride;
  }
  if (n_missing == 0) {
    for (uint64_t i = 0; i < k; ++i) {
      const double l0 = t[0] - r[0][i];
      double sl = l0 * l0;
      double sr = r[0][i] * r[0][i];
      for (uint64_t c = 1; c < kNc; ++c) {
        const double l = t[c] - r[c][i];
        sl += l * l;
        sr += r[c][i] * r[c][i];
      }
      score1[i] = (sl * wr1[i] + sr * wl1[i]) / (wl1[i] * wr1[i]);
    }
    return;
  }
  for (uint64_t i = 0; i < k; ++i) {
    double sl1 = 0.0;
    double sr1 = 0.0;
    double sl2 = 0.0;
    double sr2 = 0.0;
    for (uint64_t c = 0; c < kNc; ++c) {
      const double l = t[c] - r[c][i];
      const double l1 = l + a[c];
      const double r2 = r[c][i] + a[c];
      sl1 += l1 * l1;
      sr1 += r[c][i] * r[c][i];
      sl2 += l * l;
      sr2 += r2 * r2;
    }
    score1[i] = (sl1 * wr1[i] + sr1 * wl1[i]) / (wl1[i] * wr1[i]);
    score2[i] = (sl2 * wr2[i] + sr2 * wl2[i]) / (wl2[i] * wr2[i]);
  }
}

// The count and weight rules. Weights are non-negative, so along the scan the right side's
// count and weight never fall and the left side's never rise: each side's rules hold on a run
// of partitions, from the first one passing the right side's rules to the last one passing
// the left side's. Only the ends of the scan are tested; the partitions outside score -inf.
[[gnu::always_inline]] inline void mask_scores(const SearchRules& rules, const uint64_t* n_prefix,
                                               uint64_t total_count, uint64_t n_left_extra, uint64_t n_right_extra,
                                               const double* wl, const double* wr, double* score, uint64_t k) {
  uint64_t lo = 0;
  while (lo < k && !side_admissible(rules, n_prefix[lo] + n_right_extra, wr[lo])) score[lo++] = kNone;
  uint64_t hi = k;
  while (hi > lo && !side_admissible(rules, (total_count - n_prefix[hi - 1]) + n_left_extra, wl[hi - 1]))
    score[--hi] = kNone;
}

}  // namespace

MORVEL_TARGET_CLONES void gini_improvements(const double* __restrict left, const double* __restrict left_total,
                                            const double* __restrict left_add, const double* __restrict right,
                                            const double* __restrict right_add, uint64_t stride, uint64_t n_classes,
                                            const double* __restrict wl, const double* __restrict wr,
                                            double node_weight, double parent_impurity, double* __restrict sum_left,
                                            double* __restrict sum_right, double* __restrict improvement,
                                            uint64_t k) {
  for (uint64_t i = 0; i < k; ++i) {
    sum_left[i] = 0.0;
    sum_right[i] = 0.0;
  }
  for (uint64_t c = 0; c < n_classes; ++c) {
    const double* r = right + c * stride;
    const double la = left_add != nullptr ? left_add[c] : 0.0;
    if (left != nullptr) {
      const double* l = left + c * stride;
      if (left_add != nullptr) {
        add_gini_terms<false, true>(sum_left, l, 0.0, la, wl, k);
      } else {
        add_gini_terms<false, false>(sum_left, l, 0.0, 0.0, wl, k);
      }
    } else if (left_add != nullptr) {
      add_gini_terms<true, true>(sum_left, r, left_total[c], la, wl, k);
    } else {
      add_gini_terms<true, false>(sum_left, r, left_total[c], 0.0, wl, k);
    }
    if (right_add != nullptr) {
      add_gini_terms<false, true>(sum_right, r, 0.0, right_add[c], wr, k);
    } else {
      add_gini_terms<false, false>(sum_right, r, 0.0, 0.0, wr, k);
    }
  }
  for (uint64_t i = 0; i < k; ++i) {
    improvement[i] = improvement_of(parent_impurity, node_weight, wl[i], Gini::finish(sum_left[i]), wr[i],
                                    Gini::finish(sum_right[i]));
  }
}

// A valid improvement is never NaN (it passed `>= min_impurity_decrease`), so the maximum may
// be taken in any order, and equal values (+0.0 and -0.0 included) compare equal in the final
// search.
MORVEL_TARGET_CLONES uint64_t first_best_partition(const uint64_t* __restrict n_prefix, uint64_t total_count,
                                                   const double* __restrict wl, const double* __restrict wr,
                                                   const double* __restrict improvement, uint64_t k,
                                                   const SearchRules& rules, double* __restrict masked) {
  const SearchRules r = rules;  // a local copy: the stores to `masked` cannot change it
  uint64_t valid = 0;
  for (uint64_t i = 0; i < k; ++i) {
    const uint64_t n_right = n_prefix[i];
    const uint64_t n_left = total_count - n_right;
    const bool ok = side_admissible(r, n_left, wl[i]) & side_admissible(r, n_right, wr[i]) &
                    decrease_admissible(r, improvement[i]);
    masked[i] = ok ? improvement[i] : kNone;
    valid += ok ? 1 : 0;
  }
  if (valid == 0) return k;
  double lane[4] = {kNone, kNone, kNone, kNone};
  fold_max(masked, k, lane);
  const double best = lanes_max(lane);
  if (best == kNone) return k + 1;
  for (uint64_t i = 0; i < k; ++i)
    if (masked[i] == best) return i;
  return k;
}

MORVEL_TARGET_CLONES double gini_scores(const double* __restrict prefix_cols, uint64_t stride, uint64_t nc,
                                        const double* __restrict totals, const double* __restrict missing,
                                        const uint64_t* __restrict n_prefix, uint64_t total_count,
                                        uint64_t n_missing, bool unit, double node_weight, double missing_weight,
                                        double* __restrict wl1, double* __restrict wr1, double* __restrict wl2,
                                        double* __restrict wr2, const SearchRules& rules, double* __restrict sl1,
                                        double* __restrict sr1, double* __restrict sl2, double* __restrict sr2,
                                        double* __restrict score1, double* __restrict score2, uint64_t k) {
  if (unit) {
    // The count as a double, exactly (counts stay far below 2^52): its bits under the exponent
    // of 2^52, less 2^52. A conversion the vector units have, unlike the one from 64-bit integers.
    for (uint64_t i = 0; i < k; ++i)
      wr1[i] = std::bit_cast<double>(n_prefix[i] | std::bit_cast<uint64_t>(0x1p52)) - 0x1p52;
  }
  for (uint64_t i = 0; i < k; ++i) wl1[i] = node_weight - wr1[i];
  if (n_missing != 0) {
    for (uint64_t i = 0; i < k; ++i) {
      wl2[i] = wl1[i] - missing_weight;
      wr2[i] = wr1[i] + missing_weight;
    }
  }
  with_class_count<kMaxUnrolledClasses>(nc, [&](auto classes) __attribute__((always_inline)) {
    constexpr uint64_t kNc = decltype(classes)::value;
    if constexpr (kNc != 0) {
      fused_scores<kNc>(prefix_cols, stride, totals, missing, n_missing, wl1, wr1, wl2, wr2, score1, score2, k);
    } else {
      square_sums(prefix_cols, stride, nc, totals, missing, n_missing, sl1, sr1, sl2, sr2, k);
      for (uint64_t i = 0; i < k; ++i) score1[i] = (sl1[i] * wr1[i] + sr1[i] * wl1[i]) / (wl1[i] * wr1[i]);
      if (n_missing != 0) {
        for (uint64_t i = 0; i < k; ++i) score2[i] = (sl2[i] * wr2[i] + sr2[i] * wl2[i]) / (wl2[i] * wr2[i]);
      }
    }
  });
  mask_scores(rules, n_prefix, total_count, n_missing, 0, wl1, wr1, score1, k);
  if (n_missing != 0) mask_scores(rules, n_prefix, total_count, 0, n_missing, wl2, wr2, score2, k);
  // Scores are never NaN: -inf or a finite quotient.
  double lane[4] = {kNone, kNone, kNone, kNone};
  fold_max(score1, k, lane);
  if (n_missing != 0) fold_max(score2, k, lane);
  return lanes_max(lane);
}

}  // namespace morvel::detail
