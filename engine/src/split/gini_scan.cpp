// The gini scan without a monotonic constraint, in three passes with the arithmetic of the
// bin scan and the shared validity rules: the running sums in bin order, then every
// improvement in branch-free loops the compiler vectorises across bins (each value is
// computed by the same operations in the same order, so it is bit-identical), then the
// validity rules and the strictly-greater choice in bin order (for one bin the missing-left
// option first).
//
// With `consume` (on-demand sums of integral weights) every bin is zeroed once read, which
// spares a separate clearing pass, and the running suffix is not stored: all its values are
// integers below 2^53, so suffix - bin at each step is exact and equals total - prefix.
#include <limits>

#include "morvel/errors.h"
#include "simd/simd.h"
#include "split/gini_lanes.h"
#include "split/histogram_impl.h"

namespace morvel {
namespace {

// The columns of a batched scan, `capacity` lanes each, one lane per visited bin: per scanned
// class its prefix (and suffix) weights, then the side totals of option 1 (missing rows left,
// the only option without missing rows) and option 2 (missing rows right), and scratch.
struct GiniColumns {
  uint64_t capacity = 0;
  uint32_t* bin_of = nullptr;
  uint64_t* count_of = nullptr;  // prefix count
  double* prefix_cols = nullptr;
  double* suffix_cols = nullptr;
  double* wl1 = nullptr;
  double* wr1 = nullptr;
  double* wl2 = nullptr;
  double* wr2 = nullptr;
  double* improvement1 = nullptr;
  double* improvement2 = nullptr;
  double* sum_left = nullptr;
  double* sum_right = nullptr;
  double* score1 = nullptr;
  double* score2 = nullptr;
  uint64_t k = 0;  // lanes filled
};

// Lanes per column: every bin of a byte-binned feature, rounded up to whole four-lane vectors.
// A capacity fixed at compile time puts every column at a constant offset from the first, so
// the walk addresses all its stores from one base register instead of spilling a pointer per
// column.
inline constexpr uint64_t kLanes = 260;
static_assert(kLanes >= kByteBins + 1 && kLanes % 4 == 0);

// Lays the columns out in the scan's buffers, which only grow: resizing them per call would
// zero-fill them each time.
[[gnu::always_inline]] inline GiniColumns layout_columns(std::vector<uint32_t>& bins, std::vector<uint64_t>& counts,
                                                       std::vector<double>& values, uint64_t nc) {
  constexpr uint64_t capacity = kLanes;
  if (bins.size() < capacity) {
    bins.resize(capacity);
    counts.resize(capacity);
  }
  if (values.size() < (2 * nc + 10) * capacity) values.resize((2 * nc + 10) * capacity);
  GiniColumns t;
  t.capacity = capacity;
  t.bin_of = bins.data();
  t.count_of = counts.data();
  t.prefix_cols = values.data();
  t.suffix_cols = t.prefix_cols + nc * capacity;
  t.wl1 = t.suffix_cols + nc * capacity;
  t.wr1 = t.wl1 + capacity;
  t.wl2 = t.wr1 + capacity;
  t.wr2 = t.wl2 + capacity;
  t.improvement1 = t.wr2 + capacity;
  t.improvement2 = t.improvement1 + capacity;
  t.sum_left = t.improvement2 + capacity;
  t.sum_right = t.sum_left + capacity;
  t.score1 = t.sum_right + capacity;
  t.score2 = t.score1 + capacity;
  return t;
}

// Offers a candidate that passes the validity rules (no monotonic constraint here).
inline void offer_valid(BestPartition& best, const SearchRules& rules, uint64_t n_left, uint64_t n_right,
                        double wl, double wr, double improvement, uint64_t bin, bool missing_left) {
  if (!sides_admissible(rules, n_left, wl, n_right, wr)) return;
  if (!decrease_admissible(rules, improvement)) return;
  best.offer(improvement, static_cast<double>(bin) + 0.5, missing_left);
}

// The walk over the bins filling the columns: running prefix p and suffix q, in local arrays
// for a fixed class count, else in the scan scratch. kAll: every class is scanned, in class
// order (the histogram then holds just the scanned classes per bin); otherwise classes[c]
// names the c-th scanned class.
template <uint64_t kScanned, bool kAll>
class GiniWalk {
 public:
  GiniWalk(const GiniColumns& t, uint64_t nc, uint64_t stride, const uint64_t* classes, double* scratch,
           double node_weight)
      : bin_of_(t.bin_of),
        count_of_(t.count_of),
        cols_(t.prefix_cols),
        nc_(nc),
        stride_(stride),
        classes_(classes),
        node_weight_(node_weight) {
    if constexpr (kScanned == 0) {
      q_ = scratch;
      p_ = scratch + nc;
    }
    // A local copy: the scan's stores cannot change it, so it stays in registers.
    if constexpr (kScanned != 0 && !kAll) {
      for (uint64_t c = 0; c < kScanned; ++c) cls_[c] = classes[c];
    }
  }

