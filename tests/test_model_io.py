"""Saved models and merged forests: a loaded forest answers every call exactly as the
fitted one; damaged, foreign or hostile bytes end in ValueError, never a crash or a leak."""

import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.datasets import make_classification

from morvel import NativeForest, _native

PATHS = {
    "exact": {},
    "histogram": {"max_bins": 31},
    "extra_exact": {"extra_trees": True},
    "extra_binned": {"extra_trees": True, "max_bins": 63, "extra_trees_backend": "binned"},
    "csr": {"csr": True},
    "nan": {"nan": True, "max_bins": 255},
    "weights": {"weights": True, "ccp_alpha": 0.002},
}


def fitted(path, seed=3, tree_range=None):
    opts = dict(PATHS[path])
    x, y = make_classification(n_samples=300, n_features=7, n_informative=4, n_classes=3, random_state=seed)
    y = y.astype(np.int64)
    rng = np.random.default_rng(seed)
    if opts.pop("nan", False):
        x[rng.random(x.shape) < 0.05] = np.nan
    if opts.pop("weights", False):
        opts["sample_weight"] = rng.random(len(y)) * 2
    if opts.pop("csr", False):
        x[rng.random(x.shape) < 0.5] = 0.0
        x = sp.csr_matrix(x)
    forest = NativeForest()
    if tree_range is None:
        forest.fit(x, y, 12, 3, seed, oob=True, permutation_importance=True, **opts)
    else:
        _native.fit(forest, x, y, 12, 3, seed, oob=True, permutation_importance=True, tree_range=tree_range,
                    n_jobs=2, **opts)
    return forest, x


def answers(forest, x):
    """Every result a caller can read, compared exactly (bit patterns, NaN included)."""
    out = [forest.predict(x), forest.predict_proba(x), forest.oob_predict_proba(), forest.tree_shap(x),
           forest.shap_importances(x), forest.training_order(), forest.shap_tree_arrays()]
    out += [getattr(forest, name)() for name in ("feature_importances", "gain_importances",
                                                 "tree_normalized_gain_importances", "permutation_importances")]
    return repr([np.asarray(a).tobytes() if isinstance(a, np.ndarray) else a for a in out])


@pytest.mark.parametrize("path", PATHS)
def test_loaded_forest_answers_exactly_as_the_fitted_one(path):
    forest, x = fitted(path)
    data = _native.to_bytes(forest)
    assert isinstance(data, bytes)
    expected = answers(forest, x)
    for source in (data, bytearray(data), memoryview(data)):
        loaded = _native.from_bytes(source)
        assert type(loaded) is NativeForest
        assert answers(loaded, x) == expected
        assert _native.to_bytes(loaded) == data
    # A lone forest is its own merge; range parts, in any order, merge to the whole fit;
    # forests of different fits never merge.
    assert _native.to_bytes(_native.merge([forest])) == data
    parts = [fitted(path, tree_range=r)[0] for r in ((7, 12), (0, 2), (2, 7))]
    merged = _native.merge(parts)
    assert answers(merged, x) == expected
    assert _native.to_bytes(merged) == data
    with pytest.raises(ValueError, match="cannot merge forests"):
        _native.merge([forest, fitted(path, seed=4)[0]])


def test_bad_arguments_and_headers_get_clear_errors():
    forest, _ = fitted("exact")
    data = _native.to_bytes(forest)
    with pytest.raises(RuntimeError):
        _native.to_bytes(NativeForest())
    with pytest.raises(TypeError):
        _native.to_bytes(data)
    with pytest.raises(TypeError):
        _native.from_bytes("text")
    with pytest.raises(TypeError):
        _native.merge([forest, 3])
    damaged = bytearray(data)
    damaged[-1] ^= 1
    version = bytearray(data)
    version[8] = 9
    for bad, message in [(b"", "truncated model data"), (data[:5], "truncated model data"),
                         (data[:-1], "truncated model data"), (b"PK\x03\x04" + data, "not a morvel model"),
                         (bytes(version), "unsupported model format version 9"),
                         (bytes(damaged), r"model data is corrupted \(checksum mismatch\)"),
                         (data + b"\0", "model data is invalid")]:
        with pytest.raises(ValueError, match=message):
            _native.from_bytes(bad)


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


