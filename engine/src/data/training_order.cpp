// The canonical training order of a dense input: a permutation of the caller's rows that
// depends only on the rows' contents, so that shuffling the input rows (with their labels)
// does not change the fitted forest.
//
// Rows are sorted by column 0; only groups still tied on every column so far are refined by
// the next column, so distinct first-column values cost a single sort. Rows identical in
// every feature are ordered by label, and rows tied on that too keep their input position
// (every sort is stable).
#include <algorithm>
#include <cmath>
#include <utility>

#include "morvel/data.h"
#include "morvel/errors.h"
#include "morvel/messages.h"

namespace morvel {
namespace {

// NaN after every number, all NaNs equal, -0.0 equal to +0.0.
bool value_less(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }
bool value_equal(double a, double b) { return !value_less(a, b) && !value_less(b, a); }

struct Group {
  uint64_t begin;  // first position in the order
  uint64_t end;    // one past the last position
};

using Keyed = std::pair<double, uint64_t>;  // (value, row)

// Stable-sorts `keyed` by value, writes the rows back into order[offset..], and appends the
// runs of two or more equal values to `groups`.
void sort_and_split(std::vector<Keyed>& keyed, std::vector<uint64_t>& order, uint64_t offset,
                    std::vector<Group>& groups) {
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const Keyed& a, const Keyed& b) { return value_less(a.first, b.first); });
  uint64_t run_start = 0;
  for (uint64_t i = 0; i < keyed.size(); ++i) {
    order[offset + i] = keyed[i].second;
    const bool run_ends = i + 1 == keyed.size() || !value_equal(keyed[i].first, keyed[i + 1].first);
    if (run_ends) {
      if (i + 1 - run_start >= 2) groups.push_back({offset + run_start, offset + i + 1});
      run_start = i + 1;
    }
  }
}

}  // namespace

template <class T>
std::vector<uint64_t> build_training_order(const StridedView<T>& x, std::span<const int64_t> y) {
  if (x.n_rows != y.size()) throw ValidationError(msg::kRowCountMismatch);
  const uint64_t n = x.n_rows;
  std::vector<uint64_t> order(n);
  std::vector<Group> open;

  if (x.n_features == 0) {
    for (uint64_t r = 0; r < n; ++r) order[r] = r;
    if (n >= 2) open.push_back({0, n});
  } else {
    std::vector<Keyed> keyed(n);
    for (uint64_t r = 0; r < n; ++r) keyed[r] = {static_cast<double>(x.at(r, 0)), r};
    sort_and_split(keyed, order, 0, open);

    std::vector<Group> next;
    for (uint64_t c = 1; c < x.n_features && !open.empty(); ++c) {
      next.clear();
      for (const Group& g : open) {
        keyed.resize(g.end - g.begin);
        for (uint64_t i = g.begin; i < g.end; ++i)
          keyed[i - g.begin] = {static_cast<double>(x.at(order[i], c)), order[i]};
        sort_and_split(keyed, order, g.begin, next);
      }
      open.swap(next);
    }
  }

  // Rows identical in every feature: label ascending as signed values, then input position
  // (which is the order they already have within the group).
  for (const Group& g : open) {
    std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(g.begin),
                     order.begin() + static_cast<std::ptrdiff_t>(g.end),
                     [&y](uint64_t a, uint64_t b) { return y[a] < y[b]; });
  }
  return order;
}

template std::vector<uint64_t> build_training_order(const StridedView<float>&, std::span<const int64_t>);
template std::vector<uint64_t> build_training_order(const StridedView<double>&, std::span<const int64_t>);

}  // namespace morvel
