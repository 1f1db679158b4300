// Extra-trees searches: one drawn threshold per feature and node, scored with the shared
// validity rules. The general search serves every class count and matrix form; two-class
// problems take specialised copies (a per-worker value buffer for dense values, a 256-bin
// table for bytes) whose sums run in the same order, so they return the same candidate.
// Raw-value nodes on byte weights without missing values are lane nodes: their statistics
// pass lays the entries' weights out as class planes, and their whole node loop runs with
// the searches inlined (search_lane_node), each an exact integer sum over the planes.
#include "split/extra/extra_trees.h"

#include "morvel/errors.h"
#include "morvel/profile.h"
#include "split/extra/byte_search.h"
#include "split/extra/dense_search.h"
#include "split/extra/general_search.h"
#include "split/extra/lane_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvel {

using namespace extra;

namespace {

// What every extra-trees search does before reading values: a feature already known to be
// constant at the node yields none without drawing; otherwise the visit is counted and timed
// (when profiling) around fn(profile).
template <class Fn>
std::optional<SplitCandidate> profiled_search(const TrainingContext& ctx, std::span<const RowIndex> rows,
                                              uint64_t feature, const std::vector<uint64_t>& constant_features,
                                              Fn&& fn) {
  if (is_listed(constant_features, feature)) return std::nullopt;
  ProfileCounters* profile = ctx.profile.get();
  if (profile != nullptr) {
    profile->add(profile->feature_visits, 1);
    profile->add(profile->sample_visits, rows.size());
  }
  const ScopedNanos timer(profile, &ProfileCounters::split_search_ns);
  return fn(profile);
}

}  // namespace

std::optional<SplitCandidate> search_extra(const TrainingContext& ctx, const TreeWeights& weights,
                                           const SearchRules& rules, std::span<const RowIndex> rows,
                                           const NodeStats& stats, const NodePrep& prep, uint64_t feature,
                                           int8_t constraint, NodeBounds bounds,
                                           std::vector<uint64_t>& constant_features, Rng& rng,
                                           ExtraScratch& scratch) {
  return profiled_search(ctx, rows, feature, constant_features, [&](ProfileCounters* profile) {
#if MORVEL_SIMD_SSE2
    // Raw values of a node measured into class lanes, no value missing.
    if (!ctx.binned && lanes_serve(ctx, rules, rows, stats, prep, scratch, ctx.has_missing))
      return raw_lane_search(ctx, weights, rules, rows, stats, prep, feature, constraint, bounds, constant_features,
                             rng, scratch);
#endif
    // A binned node prepared with its entry bytes (binned_node_stats, prepare_extra_node).
    if (ctx.binned && prep.ready == NodeReady::EntryBytes) {
      if (rules.n_classes == 2) {
        return binary_binned_bytes(ctx, rules, rows, stats, prep, feature, constraint, bounds, constant_features,
                                   rng, scratch, profile);
      }
      return multi_binned_bytes(ctx, rules, rows, stats, prep, feature, constraint, bounds, constant_features, rng,
                                scratch);
    }
    if (rules.n_classes == 2) {
      if (ctx.binned) {
        return binary_binned_search(ctx, weights, rules, rows, stats, feature, constraint, bounds,
                                    constant_features, rng, scratch, profile);
      }
      if (ctx.form != ValueForm::Csr) {
        return with_dense_reader(ctx, feature, rows.size(), scratch, [&](auto& values, auto read) {
          using T = typename std::remove_reference_t<decltype(values)>::value_type;
          return binary_dense_search<T>(ctx, rules, rows, stats, feature, constraint, bounds, constant_features,
                                        rng, values, scratch, profile, read);
        });
      }
    }
    return with_general_reader(ctx, feature, rows.size(), [&](auto read, bool may_miss) {
      return general_search(ctx, weights, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                            scratch, read, may_miss, /*tagged=*/prep.ready == NodeReady::ClassTags);
    });
  });
}

std::optional<SplitCandidate> search_extra_general(const TrainingContext& ctx, const TreeWeights& weights,
                                                   const SearchRules& rules, std::span<const RowIndex> rows,
                                                   const NodeStats& stats, uint64_t feature, int8_t constraint,
                                                   NodeBounds bounds, std::vector<uint64_t>& constant_features,
                                                   Rng& rng, ExtraScratch& scratch) {
  return profiled_search(ctx, rows, feature, constant_features, [&](ProfileCounters*) {
    return with_general_reader(ctx, feature, rows.size(), [&](auto read, bool may_miss) {
      return general_search(ctx, weights, rules, rows, stats, feature, constraint, bounds, constant_features, rng,
                            scratch, read, may_miss, /*tagged=*/false);
    });
  });
}

}  // namespace morvel
