// Extra-trees searches: one drawn threshold per feature and node, scored with the shared
// validity rules. The general search serves every class count and matrix form; two-class
// problems take specialised copies (a per-worker value buffer for dense values, a 256-bin
// table for bytes) whose sums run in the same order, so they return the same candidate.
// Raw-value nodes on byte weights without missing values are lane nodes: their statistics
// pass lays the entries' weights out as class planes, and their whole node loop runs with
// the searches inlined (search_lane_node), each an exact integer sum over the planes.
#include "split/extra_trees.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binning/byte_tile.h"
#include "morvel/bin_edges.h"
#include "morvel/errors.h"
#include "morvel/profile.h"

namespace morvel {

namespace {

constexpr uint64_t kByteBins = 256;
constexpr uint64_t kTagLanes = 8;
// Per-entry byte buffers extend this far past the node's entries, so that a final partial
// block of 16 lanes can be loaded whole and masked.
constexpr uint64_t kBlockPad = 16;


// The lines of the row-major copy and the row tags byte growth reads: the tree's, or those of
// the rebased subtree being grown (indexed by position in its segment).
inline const uint8_t* row_lines(const BinnedMatrix& bm, const ExtraScratch& scratch) {
  return scratch.rebased ? scratch.local_lines.data() : bm.row_major_copy.data();
}
inline uint64_t row_lines_size(const BinnedMatrix& bm, const ExtraScratch& scratch) {
  return scratch.rebased ? scratch.rebased_rows * bm.n_features : bm.row_major_copy.size();
}

// A sum of byte weights (below 2^53) as a double, through the signed conversion: exact here,
// and one instruction where the unsigned one is several.
inline double whole_sum(uint64_t v) { return static_cast<double>(static_cast<int64_t>(v)); }

// A node's impurity, computed by its first search and reused by the others (`known` is
// cleared when the node is prepared).
inline double cached_impurity(const SearchRules& rules, const NodeStats& stats, bool& known, double& value) {
  if (!known) {
    value = impurity(rules.criterion, stats.class_weight.data(), rules.n_classes, stats.weight);
    known = true;
  }
  return value;
}

bool is_listed(const std::vector<uint64_t>& list, uint64_t feature) {
  for (const uint64_t f : list) {
    if (f == feature) return true;
  }
  return false;
}

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
#if defined(__SSE2__)
  const __m128d threshold = _mm_set1_pd(t);
  const __m128i zero = _mm_setzero_si128();
  __m128d weight_a = _mm_setzero_pd();
  __m128d weight_b = _mm_setzero_pd();
  __m128d class1_a = _mm_setzero_pd();
  __m128d class1_b = _mm_setzero_pd();
  __m128i count_a = _mm_setzero_si128();
  __m128i count_b = _mm_setzero_si128();
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
    const __m128i labels0 = _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(labels + i)), zero);
    const __m128i labels1 =
        _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(labels + i + 2)), zero);
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
  _mm_store_si128(reinterpret_cast<__m128i*>(counts), _mm_add_epi64(count_a, count_b));
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

// The sums one search collects before scoring. `prefix` and `missing` point at n_classes
// weights each.
struct DrawnPartition {
  const double* prefix;   // class weights of the non-missing entries with value <= t
  double prefix_weight;   // W_P
  uint64_t prefix_count;  // n_P
  const double* missing;  // class weights of the missing entries
  double missing_weight;  // W_m
  uint64_t missing_count; // n_m
};

// Scores the two placements of the missing rows, in order: (1) with the entries above t
// (left, missing_left true), (2) with the prefix (right). A later option replaces an earlier
// one only with a strictly greater improvement, so without missing rows option (1) stands and
// option (2), which would be the same partition, is not evaluated. `work` holds 2 * n_classes
// doubles.
// impurity(class_weight, W) of the node; under entropy reused while the node's inputs are
// unchanged.
double parent_impurity(const SearchRules& rules, const NodeStats& stats, ExtraScratch& scratch) {
  const uint64_t k = rules.n_classes;
  const double* v = stats.class_weight.data();
  // Gini costs less than the comparison; entropy's logarithms do not.
  if (rules.criterion == Criterion::Gini) return impurity(rules.criterion, v, k, stats.weight);
  bool same = scratch.parent_known && scratch.parent_criterion == rules.criterion &&
              std::bit_cast<uint64_t>(scratch.parent_weight) == std::bit_cast<uint64_t>(stats.weight) &&
              scratch.parent_class_weight.size() == k;
  for (uint64_t c = 0; same && c < k; ++c)
    same = std::bit_cast<uint64_t>(scratch.parent_class_weight[c]) == std::bit_cast<uint64_t>(v[c]);
  if (!same) {
    scratch.parent_known = true;
    scratch.parent_criterion = rules.criterion;
    scratch.parent_weight = stats.weight;
    scratch.parent_class_weight.assign(v, v + k);
    scratch.parent_impurity = impurity(rules.criterion, v, k, stats.weight);
  }
  return scratch.parent_impurity;
}

// evaluate_partition operation by operation, with the class count fixed at compile time
// when K > 0 (the class loops unrolled) and read from the rules when K == 0.
template <uint64_t K>
inline std::optional<double> evaluate_fixed(const SearchRules& rules, double parent_impurity, double node_weight,
                                            const SideStats& left, const SideStats& right, int8_t constraint,
                                            NodeBounds bounds) {
  const uint64_t k = K > 0 ? K : rules.n_classes;
  if (left.count < rules.min_samples_leaf || right.count < rules.min_samples_leaf) return std::nullopt;
  if (left.weight == 0.0 || right.weight == 0.0) return std::nullopt;
  if (!(left.weight >= rules.min_leaf_weight) || !(right.weight >= rules.min_leaf_weight)) return std::nullopt;
  if (constraint != 0 && !monotonic_ok(left, right, constraint, bounds, k)) return std::nullopt;
  const double impurity_left = impurity(rules.criterion, left.class_weight, k, left.weight);
  const double impurity_right = impurity(rules.criterion, right.class_weight, k, right.weight);
  const double improvement = (parent_impurity - (left.weight / node_weight) * impurity_left) -
                             (right.weight / node_weight) * impurity_right;
  if (!(improvement >= rules.min_impurity_decrease)) return std::nullopt;
  return improvement;
}

template <uint64_t K>
std::optional<SplitCandidate> score_drawn_for(const SearchRules& rules, const NodeStats& stats, double parent,
                                              uint64_t n_entries, const DrawnPartition& part, double pivot,
                                              int8_t constraint, NodeBounds bounds, double* work) {
  const uint64_t k = K > 0 ? K : rules.n_classes;
  const double node_weight = stats.weight;
  const double* class_weight = stats.class_weight.data();
  double* suffix = work;          // non-missing entries above t
  double* joined = work + k;      // a side plus the missing rows
  for (uint64_t c = 0; c < k; ++c) suffix[c] = (class_weight[c] - part.missing[c]) - part.prefix[c];
  const uint64_t non_missing = n_entries - part.missing_count;

  std::optional<SplitCandidate> best;
  double best_improvement = 0.0;

  for (uint64_t c = 0; c < k; ++c) joined[c] = suffix[c] + part.missing[c];
  {
    const SideStats left{joined, node_weight - part.prefix_weight, n_entries - part.prefix_count};
    const SideStats right{part.prefix, part.prefix_weight, part.prefix_count};
    if (auto improvement = evaluate_fixed<K>(rules, parent, node_weight, left, right, constraint, bounds)) {
      best = SplitCandidate{pivot, true, 0.0};
      best_improvement = *improvement;
    }
  }
  if (part.missing_count > 0) {
    for (uint64_t c = 0; c < k; ++c) joined[c] = part.prefix[c] + part.missing[c];
    const SideStats left{suffix, (node_weight - part.prefix_weight) - part.missing_weight,
                         non_missing - part.prefix_count};
    const SideStats right{joined, part.prefix_weight + part.missing_weight,
                          part.prefix_count + part.missing_count};
    if (auto improvement = evaluate_fixed<K>(rules, parent, node_weight, left, right, constraint, bounds)) {
      if (!best || *improvement > best_improvement) {
        best = SplitCandidate{pivot, false, 0.0};
        best_improvement = *improvement;
      }
    }
  }
  if (best) best->gain = scaled_gain(best_improvement, node_weight, rules.w_total);
  return best;
}

// Scores with the class count as a compile-time constant for two to eight classes.
std::optional<SplitCandidate> score_drawn(const SearchRules& rules, const NodeStats& stats, double parent,
                                          uint64_t n_entries, const DrawnPartition& part, double pivot,
                                          int8_t constraint, NodeBounds bounds, double* work) {
  switch (rules.n_classes) {
    case 2: return score_drawn_for<2>(rules, stats, parent, n_entries, part, pivot, constraint, bounds, work);
    case 3: return score_drawn_for<3>(rules, stats, parent, n_entries, part, pivot, constraint, bounds, work);
    case 4: return score_drawn_for<4>(rules, stats, parent, n_entries, part, pivot, constraint, bounds, work);
    case 5: return score_drawn_for<5>(rules, stats, parent, n_entries, part, pivot, constraint, bounds, work);
    case 6: return score_drawn_for<6>(rules, stats, parent, n_entries, part, pivot, constraint, bounds, work);
    case 7: return score_drawn_for<7>(rules, stats, parent, n_entries, part, pivot, constraint, bounds, work);
    case 8: return score_drawn_for<8>(rules, stats, parent, n_entries, part, pivot, constraint, bounds, work);
    default: return score_drawn_for<0>(rules, stats, parent, n_entries, part, pivot, constraint, bounds, work);
  }
}

// ---- general search ---------------------------------------------------------------------

// Class sums of the entries with value <= t (NaN never qualifies) from per-entry tags of
// eight byte lanes, each entry's weight (a whole number of at most 255) in the lane of its
// class and zeros elsewhere. Every sum is an exact integer, so the order of the additions
// cannot matter.
struct TagPrefix {
  uint64_t sums[kTagLanes];  // per class
  uint64_t count;            // entries with value <= t
};

#if defined(__SSE2__)
// Eight-lane sums of masked tags. Each step adds a register of two entries' tags (bytes 0-7
// the first entry's classes, bytes 8-15 the second's) into two accumulators of 16-bit lanes:
// `even` takes the bytes of classes 0, 2, 4, 6 and `odd` those of classes 1, 3, 5, 7, each
// lane gathering one class of one of the two entries. A block of at most 256 entries leaves
// each lane below 129 x 255 and the two halves of a lane pair below 256 x 255 < 2^16; `flush`
// then folds the halves, puts the classes back in order and widens them into 64-bit sums.
struct TagLanes {
  __m128i even = _mm_setzero_si128();
  __m128i odd = _mm_setzero_si128();
  __m128i sums[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(),
                     _mm_setzero_si128()};  // classes 0-1, 2-3, 4-5, 6-7

  static constexpr uint64_t kBlock = 256;

  void add(__m128i tags) {
    even = _mm_add_epi16(even, _mm_and_si128(tags, _mm_set1_epi16(0x00FF)));
    odd = _mm_add_epi16(odd, _mm_srli_epi16(tags, 8));
  }
  void flush() {
    const __m128i zero = _mm_setzero_si128();
    const __m128i e = _mm_add_epi16(even, _mm_srli_si128(even, 8));  // classes 0, 2, 4, 6
    const __m128i o = _mm_add_epi16(odd, _mm_srli_si128(odd, 8));    // classes 1, 3, 5, 7
    const __m128i ordered = _mm_unpacklo_epi16(e, o);                // classes 0 to 7
    const __m128i low = _mm_unpacklo_epi16(ordered, zero);
    const __m128i high = _mm_unpackhi_epi16(ordered, zero);
    sums[0] = _mm_add_epi64(sums[0], _mm_unpacklo_epi32(low, zero));
    sums[1] = _mm_add_epi64(sums[1], _mm_unpackhi_epi32(low, zero));
    sums[2] = _mm_add_epi64(sums[2], _mm_unpacklo_epi32(high, zero));
    sums[3] = _mm_add_epi64(sums[3], _mm_unpackhi_epi32(high, zero));
    even = zero;
    odd = zero;
  }
  void store(uint64_t* out) const {
    for (uint64_t j = 0; j < 4; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * j), sums[j]);
  }
};

inline __m128i load_tags(const uint8_t* tags) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags)); }
// All ones in the byte lanes below min(m, 16), zeros above.
inline __m128i lanes_below(uint64_t m) {
  alignas(16) static constexpr uint8_t kMask[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kMask + 16 - (m < 16 ? m : 16)));
}
inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

TagPrefix tag_prefix(const double* values, const uint8_t* tags, uint64_t n, double t) {
  TagPrefix out{};
#if defined(__SSE2__)
  // One compare masks two entries: the 64-bit lanes of the mask cover exactly the two
  // entries' eight-byte tags.
  const __m128d threshold = _mm_set1_pd(t);
  TagLanes lanes;
  __m128i counts = _mm_setzero_si128();
  uint64_t i = 0;
  while (i < n) {
    const uint64_t end = n - i > TagLanes::kBlock ? i + TagLanes::kBlock : n;
    for (; i + 4 <= end; i += 4) {
      const __m128i in_a = _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(values + i), threshold));
      const __m128i in_b = _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(values + i + 2), threshold));
      counts = _mm_sub_epi64(counts, _mm_add_epi64(in_a, in_b));
      lanes.add(_mm_and_si128(in_a, load_tags(tags + 8 * i)));
      lanes.add(_mm_and_si128(in_b, load_tags(tags + 8 * i + 16)));
    }
    for (; i < end; ++i) {
      // load_sd and loadl_epi64 leave the upper lane zero: its mask and tag add nothing.
      const __m128i in = _mm_castpd_si128(_mm_cmple_sd(_mm_load_sd(values + i), threshold));
      counts = _mm_sub_epi64(counts, in);
      lanes.add(_mm_and_si128(in, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(tags + 8 * i))));
    }
    lanes.flush();
  }
  lanes.store(out.sums);
  alignas(16) uint64_t lane_counts[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lane_counts), counts);
  out.count = lane_counts[0] + lane_counts[1];
#else
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t in = values[i] <= t ? 1 : 0;
    out.count += in;
    for (uint64_t c = 0; c < kTagLanes; ++c) out.sums[c] += in * tags[kTagLanes * i + c];
  }
#endif
  return out;
}

// Per-class sums of every tag of a node.
void tag_totals(const uint8_t* tags, uint64_t n, uint64_t* sums) {
#if defined(__SSE2__)
  TagLanes lanes;
  uint64_t i = 0;
  while (i < n) {
    const uint64_t end = n - i > TagLanes::kBlock ? i + TagLanes::kBlock : n;
    for (; i + 2 <= end; i += 2) lanes.add(load_tags(tags + 8 * i));
    if (i < end) {
      lanes.add(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(tags + 8 * i)));
      ++i;
    }
    lanes.flush();
  }
  lanes.store(sums);
#else
  for (uint64_t c = 0; c < kTagLanes; ++c) sums[c] = 0;
  for (uint64_t i = 0; i < n; ++i)
    for (uint64_t c = 0; c < kTagLanes; ++c) sums[c] += tags[kTagLanes * i + c];
#endif
}

// tag_prefix as doubles: writes `prefix[0..k)` and returns the prefix count.
uint64_t tagged_prefix(const double* values, const uint8_t* tags, uint64_t n, double t, uint64_t k,
                       double* prefix) {
  const TagPrefix sums = tag_prefix(values, tags, n, t);
  // The sums are far below 2^63: the signed conversion is one instruction.
  for (uint64_t c = 0; c < k; ++c) prefix[c] = static_cast<double>(static_cast<int64_t>(sums.sums[c]));
  return sums.count;
}

// ---- class planes ------------------------------------------------------------------------
// The lanes of a node without missing values, laid out per block of 16 entries as one plane
// of 16 bytes per class (ExtraScratch::entry_planes). Every sum is an exact integer.

// Bytes of the planes of a node of n entries with k classes.
inline uint64_t plane_bytes(uint64_t n, uint64_t k) { return (n + 15) / 16 * 16 * k; }

