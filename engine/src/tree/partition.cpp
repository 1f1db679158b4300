// Stable partition of a node's index list by a split, through the same routing the
// prediction walk uses. Each child keeps the parent's list order.
#include <algorithm>
#include <cmath>

#include "tree/grow.h"
#include "morvel/errors.h"
#include "simd/simd.h"
#include "tree/routing.h"

namespace morvel {
namespace {

// Calls fn(goes_left) with a per-row predicate for `split`. Raw values without any NaN in the
// training matrix skip the missing test, which cannot fire there.
template <class Fn>
void with_predicate(const TrainingContext& ctx, const Node& split, uint64_t n_entries, Fn&& fn) {
  if (!ctx.has_missing && !ctx.use_bins()) {
    with_raw_access_for(ctx, n_entries, [&](auto access) {
      const uint64_t feature = split.feature();
      const double pivot = split.pivot;
      fn([&](uint64_t row) { return access.value(row, feature) > pivot; });
    });
    return;
  }
  if (ctx.binned && split.feature() < ctx.binned->n_features) {
    // Bytes of a binned matrix: BinnedRouter's answer for each of the 256 byte values,
    // looked up per row from the feature's column.
    const BinnedMatrix& bm = *ctx.binned;
    const uint8_t missing = missing_bin(bm.edges[split.feature()].size());
    const uint8_t* column = bm.bins.data() + (bm.feature_major ? split.feature() * bm.n_rows : split.feature());
    uint64_t stride = bm.feature_major ? 1 : bm.n_features;
    // Small nodes read the row-major copy, whose lines their histogram sums just loaded.
    if (bm.reads_row_major_copy(n_entries)) {
      column = bm.row_major_copy.data() + split.feature();
      stride = bm.n_features;
    }
    const uint64_t n_rows = bm.n_rows;
    if (n_entries < 256) {
      // Fewer rows than byte values (most nodes of a deep tree): routed one by one, by the
      // first byte that goes left (a byte b exceeds the pivot exactly when it is at least
      // that; a NaN pivot sends no byte left).
      const double pivot = split.pivot;
      const uint64_t first_left = pivot < 0.0                      ? 0
                                  : !(pivot < 255.0)               ? 256
                                                                   : static_cast<uint64_t>(std::floor(pivot)) + 1;
      const bool may_miss = bm.has_missing;
      const bool missing_left = split.missing_left();
      fn([&](uint64_t row) {
        MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
        const uint64_t b = column[row * stride];
        return may_miss && b == missing ? missing_left : b >= first_left;
      });
      return;
    }
    bool left_of[256];
    for (uint64_t b = 0; b < 256; ++b) {
      const bool is_missing = bm.has_missing && b == missing;
      left_of[b] = goes_left(split, static_cast<double>(b), is_missing);
    }
    fn([&](uint64_t row) {
      MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
      return left_of[column[row * stride]];
    });
    return;
  }
  with_training_router(ctx, [&](const auto& router) { fn([&](uint64_t row) { return router.left(split, row); }); });
}

// The stable in-place partition shared by both forms below. Left rows are compacted forward
// (the write position never passes the read position); right rows wait in `spill` and are
// copied back behind them. Each row is written to both places and only one cursor advances:
// the direction of a split is close to a coin toss per row, which a branch would mispredict
// half the time.
class StableSplit {
 public:
  StableSplit(std::span<RowIndex> rows, RowBuffer& spill) : rows_(rows) {
    if (spill.size() < rows.size()) spill.resize(rows.size());
    waiting_ = spill.data();
  }
  void place(RowIndex row, bool left) {
    rows_[kept_] = row;
    waiting_[spilled_] = row;
    kept_ += static_cast<uint64_t>(left);
    spilled_ += static_cast<uint64_t>(!left);
  }
  // Copies the right rows back behind the left ones; returns the left count.
  uint64_t finish() {
    std::copy(waiting_, waiting_ + spilled_, rows_.begin() + static_cast<std::ptrdiff_t>(kept_));
    return kept_;
  }

 private:
  std::span<RowIndex> rows_;
  RowIndex* waiting_ = nullptr;
  uint64_t kept_ = 0;
  uint64_t spilled_ = 0;
};

// StableSplit for an index list and an array of entry labels permuted along with it.
class StableSplitLabelled {
 public:
  StableSplitLabelled(std::span<RowIndex> rows, RowBuffer& spill, std::span<ClassIndex> labels,
                      RowBuffer& label_spill)
      : rows_(rows), labels_(labels) {
    if (spill.size() < rows.size()) spill.resize(rows.size());
    if (label_spill.size() < rows.size()) label_spill.resize(rows.size());
    waiting_ = spill.data();
    waiting_labels_ = label_spill.data();
  }
  void place(RowIndex row, ClassIndex label, bool left) {
    rows_[kept_] = row;
    labels_[kept_] = label;
    waiting_[spilled_] = row;
    waiting_labels_[spilled_] = label;
    kept_ += static_cast<uint64_t>(left);
    spilled_ += static_cast<uint64_t>(!left);
  }
  uint64_t finish() {
    std::copy(waiting_, waiting_ + spilled_, rows_.begin() + static_cast<std::ptrdiff_t>(kept_));
    std::copy(waiting_labels_, waiting_labels_ + spilled_, labels_.begin() + static_cast<std::ptrdiff_t>(kept_));
    return kept_;
  }

