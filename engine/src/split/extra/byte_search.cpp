// The binned extra-trees searches: the two-class table search for any weights, and the byte
// searches of a node prepared on byte weights (binned_node_stats, prepare_extra_node).
#include "split/extra/byte_search.h"

#include "morvel/bin_edges.h"
#include "morvel/errors.h"
#include "split/extra/byte_blocks.h"
#include "split/extra/dense_search.h"
#include "split/extra/whole_scoring.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel {

using namespace extra;

namespace extra {

namespace {

// Gathers the searched feature's bins of the node's entries into node_bins and records whose
// they are; returns the node's byte view.
ByteNode gather_node_bins(const BinnedMatrix& bm, std::span<const RowIndex> rows, const NodePrep& prep,
                          uint64_t feature, ExtraScratch& scratch, const uint8_t* second) {
  const uint64_t n = rows.size();
  if (scratch.node_bins.size() < n + kBlockPad) scratch.node_bins.resize(n + kBlockPad);
  MORVEL_ASSERT(scratch.entry_bytes.size() >= n + kBlockPad, "index out of bounds: entry bytes shorter than the node");
  MORVEL_ASSERT(feature < bm.n_features, "index out of bounds: feature outside the binned matrix");
  uint8_t* bins = scratch.node_bins.data();
  static_assert(std::is_same_v<RowIndex, uint32_t>);
  scratch.bins_feature = feature;
  scratch.bins_entries = n;
  scratch.bins_stamp = scratch.kept_stamp;
  if (prep.batch) {
    for (uint64_t j = 0; j < scratch.batch_count; ++j) {
      if (scratch.batch_features[j] != feature) continue;
      scratch.bins_data = scratch.batch_bins.data() + j * scratch.batch_stride;
      return ByteNode{scratch.bins_data, scratch.entry_bytes.data(), second, n};
    }
  }
  scratch.bins_data = bins;
  if (prep.rows_checked) {
    // Rows checked by binned_node_stats. A small node's rows are scattered over a column, one
    // cache line each; in the row-major copy each row's bytes of every feature share a line or
    // two, which the node's other searches and its children then find cached. Its entries'
    // offsets into the copy were computed with the statistics.
    if (prep.row_offsets) {
      gather_indexed(row_lines(bm, scratch) + feature, scratch.row_offsets.data(), n, bins);
    } else {
      MORVEL_ASSERT(bm.feature_major && !scratch.rebased,
                    "index out of bounds: byte searches read a feature-major matrix");
      gather_indexed(bm.bins.data() + feature * bm.n_rows, rows.data(), n, bins);
    }
  } else {
    MORVEL_ASSERT(!scratch.rebased, "index out of bounds: a rebased subtree's rows are positions");
    const uint8_t* column = bm.bins.data() + (bm.feature_major ? feature * bm.n_rows : feature);
    const uint64_t stride = bm.feature_major ? 1 : bm.n_features;
    gather_bins(column, stride, rows.data(), n, bm.n_rows, bins);
  }
  return ByteNode{bins, scratch.entry_bytes.data(), second, n};
}

}  // namespace

// The two-class binned search on bytes, for a node prepared by binned_node_stats or
// prepare_extra_node: whole weights of at most 255, so every sum is an exact integer and the
// per-bin sums of the table form collapse into sums over the entries whose bin is <= floor(t).
// The missing bin (above every other bin of the feature) never qualifies. Same draws, same
// rejections, same result.
std::optional<SplitCandidate> binary_binned_bytes(const TrainingContext& ctx, const SearchRules& rules,
                                                  std::span<const RowIndex> rows, const NodeStats& stats,
                                                  const NodePrep& prep, uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                  std::vector<uint64_t>& constant_features, Rng& rng,
                                                  ExtraScratch& scratch, ProfileCounters* profile) {
  const BinnedMatrix& bm = *ctx.binned;
  MORVEL_ASSERT(feature < bm.n_features && feature < bm.edges.size(),
                "index out of bounds: feature outside the binned matrix");
  const uint64_t missing_byte = bm.has_missing ? missing_bin(bm.edges[feature].size()) : kByteBins;
  const uint64_t n = rows.size();
  const auto reject = [profile] {
    if (profile != nullptr) profile->add(profile->rejected_candidates, 1);
    return std::optional<SplitCandidate>{};
  };
  MORVEL_ASSERT(scratch.entry_bytes_one.size() >= n + kBlockPad,
                "index out of bounds: entry bytes shorter than the node");
  const ByteNode node = gather_node_bins(bm, rows, prep, feature, scratch, scratch.entry_bytes_one.data());
  const bool may_miss = missing_byte < kByteBins;
  const ByteExtremes miss = byte_extremes(node, may_miss, missing_byte, /*sum_missing=*/true);
  // No non-missing entry, or a single bin: constant here.
  if (miss.missing_count == n || !(miss.lo < miss.hi)) {
    constant_features.push_back(feature);
    return reject();
  }
  const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, static_cast<double>(miss.lo),
                                        static_cast<double>(miss.hi));
  // A convex combination can round an ulp below lo: then no bin is <= t. From hi up every
  // non-missing entry is in the prefix.
  if (!(t >= static_cast<double>(miss.lo)) || t >= static_cast<double>(miss.hi)) return reject();
  // t >= lo >= 0 here, so truncation is the floor.
  const uint64_t last = static_cast<uint64_t>(t);
  const BytePrefix prefix = binary_byte_prefix(node, last);
  if (prefix.count == 0 || prefix.count == n - miss.missing_count) return reject();
  auto result = score_binary_sums(rules, stats, byte_node_impurity(rules, stats, scratch), n, prefix, miss, t,
                                  constraint, bounds);
  if (!result) return reject();
  return result;
}