// tag_prefix from class planes of K classes: a block's 16 comparisons packed into one byte
// mask, with which each plane is masked and byte-summed. `values` must hold n rounded up to
// 16 readable values: the entries past n weigh 0 in every plane and are left out of the count.
#if defined(__SSE2__)
// The sums of plane_prefix left in vectors: per class, two 64-bit partial sums in `sums[c]`;
// returns the count.
template <uint64_t K>
[[gnu::always_inline]] inline uint64_t plane_prefix_lanes(const double* values, const uint8_t* planes, uint64_t n,
                                                          double t, __m128i (&sums)[K]) {
  const __m128d threshold = _mm_set1_pd(t);
  const __m128i zero = _mm_setzero_si128();
  const __m128i ones = _mm_set1_epi8(1);
  for (uint64_t c = 0; c < K; ++c) sums[c] = zero;
  __m128i counts = zero;
  const auto compare = [&](const double* v) { return _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(v), threshold)); };
  for (uint64_t begin = 0; begin < n; begin += 16) {
    const double* v = values + begin;
    // A comparison sets both 32-bit halves of an entry's 64-bit lane alike: the saturating
    // packs keep one copy of each entry, in list order.
    const __m128i m0 = _mm_packs_epi32(compare(v), compare(v + 2));
    const __m128i m1 = _mm_packs_epi32(compare(v + 4), compare(v + 6));
    const __m128i m2 = _mm_packs_epi32(compare(v + 8), compare(v + 10));
    const __m128i m3 = _mm_packs_epi32(compare(v + 12), compare(v + 14));
    __m128i in = _mm_packs_epi16(_mm_packs_epi16(m0, m1), _mm_packs_epi16(m2, m3));
    if (n - begin < 16) in = _mm_and_si128(in, lanes_below(n - begin));
    counts = _mm_add_epi64(counts, _mm_sad_epu8(_mm_and_si128(in, ones), zero));
    const uint8_t* block = planes + K * begin;
    for (uint64_t c = 0; c < K; ++c)
      sums[c] = _mm_add_epi64(sums[c], _mm_sad_epu8(_mm_and_si128(in, load16(block + 16 * c)), zero));
  }
  return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(counts, _mm_unpackhi_epi64(counts, counts))));
}
#endif

template <uint64_t K>
[[gnu::always_inline]] inline TagPrefix plane_prefix(const double* values, const uint8_t* planes, uint64_t n,
                                                     double t) {
  TagPrefix out{};
#if defined(__SSE2__)
  __m128i sums[K];
  out.count = plane_prefix_lanes<K>(values, planes, n, t, sums);
  alignas(16) uint64_t lanes[2];
  for (uint64_t c = 0; c < K; ++c) {
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sums[c]);
    out.sums[c] = lanes[0] + lanes[1];
  }
#else
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t in = values[i] <= t ? 1 : 0;
    out.count += in;
    const uint8_t* block = planes + K * (i & ~uint64_t{15}) + (i & 15);
    for (uint64_t c = 0; c < K; ++c) out.sums[c] += in * block[16 * c];
  }
#endif
  return out;
}

#if defined(__SSE2__)
// The smaller lane of `low` and the larger lane of `high`, each picked as the scalar scans
// pick (lane 1 only when strictly beyond lane 0).
inline void fold_pairs(__m128d low, __m128d high, double& lo, double& hi) {
  alignas(16) double lanes[2];
  _mm_store_pd(lanes, low);
  lo = lanes[1] < lanes[0] ? lanes[1] : lanes[0];
  _mm_store_pd(lanes, high);
  hi = lanes[1] > lanes[0] ? lanes[1] : lanes[0];
}
#endif

// A zero extreme found out of list order may carry the other sign than the list-order scan
// would give; the copied values are then scanned again in list order.
template <class T>
void settle_zero_extremes(const T* out, uint64_t n, T& lo, T& hi) {
  if (lo != 0 && hi != 0) return;
  lo = std::numeric_limits<T>::infinity();
  hi = -std::numeric_limits<T>::infinity();
  for (uint64_t i = 0; i < n; ++i) {
    lo = out[i] < lo ? out[i] : lo;
    hi = out[i] > hi ? out[i] : hi;
  }
}

// Copies the values of a node without missing values to `out` and returns their extremes as
// the list-order scan `lo = v < lo ? v : lo` (and `hi` alike) finds them: the first entry
// holding the extreme value. Two interleaved scans find the same values, and equal values
// have equal bits except for zeros of either sign, so when an extreme is zero the list-order
// scan runs again over the copied values to settle its sign. `kCheckRows` false skips the
// row bounds checks, for rows the caller has already checked against the matrix.
template <class T, class Read, bool kCheckRows = true>
void copy_extremes(const RowIndex* rows, uint64_t n, uint64_t row_limit, Read& read, T* out, T& lo_out,
                   T& hi_out) {
  T lo = std::numeric_limits<T>::infinity();
  T hi = -std::numeric_limits<T>::infinity();
  uint64_t i = 0;
#if defined(__SSE2__)
  if constexpr (std::is_same_v<T, double>) {
   if (n >= 2) {
    __m128d low = _mm_set1_pd(lo);
    __m128d high = _mm_set1_pd(hi);
    for (; i + 2 <= n; i += 2) {
      const uint64_t r0 = rows[i];
      const uint64_t r1 = rows[i + 1];
      if constexpr (kCheckRows) {
        MORVEL_ASSERT(r0 < row_limit && r1 < row_limit, "index out of bounds: row outside the training matrix");
      }
      const double v0 = read(r0);
      const double v1 = read(r1);
      const __m128d v = _mm_setr_pd(v0, v1);
      _mm_storeu_pd(out + i, v);
      // Per lane low < v ? low : v, which differs from the scan's v < low ? v : low only
      // between equal values (no value here is NaN): settled below like any zero extreme.
      low = _mm_min_pd(low, v);
      high = _mm_max_pd(high, v);
    }
    fold_pairs(low, high, lo, hi);
   }
  }
#endif
  if (i == 0) {
    // Two interleaved scans, as above, without vectors.
    T lo_odd = lo;
    T hi_odd = hi;
    for (; i + 2 <= n; i += 2) {
      const uint64_t r0 = rows[i];
      const uint64_t r1 = rows[i + 1];
      if constexpr (kCheckRows) {
        MORVEL_ASSERT(r0 < row_limit && r1 < row_limit, "index out of bounds: row outside the training matrix");
      }
      const T v0 = read(r0);
      const T v1 = read(r1);
      out[i] = v0;
      out[i + 1] = v1;
      lo = v0 < lo ? v0 : lo;
      hi = v0 > hi ? v0 : hi;
      lo_odd = v1 < lo_odd ? v1 : lo_odd;
      hi_odd = v1 > hi_odd ? v1 : hi_odd;
    }
    lo = lo_odd < lo ? lo_odd : lo;
    hi = hi_odd > hi ? hi_odd : hi;
  }
  for (; i < n; ++i) {
    const uint64_t row = rows[i];
    if constexpr (kCheckRows) {
      MORVEL_ASSERT(row < row_limit, "index out of bounds: row outside the training matrix");
    }
    const T v = read(row);
    out[i] = v;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  settle_zero_extremes(out, n, lo, hi);
  lo_out = lo;
  hi_out = hi;
}

// copy_extremes for values read as base[index[i]] from a matrix without missing values. Without
// NaN, `low < v ? low : v` and `v < low ? v : low` differ only between equal values, whose bits
// are equal except for zeros of either sign; a zero extreme is settled by the list-order scan
// over the copied values, as in copy_extremes. Folding into the running extremes spares a
// register copy per step.
inline void gather_extremes(const double* base, const uint32_t* index, uint64_t n, double* out, double& lo_out,
                            double& hi_out) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  uint64_t i = 0;
#if defined(__SSE2__)
  if (n >= 2) {
    __m128d low = _mm_set1_pd(lo);
    __m128d high = _mm_set1_pd(hi);
    for (; i + 2 <= n; i += 2) {
      const __m128d v = _mm_loadh_pd(_mm_load_sd(base + index[i]), base + index[i + 1]);
      _mm_storeu_pd(out + i, v);
      low = _mm_min_pd(low, v);
      high = _mm_max_pd(high, v);
    }
    fold_pairs(low, high, lo, hi);
  }
#endif
  for (; i < n; ++i) {
    const double v = base[index[i]];
    out[i] = v;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  settle_zero_extremes(out, n, lo, hi);
  lo_out = lo;
  hi_out = hi;
}

#if defined(__SSE2__)
// ---- class-lane search ------------------------------------------------------------------
// The general search for a node with per-entry class lanes (three to eight classes, byte
// weights, raw values, no missing value in the matrix): one pass gathers the values and their
// extremes, one pass sums the lanes of the entries with value <= t, and the scoring works on
// those exact integer sums with the class count fixed at compile time. Every sum the general
// search adds is an exact integer here, so both give the same candidate.

// The node's impurity: computed by its first lane search, reused by the others.
// evaluate_fixed<K> under gini on whole-number sides with K classes: the two sides' class
// shares and squares in the two lanes of vector operations, each lane summing its squares in
// class order from 0.0 as impurity() does; the improvement is combined in the scalar order.
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<double> multi_gini_improvement(const SearchRules& rules, double parent, double node_weight,
                                                    const uint64_t* left_class, uint64_t left_sum,
                                                    uint64_t left_count, const uint64_t* right_class,
                                                    uint64_t right_sum, uint64_t right_count, int8_t constraint,
                                                    NodeBounds bounds) {
  const auto d = [](uint64_t v) { return static_cast<double>(static_cast<int64_t>(v)); };
  if (left_count < rules.min_samples_leaf || right_count < rules.min_samples_leaf) return std::nullopt;
  if (left_sum == 0 || right_sum == 0) return std::nullopt;
  const double w_left = d(left_sum);
  const double w_right = d(right_sum);
  if (!(w_left >= rules.min_leaf_weight) || !(w_right >= rules.min_leaf_weight)) return std::nullopt;
  if (constraint != 0) {
    double left_weights[K];
    double right_weights[K];
    for (uint64_t c = 0; c < K; ++c) {
      left_weights[c] = d(left_class[c]);
      right_weights[c] = d(right_class[c]);
    }
    if (!monotonic_ok(SideStats{left_weights, w_left, left_count}, SideStats{right_weights, w_right, right_count},
                      constraint, bounds, K)) {
      return std::nullopt;
    }
  }
  const __m128d w = _mm_set_pd(w_right, w_left);
  __m128d sum = _mm_setzero_pd();
  for (uint64_t c = 0; c < K; ++c) {
    const __m128d p = _mm_div_pd(_mm_set_pd(d(right_class[c]), d(left_class[c])), w);
    sum = _mm_add_pd(sum, _mm_mul_pd(p, p));
  }
  const __m128d impurities = _mm_sub_pd(_mm_set1_pd(1.0), sum);
  const __m128d terms = _mm_mul_pd(_mm_div_pd(w, _mm_set1_pd(node_weight)), impurities);
  const double improvement = (parent - _mm_cvtsd_f64(terms)) - _mm_cvtsd_f64(_mm_unpackhi_pd(terms, terms));
  if (!(improvement >= rules.min_impurity_decrease)) return std::nullopt;
  return improvement;
}

double lane_node_impurity(const SearchRules& rules, const NodeStats& stats, ExtraScratch& scratch) {
  return cached_impurity(rules, stats, scratch.tag_impurity_known, scratch.tag_impurity);
}

// The node's class weights and W as integers (exact: byte weights), for score_lanes.
template <uint64_t K>
struct NodeSums {
  uint64_t class_sums[K];
  uint64_t total;
  explicit NodeSums(const NodeStats& stats) {
    for (uint64_t c = 0; c < K; ++c) class_sums[c] = static_cast<uint64_t>(stats.class_weight[c]);
    total = static_cast<uint64_t>(stats.weight);
  }
};

// score_drawn_for<K> for a node without missing rows (option (1) only), from the lane sums.
// The suffix and side weights are differences of exact integers, so they equal the general
// search's (class_weight - 0.0) - prefix and W - W_P; under gini multi_gini_improvement
// scores them.
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_lanes(const SearchRules& rules,
                                                                        const NodeStats& stats, double parent,
                                                                        uint64_t n_entries, const TagPrefix& sums,
                                                                        double pivot, int8_t constraint,
                                                                        NodeBounds bounds, const NodeSums<K>& node) {
  const double node_weight = stats.weight;
  const double* class_weight = stats.class_weight.data();
  uint64_t prefix_total = 0;
  for (uint64_t c = 0; c < K; ++c) prefix_total += sums.sums[c];
  double improvement;
  if (rules.criterion == Criterion::Gini) {
    uint64_t suffix_sums[K];
    for (uint64_t c = 0; c < K; ++c) suffix_sums[c] = node.class_sums[c] - sums.sums[c];
    const auto valid = multi_gini_improvement<K>(rules, parent, node_weight, suffix_sums, node.total - prefix_total,
                                                 n_entries - sums.count, sums.sums, prefix_total, sums.count,
                                                 constraint, bounds);
    if (!valid) return std::nullopt;
    improvement = *valid;
  } else {
    double prefix[K];
    double suffix[K];
    for (uint64_t c = 0; c < K; ++c) {
      // Far below 2^63: the signed conversion is one instruction.
      prefix[c] = static_cast<double>(static_cast<int64_t>(sums.sums[c]));
      suffix[c] = class_weight[c] - prefix[c];
    }
    const double prefix_weight = static_cast<double>(static_cast<int64_t>(prefix_total));
    const SideStats left{suffix, node_weight - prefix_weight, n_entries - sums.count};
    const SideStats right{prefix, prefix_weight, sums.count};
    const auto valid = evaluate_fixed<K>(rules, parent, node_weight, left, right, constraint, bounds);
    if (!valid) return std::nullopt;
    improvement = *valid;
  }
  return SplitCandidate{pivot, true, scaled_gain(improvement, node_weight, rules.w_total)};
}

template <uint64_t K>
std::optional<SplitCandidate> score_lanes(const SearchRules& rules, const NodeStats& stats, double parent,
                                          uint64_t n_entries, const TagPrefix& sums, double pivot,
                                          int8_t constraint, NodeBounds bounds) {
  return score_lanes<K>(rules, stats, parent, n_entries, sums, pivot, constraint, bounds, NodeSums<K>(stats));
}

// score_lanes under gini without a constraint, from the vector sums of plane_prefix_lanes,
// for a node whose W is below 2^31: every class sum fits 32 bits, so each class's two side
// weights are converted together, (above t, at or below t) in the lanes multi_gini_improvement
// puts them in; the same operations in the same order follow.
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_plane_gini(
    const SearchRules& rules, const NodeStats& stats, double parent, uint64_t n_entries, const __m128i (&sums)[K],
    uint64_t prefix_count, double pivot, const NodeSums<K>& node, const __m128i (&node_lanes)[K]) {
  __m128i pairs[K];
  __m128i total = _mm_setzero_si128();
  for (uint64_t c = 0; c < K; ++c) {
    const __m128i prefix = _mm_add_epi64(sums[c], _mm_unpackhi_epi64(sums[c], sums[c]));  // low lane
    total = _mm_add_epi64(total, prefix);
    pairs[c] = _mm_unpacklo_epi32(_mm_sub_epi64(node_lanes[c], prefix), prefix);
  }
  const uint64_t right_sum = static_cast<uint64_t>(_mm_cvtsi128_si64(total));
  const uint64_t left_sum = node.total - right_sum;
  const uint64_t left_count = n_entries - prefix_count;
  if (left_count < rules.min_samples_leaf || prefix_count < rules.min_samples_leaf) return std::nullopt;
  if (left_sum == 0 || right_sum == 0) return std::nullopt;
  const double w_left = static_cast<double>(static_cast<int64_t>(left_sum));
  const double w_right = static_cast<double>(static_cast<int64_t>(right_sum));
  if (!(w_left >= rules.min_leaf_weight) || !(w_right >= rules.min_leaf_weight)) return std::nullopt;
  const double node_weight = stats.weight;
  const __m128d w = _mm_set_pd(w_right, w_left);
  __m128d sum = _mm_setzero_pd();
  for (uint64_t c = 0; c < K; ++c) {
    const __m128d p = _mm_div_pd(_mm_cvtepi32_pd(pairs[c]), w);
    sum = _mm_add_pd(sum, _mm_mul_pd(p, p));
  }
  const __m128d impurities = _mm_sub_pd(_mm_set1_pd(1.0), sum);
  const __m128d terms = _mm_mul_pd(_mm_div_pd(w, _mm_set1_pd(node_weight)), impurities);
  const double improvement = (parent - _mm_cvtsd_f64(terms)) - _mm_cvtsd_f64(_mm_unpackhi_pd(terms, terms));
  if (!(improvement >= rules.min_impurity_decrease)) return std::nullopt;
  return SplitCandidate{pivot, true, scaled_gain(improvement, node_weight, rules.w_total)};
}

template <class Read, bool kCheckRows>
std::optional<SplitCandidate> lane_search_rows(const TrainingContext& ctx, const SearchRules& rules,
                                               std::span<const RowIndex> rows, const NodeStats& stats,
                                               uint64_t feature, int8_t constraint, NodeBounds bounds,
                                               std::vector<uint64_t>& constant_features, Rng& rng,
                                               ExtraScratch& scratch, uint64_t row_limit, Read& read) {
  const uint64_t n = rows.size();
  std::vector<double>& buffer = scratch.values;
  // Grown, never shrunk or cleared; the plane prefix reads whole blocks of 16.
  if (buffer.size() < n + 15) buffer.resize(n + 15);
  const double* values = buffer.data();
  double lo;
  double hi;
  copy_extremes<double, Read, kCheckRows>(rows.data(), n, row_limit, read, buffer.data(), lo, hi);
  if (!(lo < hi)) {
    constant_features.push_back(feature);
    return std::nullopt;
  }
  const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, lo, hi);
  const uint8_t* planes = scratch.entry_planes.data();
  const bool from_planes = scratch.lane_planes;
  TagPrefix sums;
  switch (from_planes ? rules.n_classes : 0) {
    case 0: sums = tag_prefix(values, scratch.entry_tags.data(), n, t); break;
    case 3: sums = plane_prefix<3>(values, planes, n, t); break;
    case 4: sums = plane_prefix<4>(values, planes, n, t); break;
    case 5: sums = plane_prefix<5>(values, planes, n, t); break;
    case 6: sums = plane_prefix<6>(values, planes, n, t); break;
    case 7: sums = plane_prefix<7>(values, planes, n, t); break;
    default: sums = plane_prefix<8>(values, planes, n, t); break;
  }
  if (sums.count == 0 || sums.count == n) return std::nullopt;
  const double parent = lane_node_impurity(rules, stats, scratch);
  switch (rules.n_classes) {
    case 3: return score_lanes<3>(rules, stats, parent, n, sums, t, constraint, bounds);
    case 4: return score_lanes<4>(rules, stats, parent, n, sums, t, constraint, bounds);
    case 5: return score_lanes<5>(rules, stats, parent, n, sums, t, constraint, bounds);
    case 6: return score_lanes<6>(rules, stats, parent, n, sums, t, constraint, bounds);
    case 7: return score_lanes<7>(rules, stats, parent, n, sums, t, constraint, bounds);
    default: return score_lanes<8>(rules, stats, parent, n, sums, t, constraint, bounds);
  }
}

