"""Type stubs for the native module `morvel._boruta_core`; kept equal to the text signature."""

import numpy as np
import numpy.typing as npt

def gain_importances(
    x: npt.NDArray[np.float64],
    y: npt.NDArray[np.int64],
    active: npt.NDArray[np.int64],
    sources: npt.NDArray[np.int64],
    permutations: npt.NDArray[np.int64],
    trees: int,
    depth: int,
    seed: int,
    bins: int,
    extra_seed: int,
) -> tuple[list[float], float, float]: ...
