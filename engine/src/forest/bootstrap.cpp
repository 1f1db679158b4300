// Per-tree samples. The uniform bootstrap keeps the context's weights and lists a row once
// per draw; the weighted bootstrap (extra trees) and the balanced subsample build a
// replacement weight vector for the tree. Draw order is fixed: k bounded draws (or k
// next_f64 draws) from the tree's Rng, before growth draws anything.
#include "forest/bootstrap.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"

namespace morvel {
namespace {

// Turns per-row draw counts into the ordered lists. `repeat` lists a row once per draw
// (uniform bootstrap) instead of once.
template <class Counts>
void lists_from_counts(const Counts& counts, bool repeat, bool list_out_of_bag, TreeSample& sample) {
  MORVEL_ASSERT(sample.in_bag.empty() && sample.out_of_bag.empty(), "assertion failed: a sample is listed once");
  if (!repeat) {
    // Each row is written to both lists and only one length advances: whether a row was
    // drawn is close to a coin toss, which a branch would mispredict.
    const uint64_t n = counts.size();
    sample.in_bag.resize(n);
    if (list_out_of_bag) sample.out_of_bag.resize(n);
    RowIndex* in = sample.in_bag.data();
    RowIndex* out = list_out_of_bag ? sample.out_of_bag.data() : nullptr;
    uint64_t kept = 0;
    uint64_t left = 0;
    for (uint64_t row = 0; row < n; ++row) {
      const bool drawn = counts[row] != 0;
      const RowIndex r = static_cast<RowIndex>(row);
      in[kept] = r;
      kept += drawn ? 1 : 0;
      if (out != nullptr) {
        out[left] = r;
        left += drawn ? 0 : 1;
      }
    }
    sample.in_bag.resize(kept);
    if (out != nullptr) sample.out_of_bag.resize(left);
    return;
  }
  for (uint64_t row = 0; row < counts.size(); ++row) {
    const uint64_t c = counts[row];
    const RowIndex r = static_cast<RowIndex>(row);
    if (c == 0) {
      if (list_out_of_bag) sample.out_of_bag.push_back(r);
    } else {
      sample.in_bag.insert(sample.in_bag.end(), c, r);
    }
  }
}

// Draw counts of a uniform bootstrap: k bounded draws, below(n) written inline (with n == 1
// nothing is drawn).
// Draws between two checks for a stop request: a sample of many millions of rows takes
// long enough to need them.
constexpr uint64_t kDrawBlock = uint64_t{1} << 20;

template <class Count>
LargeVector<Count> uniform_counts(uint64_t n, uint64_t draws, Rng& rng) {
  LargeVector<Count> counts(n, 0);
  if (n == 1) {
    counts[0] = static_cast<Count>(draws);
  } else {
    const uint64_t threshold = (0 - n) % n;
    for (uint64_t block = 0; block < draws; block += kDrawBlock) {
      checkpoint();
      const uint64_t block_end = std::min(draws, block + kDrawBlock);
      for (uint64_t i = block; i < block_end; ++i) {
        uint64_t v;
        do {
          v = rng.next_u32();
        } while (v < threshold);
        ++counts[v % n];
      }
    }
  }
  return counts;
}

// Four-byte counters whenever no row can be drawn 2^32 times.
bool small_counts(uint64_t draws) { return draws <= std::numeric_limits<uint32_t>::max(); }

// min_leaf_weight follows W_total, so the leaf constraint keeps its share of the tree's mass.
double rescale_min_leaf_weight(double min_leaf_weight, double old_total, double new_total) {
  const double share = old_total > 0.0 ? min_leaf_weight / old_total : 0.0;
  return share * new_total;
}

// Rows drawn in proportion to their weights: a draw u = next_f64() * total goes to the first
// row whose prefix sum of weights exceeds u.
class WeightedDraw {
 public:
  explicit WeightedDraw(const TrainingContext& ctx) : n_(ctx.n_rows) {
    const std::vector<double>& w = ctx.weights;
    // With unit weights (the common case: no sample_weight) prefix[i] is exactly i + 1 (sums
    // of ones are exact), so the first prefix above u is row floor(u): the same row the binary
    // search finds, without building the prefix sums or searching them.
    if (!ctx.unit_weights) {
      for (uint64_t i = 0; i < n_ && unit_prefix_; ++i) unit_prefix_ = w[i] == 1.0;
    }
    if (!unit_prefix_) {
      prefix_.resize(n_);
      double running = w[0];
      prefix_[0] = running;
      for (uint64_t i = 1; i < n_; ++i) {
        running = running + w[i];
        prefix_[i] = running;
      }
      total_ = prefix_[n_ - 1];
    }
    // u can round up to `total` itself; the search then finds nothing and the draw goes to
    // the last row, or to the last row of positive weight when the last row weighs 0, so a
    // row of weight 0 is never drawn.
    fallback_ = n_ - 1;
    while (fallback_ > 0 && !(w[fallback_] > 0.0)) --fallback_;
  }

