// Node statistics of extra-trees growth: the sums of compute_node_stats from per-tree tags, and
// what they leave ready for the node's searches (entry bytes, class lanes or planes, offsets).
#include "split/extra/extra_trees.h"

#include "morvel/errors.h"
#include "split/extra/byte_blocks.h"
#include "split/extra/class_lanes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel {

using namespace extra;

namespace {

// Two-class sums over the tagged rows in list order, as compute_node_stats' two-class loop:
// the other class's sum adds +0.0. Fills the entry labels and weights (sized by the caller),
// the class weights and W; `also(i, weight, one)` sees each entry, `one` all ones for class 1.
template <class Also>
void tagged_sums(std::span<const RowIndex> rows, const ExtraScratch& scratch, NodeStats& out, Also&& also) {
  const uint64_t n = rows.size();
  const uint64_t* tagged = scratch.tagged_rows.data();
  const uint64_t n_tagged = scratch.tagged_rows.size();
  ClassIndex* entry_labels = out.labels.data();
  double* entry_weights = out.entry_weights.data();
  double class0 = 0.0;
  double class1 = 0.0;
  double total = 0.0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < n_tagged, "index out of bounds: row outside the training matrix");
    const uint64_t bits = tagged[row] & ~kSignBit;
    const uint64_t c = tagged[row] >> 63;
    const uint64_t one = uint64_t{0} - c;
    const double wr = std::bit_cast<double>(bits);
    class0 += std::bit_cast<double>(bits & ~one);
    class1 += std::bit_cast<double>(bits & one);
    total += wr;
    entry_labels[i] = c;
    entry_weights[i] = wr;
    also(i, wr, one);
  }
  out.class_weight.assign(2, 0.0);
  out.class_weight[0] = class0;
  out.class_weight[1] = class1;
  out.weight = total;
}


}  // namespace

void tagged_node_stats(const TrainingContext& ctx, std::span<const RowIndex> rows, const ExtraScratch& scratch,
                       NodeStats& out) {
  out.criterion = ctx.growth.criterion;
  out.labels.resize(rows.size());
  out.entry_weights.resize(rows.size());
  tagged_sums(rows, scratch, out, [](uint64_t, double, uint64_t) {});
}

bool prepare_extra_node(const NodeStats& stats, ExtraScratch& scratch) {
  const uint64_t n = stats.labels.size();
  scratch.node_impurity_known = false;
  const uint64_t k = stats.class_weight.size();
  if (!scratch.plan.byte_weights() || k < 2 || k > kByteBins - 1 || stats.entry_weights.size() != n) return false;
  if (scratch.entry_bytes.size() < n + kBlockPad) scratch.entry_bytes.resize(n + kBlockPad);
  uint8_t* weight = scratch.entry_bytes.data();
  for (uint64_t i = 0; i < n; ++i) weight[i] = static_cast<uint8_t>(stats.entry_weights[i]);
  if (k == 2) {
    if (scratch.entry_bytes_one.size() < n + kBlockPad) scratch.entry_bytes_one.resize(n + kBlockPad);
    uint8_t* one = scratch.entry_bytes_one.data();
    for (uint64_t i = 0; i < n; ++i) one[i] = stats.labels[i] != 0 ? weight[i] : 0;
  } else {
    if (scratch.entry_classes.size() < n + kBlockPad) scratch.entry_classes.resize(n + kBlockPad);
    uint8_t* classes = scratch.entry_classes.data();
    for (uint64_t i = 0; i < n; ++i) {
      MORVEL_ASSERT(stats.labels[i] < k, "index out of bounds: label outside 0..n_classes");
      classes[i] = static_cast<uint8_t>(stats.labels[i]);
    }
  }
  return true;
}

#if MORVEL_SIMD_SSE2
// Four entries' row tags in one word, entry `begin` in the low 16 bits; entries at or past
// `end` read as zero tags (no weight). Checks every row and writes its offset into the
// row-major copy when `offset` is given.
inline uint64_t gather_tag_word(const uint16_t* tags, const RowIndex* rows, uint64_t begin, uint64_t end,
                                uint64_t n_rows, uint32_t* offset, uint32_t n_features) {
  uint64_t word = 0;
  for (uint64_t j = begin; j < end && j < begin + 4; ++j) {
    const RowIndex r = rows[j];
    MORVEL_ASSERT(r < n_rows, "index out of bounds: row outside the training matrix");
    word |= uint64_t{tags[r]} << ((j - begin) * 16);
    if (offset != nullptr) offset[j] = r * n_features;
  }
  return word;
}

