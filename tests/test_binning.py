"""Histogram training through NativeForest(max_bins=...): edge strategies, thread and dtype
independence, and agreement with the exact path."""

import numpy as np
import pytest
import scipy.sparse
from sklearn.datasets import load_digits, make_classification

from morvel import NativeForest

STRATEGIES = ["exact_sort", "sampled_sort", "exact_select", "sampled_select"]


def fit(x, y, n_estimators=12, max_features=3, seed=4, **options):
    forest = NativeForest()
    forest.fit(x, y, n_estimators, max_features, seed, **options)
    return forest


def wide_problem(n=3000, features=12, seed=0, nan_share=0.02):
    # 36000 cells: edges and the binning pass run on worker threads when n_jobs > 1.
    x, y = make_classification(n_samples=n, n_features=features, n_informative=6, n_classes=3,
                               random_state=seed)
    rng = np.random.default_rng(seed)
    x[rng.random(x.shape) < nan_share] = np.nan
    return x, y.astype(np.int64)


def digits_without_constant_columns():
    x, y = load_digits(return_X_y=True)
    # Shifted away from zero; at most 17 distinct values per column, so 255 bins lose nothing.
    return x[:, x.std(axis=0) > 0] + 1.0, y.astype(np.int64)


@pytest.mark.parametrize("strategy", STRATEGIES)
def test_worker_count_changes_nothing(strategy):
    x, y = wide_problem()
    options = dict(max_bins=24, binning_strategy=strategy, bin_sample_size=1000, oob=True)
    one = fit(x, y, n_jobs=1, **options)
    for n_jobs in (2, 4):
        many = fit(x, y, n_jobs=n_jobs, **options)
        assert many.predict_proba(x) == one.predict_proba(x)
        assert many.oob_predict_proba() == one.oob_predict_proba()


@pytest.mark.parametrize("sample_weight", [None, "fractional"])
def test_threads_inside_one_tree_change_nothing(sample_weight):
    # One tree and two jobs on a wide matrix: the tree's node histograms are built by two
    # threads. Fractional weights take the build-and-subtract path, None the exact sums.
    x, y = wide_problem(n=2200, features=64, seed=1, nan_share=0.01)
    weights = None
    if sample_weight:
        weights = np.random.default_rng(2).uniform(0.1, 3.0, size=len(y))
    one = fit(x, y, n_estimators=1, max_features=8, n_jobs=1, sample_weight=weights, max_bins=64)
    two = fit(x, y, n_estimators=1, max_features=8, n_jobs=2, sample_weight=weights, max_bins=64)
    assert two.predict_proba(x) == one.predict_proba(x)
    assert two.gain_importances() == one.gain_importances()


@pytest.mark.parametrize("strategy", STRATEGIES)
def test_float32_and_float64_bin_alike(strategy):
    x, y = wide_problem(n=800, seed=3)
    x32 = x.astype(np.float32)
    options = dict(max_bins=32, binning_strategy=strategy, bin_sample_size=300)
    narrow = fit(x32, y, **options)
    wide = fit(x32.astype(np.float64), y, **options)
    assert narrow.predict_proba(x32) == wide.predict_proba(x32.astype(np.float64))
    assert narrow.gain_importances() == wide.gain_importances()


def test_sampled_strategy_with_all_rows_equals_exact_twin():
    x, y = wide_problem(n=500, seed=5)
    for sampled, exact in (("sampled_sort", "exact_sort"), ("sampled_select", "exact_select")):
        a = fit(x, y, max_bins=16, binning_strategy=sampled, bin_sample_size=500)
        b = fit(x, y, max_bins=16, binning_strategy=exact)
        assert a.predict_proba(x) == b.predict_proba(x)


def test_selection_gives_repeated_values_no_bins():
    # Column 0 is 90% zeros: "exact_select" with 4 bins finds no edge in it (all quantile
    # neighbours are zero), so it is never split on; "exact_sort" cuts it at 0.5.
    rng = np.random.default_rng(0)
    n = 400
    y = rng.integers(0, 2, n).astype(np.int64)
    x = np.column_stack([np.where(np.arange(n) % 10 == 0, 1.0, 0.0), rng.normal(size=n) + y])
    y[np.arange(n) % 10 == 0] = 1  # the rare value is informative
    select = fit(x, y, max_features=2, max_bins=4, binning_strategy="exact_select")
    sort = fit(x, y, max_features=2, max_bins=4, binning_strategy="exact_sort")
    assert select.feature_importances()[0] == 0.0
    assert sort.feature_importances()[0] > 0.0


@pytest.mark.parametrize("two_classes", [False, True])
def test_lossless_bins_grow_the_exact_trees(two_classes):
    # With every distinct value in a bin of its own, bin partitions are value partitions, so
    # without bootstrap each training row lands where the exact trees put it.
    x, y = digits_without_constant_columns()
    if two_classes:
        y = (y < 5).astype(np.int64)
    options = dict(n_estimators=8, max_features=6, bootstrap=False)
    exact = fit(x, y, **options)
    binned = fit(x, y, max_bins=255, **options)
    assert binned.gain_importances() == exact.gain_importances()
    assert binned.predict_proba(x) == exact.predict_proba(x)