namespace {

// A rejected candidate, counted when profiling.
std::optional<SplitCandidate> rejected(ProfileCounters* profile) {
  if (profile != nullptr) profile->add(profile->rejected_candidates, 1);
  return std::nullopt;
}

// The binned two-class searches' scoring: score_drawn on the two class sums.
std::optional<SplitCandidate> score_binned_pair(const SearchRules& rules, const NodeStats& stats, ExtraScratch& scratch,
                                                uint64_t n, const double* prefix, double prefix_weight,
                                                uint64_t prefix_count, const double* missing, double missing_weight,
                                                uint64_t missing_count, double t, int8_t constraint, NodeBounds bounds,
                                                ProfileCounters* profile) {
  double work[4];
  const DrawnPartition part{prefix, prefix_weight, prefix_count, missing, missing_weight, missing_count};
  auto result = score_drawn(rules, stats, parent_impurity(rules, stats, scratch), n, part, t, constraint, bounds, work);
  if (!result) return rejected(profile);
  return result;
}

// A feature's column of the binned matrix: entry i's bin is column[rows[i] * stride].
struct BinColumn {
  const uint8_t* column;
  uint64_t stride;
  uint64_t missing_byte;  // kByteBins when no value of the matrix is missing
};

// Whole weights: the per-bin sums and their sum over bins lo..floor(t) are exact, so the
// prefix is summed straight from the entries, as in the dense search: the bins are copied as
// doubles (the missing bin as NaN) and an entry is in the prefix when its bin is <= t, which
// for a whole bin means <= floor(t). No table to fill or clear.
std::optional<SplitCandidate> binary_binned_whole(const TrainingContext& ctx, const SearchRules& rules,
                                                  std::span<const RowIndex> rows, const NodeStats& stats,
                                                  uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                  std::vector<uint64_t>& constant_features, Rng& rng,
                                                  ExtraScratch& scratch, ProfileCounters* profile, BinColumn col) {
  const BinnedMatrix& bm = *ctx.binned;
  const uint64_t n = rows.size();
  const ClassIndex* labels = stats.labels.data();
  double missing[2] = {0.0, 0.0};
  double missing_weight = 0.0;
  uint64_t missing_count = 0;
  uint64_t lo = kByteBins;
  uint64_t hi = 0;
  std::vector<double>& values = scratch.values_f64;
  if (values.size() < n) values.resize(n);
  const double* ew = stats.entry_weights.data();
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < bm.n_rows, "index out of bounds: row outside the training matrix");
    const uint64_t b = col.column[row * col.stride];
    if (b == col.missing_byte) {
      values[i] = std::numeric_limits<double>::quiet_NaN();
      missing[labels[i]] += ew[i];
      missing_weight += ew[i];
      ++missing_count;
      continue;
    }
    values[i] = static_cast<double>(b);
    lo = b < lo ? b : lo;
    hi = b > hi ? b : hi;
  }
  if (!(lo < hi)) {
    constant_features.push_back(feature);
    return rejected(profile);
  }
  const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, static_cast<double>(lo),
                                        static_cast<double>(hi));
  const BinaryPrefix sums = binary_prefix_whole(values.data(), ew, labels, n, t);
  if (sums.count == 0 || sums.count == n - missing_count) return rejected(profile);
  const double prefix[2] = {sums.class0, sums.class1};
  return score_binned_pair(rules, stats, scratch, n, prefix, sums.weight, sums.count, missing, missing_weight,
                           missing_count, t, constraint, bounds, profile);
}

