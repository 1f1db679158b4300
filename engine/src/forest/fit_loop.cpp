// The forest fit loop. Each tree draws everything from Rng::for_tree(seed, t) in a fixed
// order (sample, growth, permutation shuffle), so a tree does not depend on which worker
// trains it. Workers merge in the order they finish, and the trees are then stored in index
// order; see fit_loop.h.
#include "forest/fit_loop.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>

#include "forest/bootstrap.h"
#include "forest/memory_limits.h"
#include "forest/permutation.h"
#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"
#include "data/rng.h"
#include "parallel/parallel.h"
#include "tree/grow.h"

namespace morvel {
namespace {

// Everything one worker reuses across its trees.
struct ForestScratch {
  WorkerScratch grow;
  PermutationScratch permutation;
};

ForestResult empty_worker_result(const TrainingContext& ctx, const ForestSettings& settings) {
  ForestResult result;
  result.trees.has_trees = true;
  if (settings.oob) result.oob_votes.emplace(ctx.n_rows, ctx.n_classes);
  if (settings.permutation_importance) result.permutation_stats.emplace();
  return result;
}

void train_one(const TrainingContext& ctx, const ForestSettings& settings, uint64_t tree_index,
               ForestScratch& scratch, ForestResult& result) {
  Rng rng = Rng::for_tree(settings.seed, tree_index);
  const uint64_t draws = settings.max_samples.value_or(ctx.n_rows);
  const bool reads_out_of_bag = settings.oob || settings.permutation_importance;

  // The last tree's index array is not needed any more; releasing it first keeps one array
  // of the sample's size per worker instead of two while the next sample is drawn.
  RowBuffer().swap(scratch.grow.rows);
  TreeSample sample;
  const bool weighted = settings.bootstrap && ctx.growth.extra_trees;
  if (!settings.bootstrap) {
    sample = no_bootstrap(ctx);
  } else if (weighted) {
    sample = weighted_bootstrap(ctx, draws, rng, reads_out_of_bag);  // balances inline
  } else {
    sample = uniform_bootstrap(ctx, draws, rng, reads_out_of_bag);
  }
  if (ctx.growth.balanced_subsample && !weighted) balance_subsample(ctx, sample);

  const TreeWeights weights{
      sample.weights ? std::span<const double>(*sample.weights) : std::span<const double>(ctx.weights),
      sample.w_total, sample.min_leaf_weight, !sample.weights && ctx.unit_weights};
  const bool prunes = ctx.growth.ccp_alpha > 0.0;
  // Growth reorders its index array in place. Pruning needs the bag in its drawn order
  // afterwards, so only then is the bag copied; otherwise it becomes the index array.
  if (!prunes) scratch.grow.rows = std::move(sample.in_bag);
  const std::span<const RowIndex> in_bag = prunes ? std::span<const RowIndex>(sample.in_bag)
                                                  : std::span<const RowIndex>(scratch.grow.rows);
  Tree tree = grow_tree(ctx, weights, in_bag, settings, rng, scratch.grow);
  if (prunes) prune_tree(tree, ctx, weights, sample.in_bag, ctx.growth.ccp_alpha, scratch.grow);

  OobVotes* votes = result.oob_votes ? &*result.oob_votes : nullptr;
  if (settings.permutation_importance) {
    permutation_pass(tree, ctx, sample.out_of_bag, rng, *result.permutation_stats, result.permutation_trees, votes,
                     scratch.permutation);
  } else if (votes != nullptr) {
    collect_oob_votes(tree, ctx, sample.out_of_bag, *votes, scratch.grow.buffers);
  }
  result.trees.trees.push_back(std::move(tree));
}

// What a worker hands back: its result, the index of each of its trees, the position at
// which it finished, or its failure.
struct WorkerOutput {
  ForestResult result;
  std::vector<uint64_t> tree_indices;
  uint64_t arrival = 0;
  std::exception_ptr failure;
};

// One worker: the trees of first..last-1 in index order, on the calling thread.
ForestResult train_in_order(const TrainingContext& ctx, const ForestSettings& settings, uint64_t first,
                            uint64_t last) {
  ForestResult result = empty_worker_result(ctx, settings);
  result.trees.trees.reserve(last - first);
  ForestScratch scratch;
  for (uint64_t t = first; t < last; ++t) {
    checkpoint();
    train_one(ctx, settings, t, scratch, result);
  }
  return result;
}

// Workers take tree indices from one counter until first..last-1 are all taken.
std::vector<WorkerOutput> train_on_workers(const TrainingContext& ctx, const ForestSettings& settings,
                                           uint64_t first, uint64_t last, uint64_t workers) {
  std::atomic<uint64_t> next_tree{first};
  std::atomic<uint64_t> finished{0};
  return parallel::run_workers(
      workers,
      [&](uint64_t) {
        WorkerOutput out;
        try {
          out.result = empty_worker_result(ctx, settings);
          ForestScratch scratch;
          for (uint64_t t = next_tree.fetch_add(1); t < last; t = next_tree.fetch_add(1)) {
            checkpoint();
            train_one(ctx, settings, t, scratch, out.result);
            out.tree_indices.push_back(t);
          }
        } catch (...) {
          out.failure = std::current_exception();
          // Let the other workers run dry instead of training trees nobody will keep.
          next_tree.store(last);
        }
        out.arrival = finished.fetch_add(1);
        return out;
      },
      msg::kScopedPanic);
}

// A failed worker fails the fit; running out of memory stays a memory error, and a stop
// request stays a stop request.
void rethrow_worker_failure(const std::vector<WorkerOutput>& outputs) {
  for (const WorkerOutput& out : outputs) {
    if (!out.failure) continue;
    try {
      std::rethrow_exception(out.failure);
    } catch (const Interrupted&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      throw InternalError(msg::kScopedPanic);
    }
  }
}

// The workers' results merged in the order they finished, then the trees (and permutation
// records) stored in index order, as one worker would: every sum over the stored trees (gain
// importances, TreeSHAP) then has the same terms in the same order for any n_jobs.
ForestResult merge_in_index_order(std::vector<WorkerOutput>& outputs, uint64_t first, uint64_t n_trees) {
  std::vector<WorkerOutput*> by_arrival(outputs.size());
  for (WorkerOutput& out : outputs) by_arrival[out.arrival] = &out;
  ForestResult acc;
  acc.trees.has_trees = false;
  acc.trees.count = 0;
  std::vector<uint64_t> merged_indices;
  merged_indices.reserve(n_trees);
  for (WorkerOutput* out : by_arrival) {
    merged_indices.insert(merged_indices.end(), out->tree_indices.begin(), out->tree_indices.end());
    merge_results(acc, std::move(out->result));
  }
  MORVEL_ASSERT(acc.trees.has_trees && acc.trees.trees.size() == n_trees && merged_indices.size() == n_trees,
                "assertion failed: every tree is trained exactly once");
  std::vector<Tree> ordered(n_trees);
  for (uint64_t k = 0; k < n_trees; ++k) {
    MORVEL_ASSERT(merged_indices[k] >= first && merged_indices[k] < first + n_trees,
                  "assertion failed: every tree is trained exactly once");
    ordered[merged_indices[k] - first] = std::move(acc.trees.trees[k]);
  }
  acc.trees.trees = std::move(ordered);
  // The permutation means, too, are rebuilt in index order: merged in arrival order their
  // last bits would depend on the scheduling.
  if (acc.permutation_stats) {
    MORVEL_ASSERT(acc.permutation_trees.size() == n_trees, "assertion failed: one permutation record per tree");
    std::vector<TreePermutation> records(n_trees);
    for (uint64_t k = 0; k < n_trees; ++k) records[merged_indices[k] - first] = std::move(acc.permutation_trees[k]);
    acc.permutation_trees = std::move(records);
    acc.permutation_stats = permutation_stats_in_tree_order(acc.permutation_trees);
  }
  return acc;
}

}  // namespace

void collect_oob_votes(const Tree& tree, const TrainingContext& ctx, std::span<const RowIndex> out_of_bag,
                       OobVotes& votes, BufferPool& pool) {
  if (out_of_bag.empty() || tree.nodes.empty()) return;
  struct Pending {
    uint64_t node;
    std::vector<RowIndex> rows;
  };
  // Explicit stack; the left child is pushed last so it is visited first.
  std::vector<Pending> stack;
  std::vector<RowIndex> start = pool.take();
  start.assign(out_of_bag.begin(), out_of_bag.end());
  stack.push_back(Pending{tree.root, std::move(start)});
  while (!stack.empty()) {
    Pending item = std::move(stack.back());
    stack.pop_back();
    const Node& node = tree.nodes[item.node];
    if (node.is_leaf()) {
      for (const uint64_t r : item.rows) ++votes.row(r)[node.leaf_class()];
      pool.give(std::move(item.rows));
      continue;
    }
    std::vector<RowIndex> left = pool.take();
    std::vector<RowIndex> right = pool.take();
    partition_rows(ctx, node, item.rows, left, right);
    pool.give(std::move(item.rows));
    if (!right.empty()) {
      stack.push_back(Pending{node.right(), std::move(right)});
    } else {
      pool.give(std::move(right));
    }
    if (!left.empty()) {
      stack.push_back(Pending{node.left(), std::move(left)});
    } else {
      pool.give(std::move(left));
    }
  }
}

void merge_results(ForestResult& acc, ForestResult&& incoming) {
  if (acc.trees.size() == 0) {
    acc = std::move(incoming);
    return;
  }
  MORVEL_ASSERT(acc.trees.has_trees == incoming.trees.has_trees, msg::kMergeMixed);
  if (acc.trees.has_trees) {
    acc.trees.trees.insert(acc.trees.trees.end(), std::make_move_iterator(incoming.trees.trees.begin()),
                           std::make_move_iterator(incoming.trees.trees.end()));
  } else {
    acc.trees.count += incoming.trees.count;
  }

  if (!acc.oob_votes || !incoming.oob_votes) {
    acc.oob_votes.reset();
  } else {
    std::vector<uint64_t>& a = acc.oob_votes->counts;
    const std::vector<uint64_t>& b = incoming.oob_votes->counts;
    MORVEL_ASSERT(a.size() == b.size(), "assertion failed: out-of-bag tables differ in size");
    for (size_t i = 0; i < a.size(); ++i) a[i] += b[i];
  }

  if (!acc.permutation_stats || !incoming.permutation_stats) {
    acc.permutation_stats.reset();
    acc.permutation_trees.clear();
  } else {
    acc.permutation_trees.insert(acc.permutation_trees.end(),
                                 std::make_move_iterator(incoming.permutation_trees.begin()),
                                 std::make_move_iterator(incoming.permutation_trees.end()));
    PermutationStats& a = *acc.permutation_stats;
    for (const auto& [feature, entry] : *incoming.permutation_stats) {
      const auto found = a.find(feature);
      if (found == a.end()) {
        a.emplace(feature, entry);
        continue;
      }
      if (entry.n == 0) continue;
      PermutationEntry& mine = found->second;
      if (mine.n == 0) {
        mine = entry;
        continue;
      }
      const uint64_t n = mine.n + entry.n;
      mine.mean = (mine.mean * static_cast<double>(mine.n) + entry.mean * static_cast<double>(entry.n)) /
                  static_cast<double>(n);
      mine.n = n;
    }
  }
}

PermutationStats permutation_stats_in_tree_order(const std::vector<TreePermutation>& trees) {
  PermutationStats stats;
  for (const TreePermutation& tree : trees) add_tree_permutation(stats, tree);
  return stats;
}

ForestResult fit_forest(const TrainingContext& ctx, const ForestSettings& settings, uint64_t tree_workers) {
  const uint64_t first = settings.tree_begin;
  const uint64_t last = std::min(settings.tree_end, settings.n_estimators);
  MORVEL_ASSERT(first < last, "assertion failed: the tree range holds at least one tree");
  const uint64_t n_trees = last - first;
  MORVEL_ASSERT(tree_workers > 0, msg::kThreadsPositive);
  // Trees are taken one at a time from a counter and stored by index, so the forest does
  // not depend on how many threads train it; a huge n_jobs gets a bounded pool.
  const uint64_t workers = std::min({tree_workers, n_trees, parallel::thread_limit()});
  // Before the first draw: a size that can never fit is refused here, not halfway through.
  check_forest_fits_in_memory(ctx, settings, workers);
  check_tree_positions_fit(ctx.n_rows, settings);

  if (workers <= 1) return train_in_order(ctx, settings, first, last);
  std::vector<WorkerOutput> outputs = train_on_workers(ctx, settings, first, last, workers);
  rethrow_worker_failure(outputs);
  return merge_in_index_order(outputs, first, n_trees);
}

}  // namespace morvel
