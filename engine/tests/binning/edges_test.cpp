// Bin edges: the bin rule, the quantile paths, the row sampler and thread independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "binning/bin_lookup.h"
#include "binning/binning.h"
#include "morvel/bin_edges.h"

namespace morvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(BinRule, ValuesAtAndAroundEdges) {
  const std::vector<double> edges = {-1.0, 0.0, 1.5, 7.25};
  struct Case {
    double value;
    uint8_t bin;
  };
  const Case cases[] = {{-5.0, 0}, {-1.0, 0}, {std::nextafter(-1.0, 0.0), 1}, {-0.0, 1}, {0.0, 1},
                        {1.5, 2},  {1.5000001, 3}, {7.25, 3}, {7.26, 4}, {-INFINITY, 0}, {INFINITY, 4}, {kNaN, 5}};
  for (const Case& c : cases) {
    EXPECT_EQ(detail::bin_value(edges, c.value), c.bin) << c.value;
    EXPECT_EQ(bin_of(edges, c.value), c.bin) << c.value;
  }
  EXPECT_EQ(detail::bin_value({}, 3.0), 0);
  EXPECT_EQ(detail::bin_value({}, kNaN), 1);
}

TEST(BinRule, BranchLightSearchMatchesLowerBound) {
  std::mt19937_64 gen(7);
  for (uint64_t m = 1; m <= 254; m += 11) {
    std::vector<double> edges(m);
    for (uint64_t i = 0; i < m; ++i) edges[i] = static_cast<double>(i) * 0.5 - 3.0;
    for (int k = 0; k < 200; ++k) {
      const double v = static_cast<double>(static_cast<int64_t>(gen() % 300) - 20) * 0.25 - 3.0;
      const auto expected = std::lower_bound(edges.begin(), edges.end(), v) - edges.begin();
      ASSERT_EQ(detail::regular_bin(edges.data(), m, v), expected) << m << " " << v;
    }
  }
}

struct EdgeCase {
  const char* name;
  std::vector<double> values;
  uint64_t max_bins;
  BinningStrategy strategy;
  std::vector<double> expected;
};

class FeatureEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(FeatureEdges, Expected) {
  const EdgeCase& c = GetParam();
  std::vector<double> values = c.values;
  const std::vector<double> edges = feature_edges(values, c.max_bins, c.strategy);
  ASSERT_EQ(edges.size(), c.expected.size());
  for (size_t i = 0; i < edges.size(); ++i) {
    EXPECT_EQ(edges[i], c.expected[i]) << i;
    EXPECT_EQ(std::signbit(edges[i]), std::signbit(c.expected[i])) << i;
  }
}

std::vector<double> zeros_then_ones() {
  std::vector<double> v(90, 0.0);
  v.insert(v.end(), 10, 1.0);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureEdges,
    ::testing::Values(
        EdgeCase{"constant", {3.0, 3.0, 3.0}, 255, BinningStrategy::ExactSort, {}},
        EdgeCase{"all_nan", {kNaN, kNaN}, 4, BinningStrategy::ExactSelect, {}},
        EdgeCase{"one_and_two", {2.0, 1.0, kNaN}, 255, BinningStrategy::ExactSort, {1.5}},
        EdgeCase{"few_distinct", {4.0, 1.0, 2.0, 4.0, 1.0}, 8, BinningStrategy::ExactSort, {1.5, 3.0}},
        EdgeCase{"signed_zeros", {0.0, -0.0, 0.0}, 255, BinningStrategy::ExactSort, {-0.0}},
        EdgeCase{"select_heavy_zeros", zeros_then_ones(), 4, BinningStrategy::ExactSelect, {}},
        EdgeCase{"sort_heavy_zeros", zeros_then_ones(), 4, BinningStrategy::ExactSort, {0.5}},
        // Fewer rows than bins: the selection strategy takes the sort path.
        EdgeCase{"select_few_rows", {5.0, 1.0, 3.0}, 4, BinningStrategy::ExactSelect, {2.0, 4.0}},
        // Quantiles over distinct values: 0..7 with B = 4 cut at positions 2, 4, 6.
        EdgeCase{"sort_quantiles", {7, 6, 5, 4, 3, 2, 1, 0, 0, 0}, 4, BinningStrategy::ExactSort, {1.5, 3.5, 5.5}},
        // Adjacent doubles: the midpoint rounds up to the upper value, so the cut is the lower.
        EdgeCase{"adjacent_doubles", {1.0, std::nextafter(1.0, 2.0)}, 255, BinningStrategy::ExactSort, {1.0}}),
    [](const ::testing::TestParamInfo<EdgeCase>& info) { return std::string(info.param.name); });

// A straightforward reference of the selection rule: sort fully, then read the positions.
std::vector<double> select_reference(std::vector<double> w, uint64_t max_bins) {
  std::sort(w.begin(), w.end());
  const uint64_t n = w.size();
  std::vector<double> edges;
  for (uint64_t i = 1; i < max_bins; ++i) {
    const uint64_t p = i * n / max_bins;
    const double lo = w[p - 1], hi = w[p];
    if (lo == hi) continue;
    const double mid = lo * 0.5 + hi * 0.5;
    const double cut = hi > mid ? mid : lo;
    if (edges.empty() || cut > edges.back()) edges.push_back(cut);
  }
  return edges;
}

