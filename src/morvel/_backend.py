"""The one place where the estimators meet the native forest.

Every function takes a :class:`morvel.NativeForest` first and returns NumPy arrays, under the
names and signatures of the package's native module ``morvel._native``. A function that
``_native`` already provides is taken from it; the others are built here on
``NativeForest``'s own methods, so that the estimators never depend on which of the two
answers.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from morvel import _native
from morvel._core import NativeForest

__all__ = [
    "CAN_SAVE",
    "apply",
    "feature_importances",
    "fit",
    "from_bytes",
    "gain_importances",
    "merge",
    "oob_predict_proba",
    "permutation_importances",
    "predict",
    "predict_proba",
    "shap_importances",
    "to_bytes",
    "tree_normalized_gain_importances",
    "tree_shap",
]


def _prefer_native(function):
    """``_native``'s function of the same name when the module has one, else ``function``."""
    return getattr(_native, function.__name__, function)


@_prefer_native
def fit(forest: NativeForest, x: Any, y: np.ndarray, n_estimators: int, max_features: int, random_state: int,
        tree_range: tuple[int, int] | None = None, **options: Any) -> None:
    if tree_range is not None:
        raise NotImplementedError("training a range of trees needs the native module's fit")
    forest.fit(x, y, n_estimators, max_features, random_state, **options)


@_prefer_native
def predict(forest: NativeForest, x: Any, n_jobs: int = 1) -> np.ndarray:
    return np.asarray(forest.predict(x), dtype=np.int64)


@_prefer_native
def predict_proba(forest: NativeForest, x: Any, n_jobs: int = 1) -> np.ndarray:
    return np.ascontiguousarray(forest.predict_proba(x), dtype=np.float64)


@_prefer_native
def apply(forest: NativeForest, x: Any, n_jobs: int = 1) -> np.ndarray:
    # Routed here over the exported tree arrays, whose orientation is scikit-learn's: a row
    # goes to children_left when its value is <= threshold (binned forests export the bin's
    # upper edge as threshold, which routes raw values exactly as their bins are routed), and
    # a missing value follows missing_go_to_left.
    if not forest.is_fitted():
        raise RuntimeError("forest is not fitted")
    forest.predict(x)  # the same input checks and messages as every prediction call
    dense = np.asarray(x.toarray() if hasattr(x, "toarray") else x, dtype=np.float64)
    trees = forest.shap_tree_arrays()
    leaves = np.empty((dense.shape[0], len(trees)), dtype=np.int64)
    rows = np.arange(dense.shape[0])
    for t, (left, right, feature, threshold, _, _, missing_left) in enumerate(trees):
        left, right, feature = np.asarray(left), np.asarray(right), np.asarray(feature)
        threshold, missing_left = np.asarray(threshold), np.asarray(missing_left, dtype=bool)
        node = np.zeros(dense.shape[0], dtype=np.int64)
        active = left[node] >= 0
        while active.any():
            at = node[active]
            values = dense[rows[active], feature[at]]
            go_left = np.where(np.isnan(values), missing_left[at], values <= threshold[at])
            node[active] = np.where(go_left, left[at], right[at])
            active = left[node] >= 0
        leaves[:, t] = node
    return leaves


@_prefer_native
def tree_shap(forest: NativeForest, x: Any, n_jobs: int = 1) -> tuple[np.ndarray, np.ndarray]:
    values, base = forest.tree_shap(x)
    return np.asarray(values, dtype=np.float64), np.asarray(base, dtype=np.float64)


@_prefer_native
def shap_importances(forest: NativeForest, x: Any, n_jobs: int = 1) -> np.ndarray:
    return np.asarray(forest.shap_importances(x, n_jobs=n_jobs), dtype=np.float64)


@_prefer_native
def feature_importances(forest: NativeForest) -> np.ndarray:
    return np.asarray(forest.feature_importances(), dtype=np.float64)


@_prefer_native
def gain_importances(forest: NativeForest) -> np.ndarray:
    return np.asarray(forest.gain_importances(), dtype=np.float64)


@_prefer_native
def tree_normalized_gain_importances(forest: NativeForest) -> np.ndarray:
    return np.asarray(forest.tree_normalized_gain_importances(), dtype=np.float64)


@_prefer_native
def permutation_importances(forest: NativeForest) -> np.ndarray:
    return np.asarray(forest.permutation_importances(), dtype=np.float64)


@_prefer_native
def oob_predict_proba(forest: NativeForest, caller_order: bool = False) -> np.ndarray:
    proba = np.asarray(forest.oob_predict_proba(), dtype=np.float64)
    if not caller_order:
        return proba
    out = np.empty_like(proba)
    out[forest.training_order().astype(np.intp)] = proba
    return out


@_prefer_native
def to_bytes(forest: NativeForest) -> bytes:
    raise NotImplementedError("saving a fitted forest needs the native module's to_bytes")


@_prefer_native
def from_bytes(data: Any) -> NativeForest:
    raise NotImplementedError("loading a fitted forest needs the native module's from_bytes")


@_prefer_native
def merge(forests: Any) -> NativeForest:
    raise NotImplementedError("merging forests needs the native module's merge")


#: Whether fitted forests can be saved and loaded (pickle, joblib) in this build.
CAN_SAVE = hasattr(_native, "to_bytes") and hasattr(_native, "from_bytes")