// Gathers a node's row tags 16 entries at a time (assembled in registers: a vector load of
// tags just stored one by one would wait for every store) and splits them into the weight
// bytes and the second bytes (K == 2: the class-1 weight; otherwise the class), summing the
// weights, the class-1 weights (K == 2) and, for K of 3 to 8, each class's weight. The last
// block's lanes past n carry zero tags.
// With `stored` given, the tags are read from it instead (gathered there beforehand, padded
// with zero tags to whole blocks): on long lists the stores have long completed when read,
// and a plain gather costs fewer instructions.
template <uint64_t K>
void gather_split_tags(const uint16_t* stored, const uint16_t* tags, const RowIndex* rows, uint64_t n,
                       uint64_t n_rows, uint32_t* offset, uint32_t n_features, uint8_t* weight, uint8_t* second,
                       uint64_t& total, uint64_t& ones, uint64_t* class_sums) {
  constexpr uint64_t kLanes = K > 2 && K <= 8 ? K : 0;
  const __m128i low_byte = _mm_set1_epi16(0x00FF);
  const __m128i zero = simd::zero();
  __m128i w_sum = zero;
  __m128i one_sum = zero;
  __m128i per_class[kLanes > 0 ? kLanes : 1];
  for (uint64_t c = 0; c < kLanes; ++c) per_class[c] = zero;
  for (uint64_t i = 0; i < n; i += simd::kLanes) {
    const auto word = [&](uint64_t begin) {
      return static_cast<int64_t>(gather_tag_word(tags, rows, begin, n, n_rows, offset, n_features));
    };
    const __m128i t0 = stored != nullptr ? simd::load(stored + i)
                                         : _mm_set_epi64x(word(i + 4), word(i));
    const __m128i t1 = stored != nullptr ? simd::load(stored + i + 8)
                                         : _mm_set_epi64x(word(i + 12), word(i + 8));
    const __m128i w = _mm_packus_epi16(_mm_and_si128(t0, low_byte), _mm_and_si128(t1, low_byte));
    const __m128i c = _mm_packus_epi16(_mm_srli_epi16(t0, 8), _mm_srli_epi16(t1, 8));
    simd::store(weight + i, w);
    w_sum = simd::add_byte_sums(w_sum, w);
    if constexpr (K == 2) {
      const __m128i one = _mm_and_si128(w, _mm_sub_epi8(zero, c));  // classes are 0 or 1
      simd::store(second + i, one);
      one_sum = simd::add_byte_sums(one_sum, one);
    } else {
      simd::store(second + i, c);
      for (uint64_t j = 0; j < kLanes; ++j) {
        const __m128i mine = simd::equal(c, simd::splat(j));
        per_class[j] = simd::add_byte_sums(per_class[j], _mm_and_si128(mine, w));
      }
    }
  }
  total = simd::byte_total(w_sum);
  ones = simd::byte_total(one_sum);
  for (uint64_t j = 0; j < kLanes; ++j) class_sums[j] = simd::byte_total(per_class[j]);
}
#endif

