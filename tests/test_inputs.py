"""Input matrices, labels and weights: accepted forms, refusals and the canonical training
order, through NativeForest.fit and the prediction-side conversion."""

import numpy as np
import pytest
import scipy.sparse as sp

from morvel import NativeForest

NOT_A_MATRIX = "X must be a two-dimensional NumPy array or CSR/CSC matrix"
INFINITE = "X must not contain infinite values"


def fit(x, y, forest=None, **options):
    forest = NativeForest() if forest is None else forest
    options.setdefault("n_estimators", 3)
    options.setdefault("max_features", 2)
    options.setdefault("random_state", 0)
    forest.fit(x, y, **options)
    return forest


def fit_error(x, y, **options):
    with pytest.raises(ValueError) as info:
        fit(x, y, **options)
    return str(info.value)


@pytest.fixture
def data():
    rng = np.random.default_rng(7)
    x = rng.normal(size=(40, 3))
    y = (x[:, 0] + 0.5 * x[:, 2] > 0).astype(np.int64)
    return x, y


class FakeSparse:
    """The attributes and methods the converter reads from a SciPy matrix."""

    def __init__(self, indptr, indices, data, shape):
        self.indptr, self.indices, self.data, self.shape = indptr, indices, data, shape

    def tocsr(self):
        return self

    def sum_duplicates(self):
        pass

    def sort_indices(self):
        pass


@pytest.mark.parametrize(
    "x",
    [
        np.ones((3, 2), dtype=np.int64),
        [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]],
        np.ones(3),
        np.ones((3, 2, 1)),
        None,
    ],
    ids=["int64", "list", "1d", "3d", "none"],
)
def test_non_matrices_refused(x):
    assert fit_error(x, np.zeros(3, dtype=np.int64)) == NOT_A_MATRIX


def test_missing_sparse_attribute_is_not_a_matrix_but_other_errors_propagate():
    class NoShape:
        indptr = indices = data = np.zeros(1)

    assert fit_error(NoShape(), np.zeros(1, dtype=np.int64)) == NOT_A_MATRIX

    class Broken:
        indptr = indices = data = np.zeros(1)

        @property
        def shape(self):
            raise KeyError("shape")

    with pytest.raises(KeyError):
        fit(Broken(), np.zeros(1, dtype=np.int64))


@pytest.mark.parametrize(
    "y, weight",
    [
        (np.zeros(4, dtype=np.int32), None),
        ([0, 1, 0, 1], None),
        (np.zeros((4, 1), dtype=np.int64), None),
        (np.zeros(4, dtype=np.int64), np.ones(4, dtype=np.float32)),
        (np.zeros(4, dtype=np.int64), [1.0, 1.0, 1.0, 1.0]),
    ],
)
def test_label_and_weight_arrays_have_fixed_types(y, weight):
    with pytest.raises(TypeError):
        fit(np.ones((4, 2)), y, sample_weight=weight)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "options",
    [{}, {"max_bins": 8}, {"extra_trees": True}, {"extra_trees": True, "max_bins": 8, "extra_trees_backend": "binned"}],
    ids=["exact", "bins", "extra", "extra-binned"],
)
def test_infinities_refused_on_every_path_and_nan_accepted(data, dtype, options):
    x, y = data
    x = x.astype(dtype)
    x[5, 1] = np.nan
    assert fit(x, y, **options).is_fitted()
    x[7, 2] = -np.inf
    assert fit_error(x, y, **options) == INFINITE
    assert fit_error(sp.csr_matrix(x.astype(np.float64)), y) == INFINITE


@pytest.mark.parametrize(
    "weights, message",
    [
        (np.zeros(6), "sample_weight cannot be all zero"),
        (np.array([1.0, 1, 1, -1, 1, 1]), "sample_weight must contain finite non-negative values"),
        (np.array([1.0, 1, 1, np.nan, 1, 1]), "sample_weight must contain finite non-negative values"),
        (np.array([1.0, 1, 1, np.inf, 1, 1]), "sample_weight must contain finite non-negative values"),
        (np.full(6, 1e308), "sample_weight sum must be finite"),
        (np.ones(5), "sample_weight must have the same length as X"),
    ],
)
def test_weight_refusals(weights, message):
    x = np.arange(12, dtype=np.float64).reshape(6, 2)
    y = np.array([0, 1, 0, 1, 0, 1], dtype=np.int64)
    assert fit_error(x, y, sample_weight=weights) == message
    assert fit_error(sp.csr_matrix(x), y, sample_weight=weights) == message


def test_negative_zero_weights_accepted():
    x = np.arange(12, dtype=np.float64).reshape(6, 2)
    y = np.array([0, 1, 0, 1, 0, 1], dtype=np.int64)
    assert fit(x, y, sample_weight=np.array([-0.0, 1, 1, -0.0, 2, 1])).is_fitted()


