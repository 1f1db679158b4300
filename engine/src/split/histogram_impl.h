// The state of one tree's histogram search, shared by its files: the node histograms'
// lifecycle (histogram.cpp), the bin scan (bin_scan.cpp) and the gini fast scan
// (gini_scan.cpp). Internal to the histogram search.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/node_bins.h"
#include "split/criteria.h"
#include "split/histogram.h"

namespace morvel {

// Integral weights keep every sum exact while totals stay below 2^53.
inline constexpr double kExactIntegerLimit = 9007199254740992.0;

// The missing-value bin of the feature being scanned: its class weights, total and count.
struct MissingBin {
  const double* class_weight;  // n_classes weights (all zero without missing values)
  double weight = 0.0;
  uint64_t count = 0;
};

struct HistogramSearch::Impl {
  const TrainingContext& ctx;
  TreeWeights weights;
  SearchRules rules;
  BinRows bins;
  uint64_t n_features = 0;
  uint64_t n_classes = 0;
  uint64_t missing_slot = 0;  // 1 when every feature carries a missing-value bin
  std::vector<uint64_t> offsets;
  uint64_t total_bins = 0;
  uint64_t threads = 1;

  bool integral_weights = false;
  bool on_demand_enabled = true;
  bool borrow = false;  // on-demand histograms refer to the caller's index lists
  double max_weight = 0.0;

  std::vector<NodeHistogram> pool;  // recycled histograms, buffers kept
  FeatureBinSums feature_bins;      // one feature's bins for on-demand searches

  // Scan vectors: suffix, prefix, missing, and the two option sides.
  std::vector<double> scan;

  // Columns of the batched gini scan, one entry per visited bin.
  std::vector<uint32_t> batch_bin;
  std::vector<uint64_t> batch_count;
  std::vector<double> batch_values;

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

  Impl(const TrainingContext& c, const TreeWeights& w, const SearchRules& r);

  // ---- node histograms (histogram.cpp) ----
  bool use_on_demand(uint64_t entries) const {
    return on_demand_enabled && integral_weights && max_weight * static_cast<double>(entries) <= kExactIntegerLimit;
  }
  NodeHistogram take();
  void set_rows(NodeHistogram& h, std::span<const RowIndex> rows) const;
  NodeHistogram take_on_demand(std::span<const RowIndex> rows);
  NodeHistogram build_full(std::span<const RowIndex> rows);
  void fill_full(std::span<const RowIndex> rows, NodeHistogram& h) const {
    fill_bins(bins, offsets.data(), rows, threads, h.class_weights.data(), h.counts.data());
  }

  // ---- the bin scan (bin_scan.cpp) ----
  std::optional<SplitCandidate> search_on_demand(const NodeHistogram& histogram, const NodeStats& stats,
                                                 uint64_t feature, int8_t constraint, NodeBounds bounds);
  double parent_impurity_of(const NodeStats& stats, uint64_t nc);

  // The bin scan of one feature. With `consume`, the bins are scratch that must be left
  // zeroed; `consumed` tells whether the scan already did that. `tallies`, when given, holds
  // the class weights as integer counts in place of `cw` (a consumed gini scan only).
  template <uint64_t kClasses>
  std::optional<SplitCandidate> scan_feature(double* cw, uint64_t* counts, uint64_t m, const uint32_t* bin_list,
                                             uint64_t bin_list_size, const NodeStats& stats, int8_t constraint,
                                             NodeBounds bounds, bool consume, bool& consumed,
                                             uint64_t* tallies = nullptr);
  template <class C, uint64_t kClasses>
  BestPartition scan_bins(const double* cw, const uint64_t* counts, uint64_t nb, const uint32_t* bin_list,
                          uint64_t bin_list_size, const MissingBin& missing, const NodeStats& stats,
                          double parent_impurity, int8_t constraint, NodeBounds bounds);

  // ---- the gini fast scan (gini_scan.cpp) ----
  // Chooses the classes to scan and runs scan_gini with the matching copy. kClasses as in
  // scan_feature: the class loops of each count unroll.
  template <uint64_t kClasses>
  BestPartition gini_scan(double* cw, uint64_t* counts, uint64_t nb, const uint32_t* bin_list,
                          uint64_t bin_list_size, const MissingBin& missing, const NodeStats& stats,
                          double parent_impurity, bool consume, uint64_t* tallies);
  // kAll: every class is scanned, in class order.
  template <uint64_t kScanned, bool kAll>
  BestPartition scan_gini(double* cw, uint64_t* counts, uint64_t nb, const uint32_t* bin_list,
                          uint64_t bin_list_size, uint64_t n_scanned, const MissingBin& missing,
                          const NodeStats& stats, double parent_impurity, bool consume, uint64_t* tallies);
};

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

}  // namespace morvel
