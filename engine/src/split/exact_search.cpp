// Exact split search of one feature: gather the node's values, sort them, and score every
// threshold between two neighbouring distinct values with both missing-value directions.
// Must not draw random numbers: the node loop owns every draw.
#include "split/exact_search.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

#include "morvel/errors.h"
#include "split/class_count.h"

namespace morvel {
namespace {

constexpr uint64_t kSignBit = uint64_t{1} << 63;

// Sort keys whose unsigned order is the IEEE-754 total order of the values
// (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN). Values read from float32 data get
// the float's own key in the upper half, leaving the lower four bytes zero so the radix
// sort skips them.
// Both directions flip the sign bit, and the other bits where the value is negative:
// x ^ (mask | sign) with the mask spread from the sign by an arithmetic shift, three
// instructions per gathered or bucketed record instead of a select's six or seven.
struct DoubleKeys {
  static uint64_t key(double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const uint64_t negative = static_cast<uint64_t>(static_cast<int64_t>(bits) >> 63);  // all ones below zero
    return bits ^ (negative | kSignBit);
  }
  static double value(uint64_t key) {
    const uint64_t positive = static_cast<uint64_t>(static_cast<int64_t>(key) >> 63);  // all ones above -0.0
    return std::bit_cast<double>(key ^ (~positive | kSignBit));
  }
};

struct FloatKeys {
  static constexpr uint32_t kFloatSign = uint32_t{1} << 31;
  static uint64_t key(double v) {
    const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(v));  // exact: v came from a float
    const uint32_t negative = static_cast<uint32_t>(static_cast<int32_t>(bits) >> 31);
    return static_cast<uint64_t>(bits ^ (negative | kFloatSign)) << 32;
  }
  static double value(uint64_t key) {
    const uint32_t k = static_cast<uint32_t>(key >> 32);
    const uint32_t positive = static_cast<uint32_t>(static_cast<int32_t>(k) >> 31);
    return static_cast<double>(std::bit_cast<float>(k ^ (~positive | kFloatSign)));
  }
};

template <class Access>
struct KeysFor {
  using type = DoubleKeys;
};
template <>
struct KeysFor<FeatureMajorAccess<float>> {
  using type = FloatKeys;
};
template <>
struct KeysFor<ViewAccess<float>> {
  using type = FloatKeys;
};

// Records are sorted on (key, list position). The order is total, so equal values keep
// their index-list order and the running sums over them always add in the same order; the
// algorithm cannot change the result. Both sorts used here are stable and receive records
// in ascending position, so sorting on the key alone yields that order.
constexpr uint64_t kInsertionSortMax = 48;

// Sizes up to which a whole search's records are sorted by insertion alone. Gathered in list
// order, a node's values are in random order, so insertion moves each record past about a
// quarter of the others; the bucket sort's fixed work per record is cheaper well below
// kInsertionSortMax.
constexpr uint64_t kSmallSortMax = 24;

// Stable insertion sort on the key. Every caller hands over records in ascending position
// (gathered in list order, or a stable radix bucket of such records), so stability makes the
// result ordered by (key, position). Most records of a bucket-sorted run are already in
// place: those cost one comparison with the previous key, held in a register, and no store.
void insertion_sort(ExactSortRecord* a, uint64_t n) {
  if (n < 2) return;
  uint64_t previous = a[0].key;  // the largest key of a[0..i), at a[i - 1]
  for (uint64_t i = 1; i < n; ++i) {
    const uint64_t key = a[i].key;
    if (key >= previous) {
      previous = key;
      continue;
    }
    // a[i - 1] moves up to a[i], so `previous` stays the largest key.
    const uint64_t position = a[i].position;
    uint64_t j = i;
    do {
      a[j] = a[j - 1];
      --j;
    } while (j > 0 && a[j - 1].key > key);
    a[j] = ExactSortRecord{key, position};
  }
}

// Digit width for a bucket of n records: about n / 4 buckets, between 6 and 12 bits. Wide
// digits for small buckets would spend more on clearing and walking counters than on the
// records.
constexpr int kMaxDigitBits = 12;
int digit_bits(uint64_t n) { return std::clamp(static_cast<int>(std::bit_width(n)) - 2, 6, kMaxDigitBits); }

// Most-significant-digit radix sort: bucket by the key bits just below `shift` (stable
// scatter into the other buffer), then sort each bucket on the following bits, finishing
// small buckets by insertion sort. `data` holds the n records; the sorted result must end in
// `home` (one of the two buffers). `ends` holds a counter block per recursion level.
void msd_sort(ExactSortRecord* data, ExactSortRecord* other, ExactSortRecord* home, uint64_t n, int shift,
              uint64_t* ends) {
  for (;;) {
    if (n <= kInsertionSortMax || shift <= 0) {
      insertion_sort(data, n);
      if (data != home) std::copy(data, data + n, home);
      return;
    }
    const int bits = std::min(digit_bits(n), shift);
    const int low = shift - bits;
    const uint64_t size = uint64_t{1} << bits;
    const uint64_t mask = size - 1;
    std::fill(ends, ends + size, 0);
    for (uint64_t i = 0; i < n; ++i) ++ends[(data[i].key >> low) & mask];
    if (ends[(data[0].key >> low) & mask] == n) {
      shift = low;  // every record shares these bits
      continue;
    }
    uint64_t offset = 0;
    for (uint64_t d = 0; d < size; ++d) {
      const uint64_t count = ends[d];
      ends[d] = offset;
      offset += count;
    }
    // The scatter advances each bucket's start to its end.
    for (uint64_t i = 0; i < n; ++i) other[ends[(data[i].key >> low) & mask]++] = data[i];
    // Both buffers use the same offsets, so each bucket's home is at its start in `home`.
    uint64_t start = 0;
    for (uint64_t d = 0; d < size; ++d) {
      const uint64_t end = ends[d];
      if (end != start) msd_sort(other + start, data + start, home + start, end - start, low, ends + size);
      start = end;
    }
    return;
  }
}

// Each radix level consumes at least the narrowest digit, so its depth is bounded.
constexpr uint64_t kRadixLevels = 64 / 6 + 1;

// Bucket levels before a bucket is left to the radix sort: each level spreads a bucket over
// its own value range, so only values packed far tighter than their neighbours (a geometric
// run, say) need more.
constexpr int kBucketLevels = 3;

struct SortBuffers {
  uint32_t* bucket_counts;   // kBucketLevels blocks of n counters
  uint32_t* bucket_of;       // the bucket of each record at the current level
  uint64_t* radix_counters;  // the radix fallback's blocks
};

// The smallest and largest key of n > 0 records.
std::pair<uint64_t, uint64_t> key_range(const ExactSortRecord* data, uint64_t n) {
  uint64_t lo = data[0].key;
  uint64_t hi = lo;
  for (uint64_t i = 0; i < n; ++i) {
    lo = std::min(lo, data[i].key);
    hi = std::max(hi, data[i].key);
  }
  return {lo, hi};
}

// Bucket sort by value interpolation: n buckets evenly spaced over [min, max] of the values,
// then an insertion pass. The bucket of v is trunc((v - min) * (n / (max - min))); each
// operation rounds monotonically, so a smaller value never lands in a later bucket and two
// records in different buckets have different values, in bucket order. The stable scatter
// keeps list order inside each bucket, the insertion pass (stable, on the key) never moves a
// record across a bucket boundary, and the result is the (key, position) order, exactly as
// the radix sort gives it. Where the keys' values give no finite positive range (infinities,
// only -0.0 and +0.0) or the levels run out, the radix sort takes over. `data` holds the n
// records, whose smallest and largest keys are lo and hi; the sorted result ends in `home`,
// which is `data` or `other`.
template <class Keys>
void bucket_sort(ExactSortRecord* data, ExactSortRecord* other, ExactSortRecord* home, uint64_t n, int level,
                 SortBuffers buffers, uint64_t lo, uint64_t hi) {
  if (n <= kSmallSortMax) {
    insertion_sort(data, n);
    if (data != home) std::copy(data, data + n, home);
    return;
  }
  if (lo == hi) {
    if (data != home) std::copy(data, data + n, home);
    return;
  }
  const double low = Keys::value(lo);
  const double range = Keys::value(hi) - low;
  const double scale = static_cast<double>(n) / range;
  if (level == kBucketLevels || n >= UINT32_MAX || !(range > 0.0 && std::isfinite(range) && std::isfinite(scale))) {
    msd_sort(data, other, home, n, static_cast<int>(std::bit_width(lo ^ hi)), buffers.radix_counters);
    return;
  }
  // v >= min, so (v - min) * scale is at least +0.0 and, rounded, at most a little above n:
  // the signed conversion gives the same whole number as an unsigned one, in one instruction.
  const int64_t last = static_cast<int64_t>(n - 1);
  auto bucket = [&](uint64_t key) {
    return static_cast<uint64_t>(std::min(static_cast<int64_t>((Keys::value(key) - low) * scale), last));
  };
  uint32_t* ends = buffers.bucket_counts;
  uint32_t* bucket_of = buffers.bucket_of;
  std::fill(ends, ends + n, 0);
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t b = bucket(data[i].key);
    bucket_of[i] = static_cast<uint32_t>(b);
    ++ends[b];
  }
  uint32_t offset = 0;
  uint32_t largest = 0;
  for (uint64_t b = 0; b < n; ++b) {
    const uint32_t count = ends[b];
    ends[b] = offset;
    offset += count;
    largest = std::max(largest, count);
  }
  // The scatter advances each bucket's start to its end. (Inserting each record into its
  // bucket here instead of the insertion pass below takes fewer instructions but more time:
  // whether a bucket already holds records is a coin toss the branch predictor loses, while
  // the pass compares a bucket's first record with the previous bucket's last, which never
  // moves.)
  for (uint64_t i = 0; i < n; ++i) other[ends[bucket_of[i]]++] = data[i];
  if (other != home) std::copy(other, other + n, home);
  // Buckets too large for the insertion pass are sorted on their own first (their levels
  // reuse bucket_of: this level is done with it).
  if (largest > kInsertionSortMax) {
    SortBuffers below = buffers;
    below.bucket_counts += n;
    ExactSortRecord* spare = home == other ? data : other;  // free since the scatter
    uint64_t start = 0;
    for (uint64_t b = 0; b < n; ++b) {
      const uint64_t end = ends[b];
      if (end - start > kInsertionSortMax) {
        const auto [sub_lo, sub_hi] = key_range(home + start, end - start);
        bucket_sort<Keys>(home + start, spare + start, home + start, end - start, level + 1, below, sub_lo, sub_hi);
      }
      start = end;
    }
  }
  insertion_sort(home, n);
}

