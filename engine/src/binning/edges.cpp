// Bin edges of every feature: the private row sampler, the sort and selection quantile
// paths with their cut rule, and the per-feature worker split. Edges are always f64.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "binning/bin_lookup.h"
#include "binning/binning.h"
#include "binning/edges_internal.h"
#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {
namespace detail {

// One stable counting-sort pass of n keys on the digit at `shift`, from `from` into `to`, with
// `counts` the digit's histogram. False, and nothing moved, when every key has the same digit
// there: the order is kept as it is.
template <uint64_t kBuckets, class U>
bool radix_pass(const U* from, U* to, uint64_t n, uint32_t* counts, uint64_t shift) {
  if (counts[(from[0] >> shift) & (kBuckets - 1)] == n) return false;
  uint32_t sum = 0;
  for (uint64_t d = 0; d < kBuckets; ++d) {
    const uint32_t k = counts[d];
    counts[d] = sum;
    sum += k;
  }
  for (uint64_t i = 0; i < n; ++i) {
    const U u = from[i];
    to[counts[(u >> shift) & (kBuckets - 1)]++] = u;
  }
  return true;
}

// Sorts total-order keys ascending; any correct sort of the same keys yields the same
// sequence. Long columns use a least-significant-digit radix sort on the 33 bits just below
// the keys' common prefix (at most three passes of 11 bits; a pass whose digit is the same
// for every key is skipped), which orders the keys by everything above the bits it leaves
// out. Keys that agree on all sorted bits then form adjacent runs, usually of one or two
// keys in continuous data, which are finished with a comparison sort. The passes move keys
// between `keys` itself and one scratch buffer.
void sort_keys(LargeVector<int64_t>& keys, EdgeScratch& scratch) {
  constexpr uint64_t kRadixMin = 1024;
  const uint64_t n = keys.size();
  // 32-bit digit counts hold any column below 2^32 values; longer ones are compared.
  if (n < kRadixMin || n > UINT32_MAX) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  constexpr uint64_t kBits = 11;
  constexpr uint64_t kBuckets = uint64_t{1} << kBits;
  constexpr uint64_t kPasses = 3;
  constexpr uint64_t kSignBit = uint64_t{1} << 63;
  // Unsigned keys in the same order: flipping the sign bit maps signed to unsigned order.
  static_assert(sizeof(int64_t) == sizeof(uint64_t));
  uint64_t* from = reinterpret_cast<uint64_t*>(keys.data());
  uint64_t low_key = ~uint64_t{0};
  uint64_t high_key = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t u = from[i] ^ kSignBit;
    from[i] = u;
    low_key = std::min(low_key, u);
    high_key = std::max(high_key, u);
  }
  if (low_key != high_key) {
    // Every key lies between the extremes, so all share the bits above the highest bit in
    // which the extremes differ.
    const uint64_t top = 64 - static_cast<uint64_t>(__builtin_clzll(low_key ^ high_key));
    const uint64_t low = top > kPasses * kBits ? top - kPasses * kBits : 0;
    const uint64_t passes = (top - low + kBits - 1) / kBits;
    // Grown, never shrunk: the buffer serves every feature of a worker, so each page is
    // mapped and zeroed once per fit rather than once per feature.
    LargeVector<uint64_t>& b = scratch.b;
    if (b.size() < n) b.resize(n);
    uint64_t* to = b.data();
    uint32_t counts[kPasses][kBuckets] = {};
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t u = from[i] >> low;
      for (uint64_t pass = 0; pass < passes; ++pass) counts[pass][(u >> (pass * kBits)) & (kBuckets - 1)]++;
    }
    for (uint64_t pass = 0; pass < passes; ++pass) {
      if (radix_pass<kBuckets>(from, to, n, counts[pass], low + pass * kBits)) std::swap(from, to);
    }
    // One pass finishes the runs and writes the signed keys back: [i, j] holds no two
    // neighbours that agree on the sorted bits except possibly from[j] with what follows,
    // which is the run [j, e).
    int64_t* out = keys.data();
    for (uint64_t i = 0; i < n;) {
      uint64_t j = i;
      while (j + 1 < n && ((from[j] ^ from[j + 1]) >> low) != 0) ++j;
      uint64_t e = j + 1;
      while (e < n && ((from[e] ^ from[j]) >> low) == 0) ++e;
      if (e - j > 1 && !std::is_sorted(from + j, from + e)) std::sort(from + j, from + e);
      for (uint64_t k = i; k < e; ++k) out[k] = static_cast<int64_t>(from[k] ^ kSignBit);
      i = e;
    }
    return;
  }
  int64_t* out = keys.data();
  for (uint64_t i = 0; i < n; ++i) out[i] = static_cast<int64_t>(from[i] ^ kSignBit);
}

