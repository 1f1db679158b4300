"""Fit profile: which counters each kind of fit feeds, and that profiling never changes the model.

The switch itself (unset, empty, on then off, failed fits) is covered in test_fit_validation.py.
"""

import numpy as np
import pytest
from sklearn.datasets import make_classification

from morvel import NativeForest

TIMERS = {"canonical_sort_seconds", "data_preparation_seconds", "tree_build_seconds", "native_fit_seconds"}

# Counters that must have moved after a fit of each kind; every other counter may stay 0.0.
FED = {
    "exact": ({}, {"split_search_seconds", "partition_seconds", "feature_visits"}),
    "histogram": ({"max_bins": 16}, {"split_search_seconds", "partition_seconds", "feature_visits"}),
    "extra_trees": (
        {"extra_trees": True},
        {"split_search_seconds", "bootstrap_seconds", "sample_visits", "feature_buffer_peak_bytes_per_worker"},
    ),
    "extra_trees_binned": (
        {"extra_trees": True, "max_bins": 16, "extra_trees_backend": "binned"},
        {"split_search_seconds", "bootstrap_seconds", "sample_visits", "bin_layout_conversion_seconds"},
    ),
}


def data():
    x, y = make_classification(n_samples=300, n_features=6, n_informative=4, random_state=1)
    return x, y.astype(np.int64)


def fit(x, y, **options):
    forest = NativeForest()
    forest.fit(x, y, 6, 3, 11, **options)
    return forest


@pytest.mark.parametrize("kind", sorted(FED))
def test_counters_move_where_their_code_runs(monkeypatch, kind):
    options, fed = FED[kind]
    monkeypatch.setenv("MORVEL_PROFILE_FIT", "")
    x, y = data()
    profile = fit(x, y, n_jobs=2, **options).fit_profile()
    assert len(profile) == 12
    assert TIMERS <= set(profile)
    assert {key for key in fed if profile[key] <= 0.0} == set()
    # The whole fit covers its phases, which run one after another on the calling thread.
    phases = profile["canonical_sort_seconds"] + profile["data_preparation_seconds"] + profile["tree_build_seconds"]
    assert profile["native_fit_seconds"] >= phases


@pytest.mark.parametrize("kind", sorted(FED))
def test_profiling_does_not_change_the_model(monkeypatch, kind):
    options, _ = FED[kind]
    x, y = data()
    monkeypatch.delenv("MORVEL_PROFILE_FIT", raising=False)
    plain = fit(x, y, **options)
    monkeypatch.setenv("MORVEL_PROFILE_FIT", "1")
    profiled = fit(x, y, **options)
    assert profiled.shap_tree_arrays() == plain.shap_tree_arrays()
    assert profiled.predict_proba(x) == plain.predict_proba(x)


@pytest.mark.parametrize("n_classes", [2, 5])
def test_subtrees_grown_whole_match_node_by_node_growth(monkeypatch, n_classes):
    # Profiling sends every binned extra-trees node through the per-feature loop; without it,
    # nodes below 128 entries grow their subtrees over entry masks (two words past 64 entries),
    # with missing values routed by each split's missing_left.
    x, y = make_classification(n_samples=900, n_features=8, n_informative=5, n_classes=n_classes, random_state=3)
    x[np.random.default_rng(3).random(x.shape) < 0.05] = np.nan
    options = {"extra_trees": True, "max_bins": 64, "extra_trees_backend": "binned"}
    monkeypatch.delenv("MORVEL_PROFILE_FIT", raising=False)
    plain = fit(x, y.astype(np.int64), **options)
    monkeypatch.setenv("MORVEL_PROFILE_FIT", "1")
    profiled = fit(x, y.astype(np.int64), **options)
    assert profiled.shap_tree_arrays() == plain.shap_tree_arrays()