// Any weights: per-bin class sums in a 256-bin table, the prefix summed over bins lo..floor(t).
std::optional<SplitCandidate> binary_binned_table(const TrainingContext& ctx, const TreeWeights& weights,
                                                  const SearchRules& rules, std::span<const RowIndex> rows,
                                                  const NodeStats& stats, uint64_t feature, int8_t constraint,
                                                  NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                  Rng& rng, ExtraScratch& scratch, ProfileCounters* profile,
                                                  BinColumn col) {
  const BinnedMatrix& bm = *ctx.binned;
  const uint64_t n = rows.size();
  // The table is all zeros between searches: each search clears the bins it touched.
  if (scratch.bin_counts.size() != kByteBins) {
    scratch.bin_counts.assign(kByteBins, 0);
    scratch.bin_weights.assign(2 * kByteBins, 0.0);
  }
  uint64_t* counts = scratch.bin_counts.data();
  double* table = scratch.bin_weights.data();
  const double* w = weights.weights.data();
  const ClassIndex* labels = stats.labels.data();
  double missing[2] = {0.0, 0.0};
  double missing_weight = 0.0;
  uint64_t missing_count = 0;
  uint64_t lo = kByteBins;
  uint64_t hi = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < bm.n_rows && row < weights.weights.size(),
                  "index out of bounds: row outside the training matrix");
    const uint64_t b = col.column[row * col.stride];
    const double wr = w[row];
    if (b == col.missing_byte) {
      missing[labels[i]] += wr;
      missing_weight += wr;
      ++missing_count;
      continue;
    }
    counts[b] += 1;
    table[2 * b + labels[i]] += wr;
    if (b < lo) lo = b;
    if (b > hi) hi = b;
  }
  const auto clear_table = [&] {
    for (uint64_t b = lo; b <= hi && b < kByteBins; ++b) {
      counts[b] = 0;
      table[2 * b] = 0.0;
      table[2 * b + 1] = 0.0;
    }
  };
  if (!(lo < hi)) {
    clear_table();
    constant_features.push_back(feature);
    return rejected(profile);
  }
  const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, static_cast<double>(lo),
                                        static_cast<double>(hi));
  // Bins lo..floor(t) go right. A convex combination can round an ulp outside [lo, hi];
  // below lo the prefix is empty.
  const uint64_t last = t >= static_cast<double>(lo) ? static_cast<uint64_t>(std::floor(t)) : 0;
  double prefix[2] = {0.0, 0.0};
  uint64_t prefix_count = 0;
  for (uint64_t b = lo; b <= last && b <= hi; ++b) {
    prefix[0] += table[2 * b];
    prefix[1] += table[2 * b + 1];
    prefix_count += counts[b];
  }
  clear_table();
  if (prefix_count == 0 || prefix_count == n - missing_count) return rejected(profile);
  return score_binned_pair(rules, stats, scratch, n, prefix, prefix[0] + prefix[1], prefix_count, missing,
                           missing_weight, missing_count, t, constraint, bounds, profile);
}

}  // namespace