// Whether the lane search serves this general search: the node's lanes are ready and the
// matrix has no missing value.
bool lanes_serve(const TrainingContext& ctx, const SearchRules& rules, std::span<const RowIndex> rows,
                 const NodeStats& stats, const ExtraScratch& scratch, bool may_miss) {
  return !may_miss && !ctx.binned && scratch.tag_node == &stats && scratch.tag_node_entries == rows.size() &&
         rules.n_classes >= 3 && rules.n_classes <= kTagLanes && stats.class_weight.size() == rules.n_classes &&
         (scratch.lane_planes ? scratch.entry_planes.size() >= plane_bytes(rows.size(), rules.n_classes)
                              : scratch.entry_tags.size() >= kTagLanes * rows.size());
}

template <class Read>
std::optional<SplitCandidate> lane_search(const TrainingContext& ctx, const TreeWeights& weights,
                                          const SearchRules& rules, std::span<const RowIndex> rows,
                                          const NodeStats& stats, uint64_t feature, int8_t constraint,
                                          NodeBounds bounds, std::vector<uint64_t>& constant_features, Rng& rng,
                                          ExtraScratch& scratch, Read& read) {
  const uint64_t row_limit = weights.weights.size();
  // Rows measured by tagged_class_stats were checked there against the matrix and weights.
  if (rows.data() == scratch.tag_rows)
    return lane_search_rows<Read, false>(ctx, rules, rows, stats, feature, constraint, bounds, constant_features,
                                         rng, scratch, row_limit, read);
  return lane_search_rows<Read, true>(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                                      scratch, row_limit, read);
}

// The lane search on raw values, read as the general search reads them. Called straight from
// search_extra: the reader stays in this frame and is passed on by reference.
std::optional<SplitCandidate> raw_lane_search(const TrainingContext& ctx, const TreeWeights& weights,
                                              const SearchRules& rules, std::span<const RowIndex> rows,
                                              const NodeStats& stats, uint64_t feature, int8_t constraint,
                                              NodeBounds bounds, std::vector<uint64_t>& constant_features, Rng& rng,
                                              ExtraScratch& scratch) {
  MORVEL_ASSERT(feature < ctx.n_features, "index out of bounds: feature outside the training matrix");
  return with_raw_access_for(ctx, rows.size(), [&](auto access) {
    auto read = [access, feature](uint64_t row) { return access.value(row, feature); };
    return lane_search(ctx, weights, rules, rows, stats, feature, constraint, bounds, constant_features, rng, scratch,
                       read);
  });
}
#endif

// `read(row)` returns the value of the searched feature for a row, NaN when missing;
// `may_miss` is false when no value of the matrix is missing.
template <class Read>
std::optional<SplitCandidate> general_search(const TrainingContext& ctx, const TreeWeights& weights,
                                             const SearchRules& rules, std::span<const RowIndex> rows,
                                             const NodeStats& stats, uint64_t feature, int8_t constraint,
                                             NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                             Rng& rng, ExtraScratch& scratch, Read read, bool may_miss,
                                             bool tagged) {
  const uint64_t k = rules.n_classes;
  const uint64_t n = rows.size();
  MORVEL_ASSERT(stats.labels.size() == n, "index out of bounds: node labels do not match the index list");
  std::vector<double>& values = scratch.values;
  if (values.size() < n) values.resize(n);  // grown, never shrunk or cleared
  // prefix, missing, score_drawn's work (2k) and the four class-sum lanes (4k); only the
  // sums that are added to start at zero.
  std::vector<double>& sums = scratch.buffers;
  if (sums.size() < 8 * k) sums.resize(8 * k);
  double* prefix = sums.data();
  double* missing = sums.data() + k;
  std::fill(prefix, prefix + 2 * k, 0.0);
  const double* w = weights.weights.data();
  const ClassIndex* labels = stats.labels.data();

  double missing_weight = 0.0;
  uint64_t missing_count = 0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  if (may_miss) {
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t row = rows[i];
      MORVEL_ASSERT(row < weights.weights.size(), "index out of bounds: row outside the training matrix");
      const double v = read(row);
      values[i] = v;
      if (std::isnan(v)) {
        const uint64_t c = labels[i];
        missing[c] += w[row];
        missing_weight += w[row];
        ++missing_count;
        continue;
      }
      if (v < lo) lo = v;
      if (v > hi) hi = v;
    }
  } else {
    copy_extremes(rows.data(), n, weights.weights.size(), read, values.data(), lo, hi);
  }
  // Also covers a node whose values are all missing (lo stays +inf).
  if (!(lo < hi)) {
    constant_features.push_back(feature);
    return std::nullopt;
  }
  const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, lo, hi);

  // Entries outside the prefix add +0.0, which changes no running sum (see
  // binary_prefix_in_order); the entry weights, when the node kept them, are the same values
  // as w[row] read in list order.
  const double* entry_weights = stats.entry_weights.size() == n ? stats.entry_weights.data() : nullptr;
  double prefix_weight = 0.0;
  uint64_t prefix_count = 0;
  if (tagged && scratch.tag_node == &stats && scratch.tag_node_entries == n && k <= kTagLanes &&
      !scratch.lane_planes) {
    prefix_count = tagged_prefix(values.data(), scratch.entry_tags.data(), n, t, k, prefix);
    for (uint64_t c = 0; c < k; ++c) prefix_weight += prefix[c];
  } else if (entry_weights != nullptr && scratch.whole_weights) {
    // Whole weights: exact sums in any order. Four lanes of class sums, so that entries of one
    // class in a row do not wait on each other's store; the prefix weight is their total.
    double* lanes = sums.data() + 4 * k;
    std::fill(lanes, lanes + 4 * k, 0.0);
    for (uint64_t i = 0; i < n; ++i) {
      const bool in = values[i] <= t;  // false for NaN
      const double added =
          std::bit_cast<double>(std::bit_cast<uint64_t>(entry_weights[i]) & (uint64_t{0} - static_cast<uint64_t>(in)));
      lanes[(i & 3) * k + labels[i]] += added;
      prefix_count += static_cast<uint64_t>(in);
    }
    for (uint64_t c = 0; c < k; ++c) {
      prefix[c] = (lanes[c] + lanes[k + c]) + (lanes[2 * k + c] + lanes[3 * k + c]);
      prefix_weight += prefix[c];
    }
  } else {
    for (uint64_t i = 0; i < n; ++i) {
      const bool in = values[i] <= t;  // false for NaN
      const double wr = entry_weights != nullptr ? entry_weights[i] : w[rows[i]];
      const double added =
          std::bit_cast<double>(std::bit_cast<uint64_t>(wr) & (uint64_t{0} - static_cast<uint64_t>(in)));
      prefix[labels[i]] += added;
      prefix_weight += added;
      prefix_count += static_cast<uint64_t>(in);
    }
  }
  if (prefix_count == 0 || prefix_count == n - missing_count) return std::nullopt;
  const DrawnPartition part{prefix, prefix_weight, prefix_count, missing, missing_weight, missing_count};
  return score_drawn(rules, stats, parent_impurity(rules, stats, scratch), n, part, t, constraint, bounds, sums.data() + 2 * k);
}

// Calls fn(read, may_miss) for the searched feature.
template <class Fn>
decltype(auto) with_general_reader(const TrainingContext& ctx, uint64_t feature, uint64_t n_entries, Fn&& fn) {
  if (ctx.binned) {
    const BinnedMatrix& bm = *ctx.binned;
    MORVEL_ASSERT(feature < bm.n_features && feature < bm.edges.size(),
                  "index out of bounds: feature outside the binned matrix");
    const uint8_t* column = bm.bins.data() + (bm.feature_major ? feature * bm.n_rows : feature);
    const uint64_t stride = bm.feature_major ? 1 : bm.n_features;
    const uint64_t n_rows = bm.n_rows;
    if (!bm.has_missing) {
      return fn(
          [column, stride, n_rows](uint64_t row) {
            MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the binned matrix");
            return static_cast<double>(column[row * stride]);
          },
          false);
    }
    const uint8_t missing = missing_bin(bm.edges[feature].size());
    return fn(
        [column, stride, n_rows, missing](uint64_t row) {
          MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the binned matrix");
          const uint8_t b = column[row * stride];
          return b == missing ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(b);
        },
        true);
  }
  MORVEL_ASSERT(feature < ctx.n_features, "index out of bounds: feature outside the training matrix");
  return with_raw_access_for(ctx, n_entries, [&](auto access) {
    return fn([access, feature](uint64_t row) { return access.value(row, feature); }, ctx.has_missing);
  });
}

// ---- two-class dense search -------------------------------------------------------------

// `read(row)` returns the stored element (float for float32 input) of the searched feature.
template <class T, class Read>
std::optional<SplitCandidate> binary_dense_search(const TrainingContext& ctx, const SearchRules& rules,
                                                  std::span<const RowIndex> rows, const NodeStats& stats,
                                                  uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                  std::vector<uint64_t>& constant_features, Rng& rng,
                                                  std::vector<T>& values, ExtraScratch& scratch, ProfileCounters* profile,
                                                  Read read) {
  const bool whole_weights = scratch.whole_weights;
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

// ---- two-class binned search ------------------------------------------------------------

// bins[i] = the byte of entry i's row in `column` (feature-major when stride is 1).
void gather_bins(const uint8_t* column, uint64_t stride, const RowIndex* rows, uint64_t n, uint64_t n_rows,
                 uint8_t* bins) {
  uint64_t i = 0;
  if (stride == 1) {
    for (; i + 4 <= n; i += 4) {
      const uint64_t r0 = rows[i];
      const uint64_t r1 = rows[i + 1];
      const uint64_t r2 = rows[i + 2];
      const uint64_t r3 = rows[i + 3];
      MORVEL_ASSERT(std::max(std::max(r0, r1), std::max(r2, r3)) < n_rows,
                    "index out of bounds: row outside the training matrix");
      bins[i] = column[r0];
      bins[i + 1] = column[r1];
      bins[i + 2] = column[r2];
      bins[i + 3] = column[r3];
    }
  }
  for (; i < n; ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < n_rows, "index out of bounds: row outside the training matrix");
    bins[i] = column[row * stride];
  }
}

// Byte sums of 16 entries at a time: sums[0..1] += the bytes of `v` (two 8-byte halves).
#if defined(__SSE2__)
inline __m128i add_bytes(__m128i sums, __m128i v) { return _mm_add_epi64(sums, _mm_sad_epu8(v, _mm_setzero_si128())); }
inline uint64_t lanes_total(__m128i sums) {
  alignas(16) uint64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sums);
  return lanes[0] + lanes[1];
}
// The smallest and largest byte of `low` and `high`: halves, quarters, eighths, sixteenths.
inline void fold_extremes(__m128i low, __m128i high, uint64_t& lo, uint64_t& hi) {
  low = _mm_min_epu8(low, _mm_srli_si128(low, 8));
  high = _mm_max_epu8(high, _mm_srli_si128(high, 8));
  low = _mm_min_epu8(low, _mm_srli_si128(low, 4));
  high = _mm_max_epu8(high, _mm_srli_si128(high, 4));
  low = _mm_min_epu8(low, _mm_srli_si128(low, 2));
  high = _mm_max_epu8(high, _mm_srli_si128(high, 2));
  low = _mm_min_epu8(low, _mm_srli_si128(low, 1));
  high = _mm_max_epu8(high, _mm_srli_si128(high, 1));
  lo = static_cast<uint64_t>(_mm_cvtsi128_si32(low) & 0xFF);
  hi = static_cast<uint64_t>(_mm_cvtsi128_si32(high) & 0xFF);
}
#endif

// A byte search's node: its entries' bins (padded by kBlockPad), weights and second bytes
// (two classes: the weight of class-1 entries; more classes: the class).
struct ByteNode {
  const uint8_t* bins;
  const uint8_t* weight;
  const uint8_t* second;
  uint64_t n;
};

// Extremes over the non-missing bins and the missing entries' count, weight and class-1
// weight (the last two only with `second` = class-1 weights; pass may_miss false to skip
// the missing sums). Blocks of 16 entries; only the last block masks the lanes past n. A
// masked or missing lane counts as 255 for the minimum and 0 for the maximum.
struct ByteExtremes {
  uint64_t lo = 255;
  uint64_t hi = 0;
  uint64_t missing_count = 0;
  uint64_t missing_sum = 0;
  uint64_t missing_one = 0;
};

ByteExtremes byte_extremes(const ByteNode& node, bool may_miss, uint64_t missing_byte, bool sum_missing) {
  ByteExtremes out;
  const uint64_t n = node.n;
#if defined(__SSE2__)
  if (n == 0) return out;
  const __m128i all = _mm_set1_epi8(static_cast<char>(0xFF));
  __m128i low = all;
  __m128i high = _mm_setzero_si128();
  if (!may_miss) {
    uint64_t i = 0;
    for (; i + 16 <= n; i += 16) {
      const __m128i b = load16(node.bins + i);
      low = _mm_min_epu8(low, b);
      high = _mm_max_epu8(high, b);
    }
    if (i < n) {
      const __m128i valid = lanes_below(n - i);
      const __m128i b = load16(node.bins + i);
      low = _mm_min_epu8(low, _mm_or_si128(b, _mm_andnot_si128(valid, all)));
      high = _mm_max_epu8(high, _mm_and_si128(b, valid));
    }
    fold_extremes(low, high, out.lo, out.hi);
    return out;
  }
  const __m128i missing_v = _mm_set1_epi8(static_cast<char>(missing_byte));
  const __m128i ones = _mm_set1_epi8(1);
  __m128i m_count = _mm_setzero_si128();
  __m128i m_sum = _mm_setzero_si128();
  __m128i m_one = _mm_setzero_si128();
  for (uint64_t i = 0; i < n; i += 16) {
    const __m128i valid = lanes_below(n - i);
    const __m128i b = load16(node.bins + i);
    const __m128i gone = _mm_and_si128(valid, _mm_cmpeq_epi8(b, missing_v));
    const __m128i skip = _mm_or_si128(_mm_andnot_si128(valid, all), gone);
    m_count = add_bytes(m_count, _mm_and_si128(gone, ones));
    if (sum_missing) {
      m_sum = add_bytes(m_sum, _mm_and_si128(gone, load16(node.weight + i)));
      m_one = add_bytes(m_one, _mm_and_si128(gone, load16(node.second + i)));
    }
    low = _mm_min_epu8(low, _mm_or_si128(b, skip));
    high = _mm_max_epu8(high, _mm_andnot_si128(skip, b));
  }
  fold_extremes(low, high, out.lo, out.hi);
  out.missing_count = lanes_total(m_count);
  out.missing_sum = lanes_total(m_sum);
  out.missing_one = lanes_total(m_one);
#else
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t b = node.bins[i];
    if (may_miss && b == missing_byte) {
      ++out.missing_count;
      if (sum_missing) {
        out.missing_sum += node.weight[i];
        out.missing_one += node.second[i];
      }
      continue;
    }
    out.lo = b < out.lo ? b : out.lo;
    out.hi = b > out.hi ? b : out.hi;
  }
