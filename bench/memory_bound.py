"""Peak memory of histogram fits against the bound input + 2 x cells + the trees.

Each case runs in a fresh interpreter, so that the process's peak resident size (ru_maxrss)
before the fit is the input itself; the fit's growth is the peak after the fit minus that.
The trees are counted as their node records (40 bytes each).

    python bench/memory_bound.py                       # 1,000,000 x 50 float32
    python bench/memory_bound.py --size 200000x50 --trees 1 4 --jobs 1 2
"""
import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, resource, sys
import numpy as np
from morvel import NativeForest
rows, features, trees, jobs = map(int, sys.argv[1:5])
rng = np.random.default_rng(0)
x = np.empty((rows, features), dtype=np.float32)
for start in range(0, rows, 65536):  # no float64 temporary of the whole matrix
    stop = min(rows, start + 65536)
    x[start:stop] = rng.standard_normal((stop - start, features), dtype=np.float32)
# Noisy labels: fully grown trees of a few hundred thousand nodes, as on real data.
y = (x[:, 0] + x[:, 1] * x[:, 2] + rng.standard_normal(rows, dtype=np.float32) > 0).astype(np.int64)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
forest = NativeForest()
forest.fit(x, y, trees, max(1, int(features ** 0.5)), 0, n_jobs=jobs, max_bins=255)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
nodes = sum(len(tree[0]) for tree in forest.shap_tree_arrays())
print(json.dumps({"growth": peak - before, "cells": rows * features, "tree_bytes": nodes * 40}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", default="1000000x50", help="ROWSxFEATURES")
    parser.add_argument("--trees", type=int, nargs="+", default=[1, 4])
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()
    rows, features = map(int, args.size.lower().split("x"))
    mib = 2.0 ** 20
    print(f"{rows:,} x {features} float32, max_bins=255; MiB of growth during fit")
    print(f"{'trees':>5} {'n_jobs':>6} {'growth':>8} {'bound':>8} {'2xcells':>8} {'trees':>8}  verdict")
    for trees in args.trees:
        for jobs in args.jobs:
            out = subprocess.run([sys.executable, "-c", CHILD, str(rows), str(features), str(trees), str(jobs)],
                                 capture_output=True, text=True, check=True)
            r = json.loads(out.stdout)
            bound = 2 * r["cells"] + r["tree_bytes"]
            verdict = "within" if r["growth"] < bound else "ABOVE"
            print(f"{trees:>5} {jobs:>6} {r['growth'] / mib:8.1f} {bound / mib:8.1f} {2 * r['cells'] / mib:8.1f} "
                  f"{r['tree_bytes'] / mib:8.1f}  {verdict}")


if __name__ == "__main__":
    main()
