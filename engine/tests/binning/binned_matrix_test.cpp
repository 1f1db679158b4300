// The binning pass, view reading through the training order, layouts and value copies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <random>

#include "binning/bin_lookup.h"
#include "binning/binning.h"
#include "morvel/errors.h"
#include "morvel/messages.h"

namespace morvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

DenseMatrix random_dense(uint64_t n_rows, uint64_t n_features, uint64_t seed, double nan_share) {
  std::mt19937_64 gen(seed);
  DenseMatrix x;
  x.n_rows = n_rows;
  x.n_features = n_features;
  x.values.resize(n_rows * n_features);
  for (double& v : x.values) {
    v = static_cast<double>(static_cast<float>(static_cast<double>(gen() % 5000) / 7.0 - 300.0));
    if (static_cast<double>(gen() % 10000) < nan_share * 10000.0) v = kNaN;
  }
  return x;
}

// A float32 buffer holding `x` with rows in reverse and the columns of each row reversed,
// read through a view with negative strides and an order that undoes the row reversal.
struct ReversedView {
  std::vector<float> buffer;
  ViewF32 view;
  std::vector<RowIndex> order;
};

ReversedView reversed_view(const DenseMatrix& x) {
  ReversedView r;
  const uint64_t n = x.n_rows, m = x.n_features;
  r.buffer.resize(n * m);
  // Storage row s holds x row (n - 1 - s), features reversed; view row v = storage row v.
  for (uint64_t s = 0; s < n; ++s)
    for (uint64_t f = 0; f < m; ++f) r.buffer[s * m + (m - 1 - f)] = static_cast<float>(x.at(n - 1 - s, f));
  r.view.base = reinterpret_cast<const std::byte*>(r.buffer.data() + (m - 1));
  r.view.n_rows = n;
  r.view.n_features = m;
  r.view.row_stride = static_cast<int64_t>(m * sizeof(float));
  r.view.col_stride = -static_cast<int64_t>(sizeof(float));
  r.order.resize(n);
  for (uint64_t p = 0; p < n; ++p) r.order[p] = n - 1 - p;  // position p reads x row p
  return r;
}

TEST(BinningPass, ThreadedBytesEqualSequentialAndMarkMissing) {
  const DenseMatrix x = random_dense(3001, 13, 1, 0.02);  // > 32768 cells, uneven chunks
  BinningOptions options;
  options.max_bins = 20;
  const BinnedMatrix one = bin_dense(x, options);
  ASSERT_TRUE(one.has_missing);
  for (uint64_t r = 0; r < x.n_rows; ++r) {
    for (uint64_t f = 0; f < x.n_features; ++f) {
      const uint8_t b = one.bins[r * x.n_features + f];
      const uint64_t m = one.edges[f].size();
      if (std::isnan(x.at(r, f))) {
        ASSERT_EQ(b, m + 1);
      } else {
        ASSERT_LE(b, m);
        // Every edge below the value's bin is strictly below it, the next is not.
        if (b > 0) {
          ASSERT_LT(one.edges[f][b - 1], x.at(r, f));
        }
        if (b < m) {
          ASSERT_GE(one.edges[f][b], x.at(r, f));
        }
      }
    }
  }
  for (uint64_t jobs : {2u, 3u, 8u}) {
    options.n_jobs = jobs;
    const BinnedMatrix many = bin_dense(x, options);
    EXPECT_EQ(many.bins, one.bins) << jobs;
    EXPECT_TRUE(many.has_missing);
  }
}

TEST(BinningPass, NoMissingBinWithoutNaN) {
  const DenseMatrix x = random_dense(50, 3, 2, 0.0);
  const BinnedMatrix b = bin_dense(x, BinningOptions{});
  EXPECT_FALSE(b.has_missing);
  for (uint64_t i = 0; i < b.bins.size(); ++i) EXPECT_LE(b.bins[i], b.edges[i % 3].size());
}

