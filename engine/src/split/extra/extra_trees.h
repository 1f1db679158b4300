// Extra-trees: one threshold drawn uniformly between a feature's node minimum and maximum,
// scored like any other candidate; constant features are remembered per node.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/rng.h"
#include "split/criteria.h"
#include "split/node_loop.h"
#include "split/extra/plan.h"
#include "split/extra/scratch.h"

namespace morvel {

// ---- the grower's interface -------------------------------------------------------------

// Starts a tree grown on `in_bag` (repeats counted) with `weights`: decides its weight kind
// and its nodes' statistics step once, tags its rows for that step, and records the plan in
// `scratch.plan`, where the searches read the weight kind.
ExtraPlan plan_extra_tree(const TrainingContext& ctx, std::span<const double> weights,
                          std::span<const RowIndex> in_bag, ExtraScratch& scratch);

// Measures a node by the plan's statistics step (compute_node_stats' values, entry labels and
// weights kept unless the step is EntryBytes) and returns what it left ready for the node.
NodePrep measure_extra_node(const TrainingContext& ctx, const TreeWeights& weights, const ExtraPlan& plan,
                            std::span<const RowIndex> rows, ExtraScratch& scratch, NodeStats& out);

// Readies a node for its searches, once per searched node after its statistics: what the
// statistics step left (`measured`) serves as it is; after a step that left nothing, the
// per-entry bytes (binned values) or class lanes (raw values, three to eight classes) are
// built from the statistics' entries when the tree has byte weights. Returns what is ready.
NodePrep prepare_extra_node(const TrainingContext& ctx, const NodeStats& stats, NodePrep measured,
                            ExtraScratch& scratch);

// The node loop that serves a node of n entries, from the plan and the node's preparation
// alone: whole nodes below 64 entries on bytes with offsets into the row-major copy (two to
// eight classes, vector registers), lane nodes on class planes (two to eight classes),
// prepared bytes for other byte nodes, and the per-feature dispatch of search_extra otherwise
// (always when profiling, which counts every search). Nodes on the row-major copy from 48
// entries gather their expected features' bins ahead.
ExtraRoute route_extra_node(const ExtraPlan& plan, const NodePrep& prep, const SearchRules& rules, uint64_t n);

// Whether depth-first growth grows the subtree of a node of n entries whole (open_small_root):
// a node prepared as a whole node is (entry bytes with offsets into the row-major copy, two
// to eight classes, vector registers, no profile), below 128 entries.
bool grows_small_subtree(const ExtraPlan& plan, const NodePrep& prep, const SearchRules& rules, uint64_t n);

// Starts the search of a node: a column kept from now on belongs to this search (KeptToken).
void begin_extra_search(ExtraScratch& scratch);

// The node's search ended with `split`: the column kept for its feature, if any, under this
// search's stamp, for the partition.
KeptToken kept_for(const ExtraScratch& scratch, const NodeSplit& split);

// Whether a node of n entries starts a rebased subtree (below).
bool may_rebase(const TrainingContext& ctx, const ExtraPlan& plan, const ExtraScratch& scratch, uint64_t n);

// ---- the steps behind it (also tested one by one) ------------------------------------------

// Starts `scratch.plan` afresh with the weight kind of a tree grown on `in_bag` (repeats
// counted) with `weights`. Weighted-bootstrap draw counts and unit weights are whole.
void prepare_extra_tree(std::span<const double> weights, std::span<const RowIndex> in_bag, ExtraScratch& scratch);

// Fills `scratch.tagged_rows` for a two-class tree whose bag weights are all above zero
// (extra-trees bags hold no row of weight 0); clears it otherwise.
void tag_two_class_rows(const TrainingContext& ctx, std::span<const double> weights,
                        std::span<const RowIndex> in_bag, ExtraScratch& scratch);

// compute_node_stats (entry weights kept) from the tagged rows: the same sums in the same
// order. Requires a non-empty `scratch.tagged_rows` filled for this tree.
void tagged_node_stats(const TrainingContext& ctx, std::span<const RowIndex> rows, const ExtraScratch& scratch,
                       NodeStats& out);

// Whether tagged_class_stats serves the nodes of a tree with this weight kind: raw values,
// byte weights, three to eight classes, or two when no value is missing.
bool uses_class_lanes(const TrainingContext& ctx, const ExtraPlan& plan);

// Fills `scratch.row_lanes` for a tree whose nodes are measured into class lanes: per row of
// the matrix its class and weight when the weight is a byte weight, kNoRowLane otherwise.
void build_row_lanes(const TrainingContext& ctx, std::span<const double> weights, ExtraScratch& scratch);

// compute_node_stats (entry weights kept), the same sums in the same order, filling the
// per-entry class lanes of `entry_tags` in the same pass. Requires a plan of ClassLanes.
NodePrep tagged_class_stats(const TrainingContext& ctx, const TreeWeights& weights, std::span<const RowIndex> rows,
                            ExtraScratch& scratch, NodeStats& out);

// Fills `scratch.row_tags` for a tree on a binned matrix whose weights are byte weights
// (prepare_extra_tree first) and returns true; returns false for any other tree. Checks every
// bag row against the matrix.
bool tag_binned_rows(const TrainingContext& ctx, std::span<const double> weights, std::span<const RowIndex> in_bag,
                     ExtraScratch& scratch);

// The node statistics of the byte form: class weights and W from the per-row tags, and the
// per-entry bytes the byte searches read. Every sum is an exact integer, so the values equal
// the list-order sums of compute_node_stats. The entry labels and weights are left empty
// (nothing on this path reads them). Requires a plan of EntryBytes.
NodePrep binned_node_stats(const TrainingContext& ctx, std::span<const RowIndex> rows, ExtraScratch& scratch,
                           NodeStats& out);

// binned_node_stats with the entry labels and weights kept as compute_node_stats keeps them.
// Requires a plan of EntryBytes.
NodePrep byte_node_stats(const TrainingContext& ctx, const TreeWeights& weights, std::span<const RowIndex> rows,
                         ExtraScratch& scratch, NodeStats& out);

// The per-entry bytes of a binned node built from its statistics' entries (when the tree has
// byte weights); returns whether they were built.
bool prepare_extra_node(const NodeStats& stats, ExtraScratch& scratch);

// Gathers the bins of `features` (at most kBatchFeatures) for the rows of a node measured on
// entry bytes with offsets into the row-major copy (`prep`), in one pass over their row-major
// bytes: each row's line is loaded once for all of them. Sets prep.batch: the node's searches
// of these features then read these bins.
void gather_feature_batch(const TrainingContext& ctx, std::span<const RowIndex> rows,
                          std::span<const uint64_t> features, NodePrep& prep, ExtraScratch& scratch);

// Called by the node loop when the candidate of `feature` just searched becomes the node's
// best: keeps that search's bins (when it read bytes) for partition_by_bins.
void keep_extra_bins(uint64_t feature, ExtraScratch& scratch);

// x = next_u64() ^ (extra_seed * 0x9E3779B97F4A7C15); u = (x >> 11) * 2^-53;
// threshold = hi * u + lo * (1 - u).
// Inline: every extra-trees search draws one, and the call would cost as much as the draw.
[[gnu::always_inline]] inline double draw_extra_threshold(Rng& rng, uint64_t extra_seed, double lo, double hi) {
  const uint64_t x = rng.next_u64() ^ (extra_seed * 0x9E3779B97F4A7C15ULL);
  const double u = static_cast<double>(x >> 11) * 0x1p-53;
  return hi * u + lo * (1.0 - u);
}

// Searches `feature` with a drawn threshold, on what the node's preparation (`prep`) holds:
// class lanes, entry bytes, or else the general, two-class dense or two-class binned form
// chosen from the context. A feature found constant is appended to `constant_features`; a
// feature already listed there yields none without drawing.
std::optional<SplitCandidate> search_extra(const TrainingContext& ctx, const TreeWeights& weights,
                                           const SearchRules& rules, std::span<const RowIndex> rows,
                                           const NodeStats& stats, const NodePrep& prep, uint64_t feature,
                                           int8_t constraint, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           ExtraScratch& scratch);

// search_extra for a node routed to prepared bytes (NodeLoop::PreparedBytes) and a feature
// that is not in `constant_features`: the same draws, the same result and the same
// constant-list append, without the per-search dispatch (the grower's node loop calls it
// once per drawn feature).
std::optional<SplitCandidate> search_prepared_bytes(const TrainingContext& ctx, const SearchRules& rules,
                                                    std::span<const RowIndex> rows, const NodeStats& stats,
                                                    const NodePrep& prep, uint64_t feature, int8_t constraint,
                                                    NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                    Rng& rng, ExtraScratch& scratch);

// The extra-trees node loop (extra_node_loop) of a node routed to NodeLoop::WholeNode, with
// its searches inlined: the same draws, the same constant-list appends and the same winner as
// the grower's loop around search_extra. The winner's bins are kept for partition_by_bins.
std::optional<NodeSplit> search_whole_byte_node(const TrainingContext& ctx, const SearchRules& rules,
                                                std::span<const RowIndex> rows, const NodeStats& stats,
                                                const NodePrep& prep, NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                Rng& rng, std::vector<uint64_t>& pool,
                                                const detail::PoolDraws& draws, uint64_t max_features,
                                                ExtraScratch& scratch);

// The extra-trees node loop (extra_node_loop) of a node routed to NodeLoop::LaneNode (raw
// values measured into class planes) with the lane searches inlined: the same draws, the same
// constant-list appends and the same winner as the grower's loop around search_extra, without
// its per-search dispatch.
std::optional<NodeSplit> search_lane_node(const TrainingContext& ctx, const SearchRules& rules,
                                          std::span<const RowIndex> rows, const NodeStats& stats,
                                          const NodePrep& prep, NodeBounds bounds,
                                          std::vector<uint64_t>& constant_features, Rng& rng,
                                          std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                          uint64_t max_features, ExtraScratch& scratch);

// Rebased subtrees. The rows of a mid-size node lie scattered over the row-major copy, and
// every node below it gathers their lines again, each a likely cache miss. Rebasing copies
// the node's lines and tags once into arrays of the subtree's own, in the order of its index
// segment, and replaces each row of the segment by its position there: the byte searches,
// statistics and partitions below then read a few hundred kilobytes in address order. Only
// those read the segment until the subtree is done (end_rebase), so the grower rebases only
// where nothing else would: depth-first growth without monotonic constraints or a profile
// (ExtraPlan::rebase), at nodes of at least 64 entries whose lines fit 256 KiB (may_rebase).

// Rebases the subtree whose index segment is `rows`.
void rebase_rows(const TrainingContext& ctx, std::span<RowIndex> rows, ExtraScratch& scratch);

// Ends the rebased subtree: byte growth reads the tree's rows again.
void end_rebase(ExtraScratch& scratch);

// Small subtrees. The grower may grow the whole subtree of a node below 128 entries prepared
// as a whole node is (grows_small_subtree) over masks of its entries (bit i: entry i of a level), with the same checks, draws and
// records as node-by-node growth, but without a statistics pass, a gather of each searched
// feature or a partition per node: the entries' bins are transposed into lanes once per
// level. open_small_root opens level 0 on the node binned_node_stats just prepared (n
// entries, `prep`) and returns the mask of its entries.
EntryMask open_small_root(const TrainingContext& ctx, uint64_t n, const NodePrep& prep, ExtraScratch& scratch);

// Opens `level` on the entries of `mask` at level - 1 (a descendant that fits fewer blocks)
// and returns their mask at the new level.
EntryMask open_small_level(const TrainingContext& ctx, uint64_t level, EntryMask mask, ExtraScratch& scratch);

// Blocks of 16 entries of an open level.
uint64_t small_level_blocks(const ExtraScratch& scratch, uint64_t level);

// The statistics of the entries of `mask` at `level`: the values binned_node_stats gives
// for their rows (entry labels and weights left empty).
void small_node_stats(const TrainingContext& ctx, uint64_t level, EntryMask mask, ExtraScratch& scratch,
                      NodeStats& out);

// small_node_stats from the node's lane sums (search_small_node gives its children's).
void small_sums_stats(const TrainingContext& ctx, const SmallSums& sums, ExtraScratch& scratch, NodeStats& out);

// search_whole_byte_node for the n entries of `mask` at `level` (statistics from
// small_node_stats or small_sums_stats): the same draws, constant-list appends and winner. On
// a winner, `left_mask` receives the entries going left (partition_by_bins' routing), and
// `left` and `right` the two children's lane sums.
std::optional<NodeSplit> search_small_node(const TrainingContext& ctx, const SearchRules& rules, uint64_t level,
                                           EntryMask mask, uint64_t n, const NodeStats& stats, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch, EntryMask& left_mask,
                                           SmallSums& left, SmallSums& right);

// The general search alone (any class count, every matrix form; bin indices for a binned
// context, with the missing bin read as NaN). search_extra routes two-class problems to
// specialised copies that must give the same candidate; this entry lets tests compare them.
std::optional<SplitCandidate> search_extra_general(const TrainingContext& ctx, const TreeWeights& weights,
                                                   const SearchRules& rules, std::span<const RowIndex> rows,
                                                   const NodeStats& stats, uint64_t feature, int8_t constraint,
                                                   NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                   Rng& rng, ExtraScratch& scratch);

}  // namespace morvel