// Sorts float32 total-order keys ascending: three passes of 11 bits cover all 32 (a pass
// whose digit is the same for every key is skipped).
void sort_keys(LargeVector<int32_t>& keys, EdgeScratch& scratch) {
  constexpr uint64_t kRadixMin = 1024;
  const uint64_t n = keys.size();
  if (n < kRadixMin || n > UINT32_MAX) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  constexpr uint32_t kBits = 11;
  constexpr uint32_t kBuckets = uint32_t{1} << kBits;
  constexpr uint32_t kPasses = 3;
  constexpr uint32_t kSignBit = uint32_t{1} << 31;
  static_assert(sizeof(int32_t) == sizeof(uint32_t));
  uint32_t* from = reinterpret_cast<uint32_t*>(keys.data());
  LargeVector<uint32_t>& b = scratch.b32;
  if (b.size() < n) b.resize(n);
  uint32_t* to = b.data();
  uint32_t counts[kPasses][kBuckets] = {};
  for (uint64_t i = 0; i < n; ++i) {
    const uint32_t u = from[i] ^ kSignBit;
    from[i] = u;
    for (uint32_t pass = 0; pass < kPasses; ++pass) counts[pass][(u >> (pass * kBits)) & (kBuckets - 1)]++;
  }
  for (uint32_t pass = 0; pass < kPasses; ++pass) {
    if (radix_pass<kBuckets>(from, to, n, counts[pass], pass * kBits)) std::swap(from, to);
  }
  int32_t* out = keys.data();
  for (uint64_t i = 0; i < n; ++i) out[i] = static_cast<int32_t>(from[i] ^ kSignBit);
}

}  // namespace detail