#endif
  return out;
}

// Count, weight and class-1 weight of the entries whose bin is <= last (two classes).
struct BytePrefix {
  uint64_t count = 0;
  uint64_t sum = 0;
  uint64_t one = 0;
};

BytePrefix binary_byte_prefix(const ByteNode& node, uint64_t last) {
  BytePrefix out;
  const uint64_t n = node.n;
#if defined(__SSE2__)
  const __m128i limit = _mm_set1_epi8(static_cast<char>(last));
  const __m128i ones = _mm_set1_epi8(1);
  __m128i p_count = _mm_setzero_si128();
  __m128i p_sum = _mm_setzero_si128();
  __m128i p_one = _mm_setzero_si128();
  const auto block = [&](uint64_t i, __m128i valid) {
    const __m128i b = load16(node.bins + i);
    const __m128i in = _mm_and_si128(valid, _mm_cmpeq_epi8(_mm_min_epu8(b, limit), b));  // b <= last
    p_count = add_bytes(p_count, _mm_and_si128(in, ones));
    p_sum = add_bytes(p_sum, _mm_and_si128(in, load16(node.weight + i)));
    p_one = add_bytes(p_one, _mm_and_si128(in, load16(node.second + i)));
  };
  uint64_t i = 0;
  for (; i + 16 <= n; i += 16) block(i, _mm_set1_epi8(static_cast<char>(0xFF)));
  if (i < n) block(i, lanes_below(n - i));
  out.count = lanes_total(p_count);
  out.sum = lanes_total(p_sum);
  out.one = lanes_total(p_one);
#else
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t in = node.bins[i] <= last ? 1 : 0;
    out.count += in;
    out.sum += in * node.weight[i];
    out.one += in * node.second[i];
  }
#endif
  return out;
}


#if defined(__SSE2__)
inline uint64_t sum_lanes(__m128i v) {
  return static_cast<uint64_t>(_mm_cvtsi128_si64(v)) + static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
}

// Bytes base[offset[i]] for i in [begin, end) packed into a word, byte i - begin in bits
// 8 (i - begin) up; zero when the range is empty.
inline uint64_t gather_word(const uint8_t* base, const uint32_t* offset, uint64_t begin, uint64_t end) {
  uint64_t word = 0;
  for (uint64_t i = begin; i < end; ++i) word |= uint64_t{base[offset[i]]} << ((i - begin) * 8);
  return word;
}

// A small node's bins of one feature as `Blocks` vectors of 16 entries, lanes past n zero.
// Assembled in registers: bytes stored one by one and then loaded as a vector would stall
// the load until every store has completed.
template <uint64_t Blocks>
[[gnu::always_inline]] inline void gather_blocks(const uint8_t* base, const uint32_t* offset, uint64_t n,
                                                 __m128i* v) {
  for (uint64_t b = 0; b < Blocks; ++b) {
    const uint64_t start = 16 * b;
    const uint64_t middle = std::min(n, start + 8);
    const uint64_t end = std::min(n, start + 16);
    const uint64_t low = start < middle ? gather_word(base, offset, start, middle) : 0;
    const uint64_t high = start + 8 < end ? gather_word(base, offset, start + 8, end) : 0;
    v[b] = _mm_set_epi64x(static_cast<int64_t>(high), static_cast<int64_t>(low));
  }
}

// evaluate_fixed<2> under gini on whole-number sides, both sides' impurities computed in the
// two lanes of vector operations: each lane rounds every operation exactly as the scalar
// form does (1 - ((0 + p0 * p0) + p1 * p1) with p_c = class weight / side weight), and the
// improvement is then combined in the scalar order.
[[gnu::always_inline]] inline std::optional<double> binary_gini_improvement(const SearchRules& rules, double parent, double node_weight,
                                                     uint64_t left_sum, uint64_t left_one, uint64_t left_count,
                                                     uint64_t right_sum, uint64_t right_one, uint64_t right_count,
                                                     int8_t constraint, NodeBounds bounds) {
  // Sums below 2^53: the signed conversions are exact.
  const auto d = [](uint64_t v) { return static_cast<double>(static_cast<int64_t>(v)); };
  if (left_count < rules.min_samples_leaf || right_count < rules.min_samples_leaf) return std::nullopt;
  if (left_sum == 0 || right_sum == 0) return std::nullopt;
  const double w_left = d(left_sum);
  const double w_right = d(right_sum);
  if (!(w_left >= rules.min_leaf_weight) || !(w_right >= rules.min_leaf_weight)) return std::nullopt;
  const double left_class[2] = {d(left_sum - left_one), d(left_one)};
  const double right_class[2] = {d(right_sum - right_one), d(right_one)};
  if (constraint != 0 && !monotonic_ok(SideStats{left_class, w_left, left_count},
                                       SideStats{right_class, w_right, right_count}, constraint, bounds, 2)) {
    return std::nullopt;
  }
  const __m128d w = _mm_set_pd(w_right, w_left);
  const __m128d p0 = _mm_div_pd(_mm_set_pd(right_class[0], left_class[0]), w);
  const __m128d p1 = _mm_div_pd(_mm_set_pd(right_class[1], left_class[1]), w);
  const __m128d sum = _mm_add_pd(_mm_add_pd(_mm_setzero_pd(), _mm_mul_pd(p0, p0)), _mm_mul_pd(p1, p1));
  const __m128d impurities = _mm_sub_pd(_mm_set1_pd(1.0), sum);
  const __m128d terms = _mm_mul_pd(_mm_div_pd(w, _mm_set1_pd(node_weight)), impurities);
  const double term_left = _mm_cvtsd_f64(terms);
  const double term_right = _mm_cvtsd_f64(_mm_unpackhi_pd(terms, terms));
  const double improvement = (parent - term_left) - term_right;
  if (!(improvement >= rules.min_impurity_decrease)) return std::nullopt;
  return improvement;
}

// score_binary_sums under gini (binary_gini_improvement for each option).
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_binary_gini(const SearchRules& rules, double node_weight, uint64_t node_sum,
                                                       uint64_t node_one, double parent, uint64_t n,
                                                       const BytePrefix& prefix, const ByteExtremes& miss,
                                                       double pivot, int8_t constraint, NodeBounds bounds) {
  std::optional<SplitCandidate> best;
  double best_improvement = 0.0;
  // (1) missing rows with the entries above t (left).
  if (auto improvement = binary_gini_improvement(rules, parent, node_weight, node_sum - prefix.sum,
                                                 node_one - prefix.one, n - prefix.count, prefix.sum, prefix.one,
                                                 prefix.count, constraint, bounds)) {
    best = SplitCandidate{pivot, true, 0.0};
    best_improvement = *improvement;
  }
  if (miss.missing_count > 0) {
    // (2) missing rows with the prefix (right).
    if (auto improvement = binary_gini_improvement(
            rules, parent, node_weight, node_sum - prefix.sum - miss.missing_sum,
            node_one - prefix.one - miss.missing_one, n - miss.missing_count - prefix.count,
            prefix.sum + miss.missing_sum, prefix.one + miss.missing_one, prefix.count + miss.missing_count,
            constraint, bounds)) {
      if (!best || *improvement > best_improvement) {
        best = SplitCandidate{pivot, false, 0.0};
        best_improvement = *improvement;
      }
    }
  }
  if (best) best->gain = scaled_gain(best_improvement, node_weight, rules.w_total);
  return best;
}


// score_drawn_for<K> under gini on whole-number sums (multi_gini_improvement for each option).
template <uint64_t K>
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_multi_gini(
    const SearchRules& rules, double node_weight, uint64_t node_sum, const uint64_t* node_class, double parent,
    uint64_t n, const uint64_t* prefix, uint64_t prefix_sum, uint64_t prefix_count, const uint64_t* missing,
    uint64_t missing_sum, uint64_t missing_count, double pivot, int8_t constraint, NodeBounds bounds) {
  std::optional<SplitCandidate> best;
  double best_improvement = 0.0;
  uint64_t side[K];
  for (uint64_t c = 0; c < K; ++c) side[c] = node_class[c] - prefix[c];
  // (1) missing rows with the entries above t (left).
  if (auto improvement = multi_gini_improvement<K>(rules, parent, node_weight, side, node_sum - prefix_sum,
                                                   n - prefix_count, prefix, prefix_sum, prefix_count, constraint,
                                                   bounds)) {
    best = SplitCandidate{pivot, true, 0.0};
    best_improvement = *improvement;
  }
  if (missing_count > 0) {
    // (2) missing rows with the prefix (right).
    uint64_t joined[K];
    for (uint64_t c = 0; c < K; ++c) {
      side[c] = node_class[c] - missing[c] - prefix[c];
      joined[c] = prefix[c] + missing[c];
    }
    if (auto improvement = multi_gini_improvement<K>(rules, parent, node_weight, side, node_sum - prefix_sum - missing_sum,
                                                     n - missing_count - prefix_count, joined, prefix_sum + missing_sum,
                                                     prefix_count + missing_count, constraint, bounds)) {
      if (!best || *improvement > best_improvement) {
        best = SplitCandidate{pivot, false, 0.0};
        best_improvement = *improvement;
      }
    }
  }
  if (best) best->gain = scaled_gain(best_improvement, node_weight, rules.w_total);
  return best;
}
#endif

// score_drawn for two classes on whole-number sums. Every side's class weights and totals are
// whole numbers below 2^53, which the integer arithmetic here gives exactly, as score_drawn's
// double arithmetic does (a zero comes out +0.0 either way); the options, their order and the
// strictly-greater rule are score_drawn's. Under gini, score_binary_gini does the same work
// with both sides in vector lanes.
[[gnu::always_inline]] inline std::optional<SplitCandidate> score_binary_sums(
    const SearchRules& rules, const NodeStats& stats, double parent, uint64_t n, const BytePrefix& prefix,
    const ByteExtremes& miss, double pivot, int8_t constraint, NodeBounds bounds) {
#if defined(__SSE2__)
  if (rules.criterion == Criterion::Gini) {
    return score_binary_gini(rules, stats.weight, static_cast<uint64_t>(stats.weight),
                             static_cast<uint64_t>(stats.class_weight[1]), parent, n, prefix, miss, pivot, constraint,
                             bounds);
  }
#endif
  const double node_weight = stats.weight;
  const uint64_t node_sum = static_cast<uint64_t>(node_weight);
  const uint64_t node_one = static_cast<uint64_t>(stats.class_weight[1]);
  // Every sum is below 2^53: the signed conversion is exact and cheaper than the unsigned one.
  const auto d = [](uint64_t v) { return static_cast<double>(static_cast<int64_t>(v)); };
  std::optional<SplitCandidate> best;
  double best_improvement = 0.0;
  {
    // (1) missing rows with the entries above t (left).
    const uint64_t left_sum = node_sum - prefix.sum;
    const uint64_t left_one = node_one - prefix.one;
    const double left_class[2] = {d(left_sum - left_one), d(left_one)};
    const double right_class[2] = {d(prefix.sum - prefix.one), d(prefix.one)};
    const SideStats left{left_class, d(left_sum), n - prefix.count};
    const SideStats right{right_class, d(prefix.sum), prefix.count};
    if (auto improvement = evaluate_fixed<2>(rules, parent, node_weight, left, right, constraint, bounds)) {
      best = SplitCandidate{pivot, true, 0.0};
      best_improvement = *improvement;
    }
  }
  if (miss.missing_count > 0) {
    // (2) missing rows with the prefix (right).
    const uint64_t left_sum = node_sum - prefix.sum - miss.missing_sum;
    const uint64_t left_one = node_one - prefix.one - miss.missing_one;
    const uint64_t right_sum = prefix.sum + miss.missing_sum;
    const uint64_t right_one = prefix.one + miss.missing_one;
    const double left_class[2] = {d(left_sum - left_one), d(left_one)};
    const double right_class[2] = {d(right_sum - right_one), d(right_one)};
    const SideStats left{left_class, d(left_sum), n - miss.missing_count - prefix.count};
    const SideStats right{right_class, d(right_sum), prefix.count + miss.missing_count};
    if (auto improvement = evaluate_fixed<2>(rules, parent, node_weight, left, right, constraint, bounds)) {
      if (!best || *improvement > best_improvement) {
        best = SplitCandidate{pivot, false, 0.0};
        best_improvement = *improvement;
      }
    }
  }
  if (best) best->gain = scaled_gain(best_improvement, node_weight, rules.w_total);
  return best;
}

// The prepared node's impurity: computed by its first search, reused by the others.
double byte_node_impurity(const SearchRules& rules, const NodeStats& stats, ExtraScratch& scratch) {
  return cached_impurity(rules, stats, scratch.node_impurity_known, scratch.node_impurity);
}

// Gathers the searched feature's bins of the node's entries into node_bins and records whose
// they are; returns the node's byte view.
// bins[i] = base[index[i]] for indices the caller has checked.
inline void gather_indexed(const uint8_t* base, const uint32_t* index, uint64_t n, uint8_t* bins) {
  uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t a = index[i];
    const uint32_t b = index[i + 1];
    const uint32_t c = index[i + 2];
    const uint32_t d = index[i + 3];
    bins[i] = base[a];
    bins[i + 1] = base[b];
    bins[i + 2] = base[c];
    bins[i + 3] = base[d];
  }
  for (; i < n; ++i) bins[i] = base[index[i]];
}