namespace {

// The node's row tags in list order (entry_row_tags, padded with zero tags), each row checked
// against the tags and its offset into the row-major copy written when `offset` is given.
[[gnu::always_inline]] inline uint16_t* gather_entry_tags(const uint16_t* tags, std::span<const RowIndex> rows,
                                                         uint64_t n_rows, uint32_t* offset, uint32_t n_features,
                                                         ExtraScratch& scratch) {
  const uint64_t n = rows.size();
  if (scratch.entry_row_tags.size() < n + kBlockPad) scratch.entry_row_tags.resize(n + kBlockPad);
  uint16_t* entry_tags = scratch.entry_row_tags.data();
  for (uint64_t i = 0; i < n; ++i) {
    const RowIndex r = rows[i];
    MORVEL_ASSERT(r < n_rows, "index out of bounds: row outside the training matrix");
    entry_tags[i] = tags[r];
    if (offset != nullptr) offset[i] = r * n_features;
  }
  // Padding tags weigh nothing.
  std::fill(entry_tags + n, entry_tags + n + kBlockPad, uint16_t{0});
  return entry_tags;
}

// The class weights and W of `out` from the node's row tags, split on the way into the weight
// bytes and second bytes the byte searches read. `entry_tags` holds the tags gathered by
// gather_entry_tags, or is null for a node whose tags gather_split_tags assembles in
// registers from `tags` (writing the offsets to `offsets_out` when given).
// Forced inline: as a call of its own it costs the byte growth of a node about a tenth more.
[[gnu::always_inline]] inline void split_row_tags([[maybe_unused]] const uint16_t* entry_tags,
                                                  [[maybe_unused]] const uint16_t* tags,
                                                  [[maybe_unused]] std::span<const RowIndex> rows,
                                                  [[maybe_unused]] uint64_t n_rows,
                                                  [[maybe_unused]] uint32_t* offsets_out,
                                                  [[maybe_unused]] uint32_t n_features, uint8_t* weight,
                                                  uint8_t* second, uint64_t k, ExtraScratch& scratch, NodeStats& out) {
  const uint64_t n = rows.size();
  // Whole numbers: every sum is exact, so integer sums in any order give the values of
  // compute_node_stats' list-order double sums. The tags split into the weight bytes and the
  // second bytes (two classes: the class-1 weight; more: the class), 16 entries at a time.
  uint64_t total = 0;
  uint64_t ones = 0;
  out.class_weight.assign(k, 0.0);
  // Up to eight classes sum in vector lanes; more classes after the split, entry by entry.
  constexpr uint64_t kLaneClasses = 8;
  uint64_t class_sums[kLaneClasses] = {};
  bool summed = false;
#if MORVEL_SIMD_SSE2
  auto split_tags = [&](auto classes) {
    gather_split_tags<decltype(classes)::value>(entry_tags, tags, rows.data(), n, n_rows, offsets_out, n_features,
                                                weight, second, total, ones, class_sums);
  };
  with_class_count<kLaneClasses>(k, split_tags);
  summed = k > 2 && k <= kLaneClasses;
#else
  for (uint64_t i = 0; i < n + kBlockPad; ++i) {
    const uint64_t w = entry_tags[i] & 0xFF;
    const uint64_t c = entry_tags[i] >> 8;
    weight[i] = static_cast<uint8_t>(w);
    second[i] = static_cast<uint8_t>(k == 2 ? (w & (uint64_t{0} - c)) : c);
    total += w;
    if (k == 2) ones += w & (uint64_t{0} - c);
  }
#endif
  if (k == 2) {
    out.class_weight[0] = whole_sum(total - ones);
    out.class_weight[1] = whole_sum(ones);
  } else if (summed) {
    for (uint64_t c = 0; c < k; ++c) out.class_weight[c] = whole_sum(class_sums[c]);
  } else {
    std::vector<uint64_t>& sums = scratch.class_counts;
    sums.assign(k, 0);
    for (uint64_t j = 0; j < n; ++j) sums[second[j]] += weight[j];
    for (uint64_t c = 0; c < k; ++c) out.class_weight[c] = whole_sum(sums[c]);
  }
  out.weight = whole_sum(total);
}

}  // namespace

