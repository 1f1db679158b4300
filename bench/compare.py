"""Side-by-side timing of morvel against its peers. Never asserted in CI.

    python bench/compare.py            # full run
    python bench/compare.py --quick    # small sizes, under two minutes
    python bench/compare.py --section forest --jobs 1

Every measurement runs in a fresh child process, so the peak resident memory it reports
(ru_maxrss) belongs to one library and one configuration. A section is a function that
yields `Case`s; add a section (histogram, extra trees, TreeSHAP, Boruta) by writing one and
registering it in SECTIONS, with the runners it needs in RUNNERS. The histogram section
compares against xgboost and lightgbm when they are installed (pip install xgboost lightgbm).
"""

from __future__ import annotations

import argparse
import json
import math
import resource
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Iterator


@dataclass
class Case:
    """One measurement: a dataset, a library runner and its settings."""

    section: str
    runner: str  # key of RUNNERS
    n_samples: int
    n_features: int
    n_classes: int
    n_estimators: int
    n_jobs: int
    seed: int = 0
    options: dict[str, Any] = field(default_factory=dict)


# ---- child side: data, runners ----------------------------------------------------------


def make_data(case: Case):
    import numpy as np
    from sklearn.datasets import make_classification
    from sklearn.model_selection import train_test_split

    extra = case.options.get("predict_rows", 0)
    x, y = make_classification(
        n_samples=case.n_samples + extra,
        n_features=case.n_features,
        n_informative=max(2, case.n_features // 2),
        n_redundant=max(0, case.n_features // 5),
        n_classes=case.n_classes,
        n_clusters_per_class=2,
        random_state=case.seed,
    )
    if extra:
        # Answers for many more rows than the forest was trained on, from the same distribution.
        x_train, x_test, y_train, y_test = x[: case.n_samples], x[case.n_samples:], y[: case.n_samples], y[case.n_samples:]
    else:
        x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, random_state=case.seed)
    return (np.ascontiguousarray(x_train), np.ascontiguousarray(x_test),
            y_train.astype(np.int64), y_test.astype(np.int64))


def sqrt_features(n_features: int) -> int:
    return max(1, int(math.sqrt(n_features)))


def best_of(repeats: int, call: Callable[[], Any]) -> tuple[float, Any]:
    """Shortest wall time of `repeats` calls, and the last result: one call is too noisy."""
    best, result = math.inf, None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def run_morvel_forest(case: Case, data) -> dict[str, float]:
    import numpy as np
    from morvel import NativeForest

    x_train, x_test, y_train, y_test = data
    forest = NativeForest()
    start = time.perf_counter()
    forest.fit(x_train, y_train, case.n_estimators, sqrt_features(case.n_features), case.seed,
               n_jobs=case.n_jobs, **case.options)
    fit_seconds = time.perf_counter() - start
    predict_seconds, proba = best_of(3, lambda: forest.predict_proba(x_test))
    accuracy = float(np.mean(np.argmax(np.asarray(proba), axis=1) == y_test))
    return {"fit_seconds": fit_seconds, "predict_proba_seconds": predict_seconds, "accuracy": accuracy}


def run_sklearn_forest(case: Case, data) -> dict[str, float]:
    import numpy as np
    from sklearn.ensemble import RandomForestClassifier

    x_train, x_test, y_train, y_test = data
    model = RandomForestClassifier(n_estimators=case.n_estimators, max_features=sqrt_features(case.n_features),
                                   random_state=case.seed, n_jobs=case.n_jobs, **case.options)
    start = time.perf_counter()
    model.fit(x_train, y_train)
    fit_seconds = time.perf_counter() - start
    predict_seconds, proba = best_of(3, lambda: model.predict_proba(x_test))
    accuracy = float(np.mean(np.argmax(proba, axis=1) == y_test))
    return {"fit_seconds": fit_seconds, "predict_proba_seconds": predict_seconds, "accuracy": accuracy}


def _timed_peer(model, data) -> dict[str, float]:
    import numpy as np

    x_train, x_test, y_train, y_test = data
    start = time.perf_counter()
    model.fit(x_train, y_train)
    fit_seconds = time.perf_counter() - start
    start = time.perf_counter()
    proba = model.predict_proba(x_test)
    predict_seconds = time.perf_counter() - start
    accuracy = float(np.mean(np.argmax(proba, axis=1) == y_test))
    return {"fit_seconds": fit_seconds, "predict_proba_seconds": predict_seconds, "accuracy": accuracy}


def run_xgboost_forest(case: Case, data) -> dict[str, float]:
    # Random-forest mode of XGBoost on its histogram method: n_estimators parallel trees in
    # one round, bootstrap-sized row subsamples and sqrt(n_features) columns per split.
    # Depth is capped at 16: unlimited leaf-wise growth takes minutes per forest.
    from xgboost import XGBRFClassifier

    model = XGBRFClassifier(
        n_estimators=case.n_estimators, tree_method="hist", max_bin=255, grow_policy="depthwise",
        max_depth=16, min_child_weight=0.0, reg_lambda=1e-6,
        subsample=0.632, colsample_bynode=sqrt_features(case.n_features) / case.n_features,
        n_jobs=case.n_jobs, random_state=case.seed, **case.options)
    return _timed_peer(model, data)


def run_lightgbm_forest(case: Case, data) -> dict[str, float]:
    # LightGBM's "rf" boosting: bagged, unshrunk trees on 255-bin histograms, capped at 2047
    # leaves (its leaf-wise growth slows sharply with larger limits).
    from lightgbm import LGBMClassifier

    model = LGBMClassifier(
        boosting_type="rf", n_estimators=case.n_estimators, max_bin=255, num_leaves=2047,
        min_child_samples=1, min_child_weight=1e-3, subsample=0.632, subsample_freq=1,
        feature_fraction_bynode=sqrt_features(case.n_features) / case.n_features,
        n_jobs=case.n_jobs, random_state=case.seed, verbose=-1, **case.options)
    return _timed_peer(model, data)


def run_sklearn_extra_trees(case: Case, data) -> dict[str, float]:
    # Bootstrap on, as morvel's default, so both sides grow each tree on a bootstrap sample.
    from sklearn.ensemble import ExtraTreesClassifier

    model = ExtraTreesClassifier(n_estimators=case.n_estimators, max_features=sqrt_features(case.n_features),
                                 bootstrap=True, random_state=case.seed, n_jobs=case.n_jobs, **case.options)
    return _timed_peer(model, data)


def _answer_rows(case: Case, data):
    x_test = data[1]
    return x_test[: case.options["explain_rows"]] if "explain_rows" in case.options else x_test


def run_morvel_native(case: Case, data) -> dict[str, float]:
    # The package's native surface: NumPy results, rows split over n_jobs threads. The forest
    # trains on both cores whatever n_jobs the answer uses; only the answer is compared.
    import numpy as np
    from morvel import NativeForest, _native

    x_train, _, y_train, y_test = data
    forest = NativeForest()
    start = time.perf_counter()
    _native.fit(forest, x_train, y_train, case.n_estimators, sqrt_features(case.n_features), case.seed, n_jobs=2)
    fit_seconds = time.perf_counter() - start
    rows = _answer_rows(case, data)
    if case.options.get("call") == "tree_shap":
        seconds, _ = best_of(2, lambda: _native.tree_shap(forest, rows, n_jobs=case.n_jobs))
        return {"fit_seconds": fit_seconds, "predict_proba_seconds": seconds, "accuracy": float("nan")}
    seconds, proba = best_of(3, lambda: _native.predict_proba(forest, rows, n_jobs=case.n_jobs))
    accuracy = float(np.mean(np.argmax(proba, axis=1) == y_test))
    return {"fit_seconds": fit_seconds, "predict_proba_seconds": seconds, "accuracy": accuracy}


def run_sklearn_answers(case: Case, data) -> dict[str, float]:
    # scikit-learn's forest of the same size, answering at the same n_jobs; TreeSHAP through
    # shap.TreeExplainer on that forest (which has no n_jobs of its own).
    import numpy as np
    from sklearn.ensemble import RandomForestClassifier

    x_train, _, y_train, y_test = data
    model = RandomForestClassifier(n_estimators=case.n_estimators, max_features=sqrt_features(case.n_features),
                                   random_state=case.seed, n_jobs=2)
    start = time.perf_counter()
    model.fit(x_train, y_train)
    fit_seconds = time.perf_counter() - start
    model.n_jobs = case.n_jobs
    rows = _answer_rows(case, data)
    if case.options.get("call") == "tree_shap":
        import shap

        explainer = shap.TreeExplainer(model)
        seconds, _ = best_of(2, lambda: explainer.shap_values(rows, check_additivity=False))
        return {"fit_seconds": fit_seconds, "predict_proba_seconds": seconds, "accuracy": float("nan")}
    seconds, proba = best_of(3, lambda: model.predict_proba(rows))
    accuracy = float(np.mean(np.argmax(proba, axis=1) == y_test))
    return {"fit_seconds": fit_seconds, "predict_proba_seconds": seconds, "accuracy": accuracy}


RUNNERS: dict[str, Callable[[Case, Any], dict[str, float]]] = {
    "morvel_native": run_morvel_native,
    "sklearn_answers": run_sklearn_answers,
    "morvel": run_morvel_forest,
    "sklearn_extra": run_sklearn_extra_trees,
    "sklearn": run_sklearn_forest,
    "xgboost": run_xgboost_forest,
    "lightgbm": run_lightgbm_forest,
}


def child_main(case_json: str) -> None:
    case = Case(**json.loads(case_json))
    data = make_data(case)
    # Peak memory of the process before the library runs (interpreter, NumPy, the data).
    before_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = RUNNERS[case.runner](case, data)
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result["peak_mib"] = peak_kib / 1024.0
    result["peak_growth_mib"] = max(0, peak_kib - before_kib) / 1024.0
    print(json.dumps(result))


# ---- parent side: sections and the report ---------------------------------------------


def forest_section(quick: bool, jobs: list[int], sizes=None, classes=None) -> Iterator[tuple[Case, Case]]:
    """Exact-split forests: morvel against scikit-learn's RandomForestClassifier."""
    sizes = sizes or ([(4_000, 20), (10_000, 20)] if quick else [(20_000, 20), (100_000, 50)])
    trees = 25 if quick else 100
    for n_samples, n_features in sizes:
        for n_classes in classes or (2, 5):
            for n_jobs in jobs:
                common = dict(section="forest", n_samples=n_samples, n_features=n_features, n_classes=n_classes,
                              n_estimators=trees, n_jobs=n_jobs)
                yield Case(runner="morvel", **common), Case(runner="sklearn", **common)


def _installed(module: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(module) is not None


def histogram_section(quick: bool, jobs: list[int], sizes=None, classes=None) -> Iterator[tuple[Case, Case]]:
    """Histogram forests (max_bins=255): morvel against scikit-learn's exact forest and the
    random-forest modes of XGBoost and LightGBM when they are installed. The section column
    names the peer: hist/skl, hist/xgb, hist/lgbm."""
    sizes = sizes or ([(20_000, 20)] if quick else [(20_000, 20), (100_000, 50), (1_000_000, 20)])
    trees = 30 if quick else 100
    peers = [("hist/skl", "sklearn")]
    peers += [("hist/xgb", "xgboost")] if _installed("xgboost") else []
    peers += [("hist/lgbm", "lightgbm")] if _installed("lightgbm") else []
    for n_samples, n_features in sizes:
        for n_classes in classes or (2, 5):
            for n_jobs in jobs:
                for label, peer in peers:
                    common = dict(section=label, n_samples=n_samples, n_features=n_features, n_classes=n_classes,
                                  n_estimators=trees, n_jobs=n_jobs)
                    yield (Case(runner="morvel", options={"max_bins": 255}, **common),
                           Case(runner=peer, **common))


def extra_trees_section(quick: bool, jobs: list[int], sizes=None, classes=None) -> Iterator[tuple[Case, Case]]:
    """Extra trees on both backends against scikit-learn's ExtraTreesClassifier. The section
    column names the backend: extra/ex (raw thresholds), extra/bin (255 bins)."""
    sizes = sizes or ([(10_000, 20)] if quick else [(20_000, 20), (100_000, 50)])
    trees = 30 if quick else 100
    backends = [("extra/ex", {"extra_trees": True}),
                ("extra/bin", {"extra_trees": True, "extra_trees_backend": "binned", "max_bins": 255})]
    for n_samples, n_features in sizes:
        for n_classes in classes or (2, 5):
            for n_jobs in jobs:
                for label, options in backends:
                    common = dict(section=label, n_samples=n_samples, n_features=n_features, n_classes=n_classes,
                                  n_estimators=trees, n_jobs=n_jobs)
                    yield Case(runner="morvel", options=options, **common), Case(runner="sklearn_extra", **common)


def answers_section(quick: bool, jobs: list[int], sizes=None, classes=None) -> Iterator[tuple[Case, Case]]:
    """Answers of fully grown 100-tree forests through the package's native surface against
    scikit-learn at the same n_jobs: predict_proba on 200,000 rows (section "proba") and
    TreeSHAP of 1,000 rows against shap.TreeExplainer (section "shap"). The "prob" columns
    time the answer; both forests are trained on two threads."""
    trees = 20 if quick else 100
    proba_size = (10_000, 50) if quick else (50_000, 50)
    shap_size = (4_000, 20) if quick else (10_000, 20)
    for n_classes in classes or (2,):
        for n_jobs in jobs:
            for label, (n_samples, n_features), options in (
                    ("proba", proba_size, {"predict_rows": 20_000 if quick else 200_000}),
                    ("shap", shap_size, {"call": "tree_shap", "explain_rows": 200 if quick else 1_000})):
                common = dict(section=label, n_samples=n_samples, n_features=n_features, n_classes=n_classes,
                              n_estimators=trees, n_jobs=n_jobs, options=options)
                yield Case(runner="morvel_native", **common), Case(runner="sklearn_answers", **common)


SECTIONS: dict[str, Callable[..., Iterator[tuple[Case, Case]]]] = {
    "answers": answers_section,
    "forest": forest_section,
    "histogram": histogram_section,
    "extra": extra_trees_section,
}

# Sections with their own report format, run as scripts next to this one.
SCRIPT_SECTIONS = {"shap": "compare_shap.py", "boruta": "compare_boruta.py"}


def run_child(case: Case, timeout: float) -> dict[str, float] | None:
    proc = subprocess.run([sys.executable, __file__, "--child", json.dumps(asdict(case))],
                          capture_output=True, text=True, timeout=timeout)
    if proc.returncode != 0:
        print(f"  {case.runner} failed:\n{proc.stderr.strip()}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def ratio(peer: float, ours: float) -> str:
    return f"{peer / ours:6.2f}x" if ours > 0 else "   n/a"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, under two minutes")
    parser.add_argument("--section", action="append", choices=sorted([*SECTIONS, *SCRIPT_SECTIONS]),
                        help="run only these sections")
    parser.add_argument("--jobs", type=int, action="append", help="n_jobs values (default 1 and 2)")
    parser.add_argument("--size", action="append", metavar="ROWSxFEATURES",
                        help="data sizes instead of the section's own, e.g. 1000000x20")
    parser.add_argument("--classes", type=int, action="append", help="class counts (default 2 and 5)")
    parser.add_argument("--peer", action="append", choices=sorted(set(RUNNERS) - {"morvel"}),
                        help="run only the cases against these peers")
    parser.add_argument("--timeout", type=float, default=1800.0, help="seconds per child process")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args.child)
        return

    jobs = args.jobs or [1, 2]
    sizes = [tuple(int(n) for n in size.lower().split("x")) for size in args.size] if args.size else None
    header = (f"{'section':8} {'rows':>7} {'feat':>4} {'cls':>3} {'trees':>5} {'jobs':>4} | "
              f"{'fit ours':>8} {'fit peer':>8} {'speedup':>7} | {'prob ours':>9} {'prob peer':>9} {'speedup':>7} | "
              f"{'acc ours':>8} {'acc peer':>8} | {'MiB ours':>8} {'MiB peer':>8}")
    print(header)
    print("-" * len(header))
    for name in args.section or list(SECTIONS):
        if name not in SECTIONS:
            continue
        for ours_case, peer_case in SECTIONS[name](args.quick, jobs, sizes, args.classes):
            if args.peer and peer_case.runner not in args.peer:
                continue
            ours = run_child(ours_case, args.timeout)
            peer = run_child(peer_case, args.timeout)
            if ours is None or peer is None:
                continue
            c = ours_case
            print(f"{c.section:8} {c.n_samples:7d} {c.n_features:4d} {c.n_classes:3d} {c.n_estimators:5d} "
                  f"{c.n_jobs:4d} | {ours['fit_seconds']:8.3f} {peer['fit_seconds']:8.3f} "
                  f"{ratio(peer['fit_seconds'], ours['fit_seconds'])} | "
                  f"{ours['predict_proba_seconds']:9.4f} {peer['predict_proba_seconds']:9.4f} "
                  f"{ratio(peer['predict_proba_seconds'], ours['predict_proba_seconds'])} | "
                  f"{ours['accuracy']:8.4f} {peer['accuracy']:8.4f} | "
                  f"{ours['peak_growth_mib']:8.1f} {peer['peak_growth_mib']:8.1f}", flush=True)
    print("\nspeedup = peer seconds / morvel seconds (predict_proba: best of three calls);\n"
          "MiB = growth of the child's peak RSS during the run.")
    here = __file__.rsplit("/", 1)[0] if "/" in __file__ else "."
    for name, script in SCRIPT_SECTIONS.items():
        if args.section and name not in args.section:
            continue
        if args.quick and not args.section:
            continue  # the script sections take minutes each; ask for them by name
        print(f"\n== {name} ==", flush=True)
        subprocess.run([sys.executable, f"{here}/{script}"], check=False, timeout=args.timeout)


if __name__ == "__main__":
    main()
