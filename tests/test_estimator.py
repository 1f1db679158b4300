import numpy as np
import pytest
from sklearn.datasets import load_iris

from morvel import NativeForest
from morvel.forest import RandomForestClassifier, resolve_max_features


@pytest.mark.parametrize(
    "max_features, n_features, expected",
    [("sqrt", 10, 3), ("log2", 10, 3), (None, 7, 7), (4, 9, 4), (0.5, 9, 4), (0.01, 9, 1), ("sqrt", 1, 1)],
)
def test_max_features_names_resolve_to_counts(max_features, n_features, expected):
    assert resolve_max_features(max_features, n_features) == expected


@pytest.mark.parametrize("bad, error", [("cube", ValueError), (1.5, ValueError), (True, TypeError)])
def test_bad_max_features_are_refused(bad, error):
    with pytest.raises(error):
        resolve_max_features(bad, 5)


def test_labels_round_trip_and_match_the_native_forest():
    x, y = load_iris(return_X_y=True)
    species = np.array(["setosa", "versicolor", "virginica"])
    names = species[y]
    model = RandomForestClassifier(n_estimators=20, random_state=3, oob=True).fit(x, names)
    native = NativeForest()
    native.fit(x, y.astype(np.int64), 20, 2, 3, oob=True)
    assert list(model.classes_) == ["setosa", "versicolor", "virginica"]
    assert list(model.predict(x)) == list(species[np.asarray(native.predict(x))])
    np.testing.assert_array_equal(model.predict_proba(x), np.asarray(native.predict_proba(x)))
    # Out-of-bag rows come back in the caller's order, not the training order.
    expected = np.empty((len(y), 3))
    expected[native.training_order().astype(np.intp)] = np.asarray(native.oob_predict_proba())
    np.testing.assert_array_equal(model.oob_decision_function_, expected)


def test_unfitted_and_unknown_options_are_refused():
    with pytest.raises(TypeError):
        RandomForestClassifier(n_trees=5)
    with pytest.raises(RuntimeError):
        RandomForestClassifier().predict(np.zeros((1, 2)))
