"""All-relevant feature selection in the manner of BorutaPy, on the native kernel.

Each iteration compares every still-undecided or accepted feature with shadow features
(copies whose rows are shuffled, so they carry no information about ``y``).  The costly
step, training a forest on the real and shadow columns and measuring their importances, is
one call of :func:`morvel._boruta_core.gain_importances`; shadows are described to it by
permutation rows and never copied.  A feature scores a *hit* when its importance beats the
``perc`` percentile of the shadow importances.  After each iteration the hit counts are
tested against a fair coin (binomial test, Benjamini-Hochberg then Bonferroni across
iterations when ``two_step`` is on): features with significantly many hits are accepted,
those with significantly few are rejected and leave the active set.

Example::

    selector = Boruta(n_estimators=100, max_depth=5, random_state=0).fit(x, y)
    x_selected = x[:, selector.support_]
"""

from __future__ import annotations

import math

import numpy as np

from morvel._boruta_core import gain_importances

__all__ = ["Boruta"]

_TENTATIVE, _ACCEPTED, _REJECTED = 0, 1, -1


def _binomial_tail(hits: np.ndarray, trials: int, upper: bool) -> np.ndarray:
    """P(X >= hits) when ``upper``, else P(X <= hits), for X ~ Binomial(trials, 1/2)."""
    try:
        from scipy.stats import binom
    except ImportError:  # exact integer sums; trials is at most max_iter
        total = 2**trials
        out = []
        for k in hits.tolist():
            terms = range(k, trials + 1) if upper else range(0, k + 1)
            out.append(sum(math.comb(trials, i) for i in terms) / total)
        return np.asarray(out, dtype=float)
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


class Boruta:
    """Boruta feature selector on morvel's binned extra-trees forest.

    Parameters
    ----------
    n_estimators : int
        Trees per iteration.
    max_depth : int
        Depth of every tree.
    max_iter : int
        Largest number of iterations.
    alpha : float
        Significance level of the hit tests.
    perc : float
        Percentile of the shadow importances a real feature has to beat (100: the maximum).
    two_step : bool
        Benjamini-Hochberg correction across features followed by Bonferroni across
        iterations; otherwise Bonferroni across features only.
    bins : int
        ``max_bins`` of the histogram training, 2..255.
    extra_seed : int
        Seed of the extra-trees thresholds.
    random_state : int or None
        Seeds the shadow permutations and the per-iteration forest seeds.

    Attributes
    ----------
    support_ : ndarray of bool
        Accepted features.
    support_weak_ : ndarray of bool
        Features still tentative when the iterations ran out.
    ranking_ : ndarray of int
        1 for accepted, 2 for tentative, larger for rejected (rejected later ranks better).
    n_iterations_ : int
        Iterations run.
    history_ : list of dict
        Per iteration: ``active`` feature indices, their ``importances``, the
        ``shadow_threshold``, the ``hits`` and the ``preparation_seconds`` and
        ``training_seconds`` reported by the kernel.
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
        random_state: int | None = None,
    ) -> None:
        self.n_estimators = n_estimators
        self.max_depth = max_depth
        self.max_iter = max_iter
        self.alpha = alpha
        self.perc = perc
        self.two_step = two_step
        self.bins = bins
        self.extra_seed = extra_seed
        self.random_state = random_state

    @property
    def history(self) -> list[dict]:
        """Alias of ``history_``."""
        return self.history_

    def fit(self, x, y) -> "Boruta":
        x = np.asarray(x, dtype=np.float64)
        if x.ndim != 2:
            raise ValueError("x must be a two-dimensional array")
        _, labels = np.unique(np.asarray(y), return_inverse=True)
        labels = labels.astype(np.int64).reshape(-1)
        n_rows, n_features = x.shape
        rng = np.random.default_rng(self.random_state)

        decision = np.zeros(n_features, dtype=np.int64)
        hits = np.zeros(n_features, dtype=np.int64)
        rejected_at = np.zeros(n_features, dtype=np.int64)
        self.history_ = []
        iteration = 0
        while iteration < self.max_iter and np.any(decision == _TENTATIVE):
            iteration += 1
            active = np.flatnonzero(decision >= 0).astype(np.int64)
            permutations = rng.permuted(np.tile(np.arange(n_rows, dtype=np.int64), (active.size, 1)), axis=1)
            seed = int(rng.integers(0, 2**63 - 1))
            importances, prep_s, train_s = gain_importances(
                x, labels, active, active, permutations,
                self.n_estimators, self.max_depth, seed, self.bins, self.extra_seed,
            )
            importances = np.asarray(importances)
            real, shadow = importances[: active.size], importances[active.size :]
            threshold = float(np.percentile(shadow, self.perc))
            hit = real > threshold
            hits[active[hit]] += 1
            self.history_.append(
                {
                    "active": active,
                    "importances": real,
                    "shadow_threshold": threshold,
                    "hits": active[hit],
                    "preparation_seconds": prep_s,
                    "training_seconds": train_s,
                }
            )
            self._decide(decision, hits, iteration, rejected_at)

        self.n_iterations_ = iteration
        self.support_ = decision == _ACCEPTED
        self.support_weak_ = decision == _TENTATIVE
        ranking = np.where(self.support_, 1, 2)
        rejected = np.flatnonzero(decision == _REJECTED)
        if rejected.size:
            # Later rejections rank better: 3 for the last rejection round, and so on.
            rounds = np.unique(rejected_at[rejected])[::-1]
            rank_of_round = {int(r): 3 + i for i, r in enumerate(rounds)}
            ranking[rejected] = [rank_of_round[int(r)] for r in rejected_at[rejected]]
        self.ranking_ = ranking
        return self

    def _decide(self, decision, hits, iteration, rejected_at) -> None:
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
        newly_rejected = tested[tentative & reject & ~accept]
        decision[newly_rejected] = _REJECTED
        rejected_at[newly_rejected] = iteration