// The column-major copy of a CSR matrix, built once per worker and fit the first time a
// sparse node is searched. Stored entries are copied verbatim (explicit zeros, NaN).
const ColumnMajorCopy& column_major(const CsrMatrix& csr, ColumnMajorCopy& copy) {
  if (copy.source == &csr && copy.n_entries == csr.indices.size() && copy.starts.size() == csr.n_features + 1) {
    return copy;
  }
  const uint64_t nnz = csr.indices.size();
  MORVEL_ASSERT(csr.n_features < UINT64_MAX, "index out of bounds: CSR width has no end marker");
  copy.starts.assign(csr.n_features + 1, 0);
  for (uint64_t k = 0; k < nnz; ++k) {
    MORVEL_ASSERT(csr.indices[k] < csr.n_features, "index out of bounds: CSR column outside the matrix");
    ++copy.starts[csr.indices[k] + 1];
  }
  for (uint64_t f = 0; f < csr.n_features; ++f) copy.starts[f + 1] += copy.starts[f];
  copy.rows.resize(nnz);
  copy.values.resize(nnz);
  std::vector<uint64_t> next(copy.starts.begin(), copy.starts.end() - 1);
  for (uint64_t r = 0; r < csr.n_rows; ++r) {
    for (uint64_t k = csr.indptr[r]; k < csr.indptr[r + 1]; ++k) {
      const uint64_t at = next[csr.indices[k]]++;
      copy.rows[at] = r;  // rows ascend within each column
      copy.values[at] = csr.data[k];
    }
  }
  copy.source = &csr;
  copy.n_entries = nnz;
  return copy;
}

