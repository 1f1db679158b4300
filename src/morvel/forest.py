"""scikit-learn classifiers over morvel's native forest.

The estimators adapt inputs, parameters and outputs; every numeric step runs natively
through the package's native module, :mod:`morvel._native`. Labels of any type are encoded to 0..n_classes-1,
scikit-learn's parameter forms (fractions, ``None``, named presets, negative ``n_jobs``,
``RandomState`` objects) are resolved to the native settings, and results come back as
arrays in the caller's row order.
"""

from __future__ import annotations

import math
import numbers
import operator
import warnings
from typing import Any, NamedTuple

import numpy as np
from joblib import effective_n_jobs
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.metrics import accuracy_score
from sklearn.utils import check_random_state, compute_class_weight, compute_sample_weight
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from morvel import _native
from morvel._core import NativeForest

__all__ = ["ExtraTreesClassifier", "RandomForestClassifier", "resolve_max_features"]

_UNLIMITED_DEPTH = 2**64 - 1
_SEED_BOUND = np.iinfo(np.int32).max


def resolve_max_features(max_features: Any, n_features: int) -> int:
    """Number of features tried per split for ``max_features`` on ``n_features`` columns.

    Accepts "sqrt", "log2", None (all features), an int, or a float fraction in (0, 1]
    (``max(1, int(max_features * n_features))``).
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
    if isinstance(max_features, numbers.Integral):
        return int(max_features)
    if isinstance(max_features, numbers.Real):
        if not 0.0 < max_features <= 1.0:
            raise ValueError("a float max_features must lie in (0, 1]")
        return max(1, int(max_features * n_features))
    raise TypeError(f"unsupported max_features {max_features!r}")


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _refuse(owner: str, name: str, expected: str, value: Any) -> None:
    raise ValueError(f"The '{name}' parameter of {owner} must be {expected}. Got {value!r} instead.")


def _count_or_fraction(owner: str, name: str, value: Any, n_rows: int, least: int, fraction_max: float) -> int:
    """An int of at least ``least`` as is; a fraction of the rows rounded up, at least ``least``."""
    if _is_int(value) and value >= least:
        return int(value)
    if _is_real(value) and not _is_int(value) and 0.0 < value <= fraction_max:
        return max(least, math.ceil(value * n_rows))
    _refuse(owner, name, f"an int in [{least}, inf) or a float in (0.0, {fraction_max}]", value)


def _native_seed(random_state: Any) -> int:
    """An int seeds the forest as given; None or a RandomState draws one from it."""
    if _is_int(random_state):
        check_random_state(random_state)  # scikit-learn's range for an int seed
        return int(random_state)
    return int(check_random_state(random_state).randint(_SEED_BOUND))


def _native_jobs(n_jobs: Any) -> int:
    # joblib reads None, -1 and other negatives as scikit-learn does (and honours an
    # enclosing parallel_backend); the native side takes a plain positive count.
    if n_jobs is not None and not _is_int(n_jobs):
        raise ValueError(f"n_jobs must be None or an int, got {n_jobs!r}")
    return max(1, int(effective_n_jobs(n_jobs)))


class _PreparedFit(NamedTuple):
    """A validated training set and the native settings resolved from the parameters."""

    X: Any  #: float32/float64 dense rows or a CSR/CSC matrix
    y: np.ndarray  #: the labels as given, for out-of-bag scoring
    classes: np.ndarray
    encoded: np.ndarray  #: int64 class indices into ``classes``
    settings: dict[str, Any]  #: keyword arguments of the native fit


class _ForestClassifier(ClassifierMixin, BaseEstimator):
    """What the random-forest and extra-trees classifiers share; see the two subclasses."""

    _extra_trees = False

    # -- fitting -------------------------------------------------------------------------------

    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> _ForestClassifier:
        """Build the forest from the training set (X, y).

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            Training rows. Dense float32 input is read in place; other dense input is
            converted to float64; sparse input is converted to CSR. NaN marks a missing
            value and is learned a direction at every split; infinities are refused.
        y : array-like of shape (n_samples,)
            Class labels of any type that ``numpy.unique`` can sort.
        sample_weight : array-like of shape (n_samples,), default=None
            Row weights; None weighs every row 1. Combined with ``class_weight`` by
            multiplication.

        Returns
        -------
        self : object
            The fitted estimator.
        """
        prepared = self._prepare_fit(X, y, sample_weight)
        forest = NativeForest()
        _native.fit(forest, prepared.X, prepared.encoded, **prepared.settings)
        return self._adopt_forest(forest, prepared)

    def _prepare_fit(self, X: Any, y: Any, sample_weight: Any) -> _PreparedFit:
        # Every way of fitting (here, or in ranges on a cluster) starts from this one step,
        # so that labels, weights and the seed resolve identically and so do the trees.
        X, y = validate_data(
            self, X, y, accept_sparse=["csr", "csc"], dtype=[np.float64, np.float32],
            ensure_all_finite="allow-nan",
        )
        check_classification_targets(y)
        classes, encoded = np.unique(y, return_inverse=True)
        n_rows, n_features = X.shape
        if sample_weight is not None:
            sample_weight = _check_sample_weight(sample_weight, X, dtype=np.float64)
        settings = self._native_settings(X, n_rows, n_features, classes, encoded, sample_weight)
        return _PreparedFit(X, y, classes, encoded.astype(np.int64).reshape(-1), settings)

    def _adopt_forest(self, forest: NativeForest, prepared: _PreparedFit) -> _ForestClassifier:
        """Make ``forest``, trained on ``prepared``, this estimator's fitted state."""
        self._forest = forest
        self.classes_ = prepared.classes
        self.n_classes_ = len(prepared.classes)
        if self.oob_score:
            self._set_oob_results(prepared.y)
        return self

    def _native_settings(self, X, n_rows, n_features, classes, encoded, sample_weight) -> dict[str, Any]:
        owner = type(self).__name__
        if not (_is_int(self.n_estimators) and self.n_estimators >= 1):
            _refuse(owner, "n_estimators", "an int in [1, inf)", self.n_estimators)
        if self.criterion not in ("gini", "entropy", "log_loss"):
            _refuse(owner, "criterion", "a str among {'gini', 'entropy', 'log_loss'}", self.criterion)
        if self.max_depth is not None and not (_is_int(self.max_depth) and self.max_depth >= 1):
            _refuse(owner, "max_depth", "an int in [1, inf) or None", self.max_depth)
        if self.max_leaf_nodes is not None and not (_is_int(self.max_leaf_nodes) and self.max_leaf_nodes >= 2):
            _refuse(owner, "max_leaf_nodes", "an int in [2, inf) or None", self.max_leaf_nodes)
        if not (_is_real(self.min_weight_fraction_leaf) and 0.0 <= self.min_weight_fraction_leaf <= 0.5):
            _refuse(owner, "min_weight_fraction_leaf", "a float in [0.0, 0.5]", self.min_weight_fraction_leaf)
        for name in ("min_impurity_decrease", "ccp_alpha"):
            value = getattr(self, name)
            if not (_is_real(value) and math.isfinite(value) and value >= 0.0):
                _refuse(owner, name, "a float in [0.0, inf)", value)
        for name in ("bootstrap", "permutation_importance"):
            if not isinstance(getattr(self, name), (bool, np.bool_)):
                _refuse(owner, name, "a bool", getattr(self, name))
        if not (isinstance(self.oob_score, (bool, np.bool_)) or callable(self.oob_score)):
            _refuse(owner, "oob_score", "a bool or a callable", self.oob_score)
        if self.max_bins is not None and not (_is_int(self.max_bins) and 2 <= self.max_bins <= 255):
            _refuse(owner, "max_bins", "an int in [2, 255] or None", self.max_bins)
        if self.oob_score and not self.bootstrap:
            raise ValueError("Out of bag estimation only available if bootstrap=True")
        if self.max_samples is not None and not self.bootstrap:
            raise ValueError("`max_samples` cannot be set if `bootstrap=False`. Either switch to "
                             "`bootstrap=True` or set `max_samples=None`.")

        weights, balanced_subsample = self._weights(classes, encoded, sample_weight)
        settings: dict[str, Any] = {
            "n_estimators": int(self.n_estimators),
            "max_features": resolve_max_features(self.max_features, n_features),
            "random_state": _native_seed(self.random_state),
            "sample_weight": weights,
            "criterion": self.criterion,
            "max_depth": _UNLIMITED_DEPTH if self.max_depth is None else int(self.max_depth),
            "max_leaves": None if self.max_leaf_nodes is None else int(self.max_leaf_nodes),
            "min_samples_split": _count_or_fraction(owner, "min_samples_split", self.min_samples_split, n_rows, 2, 1.0),
            "min_samples_leaf": _count_or_fraction(owner, "min_samples_leaf", self.min_samples_leaf, n_rows, 1, 0.5),
            "min_leaf_weight": float(self.min_weight_fraction_leaf)
            * (float(n_rows) if weights is None else float(np.sum(weights))),
            "min_impurity_decrease": float(self.min_impurity_decrease),
            "bootstrap": bool(self.bootstrap),
            "max_samples": self._bootstrap_draws(owner, n_rows),
            "oob": bool(self.oob_score),
            "permutation_importance": bool(self.permutation_importance),
            "n_jobs": _native_jobs(self.n_jobs),
            "max_bins": None if self.max_bins is None else int(self.max_bins),
            "balanced_subsample": balanced_subsample,
            "ccp_alpha": float(self.ccp_alpha),
            "monotonic_cst": None if self.monotonic_cst is None else [operator.index(v) for v in self.monotonic_cst],
            "binning_strategy": self.binning_strategy,
            "bin_sample_size": self.bin_sample_size,
        }
        if self._extra_trees:
            backend = self.extra_trees_backend
            if backend not in ("auto", "binned", "exact"):
                _refuse(owner, "extra_trees_backend", "a str among {'auto', 'binned', 'exact'}", backend)
            if backend == "auto":
                # Binned thresholds read dense rows only; sparse input draws exact thresholds.
                backend = "binned" if self.max_bins is not None and not hasattr(X, "tocsr") else "exact"
            if backend == "exact":
                settings["max_bins"] = None
            settings.update(extra_trees=True, extra_trees_backend=backend)
        return settings

    def _bootstrap_draws(self, owner: str, n_rows: int) -> int | None:
        value = self.max_samples
        if value is None:
            return None
        if _is_int(value) and value >= 1:
            return int(value)
        if _is_real(value) and not _is_int(value) and value > 0.0 and math.isfinite(value):
            return max(round(value * n_rows), 1)
        _refuse(owner, "max_samples", "an int in [1, inf), a float in (0.0, inf) or None", value)

    def _weights(self, classes, encoded, sample_weight) -> tuple[np.ndarray | None, bool]:
        """Row weights for the native fit, and whether trees rebalance their own bootstrap."""
        class_weight = self.class_weight
        if class_weight is None:
            return sample_weight, False
        if class_weight == "balanced_subsample" and self.bootstrap:
            return sample_weight, True
        if class_weight in ("balanced", "balanced_subsample"):
            per_class = compute_class_weight("balanced", classes=classes, y=classes[encoded],
                                             sample_weight=sample_weight)
            expanded = per_class[encoded]
        elif isinstance(class_weight, (dict, list)):
            expanded = compute_sample_weight(class_weight, classes[encoded])
        else:
            raise ValueError('Valid presets for class_weight include "balanced" and "balanced_subsample". '
                             f'Given "{class_weight}".')
        expanded = np.asarray(expanded, dtype=np.float64)
        return (expanded if sample_weight is None else sample_weight * expanded), False

    def _set_oob_results(self, y: np.ndarray) -> None:
        proba = _native.oob_predict_proba(self._forest, caller_order=True)
        if (proba.sum(axis=1) == 0).any():
            warnings.warn("Some inputs do not have OOB scores. This probably means too few trees were used "
                          "to compute any reliable OOB estimates.", UserWarning, stacklevel=3)
        self.oob_decision_function_ = proba
        predicted = self.classes_[np.argmax(proba, axis=1)]
        scoring = accuracy_score if self.oob_score is True else self.oob_score
        self.oob_score_ = scoring(y, predicted)

    # -- prediction ------------------------------------------------------------------------------

    def _fitted(self, X: Any) -> tuple[NativeForest, Any]:
        check_is_fitted(self)
        X = validate_data(self, X, reset=False, accept_sparse=["csr", "csc"], dtype=[np.float64, np.float32],
                          ensure_all_finite="allow-nan")
        return self._forest, X

    def predict(self, X: Any) -> np.ndarray:
        """Predict the class of each row by the trees' majority vote.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            Rows to classify; NaN is a missing value.

        Returns
        -------
        y : ndarray of shape (n_samples,)
            Labels from ``classes_``; a tie goes to the class listed first.
        """
        forest, X = self._fitted(X)
        return self.classes_[_native.predict(forest, X, n_jobs=_native_jobs(self.n_jobs))]

    def predict_proba(self, X: Any) -> np.ndarray:
        """Vote fractions of the trees.

        Every tree's leaf holds one class, so a row's probability of a class is the share of
        trees that vote for it.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            Rows to classify.

        Returns
        -------
        proba : ndarray of shape (n_samples, n_classes)
            Columns in the order of ``classes_``; rows sum to 1.
        """
        forest, X = self._fitted(X)
        return _native.predict_proba(forest, X, n_jobs=_native_jobs(self.n_jobs))

    def predict_log_proba(self, X: Any) -> np.ndarray:
        """Natural logarithm of :meth:`predict_proba` (``-inf`` where no tree votes).

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            Rows to classify.

        Returns
        -------
        log_proba : ndarray of shape (n_samples, n_classes)
        """
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    def apply(self, X: Any) -> np.ndarray:
        """Leaf reached by each row in each tree.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            Rows to route.

        Returns
        -------
        leaves : ndarray of int64, shape (n_samples, n_estimators)
            For row i and tree t, the position of the reached leaf among tree t's nodes;
            two rows share a leaf exactly when the numbers are equal.
        """
        forest, X = self._fitted(X)
        return _native.apply(forest, X, n_jobs=_native_jobs(self.n_jobs))

    def shap_values(self, X: Any, return_base_values: bool = False):
        """Path-dependent TreeSHAP values of the class probabilities.

        For every row and class, the base value plus the sum over features equals
        :meth:`predict_proba`. The layout is the one ``shap.TreeExplainer(...).shap_values``
        gives for scikit-learn forests, so the shap package's plots take it directly: for
        one class ``k`` pass ``shap.summary_plot(values[:, :, k], X)``; for a bar chart of
        every class pass ``shap.summary_plot(list(values.transpose(2, 0, 1)), X)``.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            Rows to explain.
        return_base_values : bool, default=False
            Also return the expected value per class (shap's ``expected_value``).

        Returns
        -------
        values : ndarray of shape (n_samples, n_features, n_classes)
            Contribution of each feature to each class's probability.
        base_values : ndarray of shape (n_classes,)
            Only when ``return_base_values`` is True.
        """
        forest, X = self._fitted(X)
        values, base = _native.tree_shap(forest, X, n_jobs=_native_jobs(self.n_jobs))
        return (values, base) if return_base_values else values

    def shap_importances(self, X: Any) -> np.ndarray:
        """Mean absolute TreeSHAP value per feature over the rows of X and the classes, summing to 1.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            Rows to explain.

        Returns
        -------
        importances : ndarray of shape (n_features,)
        """
        forest, X = self._fitted(X)
        return _native.shap_importances(forest, X, n_jobs=_native_jobs(self.n_jobs))

    # -- importances -------------------------------------------------------------------------------

    @property
    def feature_importances_(self) -> np.ndarray:
        """Share of the total impurity decrease per feature (scikit-learn's mean decrease in impurity).

        Sums to 1 unless no tree has a split (then all zeros).
        """
        check_is_fitted(self)
        return _native.gain_importances(self._forest)

    @property
    def split_importances_(self) -> np.ndarray:
        """Share of the forest's splits made on each feature."""
        check_is_fitted(self)
        return _native.feature_importances(self._forest)

    @property
    def tree_normalized_gain_importances_(self) -> np.ndarray:
        """Each tree's gain shares averaged over the trees, so every tree counts alike; sums to 1."""
        check_is_fitted(self)
        return _native.tree_normalized_gain_importances(self._forest)

    @property
    def permutation_importances_(self) -> np.ndarray:
        """Mean drop in a tree's out-of-bag accuracy when a feature's values are permuted.

        Computed during ``fit`` when ``permutation_importance=True``; the attribute does not
        exist otherwise.
        """
        check_is_fitted(self)
        if not self.permutation_importance:
            raise AttributeError("permutation_importances_ needs permutation_importance=True at fit time")
        return _native.permutation_importances(self._forest)

    # -- scikit-learn integration ------------------------------------------------------------------

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.sparse = True
        return tags

    def __getstate__(self) -> dict[str, Any]:
        # A copy: object.__getstate__ may hand back the instance's own __dict__, and popping
        # from that would unfit the estimator being saved.
        state = dict(super().__getstate__())
        forest = state.pop("_forest", None)
        if forest is not None:
            state["_forest_bytes"] = bytes(_native.to_bytes(forest))
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        state = dict(state)
        data = state.pop("_forest_bytes", None)
        if data is not None:
            state["_forest"] = _native.from_bytes(data)
        super().__setstate__(state)


