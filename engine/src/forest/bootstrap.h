// Per-tree samples: no bootstrap, uniform bootstrap, weighted bootstrap (extra trees) and
// balanced subsampling.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "data/rng.h"
#include "data/training_context.h"

namespace morvel {

struct TreeSample {
  RowBuffer in_bag;                  // rows given to the grower (repeats adjacent, ascending)
  std::vector<RowIndex> out_of_bag;  // rows never drawn, ascending
  std::optional<std::vector<double>> weights;  // replacement per-row weights, when they differ
  double w_total = 0.0;              // W_total of the tree
  double min_leaf_weight = 0.0;      // possibly rescaled
};

// k = max_samples or n_rows draws of below(n_rows). Without `list_out_of_bag` the
// out-of-bag list is left empty (a fit that reads no out-of-bag rows).
TreeSample uniform_bootstrap(const TrainingContext& ctx, uint64_t draws, Rng& rng, bool list_out_of_bag = true);
// Rows drawn in proportion to their weights; draw counts become the weights.
TreeSample weighted_bootstrap(const TrainingContext& ctx, uint64_t draws, Rng& rng, bool list_out_of_bag = true);
// All rows (only those of weight > 0 with extra trees); nothing drawn.
TreeSample no_bootstrap(const TrainingContext& ctx);
// Class rebalancing after a uniform bootstrap or without bootstrap.
void balance_subsample(const TrainingContext& ctx, TreeSample& sample);

}  // namespace morvel
