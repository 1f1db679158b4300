"""A forest trained on a local Dask cluster against the same fit on one core, and against
scikit-learn's forest under joblib's Dask backend on the same cluster. Never asserted in CI.

    python bench/dask_cluster.py                                   # 100 trees on 200,000 x 50
    python bench/dask_cluster.py --trees 20 --rows 20000 --no-sklearn

The cluster is two single-threaded worker processes on loopback. Prints the wall times, the
speed-up, whether the cluster's model is the local one bit for bit, and the training bytes
each worker received.
"""

import argparse
import time

import joblib
import numpy as np
from distributed import Client, LocalCluster
from sklearn.datasets import make_classification
from sklearn.ensemble import RandomForestClassifier as SklearnForest

import morvel.dask
from morvel import RandomForestClassifier, _native


def timed(function):
    start = time.perf_counter()
    result = function()
    return result, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--features", type=int, default=50)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--no-sklearn", action="store_true", help="skip scikit-learn under joblib's Dask backend")
    args = parser.parse_args()

    x, y = make_classification(n_samples=args.rows, n_features=args.features, n_informative=10,
                               flip_y=0.05, random_state=0)
    print(f"{args.trees} trees on {args.rows:,} x {args.features}; cluster of {args.workers} "
          f"single-threaded worker processes on loopback")

    local, local_seconds = timed(
        lambda: RandomForestClassifier(n_estimators=args.trees, n_jobs=1, random_state=0).fit(x, y))
    print(f"morvel, local n_jobs=1:            {local_seconds:8.2f} s")

    with LocalCluster(processes=True, n_workers=args.workers, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("morvel.dask"))  # worker start-up is not the fit's time
        before = client.run(morvel.dask.received_training_data)
        remote, remote_seconds = timed(
            lambda: morvel.dask.fit(RandomForestClassifier(n_estimators=args.trees, random_state=0), x, y,
                                    client=client))
        after = client.run(morvel.dask.received_training_data)
        same = _native.to_bytes(remote._forest) == _native.to_bytes(local._forest)
        print(f"morvel, morvel.dask.fit:           {remote_seconds:8.2f} s   "
              f"{local_seconds / remote_seconds:.2f}x   model identical: {same}")
        for address in sorted(after):
            count = after[address]["count"] - before[address]["count"]
            sent = after[address]["bytes"] - before[address]["bytes"]
            print(f"  {address}: training data received {count} time(s), {sent / 1e6:.1f} MB")

        if not args.no_sklearn:
            forest = SklearnForest(n_estimators=args.trees, n_jobs=-1, random_state=0)
            with joblib.parallel_backend("dask"):
                _, sklearn_seconds = timed(lambda: forest.fit(x, y))
            print(f"scikit-learn, joblib Dask backend: {sklearn_seconds:8.2f} s   "
                  f"morvel.dask.fit is {sklearn_seconds / remote_seconds:.1f}x faster")
            agreement = float(np.mean(forest.predict(x[:20000]) == remote.predict(x[:20000])))
            print(f"  predictions agreeing with morvel on 20,000 training rows: {agreement:.3f}")


if __name__ == "__main__":
    main()