  // Counts draws [begin, end) into `counts`. The test for unit weights is taken once a block,
  // not once a draw.
  template <class Counts>
  void count(uint64_t begin, uint64_t end, Rng& rng, Counts& counts) const {
    if (unit_prefix_) {
      for (uint64_t d = begin; d < end; ++d) {
        const double u = rng.next_f64() * total_;
        ++counts[u < total_ ? static_cast<uint64_t>(u) : fallback_];
      }
      return;
    }
    for (uint64_t d = begin; d < end; ++d) {
      const double u = rng.next_f64() * total_;
      const auto it = std::upper_bound(prefix_.begin(), prefix_.end(), u);
      const uint64_t row = it == prefix_.end() ? fallback_ : static_cast<uint64_t>(it - prefix_.begin());
      ++counts[row];
    }
  }

  // The tree's rows from its draw counts, which also become its weights.
  template <class Count>
  void sample(const LargeVector<Count>& counts, bool list_out_of_bag, TreeSample& sample,
              std::vector<double>& weights) const {
    lists_from_counts(counts, /*repeat=*/false, list_out_of_bag, sample);
    for (uint64_t i = 0; i < n_; ++i) weights[i] = static_cast<double>(counts[i]);
  }

  uint64_t rows() const { return n_; }

 private:
  uint64_t n_;
  bool unit_prefix_ = true;
  std::vector<double> prefix_;
  double total_ = static_cast<double>(n_);
  uint64_t fallback_ = 0;
};

template <class Count>
LargeVector<Count> weighted_counts(const WeightedDraw& draw, uint64_t draws, Rng& rng) {
  LargeVector<Count> counts(draw.rows(), 0);
  for (uint64_t block = 0; block < draws; block += kDrawBlock) {
    checkpoint();
    draw.count(block, std::min(draws, block + kDrawBlock), rng, counts);
  }
  return counts;
}

// Balanced subsampling of weighted draws: each class present carries k / L of the mass, in
// proportion to its rows' draw counts.
void balance_draws(const TrainingContext& ctx, uint64_t draws, std::vector<double>& weights) {
  const uint64_t n = ctx.n_rows;
  std::vector<uint64_t> class_draws(ctx.n_classes, 0);
  for (uint64_t i = 0; i < n; ++i) class_draws[ctx.labels[i]] += static_cast<uint64_t>(weights[i]);
  uint64_t present = 0;
  for (const uint64_t c : class_draws) present += c > 0 ? 1 : 0;
  const double k = static_cast<double>(draws);
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t nc = class_draws[ctx.labels[i]];
    if (nc == 0) continue;
    weights[i] = (k / static_cast<double>(present * nc)) * weights[i];
  }
}

}  // namespace

TreeSample uniform_bootstrap(const TrainingContext& ctx, uint64_t draws, Rng& rng, bool list_out_of_bag) {
  const uint64_t n = ctx.n_rows;
  MORVEL_ASSERT(n > 0, msg::kUpToPositive);
  TreeSample sample;
  sample.in_bag.reserve(draws);
  if (small_counts(draws)) {
    lists_from_counts(uniform_counts<uint32_t>(n, draws, rng), /*repeat=*/true, list_out_of_bag, sample);
  } else {
    lists_from_counts(uniform_counts<uint64_t>(n, draws, rng), /*repeat=*/true, list_out_of_bag, sample);
  }
  sample.w_total = ctx.w_total;
  sample.min_leaf_weight = ctx.growth.min_leaf_weight;
  return sample;
}

