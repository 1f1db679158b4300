// Out-of-bag permutation importance of one tree, computed during the fit: the drop in the
// tree's out-of-bag accuracy when one feature's values are swapped among its out-of-bag rows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "morvel/forest.h"
#include "data/rng.h"
#include "data/training_context.h"
#include "morvel/tree.h"

namespace morvel {

// The unpermuted prediction of the tree for one training row.
struct DirectVote {
  uint64_t set = 0;    // 1 once the normal walk reached the row's leaf
  uint64_t klass = 0;  // that leaf's class
};

// Per-worker buffers, reused for every tree of the worker.
struct PermutationScratch {
  std::vector<DirectVote> direct;      // one per training row
  std::vector<RowIndex> rows;          // evaluated rows, partitioned in place
  std::vector<RowIndex> donors;        // donor of each evaluated row
  std::vector<RowIndex> spill_rows;    // right-hand parts while partitioning
  std::vector<RowIndex> spill_donors;
  std::vector<uint32_t> on_path;       // per feature: splits on it above the current node
  std::vector<int64_t> delta;          // per feature: DeltaCounts value
  std::vector<uint8_t> has_delta;      // per feature: DeltaCounts has an entry
  std::vector<uint64_t> delta_order;   // features with an entry, in creation order
};

// One tree's pass: shuffles a copy of `out_of_bag` into donors with `rng` (one shuffle for
// every feature), records the direct votes, adds one Welford step per feature whose
// permuted descents reached rows, appends the tree's record to `trees`, and, when
// `oob_votes` is given, counts the direct votes as the tree's out-of-bag votes.
void permutation_pass(const Tree& tree, const TrainingContext& ctx, std::span<const RowIndex> out_of_bag,
                      Rng& rng, PermutationStats& stats, std::vector<TreePermutation>& trees, OobVotes* oob_votes,
                      PermutationScratch& scratch);

}  // namespace morvel
