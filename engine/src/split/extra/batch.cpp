// Bins gathered ahead for a node's expected features, and the winner's bins or values kept
// for the node's partition.
#include "split/extra/extra_trees.h"

#include "morvel/errors.h"
#include "split/extra/common.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel {

using namespace extra;

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


void gather_feature_batch(const TrainingContext& ctx, std::span<const RowIndex> rows,
                          std::span<const uint64_t> features, NodePrep& prep, ExtraScratch& scratch) {
  MORVEL_ASSERT(prep.ready == NodeReady::EntryBytes && prep.rows_checked && prep.row_offsets &&
                    features.size() <= ExtraScratch::kBatchFeatures,
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
  prep.batch = true;
}

void keep_extra_bins(uint64_t feature, ExtraScratch& scratch) {
  // Only bins this node's search gathered for this feature serve; a search on values keeps none.
  if (scratch.bins_stamp != scratch.kept_stamp || scratch.bins_feature != feature) {
    scratch.kept = KeptColumn::None;
    return;
  }
  if (scratch.bins_data != scratch.node_bins.data()) {
    // Bins of the batch: copied, as the batch stays in use for the node's other searches.
    if (scratch.kept_bins.size() < scratch.bins_entries) scratch.kept_bins.resize(scratch.bins_entries + kBlockPad);
    std::copy(scratch.bins_data, scratch.bins_data + scratch.bins_entries, scratch.kept_bins.data());
  } else {
    // The searched bins become the kept ones; the old kept buffer is reused by the next search.
    std::swap(scratch.kept_bins, scratch.node_bins);
  }
  scratch.kept = KeptColumn::Bins;
  scratch.kept_feature = feature;
  scratch.bins_stamp = 0;
}

}  // namespace morvel