namespace {

using detail::total_order_key;

inline double from_key(int64_t key) { return detail::from_total_order_key(key); }
// Widening is exact and keeps both order and distinctness (-0.0 and +0.0 included), so the
// edges of float32 values found on their own keys equal those found on the widened values.
inline double from_key(int32_t key) { return static_cast<double>(detail::from_total_order_key32(key)); }

// The cut between neighbours lo < hi: the midpoint unless rounding carried it up to hi,
// in which case lo itself, so that lo bins below the cut and hi above it.
inline double cut_between(double lo, double hi) {
  const double mid = lo * 0.5 + hi * 0.5;
  return hi > mid ? mid : lo;
}

inline void append_increasing(std::vector<double>& edges, double cut) {
  if (edges.empty() || cut > edges.back()) edges.push_back(cut);
}

// Both paths work on total-order keys: integer comparisons sort faster than the
// equivalent comparator on doubles, and equal keys are equal bit patterns.
template <class Key>
std::vector<double> sort_path(LargeVector<Key>& keys, uint64_t max_bins, EdgeScratch& scratch) {
  detail::sort_keys(keys, scratch);
  // Distinct bit patterns: -0.0 and +0.0 stay apart.
  const uint64_t d = static_cast<uint64_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
  std::vector<double> edges;
  if (max_bins < d) {
    edges.reserve(max_bins - 1);
    for (uint64_t i = 1; i < max_bins; ++i) {
      const uint64_t p = i * d / max_bins;
      append_increasing(edges, cut_between(from_key(keys[p - 1]), from_key(keys[p])));
    }
  } else if (d >= 2) {
    edges.reserve(d - 1);
    for (uint64_t l = 0; l + 1 < d; ++l) edges.push_back(cut_between(from_key(keys[l]), from_key(keys[l + 1])));
  }
  return edges;
}

// Puts the order statistic of every listed position in place: the middle position first
// (nth-element on the current slice), then the positions left and right of it on the two
// sub-slices. `base` is the absolute position of data[0].
template <class Key>
void select_positions(Key* data, uint64_t len, std::span<const uint64_t> positions, uint64_t base) {
  while (!positions.empty()) {
    const size_t mid = positions.size() / 2;
    const uint64_t k = positions[mid] - base;
    MORVEL_ASSERT(k < len, "index out of bounds: quantile position outside the column");
    std::nth_element(data, data + k, data + len);
    select_positions(data, k, positions.first(mid), base);
    // Continue with the right part in place of a second recursive call.
    data += k + 1;
    len -= k + 1;
    base += k + 1;
    positions = positions.subspan(mid + 1);
  }
}

template <class Key>
std::vector<double> select_path(LargeVector<Key>& keys, uint64_t max_bins) {
  const uint64_t n = keys.size();
  std::vector<uint64_t> positions;
  positions.reserve(2 * (max_bins - 1));
  for (uint64_t i = 1; i < max_bins; ++i) {
    const uint64_t p = i * n / max_bins;
    positions.push_back(p - 1);
    positions.push_back(p);
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  select_positions(keys.data(), n, positions, 0);

  std::vector<double> edges;
  for (uint64_t i = 1; i < max_bins; ++i) {
    const uint64_t p = i * n / max_bins;
    if (keys[p - 1] == keys[p]) continue;  // equal bit patterns: no edge for this quantile
    append_increasing(edges, cut_between(from_key(keys[p - 1]), from_key(keys[p])));
  }
  return edges;
}

inline bool is_sampled(BinningStrategy s) { return (static_cast<uint8_t>(s) | 2) == 3; }
inline bool is_selection(BinningStrategy s) { return static_cast<uint8_t>(s) > 1; }

}  // namespace

std::vector<double> feature_edges(std::span<const double> values, uint64_t max_bins, BinningStrategy strategy) {
  EdgeScratch scratch;
  return feature_edges(values, max_bins, strategy, scratch);
}

std::vector<double> feature_edges(std::span<const double> values, uint64_t max_bins, BinningStrategy strategy,
                                  EdgeScratch& scratch) {
  return feature_edges_at(values.data(), nullptr, values.size(), max_bins, strategy, scratch);
}

namespace {

inline int64_t key_of(double v) { return total_order_key(v); }
inline int32_t key_of(float v) { return detail::total_order_key32(v); }

template <class T, class Key>
std::vector<double> edges_at(const T* column, const uint64_t* positions, uint64_t count, uint64_t max_bins,
                             BinningStrategy strategy, LargeVector<Key>& keys, EdgeScratch& scratch) {
  MORVEL_ASSERT(max_bins >= 2 && max_bins <= 255, "max_bins outside [2, 255] reached the edge computation");
  // NaN never contributes to edges; the rest keep their order.
  if (keys.size() < count) keys.resize(count);
  Key* out = keys.data();
  uint64_t n = 0;
  for (uint64_t j = 0; j < count; ++j) {
    const T v = positions == nullptr ? column[j] : column[positions[j]];
    out[n] = key_of(v);
    n += std::isnan(v) ? 0 : 1;
  }
  keys.resize(n);
  if (keys.empty()) return {};
  if (is_selection(strategy) && max_bins < keys.size()) return select_path(keys, max_bins);
  return sort_path(keys, max_bins, scratch);
}

}  // namespace

std::vector<double> feature_edges_at(const double* column, const uint64_t* positions, uint64_t count,
                                     uint64_t max_bins, BinningStrategy strategy, EdgeScratch& scratch) {
  return edges_at(column, positions, count, max_bins, strategy, scratch.keys, scratch);
}

std::vector<double> feature_edges_at(const float* column, const uint64_t* positions, uint64_t count,
                                     uint64_t max_bins, BinningStrategy strategy, EdgeScratch& scratch) {
  return edges_at(column, positions, count, max_bins, strategy, scratch.keys32, scratch);
}

std::vector<uint64_t> binning_row_sample(uint64_t n_rows, uint64_t sample_size, uint64_t seed) {
  MORVEL_ASSERT(sample_size <= n_rows, "binning sample larger than the row count");
  std::vector<uint64_t> idx(n_rows);
  for (uint64_t i = 0; i < n_rows; ++i) idx[i] = i;
  // A SplitMix64-style mixer whose output replaces the state (not a counter), with a plain
  // modulo: part of the reproducible edge definition, so it must not be "fixed".
  uint64_t state = seed ^ 0x6a09e667f3bcc90fULL;
  for (uint64_t j = 0; j < sample_size; ++j) {
    uint64_t z = state + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z = z ^ (z >> 31);
    state = z;
    const uint64_t r = j + state % (n_rows - j);
    std::swap(idx[j], idx[r]);
  }
  idx.resize(sample_size);
  std::sort(idx.begin(), idx.end());
  return idx;
}

namespace detail {

uint64_t gather_width(uint64_t count, uint64_t budget_bytes, uint64_t value_bytes) {
  // Up to 8 features (one 64-byte run of a row-major f64 row) per pass over the rows, with
  // the gathered columns kept within the budget.
  constexpr uint64_t kMaxWidth = 8;
  if (count == 0) return kMaxWidth;
  return std::clamp<uint64_t>(budget_bytes / value_bytes / count, 1, kMaxWidth);
}

namespace {

template <class T>
BinEdges edges_of_columns(uint64_t n_rows, uint64_t n_features, const BinningOptions& options,
                          const ColumnGatherOf<T>& gather, const char* panic_message, const ColumnSinkOf<T>& sink) {
  const uint64_t threads = binning_threads(n_rows, n_features, options.n_jobs);
  const BinningStrategy strategy = options.strategy;
  std::vector<uint64_t> sample;
  const bool use_sample = is_sampled(strategy) && options.bin_sample_size < n_rows;
  if (use_sample) sample = binning_row_sample(n_rows, options.bin_sample_size, options.binning_seed);
  const uint64_t* positions = use_sample ? sample.data() : nullptr;
  const uint64_t count = use_sample ? sample.size() : n_rows;
  // A sink sees every row of its column, so whole columns are gathered and the sample is
  // read from them.
  const bool whole_columns = static_cast<bool>(sink);
  const uint64_t gathered = whole_columns ? n_rows : count;

  auto edges_of_range = [&](const parallel::Chunk& chunk) {
    std::vector<std::vector<double>> out;
    out.reserve(chunk.end - chunk.begin);
    GatheredColumnsOf<T> columns;
    EdgeScratch scratch;
    // Whole columns stay in hand until they are binned, next to the sort buffers (twice a
    // column's size), so they are held to 2^21 values: as many bytes as sampled f64 columns
    // for f64 input, half as many for float32.
    const uint64_t width = whole_columns ? detail::gather_width(gathered, (uint64_t{1} << 21) * sizeof(T), sizeof(T))
                                         : detail::gather_width(gathered, uint64_t{16} << 20, sizeof(T));
    for (uint64_t f0 = chunk.begin; f0 < chunk.end; f0 += width) {
      const uint64_t f1 = std::min(chunk.end, f0 + width);
      columns.resize(f1 - f0);
      for (LargeVector<T>& column : columns) column.resize(gathered);
      gather(f0, f1, whole_columns ? nullptr : positions, gathered, columns);
      for (uint64_t f = f0; f < f1; ++f) {
        checkpoint();
        const LargeVector<T>& column = columns[f - f0];
        std::vector<double> e = whole_columns
                                    ? feature_edges_at(column.data(), positions, count, options.max_bins, strategy,
                                                       scratch)
                                    : feature_edges_at(column.data(), nullptr, count, options.max_bins, strategy,
                                                       scratch);
        if (whole_columns) sink(f, column.data(), e, scratch);
        out.push_back(std::move(e));
      }
    }
    return out;
  };

  const uint64_t workers = std::min(n_features, threads);
  BinEdges edges;
  edges.reserve(n_features);
  if (workers <= 1) {
    edges = edges_of_range(parallel::Chunk{0, 0, n_features});
    return edges;
  }
  // Ranges are concatenated in range order, so feature order never depends on scheduling.
  auto parts = parallel::for_each_chunk(n_features, workers, edges_of_range, panic_message);
  for (auto& part : parts)
    for (auto& e : part) edges.push_back(std::move(e));
  return edges;
}

}  // namespace

BinEdges compute_edges(uint64_t n_rows, uint64_t n_features, const BinningOptions& options,
                       const ColumnGather& gather, const char* panic_message, const ColumnSink& sink) {
  return edges_of_columns<double>(n_rows, n_features, options, gather, panic_message, sink);
}

BinEdges compute_edges(uint64_t n_rows, uint64_t n_features, const BinningOptions& options,
                       const ColumnGatherOf<float>& gather, const char* panic_message,
                       const ColumnSinkOf<float>& sink) {
  return edges_of_columns<float>(n_rows, n_features, options, gather, panic_message, sink);
}

}  // namespace detail

BinEdges csr_edges(const CsrMatrix& x, const BinningOptions& options) {
  // Gathers walk a column-major copy of the stored entries instead of a binary search per
  // (row, feature): the same values (absent entries read 0.0) in O(stored) per feature.
  const uint64_t n_rows = x.n_rows;
  const uint64_t n_features = x.n_features;
  MORVEL_ASSERT(x.indptr.size() == n_rows + 1 && x.indices.size() == x.data.size(),
                "index out of bounds: CSR structure does not match its shape");
  // The width comes from the caller's shape; the fit refuses one whose tables cannot fit.
  MORVEL_ASSERT(n_features < UINT64_MAX, "index out of bounds: CSR width has no end marker");
  std::vector<uint64_t> column_start(n_features + 1, 0);
  for (const uint64_t f : x.indices) {
    MORVEL_ASSERT(f < n_features, "index out of bounds: CSR column outside the matrix");
    column_start[f + 1] += 1;
  }
  for (uint64_t f = 0; f < n_features; ++f) column_start[f + 1] += column_start[f];
  std::vector<uint64_t> entry_row(x.indices.size());
  std::vector<double> entry_value(x.indices.size());
  {
    std::vector<uint64_t> next(column_start.begin(), column_start.end() - 1);
    for (uint64_t r = 0; r < n_rows; ++r) {
      for (uint64_t k = x.indptr[r]; k < x.indptr[r + 1]; ++k) {
        const uint64_t slot = next[x.indices[k]]++;
        entry_row[slot] = r;
        entry_value[slot] = x.data[k];
      }
    }
  }
  // With a row sample, the sample slot of every row (or none).
  constexpr uint64_t kNotSampled = ~uint64_t{0};
  std::vector<uint64_t> sample_slot;
  if (is_sampled(options.strategy) && options.bin_sample_size < n_rows) {
    const std::vector<uint64_t> sample = binning_row_sample(n_rows, options.bin_sample_size, options.binning_seed);
    sample_slot.assign(n_rows, kNotSampled);
    for (uint64_t j = 0; j < sample.size(); ++j) sample_slot[sample[j]] = j;
  }
  auto gather = [&](uint64_t f0, uint64_t f1, const uint64_t* positions, uint64_t count,
                    detail::GatheredColumns& columns) {
    MORVEL_ASSERT(positions == nullptr || !sample_slot.empty(), "sparse gather without its row sample");
    for (uint64_t f = f0; f < f1; ++f) {
      LargeVector<double>& out = columns[f - f0];
      std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count), 0.0);
      for (uint64_t k = column_start[f]; k < column_start[f + 1]; ++k) {
        const uint64_t row = entry_row[k];
        const uint64_t slot = positions == nullptr ? row : sample_slot[row];
        if (slot != kNotSampled) out[slot] = entry_value[k];
      }
    }
  };
  return detail::compute_edges(n_rows, n_features, options, gather, msg::kSparseWorkerPanicked);
}

std::vector<uint64_t> candidate_features(const BinEdges& edges) {
  std::vector<uint64_t> out;
  for (uint64_t f = 0; f < edges.size(); ++f)
    if (!edges[f].empty()) out.push_back(f);
  return out;
}

}  // namespace morvel