TreeSample weighted_bootstrap(const TrainingContext& ctx, uint64_t draws, Rng& rng, bool list_out_of_bag) {
  MORVEL_ASSERT(ctx.has_weights, msg::kPredictionInput);
  ScopedNanos timer(ctx.profile.get(), &ProfileCounters::bootstrap_ns);
  MORVEL_ASSERT(ctx.n_rows > 0, msg::kUpToPositive);
  const WeightedDraw draw(ctx);
  TreeSample sample;
  std::vector<double> weights(ctx.n_rows);
  if (small_counts(draws)) {
    draw.sample(weighted_counts<uint32_t>(draw, draws, rng), list_out_of_bag, sample, weights);
  } else {
    draw.sample(weighted_counts<uint64_t>(draw, draws, rng), list_out_of_bag, sample, weights);
  }
  if (ctx.growth.balanced_subsample) balance_draws(ctx, draws, weights);

  // The weights' sum in row order. Unbalanced, they are the draw counts: whole numbers whose
  // partial sums are exact, so the sum is the number of draws.
  double new_total = static_cast<double>(draws);
  if (ctx.growth.balanced_subsample || draws > (uint64_t{1} << 53)) {
    new_total = -0.0;
    for (const double wi : weights) new_total = new_total + wi;
  }
  sample.min_leaf_weight = rescale_min_leaf_weight(ctx.growth.min_leaf_weight, ctx.w_total, new_total);
  sample.w_total = new_total;
  sample.weights = std::move(weights);
  return sample;
}

TreeSample no_bootstrap(const TrainingContext& ctx) {
  TreeSample sample;
  if (ctx.growth.extra_trees) {
    MORVEL_ASSERT(ctx.has_weights, msg::kPredictionInput);
    // Extra trees never see a row of weight 0, so it cannot decide a drawn threshold range.
    for (uint64_t row = 0; row < ctx.n_rows; ++row) {
      if (ctx.weights[row] > 0.0) sample.in_bag.push_back(row);
    }
  } else {
    sample.in_bag.resize(ctx.n_rows);
    for (uint64_t row = 0; row < ctx.n_rows; ++row) sample.in_bag[row] = row;
  }
  sample.w_total = ctx.w_total;
  sample.min_leaf_weight = ctx.growth.min_leaf_weight;
  return sample;
}

void balance_subsample(const TrainingContext& ctx, TreeSample& sample) {
  MORVEL_ASSERT(ctx.has_weights, msg::kBalancedNeedsWeights);
  const std::vector<double>& w = sample.weights ? *sample.weights : ctx.weights;
  const bool implicit_unit = !sample.weights && ctx.implicit_weights;

  std::vector<uint64_t> class_entries(ctx.n_classes, 0);
  for (const uint64_t row : sample.in_bag) ++class_entries[ctx.labels[row]];
  uint64_t present = 0;
  for (const uint64_t c : class_entries) present += c > 0 ? 1 : 0;
  const double k = static_cast<double>(sample.in_bag.size());

  std::vector<double> weights(ctx.n_rows);
  for (uint64_t i = 0; i < ctx.n_rows; ++i) {
    const uint64_t nc = class_entries[ctx.labels[i]];
    const double wi = implicit_unit ? 1.0 : w[i];
    weights[i] = nc > 0 ? (wi * k) / static_cast<double>(present * nc) : 0.0;
  }
  // W_total over the bag's entries, repeats counted, in list order.
  double new_total = -0.0;
  for (const uint64_t row : sample.in_bag) new_total = new_total + weights[row];
  sample.min_leaf_weight = rescale_min_leaf_weight(sample.min_leaf_weight, sample.w_total, new_total);
  sample.w_total = new_total;
  sample.weights = std::move(weights);
}

}  // namespace morvel
