"""TreeSHAP through NativeForest: additivity, agreement with the shap package on the exported
tree arrays, and row-chunked importances."""

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.datasets import make_classification

from morvel import NativeForest

FIT_VARIANTS = {
    "exact": {},
    "best_first": {"max_leaves": 16},
    "histogram": {"max_bins": 16},
    "extra_trees": {"extra_trees": True},
    "extra_trees_binned": {"extra_trees": True, "extra_trees_backend": "binned", "max_bins": 16},
}


def data(n=160, features=5, classes=3, seed=0, nan_share=0.08):
    x, y = make_classification(n_samples=n, n_features=features, n_informative=3, n_redundant=1,
                               n_classes=classes, random_state=seed)
    rng = np.random.default_rng(seed)
    x[rng.random(x.shape) < nan_share] = np.nan
    return x, y.astype(np.int64)


def fitted(x, y, n_estimators=12, seed=3, **options):
    forest = NativeForest()
    forest.fit(x, y, n_estimators, 2, seed, **options)
    return forest


def shap_arrays(forest, x):
    values, base = forest.tree_shap(x)
    return np.asarray(values), np.asarray(base)


@pytest.mark.parametrize("variant", sorted(FIT_VARIANTS))
def test_values_add_up_to_predict_proba(variant):
    x, y = data()
    forest = fitted(x, y, **FIT_VARIANTS[variant])
    values, base = shap_arrays(forest, x)
    assert values.shape == (x.shape[0], x.shape[1], 3)
    assert base.shape == (3,)
    proba = np.asarray(forest.predict_proba(x))
    np.testing.assert_allclose(base + values.sum(axis=1), proba, rtol=0, atol=1e-9)
    # Features never used by any split get nothing; used ones get something.
    assert np.abs(values).sum() > 0


@pytest.mark.parametrize("variant", ["exact", "histogram"])
def test_sparse_input_matches_dense(variant):
    x, y = data(nan_share=0.0)
    x[np.abs(x) < 0.7] = 0.0
    forest = fitted(x, y, **FIT_VARIANTS[variant])
    dense_values, dense_base = forest.tree_shap(x)
    sparse_values, sparse_base = forest.tree_shap(sp.csr_matrix(x))
    assert sparse_values == dense_values
    assert sparse_base == dense_base
    values = np.asarray(sparse_values)
    proba = np.asarray(forest.predict_proba(sp.csc_matrix(x)))
    np.testing.assert_allclose(np.asarray(sparse_base) + values.sum(axis=1), proba, rtol=0, atol=1e-9)


def exported_model(forest, n_classes):
    """The shap package's custom-tree model built from `shap_tree_arrays`."""
    trees = []
    exported = forest.shap_tree_arrays()
    for left, right, feature, threshold, cover, value, missing_left in exported:
        left, right = np.array(left), np.array(right)
        trees.append({
            "children_left": left,
            "children_right": right,
            "children_default": np.where(np.array(missing_left) == 1, left, right),
            "features": np.array(feature),
            "thresholds": np.array(threshold, dtype=np.float64),
            "values": np.array(value, dtype=np.float64).reshape(-1, n_classes) / len(exported),
            "node_sample_weight": np.array(cover, dtype=np.float64),
        })
    return {"trees": trees, "input_dtype": np.float64, "internal_dtype": np.float64}


@pytest.mark.parametrize("variant", ["exact", "histogram", "extra_trees", "best_first"])
def test_shap_package_on_exported_arrays_agrees(variant):
    shap = pytest.importorskip("shap")
    x, y = data()
    forest = fitted(x, y, **FIT_VARIANTS[variant])
    explainer = shap.TreeExplainer(exported_model(forest, 3), feature_perturbation="tree_path_dependent")
    theirs = np.asarray(explainer.shap_values(x, check_additivity=False))
    if theirs.shape[0] == 3:  # older shap: one array per output
        theirs = np.moveaxis(theirs, 0, -1)
    values, base = shap_arrays(forest, x)
    np.testing.assert_allclose(values, theirs, rtol=0, atol=1e-9)
    np.testing.assert_allclose(base, np.asarray(explainer.expected_value), rtol=0, atol=1e-9)


def missing_only_split_data():
    # Feature 0 is missing exactly for class 1, so the best split sends the missing values
    # alone one way; in bin space its pivot lies past the last edge.
    rng = np.random.default_rng(5)
    y = (rng.random(200) < 0.5).astype(np.int64)
    x = rng.random((200, 2))
    x[y == 1, 0] = np.nan
    return x, y


