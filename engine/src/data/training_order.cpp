// The canonical training order of a dense input: a permutation of the caller's rows that
// depends only on the rows' contents, so that shuffling the input rows (with their labels)
// does not change the fitted forest.
//
// Rows are sorted by column 0; only groups still tied on every column so far are refined by
// the next column, so distinct first-column values cost a single sort. Rows identical in
// every feature are ordered by label, then by weight (when there are weights), and rows tied
// on those too keep their input position (every sort is stable). The weight matters: two such
// rows with different weights are not interchangeable, so leaving them in input order would
// let a shuffle of weighted rows change the forest.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <utility>

#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"

namespace morvel {
namespace {

// The sign-flip mapping of IEEE-754 bits to unsigned integers: a total order on bit patterns
// that agrees with the value order on numbers (-0.0 sorts before +0.0).
uint64_t bits_key(double v) {
  constexpr uint64_t kSign = uint64_t{1} << 63;
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  return (bits & kSign) != 0 ? ~bits : bits | kSign;
}

// An unsigned key whose integer order is the value order: NaN after every number with all
// NaNs equal, and -0.0 equal to +0.0. Sorting (key, row) pairs then needs no floating-point
// comparisons.
uint64_t order_key(double v) {
  if (std::isnan(v)) return ~uint64_t{0};
  if (v == 0.0) v = 0.0;
  return bits_key(v);
}

struct Group {
  uint64_t begin;  // first position in the order
  uint64_t end;    // one past the last position
};

using Keyed = std::pair<uint64_t, uint64_t>;  // (key, row)

// Sorts by key, stably. Small inputs compare (key, row) pairs: rows that tie on every column
// so far are still in ascending row order (induction over the columns), so that equals a
// stable sort by key. Larger ones use a least-significant-byte radix sort, which is stable
// by construction and skips the bytes that all keys share (the high bytes of nearby values,
// every byte of a constant column).
void sort_by_key(std::vector<Keyed>& keyed, std::vector<Keyed>& scratch) {
  const size_t n = keyed.size();
  if (n <= 64) {
    std::sort(keyed.begin(), keyed.end());
    return;
  }
  std::vector<std::array<size_t, 256>> counts(8);
  for (auto& c : counts) c.fill(0);
  for (const Keyed& e : keyed)
    for (int b = 0; b < 8; ++b) ++counts[b][(e.first >> (8 * b)) & 0xFF];
  scratch.resize(n);
  for (int b = 0; b < 8; ++b) {
    std::array<size_t, 256>& c = counts[b];
    if (c[(keyed[0].first >> (8 * b)) & 0xFF] == n) continue;
    size_t start = 0;
    for (size_t& slot : c) {
      const size_t len = slot;
      slot = start;
      start += len;
    }
    for (const Keyed& e : keyed) scratch[c[(e.first >> (8 * b)) & 0xFF]++] = e;
    keyed.swap(scratch);
  }
}

// Sorts `keyed` by key, writes the rows back into order[offset..], and appends the runs of
// two or more equal keys to `groups`.
void sort_and_split(std::vector<Keyed>& keyed, std::vector<Keyed>& scratch, std::vector<RowIndex>& order,
                    uint64_t offset, std::vector<Group>& groups) {
  sort_by_key(keyed, scratch);
  uint64_t run_start = 0;
  for (uint64_t i = 0; i < keyed.size(); ++i) {
    order[offset + i] = static_cast<RowIndex>(keyed[i].second);
    const bool run_ends = i + 1 == keyed.size() || keyed[i].first != keyed[i + 1].first;
    if (run_ends) {
      if (i + 1 - run_start >= 2) groups.push_back({offset + run_start, offset + i + 1});
      run_start = i + 1;
    }
  }
}

}  // namespace

template <class T>
std::vector<RowIndex> build_training_order(const StridedView<T>& x, std::span<const int64_t> y,
                                           std::span<const double> weights) {
  if (x.n_rows != y.size()) throw ValidationError(msg::kRowCountMismatch);
  check_fit_rows(x.n_rows);
  const uint64_t n = x.n_rows;
  std::vector<RowIndex> order(n);
  std::vector<Group> open;

  if (x.n_features == 0) {
    for (uint64_t r = 0; r < n; ++r) order[r] = static_cast<RowIndex>(r);
    if (n >= 2) open.push_back({0, n});
  } else {
    std::vector<Keyed> keyed(n);
    std::vector<Keyed> scratch;
    for (uint64_t r = 0; r < n; ++r) keyed[r] = {order_key(static_cast<double>(x.at(r, 0))), r};
    sort_and_split(keyed, scratch, order, 0, open);

    std::vector<Group> next;
    for (uint64_t c = 1; c < x.n_features && !open.empty(); ++c) {
      checkpoint();
      next.clear();
      for (const Group& g : open) {
        keyed.resize(g.end - g.begin);
        for (uint64_t i = g.begin; i < g.end; ++i)
          keyed[i - g.begin] = {order_key(static_cast<double>(x.at(order[i], c))), order[i]};
        sort_and_split(keyed, scratch, order, g.begin, next);
      }
      open.swap(next);
    }
  }

  // Rows identical in every feature: label ascending as signed values, then weight, then
  // input position. A weight vector of the wrong length is refused later by the driver, so it
  // orders nothing here.
  const bool weighted = !weights.empty() && weights.size() == n;
  for (const Group& g : open) {
    std::sort(order.begin() + static_cast<std::ptrdiff_t>(g.begin), order.begin() + static_cast<std::ptrdiff_t>(g.end),
              [&y, &weights, weighted](RowIndex a, RowIndex b) {
                if (y[a] != y[b]) return y[a] < y[b];
                if (weighted) {
                  // Every bit pattern has its own place, so weights equal in value but not in
                  // bits are ordered too and nothing about them depends on input order.
                  const uint64_t wa = bits_key(weights[a]);
                  const uint64_t wb = bits_key(weights[b]);
                  if (wa != wb) return wa < wb;
                }
                return a < b;
              });
  }
  return order;
}

template std::vector<RowIndex> build_training_order(const StridedView<float>&, std::span<const int64_t>,
                                                    std::span<const double>);
template std::vector<RowIndex> build_training_order(const StridedView<double>&, std::span<const int64_t>,
                                                    std::span<const double>);

}  // namespace morvel
