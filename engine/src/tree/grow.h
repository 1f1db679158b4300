// Growing one tree: depth-first (no leaf limit) or best-first (max_leaves), every stopping
// rule, leaf classes, stable partitions and the exact order of Rng draws.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "morvel/errors.h"
#include "morvel/messages.h"
#include "data/rng.h"
#include "morvel/settings.h"
#include "data/training_context.h"
#include "morvel/tree.h"
#include "split/exact_search.h"
#include "split/extra/extra_trees.h"
#include "split/node_loop.h"

namespace morvel {

// A per-tree free list of index buffers, so partitions do not allocate at every node.
class BufferPool {
 public:
  std::vector<RowIndex> take() {
    if (free_.empty()) return {};
    std::vector<RowIndex> b = std::move(free_.back());
    free_.pop_back();
    b.clear();
    return b;
  }
  void give(std::vector<RowIndex>&& b) { free_.push_back(std::move(b)); }

 private:
  std::vector<std::vector<RowIndex>> free_;
};


// Per-worker scratch, created once per worker of one fit and reused for all its trees (the
// sparse column copy inside it belongs to that fit's training context).
struct WorkerScratch {
  ExactScratch exact;
  ExtraScratch extra;
  BufferPool buffers;
  RowBuffer rows;                    // the tree's index list; every node owns one segment of it
  RowBuffer spill;                   // rows going right while a segment is partitioned
  // Histogram growth on unit weights: each entry's label, permuted along with `rows`, so a
  // node's labels are the same segment of this array, and its spill.
  RowBuffer entry_labels;
  RowBuffer label_spill;
  NodeStats stats;                   // the node being evaluated
  NodeStats child_stats[2];          // children's statistics for monotonic bounds
  std::vector<uint64_t> feature_pool;  // extra trees: candidates drawn without replacement
  detail::PoolDraws pool_draws;        // extra trees: the feature draws of the pool
  std::vector<uint64_t> pool_preview;  // extra trees: a copy of the pool for predicting draws
  // Per-feature results of the node being searched, valid where searched_at == node_serial
  // (a repeated draw at one node reuses the result instead of searching again).
  uint64_t node_serial = 0;
  // Nodes of the worker's previous tree: the next tree of the same forest is reserved about
  // that size up front, instead of doubling its node array (and holding both the old and
  // the new array) again and again while it grows.
  uint64_t last_tree_nodes = 0;
  std::vector<uint64_t> searched_at;
  std::vector<std::optional<SplitCandidate>> searched;
};

// Grows one tree on `in_bag` (repeats allowed) with the tree's weights and Rng. `in_bag` may
// be scratch.rows itself, which growth then reorders in place.
Tree grow_tree(const TrainingContext& ctx, const TreeWeights& weights, std::span<const RowIndex> in_bag,
               const ForestSettings& forest, Rng& rng, WorkerScratch& scratch);

// Splits `rows` by the split node into the rows going left and right, keeping list order.
// Adds the elapsed time to "partition_seconds" when profiling.
void partition_rows(const TrainingContext& ctx, const Node& split, std::span<const RowIndex> rows,
                    std::vector<RowIndex>& left, std::vector<RowIndex>& right);

// The same partition in place: afterwards rows[0, k) holds the rows going left and rows[k, n)
// those going right, each in their original order; returns k. `spill` is scratch.
// Growth and pruning use this form so that a tree needs one index array, however deep it is.
uint64_t partition_in_place(const TrainingContext& ctx, const Node& split, std::span<RowIndex> rows,
                            RowBuffer& spill);

// partition_in_place that moves labels[i] along with rows[i] (`label_spill` is scratch).
uint64_t partition_in_place(const TrainingContext& ctx, const Node& split, std::span<RowIndex> rows,
                            RowBuffer& spill, std::span<ClassIndex> labels, RowBuffer& label_spill);

// partition_in_place for a binned context, with entry i's byte of the split feature read from
// bins[i] instead of the matrix: the same routing (a missing byte by missing_left, otherwise
// left when the byte exceeds the pivot). `bins` holds at least rows.size() bytes.
uint64_t partition_by_bins(const TrainingContext& ctx, const Node& split, std::span<const uint8_t> bins,
                           std::span<RowIndex> rows, RowBuffer& spill);

// partition_in_place for raw values, with entry i's value of the split feature read from
// values[i] instead of the matrix: the same routing (NaN by missing_left, otherwise left when
// the value exceeds the pivot). `values` holds at least rows.size() values.
uint64_t partition_by_values(const TrainingContext& ctx, const Node& split, std::span<const double> values,
                             std::span<RowIndex> rows, RowBuffer& spill);

// Cost-complexity pruning of a grown tree (ccp_alpha > 0): one bottom-up pass; pruned
// subtrees stay in `nodes`, unreachable.
void prune_tree(Tree& tree, const TrainingContext& ctx, const TreeWeights& weights,
                std::span<const RowIndex> in_bag, double ccp_alpha, WorkerScratch& scratch);

namespace detail {

// A leaf's class. Two classes with weight: the class-1 share clamped into `bounds` decides
// (exactly 0.5 gives class 0). Otherwise the heaviest class, ties broken by a reservoir draw
// from `rng`; one class (or none) gives 0 without drawing.
uint64_t leaf_class(const NodeStats& stats, NodeBounds bounds, Rng& rng);

// The children's bounds after a split with monotonic `constraint` (0: both keep `bounds`).
std::pair<NodeBounds, NodeBounds> monotonic_child_bounds(NodeBounds bounds, int8_t constraint,
                                                         const NodeStats& left, const NodeStats& right);

}  // namespace detail

}  // namespace morvel
