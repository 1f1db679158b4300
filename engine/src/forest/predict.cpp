// Prediction: every tree routes every input row to a leaf and the leaf's class gets the
// row's vote. Trees are first packed into 16-byte nodes with adjacent children; rows then
// walk a tree eight at a time, one level per step, so the loads of different rows
// overlap instead of each walk waiting on its own chain of cache misses. This replaced
// partitioning row lists node by node, which measured about three times slower here.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>

#include "forest/votes.h"
#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {
namespace {

// A split or leaf packed for routing, children stored next to each other: the child taken
// is base + (went left). With 32-bit indices a node takes 16 bytes; trees or inputs too
// large for them use 64-bit indices. The top two index bits hold the flags.
template <class Index>
struct FlatNode {
  static constexpr Index kMissingLeft = Index{1} << (sizeof(Index) * 8 - 1);
  static constexpr Index kLeaf = Index{1} << (sizeof(Index) * 8 - 2);
  static constexpr uint64_t kLimit = kLeaf;  // features and positions must stay below

  double pivot;
  Index feature_bits;  // feature, or'ed with kMissingLeft and kLeaf
  Index base;          // split: position of the right child, the left child follows it;
                       // leaf: its class, so a vote reads nothing beyond the node

  bool is_leaf() const { return (feature_bits & kLeaf) != 0; }
  uint64_t feature() const { return feature_bits & ~(kMissingLeft | kLeaf); }
  bool missing_left() const { return (feature_bits & kMissingLeft) != 0; }
};

template <class Index>
struct FlatTree {
  std::vector<FlatNode<Index>> nodes;
};

// Whether 32-bit packed nodes can hold every split feature, leaf class and node position.
// Features and classes are checked against the fit's counts when packing, so the counts
// bound them without a pass over the nodes.
bool fits_narrow(const Tree& tree, uint64_t n_features, uint64_t n_classes) {
  constexpr uint64_t kLimit = FlatNode<uint32_t>::kLimit;
  return tree.nodes.size() < kLimit && n_features <= kLimit && n_classes <= kLimit;
}

// The raw-value threshold equivalent to a bin-space pivot: a bin b (the number of edges
// strictly below v) satisfies b > pivot exactly when b >= floor(pivot) + 1, that is when
// edge[floor(pivot)] < v. So raw rows route like their bins without being binned. A pivot
// below 0 sends every value left, one at or past the last edge none.
double raw_threshold(const std::vector<double>& edges, double pivot) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if (std::isnan(pivot)) return kInf;
  if (pivot < 0.0) return -kInf;
  if (!(pivot < static_cast<double>(edges.size()))) return kInf;
  return edges[static_cast<uint64_t>(pivot)];
}

// What packing needs of one node record, copied and checked in one forward pass: records
// are 40 bytes and stored children before parents, so visiting them breadth-first from the
// root would wait on a cache miss per node, while a forward pass streams them.
template <class Index>
struct Brief {
  double pivot;
  Index feature_bits;  // as in FlatNode
  Index left;          // split: children; leaf: the class
  Index right;
};

