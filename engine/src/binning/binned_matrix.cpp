// The one-byte binned matrix: the binning pass over dense views and owned buffers, the
// feature-major transposes (bytes and raw values) and binning of prediction rows.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "binning/bin_lookup.h"
#include "binning/binning.h"
#include "binning/byte_tile.h"
#include "binning/edges_internal.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"
#include "simd/simd.h"

namespace morvel {
namespace {

// Rows of a view read through the training order: position p is view row order[p].
template <class T>
struct OrderedView {
  using Value = T;  // the type gathered columns hold
  const StridedView<T>& view;
  const RowIndex* order;
  double value(uint64_t p, uint64_t f) const { return static_cast<double>(view.at(order[p], f)); }
  T raw(uint64_t p, uint64_t f) const { return view.at(order[p], f); }
  // Rows come in training order, scattered over the buffer: a gather asks for the row it
  // will read a few steps ahead, so that the cache misses overlap.
  void prefetch(uint64_t p, uint64_t f) const {
    __builtin_prefetch(view.base + static_cast<int64_t>(order[p]) * view.row_stride +
                       static_cast<int64_t>(f) * view.col_stride);
  }
};

struct OwnedRows {
  using Value = double;
  const DenseMatrix& x;
  double value(uint64_t p, uint64_t f) const { return x.values[p * x.n_features + f]; }
  double raw(uint64_t p, uint64_t f) const { return value(p, f); }
  void prefetch(uint64_t, uint64_t) const {}  // read in order: the hardware prefetches
};

struct PassFlags {
  bool nan = false;
  bool inf = false;
};

// Every feature's edges padded with +inf to 2^s - 1 entries (the smallest such width that
// holds them), so a lookup is a fixed s-step search with no length test: a padding entry is
// never below a value, so the count of entries below v is still the count of edges below v.
// Padding at most doubles the edges, so wide inputs stay cheap.
struct PaddedEdges {
  std::vector<double> table;
  std::vector<uint64_t> offset;  // feature f's entries start at table[offset[f]]
  std::vector<uint64_t> first_step;  // 2^(s-1), or 0 for a feature without edges
  std::vector<uint8_t> missing;  // m_f + 1 per feature

  explicit PaddedEdges(const BinEdges& edges)
      : offset(edges.size()), first_step(edges.size()), missing(edges.size()) {
    uint64_t total = 0;
    for (uint64_t f = 0; f < edges.size(); ++f) {
      const uint64_t m = edges[f].size();
      MORVEL_ASSERT(m <= 254, "index out of bounds: more edges than bins");
      uint64_t width = 0;
      while (width < m) width = 2 * width + 1;
      offset[f] = total;
      first_step[f] = (width + 1) / 2;
      missing[f] = static_cast<uint8_t>(m + 1);
      total += width;
    }
    table.assign(total, std::numeric_limits<double>::infinity());
    for (uint64_t f = 0; f < edges.size(); ++f)
      std::copy(edges[f].begin(), edges[f].end(), table.begin() + static_cast<std::ptrdiff_t>(offset[f]));
  }

