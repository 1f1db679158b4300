// Check order of the fit driver: with several faults at once, the earliest check decides the
// message; a fit that passes every check trains and is reported as "<passed>".
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "morvel/api.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct Fixture {
  FitSettings settings;
  std::vector<double> cells;  // row-major
  uint64_t rows = 4;
  uint64_t cols = 2;
  std::vector<int64_t> y{0, 1, 0, 1};
  std::optional<std::vector<double>> weights;
  FitInput::Kind kind = FitInput::Kind::DenseF64;
  std::function<OwnedMatrix()> other;

  Fixture() : cells{1, 2, 3, 4, 5, 6, 7, 8} {
    settings.n_estimators = 1;
    settings.max_features = 1;
  }

  // ValidationError text, or "<passed>" after a complete fit.
  std::string run(ProfileMap* profile_out = nullptr) {
    std::vector<float> cells32(cells.begin(), cells.end());
    FitInput x;
    x.kind = kind;
    x.f64 = {reinterpret_cast<const std::byte*>(cells.data()), rows, cols, static_cast<int64_t>(cols * 8), 8};
    x.f32 = {reinterpret_cast<const std::byte*>(cells32.data()), rows, cols, static_cast<int64_t>(cols * 4), 4};
    x.convert_other = other;
    FitRequest request;
    request.settings = &settings;
    request.x = &x;
    request.y = y;
    request.sample_weight = weights ? &*weights : nullptr;
    ProfileMap profile;
    std::string result = "<passed>";
    try {
      run_fit(request, profile);
    } catch (const ValidationError& e) {
      result = e.what();
    } catch (const InternalError& e) {
      result = std::string("panic: ") + e.what();
    }
    if (profile_out != nullptr) *profile_out = profile;
    return result;
  }
};

TEST(FitDriver, SettingsAreCheckedBeforeTheInput) {
  Fixture f;
  f.kind = FitInput::Kind::Other;
  f.other = []() -> OwnedMatrix { throw ValidationError("X must be a two-dimensional NumPy array or CSR/CSC matrix"); };
  f.settings.n_estimators = 0;
  f.settings.ccp_alpha = -1.0;
  EXPECT_EQ(f.run(), "n_estimators must be at least 1");
  f.settings.n_estimators = 1;
  EXPECT_EQ(f.run(), "ccp_alpha must be a finite non-negative number");
  f.settings.ccp_alpha = -0.0;
  f.settings.binning_strategy = "Exact_Sort";
  f.settings.bin_sample_size = 0;
  EXPECT_EQ(f.run(), "binning_strategy must be 'exact_sort', 'sampled_sort', 'exact_select', or 'sampled_select'");
  f.settings.binning_strategy = "sampled_select";
  EXPECT_EQ(f.run(), "bin_sample_size must be a positive integer");
  f.settings.bin_sample_size = 1;
  f.settings.max_bins = 256;
  f.settings.extra_trees_backend = "hist";
  EXPECT_EQ(f.run(), "max_bins must be None or an integer in [2, 255]");
  f.settings.max_bins = 1;
  EXPECT_EQ(f.run(), "max_bins must be None or an integer in [2, 255]");
  f.settings.max_bins = 2;
  EXPECT_EQ(f.run(), "extra_trees_backend must be 'exact' or 'binned'");
  f.settings.extra_trees_backend = "binned";
  EXPECT_EQ(f.run(), "extra_trees_backend='binned' requires extra_trees=True and integer max_bins");
  f.settings.extra_trees = true;
  EXPECT_EQ(f.run(), "extra_trees_backend='binned' supports dense float32/float64 input only");
  f.settings.extra_trees_backend = "exact";
  EXPECT_EQ(f.run(),
            "max_bins must be None when extra_trees=True; use extra_trees_backend='binned' to enable "
            "experimental binning");
  f.settings.max_bins.reset();
  f.y = {0, -1, 0, 1};
  EXPECT_EQ(f.run(), "y must contain non-negative labels");
  f.y = {0, 1, 0, 1};
  // Only now is x converted.
  EXPECT_EQ(f.run(), "X must be a two-dimensional NumPy array or CSR/CSC matrix");
}