// Renumbers the reachable nodes breadth-first (the root first), children in pairs
// (right, left), so the levels every row passes through share few cache lines. `brief` and
// `order` are scratch: the copied records, and the original position of each packed node.
// With `edges`, bin-space pivots become raw thresholds.
//
// Leaves and splits alternate unpredictably, so both passes choose by selects rather than
// branches: a mispredicted branch per node cost more than the rest of the packing.
template <class Index>
void flatten(const Tree& tree, uint64_t n_features, uint64_t n_classes, const BinEdges* edges,
             FlatTree<Index>& flat, std::vector<Brief<Index>>& brief, std::vector<uint64_t>& order) {
  using Flat = FlatNode<Index>;
  const uint64_t size = tree.nodes.size();
  brief.resize(size);
  uint64_t bad_leaf = 0;
  uint64_t bad_split = 0;
  for (uint64_t i = 0; i < size; ++i) {
    const Node& n = tree.nodes[i];
    const uint64_t leaf = uint64_t{0} - static_cast<uint64_t>(n.is_leaf());  // all ones for a leaf
    bad_leaf |= leaf & (uint64_t{0} - static_cast<uint64_t>(n.leaf_class() >= n_classes));
    bad_split |= ~leaf & (uint64_t{0} - static_cast<uint64_t>((n.feature() >= n_features) | (n.left() >= size) |
                                                               (n.right() >= size)));
    const uint64_t split_bits = n.feature() | (uint64_t{n.missing_left()} * uint64_t{Flat::kMissingLeft});
    Brief<Index>& out = brief[i];
    out.pivot = std::bit_cast<double>(std::bit_cast<uint64_t>(n.pivot) & ~leaf);
    out.feature_bits = static_cast<Index>((split_bits & ~leaf) | (uint64_t{Flat::kLeaf} & leaf));
    out.left = static_cast<Index>((n.left() & ~leaf) | (n.leaf_class() & leaf));
    out.right = static_cast<Index>(n.right() & ~leaf);
  }
  MORVEL_ASSERT(bad_leaf == 0, msg::kTreeLeafClass);
  MORVEL_ASSERT(bad_split == 0, "index out of bounds: split refers outside the tree or the input");
  flat.nodes.resize(size);
  order.resize(size + 2);  // a split's two children are written before the count is checked
  order[0] = tree.root;
  uint64_t queued = 1;
  for (uint64_t i = 0; i < queued; ++i) {
    const Brief<Index>& n = brief[order[i]];
    const uint64_t leaf = uint64_t{0} - static_cast<uint64_t>(n.feature_bits == Flat::kLeaf);
    order[queued] = n.right;
    order[queued + 1] = n.left;
    const Index base = static_cast<Index>((n.left & leaf) | (queued & ~leaf));
    queued += 2 & ~leaf;
    // A valid tree reaches each node once, so at most `size` nodes are ever queued.
    MORVEL_ASSERT(queued <= size, "assertion failed: tree nodes are reached more than once");
    double pivot = n.pivot;
    if (edges != nullptr && leaf == 0) pivot = raw_threshold((*edges)[n.feature_bits & ~Flat::kMissingLeft], n.pivot);
    flat.nodes[i] = Flat{pivot, n.feature_bits, base};
  }
  flat.nodes.resize(queued);
}

// Routers answer the routing rule for one row at one split. Raw values: NaN > pivot is
// false, so a NaN goes left only through missing_left.
// kMayHaveNaN false when the input was checked to hold no NaN: the missing test drops out.
template <bool kMayHaveNaN>
struct RowRouter {
  const double* values;  // row-major, as the caller's rows come
  uint64_t n_features;
  using Handle = const double*;
  Handle handle(uint64_t row) const { return values + row * n_features; }
  template <class N>
  bool left(const N& split, Handle row) const {
    const double v = row[split.feature()];
    if constexpr (kMayHaveNaN) return (v > split.pivot) | (std::isnan(v) & split.missing_left());
    return v > split.pivot;
  }
};

// Bin bytes, row-major; the missing-value bin of feature f is edges[f].size() + 1.
struct BinRouter {
  const uint8_t* bins;
  uint64_t n_features;
  std::vector<uint8_t> missing;  // per feature
  using Handle = const uint8_t*;
  Handle handle(uint64_t row) const { return bins + row * n_features; }
  template <class N>
  bool left(const N& split, Handle row) const {
    const uint64_t f = split.feature();
    const uint8_t b = row[f];
    if (b == missing[f]) return split.missing_left();
    return static_cast<double>(b) > split.pivot;
  }
};

// CSR input read in place; absent entries are 0.0.
struct CsrRouter {
  const CsrMatrix* csr;
  using Handle = uint64_t;
  Handle handle(uint64_t row) const { return row; }
  template <class N>
  bool left(const N& split, uint64_t row) const {
    const double v = csr->at(row, split.feature());
    return (v > split.pivot) | (std::isnan(v) & split.missing_left());
  }
};

// Rows in flight at once: their node loads are independent, so their latencies overlap.
// Eight measured faster than sixteen or four: the slots' state stays in registers.
constexpr uint64_t kSlots = 8;

