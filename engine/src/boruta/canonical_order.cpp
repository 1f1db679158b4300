// Canonical row order of the augmented matrix: the result of a Boruta call must not depend
// on the order of the caller's rows, so all later steps see the rows sorted by value.
#include <algorithm>
#include <numeric>

#include "boruta/augmented.h"
#include "morvel/errors.h"

namespace morvel {

std::vector<uint64_t> canonical_row_order(const AugmentedMatrix& matrix, std::span<const uint64_t> labels) {
  const uint64_t n_rows = matrix.n_rows();
  const uint64_t n_columns = matrix.n_columns();
  MORVEL_ASSERT(labels.size() == n_rows, "index out of bounds: one label per row");
  std::vector<uint64_t> order(n_rows);
  std::iota(order.begin(), order.end(), uint64_t{0});
  // Unstable: rows equal in every column and in the label are interchangeable.
  std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
    for (uint64_t column = 0; column < n_columns; ++column) {
      const double va = matrix.value(a, column);
      const double vb = matrix.value(b, column);
      if (va < vb) return true;
      if (vb < va) return false;
      MORVEL_ASSERT(va == vb, "finite values");
    }
    return labels[a] < labels[b];
  });
  return order;
}

}  // namespace morvel