// Puts the +0.0 entries (positions ascending) into the sorted records at the place of their
// shared key: after every smaller key (negative values and -0.0), before every larger one.
// Both key codecs map +0.0 to the same key, the top bit alone.
void insert_zero_block(UninitVector<ExactSortRecord>& records, const std::vector<uint64_t>& zeros) {
  constexpr uint64_t kZeroKey = kSignBit;
  const auto split = std::partition_point(records.begin(), records.end(),
                                          [](const ExactSortRecord& r) { return r.key < kZeroKey; });
  const size_t at = static_cast<size_t>(split - records.begin());
  const size_t old_size = records.size();
  records.resize(old_size + zeros.size());
  std::move_backward(records.begin() + static_cast<std::ptrdiff_t>(at),
                     records.begin() + static_cast<std::ptrdiff_t>(old_size), records.end());
  for (size_t z = 0; z < zeros.size(); ++z) records[at + z] = ExactSortRecord{kZeroKey, zeros[z]};
}

// The validity rules and improvement of split/criteria with the criterion C and the class
// count K (0: read at run time) fixed for the scan, so both inline into it.
template <class C, uint64_t K>
struct Scorer {
  const SearchRules& rules;
  double parent_impurity;
  double node_weight;
  int8_t constraint;
  NodeBounds bounds;

  uint64_t classes() const { return classes_or<K>(rules.n_classes); }

  // The local improvement of (left, right) when the partition is valid.
  [[gnu::always_inline]] std::optional<double> score(const SideStats& left, const SideStats& right) const {
    return evaluate_partition_as<C, K>(rules, parent_impurity, node_weight, left, right, constraint, bounds);
  }
};

// The threshold between two neighbouring distinct values a < b: their midpoint, or a where
// the midpoint rounds up to b.
template <class Keys>
double pivot_between(uint64_t key_a, uint64_t key_b) {
  const double a = Keys::value(key_a);
  const double b = Keys::value(key_b);
  const double mid = a * 0.5 + b * 0.5;
  return mid < b ? mid : a;
}

// Class counts up to which GiniBound's margin covers the rounding of the Gini improvement.
constexpr uint64_t kBoundedClasses = 1000;

// A test, without divisions, that a partition's Gini improvement cannot exceed the best one
// found so far, for nodes whose entries all weigh 1.0 (every sum below is then an exact
// whole number). For sides of weight w_L and w_R (w_L + w_R = W) with class sums l_c and r_c
// (summing to w_L and w_R), the improvement is, in exact arithmetic,
//   F = parent - 1 + (sum l_c^2 / w_L + sum r_c^2 / w_R) / W,
// and the rounded one differs from F by at most (K + 11) u (u = 2^-53: each side's impurity
// is within (K + 4) u of its exact value and lies in [0, 1], as do parent and the weight
// shares; the products and the two differences add 7 u). The partition is skipped when
//   (sum l_c^2) w_R + (sum r_c^2) w_L <= ((best - parent) + (1 - 2^-40)) W w_L w_R,
// evaluated in floating point: the rounding of both sides adds under (18 + 5K) u, so the
// 2^-40 margin keeps the rounded improvement at or below the best for up to
// kBoundedClasses classes, and a skipped partition could not have replaced it (only a
// strictly greater improvement does). Partitions near the best are scored as before.
template <uint64_t K>
struct GiniBound {
  uint64_t n_classes;
  double parent_impurity;
  double node_weight;
  double threshold = -std::numeric_limits<double>::infinity();  // no best yet: nothing is skipped

