// The augmented accessor and the canonical row order of the Boruta kernel.
#include "boruta/augmented.h"
#include "boruta/augmented_binning.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

TEST(AugmentedBinning, SharedFeatureBinsEqualColumnByColumnBinning) {
  // Repeated active features, bijective shadows and shadows with repeated donors, ties, signed
  // zeros and NaN: binning each feature once must give the bytes and edges of binning every
  // column on its own, for one and several workers.
  const uint64_t n = 97, nf = 5;
  std::vector<double> x(n * nf);
  uint64_t state = 12345;
  const auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
  };
  for (uint64_t i = 0; i < x.size(); ++i) {
    const uint64_t r = next() % 23;
    x[i] = r == 0 ? std::nan("") : r == 1 ? -0.0 : static_cast<double>(r % 11) * 0.5;
  }
  const std::vector<uint64_t> active{0, 3, 3, 1};
  const std::vector<uint64_t> sources{4, 2, 0, 3};
  std::vector<int64_t> perm(sources.size() * n);
  for (uint64_t k = 0; k < sources.size(); ++k) {
    std::vector<int64_t> row(n);
    for (uint64_t r = 0; r < n; ++r) row[r] = static_cast<int64_t>(r);
    for (uint64_t r = n - 1; r > 0; --r) std::swap(row[r], row[next() % (r + 1)]);
    if (k % 2 == 1) row[5] = row[6];  // not a permutation: binned on its own
    std::copy(row.begin(), row.end(), perm.begin() + static_cast<std::ptrdiff_t>(k * n));
  }
  const AugmentedMatrix m(view_of(x, n, nf), active, sources, rows_of(perm, sources.size(), n));
  std::vector<uint64_t> order(n);
  for (uint64_t r = 0; r < n; ++r) order[r] = (r * 31) % n;
  const auto gather = [&m, &order](uint64_t column, std::vector<double>& out, std::vector<double>& scratch) {
    m.gather_column(column, order, out, scratch);
  };
  for (const uint64_t bins : {4u, 255u}) {
    for (const uint64_t threads : {1u, 3u}) {
      const BinnedMatrix expected = bin_gathered_columns(gather, n, m.n_columns(), bins, threads);
      const BinnedMatrix got = bin_augmented_columns(m, order, bins, threads);
      EXPECT_EQ(got.bins, expected.bins) << bins << " bins, " << threads << " threads";
      ASSERT_EQ(got.edges.size(), expected.edges.size());
      for (uint64_t c = 0; c < got.edges.size(); ++c) {
        ASSERT_EQ(got.edges[c].size(), expected.edges[c].size()) << c;
        for (uint64_t e = 0; e < got.edges[c].size(); ++e)
          EXPECT_EQ(std::signbit(got.edges[c][e]), std::signbit(expected.edges[c][e]));
      }
      EXPECT_EQ(got.edges, expected.edges);
      EXPECT_EQ(got.has_missing, expected.has_missing);
      EXPECT_TRUE(got.feature_major);
    }
  }
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
