// Prediction by batch routing: every tree moves the whole row list from its root, each
// split partitioning a contiguous range of one index buffer. Partitions are stable, so
// every range stays in ascending row order and a feature-major copy of the input is read
// front to back at every node.
#include <cmath>
#include <string>
#include <type_traits>
#include <variant>

#include "forest/votes.h"
#include "morvel/errors.h"
#include "morvel/messages.h"

namespace morvel {
namespace {

// Raw values, feature-major: column f at f * n_rows.
struct ColumnRouter {
  std::vector<double> columns;
  uint64_t n_rows = 0;

  // NaN > pivot is false, so a NaN goes left only through missing_left.
  bool left(const Node& split, uint64_t row) const {
    const double v = columns[split.feature * n_rows + row];
    return (v > split.pivot) | (std::isnan(v) & split.missing_left());
  }
};

// Bin bytes, feature-major; the missing-value bin of feature f is edges[f].size() + 1.
struct BinColumnRouter {
  std::vector<uint8_t> columns;
  std::vector<uint8_t> missing;  // per feature
  uint64_t n_rows = 0;

  bool left(const Node& split, uint64_t row) const {
    const uint8_t b = columns[split.feature * n_rows + row];
    if (b == missing[split.feature]) return split.missing_left();
    return static_cast<double>(b) > split.pivot;
  }
};

// CSR input read in place; absent entries are 0.0.
struct CsrRouter {
  const CsrMatrix* csr;
  bool left(const Node& split, uint64_t row) const { return goes_left(split, csr->at(row, split.feature)); }
};

// CSR input of a bin-space forest: each looked-up value is binned with the fitted edges.
struct CsrBinRouter {
  const CsrMatrix* csr;
  const BinEdges* edges;
  bool left(const Node& split, uint64_t row) const {
    const double v = csr->at(row, split.feature);
    if (std::isnan(v)) return split.missing_left();
    return static_cast<double>(bin_of((*edges)[split.feature], v)) > split.pivot;
  }
};

// The per-call row buffers: the index list being partitioned and the spill of right-hand
// rows. Both are sized once and reused by every node of every tree.
struct RowBuffers {
  std::vector<uint64_t> rows;
  std::vector<uint64_t> spill;
  struct Range {
    uint64_t node, lo, hi;
  };
  std::vector<Range> stack;
};

template <class Router>
void vote_tree(const Tree& tree, const Router& router, uint64_t n_classes, RowBuffers& buf,
               std::vector<uint64_t>& counts) {
  const uint64_t n = buf.rows.size();
  for (uint64_t i = 0; i < n; ++i) buf.rows[i] = i;
  uint64_t* rows = buf.rows.data();
  uint64_t* spill = buf.spill.data();
  buf.stack.clear();
  buf.stack.push_back({tree.root, 0, n});
  while (!buf.stack.empty()) {
    const RowBuffers::Range range = buf.stack.back();
    buf.stack.pop_back();
    const Node& node = tree.nodes[range.node];
    if (node.is_leaf()) {
      uint64_t* base = counts.data() + node.leaf_class;
      for (uint64_t i = range.lo; i < range.hi; ++i) ++base[rows[i] * n_classes];
      continue;
    }
    // Branch-free stable partition: left rows compact in place, right rows to the spill.
    uint64_t w = range.lo;
    uint64_t s = 0;
    for (uint64_t i = range.lo; i < range.hi; ++i) {
      const uint64_t r = rows[i];
      const bool go_left = router.left(node, r);
      rows[w] = r;
      spill[s] = r;
      w += go_left ? 1 : 0;
      s += go_left ? 0 : 1;
    }
    std::copy(spill, spill + s, rows + w);
    // Right pushed first so the left subtree is walked first.
    if (range.hi > w) buf.stack.push_back({node.right, w, range.hi});
    if (w > range.lo) buf.stack.push_back({node.left, range.lo, w});
  }
}

template <class Router>
VoteTable vote_all(const std::vector<Tree>& trees, const Router& router, uint64_t n_classes, uint64_t n_rows) {
  VoteTable table;
  table.n_rows = n_rows;
  table.n_classes = n_classes;
  table.counts.assign(n_rows * n_classes, 0);
  if (n_rows == 0) return table;
  RowBuffers buf;
  buf.rows.resize(n_rows);
  buf.spill.resize(n_rows);
  for (const Tree& tree : trees) {
    if (tree.nodes.empty()) continue;
    vote_tree(tree, router, n_classes, buf, table.counts);
  }
  return table;
}

std::vector<double> to_columns(const DenseMatrix& m) {
  std::vector<double> columns(m.n_rows * m.n_features);
  for (uint64_t r = 0; r < m.n_rows; ++r) {
    const double* src = m.values.data() + r * m.n_features;
    for (uint64_t f = 0; f < m.n_features; ++f) columns[f * m.n_rows + r] = src[f];
  }
  return columns;
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
    BinColumnRouter router;
    router.n_rows = n;
    router.columns.resize(n * nf);
    for (uint64_t r = 0; r < n; ++r) {
      for (uint64_t f = 0; f < nf; ++f) router.columns[f * n + r] = x.bins[r * nf + f];
    }
    router.missing.resize(nf);
    for (uint64_t f = 0; f < nf; ++f) router.missing[f] = missing_bin((*x.edges)[f].size());
    return vote_all(list, router, n_classes, n);
  }
  return std::visit(
      [&](const auto& m) -> VoteTable {
        using M = std::decay_t<decltype(m)>;
        MORVEL_ASSERT(m.n_rows == n && m.n_features == nf,
                      "assertion failed: prediction matrix shape does not match");
        if constexpr (std::is_same_v<M, DenseMatrix>) {
          MORVEL_ASSERT(x.edges == nullptr, "assertion failed: dense input of a binned forest is not binned");
          ColumnRouter router{to_columns(m), n};
          return vote_all(list, router, n_classes, n);
        } else {
          if (x.edges != nullptr) {
            MORVEL_ASSERT(x.edges->size() == nf, msg::kEdgesMismatch);
            return vote_all(list, CsrBinRouter{&m, x.edges}, n_classes, n);
          }
          return vote_all(list, CsrRouter{&m}, n_classes, n);
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