// Routes rows [begin, end) through one tree and calls on_leaf(row, packed leaf position) for
// each. kSlots rows are walked at once, one level per step; a row that reaches its leaf hands
// its slot to the next row, so short paths do not wait for long ones.
template <class Index, class Router, class OnLeaf>
void walk_rows(const FlatTree<Index>& flat, uint64_t begin, uint64_t end, const Router& router,
               OnLeaf&& on_leaf) {
  const FlatNode<Index>* nodes = flat.nodes.data();
  const auto walk_one = [&](uint64_t row, uint64_t at) {
    const auto h = router.handle(row);
    while (!nodes[at].is_leaf()) at = nodes[at].base + (router.left(nodes[at], h) ? 1 : 0);
    on_leaf(row, at);
  };
  if (end - begin < kSlots) {
    for (uint64_t row = begin; row < end; ++row) walk_one(row, 0);
    return;
  }
  constexpr uint64_t kNoRow = ~uint64_t{0};  // a slot left empty once the rows ran out
  uint64_t row[kSlots];
  uint64_t at[kSlots];
  typename Router::Handle handle[kSlots];
  for (uint64_t k = 0; k < kSlots; ++k) {
    row[k] = begin + k;
    handle[k] = router.handle(begin + k);
    at[k] = 0;  // the root is packed first
  }
  uint64_t next = begin + kSlots;
  uint64_t steps = 0;
  while (next < end) {
    // One tree over millions of rows takes long enough to need its own checks.
    if ((++steps & 4095) == 0) checkpoint();
    for (uint64_t k = 0; k < kSlots; ++k) {
      const FlatNode<Index>& node = nodes[at[k]];
      if (node.is_leaf()) {
        on_leaf(row[k], at[k]);
        row[k] = next < end ? next++ : kNoRow;
        if (row[k] != kNoRow) handle[k] = router.handle(row[k]);
        at[k] = 0;
        continue;
      }
      at[k] = node.base + (router.left(node, handle[k]) ? 1 : 0);
    }
  }
  // Every row has entered a slot; finish the ones still walking.
  for (uint64_t k = 0; k < kSlots; ++k) {
    if (row[k] != kNoRow) walk_one(row[k], at[k]);
  }
}

// A tree packed for routing, narrow or wide, with the stored position of each packed node
// when the caller asked for them.
struct PackedTree {
  bool wide = false;
  FlatTree<uint32_t> narrow;
  FlatTree<uint64_t> wide_nodes;
  std::vector<uint64_t> order;

  template <class Visit>
  void visit(Visit&& v) const {
    if (wide) {
      v(wide_nodes);
    } else {
      v(narrow);
    }
  }
};

// Every tree packed once for the call, so that row blocks can go through all trees without
// packing them again; trees are packed in chunks over up to n_jobs threads. A tree without
// nodes packs to an empty tree, which the walks skip.
std::vector<PackedTree> pack_trees(const std::vector<Tree>& trees, uint64_t n_features, uint64_t n_classes,
                                   const BinEdges* edges, bool keep_order, uint64_t n_jobs) {
  std::vector<PackedTree> packed(trees.size());
  parallel::for_each_chunk(
      trees.size(), std::min<uint64_t>(std::max<uint64_t>(n_jobs, 1), trees.size()),
      [&](const parallel::Chunk& c) {
        std::vector<Brief<uint32_t>> narrow_brief;
        std::vector<Brief<uint64_t>> wide_brief;
        std::vector<uint64_t> order;
        for (uint64_t t = c.begin; t < c.end; ++t) {
          checkpoint();
          const Tree& tree = trees[t];
          if (tree.nodes.empty()) continue;
          MORVEL_ASSERT(tree.root < tree.nodes.size(), "index out of bounds: root outside the tree");
          PackedTree& out = packed[t];
          out.wide = !fits_narrow(tree, n_features, n_classes);
          if (out.wide) {
            flatten(tree, n_features, n_classes, edges, out.wide_nodes, wide_brief, order);
          } else {
            flatten(tree, n_features, n_classes, edges, out.narrow, narrow_brief, order);
          }
          if (keep_order) out.order.assign(order.begin(), order.begin() + (out.wide ? out.wide_nodes.nodes.size()
                                                                                     : out.narrow.nodes.size()));
        }
      },
      msg::kPredictWorkerPanicked);
  return packed;
}

