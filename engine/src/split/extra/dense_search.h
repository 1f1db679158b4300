// The two-class dense search: the node's values in a per-worker buffer of the input's type,
// the prefix summed in list order (or four lanes at once for whole weights).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "morvel/profile.h"
#include "split/extra/extremes.h"
#include "split/extra/scoring.h"

namespace morvel::extra {

// The prefix of a two-class search: entries with value <= t (NaN never qualifies).
struct BinaryPrefix {
  double class0 = 0.0;
  double class1 = 0.0;
  double weight = 0.0;
  uint64_t count = 0;
};

// Sums in list order, one running sum per quantity. Entries outside the prefix add +0.0,
// which leaves a running sum of non-negative weights bit for bit unchanged (a -0.0 weight
// adds nothing either), so the sums equal those of adding only the prefix entries; the
// masks replace a branch that mispredicts on every other entry.
template <class T>
BinaryPrefix binary_prefix_in_order(const T* values, const double* entry_weights, const ClassIndex* labels,
                                    uint64_t n, double t) {
  double class0 = 0.0;
  double class1 = 0.0;
  double weight = 0.0;
  uint64_t count = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const bool in = static_cast<double>(values[i]) <= t;
    const uint64_t keep = uint64_t{0} - static_cast<uint64_t>(in);
    const uint64_t one = uint64_t{0} - labels[i];  // labels are 0 or 1
    const uint64_t w = std::bit_cast<uint64_t>(entry_weights[i]) & keep;
    class0 += std::bit_cast<double>(w & ~one);
    class1 += std::bit_cast<double>(w & one);
    weight += std::bit_cast<double>(w);
    count += static_cast<uint64_t>(in);
  }
  return BinaryPrefix{class0, class1, weight, count};
}

// The same sums for whole weights whose total is at most 2^53: every partial sum is an exact
// integer, so the order of the additions cannot change any result, and four lanes add at
// once. Class 0's sum is the prefix weight minus class 1's, exact for the same reason.
template <class T>
BinaryPrefix binary_prefix_whole(const T* values, const double* entry_weights, const ClassIndex* labels, uint64_t n,
                                 double t) {
  uint64_t i = 0;
  double weight = 0.0;
  double class1 = 0.0;
  uint64_t count = 0;
#if MORVEL_SIMD_SSE2
  const __m128d threshold = _mm_set1_pd(t);
  const __m128i zero = simd::zero();
  __m128d weight_a = _mm_setzero_pd();
  __m128d weight_b = _mm_setzero_pd();
  __m128d class1_a = _mm_setzero_pd();
  __m128d class1_b = _mm_setzero_pd();
  __m128i count_a = simd::zero();
  __m128i count_b = simd::zero();
  for (; i + 4 <= n; i += 4) {
    __m128d v0;
    __m128d v1;
    if constexpr (std::is_same_v<T, float>) {
      const __m128 f = _mm_loadu_ps(values + i);
      v0 = _mm_cvtps_pd(f);
      v1 = _mm_cvtps_pd(_mm_movehl_ps(f, f));
    } else {
      v0 = _mm_loadu_pd(values + i);
      v1 = _mm_loadu_pd(values + i + 2);
    }
    const __m128d in0 = _mm_cmple_pd(v0, threshold);  // false for NaN
    const __m128d in1 = _mm_cmple_pd(v1, threshold);
    const __m128d w0 = _mm_and_pd(in0, _mm_loadu_pd(entry_weights + i));
    const __m128d w1 = _mm_and_pd(in1, _mm_loadu_pd(entry_weights + i + 2));
    // Two 32-bit labels widened to two 64-bit lanes each, then 0 or all ones.
    const __m128i labels0 = _mm_unpacklo_epi32(simd::load_half(labels + i), zero);
    const __m128i labels1 =
        _mm_unpacklo_epi32(simd::load_half(labels + i + 2), zero);
    const __m128d one0 = _mm_castsi128_pd(_mm_sub_epi64(zero, labels0));
    const __m128d one1 = _mm_castsi128_pd(_mm_sub_epi64(zero, labels1));
    weight_a = _mm_add_pd(weight_a, w0);
    weight_b = _mm_add_pd(weight_b, w1);
    class1_a = _mm_add_pd(class1_a, _mm_and_pd(one0, w0));
    class1_b = _mm_add_pd(class1_b, _mm_and_pd(one1, w1));
    count_a = _mm_sub_epi64(count_a, _mm_castpd_si128(in0));
    count_b = _mm_sub_epi64(count_b, _mm_castpd_si128(in1));
  }
  alignas(16) double lanes[2];
  _mm_store_pd(lanes, _mm_add_pd(weight_a, weight_b));
  weight = lanes[0] + lanes[1];
  _mm_store_pd(lanes, _mm_add_pd(class1_a, class1_b));
  class1 = lanes[0] + lanes[1];
  alignas(16) uint64_t counts[2];
  simd::store_aligned(counts, _mm_add_epi64(count_a, count_b));
  count = counts[0] + counts[1];
#endif
  const BinaryPrefix rest = binary_prefix_in_order(values + i, entry_weights + i, labels + i, n - i, t);
  weight += rest.weight;
  class1 += rest.class1;
  count += rest.count;
  return BinaryPrefix{weight - class1, class1, weight, count};
}