ByteNode gather_node_bins(const BinnedMatrix& bm, std::span<const RowIndex> rows, uint64_t feature,
                          ExtraScratch& scratch, const uint8_t* second) {
  const uint64_t n = rows.size();
  if (scratch.node_bins.size() < n + kBlockPad) scratch.node_bins.resize(n + kBlockPad);
  MORVEL_ASSERT(scratch.entry_bytes.size() >= n + kBlockPad, "index out of bounds: entry bytes shorter than the node");
  MORVEL_ASSERT(feature < bm.n_features, "index out of bounds: feature outside the binned matrix");
  uint8_t* bins = scratch.node_bins.data();
  static_assert(std::is_same_v<RowIndex, uint32_t>);
  scratch.bins_feature = feature;
  scratch.bins_rows = rows.data();
  scratch.bins_entries = n;
  if (scratch.batch_rows == rows.data() && scratch.batch_entries == n) {
    for (uint64_t j = 0; j < scratch.batch_count; ++j) {
      if (scratch.batch_features[j] != feature) continue;
      scratch.bins_data = scratch.batch_bins.data() + j * scratch.batch_stride;
      return ByteNode{scratch.bins_data, scratch.entry_bytes.data(), second, n};
    }
  }
  scratch.bins_data = bins;
  if (rows.data() == scratch.checked_rows && n == scratch.byte_node_entries) {
    // Rows checked by binned_node_stats. A small node's rows are scattered over a column, one
    // cache line each; in the row-major copy each row's bytes of every feature share a line or
    // two, which the node's other searches and its children then find cached. Its entries'
    // offsets into the copy were computed with the statistics.
    if (scratch.row_offsets_ready) {
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

// The two-class binned search on bytes, for a node prepared by binned_node_stats or
// prepare_extra_node: whole weights of at most 255, so every sum is an exact integer and the
// per-bin sums of the table form collapse into sums over the entries whose bin is <= floor(t).
// The missing bin (above every other bin of the feature) never qualifies. Same draws, same
// rejections, same result.
std::optional<SplitCandidate> binary_binned_bytes(const TrainingContext& ctx, const SearchRules& rules,
                                                  std::span<const RowIndex> rows, const NodeStats& stats,
                                                  uint64_t feature, int8_t constraint, NodeBounds bounds,
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
  const ByteNode node = gather_node_bins(bm, rows, feature, scratch, scratch.entry_bytes_one.data());
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

std::optional<SplitCandidate> binary_binned_search(const TrainingContext& ctx, const TreeWeights& weights,
                                                   const SearchRules& rules, std::span<const RowIndex> rows,
                                                   const NodeStats& stats, uint64_t feature, int8_t constraint,
                                                   NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                   Rng& rng, ExtraScratch& scratch, ProfileCounters* profile) {
  const BinnedMatrix& bm = *ctx.binned;
  MORVEL_ASSERT(feature < bm.n_features && feature < bm.edges.size(),
                "index out of bounds: feature outside the binned matrix");
  const uint64_t n = rows.size();
  const uint64_t missing_byte = bm.has_missing ? missing_bin(bm.edges[feature].size()) : kByteBins;
  MORVEL_ASSERT(stats.labels.size() == n, "index out of bounds: node labels do not match the index list");
  // The table is all zeros between searches: each search clears the bins it touched.
  if (scratch.bin_counts.size() != kByteBins) {
    scratch.bin_counts.assign(kByteBins, 0);
    scratch.bin_weights.assign(2 * kByteBins, 0.0);
  }
  uint64_t* counts = scratch.bin_counts.data();
  double* table = scratch.bin_weights.data();
  const uint8_t* column = bm.bins.data() + (bm.feature_major ? feature * bm.n_rows : feature);
  const uint64_t stride = bm.feature_major ? 1 : bm.n_features;
  const double* w = weights.weights.data();
  const ClassIndex* labels = stats.labels.data();
  const auto reject = [profile] {
    if (profile != nullptr) profile->add(profile->rejected_candidates, 1);
    return std::optional<SplitCandidate>{};
  };

  double missing[2] = {0.0, 0.0};
  double missing_weight = 0.0;
  uint64_t missing_count = 0;
  uint64_t lo = kByteBins;
  uint64_t hi = 0;
  if (scratch.whole_weights && stats.entry_weights.size() == n) {
    // Whole weights: the per-bin sums and their sum over bins lo..floor(t) are exact, so the
    // prefix is summed straight from the entries, as in the dense search: the bins are
    // copied as doubles (the missing bin as NaN) and an entry is in the prefix when its bin
    // is <= t, which for a whole bin means <= floor(t). No table to fill or clear.
    std::vector<double>& values = scratch.values_f64;
    if (values.size() < n) values.resize(n);
    const double* ew = stats.entry_weights.data();
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t row = rows[i];
      MORVEL_ASSERT(row < bm.n_rows, "index out of bounds: row outside the training matrix");
      const uint64_t b = column[row * stride];
      if (b == missing_byte) {
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
      return reject();
    }
    const double t = draw_extra_threshold(rng, ctx.growth.extra_seed, static_cast<double>(lo),
                                          static_cast<double>(hi));
    const BinaryPrefix sums = binary_prefix_whole(values.data(), ew, labels, n, t);
    if (sums.count == 0 || sums.count == n - missing_count) return reject();
    const double prefix[2] = {sums.class0, sums.class1};
    double work[4];
    const DrawnPartition part{prefix, sums.weight, sums.count, missing, missing_weight, missing_count};
    auto result = score_drawn(rules, stats, parent_impurity(rules, stats, scratch), n, part, t, constraint, bounds, work);
    if (!result) return reject();
    return result;
  }

  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t row = rows[i];
    MORVEL_ASSERT(row < bm.n_rows && row < weights.weights.size(),
                  "index out of bounds: row outside the training matrix");
    const uint64_t b = column[row * stride];
    const double wr = w[row];
    if (b == missing_byte) {
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
    return reject();
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
  if (prefix_count == 0 || prefix_count == n - missing_count) return reject();
  const double prefix_weight = prefix[0] + prefix[1];
  double work[4];
  const DrawnPartition part{prefix, prefix_weight, prefix_count, missing, missing_weight, missing_count};
  auto result = score_drawn(rules, stats, parent_impurity(rules, stats, scratch), n, part, t, constraint, bounds, work);
  if (!result) return reject();
  return result;
}

// The general search on bytes, for a binned node of more than two classes prepared by
// binned_node_stats or prepare_extra_node: whole weights of at most 255, so every class sum is
// an exact integer and may be added in any order; an entry is in the prefix when its bin is
// <= floor(t), which for a whole bin is value <= t. Same draws, same constant list, same
// result as the general search reading bins as doubles.
// K > 0 fixes the class count at compile time (the class loops unrolled, the sums in registers).
template <uint64_t K>
std::optional<SplitCandidate> multi_binned_bytes_for(const TrainingContext& ctx, const SearchRules& rules,
                                                     std::span<const RowIndex> rows, const NodeStats& stats,
                                                     uint64_t feature, int8_t constraint, NodeBounds bounds,
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
  const ByteNode node = gather_node_bins(bm, rows, feature, scratch, classes);
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

  uint64_t count = 0;
#if defined(__SSE2__)
  if (k <= 8) {
    const __m128i limit = _mm_set1_epi8(static_cast<char>(last));
    const __m128i ones = _mm_set1_epi8(1);
    __m128i p_count = _mm_setzero_si128();
    __m128i p_class[8];
    for (uint64_t c = 0; c < k; ++c) p_class[c] = _mm_setzero_si128();
    const auto block = [&](uint64_t i, __m128i valid) {
      const __m128i b = load16(bins + i);
      const __m128i in = _mm_and_si128(valid, _mm_cmpeq_epi8(_mm_min_epu8(b, limit), b));  // b <= last
      const __m128i w = _mm_and_si128(in, load16(weight + i));
      const __m128i cls = load16(classes + i);
      p_count = add_bytes(p_count, _mm_and_si128(in, ones));
      for (uint64_t c = 0; c < k; ++c) {
        const __m128i mine = _mm_cmpeq_epi8(cls, _mm_set1_epi8(static_cast<char>(c)));
        p_class[c] = add_bytes(p_class[c], _mm_and_si128(mine, w));
      }
    };
    uint64_t i = 0;
    for (; i + 16 <= n; i += 16) block(i, _mm_set1_epi8(static_cast<char>(0xFF)));
    if (i < n) block(i, lanes_below(n - i));
    count = lanes_total(p_count);
    for (uint64_t c = 0; c < k; ++c) prefix[c] = static_cast<double>(lanes_total(p_class[c]));
  } else
#endif
  {
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t in = bins[i] <= last ? 1 : 0;
      count += in;
      prefix[classes[i]] += static_cast<double>(in * weight[i]);
    }
  }
  if (count == 0 || count == n - miss.missing_count) return std::nullopt;
#if defined(__SSE2__)
  if constexpr (K > 0) {
    if (rules.criterion == Criterion::Gini) {
      // Every sum is a whole number below 2^53.
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
                                 missing_sums, missing_sum, miss.missing_count, t, constraint, bounds);
    }
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
                                                 uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                 std::vector<uint64_t>& constant_features, Rng& rng,
                                                 ExtraScratch& scratch) {
  switch (rules.n_classes) {
#define MORVEL_MULTI_BYTES(K) \
  case K:                     \
    return multi_binned_bytes_for<K>(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng, scratch);
    MORVEL_MULTI_BYTES(3)
    MORVEL_MULTI_BYTES(4)
    MORVEL_MULTI_BYTES(5)
    MORVEL_MULTI_BYTES(6)
    MORVEL_MULTI_BYTES(7)
    MORVEL_MULTI_BYTES(8)
#undef MORVEL_MULTI_BYTES
    default:
      return multi_binned_bytes_for<0>(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                                       scratch);
  }
}

// What every extra-trees search does before reading values: a feature already known to be
// constant at the node yields none without drawing; otherwise the visit is counted and timed
// (when profiling) around fn(profile).
template <class Fn>
std::optional<SplitCandidate> profiled_search(const TrainingContext& ctx, std::span<const RowIndex> rows,
                                              uint64_t feature, const std::vector<uint64_t>& constant_features,
                                              Fn&& fn) {
  if (is_listed(constant_features, feature)) return std::nullopt;
  ProfileCounters* profile = ctx.profile.get();
  if (profile != nullptr) {
    profile->add(profile->feature_visits, 1);
    profile->add(profile->sample_visits, rows.size());
  }
  const ScopedNanos timer(profile, &ProfileCounters::split_search_ns);
  return fn(profile);
}

}  // namespace

void prepare_extra_tree(std::span<const double> weights, std::span<const RowIndex> in_bag, ExtraScratch& scratch) {
  // Values kept by an earlier tree's last search describe other rows behind the same index
  // segment: a later tree of this worker must not partition by them.
  scratch.kept_values_valid = false;
  // Whole numbers add exactly while the running total stays at most 2^53; every
  // node's entries are a sub-list of the bag, so their partial sums are exact too.
  constexpr double kExactLimit = 0x1p53;
  bool whole = true;
  double total = 0.0;
  double largest = 0.0;
  for (const uint64_t row : in_bag) {
    MORVEL_ASSERT(row < weights.size(), "index out of bounds: row outside the training matrix");
    const double w = weights[row];
    if (!(w >= 0.0 && w <= kExactLimit && w == std::floor(w))) {
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
  scratch.whole_weights = whole;
  scratch.byte_weights = whole && largest <= 255.0;
  scratch.byte_node = nullptr;
  scratch.tag_node = nullptr;
  scratch.tag_rows = nullptr;
  scratch.row_lanes_labels = nullptr;  // a tree's weights may reuse the last tree's storage
  scratch.tags_fresh = false;
  scratch.bytes_fresh = false;
  scratch.binned_tags = false;
  scratch.checked_rows = nullptr;
  scratch.bins_rows = nullptr;
  scratch.batch_rows = nullptr;
  scratch.kept_valid = false;
}

constexpr uint64_t kSignBit = uint64_t{1} << 63;

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

void prepare_extra_node(const NodeStats& stats, ExtraScratch& scratch) {
  const uint64_t n = stats.labels.size();
  scratch.byte_node = nullptr;
  scratch.batch_rows = nullptr;
  scratch.checked_rows = nullptr;  // rows not seen here: the searches check them
  scratch.node_impurity_known = false;
  const uint64_t k = stats.class_weight.size();
  if (!scratch.byte_weights || k < 2 || k > kByteBins - 1 || stats.entry_weights.size() != n) return;
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
  scratch.byte_node = &stats;
  scratch.byte_node_entries = n;
}

void tag_binned_rows(const TrainingContext& ctx, std::span<const double> weights, std::span<const RowIndex> in_bag,
                     ExtraScratch& scratch) {
  const uint64_t k = ctx.n_classes;
  scratch.binned_tags = false;
  if (!ctx.binned || !scratch.byte_weights || k < 2 || k > kByteBins - 1) return;
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
  scratch.binned_tags = true;
}

bool uses_entry_bytes(const TrainingContext& ctx, const ExtraScratch& scratch) {
  if (!ctx.binned || !scratch.byte_weights || ctx.n_classes < 2 || ctx.n_classes > kByteBins - 1) return false;
  return scratch.binned_tags && scratch.row_tags.size() == ctx.binned->n_rows;
}

#if defined(__SSE2__)
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
  const __m128i zero = _mm_setzero_si128();
  __m128i w_sum = zero;
  __m128i one_sum = zero;
  __m128i per_class[kLanes > 0 ? kLanes : 1];
  for (uint64_t c = 0; c < kLanes; ++c) per_class[c] = zero;
  for (uint64_t i = 0; i < n; i += 16) {
    const auto word = [&](uint64_t begin) {
      return static_cast<int64_t>(gather_tag_word(tags, rows, begin, n, n_rows, offset, n_features));
    };
    const __m128i t0 = stored != nullptr ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored + i))
                                         : _mm_set_epi64x(word(i + 4), word(i));
    const __m128i t1 = stored != nullptr ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored + i + 8))
                                         : _mm_set_epi64x(word(i + 12), word(i + 8));
    const __m128i w = _mm_packus_epi16(_mm_and_si128(t0, low_byte), _mm_and_si128(t1, low_byte));
    const __m128i c = _mm_packus_epi16(_mm_srli_epi16(t0, 8), _mm_srli_epi16(t1, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(weight + i), w);
    w_sum = add_bytes(w_sum, w);
    if constexpr (K == 2) {
      const __m128i one = _mm_and_si128(w, _mm_sub_epi8(zero, c));  // classes are 0 or 1
      _mm_storeu_si128(reinterpret_cast<__m128i*>(second + i), one);
      one_sum = add_bytes(one_sum, one);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(second + i), c);
      for (uint64_t j = 0; j < kLanes; ++j) {
        const __m128i mine = _mm_cmpeq_epi8(c, _mm_set1_epi8(static_cast<char>(j)));
        per_class[j] = add_bytes(per_class[j], _mm_and_si128(mine, w));
      }
    }
  }
  total = lanes_total(w_sum);
  ones = lanes_total(one_sum);
  for (uint64_t j = 0; j < kLanes; ++j) class_sums[j] = lanes_total(per_class[j]);
}
#endif

void binned_node_stats(const TrainingContext& ctx, std::span<const RowIndex> rows, ExtraScratch& scratch,
                       NodeStats& out) {
  MORVEL_ASSERT(uses_entry_bytes(ctx, scratch), "index out of bounds: entry bytes need tagged rows");
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
  constexpr uint64_t kTagsInRegisters = 64;
  uint16_t* entry_tags = nullptr;
#if defined(__SSE2__)
  if (n > kTagsInRegisters) {
#endif
    if (scratch.entry_row_tags.size() < n + kBlockPad) scratch.entry_row_tags.resize(n + kBlockPad);
    entry_tags = scratch.entry_row_tags.data();
    for (uint64_t i = 0; i < n; ++i) {
      const RowIndex r = rows[i];
      MORVEL_ASSERT(r < n_rows, "index out of bounds: row outside the training matrix");
      entry_tags[i] = tags[r];
      if (offsets) offset[i] = r * n_features;
    }
    // Padding tags weigh nothing.
    std::fill(entry_tags + n, entry_tags + n + kBlockPad, uint16_t{0});
#if defined(__SSE2__)
  }
#endif

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
#if defined(__SSE2__)
  uint32_t* offsets_out = offsets && entry_tags == nullptr ? offset : nullptr;
  switch (k) {
#define MORVEL_SPLIT_TAGS(K)                                                                                   \
  case K:                                                                                                      \
    gather_split_tags<K>(entry_tags, tags, rows.data(), n, n_rows, offsets_out, n_features, weight, second, total, \
                         ones, class_sums);                                                                    \
    break;
    MORVEL_SPLIT_TAGS(2) MORVEL_SPLIT_TAGS(3) MORVEL_SPLIT_TAGS(4) MORVEL_SPLIT_TAGS(5) MORVEL_SPLIT_TAGS(6)
    MORVEL_SPLIT_TAGS(7) MORVEL_SPLIT_TAGS(8)
#undef MORVEL_SPLIT_TAGS
    default:
      gather_split_tags<0>(entry_tags, tags, rows.data(), n, n_rows, offsets_out, n_features, weight, second, total,
                           ones, class_sums);
      break;
  }
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
  scratch.byte_node = &out;
  scratch.byte_node_entries = n;
  scratch.checked_rows = rows.data();
  scratch.row_offsets_ready = offsets;
  scratch.batch_rows = nullptr;
  scratch.node_impurity_known = false;
  scratch.kept_valid = false;
  scratch.bytes_fresh = true;
  scratch.tag_node = nullptr;
}

void byte_node_stats(const TrainingContext& ctx, const TreeWeights& weights, std::span<const RowIndex> rows,
                     ExtraScratch& scratch, NodeStats& out) {
  MORVEL_ASSERT(!scratch.rebased, "index out of bounds: a rebased subtree's rows are positions");
  binned_node_stats(ctx, rows, scratch, out);
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
}

namespace {

// Row by row: a row's bytes of every feature of the batch come from the same line or two.
template <uint64_t M>
void gather_rows_batch(const uint8_t* const* base, const uint32_t* offset, uint64_t n, uint8_t* const* out) {
  const uint8_t* b[M];
  uint8_t* o[M];
  for (uint64_t j = 0; j < M; ++j) {
    b[j] = base[j];
    o[j] = out[j];
  }
  for (uint64_t i = 0; i < n; ++i) {
    const uint32_t at = offset[i];
    for (uint64_t j = 0; j < M; ++j) o[j][i] = b[j][at];
  }
}

}  // namespace

bool batch_gather_ready(const ExtraScratch& scratch, std::span<const RowIndex> rows) {
  return scratch.row_offsets_ready && scratch.checked_rows == rows.data() &&
         scratch.byte_node_entries == rows.size();
}

