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

struct Node {
  NodeKind kind = NodeKind::Leaf;
  uint64_t feature = 0;     // split: column index (leaf: 0)
  uint64_t leaf_class = 0;  // leaf: predicted class (split: 0)
  double pivot = 0.0;       // split: rows with value > pivot go left; equality goes right
  double gain = 0.0;        // split: |gain| is the impurity gain, the sign bit is missing_left
  uint64_t n_samples = 0;   // length of the training index list that reached the node
  uint64_t left = 0;        // split: position of the child taking value > pivot
  uint64_t right = 0;       // split: position of the child taking value <= pivot

  bool is_leaf() const { return kind == NodeKind::Leaf; }
  // The top bit of the gain word, not a comparison with 0: -0.0 means "missing goes left".
  bool missing_left() const { return std::signbit(gain); }
  double abs_gain() const { return std::fabs(gain); }

  static Node make_leaf(uint64_t leaf_class, uint64_t n_samples) {
    Node n;
    n.kind = NodeKind::Leaf;
    n.leaf_class = leaf_class;
    n.n_samples = n_samples;
    return n;
  }

  // Stores |gain|, with the sign bit ORed in when missing values go left (a zero gain then
  // becomes -0.0).
  static Node make_split(uint64_t feature, double pivot, double gain, bool missing_left,
                         uint64_t n_samples, uint64_t left, uint64_t right) {
    Node n;
    n.kind = NodeKind::Split;
    n.feature = feature;
    n.pivot = pivot;
    uint64_t word = std::bit_cast<uint64_t>(gain) & ~(uint64_t{1} << 63);
    if (missing_left) word |= uint64_t{1} << 63;
    n.gain = std::bit_cast<double>(word);
    n.n_samples = n_samples;
    n.left = left;
    n.right = right;
    return n;
  }
};

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
      stack.push_back(node.right);
      at = node.left;
      continue;
    }
    if (stack.empty()) return;
    at = stack.back();
    stack.pop_back();
  }
}

}  // namespace morvel
