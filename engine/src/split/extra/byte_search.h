// The binned extra-trees searches (byte_search.cpp), for search_extra's dispatch.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "morvel/profile.h"
#include "split/extra/extra_trees.h"

namespace morvel::extra {

// The two-class binned search on bytes, for a node prepared by binned_node_stats or
// prepare_extra_node (byte weights).
std::optional<SplitCandidate> binary_binned_bytes(const TrainingContext& ctx, const SearchRules& rules,
                                                  std::span<const RowIndex> rows, const NodeStats& stats,
                                                  const NodePrep& prep, uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                  std::vector<uint64_t>& constant_features, Rng& rng,
                                                  ExtraScratch& scratch, ProfileCounters* profile);

// The two-class binned search for any weights: a 256-bin table, or the entries' sums for
// whole weights.
std::optional<SplitCandidate> binary_binned_search(const TrainingContext& ctx, const TreeWeights& weights,
                                                   const SearchRules& rules, std::span<const RowIndex> rows,
                                                   const NodeStats& stats, uint64_t feature, int8_t constraint,
                                                   NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                   Rng& rng, ExtraScratch& scratch, ProfileCounters* profile);

// The general search on bytes for more than two classes, on a node prepared on byte weights.
std::optional<SplitCandidate> multi_binned_bytes(const TrainingContext& ctx, const SearchRules& rules,
                                                 std::span<const RowIndex> rows, const NodeStats& stats,
                                                 const NodePrep& prep, uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                 std::vector<uint64_t>& constant_features, Rng& rng,
                                                 ExtraScratch& scratch);

}  // namespace morvel::extra
