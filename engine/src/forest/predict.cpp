// Prediction by batch routing: every tree moves the whole row list from its root, each
// split partitioning a contiguous range of one index buffer (stable, so ranges stay in
// ascending row order). Small lists finish with a walk of a few rows in lockstep.
#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <variant>

#include "forest/votes.h"
#include "morvel/errors.h"
#include "morvel/messages.h"

namespace morvel {
namespace {

// A split or leaf packed into 32 bytes for routing. A leaf points both children at itself,
// so a walk can take a fixed number of steps without testing every node for a leaf.
struct FlatNode {
  static constexpr uint64_t kMissingLeft = uint64_t{1} << 63;
  static constexpr uint64_t kLeaf = uint64_t{1} << 62;

  double pivot;
  uint64_t feature_bits;  // feature, or'ed with kMissingLeft and kLeaf
  uint64_t child[2];      // [0]: right (value <= pivot), [1]: left (value > pivot)

  bool is_leaf() const { return (feature_bits & kLeaf) != 0; }
  uint64_t feature() const { return feature_bits & ~(kMissingLeft | kLeaf); }
  bool missing_left() const { return (feature_bits & kMissingLeft) != 0; }
};

struct FlatTree {
  std::vector<FlatNode> nodes;
  std::vector<uint64_t> leaf_class;  // per node; meaningful at leaves
};

void flatten(const Tree& tree, uint64_t n_features, FlatTree& flat) {
  const uint64_t size = tree.nodes.size();
  flat.nodes.resize(size);
  flat.leaf_class.assign(size, 0);
  for (uint64_t i = 0; i < size; ++i) {
    const Node& n = tree.nodes[i];
    if (n.is_leaf()) {
      // Feature 0 exists in every input, so a leaf's dummy test reads a valid value.
      flat.nodes[i] = FlatNode{0.0, FlatNode::kLeaf, {i, i}};
      flat.leaf_class[i] = n.leaf_class;
      continue;
    }
    MORVEL_ASSERT(n.feature < n_features && n.left < size && n.right < size,
                  "index out of bounds: split refers outside the tree or the input");
    flat.nodes[i] = FlatNode{n.pivot, n.feature | (n.missing_left() ? FlatNode::kMissingLeft : 0),
                             {n.right, n.left}};
  }
}

// Routers answer the routing rule for one row at one split. Raw values: NaN > pivot is
// false, so a NaN goes left only through missing_left.
struct RowRouter {
  const double* values;  // row-major, as the caller's rows come
  uint64_t n_features;
  bool left(const FlatNode& split, uint64_t row) const {
    const double v = values[row * n_features + split.feature()];
    return (v > split.pivot) | (std::isnan(v) & split.missing_left());
  }
};

// Bin bytes, row-major; the missing-value bin of feature f is edges[f].size() + 1.
struct BinRouter {
  const uint8_t* bins;
  uint64_t n_features;
  std::vector<uint8_t> missing;  // per feature
  bool left(const FlatNode& split, uint64_t row) const {
    const uint64_t f = split.feature();
    const uint8_t b = bins[row * n_features + f];
    if (b == missing[f]) return split.missing_left();
    return static_cast<double>(b) > split.pivot;
  }
};

// CSR input read in place; absent entries are 0.0.
struct CsrRouter {
  const CsrMatrix* csr;
  bool left(const FlatNode& split, uint64_t row) const {
    const double v = csr->at(row, split.feature());
    return (v > split.pivot) | (std::isnan(v) & split.missing_left());
  }
};

// CSR input of a bin-space forest: each looked-up value is binned with the fitted edges.
struct CsrBinRouter {
  const CsrMatrix* csr;
  const BinEdges* edges;
  bool left(const FlatNode& split, uint64_t row) const {
    const double v = csr->at(row, split.feature());
    if (std::isnan(v)) return split.missing_left();
    return static_cast<double>(bin_of((*edges)[split.feature()], v)) > split.pivot;
  }
};

// Rows walked together: their node loads are independent, so their latencies overlap.
constexpr uint64_t kLockstep = 16;
// Steps between checks whether every row of a group has reached its leaf.
constexpr int kStepsPerCheck = 4;

// Routes every row through one tree and adds its vote. Rows go in groups of kLockstep
// consecutive rows; within a group each step moves every row one level down.
template <class Router>
void vote_tree(const FlatTree& flat, uint64_t root, uint64_t begin, uint64_t n_rows, const Router& router,
               uint64_t n_classes, std::vector<uint64_t>& counts) {
  const FlatNode* nodes = flat.nodes.data();
  const uint64_t* leaf_class = flat.leaf_class.data();
  uint64_t* votes = counts.data();
  uint64_t first = begin;
  for (; first + kLockstep <= n_rows; first += kLockstep) {
    uint64_t at[kLockstep];
    for (uint64_t k = 0; k < kLockstep; ++k) at[k] = root;
    for (;;) {
      for (int step = 0; step < kStepsPerCheck; ++step) {
        for (uint64_t k = 0; k < kLockstep; ++k) {
          const FlatNode& node = nodes[at[k]];
          at[k] = node.child[router.left(node, first + k) ? 1 : 0];
        }
      }
      bool done = true;
      for (uint64_t k = 0; k < kLockstep; ++k) done &= nodes[at[k]].is_leaf();
      if (done) break;
    }
    for (uint64_t k = 0; k < kLockstep; ++k) ++votes[(first + k) * n_classes + leaf_class[at[k]]];
  }
  for (uint64_t row = first; row < n_rows; ++row) {
    uint64_t at = root;
    while (!nodes[at].is_leaf()) at = nodes[at].child[router.left(nodes[at], row) ? 1 : 0];
    ++votes[row * n_classes + leaf_class[at]];
  }
}

template <class Router>
VoteTable vote_all(const std::vector<Tree>& trees, const Router& router, uint64_t n_classes, uint64_t n_rows,
                   uint64_t n_features) {
  VoteTable table;
  table.n_rows = n_rows;
  table.n_classes = n_classes;
  table.counts.assign(n_rows * n_classes, 0);
  if (n_rows == 0) return table;
  std::vector<FlatTree> flat(trees.size());
  std::vector<uint64_t> roots(trees.size());
  for (size_t t = 0; t < trees.size(); ++t) {
    if (trees[t].nodes.empty()) continue;
    MORVEL_ASSERT(trees[t].root < trees[t].nodes.size(), "index out of bounds: root outside the tree");
    flatten(trees[t], n_features, flat[t]);
    roots[t] = trees[t].root;
  }
  for (size_t t = 0; t < trees.size(); ++t) {
    if (flat[t].nodes.empty()) continue;
    vote_tree(flat[t], roots[t], 0, n_rows, router, n_classes, table.counts);
  }
  return table;
}

}  // namespace

void votes_to_proba(const uint64_t* counts, uint64_t n_classes, double* out) {
  uint64_t total = 0;
  for (uint64_t c = 0; c < n_classes; ++c) total += counts[c];
  for (uint64_t c = 0; c < n_classes; ++c) {
    out[c] = total > 0 ? static_cast<double>(counts[c]) / static_cast<double>(total) : 0.0;
  }
}

VoteTable collect_votes(const MaybeTrees& trees, uint64_t n_classes, const PredictionMatrix& x) {
  const std::vector<Tree>& list = trees.list();
  const uint64_t n = x.n_rows;
  const uint64_t nf = x.n_features;
  if (!x.bins.empty()) {
    MORVEL_ASSERT(x.edges != nullptr && x.edges->size() == nf && x.bins.size() == n * nf,
                  "assertion failed: binned prediction input does not match its edges");
    BinRouter router{x.bins.data(), nf, std::vector<uint8_t>(nf)};
    for (uint64_t f = 0; f < nf; ++f) router.missing[f] = missing_bin((*x.edges)[f].size());
    return vote_all(list, router, n_classes, n, nf);
  }
  return std::visit(
      [&](const auto& m) -> VoteTable {
        using M = std::decay_t<decltype(m)>;
        MORVEL_ASSERT(m.n_rows == n && m.n_features == nf,
                      "assertion failed: prediction matrix shape does not match");
        if constexpr (std::is_same_v<M, DenseMatrix>) {
          MORVEL_ASSERT(x.edges == nullptr, "assertion failed: dense input of a binned forest is not binned");
          MORVEL_ASSERT(m.values.size() == n * nf, "assertion failed: prediction matrix shape does not match");
          return vote_all(list, RowRouter{m.values.data(), nf}, n_classes, n, nf);
        } else {
          if (x.edges != nullptr) {
            MORVEL_ASSERT(x.edges->size() == nf, msg::kEdgesMismatch);
            return vote_all(list, CsrBinRouter{&m, x.edges}, n_classes, n, nf);
          }
          return vote_all(list, CsrRouter{&m}, n_classes, n, nf);
        }
      },
      x.values);
}

std::vector<uint64_t> predict(const FittedForest& forest, const PredictionMatrix& x) {
  const VoteTable votes = collect_votes(forest.result.trees, forest.n_classes, x);
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

std::vector<double> predict_proba(const FittedForest& forest, const PredictionMatrix& x) {
  const VoteTable votes = collect_votes(forest.result.trees, forest.n_classes, x);
  std::vector<double> proba(votes.n_rows * votes.n_classes);
  for (uint64_t r = 0; r < votes.n_rows; ++r) {
    votes_to_proba(votes.row(r), votes.n_classes, proba.data() + r * votes.n_classes);
  }
  return proba;
}

std::vector<double> oob_predict_proba(const FittedForest& forest) {
  if (!forest.result.oob_votes) throw StateError(msg::kOobUnavailable);
  const OobVotes& votes = *forest.result.oob_votes;
  std::vector<double> proba(votes.n_rows * votes.n_classes);
  for (uint64_t r = 0; r < votes.n_rows; ++r) {
    votes_to_proba(votes.row(r), votes.n_classes, proba.data() + r * votes.n_classes);
  }
  return proba;
}

}  // namespace morvel
