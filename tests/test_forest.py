"""Forest training, prediction and out-of-bag estimates through NativeForest."""

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.datasets import load_breast_cancer, load_digits, load_wine, make_classification
from sklearn.ensemble import RandomForestClassifier
from sklearn.model_selection import StratifiedKFold

from morvel import NativeForest


def blobs(n=300, features=6, classes=3, seed=0, nan_share=0.0):
    x, y = make_classification(n_samples=n, n_features=features, n_informative=4, n_redundant=1,
                               n_classes=classes, random_state=seed)
    if nan_share:
        rng = np.random.default_rng(seed)
        x[rng.random(x.shape) < nan_share] = np.nan
    return x, y.astype(np.int64)


def fitted(x, y, n_estimators=20, max_features=2, seed=0, **options):
    forest = NativeForest()
    forest.fit(x, y, n_estimators, max_features, seed, **options)
    return forest


INPUT_FORMS = {
    "float64": lambda x: x,
    "float32": lambda x: x.astype(np.float32),
    "fortran": lambda x: np.asfortranarray(x),
    "csr": lambda x: sp.csr_matrix(np.where(np.abs(x) < 0.5, 0.0, x)),
    "csc": lambda x: sp.csc_matrix(np.where(np.abs(x) < 0.5, 0.0, x)),
}

FIT_VARIANTS = {
    "exact": {},
    "entropy": {"criterion": "entropy"},
    "best_first": {"max_leaves": 12},
    "histogram": {"max_bins": 32},
    "extra_trees": {"extra_trees": True},
    "no_bootstrap": {"bootstrap": False},
    "balanced": {"balanced_subsample": True},
}


@pytest.mark.parametrize("variant", sorted(FIT_VARIANTS))
@pytest.mark.parametrize("form", sorted(INPUT_FORMS))
def test_predict_is_argmax_of_proba_and_rows_sum_to_one(form, variant):
    x, y = blobs(nan_share=0.05 if form in ("float64", "float32") else 0.0)
    x = INPUT_FORMS[form](x)
    forest = fitted(x, y, **FIT_VARIANTS[variant])
    proba = np.asarray(forest.predict_proba(x))
    labels = forest.predict(x)
    assert proba.shape == (300, 3)
    assert all(type(v) is int for v in labels)
    # argmax returns the first maximum, which is the lowest-class tie rule.
    np.testing.assert_array_equal(labels, np.argmax(proba, axis=1))
    np.testing.assert_allclose(proba.sum(axis=1), 1.0, rtol=0, atol=1e-12)
    # Every probability is a whole number of votes out of 20.
    np.testing.assert_allclose(proba * 20, np.round(proba * 20), atol=1e-9)


def test_single_tree_gives_one_hot_rows():
    x, y = blobs()
    proba = np.asarray(fitted(x, y, n_estimators=1).predict_proba(x))
    assert set(np.unique(proba)) <= {0.0, 1.0}
    np.testing.assert_array_equal(proba.sum(axis=1), 1.0)


@pytest.mark.parametrize("variant", ["exact", "histogram", "extra_trees"])
def test_dense_and_sparse_inputs_predict_alike(variant):
    # Dense and sparse inputs take different routes (raw values, bin bytes, bins looked up
    # per CSR entry); the same matrix must get the same votes either way.
    x, y = blobs(n=500, seed=3)
    x[np.abs(x) < 0.4] = 0.0
    forest = fitted(x, y, **FIT_VARIANTS[variant])
    dense = forest.predict_proba(x)
    assert forest.predict_proba(sp.csr_matrix(x)) == dense
    assert forest.predict_proba(sp.csc_matrix(x)) == dense
    narrow = x.astype(np.float32)
    assert forest.predict_proba(narrow.astype(np.float64)) == forest.predict_proba(narrow)


def test_out_of_bag_votes():
    x, y = blobs(n=400, seed=1)
    forest = fitted(x, y, n_estimators=40, oob=True)
    oob = np.asarray(forest.oob_predict_proba())
    order = forest.training_order().astype(np.intp)
    assert oob.shape == (400, 3)
    totals = oob.sum(axis=1)
    assert np.all((np.abs(totals - 1.0) < 1e-12) | (totals == 0.0))
    # With 40 bootstraps every row is out of bag for some tree, and the estimate is useful.
    assert np.all(totals > 0)
    accuracy = np.mean(np.argmax(oob, axis=1) == y[order])
    assert accuracy > 0.7

    # Without bootstrap no row is ever out of bag.
    no_bag = fitted(x, y, oob=True, bootstrap=False)
    assert np.all(np.asarray(no_bag.oob_predict_proba()) == 0.0)


def test_out_of_bag_and_fit_errors():
    x, y = blobs()
    forest = NativeForest()
    with pytest.raises(RuntimeError, match="^forest is not fitted$"):
        forest.oob_predict_proba()
    forest.fit(x, y, 5, 2, 0)
    with pytest.raises(RuntimeError, match="^out-of-bag predictions are unavailable$"):
        forest.oob_predict_proba()
    with pytest.raises(ValueError, match=r"^X has 5 features, but the fitted forest expects 6$"):
        forest.predict(x[:, :5])


@pytest.mark.parametrize("rows, max_samples", [(1, None), (1, 5), (50, 500), (50, 3)])
def test_sample_sizes(rows, max_samples):
    x, y = blobs(n=max(rows, 10))
    x, y = x[:rows], y[:rows]
    y[0] = 1
    forest = fitted(x, y, n_estimators=5, max_samples=max_samples, oob=True)
    proba = np.asarray(forest.predict_proba(x))
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    if rows == 1:
        # Every draw picks the only row, so it is never out of bag.
        assert np.all(np.asarray(forest.oob_predict_proba()) == 0.0)


def cv_accuracy(make_model, x, y, seed):
    scores = []
    for train, test in StratifiedKFold(5, shuffle=True, random_state=seed).split(x, y):
        scores.append(np.mean(make_model(x[train], y[train], seed).predict(x[test]) == y[test]))
    return np.mean(scores)


def ours(x, y, seed):
    return fitted(x, y.astype(np.int64), 100, max(1, int(np.sqrt(x.shape[1]))), seed, n_jobs=2)


def theirs(x, y, seed):
    return RandomForestClassifier(100, max_features="sqrt", random_state=seed, n_jobs=2).fit(x, y)


@pytest.mark.parametrize("load", [load_breast_cancer, load_digits, load_wine], ids=["cancer", "digits", "wine"])
def test_accuracy_matches_scikit_learn(load):
    x, y = load(return_X_y=True)
    seeds = range(5)
    mine = np.mean([cv_accuracy(ours, x, y, s) for s in seeds])
    peer = np.mean([cv_accuracy(theirs, x, y, s) for s in seeds])
    assert mine >= peer - 0.015, (mine, peer)