TEST(BinningPass, StridedFloatViewThroughOrderEqualsOwnedRows) {
  for (uint64_t n_rows : {1u, 40u, 4000u}) {
    const DenseMatrix x = random_dense(n_rows, 9, 3, 0.01);
    const ReversedView rv = reversed_view(x);
    for (uint64_t jobs : {1u, 4u}) {
      BinningOptions options;
      options.max_bins = 64;
      options.n_jobs = jobs;
      const BinnedMatrix from_view = bin_view(rv.view, rv.order, options);
      const BinnedMatrix from_owned = bin_dense(x, options);
      EXPECT_EQ(from_view.edges, from_owned.edges);
      EXPECT_EQ(from_view.bins, from_owned.bins);
      EXPECT_EQ(from_view.has_missing, from_owned.has_missing);
    }
  }
}

TEST(BinningPass, InfinityRejectedForViewsAndInternalForOwned) {
  for (uint64_t n_rows : {5u, 5000u}) {
    DenseMatrix x = random_dense(n_rows, 8, 4, 0.0);
    x.values[x.values.size() - 3] = -INFINITY;
    std::vector<double> buffer(x.values.begin(), x.values.end());
    ViewF64 view{reinterpret_cast<const std::byte*>(buffer.data()), x.n_rows, x.n_features,
                 static_cast<int64_t>(8 * sizeof(double)), sizeof(double)};
    std::vector<RowIndex> order(n_rows);
    for (uint64_t i = 0; i < n_rows; ++i) order[i] = i;
    BinningOptions options;
    options.n_jobs = 4;
    try {
      bin_view(view, order, options);
      FAIL() << "no error";
    } catch (const ValidationError& e) {
      EXPECT_STREQ(e.what(), msg::kInfiniteValues);
    }
    try {
      bin_dense(x, options);
      FAIL() << "no error";
    } catch (const InternalError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("training values were validated before histogramization", 0), 0u);
    }
  }
}

TEST(FeatureMajor, ByteTransposeMatchesRowMajor) {
  const DenseMatrix x = random_dense(130, 7, 5, 0.05);  // tiles of 64 rows plus a remainder
  BinnedMatrix b = bin_dense(x, BinningOptions{});
  const BinnedMatrix row_major = b;
  ProfileCounters profile;
  convert_bins_to_feature_major(b, 3, &profile);
  ASSERT_TRUE(b.feature_major);
  for (uint64_t r = 0; r < x.n_rows; ++r)
    for (uint64_t f = 0; f < x.n_features; ++f) {
      ASSERT_EQ(b.bins[f * x.n_rows + r], row_major.bins[r * x.n_features + f]);
      ASSERT_EQ(b.at(r, f), row_major.at(r, f));
    }
  EXPECT_GT(profile.bin_layout_conversion_ns.load(), 0u);
}

TEST(FeatureMajor, RowMajorCopyRestoresTheRowMajorBytes) {
  const DenseMatrix x = random_dense(200, 9, 5, 0.05);  // tiles of 64 rows plus a remainder
  const BinnedMatrix row_major = bin_dense(x, BinningOptions{});
  for (const uint64_t jobs : {1u, 2u, 3u, 500u}) {
    BinnedMatrix b = row_major;
    convert_bins_to_feature_major(b, 2, nullptr);
    add_row_major_copy(b, jobs);
    EXPECT_EQ(b.row_major_copy, row_major.bins) << jobs << " workers";
  }
}

// Nodes read the row-major copy only when it exists, they are small, and they are sparse
// among the training rows (fewer than n_rows / 32 entries).
TEST(FeatureMajor, RowMajorCopyReadOnlyBySmallSparseNodes) {
  BinnedMatrix b;
  b.n_rows = 100000;
  b.n_features = 2;
  b.bins.assign(b.n_rows * b.n_features, 0);
  EXPECT_FALSE(b.reads_row_major_copy(10)) << "no copy";
  b.row_major_copy = b.bins;
  struct Case {
    uint64_t n_rows, entries;
    bool reads;
  };
  for (const Case c : {Case{100000, 10, true}, Case{100000, 3124, true}, Case{100000, 3125, false},
                       Case{1000000, 8191, true}, Case{1000000, 8192, false}, Case{100, 3, true},
                       Case{100, 4, false}}) {
    b.n_rows = c.n_rows;
    EXPECT_EQ(b.reads_row_major_copy(c.entries), c.reads) << c.entries << " of " << c.n_rows;
  }
}

