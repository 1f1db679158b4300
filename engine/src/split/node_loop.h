// The node loop's shared pieces (forced inline where they run once per searched feature: large
// translation units otherwise exhaust the compiler's inlining budget before reaching them): the feature-pool draws of extra trees, the rule that keeps a
// node's best candidate, and the extra-trees loop itself, which the grower runs around any
// per-feature search and the whole-node byte searches run around their own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "morvel/errors.h"
#include "morvel/messages.h"
#include "data/rng.h"
#include "split/criteria.h"

namespace morvel {

namespace detail {

// Rng::draw_without_replacement for pools of up to `size` items, the same draws without its
// two divisions per draw: for each pool size a, below(a)'s rejection threshold 2^64 mod a and
// the multiplier M = floor((2^64 - 1) / a) + 1, with which v mod a of a 32-bit word v is
// ((M * v mod 2^64) * a) >> 64 (Lemire, Kaser and Kurz, "Faster remainder by direct
// computation", 2019: exact for 32-bit v and a).
class PoolDraws {
 public:
  void prepare(uint64_t size) {
    if (threshold_.size() == size + 1) return;
    MORVEL_ASSERT(size < (uint64_t{1} << 32), "assertion failed: feature pool fits 32-bit draws");
    threshold_.assign(size + 1, 0);
    magic_.assign(size + 1, 0);
    for (uint64_t a = 1; a <= size; ++a) {
      threshold_[a] = (0 - a) % a;
      magic_[a] = ~uint64_t{0} / a + 1;
    }
  }

  // The drawn item is swapped to pool[available - 1] and returned; one item left draws nothing.
  template <class T>
  [[gnu::always_inline]] T draw(Rng& rng, std::span<T> pool, uint64_t available) const {
    MORVEL_ASSERT(available <= pool.size(), msg::kUpToPositive);
    const uint64_t b = below(rng, available);
    std::swap(pool[b], pool[available - 1]);
    return pool[available - 1];
  }

  // rng.below(up_to) for 0 < up_to <= size: the same draws, without its two divisions.
  [[gnu::always_inline]] uint64_t below(Rng& rng, uint64_t up_to) const {
    MORVEL_ASSERT(up_to > 0 && up_to < threshold_.size(), msg::kUpToPositive);
    if (up_to == 1) return 0;
    const uint64_t threshold = threshold_[up_to];
    uint64_t v;
    do {
      v = rng.next_u32();
    } while (v < threshold);
    return static_cast<uint64_t>((static_cast<unsigned __int128>(magic_[up_to] * v) * up_to) >> 64);
  }

  // Largest up_to that below() serves.
  uint64_t size() const { return threshold_.empty() ? 0 : threshold_.size() - 1; }

 private:
  std::vector<uint64_t> threshold_;
  std::vector<uint64_t> magic_;
};

}  // namespace detail

// What a node's search kept of its winning feature for the node's partition, which then reads
// it in list order instead of the matrix column: nothing, its values or its bins. The split
// carries it with the stamp of the search that kept it, and the partition reads the column
// only while that search is still the last one of its worker (the stamp is current).
enum class KeptColumn : uint8_t { None, Values, Bins };

struct KeptToken {
  KeptColumn column = KeptColumn::None;
  uint64_t stamp = 0;
};

// The winner of a node's feature loop.
struct NodeSplit {
  uint64_t feature = 0;
  SplitCandidate candidate;
  KeptToken kept;
};

// Keeps the best candidate by gain. Ties on gain are settled by a reservoir draw: with t
// candidates tied so far, the newest replaces the incumbent when below(t) == 0, so each
// survives with probability 1/t. `draws`, when given, makes that draw without divisions (tiny
// nodes tie often: their few rows split the same way on most features). Returns whether
// `candidate` became the best.
[[gnu::always_inline]] inline bool consider_candidate(std::optional<NodeSplit>& best, uint64_t& ties, uint64_t feature,
                               const SplitCandidate& candidate, Rng& rng,
                               const detail::PoolDraws* draws = nullptr) {
  if (!best || candidate.gain > best->candidate.gain) {
    best = NodeSplit{feature, candidate, KeptToken{}};
    ties = 1;
    return true;
  }
  if (candidate.gain == best->candidate.gain) {
    ++ties;
    const uint64_t drawn = draws != nullptr && ties <= draws->size() ? draws->below(rng, ties) : rng.below(ties);
    if (drawn == 0) {
      best = NodeSplit{feature, candidate, KeptToken{}};
      return true;
    }
  }
  return false;
}

// The extra-trees node loop. pool[0..available) holds the undrawn features, and each draw
// moves its feature to pool[available - 1]; every candidate becomes undrawn again at each
// node, in the order the earlier draws left behind. A feature known (or found by `search`,
// which appends it to `constant_features`) to be constant at the node does not count toward
// max_features. The loop stops once a valid candidate exists and max_features counted
// features were searched, or when the pool is exhausted. `search(feature)` returns the
// feature's candidate; `took(feature)` runs right after a candidate becomes the best.
template <class Search, class Took>
std::optional<NodeSplit> extra_node_loop(std::vector<uint64_t>& pool, const detail::PoolDraws& draws, Rng& rng,
                                         std::vector<uint64_t>& constant_features, uint64_t max_features,
                                         Search&& search, Took&& took) {
  std::optional<NodeSplit> best;
  uint64_t ties = 0;
  uint64_t available = pool.size();
  uint64_t counted = 0;
  while (available > 0) {
    const uint64_t feature = draws.draw(rng, std::span<uint64_t>(pool), available);
    --available;
    if (std::find(constant_features.begin(), constant_features.end(), feature) != constant_features.end()) continue;
    const size_t known_constant = constant_features.size();
    const std::optional<SplitCandidate> candidate = search(feature);
    if (constant_features.size() == known_constant) ++counted;
    if (candidate && consider_candidate(best, ties, feature, *candidate, rng, &draws)) took(feature);
    if (best && counted >= max_features) break;
  }
  return best;
}

}  // namespace morvel
