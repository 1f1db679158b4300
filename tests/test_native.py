"""The package's native surface: every result equals NativeForest's bit for bit at any n_jobs,
leaf positions identify the leaves, and calls release the interpreter lock."""

import inspect
import json
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.datasets import make_classification

import morvel
from morvel import NativeForest, _native

REQUIRED = (40, 3, 7)  # n_estimators, max_features, random_state


def data(n=500, features=6, seed=0, nan_share=0.0):
    x, y = make_classification(n_samples=n, n_features=features, n_informative=4, n_redundant=1,
                               n_classes=3, random_state=seed)
    if nan_share:
        rng = np.random.default_rng(seed)
        x[rng.random(x.shape) < nan_share] = np.nan
    return x, y.astype(np.int64)


X, Y = data()
PATHS = {
    "exact": (X, {}),
    "histogram": (X, {"max_bins": 32}),
    "extra_exact": (X, {"extra_trees": True}),
    "extra_binned": (X, {"extra_trees": True, "extra_trees_backend": "binned", "max_bins": 32}),
    "csr": (sp.csr_matrix(np.where(np.abs(X) < 0.7, 0.0, X)), {"max_bins": 32}),
    "nan": (data(nan_share=0.1)[0], {}),
    "weights": (X, {"sample_weight": np.random.default_rng(1).uniform(0.2, 2.0, len(Y))}),
    "oob_permutation": (X, {"oob": True, "permutation_importance": True, "max_bins": 32}),
}


def stub(name):
    namespace = {}
    path = pathlib.Path(morvel.__file__).resolve().parent / name
    exec(compile("from __future__ import annotations\n" + path.read_text(), name, "exec"), namespace)
    return namespace


def parameters(function):
    return [(p.name, p.kind, p.default, p.annotation) for p in inspect.signature(function).parameters.values()]


def test_signatures_match_the_stubs_and_fit_matches_the_method():
    native_stub = stub("_native.pyi")
    functions = [name for name in dir(_native) if inspect.isbuiltin(getattr(_native, name))]
    assert functions == sorted(name for name in native_stub if inspect.isfunction(native_stub[name]))
    for name in functions:
        drop_annotations = [p[:3] for p in parameters(native_stub[name])]
        assert [p[:3] for p in parameters(getattr(_native, name))] == drop_annotations
    # One parameter list serves both fits: the same names, defaults and stub types.
    method = parameters(stub("_core.pyi")["NativeForest"].fit)
    function = parameters(native_stub["fit"])
    assert method[0][0] == "self" and function[0][0] == "forest" and function[-1][0] == "tree_range"
    assert function[1:-1] == method[1:]


def test_the_signature_defaults_are_the_defaults():
    # Passing every default the text signature shows grows the very forest that leaving them
    # out grows (the saved bytes carry a digest of every setting a tree depends on).
    defaults = {name: default for name, _, default, _ in parameters(NativeForest.fit)
                if default is not inspect.Parameter.empty}
    implicit, explicit = NativeForest(), NativeForest()
    implicit.fit(X, Y, *REQUIRED)
    explicit.fit(X, Y, *REQUIRED, **defaults)
    assert _native.to_bytes(explicit) == _native.to_bytes(implicit)


def rows_of(x, n):
    return x[:n] if sp.issparse(x) else np.ascontiguousarray(x[:n])


