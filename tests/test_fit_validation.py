"""Settings checks of NativeForest.fit: which message wins, what the driver accepts, and
what a failed fit leaves behind."""

import math
import time

import numpy as np
import pytest
import scipy.sparse as sp

from morvel import NativeForest

BINNED_NEEDS_EXTRA = "extra_trees_backend='binned' requires extra_trees=True and integer max_bins"
BINNED_DENSE_ONLY = "extra_trees_backend='binned' supports dense float32/float64 input only"
EXACT_NO_BINS = (
    "max_bins must be None when extra_trees=True; use extra_trees_backend='binned' to enable "
    "experimental binning"
)
STRATEGY = "binning_strategy must be 'exact_sort', 'sampled_sort', 'exact_select', or 'sampled_select'"
MAX_FEATURES = "max_features must be between 1 and the number of features"
MONOTONIC_VALUES = "monotonic_cst must contain one value from {-1, 0, 1} per feature"
PROFILE_KEYS = {
    "canonical_sort_seconds",
    "data_preparation_seconds",
    "tree_build_seconds",
    "native_fit_seconds",
    "split_search_seconds",
    "bootstrap_seconds",
    "partition_seconds",
    "feature_visits",
    "sample_visits",
    "rejected_candidates",
    "feature_buffer_peak_bytes_per_worker",
    "bin_layout_conversion_seconds",
}


def make_data(n=60, n_features=3, n_classes=2, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, n_features))
    y = ((x[:, 0] > 0).astype(np.int64) + (x[:, 1] > 0.5)) % n_classes
    return x, y.astype(np.int64)


def fit(x, y, forest=None, **options):
    forest = NativeForest() if forest is None else forest
    options.setdefault("n_estimators", 3)
    options.setdefault("max_features", 1)
    options.setdefault("random_state", 0)
    forest.fit(x, y, **options)
    return forest


def fit_error(x, y, **options):
    with pytest.raises(ValueError) as info:
        fit(x, y, **options)
    return str(info.value)


# Each case holds several faults; the message is the one of the earliest check.
@pytest.mark.parametrize(
    "options, message",
    [
        ({"n_estimators": 0, "ccp_alpha": -1.0}, "n_estimators must be at least 1"),
        ({"ccp_alpha": math.nan, "binning_strategy": "bogus"}, "ccp_alpha must be a finite non-negative number"),
        ({"ccp_alpha": math.inf}, "ccp_alpha must be a finite non-negative number"),
        ({"binning_strategy": "Exact_Sort", "bin_sample_size": 0}, STRATEGY),
        ({"bin_sample_size": 0, "max_bins": 300}, "bin_sample_size must be a positive integer"),
        ({"max_bins": 256, "extra_trees_backend": "x"}, "max_bins must be None or an integer in [2, 255]"),
        ({"max_bins": 1}, "max_bins must be None or an integer in [2, 255]"),
        ({"extra_trees_backend": "Binned"}, "extra_trees_backend must be 'exact' or 'binned'"),
        ({"extra_trees_backend": "binned", "max_bins": 64}, BINNED_NEEDS_EXTRA),
        ({"extra_trees_backend": "binned", "extra_trees": True}, BINNED_NEEDS_EXTRA),
        ({"extra_trees": True, "max_bins": 64, "max_samples": 0}, EXACT_NO_BINS),
        ({"max_samples": 0}, "max_samples must be positive"),
        ({"max_samples": 0, "bootstrap": False}, "max_samples must be positive"),
    ],
)
def test_settings_are_checked_before_x_is_converted(options, message):
    # x is not a matrix at all and y is negative: both are looked at only after the settings.
    y = np.array([-1, 0], dtype=np.int64)
    assert fit_error("not a matrix", y, **options) == message


def test_labels_then_matrix_after_settings():
    assert fit_error("not a matrix", np.array([0, -1], dtype=np.int64)) == "y must contain non-negative labels"
    assert fit_error("not a matrix", np.array([0, 1], dtype=np.int64)) == (
        "X must be a two-dimensional NumPy array or CSR/CSC matrix"
    )


def test_binned_backend_refuses_sparse_input():
    x, y = make_data()
    options = {"extra_trees": True, "max_bins": 16, "extra_trees_backend": "binned"}
    assert fit_error(sp.csr_matrix(x), y, **options) == BINNED_DENSE_ONLY
    for dense in (x, x.astype(np.float32)):
        assert fit(dense, y, **options).is_fitted()


