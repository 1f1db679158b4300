// Histogram split search: node histograms over bins (built from rows, or derived from the
// parent by clamped subtraction), on-demand per-feature sums when weights are integral, and
// the bin scan with both missing-value options.
#include "split/histogram.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "binning/bin_lookup.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {
namespace {

// Where the bin of (row, feature) comes from.
enum class BinSource : uint8_t { RowMajor, FeatureMajor, Csr };

// One feature's on-demand scratch covers every byte value.
constexpr uint64_t kScratchBins = 256;

// Integral weights keep every sum exact while totals stay below 2^53.
constexpr double kExactIntegerLimit = 9007199254740992.0;

// Two-class copies of impurity() and evaluate_partition(): the same operations in the same
// order, unrolled, so the per-bin evaluation of the common binary case stays inline.
inline double impurity_two(Criterion criterion, const double* v, double total) {
  if (total == 0.0) return 0.0;
  if (criterion == Criterion::Gini) {
    const double p0 = v[0] / total;
    const double p1 = v[1] / total;
    double sum = 0.0;
    sum += p0 * p0;
    sum += p1 * p1;
    return 1.0 - sum;
  }
  double sum = 0.0;
  if (v[0] > 0.0) {
    const double p = v[0] / total;
    sum += p * std::log(p);
  }
  if (v[1] > 0.0) {
    const double p = v[1] / total;
    sum += p * std::log(p);
  }
  return -sum;
}

inline std::optional<double> evaluate_two(const SearchRules& rules, double parent_impurity, double node_weight,
                                          const SideStats& left, const SideStats& right, int8_t constraint,
                                          NodeBounds bounds) {
  if (left.count < rules.min_samples_leaf || right.count < rules.min_samples_leaf) return std::nullopt;
  if (left.weight == 0.0 || right.weight == 0.0) return std::nullopt;
  if (!(left.weight >= rules.min_leaf_weight) || !(right.weight >= rules.min_leaf_weight)) return std::nullopt;
  if (constraint != 0 && !monotonic_ok(left, right, constraint, bounds, 2)) return std::nullopt;
  const double impurity_left = impurity_two(rules.criterion, left.class_weight, left.weight);
  const double impurity_right = impurity_two(rules.criterion, right.class_weight, right.weight);
  const double improvement = (parent_impurity - (left.weight / node_weight) * impurity_left) -
                             (right.weight / node_weight) * impurity_right;
  if (!(improvement >= rules.min_impurity_decrease)) return std::nullopt;
  return improvement;
}

// Gini improvements of many candidate partitions at once, one lane per candidate i. The
// right side's class weights are right[c * stride + i] (+ right_add[c] when given); the left
// side's are left[c * stride + i], or left_total[c] - right[c * stride + i] when `left` is
// null (callers pass that form only where it is exact), + left_add[c] when given. With the
// side totals wl[i] / wr[i]:
//   impurity = 1 - sum_c (v_c / W)^2 (classes in order, one running sum),
//   improvement = (parent - (wl / W_node) * impurity_left) - (wr / W_node) * impurity_right,
// the same operations in the same order as impurity() and evaluate_partition(). Sides with
// zero weight produce inf/NaN here; the validity rules reject them before use. Division and
// multiplication are correctly rounded in every instruction set and contraction is off, so
// the AVX2 clone computes the very same values as the default one.
__attribute__((target_clones("avx2", "default"))) void gini_improvements(
    const double* __restrict left, const double* __restrict left_total, const double* __restrict left_add,
    const double* __restrict right, const double* __restrict right_add, uint64_t stride, uint64_t n_classes,
    const double* __restrict wl, const double* __restrict wr, double node_weight, double parent_impurity,
    double* __restrict sum_left, double* __restrict sum_right, double* __restrict improvement, uint64_t k) {
  for (uint64_t i = 0; i < k; ++i) {
    sum_left[i] = 0.0;
    sum_right[i] = 0.0;
  }
  for (uint64_t c = 0; c < n_classes; ++c) {
    const double* r = right + c * stride;
    if (left != nullptr) {
      const double* l = left + c * stride;
      if (left_add != nullptr) {
        const double a = left_add[c];
        for (uint64_t i = 0; i < k; ++i) {
          const double p = (l[i] + a) / wl[i];
          sum_left[i] += p * p;
        }
      } else {
        for (uint64_t i = 0; i < k; ++i) {
          const double p = l[i] / wl[i];
          sum_left[i] += p * p;
        }
      }
    } else {
      const double t = left_total[c];
      if (left_add != nullptr) {
        const double a = left_add[c];
        for (uint64_t i = 0; i < k; ++i) {
          const double p = ((t - r[i]) + a) / wl[i];
          sum_left[i] += p * p;
        }
      } else {
        for (uint64_t i = 0; i < k; ++i) {
          const double p = (t - r[i]) / wl[i];
          sum_left[i] += p * p;
        }
      }
    }
    if (right_add != nullptr) {
      const double a = right_add[c];
      for (uint64_t i = 0; i < k; ++i) {
        const double p = (r[i] + a) / wr[i];
        sum_right[i] += p * p;
      }
    } else {
      for (uint64_t i = 0; i < k; ++i) {
        const double p = r[i] / wr[i];
        sum_right[i] += p * p;
      }
    }
  }
  for (uint64_t i = 0; i < k; ++i) {
    const double impurity_left = 1.0 - sum_left[i];
    const double impurity_right = 1.0 - sum_right[i];
    improvement[i] = (parent_impurity - (wl[i] / node_weight) * impurity_left) - (wr[i] / node_weight) * impurity_right;
  }
}

// The partition (suffix i left, prefix i right, no missing rows) that the in-order rule
// "valid, and the first one or strictly greater than the best so far" keeps: the first valid
// i whose improvement equals the largest valid improvement. A valid improvement is never
// NaN (it passed `>= min_impurity_decrease`), so the maximum may be taken in any order, and
// equal values (+0.0 and -0.0 included) compare equal in the final search. Returns k when
// none is valid; `masked` is scratch.
__attribute__((target_clones("avx2", "default"))) uint64_t first_best_partition(
    const uint64_t* __restrict n_prefix, uint64_t total_count, const double* __restrict wl,
    const double* __restrict wr, const double* __restrict improvement, uint64_t k, uint64_t min_samples_leaf,
    double min_leaf_weight, double min_impurity_decrease, double* __restrict masked) {
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  uint64_t valid = 0;
  for (uint64_t i = 0; i < k; ++i) {
    const uint64_t n_right = n_prefix[i];
    const uint64_t n_left = total_count - n_right;
    const bool ok = (n_left >= min_samples_leaf) & (n_right >= min_samples_leaf) & (wl[i] != 0.0) & (wr[i] != 0.0) &
                    (wl[i] >= min_leaf_weight) & (wr[i] >= min_leaf_weight) &
                    (improvement[i] >= min_impurity_decrease);
    masked[i] = ok ? improvement[i] : kNone;
    valid += ok ? 1 : 0;
  }
  if (valid == 0) return k;
  double lane[4] = {kNone, kNone, kNone, kNone};
  uint64_t i = 0;
  for (; i + 4 <= k; i += 4)
    for (uint64_t j = 0; j < 4; ++j) lane[j] = masked[i + j] > lane[j] ? masked[i + j] : lane[j];
  for (; i < k; ++i) lane[0] = masked[i] > lane[0] ? masked[i] : lane[0];
  double best = lane[0];
  for (uint64_t j = 1; j < 4; ++j) best = lane[j] > best ? lane[j] : best;
  if (best == kNone) return k + 1;  // only -inf improvements are valid: the caller decides in order
  for (i = 0; i < k; ++i)
    if (masked[i] == best) return i;
  return k;
}

// Below this node weight the class weights' squares and their sums are exact integers
// (weight^2 < 2^52), which the error bound of the approximate scores below relies on.
constexpr double kScoredWeightLimit = 67108864.0;  // 2^26

// Approximate gini scores of the candidate partitions of a consumed scan (integral class
// weights), one lane per visited bin, for the two options (missing rows left, then right;
// only the first when the node has no missing rows). For sides with class weights l_c, r_c
// and totals wl, wr, every improvement equals parent - 1 + G / W with
//   G = sum_c l_c^2 / wl + sum_c r_c^2 / wr,
// since wl + wr = W. The score is (SL * wr + SR * wl) / (wl * wr) with the sums of squares
// SL, SR exact: four roundings, so within 4.01 * 2^-53 * G <= 4.01 * 2^-53 * W of G. Partitions
// failing the count or weight rules score -inf. Returns the largest score (-inf when none
// passes them).
__attribute__((target_clones("avx2", "default"))) double gini_scores(
    const double* __restrict prefix_cols, uint64_t stride, uint64_t nc, const double* __restrict totals,
    const double* __restrict missing, const uint64_t* __restrict n_prefix, uint64_t total_count, uint64_t n_missing,
    const double* __restrict wl1, const double* __restrict wr1, const double* __restrict wl2,
    const double* __restrict wr2, uint64_t min_samples_leaf, double min_leaf_weight, double* __restrict sl1,
    double* __restrict sr1, double* __restrict sl2, double* __restrict sr2, double* __restrict score1,
    double* __restrict score2, uint64_t k) {
  constexpr double kNone = -std::numeric_limits<double>::infinity();
  // The first class initialises the sums (no separate clearing pass).
  if (nc == 0) {
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
    } else {
      if (c == 0) {
        for (uint64_t i = 0; i < k; ++i) {
          sl1[i] = 0.0;
          sr1[i] = 0.0;
          sl2[i] = 0.0;
          sr2[i] = 0.0;
        }
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
  // The count and weight rules. Weights are non-negative, so along the scan the right side's
  // count and weight never fall and the left side's never rise: each side's rules hold on a
  // run of partitions, from the first one passing the right side's rules to the last one
  // passing the left side's. Only the ends of the scan are tested.
  auto mask = [&](double* score, uint64_t n_left_extra, uint64_t n_right_extra, const double* wl,
                  const double* wr) {
    auto right_ok = [&](uint64_t i) {
      return n_prefix[i] + n_right_extra >= min_samples_leaf && wr[i] != 0.0 && wr[i] >= min_leaf_weight;
    };
    auto left_ok = [&](uint64_t i) {
      return (total_count - n_prefix[i]) + n_left_extra >= min_samples_leaf && wl[i] != 0.0 &&
             wl[i] >= min_leaf_weight;
    };
    uint64_t lo = 0;
    while (lo < k && !right_ok(lo)) score[lo++] = kNone;
    uint64_t hi = k;
    while (hi > lo && !left_ok(hi - 1)) score[--hi] = kNone;
  };
  for (uint64_t i = 0; i < k; ++i) score1[i] = (sl1[i] * wr1[i] + sr1[i] * wl1[i]) / (wl1[i] * wr1[i]);
  mask(score1, n_missing, 0, wl1, wr1);
  if (n_missing != 0) {
    for (uint64_t i = 0; i < k; ++i) score2[i] = (sl2[i] * wr2[i] + sr2[i] * wl2[i]) / (wl2[i] * wr2[i]);
    mask(score2, 0, n_missing, wl2, wr2);
  }
  // The largest score, in four lanes (scores are never NaN: -inf or a finite quotient).
  double lane[4] = {kNone, kNone, kNone, kNone};
  auto fold = [&](const double* score) {
    uint64_t i = 0;
    for (; i + 4 <= k; i += 4)
      for (uint64_t j = 0; j < 4; ++j) lane[j] = score[i + j] > lane[j] ? score[i + j] : lane[j];
    for (; i < k; ++i) lane[0] = score[i] > lane[0] ? score[i] : lane[0];
  };
  fold(score1);
  if (n_missing != 0) fold(score2);
  double best = lane[0];
  for (uint64_t j = 1; j < 4; ++j) best = lane[j] > best ? lane[j] : best;
  return best;
}

// Calls fn(b) for every bin a scan visits, in bin order: bin 0 always (its partition, an empty
// prefix when it has no entries, is the one every later empty bin repeats), then every bin
// with entries, from the occupied-bin list when there is one.
template <class Fn>
void for_each_scanned_bin(const double* cw, const uint64_t* counts, uint64_t nb, uint64_t nc,
                          const uint32_t* bin_list, uint64_t bin_list_size, Fn&& fn) {
  if (bin_list != nullptr) {
    if (bin_list_size == 0 || bin_list[0] != 0) fn(0);
    for (uint64_t i = 0; i < bin_list_size; ++i) fn(bin_list[i]);
    return;
  }
  for (uint64_t b = 0; b < nb; ++b) {
    if (b > 0 && counts[b] == 0) {
      const double* bw = cw + b * nc;
      bool empty = true;
      for (uint64_t c = 0; c < nc; ++c) empty = empty && bw[c] == 0.0;
      if (empty) continue;
    }
    fn(b);
  }
}

}  // namespace

struct HistogramSearch::Impl {
  const TrainingContext& ctx;
  TreeWeights weights;
  SearchRules rules;
  BinSource source = BinSource::RowMajor;
  const uint8_t* bytes = nullptr;
  const uint8_t* row_bytes = nullptr;  // row-major copy of feature-major bytes, if any
  const BinEdges* edges = nullptr;
  uint64_t n_rows = 0;
  uint64_t n_features = 0;
  uint64_t n_classes = 0;
  uint64_t missing_slot = 0;  // h: 1 when every feature carries a missing-value bin
  std::vector<uint64_t> offsets;
  uint64_t total_bins = 0;
  uint64_t threads = 1;

  bool integral_weights = false;
  bool implicit_unit = false;  // the tree's rows all weigh 1.0 and no weight vector exists
  bool on_demand_enabled = true;
  bool borrow = false;  // on-demand histograms refer to the caller's index lists
  double max_weight = 0.0;

  std::vector<NodeHistogram> pool;  // recycled histograms, buffers kept

  // One feature's bins for on-demand searches; all zero between searches.
  std::vector<double> feature_weights;
  std::vector<uint64_t> feature_counts;
  // Regular bins filled by the current on-demand sum: touched[0 .. n_touched).
  std::vector<uint32_t> touched;
  uint64_t n_touched = 0;
  // Scan vectors: suffix, prefix, missing, and the two option sides.
  std::vector<double> scan;

  Impl(const TrainingContext& c, const TreeWeights& w, const SearchRules& r) : ctx(c), weights(w), rules(r) {}

  bool use_on_demand(uint64_t entries) const {
    return on_demand_enabled && integral_weights &&
           max_weight * static_cast<double>(entries) <= kExactIntegerLimit;
  }

  NodeHistogram take() {
    if (pool.empty()) return NodeHistogram{};
    NodeHistogram h = std::move(pool.back());
    pool.pop_back();
    return h;
  }

  void set_rows(NodeHistogram& h, std::span<const RowIndex> rows) const {
    h.borrowed = borrow;
    if (borrow) {
      h.rows.clear();
      h.borrowed_rows = rows;
    } else {
      h.rows.assign(rows.begin(), rows.end());
      h.borrowed_rows = {};
    }
  }

  NodeHistogram take_on_demand(std::span<const RowIndex> rows) {
    NodeHistogram h = take();
    h.on_demand = true;
    set_rows(h, rows);
    return h;
  }

  // Sums the features [f_begin, f_end) of `rows` into a zeroed full-width histogram.
  template <BinSource kSource>
  void accumulate(std::span<const RowIndex> rows, uint64_t f_begin, uint64_t f_end, double* cw,
                  uint64_t* counts) const {
    const ClassIndex* labels = ctx.labels.data();
    const double* w = weights.weights.data();
    const bool implicit = implicit_unit;
    auto weight_of = [w, implicit](uint64_t row) { return implicit ? 1.0 : w[row]; };
    const uint64_t* off = offsets.data();
    const uint64_t nc = n_classes;
    if constexpr (kSource == BinSource::FeatureMajor) {
      // One column at a time: each bin still receives its rows in list order.
      for (uint64_t f = f_begin; f < f_end; ++f) {
        const uint8_t* column = bytes + f * n_rows;
        double* fw = cw + off[f] * nc;
        uint64_t* fc = counts + off[f];
        for (const uint64_t row : rows) {
          const uint8_t b = column[row];
          fw[b * nc + labels[row]] += weight_of(row);
          fc[b] += 1;
        }
      }
      return;
    }
    for (const uint64_t row : rows) {
      const uint64_t c = labels[row];
      const double wr = weight_of(row);
      for (uint64_t f = f_begin; f < f_end; ++f) {
        uint8_t b;
        if constexpr (kSource == BinSource::RowMajor) {
          b = bytes[row * n_features + f];
        } else if constexpr (kSource == BinSource::FeatureMajor) {
          b = bytes[f * n_rows + row];
        } else {
          b = detail::bin_value((*edges)[f], ctx.csr.at(row, f));
        }
        const uint64_t g = off[f] + b;
        cw[g * nc + c] += wr;
        counts[g] += 1;
      }
    }
  }

  void accumulate_range(std::span<const RowIndex> rows, uint64_t f_begin, uint64_t f_end, NodeHistogram& h) const {
    switch (source) {
      case BinSource::RowMajor:
        accumulate<BinSource::RowMajor>(rows, f_begin, f_end, h.class_weights.data(), h.counts.data());
        break;
      case BinSource::FeatureMajor:
        accumulate<BinSource::FeatureMajor>(rows, f_begin, f_end, h.class_weights.data(), h.counts.data());
        break;
      case BinSource::Csr:
        accumulate<BinSource::Csr>(rows, f_begin, f_end, h.class_weights.data(), h.counts.data());
        break;
    }
  }

  NodeHistogram build_full(std::span<const RowIndex> rows) {
    NodeHistogram h = take();
    h.on_demand = false;
    h.rows.clear();
    h.borrowed = false;
    h.borrowed_rows = {};
    h.class_weights.assign(total_bins * n_classes, 0.0);
    h.counts.assign(total_bins, 0);
    fill_full(rows, h);
    return h;
  }

  void fill_full(std::span<const RowIndex> rows, NodeHistogram& h) const {
    const uint64_t workers = std::min(n_features, threads);
    uint64_t cells = 0;
    const bool small = __builtin_mul_overflow(static_cast<uint64_t>(rows.size()), n_features, &cells)
                           ? false
                           : cells < detail::kParallelCells;
    // Sparse histograms stay on one thread; byte matrices split features over workers,
    // each owning a disjoint range of bins.
    if (source == BinSource::Csr || workers < 2 || small) {
      accumulate_range(rows, 0, n_features, h);
      return;
    }
    parallel::for_each_chunk(
        n_features, workers, [&](const parallel::Chunk& c) { accumulate_range(rows, c.begin, c.end, h); },
        msg::kBinWorkerPanicked);
  }

  // Sums one feature of an on-demand histogram into the zeroed feature scratch and lists
  // its occupied regular bins in ascending order in `touched`, so the scan and the clean-up
  // visit only those. Nodes with fewer entries than bins mark occupied bins in a bitmap as
  // they go (kBitmap); larger ones find them by one pass over the counts afterwards.
  // kClasses: the class count when the scan has a copy for it (as with_class_count), so the
  // per-entry address of a bin's class takes no multiplication by a variable.
  template <bool kBitmap, uint64_t kClasses = 0>
  void fill_feature(const NodeHistogram& h, const NodeStats& stats, uint64_t f) {
    const uint64_t nc = kClasses != 0 ? kClasses : n_classes;
    const uint64_t m = (*edges)[f].size();
    const uint64_t top = m + missing_slot;
    double* cw = feature_weights.data();
    uint64_t* counts = feature_counts.data();
    uint64_t occupied[4] = {0, 0, 0, 0};  // bins 0..255
    // The scratch holds all 256 byte values, so every byte lands inside it; bytes beyond the
    // feature's bins are detected after the pass instead of being tested per entry.
    auto add = [&](uint64_t label, double weight, uint8_t b) {
      if constexpr (kBitmap) occupied[b >> 6] |= uint64_t{1} << (b & 63);
      counts[b] += 1;
      cw[b * nc + label] += weight;
    };
    // The node's statistics list every entry's class and weight in list order, the order of
    // the node's index list; reading them sequentially spares two lookups per entry. Statistics measured
    // without entry weights fall back to the lookups.
    const std::span<const RowIndex> entries = h.entries();
    const uint64_t n = entries.size();
    const RowIndex* rows = entries.data();
    const bool listed = stats.labels.size() == n && stats.entry_weights.size() == n;
    const bool unit = stats.labels.size() == n && (stats.unit_weights || implicit_unit);
    const ClassIndex* labels = listed || unit ? stats.labels.data() : ctx.labels.data();
    const double* w = listed ? stats.entry_weights.data() : weights.weights.data();
    auto each_entry = [&](auto bin_of) {
      if (unit) {
        for (uint64_t i = 0; i < n; ++i) add(labels[i], 1.0, bin_of(rows[i]));
      } else if (listed) {
        for (uint64_t i = 0; i < n; ++i) add(labels[i], w[i], bin_of(rows[i]));
      } else if (implicit_unit) {
        for (uint64_t i = 0; i < n; ++i) add(labels[rows[i]], 1.0, bin_of(rows[i]));
      } else {
        for (uint64_t i = 0; i < n; ++i) add(labels[rows[i]], w[rows[i]], bin_of(rows[i]));
      }
    };
    // A small node's rows are few enough that their row-major bytes stay cached from one
    // searched feature (and node) to the next, while each feature-major byte would be a
    // cache line of its own.
    if (row_bytes != nullptr && ctx.binned->reads_row_major_copy(n)) {
      const uint8_t* column = row_bytes + f;
      each_entry([&](uint64_t row) { return column[row * n_features]; });
    } else switch (source) {
      case BinSource::RowMajor: {
        const uint8_t* column = bytes + f;
        each_entry([&](uint64_t row) { return column[row * n_features]; });
        break;
      }
      case BinSource::FeatureMajor: {
        const uint8_t* column = bytes + f * n_rows;
        each_entry([&](uint64_t row) { return column[row]; });
        break;
      }
      case BinSource::Csr:
        each_entry([&](uint64_t row) { return detail::bin_value((*edges)[f], ctx.csr.at(row, f)); });
        break;
    }
    bool in_range = true;
    for (uint64_t b = top + 1; b < kScratchBins; ++b) in_range = in_range && counts[b] == 0;
    if (!in_range) {
      clear_feature(f, false);
      throw_internal("index out of bounds: bin outside the feature's histogram");
    }
    uint32_t* list = touched.data();  // room for every byte value
    uint64_t k = 0;
    if constexpr (kBitmap) {
      // The missing-value bin m + 1 is not a regular bin.
      if (missing_slot) occupied[(m + 1) >> 6] &= ~(uint64_t{1} << ((m + 1) & 63));
      for (uint64_t word = 0; word < 4; ++word) {
        for (uint64_t bits = occupied[word]; bits != 0; bits &= bits - 1)
          list[k++] = static_cast<uint32_t>(word * 64 + static_cast<uint64_t>(__builtin_ctzll(bits)));
      }
    } else {
      // Without branches: at a few hundred entries about every other bin is occupied, which
      // no branch predictor follows.
      for (uint64_t b = 0; b <= m; ++b) {
        list[k] = static_cast<uint32_t>(b);
        k += counts[b] != 0 ? 1 : 0;
      }
    }
    n_touched = k;
  }

  void clear_feature(uint64_t f, bool tracked) {
    const uint64_t nc = n_classes;
    const uint64_t bins = (*edges)[f].size() + 1 + missing_slot;
    if (!tracked) {
      std::fill(feature_weights.begin(), feature_weights.end(), 0.0);
      std::fill(feature_counts.begin(), feature_counts.end(), 0);
      return;
    }
    if (n_touched * 4 >= bins) {
      std::fill(feature_weights.begin(), feature_weights.begin() + static_cast<std::ptrdiff_t>(bins * nc), 0.0);
      std::fill(feature_counts.begin(), feature_counts.begin() + static_cast<std::ptrdiff_t>(bins), 0);
      return;
    }
    auto clear_bin = [&](uint64_t b) {
      feature_counts[b] = 0;
      for (uint64_t c = 0; c < nc; ++c) feature_weights[b * nc + c] = 0.0;
    };
    for (uint64_t i = 0; i < n_touched; ++i) clear_bin(touched[i]);
    if (missing_slot) clear_bin(bins - 1);
  }

  // Calls fn(std::integral_constant<uint64_t, K>) with K = the class count when the scan has
  // a copy unrolled for it (2 to 8 classes), else K = 0 (any count).
  template <class Fn>
  decltype(auto) with_class_count(Fn&& fn) const {
    return with_count(n_classes, std::forward<Fn>(fn));
  }

  // Columns of the batched gini scan, one entry per visited bin.
  std::vector<uint32_t> batch_bin;
  std::vector<uint64_t> batch_count;
  std::vector<double> batch_values;

  // The bin scan of one feature. With `consume`, the bins are scratch that must be left
  // zeroed; returns whether the scan already did that.
  template <uint64_t kClasses>
  std::optional<SplitCandidate> scan_feature(double* cw, uint64_t* counts, uint64_t m, const uint32_t* bin_list,
                                             uint64_t bin_list_size, const NodeStats& stats, int8_t constraint,
                                             NodeBounds bounds, bool consume, bool& consumed);

  // The classes a gini scan evaluates, and their non-missing totals and missing-bin weights
  // in that order.
  std::vector<uint64_t> scan_classes;
  std::vector<double> scan_totals;
  std::vector<double> scan_missing;

  // The last parent impurity computed and the statistics it came from: a node's features
  // are searched one after another with the same statistics, and the impurity is a function
  // of the class weights, the total and the criterion alone, so equal bits give equal bits.
  std::vector<double> impurity_class_weight;
  double impurity_weight = 0.0;
  double impurity_value = 0.0;
  bool impurity_known = false;

  static bool same_bits(double a, double b) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
  }

  double parent_impurity_of(const NodeStats& stats, uint64_t nc) {
    const double* cw = stats.class_weight.data();
    if (impurity_known && impurity_class_weight.size() == nc && same_bits(impurity_weight, stats.weight)) {
      bool same = true;
      for (uint64_t c = 0; c < nc; ++c) same = same && same_bits(impurity_class_weight[c], cw[c]);
      if (same) return impurity_value;
    }
    impurity_class_weight.assign(cw, cw + nc);
    impurity_weight = stats.weight;
    impurity_value = impurity(rules.criterion, cw, nc, stats.weight);
    impurity_known = true;
    return impurity_value;
  }

  // Calls fn(std::integral_constant<uint64_t, K>) with K = n when 2 <= n <= 8, else K = 0.
  template <class Fn>
  static decltype(auto) with_count(uint64_t n, Fn&& fn) {
    switch (n) {
      case 2: return fn(std::integral_constant<uint64_t, 2>{});
      case 3: return fn(std::integral_constant<uint64_t, 3>{});
      case 4: return fn(std::integral_constant<uint64_t, 4>{});
      case 5: return fn(std::integral_constant<uint64_t, 5>{});
      case 6: return fn(std::integral_constant<uint64_t, 6>{});
      case 7: return fn(std::integral_constant<uint64_t, 7>{});
      case 8: return fn(std::integral_constant<uint64_t, 8>{});
      default: return fn(std::integral_constant<uint64_t, 0>{});
    }
  }

  // kAll: every class is scanned, in class order.
  template <uint64_t kScanned, bool kAll>
  bool scan_gini(double* cw, uint64_t* counts, uint64_t nb, const uint32_t* bin_list, uint64_t bin_list_size,
                 uint64_t n_scanned, double w_missing, uint64_t n_missing, const NodeStats& stats,
                 double parent_impurity, bool consume, double& best, SplitCandidate& candidate);
};

// The bin scan. `cw`/`counts` point at bin 0 of the feature. When `bin_list` is given, only
// bin 0 and the listed bins are visited: a bin without entries and without weight leaves
// the partition of its predecessor unchanged, so its evaluation repeats the predecessor's
// improvement and can never replace the best (which needs a strictly greater one). The
// same holds for the empty bins skipped in a full scan.
template <uint64_t kClasses>
std::optional<SplitCandidate> HistogramSearch::Impl::scan_feature(double* cw, uint64_t* counts, uint64_t m,
                                                                  const uint32_t* bin_list, uint64_t bin_list_size,
                                                                  const NodeStats& stats, int8_t constraint,
                                                                  NodeBounds bounds, bool consume, bool& consumed) {
  consumed = false;
  const uint64_t nc = kClasses != 0 ? kClasses : n_classes;
  const uint64_t nb = m + 1;
  if (scan.size() < 5 * nc) scan.resize(5 * nc);
  double* suffix = scan.data();
  double* prefix = suffix + nc;
  double* miss = prefix + nc;
  double* side_a = miss + nc;
  double* side_b = side_a + nc;

  double w_missing = 0.0;
  uint64_t n_missing = 0;
  for (uint64_t c = 0; c < nc; ++c) miss[c] = 0.0;
  if (missing_slot) {
    const double* mw = cw + nb * nc;
    for (uint64_t c = 0; c < nc; ++c) {
      miss[c] = mw[c];
      w_missing += mw[c];
    }
    n_missing = counts[nb];
  }
  const double node_weight = stats.weight;
  const double parent_impurity = parent_impurity_of(stats, nc);
  bool found = false;
  double best = 0.0;
  SplitCandidate candidate;

  if (constraint == 0 && rules.criterion == Criterion::Gini) {
    // A class without weight at the node adds p = 0 / W = +0.0 to each side's running sum of
    // squares wherever that side has weight (a side without weight is invalid anyway), which
    // leaves the sum bit for bit as it was. Consumed bins are exact sums of the node's own
    // non-negative weights, so such a class is zero in every bin and the scan may leave it out.
    // Subtracted histograms can hold rounding residues in it and scan every class.
    if (scan_classes.size() < nc) {
      scan_classes.resize(nc);
      scan_totals.resize(nc);
      scan_missing.resize(nc);
    }
    uint64_t n_scanned = 0;
    for (uint64_t c = 0; c < nc; ++c) {
      if (consume && stats.class_weight[c] == 0.0) continue;
      scan_classes[n_scanned] = c;
      scan_totals[n_scanned] = stats.class_weight[c] - miss[c];
      scan_missing[n_scanned] = miss[c];
      ++n_scanned;
    }
    found = with_count(n_scanned, [&](auto scanned) {
      constexpr uint64_t kScanned = decltype(scanned)::value;
      if (n_scanned == nc) {
        return scan_gini<kScanned, true>(cw, counts, nb, bin_list, bin_list_size, n_scanned, w_missing, n_missing,
                                         stats, parent_impurity, consume, best, candidate);
      }
      return scan_gini<kScanned, false>(cw, counts, nb, bin_list, bin_list_size, n_scanned, w_missing, n_missing,
                                        stats, parent_impurity, consume, best, candidate);
    });
    consumed = consume;
    if (!found) return std::nullopt;
    candidate.gain = scaled_gain(best, node_weight, rules.w_total);
    return candidate;
  }

  uint64_t total_count = 0;
  if (bin_list != nullptr) {
    for (uint64_t i = 0; i < bin_list_size; ++i) total_count += counts[bin_list[i]];
  } else {
    for (uint64_t b = 0; b < nb; ++b) total_count += counts[b];
  }
  for (uint64_t c = 0; c < nc; ++c) {
    suffix[c] = stats.class_weight[c] - miss[c];
    prefix[c] = 0.0;
  }
  double w_prefix = 0.0;
  uint64_t n_prefix = 0;

  auto consider = [&](const SideStats& left, const SideStats& right, uint64_t b, bool missing_left) {
    const std::optional<double> improvement =
        kClasses == 2 ? evaluate_two(rules, parent_impurity, node_weight, left, right, constraint, bounds)
                      : evaluate_partition(rules, parent_impurity, node_weight, left, right, constraint, bounds);
    // Strictly greater replaces: the lowest bin reaching the best partition keeps it, and
    // for one bin the missing-left option wins a tie.
    if (improvement && (!found || *improvement > best)) {
      found = true;
      best = *improvement;
      candidate.pivot = static_cast<double>(b) + 0.5;
      candidate.missing_left = missing_left;
    }
  };

  auto visit = [&](uint64_t b) {
    const double* bw = cw + b * nc;
    double bin_weight = 0.0;
    for (uint64_t c = 0; c < nc; ++c) {
      prefix[c] += bw[c];
      suffix[c] -= bw[c];
      bin_weight += bw[c];
    }
    w_prefix += bin_weight;
    n_prefix += counts[b];
    const uint64_t n_suffix = total_count - n_prefix;
    if (n_missing == 0) {
      // Unseen missing values follow the larger side; ties go left.
      consider(SideStats{suffix, node_weight - w_prefix, n_suffix}, SideStats{prefix, w_prefix, n_prefix}, b,
               n_prefix <= n_suffix);
      return;
    }
    for (uint64_t c = 0; c < nc; ++c) side_a[c] = suffix[c] + miss[c];
    consider(SideStats{side_a, node_weight - w_prefix, n_suffix + n_missing}, SideStats{prefix, w_prefix, n_prefix},
             b, true);
    for (uint64_t c = 0; c < nc; ++c) side_b[c] = prefix[c] + miss[c];
    consider(SideStats{suffix, (node_weight - w_prefix) - w_missing, n_suffix},
             SideStats{side_b, w_prefix + w_missing, n_prefix + n_missing}, b, false);
  };

  for_each_scanned_bin(cw, counts, nb, nc, bin_list, bin_list_size, visit);
  if (!found) return std::nullopt;
  candidate.gain = scaled_gain(best, node_weight, rules.w_total);
  return candidate;
}

// The gini scan without a monotonic constraint, in three passes with the arithmetic of
// visit() + evaluate_partition(): the running sums in bin order, then every improvement in
// branch-free loops the compiler vectorises across bins (each value is computed by the same
// operations in the same order, so it is bit-identical), then the validity rules and the
// strictly-greater choice in bin order (for one bin the missing-left option first).
//
// With `consume` (on-demand sums of integral weights) every bin is zeroed once read, which
// spares a separate clearing pass, and the running suffix is not stored: all its values are
// integers below 2^53, so suffix - bin at each step is exact and equals total - prefix.
template <uint64_t kScanned, bool kAll>
bool HistogramSearch::Impl::scan_gini(double* cw, uint64_t* counts, uint64_t nb, const uint32_t* bin_list,
                                      uint64_t bin_list_size, uint64_t n_scanned, double w_missing,
                                      uint64_t n_missing, const NodeStats& stats, double parent_impurity,
                                      bool consume, double& best, SplitCandidate& candidate) {
  const uint64_t nc = kScanned != 0 ? kScanned : n_scanned;  // scanned classes
  const uint64_t stride = n_classes;                           // classes per bin in `cw`
  const uint64_t* classes = scan_classes.data();
  auto cls = [classes](uint64_t c) { return kAll ? c : classes[c]; };
  const double* miss = scan_missing.data();
  const uint64_t capacity = nb + 1;
  // Blocks: prefix (and suffix) per scanned class, the side weights of both options and the
  // scratch of the vector pass.
  // The columns only grow: resizing them per call would zero-fill them each time.
  if (batch_bin.size() < capacity) {
    batch_bin.resize(capacity);
    batch_count.resize(capacity);
  }
  // Local pointers: the walk's stores cannot then be taken to move the vectors' buffers.
  uint32_t* const bin_of = batch_bin.data();
  uint64_t* const count_of = batch_count.data();
  if (batch_values.size() < (2 * nc + 10) * capacity) batch_values.resize((2 * nc + 10) * capacity);
  double* prefix_cols = batch_values.data();
  double* suffix_cols = prefix_cols + nc * capacity;
  double* wl1 = suffix_cols + nc * capacity;
  double* wr1 = wl1 + capacity;
  double* wl2 = wr1 + capacity;
  double* wr2 = wl2 + capacity;
  double* improvement1 = wr2 + capacity;
  double* improvement2 = improvement1 + capacity;
  double* sum_left = improvement2 + capacity;
  double* sum_right = sum_left + capacity;
  double* score1 = sum_right + capacity;
  double* score2 = score1 + capacity;

  // Running prefix p and suffix q: local arrays for a fixed class count, otherwise the
  // first two vectors of the scan scratch.
  double prefix[kScanned != 0 ? kScanned : 1];
  double suffix[kScanned != 0 ? kScanned : 1];
  double* p = prefix;
  double* q = suffix;
  if constexpr (kScanned == 0) {
    q = scan.data();
    p = q + nc;
  }
  for (uint64_t c = 0; c < nc; ++c) {
    q[c] = scan_totals[c];
    p[c] = 0.0;
  }
  // The suffix starts at the node's non-missing class weights; `q` keeps those totals when
  // the suffix is derived from them.
  const double node_weight = stats.weight;
  double w_prefix = 0.0;
  uint64_t n_prefix = 0;
  uint64_t k = 0;
  // Consumed bins hold integers whose every partial sum stays below 2^53, so their prefix
  // weights are exact in any order.
  // kUnit: every entry weighs 1.0, so the prefix weight is the prefix count.
  auto push_consumed = [&]<bool kUnit>(uint64_t b) {
    double* bw = cw + b * stride;
    double bin_weight = 0.0;
    for (uint64_t c = 0; c < nc; ++c) {
      const double v = bw[cls(c)];
      p[c] += v;
      if constexpr (!kUnit) bin_weight += v;
      prefix_cols[c * capacity + k] = p[c];
      bw[cls(c)] = 0.0;  // the other classes of the bin are zero already
    }
    n_prefix += counts[b];
    if constexpr (kUnit) {
      w_prefix = static_cast<double>(n_prefix);
    } else {
      w_prefix += bin_weight;
    }
    counts[b] = 0;
    bin_of[k] = static_cast<uint32_t>(b);
    count_of[k] = n_prefix;
    wl1[k] = node_weight - w_prefix;
    wr1[k] = w_prefix;
    ++k;
  };
  auto push = [&](uint64_t b) {
    const double* bw = cw + b * stride;
    double bin_weight = 0.0;
    for (uint64_t c = 0; c < nc; ++c) {
      const double v = bw[cls(c)];
      p[c] += v;
      q[c] -= v;
      bin_weight += v;
      prefix_cols[c * capacity + k] = p[c];
      suffix_cols[c * capacity + k] = q[c];
    }
    w_prefix += bin_weight;
    n_prefix += counts[b];
    bin_of[k] = static_cast<uint32_t>(b);
    count_of[k] = n_prefix;
    wl1[k] = node_weight - w_prefix;
    wr1[k] = w_prefix;
    ++k;
  };
  if (consume) {
    MORVEL_ASSERT(bin_list != nullptr, "a consumed scan needs its occupied-bin list");
    auto walk = [&]<bool kUnit>() {
      if (bin_list_size == 0 || bin_list[0] != 0) push_consumed.template operator()<kUnit>(0);
      for (uint64_t i = 0; i < bin_list_size; ++i) push_consumed.template operator()<kUnit>(bin_list[i]);
    };
    if (implicit_unit || stats.unit_weights) {
      walk.template operator()<true>();
    } else {
      walk.template operator()<false>();
    }
    if (missing_slot) {
      for (uint64_t c = 0; c < stride; ++c) cw[nb * stride + c] = 0.0;
      counts[nb] = 0;
    }
  } else {
    for_each_scanned_bin(cw, counts, nb, stride, bin_list, bin_list_size, push);
  }
  // Every bin with entries was visited, so the final prefix count is the non-missing total.
  const uint64_t total_count = n_prefix;
  const double* left_cols = consume ? nullptr : suffix_cols;
  const double* left_total = q;  // untouched by a consumed scan: the non-missing class totals

  bool found = false;
  auto consider = [&](uint64_t n_left, uint64_t n_right, double wl, double wr, double improvement, uint64_t bin,
                      bool missing_left) {
    if (n_left < rules.min_samples_leaf || n_right < rules.min_samples_leaf) return;
    if (wl == 0.0 || wr == 0.0) return;
    if (!(wl >= rules.min_leaf_weight) || !(wr >= rules.min_leaf_weight)) return;
    if (!(improvement >= rules.min_impurity_decrease)) return;
    // Strictly greater replaces: the lowest bin reaching the best partition keeps it.
    if (!found || improvement > best) {
      found = true;
      best = improvement;
      candidate.pivot = static_cast<double>(bin) + 0.5;
      candidate.missing_left = missing_left;
    }
  };

  if (consume && node_weight < kScoredWeightLimit) {
    // Exact improvements only where they can decide. With T the improvement in exact
    // arithmetic (from the computed parent impurity), the computed improvement E is within
    // (2.04 n + 18) 2^-53 of T for n classes (each p = v / W_side is exact to one rounding,
    // and p^2, the running sum, 1 - sum, W_side / W and the two differences add at most one
    // unit each of values below 3), and T = parent - 1 + G / W. So when a partition's score
    // is below the best score by more than W (4.1 n + 45) 2^-53, its E is strictly below the
    // best-scored partition's E: it can be neither the largest valid improvement nor the
    // first one reaching it. The margin taken is eight times that. The others are evaluated
    // in scan order with the arithmetic of gini_improvements() and the in-order rule, which
    // then picks the same partition with the same value.
    if (n_missing != 0) {
      for (uint64_t i = 0; i < k; ++i) {
        wl2[i] = wl1[i] - w_missing;
        wr2[i] = wr1[i] + w_missing;
      }
    }
    const double top = gini_scores(prefix_cols, capacity, nc, left_total, miss, count_of, total_count,
                                   n_missing, wl1, wr1, wl2, wr2, rules.min_samples_leaf, rules.min_leaf_weight,
                                   sum_left, sum_right, improvement1, improvement2, score1, score2, k);
    if (top == -std::numeric_limits<double>::infinity()) return false;
    const double margin = node_weight * (static_cast<double>(n_classes) * 33.0 + 360.0) * 0x1p-53;
    const double floor = top - margin;
    // kMissing: 0 without missing rows, 1 with them on the left, 2 with them on the right.
    auto exact = [&]<int kMissing>(uint64_t i, double wl, double wr) {
      double sum_l = 0.0;
      double sum_r = 0.0;
      for (uint64_t c = 0; c < nc; ++c) {
        const double r = prefix_cols[c * capacity + i];
        const double pl = kMissing == 1 ? ((left_total[c] - r) + miss[c]) / wl : (left_total[c] - r) / wl;
        sum_l += pl * pl;
        const double pr = kMissing == 2 ? (r + miss[c]) / wr : r / wr;
        sum_r += pr * pr;
      }
      const double impurity_left = 1.0 - sum_l;
      const double impurity_right = 1.0 - sum_r;
      return (parent_impurity - (wl / node_weight) * impurity_left) - (wr / node_weight) * impurity_right;
    };
    if (n_missing == 0) {
      for (uint64_t i = 0; i < k; ++i) {
        if (!(score1[i] >= floor)) continue;
        const uint64_t n_right = count_of[i];
        const uint64_t n_left = total_count - n_right;
        // Unseen missing values follow the larger side; ties go left.
        consider(n_left, n_right, wl1[i], wr1[i], exact.template operator()<0>(i, wl1[i], wr1[i]), bin_of[i],
                 n_right <= n_left);
      }
      return found;
    }
    for (uint64_t i = 0; i < k; ++i) {
      const uint64_t n_right = count_of[i];
      const uint64_t n_left = total_count - n_right;
      if (score1[i] >= floor)
        consider(n_left + n_missing, n_right, wl1[i], wr1[i], exact.template operator()<1>(i, wl1[i], wr1[i]),
                 bin_of[i], true);
      if (score2[i] >= floor)
        consider(n_left, n_right + n_missing, wl2[i], wr2[i], exact.template operator()<2>(i, wl2[i], wr2[i]),
                 bin_of[i], false);
    }
    return found;
  }

  // Option 1 (the only one without missing rows): suffix (+ missing) left, prefix right.
  gini_improvements(left_cols, left_total, n_missing != 0 ? miss : nullptr, prefix_cols, nullptr, capacity, nc,
                    wl1, wr1, node_weight, parent_impurity, sum_left, sum_right, improvement1, k);

  if (n_missing == 0) {
    const uint64_t i = first_best_partition(count_of, total_count, wl1, wr1, improvement1, k,
                                            rules.min_samples_leaf, rules.min_leaf_weight,
                                            rules.min_impurity_decrease, sum_left);
    if (i == k) return false;
    if (i > k) {
      for (uint64_t j = 0; j < k; ++j) {
        const uint64_t n_right = count_of[j];
        const uint64_t n_left = total_count - n_right;
        consider(n_left, n_right, wl1[j], wr1[j], improvement1[j], bin_of[j], n_right <= n_left);
      }
      return found;
    }
    const uint64_t n_right = count_of[i];
    const uint64_t n_left = total_count - n_right;
    best = improvement1[i];
    candidate.pivot = static_cast<double>(bin_of[i]) + 0.5;
    // Unseen missing values follow the larger side; ties go left.
    candidate.missing_left = n_right <= n_left;
    return true;
  }

  // Option 2: missing rows join the prefix on the right.
  for (uint64_t i = 0; i < k; ++i) {
    wl2[i] = wl1[i] - w_missing;  // (W - W_P) - W_m
    wr2[i] = wr1[i] + w_missing;  // W_P + W_m
  }
  gini_improvements(left_cols, left_total, nullptr, prefix_cols, miss, capacity, nc, wl2, wr2, node_weight,
                    parent_impurity, sum_left, sum_right, improvement2, k);
  for (uint64_t i = 0; i < k; ++i) {
    const uint64_t n_right = count_of[i];
    const uint64_t n_left = total_count - n_right;
    consider(n_left + n_missing, n_right, wl1[i], wr1[i], improvement1[i], bin_of[i], true);
    consider(n_left, n_right + n_missing, wl2[i], wr2[i], improvement2[i], bin_of[i], false);
  }
  return found;
}

HistogramSearch::HistogramSearch(const TrainingContext& ctx, const TreeWeights& weights, const SearchRules& rules)
    : impl_(std::make_unique<Impl>(ctx, weights, rules)) {
  Impl& s = *impl_;
  s.edges = ctx.edges();
  MORVEL_ASSERT(s.edges != nullptr, msg::kHistogramNeedsEdges);
  s.n_rows = ctx.n_rows;
  s.n_features = ctx.n_features;
  s.n_classes = ctx.n_classes;
  if (ctx.binned) {
    const BinnedMatrix& bm = *ctx.binned;
    MORVEL_ASSERT(bm.bins.size() == bm.n_rows * bm.n_features && bm.n_rows == ctx.n_rows &&
                      bm.n_features == ctx.n_features,
                  "binned matrix does not match the training context");
    s.source = bm.feature_major ? BinSource::FeatureMajor : BinSource::RowMajor;
    s.bytes = bm.bins.data();
    if (bm.feature_major && bm.row_major_copy.size() == bm.bins.size()) s.row_bytes = bm.row_major_copy.data();
    s.missing_slot = bm.has_missing ? 1 : 0;
  } else if (ctx.form == ValueForm::Csr) {
    s.source = BinSource::Csr;
    s.missing_slot = ctx.has_missing ? 1 : 0;
  } else {
    throw_internal(msg::kHistogramNeedsBins);
  }
  MORVEL_ASSERT(s.edges->size() == s.n_features, "bin edges do not match the feature count");
  s.implicit_unit = weights.unit && weights.weights.empty();
  MORVEL_ASSERT(s.implicit_unit || weights.weights.size() >= s.n_rows, "tree weights do not cover the training rows");
  s.threads = std::max<uint64_t>(1, ctx.growth.threads_per_tree);

  s.offsets.resize(s.n_features + 1);
  s.offsets[0] = 0;
  uint64_t widest = 0;
  for (uint64_t f = 0; f < s.n_features; ++f) {
    const uint64_t bins = (*s.edges)[f].size() + 1 + s.missing_slot;
    s.offsets[f + 1] = s.offsets[f] + bins;
    widest = std::max(widest, bins);
  }
  s.total_bins = s.offsets[s.n_features];
  s.feature_weights.assign(kScratchBins * s.n_classes, 0.0);
  s.feature_counts.assign(kScratchBins, 0);
  s.touched.assign(kScratchBins, 0);

  bool integral = true;
  double max_weight = 0.0;
  for (uint64_t r = 0; r < s.n_rows; ++r) {
    const double w = s.implicit_unit ? 1.0 : weights.weights[r];
    integral = integral && w >= 0.0 && w <= kExactIntegerLimit && std::floor(w) == w;
    max_weight = std::max(max_weight, w);
  }
  s.integral_weights = integral;
  s.max_weight = max_weight;
}

HistogramSearch::~HistogramSearch() = default;

NodeHistogram HistogramSearch::build(std::span<const RowIndex> rows) {
  if (impl_->use_on_demand(rows.size())) return impl_->take_on_demand(rows);
  return impl_->build_full(rows);
}

std::pair<NodeHistogram, NodeHistogram> HistogramSearch::derive_children(NodeHistogram&& parent,
                                                                         std::span<const RowIndex> left_rows,
                                                                         std::span<const RowIndex> right_rows) {
  Impl& s = *impl_;
  if (parent.on_demand) {
    // Exact sums: each child's bins will be summed from its own rows when searched.
    NodeHistogram left = s.take_on_demand(left_rows);
    NodeHistogram right = std::move(parent);
    s.set_rows(right, right_rows);
    return {std::move(left), std::move(right)};
  }
  MORVEL_ASSERT(parent.class_weights.size() == s.total_bins * s.n_classes && parent.counts.size() == s.total_bins,
                "parent histogram does not match the bin layout");
  // The child with fewer entries is built (left on a tie); the other is parent - built,
  // computed in the parent's buffers, with negative rounding residues clamped to zero.
  const bool build_right = right_rows.size() < left_rows.size();
  NodeHistogram built = s.build_full(build_right ? right_rows : left_rows);
  NodeHistogram other = std::move(parent);
  double* ow = other.class_weights.data();
  const double* bw = built.class_weights.data();
  const uint64_t n_weights = other.class_weights.size();
  for (uint64_t i = 0; i < n_weights; ++i) ow[i] = std::max(ow[i] - bw[i], 0.0);
  uint64_t* oc = other.counts.data();
  const uint64_t* bc = built.counts.data();
  for (uint64_t g = 0; g < s.total_bins; ++g) {
    MORVEL_ASSERT(oc[g] >= bc[g], "child histogram holds more entries than its parent");
    oc[g] -= bc[g];
  }
  if (build_right) return {std::move(other), std::move(built)};
  return {std::move(built), std::move(other)};
}

void HistogramSearch::recycle(NodeHistogram&& histogram) {
  histogram.rows.clear();
  histogram.borrowed = false;
  histogram.borrowed_rows = {};
  impl_->pool.push_back(std::move(histogram));
}

NodeHistogram HistogramSearch::materialize(const NodeHistogram& histogram) {
  if (!histogram.on_demand) return histogram;
  Impl& s = *impl_;
  NodeHistogram full;
  full.class_weights.assign(s.total_bins * s.n_classes, 0.0);
  full.counts.assign(s.total_bins, 0);
  s.fill_full(histogram.entries(), full);
  return full;
}

void HistogramSearch::borrow_rows() { impl_->borrow = true; }

void HistogramSearch::disable_on_demand() { impl_->on_demand_enabled = false; }

const std::vector<uint64_t>& HistogramSearch::offsets() const { return impl_->offsets; }

std::optional<SplitCandidate> HistogramSearch::search(const NodeHistogram& histogram, const NodeStats& stats,
                                                      uint64_t feature, int8_t constraint, NodeBounds bounds) {
  Impl& s = *impl_;
  MORVEL_ASSERT(feature < s.n_features, "index out of bounds: feature outside the histogram");
  MORVEL_ASSERT(stats.class_weight.size() == s.n_classes, "node statistics do not match the class count");
  const uint64_t m = (*s.edges)[feature].size();
  if (histogram.on_demand) {
    return s.with_class_count([&](auto classes) {
      constexpr uint64_t kClasses = decltype(classes)::value;
      if (2 * histogram.entries().size() < m + 1) {
        s.fill_feature<true, kClasses>(histogram, stats, feature);
      } else {
        s.fill_feature<false, kClasses>(histogram, stats, feature);
      }
      const uint32_t* list = s.touched.data();
      std::optional<SplitCandidate> result;
      bool consumed = false;
      try {
        result = s.scan_feature<kClasses>(s.feature_weights.data(), s.feature_counts.data(), m, list, s.n_touched,
                                          stats, constraint, bounds, true, consumed);
      } catch (...) {
        s.clear_feature(feature, false);
        throw;
      }
      if (!consumed) s.clear_feature(feature, true);
      return result;
    });
  }
  MORVEL_ASSERT(histogram.counts.size() == s.total_bins, "histogram does not match the bin layout");
  const uint64_t g = s.offsets[feature];
  // The scan only reads a full histogram (consume is off), so the const view is honoured.
  double* cw = const_cast<double*>(histogram.class_weights.data()) + g * s.n_classes;
  uint64_t* counts = const_cast<uint64_t*>(histogram.counts.data()) + g;
  bool consumed = false;
  return s.with_class_count([&](auto classes) {
    return s.scan_feature<decltype(classes)::value>(cw, counts, m, nullptr, 0, stats, constraint, bounds, false,
                                                    consumed);
  });
}

}  // namespace morvel
