"""Demonstration: train forests on a synthetic problem and report what they found.

Run with ``python -m morvel.demo``. The data has five informative features among
twenty; the forests should find them, whatever training path is used.
"""

from __future__ import annotations

import time

import numpy as np

from morvel import NativeForest


def make_problem(n_rows: int = 6000, n_features: int = 20, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Two classes decided by a noisy function of features 0..4; the rest is noise."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n_rows, n_features))
    score = x[:, 0] + 0.8 * x[:, 1] - 0.6 * x[:, 2] + 0.5 * x[:, 3] * x[:, 4]
    y = (score + 0.5 * rng.normal(size=n_rows) > 0).astype(np.int64)
    x[rng.random(x.shape) < 0.02] = np.nan  # a few missing values: they get learned directions
    return x, y


def top(values: list[float], k: int = 5) -> str:
    order = np.argsort(values)[::-1][:k]
    return ", ".join(f"x{j} {values[j]:.3f}" for j in order)


def run(name: str, x_train, y_train, x_test, y_test, **options) -> NativeForest:
    forest = NativeForest()
    start = time.perf_counter()
    forest.fit(x_train, y_train, 100, 4, 7, oob=True, n_jobs=2, **options)
    seconds = time.perf_counter() - start
    accuracy = float(np.mean(np.asarray(forest.predict(x_test)) == y_test))
    oob = np.asarray(forest.oob_predict_proba())
    oob_labels = y_train[forest.training_order().astype(np.intp)]
    seen = oob.sum(axis=1) > 0
    oob_accuracy = float(np.mean(oob[seen].argmax(axis=1) == oob_labels[seen]))
    print(f"{name:<22} fit {seconds:6.2f}s  test accuracy {accuracy:.3f}  out-of-bag accuracy {oob_accuracy:.3f}")
    print(f"{'':<22} top gain importances: {top(forest.gain_importances())}")
    return forest


def main() -> None:
    x, y = make_problem()
    x_train, y_train, x_test, y_test = x[:5000], y[:5000], x[5000:], y[5000:]
    print(f"morvel demonstration: {x.shape[0]} rows, {x.shape[1]} features, informative x0..x4\n")
    exact = run("exact splits", x_train, y_train, x_test, y_test)
    run("histogram (255 bins)", x_train, y_train, x_test, y_test, max_bins=255)
    run("extra trees", x_train, y_train, x_test, y_test, extra_trees=True)

    values, base = exact.tree_shap(x_test[:200])
    values = np.asarray(values)
    proba = np.asarray(exact.predict_proba(x_test[:200]))
    error = np.max(np.abs(np.asarray(base) + values.sum(axis=1) - proba))
    print(f"\nTreeSHAP on 200 rows: largest additivity error {error:.2e}")
    print(f"SHAP importances: {top(exact.shap_importances(x_test[:500], n_jobs=2))}")

    from morvel.boruta import Boruta

    selector = Boruta(n_estimators=100, max_depth=5, random_state=0).fit(np.nan_to_num(x_train), y_train)
    chosen = [f"x{j}" for j in np.flatnonzero(selector.support_)]
    print(f"Boruta confirmed: {', '.join(chosen) or 'nothing'}")


if __name__ == "__main__":
    main()
