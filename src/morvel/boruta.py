"""All-relevant feature selection in the manner of BorutaPy, on the native kernel.

Each iteration compares every still-undecided or accepted feature with shadow features
(copies whose rows are shuffled, so they carry no information about ``y``). The costly
step, training a forest on the real and shadow columns and measuring their importances, is
one call of :func:`morvel._boruta_core.gain_importances`; shadows are described to it by
permutation rows and never copied. A feature scores a *hit* when its importance beats the
``perc`` percentile of the shadow importances. After each iteration the hit counts are
tested against a fair coin (binomial test, Benjamini-Hochberg then Bonferroni across
iterations when ``two_step`` is on): features with significantly many hits are accepted,
those with significantly few are rejected and leave the active set.
"""

from __future__ import annotations

import math
import numbers
import os
import time
from typing import Any

import numpy as np
from joblib import effective_n_jobs
from sklearn.base import BaseEstimator
from sklearn.feature_selection import SelectorMixin
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

from morvel._boruta_core import gain_importances
from morvel._core import NativeForest

__all__ = ["Boruta"]

_TENTATIVE, _ACCEPTED, _REJECTED = 0, 1, -1
_MIN_SHADOWS = 5  # as BorutaPy: fewer shadows make the percentile threshold too noisy


def _binomial_tail(hits: np.ndarray, trials: int, upper: bool) -> np.ndarray:
    """P(X >= hits) when ``upper``, else P(X <= hits), for X ~ Binomial(trials, 1/2)."""
    from scipy.stats import binom

    if upper:
        return binom.sf(hits - 1, trials, 0.5)
    return binom.cdf(hits, trials, 0.5)


def _benjamini_hochberg(p_values: np.ndarray, alpha: float) -> np.ndarray:
    """Mask of the hypotheses rejected at false discovery rate ``alpha``."""
    n = p_values.size
    if n == 0:
        return np.zeros(0, dtype=bool)
    order = np.argsort(p_values, kind="stable")
    below = p_values[order] <= alpha * np.arange(1, n + 1) / n
    rejected = np.zeros(n, dtype=bool)
    if below.any():
        last = np.nonzero(below)[0].max()
        rejected[order[: last + 1]] = True
    return rejected


def _rank_ignoring_nan(values: np.ndarray, axis: int) -> np.ndarray:
    """Average ranks (1 = smallest) along ``axis``; NaN entries stay NaN and are not ranked."""
    from scipy.stats import rankdata

    return rankdata(values, axis=axis, nan_policy="omit")


def _available_cpus() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # platforms without affinity masks
        return max(1, os.cpu_count() or 1)


