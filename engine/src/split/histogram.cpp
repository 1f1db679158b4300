// Node histograms over bins: built from a node's rows, or derived from the parent by clamped
// subtraction, or (integral weights) kept on demand as the node's index list, and recycled.
// The bin scan lives in bin_scan.cpp, the gini fast scan in gini_scan.cpp.
#include "split/histogram.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "morvel/errors.h"
#include "split/histogram_impl.h"

namespace morvel {

HistogramSearch::Impl::Impl(const TrainingContext& c, const TreeWeights& w, const SearchRules& r)
    : ctx(c), weights(w), rules(r) {
  bins = bin_rows_of(ctx, weights);
  n_features = bins.n_features;
  n_classes = bins.n_classes;
  missing_slot = bins.missing_slot;
  threads = std::max<uint64_t>(1, ctx.growth.threads_per_tree);
  offsets.resize(n_features + 1);
  offsets[0] = 0;
  for (uint64_t f = 0; f < n_features; ++f) offsets[f + 1] = offsets[f] + bins.bins_of(f);
  total_bins = offsets[n_features];
  feature_bins.reset(n_classes);

  bool integral = true;
  double largest = 0.0;
  for (uint64_t row = 0; row < bins.n_rows; ++row) {
    const double wr = bins.implicit_unit ? 1.0 : weights.weights[row];
    integral = integral && wr >= 0.0 && wr <= kExactIntegerLimit && std::floor(wr) == wr;
    largest = std::max(largest, wr);
  }
  integral_weights = integral;
  max_weight = largest;
}

NodeHistogram HistogramSearch::Impl::take() {
  if (pool.empty()) return NodeHistogram{};
  NodeHistogram h = std::move(pool.back());
  pool.pop_back();
  return h;
}

void HistogramSearch::Impl::set_rows(NodeHistogram& h, std::span<const RowIndex> rows) const {
  h.borrowed = borrow;
  if (borrow) {
    h.rows.clear();
    h.borrowed_rows = rows;
  } else {
    h.rows.assign(rows.begin(), rows.end());
    h.borrowed_rows = {};
  }
}

NodeHistogram HistogramSearch::Impl::take_on_demand(std::span<const RowIndex> rows) {
  NodeHistogram h = take();
  h.on_demand = true;
  set_rows(h, rows);
  return h;
}

NodeHistogram HistogramSearch::Impl::build_full(std::span<const RowIndex> rows) {
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

HistogramSearch::HistogramSearch(const TrainingContext& ctx, const TreeWeights& weights, const SearchRules& rules)
    : impl_(std::make_unique<Impl>(ctx, weights, rules)) {}

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

}  // namespace morvel
