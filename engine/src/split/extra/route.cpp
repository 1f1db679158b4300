// The extra-trees growth plan and the one dispatch on it: which statistics step measures a
// tree's nodes (decided once per tree) and which node loop serves a node (from the plan and
// what the node's statistics step left ready).
#include <algorithm>

#include "split/extra/common.h"
#include "split/extra/extra_trees.h"

namespace morvel {

using namespace extra;

namespace {

// Nodes from this size gather their expected features' bins ahead (smaller ones gain too little).
constexpr uint64_t kBatchGatherFrom = 48;

}  // namespace

ExtraPlan plan_extra_tree(const TrainingContext& ctx, std::span<const double> weights,
                          std::span<const RowIndex> in_bag, ExtraScratch& scratch) {
  prepare_extra_tree(weights, in_bag, scratch);
  ExtraPlan& plan = scratch.plan;
  plan.unprofiled = ctx.profile == nullptr;
  // Binned bytes read the row tags; the tagged rows serve raw values only, when class lanes
  // do not.
  if (tag_binned_rows(ctx, weights, in_bag, scratch)) {
    plan.stats = ExtraStats::EntryBytes;
    scratch.tagged_rows.clear();
  } else if (uses_class_lanes(ctx, plan)) {
    plan.stats = ExtraStats::ClassLanes;
    scratch.tagged_rows.clear();
    build_row_lanes(ctx, weights, scratch);
  } else {
    tag_two_class_rows(ctx, weights, in_bag, scratch);
    plan.stats = scratch.tagged_rows.empty() ? ExtraStats::General : ExtraStats::TaggedRows;
  }
  // Monotonic bounds measure children through their rows (compute_node_stats), which a
  // rebased subtree replaces by positions.
  const auto& constraints = ctx.growth.monotonic_cst;
  plan.rebase = rebase_serves(ctx, plan) &&
                std::all_of(constraints.begin(), constraints.end(), [](int8_t c) { return c == 0; });
  return plan;
}

NodePrep measure_extra_node(const TrainingContext& ctx, const TreeWeights& weights, const ExtraPlan& plan,
                            std::span<const RowIndex> rows, ExtraScratch& scratch, NodeStats& out) {
  switch (plan.stats) {
    case ExtraStats::EntryBytes:
      return binned_node_stats(ctx, rows, scratch, out);
    case ExtraStats::ClassLanes:
      return tagged_class_stats(ctx, weights, rows, scratch, out);
    case ExtraStats::TaggedRows:
      tagged_node_stats(ctx, rows, scratch, out);
      return NodePrep{};
    case ExtraStats::General:
      break;
  }
  // The two-class dense search reads the entry weights and labels.
  compute_node_stats(ctx, weights, rows, /*keep_entry_weights=*/true, out, /*keep_labels=*/true);
  return NodePrep{};
}

void begin_extra_search(ExtraScratch& scratch) {
  scratch.kept = KeptColumn::None;
  scratch.kept_stamp += 1;
}

KeptToken kept_for(const ExtraScratch& scratch, const NodeSplit& split) {
  if (scratch.kept == KeptColumn::None || scratch.kept_feature != split.feature) return KeptToken{};
  return KeptToken{scratch.kept, scratch.kept_stamp};
}

namespace {

// Whole nodes and small subtrees keep a node's entries in vector lanes by class, and gather
// its bins through offsets into the row-major copy, from rows checked when it was measured.
bool on_lanes(const ExtraPlan& plan, const NodePrep& prep, const SearchRules& rules) {
  return MORVEL_SIMD_SSE2 && plan.unprofiled && prep.ready == NodeReady::EntryBytes && prep.rows_checked &&
         prep.row_offsets && rules.n_classes >= 2 && rules.n_classes <= kTagLanes;
}

}  // namespace

ExtraRoute route_extra_node(const ExtraPlan& plan, const NodePrep& prep, const SearchRules& rules, uint64_t n) {
  const bool lane_classes = rules.n_classes >= 2 && rules.n_classes <= kTagLanes;
  const bool bytes = prep.ready == NodeReady::EntryBytes;
  const bool on_copy = bytes && prep.rows_checked && prep.row_offsets;
  if (on_lanes(plan, prep, rules) && n < kWholeNodeBelow) return ExtraRoute{NodeLoop::WholeNode, false};
  if (plan.unprofiled && prep.ready == NodeReady::ClassPlanes && prep.rows_checked && lane_classes)
    return ExtraRoute{NodeLoop::LaneNode, false};
  return ExtraRoute{bytes && plan.unprofiled ? NodeLoop::PreparedBytes : NodeLoop::PerFeature,
                    on_copy && n >= kBatchGatherFrom};
}

bool grows_small_subtree(const ExtraPlan& plan, const NodePrep& prep, const SearchRules& rules, uint64_t n) {
  return on_lanes(plan, prep, rules) && n < kSmallSubtreeBelow;
}

}  // namespace morvel