  // Number of edges strictly below v (v not NaN), as detail::regular_bin counts them.
  static uint8_t bin(const double* e, uint64_t first_step, double v) {
    uint64_t b = 0;
    for (uint64_t step = first_step; step != 0; step >>= 1) b += e[b + step - 1] < v ? step : 0;
    return static_cast<uint8_t>(b);
  }
};

// Rows of one block are binned feature by feature, so each feature's edges stay in the
// first-level cache while the block's rows are read.
constexpr uint64_t kBinBlockRows = 64;

// Bins rows [begin, end). Row-major output: out[(p - begin) * n_features + f]; feature-major
// output: out[f * column_stride + (p - begin)].
template <class Access>
PassFlags bin_rows_into(const Access& access, const PaddedEdges& padded, uint64_t n_features, uint64_t begin,
                        uint64_t end, uint8_t* out, bool feature_major, uint64_t column_stride) {
  PassFlags flags;
  for (uint64_t p0 = begin; p0 < end; p0 += kBinBlockRows) {
    const uint64_t p1 = std::min(end, p0 + kBinBlockRows);
    for (uint64_t f = 0; f < n_features; ++f) {
      const double* e = padded.table.data() + padded.offset[f];
      const uint64_t first_step = padded.first_step[f];
      const uint8_t missing = padded.missing[f];
      uint8_t* dst = feature_major ? out + f * column_stride + (p0 - begin) : out + (p0 - begin) * n_features + f;
      const uint64_t step = feature_major ? 1 : n_features;
      for (uint64_t p = p0; p < p1; ++p, dst += step) {
        const double v = access.value(p, f);
        if (std::isnan(v)) {
          *dst = missing;
          flags.nan = true;
        } else {
          // An infinity bins like any other value (to 0 or m); the caller decides its fate.
          flags.inf |= std::isinf(v);
          *dst = PaddedEdges::bin(e, first_step, v);
        }
      }
    }
  }
  return flags;
}

// Bytes of one whole gathered column under its edges, feature-major; returns whether a
// NaN was met. Long columns go through the key table; short ones, and edge sets the table
// cannot serve, search.
template <class T>
bool bin_column(const T* column, uint64_t n_rows, const std::vector<double>& edges, detail::BinTable& table,
                uint8_t* out) {
  const uint8_t missing = static_cast<uint8_t>(edges.size() + 1);
  bool nan = false;
  constexpr uint64_t kTableMinRows = 512;
  // A table of 2^12 buckets a sign stays in the first-level cache and serves the edges of
  // most columns; a finer one is the next try.
  const unsigned bits = detail::bin_table_bits(n_rows);
  constexpr unsigned kCachedBits = 12;
  if (n_rows >= kTableMinRows && (table.build(edges, std::min(bits, kCachedBits)) ||
                                  (bits > kCachedBits && table.build(edges, bits)))) {
    const detail::BinTable::Lookup lookup = table.lookup();
    for (uint64_t p = 0; p < n_rows; ++p) {
      const double v = static_cast<double>(column[p]);
      if (std::isnan(v)) {
        out[p] = missing;
        nan = true;
      } else {
        out[p] = lookup.bin(v);
      }
    }
  } else {
    for (uint64_t p = 0; p < n_rows; ++p) {
      const double v = static_cast<double>(column[p]);
      nan |= std::isnan(v);
      out[p] = detail::bin_value(edges, v);
    }
  }
  return nan;
}

// Gathers the columns of features [f0, f1) at the given row positions for the edge workers.
// With `infinite` sized, also records per feature whether the gathered values hold an
// infinity (a whole-column gather then stands in for the binning pass's check).
template <class Access>
struct ColumnGatherer {
  using Value = typename Access::Value;
  static constexpr uint64_t kMaxWidth = 8;
  const Access& access;
  std::vector<uint8_t>& infinite;

