// The augmented accessor, the canonical row order and the argument checks of the Boruta
// kernel, which all run before any training.
#include "boruta/augmented.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "morvel/api.h"
#include "morvel/messages.h"

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

StridedVector<int64_t> vector_of(const std::vector<int64_t>& values) {
  return StridedVector<int64_t>{reinterpret_cast<const std::byte*>(values.data()), values.size(), sizeof(int64_t)};
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

// One valid call, edited by each case to break exactly the checks it names.
struct Call {
  std::vector<double> x{0, 1, 2, 3, 4, 5};  // 3 x 2
  uint64_t n_rows = 3;
  uint64_t n_features = 2;
  std::vector<int64_t> y{0, 1, 1};
  std::vector<int64_t> active{0, 1};
  std::vector<int64_t> sources{1};
  std::vector<int64_t> perm{2, 1, 0};
  uint64_t perm_rows = 1;
  uint64_t perm_cols = 3;
  BorutaSettings settings{1, 1, 0, 16, 6};

  std::string run() const {
    BorutaArrays a{view_of(x, n_rows, n_features), vector_of(y), vector_of(active), vector_of(sources),
                   rows_of(perm, perm_rows, perm_cols)};
    try {
      boruta_gain_importances(a, settings);
    } catch (const ValidationError& e) {
      return e.what();
    } catch (const std::exception& e) {
      return std::string("other: ") + e.what();
    }
    return "ok";
  }
};

TEST(BorutaChecks, FirstFailingCheckDecidesTheMessage) {
  const std::string arrays = msg::kBorutaArrays;
  const std::vector<std::pair<std::function<void(Call&)>, std::string>> cases{
      // A negative label wins over every shape check.
      {[](Call& c) { c.y = {0, -1}; c.n_rows = 0; }, msg::kBorutaLabels},
      {[](Call& c) { c.n_rows = 0; c.y.clear(); }, arrays},
      {[](Call& c) { c.y = {0, 1}; }, arrays},
      {[](Call& c) { c.settings.trees = 0; }, arrays},
      {[](Call& c) { c.settings.depth = 0; }, arrays},
      {[](Call& c) { c.settings.bins = 256; }, arrays},
      {[](Call& c) { c.settings.bins = 1; }, arrays},
      {[](Call& c) { c.sources.clear(); c.perm_rows = 0; }, arrays},
      {[](Call& c) { c.active.clear(); }, arrays},
      {[](Call& c) { c.active = {2}; }, arrays},
      {[](Call& c) { c.sources = {-1}; }, arrays},
      {[](Call& c) { c.perm_cols = 2; }, arrays},
      {[](Call& c) { c.perm = {0, 3, 1}; }, arrays},
      {[](Call& c) { c.x[5] = std::numeric_limits<double>::infinity(); }, arrays},
      {[](Call& c) { c.x[0] = std::numeric_limits<double>::quiet_NaN(); }, arrays},
      // Kernel checks, after the canonical order.
      {[](Call& c) { c.y = {0, 0, 0}; }, msg::kBorutaClasses},
      {[](Call& c) { c.y = {0, 3, 1}; }, msg::kBorutaClasses},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    Call call;
    cases[i].first(call);
    EXPECT_EQ(call.run(), cases[i].second) << "case " << i;
  }
}

}  // namespace
}  // namespace morvel
