"""The NativeForest surface: signatures, argument binding, the borrow rules and the error
table (exact type, message and note)."""

import inspect
import pathlib
import sys

import numpy as np
import pytest

import morvel
from morvel import NativeForest, _boruta_core, _core

STUB_DIR = pathlib.Path(morvel.__file__).resolve().parent
NOT_FITTED = "forest is not fitted"


def load_stub(name):
    namespace = {}
    source = "from __future__ import annotations\n" + (STUB_DIR / name).read_text()
    exec(compile(source, name, "exec"), namespace)
    return namespace


def shape_of(signature):
    return [(p.name, p.kind, p.default) for p in signature.parameters.values()]


def note_of(error):
    return getattr(error, "__notes__", None)


RNG = np.random.default_rng(3)
X = RNG.normal(size=(60, 4))
Y = ((X[:, 0] > 0).astype(np.int64) + (X[:, 1] > 0.5)).astype(np.int64)  # three classes
REQUIRED = dict(n_estimators=3, max_features=2, random_state=0)


# ---- signatures ---------------------------------------------------------------------------

METHODS = [
    "fit", "predict", "predict_proba", "oob_predict_proba", "feature_importances",
    "gain_importances", "tree_normalized_gain_importances", "permutation_importances",
    "shap_tree_arrays", "tree_shap", "shap_importances", "is_fitted", "training_order",
    "fit_profile",
]


@pytest.mark.parametrize("method", METHODS)
def test_method_signature_matches_stub(method):
    stub = load_stub("_core.pyi")["NativeForest"]
    native = shape_of(inspect.signature(getattr(NativeForest, method)))
    expected = shape_of(inspect.signature(getattr(stub, method)))
    # `$self` in a text signature is positional-only; the stub spells it plainly.
    assert native[0][0] == expected[0][0] == "self"
    assert native[1:] == expected[1:]


def test_module_surface():
    assert [name for name in dir(_core) if not name.startswith("__")] == ["NativeForest"]
    assert [name for name in dir(_boruta_core) if not name.startswith("__")] == ["gain_importances"]
    assert sys.modules["morvel._boruta_core"] is _boruta_core
    assert _boruta_core.__file__ == _core.__file__
    assert str(inspect.signature(NativeForest)) == "()"
    stub = load_stub("_boruta_core.pyi")["gain_importances"]
    assert shape_of(inspect.signature(_boruta_core.gain_importances)) == shape_of(
        inspect.signature(stub)
    )
    assert len(METHODS) == len([m for m in vars(NativeForest) if not m.startswith("__")])
    # Catchable by name, and still not swallowed by `except Exception`.
    panic = morvel.PanicException
    assert "PanicException" in morvel.__all__
    assert f"{panic.__module__}.{panic.__name__}" == "morvel.PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)


def test_descriptions_are_verbatim():
    assert NativeForest.shap_tree_arrays.__doc__ == (
        "Export compact tree arrays for the experimental Python TreeSHAP facade.\n"
        "Children are reversed because OWF's left branch is `value > pivot`,\n"
        "while sklearn tree arrays define left as `value <= threshold`."
    )
    assert NativeForest.tree_shap.__doc__ == (
        "Experimental native TreeSHAP (`tree_path_dependent`) for the forest's\n"
        "vote probabilities. Returns `(values, base_values)`."
    )
    assert NativeForest.shap_importances.__doc__ == (
        "Reduce ensemble TreeSHAP values directly to normalized global importances."
    )
    described = {"shap_tree_arrays", "tree_shap", "shap_importances"}
    assert all(getattr(NativeForest, m).__doc__ is None for m in METHODS if m not in described)


# ---- construction and argument binding ---------------------------------------------------


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"n_estimators": 3})])
def test_constructor_refuses_arguments(args, kwargs):
    with pytest.raises(TypeError, match=r"^NativeForest\(\) takes no arguments$"):
        NativeForest(*args, **kwargs)