  void set_best(double improvement) {
    threshold = ((improvement - parent_impurity) + (1.0 - 0x1p-40)) * node_weight;
  }
  [[gnu::always_inline]] bool cannot_beat(const double* left, double w_left, const double* right,
                                          double w_right) const {
    const uint64_t k = classes_or<K>(n_classes);
    double left_squares = 0.0;
    double right_squares = 0.0;
    for (uint64_t c = 0; c < k; ++c) {
      left_squares += left[c] * left[c];
      right_squares += right[c] * right[c];
    }
    return cannot_beat_squares(left_squares, w_left, right_squares, w_right);
  }
  [[gnu::always_inline]] bool cannot_beat_squares(double left_squares, double w_left, double right_squares,
                                                  double w_right) const {
    return left_squares * w_right + right_squares * w_left <= threshold * (w_left * w_right);
  }
};

// How a scan uses GiniBound: not at all, or on every partition. (Nodes without missing
// values of at most kExactSquares entries take scan_counts instead.)
enum class Bounding : uint8_t { None, EachPartition };
constexpr double kExactSquares = 0x1p26;

// Scans the sorted records: record i moves from the suffix S to the prefix P, and between two
// distinct neighbouring values the prefix becomes the right child (values <= pivot) and the
// suffix the left child. Bounded scans (kBounding other than None) run on unit weights under
// Gini, and partitions GiniBound rules out are not scored. The pivot is computed for the
// winner only.
template <class Keys, Bounding kBounding, class C, uint64_t K>
BestPartition scan(const Scorer<C, K>& scorer, const UninitVector<ExactSortRecord>& records, const ClassIndex* labels,
          const double* entry_weight, double* suffix, double* prefix, const double* missing, double* joined,
          double missing_weight, uint64_t missing_count) {
  constexpr uint64_t kZeroKey = kSignBit;  // +0.0 under both key codecs
  const uint64_t n = records.size();
  const uint64_t k = scorer.classes();
  const double node_weight = scorer.node_weight;
  const uint64_t min_leaf = scorer.rules.min_samples_leaf;
  double prefix_weight = 0.0;
  constexpr bool kBounded = kBounding != Bounding::None;
  GiniBound<K> bound{k, scorer.parent_impurity, node_weight};
  bool found = false;
  double best_improvement = 0.0;
  uint64_t best_at = 0;
  bool best_missing_left = false;
  // Strictly greater replaces: among equal improvements the first offered stays.
  auto offer = [&](std::optional<double> improvement, uint64_t at, bool missing_left) {
    if (improvement && (!found || *improvement > best_improvement)) {
      found = true;
      best_improvement = *improvement;
      best_at = at;
      best_missing_left = missing_left;
      if constexpr (kBounded) bound.set_best(*improvement);
    }
  };
  for (uint64_t i = 0; i + 1 < n; ++i) {
    const uint64_t position = records[i].position;
    const uint64_t c = labels[position];
    const double w = kBounded ? 1.0 : entry_weight[position];
    suffix[c] -= w;
    prefix[c] += w;
    prefix_weight += w;

    const uint64_t key_a = records[i].key;
    const uint64_t key_b = records[i + 1].key;
    if (key_a == key_b) continue;
    const uint64_t n_prefix = i + 1;
    const uint64_t n_suffix = n - i - 1;
    // Neither side can reach min_samples_leaf even with every missing row: skip the pivot.
    if (n_prefix + missing_count < min_leaf || n_suffix + missing_count < min_leaf) continue;
    // -0.0 and +0.0 are different keys but the same number: no threshold separates them
    // under the routing rule (value > pivot), so none is placed between them.
    if (key_b == kZeroKey && Keys::value(key_a) == 0.0) continue;

    const double suffix_weight = node_weight - prefix_weight;
    if (missing_count == 0) {
      if (kBounded && bound.cannot_beat(suffix, suffix_weight, prefix, prefix_weight)) continue;
      // Unseen missing values follow the larger side; ties go left.
      offer(scorer.score(SideStats{suffix, suffix_weight, n_suffix}, SideStats{prefix, prefix_weight, n_prefix}), i,
            n_prefix <= n_suffix);
      continue;
    }
    // Option 1: missing rows join the suffix (left).
    for (uint64_t j = 0; j < k; ++j) joined[j] = suffix[j] + missing[j];
    if (!kBounded || !bound.cannot_beat(joined, suffix_weight, prefix, prefix_weight)) {
      offer(scorer.score(SideStats{joined, suffix_weight, n_suffix + missing_count},
                         SideStats{prefix, prefix_weight, n_prefix}),
            i, true);
    }
    // Option 2: missing rows join the prefix (right).
    for (uint64_t j = 0; j < k; ++j) joined[j] = prefix[j] + missing[j];
    if (!kBounded || !bound.cannot_beat(suffix, suffix_weight - missing_weight, joined, prefix_weight + missing_weight)) {
      offer(scorer.score(SideStats{suffix, suffix_weight - missing_weight, n_suffix},
                         SideStats{joined, prefix_weight + missing_weight, n_prefix + missing_count}),
            i, false);
    }
  }
  BestPartition best;
  if (found) {
    best.offer(best_improvement, pivot_between<Keys>(records[best_at].key, records[best_at + 1].key),
               best_missing_left);
  }
  return best;
}

