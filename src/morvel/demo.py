"""Demonstration: train the estimators on a synthetic problem and report what they found.

Run with ``python -m morvel.demo``. The data has five informative features among twenty,
with a few missing values; every step prints what it did and how long it took.
"""

from __future__ import annotations

import time
from contextlib import contextmanager

import numpy as np
from sklearn.model_selection import cross_val_score

from morvel import Boruta, ExtraTreesClassifier, RandomForestClassifier


def make_problem(n_rows: int = 6000, n_features: int = 20, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Two classes decided by a noisy function of features 0..4; the rest is noise."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n_rows, n_features))
    score = x[:, 0] + 0.8 * x[:, 1] - 0.6 * x[:, 2] + 0.5 * x[:, 3] * x[:, 4]
    y = (score + 0.5 * rng.normal(size=n_rows) > 0).astype(np.int64)
    x[rng.random(x.shape) < 0.02] = np.nan  # a few missing values: they get learned directions
    return x, y


def top(values: np.ndarray, k: int = 5) -> str:
    order = np.argsort(values)[::-1][:k]
    return ", ".join(f"x{j} {values[j]:.3f}" for j in order)


@contextmanager
def step(title: str):
    print(f"-> {title} ...", flush=True)
    start = time.perf_counter()
    yield
    print(f"   done in {time.perf_counter() - start:.2f}s", flush=True)


def main() -> None:
    x, y = make_problem()
    x_train, y_train, x_test, y_test = x[:5000], y[:5000], x[5000:], y[5000:]
    print(f"morvel demonstration: {x.shape[0]} rows, {x.shape[1]} features, informative x0..x4\n")

    models = {
        "random forest, exact splits": RandomForestClassifier(max_bins=None, oob_score=True, n_jobs=-1,
                                                              random_state=7),
        "random forest, 255 bins": RandomForestClassifier(oob_score=True, n_jobs=-1, random_state=7),
        "extra trees, 255 bins": ExtraTreesClassifier(n_jobs=-1, random_state=7),
    }
    for name, model in models.items():
        with step(f"fit {name} (100 trees)"):
            model.fit(x_train, y_train)
        oob = f", out-of-bag accuracy {model.oob_score_:.3f}" if model.oob_score else ""
        print(f"   test accuracy {model.score(x_test, y_test):.3f}{oob}")
        print(f"   top impurity importances: {top(model.feature_importances_)}")

    model = models["random forest, 255 bins"]
    with step("5-fold cross-validation of the binned random forest"):
        scores = cross_val_score(RandomForestClassifier(n_jobs=-1, random_state=7), x_train, y_train, cv=5)
    print(f"   accuracy {scores.mean():.3f} +/- {scores.std():.3f}")

    with step("TreeSHAP on 100 test rows"):
        values, base = model.shap_values(x_test[:100], return_base_values=True)
    error = np.max(np.abs(base + values.sum(axis=1) - model.predict_proba(x_test[:100])))
    print(f"   largest additivity error {error:.2e}; mean |SHAP| of class 1: "
          f"{top(np.abs(values[:, :, 1]).mean(axis=0))}")

    with step("Boruta feature selection (100 trees of depth 5 per iteration, missing values set to 0)"):
        selector = Boruta(random_state=0).fit(np.nan_to_num(x_train), y_train)
    names = np.array([f"x{j}" for j in range(x.shape[1])])
    print(f"   {selector.n_iter_} iterations; confirmed: {', '.join(names[selector.support_]) or 'nothing'}; "
          f"tentative: {', '.join(names[selector.support_weak_]) or 'none'}; "
          f"rejected: {int(np.sum(~selector.support_ & ~selector.support_weak_))}")


if __name__ == "__main__":
    main()