template <class T>
BinaryPrefix binary_prefix(const T* values, const double* entry_weights, const ClassIndex* labels, uint64_t n,
                           double t, bool whole_weights) {
  if (whole_weights) return binary_prefix_whole(values, entry_weights, labels, n, t);
  return binary_prefix_in_order(values, entry_weights, labels, n, t);
}

// `read(row)` returns the stored element (float for float32 input) of the searched feature.
template <class T, class Read>
std::optional<SplitCandidate> binary_dense_search(const TrainingContext& ctx, const SearchRules& rules,
                                                  std::span<const RowIndex> rows, const NodeStats& stats,
                                                  uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                  std::vector<uint64_t>& constant_features, Rng& rng,
                                                  std::vector<T>& values, ExtraScratch& scratch, ProfileCounters* profile,
                                                  Read read) {
  const bool whole_weights = scratch.plan.whole_weights();
  const uint64_t n = rows.size();
  MORVEL_ASSERT(stats.entry_weights.size() == n, "exact binary node caches its weights");
  MORVEL_ASSERT(stats.labels.size() == n, "index out of bounds: node labels do not match the index list");
  // Grown, never shrunk: a smaller node reuses the front of the buffer without clearing it.
  if (values.size() < n) values.resize(n);
  if (profile != nullptr) profile->record_peak(values.capacity() * sizeof(T));
  const double* ew = stats.entry_weights.data();
  const ClassIndex* labels = stats.labels.data();

  double missing[2] = {0.0, 0.0};
  double missing_weight = 0.0;
  uint64_t missing_count = 0;
  T lo = std::numeric_limits<T>::infinity();
  T hi = -std::numeric_limits<T>::infinity();
  if (ctx.has_missing) {
    for (uint64_t i = 0; i < n; ++i) {
      MORVEL_ASSERT(rows[i] < ctx.n_rows, "index out of bounds: row outside the training matrix");
      const T v = read(rows[i]);
      values[i] = v;
      if (std::isnan(v)) {
        missing[labels[i]] += ew[i];
        missing_weight += ew[i];
        ++missing_count;
        continue;
      }
      if (v < lo) lo = v;
      if (v > hi) hi = v;
    }
  } else {
    // No value of the matrix is missing: only the extremes are tracked, without branches.
    copy_extremes(rows.data(), n, ctx.n_rows, read, values.data(), lo, hi);
  }
  const auto reject = [profile] {
    if (profile != nullptr) profile->add(profile->rejected_candidates, 1);
    return std::optional<SplitCandidate>{};
  };
  if (!(lo < hi)) {
    constant_features.push_back(feature);
    return reject();
  }
  const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, static_cast<double>(lo),
                                        static_cast<double>(hi));

  const BinaryPrefix sums = binary_prefix(values.data(), ew, labels, n, t, whole_weights);
  const double prefix[2] = {sums.class0, sums.class1};
  const double prefix_weight = sums.weight;
  const uint64_t prefix_count = sums.count;
  if (prefix_count == 0 || prefix_count == n - missing_count) return reject();
  double work[4];
  const DrawnPartition part{prefix, prefix_weight, prefix_count, missing, missing_weight, missing_count};
  auto result = score_drawn(rules, stats, parent_impurity(rules, stats, scratch), n, part, t, constraint, bounds, work);
  if (!result) return reject();
  return result;
}

template <class Fn>
decltype(auto) with_dense_reader(const TrainingContext& ctx, uint64_t feature, uint64_t n_entries,
                                 ExtraScratch& scratch, Fn&& fn) {
  MORVEL_ASSERT(feature < ctx.n_features, "index out of bounds: feature outside the training matrix");
  const uint64_t n_rows = ctx.n_rows;
  if (reads_rows(ctx, n_entries)) {
    const double* values = ctx.dense.values.data();
    const uint64_t n_features = ctx.n_features;
    return fn(scratch.values_f64,
              [values, n_features, feature](uint64_t row) { return values[row * n_features + feature]; });
  }
  if (!ctx.feature_major_f32.empty()) {
    const float* column = ctx.feature_major_f32.data() + feature * n_rows;
    return fn(scratch.values_f32, [column](uint64_t row) { return column[row]; });
  }
  if (ctx.form == ValueForm::ViewF32) {
    const ViewF32& view = ctx.view_f32;
    const RowIndex* order = ctx.order.data();
    return fn(scratch.values_f32, [&view, order, feature](uint64_t row) { return view.at(order[row], feature); });
  }
  if (!ctx.feature_major_f64.empty()) {
    const double* column = ctx.feature_major_f64.data() + feature * n_rows;
    return fn(scratch.values_f64, [column](uint64_t row) { return column[row]; });
  }
  if (ctx.form == ValueForm::ViewF64) {
    const ViewF64& view = ctx.view_f64;
    const RowIndex* order = ctx.order.data();
    return fn(scratch.values_f64, [&view, order, feature](uint64_t row) { return view.at(order[row], feature); });
  }
  const double* values = ctx.dense.values.data();
  const uint64_t n_features = ctx.n_features;
  return fn(scratch.values_f64,
            [values, n_features, feature](uint64_t row) { return values[row * n_features + feature]; });
}

}  // namespace morvel::extra