  // The running prefix and suffix of the scanned classes.
  [[gnu::always_inline]] double* p() {
    if constexpr (kScanned != 0) return prefix_;
    return p_;
  }
  [[gnu::always_inline]] double* q() {
    if constexpr (kScanned != 0) return suffix_;
    return q_;
  }
  uint64_t lanes() const { return k_; }
  uint64_t prefix_count() const { return n_prefix_; }

  // Consumed bins are zeroed once read; their suffix is not kept (see above). They hold
  // integers whose every partial sum stays below 2^53, so their prefix weights are exact in any
  // order. kUnit: every entry weighs 1.0, so the prefix weight is the prefix count.
  // kScored: the lanes go to gini_scores, which derives wl1 from wr1 and, with kUnit, wr1 from
  // the prefix counts, so the walk leaves those columns to it. kTallied: the class weights
  // are integer counts in `tallies` (unit weights), converted exactly as they are read.
  template <bool kUnit, bool kScored, bool kTallied = false>
  [[gnu::always_inline]] void walk_consumed(double* cw, uint64_t* counts, const uint32_t* bin_list, uint64_t bin_list_size,
                                            uint64_t* tallies = nullptr) {
    if (bin_list_size == 0 || bin_list[0] != 0) push<true, kUnit, kScored, kTallied>(cw, counts, 0, tallies);
    for (uint64_t i = 0; i < bin_list_size; ++i) push<true, kUnit, kScored, kTallied>(cw, counts, bin_list[i], tallies);
  }

  // Forced inline, like the walk itself: the running sums then live in registers.
  template <bool kConsume, bool kUnit, bool kScored = false, bool kTallied = false>
  [[gnu::always_inline]] void push(double* cw, uint64_t* counts, uint64_t b, uint64_t* tallies = nullptr) {
    const uint64_t nc = classes_or<kScanned>(nc_);
    double* p_run = p();
    double* q_run = q();
    double* bw = cw + b * stride();
    uint64_t* tb = kTallied ? tallies + b * stride() : nullptr;
    double* lane = cols_ + k_;
    if constexpr (kConsume && kScanned != 0) {
      // The bin's weights are read and then zeroed as a whole (the other classes of the bin are
      // zero already), which takes a few vector stores where one per class was needed.
      double v[kScanned];
      if constexpr (kTallied) {
        for (uint64_t c = 0; c < kScanned; ++c) v[c] = static_cast<double>(static_cast<int64_t>(tb[cls(c)]));
        if constexpr (kAll) {
          for (uint64_t c = 0; c < kScanned; ++c) tb[c] = 0;
        } else {
          for (uint64_t c = 0; c < kScanned; ++c) tb[cls(c)] = 0;
        }
      } else {
        for (uint64_t c = 0; c < kScanned; ++c) v[c] = bw[cls(c)];
        if constexpr (kAll) {
          for (uint64_t c = 0; c < kScanned; ++c) bw[c] = 0.0;
        } else {
          for (uint64_t c = 0; c < kScanned; ++c) bw[cls(c)] = 0.0;
        }
      }
      double bin_weight = 0.0;
      for (uint64_t c = 0; c < kScanned; ++c) {
        p_run[c] += v[c];
        if constexpr (!kUnit) bin_weight += v[c];
        lane[c * kLanes] = p_run[c];
      }
      close_lane<kConsume, kUnit, kScored>(counts, b, bin_weight, lane);
      return;
    }
    double bin_weight = 0.0;
    for (uint64_t c = 0; c < nc; ++c) {
      const double v = kTallied ? static_cast<double>(static_cast<int64_t>(tb[cls(c)])) : bw[cls(c)];
      p_run[c] += v;
      if constexpr (!kConsume) q_run[c] -= v;
      if constexpr (!kUnit) bin_weight += v;
      lane[c * kLanes] = p_run[c];
      if constexpr (kConsume) {
        // The other classes of the bin are zero already.
        if constexpr (kTallied) {
          tb[cls(c)] = 0;
        } else {
          bw[cls(c)] = 0.0;
        }
      } else {
        lane[(nc + c) * kLanes] = q_run[c];
      }
    }
    close_lane<kConsume, kUnit, kScored>(counts, b, bin_weight, lane);
  }

