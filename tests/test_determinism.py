"""Reproducibility: the same seed gives the same model whatever the worker count and
whatever the order of the caller's rows."""

import numpy as np
import pytest
from sklearn.datasets import make_classification

from morvel import NativeForest

SETTINGS = {
    "exact": {},
    "histogram": {"max_bins": 16},
    "extra_trees": {"extra_trees": True},
    "balanced_best_first": {"balanced_subsample": True, "max_leaves": 20, "max_samples": 150},
    "pruned": {"ccp_alpha": 0.01},
}


def data(seed=0, n=250):
    x, y = make_classification(n_samples=n, n_features=7, n_informative=4, n_classes=3, random_state=seed)
    x[::17, 2] = np.nan
    return x, y.astype(np.int64)


def fit(x, y, n_jobs=1, seed=5, **options):
    forest = NativeForest()
    forest.fit(x, y, 24, 3, seed, n_jobs=n_jobs, oob=True, permutation_importance=True, **options)
    return forest


def summary(forest, x):
    return {
        "proba": forest.predict_proba(x),
        "oob": forest.oob_predict_proba(),
        "splits": forest.feature_importances(),
    }


@pytest.mark.parametrize("name", sorted(SETTINGS))
def test_worker_count_changes_nothing_but_the_last_bits_of_permutation_means(name):
    x, y = data()
    base = fit(x, y, n_jobs=1, **SETTINGS[name])
    expected = summary(base, x)
    for n_jobs in (2, 8):
        for _ in range(3):  # the workers finish in a different order each time
            other = fit(x, y, n_jobs=n_jobs, **SETTINGS[name])
            assert summary(other, x) == expected
            # Trees are stored in index order whoever trained them, so every sum over the
            # stored trees is the same to the bit.
            assert other.shap_tree_arrays() == base.shap_tree_arrays()
            assert other.gain_importances() == base.gain_importances()
            assert other.tree_normalized_gain_importances() == base.tree_normalized_gain_importances()
            assert other.tree_shap(x[:20]) == base.tree_shap(x[:20])
            # Partial permutation means are merged in the order the workers finish.
            np.testing.assert_allclose(other.permutation_importances(), base.permutation_importances(),
                                       rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("name", ["exact", "histogram", "extra_trees"])
def test_row_permutation_gives_the_same_model(name):
    x, y = data(seed=2)
    perm = np.random.default_rng(0).permutation(len(y))
    a = fit(x, y, **SETTINGS[name])
    b = fit(x[perm], y[perm], **SETTINGS[name])
    assert a.predict_proba(x) == b.predict_proba(x)
    assert a.gain_importances() == b.gain_importances()
    assert a.permutation_importances() == b.permutation_importances()
    # Out-of-bag rows follow each fit's training order; mapped back to the caller's rows
    # the estimates agree.
    oob_a = np.empty((len(y), 3))
    oob_a[a.training_order().astype(np.intp)] = a.oob_predict_proba()
    oob_b = np.empty((len(y), 3))
    oob_b[perm[b.training_order().astype(np.intp)]] = b.oob_predict_proba()
    np.testing.assert_array_equal(oob_a, oob_b)


@pytest.mark.parametrize("name", ["exact", "histogram", "extra_trees"])
def test_row_permutation_of_weighted_duplicates_gives_the_same_model(name):
    # Few distinct rows, so most rows repeat another's features and label but not its weight.
    rng = np.random.default_rng(3)
    x = rng.integers(0, 2, (40, 3)).astype(np.float64)
    y = rng.integers(0, 2, 40).astype(np.int64)
    w = rng.uniform(0.1, 2.0, 40)
    w[:2] = [-0.0, 0.0]
    perm = rng.permutation(40)
    a = fit(x, y, sample_weight=w, **SETTINGS[name])
    b = fit(x[perm], y[perm], sample_weight=w[perm], **SETTINGS[name])
    assert a.predict_proba(x) == b.predict_proba(x)
    assert a.shap_tree_arrays() == b.shap_tree_arrays()
    # Tied rows are ordered by weight, so the training order names the same rows either way.
    np.testing.assert_array_equal(perm[b.training_order().astype(np.intp)], a.training_order())
    order = a.training_order().astype(np.intp)
    keys = np.lexsort((w[order], y[order], x[order, 2], x[order, 1], x[order, 0]))
    np.testing.assert_array_equal(keys, np.arange(40))


def test_seed_decides_the_model():
    x, y = data(seed=4)
    assert fit(x, y, seed=1).predict_proba(x) == fit(x, y, seed=1).predict_proba(x)
    assert fit(x, y, seed=1).predict_proba(x) != fit(x, y, seed=2).predict_proba(x)
