// EXTEND / UNWIND / UNWOUND_SUM: the path weights are symmetric in the path's elements, so
// unwinding any element must give the path built without it.
#include <gtest/gtest.h>

#include <vector>

#include "shap/path.h"

namespace morvel::shap {
namespace {

struct Step {
  double zero_fraction;
  double one_fraction;
  uint64_t feature;
};

// Builds a path from the dummy root element followed by `steps`, as the walk does.
std::vector<PathElement> build(const std::vector<Step>& steps) {
  std::vector<PathElement> path(steps.size() + 1);
  extend_path(path.data(), 0, 1.0, 1.0, kNoFeature);
  for (size_t k = 0; k < steps.size(); ++k) {
    extend_path(path.data(), k + 1, steps[k].zero_fraction, steps[k].one_fraction, steps[k].feature);
  }
  return path;
}

void expect_same_path(const std::vector<PathElement>& got, const std::vector<PathElement>& want,
                      size_t length) {
  for (size_t j = 0; j < length; ++j) {
    EXPECT_EQ(got[j].feature_index, want[j].feature_index) << "element " << j;
    EXPECT_EQ(got[j].zero_fraction, want[j].zero_fraction) << "element " << j;
    EXPECT_EQ(got[j].one_fraction, want[j].one_fraction) << "element " << j;
    EXPECT_NEAR(got[j].pweight, want[j].pweight, 1e-14) << "element " << j;
  }
}

class UnwindRoundTrip : public ::testing::TestWithParam<size_t> {};

// Mixed hot (one fraction 1) and cold (one fraction 0) steps with uneven zero fractions.
const std::vector<Step> kSteps = {
    {0.7, 1.0, 3}, {0.25, 0.0, 1}, {0.6, 1.0, 4}, {0.125, 0.0, 0}, {0.9, 1.0, 2}};

TEST_P(UnwindRoundTrip, UnwindingAnElementEqualsNeverAddingIt) {
  const size_t removed = GetParam();  // index into kSteps; path position removed + 1
  std::vector<PathElement> path = build(kSteps);
  const uint64_t d = kSteps.size();
  const uint64_t i = removed + 1;

  // UNWOUND_SUM reads the same recursion as UNWIND without writing: in the one-fraction
  // branch it is exactly the sum of the unwound weights.
  const double sum = unwound_path_sum(path.data(), d, i);
  unwind_path(path.data(), d, i);
  double unwound_total = 0.0;
  for (uint64_t j = d; j-- > 0;) unwound_total += path[j].pweight;
  if (kSteps[removed].one_fraction != 0.0) {
    EXPECT_EQ(sum, unwound_total);
  } else {
    EXPECT_NEAR(sum, unwound_total, 1e-14);
  }

  std::vector<Step> without = kSteps;
  without.erase(without.begin() + static_cast<std::ptrdiff_t>(removed));
  expect_same_path(path, build(without), d);
}

INSTANTIATE_TEST_SUITE_P(EveryPosition, UnwindRoundTrip, ::testing::Values(0, 1, 2, 3, 4));

}  // namespace
}  // namespace morvel::shap