void gather_feature_batch(const TrainingContext& ctx, std::span<const RowIndex> rows,
                          std::span<const uint64_t> features, ExtraScratch& scratch) {
  MORVEL_ASSERT(batch_gather_ready(scratch, rows) && features.size() <= ExtraScratch::kBatchFeatures,
                "assertion failed: a feature batch needs a node prepared on the row-major copy");
  const BinnedMatrix& bm = *ctx.binned;
  const uint64_t n = rows.size();
  const uint64_t m = features.size();
  const uint64_t stride = n + kBlockPad;
  if (scratch.batch_bins.size() < m * stride) scratch.batch_bins.resize(m * stride);
  const uint8_t* base[ExtraScratch::kBatchFeatures];
  for (uint64_t j = 0; j < m; ++j) {
    MORVEL_ASSERT(features[j] < bm.n_features, "index out of bounds: feature outside the binned matrix");
    base[j] = row_lines(bm, scratch) + features[j];
    scratch.batch_features[j] = features[j];
  }
  const uint32_t* offset = scratch.row_offsets.data();
  uint8_t* out[ExtraScratch::kBatchFeatures];
  for (uint64_t j = 0; j < m; ++j) out[j] = scratch.batch_bins.data() + j * stride;
  switch (m) {
#define MORVEL_BATCH(M) \
  case M:               \
    gather_rows_batch<M>(base, offset, n, out); \
    break;
    MORVEL_BATCH(1) MORVEL_BATCH(2) MORVEL_BATCH(3) MORVEL_BATCH(4) MORVEL_BATCH(5) MORVEL_BATCH(6)
    MORVEL_BATCH(7) MORVEL_BATCH(8) MORVEL_BATCH(9) MORVEL_BATCH(10) MORVEL_BATCH(11) MORVEL_BATCH(12)
    MORVEL_BATCH(13) MORVEL_BATCH(14) MORVEL_BATCH(15) MORVEL_BATCH(16)
#undef MORVEL_BATCH
    default: break;
  }
  scratch.batch_count = m;
  scratch.batch_stride = stride;
  scratch.batch_rows = rows.data();
  scratch.batch_entries = n;
}

void keep_extra_bins(uint64_t feature, std::span<const RowIndex> rows, ExtraScratch& scratch) {
  if (scratch.bins_feature != feature || scratch.bins_rows != rows.data() || scratch.bins_entries != rows.size() ||
      scratch.bins_rows == nullptr) {
    scratch.kept_valid = false;
    return;
  }
  if (scratch.bins_data != scratch.node_bins.data()) {
    // Bins of the batch: copied, as the batch stays in use for the node's other searches.
    if (scratch.kept_bins.size() < rows.size()) scratch.kept_bins.resize(rows.size() + kBlockPad);
    std::copy(scratch.bins_data, scratch.bins_data + rows.size(), scratch.kept_bins.data());
  } else {
    // The searched bins become the kept ones; the old kept buffer is reused by the next search.
    std::swap(scratch.kept_bins, scratch.node_bins);
  }
  scratch.kept_valid = true;
  scratch.kept_feature = feature;
  scratch.kept_rows = rows.data();
  scratch.kept_entries = rows.size();
  scratch.bins_rows = nullptr;
}

bool has_kept_values(const ExtraScratch& scratch, uint64_t feature, std::span<const RowIndex> rows) {
  return scratch.kept_values_valid && scratch.kept_values_feature == feature &&
         scratch.kept_values_rows == rows.data() && scratch.kept_values_entries == rows.size() &&
         scratch.kept_values.size() >= rows.size();
}

bool has_kept_bins(const ExtraScratch& scratch, uint64_t feature, std::span<const RowIndex> rows) {
  return scratch.kept_valid && scratch.kept_feature == feature && scratch.kept_rows == rows.data() &&
         scratch.kept_entries == rows.size() && scratch.kept_bins.size() >= rows.size();
}

namespace {

// An entry's eight class lanes: its weight (a whole number of at most 255, byte weights) in the
// byte of its class, zeros in the others. Byte c of the little-endian word is lane c.
inline void store_tag(uint8_t* lanes, uint64_t c, double weight) {
  static_assert(std::endian::native == std::endian::little);
  const uint64_t tag = static_cast<uint64_t>(weight) << (8 * c);
  std::memcpy(lanes, &tag, sizeof(tag));
}

// The row lanes of the tree whose labels and weights these are, built on first use: a row
// whose weight is a byte weight (a whole number from 0 to 255, not -0.0) and whose class is
// below k gets its class and weight, any other row kNoRowLane.
const uint16_t* prepared_row_lanes(const ClassIndex* labels, const double* weights, uint64_t n_rows, uint64_t k,
                                   ExtraScratch& scratch) {
  if (scratch.row_lanes_labels == labels && scratch.row_lanes_weights == weights && scratch.row_lanes_rows == n_rows &&
      scratch.row_lanes_classes == k && scratch.row_lanes.size() >= n_rows)
    return scratch.row_lanes.data();
  if (scratch.row_lanes.size() < n_rows) scratch.row_lanes.resize(n_rows);
  uint16_t* lanes = scratch.row_lanes.data();
  for (uint64_t r = 0; r < n_rows; ++r) {
    const double w = weights[r];
    const uint64_t c = labels[r];
    const bool byte = w >= 0.0 && w <= 255.0 && w == std::floor(w) && !std::signbit(w) && c < k;
    lanes[r] = byte ? static_cast<uint16_t>((c << 8) | static_cast<uint64_t>(w)) : ExtraScratch::kNoRowLane;
  }
  scratch.row_lanes_labels = labels;
  scratch.row_lanes_weights = weights;
  scratch.row_lanes_rows = n_rows;
  scratch.row_lanes_classes = k;
  return lanes;
}

}  // namespace

bool uses_class_lanes(const TrainingContext& ctx, const ExtraScratch& scratch) {
  // Two classes only as class planes, without missing values; with them the tagged rows serve.
  return !ctx.binned && scratch.byte_weights && ctx.n_classes <= kTagLanes &&
         (ctx.n_classes >= 3 || (ctx.n_classes == 2 && !ctx.has_missing));
}

void tagged_class_stats(const TrainingContext& ctx, const TreeWeights& weights, std::span<const RowIndex> rows,
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
  const uint16_t* row_lanes = prepared_row_lanes(labels, w, n_rows, k, scratch);
  ClassIndex* entry_labels = out.labels.data();
  double* entry_weights = out.entry_weights.data();
  // Byte weights: every list-order partial sum of compute_node_stats is an exact integer, so
  // the integer sums of the lanes are its class weights and their total is W.
  uint64_t sums[kTagLanes];
  // Only the lane searches read a node without missing values, and they read planes.
  const bool planes = !ctx.has_missing;
  if (planes) {
    const uint64_t bytes = plane_bytes(n, k);
    if (scratch.entry_planes.size() < bytes) scratch.entry_planes.resize(bytes);
    uint8_t* plane = scratch.entry_planes.data();
#if defined(__SSE2__)
    for (uint64_t b = 0; b < bytes; b += 16)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(plane + b), _mm_setzero_si128());
#else
    std::memset(plane, 0, bytes);
#endif
    // The class sums are added here, in list order: exact integers in any order.
    std::fill(sums, sums + kTagLanes, uint64_t{0});
    for (uint64_t begin = 0; begin < n; begin += 16) {
      uint8_t* block = plane + k * begin;
      const uint64_t end = std::min<uint64_t>(n, begin + 16);
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
        block[16 * c + (i - begin)] = static_cast<uint8_t>(wr);
        sums[c] += wr;
      }
    }
  } else {
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
  out.class_weight.resize(k);
  uint64_t total = 0;
  for (uint64_t c = 0; c < k; ++c) {
    out.class_weight[c] = static_cast<double>(static_cast<int64_t>(sums[c]));
    total += sums[c];
  }
  out.weight = static_cast<double>(static_cast<int64_t>(total));
  scratch.tag_node = &out;
  scratch.tag_node_entries = n;
  scratch.lane_planes = planes;
  scratch.tag_rows = rows.data();
  scratch.tag_impurity_known = false;
  scratch.tags_fresh = true;
}

void prepare_extra_node(const TrainingContext& ctx, const NodeStats& stats, ExtraScratch& scratch) {
  // Kept values belong to the node searched last; only a lane-node search keeps new ones.
  scratch.kept_values_valid = false;
  const bool fresh_tags = scratch.tags_fresh;
  const bool fresh_bytes = scratch.bytes_fresh;
  scratch.tags_fresh = false;
  scratch.bytes_fresh = false;
  const uint64_t n = stats.labels.size();
  if (fresh_tags && !ctx.binned && scratch.tag_node == &stats && scratch.tag_node_entries == n) {
    scratch.byte_node = nullptr;
    return;
  }
  // binned_node_stats leaves the entry labels empty: its bytes are recognised by the object.
  if (fresh_bytes && ctx.binned && scratch.byte_node == &stats) {
    scratch.tag_node = nullptr;
    return;
  }
  scratch.tag_node = nullptr;
  if (ctx.binned) {
    prepare_extra_node(stats, scratch);
    return;
  }
  scratch.byte_node = nullptr;
  const uint64_t k = stats.class_weight.size();
  if (!scratch.byte_weights || k < 3 || k > kTagLanes || stats.entry_weights.size() != n) return;
  if (scratch.entry_tags.size() < kTagLanes * n) scratch.entry_tags.resize(kTagLanes * n);
  uint8_t* tags = scratch.entry_tags.data();
  for (uint64_t i = 0; i < n; ++i) {
    MORVEL_ASSERT(stats.labels[i] < k, "index out of bounds: label outside 0..n_classes");
    store_tag(tags + kTagLanes * i, stats.labels[i], stats.entry_weights[i]);
  }
  scratch.tag_node = &stats;
  scratch.tag_node_entries = n;
  scratch.lane_planes = false;
  scratch.tag_rows = nullptr;  // rows not seen here: the searches check them
  scratch.tag_impurity_known = false;
}

std::optional<SplitCandidate> search_extra(const TrainingContext& ctx, const TreeWeights& weights,
                                           const SearchRules& rules, std::span<const RowIndex> rows,
                                           const NodeStats& stats, uint64_t feature, int8_t constraint,
                                           NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                           Rng& rng, ExtraScratch& scratch) {
  return profiled_search(ctx, rows, feature, constant_features, [&](ProfileCounters* profile) {
#if defined(__SSE2__)
    // Raw values of a node measured into class lanes, no value missing.
    if (!ctx.binned && lanes_serve(ctx, rules, rows, stats, scratch, ctx.has_missing))
      return raw_lane_search(ctx, weights, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                             scratch);
#endif
    // A binned node prepared with its entry bytes (binned_node_stats, prepare_extra_node).
    if (ctx.binned && scratch.byte_node == &stats && scratch.byte_node_entries == rows.size()) {
      if (rules.n_classes == 2) {
        return binary_binned_bytes(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                                   scratch, profile);
      }
      return multi_binned_bytes(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                                scratch);
    }
    if (rules.n_classes == 2) {
      if (ctx.binned) {
        return binary_binned_search(ctx, weights, rules, rows, stats, feature, constraint, bounds,
                                    constant_features, rng, scratch, profile);
      }
      if (ctx.form != ValueForm::Csr) {
        return with_dense_reader(ctx, feature, rows.size(), scratch, [&](auto& values, auto read) {
          using T = typename std::remove_reference_t<decltype(values)>::value_type;
          return binary_dense_search<T>(ctx, rules, rows, stats, feature, constraint, bounds, constant_features,
                                        rng, values, scratch, profile, read);
        });
      }
    }
    return with_general_reader(ctx, feature, rows.size(), [&](auto read, bool may_miss) {
      return general_search(ctx, weights, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                            scratch, read, may_miss, /*tagged=*/true);
    });
  });
}

bool prepared_byte_node(const TrainingContext& ctx, const NodeStats& stats, std::span<const RowIndex> rows,
                        const ExtraScratch& scratch) {
  return ctx.profile == nullptr && ctx.binned && scratch.byte_node == &stats &&
         scratch.byte_node_entries == rows.size();
}

std::optional<SplitCandidate> search_prepared_bytes(const TrainingContext& ctx, const SearchRules& rules,
                                                    std::span<const RowIndex> rows, const NodeStats& stats,
                                                    uint64_t feature, int8_t constraint, NodeBounds bounds,
                                                    std::vector<uint64_t>& constant_features, Rng& rng,
                                                    ExtraScratch& scratch) {
  if (rules.n_classes == 2) {
    return binary_binned_bytes(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng, scratch,
                               nullptr);
  }
  return multi_binned_bytes(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng, scratch);
}