def test_new_object_state():
    forest = NativeForest()
    assert forest.is_fitted() is False
    order = forest.training_order()
    assert isinstance(order, np.ndarray) and order.dtype == np.uint64 and order.shape == (0,)
    assert order.flags.writeable and order.base is not None
    assert forest.fit_profile() == {}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.predict(), "predict() missing required argument 'x' (pos 1)"),
        (lambda f: f.predict(X, X), "predict() takes exactly 1 positional argument (2 given)"),
        (lambda f: f.predict(X, x=X), "argument for predict() given by name ('x') and position (1)"),
        (lambda f: f.predict(y=X), "'y' is an invalid keyword argument for predict()"),
        (lambda f: f.shap_importances(X, 1, 2),
         "shap_importances() takes at most 2 positional arguments (3 given)"),
        (lambda f: f.fit(X, Y, 3, 2), "fit() missing required argument 'random_state' (pos 5)"),
        (lambda f: f.fit(X, Y, 3, 2, 0, n_trees=3), "'n_trees' is an invalid keyword argument for fit()"),
        (lambda f: f.is_fitted(1), "NativeForest.is_fitted() takes no arguments (1 given)"),
        (lambda f: f.training_order(x=1), "NativeForest.training_order() takes no keyword arguments"),
    ],
)
def test_binding_errors(call, message):
    forest = NativeForest()
    with pytest.raises(TypeError) as info:
        call(forest)
    assert type(info.value) is TypeError and str(info.value) == message


def test_keywords_match_by_equality_as_well_as_identity():
    # A keyword built at run time is not the interned name; it must still bind.
    name = "".join(["n_", "jobs"])
    with pytest.raises(OverflowError) as info:
        NativeForest().shap_importances(X, **{name: -1})
    assert note_of(info.value) == ["while processing 'n_jobs'"]


# ---- state errors -------------------------------------------------------------------------

UNFITTED_CALLS = {
    "predict": lambda f: f.predict("not a matrix"),
    "predict_proba": lambda f: f.predict_proba("not a matrix"),
    "oob_predict_proba": lambda f: f.oob_predict_proba(),
    "feature_importances": lambda f: f.feature_importances(),
    "gain_importances": lambda f: f.gain_importances(),
    "tree_normalized_gain_importances": lambda f: f.tree_normalized_gain_importances(),
    "permutation_importances": lambda f: f.permutation_importances(),
    "shap_tree_arrays": lambda f: f.shap_tree_arrays(),
    "tree_shap": lambda f: f.tree_shap(None),
    "shap_importances": lambda f: f.shap_importances(None, n_jobs=4),
}


@pytest.mark.parametrize("method", sorted(UNFITTED_CALLS))
def test_unfitted_methods_refuse_before_converting_x(method):
    forest = NativeForest()
    with pytest.raises(RuntimeError) as info:
        UNFITTED_CALLS[method](forest)
    assert type(info.value) is RuntimeError and str(info.value) == NOT_FITTED
    # The refusal released the shared borrow.
    assert forest.is_fitted() is False


def test_shap_importances_converts_n_jobs_before_the_fitted_check():
    with pytest.raises(OverflowError) as info:
        NativeForest().shap_importances(X, n_jobs=-1)
    assert note_of(info.value) == ["while processing 'n_jobs'"]


# ---- fit argument conversion --------------------------------------------------------------

Y3 = np.array([0, 1, 0], dtype=np.int64)


class Boom(Exception):
    pass


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class RaisingSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise Boom("item")


