// Extra-trees scratch: per-worker buffers of the extra-trees searches. One threshold drawn uniformly between a feature's node minimum and maximum,
// scored like any other candidate; constant features are remembered per node.
#pragma once


#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "split/criteria.h"
#include "simd/simd.h"
#include "split/extra/plan.h"

namespace morvel {

// The entries of a small subtree's level: bit i for entry i.
using EntryMask = unsigned __int128;

// The entries set in `mask`.
// Most levels fit 64 entries: the high word is counted only when set (without the POPCNT
// instruction a count is a dozen instructions).
inline uint64_t entry_count(EntryMask mask) {
  const uint64_t high = static_cast<uint64_t>(mask >> 64);
  return simd::popcount(static_cast<uint64_t>(mask)) + (high != 0 ? simd::popcount(high) : 0);
}

// A small node's lane sums (two classes: its weight and its class-1 weight; more: each class's
// weight). At most 128 byte weights: each sum fits 16 bits.
struct SmallSums {
  uint16_t lane[8];
};

// The mask of entries 0 to n - 1 (n at most 128).
inline EntryMask first_entries(uint64_t n) { return n >= 128 ? ~EntryMask{0} : (EntryMask{1} << n) - 1; }

// One level of a small subtree (open_small_root): up to kEntries entries in blocks of 16
// lanes, with each entry's offset into the row-major copy of the bins and its weight and
// second byte (two classes: its class-1 weight; more: its class), and every feature's bins
// of the entries in lanes: feature f's block b at bins[(f * blocks + b) * 16], transposed from
// the row-major copy 16 features at a time when a feature of the group is first searched.
struct SmallLevel {
  static constexpr uint64_t kEntries = 127;
  static constexpr uint64_t kBlocks = 8;
  uint64_t n = 0;
  uint64_t blocks = 0;
  // Lanes past n repeat entry 0's offset, so that a whole block of rows can be loaded.
  uint32_t offset[16 * kBlocks] = {};
  uint8_t weight[16 * kBlocks] = {};
  uint8_t second[16 * kBlocks] = {};
  // Every entry's line of 16 bins of every group lies inside the copy (the last rows' may not).
  bool rows_in_copy = false;
  // Per block, the entries' weights in the lanes they count for (two classes: the weights
  // and the class-1 weights; more: one lane per class), zero past n.
  alignas(16) uint8_t lanes[kBlocks][8][16] = {};
  std::vector<uint8_t> bins;
  std::vector<uint8_t> group_ready;  // per group of 16 features: its bins are in place
};

// Levels of a small subtree: its root's, and one for each descendant that fits fewer blocks
// than its parent's level (at most one per block count).
constexpr uint64_t kSmallLevels = SmallLevel::kBlocks;

// Per-worker buffers reused by every extra-trees search of that worker.
struct ExtraScratch {
  std::vector<float> values_f32;   // node values of the two-class dense search (float32 input)
  std::vector<double> values_f64;  // node values of the two-class dense search (float64 input)
  std::vector<double> buffers;     // class-weight accumulators
  std::vector<double> values;      // node values of the general search (NaN = missing)
  std::vector<double> bin_weights; // two-class binned search: 256 bins x 2 class weights
  std::vector<uint64_t> bin_counts;  // two-class binned search: entries per bin
  // The plan of the tree being grown (plan_extra_tree), read by the searches for its weight
  // kind: whole weights add exactly in any order (several lanes at once); byte weights let the
  // binned searches work on bytes, with per-entry bytes filled per node as its NodePrep says.
  ExtraPlan plan;
  std::vector<uint8_t> entry_bytes;      // weight of each entry
  std::vector<uint8_t> entry_bytes_one;  // two classes: weight of each entry of class 1, 0 for class 0
  std::vector<uint8_t> entry_classes;    // more classes: the class of each entry
  std::vector<uint8_t> node_bins;        // the searched feature's bin per entry
  // Raw values, three to eight classes, byte weights: per entry, eight byte lanes holding
  // its weight in the lane of its class (tagged_class_stats, or prepare_extra_node from the
  // statistics), for the node whose preparation says so.
  std::vector<uint8_t> entry_tags;
  // Without missing values tagged_class_stats stores the same lanes as class planes instead
  // (NodeReady::ClassPlanes, `entry_tags` then not filled): per block of 16 entries, one plane of
  // 16 bytes per class, byte j of plane c holding the weight of the block's entry j when its
  // class is c and 0 otherwise (also for the entries past the node's end). A search masks
  // the 16 entries of a block at once and sums each plane with one byte-sum instruction.
  std::vector<uint8_t> entry_planes;
  // The values of the best feature of the node search_lane_node searched last, in list order
  // (the search buffer that read them, swapped out): the node's partition reads them instead
  // of the matrix, when the node's split carries the stamp they were kept under (KeptColumn).
  std::vector<double> kept_values;
  std::vector<uint32_t> entry_offsets;  // a lane node's row offsets into the row-major matrix
  // The impurity of the node measured into class lanes, computed by its first search and
  // reused by the others.
  bool tag_impurity_known = false;
  double tag_impurity = 0.0;
  // Per row of the matrix, its class in the high byte and its weight in the low byte, or
  // kNoRowLane when the weight is not a byte weight (or is -0.0): tagged_class_stats reads
  // one small array per entry instead of the labels and the weights. Built with the plan of
  // every tree whose nodes are measured into class lanes.
  static constexpr uint16_t kNoRowLane = 0xFFFF;
  std::vector<uint16_t> row_lanes;
  // Two classes, every bag weight above zero: per row, the weight with the class in its sign
  // bit (tag_two_class_rows), so node statistics read one array instead of two. Empty when
  // not in use.
  std::vector<uint64_t> tagged_rows;
  // Binned matrix with byte weights (tag_binned_rows, for a plan measuring entry bytes): per
  // row of the tree's bag, its weight in the low byte and its class in the high byte.
  // binned_node_stats gathers them per node.
  std::vector<uint16_t> row_tags;
  // The prepared node's per-entry row tags (without SSE2; otherwise they stay in registers),
  // and for a small node its entries' offsets into the row-major copy of the bins (when its
  // NodePrep says row_offsets).
  std::vector<uint16_t> entry_row_tags;
  std::vector<uint32_t> row_offsets;
  std::vector<uint64_t> class_counts;  // class sums of a node with more than eight classes
  // The prepared node's impurity, computed by its first search (binned_node_stats resets it).
  bool node_impurity_known = false;
  double node_impurity = 0.0;
  // node_bins holds the bins of `bins_feature` for the entries at `bins_rows` (searches on
  // bytes), for the node being searched. The node loop keeps the bins of a node's best
  // candidate in kept_bins (keep_extra_bins) so that the node's partition reads them in list
  // order instead of the matrix column.
  uint64_t bins_feature = 0;
  uint64_t bins_entries = 0;
  uint64_t bins_stamp = 0;  // the search (kept_stamp) that gathered them; 0: none
  std::vector<uint8_t> kept_bins;
  // Bins gathered ahead for the features a node is expected to search (gather_feature_batch):
  // feature batch_features[j] at batch_bins[j * batch_stride], for the node whose preparation
  // says so (NodePrep::batch).
  static constexpr uint64_t kBatchFeatures = 16;
  std::vector<uint8_t> batch_bins;
  uint64_t batch_features[kBatchFeatures] = {};
  uint64_t batch_count = 0;
  uint64_t batch_stride = 0;
  const uint8_t* bins_data = nullptr;  // where the last byte search's bins are
  // What the node being searched has kept of its best feature so far (kept_bins, or
  // kept_values), under `kept_stamp`: every node search takes a new stamp
  // (begin_extra_search), so a kept column belongs to exactly one node's search.
  KeptColumn kept = KeptColumn::None;
  uint64_t kept_feature = 0;
  uint64_t kept_stamp = 0;
  // The entropy of the last node scored, with everything it was computed from: a node's
  // searches share it without recomputing (a pure function of these inputs).
  bool parent_known = false;
  Criterion parent_criterion = Criterion::Gini;
  double parent_weight = 0.0;
  std::vector<double> parent_class_weight;
  double parent_impurity = 0.0;
  std::vector<SmallLevel> small_levels;
  // A rebased subtree (rebase_rows): its entries' lines of the row-major copy and their tags in
  // the order of its index segment, which then holds positions into these instead of rows.
  bool rebased = false;
  uint64_t rebased_rows = 0;
  std::vector<uint8_t> local_lines;
  std::vector<uint16_t> local_tags;
};

}  // namespace morvel
