#include "forest/memory_limits.h"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string>

#include "morvel/errors.h"
#include "morvel/forest.h"
#include "morvel/matrix.h"
#include "morvel/tree.h"

namespace morvel {
namespace {

// count * each * copies bytes, saturating: a product beyond 64 bits can never fit.
uint64_t bytes_of(uint64_t count, uint64_t each, uint64_t copies = 1) {
  uint64_t one = 0;
  uint64_t all = 0;
  if (__builtin_mul_overflow(count, each, &one) || __builtin_mul_overflow(one, copies, &all))
    return std::numeric_limits<uint64_t>::max();
  return all;
}

// The message is built only for a refusal.
template <class Describe>
void require(uint64_t bytes, Describe&& what) {
  if (bytes > memory_limit_bytes()) throw MemoryLimitError("cannot allocate " + what());
}

}  // namespace

uint64_t memory_limit_bytes() {
  const uint64_t address_space = std::numeric_limits<std::size_t>::max();
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return address_space;  // unknown: only the address space
  return std::min(address_space, bytes_of(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size)));
}

void check_feature_tables_fit(uint64_t n_features) {
  // A column start (plus the end marker), a candidate entry and an edge list per feature.
  const uint64_t per_feature = sizeof(uint64_t) + sizeof(uint64_t) + sizeof(std::vector<double>);
  const uint64_t bytes = n_features == std::numeric_limits<uint64_t>::max()
                             ? n_features
                             : bytes_of(n_features + 1, per_feature);
  require(bytes, [&] { return "per-feature tables for " + std::to_string(n_features) + " features"; });
}

void check_forest_fits_in_memory(const TrainingContext& ctx, const ForestSettings& settings,
                                 uint64_t tree_workers) {
  const uint64_t workers = std::max<uint64_t>(1, std::min(tree_workers, settings.n_estimators));

  // The tree list is reserved whole, with one node at least behind every tree.
  require(bytes_of(settings.n_estimators, sizeof(Tree) + sizeof(Node)),
          [&] { return std::to_string(settings.n_estimators) + " trees (n_estimators=" +
                       std::to_string(settings.n_estimators) + ")"; });

  // Every bootstrap is max_samples draws, listed once per draw by the uniform bootstrap and
  // counted by the weighted one. The same limit holds for both, so a draw count is accepted
  // or refused whatever the trees' kind; past it the weighted draws alone would run for
  // hours. Up to n_rows draws the list is no larger than the labels already held.
  if (settings.bootstrap && settings.max_samples && *settings.max_samples > ctx.n_rows) {
    const uint64_t draws = *settings.max_samples;
    require(bytes_of(draws, sizeof(RowIndex), workers),
            [&] { return std::to_string(draws) + " bootstrap draws per tree (max_samples=" + std::to_string(draws) + ")"; });
  }

  // Class tables are sized by the largest label, not by the classes present. Every tree
  // measures its root's class weights; with two classes present the root is searched and
  // split, which takes per-class sums and both children's class weights as well.
  bool mixed = false;
  for (const ClassIndex label : ctx.labels) {
    if (label != ctx.labels.front()) {
      mixed = true;
      break;
    }
  }
  const uint64_t tables = mixed ? 3 : 1;
  require(bytes_of(ctx.n_classes, tables * sizeof(double), workers),
          [&] { return "class tables for " + std::to_string(ctx.n_classes) + " classes (largest label " +
                       std::to_string(ctx.n_classes - 1) + ")"; });

  // One vote table per worker, added up at the end.
  if (settings.oob || settings.permutation_importance) {
    const uint64_t cells = bytes_of(ctx.n_rows, ctx.n_classes);
    require(bytes_of(cells, sizeof(uint64_t), workers),
            [&] { return "out-of-bag votes for " + std::to_string(ctx.n_rows) + " rows and " +
                         std::to_string(ctx.n_classes) + " classes"; });
  }
}

void check_tree_positions_fit(uint64_t n_rows, const ForestSettings& settings) {
  // Leaves of one tree: at most one per entry of its index list, one per distinct row (the
  // entries of a row always go the same way), `max_leaves`, and 2^max_depth.
  constexpr uint64_t kMaxLeaves = Node::kMaxNodes / 2;  // 2^32 - 1 nodes at most
  uint64_t leaves = std::min(n_rows, settings.bootstrap ? settings.max_samples.value_or(n_rows) : n_rows);
  leaves = std::min(leaves, settings.max_leaves);
  if (settings.max_depth < 64) leaves = std::min(leaves, uint64_t{1} << settings.max_depth);
  if (leaves > kMaxLeaves) {
    throw ValidationError("trees on more than " + std::to_string(kMaxLeaves) +
                          " rows could exceed the node limit of a tree; limit them with max_samples, "
                          "max_leaves (at most " + std::to_string(kMaxLeaves) + ") or max_depth (at most 31)");
  }
}

}  // namespace morvel