std::optional<SplitCandidate> binary_binned_search(const TrainingContext& ctx, const TreeWeights& weights,
                                                   const SearchRules& rules, std::span<const RowIndex> rows,
                                                   const NodeStats& stats, uint64_t feature, int8_t constraint,
                                                   NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                   Rng& rng, ExtraScratch& scratch, ProfileCounters* profile) {
  const BinnedMatrix& bm = *ctx.binned;
  MORVEL_ASSERT(feature < bm.n_features && feature < bm.edges.size(),
                "index out of bounds: feature outside the binned matrix");
  MORVEL_ASSERT(stats.labels.size() == rows.size(), "index out of bounds: node labels do not match the index list");
  const BinColumn col{bm.bins.data() + (bm.feature_major ? feature * bm.n_rows : feature),
                      bm.feature_major ? uint64_t{1} : bm.n_features,
                      bm.has_missing ? missing_bin(bm.edges[feature].size()) : kByteBins};
  if (scratch.plan.whole_weights() && stats.entry_weights.size() == rows.size()) {
    return binary_binned_whole(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng, scratch,
                               profile, col);
  }
  return binary_binned_table(ctx, weights, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                             scratch, profile, col);
}

#if MORVEL_SIMD_SSE2
// The gini score of a byte search's drawn partition from its class sums, each a whole number
// below 2^53, in integers.
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_whole_gini(
    const SearchRules& rules, const NodeStats& stats, ExtraScratch& scratch, uint64_t n, const double* prefix,
    const double* missing, uint64_t count, uint64_t missing_count, double t, int8_t constraint, NodeBounds bounds) {
  uint64_t node_class[K];
  uint64_t prefix_sums[K];
  uint64_t missing_sums[K];
  uint64_t prefix_sum = 0;
  uint64_t missing_sum = 0;
  for (uint64_t c = 0; c < K; ++c) {
    node_class[c] = static_cast<uint64_t>(stats.class_weight[c]);
    prefix_sums[c] = static_cast<uint64_t>(prefix[c]);
    missing_sums[c] = static_cast<uint64_t>(missing[c]);
    prefix_sum += prefix_sums[c];
    missing_sum += missing_sums[c];
  }
  return score_multi_gini<K>(rules, stats.weight, static_cast<uint64_t>(stats.weight), node_class,
                             byte_node_impurity(rules, stats, scratch), n, prefix_sums, prefix_sum, count,
                             missing_sums, missing_sum, missing_count, t, constraint, bounds);
}
#endif

