// Row routing during training: where a training row goes at a split, read through the
// context's binned bytes or raw values. Shared by partitioning, pruning, out-of-bag votes
// and the permutation pass, so all of them route exactly as growth did.
#pragma once

#include <cmath>
#include <cstdint>

#include "data/training_context.h"
#include "morvel/tree.h"

namespace morvel {

// Raw values through an accessor: NaN follows missing_left, otherwise value > pivot.
template <class Access>
struct RawRouter {
  Access access;
  double value(uint64_t row, uint64_t feature) const { return access.value(row, feature); }
  bool left(const Node& split, uint64_t row) const { return goes_left(split, access.value(row, split.feature())); }
};

// Bin-space trees on the byte matrix: the missing-value bin follows missing_left.
struct BinnedRouter {
  const BinnedMatrix* bins;
  bool left(const Node& split, uint64_t row) const {
    const uint8_t b = bins->at(row, split.feature());
    const bool missing = bins->has_missing && b == missing_bin(bins->edges[split.feature()].size());
    return goes_left(split, static_cast<double>(b), missing);
  }
};

// Bin-space trees on CSR input: each looked-up value is binned on the fly.
struct CsrBinnedRouter {
  const CsrMatrix* csr;
  const BinEdges* edges;
  bool left(const Node& split, uint64_t row) const {
    const double v = csr->at(row, split.feature());
    if (std::isnan(v)) return split.missing_left();
    return static_cast<double>(bin_of((*edges)[split.feature()], v)) > split.pivot;
  }
};

// Calls fn(router) with the router matching how the context's trees were grown.
template <class Fn>
decltype(auto) with_training_router(const TrainingContext& ctx, Fn&& fn) {
  if (ctx.binned) return fn(BinnedRouter{&*ctx.binned});
  if (ctx.csr_edges) return fn(CsrBinnedRouter{&ctx.csr, &*ctx.csr_edges});
  return with_raw_access(ctx, [&](auto access) { return fn(RawRouter<decltype(access)>{access}); });
}

}  // namespace morvel