TEST(FeatureMajor, ValueCopies) {
  const DenseMatrix x = random_dense(150, 5, 6, 0.05);
  for (uint64_t jobs : {1u, 2u, 9u}) {
    const auto copy = feature_major_copy(x, jobs);
    const auto narrowed = feature_major_narrowed(x, jobs);
    for (uint64_t r = 0; r < x.n_rows; ++r)
      for (uint64_t f = 0; f < x.n_features; ++f) {
        const double v = x.at(r, f);
        if (std::isnan(v)) {
          ASSERT_TRUE(std::isnan(copy[f * x.n_rows + r]) && std::isnan(narrowed[f * x.n_rows + r]));
        } else {
          ASSERT_EQ(copy[f * x.n_rows + r], v);
          ASSERT_EQ(narrowed[f * x.n_rows + r], static_cast<float>(v));
        }
      }
  }
}

TEST(FeatureMajor, FromViewReadsOrderAndChecksValues) {
  const DenseMatrix x = random_dense(5000, 7, 7, 0.0);  // threaded copy
  ReversedView rv = reversed_view(x);
  bool has_missing = true;
  auto out = feature_major_from_view(rv.view, rv.order, 4, has_missing);
  EXPECT_FALSE(has_missing);
  for (uint64_t r = 0; r < x.n_rows; r += 97)
    for (uint64_t f = 0; f < x.n_features; ++f) ASSERT_EQ(out[f * x.n_rows + r], static_cast<float>(x.at(r, f)));

  rv.buffer[17] = std::numeric_limits<float>::quiet_NaN();
  out = feature_major_from_view(rv.view, rv.order, 4, has_missing);
  EXPECT_TRUE(has_missing);

  rv.buffer[40] = std::numeric_limits<float>::infinity();
  EXPECT_THROW(
      {
        try {
          feature_major_from_view(rv.view, rv.order, 1, has_missing);
        } catch (const ValidationError& e) {
          EXPECT_STREQ(e.what(), msg::kInfiniteValues);
          throw;
        }
      },
      ValidationError);

  ViewF32 empty = rv.view;
  empty.n_rows = 0;
  try {
    feature_major_from_view(empty, {}, 1, has_missing);
    FAIL() << "no error";
  } catch (const ValidationError& e) {
    EXPECT_STREQ(e.what(), msg::kNoRowsOrFeatures);
  }
  ViewF32 huge = rv.view;
  huge.n_rows = uint64_t{1} << 40;
  huge.n_features = uint64_t{1} << 30;
  try {
    feature_major_from_view(huge, {}, 1, has_missing);
    FAIL() << "no error";
  } catch (const ValidationError& e) {
    EXPECT_STREQ(e.what(), msg::kShapeTooLarge);
  }
}

TEST(FeatureMajor, ImpossibleSizesRaiseMemoryErrorsNotAborts) {
  // The binding maps std::bad_alloc to MemoryError; nothing may be allocated short.
  DenseMatrix x;
  x.n_rows = uint64_t{1} << 40;
  x.n_features = uint64_t{1} << 30;
  EXPECT_THROW(feature_major_copy(x, 1), std::bad_alloc);
  x.n_features = uint64_t{1} << 22;  // no overflow of the count, but of the byte size
  EXPECT_THROW(feature_major_narrowed(x, 1), std::bad_alloc);
}

