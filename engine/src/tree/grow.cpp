// Growing one tree: the per-node feature loop, the pre-split checks, leaf classes, children's
// bounds and caches, and the two growth drivers (depth-first and best-first). Both drivers
// share node evaluation; they differ only in the frontier (an explicit stack or a gain heap)
// and in when a node's leaf tie-break is drawn (see the comments on each driver).
#include "tree/grow.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>

#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"
#include "split/histogram.h"
#include "tree/routing.h"
#include "tree/small_subtree.h"

namespace morvel {
namespace {

constexpr uint64_t kMaxReservedNodes = 8191;
// Weighted histogram growth lists entry labels and weights for nodes of at most this many entries.
constexpr uint64_t kListedLabels = 65536;

// What a node hands down to its children: its histogram (histogram growth) and the features
// known to be constant at it (extra-trees growth).
struct NodeCache {
  std::optional<NodeHistogram> histogram;
  std::vector<uint64_t> constant_features;
};

// A node's rows: the segment [begin, end) of the tree's index array.
struct Segment {
  uint64_t begin = 0;
  uint64_t end = 0;
  uint64_t size() const { return end - begin; }
};

// A depth-first node on the grower's stack.
struct DepthFrame {
  Segment rows;
  uint64_t depth = 0;
  NodeBounds bounds;
  NodeCache cache;
  // Set once the node is split:
  Node record;
  bool left_done = false;
  Segment right_rows;
  NodeBounds right_bounds;
  NodeCache right_cache;
  bool rebased_here = false;  // the node's subtree is rebased (rebase_rows)
};

// A best-first leaf whose split waits in the queue.
struct OpenLeaf {
  uint64_t node = 0;
  NodeSplit split;
  uint64_t depth = 0;
  NodeBounds bounds;
  Segment rows;
  NodeCache cache;
};

inline uint64_t total_order_key(double v) {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  return (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
}

// Heap order: larger gain first (IEEE total order), equal gains by smaller node position.
// Returns true when `a` has the lower priority.
inline bool lower_priority(const OpenLeaf& a, const OpenLeaf& b) {
  const uint64_t ka = total_order_key(a.split.candidate.gain);
  const uint64_t kb = total_order_key(b.split.candidate.gain);
  if (ka != kb) return ka < kb;
  return a.node > b.node;
}

// Shortest round-trip text of a double, always with a fraction or an exponent ("0.5", "1.0",
// "1e-7", "NaN"; exponent form below 1e-4 and from 1e16), as the leaf-clamp failure
// message prints its bounds.
std::string format_bound(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const double magnitude = std::fabs(v);
  const bool fixed = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
  auto res = std::to_chars(buf, buf + sizeof buf, v, fixed ? std::chars_format::fixed : std::chars_format::scientific);
  std::string text(buf, res.ptr);
  if (fixed) {
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  // "1e-07" -> "1e-7", "1e+20" -> "1e20".
  const auto e = text.find('e');
  std::string mantissa = text.substr(0, e);
  std::string exponent = text.substr(e + 1);
  bool negative = false;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    negative = exponent[0] == '-';
    exponent.erase(0, 1);
  }
  while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
  return mantissa + "e" + (negative ? "-" : "") + exponent;
}

class TreeGrower {
 public:
  TreeGrower(const TrainingContext& ctx, const TreeWeights& weights, const ForestSettings& forest, Rng& rng,
             WorkerScratch& scratch, const ExtraPlan& plan)
      : ctx_(ctx),
        weights_(weights),
        forest_(forest),
        rng_(rng),
        scratch_(scratch),
        rules_(make_search_rules(ctx, weights)),
        profile_(ctx.profile.get()),
        extra_(ctx.growth.extra_trees),
        use_histograms_(ctx.use_bins() && !ctx.growth.extra_trees),
        held_labels_(use_histograms_ && weights.unit),
        plan_(plan),
        small_(ctx, rules_, rng, scratch, forest.max_features) {
    if (use_histograms_) {
      histograms_.emplace(ctx, weights, rules_);
      // A node's segment of the index array is reordered only when that node is partitioned,
      // after its search, so its histogram may read the segment in place.
      histograms_->borrow_rows();
    }
    // The extra-trees pool starts each tree in candidate order; later nodes of the tree draw
    // from the order the earlier draws left behind.
    if (extra_) {
      scratch_.extra.rebased = false;  // a tree that failed part-way may have left one open
      scratch_.feature_pool.assign(ctx.candidates.begin(), ctx.candidates.end());
      scratch_.pool_draws.prepare(scratch_.feature_pool.size());
    }
  }

  Tree grow_depth_first(std::span<const RowIndex> in_bag);
  Tree grow_best_first(std::span<const RowIndex> in_bag);

 private:
  std::span<RowIndex> span_of(Segment s) { return std::span<RowIndex>(scratch_.rows).subspan(s.begin, s.size()); }
  std::span<ClassIndex> labels_of(Segment s) {
    return std::span<ClassIndex>(scratch_.entry_labels).subspan(s.begin, s.size());
  }

  // Lists the label of every entry of the tree's index list, when the grower holds them.
  void list_labels() {
    if (!held_labels_) return;
    const std::span<const RowIndex> rows(scratch_.rows);
    scratch_.entry_labels.resize(rows.size());
    ClassIndex* out = scratch_.entry_labels.data();
    const ClassIndex* labels = ctx_.labels.data();
    const uint64_t n_rows = ctx_.n_rows;
    const uint64_t n_classes = ctx_.n_classes;
    for (uint64_t i = 0; i < rows.size(); ++i) {
      const uint64_t row = rows[i];
      MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
      const ClassIndex c = labels[row];
      MORVEL_ASSERT(c < n_classes, "index out of bounds: label outside 0..n_classes");
      out[i] = c;
    }
  }

  // Partitions the segment by `split`; the left child's rows come first. An extra-trees
  // search may leave the winning feature's bins or values of the node's entries behind
  // (`kept`): read in list order, they spare the partition a lookup in the matrix column per
  // row. They serve while no later search of this worker has begun (the stamp is current).
  std::pair<Segment, Segment> partition(const Node& split, KeptToken kept, Segment s) {
    const std::span<RowIndex> rows = span_of(s);
    const ExtraScratch& extra = scratch_.extra;
    const KeptColumn column = extra_ && kept.stamp == extra.kept_stamp ? kept.column : KeptColumn::None;
    MORVEL_ASSERT(column == KeptColumn::Bins || !extra.rebased,
                  "assertion failed: a rebased subtree partitions by the bins its searches kept");
    const uint64_t k =
        column == KeptColumn::Bins     ? partition_by_bins(ctx_, split, extra.kept_bins, rows, scratch_.spill)
        : column == KeptColumn::Values ? partition_by_values(ctx_, split, extra.kept_values, rows, scratch_.spill)
        : held_labels_ ? partition_in_place(ctx_, split, rows, scratch_.spill, labels_of(s), scratch_.label_spill)
                       : partition_in_place(ctx_, split, rows, scratch_.spill);
    return {Segment{s.begin, s.begin + k}, Segment{s.begin + k, s.end}};
  }

  // Capacity: at most 2m - 1 nodes for an index list of m entries (one slot for m = 0);
  // 8191, or the previous tree's node count and an eighth more when there is one. As many
  // nodes as the previous tree had are backed by memory at once.
  void reserve_nodes(Tree& tree, uint64_t m) {
    const uint64_t most = m == 0 ? 1 : 2 * m - 1;
    const uint64_t last = scratch_.last_tree_nodes;
    const uint64_t hint = last == 0 ? kMaxReservedNodes : last + last / 8;
    tree.nodes.reserve(std::min(most, hint));
    prefault(tree.nodes.data(), std::min<uint64_t>(last, tree.nodes.capacity()) * sizeof(Node));
  }

  // Histograms on unit weights count the node's held labels: a sequential pass with no
  // lookup per entry, and the bin sums read the same segment. Otherwise entry weights are
  // kept: the exact search reads them in place of a second lookup per entry, and the
  // two-class dense extra-trees search requires them. Weighted histogram sums read listed
  // labels only at nodes of at most kListedLabels entries, whose rows lie far apart; a larger
  // node's ascending rows read the context's labels almost in sequence.
  // Extra-trees growth measures by its plan's statistics step, which says what it left ready.
  NodePrep measure(Segment s, NodeStats& stats) {
    const std::span<const RowIndex> rows = span_of(s);
    if (extra_) return measure_extra_node(ctx_, weights_, plan_, rows, scratch_.extra, stats);
    if (held_labels_) {
      count_node_classes(labels_of(s), ctx_.growth.criterion, ctx_.n_classes, stats);
      return NodePrep{};
    }
    const bool unit_histograms = use_histograms_ && weights_.unit;
    const bool list_labels = !use_histograms_ || rows.size() <= kListedLabels;
    compute_node_stats(ctx_, weights_, rows, /*keep_entry_weights=*/list_labels && !unit_histograms, stats,
                       list_labels);
    return NodePrep{};
  }

  // Gathers ahead the bins of the features this node's loop is expected to search: the draws
  // it makes when every searched feature is non-constant and draws its threshold, and no gain
  // ties, replayed on copies of the pool and the Rng. A wrong guess only means a feature is
  // gathered on its own when it is searched; the draws themselves happen in the loop.
  void gather_expected(std::span<const RowIndex> rows, const NodeCache& cache, NodePrep& prep) {
    std::vector<uint64_t>& pool = scratch_.pool_preview;
    pool.assign(scratch_.feature_pool.begin(), scratch_.feature_pool.end());
    Rng rng = rng_;
    uint64_t expected[ExtraScratch::kBatchFeatures];
    uint64_t count = 0;
    const uint64_t wanted = std::min<uint64_t>(forest_.max_features, ExtraScratch::kBatchFeatures);
    const auto& constant = cache.constant_features;
    for (uint64_t available = pool.size(); available > 0 && count < wanted; --available) {
      const uint64_t feature = scratch_.pool_draws.draw(rng, std::span<uint64_t>(pool), available);
      if (std::find(constant.begin(), constant.end(), feature) != constant.end()) continue;
      expected[count++] = feature;
      rng.next_u64();  // its threshold
    }
    gather_feature_batch(ctx_, rows, std::span<const uint64_t>(expected, count), prep, scratch_.extra);
  }
  // Whether the node just measured starts a small subtree: binned extra-trees growth on byte
  // weights, a node small enough to grow whole, and one that will be searched.
  bool starts_small_subtree(uint64_t n, uint64_t depth, const NodeStats& stats, const NodePrep& prep) const {
    return extra_ && grows_small_subtree(plan_, prep, rules_, n) && searchable(n, depth, true, stats);
  }

  std::optional<NodeSplit> open_depth_first(DepthFrame& f, Tree& tree, uint64_t& returned);
  bool searchable(uint64_t n, uint64_t depth, bool may_split, const NodeStats& stats) const;
  std::optional<NodeSplit> search_node(std::span<const RowIndex> rows, const NodeStats& stats, NodeBounds bounds,
                                       NodeCache& cache, const NodePrep& prep);
  std::optional<NodeSplit> search_extra_node(std::span<const RowIndex> rows, const NodeStats& stats,
                                             NodeBounds bounds, NodeCache& cache, const NodePrep& measured);
  std::optional<NodeSplit> route_extra_search(std::span<const RowIndex> rows, const NodeStats& stats,
                                              NodeBounds bounds, NodeCache& cache, const NodePrep& prep);
  std::optional<SplitCandidate> search_feature(std::span<const RowIndex> rows, const NodeStats& stats,
                                               uint64_t feature, NodeBounds bounds, NodeCache& cache);
  std::pair<NodeBounds, NodeBounds> child_bounds(NodeBounds bounds, uint64_t feature,
                                                 std::span<const RowIndex> left, std::span<const RowIndex> right);
  std::pair<NodeCache, NodeCache> child_caches(NodeCache&& parent, std::span<const RowIndex> left,
                                               std::span<const RowIndex> right, uint64_t child_depth);
  void drop_histogram(NodeCache& cache) {
    if (cache.histogram) {
      histograms_->recycle(std::move(*cache.histogram));
      cache.histogram.reset();
    }
  }

  const TrainingContext& ctx_;
  const TreeWeights& weights_;
  const ForestSettings& forest_;
  Rng& rng_;
  WorkerScratch& scratch_;
  SearchRules rules_;
  ProfileCounters* profile_;
  bool extra_;
  bool use_histograms_;
  bool held_labels_;  // histograms on unit weights: scratch_.entry_labels follows scratch_.rows
  ExtraPlan plan_;
  std::optional<HistogramSearch> histograms_;
  SmallSubtreeGrower small_;
};

// The pre-split checks, in their fixed order; a node failing any of them is a leaf.
bool TreeGrower::searchable(uint64_t n, uint64_t depth, bool may_split, const NodeStats& stats) const {
  if (depth == 0) return false;
  if (!may_split) return false;
  uint64_t present = 0;
  for (double w : stats.class_weight) present += w > 0.0 ? 1 : 0;
  if (present < 2) return false;
  if (n < ctx_.growth.min_samples_split) return false;
  if (extra_) {
    const uint64_t msl = ctx_.growth.min_samples_leaf;
    if (msl > std::numeric_limits<uint64_t>::max() / 2) return false;  // 2 * msl exceeds 64 bits
    if (n < 2 * msl) return false;
  }
  return !ctx_.candidates.empty();
}

std::optional<SplitCandidate> TreeGrower::search_feature(std::span<const RowIndex> rows, const NodeStats& stats,
                                                         uint64_t feature, NodeBounds bounds, NodeCache& cache) {
  const int8_t constraint = ctx_.growth.constraint(feature);
  if (profile_ != nullptr) profile_->add(profile_->feature_visits, 1);
  ScopedNanos timer(profile_, &ProfileCounters::split_search_ns);
  if (use_histograms_) return histograms_->search(*cache.histogram, stats, feature, constraint, bounds);
  return search_exact(ctx_, weights_, rules_, rows, stats, feature, constraint, bounds, scratch_.exact);
}

// The node loop: draw features, search each, keep the best by gain (consider_candidate).
std::optional<NodeSplit> TreeGrower::search_node(std::span<const RowIndex> rows, const NodeStats& stats,
                                                 NodeBounds bounds, NodeCache& cache, const NodePrep& prep) {
  if (use_histograms_ && !cache.histogram) cache.histogram = histograms_->build(rows);
  const std::vector<uint64_t>& candidates = ctx_.candidates;
  if (!extra_) {
    // Uniform draws with replacement: a feature may be drawn twice at one node. These
    // searches draw nothing and depend only on the node, so a repeat reuses the first result
    // (the tie rule still sees it, and may still draw).
    std::optional<NodeSplit> best;
    uint64_t ties = 0;
    const uint64_t node_serial = ++scratch_.node_serial;
    if (scratch_.searched_at.size() != ctx_.n_features) {
      scratch_.searched_at.assign(ctx_.n_features, 0);
      scratch_.searched.assign(ctx_.n_features, std::nullopt);
    }
    for (uint64_t d = 0; d < forest_.max_features; ++d) {
      const uint64_t feature = candidates[rng_.below(candidates.size())];
      MORVEL_ASSERT(feature < ctx_.n_features, "index out of bounds: feature outside the training matrix");
      if (scratch_.searched_at[feature] != node_serial) {
        scratch_.searched[feature] = search_feature(rows, stats, feature, bounds, cache);
        scratch_.searched_at[feature] = node_serial;
      } else if (profile_ != nullptr) {
        profile_->add(profile_->feature_visits, 1);
      }
      if (const auto& candidate = scratch_.searched[feature]) consider_candidate(best, ties, feature, *candidate, rng_);
    }
    return best;
  }
  return search_extra_node(rows, stats, bounds, cache, prep);
}

// An extra-trees node search; its split carries what the search kept for the partition.
std::optional<NodeSplit> TreeGrower::search_extra_node(std::span<const RowIndex> rows, const NodeStats& stats,
                                                       NodeBounds bounds, NodeCache& cache,
                                                       const NodePrep& measured) {
  begin_extra_search(scratch_.extra);
  const NodePrep prep = prepare_extra_node(ctx_, stats, measured, scratch_.extra);
  std::optional<NodeSplit> split = route_extra_search(rows, stats, bounds, cache, prep);
  if (split) split->kept = kept_for(scratch_.extra, *split);
  return split;
}

// The extra-trees node loop of a node, chosen once from the plan and the node's preparation.
std::optional<NodeSplit> TreeGrower::route_extra_search(std::span<const RowIndex> rows, const NodeStats& stats,
                                                        NodeBounds bounds, NodeCache& cache, const NodePrep& ready) {
  NodePrep prep = ready;
  const ExtraRoute route = route_extra_node(plan_, prep, rules_, rows.size());
  if (route.loop == NodeLoop::WholeNode) {
    return search_whole_byte_node(ctx_, rules_, rows, stats, prep, bounds, cache.constant_features, rng_,
                                  scratch_.feature_pool, scratch_.pool_draws, forest_.max_features, scratch_.extra);
  }
  if (route.loop == NodeLoop::LaneNode) {
    return search_lane_node(ctx_, rules_, rows, stats, prep, bounds, cache.constant_features, rng_,
                            scratch_.feature_pool, scratch_.pool_draws, forest_.max_features, scratch_.extra);
  }
  if (route.gather_ahead) gather_expected(rows, cache, prep);
  // A node prepared on byte weights is searched without search_extra's per-search dispatch;
  // search_extra does its own visit and time accounting (after its constant test).
  const bool prepared = route.loop == NodeLoop::PreparedBytes;
  return extra_node_loop(
      scratch_.feature_pool, scratch_.pool_draws, rng_, cache.constant_features, forest_.max_features,
      [&](uint64_t feature) {
        const int8_t constraint = ctx_.growth.constraint(feature);
        return prepared ? search_prepared_bytes(ctx_, rules_, rows, stats, prep, feature, constraint, bounds,
                                                cache.constant_features, rng_, scratch_.extra)
                        : search_extra(ctx_, weights_, rules_, rows, stats, prep, feature, constraint, bounds,
                                       cache.constant_features, rng_, scratch_.extra);
      },
      // An extra-trees winner keeps its search's bins for the partition.
      [&](uint64_t feature) { keep_extra_bins(feature, scratch_.extra); });
}

// Children's probability bounds after a split on `feature` (statistics measured only when the
// feature is constrained).
std::pair<NodeBounds, NodeBounds> TreeGrower::child_bounds(NodeBounds bounds, uint64_t feature,
                                                           std::span<const RowIndex> left,
                                                           std::span<const RowIndex> right) {
  const int8_t constraint = ctx_.growth.constraint(feature);
  if (constraint == 0) return {bounds, bounds};
  NodeStats& left_stats = scratch_.child_stats[0];
  NodeStats& right_stats = scratch_.child_stats[1];
  compute_node_stats(ctx_, weights_, left, false, left_stats, /*keep_labels=*/false);
  compute_node_stats(ctx_, weights_, right, false, right_stats, /*keep_labels=*/false);
  return detail::monotonic_child_bounds(bounds, constraint, left_stats, right_stats);
}

// Children's caches: histograms by subtraction (the smaller child built from rows) and the
// parent's constant-feature list, copied to both. When neither child can pass the pre-split
// checks (no depth left, or both too small to search) no histogram is derived: nothing would
// read it, and a child that is never searched never builds one either.
std::pair<NodeCache, NodeCache> TreeGrower::child_caches(NodeCache&& parent, std::span<const RowIndex> left,
                                                         std::span<const RowIndex> right, uint64_t child_depth) {
  std::pair<NodeCache, NodeCache> out;
  if (parent.histogram) {
    const uint64_t smallest_searched = std::max<uint64_t>(ctx_.growth.min_samples_split, 2);
    const bool searched_later = child_depth > 0 && (left.size() >= smallest_searched || right.size() >= smallest_searched);
    if (searched_later) {
      auto [h_left, h_right] = histograms_->derive_children(std::move(*parent.histogram), left, right);
      parent.histogram.reset();
      out.first.histogram = std::move(h_left);
      out.second.histogram = std::move(h_right);
    } else {
      drop_histogram(parent);
    }
  }
  if (extra_) {
    out.first.constant_features = parent.constant_features;
    out.second.constant_features = std::move(parent.constant_features);
  }
  return out;
}

// Depth-first growth with an explicit stack (deep trees must not exhaust the thread stack).
// A node is appended after both subtrees, left first, so the root is the last node. Rng
// order: a node's search, then its whole left subtree, then its right subtree; a leaf's
// tie-break is drawn only when the node ends as a leaf.
// Measures and searches the node of depth-first frame `f`, rebasing its subtree first where
// the plan allows. A node that ends here (a leaf, or a small subtree grown whole) is recorded
// with its position in `returned`, and nothing is returned; otherwise its split.
std::optional<NodeSplit> TreeGrower::open_depth_first(DepthFrame& f, Tree& tree, uint64_t& returned) {
  NodeStats& stats = scratch_.stats;
  const uint64_t n = f.rows.size();
  const std::span<RowIndex> rows = span_of(f.rows);
  if (may_rebase(ctx_, plan_, scratch_.extra, n)) {
    rebase_rows(ctx_, rows, scratch_.extra);
    f.rebased_here = true;
  }
  const NodePrep prep = measure(f.rows, stats);
  if (starts_small_subtree(n, f.depth, stats, prep)) {
    returned = small_.grow(n, prep, f.depth, f.bounds, f.cache.constant_features, tree,
                           [this](uint64_t m, uint64_t depth, const NodeStats& s) { return searchable(m, depth, true, s); });
    return std::nullopt;
  }
  std::optional<NodeSplit> split;
  if (searchable(n, f.depth, true, stats)) split = search_node(rows, stats, f.bounds, f.cache, prep);
  if (!split) {
    returned = tree.nodes.size();
    tree.nodes.push_back(Node::make_leaf(detail::leaf_class(stats, f.bounds, rng_), n));
    drop_histogram(f.cache);
  }
  return split;
}

Tree TreeGrower::grow_depth_first(std::span<const RowIndex> in_bag) {
  using Frame = DepthFrame;
  Tree tree;
  reserve_nodes(tree, in_bag.size());
  if (in_bag.data() != scratch_.rows.data()) scratch_.rows.assign(in_bag.begin(), in_bag.end());
  list_labels();
  std::vector<Frame> stack;
  // The frame is built in place: a frame is large, and each node pushes one.
  stack.reserve(64);
  auto push = [&](Segment rows, uint64_t depth, NodeBounds bounds, NodeCache&& cache) {
    Frame& frame = stack.emplace_back();
    frame.rows = rows;
    frame.depth = depth;
    frame.bounds = bounds;
    frame.cache = std::move(cache);
  };
  push(Segment{0, in_bag.size()}, forest_.max_depth, NodeBounds{0.0, 1.0}, NodeCache{});
  uint64_t returned = 0;  // position of the subtree just finished
  bool returning = false;
  // A node's subtree is finished: a rebased one ends with it.
  auto pop = [&] {
    if (stack.back().rebased_here) end_rebase(scratch_.extra);
    stack.pop_back();
  };
  while (!stack.empty()) {
    if (!returning) {
      checkpoint();
      Frame& f = stack.back();
      const std::optional<NodeSplit> split = open_depth_first(f, tree, returned);
      if (!split) {
        pop();
        returning = true;
        continue;
      }
      const SplitCandidate& c = split->candidate;
      f.record = Node::make_split(split->feature, c.pivot, c.gain, c.missing_left, f.rows.size(), 0, 0);
      const auto [left, right] = partition(f.record, split->kept, f.rows);
      auto [left_bounds, right_bounds] = child_bounds(f.bounds, split->feature, span_of(left), span_of(right));
      auto [left_cache, right_cache] = child_caches(std::move(f.cache), span_of(left), span_of(right), f.depth - 1);
      f.right_rows = right;
      f.right_bounds = right_bounds;
      f.right_cache = std::move(right_cache);
      const uint64_t child_depth = f.depth - 1;
      push(left, child_depth, left_bounds, std::move(left_cache));  // invalidates f
      continue;
    }
    Frame& f = stack.back();
    if (!f.left_done) {
      f.left_done = true;
      f.record.set_left(returned);
      NodeCache right_cache = std::move(f.right_cache);
      push(f.right_rows, f.depth - 1, f.right_bounds, std::move(right_cache));  // invalidates f
      returning = false;
      continue;
    }
    f.record.set_right(returned);
    returned = tree.nodes.size();
    tree.nodes.push_back(f.record);
    pop();
  }
  tree.root = returned;
  return tree;
}

// Best-first growth: every node is appended as a leaf when opened (root at 0), and the open
// leaf with the largest gain is split next. Rng order: when a node is opened, its leaf
// tie-break first, then its search; nodes are opened in creation order (left child first).
Tree TreeGrower::grow_best_first(std::span<const RowIndex> in_bag) {
  const uint64_t max_leaves = forest_.max_leaves;
  Tree tree;
  reserve_nodes(tree, std::min<uint64_t>(in_bag.size(), max_leaves));
  if (in_bag.data() != scratch_.rows.data()) scratch_.rows.assign(in_bag.begin(), in_bag.end());
  list_labels();
  NodeStats& stats = scratch_.stats;
  std::vector<OpenLeaf> heap;

  auto open = [&](Segment segment, uint64_t depth, bool may_split, NodeBounds bounds, NodeCache&& cache) -> uint64_t {
    const uint64_t node = tree.nodes.size();
    const uint64_t n = segment.size();
    const std::span<RowIndex> rows = span_of(segment);
    const NodePrep prep = measure(segment, stats);
    tree.nodes.push_back(Node::make_leaf(detail::leaf_class(stats, bounds, rng_), n));
    std::optional<NodeSplit> split;
    if (searchable(n, depth, may_split, stats)) split = search_node(rows, stats, bounds, cache, prep);
    // A non-finite gain cannot be ordered in the queue: the node stays a leaf.
    if (split && std::isfinite(split->candidate.gain)) {
      heap.push_back(OpenLeaf{node, *split, depth, bounds, segment, std::move(cache)});
      std::push_heap(heap.begin(), heap.end(), lower_priority);
    } else {
      drop_histogram(cache);
    }
    return node;
  };

  uint64_t leaves = 1;
  open(Segment{0, in_bag.size()}, forest_.max_depth, max_leaves > 1, NodeBounds{0.0, 1.0}, NodeCache{});
  while (max_leaves > 1 && !heap.empty()) {
    checkpoint();
    std::pop_heap(heap.begin(), heap.end(), lower_priority);
    OpenLeaf leaf = std::move(heap.back());
    heap.pop_back();
    const SplitCandidate& c = leaf.split.candidate;
    Node record = Node::make_split(leaf.split.feature, c.pivot, c.gain, c.missing_left, leaf.rows.size(), 0, 0);
    const auto [left, right] = partition(record, leaf.split.kept, leaf.rows);
    auto [left_bounds, right_bounds] = child_bounds(leaf.bounds, leaf.split.feature, span_of(left), span_of(right));
    // Children that can never be split (the leaf limit is reached with them) get no cache.
    NodeCache left_cache;
    NodeCache right_cache;
    if (leaves + 1 < max_leaves) {
      std::tie(left_cache, right_cache) =
          child_caches(std::move(leaf.cache), span_of(left), span_of(right), leaf.depth - 1);
    } else {
      drop_histogram(leaf.cache);
    }
    leaves += 1;
    record.set_left(open(left, leaf.depth - 1, leaves < max_leaves, left_bounds, std::move(left_cache)));
    record.set_right(open(right, leaf.depth - 1, leaves < max_leaves, right_bounds, std::move(right_cache)));
    tree.nodes[leaf.node] = record;
    if (leaves >= max_leaves) break;
  }
  for (OpenLeaf& rest : heap) drop_histogram(rest.cache);
  tree.root = 0;
  return tree;
}

}  // namespace

namespace detail {

// A leaf's class. Two classes with weight: the class-1 share clamped into the node's bounds
// decides (0.5 gives class 0). Otherwise the heaviest class, ties by a reservoir draw.
uint64_t leaf_class(const NodeStats& stats, NodeBounds bounds, Rng& rng) {
  const uint64_t n_classes = stats.class_weight.size();
  if (n_classes == 2 && stats.weight > 0.0) {
    if (!(bounds.lower <= bounds.upper)) {
      throw_internal("min > max, or either was NaN. min = " + format_bound(bounds.lower) +
                     ", max = " + format_bound(bounds.upper));
    }
    double p = stats.class_weight[1] / stats.weight;
    if (p < bounds.lower) p = bounds.lower;
    if (p > bounds.upper) p = bounds.upper;
    return p > 0.5 ? 1 : 0;
  }
  if (n_classes <= 1) return 0;
  uint64_t best = 0;
  uint64_t ties = 1;
  for (uint64_t c = 1; c < n_classes; ++c) {
    if (stats.class_weight[c] > stats.class_weight[best]) {
      best = c;
      ties = 1;
    } else if (stats.class_weight[c] == stats.class_weight[best]) {
      ++ties;
      if (rng.below(ties) == 0) best = c;
    }
  }
  return best;
}

// With a constraint, the midpoint of the children's class-1 shares splits the parent's
// interval: the side the constraint favours (larger values for +1, smaller for -1) keeps the
// upper part. A child without weight contributes the parent's bound on its side instead.
// The shares come from the children's own sums (partition order), while the search accepted
// the split on sums taken in sorted order; with fractional weights the two can differ in the
// last bit and put the midpoint just outside the parent's interval, which would leave a child
// with crossed bounds. The midpoint is therefore kept inside the parent's interval.
std::pair<NodeBounds, NodeBounds> monotonic_child_bounds(NodeBounds bounds, int8_t constraint,
                                                         const NodeStats& left, const NodeStats& right) {
  if (constraint == 0) return {bounds, bounds};
  const bool left_binary = left.class_weight.size() == 2 && left.weight > 0.0;
  const bool right_binary = right.class_weight.size() == 2 && right.weight > 0.0;
  const double q_left = left_binary ? left.class_weight[1] / left.weight : bounds.lower;
  const double q_right = right_binary ? right.class_weight[1] / right.weight : bounds.upper;
  const double mid = std::min(std::max((q_left + q_right) * 0.5, bounds.lower), bounds.upper);
  if (constraint > 0) return {NodeBounds{mid, bounds.upper}, NodeBounds{bounds.lower, mid}};
  return {NodeBounds{bounds.lower, mid}, NodeBounds{mid, bounds.upper}};
}

}  // namespace detail

Tree grow_tree(const TrainingContext& ctx, const TreeWeights& weights, std::span<const RowIndex> in_bag,
               const ForestSettings& forest, Rng& rng, WorkerScratch& scratch) {
  const ExtraPlan plan =
      ctx.growth.extra_trees ? plan_extra_tree(ctx, weights.weights, in_bag, scratch.extra) : ExtraPlan{};
  TreeGrower grower(ctx, weights, forest, rng, scratch, plan);
  Tree tree = forest.max_leaves == kNoLeafLimit ? grower.grow_depth_first(in_bag) : grower.grow_best_first(in_bag);
  scratch.last_tree_nodes = tree.nodes.size();
  return tree;
}

}  // namespace morvel
