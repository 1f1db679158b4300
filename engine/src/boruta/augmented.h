// The augmented matrix of one Boruta call: active columns of the caller's x followed by
// shadow columns whose rows are taken through permutation rows. It is never materialised as
// floats; every read goes through value(), which checks every index against the shapes of
// the borrowed arrays.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "morvel/api.h"
#include "morvel/errors.h"

namespace morvel {

class AugmentedMatrix {
 public:
  // `active` and `sources` are the validated feature indices of the call.
  AugmentedMatrix(const ViewF64& x, std::vector<uint64_t> active, std::vector<uint64_t> sources,
                  const StridedView<int64_t>& permutations)
      : x_(x), active_(std::move(active)), sources_(std::move(sources)), permutations_(permutations) {}

  uint64_t n_rows() const { return x_.n_rows; }
  uint64_t n_columns() const { return active_.size() + sources_.size(); }

  // out[p] = value(order[p], column) for every position p. The source feature is first
  // read down its column in row order (a constant stride the prefetcher follows), so the
  // donor rows of a shadow and the canonical order then only visit that small gathered
  // column. `scratch` is reused.
  void gather_column(uint64_t column, std::span<const uint64_t> order, std::vector<double>& out,
                     std::vector<double>& scratch) const {
    const uint64_t n = x_.n_rows;
    MORVEL_ASSERT(column < n_columns() && order.size() == n, "index out of bounds: augmented column");
    const uint64_t n_active = active_.size();
    const bool shadow = column >= n_active;
    const uint64_t k = shadow ? column - n_active : 0;
    const uint64_t feature = shadow ? sources_[k] : active_[column];
    MORVEL_ASSERT(feature < x_.n_features, shadow ? "index out of bounds: shadow source feature"
                                                  : "index out of bounds: active feature");
    MORVEL_ASSERT(!shadow || (k < permutations_.n_rows && n <= permutations_.n_features),
                  "index out of bounds: shadow column");
    scratch.resize(n);
    for (uint64_t r = 0; r < n; ++r) scratch[r] = x_.at(r, feature);
    out.resize(n);
    for (uint64_t p = 0; p < n; ++p) {
      const uint64_t row = order[p];
      MORVEL_ASSERT(row < n, "index out of bounds: augmented row");
      if (!shadow) {
        out[p] = scratch[row];
        continue;
      }
      const int64_t donor = permutations_.at(k, row);
      MORVEL_ASSERT(donor >= 0 && static_cast<uint64_t>(donor) < n, "index out of bounds: permutation entry");
      out[p] = scratch[static_cast<uint64_t>(donor)];
    }
  }

  uint64_t n_active() const { return active_.size(); }
  uint64_t n_features() const { return x_.n_features; }
  uint64_t active_feature(uint64_t j) const { return active_.at(j); }
  uint64_t source_feature(uint64_t k) const { return sources_.at(k); }

  // x[row, feature], bounds-checked.
  double feature_value(uint64_t row, uint64_t feature) const {
    MORVEL_ASSERT(row < x_.n_rows && feature < x_.n_features, "index out of bounds: x");
    return x_.at(row, feature);
  }

  // The row of x that shadow k takes at `row`, bounds-checked.
  uint64_t donor(uint64_t k, uint64_t row) const {
    MORVEL_ASSERT(k < permutations_.n_rows && row < permutations_.n_features, "index out of bounds: shadow column");
    const int64_t d = permutations_.at(k, row);
    MORVEL_ASSERT(d >= 0 && static_cast<uint64_t>(d) < x_.n_rows, "index out of bounds: permutation entry");
    return static_cast<uint64_t>(d);
  }

  // Whether permutation row k visits every row of x exactly once. `seen` is scratch.
  bool is_bijection(uint64_t k, std::vector<uint8_t>& seen) const {
    const uint64_t n = x_.n_rows;
    seen.assign(n, 0);
    for (uint64_t r = 0; r < n; ++r) {
      const uint64_t d = donor(k, r);
      if (seen[d] != 0) return false;
      seen[d] = 1;
    }
    return true;
  }

  // Column j < A reads x[row, active[j]]; column A + k reads x[permutations[k, row], sources[k]].
  double value(uint64_t row, uint64_t column) const {
    MORVEL_ASSERT(row < x_.n_rows, "index out of bounds: augmented row");
    const uint64_t n_active = active_.size();
    if (column < n_active) {
      const uint64_t feature = active_[column];
      MORVEL_ASSERT(feature < x_.n_features, "index out of bounds: active feature");
      return x_.at(row, feature);
    }
    const uint64_t k = column - n_active;
    MORVEL_ASSERT(k < sources_.size() && k < permutations_.n_rows && row < permutations_.n_features,
                  "index out of bounds: shadow column");
    const int64_t donor = permutations_.at(k, row);
    MORVEL_ASSERT(donor >= 0 && static_cast<uint64_t>(donor) < x_.n_rows, "index out of bounds: permutation entry");
    const uint64_t feature = sources_[k];
    MORVEL_ASSERT(feature < x_.n_features, "index out of bounds: shadow source feature");
    return x_.at(static_cast<uint64_t>(donor), feature);
  }

 private:
  ViewF64 x_;
  std::vector<uint64_t> active_;
  std::vector<uint64_t> sources_;
  StridedView<int64_t> permutations_;
};

// Row positions 0..n_rows-1 sorted by augmented values, column by column, then by label.
// An unordered pair of values (only possible with NaN, which the caller has refused) is the
// internal failure "finite values".
std::vector<uint64_t> canonical_row_order(const AugmentedMatrix& matrix, std::span<const uint64_t> labels);

}  // namespace morvel
