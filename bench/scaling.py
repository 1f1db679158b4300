"""How fit time grows with rows and with features, for every growth path and its peer.

    python bench/scaling.py            # rows 10k-1M at 50 features, features 10-1000 at 50k rows
    python bench/scaling.py --quick    # rows up to 100k, features up to 300, a few minutes
    python bench/scaling.py --sweep rows --path hist

Each point is one fit in a fresh child process (bench/compare.py's runners, same data and
settings for both sides). The slope is the least-squares fit of log(seconds) against
log(size) over a sweep: 1.0 means time proportional to size. Our slope should not exceed the
peer's: a path that grows faster than scikit-learn's loses its lead on larger data. Never
asserted in CI: the machines are shared and wall clocks noisy.
"""

from __future__ import annotations

import argparse
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import Case, run_child  # noqa: E402

# path label -> (morvel options, peer runner, peer label)
PATHS = {
    "exact": ({}, "sklearn", "RF"),
    "hist": ({"max_bins": 255}, "sklearn", "RF"),
    "extra/ex": ({"extra_trees": True}, "sklearn_extra", "ET"),
    "extra/bin": ({"extra_trees": True, "extra_trees_backend": "binned", "max_bins": 255}, "sklearn_extra", "ET"),
}

SWEEPS = {
    # sweep -> (points, fixed other dimension); rows are generated rows (a quarter is held out)
    "rows": ([10_000, 30_000, 100_000, 300_000, 1_000_000], 50),
    "features": ([10, 30, 100, 300, 1_000], 50_000),
}
QUICK_LIMITS = {"rows": 100_000, "features": 300}


def slope(sizes: list[int], seconds: list[float]) -> float:
    """Least-squares slope of log(seconds) on log(size)."""
    xs = [math.log(s) for s in sizes]
    ys = [math.log(t) for t in seconds]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx > 0 else float("nan")


_peer_seconds: dict[tuple, float | None] = {}


def fit_seconds(case: Case, timeout: float, cached: bool = False) -> float | None:
    """Fit seconds of one child run; a peer's fit is run once per size and reused by every
    path compared with it (the exact and histogram paths share scikit-learn's forest)."""
    key = (case.runner, case.n_samples, case.n_features, case.n_classes, case.n_estimators, case.n_jobs)
    if cached and key in _peer_seconds:
        return _peer_seconds[key]
    result = run_child(case, timeout)
    seconds = None if result is None else result["fit_seconds"]
    if cached:
        _peer_seconds[key] = seconds
    return seconds


def run_sweep(sweep: str, path: str, args) -> tuple[list[int], list[float], list[float]] | None:
    points, fixed = SWEEPS[sweep]
    if args.quick:
        points = [p for p in points if p <= QUICK_LIMITS[sweep]]
    options, peer_runner, peer_label = PATHS[path]
    sizes, ours, peers = [], [], []
    for point in points:
        n_samples, n_features = (point, fixed) if sweep == "rows" else (fixed, point)
        common = dict(section=path, n_samples=n_samples, n_features=n_features, n_classes=args.classes,
                      n_estimators=args.trees, n_jobs=args.jobs)
        mine = fit_seconds(Case(runner="morvel", options=dict(options), **common), args.timeout)
        theirs = fit_seconds(Case(runner=peer_runner, **common), args.timeout, cached=True)
        if mine is None or theirs is None:
            continue
        sizes.append(point)
        ours.append(mine)
        peers.append(theirs)
        print(f"{sweep:8} {path:9} {n_samples:8d} {n_features:5d} | {mine:9.3f} {theirs:9.3f} {peer_label:>3} "
              f"| {theirs / mine:6.2f}x", flush=True)
    return (sizes, ours, peers) if len(sizes) >= 2 else None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sweeps")
    parser.add_argument("--sweep", action="append", choices=sorted(SWEEPS), help="only these sweeps")
    parser.add_argument("--path", action="append", choices=sorted(PATHS), help="only these paths")
    parser.add_argument("--trees", type=int, default=10, help="trees per forest (default 10)")
    parser.add_argument("--jobs", type=int, default=2, help="n_jobs for both sides (default 2)")
    parser.add_argument("--classes", type=int, default=2, help="class count (default 2)")
    parser.add_argument("--timeout", type=float, default=3600.0, help="seconds per child process")
    args = parser.parse_args()

    header = f"{'sweep':8} {'path':9} {'rows':>8} {'feat':>5} | {'ours s':>9} {'peer s':>9} {'':>3} | speedup"
    print(header)
    print("-" * len(header))
    slopes = []
    for sweep in args.sweep or list(SWEEPS):
        for path in args.path or list(PATHS):
            measured = run_sweep(sweep, path, args)
            if measured is not None:
                sizes, ours, peers = measured
                slopes.append((sweep, path, slope(sizes, ours), slope(sizes, peers)))
    print(f"\n{'sweep':8} {'path':9} | {'slope ours':>10} {'slope peer':>10} | grows no faster")
    for sweep, path, mine, theirs in slopes:
        # A twentieth of an order of magnitude per decade is within what repeats vary by here.
        verdict = "yes" if mine <= theirs + 0.05 else "NO"
        print(f"{sweep:8} {path:9} | {mine:10.3f} {theirs:10.3f} | {verdict}")
    print("\nslope = d log(fit seconds) / d log(size); peers: RF = scikit-learn's RandomForestClassifier,\n"
          "ET = its ExtraTreesClassifier (bootstrap on), same data, trees, max_features and n_jobs.")


if __name__ == "__main__":
    main()
