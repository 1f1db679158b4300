"""TreeSHAP: morvel's native tree_shap against the shap package.

Three ways to explain 1,000 rows of a 100-tree forest of the same size and depth:
  * morvel `tree_shap` on its own forest;
  * shap.TreeExplainer on a scikit-learn RandomForestClassifier trained on the same data;
  * shap.TreeExplainer on morvel's forest, loaded from `shap_tree_arrays` as custom trees
    (same trees as the first line, so the difference is the implementation alone).
Then `shap_importances` with n_jobs=2 against n_jobs=1, and the largest difference between
morvel's values and shap's on the exported trees.

    PYTHONPATH=<build>/stage python bench/compare_shap.py [--depth D] [--repeats N]

Timings only; nothing is asserted.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
from sklearn.datasets import make_classification
from sklearn.ensemble import RandomForestClassifier

from morvel import NativeForest

N_TRAIN, N_EXPLAIN, N_FEATURES, N_CLASSES, TREES = 4000, 1000, 20, 2, 100


def _median_seconds(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def exported_model(forest: NativeForest, n_classes: int) -> dict:
    trees = []
    exported = forest.shap_tree_arrays()
    for left, right, feature, threshold, cover, value, missing_left in exported:
        left, right = np.array(left), np.array(right)
        trees.append({
            "children_left": left,
            "children_right": right,
            "children_default": np.where(np.array(missing_left) == 1, left, right),
            "features": np.array(feature),
            "thresholds": np.array(threshold, dtype=np.float64),
            "values": np.array(value, dtype=np.float64).reshape(-1, n_classes) / len(exported),
            "node_sample_weight": np.array(cover, dtype=np.float64),
        })
    return {"trees": trees, "input_dtype": np.float64, "internal_dtype": np.float64}


def main() -> None:
    import shap

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    x, y = make_classification(n_samples=N_TRAIN + N_EXPLAIN, n_features=N_FEATURES, n_informative=10,
                               n_redundant=4, n_classes=N_CLASSES, random_state=0)
    y = y.astype(np.int64)
    x_train, x_explain, y_train = x[:N_TRAIN], np.ascontiguousarray(x[N_TRAIN:]), y[:N_TRAIN]
    max_features = int(np.sqrt(N_FEATURES))

    forest = NativeForest()
    forest.fit(x_train, y_train, TREES, max_features, 0, max_depth=args.depth)
    sklearn_forest = RandomForestClassifier(TREES, max_features=max_features, max_depth=args.depth,
                                            random_state=0).fit(x_train, y_train)
    ours_nodes = sum(len(t[0]) for t in forest.shap_tree_arrays())
    sklearn_nodes = sum(e.tree_.node_count for e in sklearn_forest.estimators_)

    sklearn_explainer = shap.TreeExplainer(sklearn_forest)
    exported_explainer = shap.TreeExplainer(exported_model(forest, N_CLASSES),
                                            feature_perturbation="tree_path_dependent")

    rows = [
        ("morvel tree_shap", ours_nodes, lambda: forest.tree_shap(x_explain)),
        ("shap on scikit-learn forest", sklearn_nodes,
         lambda: sklearn_explainer.shap_values(x_explain, check_additivity=False)),
        ("shap on morvel's exported trees", ours_nodes,
         lambda: exported_explainer.shap_values(x_explain, check_additivity=False)),
        ("morvel shap_importances n_jobs=1", ours_nodes, lambda: forest.shap_importances(x_explain, 1)),
        ("morvel shap_importances n_jobs=2", ours_nodes, lambda: forest.shap_importances(x_explain, 2)),
    ]
    print(f"{TREES} trees, depth {args.depth}, {N_EXPLAIN} rows x {N_FEATURES} features, "
          f"median of {args.repeats}")
    print(f"{'':36s} {'nodes':>8s} {'seconds':>9s}")
    for name, nodes, fn in rows:
        print(f"{name:36s} {nodes:8d} {_median_seconds(fn, args.repeats):9.3f}")

    ours = np.asarray(forest.tree_shap(x_explain)[0])
    theirs = np.asarray(exported_explainer.shap_values(x_explain, check_additivity=False))
    if theirs.shape[0] == N_CLASSES:  # older shap: one array per output
        theirs = np.moveaxis(theirs, 0, -1)
    print(f"largest |morvel - shap| on the same trees: {np.abs(ours - theirs).max():.3e}")


if __name__ == "__main__":
    main()
