"""A scikit-learn style classifier over :class:`morvel.NativeForest`.

The estimator only adapts inputs and outputs: it encodes class labels to 0..n_classes-1,
resolves ``max_features`` names to counts and maps out-of-bag rows back to the caller's
order. All numerics run in the native forest.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from morvel._core import NativeForest

_NATIVE_DEFAULTS: dict[str, Any] = {
    "min_leaf_weight": 0.0,
    "criterion": "gini",
    "max_depth": 512,
    "max_leaves": None,
    "min_samples_split": 2,
    "min_samples_leaf": 1,
    "min_impurity_decrease": 0.0,
    "bootstrap": True,
    "max_samples": None,
    "oob": False,
    "permutation_importance": False,
    "n_jobs": 1,
    "max_bins": None,
    "balanced_subsample": False,
    "ccp_alpha": 0.0,
    "monotonic_cst": None,
    "binning_strategy": "exact_sort",
    "bin_sample_size": 200000,
    "binning_seed": 6,
    "extra_trees": False,
    "extra_seed": 6,
    "extra_trees_backend": "exact",
}


def resolve_max_features(max_features: Any, n_features: int) -> int:
    """Number of features tried per split for ``max_features`` on ``n_features`` columns.

    Accepts "sqrt", "log2", None (all features), an int, or a float fraction in (0, 1].
    """
    if max_features is None:
        return n_features
    if isinstance(max_features, str):
        if max_features == "sqrt":
            return max(1, int(math.sqrt(n_features)))
        if max_features == "log2":
            return max(1, int(math.log2(n_features))) if n_features > 1 else 1
        raise ValueError(f"unknown max_features {max_features!r}; use 'sqrt', 'log2', None, an int or a float")
    if isinstance(max_features, (bool, np.bool_)):
        raise TypeError("max_features must not be a bool")
    if isinstance(max_features, (int, np.integer)):
        return int(max_features)
    if isinstance(max_features, (float, np.floating)):
        if not 0.0 < max_features <= 1.0:
            raise ValueError("a float max_features must lie in (0, 1]")
        return max(1, int(max_features * n_features))
    raise TypeError(f"unsupported max_features {max_features!r}")


def _as_matrix(x: Any) -> Any:
    """Dense input becomes a float32/float64 array; sparse matrices pass through unchanged."""
    if hasattr(x, "tocsr") and hasattr(x, "indptr"):
        return x
    if hasattr(x, "tocsr"):  # other SciPy sparse formats (COO, LIL, ...)
        return x.tocsr()
    arr = np.asarray(x)
    if arr.dtype not in (np.float32, np.float64):
        arr = arr.astype(np.float64)
    return arr


class RandomForestClassifier:
    """Random-forest classifier trained natively, reproducible bit for bit.

    Parameters mirror :meth:`morvel.NativeForest.fit`; ``max_features`` also accepts
    "sqrt", "log2", None or a fraction, and ``random_state`` defaults to 0 (the native forest
    always needs a seed). Class labels may be any sortable values.
    """

    def __init__(self, n_estimators: int = 100, max_features: Any = "sqrt", random_state: int = 0, **options: Any):
        unknown = set(options) - set(_NATIVE_DEFAULTS)
        if unknown:
            raise TypeError(f"unknown options: {', '.join(sorted(unknown))}")
        self.n_estimators = n_estimators
        self.max_features = max_features
        self.random_state = random_state
        self.options = {**_NATIVE_DEFAULTS, **options}

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        return {"n_estimators": self.n_estimators, "max_features": self.max_features,
                "random_state": self.random_state, **self.options}

    def set_params(self, **params: Any) -> RandomForestClassifier:
        for key, value in params.items():
            if key in ("n_estimators", "max_features", "random_state"):
                setattr(self, key, value)
            elif key in _NATIVE_DEFAULTS:
                self.options[key] = value
            else:
                raise ValueError(f"invalid parameter {key!r}")
        return self

    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> RandomForestClassifier:
        """Train the forest on ``X`` (dense or sparse) and labels ``y``."""
        x = _as_matrix(X)
        classes, encoded = np.unique(np.asarray(y), return_inverse=True)
        weights = None if sample_weight is None else np.ascontiguousarray(sample_weight, dtype=np.float64)
        n_features = x.shape[1]
        forest = NativeForest()
        forest.fit(
            x,
            encoded.astype(np.int64).reshape(-1),
            self.n_estimators,
            resolve_max_features(self.max_features, n_features),
            self.random_state,
            sample_weight=weights,
            **self.options,
        )
        self.forest_ = forest
        self.classes_ = classes
        self.n_classes_ = len(classes)
        self.n_features_in_ = n_features
        return self

    def _fitted(self) -> NativeForest:
        forest = getattr(self, "forest_", None)
        if forest is None:
            raise RuntimeError("this RandomForestClassifier is not fitted yet; call fit first")
        return forest

    def predict(self, X: Any) -> np.ndarray:
        """Majority vote of the trees, as original class labels."""
        forest = self._fitted()
        return self.classes_[np.asarray(forest.predict(_as_matrix(X)), dtype=np.int64)]

    def predict_proba(self, X: Any) -> np.ndarray:
        """Vote fractions per class, columns in the order of ``classes_``."""
        return np.asarray(self._fitted().predict_proba(_as_matrix(X)), dtype=np.float64)

    def score(self, X: Any, y: Any) -> float:
        """Mean accuracy on ``X`` and ``y``."""
        return float(np.mean(self.predict(X) == np.asarray(y)))

    @property
    def oob_decision_function_(self) -> np.ndarray:
        """Out-of-bag vote fractions per training row, in the caller's row order."""
        forest = self._fitted()
        proba = np.asarray(forest.oob_predict_proba(), dtype=np.float64)
        out = np.empty_like(proba)
        out[forest.training_order().astype(np.intp)] = proba
        return out

    @property
    def feature_importances_(self) -> np.ndarray:
        """Share of impurity gain per feature (scikit-learn's notion of importance)."""
        return np.asarray(self._fitted().gain_importances())

    @property
    def permutation_importances_(self) -> np.ndarray:
        """Mean out-of-bag accuracy drop per permuted feature (needs ``permutation_importance=True``)."""
        return np.asarray(self._fitted().permutation_importances())

    def shap_values(self, X: Any) -> tuple[np.ndarray, np.ndarray]:
        """TreeSHAP values (rows x features x classes) and the base values per class."""
        values, base = self._fitted().tree_shap(_as_matrix(X))
        return np.asarray(values, dtype=np.float64), np.asarray(base, dtype=np.float64)
