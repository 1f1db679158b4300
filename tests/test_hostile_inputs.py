"""Objects that look like sparse matrices but misbehave, odd dense arrays and bad Boruta
arrays: every one must end in a Python exception (never a crash), leave no reference
behind, and let the caller's own exceptions through unchanged."""

import gc
import subprocess
import sys
import weakref

import numpy as np
import pytest

from morvel import NativeForest, _boruta_core
from test_surface import Boom

NOT_A_MATRIX = "X must be a two-dimensional NumPy array or CSR/CSC matrix"
ROWS_DIFFER = "X and y must contain the same number of rows"
Y = np.array([0, 1, 0, 1], dtype=np.int64)
LIVE = weakref.WeakSet()


class Sparse:
    """A CSR look-alike for a 4 x 3 matrix; keyword overrides make it misbehave."""

    def __init__(self, **overrides):
        self.indptr = np.array([0, 1, 2, 3, 4])
        self.indices = np.array([0, 1, 2, 0])
        self.data = np.array([1.0, 2.0, 3.0, 4.0])
        self.shape = (4, 3)
        self.csr = None
        for name, value in overrides.items():
            setattr(self, name, value)
        LIVE.add(self)

    def tocsr(self):
        if self.csr is not None:
            return self.csr() if callable(self.csr) else self.csr
        return self

    def sum_duplicates(self):
        return "ignored"

    def sort_indices(self):
        return None


class Raising:
    def __init__(self, error):
        self.error = error

    def __call__(self, *args):
        raise self.error


class BadIndex:
    def __index__(self):
        raise Boom("shape entry")


class JunkAstype:
    def __init__(self, result):
        self.result = result

    def astype(self, dtype):
        return self.result


def everything_is(value):
    class Junk:
        def __getattr__(self, name):
            return value

    return Junk()


def raising_property(error):
    class Hostile(Sparse):
        @property
        def indices(self):
            raise error

        @indices.setter
        def indices(self, value):
            pass

    return Hostile()


CASES = [
    # (object, expected exception type, exact message or None)
    (object(), ValueError, NOT_A_MATRIX),
    (np.ones((4, 3), dtype=">f8"), ValueError, NOT_A_MATRIX),
    (np.ones((4, 3), dtype=np.int64), ValueError, NOT_A_MATRIX),
    (np.ones((4, 3, 1)), ValueError, NOT_A_MATRIX),
    (raising_property(AttributeError("gone")), ValueError, NOT_A_MATRIX),
    (raising_property(Boom("property")), Boom, "property"),
    (everything_is(1), TypeError, None),
    (everything_is(None), TypeError, None),
    (Sparse(tocsr=Raising(Boom("tocsr"))), Boom, "tocsr"),
    (Sparse(csr=lambda: None), AttributeError, None),
    (Sparse(sum_duplicates=Raising(Boom("sum"))), Boom, "sum"),
    (Sparse(sort_indices=Raising(MemoryError())), MemoryError, None),
    (Sparse(shape=[4, 3]), TypeError, None),
    (Sparse(shape=(4,)), ValueError, None),
    (Sparse(shape=(4, 3, 1)), ValueError, None),
    (Sparse(shape=(-4, 3)), OverflowError, None),
    (Sparse(shape=(4, 2**64)), OverflowError, None),
    (Sparse(shape=(4.0, 3)), TypeError, None),
    (Sparse(shape=("4", 3)), TypeError, None),
    (Sparse(shape=(4, BadIndex())), Boom, "shape entry"),
    # fit compares the row count with y first; prediction reaches the structure checks.
    (Sparse(shape=(2**64 - 1, 3)), ValueError, (ROWS_DIFFER, "invalid CSR matrix structure")),
    (Sparse(shape=(2**63, 2**63)), ValueError, None),
    (Sparse(shape=(0, 3), indptr=np.array([0])), ValueError, (ROWS_DIFFER, "X must contain at least one row")),
    (Sparse(indptr=JunkAstype([0, 1, 2, 3, 4])), TypeError, None),
    (Sparse(indptr=JunkAstype(np.zeros((5, 1), dtype=np.int64))), TypeError, None),
    (Sparse(indices=JunkAstype(np.zeros(4, dtype=np.int32))), TypeError, None),
    (Sparse(data=JunkAstype(np.zeros(4, dtype=np.float32))), TypeError, None),
    (Sparse(data=JunkAstype(np.zeros(4, dtype=">f8"))), TypeError, None),
    (Sparse(data=everything_is(Raising(Boom("astype")))), Boom, "astype"),
    (Sparse(indptr=np.array([0, 1, -2, 3, 4])), ValueError, "invalid CSR row pointer"),
    (Sparse(indices=np.array([0, -1, 2, 0])), ValueError, "invalid CSR column index"),
    (Sparse(indptr=np.array([0, 1, 2, 3, 9])), ValueError, "invalid CSR matrix structure"),
    (Sparse(indptr=np.array([0, 1, 2])), ValueError, "invalid CSR matrix structure"),
    (Sparse(indices=np.array([0, 1, 7, 0])), ValueError, "CSR column indices must be sorted and unique"),
    (Sparse(data=np.array([1.0, np.inf, 3.0, 4.0])), ValueError, "X must not contain infinite values"),
    (Sparse(indptr=np.array([0, 1, 2, 3, 4], dtype=np.uint64)[::-1][::-1]), None, None),
]