_SHARED_PARAMETERS = """
    criterion : {"gini", "entropy", "log_loss"}, default="gini"
        Impurity measure of the splits; "log_loss" and "entropy" both mean Shannon entropy.
    max_depth : int, default=None
        Deepest level a tree may reach; None grows until the leaves are pure or the other
        limits stop them.
    min_samples_split : int or float, default=2
        Fewest rows a node needs to be split; a float is a fraction of the rows,
        ``ceil(min_samples_split * n_samples)``.
    min_samples_leaf : int or float, default=1
        Fewest rows on each side of a split; a float is a fraction of the rows,
        ``ceil(min_samples_leaf * n_samples)``.
    min_weight_fraction_leaf : float, default=0.0
        Smallest share of the total row weight a leaf may hold.
    max_features : {"sqrt", "log2", None}, int or float, default="sqrt"
        Features drawn at random for each split: "sqrt" and "log2" of the feature count,
        None for all of them, an int as given, a float as ``max(1, int(max_features *
        n_features))``.
    max_leaf_nodes : int, default=None
        Grow each tree best-first up to this many leaves; None leaves the count free.
    min_impurity_decrease : float, default=0.0
        A split must lower the weighted impurity by at least this much.
    oob_score : bool or callable, default=False
        Keep the out-of-bag votes and score them: True uses accuracy, a callable is called
        as ``oob_score(y, y_pred)`` with the training labels and the out-of-bag predictions.
        Needs ``bootstrap=True``.
    n_jobs : int, default=None
        Threads for fitting and prediction; None means 1, -1 all CPUs available to the
        process, -2 all but one, and so on. Results are the same for any value.
    random_state : int, RandomState instance or None, default=None
        An int seeds the forest directly: the same int gives the same trees, bit for bit,
        whatever ``n_jobs`` or the row order of dense input. None or a RandomState draws
        the seed from NumPy's generator at every fit.
    class_weight : dict, list, "balanced" or "balanced_subsample", default=None
        Weights per class, multiplied into ``sample_weight``. "balanced" weighs class c by
        ``n_samples / (n_classes * weighted count of c)``. "balanced_subsample" reweights
        each tree's bootstrap sample by its own class counts, ``draws / (classes present *
        draws of c)``, as scikit-learn does; without bootstrap it is "balanced".
    ccp_alpha : float, default=0.0
        Cost-complexity pruning strength; every tree is pruned to the subtree minimising
        ``impurity + ccp_alpha * leaves``.
    max_samples : int or float, default=None
        With bootstrap, rows drawn per tree: None draws n_samples, an int as given, a float
        ``max(round(max_samples * n_samples), 1)``.
    monotonic_cst : array-like of int of shape (n_features,), default=None
        1 forces the positive class's probability to rise with the feature, -1 to fall, 0
        leaves it free. Two-class problems only.
    max_bins : int or None, default=255
        Histogram training: every feature is cut into at most ``max_bins`` bins (2..255)
        once per fit and splits are searched on the bins, as the gradient-boosting libraries
        do, which is many times faster than exact splits at equal accuracy. None searches
        exact thresholds on the raw values.
    binning_strategy : {"exact_sort", "sampled_sort", "exact_select", "sampled_select"}, default="exact_sort"
        How the bin edges are found: from all rows or from a seeded sample of
        ``bin_sample_size`` rows, by sorting or by selecting the quantiles.
    bin_sample_size : int, default=200000
        Rows sampled by the "sampled_*" binning strategies.
    permutation_importance : bool, default=False
        Measure each feature's out-of-bag permutation importance during the fit (see
        ``permutation_importances_``); needs ``bootstrap=True`` to have out-of-bag rows."""