TEST(FitDriver, LaterChecksInOrderOnTheGeneralDensePath) {
  Fixture f;
  f.y = {0, 1, 0};
  f.cells[0] = kInf;
  // The canonical order compares row counts before x is copied.
  EXPECT_EQ(f.run(), "X and y must contain the same number of rows");
  f.y = {0, 1, 0, 1};
  // The general converter finds infinities while copying, before the count checks.
  f.settings.max_features = 3;
  EXPECT_EQ(f.run(), "X must not contain infinite values");
  f.cells[0] = kNan;
  EXPECT_EQ(f.run(), "max_features must be between 1 and the number of features");
  f.settings.max_features = 2;
  f.weights = std::vector<double>{1, 1, 1};
  f.settings.criterion = "Gini";
  EXPECT_EQ(f.run(), "sample_weight must have the same length as X");
  f.weights = std::vector<double>{1, -1, 0, 0};
  EXPECT_EQ(f.run(), "unsupported criterion");
  f.settings.criterion = "log_loss";
  f.settings.min_leaf_weight = kNan;
  EXPECT_EQ(f.run(), "sample_weight must contain finite non-negative values");
  f.weights = std::vector<double>{-0.0, 0, 0, 0};
  EXPECT_EQ(f.run(), "sample_weight cannot be all zero");
  f.weights = std::vector<double>{-0.0, 0, 0, 2};
  f.settings.min_samples_split = 1;
  EXPECT_EQ(f.run(), "min_leaf_weight must be finite and non-negative");
  f.settings.min_leaf_weight = 0.0;
  f.settings.min_impurity_decrease = kInf;
  EXPECT_EQ(f.run(), "invalid minimum sample control");
  f.settings.min_samples_split = 2;
  f.settings.min_samples_leaf = 0;
  EXPECT_EQ(f.run(), "invalid minimum sample control");
  f.settings.min_samples_leaf = 1;
  f.settings.monotonic_cst = std::vector<int8_t>{1, 0, -1};
  EXPECT_EQ(f.run(), "min_impurity_decrease must be finite and non-negative");
  f.settings.min_impurity_decrease = 5e-324;
  EXPECT_EQ(f.run(), "monotonic_cst must contain one value from {-1, 0, 1} per feature");
  f.settings.monotonic_cst = std::vector<int8_t>{2, 0};
  EXPECT_EQ(f.run(), "monotonic_cst must contain one value from {-1, 0, 1} per feature");
  f.settings.monotonic_cst = std::vector<int8_t>{1, -1};
  f.y = {0, 1, 2, 1};
  EXPECT_EQ(f.run(), "monotonic_cst is supported only for binary classification");
  f.y = {0, 1, 0, 1};
  EXPECT_EQ(f.run(), "<passed>");
}

TEST(FitDriver, DirectPathsDeferInfinitiesToDataPreparation) {
  // float32 with extra trees reads the caller's buffer, so an infinity is found only after
  // the count and criterion checks.
  Fixture f;
  f.kind = FitInput::Kind::DenseF32;
  f.settings.extra_trees = true;
  f.cells[3] = -kInf;
  f.settings.max_features = 3;
  EXPECT_EQ(f.run(), "max_features must be between 1 and the number of features");
  f.settings.max_features = 1;
  f.settings.criterion = "mse";
  EXPECT_EQ(f.run(), "unsupported criterion");
  f.settings.criterion = "gini";
  EXPECT_EQ(f.run(), "X must not contain infinite values");
  // The binned view path finds it in the binning pass, after the setting checks.
  f.settings.extra_trees = false;
  f.settings.max_bins = 16;
  f.settings.min_samples_leaf = 0;
  EXPECT_EQ(f.run(), "invalid minimum sample control");
  f.settings.min_samples_leaf = 1;
  EXPECT_EQ(f.run(), "X must not contain infinite values");
}

TEST(FitDriver, EmptyDenseInput) {
  Fixture f;
  f.rows = 0;
  f.y = {};
  f.cells.clear();
  // No row means no label, which the class count reports before the matrix checks.
  EXPECT_EQ(f.run(), "y must contain at least one class");
  f.rows = 3;
  f.cols = 0;
  f.y = {0, 0, 0};
  EXPECT_EQ(f.run(), "max_features must be between 1 and the number of features");
}

TEST(FitDriver, CsrPathRunsStructuralChecksBeforeLabelChecks) {
  Fixture f;
  f.kind = FitInput::Kind::Other;
  f.settings.min_samples_split = 0;
  f.other = [] {
    return OwnedMatrix{CsrMatrix{{0, 1, 1, 2, 1}, {0, 1}, {1.0, 2.0}, 4, 2}};
  };
  EXPECT_EQ(f.run(), "invalid CSR matrix structure");
  f.other = [] {
    return OwnedMatrix{CsrMatrix{{0, 1, 1, 2, 2}, {0, 1}, {1.0, kNan}, 4, 2}};
  };
  EXPECT_EQ(f.run(), "invalid minimum sample control");
  f.settings.min_samples_split = 2;
  f.y = {0, 0, 0};
  EXPECT_EQ(f.run(), "X and y must contain the same number of rows");
}

TEST(FitDriver, ProfileKeepsTheTimersWrittenBeforeAFailure) {
  Fixture f;
  f.settings.max_features = 9;
  ASSERT_EQ(setenv("MORVEL_PROFILE_FIT", "0", 1), 0);
  ProfileMap profile;
  EXPECT_EQ(f.run(&profile), "max_features must be between 1 and the number of features");
  ASSERT_EQ(profile.size(), 1u);
  EXPECT_GE(profile.at("canonical_sort_seconds"), 0.0);
  ASSERT_EQ(unsetenv("MORVEL_PROFILE_FIT"), 0);
  EXPECT_EQ(f.run(&profile), "max_features must be between 1 and the number of features");
  EXPECT_TRUE(profile.empty());
}

}  // namespace
}  // namespace morvel