NodePrep binned_node_stats(const TrainingContext& ctx, std::span<const RowIndex> rows, ExtraScratch& scratch,
                           NodeStats& out) {
  MORVEL_ASSERT(ctx.binned && scratch.plan.stats == ExtraStats::EntryBytes && scratch.row_tags.size() == ctx.binned->n_rows,
                "index out of bounds: entry bytes need tagged rows");
  const BinnedMatrix& bm = *ctx.binned;
  const uint64_t k = ctx.n_classes;
  const uint64_t n = rows.size();
  out.criterion = ctx.growth.criterion;
  out.labels.clear();
  out.entry_weights.clear();
  if (scratch.entry_bytes.size() < n + kBlockPad) scratch.entry_bytes.resize(n + kBlockPad);
  std::vector<uint8_t>& second_bytes = k == 2 ? scratch.entry_bytes_one : scratch.entry_classes;
  if (second_bytes.size() < n + kBlockPad) second_bytes.resize(n + kBlockPad);
  uint8_t* weight = scratch.entry_bytes.data();
  uint8_t* second = second_bytes.data();
  // Every row is checked here, once per node: the node's searches then gather its bins
  // without checking (the tags cover exactly the matrix's rows, or the rebased subtree's).
  const uint16_t* tags = scratch.rebased ? scratch.local_tags.data() : scratch.row_tags.data();
  const uint64_t n_rows = scratch.rebased ? scratch.rebased_rows : scratch.row_tags.size();
  MORVEL_ASSERT(scratch.rebased || n_rows == bm.n_rows, "index out of bounds: row outside the training matrix");
  // Small nodes read the row-major copy (gather_node_bins) through offsets computed here. The
  // cutoff is the copy's size rule without its density rule (reads_row_major_copy): a node's
  // expected features are gathered in one pass over its rows (gather_feature_batch), which
  // loads each row's line once for all of them, so even dense nodes miss the cache less here.
  const bool offsets = n < BinnedMatrix::kRowMajorCopyBelow && bm.row_major_copy.size() == bm.bins.size() &&
                       bm.row_major_copy.size() <= uint64_t{0xFFFFFFFF};
  if (offsets && scratch.row_offsets.size() < n) scratch.row_offsets.resize(n);
  uint32_t* offset = scratch.row_offsets.data();
  const uint32_t n_features = static_cast<uint32_t>(bm.n_features);
  // Nodes up to this size keep their tags in registers (gather_split_tags).
  [[maybe_unused]] constexpr uint64_t kTagsInRegisters = 64;
  uint16_t* entry_tags = nullptr;
#if MORVEL_SIMD_SSE2
  if (n > kTagsInRegisters)
#endif
    entry_tags = gather_entry_tags(tags, rows, n_rows, offsets ? offset : nullptr, n_features, scratch);

  uint32_t* offsets_out = offsets && entry_tags == nullptr ? offset : nullptr;
  split_row_tags(entry_tags, tags, rows, n_rows, offsets_out, n_features, weight, second, k, scratch, out);
  scratch.node_impurity_known = false;
  return NodePrep{NodeReady::EntryBytes, /*rows_checked=*/true, /*row_offsets=*/offsets};
}

NodePrep byte_node_stats(const TrainingContext& ctx, const TreeWeights& weights, std::span<const RowIndex> rows,
                         ExtraScratch& scratch, NodeStats& out) {
  MORVEL_ASSERT(!scratch.rebased, "index out of bounds: a rebased subtree's rows are positions");
  const NodePrep prep = binned_node_stats(ctx, rows, scratch, out);
  const uint64_t n = rows.size();
  out.labels.resize(n);
  out.entry_weights.resize(n);
  const uint16_t* tags = scratch.row_tags.data();
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < weights.weights.size(), "index out of bounds: row outside the training matrix");
    out.labels[i] = tags[row] >> 8;
    out.entry_weights[i] = weights.weights[row];
  }
  return prep;
}