def test_checks_after_conversion_in_order():
    x, _ = make_data(n=8)
    y = np.arange(8, dtype=np.int64) % 2
    weights = np.ones(8)
    bad = {
        "max_features": 4,
        "sample_weight": np.ones(7),
        "criterion": "mse",
        "min_leaf_weight": -1.0,
        "min_samples_split": 1,
        "min_impurity_decrease": math.nan,
        "monotonic_cst": [2, 0, 0],
    }
    expected = [
        ("max_features", MAX_FEATURES),
        ("sample_weight", "sample_weight must have the same length as X"),
        ("criterion", "unsupported criterion"),
        ("min_leaf_weight", "min_leaf_weight must be finite and non-negative"),
        ("min_samples_split", "invalid minimum sample control"),
        ("min_impurity_decrease", "min_impurity_decrease must be finite and non-negative"),
        ("monotonic_cst", MONOTONIC_VALUES),
    ]
    fixes = {
        "max_features": 3,
        "sample_weight": weights,
        "criterion": "entropy",
        "min_leaf_weight": -0.0,
        "min_samples_split": 2,
        "min_impurity_decrease": 5e-324,
        "monotonic_cst": [1, 0, -1],
    }
    for key, message in expected:
        assert fit_error(x, y, **bad) == message
        bad[key] = fixes[key]
    assert fit(x, y, **bad).is_fitted()


@pytest.mark.parametrize(
    "options, message",
    [
        ({"max_features": 0}, MAX_FEATURES),
        ({"max_features": 4}, MAX_FEATURES),
        ({"criterion": "Gini"}, "unsupported criterion"),
        ({"min_samples_split": 1}, "invalid minimum sample control"),
        ({"min_samples_leaf": 0}, "invalid minimum sample control"),
        ({"min_leaf_weight": math.inf}, "min_leaf_weight must be finite and non-negative"),
        ({"min_impurity_decrease": -1e-300}, "min_impurity_decrease must be finite and non-negative"),
        ({"monotonic_cst": [1, 0]}, MONOTONIC_VALUES),
        ({"monotonic_cst": [1, 0, -1, 0]}, MONOTONIC_VALUES),
    ],
)
def test_single_setting_faults(options, message):
    x, y = make_data()
    assert fit_error(x, y, **options) == message


@pytest.mark.parametrize("max_bins", [1, 256])
@pytest.mark.parametrize("kind", ["f64", "f32", "csr", "list"])
def test_max_bins_range_has_one_message_on_every_input_path(kind, max_bins):
    # The range is judged once, before x is read, so no input path reaches a check of its own.
    x, y = make_data()
    x = {"f64": x, "f32": x.astype(np.float32), "csr": sp.csr_matrix(x), "list": x.tolist()}[kind]
    assert fit_error(x, y, max_bins=max_bins) == "max_bins must be None or an integer in [2, 255]"


@pytest.mark.parametrize("max_bins", [2, 255])
def test_max_bins_bounds_accepted(max_bins):
    x, y = make_data()
    assert fit(x, y, max_bins=max_bins).is_fitted()


def test_max_features_equal_to_feature_count_is_accepted():
    x, y = make_data()
    assert fit(x, y, max_features=3).is_fitted()


def test_monotonic_constraints_need_two_classes():
    x, y = make_data(n_classes=3)
    assert set(y) == {0, 1, 2}
    assert fit_error(x, y, monotonic_cst=[1, 0, -1]) == "monotonic_cst is supported only for binary classification"
    x2, y2 = make_data()
    assert fit(x2, y2, monotonic_cst=[1, 0, -1]).is_fitted()


@pytest.mark.parametrize(
    "options, error",
    [
        ({"monotonic_cst": "101"}, TypeError),
        ({"monotonic_cst": [300, 0, 0]}, OverflowError),
        ({"bootstrap": 1}, TypeError),
    ],
)
def test_converter_errors(options, error):
    x, y = make_data()
    with pytest.raises(error):
        fit(x, y, **options)


def test_criterion_log_loss_is_entropy():
    x, y = make_data(n=80)
    a = fit(x, y, criterion="entropy", n_estimators=4)
    b = fit(x, y, criterion="log_loss", n_estimators=4)
    assert a.shap_tree_arrays() == b.shap_tree_arrays()


def test_n_jobs_zero_trains_like_one():
    x, y = make_data(n=80)
    a = fit(x, y, n_jobs=0, n_estimators=4, oob=True)
    b = fit(x, y, n_jobs=1, n_estimators=4, oob=True)
    assert a.shap_tree_arrays() == b.shap_tree_arrays()
    assert a.oob_predict_proba() == b.oob_predict_proba()


