"""Instruction counts of tree growth under callgrind, one fit per path.

    PYTHONPATH=<build>/stage python dev/growth_counts.py [--paths exact histogram ...]

Counts are of `grow_tree` and everything it calls (callgrind's toggle), so Python start-up,
input checks and binning stay out of them; they repeat exactly for the same build and input
whatever else the machine is doing. Compare two builds' outputs line by line.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

PATHS = {
    "exact": {},
    "histogram": {"max_bins": 255},
    "extra_exact": {"extra_trees": True},
    "extra_binned": {"extra_trees": True, "extra_trees_backend": "binned", "max_bins": 255},
}


def fit_once(path: str, classes: int) -> None:
    import numpy as np

    from morvel import NativeForest

    # Plain NumPy data: importing scikit-learn under callgrind would take minutes.
    rng = np.random.default_rng(0)
    x = rng.standard_normal((20000, 20))
    score = x[:, :10] @ rng.standard_normal(10) + 0.5 * rng.standard_normal(20000)
    y = np.searchsorted(np.quantile(score, np.linspace(0, 1, classes + 1)[1:-1]), score)
    NativeForest().fit(x, y.astype(np.int64), 4, 5, 7, n_jobs=1, **PATHS[path])


def count(path: str, classes: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=*grow_tree*",
                        f"--callgrind-out-file={out}", sys.executable, __file__, "--fit", path, str(classes)],
                       check=True, capture_output=True)
        with open(out) as f:
            return int(re.search(r"^totals:\s+(\d+)", f.read(), re.M).group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--paths", nargs="*", default=list(PATHS))
    parser.add_argument("--fit", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.fit:
        fit_once(args.fit[0], int(args.fit[1]))
        return
    for path in args.paths:
        for classes in (2, 5):
            print(f"{path:13s} {classes} classes {count(path, classes):>15,d}", flush=True)


if __name__ == "__main__":
    main()