// The scan of a Gini node on unit weights without missing values and of at most
// kExactSquares entries: scan's EachPartition form with every class sum kept as a whole
// count. A side's class sums, its weight and its sum of squared class sums are then whole
// numbers below 2^53, which the double sums of the other scans hold exactly; the counts
// convert to those doubles bit for bit, and integer additions keep the per-record chain
// short. Each side's sum of squares follows its moving records ((x + 1)^2 = x^2 + (2x + 1)).
// Pivots that no rule could admit (a side below min_samples_leaf, or between -0.0 and +0.0)
// are left out of the loop instead of tested per record.
//
// Scored as they come, most pivots that pass GiniBound are the new best: the improvement
// climbs towards its peak along the values, and each step up costs a full score (a division
// per class and side). Where only the improvement itself can reject a partition (no
// monotonic constraint, and min_leaf_weight met by every side the loop offers) the scan
// defers instead: it keeps the pivots that pass a bound on the partition's ratio
//   R = (sum l_c^2) / w_L + (sum r_c^2) / w_R = num / den,
// num = (sum l_c^2) w_R + (sum r_c^2) w_L and den = w_L w_R, and scores only the survivors,
// in scan order, once the pass is over. A pivot p is dropped when, in floating point,
//   num_p <= t den_p, with t = (num_q / den_q) (1 - 2^-32)
// for a kept pivot q. Every sum is a whole number, so num, den and their quotient are within
// 2u, u and 4u of exact (u = 2^-53), and the test gives R_p <= R_q (1 - 2^-32) (1 + 10u). The
// exact improvement is parent - 1 + R / W and R >= W / K (Cauchy-Schwarz on each side), so p's
// exact improvement is below q's by at least (2^-32 - 10u) / K, more than the 2 (K + 11) u
// their rounded improvements can move (GiniBound) for up to kBoundedClasses classes: p's
// rounded improvement is strictly below q's. Following the pivots that dropped others leads,
// through strictly larger improvements, to a survivor, so the winner (the first best valid
// partition; min_impurity_decrease rejects a lower improvement whenever it rejects a higher
// one) survives, and scoring the survivors in order offers it first among its equals.
template <class Keys, class C, uint64_t K>
BestPartition scan_counts(const Scorer<C, K>& scorer, const UninitVector<ExactSortRecord>& records,
                          const ClassIndex* labels, double* suffix, double* prefix, int64_t* counts,
                          std::vector<PendingPivot>& pending) {
  const uint64_t n = records.size();
  const uint64_t k = scorer.classes();
  const double node_weight = scorer.node_weight;
  const uint64_t min_leaf = scorer.rules.min_samples_leaf;
  const ExactSortRecord* r = records.data();
  GiniBound<K> bound{k, scorer.parent_impurity, node_weight};
  // Per class: the node's count t, twice the prefix count p, and the suffix's square step
  // 1 - 2t. Moving a record of class c adds 2p + 1 to the prefix's sum of squares and
  // 1 - 2(t - p) = 2p + (1 - 2t) to the suffix's, so one running array serves both sides.
  int64_t* const node_count = counts;
  int64_t* const twice_prefix = counts + k;
  int64_t* const suffix_step = counts + 2 * k;
  int64_t prefix_squares = 0;
  int64_t suffix_squares = 0;
  for (uint64_t c = 0; c < k; ++c) {
    node_count[c] = static_cast<int64_t>(suffix[c]);
    twice_prefix[c] = 0;
    suffix_step[c] = 1 - 2 * node_count[c];
    suffix_squares += node_count[c] * node_count[c];
  }
  bool found = false;
  double best_improvement = 0.0;
  uint64_t best_at = 0;
  // Scores the partition after record i from the prefix's doubled class counts.
  auto score_at = [&](uint64_t i, const int64_t* twice) {
    for (uint64_t c = 0; c < k; ++c) {
      const int64_t prefix_count = twice[c] >> 1;
      suffix[c] = static_cast<double>(node_count[c] - prefix_count);
      prefix[c] = static_cast<double>(prefix_count);
    }
    const uint64_t n_prefix = i + 1;
    const uint64_t n_suffix = n - i - 1;
    const double prefix_weight = static_cast<double>(static_cast<int64_t>(n_prefix));
    const double suffix_weight = node_weight - prefix_weight;
    const std::optional<double> improvement =
        scorer.score(SideStats{suffix, suffix_weight, n_suffix}, SideStats{prefix, prefix_weight, n_prefix});
    // Strictly greater replaces: among equal improvements the first offered stays.
    if (improvement && (!found || *improvement > best_improvement)) {
      found = true;
      best_improvement = *improvement;
      best_at = i;
      return true;
    }
    return false;
  };
  // Moves record i from the suffix to the prefix.
  auto move = [&](uint64_t i) [[gnu::always_inline]] {
    const uint64_t c = labels[r[i].position];
    const int64_t twice = twice_prefix[c];
    prefix_squares += twice + 1;
    suffix_squares += twice + suffix_step[c];
    twice_prefix[c] = twice + 2;
  };
  // Pivot i leaves i + 1 records on the right and n - i - 1 on the left: both at least
  // min_samples_leaf for i in [first, last].
  const uint64_t first = min_leaf == 0 ? 0 : min_leaf - 1;
  if (n < 2 || n - 1 < min_leaf || first > n - 1 - min_leaf) return BestPartition{};
  const uint64_t end = std::min(n - 1 - min_leaf, n - 2) + 1;
  // Every offered side holds at least max(1, min_samples_leaf) records of weight 1.
  const bool defer = K != 0 && scorer.constraint == 0 &&
                     scorer.rules.min_leaf_weight <= static_cast<double>(std::max<uint64_t>(min_leaf, 1));
  constexpr double kKeep = 1.0 - 0x1p-32;
  // The pending list is thinned whenever it reaches purge_at, so its length stays within
  // twice the survivors and each pivot is tested a bounded number of times.
  constexpr size_t kPurgeMin = 16;
  size_t purge_at = kPurgeMin;
  double best_ratio = -std::numeric_limits<double>::infinity();
  pending.clear();
  auto purge = [&] {
    const double t = bound.threshold;
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [t](const PendingPivot& p) { return p.num <= t * p.den; }),
                  pending.end());
  };
  // -0.0 and +0.0 are different keys but the same number: no threshold separates them under
  // the routing rule (value > pivot). The last -0.0 record, if a +0.0 one follows it, is
  // the only such pivot.
  constexpr uint64_t kZeroKey = kSignBit;  // +0.0 under both key codecs
  const uint64_t zero_at = static_cast<uint64_t>(
      std::partition_point(r, r + n, [](const ExactSortRecord& x) { return x.key < kZeroKey; }) - r);
  const uint64_t blocked =
      zero_at > 0 && zero_at < n && r[zero_at].key == kZeroKey && Keys::value(r[zero_at - 1].key) == 0.0
          ? zero_at - 1
          : n;
  uint64_t i = 0;
  for (; i < first; ++i) move(i);
  // Offers the pivot after each record that precedes a larger key, up to `stop`: the blocked
  // pivot, then the end.
  uint64_t stop = blocked >= first && blocked < end ? blocked : end;
  for (;;) {
    for (; i < stop; ++i) {
      move(i);
      if (r[i].key == r[i + 1].key) continue;
      const double prefix_weight = static_cast<double>(static_cast<int64_t>(i + 1));
      const double suffix_weight = node_weight - prefix_weight;
      const double left_squares = static_cast<double>(suffix_squares);
      const double right_squares = static_cast<double>(prefix_squares);
      if (bound.cannot_beat_squares(left_squares, suffix_weight, right_squares, prefix_weight)) continue;
      if (defer) {
        if (pending.size() == purge_at) {
          purge();
          purge_at = std::max(kPurgeMin, 2 * pending.size());
        }
        // The same products as cannot_beat_squares, so the kept num and den are the ones tested.
        PendingPivot& kept = pending.emplace_back();
        kept.at = i;
        kept.num = left_squares * prefix_weight + right_squares * suffix_weight;
        kept.den = suffix_weight * prefix_weight;
        for (uint64_t c = 0; c < k; ++c) kept.twice_prefix[c] = twice_prefix[c];
        const double ratio = kept.num / kept.den;
        if (ratio > best_ratio) {
          best_ratio = ratio;
          bound.threshold = ratio * kKeep;
        }
        continue;
      }
      if (score_at(i, twice_prefix)) bound.set_best(best_improvement);
    }
    if (stop == end) break;
    move(i++);
    stop = end;
  }
  if (defer) {
    purge();
    for (const PendingPivot& p : pending) score_at(p.at, p.twice_prefix);
  }
  BestPartition best;
  if (found) {
    const uint64_t n_prefix = best_at + 1;
    // Unseen missing values follow the larger side; ties go left.
    best.offer(best_improvement, pivot_between<Keys>(r[best_at].key, r[best_at + 1].key), n_prefix <= n - n_prefix);
  }
  return best;
}

