import math
import pickle

import joblib
import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.calibration import CalibratedClassifierCV
from sklearn.datasets import load_iris, make_classification
from sklearn.ensemble import VotingClassifier
from sklearn.exceptions import NotFittedError
from sklearn.feature_selection import SelectFromModel
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import check_estimator

from morvel import Boruta, ExtraTreesClassifier, NativeForest, RandomForestClassifier
from morvel.forest import resolve_max_features

FORESTS = [RandomForestClassifier, ExtraTreesClassifier]
_WEIGHTS_ARE_NOT_REPEATS = "sample_weight is not equivalent to removing/repeating samples (as scikit-learn's forests)"


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


def _expected_failures(estimator):
    failures = {}
    if isinstance(estimator, (RandomForestClassifier, ExtraTreesClassifier)):
        failures["check_sample_weight_equivalence_on_dense_data"] = _WEIGHTS_ARE_NOT_REPEATS
        failures["check_sample_weight_equivalence_on_sparse_data"] = _WEIGHTS_ARE_NOT_REPEATS
    return failures


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("estimator", [RandomForestClassifier(), ExtraTreesClassifier(), Boruta()],
                         ids=lambda e: type(e).__name__)
def test_scikit_learn_estimator_checks(estimator):
    results = check_estimator(estimator, expected_failed_checks=_expected_failures(estimator), on_fail=None)
    failed = [(r["check_name"], repr(r["exception"])) for r in results if r["status"] == "failed"]
    assert not failed


def test_scikit_learn_tools_run_end_to_end():
    x, y = make_classification(n_samples=300, n_features=12, n_informative=4, random_state=0)
    pipe = Pipeline([("scale", StandardScaler()), ("select", Boruta(n_estimators=30, max_iter=10, random_state=0)),
                     ("forest", RandomForestClassifier(n_estimators=20, random_state=0))])
    search = GridSearchCV(pipe, {"forest__max_depth": [2, None], "forest__max_bins": [None, 255]},
                          cv=3, error_score="raise").fit(x, y)
    assert np.isfinite(search.cv_results_["mean_test_score"]).all() and search.best_score_ > 0.7
    scores = cross_val_score(ExtraTreesClassifier(n_estimators=20, random_state=0, n_jobs=-1), x, y, cv=3)
    assert np.isfinite(scores).all() and scores.min() > 0.7
    calibrated = CalibratedClassifierCV(RandomForestClassifier(n_estimators=20, random_state=0), cv=3).fit(x, y)
    np.testing.assert_allclose(calibrated.predict_proba(x).sum(axis=1), 1.0)
    selected = SelectFromModel(RandomForestClassifier(n_estimators=20, random_state=0)).fit(x, y)
    assert 0 < selected.get_support().sum() < x.shape[1]
    voting = VotingClassifier([("rf", RandomForestClassifier(n_estimators=10, random_state=0)),
                               ("et", ExtraTreesClassifier(n_estimators=10, random_state=0))], voting="soft")
    assert voting.fit(x, y).score(x, y) > 0.9


def _data(n=300, classes=2, seed=0):
    x, y = make_classification(n_samples=n, n_features=8, n_informative=4, n_classes=classes,
                               random_state=seed)
    x[::17, 3] = np.nan
    return x, y


@pytest.mark.parametrize("cls", FORESTS)
@pytest.mark.parametrize(
    "given, resolved",
    [
        (dict(max_features=0.5), dict(max_features=4)),
        (dict(min_samples_leaf=0.02), dict(min_samples_leaf=6)),  # ceil(0.02 * 300)
        (dict(min_samples_split=0.1), dict(min_samples_split=30)),
        (dict(bootstrap=True, max_samples=0.5), dict(bootstrap=True, max_samples=150)),
        (dict(max_depth=None), dict(max_depth=100_000)),
        (dict(n_jobs=-1), dict(n_jobs=1)),
        (dict(criterion="log_loss"), dict(criterion="entropy")),
        (dict(random_state=np.random.RandomState(5)), dict(random_state=np.random.RandomState(5))),
        (dict(class_weight={0: 1.0, 1: 3.0}), dict(sample_weight="class 1 times 3")),
        (dict(class_weight="balanced", bootstrap=False), dict(class_weight="balanced_subsample", bootstrap=False)),
    ],
)
def test_parameter_forms_fit_what_they_resolve_to(cls, given, resolved):
    x, y = _data()
    resolved = dict(resolved)
    weights = np.where(y == 1, 3.0, 1.0) if resolved.pop("sample_weight", None) else None
    resolved.setdefault("random_state", 0)
    a = cls(n_estimators=15, **{"random_state": 0, **given}).fit(x, y)
    b = cls(n_estimators=15, **resolved).fit(x, y, sample_weight=weights)
    np.testing.assert_array_equal(a.predict_proba(x), b.predict_proba(x))


