// Histogram split search: per-node class-weight histograms over bins, the smaller child
// built from rows and the larger derived by clamped subtraction, and the bin scan.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "split/criteria.h"

namespace morvel {

// Class weights and entry counts of one node per global bin. Feature f owns the global bins
// offsets[f] .. offsets[f + 1] - 1; the last of them is f's missing-value bin when the
// training matrix has missing values.
//
// With integral tree weights every partial sum is exact, so a histogram summed from a
// node's rows equals the one obtained by subtraction bit for bit. Such histograms are kept
// on demand: they hold the node's index list and a feature's bins are summed only when the
// feature is searched, which spares the full-width build and subtraction at the many small
// nodes no search reads in full.
struct NodeHistogram {
  std::vector<double> class_weights;  // global bin g, class c at g * n_classes + c
  std::vector<uint64_t> counts;       // entries per global bin
  bool on_demand = false;             // true: only `rows` is kept, bins are summed when searched
  std::vector<RowIndex> rows;         // the node's index list (on-demand histograms only)
  // On-demand histograms of a search that borrows index lists: the node's list, not copied.
  bool borrowed = false;
  std::span<const RowIndex> borrowed_rows;

  // The node's index list of an on-demand histogram.
  std::span<const RowIndex> entries() const { return borrowed ? borrowed_rows : std::span<const RowIndex>(rows); }
};

// Per-tree histogram machinery for one training context and one set of tree weights.
// Owns the bin layout and any buffer pools; the grower holds one per tree.
class HistogramSearch {
 public:
  HistogramSearch(const TrainingContext& ctx, const TreeWeights& weights, const SearchRules& rules);
  ~HistogramSearch();
  HistogramSearch(const HistogramSearch&) = delete;
  HistogramSearch& operator=(const HistogramSearch&) = delete;

  // Histogram of a node from its index list.
  NodeHistogram build(std::span<const RowIndex> rows);

  // The two children's histograms: the child with fewer entries (left on a tie) is built
  // from its rows, the other is parent - built, class weights clamped at 0. Consumes parent.
  std::pair<NodeHistogram, NodeHistogram> derive_children(NodeHistogram&& parent,
                                                           std::span<const RowIndex> left_rows,
                                                           std::span<const RowIndex> right_rows);

  // Returns a histogram no longer needed, so its buffers can be reused.
  void recycle(NodeHistogram&& histogram);

  // The full-width class weights and counts of any histogram (on-demand ones summed from
  // their rows); for inspection and tests.
  NodeHistogram materialize(const NodeHistogram& histogram);

  // From now on, on-demand histograms refer to the index lists passed to build() and
  // derive_children() instead of copying them. The caller keeps each list alive and
  // unchanged for as long as its histogram may be searched or materialized.
  void borrow_rows();

  // Turns the on-demand mode off, so every histogram is built in full and children are
  // derived by subtraction (the mode used anyway for fractional weights).
  void disable_on_demand();

  // Global bin offsets of the features (n_features + 1 entries).
  const std::vector<uint64_t>& offsets() const;

  // Best bin-space split of `feature` (pivot b + 0.5 in bin space).
  std::optional<SplitCandidate> search(const NodeHistogram& histogram, const NodeStats& stats, uint64_t feature,
                                       int8_t constraint, NodeBounds bounds);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace morvel