namespace {

// An entry's eight class lanes: its weight (a whole number of at most 255, byte weights) in the
// byte of its class, zeros in the others. Byte c of the little-endian word is lane c.
inline void store_tag(uint8_t* lanes, uint64_t c, double weight) {
  static_assert(std::endian::native == std::endian::little);
  const uint64_t tag = static_cast<uint64_t>(weight) << (8 * c);
  std::memcpy(lanes, &tag, sizeof(tag));
}

// What tagged_class_stats reads per row: the class and weight of each row (row_lanes, with
// kNoRowLane where the matrix's own label and weight must be read instead).
struct RowSource {
  const ClassIndex* labels;
  const double* w;
  const uint16_t* row_lanes;
  uint64_t n_rows;
  uint64_t k;
};

// Class planes (ExtraScratch::entry_planes) of the entries of `rows`, with their labels,
// weights and per-class sums.
void measure_class_planes(const RowSource& src, std::span<const RowIndex> rows, ExtraScratch& scratch,
                          ClassIndex* entry_labels, double* entry_weights, uint64_t* sums) {
  const uint64_t n = rows.size();
  const auto& [labels, w, row_lanes, n_rows, k] = src;
  const uint64_t bytes = plane_bytes(n, k);
  if (scratch.entry_planes.size() < bytes) scratch.entry_planes.resize(bytes);
  uint8_t* plane = scratch.entry_planes.data();
#if MORVEL_SIMD_SSE2
  for (uint64_t b = 0; b < bytes; b += simd::kLanes)
    simd::store(plane + b, simd::zero());
#else
  std::memset(plane, 0, bytes);
#endif
  // The class sums are added here, in list order: exact integers in any order.
  std::fill(sums, sums + kTagLanes, uint64_t{0});
  for (uint64_t begin = 0; begin < n; begin += simd::kLanes) {
    uint8_t* block = plane + k * begin;
    const uint64_t end = std::min<uint64_t>(n, begin + simd::kLanes);
    for (uint64_t i = begin; i < end; ++i) {
      const uint64_t row = rows[i];
      MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
      uint64_t lane = row_lanes[row];
      double entry_weight = static_cast<double>(static_cast<int64_t>(lane & 0xFF));
      if (lane == ExtraScratch::kNoRowLane) [[unlikely]] {
        const uint64_t c = labels[row];
        MORVEL_ASSERT(c < k, "index out of bounds: label outside 0..n_classes");
        // A byte weight stored as -0.0 (the tree's weights are byte weights): it adds nothing.
        MORVEL_ASSERT(w[row] >= 0.0 && w[row] <= 255.0, "assertion failed: class lanes need byte weights");
        entry_weight = w[row];
        lane = (c << 8) | static_cast<uint64_t>(w[row]);
      }
      // Otherwise the same class and weight as the matrix's (a byte weight, never -0.0).
      const uint64_t c = lane >> 8;
      const uint64_t wr = lane & 0xFF;
      entry_weights[i] = entry_weight;
      entry_labels[i] = static_cast<ClassIndex>(c);
      block[simd::kLanes * c + (i - begin)] = static_cast<uint8_t>(wr);
      sums[c] += wr;
    }
  }
}

// Eight-lane class tags (ExtraScratch::entry_tags) of the entries of `rows`, with their
// labels, weights and per-class sums.
void measure_class_tags(const RowSource& src, std::span<const RowIndex> rows, ExtraScratch& scratch,
                        ClassIndex* entry_labels, double* entry_weights, uint64_t* sums) {
  const uint64_t n = rows.size();
  const auto& [labels, w, row_lanes, n_rows, k] = src;
  if (scratch.entry_tags.size() < kTagLanes * n) scratch.entry_tags.resize(kTagLanes * n);
  uint8_t* tags = scratch.entry_tags.data();
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
    const uint64_t lane = row_lanes[row];
    if (lane != ExtraScratch::kNoRowLane) {
      // The same class and weight as the matrix's (a byte weight, never -0.0).
      const uint64_t c = lane >> 8;
      const uint64_t wr = lane & 0xFF;
      const uint64_t tag = wr << (8 * c);
      entry_labels[i] = static_cast<ClassIndex>(c);
      entry_weights[i] = static_cast<double>(wr);
      std::memcpy(tags + kTagLanes * i, &tag, sizeof(tag));
      continue;
    }
    const uint64_t c = labels[row];
    MORVEL_ASSERT(c < k, "index out of bounds: label outside 0..n_classes");
    const double wr = w[row];
    entry_labels[i] = c;
    entry_weights[i] = wr;
    store_tag(tags + kTagLanes * i, c, wr);
  }
  tag_totals(tags, n, sums);
}

}  // namespace

// A row whose weight is a byte weight (a whole number from 0 to 255, not -0.0) and whose
// class is below k gets its class and weight, any other row kNoRowLane (tagged_class_stats
// then reads the matrix's label and weight).
void build_row_lanes(const TrainingContext& ctx, std::span<const double> weights, ExtraScratch& scratch) {
  const uint64_t k = ctx.n_classes;
  const uint64_t n_rows = std::min<uint64_t>(ctx.n_rows, weights.size());
  MORVEL_ASSERT(ctx.labels.size() >= n_rows, "index out of bounds: row outside the training matrix");
  scratch.row_lanes.resize(n_rows);
  uint16_t* lanes = scratch.row_lanes.data();
  for (uint64_t r = 0; r < n_rows; ++r) {
    const double w = weights[r];
    const uint64_t c = ctx.labels[r];
    const bool byte = w >= 0.0 && w <= 255.0 && w == std::floor(w) && !std::signbit(w) && c < k;
    lanes[r] = byte ? static_cast<uint16_t>((c << 8) | static_cast<uint64_t>(w)) : ExtraScratch::kNoRowLane;
  }
}