  void operator()(uint64_t f0, uint64_t f1, const uint64_t* positions, uint64_t count,
                  detail::GatheredColumnsOf<Value>& columns) const {
    Value* out[kMaxWidth];
    bool inf[kMaxWidth] = {};
    const uint64_t width = f1 - f0;
    MORVEL_ASSERT(width >= 1 && width <= kMaxWidth && columns.size() == width, "gather wider than its columns");
    for (uint64_t k = 0; k < width; ++k) out[k] = columns[k].data();
    constexpr uint64_t kAhead = 16;
    for (uint64_t j = 0; j < count; ++j) {
      if (j + kAhead < count) {
        const uint64_t ahead = positions ? positions[j + kAhead] : j + kAhead;
        access.prefetch(ahead, f0);
        access.prefetch(ahead, f1 - 1);
      }
      const uint64_t p = positions ? positions[j] : j;
      for (uint64_t k = 0; k < width; ++k) {
        const Value v = access.raw(p, f0 + k);
        out[k][j] = v;
        // The loop waits on scattered rows, so this test costs next to nothing here.
        inf[k] |= std::fabs(v) == std::numeric_limits<Value>::infinity();
      }
    }
    if (!infinite.empty())
      for (uint64_t k = 0; k < width; ++k) infinite[f0 + k] = inf[k] ? 1 : 0;
  }
};

// Feature-major bytes written by the edge workers from the columns they have just gathered:
// the input is read once, in order, and no second pass goes through the training order.
template <class Access>
PassFlags bin_while_gathering(const Access& access, uint64_t n_rows, uint64_t n_features,
                              const BinningOptions& options, BinnedMatrix& result) {
  using Value = typename Access::Value;
  uint8_t* bins = result.bins.data();
  std::vector<uint8_t> missing(n_features, 0);
  std::vector<uint8_t> infinite(n_features, 0);
  const detail::ColumnSinkOf<Value> sink = [&](uint64_t f, const Value* column, const std::vector<double>& edges,
                                               EdgeScratch& scratch) {
    missing[f] = bin_column(column, n_rows, edges, scratch.table, bins + f * n_rows) ? 1 : 0;
  };
  result.edges = detail::compute_edges(n_rows, n_features, options,
                                       detail::ColumnGatherOf<Value>(ColumnGatherer<Access>{access, infinite}),
                                       msg::kEdgeWorkerPanicked, sink);
  PassFlags flags;
  for (uint64_t f = 0; f < n_features; ++f) {
    flags.nan = flags.nan || missing[f] != 0;
    flags.inf = flags.inf || infinite[f] != 0;
  }
  return flags;
}

// Bytes from a second pass over the rows once every edge is known, in row blocks over
// `workers` threads.
template <class Access>
PassFlags bin_after_edges(const Access& access, uint64_t n_rows, uint64_t n_features, uint64_t workers,
                          bool feature_major, BinnedMatrix& result) {
  const PaddedEdges padded(result.edges);
  if (workers <= 1)
    return bin_rows_into(access, padded, n_features, 0, n_rows, result.bins.data(), feature_major, n_rows);
  MORVEL_ASSERT(parallel::chunk_length(n_rows, workers) * n_features != 0, msg::kChunkSize);
  uint8_t* bins = result.bins.data();
  auto parts = parallel::for_each_chunk(
      n_rows, workers,
      [&](const parallel::Chunk& c) {
        // A row block owns bytes [begin * n_features, end * n_features) row-major, or the
        // segment [begin, end) of every column feature-major.
        return feature_major
                   ? bin_rows_into(access, padded, n_features, c.begin, c.end, bins + c.begin, true, n_rows)
                   : bin_rows_into(access, padded, n_features, c.begin, c.end, bins + c.begin * n_features,
                                   false, n_rows);
      },
      msg::kBinWorkerPanicked);
  // Flags are ORed in chunk order.
  PassFlags flags;
  for (const PassFlags& part : parts) {
    flags.nan = flags.nan || part.nan;
    flags.inf = flags.inf || part.inf;
  }
  return flags;
}

template <class Access>
BinnedMatrix bin_matrix(const Access& access, uint64_t n_rows, uint64_t n_features, const BinningOptions& options,
                        bool values_validated) {
  BinnedMatrix result;
  result.n_rows = n_rows;
  result.n_features = n_features;
  uint64_t cells = 0;
  if (__builtin_mul_overflow(n_rows, n_features, &cells)) throw std::bad_alloc();
  const bool feature_major = options.feature_major;
  const uint64_t threads = detail::binning_threads(n_rows, n_features, options.n_jobs);
  const uint64_t workers = std::min(n_rows, threads);
  PassFlags flags;
  // Binning while gathering needs the edge split to use as many workers as the row split.
  if (feature_major && std::min(n_features, threads) == workers) {
    result.bins.resize(cells);
    flags = bin_while_gathering(access, n_rows, n_features, options, result);
  } else {
    // Sample gathers leave infinities to the binning pass.
    std::vector<uint8_t> unchecked;
    result.edges = detail::compute_edges(
        n_rows, n_features, options,
        detail::ColumnGatherOf<typename Access::Value>(ColumnGatherer<Access>{access, unchecked}),
        msg::kEdgeWorkerPanicked, detail::ColumnSinkOf<typename Access::Value>());
    parallel::release_free_memory();  // the edge workers' sort buffers, before the bytes
    result.bins.resize(cells);
    flags = bin_after_edges(access, n_rows, n_features, workers, feature_major, result);
  }
  if (flags.inf) {
    if (values_validated) throw_internal(msg::kValidatedBeforeHistogram);
    throw ValidationError(msg::kInfiniteValues);
  }
  result.has_missing = flags.nan;
  result.feature_major = feature_major;
  return result;
}

constexpr uint64_t kTileRows = 64;

// Transposes row-major source[r * n_features + f] into destination[f * n_rows + r] for the
// features of `chunk`, 64 rows at a time so the strided reads stay within a small window.
// Returns whether a written value may be non-finite (detail::non_finite).
template <class Dst, class Read>
bool transpose_features(const parallel::Chunk& chunk, uint64_t n_rows, Dst* destination, const Read& read) {
  uint64_t special = 0;
  for (uint64_t r0 = 0; r0 < n_rows; r0 += kTileRows) {
    const uint64_t r1 = std::min(n_rows, r0 + kTileRows);
    for (uint64_t f = chunk.begin; f < chunk.end; ++f) {
      Dst* column = destination + f * n_rows;
      for (uint64_t r = r0; r < r1; ++r) {
        const Dst v = static_cast<Dst>(read(r, f));
        special |= detail::non_finite(v);
        column[r] = v;
      }
    }
  }
  return special != 0;
}

// dst[c * rows + r] = src[r * cols + c] for every r < rows and every c in [c0, c1): the
// byte matrix transpose behind both layout changes. Whole 16 x 16 tiles go through
// registers (transpose_tile); the ragged edges are copied bytewise.
void transpose_bytes(const uint8_t* src, uint64_t rows, uint64_t cols, uint64_t c0, uint64_t c1, uint8_t* dst) {
  // Columns are taken in blocks so that the destination rows written for one band of
  // source rows are still cached when the next band adds its bytes to them.
  constexpr uint64_t kColumnBlock = 2048;
  for (uint64_t b0 = c0; b0 < c1; b0 += kColumnBlock) {
    const uint64_t b1 = std::min(c1, b0 + kColumnBlock);
    uint64_t r = 0;
#if MORVEL_SIMD_SSE2
    constexpr uint64_t kTile = simd::kLanes;
    for (; r + kTile <= rows; r += kTile) {
      uint64_t c = b0;
      for (; c + kTile <= b1; c += kTile) {
        __m128i x[kTile];
        for (uint64_t i = 0; i < kTile; ++i)
          x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + (r + kTileOrder[i]) * cols + c));
        transpose_tile(x);
        for (uint64_t i = 0; i < kTile; ++i)
          _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (c + kTileOrder[i]) * rows + r), x[i]);
      }
      for (; c < b1; ++c)
        for (uint64_t i = 0; i < kTile; ++i) dst[c * rows + r + i] = src[(r + i) * cols + c];
    }