@pytest.mark.parametrize("claimed, message", [(2**32 + 1, "more nodes than a tree can hold"),
                                              (2**32, "node count exceeds the data")])
def test_a_tree_beyond_32_bit_node_positions_is_refused_on_load(claimed, message):
    forest, _ = fitted("exact")
    data = _native.to_bytes(forest)

    def read_varint(at):
        value = shift = 0
        while True:
            value |= (data[at] & 0x7F) << shift
            shift += 7
            at += 1
            if not data[at - 1] & 0x80:
                return value, at

    at = 28  # the first tree's node count follows the shape, digest, flags and training order
    shape = []
    for _ in range(6):  # features, classes, rows, estimators, tree range
        value, at = read_varint(at)
        shape.append(value)
    at += 8 + 1  # settings digest, flags (no bin edges on this path)
    for _ in range(shape[2]):  # the training order
        at = read_varint(at)[1]
    payload = data[28:at] + varint(claimed) + data[read_varint(at)[1]:]
    digest = 0xCBF29CE484222325
    for b in payload:
        digest = ((digest ^ b) * 0x100000001B3) & (2**64 - 1)
    with pytest.raises(ValueError, match=f"model data is invalid: tree 0 .*{message}"):
        _native.from_bytes(data[:12] + struct.pack("<QQ", len(payload), digest) + payload)


FUZZ = textwrap.dedent("""
    import random, struct, sys
    import numpy as np
    from morvel import NativeForest, _native

    def fnv(payload):
        h = 0xcbf29ce484222325
        for b in payload:
            h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
        return h

    def resealed(data):
        payload = data[28:]
        return data[:12] + struct.pack("<QQ", len(payload), fnv(payload)) + payload

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    rng = random.Random(5)
    x = np.random.default_rng(5).random((40, 4))
    y = (x[:, 0] > 0.5).astype(np.int64) + (x[:, 1] > 0.7)
    seeds = []
    for opts in ({"max_bins": 15}, {"ccp_alpha": 0.01}):
        forest = NativeForest()
        forest.fit(x, y, 3, 2, 1, oob=True, permutation_importance=True, **opts)
        seeds.append(_native.to_bytes(forest))

    def mutant(i):
        data = bytearray(rng.choice(seeds))
        kind = i % 5
        if kind == 0:
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
            return bytes(data)
        if kind == 1:
            return bytes(data[:rng.randrange(len(data))])
        if kind == 2:
            return bytes(rng.randrange(256) for _ in range(rng.randrange(64)))
        if kind == 3:  # a sound header over garbage
            return resealed(bytes(data[:28]) + bytes(rng.randrange(256) for _ in range(rng.randrange(300))))
        # damage behind the checksum: the validation itself must catch it
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(28, len(data))
            data[at] = rng.randrange(256) if rng.random() < 0.5 else data[at] ^ (1 << rng.randrange(8))
        return resealed(bytes(data))

    def run(n):
        loaded = refused = 0
        for i in range(n):
            try:
                forest = _native.from_bytes(mutant(i))
            except ValueError:
                refused += 1
                continue
            loaded += 1
            for call in (lambda: forest.predict_proba(x), lambda: forest.tree_shap(x), forest.oob_predict_proba,
                         forest.feature_importances, forest.tree_normalized_gain_importances,
                         forest.permutation_importances, forest.shap_tree_arrays):
                try:
                    call()
                except ValueError:
                    pass
        return loaded, refused

    run(500)
    before = rss()
    loaded, refused = run(int(sys.argv[1]))
    grown = rss() - before
    print(loaded, refused, grown)
""")


def test_fuzzed_bytes_never_crash_or_leak():
    result = subprocess.run([sys.executable, "-c", FUZZ, "3000"], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    loaded, refused, grown = map(int, result.stdout.split())
    assert refused > 2500 and loaded + refused == 3000
    assert grown < 8 * 2**20, f"resident memory grew by {grown} bytes over 3000 loads"