def check(call, kind, message, in_fit):
    if isinstance(message, tuple):
        message = message[0] if in_fit else message[1]
    if kind is None:
        call()  # accepted
        return
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message
    if kind is not Boom:
        assert getattr(info.value, "__notes__", None) is None


def fit_call(x):
    return lambda: NativeForest().fit(x, Y, 2, 2, 0)


@pytest.mark.parametrize("case", range(len(CASES)))
def test_fit_survives_hostile_x(case):
    x, kind, message = CASES[case]
    check(fit_call(x), kind, message, True)


@pytest.fixture(scope="module")
def fitted():
    forest = NativeForest()
    forest.fit(np.arange(12.0).reshape(4, 3), Y, 2, 2, 0)
    return forest


@pytest.mark.parametrize("case", range(len(CASES)))
@pytest.mark.parametrize("method", ["predict", "predict_proba", "tree_shap", "shap_importances"])
def test_prediction_survives_hostile_x(fitted, method, case):
    x, kind, message = CASES[case]
    check(lambda: getattr(fitted, method)(x), kind, message, False)
    assert fitted.is_fitted()  # the shared borrow was released


def test_converted_objects_are_released():
    # Each failure path drops every reference it took on the caller's objects.
    made = []

    def fresh():
        csr = Sparse()
        made.append(weakref.ref(csr))
        return csr

    cases = [
        Sparse(csr=fresh),
        Sparse(csr=fresh, shape=(-1, 3)),
        Sparse(csr=fresh, indptr=JunkAstype([0])),
        Sparse(csr=fresh, sort_indices=Raising(Boom("x"))),
    ]
    for x in cases:
        for _ in range(3):
            try:
                fit_call(x)()
            except (Boom, ValueError, TypeError, OverflowError):
                pass
    del cases, x
    gc.collect()
    assert made and all(ref() is None for ref in made)


@pytest.mark.parametrize(
    "x",
    [np.zeros((0, 3)), np.zeros((4, 0)), np.zeros((0, 0), dtype=np.float32)],
    ids=["no-rows", "no-features", "empty-f32"],
)
def test_zero_size_dense_input_is_refused(x):
    with pytest.raises(ValueError):
        NativeForest().fit(x, np.zeros(len(x), dtype=np.int64), 1, 1, 0)


def unaligned(x):
    raw = bytearray(x.nbytes + 1)
    out = np.frombuffer(raw, dtype=x.dtype, count=x.size, offset=1).reshape(x.shape)
    out[...] = x
    assert not out.flags.aligned
    return out


