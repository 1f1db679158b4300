// Tie rules of the canonical training order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "morvel/data.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// Row-major storage behind a view.
template <class T>
struct Table {
  std::vector<T> cells;
  uint64_t rows;
  uint64_t cols;
  StridedView<T> view() const {
    return {reinterpret_cast<const std::byte*>(cells.data()), rows, cols,
            static_cast<int64_t>(cols * sizeof(T)), static_cast<int64_t>(sizeof(T))};
  }
};

std::vector<uint64_t> order_of(const Table<double>& t, const std::vector<int64_t>& y) {
  const std::vector<RowIndex> order = build_training_order(t.view(), std::span<const int64_t>(y));
  return std::vector<uint64_t>(order.begin(), order.end());
}

TEST(TrainingOrder, SortsByFirstColumnWithNanLastAndStableTies) {
  // Column 0: 3, NaN, 1, NaN, 1 -> 1 (rows 2, 4 tie: column 1 decides), 3, NaN rows in input order.
  const Table<double> t{{3, 0, kNan, 5, 1, 9, kNan, 5, 1, 2}, 5, 2};
  EXPECT_EQ(order_of(t, {0, 0, 0, 0, 0}), (std::vector<uint64_t>{4, 2, 0, 1, 3}));
}

TEST(TrainingOrder, LaterColumnsOnlyBreakTiesOfEarlierColumns) {
  // Rows 0 and 2 tie on column 0; column 1 orders them. Row 1 has the smallest column-1 value
  // but a larger column-0 value, so it stays last.
  const Table<double> t{{1, 5, 2, -7, 1, 4}, 3, 2};
  EXPECT_EQ(order_of(t, {0, 0, 0}), (std::vector<uint64_t>{2, 0, 1}));
}

TEST(TrainingOrder, SignedZerosAndNansAreEqualThenLabelThenPosition) {
  // All four rows are identical under the value order (-0.0 == +0.0, NaN == NaN).
  const Table<double> t{{-0.0, kNan, 0.0, kNan, 0.0, kNan, -0.0, kNan}, 4, 2};
  EXPECT_EQ(order_of(t, {1, 0, 1, -3}), (std::vector<uint64_t>{3, 1, 0, 2}));
}

TEST(TrainingOrder, DuplicateRowsOrderedByLabel) {
  const Table<double> t{{2, 2, 2, 2, 0, 0}, 3, 2};
  EXPECT_EQ(order_of(t, {1, 0, 5}), (std::vector<uint64_t>{2, 1, 0}));
}

TEST(TrainingOrder, ZeroFeaturesSortsByLabel) {
  const Table<double> t{{}, 4, 0};
  EXPECT_EQ(order_of(t, {2, 1, 2, 0}), (std::vector<uint64_t>{3, 1, 0, 2}));
}

TEST(TrainingOrder, InvariantUnderRowPermutation) {
  // Selecting (row contents, label) through the order gives the same sequence for any input
  // permutation; groups longer than 64 rows take the radix path.
  const uint64_t n = 600;
  Table<double> t{std::vector<double>(n * 3), n, 3};
  std::vector<int64_t> y(n);
  for (uint64_t r = 0; r < n; ++r) {
    t.cells[r * 3] = static_cast<double>(r % 4);
    t.cells[r * 3 + 1] = (r % 7 == 0) ? kNan : static_cast<double>(r % 3);
    t.cells[r * 3 + 2] = static_cast<double>((r * 13) % 5);
    y[r] = static_cast<int64_t>(r % 2);
  }
  Table<double> p{std::vector<double>(n * 3), n, 3};
  std::vector<int64_t> py(n);
  for (uint64_t r = 0; r < n; ++r) {
    const uint64_t src = (r * 37 + 11) % n;  // 37 is coprime with 600
    for (uint64_t c = 0; c < 3; ++c) p.cells[r * 3 + c] = t.cells[src * 3 + c];
    py[r] = y[src];
  }
  const auto a = order_of(t, y);
  const auto b = order_of(p, py);
  for (uint64_t i = 0; i < n; ++i) {
    for (uint64_t c = 0; c < 3; ++c) {
      const double va = t.cells[a[i] * 3 + c];
      const double vb = p.cells[b[i] * 3 + c];
      EXPECT_TRUE((std::isnan(va) && std::isnan(vb)) || va == vb) << i;
    }
    EXPECT_EQ(y[a[i]], py[b[i]]);
  }
}

TEST(TrainingOrder, ReadsFloat32AndStridedColumnMajor) {
  // Column-major float32 storage: column 0 = {2, 1, 2}, column 1 = {0, 7, -1}.
  const std::vector<float> cells{2, 1, 2, 0, 7, -1};
  const StridedView<float> view{reinterpret_cast<const std::byte*>(cells.data()), 3, 2, sizeof(float),
                                3 * sizeof(float)};
  const std::vector<int64_t> y{0, 0, 0};
  EXPECT_EQ(build_training_order(view, std::span<const int64_t>(y)), (std::vector<RowIndex>{1, 2, 0}));
}

TEST(TrainingOrder, RowCountMismatch) {
  const Table<double> t{{1, 2}, 2, 1};
  try {
    order_of(t, {0});
    FAIL();
  } catch (const ValidationError& e) {
    EXPECT_STREQ(e.what(), "X and y must contain the same number of rows");
  }
}

}  // namespace
}  // namespace morvel
