import os
import threading

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
    forest = NativeForest()
    forest.fit(x, y, 16, 3, 1, n_jobs=4, oob=True, permutation_importance=True, **options)
    forest.shap_importances(x[:64], n_jobs=4)
    assert os_threads() == before
    assert threading.active_count() == 1

