// The forest fit loop: per-tree Rng, bootstrap, growth, pruning, out-of-bag votes and
// permutation statistics; sequential or on worker threads sharing one tree counter.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "morvel/forest.h"
#include "morvel/settings.h"
#include "data/training_context.h"
#include "tree/grow.h"

namespace morvel {

// Trains trees tree_begin..tree_end-1 (tree_end capped at n_estimators) of the forest. With
// tree_workers == 1 the trees are trained in index order on the calling thread; otherwise
// workers take tree indices from one atomic counter and their results are merged in the
// order they finish. The trees, their permutation records and the permutation means are
// in index order either way, so the result does not depend on the number of workers.
ForestResult fit_forest(const TrainingContext& ctx, const ForestSettings& settings, uint64_t tree_workers);

// The permutation means of `trees`, one Welford step per tree in the order given.
PermutationStats permutation_stats_in_tree_order(const std::vector<TreePermutation>& trees);

// Merges `incoming` into `acc` (tree lists appended, votes added, Welford means combined).
// An accumulator holding no trees (an empty list or a zero count) is replaced entirely;
// otherwise both must hold lists (appended) or both counts (added). Out-of-bag tables and
// permutation statistics survive only when both sides have them; a statistic present on
// both sides becomes n = na + nb, mean = (mean_a * na + mean_b * nb) / n.
void merge_results(ForestResult& acc, ForestResult&& incoming);

// Routes the tree's out-of-bag rows down the tree with the training partition (so its
// time counts as partition time) and adds one vote per row for the class of its leaf.
void collect_oob_votes(const Tree& tree, const TrainingContext& ctx, std::span<const RowIndex> out_of_bag,
                       OobVotes& votes, BufferPool& pool);

}  // namespace morvel
