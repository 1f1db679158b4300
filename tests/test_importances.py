"""The four importance vectors of NativeForest."""

import numpy as np
import pytest
from sklearn.datasets import make_classification

from morvel import NativeForest

METHODS = ["feature_importances", "gain_importances", "tree_normalized_gain_importances"]


def informative(n=400, seed=0):
    """Feature 0 decides the class; features 1..4 are noise."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 5))
    y = (x[:, 0] > 0).astype(np.int64)
    return x, y


def fit(x, y, n_estimators=30, max_features=None, **options):
    forest = NativeForest()
    forest.fit(x, y, n_estimators, max_features or x.shape[1], 0, **options)
    return forest


def test_not_fitted():
    forest = NativeForest()
    for method in METHODS + ["permutation_importances"]:
        with pytest.raises(RuntimeError, match="^forest is not fitted$"):
            getattr(forest, method)()


@pytest.mark.parametrize("method", METHODS)
def test_shares_sum_to_one_and_find_the_signal(method):
    x, y = informative()
    values = np.asarray(getattr(fit(x, y, max_features=2), method)())
    assert values.shape == (5,)
    assert np.all(values >= 0)
    assert values.sum() == pytest.approx(1.0, abs=1e-12)
    assert np.argmax(values) == 0


def test_single_leaf_trees_give_zeros():
    x, y = informative(n=50)
    forest = fit(x, y, min_samples_split=51, oob=True, permutation_importance=True)
    for method in METHODS + ["permutation_importances"]:
        assert getattr(forest, method)() == [0.0] * 5


def test_pruning_changes_reachable_splits_only():
    x, y = make_classification(n_samples=300, n_features=6, n_informative=3, flip_y=0.2, random_state=1)
    y = y.astype(np.int64)
    # A huge ccp_alpha prunes every tree back to its root.
    stumps = fit(x, y, max_features=3, ccp_alpha=1e9)
    assert stumps.feature_importances() == [0.0] * 6
    assert stumps.gain_importances() == [0.0] * 6
    assert np.all(np.asarray(stumps.predict_proba(x)) == np.asarray(stumps.predict_proba(x[:1])))

    grown = fit(x, y, max_features=3)
    pruned = fit(x, y, max_features=3, ccp_alpha=0.01)
    assert pruned.gain_importances() != grown.gain_importances()
    assert sum(pruned.gain_importances()) == pytest.approx(1.0)


def test_permutation_importances():
    x, y = informative(n=600, seed=3)
    forest = fit(x, y, n_estimators=40, max_features=2, oob=True, permutation_importance=True)
    values = np.asarray(forest.permutation_importances())
    # Permuting the deciding feature costs a large share of out-of-bag accuracy; noise
    # features cost little.
    assert values[0] > 0.25
    assert np.all(np.abs(values[1:]) < 0.05)

    # The permutation pass also counts the out-of-bag votes, exactly as the plain pass does.
    plain = fit(x, y, n_estimators=40, max_features=2, oob=True)
    assert forest.oob_predict_proba() == plain.oob_predict_proba()
    assert forest.predict_proba(x) == plain.predict_proba(x)
    assert plain.permutation_importances() == [0.0] * 5


def test_permutation_without_out_of_bag_rows_is_zero():
    x, y = informative(n=100)
    forest = fit(x, y, bootstrap=False, permutation_importance=True)
    assert forest.permutation_importances() == [0.0] * 5