CONVERSION_FAILURES = [
    ("y", [0, 1, 0], TypeError),
    ("y", np.array([0, 1, 0], dtype=np.int32), TypeError),
    ("y", np.zeros((3, 1), dtype=np.int64), TypeError),
    ("y", np.array([0, 1, 0], dtype=">i8"), TypeError),
    ("n_estimators", 10.0, TypeError),
    ("n_estimators", "3", TypeError),
    ("n_estimators", -1, OverflowError),
    ("n_estimators", 2**64, OverflowError),
    ("max_features", None, TypeError),
    ("random_state", None, TypeError),
    ("random_state", np.float64(1.0), TypeError),
    ("sample_weight", [1.0, 1.0, 1.0], TypeError),
    ("sample_weight", np.ones(3, dtype=np.float32), TypeError),
    ("sample_weight", np.ones((3, 1)), TypeError),
    ("min_leaf_weight", "0.0", TypeError),
    ("min_leaf_weight", None, TypeError),
    ("min_leaf_weight", 10**400, OverflowError),
    ("criterion", b"gini", TypeError),
    ("max_depth", None, TypeError),
    ("max_leaves", 1.5, TypeError),
    ("max_leaves", -1, OverflowError),
    ("min_samples_split", -2, OverflowError),
    ("min_samples_leaf", 1.0, TypeError),
    ("min_impurity_decrease", "x", TypeError),
    ("bootstrap", 1, TypeError),
    ("bootstrap", None, TypeError),
    ("max_samples", -5, OverflowError),
    ("oob", "yes", TypeError),
    ("permutation_importance", 0, TypeError),
    ("n_jobs", -1, OverflowError),
    ("max_bins", 2.0, TypeError),
    ("balanced_subsample", np.int64(1), TypeError),
    ("ccp_alpha", [], TypeError),
    ("monotonic_cst", "101", TypeError),
    ("monotonic_cst", 5, TypeError),
    ("monotonic_cst", {1: 1}, TypeError),
    ("monotonic_cst", [1.0, 0], TypeError),
    ("monotonic_cst", [0, 300], OverflowError),
    ("monotonic_cst", [-129], OverflowError),
    ("monotonic_cst", [2**70], OverflowError),
    ("binning_strategy", None, TypeError),
    ("bin_sample_size", -1, OverflowError),
    ("binning_seed", 1.0, TypeError),
    ("extra_trees", 1, TypeError),
    ("extra_seed", -1, OverflowError),
    ("extra_trees_backend", 0, TypeError),
]


@pytest.mark.parametrize(
    "name, value, kind", CONVERSION_FAILURES, ids=[f"{n}-{v!r}" for n, v, _ in CONVERSION_FAILURES]
)
def test_conversion_failure_keeps_type_and_names_the_argument(name, value, kind):
    # x is not a matrix: conversion failures surface before x is looked at.
    arguments = dict(x=None, y=Y3, **REQUIRED)
    arguments[name] = value
    forest = NativeForest()
    with pytest.raises(kind) as info:
        forest.fit(**arguments)
    assert type(info.value) is kind
    assert note_of(info.value) == [f"while processing '{name}'"]
    assert "while processing" not in str(info.value)
    assert forest.is_fitted() is False  # borrow released, nothing stored


@pytest.mark.parametrize(
    "value, message",
    [
        ([127, 128], "number too large to fit in target type"),
        ([-128, -129], "number too small to fit in target type"),
        ([-(2**80)], "number too small to fit in target type"),
    ],
)
def test_monotonic_cst_range_messages(value, message):
    with pytest.raises(OverflowError) as info:
        NativeForest().fit(None, Y3, **REQUIRED, monotonic_cst=value)
    assert str(info.value) == message


def test_monotonic_cst_messages_name_the_problem():
    with pytest.raises(TypeError, match="str") as info:
        NativeForest().fit(None, Y3, **REQUIRED, monotonic_cst="10")
    with pytest.raises(TypeError, match="Sequence"):
        NativeForest().fit(None, Y3, **REQUIRED, monotonic_cst=3)
    assert note_of(info.value) == ["while processing 'monotonic_cst'"]


@pytest.mark.parametrize(
    "first, second",
    [
        (("y", [0]), ("n_estimators", 1.0)),
        (("n_estimators", -1), ("sample_weight", [1.0])),
        (("min_leaf_weight", None), ("criterion", 3)),
        (("ccp_alpha", None), ("monotonic_cst", "x")),
        (("binning_seed", -1), ("extra_trees_backend", None)),
    ],
)
def test_first_failing_parameter_wins(first, second):
    arguments = dict(x=None, y=Y3, **REQUIRED)
    arguments.update([second, first])
    with pytest.raises((TypeError, OverflowError)) as info:
        NativeForest().fit(**arguments)
    assert note_of(info.value) == [f"while processing '{first[0]}'"]


