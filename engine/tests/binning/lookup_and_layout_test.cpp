// The fast paths of data preparation checked against the straightforward ones: the radix key
// sort against std::sort, the key-table bin lookup against the bin rule, the binning pass
// that writes columns from the edge workers against the row pass, and the tiled byte
// transposes against element-wise copies. Columns are adversarial: NaN, both zeros,
// subnormals, infinities, huge and tiny magnitudes, duplicates, values that differ only in
// their lowest bits, fewer distinct values than bins, float32 values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>

#include "binning/bin_lookup.h"
#include "binning/binning.h"
#include "binning/edges_internal.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Column = std::function<double(std::mt19937_64&, uint64_t)>;

struct NamedColumn {
  const char* name;
  Column draw;
};

double uniform(std::mt19937_64& gen) { return static_cast<double>(gen() >> 11) * 0x1.0p-53; }

// Value generators; each draws the value of row i.
const NamedColumn kColumns[] = {
    {"normal-ish both signs", [](std::mt19937_64& g, uint64_t) { return (uniform(g) - 0.5) * (uniform(g) * 8.0); }},
    {"positive uniform", [](std::mt19937_64& g, uint64_t) { return uniform(g); }},
    {"lowest bits only", [](std::mt19937_64& g, uint64_t) { return 1.0 + static_cast<double>(g() % 3000) * 0x1.0p-52; }},
    {"lowest bits and far outliers",
     [](std::mt19937_64& g, uint64_t i) {
       if (i % 997 == 0) return i % 2 == 0 ? 1e300 : -1e-300;
       return -2.0 - static_cast<double>(g() % 5000) * 0x1.0p-51;
     }},
    {"zeros, subnormals and tiny",
     [](std::mt19937_64& g, uint64_t) {
       switch (g() % 6) {
         case 0: return -0.0;
         case 1: return 0.0;
         case 2: return std::numeric_limits<double>::denorm_min() * static_cast<double>(g() % 9);
         case 3: return -std::numeric_limits<double>::denorm_min() * static_cast<double>(g() % 9);
         case 4: return std::ldexp(uniform(g), -1060);
         default: return std::ldexp(uniform(g) - 0.5, -1000);
       }
     }},
    {"every magnitude",
     [](std::mt19937_64& g, uint64_t) {
       return std::ldexp(uniform(g) - 0.5, static_cast<int>(g() % 2000) - 1000);
     }},
    {"few distinct", [](std::mt19937_64& g, uint64_t) { return static_cast<double>(g() % 7) - 3.0; }},
    {"two values", [](std::mt19937_64& g, uint64_t) { return g() % 2 == 0 ? -0.0 : 0.0; }},
    {"constant", [](std::mt19937_64&, uint64_t) { return 42.5; }},
    {"float32",
     [](std::mt19937_64& g, uint64_t) { return static_cast<double>(static_cast<float>((uniform(g) - 0.3) * 1e4)); }},
    {"infinities and NaN",
     [](std::mt19937_64& g, uint64_t) {
       switch (g() % 10) {
         case 0: return kInf;
         case 1: return -kInf;
         case 2: return kNaN;
         default: return uniform(g) * 100.0 - 50.0;
       }
     }},
    {"crowded edges in a wide range",
     [](std::mt19937_64& g, uint64_t i) {
       // Fewer distinct values than bins, so every gap gets an edge: edges packed into a
       // sliver of a range that spans the whole exponent scale, which the lookup table
       // cannot serve and the pass must search.
       if (i % 50 == 0) return i % 100 == 0 ? 1e300 : 1e-300;
       return 3.0 + static_cast<double>(g() % 100) * 1e-12;
     }},
};

std::vector<double> column_values(const NamedColumn& column, uint64_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<double> values(n);
  for (uint64_t i = 0; i < n; ++i) values[i] = column.draw(gen, i);
  return values;
}