#endif
    for (; r < rows; ++r)
      for (uint64_t c = b0; c < b1; ++c) dst[c * rows + r] = src[r * cols + c];
  }
}

// `special`: whether some value may be non-finite.
template <class Dst, class Read>
UninitVector<Dst> feature_major(uint64_t n_rows, uint64_t n_features, uint64_t threads, const Read& read,
                                bool& special) {
  special = false;
  uint64_t cells = 0;
  if (__builtin_mul_overflow(n_rows, n_features, &cells) ||
      cells > std::numeric_limits<size_t>::max() / sizeof(Dst))
    throw std::bad_alloc();
  UninitVector<Dst> destination(cells);
  if (cells == 0) return destination;
  const uint64_t workers = std::max<uint64_t>(1, threads);
  MORVEL_ASSERT(parallel::chunk_length(n_features, workers) * n_rows != 0, msg::kChunkSize);
  Dst* out = destination.data();
  const auto parts = parallel::for_each_chunk(
      n_features, workers,
      [&](const parallel::Chunk& c) {
        prefault(out + c.begin * n_rows, (c.end - c.begin) * n_rows * sizeof(Dst));
        return static_cast<uint8_t>(transpose_features(c, n_rows, out, read));
      },
      msg::kScopedPanic);
  for (const uint8_t part : parts) special = special || part != 0;
  return destination;
}

// Feature-major copy of owned row-major values, as Dst.
template <class Dst>
UninitVector<Dst> feature_major_of(const DenseMatrix& x, uint64_t n_jobs) {
  const double* values = x.values.data();
  const uint64_t n_features = x.n_features;
  bool special = false;
  return feature_major<Dst>(
      x.n_rows, n_features, std::max<uint64_t>(1, n_jobs),
      [values, n_features](uint64_t r, uint64_t f) { return values[r * n_features + f]; }, special);
}

}  // namespace

BinnedMatrix bin_view(const ViewF32& x, const std::vector<RowIndex>& order, const BinningOptions& options) {
  MORVEL_ASSERT(order.size() == x.n_rows, "training order does not cover the view");
  return bin_matrix(OrderedView<float>{x, order.data()}, x.n_rows, x.n_features, options, false);
}

BinnedMatrix bin_view(const ViewF64& x, const std::vector<RowIndex>& order, const BinningOptions& options) {
  MORVEL_ASSERT(order.size() == x.n_rows, "training order does not cover the view");
  return bin_matrix(OrderedView<double>{x, order.data()}, x.n_rows, x.n_features, options, false);
}

BinnedMatrix bin_dense(const DenseMatrix& x, const BinningOptions& options) {
  return bin_matrix(OwnedRows{x}, x.n_rows, x.n_features, options, true);
}