@pytest.mark.parametrize(
    "name, value",
    [
        ("n_estimators", RaisingIndex()),
        ("min_leaf_weight", RaisingFloat()),
        ("monotonic_cst", RaisingSequence()),
        ("monotonic_cst", [0, RaisingIndex()]),
        ("max_bins", RaisingIndex()),
    ],
)
def test_errors_of_the_callers_own_conversion_pass_unchanged(name, value):
    arguments = dict(x=None, y=Y3, **REQUIRED)
    arguments[name] = value
    with pytest.raises(Boom) as info:
        NativeForest().fit(**arguments)
    assert type(info.value) is Boom and note_of(info.value) is None


class Reenter:
    """An integer whose own index conversion calls back into the forest being fitted."""

    def __init__(self, call):
        self.call = call
        self.seen = None

    def __index__(self):
        try:
            self.call()
        except RuntimeError as error:
            self.seen = (type(error), str(error))
        return 3


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.is_fitted(), "Already mutably borrowed"),
        (lambda f: f.training_order(), "Already mutably borrowed"),
        (lambda f: f.fit_profile(), "Already mutably borrowed"),
        (lambda f: f.predict(X), "Already mutably borrowed"),
        (lambda f: f.shap_importances(X, n_jobs=2), "Already mutably borrowed"),
        (lambda f: f.fit(X, Y, 3, 2, 0), "Already borrowed"),
    ],
)
def test_reentrant_calls_during_fit_are_refused(call, message):
    forest = NativeForest()
    hook = Reenter(lambda: call(forest))
    # max_features fails after the hook ran, so the outer fit ends in conversion.
    with pytest.raises(OverflowError):
        forest.fit(None, Y3, hook, -1, 0)
    assert hook.seen == (RuntimeError, message)
    # Every exit path released the exclusive borrow.
    assert forest.is_fitted() is False
    assert forest.fit_profile() == {}


# ---- accepted arguments -------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, value",
    [
        ("y", np.array([0, 9, 1, 9, 0, 9], dtype=np.int64)[::2]),
        ("n_estimators", np.uint8(0)),
        ("max_features", True),
        ("random_state", 2**64 - 1),
        ("sample_weight", None),
        ("sample_weight", np.ones(6)[::2]),
        ("min_leaf_weight", 1),
        ("min_leaf_weight", np.float32(0.5)),
        ("criterion", "anything: checked later"),
        ("max_leaves", None),
        ("max_leaves", 2**64 - 1),
        ("bootstrap", np.bool_(False)),
        ("oob", True),
        ("max_samples", None),
        ("max_bins", None),
        ("monotonic_cst", None),
        ("monotonic_cst", (1, 0, -1)),
        ("monotonic_cst", np.array([1, -1], dtype=np.int64)),
        ("monotonic_cst", range(-1, 2)),
        ("binning_strategy", "EXACT_SORT"),
    ],
)
def test_accepted_arguments_reach_validation(name, value):
    # n_estimators 0 is the first settings check: reaching it proves conversion passed.
    arguments = dict(x=None, y=Y3, n_estimators=0, max_features=1, random_state=0)
    arguments[name] = value
    with pytest.raises(ValueError) as info:
        NativeForest().fit(**arguments)
    assert str(info.value) == "n_estimators must be at least 1"


# ---- fitted objects -----------------------------------------------------------------------


@pytest.fixture(scope="module")
def fitted():
    forest = NativeForest()
    forest.fit(X, Y, 5, 2, 0, oob=True, permutation_importance=True)
    return forest


