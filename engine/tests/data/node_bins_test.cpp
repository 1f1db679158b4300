// One feature's on-demand sums: the integer sums of whole weights equal the float sums.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "data/node_bins.h"

namespace morvel {
namespace {

struct Sums {
  std::vector<double> weights;
  std::vector<uint64_t> counts;
  std::vector<uint32_t> occupied;
};

template <uint64_t kClasses>
Sums sums_of(const BinRows& m, const NodeEntries& entries, uint64_t f) {
  FeatureBinSums s;
  s.reset(m.n_classes);
  s.fill<false, kClasses>(m, entries, f);
  Sums out{{s.weights(), s.weights() + kByteBins * m.n_classes},
           {s.counts(), s.counts() + kByteBins},
           {s.occupied(), s.occupied() + s.n_occupied()}};
  s.clear(m, f, true);
  return out;
}

// Byte rows with a missing-value bin, drawn so that every bin and class sees several entries,
// rows listed more than once; whole weights up to 3 (zero included).
TEST(FeatureBinSums, WholeWeightSumsEqualFloatSums) {
  const uint64_t n_rows = 97;
  const uint64_t n_features = 2;
  const uint64_t n_classes = 3;
  BinnedMatrix bm;
  bm.edges = {{0.5, 1.5, 2.5}, {1.0}};
  bm.has_missing = true;
  bm.n_rows = n_rows;
  bm.n_features = n_features;
  std::vector<ClassIndex> labels(n_rows);
  std::vector<double> row_weights(n_rows);
  for (uint64_t r = 0; r < n_rows; ++r) {
    bm.bins.push_back(static_cast<uint8_t>((r * 7) % 5));  // bins 0..3 and the missing bin 4
    bm.bins.push_back(static_cast<uint8_t>((r / 3) % 3));  // bins 0..1 and the missing bin 2
    labels[r] = static_cast<ClassIndex>((r * 5 / 3) % n_classes);
    row_weights[r] = static_cast<double>(r % 4);
  }
  BinRows m;
  m.bytes = bm.bins.data();
  m.binned = &bm;
  m.edges = &bm.edges;
  m.labels = labels.data();
  m.weights = row_weights.data();
  m.n_rows = n_rows;
  m.n_features = n_features;
  m.n_classes = n_classes;
  m.missing_slot = 1;

  std::vector<RowIndex> rows;
  for (uint64_t i = 0; i < 3 * n_rows; ++i) rows.push_back(static_cast<RowIndex>((i * 31) % n_rows));
  std::vector<ClassIndex> entry_labels;
  std::vector<double> entry_weights;
  for (const RowIndex r : rows) {
    entry_labels.push_back(labels[r]);
    entry_weights.push_back(row_weights[r]);
  }
  // Per-entry lists, the rows' own arrays, and unit weights: each way of reading the entries.
  const NodeEntries readings[] = {
      {rows, entry_labels.data(), entry_weights.data(), false},
      {rows, nullptr, nullptr, false},
      {rows, entry_labels.data(), nullptr, true},
  };
  for (const NodeEntries& floats : readings) {
    NodeEntries whole = floats;
    whole.whole_weight_bound = 3.0;
    for (uint64_t f = 0; f < n_features; ++f) {
      const Sums a = sums_of<0>(m, floats, f);
      for (const Sums& b : {sums_of<0>(m, whole, f), sums_of<n_classes>(m, whole, f)}) {
        EXPECT_EQ(0, std::memcmp(a.weights.data(), b.weights.data(), a.weights.size() * sizeof(double)));
        EXPECT_EQ(a.counts, b.counts);
        EXPECT_EQ(a.occupied, b.occupied);
      }
    }
  }
}

}  // namespace
}  // namespace morvel
