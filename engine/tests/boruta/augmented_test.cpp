// The augmented accessor and the canonical row order of the Boruta kernel.
#include "boruta/augmented.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "morvel/api.h"

namespace morvel {
namespace {

ViewF64 view_of(const std::vector<double>& values, uint64_t n_rows, uint64_t n_features) {
  return ViewF64{reinterpret_cast<const std::byte*>(values.data()), n_rows, n_features,
                 static_cast<int64_t>(n_features * sizeof(double)), sizeof(double)};
}

StridedView<int64_t> rows_of(const std::vector<int64_t>& values, uint64_t n_rows, uint64_t n_cols) {
  return StridedView<int64_t>{reinterpret_cast<const std::byte*>(values.data()), n_rows, n_cols,
                              static_cast<int64_t>(n_cols * sizeof(int64_t)), sizeof(int64_t)};
}

TEST(AugmentedMatrix, ShadowsReadThroughPermutationRows) {
  // x rows: (10, 20), (11, 21), (12, 22). Active [1, 1]; shadow of feature 0 through [2, 2, 0].
  const std::vector<double> x{10, 20, 11, 21, 12, 22};
  const std::vector<int64_t> perm{2, 2, 0};
  const AugmentedMatrix m(view_of(x, 3, 2), {1, 1}, {0}, rows_of(perm, 1, 3));
  ASSERT_EQ(m.n_columns(), 3u);
  const std::vector<std::vector<double>> expected{{20, 20, 12}, {21, 21, 12}, {22, 22, 10}};
  for (uint64_t r = 0; r < 3; ++r)
    for (uint64_t c = 0; c < 3; ++c) EXPECT_EQ(m.value(r, c), expected[r][c]) << r << "," << c;
  // Gathered in canonical order: position p reads row order[p].
  std::vector<double> column;
  std::vector<double> scratch;
  const std::vector<uint64_t> order{2, 0, 1};
  m.gather_column(2, order, column, scratch);
  EXPECT_EQ(column, (std::vector<double>{10, 12, 12}));
  EXPECT_THROW(m.value(3, 0), InternalError);
  EXPECT_THROW(m.value(0, 3), InternalError);
}

TEST(AugmentedMatrix, OutOfRangeDonorIsCaughtOnRead) {
  const std::vector<double> x{1, 2};
  const std::vector<int64_t> perm{0, 5};
  const AugmentedMatrix m(view_of(x, 2, 1), {0}, {0}, rows_of(perm, 1, 2));
  EXPECT_EQ(m.value(0, 1), 1.0);
  EXPECT_THROW(m.value(1, 1), InternalError);
}

TEST(CanonicalOrder, SortsColumnByColumnThenByLabel) {
  // Column 0 ties between rows 0, 2 and 3 are broken by column 1, then by label.
  const std::vector<double> x{5, 1, 3, 9, 5, 0, 5, 0};
  const std::vector<int64_t> perm{0, 1, 2, 3};
  const AugmentedMatrix m(view_of(x, 4, 2), {0, 1}, {0}, rows_of(perm, 1, 4));
  const std::vector<uint64_t> labels{0, 0, 1, 0};
  EXPECT_EQ(canonical_row_order(m, labels), (std::vector<uint64_t>{1, 3, 2, 0}));
}

TEST(CanonicalOrder, UnorderedValuesAreAnInternalFailure) {
  const std::vector<double> x{1, std::numeric_limits<double>::quiet_NaN(), 1};
  const std::vector<int64_t> perm{0, 1, 2};
  const AugmentedMatrix m(view_of(x, 3, 1), {0}, {0}, rows_of(perm, 1, 3));
  try {
    canonical_row_order(m, std::vector<uint64_t>{0, 1, 0});
    FAIL() << "expected InternalError";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "finite values");
  }
}

}  // namespace
}  // namespace morvel