namespace {

// Nodes below this many entries are searched whole (search_whole_byte_node): their searches
// are dominated by what each one costs besides reading the entries.
constexpr uint64_t kWholeNodeBelow = 64;
static_assert(kWholeNodeBelow <= SmallLevel::kEntries + 1, "a small subtree level holds a whole node");

#if defined(__SSE2__)
// The whole-node search of a node of `Blocks` blocks of 16 entries, on `Lanes` weighted
// lanes per block: each entry's weight in the lanes it counts for (two classes: its weight
// and its class-1 weight; more: its weight in the lane of its class). The node's entries are
// the n lanes set in `valid`; load_bins(feature, v) puts the feature's bins in v (lanes
// outside `valid` may hold anything). Each feature's bins stay in registers from the
// extremes to the prefix, and the missing and prefix sums of every lane are byte sums of
// them (the sums of byte_extremes and binary_byte_prefix). `score(t, constraint,
// prefix_count, prefix, missing_count, missing)` scores the two options from the lanes'
// byte-sum accumulators `prefix` (sum_lanes gives each lane's sum) and the missing sums.
// The winner's bins are left in `best_bins`.
template <uint64_t Lanes, uint64_t Blocks, class LoadBins, class Score>
std::optional<NodeSplit> whole_node_blocks(const TrainingContext& ctx, uint64_t n, const __m128i (&valid)[Blocks],
                                           const __m128i (&lanes)[Blocks][Lanes], LoadBins&& load_bins,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, Score&& score, __m128i (&best_bins)[Blocks]) {
  const BinnedMatrix& bm = *ctx.binned;
  // The searched feature's bins.
  __m128i v[Blocks];
  for (uint64_t b = 0; b < Blocks; ++b) best_bins[b] = _mm_setzero_si128();
  const uint64_t extra_seed = ctx.growth.extra_seed;
  const __m128i all = _mm_set1_epi8(static_cast<char>(0xFF));
  const __m128i ones = _mm_set1_epi8(1);
  const __m128i zero = _mm_setzero_si128();
  auto search = [&](uint64_t feature) -> std::optional<SplitCandidate> {
    MORVEL_ASSERT(feature < bm.n_features && feature < bm.edges.size(),
                  "index out of bounds: feature outside the binned matrix");
    load_bins(feature, v);
    uint64_t lo = 255;
    uint64_t hi = 0;
    uint64_t missing_count = 0;
    uint64_t missing[Lanes] = {};
    __m128i low = all;
    __m128i high = zero;
    if (bm.has_missing) {
      const __m128i missing_v = _mm_set1_epi8(static_cast<char>(missing_bin(bm.edges[feature].size())));
      __m128i m_count = zero;
      __m128i m_lane[Lanes];
      for (uint64_t l = 0; l < Lanes; ++l) m_lane[l] = zero;
      for (uint64_t b = 0; b < Blocks; ++b) {
        const __m128i gone = _mm_and_si128(valid[b], _mm_cmpeq_epi8(v[b], missing_v));
        const __m128i skip = _mm_or_si128(_mm_andnot_si128(valid[b], all), gone);
        m_count = _mm_add_epi64(m_count, _mm_sad_epu8(_mm_and_si128(gone, ones), zero));
        for (uint64_t l = 0; l < Lanes; ++l)
          m_lane[l] = _mm_add_epi64(m_lane[l], _mm_sad_epu8(_mm_and_si128(gone, lanes[b][l]), zero));
        low = _mm_min_epu8(low, _mm_or_si128(v[b], skip));
        high = _mm_max_epu8(high, _mm_andnot_si128(skip, v[b]));
      }
      missing_count = sum_lanes(m_count);
      for (uint64_t l = 0; l < Lanes; ++l) missing[l] = sum_lanes(m_lane[l]);
    } else {
      for (uint64_t b = 0; b < Blocks; ++b) {
        low = _mm_min_epu8(low, _mm_or_si128(v[b], _mm_andnot_si128(valid[b], all)));
        high = _mm_max_epu8(high, _mm_and_si128(v[b], valid[b]));
      }
    }
    fold_extremes(low, high, lo, hi);
    if (missing_count == n || !(lo < hi)) {
      constant_features.push_back(feature);
      return std::nullopt;
    }
    const double t = draw_extra_threshold(rng, extra_seed, static_cast<double>(lo), static_cast<double>(hi));
    if (!(t >= static_cast<double>(lo)) || t >= static_cast<double>(hi)) return std::nullopt;
    // t >= lo >= 0 here, so truncation is the floor. The missing bin lies above hi > t.
    const __m128i limit = _mm_set1_epi8(static_cast<char>(static_cast<uint64_t>(t)));
    __m128i p_count = zero;
    __m128i p_lane[Lanes];
    for (uint64_t l = 0; l < Lanes; ++l) p_lane[l] = zero;
    for (uint64_t b = 0; b < Blocks; ++b) {
      const __m128i in = _mm_and_si128(valid[b], _mm_cmpeq_epi8(_mm_min_epu8(v[b], limit), v[b]));
      p_count = _mm_add_epi64(p_count, _mm_sad_epu8(_mm_and_si128(in, ones), zero));
      for (uint64_t l = 0; l < Lanes; ++l)
        p_lane[l] = _mm_add_epi64(p_lane[l], _mm_sad_epu8(_mm_and_si128(in, lanes[b][l]), zero));
    }
    const uint64_t prefix_count = sum_lanes(p_count);
    if (prefix_count == 0 || prefix_count == n - missing_count) return std::nullopt;
    return score(t, ctx.growth.constraint(feature), prefix_count, p_lane, missing_count, missing);
  };
  return extra_node_loop(pool, draws, rng, constant_features, max_features, search, [&](uint64_t) {
    for (uint64_t b = 0; b < Blocks; ++b) best_bins[b] = v[b];
  });
}

// Lane c of a block of entries with weight bytes `w` and second bytes `second` (two classes:
// the class-1 weights; more: the classes), for k classes: two classes have the lanes of the
// weights and of the class-1 weights, more one lane per class.
inline __m128i entry_lane(__m128i w, __m128i second, uint64_t k, uint64_t c) {
  if (k == 2) return c == 0 ? w : second;
  return _mm_and_si128(w, _mm_cmpeq_epi8(second, _mm_set1_epi8(static_cast<char>(c))));
}

// The lanes (entry_lane) of `Blocks` blocks of n entries, zero past n.
template <uint64_t K, uint64_t Blocks>
void entry_lanes(const uint8_t* weight, const uint8_t* second, uint64_t n, __m128i (&lanes)[Blocks][K]) {
  for (uint64_t b = 0; b < Blocks; ++b) {
    const __m128i valid = lanes_below(n - 16 * b);
    const __m128i w = _mm_and_si128(valid, load16(weight + 16 * b));
    const __m128i s = _mm_and_si128(valid, load16(second + 16 * b));
    for (uint64_t c = 0; c < K; ++c) lanes[b][c] = entry_lane(w, s, K, c);
  }
}

// whole_node_blocks on the lanes of entry_lanes<K>, scored for K classes: two classes with
// score_binary_sums; 3 to 8 under gini with score_multi_gini, otherwise with score_drawn_for
// on the same (exact) sums.
template <uint64_t K, uint64_t Blocks, class LoadBins>
std::optional<NodeSplit> search_node_lanes(const TrainingContext& ctx, const SearchRules& rules, const NodeStats& stats,
                                           NodeBounds bounds, uint64_t n, const __m128i (&valid)[Blocks],
                                           const __m128i (&lanes)[Blocks][K], LoadBins&& load_bins,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch, __m128i (&best_bins)[Blocks]) {
  MORVEL_ASSERT(stats.class_weight.size() == K, "index out of bounds: node statistics of another class count");
  if constexpr (K == 2) {
    const auto score = [&](double t, int8_t constraint, uint64_t prefix_count, const __m128i (&lanes_sum)[2],
                           uint64_t missing_count, const uint64_t* missing) -> std::optional<SplitCandidate> {
      const BytePrefix sums{prefix_count, sum_lanes(lanes_sum[0]), sum_lanes(lanes_sum[1])};
      ByteExtremes miss;
      miss.missing_count = missing_count;
      miss.missing_sum = missing[0];
      miss.missing_one = missing[1];
      return score_binary_sums(rules, stats, byte_node_impurity(rules, stats, scratch), n, sums, miss, t, constraint,
                               bounds);
    };
    return whole_node_blocks<2, Blocks>(ctx, n, valid, lanes, load_bins, constant_features, rng, pool, draws,
                                        max_features, score, best_bins);
  } else {
    const bool gini = rules.criterion == Criterion::Gini;
    const double node_weight = stats.weight;
    const uint64_t node_sum = static_cast<uint64_t>(node_weight);
    const NodeSums<K> node(stats);
    const uint64_t* node_class = node.class_sums;
    // Without a constraint or a missing entry, gini scores the one option from the lanes'
    // accumulators (score_plane_gini: every class sum of a node below 2^31 fits 32 bits).
    const bool vector_gini = gini && node_sum < (uint64_t{1} << 31);
    __m128i node_lanes[K];  // each class sum in a low 64-bit lane
    for (uint64_t c = 0; c < K; ++c) node_lanes[c] = _mm_cvtsi64_si128(static_cast<int64_t>(node_class[c]));
    const auto score = [&](double t, int8_t constraint, uint64_t prefix_count, const __m128i (&lanes_sum)[K],
                           uint64_t missing_count, const uint64_t* missing) -> std::optional<SplitCandidate> {
      const double parent = byte_node_impurity(rules, stats, scratch);
      if (vector_gini && constraint == 0 && missing_count == 0)
        return score_plane_gini<K>(rules, stats, parent, n, lanes_sum, prefix_count, t, node, node_lanes);
      uint64_t prefix[K];
      uint64_t prefix_sum = 0;
      uint64_t missing_sum = 0;
      for (uint64_t c = 0; c < K; ++c) {
        prefix[c] = sum_lanes(lanes_sum[c]);
        prefix_sum += prefix[c];
        missing_sum += missing[c];
      }
      if (gini) {
        return score_multi_gini<K>(rules, node_weight, node_sum, node_class, parent, n, prefix, prefix_sum,
                                   prefix_count, missing, missing_sum, missing_count, t, constraint, bounds);
      }
      double sums[4 * K];
      double* prefix_weights = sums;
      double* missing_weights = sums + K;
      for (uint64_t c = 0; c < K; ++c) {
        prefix_weights[c] = static_cast<double>(prefix[c]);
        missing_weights[c] = static_cast<double>(missing[c]);
      }
      const DrawnPartition part{prefix_weights, static_cast<double>(prefix_sum), prefix_count,
                                missing_weights, static_cast<double>(missing_sum), missing_count};
      return score_drawn_for<K>(rules, stats, parent, n, part, t, constraint, bounds, sums + 2 * K);
    };
    return whole_node_blocks<K, Blocks>(ctx, n, valid, lanes, load_bins, constant_features, rng, pool, draws,
                                        max_features, score, best_bins);
  }
}

// The whole-node search of a node prepared by binned_node_stats: its entry bytes, and each
// feature's bins gathered through the entries' offsets into the row-major copy. The winner's
// bins are kept for the partition, which reads them in list order.
template <uint64_t K, uint64_t Blocks>
std::optional<NodeSplit> whole_node_search(const TrainingContext& ctx, const SearchRules& rules,
                                           std::span<const RowIndex> rows, const NodeStats& stats, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch) {
  const uint64_t n = rows.size();
  const std::vector<uint8_t>& second = K == 2 ? scratch.entry_bytes_one : scratch.entry_classes;
  MORVEL_ASSERT(n <= 16 * Blocks && scratch.row_offsets.size() >= n && scratch.entry_bytes.size() >= 16 * Blocks &&
                    second.size() >= 16 * Blocks,
                "index out of bounds: entry bytes shorter than the node");
  __m128i lanes[Blocks][K];
  entry_lanes<K, Blocks>(scratch.entry_bytes.data(), second.data(), n, lanes);
  __m128i valid[Blocks];
  for (uint64_t b = 0; b < Blocks; ++b) valid[b] = lanes_below(n - 16 * b);
  const uint32_t* offset = scratch.row_offsets.data();
  const uint8_t* copy = row_lines(*ctx.binned, scratch);
  __m128i best_bins[Blocks];
  auto best = search_node_lanes<K, Blocks>(
      ctx, rules, stats, bounds, n, valid, lanes,
      [&](uint64_t feature, __m128i (&v)[Blocks]) { gather_blocks<Blocks>(copy + feature, offset, n, v); },
      constant_features, rng, pool, draws, max_features, scratch, best_bins);
  if (best) {
    if (scratch.kept_bins.size() < 16 * Blocks) scratch.kept_bins.resize(16 * Blocks + kBlockPad);
    for (uint64_t b = 0; b < Blocks; ++b)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(scratch.kept_bins.data() + 16 * b), best_bins[b]);
    scratch.kept_valid = true;
    scratch.kept_feature = best->feature;
    scratch.kept_rows = rows.data();
    scratch.kept_entries = n;
  }
  return best;
}

// Byte lanes set where the 16 low bits of `bits` are set (bit i: lane i).
inline __m128i lanes_of_bits(uint64_t bits) {
  const __m128i select = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
  const uint64_t spread = 0x0101010101010101ULL;
  const __m128i bytes = _mm_set_epi64x(static_cast<int64_t>(((bits >> 8) & 0xFF) * spread),
                                       static_cast<int64_t>((bits & 0xFF) * spread));
  return _mm_cmpeq_epi8(_mm_and_si128(bytes, select), select);
}

// The 16 bytes at `at` of lines of `size` bytes (bytes past the end read as 0; those of later
// rows belong to no feature here).
inline __m128i load_row_bins(const uint8_t* lines, uint64_t size, uint64_t at) {
  if (at + 16 <= size) return load16(lines + at);
  alignas(16) uint8_t tail[16] = {};
  if (at < size) std::memcpy(tail, lines + at, size - at);
  return _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
}

// Transposes the level's bins of the 16 features of `group` from the row-major copy into
// lanes: one tile per block of 16 entries.
template <uint64_t Blocks>
void fill_group(const uint8_t* lines, uint64_t size, SmallLevel& level, uint64_t group) {
  const uint64_t first = 16 * group;
  const uint8_t* copy = lines + first;
  uint8_t* out = level.bins.data() + first * Blocks * 16;
  for (uint64_t b = 0; b < Blocks; ++b) {
    const uint32_t* offset = level.offset + 16 * b;
    __m128i x[16];
    if (level.rows_in_copy) {
      for (uint64_t i = 0; i < 16; ++i) x[i] = load16(copy + offset[kTileOrder[i]]);
    } else {
      for (uint64_t i = 0; i < 16; ++i) x[i] = load_row_bins(lines, size, offset[kTileOrder[i]] + first);
    }
    transpose_tile(x);
    for (uint64_t i = 0; i < 16; ++i)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (kTileOrder[i] * Blocks + b) * 16), x[i]);
  }
  level.group_ready[group] = 1;
}

template <uint64_t K, uint64_t Blocks>
std::optional<NodeSplit> small_node_search(const TrainingContext& ctx, const SearchRules& rules, SmallLevel& level,
                                           uint64_t mask, const NodeStats& stats, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch, uint64_t& left_mask) {
  const BinnedMatrix& bm = *ctx.binned;
  MORVEL_ASSERT(level.blocks == Blocks && level.n <= 16 * Blocks && (mask >> level.n) == 0 &&
                    level.group_ready.size() * 16 >= bm.n_features &&
                    level.bins.size() >= level.group_ready.size() * 16 * Blocks * 16,
                "index out of bounds: small subtree node outside its level");
  __m128i lanes[Blocks][K];
  __m128i valid[Blocks];
  for (uint64_t b = 0; b < Blocks; ++b) {
    for (uint64_t c = 0; c < K; ++c) lanes[b][c] = _mm_load_si128(reinterpret_cast<const __m128i*>(level.lanes[b][c]));
    valid[b] = lanes_of_bits(mask >> (16 * b));
  }
  const uint64_t n = static_cast<uint64_t>(std::popcount(mask));
  __m128i best_bins[Blocks];
  const uint8_t* lines = row_lines(bm, scratch);
  const uint64_t lines_size = row_lines_size(bm, scratch);
  auto best = search_node_lanes<K, Blocks>(
      ctx, rules, stats, bounds, n, valid, lanes,
      [&](uint64_t feature, __m128i (&v)[Blocks]) {
        const uint64_t group = feature / 16;
        if (level.group_ready[group] == 0) fill_group<Blocks>(lines, lines_size, level, group);
        const uint8_t* at = level.bins.data() + feature * Blocks * 16;
        for (uint64_t b = 0; b < Blocks; ++b) v[b] = load16(at + 16 * b);
      },
      constant_features, rng, pool, draws, max_features, scratch, best_bins);
  if (best) {
    // Entries above the threshold go left, and a missing bin (above every threshold) by
    // missing_left: the routing of partition_by_bins.
    const double pivot = best->candidate.pivot;
    const __m128i limit = _mm_set1_epi8(static_cast<char>(static_cast<uint64_t>(pivot)));
    const bool drop_missing = bm.has_missing && !best->candidate.missing_left;
    const __m128i missing_v = _mm_set1_epi8(static_cast<char>(missing_bin(bm.edges[best->feature].size())));
    uint64_t left = 0;
    for (uint64_t b = 0; b < Blocks; ++b) {
      __m128i above = _mm_andnot_si128(_mm_cmpeq_epi8(_mm_min_epu8(best_bins[b], limit), best_bins[b]), valid[b]);
      if (drop_missing) above = _mm_andnot_si128(_mm_cmpeq_epi8(best_bins[b], missing_v), above);
      left |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(above))) << (16 * b);
    }
    left_mask = left;
  }
  return best;
}

// The sums of the level's K lanes over the entries of `mask`.
template <uint64_t K, uint64_t Blocks>
void lane_sums(const SmallLevel& level, uint64_t mask, uint64_t* sums) {
  __m128i total[K];
  for (uint64_t c = 0; c < K; ++c) total[c] = _mm_setzero_si128();
  for (uint64_t b = 0; b < Blocks; ++b) {
    const __m128i valid = lanes_of_bits(mask >> (16 * b));
    for (uint64_t c = 0; c < K; ++c)
      total[c] = add_bytes(total[c], _mm_and_si128(valid, _mm_load_si128(reinterpret_cast<const __m128i*>(level.lanes[b][c]))));
  }
  for (uint64_t c = 0; c < K; ++c) sums[c] = sum_lanes(total[c]);
}

// Completes a level whose n entries were just copied in: pads the offsets, forms the lanes
// for k classes and forgets the transposed bins.
void finish_level(const BinnedMatrix& bm, uint64_t lines_size, SmallLevel& level, uint64_t n, uint64_t k) {
  level.n = n;
  level.blocks = (n + 15) / 16;
  const uint64_t groups = (bm.n_features + 15) / 16;
  uint64_t last = 0;
  for (uint64_t i = 0; i < n; ++i) last = std::max<uint64_t>(last, level.offset[i]);
  for (uint64_t i = n; i < 16 * level.blocks; ++i) level.offset[i] = level.offset[0];
  level.rows_in_copy = last + 16 * groups <= lines_size;
  for (uint64_t b = 0; b < level.blocks; ++b) {
    const __m128i valid = lanes_below(n - 16 * b);
    const __m128i w = _mm_and_si128(valid, load16(level.weight + 16 * b));
    const __m128i second = _mm_and_si128(valid, load16(level.second + 16 * b));
    for (uint64_t c = 0; c < k; ++c)
      _mm_store_si128(reinterpret_cast<__m128i*>(level.lanes[b][c]), entry_lane(w, second, k, c));
  }
  level.group_ready.assign(groups, 0);
  const uint64_t size = groups * 16 * level.blocks * 16;
  if (level.bins.size() < size) level.bins.resize(size);
}
#endif

}  // namespace

bool whole_byte_node(const TrainingContext& ctx, const SearchRules& rules, std::span<const RowIndex> rows,
                     const NodeStats& stats, const ExtraScratch& scratch) {
#if defined(__SSE2__)
  return rules.n_classes >= 2 && rules.n_classes <= kTagLanes && rows.size() < kWholeNodeBelow &&
         prepared_byte_node(ctx, stats, rows, scratch) &&
         scratch.row_offsets_ready && scratch.checked_rows == rows.data();
#else
  return false;
#endif
}

// Switch labels of the (class count, blocks) pairs served by the lane searches.
#define MORVEL_LANE_CASES(CASE) \
  CASE(2, 1) CASE(2, 2) CASE(2, 3) CASE(2, 4) CASE(3, 1) CASE(3, 2) CASE(3, 3) CASE(3, 4) \
  CASE(4, 1) CASE(4, 2) CASE(4, 3) CASE(4, 4) CASE(5, 1) CASE(5, 2) CASE(5, 3) CASE(5, 4) \
  CASE(6, 1) CASE(6, 2) CASE(6, 3) CASE(6, 4) CASE(7, 1) CASE(7, 2) CASE(7, 3) CASE(7, 4) \
  CASE(8, 1) CASE(8, 2) CASE(8, 3) CASE(8, 4)