 private:
  // The lane's counts and side totals; a consumed bin's count is zeroed once read.
  template <bool kConsume, bool kUnit, bool kScored>
  [[gnu::always_inline]] void close_lane(uint64_t* counts, uint64_t b, double bin_weight, double* lane) {
    const uint64_t nc = classes_or<kScanned>(nc_);
    n_prefix_ += counts[b];
    if constexpr (kConsume) counts[b] = 0;
    bin_of_[k_] = static_cast<uint32_t>(b);
    count_of_[k_] = n_prefix_;
    if constexpr (!(kScored && kUnit)) {
      if constexpr (kUnit) {
        w_prefix_ = static_cast<double>(static_cast<int64_t>(n_prefix_));  // below 2^53: exact
      } else {
        w_prefix_ += bin_weight;
      }
      if constexpr (!kScored) lane[2 * nc * kLanes] = node_weight_ - w_prefix_;  // wl1
      lane[(2 * nc + 1) * kLanes] = w_prefix_;                                  // wr1
    }
    ++k_;
  }

  uint64_t cls(uint64_t c) const {
    if constexpr (kAll) return c;
    if constexpr (kScanned != 0) return cls_[c];
    return classes_[c];
  }
  // Classes per bin in the histogram: the scanned ones when all are.
  uint64_t stride() const { return kAll && kScanned != 0 ? kScanned : stride_; }

