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
