// What a successful fit leaves behind, and the per-fit results the fit loop accumulates.
#pragma once

#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "morvel/bin_edges.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "morvel/tree.h"

namespace morvel {

// rows * columns for a table about to be allocated; a product beyond 64 bits could never be
// allocated, so it fails as the allocation would (MemoryError), never as a wrapped size.
inline uint64_t table_size(uint64_t rows, uint64_t columns) {
  if (columns != 0 && rows > UINT64_MAX / columns) throw std::bad_alloc();
  return rows * columns;
}

// Per training row, n_classes counters of out-of-bag votes (row-major).
struct OobVotes {
  uint64_t n_rows = 0;
  uint64_t n_classes = 0;
  std::vector<uint64_t> counts;  // n_rows * n_classes

  OobVotes() = default;
  OobVotes(uint64_t rows, uint64_t classes)
      : n_rows(rows), n_classes(classes), counts(table_size(rows, classes), 0) {}
  uint64_t* row(uint64_t r) { return counts.data() + r * n_classes; }
  const uint64_t* row(uint64_t r) const { return counts.data() + r * n_classes; }
};

// Running mean (Welford) of one feature's per-tree permutation values.
struct PermutationEntry {
  uint64_t n = 0;     // trees that contributed a value
  double mean = 0.0;  // running mean of those values
};

// Keyed by feature index. An ordered map, so every walk over it runs in feature order.
using PermutationStats = std::map<uint64_t, PermutationEntry>;

// One tree's permutation outcome: its out-of-bag row count and, per feature its permuted
// descents reached, the summed change in correct votes. The running means are rebuilt from
// these in tree index order, so they do not depend on which worker (or which partial fit)
// trained a tree.
struct TreePermutation {
  uint64_t out_of_bag = 0;
  std::vector<std::pair<uint64_t, int64_t>> deltas;  // (feature, delta), each feature once
};

// One Welford step per feature of `tree`, the order every fit applies them in.
inline void add_tree_permutation(PermutationStats& stats, const TreePermutation& tree) {
  for (const auto& [feature, delta] : tree.deltas) {
    const double x = static_cast<double>(delta) / static_cast<double>(tree.out_of_bag);
    PermutationEntry& entry = stats[feature];
    entry.n = entry.n + 1;
    entry.mean = entry.mean + (x - entry.mean) / static_cast<double>(entry.n);
  }
}

// The trees of a forest, or only their count (for callers that need statistics alone).
struct MaybeTrees {
  bool has_trees = true;
  std::vector<Tree> trees;  // when has_trees
  uint64_t count = 0;       // when !has_trees

  uint64_t size() const { return has_trees ? trees.size() : count; }
  const std::vector<Tree>& list() const {
    MORVEL_ASSERT(has_trees, msg::kTreesMissing);
    return trees;
  }
};

// The result of the fit loop: one per worker, then merged.
struct ForestResult {
  MaybeTrees trees;
  std::optional<OobVotes> oob_votes;
  std::optional<PermutationStats> permutation_stats;
  std::vector<TreePermutation> permutation_trees;  // with permutation_stats: one per tree, as stored
};

// The fitted state of a NativeForest.
struct FittedForest {
  ForestResult result;
  std::optional<BinEdges> edges;  // kept when the fit trained on histogram bins
  uint64_t n_classes = 0;
  uint64_t n_features = 0;
  uint64_t n_rows = 0;
  // The trees held are indices tree_begin..tree_end-1 of an n_estimators forest (the whole
  // forest after an ordinary fit); parts of one forest merge only with the same digest of
  // their settings and training labels and weights.
  uint64_t n_estimators = 0;
  uint64_t tree_begin = 0;
  uint64_t tree_end = 0;
  uint64_t settings_digest = 0;
};

}  // namespace morvel
