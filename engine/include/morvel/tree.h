// The fitted tree: a flat vector of node records linked by position, plus the root position.
// Trees are values: they move, copy and merge into a forest without fix-ups.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "morvel/large_buffer.h"

namespace morvel {

enum class NodeKind : uint8_t { Leaf = 0, Split = 1 };

// One node record in 40 bytes: growth writes a fresh record per node and the node array is
// the model's memory, so the record keeps only what its readers need, at the width they need.
//
// - A leaf's class and a split's feature share one word; its top bit is the kind (set for a
//   split). Column indices and classes never come near 2^63: a column is an index into a
//   matrix held in memory, and class labels are 32-bit.
// - `n_samples` stays 64-bit: it is the length of the index list that reached the node, and
//   a bootstrap of `max_samples` draws may list more entries than 32 bits can count.
// - Child positions are 32-bit. Every split has two non-empty children, and the entries of
//   one row always go the same way, so a tree has at most min(m, n_rows) leaves for an index
//   list of m entries, and never more than `max_leaves` or 2^max_depth; its node count is at
//   most twice its leaves less one. Positions therefore fit whenever that leaf bound is at
//   most 2^31 (2^32 - 1 nodes). The fit loop refuses the rare fit whose settings allow more
//   before anything is drawn (`check_tree_positions_fit`), and loading a saved model refuses
//   a tree that holds more nodes, so no position is ever truncated.
struct Node {
  static constexpr uint64_t kSplitBit = uint64_t{1} << 63;
  static constexpr uint64_t kMaxNodes = uint64_t{1} << 32;  // positions 0 .. 2^32 - 1

  double pivot = 0.0;      // split: rows with value > pivot go left; equality goes right
  double gain = 0.0;       // split: |gain| is the impurity gain, the sign bit is missing_left
  uint64_t n_samples = 0;  // length of the training index list that reached the node

 private:
  uint64_t tagged_ = 0;    // split: kSplitBit | feature; leaf: the class (all zero: class 0)
  uint32_t left_ = 0;      // split: position of the child taking value > pivot
  uint32_t right_ = 0;     // split: position of the child taking value <= pivot

 public:
  bool is_leaf() const { return (tagged_ & kSplitBit) == 0; }
  NodeKind kind() const { return is_leaf() ? NodeKind::Leaf : NodeKind::Split; }
  // split: column index (leaf: 0)
  uint64_t feature() const { return is_leaf() ? 0 : tagged_ & ~kSplitBit; }
  // leaf: predicted class (split: 0)
  uint64_t leaf_class() const { return is_leaf() ? tagged_ : 0; }
  uint64_t left() const { return left_; }
  uint64_t right() const { return right_; }
  // The top bit of the gain word, not a comparison with 0: -0.0 means "missing goes left".
  bool missing_left() const { return std::signbit(gain); }
  double abs_gain() const { return std::fabs(gain); }

  // Positions below kMaxNodes; growth and loading guarantee it (see above).
  void set_left(uint64_t position) { left_ = static_cast<uint32_t>(position); }
  void set_right(uint64_t position) { right_ = static_cast<uint32_t>(position); }

  static Node make_leaf(uint64_t leaf_class, uint64_t n_samples) {
    Node n;
    n.tagged_ = leaf_class;
    n.n_samples = n_samples;
    return n;
  }

  // Stores |gain|, with the sign bit ORed in when missing values go left (a zero gain then
  // becomes -0.0).
  static Node make_split(uint64_t feature, double pivot, double gain, bool missing_left,
                         uint64_t n_samples, uint64_t left, uint64_t right) {
    Node n;
    n.tagged_ = kSplitBit | feature;
    n.pivot = pivot;
    uint64_t word = std::bit_cast<uint64_t>(gain) & ~(uint64_t{1} << 63);
    if (missing_left) word |= uint64_t{1} << 63;
    n.gain = std::bit_cast<double>(word);
    n.n_samples = n_samples;
    n.set_left(left);
    n.set_right(right);
    return n;
  }
};

static_assert(sizeof(Node) <= 40, "a node record takes at most 40 bytes");

// Routing of one value at a split. `value` is the raw value, or the bin index for bin-space
// trees; `missing` is true for NaN (raw) or the missing-value bin (binned).
inline bool goes_left(const Node& split, double value, bool missing) {
  if (missing) return split.missing_left();
  return value > split.pivot;
}

inline bool goes_left(const Node& split, double value) {
  return goes_left(split, value, std::isnan(value));
}

// A fully grown tree on a million rows holds hundreds of thousands of nodes. Large node arrays
// are mapped directly, so the arrays a growing tree outgrows (in a worker thread) leave the
// process instead of staying in that thread's malloc arena.
using NodeVector = std::vector<Node, LargeBufferAllocator<Node>>;

struct Tree {
  NodeVector nodes;         // every node ever created; pruning leaves unreachable records
  uint64_t root = 0;        // position of the root in `nodes`
};

// Pre-order walk from the root: a split, then its left subtree, then its right subtree.
// `visit(const Node&)` is called once per reachable node.
template <class Visit>
void walk_preorder(const Tree& tree, Visit&& visit) {
  if (tree.nodes.empty()) return;
  std::vector<uint64_t> stack;
  uint64_t at = tree.root;
  for (;;) {
    const Node& node = tree.nodes[at];
    visit(node);
    if (!node.is_leaf()) {
      stack.push_back(node.right());
      at = node.left();
      continue;
    }
    if (stack.empty()) return;
    at = stack.back();
    stack.pop_back();
  }
}

}  // namespace morvel
