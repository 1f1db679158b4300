// The forest fit loop: per-tree Rng, bootstrap, growth, pruning, out-of-bag votes and
// permutation statistics; sequential or on worker threads sharing one tree counter.
#pragma once

#include <cstdint>
#include <vector>

#include "morvel/forest.h"
#include "morvel/settings.h"
#include "morvel/training_context.h"

namespace morvel {

// Trains the forest. With tree_workers == 1 the trees are trained in index order on the
// calling thread; otherwise workers take tree indices from one atomic counter and their
// results are merged in the order they finish. That order changes only the stored order of
// trees and the last bits of permutation means, never a tree or an out-of-bag count.
ForestResult fit_forest(const TrainingContext& ctx, const ForestSettings& settings, uint64_t tree_workers);

// Merges `incoming` into `acc` (tree lists appended, votes added, Welford means combined).
void merge_results(ForestResult& acc, ForestResult&& incoming);

}  // namespace morvel
