// Growing one tree: depth-first (no leaf limit) or best-first (max_leaves), every stopping
// rule, leaf classes, stable partitions and the exact order of Rng draws.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "morvel/rng.h"
#include "morvel/settings.h"
#include "morvel/training_context.h"
#include "morvel/tree.h"
#include "split/exact_search.h"
#include "split/extra_trees.h"

namespace morvel {

// A per-tree free list of index buffers, so partitions do not allocate at every node.
class BufferPool {
 public:
  std::vector<uint64_t> take() {
    if (free_.empty()) return {};
    std::vector<uint64_t> b = std::move(free_.back());
    free_.pop_back();
    b.clear();
    return b;
  }
  void give(std::vector<uint64_t>&& b) { free_.push_back(std::move(b)); }

 private:
  std::vector<std::vector<uint64_t>> free_;
};

// Per-worker scratch, created once per worker and reused for all its trees.
struct WorkerScratch {
  ExactScratch exact;
  ExtraScratch extra;
  BufferPool buffers;
};

// Grows one tree on `in_bag` (repeats allowed) with the tree's weights and Rng.
Tree grow_tree(const TrainingContext& ctx, const TreeWeights& weights, std::span<const uint64_t> in_bag,
               const ForestSettings& forest, Rng& rng, WorkerScratch& scratch);

// Splits `rows` by the split node into the rows going left and right, keeping list order.
// Adds the elapsed time to "partition_seconds" when profiling.
void partition_rows(const TrainingContext& ctx, const Node& split, std::span<const uint64_t> rows,
                    std::vector<uint64_t>& left, std::vector<uint64_t>& right);

// Cost-complexity pruning of a grown tree (ccp_alpha > 0): one bottom-up pass; pruned
// subtrees stay in `nodes`, unreachable.
void prune_tree(Tree& tree, const TrainingContext& ctx, const TreeWeights& weights,
                std::span<const uint64_t> in_bag, double ccp_alpha, WorkerScratch& scratch);

}  // namespace morvel