LAYOUTS = {
    "reversed": lambda x: x[::-1, ::-1].copy()[::-1, ::-1],
    "fortran": np.asfortranarray,
    "strided": lambda x: np.repeat(np.repeat(x, 2, axis=0), 3, axis=1)[::2, ::3],
    "unaligned": unaligned,
}


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("options", [{}, {"max_bins": 8}, {"extra_trees": True}], ids=["exact", "bins", "extra"])
def test_dense_layouts_read_like_contiguous(layout, dtype, options):
    rng = np.random.default_rng(5)
    x = rng.normal(size=(30, 3)).astype(dtype)
    x[3, 1] = np.nan
    y = (x[:, 0] > 0).astype(np.int64)
    odd = LAYOUTS[layout](x)
    assert np.array_equal(odd, x, equal_nan=True)
    assert not (odd.flags.c_contiguous and odd.flags.aligned)

    expected, actual = NativeForest(), NativeForest()
    expected.fit(np.ascontiguousarray(x), y, 3, 2, 0, **options)
    actual.fit(odd, y, 3, 2, 0, **options)
    assert actual.shap_tree_arrays() == expected.shap_tree_arrays()
    assert actual.training_order().tolist() == expected.training_order().tolist()
    assert expected.predict_proba(odd) == expected.predict_proba(x)
    assert expected.tree_shap(odd) == expected.tree_shap(x)


# ---- the Boruta kernel's arguments --------------------------------------------------------

ROWS = 6
BORUTA = dict(
    x=np.arange(ROWS * 3, dtype=np.float64).reshape(ROWS, 3),
    y=np.array([0, 1] * (ROWS // 2), dtype=np.int64),
    active=np.array([0, 1, 2], dtype=np.int64),
    sources=np.array([0], dtype=np.int64),
    permutations=np.arange(ROWS, dtype=np.int64)[::-1].reshape(1, ROWS),
    trees=2,
    depth=3,
    seed=1,
    bins=16,
    extra_seed=6,
)


@pytest.mark.parametrize(
    "name, value, kind",
    [
        ("x", BORUTA["x"].astype(np.float32), TypeError),
        ("x", BORUTA["x"].astype(">f8"), TypeError),
        ("x", BORUTA["x"].ravel(), TypeError),
        ("x", BORUTA["x"].tolist(), TypeError),
        ("y", BORUTA["y"].astype(np.int32), TypeError),
        ("active", [0, 1], TypeError),
        ("sources", np.zeros((1, 1), dtype=np.int64), TypeError),
        ("permutations", BORUTA["permutations"].ravel(), TypeError),
        ("trees", 2.0, TypeError),
        ("depth", -1, OverflowError),
        ("seed", None, TypeError),
        ("bins", 2**64, OverflowError),
        ("extra_seed", "6", TypeError),
    ],
)
def test_boruta_argument_failures_name_the_argument(name, value, kind):
    arguments = dict(BORUTA, **{name: value})
    with pytest.raises(kind) as info:
        _boruta_core.gain_importances(**arguments)
    assert type(info.value) is kind
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_boruta_binding_errors():
    with pytest.raises(TypeError) as info:
        _boruta_core.gain_importances(*list(BORUTA.values())[:9])
    assert str(info.value) == "gain_importances() missing required argument 'extra_seed' (pos 10)"


def test_boruta_reports_the_first_bad_argument_and_rechecks_arrays():
    with pytest.raises(TypeError) as info:
        _boruta_core.gain_importances(**dict(BORUTA, x=None, trees=None))
    assert info.value.__notes__ == ["while processing 'x'"]

    # An integer whose own conversion retypes an array in place: the array is checked
    # again before the kernel reads it.
    x = BORUTA["x"].copy()

    class Retype:
        def __index__(self):
            x.dtype = np.int64
            return 2

    with pytest.raises(TypeError) as info:
        _boruta_core.gain_importances(**dict(BORUTA, x=x, trees=Retype()))
    assert info.value.__notes__ == ["while processing 'x'"]


# Run in a child: a crash here would take the test process with it.
WIDE_SPARSE = """
import numpy as np
from morvel import NativeForest

class Wide:
    indptr = np.zeros(61, np.int64)
    indices = np.zeros(0, np.int64)
    data = np.zeros(0)
    shape = (60, {width})
    def tocsr(self): return self
    def sum_duplicates(self): pass
    def sort_indices(self): pass

try:
    NativeForest().fit(Wide(), np.arange(60) % 2, 2, 1, 0, **{options})
except MemoryError as e:
    print("MemoryError:", e)
"""


@pytest.mark.parametrize("width", [2**64 - 1, 2**62])
@pytest.mark.parametrize("options", [{"max_bins": 16}, {}])
def test_claimed_sparse_width_beyond_memory_is_refused(width, options):
    code = WIDE_SPARSE.format(width=width, options=options)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == f"MemoryError: cannot allocate per-feature tables for {width} features"
