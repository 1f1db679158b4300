"""One Boruta iteration: morvel's native kernel against BorutaPy with scikit-learn.

Both sides see the same augmented problem: 5,000 rows, 100 real features and one shadow per
real feature (200 columns), a forest of 100 trees of depth 5. morvel is timed for one
`gain_importances` call (shadows described by permutation rows); BorutaPy for one call of its
per-iteration step (copy, shuffle, RandomForestClassifier fit, importances), and scikit-learn
alone for a forest fit on the already materialised augmented matrix.

    PYTHONPATH=<build>/stage python bench/compare_boruta.py [--repeats N]

Timings only; nothing is asserted.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import numpy as np
from sklearn.datasets import make_classification
from sklearn.ensemble import RandomForestClassifier

from morvel._boruta_core import gain_importances

N_ROWS, N_FEATURES, TREES, DEPTH, BINS = 5000, 100, 100, 5, 255


def _median_seconds(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    cpus = len(os.sched_getaffinity(0))
    x, y = make_classification(
        n_samples=N_ROWS, n_features=N_FEATURES, n_informative=10, n_redundant=0, random_state=0
    )
    y = y.astype(np.int64)
    rng = np.random.default_rng(0)
    active = np.arange(N_FEATURES, dtype=np.int64)
    permutations = np.stack([rng.permutation(N_ROWS) for _ in active]).astype(np.int64)
    augmented = np.hstack([x, x[permutations.T, active]])

    phases = []

    def morvel_call():
        _, prep, train = gain_importances(x, y, active, active, permutations, TREES, DEPTH, 1, BINS, 6)
        phases.append((prep, train))

    results = [("morvel gain_importances", _median_seconds(morvel_call, args.repeats))]
    prep = statistics.median(p for p, _ in phases)
    train = statistics.median(t for _, t in phases)

    forest = RandomForestClassifier(n_estimators=TREES, max_depth=DEPTH, n_jobs=cpus, random_state=0)
    results.append(("sklearn RF fit on augmented", _median_seconds(lambda: forest.fit(augmented, y), args.repeats)))

    try:
        from boruta import BorutaPy
    except ImportError:
        BorutaPy = None
    if BorutaPy is not None:
        selector = BorutaPy(RandomForestClassifier(n_estimators=TREES, max_depth=DEPTH, n_jobs=cpus), n_estimators=TREES)
        selector.random_state = np.random.RandomState(0)
        decisions = np.zeros(N_FEATURES, dtype=int)
        results.append(
            ("BorutaPy one iteration", _median_seconds(lambda: selector._add_shadows_get_imps(x, y, decisions), args.repeats))
        )

    print(f"{N_ROWS} rows x {N_FEATURES} features + {N_FEATURES} shadows, {TREES} trees, depth {DEPTH}, {cpus} CPUs")
    print(f"  (morvel phases: preparation {prep:.3f} s, training {train:.3f} s)")
    base = results[0][1]
    for name, seconds in results:
        print(f"  {name:<30} {seconds:8.3f} s   x{seconds / base:6.2f}")


if __name__ == "__main__":
    main()
