// Node histograms over bins: the full-width build and the on-demand sums of one feature.
#include "data/node_bins.h"

#include <algorithm>

#include "morvel/messages.h"
#include "parallel/parallel.h"

namespace morvel {
namespace {

template <BinSource kSource>
void accumulate_from(const BinRows& m, const uint64_t* offsets, std::span<const RowIndex> rows, uint64_t f_begin,
                     uint64_t f_end, double* cw, uint64_t* counts) {
  const ClassIndex* labels = m.labels;
  const double* w = m.weights;
  const bool implicit = m.implicit_unit;
  auto weight_of = [w, implicit](uint64_t row) { return implicit ? 1.0 : w[row]; };
  const uint64_t nc = m.n_classes;
  if constexpr (kSource == BinSource::FeatureMajor) {
    // One column at a time: each bin still receives its rows in list order.
    for (uint64_t f = f_begin; f < f_end; ++f) {
      const uint8_t* column = m.bytes + f * m.n_rows;
      double* fw = cw + offsets[f] * nc;
      uint64_t* fc = counts + offsets[f];
      for (const uint64_t row : rows) {
        const uint8_t b = column[row];
        fw[b * nc + labels[row]] += weight_of(row);
        fc[b] += 1;
      }
    }
    return;
  }
  for (const uint64_t row : rows) {
    const uint64_t c = labels[row];
    const double wr = weight_of(row);
    for (uint64_t f = f_begin; f < f_end; ++f) {
      uint8_t b;
      if constexpr (kSource == BinSource::RowMajor) {
        b = m.bytes[row * m.n_features + f];
      } else {
        b = detail::bin_value((*m.edges)[f], m.csr->at(row, f));
      }
      const uint64_t g = offsets[f] + b;
      cw[g * nc + c] += wr;
      counts[g] += 1;
    }
  }
}

}  // namespace

BinRows bin_rows_of(const TrainingContext& ctx, const TreeWeights& weights) {
  BinRows m;
  m.edges = ctx.edges();
  MORVEL_ASSERT(m.edges != nullptr, msg::kHistogramNeedsEdges);
  m.n_rows = ctx.n_rows;
  m.n_features = ctx.n_features;
  m.n_classes = ctx.n_classes;
  m.labels = ctx.labels.data();
  if (ctx.binned) {
    const BinnedMatrix& bm = *ctx.binned;
    MORVEL_ASSERT(bm.bins.size() == bm.n_rows * bm.n_features && bm.n_rows == ctx.n_rows &&
                      bm.n_features == ctx.n_features,
                  "binned matrix does not match the training context");
    m.binned = &bm;
    m.source = bm.feature_major ? BinSource::FeatureMajor : BinSource::RowMajor;
    m.bytes = bm.bins.data();
    if (bm.feature_major && bm.row_major_copy.size() == bm.bins.size()) m.row_bytes = bm.row_major_copy.data();
    m.missing_slot = bm.has_missing ? 1 : 0;
  } else if (ctx.form == ValueForm::Csr) {
    m.source = BinSource::Csr;
    m.csr = &ctx.csr;
    m.missing_slot = ctx.has_missing ? 1 : 0;
  } else {
    throw_internal(msg::kHistogramNeedsBins);
  }
  MORVEL_ASSERT(m.edges->size() == m.n_features, "bin edges do not match the feature count");
  m.implicit_unit = weights.unit && weights.weights.empty();
  MORVEL_ASSERT(m.implicit_unit || weights.weights.size() >= m.n_rows, "tree weights do not cover the training rows");
  m.weights = weights.weights.data();
  return m;
}

void accumulate_bins(const BinRows& m, const uint64_t* offsets, std::span<const RowIndex> rows, uint64_t f_begin,
                     uint64_t f_end, double* cw, uint64_t* counts) {
  switch (m.source) {
    case BinSource::RowMajor:
      accumulate_from<BinSource::RowMajor>(m, offsets, rows, f_begin, f_end, cw, counts);
      break;
    case BinSource::FeatureMajor:
      accumulate_from<BinSource::FeatureMajor>(m, offsets, rows, f_begin, f_end, cw, counts);
      break;
    case BinSource::Csr:
      accumulate_from<BinSource::Csr>(m, offsets, rows, f_begin, f_end, cw, counts);
      break;
  }
}

void fill_bins(const BinRows& m, const uint64_t* offsets, std::span<const RowIndex> rows, uint64_t threads,
               double* cw, uint64_t* counts) {
  const uint64_t workers = std::min(m.n_features, threads);
  uint64_t cells = 0;
  const bool small = __builtin_mul_overflow(static_cast<uint64_t>(rows.size()), m.n_features, &cells)
                         ? false
                         : cells < detail::kParallelCells;
  if (m.source == BinSource::Csr || workers < 2 || small) {
    accumulate_bins(m, offsets, rows, 0, m.n_features, cw, counts);
    return;
  }
  parallel::for_each_chunk(
      m.n_features, workers,
      [&](const parallel::Chunk& c) { accumulate_bins(m, offsets, rows, c.begin, c.end, cw, counts); },
      msg::kBinWorkerPanicked);
}

void FeatureBinSums::reset(uint64_t n_classes) {
  n_classes_ = n_classes;
  weights_.assign(kByteBins * n_classes, 0.0);
  counts_.assign(kByteBins, 0);
  packed_.assign(kByteBins * n_classes, 0);
  occupied_.assign(kByteBins, 0);
  n_occupied_ = 0;
}

void FeatureBinSums::clear(const BinRows& m, uint64_t f, bool tracked) {
  const uint64_t nc = n_classes_;
  const uint64_t bins = m.bins_of(f);
  if (!tracked) {
    std::fill(weights_.begin(), weights_.end(), 0.0);
    std::fill(counts_.begin(), counts_.end(), 0);
    std::fill(packed_.begin(), packed_.end(), 0);
    return;
  }
  if (n_occupied_ * 4 >= bins) {
    std::fill(weights_.begin(), weights_.begin() + static_cast<std::ptrdiff_t>(bins * nc), 0.0);
    std::fill(counts_.begin(), counts_.begin() + static_cast<std::ptrdiff_t>(bins), 0);
    return;
  }
  auto clear_bin = [&](uint64_t b) {
    counts_[b] = 0;
    for (uint64_t c = 0; c < nc; ++c) weights_[b * nc + c] = 0.0;
  };
  for (uint64_t i = 0; i < n_occupied_; ++i) clear_bin(occupied_[i]);
  if (m.missing_slot) clear_bin(bins - 1);
}

}  // namespace morvel