_SHARED_ATTRIBUTES = """
    classes_ : ndarray of shape (n_classes,)
        The class labels, sorted.
    n_classes_ : int
        Number of classes.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names of a DataFrame passed to fit; prediction refuses other names or another
        order.
    feature_importances_ : ndarray of shape (n_features,)
        Mean decrease in impurity per feature, normalised to sum to 1.
    split_importances_ : ndarray of shape (n_features,)
        Share of splits per feature.
    tree_normalized_gain_importances_ : ndarray of shape (n_features,)
        Per-tree gain shares averaged over trees.
    permutation_importances_ : ndarray of shape (n_features,)
        Out-of-bag permutation importance (only with ``permutation_importance=True``).
    oob_score_ : float
        Score of the out-of-bag predictions (only with ``oob_score``).
    oob_decision_function_ : ndarray of shape (n_samples, n_classes)
        Out-of-bag vote fractions per training row, in the caller's row order; a row that
        was in every tree's bag gets zeros (only with ``oob_score``)."""


class RandomForestClassifier(_ForestClassifier):
    __doc__ = f"""A random forest classifier trained natively, reproducible bit for bit.

    Each tree is grown on a bootstrap sample of the rows with best splits over a random
    subset of the features. Leaves hold one class and the forest predicts by majority vote.
    The fit is fast by default: ``max_bins=255`` searches splits on per-feature histograms
    (as XGBoost and LightGBM do); pass ``max_bins=None`` for exact splits.

    Parameters
    ----------
    n_estimators : int, default=100
        Number of trees.{_SHARED_PARAMETERS}
    bootstrap : bool, default=True
        Draw each tree's rows uniformly with replacement; False trains every tree on all rows.
        Row weights scale a drawn row's contribution rather than its chance of being drawn.

    Attributes
    ----------{_SHARED_ATTRIBUTES}

    See Also
    --------
    ExtraTreesClassifier : random split thresholds instead of the best ones.

    Examples
    --------
    >>> from sklearn.datasets import load_iris
    >>> from morvel import RandomForestClassifier
    >>> X, y = load_iris(return_X_y=True)
    >>> model = RandomForestClassifier(random_state=0).fit(X, y)
    >>> model.predict(X[:2])
    array([0, 0])
    """

    def __init__(
        self,
        n_estimators: int = 100,
        *,
        criterion: str = "gini",
        max_depth: int | None = None,
        min_samples_split: int | float = 2,
        min_samples_leaf: int | float = 1,
        min_weight_fraction_leaf: float = 0.0,
        max_features: Any = "sqrt",
        max_leaf_nodes: int | None = None,
        min_impurity_decrease: float = 0.0,
        bootstrap: bool = True,
        oob_score: Any = False,
        n_jobs: int | None = None,
        random_state: Any = None,
        class_weight: Any = None,
        ccp_alpha: float = 0.0,
        max_samples: int | float | None = None,
        monotonic_cst: Any = None,
        max_bins: int | None = 255,
        binning_strategy: str = "exact_sort",
        bin_sample_size: int = 200000,
        permutation_importance: bool = False,
    ) -> None:
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.class_weight = class_weight
        self.ccp_alpha = ccp_alpha
        self.max_samples = max_samples
        self.monotonic_cst = monotonic_cst
        self.max_bins = max_bins
        self.binning_strategy = binning_strategy
        self.bin_sample_size = bin_sample_size
        self.permutation_importance = permutation_importance


