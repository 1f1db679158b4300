"""Type stubs for the native module `morvel._core`; kept equal to the text signatures."""

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

class NativeForest:
    def __init__(self) -> None: ...
    def fit(
        self,
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
    ) -> None: ...
    def predict(self, x: Any) -> list[int]: ...
    def predict_proba(self, x: Any) -> list[list[float]]: ...
    def oob_predict_proba(self) -> list[list[float]]: ...
    def feature_importances(self) -> list[float]: ...
    def gain_importances(self) -> list[float]: ...
    def tree_normalized_gain_importances(self) -> list[float]: ...
    def permutation_importances(self) -> list[float]: ...
    def shap_tree_arrays(
        self,
    ) -> list[
        tuple[list[int], list[int], list[int], list[float], list[float], list[float], list[int]]
    ]: ...
    def tree_shap(self, x: Any) -> tuple[list[list[list[float]]], list[float]]: ...
    def shap_importances(self, x: Any, n_jobs: int = 1) -> list[float]: ...
    def is_fitted(self) -> bool: ...
    def training_order(self) -> npt.NDArray[np.uint64]: ...
    def fit_profile(self) -> dict[str, float]: ...
