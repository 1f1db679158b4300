// The permutation pass of one tree. The normal walk partitions the out-of-bag rows once;
// a permuted descent for feature f starts only at the topmost split on f of each path and
// reuses the rows that reached it, so the tree is walked once per distinct feature
// occurrence rather than once per feature. Row pairs (evaluated row, donor row) live in two
// parallel arrays and every node works on a contiguous range of them.
#include "forest/permutation.h"

#include "morvel/errors.h"
#include "morvel/messages.h"
#include "tree/routing.h"

namespace morvel {
namespace {

template <class Router>
class Pass {
 public:
  Pass(const Tree& tree, const TrainingContext& ctx, const Router& router, PermutationScratch& s)
      : tree_(tree), labels_(ctx.labels), router_(router), s_(s) {}

  // Normal mode: route by each evaluated row's own values and record the leaf class.
  void normal(uint64_t at, uint64_t lo, uint64_t hi) {
    const Node& node = tree_.nodes[at];
    if (node.is_leaf()) {
      for (uint64_t i = lo; i < hi; ++i) s_.direct[s_.rows[i]] = DirectVote{1, node.leaf_class()};
      return;
    }
    const uint64_t f = node.feature();
    ++s_.on_path[f];
    const uint64_t mid = partition(node, lo, hi, /*by_donor=*/false);
    if (mid > lo) normal(node.left(), lo, mid);
    if (hi > mid) normal(node.right(), mid, hi);
    --s_.on_path[f];
    // Direct votes of every row below this node are known now, so the permuted descent
    // can compare against them. A feature already split on above owns the descent there.
    if (s_.on_path[f] == 0) permuted(at, lo, hi, f);
  }

 private:
  // Permuted mode for feature f: splits on f route by the donor's value, others by the
  // evaluated row's own value.
  void permuted(uint64_t at, uint64_t lo, uint64_t hi, uint64_t f) {
    const Node& node = tree_.nodes[at];
    if (node.is_leaf()) {
      leaf_delta(node.leaf_class(), lo, hi, f);
      return;
    }
    const uint64_t mid = partition(node, lo, hi, /*by_donor=*/node.feature() == f);
    if (mid > lo) permuted(node.left(), lo, mid, f);
    if (hi > mid) permuted(node.right(), mid, hi, f);
  }

  // +1 when the permutation broke a correct prediction, -1 when it fixed a wrong one.
  void leaf_delta(uint64_t k, uint64_t lo, uint64_t hi, uint64_t f) {
    int64_t total = 0;
    for (uint64_t i = lo; i < hi; ++i) {
      const uint64_t r = s_.rows[i];
      const DirectVote& direct = s_.direct[r];
      MORVEL_ASSERT(direct.set != 0, msg::kDirectVotesMissing);
      const uint64_t p = direct.klass;
      const uint64_t y = labels_[r];
      if (k == p) continue;
      MORVEL_ASSERT(!(p == y && k == y), msg::kIdenticalPredictions);
      if (p == y) {
        total += 1;
      } else if (k == y) {
        total -= 1;
      }
    }
    if (!s_.has_delta[f]) {
      s_.has_delta[f] = 1;
      s_.delta[f] = 0;
      s_.delta_order.push_back(f);
    }
    s_.delta[f] += total;
  }

  // Stable partition of the pairs in [lo, hi): pairs going left first. Returns the split.
  uint64_t partition(const Node& node, uint64_t lo, uint64_t hi, bool by_donor) {
    s_.spill_rows.clear();
    s_.spill_donors.clear();
    uint64_t write = lo;
    for (uint64_t i = lo; i < hi; ++i) {
      const uint64_t row = s_.rows[i];
      const uint64_t donor = s_.donors[i];
      if (router_.left(node, by_donor ? donor : row)) {
        s_.rows[write] = row;
        s_.donors[write] = donor;
        ++write;
      } else {
        s_.spill_rows.push_back(row);
        s_.spill_donors.push_back(donor);
      }
    }
    for (uint64_t j = 0; j < s_.spill_rows.size(); ++j) {
      s_.rows[write + j] = s_.spill_rows[j];
      s_.donors[write + j] = s_.spill_donors[j];
    }
    return write;
  }

  const Tree& tree_;
  const std::vector<ClassIndex>& labels_;
  const Router& router_;
  PermutationScratch& s_;
};

}  // namespace

void permutation_pass(const Tree& tree, const TrainingContext& ctx, std::span<const RowIndex> out_of_bag,
                      Rng& rng, PermutationStats& stats, std::vector<TreePermutation>& trees, OobVotes* oob_votes,
                      PermutationScratch& scratch) {
  const uint64_t m = out_of_bag.size();
  PermutationScratch& s = scratch;
  if (s.direct.size() != ctx.n_rows) s.direct.assign(ctx.n_rows, DirectVote{});
  if (s.on_path.size() != ctx.n_features) {
    s.on_path.assign(ctx.n_features, 0);
    s.delta.assign(ctx.n_features, 0);
    s.has_delta.assign(ctx.n_features, 0);
  }
  for (const uint64_t r : out_of_bag) s.direct[r] = DirectVote{};
  for (const uint64_t f : s.delta_order) s.has_delta[f] = 0;
  s.delta_order.clear();

  s.rows.assign(out_of_bag.begin(), out_of_bag.end());
  s.donors.assign(out_of_bag.begin(), out_of_bag.end());
  rng.shuffle(std::span<RowIndex>(s.donors));

  if (m > 0 && !tree.nodes.empty()) {
    with_training_router(ctx, [&](const auto& router) {
      Pass<std::decay_t<decltype(router)>> pass(tree, ctx, router, s);
      pass.normal(tree.root, 0, m);
    });
  }

  // Welford step per feature; each feature's entry is updated independently. The tree's
  // record is kept so the means can be rebuilt in tree index order later.
  TreePermutation record;
  record.out_of_bag = m;
  record.deltas.reserve(s.delta_order.size());
  for (const uint64_t f : s.delta_order) record.deltas.emplace_back(f, s.delta[f]);
  add_tree_permutation(stats, record);
  trees.push_back(std::move(record));

  if (oob_votes != nullptr) {
    for (const uint64_t r : out_of_bag) {
      const DirectVote& direct = s.direct[r];
      MORVEL_ASSERT(direct.set != 0, msg::kDirectVoteUnavailable);
      ++oob_votes->row(r)[direct.klass];
    }
  }
}

}  // namespace morvel
