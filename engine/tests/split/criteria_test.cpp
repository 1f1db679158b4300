// The criterion policies and the validity rules: the unrolled and lane forms against the
// scalar form, bit for bit, and an unknown criterion refused.
#include "split/criteria.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "split/gini_lanes.h"

namespace morvel {
namespace {

// Class weights with zeros, integers and fractions mixed, as node sides hold them.
std::vector<double> random_weights(std::mt19937_64& gen, uint64_t n) {
  std::vector<double> v(n);
  for (double& x : v) {
    const uint64_t kind = gen() % 4;
    x = kind == 0 ? 0.0 : kind == 1 ? static_cast<double>(gen() % 50) : static_cast<double>(gen() % 10000) / 37.0;
  }
  return v;
}

double sum_of(const std::vector<double>& v) {
  double s = 0.0;
  for (const double x : v) s += x;
  return s;
}

SearchRules rules_for(Criterion criterion, uint64_t n_classes) {
  SearchRules rules;
  rules.criterion = criterion;
  rules.n_classes = n_classes;
  rules.min_samples_leaf = 2;
  rules.min_leaf_weight = 1.0;
  rules.min_impurity_decrease = 0.0;
  return rules;
}

TEST(Criteria, UnknownCriterionIsAnInternalFailure) {
  const Criterion unknown = static_cast<Criterion>(7);
  const double v[2] = {1.0, 3.0};
  EXPECT_THROW(impurity(unknown, v, 2, 4.0), InternalError);
  const SearchRules rules = rules_for(unknown, 2);
  EXPECT_THROW(evaluate_partition(rules, 0.5, 8.0, SideStats{v, 4.0, 4}, SideStats{v, 4.0, 4}, 0, NodeBounds{}),
               InternalError);
}

class FixedClassCount : public ::testing::TestWithParam<Criterion> {};

// Each class count the searches specialise gets the copy for its own count, and that copy
// rounds exactly as the general loop does.
TEST_P(FixedClassCount, MatchesTheGeneralFormBitForBit) {
  const Criterion criterion = GetParam();
  std::mt19937_64 gen(11);
  for (uint64_t n = 1; n <= kMaxUnrolledClasses + 2; ++n) {
    const SearchRules rules = rules_for(criterion, n);
    for (int trial = 0; trial < 200; ++trial) {
      const std::vector<double> left = random_weights(gen, n);
      const std::vector<double> right = random_weights(gen, n);
      const double wl = sum_of(left);
      const double wr = sum_of(right);
      const SideStats l{left.data(), wl, 1 + gen() % 5};
      const SideStats r{right.data(), wr, 1 + gen() % 5};
      const double parent = 0.75;
      const std::optional<double> general = evaluate_partition(rules, parent, wl + wr, l, r, 0, NodeBounds{});
      with_criterion(criterion, [&](auto c) {
        with_class_count<kMaxUnrolledClasses>(n, [&](auto classes) {
          constexpr uint64_t K = decltype(classes)::value;
          ASSERT_EQ(K, n >= 2 && n <= kMaxUnrolledClasses ? n : 0);
          const double fixed = impurity_of<decltype(c), K>(left.data(), n, wl);
          EXPECT_EQ(std::bit_cast<uint64_t>(fixed), std::bit_cast<uint64_t>(impurity(criterion, left.data(), n, wl)));
          const auto unrolled = evaluate_partition_as<decltype(c), K>(rules, parent, wl + wr, l, r, 0, NodeBounds{});
          ASSERT_EQ(unrolled.has_value(), general.has_value());
          if (general) {
            EXPECT_EQ(std::bit_cast<uint64_t>(*unrolled), std::bit_cast<uint64_t>(*general));
          }
        });
      });
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Criteria, FixedClassCount, ::testing::Values(Criterion::Gini, Criterion::Entropy));

// The lane kernels against evaluate_partition on the same candidates: every improvement bit
// for bit (with missing weight joining either side, and the left side given or derived from
// the totals), and the chosen candidate that of the in-order strictly-greater rule.
TEST(GiniLanes, MatchTheScalarRules) {
  std::mt19937_64 gen(5);
  for (const uint64_t n : {2, 3, 7}) {
    const uint64_t k = 37;
    SearchRules rules = rules_for(Criterion::Gini, n);
    rules.min_impurity_decrease = -1.0;  // keep most candidates, so the choice is exercised
    std::vector<double> totals = random_weights(gen, n);
    const std::vector<double> add = random_weights(gen, n);
    // Prefix columns (class-major): integer prefixes of the totals, so total - prefix >= 0.
    std::vector<double> right(n * k), left(n * k), wl(k), wr(k);
    std::vector<uint64_t> n_prefix(k);
    for (double& t : totals) t = std::floor(t) + 40.0;
    for (uint64_t i = 0; i < k; ++i) {
      wl[i] = 0.0;
      wr[i] = 0.0;
      n_prefix[i] = i;
      for (uint64_t c = 0; c < n; ++c) {
        right[c * k + i] = std::floor(totals[c] * static_cast<double>(i) / static_cast<double>(k - 1));
        left[c * k + i] = totals[c] - right[c * k + i];
        wl[i] += left[c * k + i] + add[c];
        wr[i] += right[c * k + i];
      }
    }
    const double node_weight = wl[k / 2] + wr[k / 2];
    const double parent = impurity(Criterion::Gini, totals.data(), n, sum_of(totals));
    std::vector<double> sum_l(k), sum_r(k), lanes(k), scratch(k);
    for (const bool derived : {false, true}) {
      detail::gini_improvements(derived ? nullptr : left.data(), totals.data(), add.data(), right.data(), nullptr, k,
                                n, wl.data(), wr.data(), node_weight, parent, sum_l.data(), sum_r.data(),
                                lanes.data(), k);
      BestPartition best;
      std::vector<double> side(n);
      for (uint64_t i = 0; i < k; ++i) {
        for (uint64_t c = 0; c < n; ++c) side[c] = left[c * k + i] + add[c];
        const SideStats l{side.data(), wl[i], k - n_prefix[i]};
        std::vector<double> r(n);
        for (uint64_t c = 0; c < n; ++c) r[c] = right[c * k + i];
        const SideStats rs{r.data(), wr[i], n_prefix[i]};
        const double il = impurity(Criterion::Gini, side.data(), n, wl[i]);
        const double ir = impurity(Criterion::Gini, r.data(), n, wr[i]);
        if (wl[i] != 0.0 && wr[i] != 0.0) {
          EXPECT_EQ(std::bit_cast<uint64_t>(lanes[i]),
                    std::bit_cast<uint64_t>(improvement_of(parent, node_weight, wl[i], il, wr[i], ir)));
        }
        best.offer(evaluate_partition(rules, parent, node_weight, l, rs, 0, NodeBounds{}), static_cast<double>(i),
                   false);
      }
      const uint64_t chosen = detail::first_best_partition(n_prefix.data(), k, wl.data(), wr.data(), lanes.data(), k,
                                                           rules, scratch.data());
      ASSERT_TRUE(best.found);
      EXPECT_EQ(chosen, static_cast<uint64_t>(best.pivot));
    }
  }
}

}  // namespace
}  // namespace morvel
