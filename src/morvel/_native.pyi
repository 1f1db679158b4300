"""Type stubs for the native module `morvel._native`; kept equal to the text signatures."""

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from morvel._core import NativeForest

def fit(
    forest: NativeForest,
    x: Any,
    y: npt.NDArray[np.int64],
    n_estimators: int,
    max_features: int,
    random_state: int,
    sample_weight: npt.NDArray[np.float64] | None = None,
    min_leaf_weight: float = 0.0,
    criterion: str = "gini",
    max_depth: int = 512,
    max_leaves: int | None = None,
    min_samples_split: int = 2,
    min_samples_leaf: int = 1,
    min_impurity_decrease: float = 0.0,
    bootstrap: bool = True,
    max_samples: int | None = None,
    oob: bool = False,
    permutation_importance: bool = False,
    n_jobs: int = 1,
    max_bins: int | None = None,
    balanced_subsample: bool = False,
    ccp_alpha: float = 0.0,
    monotonic_cst: Sequence[int] | None = None,
    binning_strategy: str = "exact_sort",
    bin_sample_size: int = 200000,
    binning_seed: int = 6,
    extra_trees: bool = False,
    extra_seed: int = 6,
    extra_trees_backend: str = "exact",
    tree_range: tuple[int, int] | None = None,
) -> None: ...
def predict(forest: NativeForest, x: Any, n_jobs: int = 1) -> npt.NDArray[np.int64]: ...
def predict_proba(forest: NativeForest, x: Any, n_jobs: int = 1) -> npt.NDArray[np.float64]: ...
def apply(forest: NativeForest, x: Any, n_jobs: int = 1) -> npt.NDArray[np.int64]: ...
def tree_shap(
    forest: NativeForest, x: Any, n_jobs: int = 1
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def shap_importances(forest: NativeForest, x: Any, n_jobs: int = 1) -> npt.NDArray[np.float64]: ...
def feature_importances(forest: NativeForest) -> npt.NDArray[np.float64]: ...
def gain_importances(forest: NativeForest) -> npt.NDArray[np.float64]: ...
def tree_normalized_gain_importances(forest: NativeForest) -> npt.NDArray[np.float64]: ...
def permutation_importances(forest: NativeForest) -> npt.NDArray[np.float64]: ...
def oob_predict_proba(forest: NativeForest, caller_order: bool = False) -> npt.NDArray[np.float64]: ...
def merge(forests: Sequence[NativeForest]) -> NativeForest: ...
def to_bytes(forest: NativeForest) -> bytes: ...
def from_bytes(data: Any) -> NativeForest: ...

class PanicException(BaseException): ...
