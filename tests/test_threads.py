import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from sklearn.datasets import make_classification

from morvel import NativeForest


def os_threads() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("options", [{}, {"max_bins": 64}, {"extra_trees": True}])
def test_no_native_thread_outlives_a_call(options):
    x, y = make_classification(n_samples=3000, n_features=12, random_state=0)
    y = y.astype(np.int64)
    before = os_threads()
    # Relative: other test modules' libraries (a Dask scheduler's offload pool, say) keep
    # threads of their own for the life of the process.
    python_threads = threading.active_count()
    forest = NativeForest()
    forest.fit(x, y, 16, 3, 1, n_jobs=4, oob=True, permutation_importance=True, **options)
    forest.shap_importances(x[:64], n_jobs=4)
    assert os_threads() == before
    assert threading.active_count() == python_threads



def _run_child(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns (completed process, most threads seen)."""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    most = 0
    deadline = time.monotonic() + timeout
    while child.poll() is None and time.monotonic() < deadline:
        try:
            most = max(most, len(os.listdir(f"/proc/{child.pid}/task")))
        except FileNotFoundError:
            break
        time.sleep(0.002)
    out, err = child.communicate(timeout=timeout)
    return child.returncode, out, err, most


_PROBLEM = """
import numpy as np
from morvel import NativeForest
rng = np.random.default_rng(0)
x = rng.normal(size=({rows}, {features}))
y = (x[:, 0] + 0.5 * x[:, 1] + rng.normal(size={rows}) > 0).astype(np.int64)
"""

_BOUND_CASES = {
    # One tree per unit of work: 20,000 trees ask for 20,000 threads.
    "fit": "f = NativeForest(); f.fit(x, y, 20000, 3, 1, max_depth=2, n_jobs=JOBS); "
           "result = f.predict_proba(x)",
    # Histogram trees on wide binned data split the surplus of n_jobs inside each tree.
    "binned_fit": "f = NativeForest(); f.fit(x, y, 4, 8, 1, max_bins=32, n_jobs=JOBS); "
                  "result = (f.predict_proba(x), f.feature_importances())",
    # One row chunk per job; the chunks group the sums, so the reference asks for as many
    # chunks as there are rows.
    "shap_importances": "f = NativeForest(); f.fit(x, y, 8, 3, 1, max_depth=4); "
                        "result = f.shap_importances(x, n_jobs=JOBS)",
}


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("case, rows, features, reference_jobs", [
    ("fit", 60, 6, 2), ("binned_fit", 2400, 64, 2), ("shap_importances", 3000, 6, 3000)])
def test_huge_n_jobs_runs_on_bounded_threads_with_unchanged_results(case, rows, features, reference_jobs):
    call = _BOUND_CASES[case]
    code = _PROBLEM.format(rows=rows, features=features) + f"""
JOBS = 10**6
{call}
huge = result
JOBS = {reference_jobs}
{call}
assert repr(huge) == repr(result), "n_jobs changed the result"
"""
    returncode, _, err, most = _run_child(code)
    assert returncode == 0, err
    cpus = max(os.cpu_count() or 1, len(os.sched_getaffinity(0)))
    # Tree workers plus the histogram threads each of them may start.
    assert most <= 2 * 4 * cpus + 2


# Each call would run for many seconds on the 100-tree model below.
_INTERRUPT_CASES = {
    "fit": "f.fit(x, y, 10**6, 3, 2, n_jobs=2)",
    "fit_one_thread": "f.fit(x, y, 10**6, 3, 2, n_jobs=1)",
    "predict": "f.predict(np.tile(x, (400, 1)))",
    "tree_shap": "f.tree_shap(np.tile(x, (5, 1)))",
    "shap_importances": "f.shap_importances(np.tile(x, (5, 1)), n_jobs=2)",
    "gain_importances": "gain_importances(x, y, np.arange(8), np.arange(8), "
                        "np.stack([np.random.default_rng(s).permutation(len(y)) for s in range(8)]), "
                        "10**6, 8, 0, 32, 1)",
}


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("case", sorted(_INTERRUPT_CASES))
def test_ctrl_c_stops_a_long_call_and_keeps_the_model(case):
    # The call holds the interpreter lock, so the signal comes from outside, as a terminal's
    # Ctrl-C does.
    code = _PROBLEM.format(rows=4000, features=8) + f"""
import os, time, json
from morvel._boruta_core import gain_importances
f = NativeForest()
f.fit(x, y, 100, 3, 1, n_jobs=2)
before = f.predict_proba(x)
threads = len(os.listdir("/proc/self/task"))
print("go", flush=True)
try:
    {_INTERRUPT_CASES[case]}
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
stopped = time.monotonic()
print(json.dumps({{"outcome": outcome, "same_model": f.predict_proba(x) == before, "stopped": stopped,
                   "extra_threads": len(os.listdir("/proc/self/task")) - threads}}), flush=True)
"""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "go\n", child.stderr.read()
        time.sleep(1.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err
    report = json.loads(out)
    delay = report.pop("stopped") - sent
    assert report == {"outcome": "interrupted", "same_model": True, "extra_threads": 0}
    # Generous for a loaded machine; an ignored signal waits for the whole call.
    assert 0.0 <= delay < 5.0