 private:
  std::span<RowIndex> rows_;
  std::span<ClassIndex> labels_;
  RowIndex* waiting_ = nullptr;
  ClassIndex* waiting_labels_ = nullptr;
  uint64_t kept_ = 0;
  uint64_t spilled_ = 0;
};

}  // namespace

void partition_rows(const TrainingContext& ctx, const Node& split, std::span<const RowIndex> rows,
                    std::vector<RowIndex>& left, std::vector<RowIndex>& right) {
  ScopedNanos timer(ctx.profile.get(), &ProfileCounters::partition_ns);
  left.clear();
  right.clear();
  with_predicate(ctx, split, rows.size(), [&](auto goes_left) {
    for (const uint64_t row : rows) {
      if (goes_left(row)) {
        left.push_back(row);
      } else {
        right.push_back(row);
      }
    }
  });
}

uint64_t partition_in_place(const TrainingContext& ctx, const Node& split, std::span<RowIndex> rows,
                            RowBuffer& spill) {
  ScopedNanos timer(ctx.profile.get(), &ProfileCounters::partition_ns);
  StableSplit out(rows, spill);
  with_predicate(ctx, split, rows.size(), [&](auto goes_left) {
    for (uint64_t i = 0; i < rows.size(); ++i) {
      const RowIndex row = rows[i];
      out.place(row, goes_left(row));
    }
  });
  return out.finish();
}

uint64_t partition_in_place(const TrainingContext& ctx, const Node& split, std::span<RowIndex> rows,
                            RowBuffer& spill, std::span<ClassIndex> labels, RowBuffer& label_spill) {
  ScopedNanos timer(ctx.profile.get(), &ProfileCounters::partition_ns);
  MORVEL_ASSERT(labels.size() == rows.size(), "index out of bounds: entry labels do not match the index list");
  StableSplitLabelled out(rows, spill, labels, label_spill);
  with_predicate(ctx, split, rows.size(), [&](auto goes_left) {
    for (uint64_t i = 0; i < rows.size(); ++i) {
      const RowIndex row = rows[i];
      out.place(row, labels[i], goes_left(row));
    }
  });
  return out.finish();
}

uint64_t partition_by_values(const TrainingContext& ctx, const Node& split, std::span<const double> values,
                             std::span<RowIndex> rows, RowBuffer& spill) {
  ScopedNanos timer(ctx.profile.get(), &ProfileCounters::partition_ns);
  MORVEL_ASSERT(values.size() >= rows.size(), "index out of bounds: fewer values than rows");
  StableSplit out(rows, spill);
  const double* v = values.data();
  const uint64_t n = rows.size();
  if (ctx.has_missing) {
    for (uint64_t i = 0; i < n; ++i) out.place(rows[i], goes_left(split, v[i]));
  } else {
    // No NaN anywhere in the matrix: the missing test cannot fire.
    const double pivot = split.pivot;
    for (uint64_t i = 0; i < n; ++i) out.place(rows[i], v[i] > pivot);
  }
  return out.finish();
}

uint64_t partition_by_bins(const TrainingContext& ctx, const Node& split, std::span<const uint8_t> bins,
                           std::span<RowIndex> rows, RowBuffer& spill) {
  ScopedNanos timer(ctx.profile.get(), &ProfileCounters::partition_ns);
  MORVEL_ASSERT(ctx.binned && split.feature() < ctx.binned->n_features && bins.size() >= rows.size(),
                "index out of bounds: feature outside the binned matrix");
  const BinnedMatrix& bm = *ctx.binned;
  // For a whole byte b, b > pivot exactly when b > floor(pivot), i.e. b >= floor(pivot) + 1.
  const double pivot = split.pivot;
  const uint64_t first_left = pivot < 0.0 ? 0 : pivot >= 255.0 ? 256 : static_cast<uint64_t>(std::floor(pivot)) + 1;
  const bool may_miss = bm.has_missing;
  const uint64_t missing = missing_bin(bm.edges[split.feature()].size());
  const bool missing_left = split.missing_left();
  StableSplit out(rows, spill);
  const uint8_t* b = bins.data();
  const uint64_t n = rows.size();
  uint64_t i = 0;
  // The directions of 16 rows at a time come from one vector comparison.
#if MORVEL_SIMD_SSE2
  if (first_left <= 255) {
    const __m128i limit = simd::splat(first_left);
    const __m128i missing_v = simd::splat(missing);
    for (; i + 16 <= n; i += 16) {
      const __m128i v = simd::load(b + i);
      __m128i left = simd::equal(simd::max_bytes(v, limit), v);  // byte >= first_left
      if (may_miss) {
        const __m128i gone = simd::equal(v, missing_v);
        left = missing_left ? _mm_or_si128(left, gone) : simd::outside(gone, left);
      }
      const uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(left));
      for (uint64_t j = 0; j < 16; ++j) out.place(rows[i + j], ((mask >> j) & 1) != 0);
    }
  }
#endif
  for (; i < n; ++i) {
    const RowIndex row = rows[i];
    const uint64_t byte = b[i];
    bool left = byte >= first_left;
    if (may_miss && byte == missing) left = missing_left;
    out.place(row, left);
  }
  return out.finish();
}

}  // namespace morvel
