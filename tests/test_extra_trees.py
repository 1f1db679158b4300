"""Extra-trees training through NativeForest: thread-count invariance, the role of
extra_seed, and agreement between float32 and float64 input."""

import numpy as np
import pytest

from morvel import NativeForest

BACKENDS = [
    pytest.param({"extra_trees_backend": "exact"}, id="exact"),
    pytest.param({"extra_trees_backend": "binned", "max_bins": 32}, id="binned"),
]


def _data(n_classes=2, seed=0, n_rows=300, n_features=8, missing=True):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n_rows, n_features)).astype(np.float32).astype(np.float64)
    y = (x[:, 0] + x[:, 1] * x[:, 2] > 0).astype(np.int64)
    if n_classes == 3:
        y = y + (x[:, 3] > 1.0)
    if missing:
        x[rng.random(x.shape) < 0.05] = np.nan
    return x, y


def _fit(x, y, **options):
    settings = dict(n_estimators=12, max_features=3, random_state=7, extra_trees=True)
    settings.update(options)
    forest = NativeForest()
    forest.fit(x, y, **settings)
    return forest


def _tree_key(arrays):
    return tuple(tuple(np.asarray(a).ravel().tolist()) for a in arrays)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("n_classes", [2, 3])
def test_worker_count_does_not_change_the_trees(backend, n_classes):
    x, y = _data(n_classes)
    one = _fit(x, y, n_jobs=1, **backend)
    four = _fit(x, y, n_jobs=4, **backend)
    assert sorted(map(_tree_key, one.shap_tree_arrays())) == sorted(map(_tree_key, four.shap_tree_arrays()))
    assert one.predict_proba(x) == four.predict_proba(x)
    np.testing.assert_allclose(
        one.tree_normalized_gain_importances(), four.tree_normalized_gain_importances(), rtol=1e-12, atol=0
    )


def _root_split(arrays):
    children_left, _, feature, threshold, cover = arrays[:5]
    splits = [i for i, child in enumerate(children_left) if child != -1]
    assert len(splits) == 1
    i = splits[0]
    return feature[i], threshold[i], cover[i]


def test_extra_seed_changes_only_the_thresholds():
    # One split per tree and one feature drawn: the bootstrap (root cover) and the drawn
    # feature come from the tree's generator, which extra_seed does not touch.
    x, y = _data(missing=False)
    base = dict(max_depth=1, max_features=1, n_estimators=20)
    a = [_root_split(t) for t in _fit(x, y, extra_seed=6, **base).shap_tree_arrays()]
    again = [_root_split(t) for t in _fit(x, y, extra_seed=6, **base).shap_tree_arrays()]
    b = [_root_split(t) for t in _fit(x, y, extra_seed=7, **base).shap_tree_arrays()]
    assert a == again
    assert [(f, c) for f, _, c in a] == [(f, c) for f, _, c in b]
    changed = sum(ta != tb for (_, ta, _), (_, tb, _) in zip(a, b))
    assert changed == len(a)


@pytest.mark.parametrize("backend", BACKENDS)
def test_float32_input_trains_the_same_trees(backend):
    # Values representable in float32: the float32 value buffer and the float64 path must
    # draw the same thresholds and pick the same splits.
    x, y = _data()
    wide = _fit(x, y, **backend)
    narrow = _fit(x.astype(np.float32), y, **backend)
    assert list(map(_tree_key, wide.shap_tree_arrays())) == list(map(_tree_key, narrow.shap_tree_arrays()))



@pytest.mark.parametrize("n_classes", [2, 3])
@pytest.mark.parametrize("weights", [None, "whole", "fractional"])
@pytest.mark.parametrize("missing", [False, True])
@pytest.mark.parametrize("bootstrap", [True, False])
def test_dense_and_sparse_input_train_the_same_trees(n_classes, weights, missing, bootstrap):
    # Dense float64 input trains through its feature-major copy and, for small nodes, its rows,
    # with the two-class, whole-weight and tagged-statistics forms; a CSR matrix holding the
    # same rows in the dense training order takes the plain general search. Enough rows that
    # deep nodes switch to row reads; every tree must come out the same.
    sparse = pytest.importorskip("scipy.sparse")
    x, y = _data(n_classes=n_classes, seed=3, n_rows=3000, n_features=6, missing=missing)
    rng = np.random.default_rng(11)
    w = None
    if weights == "whole":
        w = rng.integers(1, 4, size=len(y)).astype(np.float64)
    elif weights == "fractional":
        w = rng.uniform(0.2, 2.0, size=len(y))
    dense = _fit(x, y, sample_weight=w, bootstrap=bootstrap, n_estimators=6)
    order = dense.training_order().astype(np.int64)
    rows = sparse.csr_matrix(x[order])
    csr = _fit(rows, y[order], sample_weight=None if w is None else w[order], bootstrap=bootstrap, n_estimators=6)
    assert list(map(_tree_key, dense.shap_tree_arrays())) == list(map(_tree_key, csr.shap_tree_arrays()))


@pytest.mark.parametrize("n_classes", [2, 3, 5])
@pytest.mark.parametrize("missing", [False, True])
@pytest.mark.parametrize("n_rows", [6000, 12000])
def test_binned_byte_weights_train_the_trees_of_scaled_weights(n_classes, missing, n_rows):
    # Whole sample weights of at most 255 take the binned backend's byte form: mid-size
    # subtrees work on a copy of their rows' bins, small ones are grown over entry masks. The
    # same weights times 256 take the general per-bin sums; scaling every weight by a power of
    # two changes no impurity, improvement or gain, so the trees must be the same. 37 features
    # span several groups of 16; 12,000 rows put the top nodes above the row-major size.
    rng = np.random.default_rng(n_rows + n_classes)
    x = rng.normal(size=(n_rows, 37))
    y = np.digitize(x[:, 0] + x[:, 1] * x[:, 2] + rng.normal(size=n_rows), [-1.0, -0.3, 0.3, 1.0][: n_classes - 1])
    if missing:
        x[rng.random(x.shape) < 0.03] = np.nan
    w = rng.integers(1, 4, size=n_rows).astype(np.float64)
    w[::97] = 255.0
    options = dict(extra_trees_backend="binned", max_bins=64, bootstrap=False, n_estimators=3, max_features=6)
    small = _fit(x, y, sample_weight=w, **options)
    scaled = _fit(x, y, sample_weight=w * 256.0, **options)
    structure = lambda forest: [_tree_key(t[:4]) for t in forest.shap_tree_arrays()]  # noqa: E731
    assert structure(small) == structure(scaled)
    assert small.predict_proba(x) == scaled.predict_proba(x)
    assert small.tree_normalized_gain_importances() == scaled.tree_normalized_gain_importances()