NodePrep tagged_class_stats(const TrainingContext& ctx, const TreeWeights& weights, std::span<const RowIndex> rows,
                            ExtraScratch& scratch, NodeStats& out) {
  const uint64_t k = ctx.n_classes;
  MORVEL_ASSERT((k >= 3 || (k == 2 && !ctx.has_missing)) && k <= kTagLanes,
                "index out of bounds: class lanes need three to eight classes, or two without missing values");
  const uint64_t n = rows.size();
  out.criterion = ctx.growth.criterion;
  out.labels.resize(n);
  out.entry_weights.resize(n);
  const ClassIndex* labels = ctx.labels.data();
  const double* w = weights.weights.data();
  const uint64_t n_rows = std::min<uint64_t>(ctx.n_rows, weights.weights.size());
  MORVEL_ASSERT(ctx.labels.size() >= n_rows, "index out of bounds: row outside the training matrix");
  // The tree's plan built the lanes from these labels and weights (build_row_lanes).
  MORVEL_ASSERT(scratch.plan.stats == ExtraStats::ClassLanes && scratch.row_lanes.size() == n_rows,
                "assertion failed: class lanes need the tree's row lanes");
  const uint16_t* row_lanes = scratch.row_lanes.data();
  ClassIndex* entry_labels = out.labels.data();
  double* entry_weights = out.entry_weights.data();
  // Byte weights: every list-order partial sum of compute_node_stats is an exact integer, so
  // the integer sums of the lanes are its class weights and their total is W.
  uint64_t sums[kTagLanes];
  // Only the lane searches read a node without missing values, and they read planes.
  const bool planes = !ctx.has_missing;
  const RowSource src{labels, w, row_lanes, n_rows, k};
  if (planes) {
    measure_class_planes(src, rows, scratch, entry_labels, entry_weights, sums);
  } else {
    measure_class_tags(src, rows, scratch, entry_labels, entry_weights, sums);
  }
  out.class_weight.resize(k);
  uint64_t total = 0;
  for (uint64_t c = 0; c < k; ++c) {
    out.class_weight[c] = static_cast<double>(static_cast<int64_t>(sums[c]));
    total += sums[c];
  }
  out.weight = static_cast<double>(static_cast<int64_t>(total));
  scratch.tag_impurity_known = false;
  return NodePrep{planes ? NodeReady::ClassPlanes : NodeReady::ClassTags, /*rows_checked=*/true};
}

NodePrep prepare_extra_node(const TrainingContext& ctx, const NodeStats& stats, NodePrep measured,
                            ExtraScratch& scratch) {
  // What the statistics step left serves as it is.
  if (measured.ready != NodeReady::Nothing) return measured;
  if (ctx.binned) return NodePrep{prepare_extra_node(stats, scratch) ? NodeReady::EntryBytes : NodeReady::Nothing};
  const uint64_t n = stats.labels.size();
  const uint64_t k = stats.class_weight.size();
  if (!scratch.plan.byte_weights() || k < 3 || k > kTagLanes || stats.entry_weights.size() != n) return NodePrep{};
  if (scratch.entry_tags.size() < kTagLanes * n) scratch.entry_tags.resize(kTagLanes * n);
  uint8_t* tags = scratch.entry_tags.data();
  for (uint64_t i = 0; i < n; ++i) {
    MORVEL_ASSERT(stats.labels[i] < k, "index out of bounds: label outside 0..n_classes");
    store_tag(tags + kTagLanes * i, stats.labels[i], stats.entry_weights[i]);
  }
  scratch.tag_impurity_known = false;
  return NodePrep{NodeReady::ClassTags};
}

}  // namespace morvel
