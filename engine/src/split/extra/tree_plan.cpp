// Per-tree preparation of extra-trees growth: the weight kind and the row tags the node
// statistics read.
#include "split/extra/extra_trees.h"

#include "morvel/errors.h"
#include "split/extra/common.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel {

using namespace extra;

void prepare_extra_tree(std::span<const double> weights, std::span<const RowIndex> in_bag, ExtraScratch& scratch) {
  // Whole numbers add exactly while the running total stays at most 2^53; every
  // node's entries are a sub-list of the bag, so their partial sums are exact too.
  constexpr double kExactLimit = 0x1p53;
  bool whole = true;
  double total = 0.0;
  double largest = 0.0;
  for (const uint64_t row : in_bag) {
    MORVEL_ASSERT(row < weights.size(), "index out of bounds: row outside the training matrix");
    const double w = weights[row];
    // Inside [0, 2^53] truncation is the floor and converts exactly; the test stays inline,
    // where the floor of the baseline instruction set is a dozen instructions per row.
    if (!(w >= 0.0 && w <= kExactLimit && w == static_cast<double>(static_cast<int64_t>(w)))) {
      whole = false;
      break;
    }
    // Compared before adding: 2^53 + 1 would round back to 2^53. The difference is exact.
    if (w > kExactLimit - total) {
      whole = false;
      break;
    }
    total += w;
    largest = w > largest ? w : largest;
  }
  scratch.plan = ExtraPlan{};
  scratch.plan.weights = !whole ? ExtraWeights::Fractional : largest <= 255.0 ? ExtraWeights::Byte : ExtraWeights::Whole;
}

void tag_two_class_rows(const TrainingContext& ctx, std::span<const double> weights,
                        std::span<const RowIndex> in_bag, ExtraScratch& scratch) {
  std::vector<uint64_t>& tagged = scratch.tagged_rows;
  tagged.clear();
  if (ctx.n_classes != 2) return;
  tagged.resize(ctx.n_rows);
  for (const uint64_t row : in_bag) {
    MORVEL_ASSERT(row < ctx.n_rows && row < weights.size(), "index out of bounds: row outside the training matrix");
    const double w = weights[row];
    const uint64_t c = ctx.labels[row];
    MORVEL_ASSERT(c < 2, "index out of bounds: label outside 0..n_classes");
    if (!(w > 0.0)) {  // the sign bit would be taken
      tagged.clear();
      return;
    }
    tagged[row] = std::bit_cast<uint64_t>(w) | (c << 63);
  }
}

bool tag_binned_rows(const TrainingContext& ctx, std::span<const double> weights, std::span<const RowIndex> in_bag,
                     ExtraScratch& scratch) {
  const uint64_t k = ctx.n_classes;
  if (!ctx.binned || !scratch.plan.byte_weights() || k < 2 || k > kByteBins - 1) return false;
  const uint64_t n_rows = ctx.binned->n_rows;
  MORVEL_ASSERT(n_rows <= ctx.labels.size() && n_rows <= weights.size(),
                "index out of bounds: row outside the training matrix");
  // Grown, never cleared: only the bag's rows are read, and each is written first.
  if (scratch.row_tags.size() != n_rows) scratch.row_tags.resize(n_rows);
  uint16_t* tags = scratch.row_tags.data();
  for (const uint64_t row : in_bag) {
    MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
    const uint64_t c = ctx.labels[row];
    MORVEL_ASSERT(c < k, "index out of bounds: label outside 0..n_classes");
    // A whole number of at most 255 (byte weights).
    tags[row] = static_cast<uint16_t>(static_cast<uint64_t>(weights[row]) | (c << 8));
  }
  return true;
}

bool uses_class_lanes(const TrainingContext& ctx, const ExtraPlan& plan) {
  // Two classes only as class planes, without missing values; with them the tagged rows serve.
  return !ctx.binned && plan.byte_weights() && ctx.n_classes <= kTagLanes &&
         (ctx.n_classes >= 3 || (ctx.n_classes == 2 && !ctx.has_missing));
}

}  // namespace morvel
