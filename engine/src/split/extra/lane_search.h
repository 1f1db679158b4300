// The lane search: the general search for a node measured into class lanes.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "split/extra/class_lanes.h"
#include "split/extra/extremes.h"
#include "split/extra/whole_scoring.h"

namespace morvel::extra {

#if MORVEL_SIMD_SSE2
// ---- class-lane search ------------------------------------------------------------------
// The general search for a node with per-entry class lanes (three to eight classes, byte
// weights, raw values, no missing value in the matrix): one pass gathers the values and their
// extremes, one pass sums the lanes of the entries with value <= t, and the scoring works on
// those exact integer sums with the class count fixed at compile time. Every sum the general
// search adds is an exact integer here, so both give the same candidate.

template <class Read, bool kCheckRows>
std::optional<SplitCandidate> lane_search_rows(const TrainingContext& ctx, const SearchRules& rules,
                                               std::span<const RowIndex> rows, const NodeStats& stats,
                                               uint64_t feature, int8_t constraint, NodeBounds bounds,
                                               std::vector<uint64_t>& constant_features, Rng& rng,
                                               ExtraScratch& scratch, uint64_t row_limit, Read& read, bool from_planes) {
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
  auto unserved = []() -> std::optional<SplitCandidate> {
    throw_internal("class-lane searches take three to eight classes");
  };
  // The plane prefix and the scoring run with the class count fixed at compile time.
  const TagPrefix sums =
      from_planes ? with_class_count_in<3, kTagLanes>(
                        rules.n_classes,
                        [&](auto classes) { return plane_prefix<decltype(classes)::value>(values, planes, n, t); },
                        [&]() -> TagPrefix {
                          unserved();
                          return {};
                        })
                  : tag_prefix(values, scratch.entry_tags.data(), n, t);
  if (sums.count == 0 || sums.count == n) return std::nullopt;
  const double parent = lane_node_impurity(rules, stats, scratch);
  return with_class_count_in<3, kTagLanes>(
      rules.n_classes,
      [&](auto classes) {
        return score_lanes<decltype(classes)::value>(rules, stats, parent, n, sums, t, constraint, bounds);
      },
      unserved);
}

// Whether the lane search serves this general search: the node's lanes are ready and the
// matrix has no missing value.
inline bool lanes_serve(const TrainingContext& ctx, const SearchRules& rules, std::span<const RowIndex> rows,
                        const NodeStats& stats, const NodePrep& prep, const ExtraScratch& scratch, bool may_miss) {
  const bool planes = prep.ready == NodeReady::ClassPlanes;
  return !may_miss && !ctx.binned && (planes || prep.ready == NodeReady::ClassTags) && rules.n_classes >= 3 &&
         rules.n_classes <= kTagLanes && stats.class_weight.size() == rules.n_classes &&
         (planes ? scratch.entry_planes.size() >= plane_bytes(rows.size(), rules.n_classes)
                 : scratch.entry_tags.size() >= kTagLanes * rows.size());
}

template <class Read>
std::optional<SplitCandidate> lane_search(const TrainingContext& ctx, const TreeWeights& weights,
                                          const SearchRules& rules, std::span<const RowIndex> rows,
                                          const NodeStats& stats, const NodePrep& prep, uint64_t feature,
                                          int8_t constraint, NodeBounds bounds,
                                          std::vector<uint64_t>& constant_features, Rng& rng, ExtraScratch& scratch,
                                          Read& read) {
  const uint64_t row_limit = weights.weights.size();
  const bool planes = prep.ready == NodeReady::ClassPlanes;
  // Rows measured by tagged_class_stats were checked there against the matrix and weights.
  if (prep.rows_checked)
    return lane_search_rows<Read, false>(ctx, rules, rows, stats, feature, constraint, bounds, constant_features,
                                         rng, scratch, row_limit, read, planes);
  return lane_search_rows<Read, true>(ctx, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                                      scratch, row_limit, read, planes);
}

// The lane search on raw values, read as the general search reads them. Called straight from
// search_extra: the reader stays in this frame and is passed on by reference.
inline std::optional<SplitCandidate> raw_lane_search(const TrainingContext& ctx, const TreeWeights& weights,
                                              const SearchRules& rules, std::span<const RowIndex> rows,
                                              const NodeStats& stats, const NodePrep& prep, uint64_t feature,
                                              int8_t constraint, NodeBounds bounds,
                                              std::vector<uint64_t>& constant_features, Rng& rng,
                                              ExtraScratch& scratch) {
  MORVEL_ASSERT(feature < ctx.n_features, "index out of bounds: feature outside the training matrix");
  return with_raw_access_for(ctx, rows.size(), [&](auto access) {
    auto read = [access, feature](uint64_t row) { return access.value(row, feature); };
    return lane_search(ctx, weights, rules, rows, stats, prep, feature, constraint, bounds, constant_features, rng,
                       scratch, read);
  });
}
#endif

}  // namespace morvel::extra