@pytest.mark.parametrize("path", PATHS)
def test_results_equal_the_forest_methods(path):
    x, options = PATHS[path]
    core = NativeForest()
    core.fit(x, Y, *REQUIRED, **options)
    native = NativeForest()
    _native.fit(native, x, Y, *REQUIRED, **options)
    # The same trees: every answer below compares the native forest with the method results.
    assert native.shap_tree_arrays() == core.shap_tree_arrays()

    big = sp.vstack([x] * 8).tocsr() if sp.issparse(x) else np.vstack([x] * 8)  # several chunks
    some = rows_of(x, 60)
    proba = np.asarray(core.predict_proba(big))
    values, base = core.tree_shap(some)
    for n_jobs in (1, 3):
        got = _native.predict_proba(native, big, n_jobs=n_jobs)
        assert got.dtype == np.float64 and got.flags.c_contiguous
        np.testing.assert_array_equal(got, proba, strict=True)
        np.testing.assert_array_equal(
            _native.predict(native, big, n_jobs), np.asarray(core.predict(big), np.int64), strict=True)
        got_values, got_base = _native.tree_shap(native, some, n_jobs=n_jobs)
        np.testing.assert_array_equal(got_values, np.asarray(values), strict=True)
        np.testing.assert_array_equal(got_base, np.asarray(base), strict=True)
        np.testing.assert_array_equal(_native.shap_importances(native, some, n_jobs),
                                      np.asarray(core.shap_importances(some, n_jobs)), strict=True)
        leaves = _native.apply(native, big, n_jobs=n_jobs)
        assert leaves.shape == (big.shape[0], REQUIRED[0]) and leaves.dtype == np.int64
        if n_jobs == 1:
            first_leaves = leaves
        np.testing.assert_array_equal(leaves, first_leaves)
    for name in ("feature_importances", "gain_importances", "tree_normalized_gain_importances",
                 "permutation_importances"):
        np.testing.assert_array_equal(getattr(_native, name)(native),
                                      np.asarray(getattr(core, name)()), strict=True)
    if options.get("oob"):
        oob = np.asarray(core.oob_predict_proba())
        np.testing.assert_array_equal(_native.oob_predict_proba(native), oob, strict=True)
        by_caller = _native.oob_predict_proba(native, caller_order=True)
        np.testing.assert_array_equal(by_caller[core.training_order()], oob, strict=True)


def leaf_of(tree, row):
    left, right, feature, threshold, _, _, missing_left = tree
    node = 0
    while left[node] != -1:
        value = row[feature[node]]
        go_left = missing_left[node] if np.isnan(value) else value <= threshold[node]
        node = left[node] if go_left else right[node]
    return node


def test_apply_identifies_the_leaf_each_row_reaches():
    forest = NativeForest()
    forest.fit(X, Y, 12, 3, 2)
    leaves = _native.apply(forest, X)
    trees = forest.shap_tree_arrays()
    for t, tree in enumerate(trees):
        reached = np.array([leaf_of(tree, row) for row in X])
        # One stored position per reached leaf, and the other way round.
        pairs = set(zip(leaves[:, t], reached))
        assert len(pairs) == len(set(leaves[:, t])) == len(set(reached))
    # The leaves' classes vote the forest's probabilities.
    n_classes = 3
    votes = np.zeros((len(X), n_classes))
    for tree in trees:
        value = np.asarray(tree[5]).reshape(-1, n_classes)
        votes += value[[leaf_of(tree, row) for row in X]]
    np.testing.assert_array_equal(votes / len(trees), _native.predict_proba(forest, X))


def count_ticks_during(call):
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            ticks += 1

    counter = threading.Thread(target=count)
    counter.start()
    start = time.perf_counter()
    try:
        call()
    finally:
        elapsed = time.perf_counter() - start
        done.set()
        counter.join()
    return ticks, elapsed


LONG_X, LONG_Y = data(n=6000, features=20, seed=4)


@pytest.mark.parametrize("call", ["fit", "predict_proba", "tree_shap"])
def test_a_python_thread_runs_during_a_long_call(call):
    forest = NativeForest()
    forest.fit(LONG_X, LONG_Y, 30, 5, 1)
    run = {
        "fit": lambda: _native.fit(forest, LONG_X, LONG_Y, 60, 5, 1),
        "predict_proba": lambda: [_native.predict_proba(forest, LONG_X) for _ in range(20)],
        "tree_shap": lambda: _native.tree_shap(forest, LONG_X[:300]),
    }[call]
    ticks, elapsed = count_ticks_during(run)
    # A held lock would leave the counter a handful of switch intervals.
    assert elapsed > 0.05 and ticks > 100_000 * elapsed


