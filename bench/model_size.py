"""Saved model size: morvel's `to_bytes` against the pickle of scikit-learn's forest of the
same size and settings (fully grown trees, sqrt(features) per split). Never asserted in CI.

    python bench/model_size.py                      # 100 trees on 100,000 x 50
    python bench/model_size.py --trees 10 --rows 20000
"""

import argparse
import math
import pickle
import time

import numpy as np
from sklearn.datasets import make_classification
from sklearn.ensemble import RandomForestClassifier

from morvel import NativeForest, _native


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=50)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--max-bins", type=int, default=None, help="also histogram growth")
    args = parser.parse_args()

    x, y = make_classification(n_samples=args.rows, n_features=args.features, n_informative=10,
                               flip_y=0.05, random_state=0)
    y = y.astype(np.int64)
    max_features = max(1, int(math.sqrt(args.features)))

    start = time.perf_counter()
    forest = NativeForest()
    kwargs = {"n_jobs": args.jobs}
    if args.max_bins:
        kwargs["max_bins"] = args.max_bins
    forest.fit(x, y, args.trees, max_features, 0, **kwargs)
    ours = len(_native.to_bytes(forest))
    nodes = sum(len(t[0]) for t in forest.shap_tree_arrays())
    fit_ours = time.perf_counter() - start

    start = time.perf_counter()
    peer = RandomForestClassifier(n_estimators=args.trees, max_features=max_features, n_jobs=args.jobs,
                                  random_state=0).fit(x, y)
    theirs = len(pickle.dumps(peer, protocol=pickle.HIGHEST_PROTOCOL))
    peer_nodes = sum(e.tree_.node_count for e in peer.estimators_)
    fit_theirs = time.perf_counter() - start

    print(f"{args.trees} trees on {args.rows} x {args.features}"
          + (f", max_bins={args.max_bins}" if args.max_bins else ""))
    print(f"morvel to_bytes : {ours:>12,} bytes  {nodes:>10,} nodes  {ours / nodes:6.2f} B/node  (fit {fit_ours:.1f}s)")
    print(f"sklearn pickle  : {theirs:>12,} bytes  {peer_nodes:>10,} nodes  {theirs / peer_nodes:6.2f} B/node"
          f"  (fit {fit_theirs:.1f}s)")
    print(f"ratio sklearn / morvel: {theirs / ours:.2f}")


if __name__ == "__main__":
    main()
