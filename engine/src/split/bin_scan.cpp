// The bin scan of one feature: the running prefix and suffix over the bins in bin order, each
// boundary scored with both missing-value options under the shared validity rules. Gini
// scans without a monotonic constraint take the batched fast scan of gini_scan.cpp.
#include <cstring>

#include "morvel/errors.h"
#include "split/histogram_impl.h"

namespace morvel {
namespace {

bool same_bits(double a, double b) {
  uint64_t x;
  uint64_t y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

}  // namespace

// Forced inline into the scan of each class count: the class loops then unroll.
[[gnu::always_inline]] inline double HistogramSearch::Impl::parent_impurity_of(const NodeStats& stats, uint64_t nc) {
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

// The bin scan. `cw`/`counts` point at bin 0 of the feature. When `bin_list` is given, only
// bin 0 and the listed bins are visited: a bin without entries and without weight leaves
// the partition of its predecessor unchanged, so its evaluation repeats the predecessor's
// improvement and can never replace the best (which needs a strictly greater one). The
// same holds for the empty bins skipped in a full scan.
template <uint64_t kClasses>
std::optional<SplitCandidate> HistogramSearch::Impl::scan_feature(double* cw, uint64_t* counts, uint64_t m,
                                                                  const uint32_t* bin_list, uint64_t bin_list_size,
                                                                  const NodeStats& stats, int8_t constraint,
                                                                  NodeBounds bounds, bool consume, bool& consumed,
                                                                  uint64_t* tallies) {
  consumed = false;
  const uint64_t nc = classes_or<kClasses>(n_classes);
  const uint64_t nb = m + 1;
  if (scan.size() < 5 * nc) scan.resize(5 * nc);
  double* miss = scan.data() + 2 * nc;
  MissingBin missing{miss};
  for (uint64_t c = 0; c < nc; ++c) miss[c] = 0.0;
  if (missing_slot) {
    const double* mw = cw + nb * nc;
    const uint64_t* mt = tallies != nullptr ? tallies + nb * nc : nullptr;
    for (uint64_t c = 0; c < nc; ++c) {
      miss[c] = mt != nullptr ? static_cast<double>(static_cast<int64_t>(mt[c])) : mw[c];
      missing.weight += miss[c];
    }
    missing.count = counts[nb];
  }
  const double parent_impurity = parent_impurity_of(stats, nc);
  BestPartition best;
  if (constraint == 0 && rules.criterion == Criterion::Gini) {
    best = gini_scan<kClasses>(cw, counts, nb, bin_list, bin_list_size, missing, stats, parent_impurity, consume,
                               consume ? tallies : nullptr);
    consumed = consume;
  } else {
    MORVEL_ASSERT(tallies == nullptr, "only a consumed gini scan reads tallied bins");
    best = with_criterion(rules.criterion, [&](auto criterion) {
      return scan_bins<decltype(criterion), kClasses>(cw, counts, nb, bin_list, bin_list_size, missing, stats,
                                                      parent_impurity, constraint, bounds);
    });
  }
  if (!best.found) return std::nullopt;
  return SplitCandidate{best.pivot, best.missing_left, scaled_gain(best.improvement, stats.weight, rules.w_total)};
}

template <class C, uint64_t kClasses>
BestPartition HistogramSearch::Impl::scan_bins(const double* cw, const uint64_t* counts, uint64_t nb,
                                               const uint32_t* bin_list, uint64_t bin_list_size,
                                               const MissingBin& missing, const NodeStats& stats,
                                               double parent_impurity, int8_t constraint, NodeBounds bounds) {
  const uint64_t nc = classes_or<kClasses>(n_classes);
  double* suffix = scan.data();
  double* prefix = suffix + nc;
  const double* miss = missing.class_weight;
  double* side_a = prefix + 2 * nc;
  double* side_b = side_a + nc;
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
  const double node_weight = stats.weight;
  double w_prefix = 0.0;
  uint64_t n_prefix = 0;
  BestPartition best;
  auto consider = [&](const SideStats& left, const SideStats& right, uint64_t b, bool missing_left) {
    best.offer(evaluate_partition_as<C, kClasses>(rules, parent_impurity, node_weight, left, right, constraint,
                                                  bounds),
               static_cast<double>(b) + 0.5, missing_left);
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
    if (missing.count == 0) {
      // Unseen missing values follow the larger side; ties go left.
      consider(SideStats{suffix, node_weight - w_prefix, n_suffix}, SideStats{prefix, w_prefix, n_prefix}, b,
               n_prefix <= n_suffix);
      return;
    }
    for (uint64_t c = 0; c < nc; ++c) side_a[c] = suffix[c] + miss[c];
    consider(SideStats{side_a, node_weight - w_prefix, n_suffix + missing.count},
             SideStats{prefix, w_prefix, n_prefix}, b, true);
    for (uint64_t c = 0; c < nc; ++c) side_b[c] = prefix[c] + miss[c];
    consider(SideStats{suffix, (node_weight - w_prefix) - missing.weight, n_suffix},
             SideStats{side_b, w_prefix + missing.weight, n_prefix + missing.count}, b, false);
  };
  for_each_scanned_bin(cw, counts, nb, nc, bin_list, bin_list_size, visit);
  return best;
}

std::optional<SplitCandidate> HistogramSearch::Impl::search_on_demand(const NodeHistogram& histogram,
                                                                      const NodeStats& stats, uint64_t feature,
                                                                      int8_t constraint, NodeBounds bounds) {
  const uint64_t m = (*bins.edges)[feature].size();
  const uint64_t n = histogram.entries().size();
  const NodeEntries entries{histogram.entries(), stats.entry_labels(n),
                            stats.entry_weights.size() == n ? stats.entry_weights.data() : nullptr,
                            stats.unit_weights, integral_weights ? max_weight : 0.0,
                            /*may_tally=*/constraint == 0 && rules.criterion == Criterion::Gini};
  return with_class_count<kMaxUnrolledClasses>(n_classes, [&](auto classes) {
    constexpr uint64_t kClasses = decltype(classes)::value;
    if (2 * n < m + 1) {
      feature_bins.fill<true, kClasses>(bins, entries, feature);
    } else {
      feature_bins.fill<false, kClasses>(bins, entries, feature);
    }
    std::optional<SplitCandidate> result;
    bool consumed = false;
    try {
      result = scan_feature<kClasses>(feature_bins.weights(), feature_bins.counts(), m, feature_bins.occupied(),
                                      feature_bins.n_occupied(), stats, constraint, bounds, true, consumed,
                                      feature_bins.tallied() ? feature_bins.tallies() : nullptr);
    } catch (...) {
      feature_bins.clear(bins, feature, false);
      throw;
    }
    if (!consumed) feature_bins.clear(bins, feature, true);
    return result;
  });
}

std::optional<SplitCandidate> HistogramSearch::search(const NodeHistogram& histogram, const NodeStats& stats,
                                                      uint64_t feature, int8_t constraint, NodeBounds bounds) {
  Impl& s = *impl_;
  MORVEL_ASSERT(feature < s.n_features, "index out of bounds: feature outside the histogram");
  MORVEL_ASSERT(stats.class_weight.size() == s.n_classes, "node statistics do not match the class count");
  if (histogram.on_demand) return s.search_on_demand(histogram, stats, feature, constraint, bounds);
  MORVEL_ASSERT(histogram.counts.size() == s.total_bins, "histogram does not match the bin layout");
  const uint64_t m = (*s.bins.edges)[feature].size();
  const uint64_t g = s.offsets[feature];
  // The scan only reads a full histogram (consume is off), so the const view is honoured.
  double* cw = const_cast<double*>(histogram.class_weights.data()) + g * s.n_classes;
  uint64_t* counts = const_cast<uint64_t*>(histogram.counts.data()) + g;
  bool consumed = false;
  return with_class_count<kMaxUnrolledClasses>(s.n_classes, [&](auto classes) {
    return s.scan_feature<decltype(classes)::value>(cw, counts, m, nullptr, 0, stats, constraint, bounds, false,
                                                    consumed);
  });
}

}  // namespace morvel