class Boruta(SelectorMixin, BaseEstimator):
    """Boruta all-relevant feature selector on morvel's binned extra-trees forest.

    A feature is confirmed when it beats the best of its shuffled copies (shadows)
    significantly more often than chance over the iterations, and rejected when it loses
    significantly often. Each iteration trains a native forest of ``n_estimators`` trees of
    depth ``max_depth`` on the real and shadow columns without copying the shadows.

    Parameters
    ----------
    n_estimators : int, default=100
        Trees per iteration.
    max_depth : int, default=5
        Depth of every tree.
    max_iter : int, default=100
        Largest number of iterations.
    alpha : float, default=0.05
        Significance level of the hit tests, in (0, 1].
    perc : float, default=100
        Percentile of the shadow importances a real feature has to beat, in (0, 100]
        (100: the best shadow).
    two_step : bool, default=True
        Benjamini-Hochberg correction across features followed by Bonferroni across
        iterations; False applies Bonferroni across features only, as the original Boruta.
    bins : int, default=255
        Histogram bins per feature of the per-iteration forests, 2..255.
    extra_seed : int, default=6
        Seed mixed into the extra-trees thresholds.
    n_jobs : int, default=None
        Threads of the per-iteration forests. None uses every CPU available to the process
        (through the shadow-free kernel); an int k (-1 all CPUs, -2 all but one, ...) runs
        on k threads, materialising the shadow columns when k is below the CPU count. The
        selection is the same for any value.
    random_state : int, RandomState instance or None, default=None
        Seeds the shadow permutations and the per-iteration forest seeds.
    verbose : int, default=0
        1 or more prints one progress line per iteration (confirmed, tentative and rejected
        features so far) and a summary at the end.

    Attributes
    ----------
    support_ : ndarray of shape (n_features_in_,), dtype bool
        Confirmed features; what :meth:`transform` keeps.
    support_weak_ : ndarray of shape (n_features_in_,), dtype bool
        Features still tentative when the iterations ran out whose median importance beats
        the median shadow threshold (BorutaPy's rough fix); not kept by :meth:`transform`.
    ranking_ : ndarray of shape (n_features_in_,), dtype int
        BorutaPy's ranking: 1 for confirmed, 2 for the weakly supported tentative features,
        then every other feature (rejected, or tentative below the rough fix) ordered by the
        median over iterations of its importance rank, starting at 3 (at 2 when no feature
        is weakly supported).
    n_features_ : int
        Number of confirmed features.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names of a DataFrame passed to fit.
    n_iter_ : int
        Iterations run (also ``n_iterations_``).
    importance_history_ : ndarray of shape (n_iter_, n_features_in_)
        Importance of every feature per iteration; NaN once a feature is rejected.
    history_ : list of dict
        Per iteration: ``active`` feature indices, their ``importances``, the
        ``shadow_threshold``, the ``hits``, the numbers ``confirmed``, ``tentative`` and
        ``rejected`` after the iteration, and the ``preparation_seconds`` and
        ``training_seconds`` of the forest.

    Notes
    -----
    The per-iteration forests need finite values: NaN or infinity in ``X`` is refused
    (impute first), as is sparse input (pass ``X.toarray()``) and a ``y`` of one class.

    Examples
    --------
    >>> from sklearn.datasets import make_classification
    >>> from sklearn.pipeline import make_pipeline
    >>> from morvel import Boruta, RandomForestClassifier
    >>> X, y = make_classification(n_samples=300, n_features=10, n_informative=3,
    ...                            n_redundant=0, shuffle=False, random_state=0)
    >>> pipe = make_pipeline(Boruta(random_state=0), RandomForestClassifier(random_state=0))
    >>> pipe.fit(X, y)[0].support_[:3].all()
    np.True_
    """

    def __init__(
        self,
        n_estimators: int = 100,
        max_depth: int = 5,
        max_iter: int = 100,
        alpha: float = 0.05,
        perc: float = 100,
        two_step: bool = True,
        bins: int = 255,
        extra_seed: int = 6,
        n_jobs: int | None = None,
        random_state: Any = None,
        verbose: int = 0,
    ) -> None:
        self.n_estimators = n_estimators
        self.max_depth = max_depth
        self.max_iter = max_iter
        self.alpha = alpha
        self.perc = perc
        self.two_step = two_step
        self.bins = bins
        self.extra_seed = extra_seed
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose

    @property
    def history(self) -> list[dict]:
        """Alias of ``history_``."""
        return self.history_

    @property
    def n_iterations_(self) -> int:
        """Alias of ``n_iter_``."""
        return self.n_iter_

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = False
        tags.input_tags.sparse = False
        tags.target_tags.required = True
        return tags

    def _check_params(self) -> None:
        def whole(value, least):
            return isinstance(value, numbers.Integral) and not isinstance(value, bool) and value >= least

        checks = [
            ("n_estimators", whole(self.n_estimators, 1), "an int in [1, inf)"),
            ("max_depth", whole(self.max_depth, 1), "an int in [1, inf)"),
            ("max_iter", whole(self.max_iter, 1), "an int in [1, inf)"),
            ("alpha", isinstance(self.alpha, numbers.Real) and 0.0 < self.alpha <= 1.0, "a float in (0, 1]"),
            ("perc", isinstance(self.perc, numbers.Real) and 0.0 < self.perc <= 100.0, "a number in (0, 100]"),
            ("bins", whole(self.bins, 2) and self.bins <= 255, "an int in [2, 255]"),
            ("extra_seed", whole(self.extra_seed, 0), "an int in [0, inf)"),
        ]
        for name, ok, expected in checks:
            if not ok:
                raise ValueError(f"The '{name}' parameter of Boruta must be {expected}. "
                                 f"Got {getattr(self, name)!r} instead.")

    def fit(self, X: Any, y: Any) -> Boruta:
        """Run the Boruta iterations on (X, y).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Dense, finite feature values.
        y : array-like of shape (n_samples,)
            Class labels of any type; at least two classes.

        Returns
        -------
        self : object
            The fitted selector.
        """
        self._check_params()
        X, y = validate_data(self, X, y, dtype=np.float64, ensure_all_finite=True)
        check_classification_targets(y)
        classes, labels = np.unique(y, return_inverse=True)
        if classes.size < 2:
            raise ValueError(f"Boruta needs at least two classes in y; got one class ({classes[0]!r}).")
        labels = labels.astype(np.int64).reshape(-1)
        x = np.ascontiguousarray(X)
        n_rows, n_features = x.shape
        state = check_random_state(self.random_state)
        rng = np.random.default_rng(state.randint(np.iinfo(np.int32).max))
        threads = None if self.n_jobs is None else max(1, int(effective_n_jobs(self.n_jobs)))

        decision = np.zeros(n_features, dtype=np.int64)
        hits = np.zeros(n_features, dtype=np.int64)
        importance_rows, thresholds = [], []
        self.history_ = []
        iteration = 0
        start = time.perf_counter()
        while iteration < self.max_iter and np.any(decision == _TENTATIVE):
            iteration += 1
            active = np.flatnonzero(decision >= 0).astype(np.int64)
            sources = active
            while sources.size < _MIN_SHADOWS:
                sources = np.concatenate([sources, sources])
            permutations = rng.permuted(np.tile(np.arange(n_rows, dtype=np.int64), (sources.size, 1)), axis=1)
            seed = int(rng.integers(0, 2**63 - 1))
            importances, prep_s, train_s = self._importances(x, labels, active, sources, permutations, seed, threads)
            real, shadow = importances[: active.size], importances[active.size :]
            threshold = float(np.percentile(shadow, self.perc))
            hit = real > threshold
            hits[active[hit]] += 1
            row = np.full(n_features, np.nan)
            row[active] = real
            importance_rows.append(row)
            thresholds.append(threshold)
            self._decide(decision, hits, iteration)
            counts = {name: int(np.sum(decision == code))
                      for name, code in (("confirmed", _ACCEPTED), ("tentative", _TENTATIVE), ("rejected", _REJECTED))}
            self.history_.append({"active": active, "importances": real, "shadow_threshold": threshold,
                                  "hits": active[hit], **counts,
                                  "preparation_seconds": prep_s, "training_seconds": train_s})
            if self.verbose > 0:
                print(f"Boruta iteration {iteration}/{self.max_iter}: {counts['confirmed']} confirmed, "
                      f"{counts['tentative']} tentative, {counts['rejected']} rejected "
                      f"({time.perf_counter() - start:.2f}s)", flush=True)

        self.n_iter_ = iteration
        self.importance_history_ = np.asarray(importance_rows).reshape(iteration, n_features)
        self._rank(decision, np.asarray(thresholds))
        if self.verbose > 0:
            print(f"Boruta finished after {iteration} iterations: {self.n_features_} confirmed, "
                  f"{int(self.support_weak_.sum())} tentative, "
                  f"{int(n_features - self.n_features_ - self.support_weak_.sum())} rejected", flush=True)
        return self

    def _importances(self, x, labels, active, sources, permutations, seed, threads):
        """Importances of the active then shadow columns, and the two timings in seconds."""
        if threads is None or threads >= _available_cpus():
            importances, prep_s, train_s = gain_importances(
                x, labels, active, sources, permutations,
                self.n_estimators, self.max_depth, seed, self.bins, self.extra_seed,
            )
            return np.asarray(importances), prep_s, train_s
        # The kernel takes every available CPU; a smaller thread count trains the same forest
        # (same rows, settings and seed) on the materialised shadow columns instead.
        begin = time.perf_counter()
        augmented = np.hstack([x[:, active], x[permutations.T, sources]])
        forest = NativeForest()
        prepared = time.perf_counter()
        forest.fit(augmented, labels, self.n_estimators, int(math.sqrt(augmented.shape[1])), seed,
                   max_depth=self.max_depth, max_bins=self.bins, extra_trees=True,
                   extra_trees_backend="binned", extra_seed=self.extra_seed, n_jobs=threads)
        importances = np.asarray(forest.tree_normalized_gain_importances())
        return importances, prepared - begin, time.perf_counter() - prepared

    def _decide(self, decision, hits, iteration) -> None:
        """Accepts and rejects the tentative features whose hit counts are significant."""
        tested = np.flatnonzero(decision >= 0)
        counts = hits[tested]
        accept_p = _binomial_tail(counts, iteration, upper=True)
        reject_p = _binomial_tail(counts, iteration, upper=False)
        if self.two_step:
            accept = _benjamini_hochberg(accept_p, self.alpha) & (accept_p <= self.alpha / iteration)
            reject = _benjamini_hochberg(reject_p, self.alpha) & (reject_p <= self.alpha / iteration)
        else:
            accept = accept_p <= self.alpha / decision.size
            reject = reject_p <= self.alpha / decision.size
        tentative = decision[tested] == _TENTATIVE
        decision[tested[tentative & accept]] = _ACCEPTED
        decision[tested[tentative & reject & ~accept]] = _REJECTED

    def _rank(self, decision: np.ndarray, thresholds: np.ndarray) -> None:
        """support_, support_weak_ and ranking_ as BorutaPy derives them from the decisions."""
        n_features = decision.size
        history = self.importance_history_
        confirmed = np.flatnonzero(decision == _ACCEPTED)
        tentative = np.flatnonzero(decision == _TENTATIVE)
        if tentative.size:
            # BorutaPy's rough fix: a tentative feature stays weakly supported only when its
            # median importance beats the median shadow threshold.
            tentative = tentative[np.median(history[:, tentative], axis=0) > np.median(thresholds)]
        self.support_ = np.zeros(n_features, dtype=bool)
        self.support_[confirmed] = True
        self.support_weak_ = np.zeros(n_features, dtype=bool)
        self.support_weak_[tentative] = True
        self.n_features_ = int(confirmed.size)
        ranking = np.ones(n_features, dtype=np.int64)
        ranking[tentative] = 2
        others = np.setdiff1d(np.arange(n_features), np.concatenate([confirmed, tentative]))
        if others.size:
            # Rank the others within each iteration (largest importance first), take each
            # feature's median rank over the iterations it took part in, and rank those.
            per_iteration = _rank_ignoring_nan(-history[:, others], axis=1)
            medians = np.nanmedian(per_iteration, axis=0)
            order = _rank_ignoring_nan(medians, axis=0)
            ranking[others] = (order - np.nanmin(order) + (3 if tentative.size else 2)).astype(np.int64)
        self.ranking_ = ranking

    def _get_support_mask(self) -> np.ndarray:
        check_is_fitted(self)
        return self.support_
