// Merging partial fits. Each part holds the trees of one index range, trained exactly as the
// whole fit trains them; what the whole fit accumulates across trees is rebuilt here in tree
// index order (integer vote sums, and the permutation means step by step), so the merged
// forest equals the whole fit bit for bit.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "forest/fit_loop.h"
#include "morvel/api.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

[[noreturn]] void refuse(const std::string& what) {
  throw ValidationError("cannot merge forests: " + what);
}

// Bit equality: two fits of the same data made the same edges, -0.0 and NaN included.
bool same_edges(const std::optional<BinEdges>& a, const std::optional<BinEdges>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->size() != b->size()) return false;
  for (size_t f = 0; f < a->size(); ++f) {
    const std::vector<double>& x = (*a)[f];
    const std::vector<double>& y = (*b)[f];
    if (x.size() != y.size()) return false;
    if (!x.empty() && std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) != 0) return false;
  }
  return true;
}

void check_compatible(const ModelView& first, const ModelView& other) {
  const FittedForest& a = *first.forest;
  const FittedForest& b = *other.forest;
  if (a.n_features != b.n_features || a.n_classes != b.n_classes || a.n_rows != b.n_rows)
    refuse("they were fitted on data of different shapes or classes");
  if (a.n_estimators != b.n_estimators) refuse("they are parts of forests of different sizes");
  if (a.settings_digest != b.settings_digest)
    refuse("they were fitted with different settings, labels or weights");
  if (!std::equal(first.training_order.begin(), first.training_order.end(), other.training_order.begin(),
                  other.training_order.end()))
    refuse("they were fitted on different data");
  if (!same_edges(a.edges, b.edges)) refuse("they were fitted with different bin edges");
  if (a.result.oob_votes.has_value() != b.result.oob_votes.has_value() ||
      a.result.permutation_stats.has_value() != b.result.permutation_stats.has_value())
    refuse("they collected different out-of-bag statistics");
}

}  // namespace

FittedForest merge_forests(std::span<const ModelView> parts) {
  if (parts.empty()) refuse("no forests were given");
  std::vector<const ModelView*> sorted;
  for (const ModelView& part : parts) {
    MORVEL_ASSERT(part.forest != nullptr, "assertion failed: merge parts are present");
    MORVEL_ASSERT(part.forest->result.trees.has_trees &&
                      part.forest->result.trees.size() == part.forest->tree_end - part.forest->tree_begin,
                  "assertion failed: a fitted forest holds the trees of its range");
    check_compatible(parts.front(), part);
    sorted.push_back(&part);
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const ModelView* a, const ModelView* b) {
    return a->forest->tree_begin < b->forest->tree_begin;
  });
  for (size_t i = 1; i < sorted.size(); ++i) {
    const uint64_t end = sorted[i - 1]->forest->tree_end;
    const uint64_t begin = sorted[i]->forest->tree_begin;
    if (begin < end) {
      refuse("their tree ranges overlap (trees " + std::to_string(begin) + ".." + std::to_string(end) +
             " appear twice)");
    }
    if (begin > end) {
      refuse("their tree ranges leave a gap (trees " + std::to_string(end) + ".." + std::to_string(begin) +
             " are missing)");
    }
  }

  const FittedForest& head = *sorted.front()->forest;
  FittedForest out;
  out.edges = head.edges;
  out.n_classes = head.n_classes;
  out.n_features = head.n_features;
  out.n_rows = head.n_rows;
  out.n_estimators = head.n_estimators;
  out.settings_digest = head.settings_digest;
  out.tree_begin = head.tree_begin;
  out.tree_end = sorted.back()->forest->tree_end;

  ForestResult& result = out.result;
  result.trees.has_trees = true;
  result.trees.trees.reserve(out.tree_end - out.tree_begin);
  if (head.result.oob_votes) result.oob_votes.emplace(out.n_rows, out.n_classes);
  const bool permutation = head.result.permutation_stats.has_value();
  for (const ModelView* part : sorted) {
    const ForestResult& r = part->forest->result;
    result.trees.trees.insert(result.trees.trees.end(), r.trees.trees.begin(), r.trees.trees.end());
    if (result.oob_votes) {
      std::vector<uint64_t>& sum = result.oob_votes->counts;
      const std::vector<uint64_t>& add = r.oob_votes->counts;
      MORVEL_ASSERT(add.size() == sum.size(), "assertion failed: out-of-bag tables differ in size");
      for (size_t i = 0; i < sum.size(); ++i) sum[i] += add[i];
    }
    if (permutation) {
      MORVEL_ASSERT(r.permutation_trees.size() == r.trees.size(), "assertion failed: one permutation record per tree");
      result.permutation_trees.insert(result.permutation_trees.end(), r.permutation_trees.begin(),
                                      r.permutation_trees.end());
    }
  }
  if (permutation) result.permutation_stats = permutation_stats_in_tree_order(result.permutation_trees);
  return out;
}

}  // namespace morvel
