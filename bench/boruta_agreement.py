"""Whole Boruta runs: morvel.Boruta against BorutaPy, confirmed sets and timings.

Both run 100 trees of depth 5 per iteration, at most 100 iterations, alpha 0.05, on three
data sets: load_breast_cancer, load_digits and make_classification(n_samples=2000,
n_features=60, n_informative=8, n_redundant=4, shuffle=False, random_state=0), whose first
12 columns are the informative and redundant ones. BorutaPy uses scikit-learn's
RandomForestClassifier. The script checks that morvel confirms all 12 relevant columns of
the synthetic set and that the confirmed sets' Jaccard index is at least 0.9 on each set,
and exits with status 1 otherwise.

    pip install ".[bench]"
    PYTHONPATH=<build>/stage python bench/boruta_agreement.py [--jobs N] [--seed S]
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np
from sklearn.datasets import load_breast_cancer, load_digits, make_classification
from sklearn.ensemble import RandomForestClassifier

from morvel import Boruta

# BorutaPy still spells NumPy's removed scalar aliases.
for _alias, _type in (("int", int), ("float", float), ("bool", bool)):
    if not hasattr(np, _alias):
        setattr(np, _alias, _type)

from boruta import BorutaPy  # noqa: E402

TREES, DEPTH, ITERATIONS, ALPHA = 100, 5, 100, 0.05


def datasets():
    yield "breast_cancer", *load_breast_cancer(return_X_y=True), None
    yield "digits", *load_digits(return_X_y=True), None
    x, y = make_classification(n_samples=2000, n_features=60, n_informative=8, n_redundant=4,
                               shuffle=False, random_state=0)
    yield "make_classification", x, y, np.arange(12)


def jaccard(a: np.ndarray, b: np.ndarray) -> float:
    union = np.sum(a | b)
    return 1.0 if union == 0 else float(np.sum(a & b) / union)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=-1, help="threads for scikit-learn's forests")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    ok = True
    print(f"{'data':<20} {'morvel s':>9} {'BorutaPy s':>11} {'confirmed':>16} {'tentative':>14} {'jaccard':>8}")
    for name, x, y, relevant in datasets():
        start = time.perf_counter()
        ours = Boruta(n_estimators=TREES, max_depth=DEPTH, max_iter=ITERATIONS, alpha=ALPHA,
                      random_state=args.seed).fit(x, y)
        ours_s = time.perf_counter() - start
        forest = RandomForestClassifier(n_estimators=TREES, max_depth=DEPTH, n_jobs=args.jobs)
        start = time.perf_counter()
        peer = BorutaPy(forest, n_estimators=TREES, max_iter=ITERATIONS, alpha=ALPHA,
                        random_state=args.seed).fit(x, y)
        peer_s = time.perf_counter() - start
        index = jaccard(ours.support_, peer.support_)
        agree = index >= 0.9
        if relevant is not None:
            agree &= bool(ours.support_[relevant].all())
        ok &= agree
        print(f"{name:<20} {ours_s:9.2f} {peer_s:11.2f} {ours.support_.sum():>7} / {peer.support_.sum():<6}"
              f" {ours.support_weak_.sum():>5} / {peer.support_weak_.sum():<6} {index:8.3f}"
              f"{'' if agree else '  DISAGREE'}")
        if relevant is not None:
            print(f"{'':<20} relevant columns 0..11 confirmed: morvel {ours.support_[relevant].all()},"
                  f" BorutaPy {peer.support_[relevant].all()}")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