def test_concurrent_calls_on_one_forest():
    forest = NativeForest()
    forest.fit(LONG_X, LONG_Y, 20, 5, 1)
    expected = _native.predict_proba(forest, LONG_X)
    results, errors = [], []

    def predict():
        results.append(_native.predict_proba(forest, LONG_X, n_jobs=2))

    threads = [threading.Thread(target=predict) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 4
    for got in results:
        np.testing.assert_array_equal(got, expected)

    def fit():
        try:
            _native.fit(forest, LONG_X, LONG_Y, 120, 5, 2)
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    fitting = threading.Thread(target=fit)
    fitting.start()
    # Wait until the fit holds the forest, then every other call is refused, never run.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            forest.is_fitted()
        except RuntimeError:
            break
        time.sleep(0.001)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        _native.fit(forest, LONG_X, LONG_Y, 5, 5, 1)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        _native.predict_proba(forest, LONG_X)
    fitting.join()
    assert errors == []
    assert _native.apply(forest, LONG_X[:3]).shape == (3, 120)


def test_rows_answer_alike_however_they_are_cut():
    # Wide rows: several row blocks per call, and chunks that start inside a block.
    x, y = data(n=400, features=50, seed=5)
    x[::3, ::2] = np.nan  # splits that send missing values left
    forest = NativeForest()
    forest.fit(x, y, 10, 7, 3, max_bins=64)
    big = np.random.default_rng(6).normal(size=(23_001, 50))
    big[20_000:20_050] = np.nan  # missing values in one block only
    pieces = [big[i:i + 997] for i in range(0, len(big), 997)]
    for call in (_native.predict_proba, _native.apply):
        whole = call(forest, big, n_jobs=3)
        np.testing.assert_array_equal(whole, np.concatenate([call(forest, p) for p in pieces]))
        np.testing.assert_array_equal(whole, call(forest, np.asfortranarray(big)))


@pytest.mark.parametrize("path", ["exact", "extra_binned", "csr"])
def test_a_tree_range_grows_those_trees_of_the_whole_fit(path):
    x, options = PATHS[path]
    whole, part = NativeForest(), NativeForest()
    _native.fit(whole, x, Y, *REQUIRED, **options)
    _native.fit(part, x, Y, *REQUIRED, tree_range=(10, 25), **options)
    assert part.shap_tree_arrays() == whole.shap_tree_arrays()[10:25]
    with pytest.raises(ValueError):
        _native.fit(part, x, Y, *REQUIRED, tree_range=(25, 10))
    with pytest.raises(TypeError):
        _native.fit(part, x, Y, *REQUIRED, tree_range=25)


# Each would run for well over 20 s on the model below.
INTERRUPTED_CALLS = {
    "fit": "_native.fit(f, x, y, 10**6, 3, 2, n_jobs=2)",
    "predict_proba": "_native.predict_proba(f, np.tile(x, (400, 1)), n_jobs=2)",
    "tree_shap": "_native.tree_shap(f, np.tile(x, (5, 1)), n_jobs=2)",
}


@pytest.mark.parametrize("call", sorted(INTERRUPTED_CALLS))
def test_ctrl_c_stops_a_long_call_and_keeps_the_model(call):
    code = f"""
import json, os, signal, threading, time
import numpy as np
from sklearn.datasets import make_classification
from morvel import NativeForest, _native
x, y = make_classification(n_samples=4000, n_features=8, n_informative=4, random_state=0)
y = y.astype(np.int64)
f = NativeForest()
_native.fit(f, x, y, 300, 3, 1, n_jobs=2)
before = _native.predict_proba(f, x)
threads = len(os.listdir("/proc/self/task"))
sent = []
timer = threading.Timer(1.0, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT)))
timer.start()
try:
    {INTERRUPTED_CALLS[call]}
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
delay = time.monotonic() - sent[0]
timer.join()
print(json.dumps({{"outcome": outcome, "same": bool((_native.predict_proba(f, x) == before).all()),
                   "threads": len(os.listdir("/proc/self/task")) - threads, "delay": delay}}))
"""
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    assert report.pop("delay") < 2.0  # about a second, with room for a loaded machine
    assert report == {"outcome": "interrupted", "same": True, "threads": 0}