// Bin bytes are routed on the bin-space pivots themselves; raw rows of a binned forest on
// thresholds taken from its edges.
const BinEdges* packing_edges(const PredictionMatrix& x) { return x.bins.empty() ? x.edges : nullptr; }

bool is_empty(const PackedTree& tree) { return tree.wide ? tree.wide_nodes.nodes.empty() : tree.narrow.nodes.empty(); }

// Rows walked through every tree before the next rows start: a block small enough to stay
// in the shared cache while each tree's nodes stay in the core's own. Walking all rows tree
// by tree instead streamed every row from memory once per tree.
constexpr uint64_t kBlockBytes = uint64_t{4} << 20;

// Below this many row-tree walks per worker a thread costs more than it saves.
constexpr uint64_t kWalksPerWorker = uint64_t{1} << 15;

// Workers for walking n_rows rows through n_trees trees on up to n_jobs threads.
uint64_t row_workers(uint64_t n_rows, uint64_t n_trees, uint64_t n_jobs) {
  const uint64_t walks = n_trees == 0 ? 0 : (n_rows > UINT64_MAX / n_trees ? UINT64_MAX : n_rows * n_trees);
  return std::max<uint64_t>(1, std::min(std::max<uint64_t>(n_jobs, 1), walks / kWalksPerWorker));
}

// Every row is routed on its own, so cutting the rows into chunks, and the chunks into
// blocks, gives each row exactly what one thread gives it. route(rows, router) runs once per
// block with its range of rows.
template <class Route>
void route_rows(const PredictionMatrix& x, uint64_t n_trees, uint64_t n_jobs, Route&& route) {
  const uint64_t n = x.n_rows;
  const uint64_t nf = x.n_features;
  if (n == 0) return;
  const uint64_t workers = row_workers(n, n_trees, n_jobs);
  // The workers' blocks share the cache between them.
  const uint64_t block =
      std::max<uint64_t>(kSlots, kBlockBytes / workers / std::max<uint64_t>(1, nf * sizeof(double)));
  // for_block(rows) runs route on one block with the router for its rows.
  const auto each_block = [&](const auto& for_block) {
    parallel::for_each_chunk(
        n, workers,
        [&](const parallel::Chunk& c) {
          for (uint64_t begin = c.begin; begin < c.end; begin += block) {
            for_block(parallel::Chunk{c.index, begin, std::min(c.end, begin + block)});
          }
        },
        msg::kPredictWorkerPanicked);
  };
  const auto each_chunk = [&](const auto& router) {
    each_block([&](const parallel::Chunk& rows) { route(rows, router); });
  };
  if (!x.bins.empty()) {
    MORVEL_ASSERT(x.edges != nullptr && x.edges->size() == nf && x.bins.size() == n * nf,
                  "assertion failed: binned prediction input does not match its edges");
    BinRouter router{x.bins.data(), nf, std::vector<uint8_t>(nf)};
    for (uint64_t f = 0; f < nf; ++f) router.missing[f] = missing_bin((*x.edges)[f].size());
    each_chunk(router);
    return;
  }
  std::visit(
      [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        MORVEL_ASSERT(m.n_rows == n && m.n_features == nf,
                      "assertion failed: prediction matrix shape does not match");
        // A bin-space forest routes raw rows through thresholds taken from its edges.
        MORVEL_ASSERT(x.edges == nullptr || x.edges->size() == nf, msg::kEdgesMismatch);
        if constexpr (std::is_same_v<M, DenseMatrix>) {
          MORVEL_ASSERT(m.values.size() == n * nf, "assertion failed: prediction matrix shape does not match");
          // Each block is looked at for NaN by the worker about to walk it: the look is
          // shared out with the walks, and leaves the block in the cache for them.
          const RowRouter<true> with_nan{m.values.data(), nf};
          const RowRouter<false> without_nan{m.values.data(), nf};
          each_block([&](const parallel::Chunk& rows) {
            const double* first = m.values.data() + rows.begin * nf;
            const double* last = m.values.data() + rows.end * nf;
            if (std::any_of(first, last, [](double v) { return std::isnan(v); })) {
              route(rows, with_nan);
            } else {
              route(rows, without_nan);
            }
          });
        } else {
          each_chunk(CsrRouter{&m});
        }
      },
      x.values);
}

}  // namespace