class ExtraTreesClassifier(_ForestClassifier):
    __doc__ = f"""An extremely randomized trees classifier trained natively, reproducible bit for bit.

    Like :class:`RandomForestClassifier`, but each candidate feature gets one threshold
    drawn at random between its smallest and largest value in the node, and the best of
    those candidates splits. By default every tree sees all rows (``bootstrap=False``).

    Parameters
    ----------
    n_estimators : int, default=100
        Number of trees.{_SHARED_PARAMETERS}
    bootstrap : bool, default=False
        Draw each tree's rows with replacement, with chances proportional to the row weights;
        the draw counts then weigh the rows. False trains every tree on all rows of nonzero
        weight.
    extra_trees_backend : {{"auto", "binned", "exact"}}, default="auto"
        Where thresholds are drawn: "binned" between histogram bins (needs ``max_bins`` and
        dense input), "exact" on the raw values. "auto" is "binned" for dense input with
        ``max_bins`` set and "exact" otherwise (sparse input, or ``max_bins=None``).

    Attributes
    ----------{_SHARED_ATTRIBUTES}

    See Also
    --------
    RandomForestClassifier : best split thresholds on bootstrap samples.
    """

    _extra_trees = True

    def __init__(
        self,
        n_estimators: int = 100,
        *,
        criterion: str = "gini",
        max_depth: int | None = None,
        min_samples_split: int | float = 2,
        min_samples_leaf: int | float = 1,
        min_weight_fraction_leaf: float = 0.0,
        max_features: Any = "sqrt",
        max_leaf_nodes: int | None = None,
        min_impurity_decrease: float = 0.0,
        bootstrap: bool = False,
        oob_score: Any = False,
        n_jobs: int | None = None,
        random_state: Any = None,
        class_weight: Any = None,
        ccp_alpha: float = 0.0,
        max_samples: int | float | None = None,
        monotonic_cst: Any = None,
        max_bins: int | None = 255,
        binning_strategy: str = "exact_sort",
        bin_sample_size: int = 200000,
        extra_trees_backend: str = "auto",
        permutation_importance: bool = False,
    ) -> None:
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.class_weight = class_weight
        self.ccp_alpha = ccp_alpha
        self.max_samples = max_samples
        self.monotonic_cst = monotonic_cst
        self.max_bins = max_bins
        self.binning_strategy = binning_strategy
        self.bin_sample_size = bin_sample_size
        self.extra_trees_backend = extra_trees_backend
        self.permutation_importance = permutation_importance
