// Class-weight histograms of a node's rows over the bins of a training matrix: the full-width
// build (every feature, split over workers) and one feature's sums on demand. The split
// searches read these; they do not build them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "binning/binning.h"
#include "data/training_context.h"
#include "morvel/errors.h"

namespace morvel {

// Where the bin of (row, feature) comes from.
enum class BinSource : uint8_t { RowMajor, FeatureMajor, Csr };

// One feature's on-demand sums cover every byte value.
inline constexpr uint64_t kByteBins = 256;

// The bins of a training matrix as the builders read them, and its rows' classes and weights.
struct BinRows {
  BinSource source = BinSource::RowMajor;
  const uint8_t* bytes = nullptr;
  const uint8_t* row_bytes = nullptr;  // row-major copy of feature-major bytes, if any
  const BinnedMatrix* binned = nullptr;
  const BinEdges* edges = nullptr;
  const CsrMatrix* csr = nullptr;     // the values of a CSR matrix, binned on the fly
  const ClassIndex* labels = nullptr;
  const double* weights = nullptr;    // per row; unused when implicit_unit
  bool implicit_unit = false;         // every row weighs 1.0 and no weight vector exists
  uint64_t n_rows = 0;
  uint64_t n_features = 0;
  uint64_t n_classes = 0;
  uint64_t missing_slot = 0;  // 1 when every feature carries a missing-value bin

  // Feature f's bins: its edges' count + 1 regular bins, then the missing-value bin if any.
  uint64_t bins_of(uint64_t f) const { return (*edges)[f].size() + 1 + missing_slot; }
};

// The bins of a training context: its binned bytes, or its CSR values with the fitted edges.
// Throws an internal failure when the context has neither.
BinRows bin_rows_of(const TrainingContext& ctx, const TreeWeights& weights);

// Sums the features [f_begin, f_end) of `rows` into a zeroed full-width histogram: class c
// of global bin g at cw[g * n_classes + c], entries at counts[g]; feature f's global bins
// start at offsets[f]. Each bin receives its rows in list order.
void accumulate_bins(const BinRows& m, const uint64_t* offsets, std::span<const RowIndex> rows, uint64_t f_begin,
                     uint64_t f_end, double* cw, uint64_t* counts);

// accumulate_bins over every feature. Byte matrices of large nodes split the features over
// up to `threads` workers, each owning a disjoint range of bins, so the sums do not depend on
// the split; sparse histograms stay on one thread.
void fill_bins(const BinRows& m, const uint64_t* offsets, std::span<const RowIndex> rows, uint64_t threads,
               double* cw, uint64_t* counts);

// A node's entries with, when the node statistics list them, each entry's class and weight
// in index-list order (reading those sequentially spares two lookups per entry).
struct NodeEntries {
  std::span<const RowIndex> rows;
  const ClassIndex* labels = nullptr;  // per entry, or null
  const double* weights = nullptr;     // per entry, or null
  bool unit_weights = false;           // the tree's entries all weigh 1.0
  // When positive: every entry's weight is a whole number no greater than this.
  double whole_weight_bound = 0.0;
  // Listed labels of unit weights may be counted per bin and class in integers (tallies())
  // instead of summed as weights: an integer add to memory in place of a load, a
  // floating-point add and a store. The reader must then take the class weights from there.
  bool may_tally = false;
};

// Whole weights are summed in integers, one word per bin and class: the entries above
// kPackedShift, the weight below. One integer add per entry replaces an entry count and a
// floating-point add that both wait on the previous entry of the same bin. Exact: every
// partial sum is a whole number below 2^53, so the float sums in list order equal the
// integer sums. Nodes whose weight could reach the count field take the float sums.
inline constexpr uint64_t kPackedShift = 40;
inline constexpr double kPackedWeightLimit = 1099511627776.0;  // 2^40
inline constexpr uint64_t kPackedEntryLimit = uint64_t{1} << (64 - kPackedShift);
inline constexpr uint64_t kPackedEntriesPerBin = 8;

// One feature's bins summed from a node's rows when the feature is searched: the scratch
// holds every byte value and is all zero between features.
class FeatureBinSums {
 public:
  void reset(uint64_t n_classes);