std::optional<NodeSplit> search_whole_byte_node(const TrainingContext& ctx, const SearchRules& rules,
                                                std::span<const RowIndex> rows, const NodeStats& stats,
                                                NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                Rng& rng, std::vector<uint64_t>& pool,
                                                const detail::PoolDraws& draws, uint64_t max_features,
                                                ExtraScratch& scratch) {
  MORVEL_ASSERT(whole_byte_node(ctx, rules, rows, stats, scratch),
                "assertion failed: a whole-node search needs a small node prepared on bytes");
#if defined(__SSE2__)
  static_assert(kWholeNodeBelow <= 64, "whole-node searches cover at most four blocks");
  const uint64_t blocks = (rows.size() + 15) / 16;
  switch (rules.n_classes * 8 + (blocks <= 1 ? 1 : blocks)) {
#define MORVEL_WHOLE_CASE(K, B) \
  case K * 8 + B:               \
    return whole_node_search<K, B>(ctx, rules, rows, stats, bounds, constant_features, rng, pool, draws, max_features, \
                                   scratch);
    MORVEL_LANE_CASES(MORVEL_WHOLE_CASE)
#undef MORVEL_WHOLE_CASE
    default:
      throw_internal("whole-node searches take two to eight classes");
  }
#else
  return std::nullopt;
#endif
}

namespace {

// The node loop of a lane node with K classes, each search inlined: the lane search of
// lane_search_rows on values read through `access` (rows checked by tagged_class_stats).
template <uint64_t K, class Access>
std::optional<NodeSplit> lane_node_for(const TrainingContext& ctx, const SearchRules& rules,
                                       std::span<const RowIndex> rows, const NodeStats& stats, NodeBounds bounds,
                                       std::vector<uint64_t>& constant_features, Rng& rng,
                                       std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                       uint64_t max_features, ExtraScratch& scratch, Access access) {
  const uint64_t n = rows.size();
  // The plane prefix reads whole blocks of 16; the buffer of the best feature's values is
  // swapped out to kept_values, and the other one takes its place.
  if (scratch.values.size() < n + 15) scratch.values.resize(n + 15);
  if (scratch.kept_values.size() < n + 15) scratch.kept_values.resize(n + 15);
  scratch.kept_values_valid = false;
  double* values = scratch.values.data();
  const uint8_t* planes = scratch.entry_planes.data();
  const uint64_t extra_seed = ctx.growth.extra_seed;
  const uint64_t n_features = ctx.n_features;
  const NodeSums<K> node(stats);
#if defined(__SSE2__)
  const bool vector_gini = rules.criterion == Criterion::Gini && node.total < (uint64_t{1} << 31);
  __m128i node_lanes[K];  // each class sum in a low 64-bit lane
  for (uint64_t c = 0; c < K; ++c) node_lanes[c] = _mm_cvtsi64_si128(static_cast<int64_t>(node.class_sums[c]));
#endif
  // Float64 values at base_f[index[i]]: a feature-major column read at the rows themselves, or
  // the row-major matrix at each row's offset (row * n_features, computed once per node).
  constexpr bool kDense = std::is_same_v<Access, DenseAccess>;
  constexpr bool kColumn = std::is_same_v<Access, FeatureMajorAccess<double>>;
  const uint32_t* index = nullptr;
  if constexpr (kDense) {
    if (ctx.n_rows * n_features <= std::numeric_limits<uint32_t>::max()) {
      if (scratch.entry_offsets.size() < n) scratch.entry_offsets.resize(n);
      uint32_t* offsets = scratch.entry_offsets.data();
      for (uint64_t i = 0; i < n; ++i) offsets[i] = static_cast<uint32_t>(rows[i] * n_features);
      index = offsets;
    }
  } else if constexpr (kColumn) {
    static_assert(std::is_same_v<RowIndex, uint32_t>);
    index = rows.data();
  }
  const auto search = [&](uint64_t feature) -> std::optional<SplitCandidate> {
    MORVEL_ASSERT(feature < n_features, "index out of bounds: feature outside the training matrix");
    double lo;
    double hi;
    if constexpr (kDense || kColumn) {
      if (index != nullptr) {
        const double* base;
        if constexpr (kDense) {
          base = access.values + feature;
        } else {
          base = access.values + feature * access.n_rows;
        }
        gather_extremes(base, index, n, values, lo, hi);
      } else {
        const auto read = [access, feature](uint64_t row) { return access.value(row, feature); };
        copy_extremes<double, decltype(read), false>(rows.data(), n, 0, read, values, lo, hi);
      }
    } else {
      const auto read = [access, feature](uint64_t row) { return access.value(row, feature); };
      copy_extremes<double, decltype(read), false>(rows.data(), n, 0, read, values, lo, hi);
    }
    if (!(lo < hi)) {
      constant_features.push_back(feature);
      return std::nullopt;
    }
    const double t = draw_extra_threshold(rng, extra_seed, lo, hi);
    const int8_t constraint = ctx.growth.constraint(feature);
#if defined(__SSE2__)
    if (vector_gini && constraint == 0) {
      __m128i sums[K];
      const uint64_t count = plane_prefix_lanes<K>(values, planes, n, t, sums);
      if (count == 0 || count == n) return std::nullopt;
      return score_plane_gini<K>(rules, stats, lane_node_impurity(rules, stats, scratch), n, sums, count, t, node,
                                 node_lanes);
    }
#endif
    const TagPrefix sums = plane_prefix<K>(values, planes, n, t);
    if (sums.count == 0 || sums.count == n) return std::nullopt;
    return score_lanes<K>(rules, stats, lane_node_impurity(rules, stats, scratch), n, sums, t, constraint, bounds,
                          node);
  };
  return extra_node_loop(pool, draws, rng, constant_features, max_features, search, [&](uint64_t feature) {
    keep_extra_bins(feature, rows, scratch);
    std::swap(scratch.values, scratch.kept_values);
    values = scratch.values.data();
    scratch.kept_values_valid = true;
    scratch.kept_values_feature = feature;
    scratch.kept_values_rows = rows.data();
    scratch.kept_values_entries = n;
  });
}

template <class Access>
std::optional<NodeSplit> lane_node_with(const TrainingContext& ctx, const SearchRules& rules,
                                        std::span<const RowIndex> rows, const NodeStats& stats, NodeBounds bounds,
                                        std::vector<uint64_t>& constant_features, Rng& rng,
                                        std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                        uint64_t max_features, ExtraScratch& scratch, Access access) {
  switch (rules.n_classes) {
#define MORVEL_LANE_NODE(K) \
  case K:                   \
    return lane_node_for<K>(ctx, rules, rows, stats, bounds, constant_features, rng, pool, draws, max_features, \
                            scratch, access);
    MORVEL_LANE_NODE(2) MORVEL_LANE_NODE(3) MORVEL_LANE_NODE(4) MORVEL_LANE_NODE(5) MORVEL_LANE_NODE(6)
    MORVEL_LANE_NODE(7) MORVEL_LANE_NODE(8)
#undef MORVEL_LANE_NODE
    default: throw_internal("lane nodes take two to eight classes");
  }
}

}  // namespace

bool lane_node(const TrainingContext& ctx, const SearchRules& rules, std::span<const RowIndex> rows,
               const NodeStats& stats, const ExtraScratch& scratch) {
  return ctx.profile == nullptr && !ctx.binned && !ctx.has_missing && scratch.lane_planes &&
         scratch.tag_node == &stats && scratch.tag_node_entries == rows.size() && scratch.tag_rows == rows.data() &&
         rules.n_classes >= 2 && rules.n_classes <= kTagLanes && ctx.n_classes == rules.n_classes &&
         stats.class_weight.size() == rules.n_classes &&
         scratch.entry_planes.size() >= plane_bytes(rows.size(), rules.n_classes);
}

std::optional<NodeSplit> search_lane_node(const TrainingContext& ctx, const SearchRules& rules,
                                          std::span<const RowIndex> rows, const NodeStats& stats, NodeBounds bounds,
                                          std::vector<uint64_t>& constant_features, Rng& rng,
                                          std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                          uint64_t max_features, ExtraScratch& scratch) {
  MORVEL_ASSERT(lane_node(ctx, rules, rows, stats, scratch),
                "assertion failed: a lane-node search needs a node measured into class planes");
  return with_raw_access_for(ctx, rows.size(), [&](auto access) {
    return lane_node_with(ctx, rules, rows, stats, bounds, constant_features, rng, pool, draws, max_features,
                          scratch, access);
  });
}

namespace {

// Rebased subtrees start at nodes with at most this many bytes of lines (well inside a core's
// second-level cache), and at least kRebaseFrom entries (smaller ones are grown whole).
constexpr uint64_t kRebaseBytes = uint64_t{1} << 18;
constexpr uint64_t kRebaseFrom = kWholeNodeBelow;

}  // namespace

bool may_rebase(const TrainingContext& ctx, const ExtraScratch& scratch, uint64_t n) {
  if (scratch.rebased || ctx.profile != nullptr || !uses_entry_bytes(ctx, scratch)) return false;
  const BinnedMatrix& bm = *ctx.binned;
  if (bm.row_major_copy.size() != bm.bins.size() || bm.row_major_copy.size() > uint64_t{0xFFFFFFFF}) return false;
  return n >= kRebaseFrom && n < BinnedMatrix::kRowMajorCopyBelow && n * bm.n_features <= kRebaseBytes;
}

void rebase_rows(const TrainingContext& ctx, std::span<RowIndex> rows, ExtraScratch& scratch) {
  MORVEL_ASSERT(may_rebase(ctx, scratch, rows.size()), "assertion failed: a rebased subtree needs byte growth");
  const BinnedMatrix& bm = *ctx.binned;
  const uint64_t n = rows.size();
  const uint64_t width = bm.n_features;
  // Lines are copied in 16-byte pieces, the last one running into the next line's place,
  // which that line then overwrites: the buffer is padded for the last one.
  const uint64_t pieces = (width + 15) / 16;
  if (scratch.local_lines.size() < n * width + 16 * pieces) scratch.local_lines.resize(n * width + 16 * pieces);
  if (scratch.local_tags.size() < n) scratch.local_tags.resize(n);
  const uint8_t* lines = bm.row_major_copy.data();
  const uint64_t size = bm.row_major_copy.size();
  uint8_t* local = scratch.local_lines.data();
  const uint64_t n_rows = scratch.row_tags.size();
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t r = rows[i];
    MORVEL_ASSERT(r < n_rows, "index out of bounds: row outside the training matrix");
    const uint8_t* from = lines + r * width;
    uint8_t* to = local + i * width;
#if defined(__SSE2__)
    if (r * width + 16 * pieces <= size) {
      for (uint64_t p = 0; p < pieces; ++p)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16 * p), load16(from + 16 * p));
    } else {
      std::memcpy(to, from, width);
    }
#else
    std::memcpy(to, from, width);
#endif
    scratch.local_tags[i] = scratch.row_tags[r];
    rows[i] = static_cast<RowIndex>(i);
  }
  scratch.rebased = true;
  scratch.rebased_rows = n;
}

void end_rebase(ExtraScratch& scratch) { scratch.rebased = false; }

uint64_t open_small_root(const TrainingContext& ctx, uint64_t n, ExtraScratch& scratch) {
#if defined(__SSE2__)
  const uint64_t k = ctx.n_classes;
  const std::vector<uint8_t>& second = k == 2 ? scratch.entry_bytes_one : scratch.entry_classes;
  MORVEL_ASSERT(ctx.binned && n > 0 && n < kWholeNodeBelow && scratch.row_offsets_ready &&
                    scratch.row_offsets.size() >= n && scratch.entry_bytes.size() >= n && second.size() >= n,
                "assertion failed: a small subtree starts at a node prepared on bytes");
  if (scratch.small_levels.size() < kSmallLevels) scratch.small_levels.resize(kSmallLevels);
  SmallLevel& level = scratch.small_levels[0];
  std::copy_n(scratch.row_offsets.data(), n, level.offset);
  std::copy_n(scratch.entry_bytes.data(), n, level.weight);
  std::copy_n(second.data(), n, level.second);
  finish_level(*ctx.binned, row_lines_size(*ctx.binned, scratch), level, n, k);
  scratch.byte_node = nullptr;
  scratch.kept_valid = false;
  return (uint64_t{1} << n) - 1;
#else
  (void)ctx;
  (void)n;
  (void)scratch;
  throw_internal("small subtrees need SSE2");
#endif
}

uint64_t open_small_level(const TrainingContext& ctx, uint64_t level, uint64_t mask, ExtraScratch& scratch) {
#if defined(__SSE2__)
  MORVEL_ASSERT(level > 0 && level < scratch.small_levels.size() && mask != 0 &&
                    (mask >> scratch.small_levels[level - 1].n) == 0,
                "index out of bounds: small subtree level");
  const SmallLevel& from = scratch.small_levels[level - 1];
  SmallLevel& to = scratch.small_levels[level];
  uint64_t j = 0;
  for (uint64_t rest = mask; rest != 0; rest &= rest - 1) {
    const uint64_t i = static_cast<uint64_t>(std::countr_zero(rest));
    to.offset[j] = from.offset[i];
    to.weight[j] = from.weight[i];
    to.second[j] = from.second[i];
    ++j;
  }
  finish_level(*ctx.binned, row_lines_size(*ctx.binned, scratch), to, j, ctx.n_classes);
  return (uint64_t{1} << j) - 1;
#else
  (void)ctx;
  (void)level;
  (void)mask;
  (void)scratch;
  throw_internal("small subtrees need SSE2");
#endif
}

uint64_t small_level_blocks(const ExtraScratch& scratch, uint64_t level) {
  MORVEL_ASSERT(level < scratch.small_levels.size(), "index out of bounds: small subtree level");
  return scratch.small_levels[level].blocks;
}

void small_node_stats(const TrainingContext& ctx, uint64_t level, uint64_t mask, ExtraScratch& scratch,
                      NodeStats& out) {
  MORVEL_ASSERT(level < scratch.small_levels.size() && (mask >> scratch.small_levels[level].n) == 0,
                "index out of bounds: small subtree level");
  const SmallLevel& at = scratch.small_levels[level];
  const uint64_t k = ctx.n_classes;
  out.criterion = ctx.growth.criterion;
  out.labels.clear();
  out.entry_weights.clear();
  out.class_weight.resize(k);
  // Whole numbers: the integer sums equal compute_node_stats' list-order double sums.
  uint64_t sums[kTagLanes] = {};
#if defined(__SSE2__)
  switch (k * 8 + at.blocks) {
#define MORVEL_STATS_CASE(K, B) \
  case K * 8 + B:               \
    lane_sums<K, B>(at, mask, sums); \
    break;
    MORVEL_LANE_CASES(MORVEL_STATS_CASE)
#undef MORVEL_STATS_CASE
    default:
      throw_internal("small subtrees take two to eight classes");
  }
#endif
  // Two classes: the lanes hold the weights and the class-1 weights.
  uint64_t total = 0;
  if (k == 2) {
    total = sums[0];
    sums[0] = total - sums[1];
  } else {
    for (uint64_t c = 0; c < k; ++c) total += sums[c];
  }
  for (uint64_t c = 0; c < k; ++c) out.class_weight[c] = whole_sum(sums[c]);
  out.weight = whole_sum(total);
  scratch.node_impurity_known = false;
}

std::optional<NodeSplit> search_small_node(const TrainingContext& ctx, const SearchRules& rules, uint64_t level,
                                           uint64_t mask, const NodeStats& stats, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                           uint64_t max_features, ExtraScratch& scratch, uint64_t& left_mask) {
  MORVEL_ASSERT(level < scratch.small_levels.size(), "index out of bounds: small subtree level");
#if defined(__SSE2__)
  SmallLevel& at = scratch.small_levels[level];
  switch (rules.n_classes * 8 + at.blocks) {
#define MORVEL_SMALL_CASE(K, B) \
  case K * 8 + B:               \
    return small_node_search<K, B>(ctx, rules, at, mask, stats, bounds, constant_features, rng, pool, draws, \
                                   max_features, scratch, left_mask);
    MORVEL_LANE_CASES(MORVEL_SMALL_CASE)
#undef MORVEL_SMALL_CASE
    default:
      throw_internal("small subtrees take two to eight classes");
  }
#else
  (void)ctx, (void)rules, (void)mask, (void)stats, (void)bounds, (void)constant_features, (void)rng, (void)pool;
  (void)draws, (void)max_features, (void)left_mask;
  throw_internal("small subtrees need SSE2");
#endif
}

#undef MORVEL_LANE_CASES

std::optional<SplitCandidate> search_extra_general(const TrainingContext& ctx, const TreeWeights& weights,
                                                   const SearchRules& rules, std::span<const RowIndex> rows,
                                                   const NodeStats& stats, uint64_t feature, int8_t constraint,
                                                   NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                   Rng& rng, ExtraScratch& scratch) {
  return profiled_search(ctx, rows, feature, constant_features, [&](ProfileCounters*) {
    return with_general_reader(ctx, feature, rows.size(), [&](auto read, bool may_miss) {
      return general_search(ctx, weights, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                            scratch, read, may_miss, /*tagged=*/false);
    });
  });
}

}  // namespace morvel