// The values of `feature` at the node's entries, in list order: non-missing ones become sort
// records (the +0.0 ones are listed apart in scratch.zeros), missing ones add their weight to
// missing[class].
constexpr uint64_t kGatherAhead = 16;
constexpr uint64_t kGatherAheadFrom = 256;

struct Gathered {
  double missing_weight = 0.0;
  uint64_t missing_count = 0;
  bool float_keys = false;  // the records carry float32 keys
  uint64_t lo = UINT64_MAX;  // the smallest and largest key of the records
  uint64_t hi = 0;
};

Gathered gather_values(const TrainingContext& ctx, std::span<const RowIndex> rows, uint64_t feature,
                       const ClassIndex* labels, const double* entry_weight, double* missing, ExactScratch& scratch) {
  Gathered out;
  const uint64_t n_entries = rows.size();
  auto& zeros = scratch.zeros;
  zeros.clear();
  // Written through a pointer into a buffer sized for every entry, trimmed afterwards.
  scratch.sorted.resize(n_entries);
  ExactSortRecord* records = scratch.sorted.data();
  uint64_t n_records = 0;
  // `fetch(row)` prefetches the row's value kGatherAhead entries early: the rows of a large
  // node lie far apart in a row-major matrix, and each read would otherwise wait for memory.
  // A small node's rows are mostly cached by its earlier searches.
  auto gather = [&]<class Keys>(Keys, auto&& value_of, auto&& fetch) {
    // The loop's running values are locals of this call, not of the caller: the caller's
    // locals are reachable from the closures passed down, so the stores to records[] and
    // missing[] would force each of them back to memory on every entry.
    double missing_weight = 0.0;
    uint64_t missing_count = 0;
    uint64_t lo = UINT64_MAX;
    uint64_t hi = 0;
    uint64_t count = 0;
    ExactSortRecord* const out_records = records;
    const RowIndex* const row_at = rows.data();
    const uint64_t n = n_entries;
    auto gather_one = [&](uint64_t i, double v) [[gnu::always_inline]] {
      if (std::isnan(v)) {
        missing[labels[i]] += entry_weight[i];
        missing_weight += entry_weight[i];
        ++missing_count;
        return;
      }
      // +0.0 (stored or, in sparse data, absent) is usually the most common value. All its
      // records share one key, so they are kept aside in list order and placed as one block
      // after the sort instead of being sorted.
      if (std::bit_cast<uint64_t>(v) == 0) {
        zeros.push_back(i);
        return;
      }
      const uint64_t key = Keys::key(v);
      lo = std::min(lo, key);
      hi = std::max(hi, key);
      out_records[count++] = ExactSortRecord{key, i};
    };
    uint64_t i = 0;
    if (n >= kGatherAheadFrom) {
      for (; i + kGatherAhead < n; ++i) {
        fetch(row_at[i + kGatherAhead]);
        gather_one(i, value_of(row_at[i]));
      }
    }
    for (; i < n; ++i) gather_one(i, value_of(row_at[i]));
    out.missing_weight = missing_weight;
    out.missing_count = missing_count;
    out.float_keys = std::is_same_v<Keys, FloatKeys>;
    out.lo = lo;
    out.hi = hi;
    n_records = count;
  };
  if (ctx.binned) {
    const BinnedMatrix& bins = *ctx.binned;
    const uint8_t missing_code = missing_bin(bins.edges[feature].size());
    gather(DoubleKeys{}, [&](uint64_t row) {
      const uint8_t b = bins.at(row, feature);
      return bins.has_missing && b == missing_code ? std::nan("") : static_cast<double>(b);
    }, [](uint64_t) {});
  } else if (ctx.form == ValueForm::Csr && ctx.feature_major_f32.empty() && ctx.feature_major_f64.empty() &&
             std::is_sorted(rows.begin(), rows.end())) {
    // Sparse input, node rows ascending (as growth keeps them): walk column `feature` of a
    // column-major copy alongside the rows instead of searching every row for the column.
    const ColumnMajorCopy& columns = column_major(ctx.csr, scratch.columns);
    uint64_t at = columns.starts[feature];
    const uint64_t end = columns.starts[feature + 1];
    const RowIndex* row_of = columns.rows.data();
    const bool gallop = end - at > 16 * n_entries;  // few rows against a long column
    gather(DoubleKeys{}, [&](uint64_t row) {
      if (gallop) {
        at = static_cast<uint64_t>(std::lower_bound(row_of + at, row_of + end, row) - row_of);
      } else {
        while (at < end && row_of[at] < row) ++at;
      }
      return at < end && row_of[at] == row ? columns.values[at] : 0.0;
    }, [](uint64_t) {});
  } else {
    with_raw_access(ctx, [&](auto access) {
      using Keys = typename KeysFor<decltype(access)>::type;
      using Access = decltype(access);
      // The accessor and feature are copied into the closures: through references the loop
      // would reload them after every record it stores.
      const auto value_of = [access, feature](uint64_t row) { return access.value(row, feature); };
      gather(Keys{}, value_of, [access, feature](uint64_t row) {
        if constexpr (std::is_same_v<Access, DenseAccess>) {
          __builtin_prefetch(access.values + row * access.n_features + feature);
        }
      });
    });
  }
  scratch.sorted.resize(n_records);
  return out;
}