TEST(FeatureEdgesSelection, MatchesFullSortReference) {
  std::mt19937_64 gen(11);
  for (uint64_t max_bins : {2u, 3u, 16u, 255u}) {
    for (uint64_t distinct : {5u, 40u, 100000u}) {
      std::vector<double> values(3000);
      for (double& v : values) v = static_cast<double>(gen() % distinct) * 0.125 + 1.0;
      std::vector<double> copy = values;
      EXPECT_EQ(feature_edges(copy, max_bins, BinningStrategy::ExactSelect), select_reference(values, max_bins))
          << max_bins << " " << distinct;
    }
  }
}

TEST(FeatureEdgesSelection, EqualsSortPathOnDistinctValues) {
  std::mt19937_64 gen(3);
  std::vector<double> values(5000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i) * 0.01;
  std::shuffle(values.begin(), values.end(), gen);  // test data only
  std::vector<double> a = values, b = values;
  EXPECT_EQ(feature_edges(a, 64, BinningStrategy::ExactSelect), feature_edges(b, 64, BinningStrategy::ExactSort));
}

// The sort path written with a comparison sort over the IEEE total order.
std::vector<double> sort_reference(const std::vector<double>& values, uint64_t max_bins) {
  std::vector<double> w;
  for (double v : values)
    if (!std::isnan(v)) w.push_back(v);
  auto bits = [](double v) {
    int64_t i;
    std::memcpy(&i, &v, sizeof i);
    return i;
  };
  std::sort(w.begin(), w.end(), [](double a, double b) {
    if (a != b) return a < b;
    return std::signbit(a) && !std::signbit(b);  // -0.0 before +0.0
  });
  std::vector<double> u;
  for (double v : w)
    if (u.empty() || bits(u.back()) != bits(v)) u.push_back(v);
  const uint64_t d = u.size();
  auto cut = [](double lo, double hi) {
    const double mid = lo * 0.5 + hi * 0.5;
    return hi > mid ? mid : lo;
  };
  std::vector<double> edges;
  if (max_bins < d) {
    for (uint64_t i = 1; i < max_bins; ++i) {
      const uint64_t p = i * d / max_bins;
      const double c = cut(u[p - 1], u[p]);
      if (edges.empty() || c > edges.back()) edges.push_back(c);
    }
  } else {
    for (uint64_t l = 0; l + 1 < d; ++l) edges.push_back(cut(u[l], u[l + 1]));
  }
  return edges;
}

TEST(FeatureEdgesSort, LongColumnsMatchComparisonSortReference) {
  // Long columns take the radix sort: negative and positive values of every magnitude,
  // both zeros, subnormals, repeats and NaN.
  std::mt19937_64 gen(17);
  for (const uint64_t n : {1023u, 1024u, 5000u, 40000u}) {
    for (const uint64_t max_bins : {2u, 255u}) {
      std::vector<double> values(n);
      for (double& v : values) {
        switch (gen() % 8) {
          case 0: v = -0.0; break;
          case 1: v = 0.0; break;
          case 2: v = std::numeric_limits<double>::denorm_min() * static_cast<double>(gen() % 5); break;
          case 3: v = kNaN; break;
          case 4: v = static_cast<double>(gen() % 7); break;  // repeats
          default: {
            const double mantissa = static_cast<double>(gen() % 1000000) / 1000.0 - 500.0;
            v = std::ldexp(mantissa, static_cast<int>(gen() % 200) - 100);
          }
        }
      }
      std::vector<double> copy = values;
      const std::vector<double> edges = feature_edges(copy, max_bins, BinningStrategy::ExactSort);
      const std::vector<double> expected = sort_reference(values, max_bins);
      ASSERT_EQ(edges.size(), expected.size()) << n << " " << max_bins;
      for (size_t i = 0; i < edges.size(); ++i) {
        ASSERT_EQ(edges[i], expected[i]) << i;
        ASSERT_EQ(std::signbit(edges[i]), std::signbit(expected[i])) << i;
      }
    }
  }
}

TEST(RowSample, FixedSequences) {
  EXPECT_EQ(binning_row_sample(10, 4, 6), (std::vector<uint64_t>{0, 4, 5, 6}));
  EXPECT_EQ(binning_row_sample(1000, 5, 123456789), (std::vector<uint64_t>{274, 425, 447, 507, 807}));
  EXPECT_EQ(binning_row_sample(7, 6, 0), (std::vector<uint64_t>{0, 1, 2, 3, 4, 6}));
}

DenseMatrix random_matrix(uint64_t n_rows, uint64_t n_features, uint64_t seed, double nan_share = 0.0) {
  std::mt19937_64 gen(seed);
  DenseMatrix x;
  x.n_rows = n_rows;
  x.n_features = n_features;
  x.values.resize(n_rows * n_features);
  for (uint64_t i = 0; i < x.values.size(); ++i) {
    const uint64_t f = i % n_features;
    // Feature-dependent cardinality, so some columns take the d <= B path.
    const uint64_t levels = f % 3 == 0 ? 7 : 1000 + f;
    x.values[i] = static_cast<double>(gen() % levels) / 3.0 - 10.0;
    if (nan_share > 0.0 && static_cast<double>(gen() % 1000) < nan_share * 1000.0) x.values[i] = kNaN;
  }
  return x;
}