// The general search on bytes, for a binned node of more than two classes prepared by
// binned_node_stats or prepare_extra_node: whole weights of at most 255, so every class sum is
// an exact integer and may be added in any order; an entry is in the prefix when its bin is
// <= floor(t), which for a whole bin is value <= t. Same draws, same constant list, same
// result as the general search reading bins as doubles.
// K > 0 fixes the class count at compile time (the class loops unrolled, the sums in registers).
template <uint64_t K>
std::optional<SplitCandidate> multi_binned_bytes_for(const TrainingContext& ctx, const SearchRules& rules,
                                                     std::span<const RowIndex> rows, const NodeStats& stats,
                                                     const NodePrep& prep, uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                     std::vector<uint64_t>& constant_features, Rng& rng,
                                                     ExtraScratch& scratch) {
  const BinnedMatrix& bm = *ctx.binned;
  MORVEL_ASSERT(feature < bm.n_features && feature < bm.edges.size(),
                "index out of bounds: feature outside the binned matrix");
  const uint64_t k = K > 0 ? K : rules.n_classes;
  const uint64_t n = rows.size();
  const uint64_t missing_byte = bm.has_missing ? missing_bin(bm.edges[feature].size()) : kByteBins;
  MORVEL_ASSERT(scratch.entry_classes.size() >= n + kBlockPad, "index out of bounds: entry bytes shorter than the node");
  const uint8_t* classes = scratch.entry_classes.data();
  const ByteNode node = gather_node_bins(bm, rows, prep, feature, scratch, classes);
  const uint8_t* bins = node.bins;
  const uint8_t* weight = node.weight;
  const ByteExtremes miss = byte_extremes(node, missing_byte < kByteBins, missing_byte, /*sum_missing=*/false);
  if (miss.missing_count == n || !(miss.lo < miss.hi)) {
    constant_features.push_back(feature);
    return std::nullopt;
  }
  const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, static_cast<double>(miss.lo),
                                        static_cast<double>(miss.hi));
  // An ulp below lo: empty prefix; from hi up: every non-missing entry in the prefix.
  if (!(t >= static_cast<double>(miss.lo)) || t >= static_cast<double>(miss.hi)) return std::nullopt;
  // t >= lo >= 0 here, so truncation is the floor.
  const uint64_t last = static_cast<uint64_t>(t);

  // prefix, missing and score_drawn's work (2k); on the stack for up to eight classes, where
  // clearing a fixed size needs no call.
  constexpr uint64_t kStackClasses = 8;
  alignas(16) double stack_sums[4 * kStackClasses];
  double* prefix = stack_sums;
  double* missing = stack_sums + kStackClasses;
  double* work = stack_sums + 2 * kStackClasses;
  if (k > kStackClasses) {
    if (scratch.buffers.size() < 4 * k) scratch.buffers.resize(4 * k);
    prefix = scratch.buffers.data();
    missing = prefix + k;
    work = prefix + 2 * k;
    std::fill(prefix, prefix + 2 * k, 0.0);
  } else {
    for (uint64_t c = 0; c < kStackClasses; ++c) missing[c] = 0.0;
  }
  double missing_weight = 0.0;
  if (miss.missing_count > 0) {
    for (uint64_t i = 0; i < n; ++i) {
      if (bins[i] != missing_byte) continue;
      missing[classes[i]] += weight[i];
      missing_weight += weight[i];
    }
  }

  const uint64_t count = multi_byte_prefix(node, classes, last, k, prefix);
  if (count == 0 || count == n - miss.missing_count) return std::nullopt;
#if MORVEL_SIMD_SSE2
  if constexpr (K > 0) {
    if (gini_forms(rules))
      return score_whole_gini<K>(rules, stats, scratch, n, prefix, missing, count, miss.missing_count, t, constraint,
                                 bounds);
  }
#endif
  double prefix_weight = 0.0;
  for (uint64_t c = 0; c < k; ++c) prefix_weight += prefix[c];
  const DrawnPartition part{prefix, prefix_weight, count, missing, missing_weight, miss.missing_count};
  return score_drawn_for<K>(rules, stats, byte_node_impurity(rules, stats, scratch), n, part, t, constraint, bounds,
                            work);
}

std::optional<SplitCandidate> multi_binned_bytes(const TrainingContext& ctx, const SearchRules& rules,
                                                 std::span<const RowIndex> rows, const NodeStats& stats,
                                                 const NodePrep& prep, uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                 std::vector<uint64_t>& constant_features, Rng& rng,
                                                 ExtraScratch& scratch) {
  return with_class_count<kMaxUnrolledClasses>(rules.n_classes, [&](auto classes) {
    return multi_binned_bytes_for<decltype(classes)::value>(ctx, rules, rows, stats, prep, feature, constraint, bounds,
                                                            constant_features, rng, scratch);
  });
}

}  // namespace extra

std::optional<SplitCandidate> search_prepared_bytes(const TrainingContext& ctx, const SearchRules& rules,
                                                    std::span<const RowIndex> rows, const NodeStats& stats,
                                                    const NodePrep& prep, uint64_t feature, int8_t constraint,
                                                    NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                    Rng& rng, ExtraScratch& scratch) {
  MORVEL_ASSERT(prep.ready == NodeReady::EntryBytes, "assertion failed: a byte search needs a node prepared on bytes");
  if (rules.n_classes == 2) {
    return binary_binned_bytes(ctx, rules, rows, stats, prep, feature, constraint, bounds, constant_features, rng,
                               scratch, nullptr);
  }
  return multi_binned_bytes(ctx, rules, rows, stats, prep, feature, constraint, bounds, constant_features, rng,
                            scratch);
}

}  // namespace morvel
