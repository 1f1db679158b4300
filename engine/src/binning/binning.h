// Histogram bin edges (four strategies) and the one-byte binned matrix, plus the
// feature-major layouts used by extra trees.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "binning/bin_lookup.h"
#include "binning/binned_matrix.h"
#include "morvel/bin_edges.h"
#include "morvel/large_buffer.h"
#include "morvel/matrix.h"
#include "morvel/profile.h"
#include "morvel/settings.h"

namespace morvel {

struct BinningOptions {
  uint64_t max_bins = 255;                                 // B, 2..255
  BinningStrategy strategy = BinningStrategy::ExactSort;
  uint64_t bin_sample_size = 200000;
  uint64_t binning_seed = 6;
  uint64_t n_jobs = 1;                                     // >= 1
  bool feature_major = false;  // write the binned bytes feature-major (byte f * n_rows + r)
};

// Edges of one feature from its gathered values (left unchanged).
std::vector<double> feature_edges(std::span<const double> values, uint64_t max_bins, BinningStrategy strategy);

// Sort buffers of feature_edges and the lookup table of the binning pass, reused from one
// feature to the next.
struct EdgeScratch {
  LargeVector<int64_t> keys;
  LargeVector<uint64_t> b;
  LargeVector<int32_t> keys32;  // float32 columns sort 32-bit keys
  LargeVector<uint32_t> b32;
  detail::BinTable table;
};
std::vector<double> feature_edges(std::span<const double> values, uint64_t max_bins, BinningStrategy strategy,
                                  EdgeScratch& scratch);
// Edges of the values column[positions[j]] for j < count (column[j] without positions).
std::vector<double> feature_edges_at(const double* column, const uint64_t* positions, uint64_t count,
                                     uint64_t max_bins, BinningStrategy strategy, EdgeScratch& scratch);
// The same edges for float32 values (as if widened), found on 32-bit keys.
std::vector<double> feature_edges_at(const float* column, const uint64_t* positions, uint64_t count,
                                     uint64_t max_bins, BinningStrategy strategy, EdgeScratch& scratch);

// The private row sampler of the sampled strategies: ascending distinct row positions.
std::vector<uint64_t> binning_row_sample(uint64_t n_rows, uint64_t sample_size, uint64_t seed);

// Edges and row-major bytes of a dense view read through the training order. Throws
// ValidationError "X must not contain infinite values" when the pass meets an infinity.
BinnedMatrix bin_view(const ViewF32& x, const std::vector<RowIndex>& order, const BinningOptions& options);
BinnedMatrix bin_view(const ViewF64& x, const std::vector<RowIndex>& order, const BinningOptions& options);
// Same for an owned (validated) buffer; an infinity there is an internal failure.
BinnedMatrix bin_dense(const DenseMatrix& x, const BinningOptions& options);
// Edges only; CSR rows are binned on the fly by the histogram search.
BinEdges csr_edges(const CsrMatrix& x, const BinningOptions& options);

// Features with at least one edge, ascending.
std::vector<uint64_t> candidate_features(const BinEdges& edges);

// Replaces row-major bytes by their feature-major transpose.
void convert_bins_to_feature_major(BinnedMatrix& bins, uint64_t n_jobs, ProfileCounters* profile);

// Fills bins.row_major_copy from the bytes of a feature-major matrix.
void add_row_major_copy(BinnedMatrix& bins, uint64_t n_jobs);

// Feature-major float32 copy of a float32 view (rows through the order), scanned for NaN
// (sets has_missing) and infinities. Checks: "X must contain at least one row and feature",
// "X shape is too large", "X must not contain infinite values".
UninitVector<float> feature_major_from_view(const ViewF32& x, const std::vector<RowIndex>& order, uint64_t n_jobs,
                                           bool& has_missing);
// Feature-major copies of owned row-major values.
UninitVector<float> feature_major_narrowed(const DenseMatrix& x, uint64_t n_jobs);
UninitVector<double> feature_major_copy(const DenseMatrix& x, uint64_t n_jobs);

// Bins prediction rows (row-major, calling thread) with fitted edges.
std::vector<uint8_t> bin_rows(const DenseMatrix& x, const BinEdges& edges);

}  // namespace morvel