TEST(KeySort, EqualsComparisonSortOnAdversarialColumns) {
  for (const NamedColumn& column : kColumns) {
    for (const uint64_t n : {1024u, 4099u, 60000u}) {
      const std::vector<double> values = column_values(column, n, n);
      LargeVector<int64_t> keys;
      for (const double v : values)
        if (!std::isnan(v)) keys.push_back(detail::total_order_key(v));
      std::vector<int64_t> expected(keys.begin(), keys.end());
      std::sort(expected.begin(), expected.end());
      EdgeScratch scratch;
      detail::sort_keys(keys, scratch);
      ASSERT_TRUE(std::equal(keys.begin(), keys.end(), expected.begin(), expected.end())) << column.name << " " << n;
    }
  }
}

TEST(KeySort, Float32KeysEqualComparisonSortAndWidenedEdges) {
  for (const NamedColumn& column : kColumns) {
    for (const uint64_t n : {1024u, 60000u}) {
      const std::vector<double> values = column_values(column, n, n + 1);
      std::vector<float> narrow(n);
      for (uint64_t i = 0; i < n; ++i) narrow[i] = static_cast<float>(values[i]);  // may round to 0 or inf
      LargeVector<int32_t> keys;
      for (const float v : narrow)
        if (!std::isnan(v)) keys.push_back(detail::total_order_key32(v));
      std::vector<int32_t> expected(keys.begin(), keys.end());
      std::sort(expected.begin(), expected.end());
      EdgeScratch scratch;
      detail::sort_keys(keys, scratch);
      ASSERT_TRUE(std::equal(keys.begin(), keys.end(), expected.begin(), expected.end())) << column.name << " " << n;
      // Edges found on 32-bit keys are those of the widened values, bit for bit.
      const std::vector<double> widened(narrow.begin(), narrow.end());
      for (const BinningStrategy s : {BinningStrategy::ExactSort, BinningStrategy::ExactSelect}) {
        for (const uint64_t max_bins : {3u, 255u}) {
          const std::vector<double> from_float =
              feature_edges_at(narrow.data(), nullptr, n, max_bins, s, scratch);
          const std::vector<double> from_double = feature_edges(widened, max_bins, s);
          ASSERT_EQ(from_float.size(), from_double.size()) << column.name;
          for (uint64_t k = 0; k < from_float.size(); ++k)
            ASSERT_EQ(std::memcmp(&from_float[k], &from_double[k], sizeof(double)), 0) << column.name << " " << k;
        }
      }
    }
  }
}

// Edge sets from every strategy on the adversarial columns plus hand-made ones.
std::vector<std::vector<double>> edge_sets() {
  std::vector<std::vector<double>> sets = {
      {},
      {0.0},
      {-0.0},
      {-0.0, 1.0},
      {-1.0, -0.0},
      {-kInf, 0.0, kInf},  // the cuts of a column holding both infinities
      {-1e300, -1e-300, 1e-300, 1e300},
      {std::numeric_limits<double>::denorm_min()},
      {-std::numeric_limits<double>::max(), std::numeric_limits<double>::max()},
  };
  std::vector<double> many;
  for (int i = 0; i < 254; ++i) many.push_back(std::ldexp(1.0 + i / 300.0, i / 20 - 6));
  std::sort(many.begin(), many.end());
  many.erase(std::unique(many.begin(), many.end()), many.end());
  sets.push_back(many);
  for (const NamedColumn& column : kColumns) {
    const std::vector<double> values = column_values(column, 20000, 3);
    for (const uint64_t max_bins : {2u, 16u, 255u})
      for (const BinningStrategy s : {BinningStrategy::ExactSort, BinningStrategy::ExactSelect})
        sets.push_back(feature_edges(values, max_bins, s));
  }
  return sets;
}