@pytest.mark.parametrize("cls, native", [(RandomForestClassifier, {}), (ExtraTreesClassifier, dict(extra_trees=True))])
def test_estimators_equal_the_native_forest(cls, native):
    # Labels of any type, exact splits, balanced subsamples and out-of-bag rows in the
    # caller's order all match what the native forest computes directly.
    x, y = load_iris(return_X_y=True)
    names = np.array(["setosa", "versicolor", "virginica"])[y]
    model = cls(n_estimators=20, random_state=3, max_bins=None, bootstrap=True, oob_score=True,
                class_weight="balanced_subsample").fit(x, names)
    forest = NativeForest()
    forest.fit(x, y.astype(np.int64), 20, 2, 3, oob=True, balanced_subsample=True, max_depth=2**64 - 1, **native)
    assert list(model.classes_) == ["setosa", "versicolor", "virginica"]
    np.testing.assert_array_equal(model.predict(x), model.classes_[np.asarray(forest.predict(x))])
    np.testing.assert_array_equal(model.predict_proba(x), np.asarray(forest.predict_proba(x)))
    expected = np.empty((len(y), 3))
    expected[forest.training_order().astype(np.intp)] = np.asarray(forest.oob_predict_proba())
    np.testing.assert_array_equal(model.oob_decision_function_, expected)
    assert model.oob_score_ == np.mean(model.classes_[expected.argmax(axis=1)] == names)


@pytest.mark.parametrize("cls", FORESTS)
def test_dense_row_order_does_not_change_the_model_and_sparse_input_predicts_alike(cls):
    x, y = _data(classes=3)
    x = np.nan_to_num(x)
    order = np.random.default_rng(1).permutation(len(y))
    model = cls(n_estimators=20, random_state=4).fit(x, y)
    reordered = cls(n_estimators=20, random_state=4).fit(x[order], y[order])
    test = x[:60] + 0.1
    np.testing.assert_array_equal(model.predict_proba(test), reordered.predict_proba(test))
    np.testing.assert_array_equal(model.apply(test), reordered.apply(test))
    for matrix in (sp.csr_matrix, sp.csc_matrix):
        np.testing.assert_array_equal(model.predict_proba(matrix(test)), model.predict_proba(test))
        np.testing.assert_array_equal(model.apply(matrix(test)), model.apply(test))


@pytest.mark.parametrize("cls", FORESTS)
def test_leaves_votes_and_shap_values_agree(cls):
    x, y = _data(classes=3)
    model = cls(n_estimators=25, random_state=2).fit(x, y)
    leaves, proba = model.apply(x), model.predict_proba(x)
    assert leaves.shape == (len(y), 25)
    # Rows that share their leaf in every tree get the same votes.
    _, first, group = np.unique(leaves, axis=0, return_index=True, return_inverse=True)
    np.testing.assert_array_equal(proba, proba[first][group.ravel()])
    single = cls(n_estimators=1, random_state=2).fit(x, y)
    leaf, label = single.apply(x)[:, 0], single.predict(x)
    assert all(len(set(label[leaf == value])) == 1 for value in np.unique(leaf))
    values, base = model.shap_values(x[:40], return_base_values=True)
    assert values.shape == (40, x.shape[1], 3)
    np.testing.assert_allclose(base + values.sum(axis=1), proba[:40], atol=1e-12)
    with np.errstate(divide="ignore"):
        np.testing.assert_array_equal(model.predict_log_proba(x[:40]), np.log(proba[:40]))


def test_inputs_scikit_learn_refuses_are_refused():
    pd = pytest.importorskip("pandas")
    x, y = _data()
    frame = pd.DataFrame(x, columns=[f"f{i}" for i in range(x.shape[1])])
    model = RandomForestClassifier(n_estimators=5, random_state=0).fit(frame, y)
    assert list(model.feature_names_in_) == list(frame.columns)
    with pytest.raises(ValueError, match="same order"):
        model.predict(frame[frame.columns[::-1]])
    with pytest.raises(ValueError, match="Unknown label type"):
        RandomForestClassifier(n_estimators=5).fit(x, y + 0.5)
    with pytest.raises(ValueError, match="NaN"):
        RandomForestClassifier(n_estimators=5).fit(x, np.where(y == 1, np.nan, 0.0))
    with pytest.raises(NotFittedError):
        RandomForestClassifier().predict(x)
    with pytest.raises(TypeError):
        RandomForestClassifier(n_trees=5)


@pytest.mark.parametrize("cls", FORESTS)
def test_saved_models_predict_bit_identically(cls, tmp_path):
    x, y = _data(classes=3)
    model = cls(n_estimators=20, random_state=0, bootstrap=True, oob_score=True).fit(x, y)
    joblib.dump(model, tmp_path / "model.joblib")
    for loaded in (pickle.loads(pickle.dumps(model)), joblib.load(tmp_path / "model.joblib")):
        np.testing.assert_array_equal(loaded.predict_proba(x), model.predict_proba(x))
        np.testing.assert_array_equal(loaded.apply(x), model.apply(x))
        np.testing.assert_array_equal(loaded.shap_values(x[:5]), model.shap_values(x[:5]))
        np.testing.assert_array_equal(loaded.oob_decision_function_, model.oob_decision_function_)
    assert math.isfinite(pickle.loads(pickle.dumps(model)).score(x, y))