@pytest.mark.parametrize("case", ["exact", "histogram", "missing_only_histogram"])
def test_exported_arrays_route_like_predict(case):
    # Walking the arrays in scikit-learn's orientation (left: value <= threshold, NaN to the
    # default child) must land every row in the leaf the forest votes with, also rows with
    # values outside the training range.
    if case == "missing_only_histogram":
        x, y = missing_only_split_data()
        forest = fitted(x, y, n_estimators=3, max_bins=8)
        x = np.vstack([x, [[1e6, 0.5], [-1e6, 0.5]]])
    else:
        x, y = data()
        forest = fitted(x, y, **FIT_VARIANTS[case])
        x = np.vstack([x, np.full((1, x.shape[1]), 1e6), np.full((1, x.shape[1]), -1e6)])
    n_classes = len(forest.predict_proba(x[:1])[0])
    votes = np.zeros((x.shape[0], n_classes))
    for left, right, feature, threshold, _, value, missing_left in forest.shap_tree_arrays():
        value = np.array(value).reshape(-1, n_classes)
        for r, row in enumerate(x):
            node = 0
            while left[node] != -1:
                v = row[feature[node]]
                if np.isnan(v):
                    node = left[node] if missing_left[node] else right[node]
                else:
                    node = left[node] if v <= threshold[node] else right[node]
            votes[r] += value[node]
    np.testing.assert_allclose(votes / votes.sum(axis=1, keepdims=True),
                               forest.predict_proba(x), rtol=0, atol=1e-12)


def test_importances_do_not_depend_on_the_worker_count():
    x, y = data()
    forest = fitted(x, y)
    single = forest.shap_importances(x)
    assert forest.shap_importances(x, n_jobs=0) == single
    values, _ = shap_arrays(forest, x)
    mean_abs = np.abs(values).sum(axis=(0, 2)) / 3
    np.testing.assert_allclose(single, mean_abs / mean_abs.sum(), rtol=1e-12)
    for n_jobs in (2, 7):
        many = forest.shap_importances(x, n_jobs)
        assert forest.shap_importances(x, n_jobs) == many
        np.testing.assert_allclose(many, single, rtol=1e-12, atol=0)
    # More workers than rows: one row per thread.
    few = x[:3]
    np.testing.assert_allclose(forest.shap_importances(few, 7), forest.shap_importances(few, 1), rtol=1e-12)


def test_importances_with_many_batches_and_workers_match_tree_shap():
    # Deep trees on many rows: the workers go through several batches of rows, sharing each
    # batch's path states, and more workers than trees leave some without a tree to prepare.
    x, y = data(n=2500, features=12, classes=2, seed=4, nan_share=0.02)
    forest = fitted(x, y, n_estimators=3, max_depth=40)
    values, _ = shap_arrays(forest, x)
    want = np.abs(values).sum(axis=(0, 2)) / 2
    want = want / want.sum()
    single = forest.shap_importances(x, 1)
    np.testing.assert_allclose(single, want, rtol=1e-12)
    for n_jobs in (2, 5):
        np.testing.assert_allclose(forest.shap_importances(x, n_jobs), single, rtol=1e-12, atol=0)


def test_single_leaf_forest_attributes_nothing():
    x, y = data()
    forest = fitted(x, y, min_samples_split=10**6)
    values, base = shap_arrays(forest, x)
    assert not values.any()
    np.testing.assert_allclose(base, forest.predict_proba(x[:1])[0], rtol=0, atol=1e-12)
    assert forest.shap_importances(x, 2) == [0.0] * x.shape[1]


def test_refused_inputs():
    x, y = data()
    for call in (lambda f: f.tree_shap(x), lambda f: f.shap_importances(x), lambda f: f.shap_tree_arrays()):
        with pytest.raises(RuntimeError, match="^forest is not fitted$"):
            call(NativeForest())
    forest = fitted(x, y)
    with pytest.raises(ValueError, match="^X has a different number of features$"):
        forest.tree_shap(x[:, :4])
    with pytest.raises(ValueError, match="^X has a different number of features$"):
        forest.shap_importances(x[:, :4])
    with pytest.raises(ValueError, match="^X must contain at least one row$"):
        forest.shap_importances(x[:0])


@pytest.mark.parametrize("variant", ["exact", "histogram", "extra_trees_binned"])
def test_rows_explained_together_or_alone_give_the_same_bits(variant):
    # Rows explained together share path states between them; each row's values must still be
    # the bits it gets when explained on its own (NaN included, an odd row count).
    x, y = data(n=157)
    forest = fitted(x, y, max_depth=12, **FIT_VARIANTS[variant])
    together, base = shap_arrays(forest, x)
    alone = np.concatenate([shap_arrays(forest, x[i:i + 1])[0] for i in range(x.shape[0])])
    assert together.tobytes() == alone.tobytes()
    assert base.tobytes() == shap_arrays(forest, x[:1])[1].tobytes()
