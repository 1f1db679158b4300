// The lane-node loop: the whole extra-trees node loop of a raw-value node measured into class
// planes, each search inlined.
#include "split/extra/extra_trees.h"

#include "morvel/errors.h"
#include "split/extra/class_lanes.h"
#include "split/extra/extremes.h"
#include "split/extra/whole_scoring.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel {

using namespace extra;

namespace {

// Where a lane node reads its values as float64 at base_f[index[i]]: a feature-major column at
// the rows themselves, or the row-major matrix at each row's offset (row * n_features,
// computed once per node, when 32 bits reach every value); null when the values are read one
// by one through the access.
template <class Access>
const uint32_t* lane_gather_index(const TrainingContext& ctx, std::span<const RowIndex> rows, ExtraScratch& scratch) {
  if constexpr (std::is_same_v<Access, DenseAccess>) {
    const uint64_t n_features = ctx.n_features;
    if (ctx.n_rows * n_features > std::numeric_limits<uint32_t>::max()) return nullptr;
    const uint64_t n = rows.size();
    if (scratch.entry_offsets.size() < n) scratch.entry_offsets.resize(n);
    uint32_t* offsets = scratch.entry_offsets.data();
    for (uint64_t i = 0; i < n; ++i) offsets[i] = static_cast<uint32_t>(rows[i] * n_features);
    return offsets;
  } else if constexpr (std::is_same_v<Access, FeatureMajorAccess<double>>) {
    static_assert(std::is_same_v<RowIndex, uint32_t>);
    return rows.data();
  } else {
    return nullptr;
  }
}

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
  double* values = scratch.values.data();
  const uint8_t* planes = scratch.entry_planes.data();
  const uint64_t extra_seed = ctx.growth.extra_seed;
  const uint64_t n_features = ctx.n_features;
  const NodeSums<K> node(stats);
#if MORVEL_SIMD_SSE2
  const bool vector_gini = gini_forms(rules) && node.total < (uint64_t{1} << 31);
  __m128i node_lanes[K];  // the class sums in pairs (plane_node_lanes)
  plane_node_lanes<K>(node.class_sums, node_lanes);
#endif
  constexpr bool kDense = std::is_same_v<Access, DenseAccess>;
  constexpr bool kColumn = std::is_same_v<Access, FeatureMajorAccess<double>>;
  const uint32_t* index = lane_gather_index<Access>(ctx, rows, scratch);
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
#if MORVEL_SIMD_SSE2
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
    // Lane nodes read raw values, so no search of theirs gathered bins to keep.
    std::swap(scratch.values, scratch.kept_values);
    values = scratch.values.data();
    scratch.kept = KeptColumn::Values;
    scratch.kept_feature = feature;
  });
}

template <class Access>
std::optional<NodeSplit> lane_node_with(const TrainingContext& ctx, const SearchRules& rules,
                                        std::span<const RowIndex> rows, const NodeStats& stats, NodeBounds bounds,
                                        std::vector<uint64_t>& constant_features, Rng& rng,
                                        std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                        uint64_t max_features, ExtraScratch& scratch, Access access) {
  return with_class_count_in<2, kTagLanes>(
      rules.n_classes,
      [&](auto classes) {
        return lane_node_for<decltype(classes)::value>(ctx, rules, rows, stats, bounds, constant_features, rng, pool,
                                                       draws, max_features, scratch, access);
      },
      []() -> std::optional<NodeSplit> { throw_internal("lane nodes take two to eight classes"); });
}

}  // namespace

std::optional<NodeSplit> search_lane_node(const TrainingContext& ctx, const SearchRules& rules,
                                          std::span<const RowIndex> rows, const NodeStats& stats,
                                          const NodePrep& prep, NodeBounds bounds,
                                          std::vector<uint64_t>& constant_features, Rng& rng,
                                          std::vector<uint64_t>& pool, const detail::PoolDraws& draws,
                                          uint64_t max_features, ExtraScratch& scratch) {
  MORVEL_ASSERT(prep.ready == NodeReady::ClassPlanes && prep.rows_checked && !ctx.binned && !ctx.has_missing &&
                    rules.n_classes >= 2 && rules.n_classes <= kTagLanes && ctx.n_classes == rules.n_classes &&
                    stats.class_weight.size() == rules.n_classes &&
                    scratch.entry_planes.size() >= plane_bytes(rows.size(), rules.n_classes),
                "assertion failed: a lane-node search needs a node measured into class planes");
  return with_raw_access_for(ctx, rows.size(), [&](auto access) {
    return lane_node_with(ctx, rules, rows, stats, bounds, constant_features, rng, pool, draws, max_features,
                          scratch, access);
  });
}

}  // namespace morvel