def test_failed_refit_keeps_previous_state():
    x, y = make_data(n=50)
    forest = fit(x[::-1], y[::-1], n_estimators=2)
    order = forest.training_order().copy()
    proba = forest.predict_proba(x)
    for options in ({"max_features": 5}, {"criterion": "nope"}, {"n_estimators": 0}):
        with pytest.raises(ValueError):
            fit(x[:10], y[:10], forest=forest, **options)
        assert forest.is_fitted()
        assert forest.predict_proba(x) == proba
        np.testing.assert_array_equal(forest.training_order(), order)
    # A failure inside data preparation (an infinity found while binning a view) too.
    x_inf = x.astype(np.float32)
    x_inf[3, 1] = np.inf
    with pytest.raises(ValueError, match="X must not contain infinite values"):
        fit(x_inf, y, forest=forest, max_bins=8)
    assert forest.predict_proba(x) == proba


def test_huge_max_samples_fails_cleanly():
    x, y = make_data(n=20)
    with pytest.raises(MemoryError):
        fit(x, y, max_samples=2**64 - 1)
    # Without bootstrap the draw count is never used.
    assert fit(x, y, max_samples=2**64 - 1, bootstrap=False).is_fitted()


# Sizes that can never be held: each is refused before anything is drawn or allocated,
# says what did not fit, and leaves the previous model in place.
@pytest.mark.parametrize(
    "options, labels_times",
    [
        ({"max_samples": 2**40, "extra_trees": True}, 1),
        ({"max_samples": 2**40, "extra_trees": True, "balanced_subsample": True}, 1),
        ({"max_samples": 2**36, "n_jobs": 2}, 1),
        ({"n_estimators": 2**31 - 1}, 1),
        ({"permutation_importance": True}, 2**30),
        ({}, 2**32 - 1),
    ],
)
def test_impossible_sizes_are_refused_up_front(options, labels_times):
    x, y = make_data(n=40)
    forest = fit(x, y)
    proba = forest.predict_proba(x)
    start = time.perf_counter()
    with pytest.raises(MemoryError) as info:
        fit(x, y * labels_times, forest=forest, **options)
    assert time.perf_counter() - start < 5.0
    assert str(info.value).startswith("cannot allocate ")
    assert forest.predict_proba(x) == proba


def test_max_samples_beyond_the_rows_still_trains():
    x, y = make_data(n=20)
    forest = fit(x, y, max_samples=21, oob=True)
    assert forest.is_fitted() and len(forest.shap_tree_arrays()) == 3


def test_huge_max_depth_and_leaf_limit_train():
    x, y = make_data(n=40)
    a = fit(x, y, max_depth=2**64 - 1, max_leaves=2**64 - 1)
    b = fit(x, y, max_depth=2**64 - 1)
    # An explicit leaf limit of 2**64-1 means no limit.
    assert a.shap_tree_arrays() == b.shap_tree_arrays()


class TestProfile:
    def test_unset_variable_leaves_empty_profile(self, monkeypatch):
        monkeypatch.delenv("MORVEL_PROFILE_FIT", raising=False)
        x, y = make_data()
        assert fit(x, y).fit_profile() == {}

    @pytest.mark.parametrize(
        "options",
        [
            {},
            {"max_bins": 16, "n_jobs": 2},
            {"extra_trees": True, "max_bins": 16, "extra_trees_backend": "binned"},
            {"sparse": True},
        ],
    )
    def test_any_value_turns_profiling_on(self, monkeypatch, options):
        monkeypatch.setenv("MORVEL_PROFILE_FIT", "")
        x, y = make_data()
        if options.pop("sparse", False):
            x = sp.csr_matrix(x)
        profile = fit(x, y, **options).fit_profile()
        assert set(profile) == PROFILE_KEYS
        assert all(isinstance(v, float) and v >= 0.0 for v in profile.values())

    def test_failure_keeps_timers_written_before_it(self, monkeypatch):
        monkeypatch.setenv("MORVEL_PROFILE_FIT", "0")
        x, y = make_data()
        forest = NativeForest()
        with pytest.raises(ValueError, match="max_features"):
            fit(x, y, forest=forest, max_features=9)
        assert set(forest.fit_profile()) == {"canonical_sort_seconds"}
        # A failing settings check comes before any timer: the profile is just cleared.
        with pytest.raises(ValueError):
            fit(x, y, forest=forest, n_estimators=0)
        assert forest.fit_profile() == {}

    def test_on_then_off_clears(self, monkeypatch):
        x, y = make_data()
        forest = NativeForest()
        monkeypatch.setenv("MORVEL_PROFILE_FIT", "1")
        assert len(fit(x, y, forest=forest).fit_profile()) == 12
        monkeypatch.delenv("MORVEL_PROFILE_FIT")
        assert fit(x, y, forest=forest).fit_profile() == {}