TEST(BinTable, EveryServedEdgeSetBinsLikeTheRule) {
  std::mt19937_64 gen(11);
  uint64_t served = 0;
  uint64_t refused = 0;
  for (const std::vector<double>& edges : edge_sets()) {
    std::vector<double> probes = {0.0,  -0.0, kInf, -kInf, std::numeric_limits<double>::denorm_min(),
                                  -std::numeric_limits<double>::denorm_min(), 1e308, -1e308, 1.0, -1.0};
    for (const double e : edges) {
      probes.push_back(e);
      probes.push_back(std::nextafter(e, kInf));
      probes.push_back(std::nextafter(e, -kInf));
    }
    for (uint64_t k = 1; k < edges.size(); ++k) probes.push_back(edges[k - 1] * 0.5 + edges[k] * 0.5);
    for (int k = 0; k < 300; ++k) probes.push_back(std::ldexp(uniform(gen) - 0.5, static_cast<int>(gen() % 60) - 30));
    for (const unsigned bits : {8u, 12u, 15u}) {
      detail::BinTable table;
      if (!table.build(edges, bits)) {
        ++refused;
        continue;
      }
      ++served;
      for (const double v : probes)
        ASSERT_EQ(table.bin(v), detail::bin_value(edges, v)) << v << " with " << edges.size() << " edges";
    }
  }
  // Both outcomes occur, so both branches of the binning pass are reached by the pass tests.
  EXPECT_GT(served, 0u);
  EXPECT_GT(refused, 0u);
}

// A matrix whose columns cycle through the adversarial generators.
DenseMatrix adversarial_matrix(uint64_t n_rows, uint64_t n_features, uint64_t seed, bool finite) {
  DenseMatrix x;
  x.n_rows = n_rows;
  x.n_features = n_features;
  x.values.resize(n_rows * n_features);
  for (uint64_t f = 0; f < n_features; ++f) {
    const NamedColumn& column = kColumns[(f + seed) % std::size(kColumns)];
    const std::vector<double> values = column_values(column, n_rows, seed * 100 + f);
    for (uint64_t r = 0; r < n_rows; ++r) {
      const double v = values[r];
      x.values[r * n_features + f] = finite && std::isinf(v) ? 7.0 : v;
    }
  }
  return x;
}

// The matrix as a float32 buffer (magnitudes beyond float32 clamped, so that only
// deliberate infinities remain), read in place through a scrambled order.
struct FloatView {
  std::vector<float> buffer;
  ViewF32 view;
  std::vector<RowIndex> order;
};

FloatView float_view(const DenseMatrix& x) {
  FloatView out;
  out.buffer.resize(x.values.size());
  for (uint64_t i = 0; i < x.values.size(); ++i) {
    const double v = x.values[i];
    const double limit = std::numeric_limits<float>::max();
    out.buffer[i] = static_cast<float>(std::isfinite(v) && std::fabs(v) > limit ? std::copysign(limit, v) : v);
  }
  out.view.base = reinterpret_cast<const std::byte*>(out.buffer.data());
  out.view.n_rows = x.n_rows;
  out.view.n_features = x.n_features;
  out.view.row_stride = static_cast<int64_t>(x.n_features * sizeof(float));
  out.view.col_stride = sizeof(float);
  out.order.resize(x.n_rows);
  const bool coprime = std::gcd<uint64_t, uint64_t>(7919, x.n_rows) == 1;
  for (uint64_t p = 0; p < x.n_rows; ++p)
    out.order[p] = static_cast<RowIndex>(coprime ? (p * 7919) % x.n_rows : x.n_rows - 1 - p);
  return out;
}

struct PassCase {
  uint64_t n_rows;
  uint64_t n_features;
  uint64_t jobs;
  BinningStrategy strategy;
  uint64_t max_bins;
};

class ColumnPass : public ::testing::TestWithParam<PassCase> {};

