// Up-front size checks. Some sizes come straight from the caller (a sparse shape, a draw
// count, a tree count, the largest label) and are backed by no real data; a fit that could
// never hold what they ask for is refused before anything is allocated or drawn, with a
// message that says what did not fit, instead of failing (or swapping, or drawing for
// hours) halfway through.
#pragma once

#include <cstdint>

#include "morvel/settings.h"
#include "data/training_context.h"

namespace morvel {

// The bytes a fit may plan for: the machine's physical memory, and never more than the
// address space.
uint64_t memory_limit_bytes();

// Per-feature tables of a sparse matrix, whose width is only claimed by its shape.
void check_feature_tables_fit(uint64_t n_features);

// Everything the forest loop sizes from the caller's counts: the tree list, each worker's
// draw list and class tables, and the out-of-bag vote tables.
void check_forest_fits_in_memory(const TrainingContext& ctx, const ForestSettings& settings,
                                 uint64_t tree_workers);

// Node records link children by 32-bit positions. A fit whose trees could hold more nodes
// than that is refused up front (ValueError) rather than growing a tree it cannot store; see
// the bound in morvel/tree.h.
void check_tree_positions_fit(uint64_t n_rows, const ForestSettings& settings);

}  // namespace morvel
