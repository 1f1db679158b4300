"""Fingerprints of many fits, for speed work that must not change a single tree.

    PYTHONPATH=<build>/stage python dev/fingerprint.py before.pkl    # on the old build
    PYTHONPATH=<build>/stage python dev/fingerprint.py after.pkl     # on the new build
    python dev/fingerprint.py --compare before.pkl after.pkl

Each entry hashes the trees (as a multiset), predict_proba and the gain importances of one
small fit, across criteria, growth modes, histogram and extra-trees backends, weights, NaN,
float32, CSR input, heavily tied values and two workers. The extra-trees fits also run on
every weight kind the growth specialises on (fractional, whole, whole above a byte), without
missing values, with up to nine classes and on a larger matrix, so that each fast path a tree
can take is covered.
"""
import argparse
import hashlib
import pickle

import numpy as np
import scipy.sparse as sp
from sklearn.datasets import make_classification


def fingerprint(forest, x) -> str:
    trees = sorted(repr(t) for t in forest.shap_tree_arrays())
    digest = hashlib.sha256(repr(trees).encode() + repr(forest.predict_proba(x)).encode())
    digest.update(repr(forest.gain_importances()).encode())
    return digest.hexdigest()


def configurations():
    for k in (2, 3, 5):
        for opts in ({}, {"criterion": "entropy"}, {"max_leaves": 40}, {"bootstrap": False},
                     {"max_bins": 255}, {"max_bins": 31, "binning_strategy": "exact_sort"},
                     {"extra_trees": True},
                     {"extra_trees": True, "extra_trees_backend": "binned", "max_bins": 255},
                     {"balanced_subsample": True}, {"ccp_alpha": 0.001},
                     {"min_samples_leaf": 3, "max_depth": 8}):
            yield k, opts
    monotonic = [1, -1] + [0] * 10
    yield 2, {"monotonic_cst": monotonic}
    yield 2, {"monotonic_cst": monotonic, "max_bins": 63}
    yield 2, {"monotonic_cst": monotonic, "extra_trees": True}
    binned = {"extra_trees": True, "extra_trees_backend": "binned", "max_bins": 255}
    for k in (2, 3, 5, 9):
        for opts in ({"extra_trees": True}, binned, {**binned, "max_bins": 15}, {**binned, "max_leaves": 60},
                     {**binned, "bootstrap": False}, {**binned, "balanced_subsample": True},
                     {"extra_trees": True, "max_leaves": 60}, {"extra_trees": True, "balanced_subsample": True}):
            yield k, opts


# Variants every configuration runs; the extra-trees ones only for the configurations above
# that grow extra trees.
VARIANTS = ("f64", "f32", "weights", "jobs2", "csr", "tied")
EXTRA_VARIANTS = ("int_weights", "large_weights", "no_nan", "no_nan_f32", "large")


def run() -> dict:
    from morvel import NativeForest

    out = {}
    for i, (k, opts) in enumerate(configurations()):
        x, y = make_classification(n_samples=1500, n_features=12, n_informative=6, n_classes=k, random_state=i)
        rng = np.random.default_rng(i)
        x[rng.random(x.shape) < 0.03] = np.nan
        y = y.astype(np.int64)
        w = rng.random(len(y)) * 2
        variants = VARIANTS + (EXTRA_VARIANTS if opts.get("extra_trees") else ())
        for variant in variants:
            xx, yy, kw = x, y, dict(opts)
            if variant == "f32":
                xx = x.astype(np.float32)
            elif variant == "weights":
                kw["sample_weight"] = w
            elif variant == "tied":
                # Few distinct values, each shared by many rows: sorts and scans whose buckets
                # or runs of equal values overflow take their fallbacks.
                xx = np.round(x * 2.0)
            elif variant == "jobs2":
                kw["n_jobs"] = 2
            elif variant == "int_weights":
                kw["sample_weight"] = np.floor(w * 2) + 1  # whole weights of at most a byte
            elif variant == "large_weights":
                kw["sample_weight"] = np.floor(w * 200) + 250  # whole weights, some above a byte
            elif variant in ("no_nan", "no_nan_f32"):
                xx = np.nan_to_num(x, nan=0.25)
                if variant == "no_nan_f32":
                    xx = xx.astype(np.float32)
            elif variant == "large":
                # Enough rows for the nodes that are rebased or searched from the row-major copy.
                xx, yy = make_classification(n_samples=20000, n_features=24, n_informative=8, n_classes=k,
                                             random_state=i)
                yy = yy.astype(np.int64)
            elif variant == "csr":
                if "max_bins" in kw:
                    continue
                xx = sp.csr_matrix(np.where(np.abs(x) < 0.5, 0.0, x))
            forest = NativeForest()
            try:
                forest.fit(xx, yy, 6, 4, i, **kw)
                out[(i, variant)] = fingerprint(forest, xx)
            except Exception as e:  # an error is part of the fingerprint too
                out[(i, variant)] = f"error {type(e).__name__}: {e}"
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="+")
    parser.add_argument("--compare", action="store_true", help="compare two saved fingerprints")
    args = parser.parse_args()
    if args.compare:
        a, b = (pickle.load(open(f, "rb")) for f in args.files[:2])
        differ = sorted(key for key in a.keys() | b.keys() if a.get(key) != b.get(key))
        print("same" if not differ else f"{len(differ)} fits differ: {differ[:20]}")
        raise SystemExit(1 if differ else 0)
    out = run()
    with open(args.files[0], "wb") as f:
        pickle.dump(out, f)
    print(f"{len(out)} fits")


if __name__ == "__main__":
    main()