// sort_exact_records on records whose smallest and largest keys are known.
void sort_records(UninitVector<ExactSortRecord>& records, ExactScratch& scratch, bool float_keys, uint64_t lo,
                  uint64_t hi) {
  const uint64_t n = records.size();
  if (n <= kSmallSortMax) {
    insertion_sort(records.data(), n);
    return;
  }
  // One bucket index per record, and at most n counters for each bucket level (every bucket
  // below the top holds fewer records than its parent); the radix fallback needs one block
  // per digit level.
  if (scratch.bucket_counts.size() < (kBucketLevels + 1) * n) scratch.bucket_counts.resize((kBucketLevels + 1) * n);
  scratch.radix_counters.resize(kRadixLevels << kMaxDigitBits);
  scratch.spare.resize(n);
  const SortBuffers buffers{scratch.bucket_counts.data() + n, scratch.bucket_counts.data(),
                            scratch.radix_counters.data()};
  if (float_keys) {
    bucket_sort<FloatKeys>(records.data(), scratch.spare.data(), scratch.spare.data(), n, 0, buffers, lo, hi);
  } else {
    bucket_sort<DoubleKeys>(records.data(), scratch.spare.data(), scratch.spare.data(), n, 0, buffers, lo, hi);
  }
  records.swap(scratch.spare);
}

}  // namespace

