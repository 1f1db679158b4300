"""Training and prediction on a Dask cluster, with the same model as on one core.

A forest's trees are independent and each tree's randomness comes from the seed and its
index alone, so the trees can be trained in ranges on any number of workers and merged into
exactly the forest a local ``n_jobs=1`` fit grows: the same trees bit for bit, the same
probabilities, out-of-bag estimates, importances and SHAP values.

>>> from distributed import Client
>>> import morvel.dask
>>> client = Client("tcp://scheduler:8786")                      # doctest: +SKIP
>>> model = morvel.dask.fit(RandomForestClassifier(random_state=0), X, y)  # doctest: +SKIP
>>> proba = morvel.dask.predict_proba(model, dask_array).compute()       # doctest: +SKIP

:func:`fit` validates the data and resolves the parameters on the client exactly as the
estimator's own ``fit`` does, sends the training set to every worker once, trains one
contiguous range of trees per worker thread and merges the ranges in tree order. The range
tasks are pure and keyed by their range, so when a worker is lost the scheduler trains its
range again elsewhere and the merged model does not change.

:func:`predict`, :func:`predict_proba` and :func:`shap_values` take a Dask array or
dataframe and return a lazy Dask array, one block per row block of the input; the fitted
model is sent to each worker once, not with every block.

Needs Dask's distributed scheduler (``pip install "morvel[dask]"``).
"""

from __future__ import annotations

import copy
from typing import Any

import numpy as np

try:
    import dask
    import dask.array as da
    from distributed import Client, default_client
except ImportError as error:  # pragma: no cover - depends on the installed extras
    raise ImportError('morvel.dask needs Dask\'s distributed scheduler: pip install "morvel[dask]"') from error

from sklearn.utils.validation import check_is_fitted

from morvel import _native
from morvel._core import NativeForest

__all__ = ["fit", "predict", "predict_proba", "shap_values", "tree_ranges"]

# Times training data reached this process, and its bytes; read on the workers (with
# Client.run) to see what a fit sent where.
_received = {"count": 0, "bytes": 0}


class _TrainingData:
    """One fit's validated rows, encoded labels and native settings: a single object, so a
    worker receives it once and every range task on that worker reads the same copy."""

    def __init__(self, X: Any, encoded: np.ndarray, settings: dict[str, Any]) -> None:
        self.X = X
        self.encoded = encoded
        self.settings = settings

    def nbytes(self) -> int:
        weights = self.settings.get("sample_weight")
        parts = [self.X.data, self.X.indices, self.X.indptr] if hasattr(self.X, "indptr") else [self.X]
        parts += [self.encoded] + ([] if weights is None else [weights])
        return sum(int(np.asarray(part).nbytes) for part in parts)

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        _received["count"] += 1
        _received["bytes"] += self.nbytes()


def received_training_data() -> dict[str, int]:
    """How many times training data arrived in this process, and how many bytes of it.

    Call it on the workers, ``client.run(morvel.dask.received_training_data)``, to see
    what fits have sent to each.
    """
    return dict(_received)


