// Exact split search of one feature: sort the node's values, scan every threshold between
// distinct neighbours, both missing-value directions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "morvel/large_buffer.h"
#include "split/criteria.h"

namespace morvel {

// What the sort moves: the value's IEEE total-order key and the entry's index-list position
// (class and weight are looked up by position during the scan).
struct ExactSortRecord {
  uint64_t key;       // total-order key of the value
  uint64_t position;  // index-list position: the tie order among equal values
};

// A column-major copy of the context's CSR matrix (rows ascending within each column).
struct ColumnMajorCopy {
  const CsrMatrix* source = nullptr;  // the matrix it was built from
  uint64_t n_entries = 0;             // stored entries of that matrix
  std::vector<uint64_t> starts;       // n_features + 1 column starts
  std::vector<RowIndex> rows;         // row of each stored entry
  std::vector<double> values;         // value of each stored entry
};

// Class counts with a scan of their own; more would add code for little gain.
constexpr uint64_t kExactUnrolledClasses = 5;

// A pivot the whole-count scan keeps for scoring after its pass (nodes of at most
// kExactUnrolledClasses classes): where it is, its bound test's two sides, and the prefix's
// class counts there.
struct PendingPivot {
  uint64_t at;                                   // the last record on the prefix side
  double num;                                    // (sum l_c^2) w_R + (sum r_c^2) w_L
  double den;                                    // w_L w_R
  int64_t twice_prefix[kExactUnrolledClasses];  // twice the prefix's count of each class
};

// Per-worker buffers reused by every exact search.
struct ExactScratch {
  UninitVector<ExactSortRecord> sorted;  // the non-missing entries of the current search
  UninitVector<ExactSortRecord> spare;   // second buffer of the radix sort
  std::vector<uint64_t> radix_counters; // the radix sort's bucket counters, one block per level
  std::vector<uint32_t> bucket_counts;  // the bucket sort's counters, one block per level
  std::vector<uint64_t> zeros;          // list positions of the entries whose value is +0.0
  ColumnMajorCopy columns;              // sparse input only
  std::vector<double> weights;          // entry weights when the node statistics lack them
  std::vector<double> buffers;          // prefix/suffix/missing class-weight vectors
  std::vector<int64_t> counts;          // per-class counts and steps of the whole-count scan
  std::vector<PendingPivot> pending;    // the whole-count scan's pivots awaiting their score
};

// Sorts on (key, position) for records handed over in ascending position: a stable sort on
// the key. `float_keys`: the keys are float32 keys (as gathered from float32 data).
void sort_exact_records(UninitVector<ExactSortRecord>& records, ExactScratch& scratch, bool float_keys = false);

std::optional<SplitCandidate> search_exact(const TrainingContext& ctx, const TreeWeights& weights,
                                           const SearchRules& rules, std::span<const RowIndex> rows,
                                           const NodeStats& stats, uint64_t feature, int8_t constraint,
                                           NodeBounds bounds, ExactScratch& scratch);

}  // namespace morvel
