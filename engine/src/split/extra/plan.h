// The extra-trees growth plan. What can be decided for a whole tree is decided once, when the
// tree starts (ExtraPlan: the weight kind and the statistics step of its nodes); what a node's
// statistics step leaves ready for that node's searches is a value it returns (NodePrep). The
// node loop that serves a node follows from these two values alone (route_extra_node), so the
// grower asks one question per node instead of testing buffers for freshness.
#pragma once

#include <cstdint>

namespace morvel {

// How the searches may add a tree's weights. Whole: whole numbers totalling at most 2^53, so
// every partial sum is exact and sums may run in any order. Byte: whole numbers of at most 255
// each, which fit byte lanes.
enum class ExtraWeights : uint8_t { Fractional, Whole, Byte };

// The statistics step of a tree's nodes.
enum class ExtraStats : uint8_t {
  General,     // compute_node_stats
  TaggedRows,  // two classes, weights above zero: tagged_node_stats
  ClassLanes,  // raw values, byte weights, two to eight classes: tagged_class_stats
  EntryBytes,  // binned values, byte weights: binned_node_stats
};

struct ExtraPlan {
  ExtraWeights weights = ExtraWeights::Fractional;
  // Every partial sum of entry weights is exact (Whole or Byte).
  bool whole_weights() const { return weights != ExtraWeights::Fractional; }
  bool byte_weights() const { return weights == ExtraWeights::Byte; }
  ExtraStats stats = ExtraStats::General;
  // No fit profile: node loops that do not count each search (whole nodes, lane nodes,
  // prepared bytes) may serve.
  bool unprofiled = true;
  // Mid-size subtrees may be rebased (rebase_rows): entry bytes on a row-major copy that
  // 32-bit offsets reach, no monotonic constraint, no profile.
  bool rebase = false;
};

// What a node's per-entry buffers hold for its searches.
enum class NodeReady : uint8_t {
  Nothing,      // the searches read the matrix and the statistics' entries
  EntryBytes,   // each entry's weight byte and second byte (class-1 weight, or class)
  ClassTags,    // each entry's eight class lanes
  ClassPlanes,  // class planes per block of 16 entries (raw values, no value missing)
};

struct NodePrep {
  NodeReady ready = NodeReady::Nothing;
  bool rows_checked = false;  // the statistics step checked every row against the matrix
  bool row_offsets = false;   // the entries' offsets into the row-major copy are ready
  bool batch = false;         // the expected features' bins are gathered (gather_feature_batch)
};

// The node loop serving a node.
enum class NodeLoop : uint8_t {
  PerFeature,     // extra_node_loop around search_extra, which dispatches per search
  PreparedBytes,  // extra_node_loop around search_prepared_bytes
  WholeNode,      // search_whole_byte_node (or a small subtree from it)
  LaneNode,       // search_lane_node
};

struct ExtraRoute {
  NodeLoop loop = NodeLoop::PerFeature;
  // Gather the bins of the features the loop is expected to search in one pass first.
  bool gather_ahead = false;
};

}  // namespace morvel