def test_results_have_the_documented_shapes(fitted):
    classes = fitted.predict(X)
    probabilities = fitted.predict_proba(X)
    assert all(type(c) is int for c in classes) and len(classes) == len(X)
    assert all(len(row) == 3 and all(type(p) is float for p in row) for row in probabilities)
    assert classes == [int(np.argmax(row)) for row in probabilities]
    assert len(fitted.oob_predict_proba()) == len(X)
    for getter in ("feature_importances", "gain_importances", "tree_normalized_gain_importances",
                   "permutation_importances"):
        values = getattr(fitted, getter)()
        assert len(values) == 4 and all(type(v) is float for v in values)
    values, base = fitted.tree_shap(X[:3])
    assert len(values) == 3 and all(len(r) == 4 and all(len(c) == 3 for c in r) for r in values)
    assert len(base) == 3
    assert len(fitted.shap_importances(X, n_jobs=0)) == 4
    trees = fitted.shap_tree_arrays()
    assert len(trees) == 5
    for tree in trees:
        assert type(tree) is tuple and len(tree) == 7
        kinds = [int, int, int, float, float, float, int]
        assert all(all(type(v) is k for v in part) for part, k in zip(tree, kinds))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.predict(X[:, :3]), "X has 3 features, but the fitted forest expects 4"),
        (lambda f: f.predict_proba(np.ones((2, 5))), "X has 5 features, but the fitted forest expects 4"),
        (lambda f: f.tree_shap(X[:, :3]), "X has a different number of features"),
        (lambda f: f.shap_importances(X[:, :2]), "X has a different number of features"),
    ],
)
def test_feature_count_messages(fitted, call, message):
    with pytest.raises(ValueError) as info:
        call(fitted)
    assert type(info.value) is ValueError and str(info.value) == message


def test_oob_votes_only_when_requested():
    forest = NativeForest()
    forest.fit(X, Y, 3, 2, 0)
    with pytest.raises(RuntimeError) as info:
        forest.oob_predict_proba()
    assert str(info.value) == "out-of-bag predictions are unavailable"


def test_failed_refit_keeps_the_previous_model():
    forest = NativeForest()
    forest.fit(X, Y, 4, 2, 1)
    before = (forest.predict_proba(X), forest.training_order().tolist())
    with pytest.raises(ValueError):
        forest.fit(X, Y, 4, 9, 1)  # max_features above the feature count
    with pytest.raises(TypeError):
        forest.fit(X, Y, 4.0, 2, 1)
    assert forest.is_fitted()
    assert (forest.predict_proba(X), forest.training_order().tolist()) == before


def test_training_order_is_a_fresh_owned_array():
    forest = NativeForest()
    forest.fit(X, Y, 2, 2, 0)
    order = forest.training_order()
    assert sorted(order.tolist()) == list(range(len(X)))
    order[:] = 0  # writeable, and the object keeps its own copy
    again = forest.training_order()
    assert sorted(again.tolist()) == list(range(len(X)))
    del forest  # the array owns its buffer
    assert sorted(again.tolist()) == list(range(len(X)))


def test_shared_calls_may_nest_but_fit_may_not(fitted):
    seen = []

    class Sparse:
        indptr = indices = data = shape = None

        def tocsr(self):
            seen.append(fitted.is_fitted())
            try:
                fitted.fit(X, Y, 2, 2, 0)
            except RuntimeError as error:
                seen.append(str(error))
            raise Boom("stop")

    with pytest.raises(Boom):
        fitted.predict(Sparse())
    assert seen == [True, "Already borrowed"]


def test_profile_switch(monkeypatch):
    forest = NativeForest()
    monkeypatch.setenv("MORVEL_PROFILE_FIT", "")
    forest.fit(X, Y, 2, 2, 0)
    profile = forest.fit_profile()
    assert len(profile) == 12
    assert all(type(k) is str and type(v) is float and v >= 0.0 for k, v in profile.items())
    monkeypatch.delenv("MORVEL_PROFILE_FIT")
    forest.fit(X, Y, 2, 2, 0)
    assert forest.fit_profile() == {}