  uint32_t* const bin_of_;
  uint64_t* const count_of_;
  double* const cols_;     // the first prefix column; the others at multiples of kLanes
  const uint64_t nc_;      // scanned classes
  const uint64_t stride_;  // classes per bin in the histogram
  const uint64_t* const classes_;
  const double node_weight_;
  uint64_t cls_[kScanned != 0 ? kScanned : 1];
  double prefix_[kScanned != 0 ? kScanned : 1];
  double suffix_[kScanned != 0 ? kScanned : 1];
  double* p_ = nullptr;
  double* q_ = nullptr;
  double w_prefix_ = 0.0;
  uint64_t n_prefix_ = 0;
  uint64_t k_ = 0;
};

// The choice among the scored partitions of a consumed scan. Exact improvements only where
// they can decide. With T the improvement in exact arithmetic (from the computed parent
// impurity), the computed improvement E is within (2.04 n + 18) 2^-53 of T for n classes (each
// p = v / W_side is exact to one rounding, and p^2, the running sum, 1 - sum, W_side / W and
// the two differences add at most one unit each of values below 3), and T = parent - 1 + G / W.
// So when a partition's score is below the best score by more than W (4.1 n + 45) 2^-53, its E
// is strictly below the best-scored partition's E: it can be neither the largest valid
// improvement nor the first one reaching it. The margin taken is eight times that. The others
// are evaluated in scan order with the arithmetic of gini_improvements() and the in-order
// rule, which then picks the same partition with the same value.
template <uint64_t kScanned>
BestPartition choose_scored(const GiniColumns& t, uint64_t n_scanned, uint64_t n_classes, const double* left_total,
                            const double* miss, const MissingBin& missing, uint64_t total_count, double node_weight,
                            double parent_impurity, const SearchRules& rules, bool unit) {
  const uint64_t nc = classes_or<kScanned>(n_scanned);
  const uint64_t k = t.k;
  BestPartition best;
  const double top = detail::gini_scores(t.prefix_cols, t.capacity, nc, left_total, miss, t.count_of, total_count,
                                         missing.count, unit, node_weight, missing.weight, t.wl1, t.wr1, t.wl2,
                                         t.wr2, rules, t.sum_left, t.sum_right, t.improvement1, t.improvement2,
                                         t.score1, t.score2, k);
  if (top == -std::numeric_limits<double>::infinity()) return best;
  const double margin = node_weight * (static_cast<double>(n_classes) * 33.0 + 360.0) * 0x1p-53;
  const double floor = top - margin;
  // kMissing: 0 without missing rows, 1 with them on the left, 2 with them on the right.
  auto exact = [&]<int kMissing>(uint64_t i, double wl, double wr) {
    double sum_l = 0.0;
    double sum_r = 0.0;
    for (uint64_t c = 0; c < nc; ++c) {
      const double r = t.prefix_cols[c * kLanes + i];
      Gini::add(sum_l, kMissing == 1 ? (left_total[c] - r) + miss[c] : left_total[c] - r, wl);
      Gini::add(sum_r, kMissing == 2 ? r + miss[c] : r, wr);
    }
    return improvement_of(parent_impurity, node_weight, wl, Gini::finish(sum_l), wr, Gini::finish(sum_r));
  };
  double* score1 = t.score1;
  double* score2 = t.score2;
  const uint64_t* count_of = t.count_of;
  const double* wl1 = t.wl1;
  const double* wr1 = t.wr1;
  const uint32_t* bin_of = t.bin_of;
  const uint64_t n_missing = missing.count;
  // Few lanes come near the top: the scores are tested four at a time, the lanes past the
  // last one padded with scores that never pass (kLanes is a whole number of vectors).
  const uint64_t k4 = (k + 3) & ~uint64_t{3};
  for (uint64_t i = k; i < k4; ++i) {
    score1[i] = -std::numeric_limits<double>::infinity();
    score2[i] = -std::numeric_limits<double>::infinity();
  }
#if MORVEL_SIMD_SSE2
  const __m128d floor2 = _mm_set1_pd(floor);
  auto near_top = [&](const double* score, uint64_t i) {
    return _mm_movemask_pd(_mm_or_pd(_mm_cmpge_pd(_mm_loadu_pd(score + i), floor2),
                                     _mm_cmpge_pd(_mm_loadu_pd(score + i + 2), floor2))) != 0;
  };
#else
  auto near_top = [&](const double* score, uint64_t i) {
    return (score[i] >= floor) | (score[i + 1] >= floor) | (score[i + 2] >= floor) | (score[i + 3] >= floor);
  };
#endif
  if (n_missing == 0) {
    for (uint64_t i4 = 0; i4 < k4; i4 += 4) {
      if (!near_top(score1, i4)) continue;
      for (uint64_t i = i4; i < i4 + 4; ++i) {
        if (!(score1[i] >= floor)) continue;
        const uint64_t n_right = count_of[i];
        const uint64_t n_left = total_count - n_right;
        // Unseen missing values follow the larger side; ties go left.
        offer_valid(best, rules, n_left, n_right, wl1[i], wr1[i], exact.template operator()<0>(i, wl1[i], wr1[i]),
                    bin_of[i], n_right <= n_left);
      }
    }
    return best;
  }
  const double* wl2 = t.wl2;
  const double* wr2 = t.wr2;
  for (uint64_t i4 = 0; i4 < k4; i4 += 4) {
    if (!(near_top(score1, i4) | near_top(score2, i4))) continue;
    for (uint64_t i = i4; i < i4 + 4; ++i) {
      const uint64_t n_right = count_of[i];
      const uint64_t n_left = total_count - n_right;
      if (score1[i] >= floor)
        offer_valid(best, rules, n_left + n_missing, n_right, wl1[i], wr1[i],
                    exact.template operator()<1>(i, wl1[i], wr1[i]), bin_of[i], true);
      if (score2[i] >= floor)
        offer_valid(best, rules, n_left, n_right + n_missing, wl2[i], wr2[i],
                    exact.template operator()<2>(i, wl2[i], wr2[i]), bin_of[i], false);
    }
  }
  return best;
}

// The choice among every partition's improvement, computed in lanes.
BestPartition choose_computed(const GiniColumns& t, uint64_t nc, const double* left_cols, const double* left_total,
                              const double* miss, const MissingBin& missing, uint64_t total_count,
                              double node_weight, double parent_impurity, const SearchRules& rules) {
  const uint64_t k = t.k;
  BestPartition best;
  // Option 1 (the only one without missing rows): suffix (+ missing) left, prefix right.
  detail::gini_improvements(left_cols, left_total, missing.count != 0 ? miss : nullptr, t.prefix_cols, nullptr,
                            t.capacity, nc, t.wl1, t.wr1, node_weight, parent_impurity, t.sum_left, t.sum_right,
                            t.improvement1, k);
  if (missing.count == 0) {
    const uint64_t i =
        detail::first_best_partition(t.count_of, total_count, t.wl1, t.wr1, t.improvement1, k, rules, t.sum_left);
    if (i == k) return best;
    if (i < k) {
      // Unseen missing values follow the larger side; ties go left.
      const uint64_t n_right = t.count_of[i];
      best.offer(t.improvement1[i], static_cast<double>(t.bin_of[i]) + 0.5, n_right <= total_count - n_right);
      return best;
    }
    // Only -inf improvements are valid: decide in order.
    for (uint64_t j = 0; j < k; ++j) {
      const uint64_t n_right = t.count_of[j];
      const uint64_t n_left = total_count - n_right;
      offer_valid(best, rules, n_left, n_right, t.wl1[j], t.wr1[j], t.improvement1[j], t.bin_of[j],
                  n_right <= n_left);
    }
    return best;
  }
  // Option 2: missing rows join the prefix on the right.
  for (uint64_t i = 0; i < k; ++i) {
    t.wl2[i] = t.wl1[i] - missing.weight;  // (W - W_P) - W_m
    t.wr2[i] = t.wr1[i] + missing.weight;  // W_P + W_m
  }
  detail::gini_improvements(left_cols, left_total, nullptr, t.prefix_cols, miss, t.capacity, nc, t.wl2, t.wr2,
                            node_weight, parent_impurity, t.sum_left, t.sum_right, t.improvement2, k);
  for (uint64_t i = 0; i < k; ++i) {
    const uint64_t n_right = t.count_of[i];
    const uint64_t n_left = total_count - n_right;
    offer_valid(best, rules, n_left + missing.count, n_right, t.wl1[i], t.wr1[i], t.improvement1[i], t.bin_of[i],
                true);
    offer_valid(best, rules, n_left, n_right + missing.count, t.wl2[i], t.wr2[i], t.improvement2[i], t.bin_of[i],
                false);
  }
  return best;
}

}  // namespace

template <uint64_t kScanned, bool kAll>
BestPartition HistogramSearch::Impl::scan_gini(double* cw, uint64_t* counts, uint64_t nb, const uint32_t* bin_list,
                                               uint64_t bin_list_size, uint64_t n_scanned,
                                               const MissingBin& missing, const NodeStats& stats,
                                               double parent_impurity, bool consume, uint64_t* tallies) {
  const uint64_t nc = classes_or<kScanned>(n_scanned);
  const uint64_t stride = n_classes;
  MORVEL_ASSERT(!kAll || n_scanned == stride, "a scan of every class reads bins of the scanned classes");
  MORVEL_ASSERT(nb + 1 <= kLanes, "a feature has more bins than the scan has lanes");
  GiniColumns t = layout_columns(batch_bin, batch_count, batch_values, nc);
  GiniWalk<kScanned, kAll> walk(t, nc, stride, scan_classes.data(), scan.data(), stats.weight);
  // The suffix starts at the node's non-missing class weights; `q` keeps those totals when
  // the suffix is derived from them.
  for (uint64_t c = 0; c < nc; ++c) {
    walk.q()[c] = scan_totals[c];
    walk.p()[c] = 0.0;
  }
  const bool unit = bins.implicit_unit || stats.unit_weights;
  const bool scored = consume && stats.weight < detail::kScoredWeightLimit;
  if (consume) {
    MORVEL_ASSERT(bin_list != nullptr, "a consumed scan needs its occupied-bin list");
    if (tallies != nullptr) {
      MORVEL_ASSERT(unit, "tallied bins count entries of unit weight");
      if (scored) {
        walk.template walk_consumed<true, true, true>(cw, counts, bin_list, bin_list_size, tallies);
      } else {
        walk.template walk_consumed<true, false, true>(cw, counts, bin_list, bin_list_size, tallies);
      }
    } else if (unit) {
      if (scored) {
        walk.template walk_consumed<true, true>(cw, counts, bin_list, bin_list_size);
      } else {
        walk.template walk_consumed<true, false>(cw, counts, bin_list, bin_list_size);
      }
    } else if (scored) {
      walk.template walk_consumed<false, true>(cw, counts, bin_list, bin_list_size);
    } else {
      walk.template walk_consumed<false, false>(cw, counts, bin_list, bin_list_size);
    }
    if (missing_slot) {
      for (uint64_t c = 0; c < stride; ++c) {
        if (tallies != nullptr) {
          tallies[nb * stride + c] = 0;
        } else {
          cw[nb * stride + c] = 0.0;
        }
      }
      counts[nb] = 0;
    }
  } else {
    for_each_scanned_bin(cw, counts, nb, stride, bin_list, bin_list_size,
                         [&](uint64_t b) { walk.template push<false, false>(cw, counts, b); });
  }
  t.k = walk.lanes();
  // Every bin with entries was visited, so the final prefix count is the non-missing total.
  const uint64_t total_count = walk.prefix_count();
  // The non-missing class totals (what a consumed scan's suffix keeps); read from the scan's
  // own copy rather than from `walk`, whose sums then stay in registers.
  const double* left_total = scan_totals.data();
  const double* miss = scan_missing.data();
  if (scored) {
    return choose_scored<kScanned>(t, n_scanned, n_classes, left_total, miss, missing, total_count, stats.weight,
                                   parent_impurity, rules, unit);
  }
  return choose_computed(t, nc, consume ? nullptr : t.suffix_cols, left_total, miss, missing, total_count,
                         stats.weight, parent_impurity, rules);
}

// A class without weight at the node adds p = 0 / W = +0.0 to each side's running sum of
// squares wherever that side has weight (a side without weight is invalid anyway), which
// leaves the sum bit for bit as it was. Consumed bins are exact sums of the node's own
// non-negative weights, so such a class is zero in every bin and the scan may leave it out.
// Subtracted histograms can hold rounding residues in it and scan every class.
template <uint64_t kClasses>
BestPartition HistogramSearch::Impl::gini_scan(double* cw, uint64_t* counts, uint64_t nb, const uint32_t* bin_list,
                                               uint64_t bin_list_size, const MissingBin& missing,
                                               const NodeStats& stats, double parent_impurity, bool consume,
                                               uint64_t* tallies) {
  const uint64_t nc = classes_or<kClasses>(stats.class_weight.size());
  if (scan_classes.size() < nc) {
    scan_classes.resize(nc);
    scan_totals.resize(nc);
    scan_missing.resize(nc);
  }
  uint64_t n_scanned = 0;
  for (uint64_t c = 0; c < nc; ++c) {
    if (consume && stats.class_weight[c] == 0.0) continue;
    scan_classes[n_scanned] = c;
    scan_totals[n_scanned] = stats.class_weight[c] - missing.class_weight[c];
    scan_missing[n_scanned] = missing.class_weight[c];
    ++n_scanned;
  }
  return with_class_count<kMaxUnrolledClasses>(n_scanned, [&](auto scanned) {
    constexpr uint64_t kScanned = decltype(scanned)::value;
    if (n_scanned == nc) {
      return scan_gini<kScanned, true>(cw, counts, nb, bin_list, bin_list_size, n_scanned, missing, stats,
                                       parent_impurity, consume, tallies);
    }
    return scan_gini<kScanned, false>(cw, counts, nb, bin_list, bin_list_size, n_scanned, missing, stats,
                                      parent_impurity, consume, tallies);
  });
}

// The copies scan_feature calls, one per class count it has a copy for (0: any count).
template BestPartition HistogramSearch::Impl::gini_scan<0>(double*, uint64_t*, uint64_t, const uint32_t*, uint64_t,
                                                          const MissingBin&, const NodeStats&, double, bool,
                                                          uint64_t*);
template BestPartition HistogramSearch::Impl::gini_scan<2>(double*, uint64_t*, uint64_t, const uint32_t*, uint64_t,
                                                          const MissingBin&, const NodeStats&, double, bool,
                                                          uint64_t*);
template BestPartition HistogramSearch::Impl::gini_scan<3>(double*, uint64_t*, uint64_t, const uint32_t*, uint64_t,
                                                          const MissingBin&, const NodeStats&, double, bool,
                                                          uint64_t*);
template BestPartition HistogramSearch::Impl::gini_scan<4>(double*, uint64_t*, uint64_t, const uint32_t*, uint64_t,
                                                          const MissingBin&, const NodeStats&, double, bool,
                                                          uint64_t*);
template BestPartition HistogramSearch::Impl::gini_scan<5>(double*, uint64_t*, uint64_t, const uint32_t*, uint64_t,
                                                          const MissingBin&, const NodeStats&, double, bool,
                                                          uint64_t*);
template BestPartition HistogramSearch::Impl::gini_scan<6>(double*, uint64_t*, uint64_t, const uint32_t*, uint64_t,
                                                          const MissingBin&, const NodeStats&, double, bool,
                                                          uint64_t*);
template BestPartition HistogramSearch::Impl::gini_scan<7>(double*, uint64_t*, uint64_t, const uint32_t*, uint64_t,
                                                          const MissingBin&, const NodeStats&, double, bool,
                                                          uint64_t*);
template BestPartition HistogramSearch::Impl::gini_scan<8>(double*, uint64_t*, uint64_t, const uint32_t*, uint64_t,
                                                          const MissingBin&, const NodeStats&, double, bool,
                                                          uint64_t*);

}  // namespace morvel
