// Message order of the matrix, CSR and weight checks, and the dense copy through an order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "morvel/data.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::string message_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const ValidationError& e) {
    return e.what();
  }
  return "<no error>";
}

DenseMatrix dense(std::vector<double> values, uint64_t rows, uint64_t cols) {
  return DenseMatrix{UninitVector<double>(values.begin(), values.end()), rows, cols};
}

TEST(ValidateDense, FirstFailureWins) {
  EXPECT_EQ(message_of([] { validate_dense(dense({}, 0, 0)); }), "X must contain at least one row");
  EXPECT_EQ(message_of([] { validate_dense(dense({kInf}, 1, 0)); }), "X must contain at least one feature");
  EXPECT_EQ(message_of([] { validate_dense(dense({kInf}, uint64_t{1} << 33, uint64_t{1} << 31)); }),
            "X shape is too large");
  EXPECT_EQ(message_of([] { validate_dense(dense({kInf, 1.0}, 1, 3)); }), "X buffer length does not match its shape");
  EXPECT_EQ(message_of([] { validate_dense(dense({kNan, -kInf}, 1, 2)); }), "X must not contain infinite values");
  EXPECT_EQ(message_of([] { validate_dense(dense({kNan, -0.0}, 2, 1)); }), "<no error>");
}

CsrMatrix csr(std::vector<uint64_t> indptr, std::vector<uint64_t> indices, std::vector<double> data, uint64_t rows,
              uint64_t cols) {
  return CsrMatrix{std::move(indptr), std::move(indices), std::move(data), rows, cols};
}

struct CsrCase {
  const char* name;
  CsrMatrix matrix;
  const char* message;
};

TEST(ValidateCsr, FirstFailureWins) {
  const std::vector<CsrCase> cases = {
      {"no rows", csr({0}, {}, {}, 0, 5), "X must contain at least one row"},
      {"no features", csr({9}, {}, {}, 1, 0), "X must contain at least one feature"},
      {"short indptr", csr({0}, {}, {}, 1, 2), "invalid CSR matrix structure"},
      {"nonzero start", csr({1, 1}, {}, {}, 1, 2), "invalid CSR matrix structure"},
      {"decreasing", csr({0, 2, 1, 2}, {0, 1}, {1, 1}, 3, 2), "invalid CSR matrix structure"},
      {"end past data", csr({0, 2}, {0}, {1}, 1, 2), "invalid CSR matrix structure"},
      {"indices vs data", csr({0, 1}, {0, 1}, {1}, 1, 2), "invalid CSR matrix structure"},
      {"max rows", csr({}, {}, {}, std::numeric_limits<uint64_t>::max(), 2), "invalid CSR matrix structure"},
      {"column out of range", csr({0, 1}, {2}, {kInf}, 1, 2), "CSR column indices must be sorted and unique"},
      {"unsorted", csr({0, 2}, {1, 0}, {1, 1}, 1, 2), "CSR column indices must be sorted and unique"},
      {"duplicate", csr({0, 2}, {1, 1}, {1, 1}, 1, 2), "CSR column indices must be sorted and unique"},
      {"infinite", csr({0, 1, 2}, {1, 1}, {kNan, -kInf}, 2, 2), "X must not contain infinite values"},
      // Indices restart in each row; an empty row is fine.
      {"valid", csr({0, 2, 2, 3}, {0, 1, 0}, {kNan, 1, 2}, 3, 2), "<no error>"},
  };
  for (const CsrCase& c : cases) EXPECT_EQ(message_of([&] { validate_csr(c.matrix); }), c.message) << c.name;
}