// The feature-major pass (columns binned by the edge workers) gives the same edges and bytes
// as the row pass followed by a transpose, for owned buffers and float32 views.
TEST_P(ColumnPass, EqualsRowPassTransposed) {
  const PassCase c = GetParam();
  const DenseMatrix x = adversarial_matrix(c.n_rows, c.n_features, c.n_rows + c.jobs, true);
  BinningOptions options;
  options.max_bins = c.max_bins;
  options.strategy = c.strategy;
  options.bin_sample_size = c.n_rows / 3 + 1;
  options.n_jobs = c.jobs;
  BinnedMatrix expected = bin_dense(x, options);
  convert_bins_to_feature_major(expected, 1, nullptr);
  options.feature_major = true;
  const BinnedMatrix direct = bin_dense(x, options);
  ASSERT_EQ(direct.edges, expected.edges);
  ASSERT_EQ(direct.bins, expected.bins);
  EXPECT_EQ(direct.has_missing, expected.has_missing);

  // The same values as float32, read in place through an order.
  const FloatView fv = float_view(x);
  options.feature_major = false;
  BinnedMatrix expected32 = bin_view(fv.view, fv.order, options);
  convert_bins_to_feature_major(expected32, 2, nullptr);
  options.feature_major = true;
  const BinnedMatrix direct32 = bin_view(fv.view, fv.order, options);
  ASSERT_EQ(direct32.edges, expected32.edges);
  ASSERT_EQ(direct32.bins, expected32.bins);
  EXPECT_EQ(direct32.has_missing, expected32.has_missing);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ColumnPass,
    ::testing::Values(PassCase{700, 12, 1, BinningStrategy::ExactSort, 255},
                      PassCase{5003, 12, 2, BinningStrategy::ExactSort, 255},
                      PassCase{5003, 12, 3, BinningStrategy::SampledSort, 64},
                      PassCase{4000, 13, 1, BinningStrategy::ExactSelect, 255},
                      PassCase{4000, 13, 2, BinningStrategy::SampledSelect, 31},
                      PassCase{30000, 3, 8, BinningStrategy::ExactSort, 255},  // fewer features than threads
                      PassCase{3, 12, 1, BinningStrategy::ExactSort, 2}));

TEST(ColumnPassFailures, InfinityRefusedWhateverItsColumn) {
  for (const uint64_t jobs : {1u, 2u}) {
    for (const uint64_t f : {0u, 5u, 11u}) {
      DenseMatrix x = adversarial_matrix(3000, 12, 1, true);
      x.values[1234 * 12 + f] = f == 5 ? -kInf : kInf;
      const FloatView fv = float_view(x);
      BinningOptions options;
      options.n_jobs = jobs;
      options.feature_major = true;
      EXPECT_THROW(bin_view(fv.view, fv.order, options), ValidationError) << jobs << " " << f;
      // Sampled edges may never see the row; the pass still does.
      options.strategy = BinningStrategy::SampledSort;
      options.bin_sample_size = 10;
      EXPECT_THROW(bin_view(fv.view, fv.order, options), ValidationError) << jobs << " " << f;
    }
  }
}

TEST(ByteTranspose, OddShapesRoundTrip) {
  std::mt19937_64 gen(3);
  for (const auto& [rows, features] : std::vector<std::pair<uint64_t, uint64_t>>{
           {16, 16}, {17, 33}, {1, 40}, {100, 1}, {2100, 50}, {4500, 17}, {31, 64}}) {
    BinnedMatrix b;
    b.n_rows = rows;
    b.n_features = features;
    b.bins.resize(rows * features);
    for (uint8_t& v : b.bins) v = static_cast<uint8_t>(gen());
    const std::vector<uint8_t> row_major = b.bins;
    for (const uint64_t jobs : {1u, 3u}) {
      BinnedMatrix c = b;
      convert_bins_to_feature_major(c, jobs, nullptr);
      for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t f = 0; f < features; ++f)
          ASSERT_EQ(c.bins[f * rows + r], row_major[r * features + f]) << rows << "x" << features;
      add_row_major_copy(c, jobs);
      ASSERT_EQ(c.row_major_copy, row_major) << rows << "x" << features << " " << jobs;
    }
  }
}

}  // namespace
}  // namespace morvel
