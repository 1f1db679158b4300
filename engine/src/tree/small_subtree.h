// Small subtrees of extra-trees growth. The subtree of a node grows_small_subtree accepts
// (binned values, byte weights, fewer than 128 entries) is grown as depth-first
// growth grows it (the same checks, draws, records and order), over masks of the node's
// entries at small levels instead of segments of the index array: each node's statistics are
// lane sums, its search reads bins transposed once per level, and its split only divides a
// mask. The index segment is left unpartitioned (nothing reads its order afterwards).
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "morvel/interrupt.h"
#include "simd/simd.h"
#include "tree/grow.h"

namespace morvel {

class SmallSubtreeGrower {
 public:
  SmallSubtreeGrower(const TrainingContext& ctx, const SearchRules& rules, Rng& rng, WorkerScratch& scratch,
                     uint64_t max_features)
      : ctx_(ctx), rules_(rules), rng_(rng), scratch_(scratch), max_features_(max_features) {}

  // Grows the subtree of the node of n entries just measured by binned_node_stats (`prep`), `depth`
  // levels deep at most, and returns its root's position in `tree`. `constants` is the
  // node's constant-feature list; `searchable(n, depth, stats)` is the grower's pre-split
  // check. The nested constant-feature lists are prefixes of one list: a node's list is its
  // parent's after the parent's search, plus its own finds.
  template <class Searchable>
  uint64_t grow(uint64_t n, const NodePrep& prep, uint64_t depth, NodeBounds bounds, const std::vector<uint64_t>& constants, Tree& tree,
                const Searchable& searchable) {
    listed_.assign(constants.begin(), constants.end());
    stack_.clear();
    push_frame(open_small_root(ctx_, n, prep, scratch_.extra), n, 0, depth, bounds, SmallSums{}, false);
    uint64_t returned = 0;  // position of the subtree just finished
    bool returning = false;
    while (!stack_.empty()) {
      if (!returning) {
        checkpoint();
        returning = open_node(tree, returned, searchable);
        continue;
      }
      Frame& f = stack_.back();
      if (!f.left_done) {
        f.left_done = true;
        f.record.set_left(returned);
        listed_.resize(f.constants);
        push_child(f.level, f.right_mask, f.depth - 1, f.right_bounds, f.right_sums);  // invalidates f
        returning = false;
        continue;
      }
      f.record.set_right(returned);
      returned = tree.nodes.size();
      tree.nodes.push_back(f.record);
      stack_.pop_back();
    }
    return returned;
  }

 private:
  // A node: the entries of `mask` at small level `level`, and what depth-first growth keeps
  // per node.
  struct Frame {
    EntryMask mask = 0;
    uint64_t count = 0;  // entries in `mask`
    uint64_t level = 0;
    uint64_t depth = 0;
    NodeBounds bounds;
    bool has_sums = false;  // `sums` holds the node's lane sums (every node but the root)
    SmallSums sums;
    // Set once the node is split:
    Node record;
    bool left_done = false;
    EntryMask right_mask = 0;
    NodeBounds right_bounds;
    SmallSums right_sums;
    uint64_t constants = 0;  // length of the constant-feature list after the node's search
  };

  // Measures and searches the top frame's node: a leaf is recorded (its position left in
  // `returned`) and popped, returning true; a split pushes its left child, returning false.
  template <class Searchable>
  bool open_node(Tree& tree, uint64_t& returned, const Searchable& searchable) {
    ExtraScratch& extra = scratch_.extra;
    NodeStats& stats = scratch_.stats;
    Frame& f = stack_.back();
    const uint64_t m = f.count;
    if (f.has_sums) {
      small_sums_stats(ctx_, f.sums, extra, stats);
    } else {
      small_node_stats(ctx_, f.level, f.mask, extra, stats);
    }
    std::optional<NodeSplit> split;
    EntryMask left_mask = 0;
    SmallSums left_sums;
    if (searchable(m, f.depth, stats)) {
      split = search_small_node(ctx_, rules_, f.level, f.mask, m, stats, f.bounds, listed_, rng_, scratch_.feature_pool,
                                scratch_.pool_draws, max_features_, extra, left_mask, left_sums, f.right_sums);
    }
    if (!split) {
      returned = tree.nodes.size();
      tree.nodes.push_back(Node::make_leaf(detail::leaf_class(stats, f.bounds, rng_), m));
      stack_.pop_back();
      return true;
    }
    const SplitCandidate& c = split->candidate;
    f.record = Node::make_split(split->feature, c.pivot, c.gain, c.missing_left, m, 0, 0);
    const EntryMask right_mask = f.mask & ~left_mask;
    NodeBounds left_bounds = f.bounds;
    NodeBounds right_bounds = f.bounds;
    if (const int8_t constraint = ctx_.growth.constraint(split->feature); constraint != 0) {
      small_node_stats(ctx_, f.level, left_mask, extra, scratch_.child_stats[0]);
      small_node_stats(ctx_, f.level, right_mask, extra, scratch_.child_stats[1]);
      std::tie(left_bounds, right_bounds) =
          detail::monotonic_child_bounds(f.bounds, constraint, scratch_.child_stats[0], scratch_.child_stats[1]);
    }
    f.right_mask = right_mask;
    f.right_bounds = right_bounds;
    f.constants = listed_.size();
    push_child(f.level, left_mask, f.depth - 1, left_bounds, left_sums);  // invalidates f
    return false;
  }

  // A child that fits fewer blocks than its level gets a level of its own, so that deep nodes
  // scan fewer lanes; a child of a few entries has too small a subtree to repay transposing
  // its bins again. The arguments are copies: they may live in the frame the push moves.
  void push_child(uint64_t level, EntryMask mask, uint64_t depth, NodeBounds bounds, SmallSums sums) {
    constexpr uint64_t kOwnLevelFrom = 6;
    const uint64_t m = entry_count(mask);
    if (m >= kOwnLevelFrom && m + simd::kLanes <= simd::kLanes * small_level_blocks(scratch_.extra, level)) {
      ++level;
      mask = open_small_level(ctx_, level, mask, scratch_.extra);
    }
    push_frame(mask, m, level, depth, bounds, sums, true);
  }

  void push_frame(EntryMask mask, uint64_t count, uint64_t level, uint64_t depth, NodeBounds bounds,
                  SmallSums sums, bool has_sums) {
    Frame& frame = stack_.emplace_back();
    frame.has_sums = has_sums;
    frame.sums = sums;
    frame.mask = mask;
    frame.count = count;
    frame.level = level;
    frame.depth = depth;
    frame.bounds = bounds;
  }

  const TrainingContext& ctx_;
  const SearchRules& rules_;
  Rng& rng_;
  WorkerScratch& scratch_;
  uint64_t max_features_;
  std::vector<Frame> stack_;
  std::vector<uint64_t> listed_;  // constant-feature lists of the open nodes
};

}  // namespace morvel