def test_accuracy_close_to_exact_path():
    x, y = make_classification(n_samples=8000, n_features=20, n_informative=8, random_state=2)
    y = y.astype(np.int64)
    train, test = slice(0, 4000), slice(4000, None)
    accuracy = {}
    for name, options in {"exact": {}, "bins": {"max_bins": 255}}.items():
        forest = fit(x[train], y[train], n_estimators=100, max_features=4, seed=2, **options)
        accuracy[name] = np.mean(np.asarray(forest.predict(x[test])) == y[test])
    assert abs(accuracy["bins"] - accuracy["exact"]) <= 0.005


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_infinity_refused_after_edges(dtype):
    x, y = wide_problem(n=200, seed=6, nan_share=0.0)
    x = x.astype(dtype)
    x[7, 2] = -np.inf
    with pytest.raises(ValueError, match="^X must not contain infinite values$"):
        fit(x, y, max_bins=16)


def test_missing_values_route_by_learned_direction():
    # NaN in training goes to the missing-value bin; prediction sends NaN the same way, and a
    # value never seen in training is binned by the fitted edges.
    rng = np.random.default_rng(7)
    n = 600
    y = rng.integers(0, 2, n).astype(np.int64)
    x = np.column_stack([np.where(y == 1, 5.0, 1.0), rng.normal(size=n)])
    x[np.flatnonzero(y == 1)[::3], 0] = np.nan
    forest = fit(x, y, max_features=2, max_bins=8, bootstrap=False)
    probe = np.array([[np.nan, 0.0], [1.0, 0.0], [5.0, 0.0], [4.0, 0.0], [1.5, 0.0]])
    assert forest.predict(probe) == [1, 0, 1, 1, 0]


@pytest.mark.parametrize("options", [{"max_bins": 6}, {"max_bins": 6, "extra_trees": True,
                                                        "extra_trees_backend": "binned"}])
def test_prediction_routes_raw_rows_like_their_bins(options):
    # Prediction routes raw values through thresholds taken from the edges, TreeSHAP through
    # the bins themselves: on rows sitting exactly on edges, next to them, far outside the
    # training range and missing, both must describe the same votes.
    rng = np.random.default_rng(3)
    x = rng.integers(0, 10, size=(300, 3)).astype(np.float64)
    x[rng.random(x.shape) < 0.1] = np.nan
    y = ((np.nan_to_num(x[:, 0]) + np.nan_to_num(x[:, 1])) > 9).astype(np.int64)
    forest = NativeForest()
    forest.fit(x, y, 10, 2, 4, **options)
    probe = [0.5 * k for k in range(-2, 22)] + [np.nextafter(4.5, 5.0), np.nextafter(4.5, 4.0), 1e9, -1e9, np.nan]
    rows = np.array([[a, b, c] for a, b, c in zip(probe, probe[::-1], probe[3:] + probe[:3])], dtype=np.float64)
    values, base = forest.tree_shap(rows)
    np.testing.assert_allclose(np.asarray(base) + np.asarray(values).sum(axis=1), forest.predict_proba(rows),
                               rtol=0, atol=1e-12)


@pytest.mark.parametrize("options", [
    {},
    {"balanced_subsample": True, "oob": True},
    {"max_leaves": 40, "permutation_importance": True},
    {"monotonic_cst": [1, -1] + [0] * 62},
    {"n_jobs": 2, "n_estimators": 1},  # two threads inside one tree (64 features)
    {"bootstrap": False},
    {"sparse": True, "oob": True},
])
def test_fit_without_weights_equals_uniformly_doubled_weights(options):
    # Without sample_weight a histogram fit keeps no weight vector and counts every row as
    # 1.0; weights of 2.0 everywhere take the stored-weight path. Doubling every weight
    # doubles every sum exactly and leaves every ratio, so both must grow the same trees.
    x, y = wide_problem(n=2000, features=64, seed=3, nan_share=0.01)
    y = (y > 0).astype(np.int64)
    if options.get("sparse"):
        x[np.abs(x) < 0.5] = 0.0
        x = scipy.sparse.csr_matrix(x)
    options = {"n_estimators": 6, "max_features": 8, "max_bins": 64,
               **{key: value for key, value in options.items() if key != "sparse"}}
    plain = fit(x, y, **options)
    doubled = fit(x, y, sample_weight=np.full(len(y), 2.0), **options)
    assert doubled.predict_proba(x) == plain.predict_proba(x)
    assert doubled.gain_importances() == plain.gain_importances()
    if options.get("oob"):
        assert doubled.oob_predict_proba() == plain.oob_predict_proba()
    if options.get("permutation_importance"):
        assert doubled.permutation_importances() == plain.permutation_importances()