void convert_bins_to_feature_major(BinnedMatrix& bins, uint64_t n_jobs, ProfileCounters* profile) {
  if (bins.feature_major) return;
  ScopedNanos timer(profile, &ProfileCounters::bin_layout_conversion_ns);
  const uint64_t n_rows = bins.n_rows;
  const uint64_t n_features = bins.n_features;
  uint64_t cells = 0;
  if (__builtin_mul_overflow(n_rows, n_features, &cells)) throw std::bad_alloc();
  MORVEL_ASSERT(bins.bins.size() == cells, "binned matrix does not match its shape");
  std::vector<uint8_t> destination(cells);
  if (cells != 0) {
    const uint64_t workers = std::max<uint64_t>(1, n_jobs);
    MORVEL_ASSERT(parallel::chunk_length(n_features, workers) * n_rows != 0, msg::kChunkSize);
    const uint8_t* source = bins.bins.data();
    uint8_t* out = destination.data();
    // Each worker owns the columns of a block of features.
    parallel::for_each_chunk(
        n_features, workers,
        [&](const parallel::Chunk& c) { transpose_bytes(source, n_rows, n_features, c.begin, c.end, out); },
        msg::kScopedPanic);
  }
  bins.bins = std::move(destination);
  bins.feature_major = true;
}

void add_row_major_copy(BinnedMatrix& bins, uint64_t n_jobs) {
  MORVEL_ASSERT(bins.feature_major, "a row-major copy is made from feature-major bytes");
  const uint64_t n_rows = bins.n_rows;
  const uint64_t n_features = bins.n_features;
  MORVEL_ASSERT(bins.bins.size() == n_rows * n_features, "binned matrix does not match its shape");
  std::vector<uint8_t> copy(bins.bins.size());
  if (copy.empty()) {
    bins.row_major_copy = std::move(copy);
    return;
  }
  const uint8_t* source = bins.bins.data();
  uint8_t* out = copy.data();
  const uint64_t workers = std::max<uint64_t>(1, std::min(n_jobs, n_rows));
  // Each worker owns the rows of a block of rows.
  parallel::for_each_chunk(
      n_rows, workers,
      [&](const parallel::Chunk& c) { transpose_bytes(source, n_features, n_rows, c.begin, c.end, out); },
      msg::kScopedPanic);
  bins.row_major_copy = std::move(copy);
}

UninitVector<float> feature_major_from_view(const ViewF32& x, const std::vector<RowIndex>& order, uint64_t n_jobs,
                                           bool& has_missing) {
  if (x.n_rows == 0 || x.n_features == 0) throw ValidationError(msg::kNoRowsOrFeatures);
  uint64_t cells = 0;
  if (__builtin_mul_overflow(x.n_rows, x.n_features, &cells)) throw ValidationError(msg::kShapeTooLarge);
  MORVEL_ASSERT(order.size() == x.n_rows, "training order does not cover the view");
  const uint64_t threads = detail::binning_threads(x.n_rows, x.n_features, n_jobs);
  const RowIndex* rows = order.data();
  bool special = false;
  UninitVector<float> out = feature_major<float>(
      x.n_rows, x.n_features, threads, [&x, rows](uint64_t r, uint64_t f) { return x.at(rows[r], f); }, special);
  // Only a copy that may hold NaN or infinities is scanned to tell which.
  bool nan = false;
  bool inf = false;
  if (special) {
    for (const float v : out) {
      nan |= std::isnan(v);
      inf |= std::isinf(v);
    }
  }
  if (inf) throw ValidationError(msg::kInfiniteValues);
  has_missing = nan;
  return out;
}

UninitVector<float> feature_major_narrowed(const DenseMatrix& x, uint64_t n_jobs) {
  return feature_major_of<float>(x, n_jobs);
}

UninitVector<double> feature_major_copy(const DenseMatrix& x, uint64_t n_jobs) {
  return feature_major_of<double>(x, n_jobs);
}

std::vector<uint8_t> bin_rows(const DenseMatrix& x, const BinEdges& edges) {
  if (edges.size() != x.n_features) throw ValidationError(msg::kEdgesMismatch);
  std::vector<uint8_t> out(x.n_rows * x.n_features);
  bin_rows_into(OwnedRows{x}, PaddedEdges(edges), x.n_features, 0, x.n_rows, out.data(), false, x.n_rows);
  return out;
}

}  // namespace morvel