void sort_exact_records(UninitVector<ExactSortRecord>& records, ExactScratch& scratch, bool float_keys) {
  if (records.empty()) return;
  const auto [lo, hi] = key_range(records.data(), records.size());
  sort_records(records, scratch, float_keys, lo, hi);
}

std::optional<SplitCandidate> search_exact(const TrainingContext& ctx, const TreeWeights& weights,
                                           const SearchRules& rules, std::span<const RowIndex> rows,
                                           const NodeStats& stats, uint64_t feature, int8_t constraint,
                                           NodeBounds bounds, ExactScratch& scratch) {
  MORVEL_ASSERT(feature < ctx.n_features, "index out of bounds: feature outside the training matrix");
  MORVEL_ASSERT(stats.labels.size() == rows.size(), "node statistics do not match the index list");
  const uint64_t n_classes = rules.n_classes;
  const uint64_t n_entries = rows.size();
  const ClassIndex* labels = stats.labels.data();

  // Buffers: suffix S, prefix P, missing m, one temporary side (S + m or P + m), and the
  // entry weights in list order.
  scratch.buffers.assign(4 * n_classes, 0.0);
  double* suffix = scratch.buffers.data();
  double* prefix = suffix + n_classes;
  double* missing = prefix + n_classes;
  double* joined = missing + n_classes;
  const double* entry_weight = stats.entry_weights.data();
  if (stats.entry_weights.size() != n_entries) {
    scratch.weights.resize(n_entries);
    for (uint64_t i = 0; i < n_entries; ++i) scratch.weights[i] = weights.weights[rows[i]];
    entry_weight = scratch.weights.data();
  }

  // Gather the non-missing values in list order; missing entries go to the m accumulators.
  const Gathered gathered = gather_values(ctx, rows, feature, labels, entry_weight, missing, scratch);
  const double missing_weight = gathered.missing_weight;
  const uint64_t missing_count = gathered.missing_count;
  const bool float_keys = gathered.float_keys;
  auto& records = scratch.sorted;
  auto& zeros = scratch.zeros;
  if (records.size() + zeros.size() < 2) return std::nullopt;
  if (!records.empty()) sort_records(records, scratch, float_keys, gathered.lo, gathered.hi);
  if (!zeros.empty()) insert_zero_block(records, zeros);

  const double node_weight = stats.weight;
  for (uint64_t c = 0; c < n_classes; ++c) suffix[c] = stats.class_weight[c] - missing[c];
  // The criterion and a small class count are fixed at compile time for the scan.
  const BestPartition best = with_criterion(rules.criterion, [&](auto criterion) {
    using C = decltype(criterion);
    return with_class_count<kExactUnrolledClasses>(n_classes, [&](auto classes) {
      constexpr uint64_t K = decltype(classes)::value;
      const double parent = impurity_of<C, K>(stats.class_weight.data(), n_classes, node_weight);
      const Scorer<C, K> scorer{rules, parent, node_weight, constraint, bounds};
      auto scan_with = [&]<Bounding kBounding>(std::integral_constant<Bounding, kBounding>) {
        return float_keys ? scan<FloatKeys, kBounding>(scorer, records, labels, entry_weight, suffix, prefix, missing,
                                                       joined, missing_weight, missing_count)
                          : scan<DoubleKeys, kBounding>(scorer, records, labels, entry_weight, suffix, prefix,
                                                        missing, joined, missing_weight, missing_count);
      };
      if constexpr (std::is_same_v<C, Gini>) {
        if (stats.unit_weights && n_classes <= kBoundedClasses) {
          if (missing_count == 0 && node_weight <= kExactSquares) {
            scratch.counts.resize(3 * n_classes);
            int64_t* counts = scratch.counts.data();
            return float_keys ? scan_counts<FloatKeys>(scorer, records, labels, suffix, prefix, counts, scratch.pending)
                              : scan_counts<DoubleKeys>(scorer, records, labels, suffix, prefix, counts, scratch.pending);
          }
          return scan_with(std::integral_constant<Bounding, Bounding::EachPartition>{});
        }
      }
      return scan_with(std::integral_constant<Bounding, Bounding::None>{});
    });
  });
  if (!best.found) return std::nullopt;
  return SplitCandidate{best.pivot, best.missing_left, scaled_gain(best.improvement, node_weight, rules.w_total)};
}

}  // namespace morvel