TEST(PredictionBins, SameBytesAsTraining) {
  const DenseMatrix x = random_dense(300, 4, 8, 0.03);
  const BinnedMatrix trained = bin_dense(x, BinningOptions{});
  EXPECT_EQ(bin_rows(x, trained.edges), trained.bins);
  DenseMatrix wrong = x;
  wrong.n_features = 2;
  wrong.n_rows = 600;
  EXPECT_THROW(bin_rows(wrong, trained.edges), ValidationError);
}

// Training bytes written feature-major during the pass equal the transposed row-major bytes,
// for every thread count and both the owned buffer and a view read through the order.
class FeatureMajorPass : public ::testing::TestWithParam<uint64_t> {};

TEST_P(FeatureMajorPass, EqualsTransposedRowMajorBytes) {
  const uint64_t jobs = GetParam();
  const DenseMatrix x = random_dense(3001, 13, 21, 0.02);  // > 32768 cells, uneven row chunks
  BinningOptions options;
  options.max_bins = 40;
  options.n_jobs = jobs;
  BinnedMatrix expected = bin_dense(x, options);
  convert_bins_to_feature_major(expected, 1, nullptr);
  options.feature_major = true;
  const BinnedMatrix owned = bin_dense(x, options);
  ASSERT_TRUE(owned.feature_major);
  EXPECT_EQ(owned.bins, expected.bins);
  EXPECT_EQ(owned.has_missing, expected.has_missing);
  const ReversedView rv = reversed_view(x);
  const BinnedMatrix viewed = bin_view(rv.view, rv.order, options);
  EXPECT_EQ(viewed.bins, expected.bins);
  EXPECT_TRUE(viewed.feature_major);
}

INSTANTIATE_TEST_SUITE_P(Threads, FeatureMajorPass, ::testing::Values(1u, 2u, 3u, 8u));

TEST(BinningPass, LookupMatchesBinRuleForEveryEdgeCount) {
  // Edge vectors of every length 0..254 (the lookup pads them to one width), probed at,
  // between and beyond the edges, at both zeros and at both infinities.
  std::mt19937_64 gen(5);
  BinEdges edges;
  for (uint64_t m = 0; m <= 254; ++m) {
    std::vector<double> e(m);
    for (uint64_t i = 0; i < m; ++i) e[i] = static_cast<double>(i) - static_cast<double>(m / 2);
    edges.push_back(e);
  }
  DenseMatrix x;
  x.n_features = edges.size();
  const double probes[] = {-0.0, 0.0, INFINITY, -INFINITY, kNaN, 0.5, -0.5, 1e300, -1e300};
  x.n_rows = std::size(probes) + 40;
  x.values.resize(x.n_rows * x.n_features);
  for (uint64_t r = 0; r < x.n_rows; ++r) {
    for (uint64_t f = 0; f < x.n_features; ++f) {
      const double random = static_cast<double>(static_cast<int64_t>(gen() % 600) - 300) * 0.5;
      x.values[r * x.n_features + f] = r < std::size(probes) ? probes[r] : random;
    }
  }
  const std::vector<uint8_t> bins = bin_rows(x, edges);
  for (uint64_t r = 0; r < x.n_rows; ++r)
    for (uint64_t f = 0; f < x.n_features; ++f)
      ASSERT_EQ(bins[r * x.n_features + f], detail::bin_value(edges[f], x.values[r * x.n_features + f])) << r << " " << f;
}

TEST(Candidates, ConstantAndNaNColumnsBinnedButNotOffered) {
  DenseMatrix x;
  x.n_rows = 4;
  x.n_features = 3;
  x.values = {1, 2, kNaN, 1, 3, kNaN, 1, 2, kNaN, 1, 5, kNaN};
  const BinnedMatrix b = bin_dense(x, BinningOptions{});
  EXPECT_EQ(candidate_features(b.edges), (std::vector<uint64_t>{1}));
  for (uint64_t r = 0; r < 4; ++r) {
    EXPECT_EQ(b.at(r, 0), 0);
    EXPECT_EQ(b.at(r, 2), 1);  // missing-value bin of a feature without edges
  }
  EXPECT_TRUE(b.has_missing);
}

}  // namespace
}  // namespace morvel