@pytest.mark.parametrize("sparse", [False, True])
def test_row_count_mismatch(sparse, data):
    x, y = data
    x = sp.csr_matrix(x) if sparse else x
    assert fit_error(x, y[:-1]) == "X and y must contain the same number of rows"


def test_negative_label():
    assert fit_error(np.ones((3, 2)), np.array([0, -2, 1], dtype=np.int64)) == "y must contain non-negative labels"


@pytest.mark.parametrize(
    "indptr, indices, values, shape, message",
    [
        ([0, -1, 2], [0, 1], [1.0, 2.0], (2, 2), "invalid CSR row pointer"),
        ([0, 1, 2], [0, -1], [1.0, 2.0], (2, 2), "invalid CSR column index"),
        ([0, 1, 2], [0, 1], [1.0, -np.inf], (2, 2), INFINITE),
        ([0, 2, 1], [0, 1], [1.0, 2.0], (2, 2), "invalid CSR matrix structure"),
        ([0, 1], [0, 1], [1.0, 2.0], (2, 2), "invalid CSR matrix structure"),
        ([0, 2, 2], [1, 0], [1.0, 2.0], (2, 2), "CSR column indices must be sorted and unique"),
        ([0, 1, 2], [0, 2], [1.0, 2.0], (2, 2), "CSR column indices must be sorted and unique"),
    ],
)
def test_sparse_structure_refusals(indptr, indices, values, shape, message):
    x = FakeSparse(np.array(indptr), np.array(indices), np.array(values), shape)
    # The matrix checks come before the setting checks of data preparation.
    assert fit_error(x, np.array([0, 1], dtype=np.int64), max_features=1, min_samples_leaf=0) == message


def test_empty_inputs():
    # With no row there is no label either; the class count is checked before the matrix.
    assert fit_error(sp.csr_matrix((0, 5)), np.zeros(0, dtype=np.int64)) == "y must contain at least one class"
    assert fit_error(np.ones((0, 3)), np.zeros(0, dtype=np.int64)) == "y must contain at least one class"
    x, y = np.ones((4, 2)), np.array([0, 1, 0, 1], dtype=np.int64)
    forest = fit(x, y)
    with pytest.raises(ValueError, match="^X must contain at least one row$"):
        forest.predict(sp.csr_matrix((0, 2)))
    with pytest.raises(ValueError, match="^X must contain at least one row$"):
        forest.predict(np.ones((0, 2)))


class TestTrainingOrder:
    def test_nan_rows_last_in_input_order(self):
        x = np.array([[np.nan, 1.0], [2.0, 0.0], [np.nan, 0.0], [-1.0, 5.0], [np.nan, 1.0]])
        y = np.array([1, 0, 1, 0, 0], dtype=np.int64)
        order = fit(x, y).training_order()
        assert order.dtype == np.uint64
        # Column 1 separates rows 2 from 0 and 4; the label then puts row 4 before row 0.
        np.testing.assert_array_equal(order, [3, 1, 2, 4, 0])

    def test_duplicate_rows_label_zero_first(self):
        x = np.array([[1.0, 2.0], [1.0, 2.0], [0.0, 3.0]])
        order = fit(x, np.array([1, 0, 1], dtype=np.int64)).training_order()
        np.testing.assert_array_equal(order, [2, 1, 0])

    def test_signed_zero_is_one_value(self):
        x = np.array([[0.0, 2.0], [-0.0, 1.0]], dtype=np.float32)
        order = fit(x, np.array([0, 1], dtype=np.int64), max_bins=4).training_order()
        np.testing.assert_array_equal(order, [1, 0])

    @pytest.mark.parametrize("fmt", ["csr", "csc"])
    def test_sparse_input_keeps_identity(self, data, fmt):
        x, y = data
        order = fit(sp.csr_matrix(x) if fmt == "csr" else sp.csc_matrix(x), y).training_order()
        np.testing.assert_array_equal(order, np.arange(len(y), dtype=np.uint64))

    def test_new_object_has_empty_order(self):
        order = NativeForest().training_order()
        assert order.dtype == np.uint64 and order.shape == (0,)

    @pytest.mark.parametrize(
        "options",
        [{}, {"max_bins": 6}, {"extra_trees": True}, {"dtype": np.float32, "max_bins": 6}],
        ids=["general", "bins-f64", "extra", "bins-f32"],
    )
    def test_row_permutation_gives_identical_forest(self, options):
        rng = np.random.default_rng(3)
        dtype = options.pop("dtype", np.float64)
        # Coarse values force ties in column 0, some resolved only by later columns or labels.
        x = rng.integers(0, 3, size=(60, 3)).astype(dtype)
        x[rng.random(60) < 0.1, 0] = np.nan
        y = rng.integers(0, 2, size=60).astype(np.int64)
        w = rng.integers(1, 3, size=60).astype(np.float64)
        # Rows equal in every feature and label must carry equal weights for the forests to match.
        key = {}
        for i in range(60):
            w[i] = key.setdefault((tuple(np.nan_to_num(x[i], nan=9.0)), y[i]), w[i])
        perm = rng.permutation(60)
        a = fit(x, y, sample_weight=w, n_estimators=4, **options)
        b = fit(np.asfortranarray(x[perm]), y[perm], sample_weight=w[perm], n_estimators=4, **options)
        oa, ob = a.training_order(), b.training_order()
        np.testing.assert_array_equal(np.nan_to_num(x[oa], nan=9.0), np.nan_to_num(x[perm][ob], nan=9.0))
        np.testing.assert_array_equal(y[oa], y[perm][ob])
        assert a.shap_tree_arrays() == b.shap_tree_arrays()
        assert a.predict_proba(x) == b.predict_proba(x)