  // Sums feature f of the entries and lists its occupied regular bins in ascending order, so
  // a scan and the clean-up visit only those. Nodes with fewer entries than bins mark occupied
  // bins in a bitmap as they go (kBitmap); larger ones find them by one pass over the counts
  // afterwards. kClasses: the class count when the caller has a copy for it (0 otherwise), so
  // the address of a bin's class takes no multiplication by a variable.
  template <bool kBitmap, uint64_t kClasses>
  void fill(const BinRows& m, const NodeEntries& entries, uint64_t f);

  // Zeroes the scratch again: only the listed bins and the missing-value bin when `tracked`
  // (the sums are as fill left them), all of it otherwise.
  void clear(const BinRows& m, uint64_t f, bool tracked);

  double* weights() { return weights_.data(); }
  uint64_t* counts() { return counts_.data(); }
  // After a fill that tallied: the class counts, bin b and class c at b * n_classes + c, which
  // the reader zeroes again (as a consumed scan does).
  bool tallied() const { return tallied_; }
  uint64_t* tallies() { return packed_.data(); }
  const uint32_t* occupied() const { return occupied_.data(); }
  uint64_t n_occupied() const { return n_occupied_; }

 private:
  uint64_t n_classes_ = 0;
  std::vector<double> weights_;     // bin b, class c at b * n_classes + c
  std::vector<uint64_t> counts_;
  std::vector<uint64_t> packed_;    // whole-weight sums or tallies, as weights_; all zero between fills
  std::vector<uint32_t> occupied_;  // occupied regular bins, [0 .. n_occupied_)
  uint64_t n_occupied_ = 0;
  bool tallied_ = false;
};

template <bool kBitmap, uint64_t kClasses>
void FeatureBinSums::fill(const BinRows& m, const NodeEntries& node, uint64_t f) {
  const uint64_t nc = kClasses != 0 ? kClasses : n_classes_;
  const uint64_t n_edges = (*m.edges)[f].size();
  const uint64_t top = n_edges + m.missing_slot;
  double* cw = weights_.data();
  uint64_t* counts = counts_.data();
  uint64_t bitmap[kByteBins / 64] = {0, 0, 0, 0};
  // Every byte lands inside the scratch; bytes beyond the feature's bins are detected after
  // the pass instead of being tested per entry. Forced inline: a call per entry would cost
  // more than the entry's work.
  auto add = [&](uint64_t label, double weight, uint8_t b) __attribute__((always_inline)) {
    if constexpr (kBitmap) bitmap[b >> 6] |= uint64_t{1} << (b & 63);
    counts[b] += 1;
    cw[b * nc + label] += weight;
  };
  uint64_t* packed = packed_.data();
  auto add_packed = [&](uint64_t label, double weight, uint8_t b) __attribute__((always_inline)) {
    packed[b * nc + label] += (uint64_t{1} << kPackedShift) + static_cast<uint64_t>(static_cast<int64_t>(weight));
  };
  const uint64_t n = node.rows.size();
  // Unpacking costs about as much per bin as packing saves on a handful of entries, so only
  // nodes with several entries per bin take it.
  const bool whole = !kBitmap && n >= kPackedEntriesPerBin * (top + 1) && node.whole_weight_bound > 0.0 &&
                     n < kPackedEntryLimit && static_cast<double>(n) * node.whole_weight_bound < kPackedWeightLimit;
  const RowIndex* rows = node.rows.data();
  const bool listed = node.labels != nullptr && node.weights != nullptr;
  const bool unit = node.labels != nullptr && (node.unit_weights || m.implicit_unit);
  const bool tally = unit && !whole && node.may_tally;
  tallied_ = tally;
  auto add_tally = [&](uint64_t label, double, uint8_t b) __attribute__((always_inline)) {
    if constexpr (kBitmap) bitmap[b >> 6] |= uint64_t{1} << (b & 63);
    counts[b] += 1;
    packed[b * nc + label] += 1;
  };
  const ClassIndex* labels = listed || unit ? node.labels : m.labels;
  const double* w = listed ? node.weights : m.weights;
  // Unrolled by two: the loop's own count and test are a fair share of an entry's work.
  auto each_entry_with = [&](auto bin_of, auto add) __attribute__((always_inline)) {
    if (unit) {
#pragma GCC unroll 2
      for (uint64_t i = 0; i < n; ++i) add(labels[i], 1.0, bin_of(rows[i]));
    } else if (listed) {
#pragma GCC unroll 2
      for (uint64_t i = 0; i < n; ++i) add(labels[i], w[i], bin_of(rows[i]));
    } else if (m.implicit_unit) {
#pragma GCC unroll 2
      for (uint64_t i = 0; i < n; ++i) add(labels[rows[i]], 1.0, bin_of(rows[i]));
    } else {
#pragma GCC unroll 2
      for (uint64_t i = 0; i < n; ++i) add(labels[rows[i]], w[rows[i]], bin_of(rows[i]));
    }
  };
  auto each_entry = [&](auto bin_of) __attribute__((always_inline)) {
    if (whole) {
      each_entry_with(bin_of, add_packed);
    } else if (tally) {
      each_entry_with(bin_of, add_tally);
    } else {
      each_entry_with(bin_of, add);
    }
  };
  // A small node's rows are few enough that their row-major bytes stay cached from one
  // searched feature (and node) to the next, while each feature-major byte would be a
  // cache line of its own.
  const uint64_t n_features = m.n_features;  // a local: the sums' stores cannot change it
  if (m.row_bytes != nullptr && m.binned->reads_row_major_copy(n)) {
    const uint8_t* column = m.row_bytes + f;
    each_entry([&](uint64_t row) __attribute__((always_inline)) { return column[row * n_features]; });
  } else if (m.source == BinSource::RowMajor) {
    const uint8_t* column = m.bytes + f;
    each_entry([&](uint64_t row) __attribute__((always_inline)) { return column[row * n_features]; });
  } else if (m.source == BinSource::FeatureMajor) {
    const uint8_t* column = m.bytes + f * m.n_rows;
    each_entry([&](uint64_t row) __attribute__((always_inline)) { return column[row]; });
  } else {
    each_entry([&](uint64_t row) __attribute__((always_inline)) {
      return detail::bin_value((*m.edges)[f], m.csr->at(row, f));
    });
  }
  bool in_range = true;
  if (whole) {
    for (uint64_t i = (top + 1) * nc; i < kByteBins * nc; ++i) in_range = in_range && packed[i] == 0;
  } else {
    for (uint64_t b = top + 1; b < kByteBins; ++b) in_range = in_range && counts[b] == 0;
  }
  if (!in_range) {
    clear(m, f, false);
    throw_internal("index out of bounds: bin outside the feature's histogram");
  }
  // Unpacks bin b's integer sums into its entry count and class weights, zeroing them.
  auto unpack = [&](uint64_t b) __attribute__((always_inline)) {
    uint64_t* bp = packed + b * nc;
    double* bw = cw + b * nc;
    uint64_t entries = 0;
    for (uint64_t c = 0; c < nc; ++c) {
      entries += bp[c] >> kPackedShift;
      bw[c] = static_cast<double>(static_cast<int64_t>(bp[c] & ((uint64_t{1} << kPackedShift) - 1)));
      bp[c] = 0;
    }
    counts[b] = entries;
  };
  uint32_t* list = occupied_.data();  // room for every byte value
  uint64_t k = 0;
  if constexpr (kBitmap) {
    // The missing-value bin is not a regular bin.
    if (m.missing_slot) bitmap[(n_edges + 1) >> 6] &= ~(uint64_t{1} << ((n_edges + 1) & 63));
    for (uint64_t word = 0; word < kByteBins / 64; ++word) {
      for (uint64_t bits = bitmap[word]; bits != 0; bits &= bits - 1)
        list[k++] = static_cast<uint32_t>(word * 64 + static_cast<uint64_t>(__builtin_ctzll(bits)));
    }
  } else {
    if (whole) {
      for (uint64_t b = 0; b <= top; ++b) unpack(b);
    }
    // Without branches: at a few hundred entries about every other bin is occupied, which
    // no branch predictor follows. Unrolled: the loop's own count and test are a fair share
    // of a bin's work.
#pragma GCC unroll 4
    for (uint64_t b = 0; b <= n_edges; ++b) {
      list[k] = static_cast<uint32_t>(b);
      k += counts[b] != 0 ? 1 : 0;
    }
  }
  n_occupied_ = k;
}

}  // namespace morvel