TEST(CsrFromArrays, RefusesNegativesThenInfinities) {
  const std::vector<int64_t> good_ptr{0, 1}, bad_ptr{0, -1}, good_idx{0}, bad_idx{-2};
  const std::vector<double> inf_data{kInf}, data{3.5};
  EXPECT_EQ(message_of([&] { csr_from_arrays(bad_ptr, bad_idx, inf_data, 1, 1); }), "invalid CSR row pointer");
  EXPECT_EQ(message_of([&] { csr_from_arrays(good_ptr, bad_idx, inf_data, 1, 1); }), "invalid CSR column index");
  EXPECT_EQ(message_of([&] { csr_from_arrays(good_ptr, good_idx, inf_data, 1, 1); }),
            "X must not contain infinite values");
  const CsrMatrix m = csr_from_arrays(good_ptr, good_idx, data, 1, 4);
  EXPECT_EQ(m.indptr, (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(m.indices, (std::vector<uint64_t>{0}));
  EXPECT_EQ(m.n_rows, 1u);
  EXPECT_EQ(m.n_features, 4u);
  EXPECT_EQ(m.at(0, 0), 3.5);
  EXPECT_EQ(m.at(0, 3), 0.0);
}

TEST(ValidateWeights, FirstFailureWinsAndSumIsLeftToRight) {
  const double big = std::numeric_limits<double>::max();
  EXPECT_EQ(message_of([] { validate_weights(std::vector<double>{0.0, kNan}); }),
            "sample_weight must contain finite non-negative values");
  EXPECT_EQ(message_of([] { validate_weights(std::vector<double>{1.0, -1e-300}); }),
            "sample_weight must contain finite non-negative values");
  EXPECT_EQ(message_of([] { validate_weights(std::vector<double>{kInf}); }),
            "sample_weight must contain finite non-negative values");
  EXPECT_EQ(message_of([] { validate_weights(std::vector<double>{0.0, -0.0}); }), "sample_weight cannot be all zero");
  EXPECT_EQ(message_of([&] { validate_weights(std::vector<double>{big, big}); }), "sample_weight sum must be finite");
  // The smallest subnormal is above zero, so its sum is positive.
  EXPECT_EQ(validate_weights(std::vector<double>{-0.0, 5e-324}), 5e-324);
  // Left to right: (1 + 2^-53) + 2^-53 rounds to 1 twice; the other grouping would not.
  const double tiny = std::ldexp(1.0, -53);
  EXPECT_EQ(validate_weights(std::vector<double>{1.0, tiny, tiny}), 1.0);
}

TEST(ConvertLabels, RefusesNegative) {
  EXPECT_EQ(convert_labels(std::vector<int64_t>{3, 0, 1}), (std::vector<ClassIndex>{3, 0, 1}));
  EXPECT_EQ(message_of([] { convert_labels(std::vector<int64_t>{0, -1}); }), "y must contain non-negative labels");
  // Class indices are 32-bit: the largest one converts exactly, one more cannot be a class of
  // any fit (its tables could not be allocated), and a negative label is still named first.
  EXPECT_EQ(convert_labels(std::vector<int64_t>{4294967295}), (std::vector<ClassIndex>{4294967295u}));
  EXPECT_THROW(convert_labels(std::vector<int64_t>{1, 4294967296}), std::bad_alloc);
  EXPECT_EQ(message_of([] { convert_labels(std::vector<int64_t>{4294967296, -1}); }),
            "y must contain non-negative labels");
}

TEST(CopyDense, GathersRowsThroughOrderAndWidens) {
  const std::vector<float> cells{1.5f, 2.0f, 3.0f, 4.0f, kNan, 6.0f};  // 3 rows x 2
  const StridedView<float> view{reinterpret_cast<const std::byte*>(cells.data()), 3, 2, 2 * sizeof(float),
                                sizeof(float)};
  const std::vector<RowIndex> order{2, 0, 1};
  const DenseMatrix m = copy_dense(view, &order);
  ASSERT_EQ(m.values.size(), 6u);
  EXPECT_TRUE(std::isnan(m.values[0]));
  EXPECT_EQ(m.values[1], 6.0);
  EXPECT_EQ(m.values[2], 1.5);
  EXPECT_EQ(copy_dense(view, nullptr).values[0], 1.5);

  const std::vector<double> with_inf{1.0, -kInf};
  const StridedView<double> inf_view{reinterpret_cast<const std::byte*>(with_inf.data()), 1, 2, 16, 8};
  EXPECT_EQ(message_of([&] { copy_dense(inf_view, nullptr); }), "X must not contain infinite values");
}

// The one-pass copy of a fit against the plain row copy and its transpose, bit for bit, on
// both memory layouts and on one and several threads (3001 x 13 is past the threading bound).
TEST(CopyDense, TrainingCopyIsTheRowCopyAndItsTranspose) {
  constexpr uint64_t kRows = 3001;
  constexpr uint64_t kCols = 13;
  std::vector<double> cells(kRows * kCols);
  for (uint64_t i = 0; i < cells.size(); ++i) cells[i] = i % 101 == 0 ? kNan : static_cast<double>((i * 7919) % 1000) - 500.25;
  std::vector<RowIndex> order(kRows);
  for (uint64_t p = 0; p < kRows; ++p) order[p] = static_cast<RowIndex>((p * 1237) % kRows);
  const auto bytes = reinterpret_cast<const std::byte*>(cells.data());
  const StridedView<double> c_order{bytes, kRows, kCols, kCols * sizeof(double), sizeof(double)};
  const StridedView<double> f_order{bytes, kRows, kCols, sizeof(double), kRows * sizeof(double)};
  for (const StridedView<double>& view : {c_order, f_order}) {
    const DenseMatrix rows = copy_dense(view, &order);
    for (const uint64_t jobs : {1u, 2u, 7u}) {
      const TrainingValues got = copy_training_values(view, order, jobs, true);
      ASSERT_EQ(got.rows.values.size(), rows.values.size());
      EXPECT_EQ(std::memcmp(got.rows.values.data(), rows.values.data(), rows.values.size() * sizeof(double)), 0);
      ASSERT_EQ(got.columns.size(), rows.values.size());
      for (uint64_t p = 0; p < kRows; ++p)
        for (uint64_t f = 0; f < kCols; ++f)
          ASSERT_EQ(std::memcmp(&got.columns[f * kRows + p], &rows.values[p * kCols + f], sizeof(double)), 0);
      EXPECT_TRUE(got.has_missing);
      EXPECT_TRUE(copy_training_values(view, order, jobs, false).columns.empty());
    }
  }
  for (double& v : cells) v = std::isnan(v) ? 0.0 : v;
  EXPECT_FALSE(copy_training_values(c_order, order, 2, true).has_missing);
  cells[(kRows - 1) * kCols + 4] = -kInf;
  EXPECT_EQ(message_of([&] { copy_training_values(f_order, order, 2, true); }), "X must not contain infinite values");
}

}  // namespace
}  // namespace morvel