def tree_ranges(n_estimators: int, parts: int) -> list[tuple[int, int]]:
    """``n_estimators`` trees cut into at most ``parts`` contiguous ranges whose sizes differ by
    at most one, in tree order."""
    parts = max(1, min(int(parts), int(n_estimators)))
    bounds = [n_estimators * i // parts for i in range(parts + 1)]
    return list(zip(bounds[:-1], bounds[1:]))


def _train_range(data: _TrainingData, start: int, stop: int) -> bytes:
    # The native fit releases the interpreter lock, so the worker's other threads (and its
    # communication) keep running while the range trains.
    forest = NativeForest()
    _native.fit(forest, data.X, data.encoded, tree_range=(start, stop), **data.settings)
    return _native.to_bytes(forest)


def _client(client: Client | None) -> Client:
    return default_client() if client is None else client


def _gathered(value: Any, client: Client) -> Any:
    """A Dask collection computed to the client; anything else as given."""
    if dask.is_dask_collection(value):
        return client.compute(value, sync=True)
    return value


def fit(estimator: Any, X: Any, y: Any, *, sample_weight: Any = None, client: Client | None = None) -> Any:
    """Fit ``estimator`` (a morvel forest classifier) on a Dask cluster.

    The fitted estimator is the one ``estimator.fit(X, y, sample_weight)`` gives with
    ``n_jobs=1``, bit for bit, whatever the number of workers and threads and even when
    workers are lost during the fit: with ``random_state=None`` or a ``RandomState`` the seed is
    drawn once, on the client, as the local fit draws it.

    Parameters
    ----------
    estimator : RandomForestClassifier or ExtraTreesClassifier
        Fitted in place, and returned.
    X : {array-like, sparse matrix, dask array, dask dataframe} of shape (n_samples, n_features)
        Training rows. Dask collections are computed to the client first: validation and
        label encoding need the whole set, as they do locally.
    y : array-like or dask collection of shape (n_samples,)
        Class labels.
    sample_weight : array-like of shape (n_samples,), default=None
        Row weights, as in ``estimator.fit``.
    client : distributed.Client, default=None
        The cluster to train on; None uses the default client.

    Returns
    -------
    estimator : the fitted estimator.

    Notes
    -----
    The validated training set is sent once to every worker (scattered with broadcast) and
    the trees are cut into one range per worker thread (see :func:`tree_ranges`). Every
    range task trains with one thread, since the worker runs one task per thread.
    """
    if not hasattr(estimator, "_prepare_fit"):
        raise TypeError(f"expected a morvel forest classifier, got {type(estimator).__name__}")
    client = _client(client)
    X, y, sample_weight = (_gathered(value, client) for value in (X, y, sample_weight))
    prepared = estimator._prepare_fit(X, y, sample_weight)
    settings = dict(prepared.settings, n_jobs=1)

    threads = sum(client.nthreads().values())
    if threads == 0:
        client.wait_for_workers(1)
        threads = sum(client.nthreads().values())
    [data] = client.scatter([_TrainingData(prepared.X, prepared.encoded, settings)], broadcast=True, hash=False)
    ranges = tree_ranges(settings["n_estimators"], threads)
    # Keyed by the data and the range alone: a range lost with its worker is retrained
    # under the same key, and its trees are the same wherever it runs.
    futures = [client.submit(_train_range, data, start, stop, key=f"morvel-trees-{start}-{stop}-{data.key}")
               for start, stop in ranges]
    try:
        parts = client.gather(futures)
    finally:
        client.cancel(futures + [data])
    forests = [_native.from_bytes(part) for part in parts]
    forest = forests[0] if len(forests) == 1 else _native.merge(forests)
    return estimator._adopt_forest(forest, prepared)


# -- prediction ---------------------------------------------------------------------------------


def _row_blocks(X: Any) -> tuple[list[Any], tuple[float, ...]]:
    """Delayed row blocks of a Dask array or dataframe, and their row counts (NaN if unknown)."""
    if isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError(f"expected a 2-d Dask array of rows, got {X.ndim} dimensions")
        # Whole rows per block: a block of some columns cannot be predicted.
        X = X.rechunk({1: -1})
        return list(X.to_delayed()[:, 0]), X.chunks[0]
    if dask.is_dask_collection(X) and hasattr(X, "npartitions") and hasattr(X, "to_delayed"):
        return list(X.to_delayed()), (np.nan,) * X.npartitions
    raise TypeError(f"expected a Dask array or dataframe, got {type(X).__name__}")


def _call(model: Any, method: str, block: Any) -> np.ndarray:
    return getattr(model, method)(block)


def _map_rows(estimator: Any, X: Any, method: str, tail: tuple[int, ...], dtype: Any,
              client: Client | None) -> da.Array:
    blocks, rows = _row_blocks(X)
    # Each block is one task on one worker thread; the model's own threads would only
    # compete with the worker's others. The results do not depend on the thread count.
    model = copy.copy(estimator)
    model.n_jobs = 1
    if client is None:
        try:
            client = default_client()
        except ValueError:
            client = None
    if client is not None:
        shared = client.scatter(model, broadcast=True, hash=False)
    else:
        shared = dask.delayed(model, pure=False, traverse=False)
    call = dask.delayed(_call, pure=True)
    arrays = [da.from_delayed(call(shared, method, block), shape=(n,) + tail, dtype=dtype)
              for block, n in zip(blocks, rows)]
    return da.concatenate(arrays, axis=0)


def predict(estimator: Any, X: Any, *, client: Client | None = None) -> da.Array:
    """Labels of the rows of a Dask array or dataframe, as a lazy Dask array.

    Equal to ``estimator.predict`` on the computed rows. ``client`` (default: the default
    client, if any) receives the model once per worker; without a distributed client the
    model is one node of the graph.
    """
    check_is_fitted(estimator)
    return _map_rows(estimator, X, "predict", (), estimator.classes_.dtype, client)


def predict_proba(estimator: Any, X: Any, *, client: Client | None = None) -> da.Array:
    """Class probabilities, shape (n_samples, n_classes), as a lazy Dask array; see :func:`predict`."""
    check_is_fitted(estimator)
    return _map_rows(estimator, X, "predict_proba", (len(estimator.classes_),), np.float64, client)


def shap_values(estimator: Any, X: Any, *, client: Client | None = None) -> da.Array:
    """TreeSHAP values, shape (n_samples, n_features, n_classes), as a lazy Dask array; see
    :func:`predict` and the estimator's ``shap_values``."""
    check_is_fitted(estimator)
    tail = (estimator.n_features_in_, len(estimator.classes_))
    return _map_rows(estimator, X, "shap_values", tail, np.float64, client)