def test_float32_and_float64_train_alike_on_the_general_path(data):
    x, y = data
    x32 = x.astype(np.float32)
    a = fit(x32, y)
    b = fit(x32.astype(np.float64), y)
    assert a.shap_tree_arrays() == b.shap_tree_arrays()


def test_strided_input_reads_like_contiguous(data):
    x, y = data
    wide = np.zeros((x.shape[0] * 2, x.shape[1] * 2))
    wide[::2, ::2] = x
    view = wide[::2, ::2]
    for options in ({}, {"max_bins": 5}):
        assert fit(view, y, **options).shap_tree_arrays() == fit(x.copy(), y, **options).shap_tree_arrays()


def test_sparse_duplicates_summed_and_csc_converted(data):
    x, y = data
    x = np.where(np.abs(x) < 0.5, 0.0, x)
    csr = sp.csr_matrix(x)
    reference = fit(csr, y).shap_tree_arrays()
    assert fit(sp.csc_matrix(x), y).shap_tree_arrays() == reference
    # The same matrix with each stored value split into two duplicate halves, columns of a
    # row in descending order.
    indices, values = [], []
    for r in range(x.shape[0]):
        cols = csr.indices[csr.indptr[r] : csr.indptr[r + 1]][::-1]
        vals = csr.data[csr.indptr[r] : csr.indptr[r + 1]][::-1]
        indices.append(np.repeat(cols, 2))
        values.append(np.repeat(vals / 2, 2))
    dup = sp.csr_matrix((np.concatenate(values), np.concatenate(indices), csr.indptr * 2), shape=x.shape)
    assert not dup.has_canonical_format
    assert fit(dup, y).shap_tree_arrays() == reference
    assert dup.has_canonical_format  # canonicalised in place by its own methods


class TestPredictionInput:
    @pytest.fixture
    def forest(self, data):
        x, y = data
        return fit(x, y)

    def test_feature_count_messages(self, forest):
        with pytest.raises(ValueError) as info:
            forest.predict(np.ones((2, 4)))
        assert str(info.value) == "X has 4 features, but the fitted forest expects 3"
        with pytest.raises(ValueError) as info:
            forest.predict_proba(sp.csr_matrix(np.ones((2, 2))))
        assert str(info.value) == "X has 2 features, but the fitted forest expects 3"
        with pytest.raises(ValueError, match="^X has a different number of features$"):
            forest.tree_shap(np.ones((2, 2)))

    def test_values_are_converted_before_the_feature_count_check(self, forest):
        # Dense conversion refuses infinities while copying, before the count is compared;
        # the structural checks of a sparse matrix come after it.
        with pytest.raises(ValueError, match=f"^{INFINITE}$"):
            forest.predict(np.full((2, 2), np.inf))
        bad = FakeSparse(np.array([0, 2, 1]), np.array([0, 1]), np.array([1.0, 2.0]), (2, 2))
        with pytest.raises(ValueError, match="features, but"):
            forest.predict(bad)

    @pytest.mark.parametrize("max_bins", [None, 4])
    def test_dense_and_sparse_predictions_agree(self, data, max_bins):
        x, y = data
        x = np.where(np.abs(x) < 0.3, 0.0, x)
        forest = fit(x, y, max_bins=max_bins, n_estimators=5)
        assert forest.predict_proba(x) == forest.predict_proba(sp.csr_matrix(x))
        assert forest.predict(x.astype(np.float32)) == forest.predict(sp.csr_matrix(x.astype(np.float32)))
