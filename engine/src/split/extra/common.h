// What every extra-trees search shares: byte and lane constants, the lines byte growth reads,
// exact sums of byte weights, and the node impurity a node's searches compute once.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "simd/simd.h"
#include "split/class_count.h"
#include "split/extra/extra_trees.h"

namespace morvel::extra {

constexpr uint64_t kByteBins = 256;
constexpr uint64_t kTagLanes = 8;
// Per-entry byte buffers extend this far past the node's entries, so that a final partial
// block of 16 lanes can be loaded whole and masked.
constexpr uint64_t kBlockPad = simd::kLanes;


// The lines of the row-major copy and the row tags byte growth reads: the tree's, or those of
// the rebased subtree being grown (indexed by position in its segment).
inline const uint8_t* row_lines(const BinnedMatrix& bm, const ExtraScratch& scratch) {
  return scratch.rebased ? scratch.local_lines.data() : bm.row_major_copy.data();
}
inline uint64_t row_lines_size(const BinnedMatrix& bm, const ExtraScratch& scratch) {
  return scratch.rebased ? scratch.rebased_rows * bm.n_features : bm.row_major_copy.size();
}

// A sum of byte weights (below 2^53) as a double, through the signed conversion: exact here,
// and one instruction where the unsigned one is several.
inline double whole_sum(uint64_t v) { return static_cast<double>(static_cast<int64_t>(v)); }

constexpr uint64_t kSignBit = uint64_t{1} << 63;

// Nodes below this many entries are searched whole (search_whole_byte_node): their searches
// are dominated by what each one costs besides reading the entries.
constexpr uint64_t kWholeNodeBelow = 64;
// Nodes below this many entries on bytes may grow their subtree whole (open_small_root): a
// mid-size node of that size pays its statistics, gather, search and partition passes for
// entries that fit a few vector blocks.
constexpr uint64_t kSmallSubtreeBelow = 128;
static_assert(kWholeNodeBelow <= kSmallSubtreeBelow && kSmallSubtreeBelow <= SmallLevel::kEntries + 1,
              "a small subtree level holds a whole node");

// Whether a tree's byte growth may rebase its subtrees (rebase_rows): entry bytes on a
// row-major copy that 32-bit offsets reach, no fit profile.
bool rebase_serves(const TrainingContext& ctx, const ExtraPlan& plan);

// Whether the gini-only forms serve the rules: whole-number sides scored with both sides'
// impurities in vector lanes. Every other criterion takes the general forms, whose
// evaluation goes through with_criterion and so rejects a value naming no criterion.
inline bool gini_forms(const SearchRules& rules) { return rules.criterion == Criterion::Gini; }

// A node's impurity, computed by its first search and reused by the others (`known` is
// cleared when the node is prepared).
inline double cached_impurity(const SearchRules& rules, const NodeStats& stats, bool& known, double& value) {
  if (!known) {
    value = impurity(rules.criterion, stats.class_weight.data(), rules.n_classes, stats.weight);
    known = true;
  }
  return value;
}

// The node's impurity: computed by its first lane search, reused by the others.
inline double lane_node_impurity(const SearchRules& rules, const NodeStats& stats, ExtraScratch& scratch) {
  return cached_impurity(rules, stats, scratch.tag_impurity_known, scratch.tag_impurity);
}

// The prepared node's impurity: computed by its first search, reused by the others.
inline double byte_node_impurity(const SearchRules& rules, const NodeStats& stats, ExtraScratch& scratch) {
  return cached_impurity(rules, stats, scratch.node_impurity_known, scratch.node_impurity);
}

inline bool is_listed(const std::vector<uint64_t>& list, uint64_t feature) {
  for (const uint64_t f : list) {
    if (f == feature) return true;
  }
  return false;
}


}  // namespace morvel::extra