class EdgeStrategies : public ::testing::TestWithParam<BinningStrategy> {};

TEST_P(EdgeStrategies, IndependentOfThreadCount) {
  const DenseMatrix x = random_matrix(4000, 11, 5, 0.01);  // 44000 cells: threads start
  BinningOptions options;
  options.max_bins = 32;
  options.strategy = GetParam();
  options.bin_sample_size = 1500;
  options.n_jobs = 1;
  const BinnedMatrix one = bin_dense(x, options);
  for (uint64_t jobs : {2u, 4u, 16u}) {
    options.n_jobs = jobs;
    const BinnedMatrix many = bin_dense(x, options);
    EXPECT_EQ(many.edges, one.edges) << jobs;
    EXPECT_EQ(many.bins, one.bins) << jobs;
  }
}

TEST_P(EdgeStrategies, SampleCoveringAllRowsEqualsExactTwin) {
  const BinningStrategy strategy = GetParam();
  const BinningStrategy exact = static_cast<uint8_t>(strategy) > 1 ? BinningStrategy::ExactSelect
                                                                   : BinningStrategy::ExactSort;
  const DenseMatrix x = random_matrix(500, 4, 9);
  BinningOptions options;
  options.max_bins = 16;
  options.strategy = strategy;
  options.bin_sample_size = 500;
  const BinnedMatrix sampled = bin_dense(x, options);
  options.strategy = exact;
  EXPECT_EQ(sampled.edges, bin_dense(x, options).edges);
}

INSTANTIATE_TEST_SUITE_P(All, EdgeStrategies,
                         ::testing::Values(BinningStrategy::ExactSort, BinningStrategy::SampledSort,
                                           BinningStrategy::ExactSelect, BinningStrategy::SampledSelect));

TEST(EdgeSampling, UsesOnlySampledRows) {
  // One extreme row outside the sample must not produce an edge of its own.
  DenseMatrix x;
  x.n_rows = 10;
  x.n_features = 1;
  x.values = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  BinningOptions options;
  options.strategy = BinningStrategy::SampledSort;
  options.bin_sample_size = 4;
  options.binning_seed = 6;  // sample {0, 4, 5, 6}
  EXPECT_EQ(bin_dense(x, options).edges[0], (std::vector<double>{2.0, 4.5, 5.5}));
}

TEST(CsrEdges, ImplicitZerosTakePart) {
  // Column 0: stored 5 and 7, implicit zeros elsewhere; column 1: nothing stored.
  CsrMatrix csr;
  csr.n_rows = 4;
  csr.n_features = 2;
  csr.indptr = {0, 1, 1, 2, 2};
  csr.indices = {0, 0};
  csr.data = {5.0, 7.0};
  BinningOptions options;
  const BinEdges edges = csr_edges(csr, options);
  ASSERT_EQ(edges.size(), 2u);
  EXPECT_EQ(edges[0], (std::vector<double>{2.5, 6.0}));
  EXPECT_TRUE(edges[1].empty());
  EXPECT_EQ(candidate_features(edges), (std::vector<uint64_t>{0}));
}

}  // namespace
}  // namespace morvel

namespace morvel {
namespace {

TEST(CsrEdges, EqualDenseEdgesForEveryStrategy) {
  std::mt19937_64 gen(17);
  const uint64_t n_rows = 3000, n_features = 12;  // threaded edges
  DenseMatrix dense;
  dense.n_rows = n_rows;
  dense.n_features = n_features;
  dense.values.assign(n_rows * n_features, 0.0);
  CsrMatrix csr;
  csr.n_rows = n_rows;
  csr.n_features = n_features;
  csr.indptr.push_back(0);
  for (uint64_t r = 0; r < n_rows; ++r) {
    for (uint64_t f = 0; f < n_features; ++f) {
      if (gen() % 3 != 0) continue;
      double v = static_cast<double>(gen() % 200) - 100.0;
      if (gen() % 50 == 0) v = std::numeric_limits<double>::quiet_NaN();
      dense.values[r * n_features + f] = v;
      csr.indices.push_back(f);
      csr.data.push_back(v);  // some stored zeros too
    }
    csr.indptr.push_back(csr.indices.size());
  }
  for (const BinningStrategy strategy : {BinningStrategy::ExactSort, BinningStrategy::SampledSort,
                                         BinningStrategy::ExactSelect, BinningStrategy::SampledSelect}) {
    BinningOptions options;
    options.max_bins = 40;
    options.strategy = strategy;
    options.bin_sample_size = 700;
    options.n_jobs = 3;
    EXPECT_EQ(csr_edges(csr, options), bin_dense(dense, options).edges) << static_cast<int>(strategy);
  }
}

}  // namespace
}  // namespace morvel
