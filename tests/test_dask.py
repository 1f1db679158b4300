"""Fits on a two-process local cluster equal the local one-thread fit bit for bit."""

import os
import threading
import time

import numpy as np
import pytest
import scipy.sparse

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")

import morvel.dask as mdask  # noqa: E402
from morvel import ExtraTreesClassifier, RandomForestClassifier, _native  # noqa: E402

# Small forests leave some rows in every bag; both fits warn alike.
pytestmark = pytest.mark.filterwarnings("ignore:Some inputs do not have OOB scores")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        yield client


def _data(rows, features=8, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, features))
    x[rng.random(x.shape) < 0.02] = np.nan
    y = np.where(x[:, 0] + np.nan_to_num(x[:, 1]) * x[:, 2] > 0, "yes", "no")
    y[rng.random(rows) < 0.1] = "maybe"
    return x, y


def _assert_same_model(local, remote, x):
    assert _native.to_bytes(remote._forest) == _native.to_bytes(local._forest)
    for a, b in zip(local._forest.shap_tree_arrays(), remote._forest.shap_tree_arrays()):
        for column_a, column_b in zip(a, b):
            assert np.asarray(column_a).tobytes() == np.asarray(column_b).tobytes()
    names = ["feature_importances_", "split_importances_", "tree_normalized_gain_importances_"]
    names += ["oob_decision_function_", "oob_score_"] if local.oob_score else []
    names += ["permutation_importances_"] if local.permutation_importance else []
    for name in names:
        assert np.asarray(getattr(remote, name)).tobytes() == np.asarray(getattr(local, name)).tobytes(), name
    assert remote.predict_proba(x).tobytes() == local.predict_proba(x).tobytes()
    assert remote.shap_values(x[:40]).tobytes() == local.shap_values(x[:40]).tobytes()
    np.testing.assert_array_equal(remote.classes_, local.classes_)


def _received(client):
    return {address: info["count"] for address, info in client.run(mdask.received_training_data).items()}


@pytest.mark.parametrize("estimator, kind", [
    (RandomForestClassifier(n_estimators=7, oob_score=True, permutation_importance=True, random_state=3), "numpy"),
    (RandomForestClassifier(n_estimators=5, class_weight="balanced_subsample", max_bins=None, random_state=None,
                            max_samples=0.7, oob_score=True), "dask"),
    (ExtraTreesClassifier(n_estimators=6, random_state=11), "numpy"),
    (ExtraTreesClassifier(n_estimators=3, bootstrap=True, oob_score=True, random_state=5), "dask"),
    (RandomForestClassifier(n_estimators=4, max_features=0.5, random_state=8), "csr"),
])
def test_cluster_fit_equals_local_fit_and_sends_data_once_per_worker(client, estimator, kind):
    x, y = _data(600)
    weights = np.random.default_rng(1).uniform(0.5, 2.0, size=len(y))
    # A seed drawn from a RandomState must be drawn once, identically, by both fits.
    local_estimator, remote_estimator = estimator.set_params(n_jobs=1), estimator.__class__(**estimator.get_params())
    if estimator.random_state is None:
        local_estimator.set_params(random_state=np.random.RandomState(4))
        remote_estimator.set_params(random_state=np.random.RandomState(4))
    if kind == "csr":
        x = scipy.sparse.csr_matrix(np.nan_to_num(x) * (np.abs(x) > 0.5))
    local = local_estimator.fit(x, y, sample_weight=weights)

    before = _received(client)
    fit_x, fit_y = (da.from_array(x, chunks=(250, 5)), da.from_array(y, chunks=250)) if kind == "dask" else (x, y)
    remote = mdask.fit(remote_estimator, fit_x, fit_y, sample_weight=weights, client=client)
    after = _received(client)

    assert remote is remote_estimator
    assert {address: count - before.get(address, 0) for address, count in after.items()} == dict.fromkeys(after, 1)
    _assert_same_model(local, remote, x)


def test_parameters_are_refused_before_anything_is_sent(client):
    x, y = _data(50)
    before = _received(client)
    with pytest.raises(ValueError, match="n_estimators"):
        mdask.fit(RandomForestClassifier(n_estimators=0), x, y, client=client)
    assert _received(client) == before


@pytest.mark.parametrize("n_estimators, parts", [(1, 4), (7, 2), (100, 3), (5, 5)])
def test_tree_ranges_cover_the_forest_in_order_with_balanced_sizes(n_estimators, parts):
    ranges = mdask.tree_ranges(n_estimators, parts)
    assert len(ranges) == min(n_estimators, parts)
    assert [start for start, _ in ranges] == [0] + [stop for _, stop in ranges[:-1]]
    assert ranges[-1][1] == n_estimators
    sizes = [stop - start for start, stop in ranges]
    assert max(sizes) - min(sizes) <= 1


def test_predictions_over_dask_blocks_equal_local_predictions(client):
    x, y = _data(500, features=6)
    model = RandomForestClassifier(n_estimators=9, random_state=2).fit(x, y)
    frame = pd.DataFrame(x, columns=[f"f{i}" for i in range(6)])
    named = RandomForestClassifier(n_estimators=9, random_state=2).fit(frame, y)
    for fitted, rows, local_rows in [(model, da.from_array(x, chunks=(120, 4)), x),
                                     (named, dd.from_pandas(frame, npartitions=3), frame)]:
        for function in ("predict", "predict_proba", "shap_values"):
            result = getattr(mdask, function)(fitted, rows, client=client)
            assert isinstance(result, da.Array)
            expected = getattr(fitted, function)(local_rows)
            computed = result.compute()
            assert computed.dtype == expected.dtype and computed.tobytes() == expected.tobytes(), function


def test_a_worker_lost_mid_fit_leaves_the_model_unchanged(client):
    x, y = _data(30000, features=20, seed=7)
    estimator = RandomForestClassifier(n_estimators=40, oob_score=True, max_features=8, random_state=9)
    local = RandomForestClassifier(**estimator.get_params()).set_params(n_jobs=1).fit(x, y)

    workers = set(client.scheduler_info()["workers"])
    killed = []

    def kill_a_worker_training_a_range():
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not killed:
            for address, keys in client.processing().items():
                if any(str(key).startswith("morvel-trees-") for key in keys):
                    client.run(os._exit, 1, workers=[address], on_error="ignore")
                    killed.append(address)
                    break
            time.sleep(0.01)

    killer = threading.Thread(target=kill_a_worker_training_a_range)
    killer.start()
    remote = mdask.fit(estimator, x, y, client=client)
    killer.join()

    assert killed and killed[0] in workers, "no range was seen in flight"
    # The scheduler saw the worker go with a range still processing, and no scattered data
    # went with it: every worker holds the training set.
    [removal] = [event for _, event in client.get_events(killed[0]) if event.get("action") == "remove-worker"]
    assert any(str(key).startswith("morvel-trees-") for key in removal["processing-tasks"])
    assert not removal["lost-scattered-tasks"]
    client.wait_for_workers(2, timeout=30)
    _assert_same_model(local, remote, x[:300])