void votes_to_proba(const uint64_t* counts, uint64_t n_classes, double* out) {
  uint64_t total = 0;
  for (uint64_t c = 0; c < n_classes; ++c) total += counts[c];
  for (uint64_t c = 0; c < n_classes; ++c) {
    out[c] = total > 0 ? static_cast<double>(counts[c]) / static_cast<double>(total) : 0.0;
  }
}

VoteTable collect_votes(const MaybeTrees& trees, uint64_t n_classes, const PredictionMatrix& x, uint64_t n_jobs) {
  const std::vector<Tree>& list = trees.list();
  VoteTable table;
  table.n_rows = x.n_rows;
  table.n_classes = n_classes;
  table.counts.assign(table_size(x.n_rows, n_classes), 0);
  if (x.n_rows == 0) return table;
  const std::vector<PackedTree> packed = pack_trees(list, x.n_features, n_classes, packing_edges(x), false, n_jobs);
  uint64_t* votes = table.counts.data();
  route_rows(x, list.size(), n_jobs, [&](const parallel::Chunk& rows, const auto& router) {
    for (const PackedTree& tree : packed) {
      checkpoint();
      if (is_empty(tree)) continue;
      tree.visit([&](const auto& flat) {
        const auto* nodes = flat.nodes.data();
        // A packed leaf's base is its class.
        walk_rows(flat, rows.begin, rows.end, router,
                  [&](uint64_t row, uint64_t at) { ++votes[row * n_classes + nodes[at].base]; });
      });
    }
  });
  return table;
}

std::vector<int64_t> apply(const FittedForest& forest, const PredictionMatrix& x, uint64_t n_jobs) {
  const std::vector<Tree>& list = forest.result.trees.list();
  const uint64_t n_trees = list.size();
  std::vector<int64_t> leaves(table_size(x.n_rows, n_trees), 0);
  if (x.n_rows == 0) return leaves;
  const std::vector<PackedTree> packed = pack_trees(list, x.n_features, forest.n_classes, packing_edges(x), true, n_jobs);
  int64_t* out = leaves.data();
  route_rows(x, n_trees, n_jobs, [&](const parallel::Chunk& rows, const auto& router) {
    for (uint64_t t = 0; t < n_trees; ++t) {
      checkpoint();
      if (is_empty(packed[t])) continue;
      const std::vector<uint64_t>& order = packed[t].order;
      packed[t].visit([&](const auto& flat) {
        walk_rows(flat, rows.begin, rows.end, router, [&](uint64_t row, uint64_t at) {
          out[row * n_trees + t] = static_cast<int64_t>(order[at]);
        });
      });
    }
  });
  return leaves;
}

std::vector<uint64_t> predict(const FittedForest& forest, const PredictionMatrix& x, uint64_t n_jobs) {
  const VoteTable votes = collect_votes(forest.result.trees, forest.n_classes, x, n_jobs);
  std::vector<uint64_t> classes(votes.n_rows, 0);
  for (uint64_t r = 0; r < votes.n_rows; ++r) {
    const uint64_t* row = votes.row(r);
    // Strictly greater replaces: on a tie the lowest class index wins.
    uint64_t best = 0;
    for (uint64_t c = 1; c < votes.n_classes; ++c) {
      if (row[c] > row[best]) best = c;
    }
    classes[r] = best;
  }
  return classes;
}

namespace {

// Row-major probabilities of a table of vote counts (prediction or out-of-bag votes).
template <class Votes>
std::vector<double> proba_of(const Votes& votes) {
  std::vector<double> proba(table_size(votes.n_rows, votes.n_classes));
  for (uint64_t r = 0; r < votes.n_rows; ++r) {
    votes_to_proba(votes.row(r), votes.n_classes, proba.data() + r * votes.n_classes);
  }
  return proba;
}

}  // namespace

std::vector<double> predict_proba(const FittedForest& forest, const PredictionMatrix& x, uint64_t n_jobs) {
  return proba_of(collect_votes(forest.result.trees, forest.n_classes, x, n_jobs));
}

std::vector<double> oob_predict_proba(const FittedForest& forest) {
  if (!forest.result.oob_votes) throw StateError(msg::kOobUnavailable);
  return proba_of(*forest.result.oob_votes);
}

}  // namespace morvel
